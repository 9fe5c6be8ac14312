#include "commands.h"

#include "record.h"

#include <QDir>

namespace cli {

namespace {

// Computes a calibration record again from its raw readings and checks its hash.
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
        err(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), verified.difference));
        return NotVerified;
    }
    return out(QStringLiteral("record verified\n")) ? Success : FileProblem;
}

} // namespace

Command verifyRecordCommand()
{
    return {QStringLiteral("verify-record"),
            QStringLiteral("recompute a calibration record from its readings and check its hash"),
            {{QStringLiteral("RECORD"), QStringLiteral("The record that calibrate wrote.")}},
            {},
            run,
            PortOption::None};
}

} // namespace cli
