#include "commands.h"

#include "output.h"
#include "sources.h"

#include "curveexport.h"
#include "device.h"

#include <QSerialPort>

namespace cli {

namespace {

const QString Format = QStringLiteral("format");
const QString SensorModel = QStringLiteral("sensor-model");
const QString SerialNumber = QStringLiteral("serial-number");

// A calibration set's table as a standard curve file: the header-plus-breakpoints form or CSV.
int run(const Invocation &invocation)
{
    const QString formatName = invocation.value(Format);
    if (formatName != QLatin1String("340") && formatName != QLatin1String("csv"))
        return invocation.usageError(QStringLiteral("--format takes 340 or csv"));

    const QString sourceName = invocation.arguments().first();
    device::DeviceSet set;
    QSerialPort port;
    const int status = readSource(sourceName, invocation.port(), port, Slopes::Any, &set);
    if (status != Success)
        return status;

    const QVector<curveexport::Row> table = tableOf(set);
    if (formatName == QLatin1String("csv"))
        return writeOutput(invocation.output(), curveexport::toCsv(table));
    const curveexport::Text text = curveexport::to340(table, {invocation.value(SensorModel), invocation.value(SerialNumber)});
    if (!text.ok()) {
        err(QStringLiteral("%1: %2").arg(sourceName, text.error));
        return FileProblem;
    }
    return writeOutput(invocation.output(), text.text);
}

} // namespace

Command exportCommand()
{
    return {QStringLiteral("export"),
            QStringLiteral("a calibration set's table as a standard curve file (340 or CSV)"),
            {{QStringLiteral("SOURCE"), QStringLiteral("A calibration file, or 'instrument'.")}},
            {QCommandLineOption(Format,
                                QStringLiteral("340 (header and breakpoints, by rising voltage) or csv (the table's "
                                               "rows in order). Required."),
                                QStringLiteral("FORMAT")),
             outputOption(QStringLiteral("Writes FILE instead of standard output.")),
             QCommandLineOption(SensorModel, QStringLiteral("The header's sensor model."), QStringLiteral("TEXT")),
             QCommandLineOption(SerialNumber, QStringLiteral("The header's serial number."), QStringLiteral("TEXT"))},
            run};
}

} // namespace cli
