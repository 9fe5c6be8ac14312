#include "clirun.h"
#include "signing.h"
#include "testsupport.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

// The lab's XML signature on a certificate: signed here, checked here and by xmlsec1's own
// command, with keys and certificates that openssl makes for each run (a lab CA, a signer it
// issued, an EC signer it issued, and a second CA with a signer of its own).
class tst_Signing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verifies_data();
    void verifies();
    void everyChangedDigitIsCaught();
    void signatureShape_data();
    void signatureShape();
    void signRefuses_data();
    void signRefuses();
    void signedStaysSchemaValid_data();
    void signedStaysSchemaValid();
    void otherToolAccepts_data();
    void otherToolAccepts();
    void concurrentCallers();
    void commands_data();
    void commands();
    void signInPlace();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QByteArray signedBy(const QString &key, const QString &certificate) const;
    QByteArray readFile(const QString &name) const;
    void writeFile(const QString &name, const QByteArray &bytes) const;

    QTemporaryDir m_dir;
    QByteArray m_plain;       // the hand-written certificate, unsigned
    QByteArray m_signed;      // signed by the lab's signer
    QByteArray m_signedByEc;  // signed by the lab's EC signer
    QByteArray m_signedByOther; // signed by the other CA's signer
};

namespace {

const QString CaName = QStringLiteral("CN=Test Lab CA, O=Example Lab");
const QString SignerName = QStringLiteral("CN=Test Lab Signer, O=Example Lab");
const QString EcSignerName = QStringLiteral("CN=Test Lab EC Signer, O=Example Lab");
const QString OtherSignerName = QStringLiteral("CN=Other Signer, O=Elsewhere");
constexpr int CertificateDays = 30;
// xmllint's statuses: valid, invalid, and the schema did not compile (no catalog).
constexpr int XmllintInvalid = 3;
constexpr int XmllintSchemaBroken = 5;

bool runTool(const QString &program, const QStringList &arguments, const QString &directory, QString *output = nullptr,
             int *status = nullptr)
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const testsupport::ProcessRun run = testsupport::finishProcess(process);
    if (output)
        *output = QString::fromUtf8(run.out) + run.err;
    if (status)
        *status = run.exitCode;
    return run.exitStatus == QProcess::NormalExit && run.exitCode == 0;
}

// The base64 body of a PEM certificate, as it stands in X509Certificate.
QByteArray pemBody(const QByteArray &pem)
{
    QByteArray body;
    for (const QByteArray &line : pem.split('\n')) {
        if (!line.startsWith("-----"))
            body += line.trimmed();
    }
    return body;
}

QByteArray withoutWhitespace(QByteArray bytes)
{
    return bytes.replace('\n', "").replace('\r', "");
}

// The offsets of the digits that stand in element text or attribute values of the signed
// content: between the root's start and the signature.
QVector<int> contentDigits(const QByteArray &document)
{
    QVector<int> offsets;
    const int begin = document.indexOf("<dcc:digitalCalibrationCertificate");
    const int end = document.indexOf("<ds:Signature");
    bool inTag = false;
    bool inValue = false;
    for (int i = begin; i < end; ++i) {
        const char c = document.at(i);
        if (c == '<' && !inValue)
            inTag = true;
        else if (c == '>' && !inValue)
            inTag = false;
        else if (c == '"' && inTag)
            inValue = !inValue;
        else if (c >= '0' && c <= '9' && (!inTag || inValue))
            offsets.append(i);
    }
    return offsets;
}

enum class Tamper {
    None,
    Digit,              // one digit of a reference temperature
    IdentifierDigit,    // one digit of the certificate's number
    UncertaintyDigit,   // one digit of an expanded uncertainty
    RemovedResult,      // the second result element taken out
    AddedWhitespace,    // a space added inside a text value
    SignatureValue,     // one character of the signature value
    OtherCertificate,   // the other signer's certificate put in place of the signer's
    Unsigned,           // the signature removed altogether
    SecondSignature,    // the signature there twice
    PartialReference,   // the reference names an element, not the whole document
    NotXml,
};

