// thermocal-monitor's figures: the resident memory of a week of readings at 10 a second per
// instrument and the time to draw one 1920 x 1080 frame of the chart for each span; then
// what syncing a recording to the disk costs at --interval 0.01 (50 rows between two syncs,
// as the monitor syncs twice a second); then the real program at --interval 0.01 with a
// prompt and a silent instrument, and how late the prompt one's readings came.
// `--seconds N` shortens the last run (default 60).
#include "benchutil.h"
#include "frontend.h"
#include "history.h"
#include "instrument.h"
#include "recorder.h"
#include "stripchart.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cmath>
#include <csignal>
#include <memory>

namespace {

constexpr qint64 WeekReadings = 6048000;
constexpr qint64 ReadingMs = 100;
constexpr int Instruments = 2;
constexpr int FramesPerSpan = 10;
constexpr qint64 MsPerHour = 60 * 60 * 1000;

void historyAndFrames()
{
    const double before = residentMib();
    std::vector<std::unique_ptr<History>> histories;
    const qint64 start = QDateTime::currentMSecsSinceEpoch() - WeekReadings * ReadingMs;
    QElapsedTimer clock;
    clock.start();
    for (int instrument = 0; instrument < Instruments; ++instrument) {
        histories.push_back(std::make_unique<History>());
        for (qint64 index = 0; index < WeekReadings; ++index) {
            const double hours = double(index) * ReadingMs / MsPerHour;
            // A cryostat cooling down and drifting, with a missing reading now and then.
            const float kelvin = float(4.2 + 290.0 * std::exp(-hours / 6.0) + 0.05 * std::sin(index * 0.01) + instrument);
            histories.back()->add(start + index * ReadingMs, index % 10007 == 0 ? std::nullopt : std::optional<float>(kelvin));
        }
    }
    const double fillMs = clock.nsecsElapsed() / 1e6;
    const double after = residentMib();
    std::printf("%-44s %.1f MiB resident for the process (%.1f MiB before), %d instruments, filled in %.0f ms   "
                "(target: under 150 MiB)\n",
                "History, a week at 10 readings/s", after, before, Instruments, fillMs);

    const qint64 newest = start + (WeekReadings - 1) * ReadingMs;
    QImage frame(1920, 1080, QImage::Format_ARGB32_Premultiplied);
    for (frontend::ChartSpan span : frontend::chartSpans()) {
        // The whole run is the week of readings.
        if (span.ms == 0)
            span.ms = newest - start;
        QVector<double> times;
        for (int run = 0; run < FramesPerSpan; ++run) {
            QElapsedTimer one;
            one.start();
            const qint64 from = newest - span.ms;
            QVector<stripchart::Trace> traces;
            for (int instrument = 0; instrument < Instruments; ++instrument)
                traces.append({QStringLiteral("instrument %1").arg(instrument + 1), histories.at(size_t(instrument))->samples(from, newest, (newest - from) / 1920), 300});
            frame.fill(Qt::white);
            QPainter painter(&frame);
            stripchart::draw(painter, QRectF(0, 0, 1920, 1080), traces, {from, newest}, QStringLiteral("Temperature (K)"));
            painter.end();
            times.append(one.nsecsElapsed() / 1e6);
        }
        const QByteArray label = QByteArray("Chart frame 1920x1080, span ") + span.label.toUtf8();
        printFigures(label.constData(), times, "under 16 ms");
    }
}

// Rows as the monitor writes them at --interval 0.01, with a sync every half second's worth:
// the time each sync takes, in the thread that runs the window.
void recordingSync()
{
    constexpr int Syncs = 40;
    constexpr int RowsPerSync = 50;
    QTemporaryDir dir;
    Recorder recorder;
    if (!recorder.start(dir.filePath(QStringLiteral("sync.csv"))))
        qFatal("%s", qPrintable(recorder.error()));
    QVector<double> times;
    qint64 utcMs = QDateTime::currentMSecsSinceEpoch();
    for (int sync = 0; sync < Syncs; ++sync) {
        for (int row = 0; row < RowsPerSync; ++row)
            recorder.write(utcMs += 10, QStringLiteral("/dev/ttyACM0"), 1.0015106f, 77.44232f);
        QElapsedTimer clock;
        clock.start();
        if (!recorder.sync())
            qFatal("%s", qPrintable(recorder.error()));
        times.append(clock.nsecsElapsed() / 1e6);
    }
    printFigures("Recording sync, 50 rows (--interval 0.01)", times, "well under the 500 ms between syncs");
}

struct Row
{
    qint64 ms;
    bool answered;
};

void schedule(int seconds)
{
    sim::Instrument prompt;
    sim::Instrument silent;
    if (!prompt.start() || !silent.start())
        qFatal("the simulated instruments did not start");
    prompt.withFirmware([](sim::Firmware &firmware) {
        firmware.voltage = 1.0f;
        firmware.temperature = 77.0f;
    });
    sim::Faults faults;
    faults.silent = true;
    silent.setFaults(faults);
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("log.csv"));
    QProcess monitor;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    monitor.setProcessEnvironment(env);
    monitor.start(QStringLiteral(MONITOR_PATH), {QStringLiteral("--port"), prompt.portName(), QStringLiteral("--port"),
                                                 silent.portName(), QStringLiteral("--interval"), QStringLiteral("0.01"),
                                                 QStringLiteral("--record"), record});
    if (!monitor.waitForStarted())
        qFatal("thermocal-monitor did not start");
    QThread::sleep(static_cast<unsigned long>(seconds));
    ::kill(pid_t(monitor.processId()), SIGTERM);
    monitor.waitForFinished(10000);

