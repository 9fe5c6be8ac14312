#include "commands.h"
#include "dccfile.h"

#include "signing.h"

#include <QDir>

namespace cli {

namespace {

const QString TrustName = QStringLiteral("trust");

// Checks the signature of a certificate; the signer's name goes to stdout when it holds, and
// what failed to stderr when not.
int run(const Invocation &invocation)
{
    if (!signing::available()) {
        err(signing::message(signing::Error::Unavailable));
        return UsageError;
    }
    const QString path = invocation.arguments().first();
    const std::optional<QByteArray> xml = readCertificate(path);
    if (!xml)
        return FileProblem;
    const signing::Verification result = signing::verify(*xml, invocation.value(TrustName));
    switch (result.error) {
    case signing::Error::None: {
        QString line = QStringLiteral("valid signature by %1").arg(result.signer);
        line += result.trusted ? QStringLiteral(", issued by %1 (trusted)\n").arg(result.issuer)
                               : QStringLiteral("; the signer was not checked against a trusted certificate "
                                                "(no --trust)\n");
        return out(line) ? Success : FileProblem;
    }
    // The file itself, or the trusted certificate, is not one this command can read.
    case signing::Error::TooLarge:
    case signing::Error::NotXml:
    case signing::Error::TrustUnreadable:
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), result.message));
        return FileProblem;
    default:
        break;
    }
    QString text = QStringLiteral("%1: not verified: %2").arg(QDir::toNativeSeparators(path), result.message);
    if (!result.signer.isEmpty())
        text += QStringLiteral("; signed by %1").arg(result.signer);
    err(text);
    return NotVerified;
}

} // namespace

Command verifyDccCommand()
{
    return {QStringLiteral("verify-dcc"),
            QStringLiteral("check the XML signature of a calibration certificate (DCC)"),
            {{QStringLiteral("FILE"), QStringLiteral("The signed certificate (DCC XML).")}},
            {QCommandLineOption(TrustName,
                                QStringLiteral("The lab's CA certificate, PEM: the signer's certificate must have "
                                               "been issued by it. Without it, the signature is checked against "
                                               "the certificate it carries only."),
                                QStringLiteral("CA"))},
            run,
            PortOption::None};
}

} // namespace cli
