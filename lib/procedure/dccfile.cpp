#include "dcc.h"

#include "boundedread.h"
#include "calibrationfile.h"

#include <QCoreApplication>
#include <QFile>
#include <QXmlStreamReader>

#include <algorithm>
#include <optional>

// What a DCC needs of the procedure, and reading a DCC back: from its file, and against the
// record it claims to be the certificate of.
namespace dcc {

namespace {

// A DCC holds its record in base64, a third larger than the record's own file may be.
constexpr qint64 MaxBytes = qint64(1) << 30;

QString message(const char *text)
{
    return QCoreApplication::translate("dcc", text);
}

} // namespace

procedure::Error missing(const procedure::Procedure &procedure)
{
    QStringList names;
    QStringList absent;
    const procedure::CertificateTexts &c = procedure.certificate;
    for (const auto &member : {qMakePair(QStringLiteral("certificate.country"), c.country),
                               qMakePair(QStringLiteral("certificate.city"), c.city),
                               qMakePair(QStringLiteral("certificate.language"), c.language)})
        if (member.second.trimmed().isEmpty())
        if (member.second.trimmed().isEmpty()) {
            names << member.first;
            absent << QStringLiteral("\"%1\"").arg(member.first);
        }
    if (absent.isEmpty())
        return procedure::Error();
    return procedure::Error::invalid(names.first(), message(QT_TRANSLATE_NOOP("dcc", "a digital calibration certificate needs the procedure's %1 (the laboratory's country as "
                                            "ISO 3166-1 letters, its city, and the certificate's language as ISO 639-1 letters)"))
        .arg(absent.join(QStringLiteral(", "))));
}

namespace {

struct Token
{
    QString path;
    QString value;
};

QString prefixed(const QString &namespaceUri, const QString &name)
{
    if (namespaceUri == QLatin1String(Namespace))
        return QStringLiteral("dcc:") + name;
    if (namespaceUri == QLatin1String(SiNamespace))
        return QStringLiteral("si:") + name;
    return QStringLiteral("{%1}%2").arg(namespaceUri, name);
}

// A DCC as one sequence of its elements' paths, attributes and texts, leaving out what is not
// the record's: the date of issue and a signature added to the file later.
std::optional<QVector<Token>> tokens(const QByteArray &xml, QString *error)
{
    const QString signature = QStringLiteral("http://www.w3.org/2000/09/xmldsig#");
    QXmlStreamReader reader(xml);
    QStringList path;
    int skipped = 0; // depth inside an element left out
    QVector<Token> found;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            path << prefixed(reader.namespaceUri().toString(), reader.name().toString());
            if (skipped > 0 || reader.namespaceUri() == signature
                || (reader.namespaceUri() == QLatin1String(Namespace) && reader.name() == QLatin1String("issueDate"))) {
                ++skipped;
                continue;
            }
            const QString where = path.join(QLatin1Char('/'));
            found.append({where, QString()});
            for (const QXmlStreamAttribute &attribute : reader.attributes())
                found.append({where + QStringLiteral("/@") + attribute.name().toString(), attribute.value().toString()});
        } else if (reader.isEndElement()) {
            if (skipped > 0)
                --skipped;
            path.removeLast();
        } else if (reader.isCharacters() && !reader.isWhitespace() && skipped == 0) {
            found.append({path.join(QLatin1Char('/')), reader.text().toString()});
        }
    }
    if (reader.hasError()) {
        *error = message(QT_TRANSLATE_NOOP("dcc", "not XML (line %1: %2)")).arg(reader.lineNumber()).arg(reader.errorString());
        return std::nullopt;
    }
    return found;
}

} // namespace

std::optional<QByteArray> embeddedRecord(const QByteArray &xml, procedure::Error *error)
{
    QXmlStreamReader reader(xml);
    QStringList path;
    const QString embedded = QStringLiteral("digitalCalibrationCertificate/document/dataBase64");
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            path << reader.name().toString();
            if (reader.namespaceUri() == QLatin1String(Namespace) && path.join(QLatin1Char('/')) == embedded)
                return QByteArray::fromBase64(reader.readElementText().toLatin1());
        } else if (reader.isEndElement()) {
            path.removeLast();
        }
    }
    *error = procedure::Error::unreadable(QString(), reader.hasError() ? message(QT_TRANSLATE_NOOP("dcc", "not XML (line %1: %2)"))
                                                                             .arg(reader.lineNumber()).arg(reader.errorString())
                                                                       : message(QT_TRANSLATE_NOOP("dcc", "a DCC without an embedded record")));
    return std::nullopt;
}

QString belongsTo(const QByteArray &xml, const certificate::Document &document)
{
    const Written expected = write(document);
    if (expected.error.failed())
        return expected.error.message;
    QString error;
    const std::optional<QVector<Token>> given = tokens(xml, &error);
    if (!given)
        return error;
    const std::optional<QVector<Token>> wanted = tokens(expected.xml, &error);
    if (!wanted)
        return error;
    const QString embedded = QStringLiteral("dcc:digitalCalibrationCertificate/dcc:document/dcc:dataBase64");
    for (int i = 0; i < std::max(given->size(), wanted->size()); ++i) {
        const Token have = given->value(i);
        const Token want = wanted->value(i);
        if (have.path == want.path && have.value == want.value)
            continue;
        if (have.path == embedded && want.path == embedded)
            return message(QT_TRANSLATE_NOOP("dcc", "the record it embeds is not this record"));
        if (have.path != want.path)
            return message(QT_TRANSLATE_NOOP("dcc", "it has %1 where the record gives %2"))
                .arg(have.path.isEmpty() ? message(QT_TRANSLATE_NOOP("dcc", "nothing")) : have.path,
                     want.path.isEmpty() ? message(QT_TRANSLATE_NOOP("dcc", "nothing")) : want.path);
        return message(QT_TRANSLATE_NOOP("dcc", "%1 is \"%2\" where the record gives \"%3\"")).arg(have.path, have.value, want.value);
    }
    return QString();
}

std::optional<QByteArray> load(const QString &path, procedure::Error *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = procedure::Error::unreadable(QString(), file.errorString());
        return std::nullopt;
    }
    boundedread::Bytes read = boundedread::readAtMost(file, MaxBytes);
    if (read.end == boundedread::End::TooLarge) {
        *error = procedure::Error::unreadable(QString(), message(QT_TRANSLATE_NOOP("dcc", "larger than %1 MiB, more than a certificate with "
                                                                                     "its record holds")).arg(MaxBytes >> 20));
        return std::nullopt;
    }
    if (read.end != boundedread::End::Complete) {
        *error = procedure::Error::unreadable(QString(), file.errorString());
        return std::nullopt;
    }
    return read.bytes;
}

QString save(const QString &path, const QByteArray &xml)
{
    const calibrationfile::SaveStatus saved = calibrationfile::saveBytes(path, xml);
    return saved == calibrationfile::SaveStatus::Saved ? QString() : calibrationfile::message(saved);
}

} // namespace dcc