// `replacement` and `carried` serve OtherCertificate only: the certificate put in, and the
// one the document must carry for the row to apply.
QByteArray tampered(QByteArray document, Tamper tamper, const QByteArray &replacement = QByteArray(),
                    const QByteArray &carried = QByteArray())
{
    const int signatureStart = document.indexOf("<ds:Signature");
    const int signatureEnd = document.indexOf("</ds:Signature>") + int(qstrlen("</ds:Signature>"));
    switch (tamper) {
    case Tamper::None:
        break;
    case Tamper::Digit:
        document.replace("273.152", "273.153");
        break;
    case Tamper::IdentifierDigit:
        document.replace("CAL-2026-0042", "CAL-2026-0043");
        break;
    case Tamper::UncertaintyDigit:
        document.replace("0.012 0.012 0.015", "0.012 0.011 0.015");
        break;
    case Tamper::RemovedResult: {
        const int second = document.indexOf("<dcc:result>", document.indexOf("</dcc:result>"));
        const int end = document.indexOf("</dcc:result>", second) + int(qstrlen("</dcc:result>"));
        document.remove(second, end - second);
        break;
    }
    case Tamper::AddedWhitespace:
        document.replace("<dcc:content>As left</dcc:content>", "<dcc:content>As left </dcc:content>");
        break;
    case Tamper::SignatureValue: {
        const int value = document.indexOf("<ds:SignatureValue>") + int(qstrlen("<ds:SignatureValue>"));
        document[value] = document.at(value) == 'A' ? 'B' : 'A';
        break;
    }
    case Tamper::OtherCertificate: {
        // Line breaks differ between the PEM file and the signature; compare without them.
        const int start = document.indexOf("<ds:X509Certificate>") + int(qstrlen("<ds:X509Certificate>"));
        const int end = document.indexOf("</ds:X509Certificate>");
        if (withoutWhitespace(document.mid(start, end - start)) == carried)
            document.replace(start, end - start, replacement);
        break;
    }
    case Tamper::Unsigned:
        document.remove(signatureStart, signatureEnd - signatureStart);
        break;
    case Tamper::SecondSignature:
        document.insert(signatureEnd, document.mid(signatureStart, signatureEnd - signatureStart));
        break;
    case Tamper::PartialReference:
        document.replace("<dcc:measurementResults>", "<dcc:measurementResults Id=\"results\">");
        document.replace("URI=\"\"", "URI=\"#results\"");
        break;
    case Tamper::NotXml:
        document.chop(int(qstrlen("</dcc:digitalCalibrationCertificate>\n")));
        break;
    }
    return document;
}

} // namespace

Q_DECLARE_METATYPE(signing::Error)
Q_DECLARE_METATYPE(Tamper)

