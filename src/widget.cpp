#include "widget.h"
#include "ui_widget.h"

#include "calibrationfile.h"
#include "curveimport.h"
#include "portdiscovery.h"
#include "protocol.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDoubleValidator>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QSerialPort>

#include <cstdlib>

using protocol::Command;

namespace {

constexpr qint32 BaudRate = 500000;
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

// A slope of 0 collapses every reading onto the intercept and the instrument then shows no
// temperature at all. Empty fields read as 0, so this is what a fresh window would send.
// Compared as sent, in single precision. Empty when both slopes can be sent.
QString zeroSlopeProblem(const CalibrationSet &set)
{
    if (float(set.adcSlope) == 0.0f)
        return QCoreApplication::translate("Widget", "ADC slope is 0: get or load the constants first.");
    if (float(set.dacSlope) == 0.0f)
        return QCoreApplication::translate("Widget", "DAC slope is 0: get or load the constants first.");
    return QString();
}

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

    QStringList candidates;
    const auto ports = portdiscovery::availablePorts();
    for (const portdiscovery::Port &port : ports) {
        if (!portdiscovery::isInstrument(port))
            continue;
        candidates.append(port.name);
        qDebug() << port.name;
    }
    if (candidates.isEmpty())
        failStartup(tr("There is no any connected devices"));
    if (candidates.size() > 1)
        failStartup(tr("Too much available ports. Must be only one."));

    serialPort->setPortName(candidates.first());
    serialPort->setBaudRate(BaudRate, QSerialPort::AllDirections);
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setParity(QSerialPort::NoParity);
    if (!serialPort->isOpen() && !serialPort->open(QIODevice::ReadWrite))
        failStartup(tr("Can't open Virtual Com port."));
    protocol::closeOnFatalError(*serialPort);

    QWidget::show();
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
    set.adcSlope = reader.read(tr("ADC slope"), ui->leADCslope->text());
    set.adcIntercept = reader.read(tr("ADC intercept"), ui->leADCintercept->text());
    set.dacSlope = reader.read(tr("DAC slope"), ui->leDACslope->text());
    set.dacIntercept = reader.read(tr("DAC intercept"), ui->leDACintercept->text());
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
    protocol::Link link(serialPort);
    if (const auto voltage = link.query(Command::ReadVoltage))
        ui->leVoltage->setText(numbers::format(voltage->at(0)));
    if (const auto temperature = link.query(Command::ReadTemperature))
        ui->leTemperature->setText(numbers::format(temperature->at(0)));
    reportLinkFailure(link);
}

void Widget::on_pbGetConstants_clicked()
{
    protocol::Link link(serialPort);
    if (const auto adc = link.query(Command::ReadAdc)) {
        ui->leADCslope->setText(numbers::format(adc->at(0)));
        ui->leADCintercept->setText(numbers::format(adc->at(1)));
    }
    if (const auto dac = link.query(Command::ReadDac)) {
        ui->leDACslope->setText(numbers::format(dac->at(0)));
        ui->leDACintercept->setText(numbers::format(dac->at(1)));
    }
    if (const auto table = link.query(Command::ReadTable)) {
        const auto rows = protocol::decodeTable(*table);
        for (int row = 0; row < rows.size(); ++row)
            setTemepratureData(row, rows[row].first, rows[row].second);
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
    const QString slopeProblem = zeroSlopeProblem(*set);
    if (!slopeProblem.isEmpty()) {
        showError(slopeProblem);
        return;
    }
    QVector<QPair<float, float>> rows;
    rows.reserve(protocol::TableRows);
    for (int row = 0; row < protocol::TableRows; ++row)
        rows.append(temperatureData(row));

    QStringList differences;
    protocol::Link link(serialPort);
    {
        // The pauses between the writes keep the window live; no other action may slip its
        // requests in between.
        const ButtonsDisabled locked({ui->pbUpdateData, ui->pbGetConstants, ui->pbOpenTable,
                                      ui->pbSetConstants, ui->pbWriteEeprom, ui->pbSave,
                                      ui->pbLoad});
        link.pacedSend(protocol::request(Command::WriteAdc,
                                         {float(set->adcSlope), float(set->adcIntercept)}));
        link.pacedSend(protocol::request(Command::WriteDac,
                                         {float(set->dacSlope), float(set->dacIntercept)}));
        link.pacedSend(protocol::tableRequest(rows));
        differences = differencesFromInstrument(link, *set, rows);
    }
    if (reportLinkFailure(link) || differences.isEmpty())
        return;
    showError(tr("The instrument holds different values: %1.").arg(differences.join(QLatin1String("; "))));
}

// Reads the set back and lists where the instrument holds something other than what was
// sent, compared as the single-precision values that went over the wire.
QStringList Widget::differencesFromInstrument(protocol::Link &link, const CalibrationSet &sent,
                                              const QVector<QPair<float, float>> &rows)
{
    QStringList differences;
    int count = 0;
    const auto compare = [&](const QString &field, float expected, float held) {
        if (expected == held)
            return;
        if (++count <= MaxListedDifferences) {
            differences.append(tr("%1: sent %2, holds %3")
                                   .arg(field, numbers::format(expected), numbers::format(held)));
        }
    };

    if (const auto adc = link.query(Command::ReadAdc)) {
        compare(tr("ADC slope"), float(sent.adcSlope), adc->at(0));
        compare(tr("ADC intercept"), float(sent.adcIntercept), adc->at(1));
    }
    if (const auto dac = link.query(Command::ReadDac)) {
        compare(tr("DAC slope"), float(sent.dacSlope), dac->at(0));
        compare(tr("DAC intercept"), float(sent.dacIntercept), dac->at(1));
    }
    if (const auto table = link.query(Command::ReadTable)) {
        const auto held = protocol::decodeTable(*table);
        for (int row = 0; row < rows.size(); ++row) {
            compare(numbers::cellName(row, columnTitle(0)), rows[row].first, held[row].first);
            compare(numbers::cellName(row, columnTitle(1)), rows[row].second, held[row].second);
        }
    }
    if (count > MaxListedDifferences)
        differences.append(tr("and %n more", nullptr, count - MaxListedDifferences));
    return differences;
}

void Widget::on_pbWriteEeprom_clicked()
{
    protocol::Link link(serialPort);
    link.plainSend(protocol::request(Command::CommitEeprom));
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
