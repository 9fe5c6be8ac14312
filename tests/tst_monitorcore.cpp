#include "alarm.h"
#include "history.h"
#include "monitoroptions.h"
#include "recorder.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

// In a table of readings: a reading that got no answer (no temperature is below 0 K).
constexpr float Missing = -1.0f;
constexpr int AlarmTickMs = 500;

std::optional<float> valueOf(float value)
{
    return value == Missing ? std::nullopt : std::optional<float>(value);
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

} // namespace

// The monitor's rules without a window: history, alarms, recording, options.
class TestMonitorCore : public QObject
{
    Q_OBJECT

private slots:
    // However long the run, the history stays within its room and keeps every extreme.
    void historyIsBoundedAndKeepsExtremes_data()
    {
        QTest::addColumn<int>("readings");
        QTest::addColumn<int>("stepMs");
        QTest::newRow("fits at full resolution") << 500 << 100;
        QTest::newRow("summarised") << 20000 << 100;
        QTest::newRow("summaries merged many times") << 200000 << 1000;
    }

    void historyIsBoundedAndKeepsExtremes()
    {
        QFETCH(int, readings);
        QFETCH(int, stepMs);
        constexpr int Recent = 1000;
        constexpr int Summaries = 100;
        History history(Recent, Summaries, 1000);
        const qint64 start = 1700000000000;
        for (int index = 0; index < readings; ++index) {
            // A slow wave with one spike and one dip far back in time, and a missing reading.
            float value = 77.0f + float(std::sin(index * 0.001));
            if (index == readings / 7)
                value = 500.0f;
            if (index == readings / 5)
                value = 1.5f;
            history.add(start + qint64(index) * stepMs, index == readings / 3 ? std::nullopt : std::optional<float>(value));
        }
        const QVector<stripchart::Sample> samples = history.samples();
        QVERIFY2(samples.size() <= Recent + Summaries, qPrintable(QString::number(samples.size())));
        QCOMPARE(history.readings(), qint64(readings));
        QCOMPARE(history.lastMs(), start + qint64(readings - 1) * stepMs);
        float low = 1000.0f;
        float high = 0.0f;
        for (int index = 0; index < samples.size(); ++index) {
            if (index > 0)
                QVERIFY(samples.at(index).timeMs >= samples.at(index - 1).timeMs);
            if (!std::isnan(samples.at(index).last)) {
                low = std::min(low, samples.at(index).low);
                high = std::max(high, samples.at(index).high);
            }
        }
        QCOMPARE(high, 500.0f);
        QCOMPARE(low, 1.5f);
        // Summed up for a chart 100 columns wide: a sample per column, the extremes kept.
        const qint64 last = history.lastMs();
        const QVector<stripchart::Sample> columns = history.samples(start, last, (last - start) / 100 + 1);
        QVERIFY2(columns.size() <= 101, qPrintable(QString::number(columns.size())));
        float columnLow = 1000.0f;
        float columnHigh = 0.0f;
        for (const stripchart::Sample &sample : columns) {
            columnLow = std::min(columnLow, sample.low);
            columnHigh = std::max(columnHigh, sample.high);
        }
        QCOMPARE(columnHigh, 500.0f);
        QCOMPARE(columnLow, 1.5f);
        // A window in the middle holds only samples that touch it.
        const qint64 from = start + qint64(readings / 2) * stepMs;
        for (const stripchart::Sample &sample : history.samples(from, from + 10 * stepMs))
            QVERIFY(sample.timeMs + sample.spanMs >= from && sample.timeMs <= from + 10 * stepMs);
    }