QByteArray tst_Signing::readFile(const QString &name) const
{
    QFile file(path(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void tst_Signing::writeFile(const QString &name, const QByteArray &bytes) const
{
    QFile file(path(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray tst_Signing::signedBy(const QString &key, const QString &certificate) const
{
    const signing::Signed result = signing::sign(m_plain, path(key), path(certificate));
    if (result.error != signing::Error::None)
        qWarning() << "signing failed:" << result.message;
    return result.document;
}

void tst_Signing::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(signing::available(), "this build has no XML security library");
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    QVERIFY2(!openssl.isEmpty(), "the openssl command is needed to make the test's keys");
    QFile plain(QStringLiteral(THERMOCAL_TEST_DATA "/dcc-minimal.xml"));
    QVERIFY(plain.open(QIODevice::ReadOnly));
    m_plain = plain.readAll();

    const QString days = QString::number(CertificateDays);
    const QStringList rsa{QStringLiteral("-newkey"), QStringLiteral("rsa:2048"), QStringLiteral("-nodes")};
    const QStringList ec{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                         QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    // A CA: a self-signed certificate with its key.
    auto makeCa = [&](const QString &name, const QString &subject) {
        QString output;
        QVERIFY2(runTool(openssl,
                         QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + rsa
                             + QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                                           QStringLiteral("-out"), name + QStringLiteral(".pem"),
                                           QStringLiteral("-days"), days, QStringLiteral("-subj"), subject},
                         m_dir.path(), &output),
                 qPrintable(output));
    };
    // A signer: a key, and a certificate for it that `ca` issued.
    auto makeSigner = [&](const QString &name, const QString &subject, const QString &ca, const QStringList &keyKind) {
        QString output;
        QVERIFY2(runTool(openssl,
                         QStringList{QStringLiteral("req")} + keyKind
                             + QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                                           QStringLiteral("-out"), name + QStringLiteral(".csr"),
                                           QStringLiteral("-subj"), subject},
                         m_dir.path(), &output),
                 qPrintable(output));
        QVERIFY2(runTool(openssl,
                         {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), name + QStringLiteral(".csr"),
                          QStringLiteral("-CA"), ca + QStringLiteral(".pem"), QStringLiteral("-CAkey"),
                          ca + QStringLiteral(".key"), QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                          name + QStringLiteral(".pem"), QStringLiteral("-days"), days},
                         m_dir.path(), &output),
                 qPrintable(output));
    };
    makeCa(QStringLiteral("ca"), QStringLiteral("/CN=Test Lab CA/O=Example Lab"));
    makeSigner(QStringLiteral("signer"), QStringLiteral("/CN=Test Lab Signer/O=Example Lab"), QStringLiteral("ca"), rsa);
    makeSigner(QStringLiteral("ecsigner"), QStringLiteral("/CN=Test Lab EC Signer/O=Example Lab"), QStringLiteral("ca"), ec);
    makeCa(QStringLiteral("otherca"), QStringLiteral("/CN=Other CA/O=Elsewhere"));
    makeSigner(QStringLiteral("other"), QStringLiteral("/CN=Other Signer/O=Elsewhere"), QStringLiteral("otherca"), rsa);
    writeFile(QStringLiteral("garbage.pem"), "not a PEM file\n");

    m_signed = signedBy(QStringLiteral("signer.key"), QStringLiteral("signer.pem"));
    m_signedByEc = signedBy(QStringLiteral("ecsigner.key"), QStringLiteral("ecsigner.pem"));
    m_signedByOther = signedBy(QStringLiteral("other.key"), QStringLiteral("other.pem"));
    QVERIFY(!m_signed.isEmpty());
    QVERIFY(!m_signedByEc.isEmpty());
    QVERIFY(!m_signedByOther.isEmpty());
}

void tst_Signing::verifies_data()
{
    QTest::addColumn<QString>("signer");  // "rsa", "ec", "other": whose signed copy
    QTest::addColumn<Tamper>("tamper");
    QTest::addColumn<QString>("trust");   // the trusted certificate's file, or none
    QTest::addColumn<signing::Error>("error");
    QTest::addColumn<QString>("name");    // the signer's name reported

    const QString ca = QStringLiteral("ca.pem");
    const QString none;
    QTest::newRow("valid, trusted") << "rsa" << Tamper::None << ca << signing::Error::None << SignerName;
    QTest::newRow("valid, no trust given") << "rsa" << Tamper::None << none << signing::Error::None << SignerName;
    QTest::newRow("valid EC, trusted") << "ec" << Tamper::None << ca << signing::Error::None << EcSignerName;
    QTest::newRow("another CA's signer, no trust given") << "other" << Tamper::None << none << signing::Error::None
                                                         << OtherSignerName;
    QTest::newRow("another CA's signer, trusted CA") << "other" << Tamper::None << ca
                                                     << signing::Error::NotIssuedByTrusted << OtherSignerName;
    QTest::newRow("our signer, the other CA trusted") << "rsa" << Tamper::None << QStringLiteral("otherca.pem")
                                                      << signing::Error::NotIssuedByTrusted << SignerName;
    QTest::newRow("a reference temperature's digit") << "rsa" << Tamper::Digit << ca << signing::Error::ContentChanged
                                                     << QString();
    QTest::newRow("the same, no trust given") << "rsa" << Tamper::Digit << none << signing::Error::ContentChanged
                                              << QString();
    QTest::newRow("EC, a digit") << "ec" << Tamper::Digit << ca << signing::Error::ContentChanged << QString();
    QTest::newRow("the certificate number's digit") << "rsa" << Tamper::IdentifierDigit << ca
                                                    << signing::Error::ContentChanged << QString();
    QTest::newRow("an uncertainty's digit") << "rsa" << Tamper::UncertaintyDigit << ca << signing::Error::ContentChanged
                                            << QString();
    QTest::newRow("a removed result") << "rsa" << Tamper::RemovedResult << ca << signing::Error::ContentChanged
                                      << QString();
    QTest::newRow("a space in a text") << "rsa" << Tamper::AddedWhitespace << ca << signing::Error::ContentChanged
                                       << QString();
    QTest::newRow("the signature value") << "rsa" << Tamper::SignatureValue << ca << signing::Error::SignatureMismatch
                                         << QString();
    QTest::newRow("another key's signature with our certificate")
        << "other" << Tamper::OtherCertificate << ca << signing::Error::SignatureMismatch << QString();
    QTest::newRow("no signature") << "rsa" << Tamper::Unsigned << ca << signing::Error::NoSignature << QString();
    QTest::newRow("two signatures") << "rsa" << Tamper::SecondSignature << ca << signing::Error::SeveralSignatures
                                    << QString();
    QTest::newRow("a reference to part of it") << "rsa" << Tamper::PartialReference << ca
                                               << signing::Error::NotWholeDocument << QString();
    QTest::newRow("not XML") << "rsa" << Tamper::NotXml << ca << signing::Error::NotXml << QString();
    QTest::newRow("a trusted certificate that is not one") << "rsa" << Tamper::None << QStringLiteral("garbage.pem")
                                                           << signing::Error::TrustUnreadable << QString();
    QTest::newRow("no trusted certificate file") << "rsa" << Tamper::None << QStringLiteral("absent.pem")
                                                 << signing::Error::TrustUnreadable << QString();
}

void tst_Signing::verifies()
{
    QFETCH(QString, signer);
    QFETCH(Tamper, tamper);
    QFETCH(QString, trust);
    QFETCH(signing::Error, error);
    QFETCH(QString, name);

    const QByteArray original = signer == QLatin1String("ec") ? m_signedByEc
                                : signer == QLatin1String("other") ? m_signedByOther
                                                                   : m_signed;
    const QByteArray document = tampered(original, tamper, pemBody(readFile(QStringLiteral("signer.pem"))),
                                         pemBody(readFile(QStringLiteral("other.pem"))));
    if (tamper != Tamper::None)
        QVERIFY2(document != original, "the row's change did not apply");
    const signing::Verification result = signing::verify(document, trust.isEmpty() ? QString() : path(trust));
    QVERIFY2(result.error == error, qPrintable(result.message));
    QCOMPARE(result.valid(), error == signing::Error::None);
    QCOMPARE(result.message.isEmpty(), error == signing::Error::None);
    if (!name.isEmpty())
        QCOMPARE(result.signer, name);
    QCOMPARE(result.trusted, error == signing::Error::None && !trust.isEmpty());
    if (result.valid())
        QCOMPARE(result.issuer, signer == QLatin1String("other") ? QStringLiteral("CN=Other CA, O=Elsewhere") : CaName);
}

// Whatever digit of the signed content changes, the signature no longer holds.
void tst_Signing::everyChangedDigitIsCaught()
{
    const QVector<int> digits = contentDigits(m_signed);
    QVERIFY2(digits.size() > 30, "the certificate's digits were not found");
    for (int offset : digits) {
        QByteArray document = m_signed;
        document[offset] = document.at(offset) == '9' ? '0' : char(document.at(offset) + 1);
        const signing::Verification result = signing::verify(document, path(QStringLiteral("ca.pem")));
        QVERIFY2(result.error == signing::Error::ContentChanged,
                 qPrintable(QStringLiteral("the digit at %1 (\"%2\"): %3")
                                .arg(offset)
                                .arg(QString::fromUtf8(document.mid(offset - 20, 40)), result.message)));
    }
}

// The signature readers expect: the root's last element, over the whole document with the
// enveloped transform, SHA-256 digests, the key's own kind of SHA-256 signature, the signer's
// certificate in the key info.
void tst_Signing::signatureShape_data()
{
    QTest::addColumn<QString>("signer");
    QTest::addColumn<QString>("method");
    QTest::newRow("RSA") << "rsa" << "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
    QTest::newRow("EC") << "ec" << "http://www.w3.org/2001/04/xmldsig-more#ecdsa-sha256";
}

void tst_Signing::signatureShape()
{
    QFETCH(QString, signer);
    QFETCH(QString, method);
    const QByteArray document = signer == QLatin1String("ec") ? m_signedByEc : m_signed;
    const QString certificateFile = signer == QLatin1String("ec") ? QStringLiteral("ecsigner.pem")
                                                                  : QStringLiteral("signer.pem");
    const QString ds = QStringLiteral("http://www.w3.org/2000/09/xmldsig#");

    QXmlStreamReader reader(document);
    QString lastRootChild;
    QStringList transforms;
    QString digest, signatureMethod, referenceUri, certificate;
    int depth = 0;
    while (reader.readNext() != QXmlStreamReader::Invalid && !reader.atEnd()) {
        if (reader.isStartElement()) {
            ++depth;
            if (depth == 2)
                lastRootChild = reader.namespaceUri().toString() + QLatin1Char(' ') + reader.name().toString();
            if (reader.namespaceUri() != ds)
                continue;
            const QString algorithm = reader.attributes().value(QStringLiteral("Algorithm")).toString();
            if (reader.name() == QLatin1String("Transform"))
                transforms.append(algorithm);
            else if (reader.name() == QLatin1String("DigestMethod"))
                digest = algorithm;
            else if (reader.name() == QLatin1String("SignatureMethod"))
                signatureMethod = algorithm;
            else if (reader.name() == QLatin1String("Reference"))
                referenceUri = reader.attributes().value(QStringLiteral("URI")).toString();
            else if (reader.name() == QLatin1String("X509Certificate")) {
                certificate = reader.readElementText(); // which reads its end element too
                --depth;
            }
        } else if (reader.isEndElement()) {
            --depth;
        }
    }
    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    QCOMPARE(lastRootChild, ds + QStringLiteral(" Signature"));
    QCOMPARE(referenceUri, QString());
    QVERIFY(document.contains("URI=\"\""));
    QCOMPARE(transforms, (QStringList{QStringLiteral("http://www.w3.org/2000/09/xmldsig#enveloped-signature"),
                                      QStringLiteral("http://www.w3.org/2001/10/xml-exc-c14n#")}));
    QCOMPARE(digest, QStringLiteral("http://www.w3.org/2001/04/xmlenc#sha256"));
    QCOMPARE(signatureMethod, method);
    QCOMPARE(withoutWhitespace(certificate.toLatin1()), pemBody(readFile(certificateFile)));
    // Nothing before the signature changed: the signed root is the original's plus the signature.
    const QByteArray root = "<dcc:digitalCalibrationCertificate";
    const int signedRoot = document.indexOf(root);
    const int originalRoot = m_plain.indexOf(root);
    QCOMPARE(document.mid(signedRoot, document.indexOf("<ds:Signature") - signedRoot),
             m_plain.mid(originalRoot, m_plain.indexOf("</dcc:digitalCalibrationCertificate>") - originalRoot));
}

void tst_Signing::signRefuses_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<signing::Error>("error");

    const QString key = QStringLiteral("signer.key");
    const QString certificate = QStringLiteral("signer.pem");
    QTest::newRow("already signed") << m_signed << key << certificate << signing::Error::AlreadySigned;
    QTest::newRow("signed by another") << m_signedByOther << key << certificate << signing::Error::AlreadySigned;
    QTest::newRow("a key that is not the certificate's") << m_plain << QStringLiteral("other.key") << certificate
                                                         << signing::Error::KeyNotCertificate;
    QTest::newRow("the EC key with the RSA certificate") << m_plain << QStringLiteral("ecsigner.key") << certificate
                                                         << signing::Error::KeyNotCertificate;
    QTest::newRow("no key file") << m_plain << QStringLiteral("absent.key") << certificate
                                 << signing::Error::KeyUnreadable;
    QTest::newRow("a key file that is not one") << m_plain << QStringLiteral("garbage.pem") << certificate
                                                << signing::Error::KeyUnreadable;
    QTest::newRow("a certificate as the key") << m_plain << certificate << certificate << signing::Error::KeyUnreadable;
    QTest::newRow("no certificate file") << m_plain << key << QStringLiteral("absent.pem")
                                         << signing::Error::CertificateUnreadable;
    QTest::newRow("a key as the certificate") << m_plain << key << key << signing::Error::CertificateUnreadable;
    QTest::newRow("not XML") << QByteArray("<dcc:digitalCalibrationCertificate>") << key << certificate
                             << signing::Error::NotXml;
    QTest::newRow("empty") << QByteArray() << key << certificate << signing::Error::NotXml;
}

void tst_Signing::signRefuses()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, key);
    QFETCH(QString, certificate);
    QFETCH(signing::Error, error);
    const signing::Signed result = signing::sign(document, path(key), path(certificate));
    QVERIFY2(result.error == error, qPrintable(result.message));
    QVERIFY(result.document.isEmpty());
    QVERIFY(!result.message.isEmpty());
}

