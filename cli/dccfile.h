#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// What sign and verify-dcc share: reading a certificate (DCC) within the signing library's limit.
namespace cli {

// The bytes of the certificate at `path`; nothing, with the message said, when it cannot be
// read or is larger than a certificate can be.
std::optional<QByteArray> readCertificate(const QString &path);

} // namespace cli
