#include "monitorwindow.h"

#include "chartview.h"
#include "curveplot.h"
#include "frontend.h"
#include "monitorsession.h"
#include "numbers.h"
#include "stripchart.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int RefreshMs = 200;     // the chart redraws at most this often
constexpr int TemperaturePoints = 40;
constexpr int VoltagePoints = 20;
constexpr int DetailPoints = 12;
using numbers::MsPerSecond;
constexpr double MostKelvin = 100000.0;
constexpr int KelvinDecimals = 3;
constexpr int PictureWidth = 1600;
constexpr int PictureHeight = 900;
constexpr int DefaultWidth = 960;   // fits a 1024 x 768 screen
constexpr int DefaultHeight = 680;

QFont sized(const QFont &base, int points, bool bold)
{
    QFont font = base;
    font.setPointSize(points);
    font.setBold(bold);
    return font;
}

QString stateText(const MonitorSession::Instrument &one)
{
    switch (one.state) {
    case PortState::Reading:
        return MonitorWindow::tr("reading");
    case PortState::NoAnswer:
        return MonitorWindow::tr("no answer");
    case PortState::Disconnected:
        break;
    }
    return MonitorWindow::tr("disconnected since %1")
        .arg(QDateTime::fromMSecsSinceEpoch(one.sinceUtcMs).toString(QStringLiteral("HH:mm:ss")));
}

} // namespace

MonitorWindow::MonitorWindow(MonitorSession &session, QWidget *parent)
    : QWidget(parent)
    , m_session(session)
    , m_banner(new QLabel(this))
    , m_noInstrument(new QLabel(tr("No instrument connected"), this))
    , m_readoutRow(new QHBoxLayout)
    , m_span(new QComboBox(this))
    , m_record(new QPushButton(tr("Record..."), this))
    , m_stopRecording(new QPushButton(tr("Stop recording"), this))
    , m_message(new QLabel(this))
    , m_chart(new ChartView(session, this))
    , m_refresh(new QTimer(this))
{
    setWindowTitle(tr("thermocal monitor"));
    auto *layout = new QVBoxLayout(this);

    m_banner->setObjectName(QStringLiteral("lbAlarm"));
    m_banner->setStyleSheet(QStringLiteral("background: #c00000; color: white; padding: 8px;"));
    m_banner->setFont(sized(font(), DetailPoints + 4, true));
    m_banner->setWordWrap(true);
    m_banner->hide();
    layout->addWidget(m_banner);

    m_noInstrument->setObjectName(QStringLiteral("lbNoInstrument"));
    m_noInstrument->setFont(sized(font(), VoltagePoints, true));
    m_noInstrument->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_noInstrument);
    layout->addLayout(m_readoutRow);

    auto *controls = new QHBoxLayout;
    controls->addWidget(new QLabel(tr("Span:"), this));
    m_span->setObjectName(QStringLiteral("cbSpan"));
    for (const frontend::ChartSpan &span : frontend::chartSpans())
        m_span->addItem(span.label, span.ms);
    controls->addWidget(m_span);
    auto *savePicture = new QPushButton(tr("Save picture..."), this);
    savePicture->setObjectName(QStringLiteral("pbSavePicture"));
    controls->addWidget(savePicture);
    m_record->setObjectName(QStringLiteral("pbRecord"));
    controls->addWidget(m_record);
    m_stopRecording->setObjectName(QStringLiteral("pbStopRecording"));
    controls->addWidget(m_stopRecording);
    auto *alarms = new QPushButton(tr("Alarms..."), this);
    alarms->setObjectName(QStringLiteral("pbAlarms"));
    controls->addWidget(alarms);
    m_message->setObjectName(QStringLiteral("lbMessage"));
    m_message->setWordWrap(true);
    controls->addWidget(m_message, 1);
    layout->addLayout(controls);
    m_chart->setObjectName(QStringLiteral("chart"));
    layout->addWidget(m_chart, 1);

    connect(m_span, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { m_chart->setSpanMs(m_span->itemData(index).toLongLong()); });
    connect(&m_session, &MonitorSession::instrumentAdded, this, &MonitorWindow::addReadout);
    connect(&m_session, &MonitorSession::readingArrived, this, &MonitorWindow::showReading);
    connect(&m_session, &MonitorSession::stateChanged, this, &MonitorWindow::showState);
    connect(&m_session, &MonitorSession::alarmEvent, this, &MonitorWindow::showAlarms);
    connect(&m_session, &MonitorSession::recordingChanged, this, &MonitorWindow::showRecording);
    m_refresh->setInterval(RefreshMs);
    connect(m_refresh, &QTimer::timeout, this, &MonitorWindow::refresh);
    m_refresh->start();
    QMetaObject::connectSlotsByName(this);

    for (int index = 0; index < m_session.count(); ++index)
        addReadout(index);
    showRecording(m_session.isRecording(), QString());
    resize(DefaultWidth, DefaultHeight);
}