void tst_Signing::signedStaysSchemaValid_data()
{
    QTest::addColumn<QString>("signer");
    QTest::newRow("unsigned") << QString();
    QTest::newRow("RSA") << "rsa";
    QTest::newRow("EC") << "ec";
}

void tst_Signing::signedStaysSchemaValid()
{
    QFETCH(QString, signer);
    const QString xmllint = QStandardPaths::findExecutable(QStringLiteral("xmllint"));
    if (xmllint.isEmpty())
        QSKIP("the xmllint command is not installed");
    const QString schemas = QStringLiteral(THERMOCAL_DCC_SCHEMAS);
    if (!QFile::exists(schemas + QStringLiteral("/catalog.xml")))
        QSKIP("the DCC schemas are not beside the sources");
    const QByteArray document = signer.isEmpty() ? m_plain : signer == QLatin1String("ec") ? m_signedByEc : m_signed;
    writeFile(QStringLiteral("schema.xml"), document);

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XML_CATALOG_FILES"), QUrl::fromLocalFile(schemas + QStringLiteral("/catalog.xml")).toString(QUrl::FullyEncoded));
    process.setProcessEnvironment(environment);
    process.start(xmllint, {QStringLiteral("--nonet"), QStringLiteral("--noout"), QStringLiteral("--schema"),
                            schemas + QStringLiteral("/dcc.xsd"), path(QStringLiteral("schema.xml"))});
    const testsupport::ProcessRun run = testsupport::finishProcess(process);
    QVERIFY2(run.exitCode != XmllintSchemaBroken, "the schema did not compile: the catalog was not used");
    QVERIFY2(run.exitCode != XmllintInvalid, qPrintable(run.err + QString::fromUtf8(run.out)));
    QCOMPARE(run.exitCode, 0);
}

