#include "cli.h"

#include "curveexport.h"
#include "device.h"

#include <QIODevice>

namespace cli {

// A calibration set's table as a standard curve file: the header-plus-breakpoints form or CSV.
int runExport(const QStringList &arguments)
{
    Parser parser(commandNamed("export"), true);
    const QCommandLineOption format(QStringLiteral("format"),
                                    QStringLiteral("340 (header and breakpoints, by rising voltage) or csv (the table's "
                                                   "rows in order). Required."),
                                    QStringLiteral("FORMAT"));
    const QCommandLineOption output = outputOption(QStringLiteral("Writes FILE instead of standard output."));
    const QCommandLineOption model(QStringLiteral("sensor-model"), QStringLiteral("The header's sensor model."),
                                   QStringLiteral("TEXT"));
    const QCommandLineOption serial(QStringLiteral("serial-number"), QStringLiteral("The header's serial number."),
                                    QStringLiteral("TEXT"));
    parser.parser.addOptions({format, output, model, serial});
    parser.parser.addPositionalArgument(QStringLiteral("SOURCE"), QStringLiteral("A calibration file, or 'instrument'."));
    int status = Success;
    if (!parser.parse(arguments, &status))
        return status;
    if (parser.parser.positionalArguments().size() != 1)
        return parser.usageError(QStringLiteral("takes exactly one source"));
    const QString formatName = parser.parser.value(format);
    if (formatName != QLatin1String("340") && formatName != QLatin1String("csv"))
        return parser.usageError(QStringLiteral("--format takes 340 or csv"));

    const QString sourceName = parser.parser.positionalArguments().first();
    device::DeviceSet set;
    Port port;
    status = readSource(sourceName, parser.port(), port, false, &set);
    if (status != Success)
        return status;

    const QVector<curveexport::Row> table = tableOf(set);
    if (formatName == QLatin1String("csv"))
        return writeOutput(parser.parser.value(output), curveexport::toCsv(table));
    const curveexport::Text text = curveexport::to340(table, {parser.parser.value(model), parser.parser.value(serial)});
    if (!text.ok()) {
        err(QStringLiteral("%1: %2").arg(sourceName, text.error));
        return FileProblem;
    }
    return writeOutput(parser.parser.value(output), text.text);
}

} // namespace cli
