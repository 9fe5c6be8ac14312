#include "commands.h"
#include "dccfile.h"
#include "output.h"

#include "signing.h"

#include <QDir>

namespace cli {

namespace {

const QString KeyName = QStringLiteral("key");
const QString CertName = QStringLiteral("cert");

// Adds the lab's enveloped signature to a certificate, in place unless -o names another file;
// the file is replaced only by the complete signed one.
int run(const Invocation &invocation)
{
    if (!signing::available()) {
        err(signing::message(signing::Error::Unavailable));
        return UsageError;
    }
    if (invocation.value(KeyName).isEmpty())
        return invocation.usageError(QStringLiteral("--key names the lab's private key (PEM); it is required"));
    if (invocation.value(CertName).isEmpty())
        return invocation.usageError(QStringLiteral("--cert names the signer's certificate (PEM); it is required"));
    const QString path = invocation.arguments().first();
    const std::optional<QByteArray> xml = readCertificate(path);
    if (!xml)
        return FileProblem;
    const signing::Signed result = signing::sign(*xml, invocation.value(KeyName), invocation.value(CertName));
    if (result.error != signing::Error::None) {
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), result.message));
        return FileProblem;
    }
    const QString target = invocation.output().isEmpty() ? path : invocation.output();
    const int written = writeOutput(target, result.document);
    if (written != Success)
        return written;
    return out(QStringLiteral("signed %1\n").arg(QDir::toNativeSeparators(target))) ? Success : FileProblem;
}

} // namespace

Command signCommand()
{
    return {QStringLiteral("sign"),
            QStringLiteral("add the lab's XML signature to a calibration certificate (DCC)"),
            {{QStringLiteral("FILE"), QStringLiteral("The certificate (DCC XML); signed in place unless -o is given.")}},
            {QCommandLineOption(KeyName, QStringLiteral("The signer's private key, PEM (RSA or EC, unencrypted). Required."),
                                QStringLiteral("KEY")),
             QCommandLineOption(CertName,
                                QStringLiteral("The signer's certificate, PEM; it goes into the signature. Required."),
                                QStringLiteral("CERT")),
             outputOption(QStringLiteral("Writes the signed certificate to FILE instead of replacing the input."))},
            run,
            PortOption::None};
}

} // namespace cli