// xmlsec1's own command is a second reader: it accepts what we sign, and refuses what we
// refuse, so the signature is not one only this program understands.
void tst_Signing::otherToolAccepts_data()
{
    QTest::addColumn<QString>("signer");
    QTest::addColumn<Tamper>("tamper");
    QTest::addColumn<QString>("trust");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("RSA") << "rsa" << Tamper::None << "ca.pem" << true;
    QTest::newRow("EC") << "ec" << Tamper::None << "ca.pem" << true;
    QTest::newRow("a changed digit") << "rsa" << Tamper::Digit << "ca.pem" << false;
    QTest::newRow("a removed result") << "rsa" << Tamper::RemovedResult << "ca.pem" << false;
    QTest::newRow("another CA's signer") << "other" << Tamper::None << "ca.pem" << false;
}

void tst_Signing::otherToolAccepts()
{
    QFETCH(QString, signer);
    QFETCH(Tamper, tamper);
    QFETCH(QString, trust);
    QFETCH(bool, accepted);
    const QString xmlsec1 = QStandardPaths::findExecutable(QStringLiteral("xmlsec1"));
    if (xmlsec1.isEmpty())
        QSKIP("the xmlsec1 command is not installed (scripts/bootstrap installs it)");
    const QByteArray original = signer == QLatin1String("ec") ? m_signedByEc
                                : signer == QLatin1String("other") ? m_signedByOther
                                                                   : m_signed;
    writeFile(QStringLiteral("oracle.xml"), tampered(original, tamper));
    QString output;
    const bool ok = runTool(xmlsec1, {QStringLiteral("--verify"), QStringLiteral("--trusted-pem"), path(trust),
                                      path(QStringLiteral("oracle.xml"))},
                            m_dir.path(), &output);
    QVERIFY2(ok == accepted, qPrintable(output));
}