    QFile file(record);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("no recording");
    QVector<Row> rows;
    for (const QByteArray &line : file.readAll().split('\n').mid(1)) {
        const QList<QByteArray> fields = line.split(',');
        if (fields.size() != 4 || fields.at(1) != prompt.portName().toUtf8())
            continue;
        rows.append({QDateTime::fromString(QString::fromUtf8(fields.at(0)), Qt::ISODateWithMs).toMSecsSinceEpoch(),
                     !fields.at(3).isEmpty()});
    }
    if (rows.isEmpty()) {
        std::printf("no readings of the prompt instrument\n");
        return;
    }
    // The schedule's grid is unknown to the recording (even the first reading may be late);
    // it is taken as the phase of the 10 ms grid that makes the worst lateness smallest.
    constexpr qint64 IntervalMs = 10;
    qint64 worstLateMs = IntervalMs;
    qint64 phase = 0;
    for (qint64 candidate = 0; candidate < IntervalMs; ++candidate) {
        qint64 worst = 0;
        for (const Row &row : rows)
            worst = std::max(worst, ((row.ms - candidate) % IntervalMs + IntervalMs) % IntervalMs);
        if (worst < worstLateMs) {
            worstLateMs = worst;
            phase = candidate;
        }
    }
    int unanswered = 0;
    for (const Row &row : rows)
        unanswered += row.answered ? 0 : 1;
    const qint64 first = rows.first().ms;
    const qint64 expected = (rows.last().ms - phase) / IntervalMs - (first - phase) / IntervalMs + 1;
    std::printf("%-44s %d readings over %lld ms: worst lateness %lld ms, %lld missing, %d without an answer   "
                "(target: under 5 ms, none missing)\n",
                "Monitor --interval 0.01, prompt beside silent", int(rows.size()),
                static_cast<long long>(rows.last().ms - first), static_cast<long long>(worstLateMs),
                static_cast<long long>(expected - rows.size()), unanswered);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    int seconds = 60;
    const QStringList arguments = application.arguments();
    const int at = arguments.indexOf(QStringLiteral("--seconds"));
    if (at > 0 && at + 1 < arguments.size())
        seconds = arguments.at(at + 1).toInt();
    historyAndFrames();
    recordingSync();
    schedule(seconds);
    return 0;
}