    // Alarms start after the hold time, once per episode, and clear after as long inside.
    // "No reading" needs readings that fell due and went unanswered; a nan or infinite
    // temperature is no reading. Hold times follow the monotonic clock, whatever the wall
    // clock does; the times shown are the wall clock's.
    void alarmEpisodes_data()
    {
        QTest::addColumn<QVector<float>>("readings");  // Missing: no answer
        QTest::addColumn<QStringList>("events");       // "+above@3" starts at 3 s, "-above@9" clears at 9 s
        QTest::addColumn<int>("stepMs");               // between two due readings
        QTest::addColumn<int>("holdMs");
        QTest::addColumn<int>("clockStepS");           // the wall clock jumps by this at the fourth reading
        const auto row = [](const char *name, const QVector<float> &readings, const QStringList &events,
                            int stepMs = 1000, int holdMs = 3000, int clockStepS = 0) {
            QTest::newRow(name) << readings << events << stepMs << holdMs << clockStepS;
        };
        const QVector<float> inside(20, 77.0f);
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float infinite = std::numeric_limits<float>::infinity();
        row("inside", inside, {});
        row("a glitch shorter than the hold", {77, 95, 95, 77, 77, 77, 77, 77}, {});
        row("above for the hold, then back", {77, 95, 95, 95, 95, 95, 77, 77, 77, 77, 77}, {"+above@4", "-above@9"});
        row("one start however long it lasts", {95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95}, {"+above@3"});
        row("a dip inside does not clear it", {95, 95, 95, 95, 77, 95, 95, 77, 77, 77, 77}, {"+above@3", "-above@10"});
        row("below", {77, 40, 40, 40, 40}, {"+below@4"});
        row("no reading at all", {77, Missing, Missing, Missing, Missing, 77, 77, 77, 77},
            {"+no-reading@3", "-no-reading@8"});
        row("missing readings shorter than the hold", {77, Missing, Missing, 77, Missing, Missing, 77}, {});
        row("a dead sensor then a hot one: one episode", {Missing, Missing, Missing, Missing, 95, 95, 95, 95},
            {"+no-reading@3", "+above@7<no-reading"});
        row("due readings further apart than the hold", {77, 77, 77, 77, 77}, {}, 12000, 10000);
        row("one unanswered reading further apart than the hold", {77, Missing, 77, 77}, {"+no-reading@12", "-no-reading@34"}, 12000, 10000);
        row("a hold of 0: at the first reading beyond", {77, 95, 77, 40}, {"+above@1", "-above@2", "+below@3"}, 1000, 0);
        row("a hold of 0 on a healthy instrument", inside, {}, 1000, 0);
        row("above then nan: one episode that changes its condition", {95, 95, 95, 95, nan, nan, nan, nan, nan, 77, 77, 77, 77},
            {"+above@3", "+no-reading@6<above", "-no-reading@12"});
        row("above then below: one episode", {95, 95, 95, 95, 40, 40, 40, 40}, {"+above@3", "+below@7<above"});
        row("nan from the start", {nan, nan, nan, nan, nan}, {"+no-reading@3"});
        row("infinity is no reading either", {infinite, infinite, infinite, infinite}, {"+no-reading@3"});
        row("the wall clock jumps ahead", inside, {}, 1000, 3000, 3600);
        row("the wall clock jumps back", {95, 95, 95, 95, 95, 95}, {"+above@-3597"}, 1000, 3000, -3600);
    }

