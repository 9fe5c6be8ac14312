#include "analysis.h"
#include "benchhost.h"
#include "curvemath.h"
#include "demofirmware.h"
#include "calibrationrun.h"
#include "certificatedocument.h"
#include "dcc.h"
#include "dccschema.h"
#include "portname.h"
#include "ports.h"
#include "procedurefile.h"
#include "portdiscovery.h"
#include "record.h"
#include "scpiclient.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cmath>

namespace {

// Time that passes only when the run sleeps: a whole calibration of minutes in a second. The
// bench's bath moves on the same time; its wall clock can be stepped as NTP or a suspended
// computer would.
class VirtualClock : public procedure::Clock
{
public:
    qint64 wallMs() const override { return WallStartMs + m_monotonic.load() + m_wallStep.load(); }
    qint64 monotonicMs() const override { return m_monotonic.load(); }
    void sleep(qint64 ms) override { m_monotonic += std::max<qint64>(0, ms); }
    void stepWall(qint64 ms) { m_wallStep += ms; }
    double seconds() const { return double(m_monotonic.load()) / 1000.0; }

private:
    static constexpr qint64 WallStartMs = 1796000000000; // late 2026
    std::atomic<qint64> m_monotonic{0};
    std::atomic<qint64> m_wallStep{0};
};

// A bench that settles within a fraction of a second; readings every 0.1 s, a window of 2 s.
sim::BenchSettings quickBench()
{
    sim::BenchSettings settings;
    settings.timeConstantSeconds = 0.3;
    return settings;
}

QJsonObject procedureFor(sim::BenchHost &bench, const QJsonArray &points)
{
    return QJsonObject{
        {QStringLiteral("kind"), QStringLiteral("sensor")},
        {QStringLiteral("points"), points},
        {QStringLiteral("reference"),
         QJsonObject{{QStringLiteral("port"), bench.referenceUrl()},
                     {QStringLiteral("unit"), QStringLiteral("K")},
                     {QStringLiteral("identify"), true},
                     {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("REF-9")},
                                                                 {QStringLiteral("expanded_uncertainty"), 0.002},
                                                                 {QStringLiteral("due"), QStringLiteral("2099-01-01")}}},
                     {QStringLiteral("resolution"), 0.001}}},
        {QStringLiteral("source"), QJsonObject{{QStringLiteral("port"), bench.bathUrl()},
                                               {QStringLiteral("set"), QStringLiteral("SOUR:SPO {C}")},
                                               {QStringLiteral("settle"), 0.5}}},
        {QStringLiteral("stability"), QJsonObject{{QStringLiteral("interval"), 0.1}, {QStringLiteral("window"), 2},
                                                  {QStringLiteral("slope"), 0.6}, {QStringLiteral("sd"), 0.03},
                                                  {QStringLiteral("samples"), 10}, {QStringLiteral("timeout"), 60}}},
        {QStringLiteral("tolerance"), 0.05},
        {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("T-1")},
                                                    {QStringLiteral("lab"), QStringLiteral("Test Lab")},
                                                    {QStringLiteral("country"), QStringLiteral("DE")},
                                                    {QStringLiteral("city"), QStringLiteral("Coldtown")},
                                                    {QStringLiteral("language"), QStringLiteral("en")}}}};
}

// Why the DCC of a run's record is not a valid certificate of that record; empty when it is.
QString dccProblem(const record::Record &kept)
{
    const certificate::Built built = certificate::build(kept);
    if (!built.document)
        return built.error.message;
    const dcc::Written written = dcc::write(*built.document);
    if (written.error.failed())
        return written.error.message;
    const QString invalid = dccschema::problem(written.xml);
    return invalid.isEmpty() ? dcc::belongsTo(written.xml, *built.document) : invalid;
}

struct Bench;

// What a run told its front end, in order: one word per event ("started", "captured", "fit",
// "backed up", "written", "finished"), with the deviations and stale readings as they came.
struct Events : procedure::RunObserver
{
    Bench *bench = nullptr;
    QStringList order;
    QVector<procedure::RunDeviation> deviations;
    QVector<procedure::StaleReference> stales;
    analysis::Changes changes;
    std::function<void(const procedure::Progress &progress)> onProgress;