// The library is started by whichever caller comes first, on any thread.
void tst_Signing::concurrentCallers()
{
    constexpr int Threads = 4;
    constexpr int Rounds = 5;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([this, &good] {
            for (int round = 0; round < Rounds; ++round) {
                const signing::Signed result = signing::sign(m_plain, path(QStringLiteral("signer.key")),
                                                             path(QStringLiteral("signer.pem")));
                const bool valid = signing::verify(result.document, path(QStringLiteral("ca.pem"))).valid();
                const bool changed = signing::verify(tampered(result.document, Tamper::Digit)).error
                                     == signing::Error::ContentChanged;
                if (result.error == signing::Error::None && valid && changed)
                    ++good;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(good.load(), Threads * Rounds);
}

void tst_Signing::commands_data()
{
    QTest::addColumn<QStringList>("arguments"); // {file} stands for the file the row writes
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");  // a pattern standard output must match
    QTest::addColumn<QString>("err");  // and standard error

    const QString file = QStringLiteral("{file}");
    const QString trust = QStringLiteral("--trust");
    QTest::newRow("verify, trusted") << QStringList{QStringLiteral("verify-dcc"), file, trust, QStringLiteral("ca.pem")}
                                     << m_signed << 0
                                     << "^valid signature by CN=Test Lab Signer, O=Example Lab, issued by CN=Test "
                                        "Lab CA, O=Example Lab \\(trusted\\)\n$"
                                     << "^$";
    QTest::newRow("verify, no trust") << QStringList{QStringLiteral("verify-dcc"), file} << m_signed << 0
                                      << "^valid signature by CN=Test Lab Signer, O=Example Lab; the signer was not "
                                         "checked against a trusted certificate"
                                      << "^$";
    QTest::newRow("verify, a changed digit")
        << QStringList{QStringLiteral("verify-dcc"), file, trust, QStringLiteral("ca.pem")}
        << tampered(m_signed, Tamper::Digit) << 3 << "^$" << "not verified: the digest does not match";
    QTest::newRow("verify, a removed result")
        << QStringList{QStringLiteral("verify-dcc"), file} << tampered(m_signed, Tamper::RemovedResult) << 3
        << "^$" << "the signed content was changed";
    QTest::newRow("verify, another CA's signer")
        << QStringList{QStringLiteral("verify-dcc"), file, trust, QStringLiteral("ca.pem")} << m_signedByOther << 3
        << "^$" << "not issued by the trusted certificate.*signed by CN=Other Signer";
    QTest::newRow("verify, unsigned") << QStringList{QStringLiteral("verify-dcc"), file} << m_plain << 3 << "^$"
                                      << "holds no signature";
    QTest::newRow("verify, not XML") << QStringList{QStringLiteral("verify-dcc"), file} << QByteArray("<a>") << 5
                                     << "^$" << "not XML";
    QTest::newRow("verify, no such file") << QStringList{QStringLiteral("verify-dcc"), QStringLiteral("absent.xml")}
                                          << QByteArray() << 5 << "^$" << "cannot be read";
    QTest::newRow("verify, unreadable trust") << QStringList{QStringLiteral("verify-dcc"), file, trust,
                                                             QStringLiteral("garbage.pem")}
                                              << m_signed << 5 << "^$" << "trusted certificate could not be read";
    QTest::newRow("verify, two files") << QStringList{QStringLiteral("verify-dcc"), file, file} << m_signed << 2
                                       << "^$" << "exactly one argument";
    QTest::newRow("sign, no key") << QStringList{QStringLiteral("sign"), file, QStringLiteral("--cert"),
                                                 QStringLiteral("signer.pem")}
                                  << m_plain << 2 << "^$" << "--key";
    QTest::newRow("sign, no certificate") << QStringList{QStringLiteral("sign"), file, QStringLiteral("--key"),
                                                         QStringLiteral("signer.key")}
                                          << m_plain << 2 << "^$" << "--cert";
    QTest::newRow("sign, already signed") << QStringList{QStringLiteral("sign"), file, QStringLiteral("--key"),
                                                         QStringLiteral("signer.key"), QStringLiteral("--cert"),
                                                         QStringLiteral("signer.pem")}
                                          << m_signed << 5 << "^$" << "already signed";
    QTest::newRow("sign, the wrong key") << QStringList{QStringLiteral("sign"), file, QStringLiteral("--key"),
                                                        QStringLiteral("other.key"), QStringLiteral("--cert"),
                                                        QStringLiteral("signer.pem")}
                                         << m_plain << 5 << "^$" << "does not belong to the certificate";
    QTest::newRow("sign, no such file") << QStringList{QStringLiteral("sign"), QStringLiteral("absent.xml"),
                                                       QStringLiteral("--key"), QStringLiteral("signer.key"),
                                                       QStringLiteral("--cert"), QStringLiteral("signer.pem")}
                                        << QByteArray() << 5 << "^$" << "cannot be read";
}

void tst_Signing::commands()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, document);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);

    writeFile(QStringLiteral("command.xml"), document);
    for (QString &argument : arguments) {
        if (argument == QLatin1String("{file}"))
            argument = path(QStringLiteral("command.xml"));
        else if (argument.endsWith(QLatin1String(".pem")) || argument.endsWith(QLatin1String(".key"))
                 || argument == QLatin1String("absent.xml"))
            argument = path(argument);
    }
    const testsupport::ProcessRun run = testsupport::runCli(arguments);
    QVERIFY2(run.exitCode == status, qPrintable(run.err));
    QVERIFY2(QRegularExpression(out).match(QString::fromUtf8(run.out)).hasMatch(), run.out.constData());
    QVERIFY2(QRegularExpression(err).match(run.err).hasMatch(), qPrintable(run.err));
    // A refused signing leaves the file as it was.
    if (arguments.first() == QLatin1String("sign") && status != 0 && !document.isEmpty())
        QCOMPARE(readFile(QStringLiteral("command.xml")), document);
}

