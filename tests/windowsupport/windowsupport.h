#pragma once

#include "instrument.h"
#include "testsupport.h"

#include <QStringList>
#include <QTimer>

#include <memory>

class QLineEdit;
class QPushButton;
class QTableWidget;
class Widget;

// Test helpers for the window: modal dialog answers and a window on the simulated instrument.
namespace testsupport {

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
