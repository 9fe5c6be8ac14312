// The calibration's own costs: the run's overhead per point beyond the time its readings are
// scheduled to take, the fit and budgets of 20 points, the certificate (time and size) and its
// DCC.
#include "benchutil.h"

#include "analysis.h"
#include "benchsupport.h"
#include "calibrationrun.h"
#include "certificate.h"
#include "dcc.h"
#include "curvemath.h"
#include "demofirmware.h"
#include "portname.h"
#include "ports.h"
#include "record.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cmath>

namespace {

device::DeviceSet factorySet()
{
    const sim::Constants constants = sim::DemoFirmware::factoryConstants();
    device::DeviceSet set;
    set.adcSlope = constants.adcSlope;
    set.dacSlope = constants.dacSlope;
    for (int row = 0; row < TableRows; ++row)
        set.table[row] = {constants.table[size_t(row)].first, constants.table[size_t(row)].second};
    return set;
}

QJsonObject procedureJson(const QJsonArray &points, const QString &reference, const QString &bath)
{
    return QJsonObject{
        {QStringLiteral("kind"), QStringLiteral("sensor")},
        {QStringLiteral("points"), points},
        {QStringLiteral("reference"), QJsonObject{{QStringLiteral("port"), reference}, {QStringLiteral("unit"), QStringLiteral("K")},
                                                  {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("R")},
                                                                                              {QStringLiteral("expanded_uncertainty"), 0.002},
                                                                                              {QStringLiteral("due"), QStringLiteral("2099-01-01")}}},
                                                  {QStringLiteral("resolution"), 0.001}}},
        {QStringLiteral("source"), QJsonObject{{QStringLiteral("port"), bath}, {QStringLiteral("set"), QStringLiteral("SOUR:SPO {C}")},
                                               {QStringLiteral("settle"), 0.2}}},
        {QStringLiteral("stability"), QJsonObject{{QStringLiteral("interval"), 0.1}, {QStringLiteral("window"), 1},
                                                  {QStringLiteral("slope"), 2.0}, {QStringLiteral("sd"), 0.05},
                                                  {QStringLiteral("samples"), 10}, {QStringLiteral("timeout"), 30}}},
        {QStringLiteral("tolerance"), 0.05},
        {QStringLiteral("uncertainty"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("uniformity")},
                                                               {QStringLiteral("value"), 0.003},
                                                               {QStringLiteral("distribution"), QStringLiteral("rectangular")}}}},
        {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("BENCH-1")},
                                                    {QStringLiteral("lab"), QStringLiteral("Bench Lab")},
                                                    {QStringLiteral("country"), QStringLiteral("DE")},
                                                    {QStringLiteral("city"), QStringLiteral("Coldtown")},
                                                    {QStringLiteral("language"), QStringLiteral("en")}}}};
}

