#include "widget.h"
#include "ui_widget.h"

#include "calibrationfile.h"
#include "curveimport.h"
#include "device.h"
#include "portname.h"
#include "ports.h"
#include "protocol.h"

#include <QDebug>
#include <QDoubleValidator>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QSerialPort>

#include <cstdlib>

namespace {

// The read-back box names this many differences and counts the rest.
constexpr int MaxListedDifferences = 3;

// Keeps the action buttons disabled while an action that must not be interleaved with
// another runs, however it ends.
class ButtonsDisabled
{
public:
    explicit ButtonsDisabled(const QList<QWidget *> &buttons)
    {
        for (QWidget *button : buttons) {
            if (button->isEnabled()) {
                button->setEnabled(false);
                m_buttons.append(button);
            }
        }
    }
    ~ButtonsDisabled()
    {
        for (const QPointer<QWidget> &button : qAsConst(m_buttons)) {
            if (button)
                button->setEnabled(true);
        }
    }
    ButtonsDisabled(const ButtonsDisabled &) = delete;
    ButtonsDisabled &operator=(const ButtonsDisabled &) = delete;

private:
    QList<QPointer<QWidget>> m_buttons;
};

// A grid cell's validator: C-locale numbers, where a comma typed or pasted becomes the
// decimal point. A keypad that types a comma would otherwise have that keystroke refused
// without a word, turning 1,5 into 15.
class CellValidator : public QDoubleValidator
{
public:
    explicit CellValidator(QObject *parent) : QDoubleValidator(parent)
    {
        QLocale locale(QLocale::C);
        locale.setNumberOptions(QLocale::RejectGroupSeparator);
        setLocale(locale);
    }

    State validate(QString &input, int &position) const override
    {
        input.replace(QLatin1Char(','), QLatin1Char('.'));
        return QDoubleValidator::validate(input, position);
    }
};

class WaitCursor
{
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

} // namespace

Widget::Widget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_Widget)
    , serialPort(nullptr)
{
    ui->setupUi(this);
    ui->tabWidget->setCurrentIndex(0);

    // Cells accept what is later read from them: C-locale numbers without group separators.
    for (int row = 0; row < ui->twTableData->rowCount(); ++row) {
        for (int column = 0; column < 2; ++column) {
            auto *editor = new QLineEdit;
            editor->setFrame(false);
            editor->setValidator(new CellValidator(this));
            ui->twTableData->setCellWidget(row, column, editor);
        }
    }
}

Widget::~Widget()
{
    delete ui;
}

void Widget::show()
{
    serialPort = new QSerialPort(this);

    const device::FindResult found = device::findInstrument();
    for (const portdiscovery::Port &port : found.instruments)
        qDebug() << port.name;
    if (found.status == device::FindStatus::NoInstrument)
        failStartup(tr("There is no any connected devices"));
    if (found.status == device::FindStatus::SeveralInstruments)
        failStartup(tr("Too much available ports. Must be only one."));
    if (portname::isUrl(found.portName)) {
        portname::Opened opened = portname::open(found.portName);
        if (!opened.port) {
            qWarning().noquote() << QStringLiteral("%1: %2").arg(found.portName, opened.reason);
            failStartup(tr("Can't open Virtual Com port."));
        }
        networkPort = std::move(opened.port);
        networkPort->closeOnFatalError();
    } else {
        if (!portname::openSerial(*serialPort, found.portName))
            failStartup(tr("Can't open Virtual Com port."));
        ports::SerialPort(serialPort).closeOnFatalError();
    }

    QWidget::show();
}

ports::Port *Widget::portFor(ports::SerialPort &lent) const
{
    return networkPort ? networkPort.get() : &lent;
}

void Widget::failStartup(const QString &text)
{
    QMessageBox::critical(this, tr("Error"), text, QMessageBox::Ok, QMessageBox::NoButton);
    std::exit(1);
}

void Widget::showError(const QString &text)
{
    QMessageBox::critical(this, tr("Error"), text, QMessageBox::Ok, QMessageBox::NoButton);
}

bool Widget::reportLinkFailure(const protocol::Link &link)
{
    if (link.failure() == protocol::LinkFailure::None)
        return false;
    showError(protocol::message(link.failure()));
    return true;
}

QLineEdit *Widget::cell(int row, int column) const
{
    return qobject_cast<QLineEdit *>(ui->twTableData->cellWidget(row, column));
}

QString Widget::columnTitle(int column) const
{
    return ui->twTableData->horizontalHeaderItem(column)->text();
}

void Widget::setTemepratureData(int row, float voltage, float temperature)
{
    cell(row, 0)->setText(numbers::format(voltage));
    cell(row, 1)->setText(numbers::format(temperature));
}

QPair<float, float> Widget::temperatureData(int row) const
{
    return {cell(row, 0)->text().toFloat(), cell(row, 1)->text().toFloat()};
}

std::optional<CalibrationSet> Widget::readCalibration(numbers::Precision precision)
{
    numbers::FieldReader reader(precision);
    CalibrationSet set;
    set.adcSlope = reader.read(device::fieldLabel(device::Field::AdcSlope), ui->leADCslope->text());
    set.adcIntercept = reader.read(device::fieldLabel(device::Field::AdcIntercept), ui->leADCintercept->text());
    set.dacSlope = reader.read(device::fieldLabel(device::Field::DacSlope), ui->leDACslope->text());
    set.dacIntercept = reader.read(device::fieldLabel(device::Field::DacIntercept), ui->leDACintercept->text());
    const int rows = ui->twTableData->rowCount();
    set.table.reserve(rows);
    for (int row = 0; row < rows; ++row) {
        const double voltage = reader.read(numbers::cellName(row, columnTitle(0)), cell(row, 0)->text());
        const double temperature = reader.read(numbers::cellName(row, columnTitle(1)), cell(row, 1)->text());
        set.table.append({voltage, temperature});
    }
    if (!reader.ok()) {
        showError(reader.problem());
        return std::nullopt;
    }
    return set;
}