    static QString phase(const procedure::PointRef &point)
    {
        return QStringLiteral("%1 %2").arg(point.phase == analysis::Phase::AsLeft ? QStringLiteral("left") : QStringLiteral("found"))
            .arg(point.nominal);
    }
    void pointStarted(const procedure::PointStarted &started) override;
    void judged(const procedure::Progress &progress) override
    {
        if (onProgress)
            onProgress(progress);
    }
    void stale(const procedure::StaleReference &stale) override { stales.append(stale); }
    void deviation(const procedure::RunDeviation &deviation) override { deviations.append(deviation); }
    void captured(const procedure::PointRef &point) override { order.append(QStringLiteral("captured ") + phase(point)); }
    void fitReady(const procedure::FitReady &fit) override
    {
        order.append(QStringLiteral("fit"));
        changes = fit.changes;
    }
    void backedUp(const QString &) override { order.append(QStringLiteral("backed up")); }
    void written(const QString &) override { order.append(QStringLiteral("written")); }
    void finished(const procedure::Outcome &) override { order.append(QStringLiteral("finished")); }
};

// One run on the bench, on virtual time, with what it told.
struct Bench
{
    VirtualClock clock;
    sim::BenchHost host;
    QTemporaryDir dir;
    Events events;
    int setPoints = 0;
    QString expiredReferenceReason;
    static constexpr int RequestWaitMs = 10000;

    explicit Bench(const sim::BenchSettings &settings = quickBench())
        : host(settings, [this] { return clock.seconds(); })
    {
        events.bench = this;
    }

    bool start()
    {
        QString error;
        if (!host.start(&error))
            qWarning("%s", qPrintable(error));
        return error.isEmpty() && dir.isValid();
    }

    std::unique_ptr<procedure::Run> run(const QJsonObject &procedureJson, bool write = false,
                                        const std::optional<QJsonObject> &resume = std::nullopt, const QDate &today = QDate(2026, 12, 10))
    {
        procedure::Parsed parsed = procedure::parse(procedureJson);
        if (!parsed.procedure) {
            qWarning("%s", qPrintable(parsed.error.message));
            return nullptr;
        }
        const procedure::Error curveError = procedure::loadCurve(*parsed.procedure, dir.path());
        if (curveError.failed()) {
            qWarning("%s", qPrintable(curveError.message));
            return nullptr;
        }
        procedure::RunOptions options;
        options.portName = host.instrumentPort();
        options.recordPath = dir.filePath(QStringLiteral("record.json"));
        options.backupPath = dir.filePath(QStringLiteral("backup-%1.json").arg(events.order.size()));
        options.write = write;
        options.resume = resume;
        options.software = QStringLiteral("tst_run");
        options.today = today;
        options.expiredReferenceReason = expiredReferenceReason;
        portname::Opened opened = portname::open(host.instrumentPort());
        if (!opened.port)
            return nullptr;
        auto run = std::make_unique<procedure::Run>(*parsed.procedure, std::move(opened.port), options);
        run->setClock(&clock);
        // The bench's devices as the caller opens them.
        procedure::Error error;
        run->setReference(scpiclient::Client::open(host.referenceUrl(), &error));
        run->setSource(scpiclient::Client::open(host.bathUrl(), &error));
        run->setObserver(&events);
        return run;
    }
};

void Events::pointStarted(const procedure::PointStarted &started)
{
    order.append(QStringLiteral("started ") + phase(started.point));
    // Virtual time does not wait for the bath's server to take the set point in; this does, so
    // the bath moves when the run sleeps.
    if (!started.command.isEmpty())
        bench->host.bench().waitForRequests(sim::Bench::Device::Bath, ++bench->setPoints, Bench::RequestWaitMs);
}

