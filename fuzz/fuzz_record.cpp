// Any bytes as a procedure file, as a calibration record, and as a reference's answer:
// never crash, and a record that verifies is one whose hash is its own.
#include "procedurefile.h"
#include "record.h"
#include "scpiclient.h"

#include <QJsonDocument>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    procedure::parse(bytes);
    procedure::Error error;
    scpiclient::reading(bytes, procedure::Unit::Kelvin, &error);
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject())
        return 0;
    const record::Verified verified = record::verify(document.object());
    if (verified.ok && record::sha256(document.object()) != document.object().value(QStringLiteral("sha256")).toString())
        std::abort();
    return 0;
}
