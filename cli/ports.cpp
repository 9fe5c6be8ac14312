#include "commands.h"

#include "portdiscovery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace cli {

namespace {

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

const QString Json = QStringLiteral("json");

// Every serial port, so an operator can see what is connected and which name to give --port.
int run(const Invocation &invocation)
{
    const QList<portdiscovery::Port> ports = portdiscovery::availablePorts();
    if (invocation.isSet(Json)) {
        QJsonArray array;
        for (const portdiscovery::Port &port : ports) {
            array.append(QJsonObject{
                {QStringLiteral("port"), port.name},
                {QStringLiteral("vid"), port.hasUsbIds ? QJsonValue(frontend::usbId(port.vendorId)) : QJsonValue()},
                {QStringLiteral("pid"), port.hasUsbIds ? QJsonValue(frontend::usbId(port.productId)) : QJsonValue()},
                {QStringLiteral("serial"), orNull(port.serialNumber)},
                {QStringLiteral("description"), orNull(port.description)},
                {QStringLiteral("instrument"), portdiscovery::isInstrument(port)},
            });
        }
        out(QJsonDocument(array).toJson(QJsonDocument::Indented));
        return Success;
    }

    // Aligned columns: name, vendor:product, serial number, description, the instrument mark.
    QVector<QStringList> rows;
    for (const portdiscovery::Port &port : ports) {
        rows.append({port.name,
                     port.hasUsbIds ? frontend::usbIds(port.vendorId, port.productId)
                                    : QStringLiteral("-"),
                     port.serialNumber.isEmpty() ? QStringLiteral("-") : port.serialNumber,
                     port.description.isEmpty() ? QStringLiteral("-") : port.description,
                     portdiscovery::isInstrument(port) ? QStringLiteral("instrument") : QString()});
    }
    QVector<int> widths(5, 0);
    for (const QStringList &row : qAsConst(rows)) {
        for (int column = 0; column < row.size(); ++column)
            widths[column] = qMax(widths[column], row.at(column).size());
    }
    QString text;
    for (const QStringList &row : qAsConst(rows)) {
        QString line;
        for (int column = 0; column < row.size(); ++column)
            line += row.at(column).leftJustified(widths[column] + 2);
        text += line.trimmed() + QLatin1Char('\n');
    }
    out(text);
    if (ports.isEmpty())
        err(QStringLiteral("no serial ports found."));
    return Success;
}

} // namespace

Command portsCommand()
{
    return {QStringLiteral("ports"),
            QStringLiteral("list the serial ports, instruments marked"),
            {},
            {QCommandLineOption(Json, QStringLiteral("An array of JSON objects."))},
            run,
            PortOption::None};
}

} // namespace cli
