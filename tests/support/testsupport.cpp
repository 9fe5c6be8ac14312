#include "testsupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>

#include <cmath>
#include <cstring>

namespace testsupport {

const char *const ConstantFields[4] = {"leADCslope", "leADCintercept", "leDACslope", "leDACintercept"};

sim::Constants sampleConstants()
{
    sim::Constants constants;
    constants.adcSlope = 1.0f;
    constants.adcIntercept = 0.5f;
    constants.dacSlope = 3276.8f;
    constants.dacIntercept = -12.5f;
    for (int row = 0; row < 100; ++row)
        constants.table[size_t(row)] = {float((16000 - 125 * row) / 10000.0), float((14 + 50 * row) / 10.0)};
    constants.table[42] = {0.0f, 273.15f};
    return constants;
}

QString writeFile(const QString &directory, const QString &name, const QByteArray &bytes)
{
    const QString path = QDir(directory).filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

curveimport::Result importBytes(const QByteArray &bytes)
{
    QByteArray data = bytes;
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    return curveimport::importStream(buffer);
}

double kneeDiodeVolts(double kelvin)
{
    // softplus(x) = ln(1 + e^x), written so that neither side overflows.
    const double x = (25.0 - kelvin) / 0.75;
    const double softplus = x > 0.0 ? x + std::log1p(std::exp(-x)) : std::log1p(std::exp(x));
    return 1.15 - 0.00175 * kelvin - 7.5e-7 * kelvin * kelvin + 0.015 * softplus + 0.08 * std::exp(-kelvin / 6.0);
}

QString kneeDiodeFile()
{
    return QStringLiteral(THERMOCAL_TEST_DATA "/curves/silicon-diode-knee.txt");
}

ProcessRun finishProcess(QProcess &process)
{
    ProcessRun result;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.out = process.readAllStandardOutput();
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QList<portdiscovery::Port> portsFromList(const QString &list)
{
    QList<portdiscovery::Port> ports;
    const auto entries = list.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &entry : entries) {
        const QStringList parts = entry.split(QLatin1Char(':'));
        portdiscovery::Port port;
        port.name = parts.at(0);
        if (parts.size() == 3) {
            port.hasUsbIds = true;
            port.vendorId = quint16(parts.at(1).toUInt(nullptr, 16));
            port.productId = quint16(parts.at(2).toUInt(nullptr, 16));
        }
        ports.append(port);
    }
    return ports;
}

qint64 FailingDevice::bytesAvailable() const
{
    return QIODevice::bytesAvailable() + (m_failedReads < GiveUpAfter ? 1 : 0);
}

qint64 FailingDevice::readData(char *data, qint64 maxSize)
{
    if (m_served == m_data.size()) {
        ++m_failedReads;
        setErrorString(QStringLiteral("Input/output error"));
        return -1;
    }
    const qint64 count = qMin(maxSize, qint64(m_data.size() - m_served));
    memcpy(data, m_data.constData() + m_served, size_t(count));
    m_served += int(count);
    return count;
}

bool sameBits(const sim::Constants &a, const sim::Constants &b)
{
    return std::memcmp(&a.adcSlope, &b.adcSlope, sizeof(float)) == 0
        && std::memcmp(&a.adcIntercept, &b.adcIntercept, sizeof(float)) == 0
        && std::memcmp(&a.dacSlope, &b.dacSlope, sizeof(float)) == 0
        && std::memcmp(&a.dacIntercept, &b.dacIntercept, sizeof(float)) == 0
        && std::memcmp(a.table.data(), b.table.data(), sizeof a.table) == 0;
}

void presentPorts(const QList<portdiscovery::Port> &ports)
{
    portdiscovery::setPortSource([ports] { return ports; });
}

} // namespace testsupport
