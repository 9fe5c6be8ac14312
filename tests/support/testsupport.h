#pragma once

#include "curveimport.h"
#include "instrument.h"
#include "portdiscovery.h"

#include <QCoreApplication>
#include <QIODevice>
#include <QProcess>
#include <QStringList>

namespace testsupport {

// The four constant fields, in the order the window lays them out.
extern const char *const ConstantFields[4];

// A calibration set whose values all show exactly with six digits, as the window shows them.
sim::Constants sampleConstants();

// The command byte of each request the instrument received, in order. Inline, so that the
// helpers link without the instrument's pseudo-terminal host where it does not exist.
inline QByteArray requestCodes(const sim::Instrument &instrument)
{
    QByteArray codes;
    const auto requests = instrument.requests();
    for (const sim::Request &request : requests)
        codes.append(char(request.command()));
    return codes;
}

// Writes `bytes` as the file `name` in `directory` (a fatal error when it cannot); its path.
QString writeFile(const QString &directory, const QString &name, const QByteArray &bytes);

// Imports curve text as the window imports a file, from memory.
curveimport::Result importBytes(const QByteArray &bytes);

// The silicon-diode-like curve of tests/data/curves/silicon-diode-knee.txt, in V: a sharp
// knee near 25 K and a bend towards 500 K, where rows spaced geometrically err by tenths of
// a kelvin.
double kneeDiodeVolts(double kelvin);
// That file's path.
QString kneeDiodeFile();

// How a program run as a subprocess ended.
struct ProcessRun
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray out;
    QString err;
};

// Waits for a started process to end (killing it after a minute) and collects its output.
ProcessRun finishProcess(QProcess &process);

// Ports written as "name[:vendor:product]" separated by ';' (hexadecimal ids), as the test
// hosts take them from THERMOCAL_TEST_PORTS.
QList<portdiscovery::Port> portsFromList(const QString &list);

// Serves its bytes, then fails every read while claiming that more is to come, like a file
// on a failing disk; it gives up claiming only after many failed reads, so a reader that
// ignores the failure ends instead of hanging.
class FailingDevice : public QIODevice
{
public:
    static constexpr int GiveUpAfter = 1000;

    explicit FailingDevice(const QByteArray &data) : m_data(data) {}
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    int failedReads() const { return m_failedReads; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    int m_served = 0;
    int m_failedReads = 0;
};

// True when two calibration sets hold the same bits, value for value.
bool sameBits(const sim::Constants &a, const sim::Constants &b);

// Makes discovery report exactly these ports.
void presentPorts(const QList<portdiscovery::Port> &ports);

} // namespace testsupport