// The instrument's pseudo-terminal listed as an instrument with this USB serial number.
void presentAs(const QString &port, const QString &serialNumber)
{
    portdiscovery::setPortSource([port, serialNumber] {
        portdiscovery::Port listed = portdiscovery::instrumentPort(port);
        listed.serialNumber = serialNumber;
        return QList<portdiscovery::Port>{listed};
    });
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject with(QJsonObject object, const QString &key, const QJsonValue &value)
{
    object.insert(key, value);
    return object;
}

// The longest stretch of one reference value in a point's samples from `from` on, in ms.
qint64 longestRepeat(const analysis::RawPoint &point, int from)
{
    qint64 longest = 0;
    int first = from;
    for (int i = from + 1; i <= point.samples.size(); ++i) {
        if (i < point.samples.size() && point.samples.at(i).reference == point.samples.at(first).reference)
            continue;
        longest = std::max(longest, point.samples.at(i - 1).elapsedMs - point.samples.at(first).elapsedMs);
        first = i;
    }
    return longest;
}

} // namespace

class TestRun : public QObject
{
    Q_OBJECT

private slots:
    // What a run refuses before anything is written, each with its figures: a readout in C
    // behind a procedure in K, and an adjustment beyond the procedure's bound.
    void boundsRefuseBeforeWriting_data()
    {
        QTest::addColumn<bool>("celsiusReadout");
        QTest::addColumn<double>("adjustmentBound");
        QTest::addColumn<QString>("said");
        QTest::newRow("reference in C behind K") << true << 10.0 << "where 250 K is set";
        QTest::newRow("adjustment beyond its bound") << false << 0.0001 << "\"bounds.adjustment\"";
    }

    void boundsRefuseBeforeWriting()
    {
        QFETCH(bool, celsiusReadout);
        QFETCH(double, adjustmentBound);
        QFETCH(QString, said);
        sim::BenchSettings settings = quickBench();
        settings.referenceCelsius = celsiusReadout;
        Bench bench(settings);
        QVERIFY(bench.start());
        const sim::Constants before = bench.host.instrument().constants();
        QJsonObject p = procedureFor(bench.host, QJsonArray{250, 300});
        p.insert(QStringLiteral("bounds"), QJsonObject{{QStringLiteral("adjustment"), adjustmentBound}});
        std::unique_ptr<procedure::Run> run = bench.run(p, true);
        QVERIFY(run);
        const procedure::Outcome outcome = run->exec();
        QCOMPARE(outcome.ending, procedure::Ending::OutOfBounds);
        QVERIFY2(outcome.message.contains(said), qPrintable(outcome.message));
        QVERIFY2(outcome.message.contains(celsiusReadout ? QStringLiteral("allows 10 K") : QStringLiteral("allows 0.0001 K")),
                 qPrintable(outcome.message));
        QVERIFY(bench.host.instrument().constants() == before);
        QCOMPARE(run->record().state, record::State::Failed);
        QVERIFY(!run->record().asLeft);
        QVERIFY(record::verify(record::toJson(run->record())).ok);
        const QString dcc = dccProblem(run->record());
        QVERIFY2(dcc.isEmpty(), qPrintable(dcc));
        if (celsiusReadout) {
            QCOMPARE(run->record().points.size(), 1);
            QVERIFY(run->record().points.first().interrupted);
        }
    }

