// The lab's signature on a certificate of a 20-point run: signing and verifying it in this
// process (what calibrate --dcc and the window pay), and thermocal-cli sign and verify-dcc as
// whole processes (what a script pays). The certificate is the suite's hand-written one with
// its results grown to 20 entries; keys and certificates come from the openssl command.
#include "benchutil.h"
#include "signing.h"

#include <QCoreApplication>
#include <QTemporaryDir>

namespace {

constexpr int Points = 20;
constexpr int Runs = 50;
constexpr int ProcessRuns = 20;

void runOrDie(const QString &program, const QStringList &arguments, const QString &directory)
{
    QProcess process;
    process.setWorkingDirectory(directory);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        qFatal("%s failed: %s", qPrintable(program), process.readAllStandardError().constData());
}

// The hand-written certificate with `points` result entries, each a list of as many values.
QByteArray twentyPoints(const QByteArray &plain)
{
    QByteArray values;
    for (int i = 0; i < Points; ++i)
        values += QByteArray::number(273.15 + 10.0 * i + 0.001 * i, 'f', 4) + ' ';
    values.chop(1);
    const int first = plain.indexOf("<dcc:result>");
    const int end = plain.indexOf("</dcc:result>") + int(qstrlen("</dcc:result>"));
    QByteArray entry = plain.mid(first, end - first);
    entry.replace("273.152 323.148 373.161", values);
    QByteArray entries;
    for (int i = 0; i < Points; ++i)
        entries += entry + '\n';
    QByteArray grown = plain;
    grown.replace(first, end - first, entries);
    return grown;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    const QString d = dir.path();
    runOrDie(QStringLiteral("openssl"),
             {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
              QStringLiteral("-nodes"), QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
              QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
              QStringLiteral("/CN=Bench CA")},
             d);
    runOrDie(QStringLiteral("openssl"),
             {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"), QStringLiteral("-nodes"),
              QStringLiteral("-keyout"), QStringLiteral("signer.key"), QStringLiteral("-out"), QStringLiteral("signer.csr"),
              QStringLiteral("-subj"), QStringLiteral("/CN=Bench Signer")},
             d);
    runOrDie(QStringLiteral("openssl"),
             {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), QStringLiteral("signer.csr"),
              QStringLiteral("-CA"), QStringLiteral("ca.pem"), QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
              QStringLiteral("-CAcreateserial"), QStringLiteral("-out"), QStringLiteral("signer.pem"),
              QStringLiteral("-days"), QStringLiteral("2")},
             d);
    const QString key = dir.filePath(QStringLiteral("signer.key"));
    const QString certificate = dir.filePath(QStringLiteral("signer.pem"));
    const QString ca = dir.filePath(QStringLiteral("ca.pem"));

    QFile plainFile(QStringLiteral(THERMOCAL_TEST_DATA "/dcc-minimal.xml"));
    if (!plainFile.open(QIODevice::ReadOnly))
        qFatal("cannot read the test certificate");
    const QByteArray plain = twentyPoints(plainFile.readAll());
    std::printf("a certificate of %d points: %d bytes unsigned\n", Points, int(plain.size()));

    QByteArray signedCopy;
    QVector<double> signing;
    QVector<double> verifying;
    for (int i = 0; i < Runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        const signing::Signed result = signing::sign(plain, key, certificate);
        signing.append(clock.nsecsElapsed() / 1e6);
        if (result.error != signing::Error::None)
            qFatal("signing failed: %s", qPrintable(result.message));
        signedCopy = result.document;
        clock.restart();
        const signing::Verification checked = signing::verify(signedCopy, ca);
        verifying.append(clock.nsecsElapsed() / 1e6);
        if (!checked.valid())
            qFatal("verifying failed: %s", qPrintable(checked.message));
    }
    printFigures("sign, 20 points, in process (with its check)", signing, "under 100 ms");
    printFigures("verify against the CA, 20 points, in process", verifying, "under 100 ms");

    const QString cli = QStringLiteral(CLI_PATH);
    const QString input = dir.filePath(QStringLiteral("dcc.xml"));
    const QString output = dir.filePath(QStringLiteral("signed.xml"));
    QFile inputFile(input);
    if (!inputFile.open(QIODevice::WriteOnly) || inputFile.write(plain) != plain.size())
        qFatal("cannot write %s", qPrintable(input));
    inputFile.close();
    printFigures("thermocal-cli sign, 20 points",
                 timeRuns(cli,
                          {QStringLiteral("sign"), input, QStringLiteral("--key"), key, QStringLiteral("--cert"),
                           certificate, QStringLiteral("-o"), output},
                          ProcessRuns),
                 "under 100 ms");
    printFigures("thermocal-cli verify-dcc --trust, 20 points",
                 timeRuns(cli, {QStringLiteral("verify-dcc"), output, QStringLiteral("--trust"), ca}, ProcessRuns),
                 "under 100 ms");
    return 0;
}