void MonitorWindow::addReadout(int index)
{
    Readout readout;
    readout.frame = new QWidget(this);
    readout.frame->setObjectName(QStringLiteral("readout%1").arg(index));
    auto *column = new QVBoxLayout(readout.frame);
    readout.temperature = new QLabel(QStringLiteral("– K"), readout.frame);
    readout.temperature->setObjectName(QStringLiteral("lbTemperature"));
    readout.temperature->setFont(sized(font(), TemperaturePoints, true));
    readout.voltage = new QLabel(QStringLiteral("– V"), readout.frame);
    readout.voltage->setObjectName(QStringLiteral("lbVoltage"));
    readout.voltage->setFont(sized(font(), VoltagePoints, false));
    readout.port = new QLabel(readout.frame);
    readout.port->setObjectName(QStringLiteral("lbPort"));
    readout.port->setFont(sized(font(), DetailPoints, true));
    readout.port->setStyleSheet(QStringLiteral("color: %1;").arg(curveplot::colourOf(index).name()));
    readout.state = new QLabel(readout.frame);
    readout.state->setObjectName(QStringLiteral("lbState"));
    readout.state->setFont(sized(font(), DetailPoints, false));
    for (QLabel *label : {readout.temperature, readout.voltage, readout.port, readout.state})
        column->addWidget(label);
    m_readoutRow->addWidget(readout.frame);
    m_readouts.append(readout);
    m_noInstrument->hide();
    showState(index);
}

void MonitorWindow::showReading(int index)
{
    const MonitorSession::Instrument &one = m_session.instrument(index);
    const Readout &readout = m_readouts.at(index);
    if (one.latest && one.latest->temperature && one.latest->voltage) {
        readout.temperature->setText(tr("%1 K").arg(numbers::shortest(*one.latest->temperature)));
        readout.voltage->setText(tr("%1 V").arg(numbers::shortest(*one.latest->voltage)));
    }
    m_chartStale = true;
}

void MonitorWindow::showState(int index)
{
    const MonitorSession::Instrument &one = m_session.instrument(index);
    const Readout &readout = m_readouts.at(index);
    readout.port->setText(one.port);
    readout.state->setText(stateText(one));
    if (one.state != PortState::Reading) {
        readout.temperature->setStyleSheet(QStringLiteral("color: gray;"));
        readout.voltage->setStyleSheet(QStringLiteral("color: gray;"));
    } else {
        readout.temperature->setStyleSheet(QString());
        readout.voltage->setStyleSheet(QString());
    }
}

void MonitorWindow::showAlarms()
{
    QStringList lines;
    for (int index = 0; index < m_session.count(); ++index) {
        const auto active = m_session.activeAlarm(index);
        if (active)
            lines << m_session.lastAlarmText(index);
    }
    m_banner->setText(lines.join(QLatin1Char('\n')));
    m_banner->setVisible(!lines.isEmpty());
}