    // A readout that freezes during a capture: the capture is dropped, the point judged again
    // once the reference moves, and no frozen stretch is ever among the captured readings.
    void frozenReadoutDropsTheCapture()
    {
        Bench bench;
        QVERIFY(bench.start());
        // A capture of 3 s, longer than the stale time (the window, 2 s).
        QJsonObject p = procedureFor(bench.host, QJsonArray{250});
        QJsonObject stability = p.value(QStringLiteral("stability")).toObject();
        stability.insert(QStringLiteral("samples"), 30);
        p.insert(QStringLiteral("stability"), stability);
        std::unique_ptr<procedure::Run> run = bench.run(p);
        QVERIFY(run);
        bool frozen = false;
        bench.events.onProgress = [&](const procedure::Progress &progress) {
            if (!frozen && progress.captured == 3) {
                frozen = true;
                sim::BenchFaults faults;
                faults.referenceStale = true;
                faults.staleSeconds = 4;
                bench.host.bench().setFaults(faults);
            }
        };
        const procedure::Outcome outcome = run->exec();
        QCOMPARE(outcome.ending, procedure::Ending::Complete);
        QVERIFY(frozen);
        QCOMPARE(bench.events.stales.size(), 1);
        QVERIFY(bench.events.stales.first().captureDropped);
        const analysis::RawPoint &point = run->record().points.first();
        QVERIFY(point.captured());
        // The stale time is the window here (2 s); the capture after the freeze holds none of it.
        QVERIFY2(longestRepeat(point, point.capturedFrom) < 1000, qPrintable(QString::number(longestRepeat(point, point.capturedFrom))));
        QVERIFY(longestRepeat(point, 0) >= 1900);
        QVERIFY(record::verify(record::toJson(run->record())).ok);
    }

    // The wall clock stepped ten minutes ahead while a point is judged: the judge goes by the
    // monotonic clock, so the capture still waits for a whole window of readings.
    void wallClockStepDoesNotFillTheWindow()
    {
        Bench bench;
        QVERIFY(bench.start());
        std::unique_ptr<procedure::Run> run = bench.run(procedureFor(bench.host, QJsonArray{250}));
        QVERIFY(run);
        int seen = 0;
        bench.events.onProgress = [&](const procedure::Progress &) {
            if (++seen == 3)
                bench.clock.stepWall(600000);
        };
        QCOMPARE(run->exec().ending, procedure::Ending::Complete);
        const analysis::RawPoint &point = run->record().points.first();
        const qint64 judgedFor = point.samples.at(point.capturedFrom - 1).elapsedMs - point.samples.first().elapsedMs;
        QVERIFY2(judgedFor >= 1950, qPrintable(QString::number(judgedFor)));
        // The record keeps the time of day as the clock said it.
        QVERIFY(point.samples.last().ms - point.samples.first().ms > 600000);
        QVERIFY(record::verify(record::toJson(run->record())).ok);
    }

