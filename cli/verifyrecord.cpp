#include "commands.h"

#include "certificatedocument.h"
#include "dcc.h"
#include "record.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonParseError>

namespace cli {

namespace {

const QString Dcc = QStringLiteral("dcc");

// Whether the DCC at `path` is the certificate of the verified record `object`: every value in
// it as the record gives it, and the record it embeds this one.
int checkDcc(const QJsonObject &object, const QString &path)
{
    procedure::Error error;
    const std::optional<QByteArray> xml = dcc::load(path, &error);
    if (!xml) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), error.message));
        return statusOf(error);
    }
    const std::optional<record::Record> loaded = record::fromJson(object, &error);
    const certificate::Built built = loaded ? certificate::build(*loaded) : certificate::Built{std::nullopt, error};
    if (!built.document) {
        err(built.error.message);
        return statusOf(built.error);
    }
    const QString difference = dcc::belongsTo(*xml, *built.document);
    if (!difference.isEmpty()) {
        err(QStringLiteral("%1 is not this record's certificate: %2").arg(QDir::toNativeSeparators(path), difference));
        return NotVerified;
    }
    return Success;
}

// The record a DCC file embeds, as JSON.
std::optional<QJsonObject> recordInDcc(const QString &path, procedure::Error *error)
{
    const std::optional<QByteArray> xml = dcc::load(path, error);
    const std::optional<QByteArray> bytes = xml ? dcc::embeddedRecord(*xml, error) : std::nullopt;
    if (!bytes)
        return std::nullopt;
    QJsonParseError parsed;
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parsed);
    if (!document.isObject()) {
        *error = procedure::Error::unreadable(QString(), QStringLiteral("its embedded record is not a JSON object (%1)").arg(parsed.errorString()));
        return std::nullopt;
    }
    return document.object();
}

// Computes a calibration record again from its raw readings and checks its hash.
int run(const Invocation &invocation)
{
    const QString path = invocation.arguments().first();
    procedure::Error error;
    // A DCC holds its record: given one, the record inside is verified, and the DCC against it.
    const bool isDcc = path.endsWith(QLatin1String(".xml"), Qt::CaseInsensitive);
    const std::optional<QJsonObject> object = isDcc ? recordInDcc(path, &error) : record::load(path, &error);
    if (!object) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), error.message));
        return statusOf(error);
    }
    const record::Verified verified = record::verify(*object);
    if (!verified.ok) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), verified.difference));
        return NotVerified;
    }
    if (isDcc || invocation.isSet(Dcc)) {
        const int status = checkDcc(*object, isDcc ? path : invocation.value(Dcc));
        if (status != Success)
            return status;
    }
    return out(isDcc || invocation.isSet(Dcc) ? QStringLiteral("record verified; the DCC is its own\n") : QStringLiteral("record verified\n"))
               ? Success
               : FileProblem;
}

} // namespace

Command verifyRecordCommand()
{
    return {QStringLiteral("verify-record"),
            QStringLiteral("recompute a calibration record from its readings and check its hash"),
            {{QStringLiteral("RECORD"), QStringLiteral("The record that calibrate wrote, or a DCC (.xml), whose embedded record is verified "
                                                       "and the DCC against it.")}},
            {QCommandLineOption(Dcc,
                                QStringLiteral("Also checks that FILE is this record's digital calibration certificate: "
                                               "every value as the record gives it."),
                                QStringLiteral("FILE"))},
            run,
            PortOption::None};
}

} // namespace cli
