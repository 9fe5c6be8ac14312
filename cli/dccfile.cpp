#include "dccfile.h"

#include "command.h"

#include "boundedread.h"
#include "signing.h"

#include <QDir>
#include <QFile>

namespace cli {

std::optional<QByteArray> readCertificate(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err(QStringLiteral("%1: cannot be read: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return std::nullopt;
    }
    const boundedread::Bytes read = boundedread::readAtMost(file, signing::MaxDocumentBytes);
    switch (read.end) {
    case boundedread::End::Complete:
        return read.bytes;
    case boundedread::End::TooLarge:
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), signing::message(signing::Error::TooLarge)));
        return std::nullopt;
    case boundedread::End::Failed:
        break;
    }
    err(QStringLiteral("%1: cannot be read: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    return std::nullopt;
}

} // namespace cli
