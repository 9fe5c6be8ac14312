#include "commands.h"

#include "device.h"
#include "instrumentport.h"
#include "output.h"

#include <QSerialPort>

namespace cli {

namespace {

// The instrument's calibration set as a calibration file, on stdout or in FILE.
int run(const Invocation &invocation)
{
    QSerialPort port;
    device::DeviceSet set;
    const int status = readInstrument(invocation.port(), port, &set);
    if (status != Success)
        return status;
    return writeCalibrationFile(set, invocation.output());
}

} // namespace

Command getCommand()
{
    return {QStringLiteral("get"),
            QStringLiteral("the instrument's calibration set as a calibration file"),
            {},
            {outputOption(QStringLiteral("Writes the file FILE (replaced only once complete) instead of standard output."))},
            run};
}

} // namespace cli