void Widget::on_pbUpdateData_clicked()
{
    ports::SerialPort lent(serialPort);
    protocol::Link link(portFor(lent));
    const device::Reading reading = device::readLive(link);
    if (reading.voltage)
        ui->leVoltage->setText(numbers::format(*reading.voltage));
    if (reading.temperature)
        ui->leTemperature->setText(numbers::format(*reading.temperature));
    reportLinkFailure(link);
}

void Widget::on_pbGetConstants_clicked()
{
    ports::SerialPort lent(serialPort);
    protocol::Link link(portFor(lent));
    const device::PartialSet parts = device::readParts(link);
    if (parts.adc) {
        ui->leADCslope->setText(numbers::format(parts.adc->first));
        ui->leADCintercept->setText(numbers::format(parts.adc->second));
    }
    if (parts.dac) {
        ui->leDACslope->setText(numbers::format(parts.dac->first));
        ui->leDACintercept->setText(numbers::format(parts.dac->second));
    }
    if (parts.table) {
        for (int row = 0; row < parts.table->size(); ++row)
            setTemepratureData(row, parts.table->at(row).first, parts.table->at(row).second);
    }
    reportLinkFailure(link);
}

void Widget::on_pbOpenTable_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open file..."));
    if (path.isEmpty())
        return;

    curveimport::Result result;
    {
        WaitCursor busy;
        result = curveimport::importFile(path);
    }
    if (!result.ok()) {
        showError(result.error);
        return;
    }
    for (int row = 0; row < result.rows.size(); ++row)
        setTemepratureData(row, float(result.rows[row].first), float(result.rows[row].second));
}

void Widget::on_pbSetConstants_clicked()
{
    // Everything is read and checked before the first request goes out, so the instrument
    // gets either the whole set as the window showed it at the click, or nothing.
    const std::optional<CalibrationSet> set = readCalibration(numbers::Precision::Float);
    if (!set)
        return;
    const device::DeviceSet sent = device::toDevice(*set);
    // Empty fields read as 0, so a fresh window would send slopes of 0 and the instrument
    // would then show no temperature at all.
    if (const auto slope = device::zeroSlope(sent)) {
        showError(tr("%1: get or load the constants first.").arg(device::zeroSlopeText(*slope)));
        return;
    }

    ports::SerialPort lent(serialPort);
    protocol::Link link(portFor(lent));
    std::optional<QVector<device::Difference>> differences;
    {
        // The pauses between the writes keep the window live; no other action may slip its
        // requests in between.
        const ButtonsDisabled locked({ui->pbUpdateData, ui->pbGetConstants, ui->pbOpenTable,
                                      ui->pbSetConstants, ui->pbWriteEeprom, ui->pbSave,
                                      ui->pbLoad});
        device::writeSet(link, sent);
        differences = device::verify(link, sent);
    }
    if (reportLinkFailure(link) || !differences || differences->isEmpty())
        return;
    const QStringList listed = device::describe(*differences, MaxListedDifferences,
                                                device::Digits::Window);
    showError(tr("The instrument holds different values: %1.").arg(listed.join(QLatin1String("; "))));
}

void Widget::on_pbWriteEeprom_clicked()
{
    ports::SerialPort lent(serialPort);
    protocol::Link link(portFor(lent));
    device::commit(link);
    reportLinkFailure(link);
}

void Widget::on_pbSave_clicked()
{
    // Checked before asking for a name: a set that cannot be saved needs fixing first.
    const std::optional<CalibrationSet> set = readCalibration(numbers::Precision::Double);
    if (!set)
        return;
    const QString chosen = QFileDialog::getSaveFileName(this, tr("Save file..."), QString(),
                                                        tr("JSON(*json)"));
    if (chosen.isEmpty())
        return;
    const auto status = calibrationfile::save(calibrationfile::withJsonSuffix(chosen), *set);
    if (status != calibrationfile::SaveStatus::Saved)
        showError(calibrationfile::message(status));
}

void Widget::on_pbLoad_clicked()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open file..."), QString(),
                                                      tr("DEVICE (*.json)"));
    if (path.isEmpty())
        return;
    const calibrationfile::LoadResult result = calibrationfile::load(path);
    if (result.status != calibrationfile::LoadStatus::Loaded) {
        showError(calibrationfile::message(result.status));
        return;
    }
    const CalibrationSet &set = result.set;
    ui->leADCslope->setText(numbers::format(set.adcSlope));
    ui->leADCintercept->setText(numbers::format(set.adcIntercept));
    ui->leDACslope->setText(numbers::format(set.dacSlope));
    ui->leDACintercept->setText(numbers::format(set.dacIntercept));
    // The file's values are shown as loaded, not narrowed to single precision first.
    const int rows = qMin(ui->twTableData->rowCount(), set.table.size());
    for (int row = 0; row < rows; ++row) {
        cell(row, 0)->setText(numbers::format(set.table[row].first));
        cell(row, 1)->setText(numbers::format(set.table[row].second));
    }
}
