#pragma once

// The shape of Widget is fixed: its class name, show(), setTemepratureData(), the members ui
// and serialPort, the slots and the form's object names are what operators' scripts and the
// form rely on. Keep them as they are, misspelling included; add behind them, never rename.

#include "calibrationset.h"
#include "numbers.h"

#include <QPair>
#include <QWidget>

#include <memory>
#include <optional>

class QLineEdit;
class QSerialPort;
class Ui_Widget;

namespace ports {
class Port;
class SerialPort;
}

namespace protocol {
class Link;
}

// The one window: the live reading, the calibration set and the actions on them. Its
// widgets are the only store of the calibration set; every action reads or fills them.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // Finds and opens the one instrument, then shows the window. Without exactly one
    // instrument whose port opens, tells the operator and ends the process with status 1.
    // A network port named with --port (socket://, rfc2217://) is connected to instead.
    void show();

    // Writes one row of the calibration table, shown with 6 significant digits.
    void setTemepratureData(int row, float voltage, float temperature);
    // Reads one row as (voltage, temperature); text that does not convert reads as 0.
    QPair<float, float> temperatureData(int row) const;

private slots:
    void on_pbUpdateData_clicked();
    void on_pbGetConstants_clicked();
    void on_pbOpenTable_clicked();
    void on_pbSetConstants_clicked();
    void on_pbWriteEeprom_clicked();
    void on_pbSave_clicked();
    void on_pbLoad_clicked();

private:
    [[noreturn]] void failStartup(const QString &text);
    void showError(const QString &text);
    bool reportLinkFailure(const protocol::Link &link);
    QLineEdit *cell(int row, int column) const;
    QString columnTitle(int column) const;
    // Every value of the window, or nothing after telling the operator which field is not
    // a number.
    std::optional<CalibrationSet> readCalibration(numbers::Precision precision);

    // The port an action runs on: the network port when one was named, else the window's
    // serial port, lent for the action as `lent`.
    ports::Port *portFor(ports::SerialPort &lent) const;

    Ui_Widget *ui;
    QSerialPort *serialPort;
    // A socket:// or rfc2217:// port named with --port; serialPort then stays closed.
    std::unique_ptr<ports::Port> networkPort;
};