    void alarmEpisodes()
    {
        QFETCH(QVector<float>, readings);
        QFETCH(QStringList, events);
        QFETCH(int, stepMs);
        QFETCH(int, holdMs);
        QFETCH(int, clockStepS);
        alarms::Settings settings;
        settings.above = 90.0;
        settings.below = 50.0;
        settings.holdMs = holdMs;
        // The wall clock runs with the monotonic one, and jumps once.
        const auto stamp = [&](qint64 ms) {
            return alarms::Stamp{ms, ms >= 3 * stepMs ? ms + clockStepS * 1000LL : ms};
        };
        alarms::Rule rule(settings, stamp(0));
        QStringList seen;
        const auto note = [&seen](const QVector<alarms::Event> &happened) {
            for (const alarms::Event &event : happened)
                seen << QStringLiteral("%1%2@%3%4")
                            .arg(event.started ? '+' : '-')
                            .arg(alarms::key(event.condition))
                            .arg(event.timeMs / 1000)
                            .arg(event.was ? QLatin1Char('<') + alarms::key(*event.was) : QString());
        };
        for (int index = 0; index < readings.size(); ++index) {
            const qint64 due = qint64(index) * stepMs;
            // The monitor's clock ticks twice a second between readings.
            for (qint64 tick = due - stepMs + AlarmTickMs; index > 0 && tick < due; tick += AlarmTickMs)
                note(rule.tick(stamp(tick)));
            const QVector<alarms::Event> happened = rule.reading(stamp(due), valueOf(readings.at(index)));
            for (const alarms::Event &event : happened) {
                if (event.started && event.condition != alarms::Condition::NoReading)
                    QCOMPARE(event.temperature, valueOf(readings.at(index)));
            }
            note(happened);
        }
        QCOMPARE(seen, events);
    }

    // The line for a start that changed an episode's condition says what it was before.
    void alarmChangeSaysWhatItWas()
    {
        alarms::Settings settings;
        settings.above = 90.0;
        const alarms::Event changed{true, alarms::Condition::NoReading, 0, {}, alarms::Condition::Above};
        const QString text = alarms::describe(QStringLiteral("ttyACM0"), changed, settings);
        QVERIFY2(text.startsWith(QLatin1String("alarm: ttyACM0: no reading since "))
                     && text.endsWith(QLatin1String(" (temperature was above 90 K)")),
                 qPrintable(text));
    }

    // Without a limit nothing is watched, not even for missing readings.
    void alarmsUnarmedWithoutLimits()
    {
        alarms::Settings settings;
        alarms::Rule rule(settings, {0, 0});
        QVERIFY(rule.reading({1000, 1000}, std::nullopt).isEmpty());
        QVERIFY(rule.tick({3600 * 1000, 3600 * 1000}).isEmpty());
        QVERIFY(rule.reading({3601 * 1000, 3601 * 1000}, 1e6f).isEmpty());
    }