void MonitorWindow::showRecording(bool recording, const QString &error)
{
    m_record->setEnabled(!recording);
    m_stopRecording->setEnabled(recording);
    if (!error.isEmpty())
        showMessage(error, true);
    else if (recording)
        showMessage(tr("Recording to %1").arg(QFileInfo(m_session.recordingPath()).fileName()), false);
    else
        showMessage(QString(), false);
}

void MonitorWindow::showMessage(const QString &text, bool problem)
{
    m_message->setStyleSheet(problem ? QStringLiteral("color: #c00000;") : QString());
    m_message->setText(text);
}

void MonitorWindow::refresh()
{
    for (int index = 0; index < m_readouts.size(); ++index) {
        if (m_session.instrument(index).state == PortState::Disconnected)
            showState(index);
    }
    if (m_chartStale) {
        m_chartStale = false;
        m_chart->update();
    }
}

void MonitorWindow::on_pbSavePicture_clicked()
{
    QString filter;
    const QString path = QFileDialog::getSaveFileName(this, tr("Save picture"), QString(),
                                                      tr("PNG picture (*.png);;SVG drawing (*.svg)"), &filter);
    if (path.isEmpty())
        return;
    const qint64 from = m_chart->fromMs();
    const qint64 to = m_chart->toMs();
    const QSize size(PictureWidth, PictureHeight);
    const auto traces = m_session.traces(from, to, size.width());
    const bool svg = path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)
                     || (!path.endsWith(QLatin1String(".png"), Qt::CaseInsensitive) && filter.contains(QLatin1String("svg")));
    const curveplot::Written written = svg ? stripchart::writeSvg(path, traces, {from, to}, tr("Temperature (K)"), size)
                                           : stripchart::writePng(path, traces, {from, to}, tr("Temperature (K)"), size);
    if (!written.ok())
        showMessage(written.error, true);
    else
        showMessage(tr("Saved %1").arg(QFileInfo(path).fileName()), false);
}

void MonitorWindow::on_pbRecord_clicked()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Record to"), QString(), tr("CSV files (*.csv)"),
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
    if (!path.isEmpty())
        m_session.startRecording(path);
}

void MonitorWindow::on_pbStopRecording_clicked()
{
    m_session.stopRecording();
}

void MonitorWindow::on_pbAlarms_clicked()
{
    alarms::Settings settings = m_session.options().alarms;
    QDialog dialog(this);
    dialog.setWindowTitle(tr("Alarms"));
    auto *form = new QFormLayout(&dialog);
    const auto limitRow = [&](const QString &text, const std::optional<double> &value) {
        auto *row = new QHBoxLayout;
        auto *on = new QCheckBox(text, &dialog);
        auto *kelvin = new QDoubleSpinBox(&dialog);
        kelvin->setRange(0.0, MostKelvin);
        kelvin->setDecimals(KelvinDecimals);
        kelvin->setSuffix(QStringLiteral(" K"));
        on->setChecked(value.has_value());
        kelvin->setValue(value.value_or(0.0));
        row->addWidget(on);
        row->addWidget(kelvin);
        form->addRow(row);
        return std::make_pair(on, kelvin);
    };
    const auto above = limitRow(tr("Alarm above"), settings.above);
    const auto below = limitRow(tr("Alarm below"), settings.below);
    auto *after = new QDoubleSpinBox(&dialog);
    after->setRange(0.0, frontend::LongestAlarmHoldSeconds);
    after->setSuffix(tr(" s"));
    after->setValue(double(settings.holdMs) / MsPerSecond);
    form->addRow(tr("After:"), after);
    auto *command = new QLineEdit(settings.command, &dialog);
    form->addRow(tr("Command:"), command);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return;
    settings.above = above.first->isChecked() ? std::optional<double>(above.second->value()) : std::nullopt;
    settings.below = below.first->isChecked() ? std::optional<double>(below.second->value()) : std::nullopt;
    settings.holdMs = qint64(after->value() * MsPerSecond);
    settings.command = command->text();
    m_session.setAlarms(settings);
    showAlarms();
}