// A record of `count` points as found and as left, 10 s of readings each, the instrument
// reading its table at the sensor's voltage.
record::Record syntheticRecord(int count)
{
    record::Record rec;
    QJsonArray points;
    for (int i = 0; i < count; ++i)
        points.append(20.0 + i * 460.0 / (count - 1));
    rec.procedure = procedureJson(points, QStringLiteral("manual"), QStringLiteral("manual"));
    rec.procedure.remove(QStringLiteral("source"));
    rec.asFound = factorySet();
    QRandomGenerator noise(7);
    const auto pointOf = [&](const device::DeviceSet &set, double kelvin, analysis::Phase phase) {
        analysis::RawPoint point;
        point.nominal = kelvin;
        point.phase = phase;
        const QVector<curveimport::Point> table = device::toCalibrationSet(set).table;
        for (int s = 0; s < 100; ++s) {
            const double reference = kelvin + 0.001 * noise.generateDouble();
            const double volts = sim::DemoFirmware::diodeVoltage(reference) + 0.002 + 0.003 * std::sin(reference / 120.0);
            // The same times on the monotonic clock the judge goes by.
            point.samples.append({qint64(s) * 100, reference, double(float(volts)), double(float(curvemath::tableTemperature(table, volts))),
                                  qint64(s) * 100});
        }
        point.capturedFrom = 90;
        return point;
    };
    for (const QJsonValue &kelvin : qAsConst(points))
        rec.points.append(pointOf(rec.asFound, kelvin.toDouble(), analysis::Phase::AsFound));
    const procedure::Procedure p = *procedure::parse(rec.procedure).procedure;
    rec.asLeft = analysis::analyse(p, rec.asFound, rec.points).proposed;
    for (const QJsonValue &kelvin : qAsConst(points))
        rec.points.append(pointOf(*rec.asLeft, kelvin.toDouble(), analysis::Phase::AsLeft));
    rec.writeOutcome = QStringLiteral("sent, verified and committed to EEPROM");
    return rec;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);

    const record::Record twenty = syntheticRecord(20);
    const procedure::Procedure p = *procedure::parse(twenty.procedure).procedure;
    QVector<double> analyses;
    QVector<double> verifications;
    for (int i = 0; i < 20; ++i) {
        QElapsedTimer clock;
        clock.start();
        const analysis::Analysis analysed = analysis::analyse(p, twenty.asFound, twenty.points);
        analyses.append(clock.nsecsElapsed() / 1e6);
        if (!analysed.fitted)
            return 1;
        clock.restart();
        const record::Verified verified = record::verify(record::toJson(twenty));
        if (!verified.ok) {
            std::fprintf(stderr, "the record does not verify: %s\n", qPrintable(verified.difference));
            return 1;
        }
        verifications.append(clock.nsecsElapsed() / 1e6);
    }
    printFigures("fit and budgets, 20 points as found and left", analyses, "< 50 ms");
    printFigures("record built and verified, 20+20 points", verifications, "-");

    QTemporaryDir dir;
    QVector<double> certificates;
    qint64 size = 0;
    for (int i = 0; i < 5; ++i) {
        const QString path = dir.filePath(QStringLiteral("certificate.pdf"));
        QElapsedTimer clock;
        clock.start();
        const QString error = certificate::writePdf(path, twenty);
        certificates.append(clock.nsecsElapsed() / 1e6);
        if (!error.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        size = QFileInfo(path).size();
    }
    printFigures("certificate, 20 points", certificates, "< 1000 ms");
    std::printf("certificate size: %.1f KiB (target: < 1 MiB)\n", size / 1024.0);

    // The DCC of the same run: from a document built once (the analysis, the record's JSON and
    // hash), then the XML alone, which is what a preview-then-save pays a second time.
    QVector<double> documents;
    QVector<double> dccs;
    qint64 dccSize = 0;
    for (int i = 0; i < 20; ++i) {
        QElapsedTimer clock;
        clock.start();
        const certificate::Built built = certificate::build(twenty);
        documents.append(clock.nsecsElapsed() / 1e6);
        if (!built.document)
            return 1;
        clock.restart();
        const dcc::Written written = dcc::write(*built.document);
        dccs.append(clock.nsecsElapsed() / 1e6);
        if (written.error.failed()) {
            std::fprintf(stderr, "%s\n", qPrintable(written.error.message));
            return 1;
        }
        dccSize = written.xml.size();
    }
    printFigures("certificate document, 20 points", documents, "-");
    printFigures("DCC written from it, 20 points", dccs, "< 50 ms");
    std::printf("DCC size: %.1f KiB, the record embedded\n", dccSize / 1024.0);

    // A run of five points on the simulated bench: what it takes beyond its readings' schedule.
    sim::BenchSettings settings;
    settings.timeConstantSeconds = 0.05;
    QString error;
    const auto bench = testsupport::startBench(settings, &error);
    if (!bench) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(error));
        return 1;
    }
    const QJsonObject json = procedureJson(QJsonArray{100, 150, 200, 250, 300}, bench->referenceUrl(), bench->bathUrl());
    const procedure::Procedure run = *procedure::parse(json).procedure;
    portname::Opened opened = portname::open(bench->instrumentPort());
    if (!opened.port)
        return 1;
    procedure::RunOptions options;
    options.portName = bench->instrumentPort();
    options.recordPath = dir.filePath(QStringLiteral("run.json"));
    options.today = QDate::currentDate();
    procedure::Run calibration(run, std::move(opened.port), options);
    QElapsedTimer clock;
    clock.start();
    const procedure::Outcome outcome = calibration.exec();
    const double totalMs = clock.nsecsElapsed() / 1e6;
    if (outcome.ending != procedure::Ending::Complete) {
        std::fprintf(stderr, "run: %s\n", qPrintable(outcome.message));
        return 1;
    }
    double scheduledMs = 0.0;
    for (const analysis::RawPoint &point : calibration.record().points)
        scheduledMs += run.source->settle * 1000.0 + (point.samples.size() - 1) * run.stability.interval * 1000.0;
    const int points = calibration.record().points.size();
    std::printf("run of %d points: %.0f ms, of which readings' schedule %.0f ms: overhead %.0f ms per point (target: < 1000 ms)\n",
                points, totalMs, scheduledMs, (totalMs - scheduledMs) / points);
    return 0;
}