    // A run stopped during its second point keeps the attempt; the resumed run measures the
    // point again and keeps both, and an as-left point skipped on the operator's word keeps
    // the reason.
    void stoppedResumedAndSkippedKeepEverything()
    {
        Bench bench;
        QVERIFY(bench.start());
        const QJsonObject p = with(procedureFor(bench.host, QJsonArray{250, 300}), QStringLiteral("as_left_points"), QJsonArray{250, 300});
        std::atomic<bool> stop(false);
        std::unique_ptr<procedure::Run> first = bench.run(p, true);
        QVERIFY(first);
        first->setStopFlag(&stop);
        bench.events.onProgress = [&](const procedure::Progress &progress) {
            if (progress.index == 2 && progress.sample.ms > 0 && progress.judgement.reference.mean > 0)
                stop = true;
        };
        QCOMPARE(first->exec().ending, procedure::Ending::Stopped);
        QCOMPARE(first->record().points.size(), 2);
        QVERIFY(first->record().points.at(1).interrupted);
        QVERIFY(!first->record().points.at(1).captured());
        const QJsonObject stopped = record::toJson(first->record());
        first.reset(); // closes the instrument's port

        std::unique_ptr<procedure::Run> second = bench.run(p, true, stopped);
        QVERIFY(second);
        bench.events = Events();
        bench.events.bench = &bench;
        procedure::Run *running = second.get();
        bench.events.onProgress = [running](const procedure::Progress &progress) {
            if (progress.phase == analysis::Phase::AsLeft && progress.index == 2)
                running->skipPoint(QStringLiteral("the bath's heater failed"));
        };
        const procedure::Outcome outcome = second->exec();
        QCOMPARE(outcome.ending, procedure::Ending::Complete);
        const QVector<analysis::RawPoint> points = second->record().points;
        QCOMPARE(points.size(), 5); // two as found, the interrupted attempt, two as left
        QVERIFY(points.at(1).interrupted);
        QCOMPARE(points.at(2).nominal, 300.0);
        QVERIFY(points.at(2).captured());
        QCOMPARE(points.at(4).skipReason, QStringLiteral("the bath's heater failed"));
        QVERIFY(!points.at(4).captured());
        const QString dcc = dccProblem(second->record());
        QVERIFY2(dcc.isEmpty(), qPrintable(dcc));
        const record::Verified verified = record::verify(record::toJson(second->record()));
        QVERIFY2(verified.ok, qPrintable(verified.difference));

        // The front end heard of it all, in order: the point measured again, the fit, the
        // backup before the write, each as-left point, the skip as a deviation with its reason.
        const QStringList told{QStringLiteral("started found 300"), QStringLiteral("captured found 300"), QStringLiteral("fit"),
                               QStringLiteral("backed up"), QStringLiteral("written"), QStringLiteral("started left 250"),
                               QStringLiteral("captured left 250"), QStringLiteral("started left 300"), QStringLiteral("finished")};
        QCOMPARE(bench.events.order, told);
        QCOMPARE(bench.events.deviations.size(), 1);
        QCOMPARE(int(bench.events.deviations.first().kind), int(procedure::RunDeviation::Kind::Skipped));
        QCOMPARE(bench.events.deviations.first().point.index, 2);
        QCOMPARE(bench.events.deviations.first().reason, QStringLiteral("the bath's heater failed"));
        // The changes shown are those of the record's own analysis, at both as-found points.
        const procedure::Parsed parsed = procedure::parse(p);
        const analysis::Analysis analysed = analysis::analyse(*parsed.procedure, second->record().asFound, points);
        const analysis::Changes changes = analysis::changesAtPoints(*parsed.procedure, analysed);
        QCOMPARE(bench.events.changes.rows.size(), 2);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(bench.events.changes.rows.at(i).change, changes.rows.at(i).change);
            QCOMPARE(bench.events.changes.rows.at(i).change,
                     bench.events.changes.rows.at(i).errorPredicted - bench.events.changes.rows.at(i).errorFound);
        }
    }

    // A record goes on only with the instrument and the reference it was made with; else the
    // run refuses with both identities and leaves the record as it was.
    void resumeRefusesAnotherInstrumentOrReference_data()
    {
        QTest::addColumn<QString>("serialNumber");
        QTest::addColumn<QString>("recordedIdn");
        QTest::addColumn<QString>("said");
        QTest::newRow("another instrument") << "TC-000999" << QString() << "the record is of the instrument TC-000123, but";
        QTest::newRow("another reference") << "TC-000123" << "Other Inc,RX-9,0007,1.0" << "the record's reference is \"Other Inc,RX-9,0007,1.0\"";
        QTest::newRow("the same") << "TC-000123" << QString() << QString();
    }

    void resumeRefusesAnotherInstrumentOrReference()
    {
        QFETCH(QString, serialNumber);
        QFETCH(QString, recordedIdn);
        QFETCH(QString, said);
        Bench bench;
        QVERIFY(bench.start());
        presentAs(bench.host.instrumentPort(), QStringLiteral("TC-000123"));
        const QJsonObject p = procedureFor(bench.host, QJsonArray{250, 300});
        std::atomic<bool> stop(false);
        std::unique_ptr<procedure::Run> first = bench.run(p);
        QVERIFY(first);
        first->setStopFlag(&stop);
        bench.events.onProgress = [&stop](const procedure::Progress &progress) { stop = stop || progress.index == 2; };
        QCOMPARE(first->exec().ending, procedure::Ending::Stopped);
        QCOMPARE(first->record().serialNumber, QStringLiteral("TC-000123"));
        QJsonObject stopped = record::toJson(first->record());
        first.reset();
        if (!recordedIdn.isEmpty()) {
            stopped.insert(QStringLiteral("reference"), QJsonObject{{QStringLiteral("idn"), recordedIdn}});
            stopped = record::toJson(*record::fromJson(stopped, nullptr));
        }
        const QString path = bench.dir.filePath(QStringLiteral("record.json"));
        QVERIFY(record::save(path, *record::fromJson(stopped, nullptr)).isEmpty());
        const QByteArray before = fileBytes(path);

        presentAs(bench.host.instrumentPort(), serialNumber);
        std::unique_ptr<procedure::Run> second = bench.run(p, false, stopped);
        QVERIFY(second);
        const procedure::Outcome outcome = second->exec();
        portdiscovery::setPortSource({});
        if (said.isEmpty()) {
            QCOMPARE(outcome.ending, procedure::Ending::Complete);
            QCOMPARE(second->record().sessions.size(), 2);
            QVERIFY(record::verify(record::toJson(second->record())).ok);
            return;
        }
        QCOMPARE(outcome.ending, procedure::Ending::NotVerified);
        QVERIFY2(outcome.message.contains(said), qPrintable(outcome.message));
        QVERIFY2(outcome.message.contains(recordedIdn.isEmpty() ? serialNumber : QString::fromLatin1(sim::Bench::ReferenceIdentity)),
                 qPrintable(outcome.message));
        QCOMPARE(fileBytes(path), before);
    }

    // The reference's certificate falls due during the run: the next point is refused, unless
    // the operator gave a reason, which the record then keeps.
    void referenceDueDuringTheRun_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::newRow("refused") << QString();
        QTest::newRow("allowed with a reason") << QStringLiteral("reference compared with the check standard this morning");
    }

    void referenceDueDuringTheRun()
    {
        QFETCH(QString, reason);
        Bench bench;
        QVERIFY(bench.start());
        const QDate today = QDateTime::fromMSecsSinceEpoch(bench.clock.wallMs()).date();
        QJsonObject p = procedureFor(bench.host, QJsonArray{250, 300});
        QJsonObject reference = p.value(QStringLiteral("reference")).toObject();
        QJsonObject certificate = reference.value(QStringLiteral("certificate")).toObject();
        certificate.insert(QStringLiteral("due"), today.toString(Qt::ISODate));
        reference.insert(QStringLiteral("certificate"), certificate);
        p.insert(QStringLiteral("reference"), reference);
        bench.expiredReferenceReason = reason;
        std::unique_ptr<procedure::Run> run = bench.run(p, false, std::nullopt, today);
        QVERIFY(run);
        bool stepped = false;
        bench.events.onProgress = [&](const procedure::Progress &progress) {
            if (!stepped && progress.captured == 1) {
                stepped = true;
                bench.clock.stepWall(2 * 24 * 3600 * 1000LL);
            }
        };
        const procedure::Outcome outcome = run->exec();
        QVERIFY(stepped);
        if (reason.isEmpty()) {
            QCOMPARE(outcome.ending, procedure::Ending::Refused);
            QVERIFY2(outcome.message.contains(QStringLiteral("was due on %1").arg(today.toString(Qt::ISODate))), qPrintable(outcome.message));
            QCOMPARE(run->record().points.size(), 1);
            QCOMPARE(run->record().state, record::State::Failed);
            const QString dcc = dccProblem(run->record());
            QVERIFY2(dcc.isEmpty(), qPrintable(dcc));
        } else {
            QCOMPARE(outcome.ending, procedure::Ending::Complete);
            QVERIFY(run->record().allowExpiredReference);
            QCOMPARE(run->record().expiredReferenceReason, reason);
            const QVector<record::Deviation> deviations = record::deviations(run->record());
            QCOMPARE(deviations.size(), 1);
            QCOMPARE(deviations.first().reason, reason);
            // The DCC names who allowed the reference, and why.
            const QString dcc = dccProblem(run->record());
            QVERIFY2(dcc.isEmpty(), qPrintable(dcc));
            const QByteArray xml = dcc::write(*certificate::build(run->record()).document).xml;
            QVERIFY(xml.contains(reason.toUtf8()));
        }
    }

    // A calibration from the sensor's own curve file: the new table is that curve corrected by
    // the fit, its rows placed by curvature; the record keeps the curve whole, so it verifies
    // without the file, and the table reads the sensor between the points as the fit does.
    void calibrationFromTheSensorsCurve_data()
    {
        QTest::addColumn<QString>("spacing");
        QTest::newRow("curvature, the default") << QString();
        QTest::newRow("geometric") << QStringLiteral("geometric");
    }

    void calibrationFromTheSensorsCurve()
    {
        QFETCH(QString, spacing);
        Bench bench;
        QVERIFY(bench.start());
        // The diode's standard curve, as a file lists it: a point every 0.5 K.
        QByteArray file = "# demo diode\n";
        for (double kelvin = sim::DemoFirmware::LowestKelvin; kelvin <= sim::DemoFirmware::HighestKelvin; kelvin += 0.5)
            file += QByteArray::number(sim::DemoFirmware::diodeVoltage(kelvin), 'g', 10) + ' ' + QByteArray::number(kelvin, 'g', 10) + '\n';
        QFile curveFile(bench.dir.filePath(QStringLiteral("diode.txt")));
        QVERIFY(curveFile.open(QIODevice::WriteOnly) && curveFile.write(file) == file.size());
        curveFile.close();
        QJsonObject p = with(procedureFor(bench.host, QJsonArray{200, 250, 300, 350}), QStringLiteral("curve"), QStringLiteral("diode.txt"));
        if (!spacing.isEmpty())
            p.insert(QStringLiteral("table"), QJsonObject{{QStringLiteral("spacing"), spacing}});
        std::unique_ptr<procedure::Run> run = bench.run(p);
        QVERIFY(run);
        const procedure::Outcome outcome = run->exec();
        QVERIFY2(outcome.ending == procedure::Ending::Complete, qPrintable(outcome.message));
        const record::Record &kept = run->record();
        QVERIFY(kept.curve);
        QCOMPARE(kept.curve->sha256, QString::fromLatin1(QCryptographicHash::hash(file, QCryptographicHash::Sha256).toHex()));
        QVERIFY(kept.curve->points.size() > 900);
        QVERIFY(QFile::remove(curveFile.fileName()));
        const record::Verified verified = record::verify(record::toJson(kept));
        QVERIFY2(verified.ok, qPrintable(verified.difference));
        const QString dcc = dccProblem(kept);
        QVERIFY2(dcc.isEmpty(), qPrintable(dcc));

        const procedure::Procedure withCurve = *record::procedureOf(kept).procedure;
        const analysis::Analysis analysed = analysis::analyse(withCurve, kept.asFound, kept.points);
        QVERIFY(analysed.fitted);
        QCOMPARE(analysed.sensor.degree, 2); // the smaller of 3 and points - 2
        QCOMPARE(analysed.sensor.dof, 1);
        QVERIFY(analysed.rangeEstablished);
        const QVector<curveimport::Point> table = device::toCalibrationSet(analysed.proposed).table;
        // Between the points the new table reads the bench's sensor within what the fit and
        // the table allow; the curvature rows keep the table's own share small.
        for (double kelvin = 205; kelvin < 350; kelvin += 10) {
            const double volts = sim::DemoFirmware::diodeVoltage(kelvin) + sim::Bench::sensorDeviationVolts(kelvin);
            const double errorMk = (curvemath::tableTemperature(table, volts) - kelvin) * 1000.0;
            QVERIFY2(std::fabs(errorMk) < 60.0, qPrintable(QStringLiteral("%1 K: %2 mK").arg(kelvin).arg(errorMk)));
        }
        if (spacing.isEmpty())
            QVERIFY2(analysed.sensor.interpolationMk < 15.0, qPrintable(QString::number(analysed.sensor.interpolationMk)));
        // Held from the outer points themselves: the curve has points there.
        QCOMPARE(analysed.sensor.holdLow, analysed.sensor.low);
        QCOMPARE(analysed.sensor.holdHigh, analysed.sensor.high);
        QCOMPARE(analysed.sensor.departureMk, 0.0);
    }
};

QTEST_GUILESS_MAIN(TestRun)
#include "tst_run.moc"
