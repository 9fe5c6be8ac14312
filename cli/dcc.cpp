#include "certificates.h"
#include "commands.h"

#include "output.h"

#include "certificate.h"
#include "dcc.h"

#include <QDir>

namespace cli {

int writeCertificates(const record::Record &record, const QString &pdfPath, const QString &dccPath)
{
    const certificate::Built built = certificate::build(record);
    if (!built.document) {
        err(built.error.message);
        return UsageError;
    }
    QByteArray xml;
    if (!dccPath.isEmpty()) {
        const dcc::Written written = dcc::write(*built.document);
        if (written.error.failed()) {
            err(written.error.message);
            return UsageError;
        }
        xml = written.xml;
        const QString error = dcc::save(dccPath, xml);
        if (!error.isEmpty()) {
            err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(dccPath), error));
            return FileProblem;
        }
        err(QStringLiteral("digital calibration certificate: %1").arg(QDir::toNativeSeparators(dccPath)));
    }
    if (!pdfPath.isEmpty()) {
        const QString error = certificate::writePdf(pdfPath, *built.document, xml);
        if (!error.isEmpty()) {
            err(error);
            return FileProblem;
        }
        err(QStringLiteral("certificate: %1").arg(QDir::toNativeSeparators(pdfPath)));
    }
    return Success;
}

namespace {

// The DCC of a record that verifies, to a file or standard output.
int run(const Invocation &invocation)
{
    const QString path = invocation.arguments().first();
    procedure::Error error;
    const std::optional<QJsonObject> object = record::load(path, &error);
    if (!object) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), error.message));
        return statusOf(error);
    }
    const record::Verified verified = record::verify(*object);
    if (!verified.ok) {
        err(QStringLiteral("%1 does not verify, so it gets no certificate: %2").arg(QDir::toNativeSeparators(path), verified.difference));
        return NotVerified;
    }
    const std::optional<record::Record> loaded = record::fromJson(*object, &error);
    if (!loaded) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), error.message));
        return statusOf(error);
    }
    const certificate::Built built = certificate::build(*loaded);
    if (!built.document) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), built.error.message));
        return statusOf(built.error);
    }
    const dcc::Written written = dcc::write(*built.document);
    if (written.error.failed()) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), written.error.message));
        return statusOf(written.error);
    }
    return writeOutput(invocation.output(), written.xml);
}

} // namespace

Command dccCommand()
{
    return {QStringLiteral("dcc"),
            QStringLiteral("write the digital calibration certificate (DCC, XML) of a calibration record"),
            {{QStringLiteral("RECORD"), QStringLiteral("The record that calibrate wrote; it must verify.")}},
            {outputOption(QStringLiteral("Writes FILE (replaced only once complete) instead of standard output."))},
            run,
            PortOption::None};
}

} // namespace cli