    // The file grows row by row; an existing one is appended to, the header written once.
    void recorderAppends()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.csv"));
        const qint64 time = QDateTime(QDate(2026, 12, 7), QTime(13, 17, 5, 597), Qt::UTC).toMSecsSinceEpoch();
        for (int run = 0; run < 2; ++run) {
            Recorder recorder;
            QVERIFY2(recorder.start(path), qPrintable(recorder.error()));
            QVERIFY(recorder.write(time + run, QStringLiteral("ttyACM0"), 1.0015106f, 77.44232f));
            QVERIFY(recorder.write(time + run, QStringLiteral("a,b"), std::nullopt, std::nullopt));
        }
        QCOMPARE(contentOf(path), QByteArray("time,port,voltage_V,temperature_K\n"
                                             "2026-12-07T13:17:05.597Z,ttyACM0,1.0015106,77.44232\n"
                                             "2026-12-07T13:17:05.597Z,\"a,b\",,\n"
                                             "2026-12-07T13:17:05.598Z,ttyACM0,1.0015106,77.44232\n"
                                             "2026-12-07T13:17:05.598Z,\"a,b\",,\n"));
    }

    // A row cut short by an earlier full disk or power cut stays alone on its line: the next
    // recording starts on a line of its own.
    void recorderAfterACutRow_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        const QByteArray row = "2026-12-07T13:17:05.597Z,ttyACM0,1.0015106,77.44232\n";
        QTest::newRow("whole rows") << QByteArray(Recorder::Header) + row << QByteArray(Recorder::Header) + row + row;
        QTest::newRow("the last row cut short") << QByteArray(Recorder::Header) + "2026-12-07T13:1"
                                                << QByteArray(Recorder::Header) + "2026-12-07T13:1\n" + row;
        QTest::newRow("only a cut header") << QByteArray("time,po") << QByteArray("time,po\n") + row;
    }

    void recorderAfterACutRow()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.csv"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
        file.close();
        Recorder recorder;
        QVERIFY2(recorder.start(path), qPrintable(recorder.error()));
        const qint64 time = QDateTime(QDate(2026, 12, 7), QTime(13, 17, 5, 597), Qt::UTC).toMSecsSinceEpoch();
        QVERIFY(recorder.write(time, QStringLiteral("ttyACM0"), 1.0015106f, 77.44232f));
        recorder.stop();
        QCOMPARE(contentOf(path), after);
    }

    void recorderReportsFailures_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("message");
        // The path as the system writes it (\nonexistent\log.csv on Windows); %1 stands for it.
        QTest::newRow("no such folder") << "/nonexistent/log.csv" << false << "Couldn't open \"%1\" for recording";
        QTest::newRow("disk full") << "/dev/full" << false << "Couldn't write to \"%1\"";
    }

    void recorderReportsFailures()
    {
        QFETCH(QString, path);
        QFETCH(bool, opens);
        QFETCH(QString, message);
        message = message.arg(QDir::toNativeSeparators(path));
        Recorder recorder;
        const bool started = recorder.start(path) && recorder.write(0, QStringLiteral("p"), 1.0f, 2.0f);
        QCOMPARE(started, opens);
        QVERIFY2(recorder.error().startsWith(message), qPrintable(recorder.error()));
        QVERIFY(!recorder.isRecording());
    }

    void options_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");  // -1: runs
        QTest::addColumn<QString>("said");
        QTest::newRow("defaults") << QStringList{} << -1 << QString();
        QTest::newRow("shortest interval") << QStringList{"--interval", "0.01"} << -1 << QString();
        QTest::newRow("interval too short") << QStringList{"--interval", "0.001"} << 2 << "--interval takes seconds from 0.01 to 86400";
        // The same range as thermocal-cli read's.
        QTest::newRow("interval of a day") << QStringList{"--interval", "86400"} << -1 << QString();
        QTest::newRow("interval longer than a day") << QStringList{"--interval", "86401"} << 2
                                                    << "--interval takes seconds from 0.01 to 86400, not '86401'";
        QTest::newRow("hold longer than a day") << QStringList{"--alarm-after", "86401"} << 2
                                                << "--alarm-after takes seconds from 0 to 86400, not '86401'";
        QTest::newRow("interval not a number") << QStringList{"--interval", "fast"} << 2 << "not 'fast'";
        QTest::newRow("limit not a number") << QStringList{"--alarm-above", "hot"} << 2 << "--alarm-above takes a temperature in K";
        QTest::newRow("negative hold") << QStringList{"--alarm-after", "-1"} << 2 << "--alarm-after takes seconds";
        QTest::newRow("unknown option") << QStringList{"--colour"} << 2 << "Unknown option 'colour'";
        QTest::newRow("an argument") << QStringList{"ttyACM0"} << 2 << "takes no arguments";
        QTest::newRow("network port") << QStringList{"--port", "rfc2217://lab-pi:2217"} << -1 << QString();
        QTest::newRow("network port of an unknown kind") << QStringList{"--port", "telnet://lab-pi:23"} << 2
                                                         << "--port: 'telnet' is not a kind of port URL";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--alarm-command <COMMAND>";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "thermocal-monitor 9.9";
    }

    void options()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        const ParsedOptions parsed = parseMonitorOptions(QStringList{"thermocal-monitor"} + arguments, QStringLiteral("9.9"));
        QCOMPARE(parsed.outcome == ParsedOptions::Outcome::Run, status < 0);
        if (status >= 0)
            QCOMPARE(parsed.status, status);
        QVERIFY2((parsed.output + parsed.error).contains(said), qPrintable(parsed.output + parsed.error));
        if (arguments.isEmpty())
            QCOMPARE(parsed.options.alarms.holdMs, qint64(10000));
    }
};

QTEST_GUILESS_MAIN(TestMonitorCore)
#include "tst_monitorcore.moc"
