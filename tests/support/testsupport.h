#pragma once

#include "curveimport.h"
#include "instrument.h"
#include "portdiscovery.h"

#include <QApplication>
#include <QIODevice>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <memory>

class QLineEdit;
class QPushButton;
class QTableWidget;
class Widget;

namespace testsupport {

// The four constant fields, in the order the window lays them out.
extern const char *const ConstantFields[4];

// Imports curve text as the window imports a file, from memory.
curveimport::Result importBytes(const QByteArray &bytes);

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

// Makes discovery report exactly these ports.
void presentPorts(const QList<portdiscovery::Port> &ports);

// Answers the modal dialogs that the window opens, since offscreen tests have nobody to
// click them: message boxes are recorded and closed; file dialogs are recorded and given
// the next queued answer (an empty answer cancels).
class ModalDriver : public QObject
{
public:
    struct Box
    {
        QString title;
        QString text;
        int icon;
    };
    struct FileDialog
    {
        QString caption;
        QStringList nameFilters;
        bool saving;
    };

    ModalDriver();

    void answerFileDialog(const QString &path) { m_fileAnswers.append(path); }

    QList<Box> boxes;
    QList<FileDialog> fileDialogs;

    QStringList boxTexts() const;

private:
    void poll();
    QTimer m_timer;
    QStringList m_fileAnswers;
};

// A window whose instrument is the simulated one on a pseudo-terminal, shown and ready.
class Bench
{
public:
    explicit Bench(std::unique_ptr<sim::Firmware> firmware = nullptr);
    ~Bench();

    sim::Instrument instrument;
    std::unique_ptr<Widget> window;
    ModalDriver modals;

    QLineEdit *field(const char *objectName) const;
    QPushButton *button(const char *objectName) const;
    QTableWidget *grid() const;
    QLineEdit *cell(int row, int column) const;
    QString cellText(int row, int column) const;
    // Clicks the button and returns the milliseconds the click took.
    qint64 click(const char *buttonName);

    // Every text the calibration set occupies in the window: the four constants, then the
    // grid row by row.
    QStringList calibrationTexts() const;
    void fillCalibration(const QString &text);
    // The command codes of the requests the instrument has received, in order.
    QByteArray requestCodes() const;
};

} // namespace testsupport