// Signing in place replaces the file with the signed one; -o leaves the input alone.
void tst_Signing::signInPlace()
{
    writeFile(QStringLiteral("inplace.xml"), m_plain);
    const QStringList keys{QStringLiteral("--key"), path(QStringLiteral("signer.key")), QStringLiteral("--cert"),
                           path(QStringLiteral("signer.pem"))};
    testsupport::ProcessRun run = testsupport::runCli(QStringList{QStringLiteral("sign"), path(QStringLiteral("inplace.xml"))} + keys);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY(signing::verify(readFile(QStringLiteral("inplace.xml")), path(QStringLiteral("ca.pem"))).valid());

    writeFile(QStringLiteral("input.xml"), m_plain);
    run = testsupport::runCli(QStringList{QStringLiteral("sign"), path(QStringLiteral("input.xml")), QStringLiteral("-o"),
                                          path(QStringLiteral("output.xml"))}
                              + keys);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QCOMPARE(readFile(QStringLiteral("input.xml")), m_plain);
    QVERIFY(signing::verify(readFile(QStringLiteral("output.xml")), path(QStringLiteral("ca.pem"))).valid());

    // An output that cannot be written: status 5, and nothing half-written left behind.
    run = testsupport::runCli(QStringList{QStringLiteral("sign"), path(QStringLiteral("input.xml")), QStringLiteral("-o"),
                                          path(QStringLiteral("no-such-dir/output.xml"))}
                              + keys);
    QCOMPARE(run.exitCode, 5);
    QVERIFY(!QFile::exists(path(QStringLiteral("no-such-dir"))));
}

QTEST_GUILESS_MAIN(tst_Signing)
#include "tst_signing.moc"
