#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <csignal>
#include <cstdio>

// Prints the median and the worst of a series of timings in milliseconds.
inline void printFigures(const char *what, QVector<double> ms, const char *target)
{
    std::sort(ms.begin(), ms.end());
    const double median = ms.isEmpty() ? 0.0 : ms.at(ms.size() / 2);
    const double worst = ms.isEmpty() ? 0.0 : ms.last();
    std::printf("%-44s n=%-4d median %8.2f ms  worst %8.2f ms   (target: %s)\n", what,
                int(ms.size()), median, worst, target);
    std::fflush(stdout);
}

// The resident memory of a process in MiB ("self" for this one); -1 when unknown.
inline double residentMib(const QString &process = QStringLiteral("self"))
{
    constexpr double KibPerMib = 1024.0;
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / KibPerMib;
    }
    return -1;
}

// Runs `program` with `arguments` `runs` times; the milliseconds of each run that ended with
// status 0. `lastOutput` gets the standard output of the last one.
inline QVector<double> timeRuns(const QString &program, const QStringList &arguments, int runs,
                                QByteArray *lastOutput = nullptr)
{
    QVector<double> times;
    for (int i = 0; i < runs; ++i) {
        QProcess process;
        QElapsedTimer clock;
        clock.start();
        process.start(program, arguments);
        if (!process.waitForFinished(60000) || process.exitCode() != 0) {
            std::fprintf(stderr, "%s %s failed: %s\n", qPrintable(program), qPrintable(arguments.join(QLatin1Char(' '))),
                         process.readAllStandardError().constData());
            continue;
        }
        times.append(clock.nsecsElapsed() / 1e6);
        if (lastOutput)
            *lastOutput = process.readAllStandardOutput();
    }
    return times;
}

// Worst lateness against the schedule, and readings missing or without an answer, of a CSV log.
inline void printSchedule(const char *what, const QByteArray &log, int readings, int intervalMs, double totalMs,
                          const char *target)
{
    const QList<QByteArray> rows = log.trimmed().split('\n').mid(1);
    qint64 worstLateMs = 0;
    int missing = readings - rows.size();
    if (!rows.isEmpty()) {
        // Readings fall due on a grid from the first one; a due time that had passed is skipped,
        // so each row is late within its own slot, and a slot without a row is a missing reading.
        const qint64 start = QDateTime::fromString(QString::fromUtf8(rows.first().split(',').first()), Qt::ISODateWithMs)
                                 .toMSecsSinceEpoch();
        qint64 lastSlot = 0;
        for (const QByteArray &row : rows) {
            const QList<QByteArray> fields = row.split(',');
            if (fields.size() != 3 || fields.at(1).isEmpty())
                ++missing;
            const qint64 sinceStart =
                QDateTime::fromString(QString::fromUtf8(fields.first()), Qt::ISODateWithMs).toMSecsSinceEpoch() - start;
            lastSlot = sinceStart / intervalMs;
            worstLateMs = qMax(worstLateMs, sinceStart - intervalMs * lastSlot);
        }
        missing += int(lastSlot + 1 - rows.size());
    }
    std::printf("%-44s total %8.1f ms (schedule %d ms)  worst lateness %lld ms  missing %d   (target: %s)\n", what,
                totalMs, intervalMs * (readings - 1), static_cast<long long>(worstLateMs), missing, target);
    std::fflush(stdout);
}

// thermocal-sim running for the benchmark's whole run, ended with SIGTERM as a user would.
class Simulator
{
public:
    explicit Simulator(const QString &program)
    {
        m_process.start(program, QStringList());
        if (!m_process.waitForReadyRead(10000))
            qFatal("thermocal-sim did not start");
        m_port = QString::fromUtf8(m_process.readLine()).trimmed();
    }
    ~Simulator()
    {
        ::kill(pid_t(m_process.processId()), SIGTERM);
        m_process.waitForFinished(5000);
    }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // The pseudo-terminal it serves.
    QString port() const { return m_port; }

private:
    QProcess m_process;
    QString m_port;
};
