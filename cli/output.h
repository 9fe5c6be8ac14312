#pragma once

#include <QByteArray>
#include <QString>

namespace device {
struct DeviceSet;
}

// Where thermocal-cli's commands put their data: standard output or a file replaced only
// once complete.
namespace cli {

// Writes `set` as a calibration file to `path`, or to stdout when `path` is empty.
int writeCalibrationFile(const device::DeviceSet &set, const QString &path);
// Writes `bytes` to `path`, replacing a file there only once complete, or to stdout when
// `path` is empty.
int writeOutput(const QString &path, const QByteArray &bytes);

} // namespace cli
