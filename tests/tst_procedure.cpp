#include "analysis.h"
#include "budget.h"
#include "certificate.h"
#include "certificatedocument.h"
#include "curvemath.h"
#include "dcc.h"
#include "dccschema.h"
#include "demofirmware.h"
#include "fit.h"
#include "procedurefile.h"
#include "record.h"
#include "scpiclient.h"
#include "stability.h"
#include "stating.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <cmath>
#include <functional>

using Series = std::function<double(double)>;
Q_DECLARE_METATYPE(Series)

namespace {

// A sensor procedure that parses; tests change one member at a time.
QJsonObject goodProcedure()
{
    return QJsonObject{
        {QStringLiteral("kind"), QStringLiteral("sensor")},
        {QStringLiteral("points"), QJsonArray{50, 100, 200, 300, 400}},
        {QStringLiteral("reference"),
         QJsonObject{{QStringLiteral("port"), QStringLiteral("socket://127.0.0.1:5025")},
                     {QStringLiteral("make"), QStringLiteral("Readout Inc")},
                     {QStringLiteral("model"), QStringLiteral("RX-1")},
                     {QStringLiteral("serial_number"), QStringLiteral("RX1-0042")},
                     {QStringLiteral("unit"), QStringLiteral("K")},
                     {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("REF-17")},
                                                                 {QStringLiteral("issuer"), QStringLiteral("National Metrology Institute")},
                                                                 {QStringLiteral("expanded_uncertainty"), 0.002},
                                                                 {QStringLiteral("k"), 2},
                                                                 {QStringLiteral("due"), QStringLiteral("2031-05-01")}}},
                     {QStringLiteral("drift"), 0.001},
                     {QStringLiteral("resolution"), 0.001}}},
        {QStringLiteral("stability"), QJsonObject{{QStringLiteral("interval"), 1}, {QStringLiteral("window"), 10},
                                                  {QStringLiteral("slope"), 0.01}, {QStringLiteral("sd"), 0.005},
                                                  {QStringLiteral("samples"), 6}}},
        {QStringLiteral("tolerance"), 0.05},
        {QStringLiteral("decision_rule"), QStringLiteral("guarded")},
        {QStringLiteral("uncertainty"), QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("bath uniformity")},
                                                               {QStringLiteral("value"), 0.003},
                                                               {QStringLiteral("distribution"), QStringLiteral("rectangular")}}}},
        {QStringLiteral("certificate"), QJsonObject{{QStringLiteral("number"), QStringLiteral("CAL-2026-042")},
                                                    {QStringLiteral("lab"), QStringLiteral("Cryo Calibration Lab")},
                                                    {QStringLiteral("address"), QStringLiteral("7 Dewar Lane, Coldtown")},
                                                    {QStringLiteral("customer"), QStringLiteral("Low Temperature Group")},
                                                    {QStringLiteral("item"), QStringLiteral("diode thermometer DT-9")},
                                                    {QStringLiteral("procedure"), QStringLiteral("TP-12 rev 3")},
                                                    {QStringLiteral("operator"), QStringLiteral("R. Kelvin")},
                                                    {QStringLiteral("ambient"), QStringLiteral("22.5 C, 41 % RH")},
                                                    {QStringLiteral("country"), QStringLiteral("DE")},
                                                    {QStringLiteral("city"), QStringLiteral("Coldtown")},
                                                    {QStringLiteral("language"), QStringLiteral("en")}}},
        {QStringLiteral("fit"), QJsonObject{{QStringLiteral("degree"), 4}}}};
}

QJsonObject changed(const QString &path, const QJsonValue &value)
{
    QJsonObject top = goodProcedure();
    const QStringList keys = path.split(QLatin1Char('.'));
    std::function<QJsonObject(QJsonObject, int)> set = [&](QJsonObject object, int depth) {
        if (depth == keys.size() - 1) {
            if (value.isUndefined())
                object.remove(keys.last());
            else
                object.insert(keys.last(), value);
        } else {
            object.insert(keys.at(depth), set(object.value(keys.at(depth)).toObject(), depth + 1));
        }
        return object;
    };
    return set(top, 0);
}

device::DeviceSet factorySet()
{
    const sim::Constants constants = sim::DemoFirmware::factoryConstants();
    device::DeviceSet set;
    set.adcSlope = constants.adcSlope;
    set.adcIntercept = constants.adcIntercept;
    set.dacSlope = constants.dacSlope;
    set.dacIntercept = constants.dacIntercept;
    for (int row = 0; row < TableRows; ++row)
        set.table[row] = {constants.table[size_t(row)].first, constants.table[size_t(row)].second};
    return set;
}

// A sensor whose voltage lies this far above the demo diode's curve.
double deviation(double kelvin)
{
    return 0.002 + 0.003 * std::sin(kelvin / 120.0);
}

double sensorVolts(double kelvin)
{
    return sim::DemoFirmware::diodeVoltage(kelvin) + deviation(kelvin);
}

// A point of readings at a steady temperature, as the run would record it: a short wait,
// then the captured readings, the instrument reading its table at the sensor's voltage.
analysis::RawPoint steadyPoint(const device::DeviceSet &set, double kelvin, analysis::Phase phase, int captured, quint32 seed)
{
    analysis::RawPoint point;
    point.nominal = kelvin;
    point.phase = phase;
    QRandomGenerator noise(seed);
    const QVector<curveimport::Point> table = device::toCalibrationSet(set).table;
    for (int i = 0; i < 12 + captured; ++i) {
        // A readout's last digit that moves, as a live one's does: never a frozen value.
        const double reference = std::round((kelvin + 0.001 * (i % 3 - 1)) * 1000.0) / 1000.0;
        const float volts = float(sensorVolts(reference) + 2e-6 * (noise.generateDouble() - 0.5));
        const float reading = float(curvemath::tableTemperature(table, double(volts)));
        const qint64 ms = qint64(i) * 1000 + qint64(kelvin) * 100000;
        point.samples.append({1796000000000 + ms, reference, double(volts), double(reading), ms});
    }
    point.capturedFrom = 12;
    return point;
}

record::Record syntheticRecord(bool written)
{
    record::Record rec;
    rec.procedure = goodProcedure();
    rec.software = QStringLiteral("thermocal-cli test");
    rec.port = QStringLiteral("/dev/ttyACM0");
    rec.serialNumber = QStringLiteral("TC-000123");
    // An answer that looks like a placeholder to Qt's arg(): the certificate prints it as it came.
    rec.referenceIdn = QStringLiteral("Readout Inc,RX-1 %1,REF-17,2.0");
    rec.started = QStringLiteral("2026-12-08T10:00:00.000Z");
    rec.finished = QStringLiteral("2026-12-08T11:00:00.000Z");
    rec.state = record::State::Complete;
    rec.asFound = factorySet();
    const QVector<double> points{50, 100, 200, 300, 400};
    quint32 seed = 1;
    for (double kelvin : points)
        rec.points.append(steadyPoint(rec.asFound, kelvin, analysis::Phase::AsFound, 6, seed++));
    if (written) {
        const procedure::Procedure p = *procedure::parse(rec.procedure).procedure;
        const analysis::Analysis analysed = analysis::analyse(p, rec.asFound, rec.points);
        rec.asLeft = analysed.proposed;
        rec.write = true;
        rec.writeOutcome = QStringLiteral("sent, verified and committed to EEPROM");
        for (double kelvin : points)
            rec.points.append(steadyPoint(*rec.asLeft, kelvin, analysis::Phase::AsLeft, 6, seed++));
    }
    return rec;
}

// An ADC calibration as found: a voltmeter of about 20 µV (k = 2) as the reference, the
// instrument's converter a few hundred µV off it; the errors and U come out in µV.
record::Record adcRecord()
{
    QJsonObject procedure = goodProcedure();
    procedure.insert(QStringLiteral("kind"), QStringLiteral("adc"));
    procedure.insert(QStringLiteral("points"), QJsonArray{0.5, 1.0, 1.5, 2.0});
    procedure.insert(QStringLiteral("tolerance"), 0.001);
    procedure.remove(QStringLiteral("fit"));
    procedure.remove(QStringLiteral("uncertainty"));
    QJsonObject reference = procedure.value(QStringLiteral("reference")).toObject();
    reference.insert(QStringLiteral("unit"), QStringLiteral("V"));
    reference.insert(QStringLiteral("drift"), 0.000005);
    reference.insert(QStringLiteral("resolution"), 0.000001);
    QJsonObject referenceCertificate = reference.value(QStringLiteral("certificate")).toObject();
    referenceCertificate.insert(QStringLiteral("expanded_uncertainty"), 0.00002);
    reference.insert(QStringLiteral("certificate"), referenceCertificate);
    procedure.insert(QStringLiteral("reference"), reference);

    record::Record rec = syntheticRecord(false);
    rec.procedure = procedure;
    rec.points.clear();
    QRandomGenerator noise(7);
    for (double volts : {0.5, 1.0, 1.5, 2.0}) {
        analysis::RawPoint point;
        point.nominal = volts;
        for (int i = 0; i < 18; ++i) {
            const double read = std::round((volts + 0.00001 * (noise.generateDouble() - 0.5)) * 1e6) / 1e6;
            const float instrument = float(read * (1.0 + 1e-4) + 0.000317 + 2e-6 * (noise.generateDouble() - 0.5));
            point.samples.append({1796000000000 + qint64(i) * 1000 + qint64(volts * 1000) * 100000, read, double(instrument), 0.0});
        }
        point.capturedFrom = 12;
        rec.points.append(point);
    }
    return rec;
}

// The records the certificate rows are drawn from, by name.
record::Record namedRecord(const QString &name)
{
    if (name == QLatin1String("adc"))
        return adcRecord();
    record::Record rec = syntheticRecord(name == QLatin1String("as left"));
    if (name == QLatin1String("deviations")) {
        rec.points[1].capturedFrom = 4;
        rec.points[1].captureReason = QStringLiteral("bath steady by eye");
    } else if (name == QLatin1String("expired reference")) {
        rec.allowExpiredReference = true;
        rec.expiredReferenceReason = QStringLiteral("recalibration booked for next week");
        rec.expiredReferenceAllowedBy = QStringLiteral("r.kelvin");
    } else if (name == QLatin1String("software without a version")) {
        // As a build without a version names itself: the name and a space.
        rec.software = QStringLiteral("thermocal-calibrate ");
    }
    return rec;
}

// One dcc:quantity of a DCC as it reads back: its name, values, unit and uncertainties.
struct DccQuantity
{
    QString name;
    QVector<double> values;
    QString unit;
    QVector<double> expanded;
    QVector<double> k;
    QString probability;
};

QVector<double> doubles(const QString &text)
{
    QVector<double> values;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        values << word.toDouble();
    return values;
}

// Every list quantity of a DCC in document order, with the conformity lists and the embedded
// record's bytes.
struct DccRead
{
    QVector<DccQuantity> quantities;
    QStringList conformities;
    QByteArray record;
    QString text; // every text, for looking words up
};

DccRead readDcc(const QByteArray &xml)
{
    DccRead read;
    QXmlStreamReader reader(xml);
    bool inQuantity = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (!reader.isStartElement())
            continue;
        const QString name = reader.name().toString();
        if (name == QLatin1String("quantity")) {
            read.quantities.append(DccQuantity());
            inQuantity = true;
        } else if (name == QLatin1String("content") && inQuantity && read.quantities.last().name.isEmpty()) {
            read.quantities.last().name = reader.readElementText();
        } else if (name == QLatin1String("valueXMLList")) {
            read.quantities.last().values = doubles(reader.readElementText());
        } else if (name == QLatin1String("unitXMLList")) {
            read.quantities.last().unit = reader.readElementText();
        } else if (name == QLatin1String("uncertaintyXMLList")) {
            read.quantities.last().expanded = doubles(reader.readElementText());
        } else if (name == QLatin1String("coverageFactorXMLList")) {
            read.quantities.last().k = doubles(reader.readElementText());
        } else if (name == QLatin1String("coverageProbabilityXMLList")) {
            read.quantities.last().probability = reader.readElementText();
        } else if (name == QLatin1String("conformityXMLList")) {
            read.conformities << reader.readElementText();
        } else if (name == QLatin1String("dataBase64")) {
            read.record = QByteArray::fromBase64(reader.readElementText().toLatin1());
        } else if (name == QLatin1String("list") || name == QLatin1String("result")) {
            inQuantity = false;
        }
    }
    QXmlStreamReader all(xml);
    while (!all.atEnd()) {
        all.readNext();
        if (all.isCharacters())
            read.text += all.text().toString() + QLatin1Char(' ');
    }
    return read;
}

} // namespace

// The procedure library on synthetic data: no instrument and no bench.
class TestProcedure : public QObject
{
    Q_OBJECT

private slots:
    void procedureFileRefuses_data()
    {
        QTest::addColumn<QJsonObject>("file");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("member"); // which a form marks, whatever the message's language
        QTest::newRow("unknown member") << changed(QStringLiteral("colour"), 1) << "unknown member \"colour\"" << "colour";
        QTest::newRow("unknown nested member") << changed(QStringLiteral("reference.certificate.lab"), QStringLiteral("x"))
                                               << "unknown member \"reference.certificate.lab\"" << "reference.certificate.lab";
        QTest::newRow("kind missing") << changed(QStringLiteral("kind"), QJsonValue::Undefined) << "\"kind\" is missing" << "kind";
        QTest::newRow("kind unknown") << changed(QStringLiteral("kind"), QStringLiteral("dac")) << "\"kind\" must be \"sensor\" or \"adc\"" << "kind";
        QTest::newRow("volts for a sensor") << changed(QStringLiteral("reference.unit"), QStringLiteral("V"))
                                           << "\"reference.unit\" V makes no sense for the sensor kind" << "reference.unit";
        QTest::newRow("kelvin for the adc")
            << [] { QJsonObject o = changed(QStringLiteral("kind"), QStringLiteral("adc")); o.remove(QStringLiteral("fit")); return o; }()
            << "\"reference.unit\" K makes no sense for the adc kind" << "reference.unit";
        QTest::newRow("one adc point")
            << [] {
                   QJsonObject o = changed(QStringLiteral("reference.unit"), QStringLiteral("V"));
                   o.insert(QStringLiteral("kind"), QStringLiteral("adc"));
                   o.insert(QStringLiteral("points"), QJsonArray{1.0});
                   o.remove(QStringLiteral("fit"));
                   return o;
               }()
            << "the adc kind takes 2 to 100 points, not 1" << "points";
        QTest::newRow("degree with three points") << changed(QStringLiteral("points"), QJsonArray{50, 100, 200})
                                                  << "\"fit.degree\" needs 4 points or more" << "fit.degree";
        QTest::newRow("degree above the points") << changed(QStringLiteral("fit.degree"), 5) << "\"fit.degree\" 5 needs 6 points at least, not 5" << "fit.degree";
        QTest::newRow("a point twice") << changed(QStringLiteral("points"), QJsonArray{50, 100, 100, 300, 400}) << "100 is given twice" << "points";
        QTest::newRow("as-left point not a point") << changed(QStringLiteral("as_left_points"), QJsonArray{77}) << "77 is not one of the points" << "as_left_points";
        QTest::newRow("point a string") << changed(QStringLiteral("points"), QJsonArray{50, QStringLiteral("x")}) << "\"points\": element 2 is not a number" << "points";
        QTest::newRow("due date") << changed(QStringLiteral("reference.certificate.due"), QStringLiteral("01/05/2031"))
                                  << "must be a date as YYYY-MM-DD, not \"01/05/2031\"" << "reference.certificate.due";
        QTest::newRow("negative tolerance") << changed(QStringLiteral("tolerance"), -1) << "\"tolerance\" must be a number above 0" << "tolerance";
        QTest::newRow("distribution") << changed(QStringLiteral("uncertainty"), QJsonArray{QJsonObject{
                                             {QStringLiteral("name"), QStringLiteral("x")}, {QStringLiteral("value"), 1},
                                             {QStringLiteral("distribution"), QStringLiteral("triangular")}}})
                                      << "\"uncertainty[1].distribution\" must be \"normal\" or \"rectangular\" or \"u-shaped\"" << "uncertainty[1].distribution";
        QTest::newRow("set without a value") << changed(QStringLiteral("source"), QJsonObject{{QStringLiteral("port"), QStringLiteral("manual")},
                                                                                             {QStringLiteral("set"), QStringLiteral("SOUR:SPO")}})
                                             << "\"source.set\" must hold {K}, {C} or {V}" << "source.set";
        QTest::newRow("window of one interval") << changed(QStringLiteral("stability.window"), 1) << "at least two intervals" << "stability.interval";
        QTest::newRow("samples beyond an int") << changed(QStringLiteral("stability.samples"), 3e15) << "whole number from 2 to 100000" << "stability.samples";
        QTest::newRow("degree beyond an int") << changed(QStringLiteral("fit.degree"), 1e300) << "whole number from 1 to 8" << "fit.degree";
        QTest::newRow("a settle of ages") << changed(QStringLiteral("source"), QJsonObject{{QStringLiteral("port"), QStringLiteral("manual")},
                                                                                          {QStringLiteral("set"), QStringLiteral("SOUR:SPO {C}")},
                                                                                          {QStringLiteral("settle"), 1e300}})
                                          << "\"source.settle\" must be at most 604800 s" << "source.settle";
        QTest::newRow("a timeout of ages") << changed(QStringLiteral("stability.timeout"), 1e12) << "\"stability.timeout\" must be at most 604800 s" << "stability.timeout";
        QTest::newRow("stale within two intervals") << changed(QStringLiteral("stability.stale"), 2) << "\"stability.stale\" must be at least 3 intervals" << "stability.stale";
        QTest::newRow("pattern without a group") << changed(QStringLiteral("reference.pattern"), QStringLiteral("[0-9.]+"))
                                                 << "\"reference.pattern\": it needs a group" << "reference.pattern";
        QTest::newRow("pattern that is none") << changed(QStringLiteral("reference.pattern"), QStringLiteral("(77"))
                                              << "\"reference.pattern\": not a regular expression" << "reference.pattern";
        QTest::newRow("bound of nothing") << changed(QStringLiteral("bounds.reading"), 0) << "\"bounds.reading\" must be a number above 0" << "bounds.reading";
        QTest::newRow("unknown bound") << changed(QStringLiteral("bounds.points"), 1) << "unknown member \"bounds.points\"" << "bounds.points";
        QTest::newRow("spacing unknown") << changed(QStringLiteral("table.spacing"), QStringLiteral("linear"))
                                         << "\"table.spacing\" must be \"curvature\" or \"geometric\", not \"linear\"" << "table.spacing";
        QTest::newRow("curve without a name") << changed(QStringLiteral("curve"), QStringLiteral(" ")) << "\"curve\" must name the sensor's curve file" << "curve";
    }

    void procedureFileRefuses()
    {
        QFETCH(QJsonObject, file);
        QFETCH(QString, message);
        QFETCH(QString, member);
        const procedure::Parsed parsed = procedure::parse(QJsonDocument(file).toJson());
        QVERIFY(!parsed.procedure);
        QVERIFY2(parsed.error.message.contains(message), qPrintable(parsed.error.message));
        QCOMPARE(parsed.error.member, member);
        QCOMPARE(int(parsed.error.code), int(procedure::Error::Code::Invalid));
    }

    void procedureFileDefaults()
    {
        QJsonObject file = goodProcedure();
        file.remove(QStringLiteral("stability"));
        file.remove(QStringLiteral("decision_rule"));
        file.remove(QStringLiteral("fit"));
        const procedure::Parsed parsed = procedure::parse(file);
        QVERIFY2(parsed.procedure, qPrintable(parsed.error.message));
        const procedure::Procedure &p = *parsed.procedure;
        QCOMPARE(p.stability.window, 300.0);
        QCOMPARE(p.stability.timeout, 3600.0);
        QCOMPARE(p.stability.samples, 10);
        QCOMPARE(p.reference.query, QStringLiteral("MEAS:TEMP?"));
        QCOMPARE(p.rule, procedure::DecisionRule::Simple);
        QCOMPARE(p.asLeftPoints, p.points);
        QCOMPARE(procedure::fitDegree(p), 3);
        // Two degrees of freedom left by default: a quadratic through four points, not a cubic.
        procedure::Procedure four = p;
        four.points = {50, 100, 200, 300};
        QCOMPARE(procedure::fitDegree(four), 2);
        QCOMPARE(p.stability.stale, 60.0);
        QCOMPARE(p.bounds.reading, 10.0);
        QCOMPARE(procedure::tableSpacing(p), tablespacing::Spacing::Geometric);
        QCOMPARE(p.reference.certificate.due, QDate(2031, 5, 1));
        QCOMPARE(p.uncertainty.size(), 1);
        QCOMPARE(p.uncertainty.first().distribution, procedure::Distribution::Rectangular);
    }

    // Readings once a second over 20 s (none from gapFrom to gapTo), judged at the end with a
    // window of 10 s, limits of 0.01 K/min and 0.005 K, a reference stale after 5 s of one value.
    void judge_data()
    {
        QTest::addColumn<Series>("reference");
        QTest::addColumn<Series>("instrument");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("stable");
        QTest::addColumn<bool>("stale");
        QTest::addColumn<int>("gapFrom");
        QTest::addColumn<int>("gapTo");

        const auto jitter = [](double amplitude) {
            return [amplitude](double t) { return 100.0 + amplitude * std::sin(t * 2.1) + amplitude * std::cos(t * 5.3); };
        };
        using F = Series;
        QTest::newRow("calm") << F(jitter(0.0004)) << F(jitter(0.001)) << 21 << true << false << 0 << 0;
        // Within 20 mK of the set point throughout (a band check passes), but swinging back.
        QTest::newRow("overshoot") << F([](double t) { return 100.0 + 0.02 * std::exp(-t / 40.0) * std::cos(t / 6.0); })
                                   << F(jitter(0.001)) << 21 << false << false << 0 << 0;
        QTest::newRow("noisy instrument") << F(jitter(0.0004)) << F(jitter(0.008)) << 21 << false << false << 0 << 0;
        // Level (no slope over the window nor at its end beyond chance), but noisier than the SD limit.
        QTest::newRow("level but noisy") << F([](double t) { return 100.0 + 0.008 * (int(t) % 2 ? 1 : -1); })
                                         << F(jitter(0.001)) << 21 << false << false << 0 << 0;
        QTest::newRow("drift") << F([](double t) { return 100.0 + 0.0005 * t; }) << F(jitter(0.001)) << 21 << false << false << 0 << 0;
        // A window centred on an overshoot's peak: no slope over the whole window and a small SD,
        // but at its end the bath falls at 2.5 times the slope limit.
        QTest::newRow("straddling a peak") << F([](double t) { return 100.0 - 6e-5 * (t - 15) * (t - 15); })
                                           << F(jitter(0.001)) << 21 << false << false << 0 << 0;
        QTest::newRow("step in the window") << F(jitter(0.0004)) << F([](double t) { return t < 15 ? 100.0 : 100.01; }) << 21 << false
                                            << false << 0 << 0;
        QTest::newRow("step before the window") << F([jitter](double t) { return t < 5 ? 99.0 : jitter(0.0004)(t); })
                                                << F(jitter(0.001)) << 21 << true << false << 0 << 0;
        QTest::newRow("stale reference") << F([](double) { return 100.012; }) << F(jitter(0.001)) << 21 << false << true << 0 << 0;
        // A readout that froze 6 s before the end: stale within the stale time, not only once
        // one value fills the window.
        QTest::newRow("frozen for the stale time") << F([jitter](double t) { return jitter(0.0004)(std::min(t, 14.0)); })
                                                   << F(jitter(0.001)) << 21 << false << true << 0 << 0;
        // A freeze that ended before the window: the window's readings are live again.
        QTest::newRow("frozen before the window") << F([jitter](double t) { return jitter(0.0004)(t >= 2 && t <= 8 ? 2.0 : t); })
                                                  << F(jitter(0.001)) << 21 << true << false << 0 << 0;
        QTest::newRow("window not yet covered") << F(jitter(0.0004)) << F(jitter(0.001)) << 8 << false << false << 0 << 0;
        // A pause of 12 s: four calm readings after it do not make a window.
        QTest::newRow("pause in the window") << F(jitter(0.0004)) << F(jitter(0.001)) << 21 << false << false << 5 << 17;
        // One reading late (a slow answer): still a covered window.
        QTest::newRow("one reading missed") << F(jitter(0.0004)) << F(jitter(0.001)) << 21 << true << false << 12 << 14;
    }

    void judge()
    {
        QFETCH(Series, reference);
        QFETCH(Series, instrument);
        QFETCH(int, count);
        QFETCH(bool, stable);
        QFETCH(bool, stale);
        QFETCH(int, gapFrom);
        QFETCH(int, gapTo);
        procedure::Stability limits;
        limits.interval = 1;
        limits.window = 10;
        limits.slope = 0.01;
        limits.sd = 0.005;
        limits.stale = 5;
        QVector<stability::Reading> readings;
        for (int i = 0; i < count; ++i) {
            if (i < gapFrom || i >= gapTo)
                readings.append({qint64(i) * 1000, reference(i), instrument(i)});
        }
        const stability::Judgement judged = stability::judge(readings, limits, readings.last().ms);
        QCOMPARE(judged.stable, stable);
        QCOMPARE(judged.stale, stale);
        if (count < 10) {
            QVERIFY(!judged.filled);
            QCOMPARE(judged.secondsToStable, 10.0 - (count - 1));
        }
        if (gapTo > gapFrom)
            QCOMPARE(judged.filled, stable);
    }

    void statisticsAreLeastSquares()
    {
        const stability::ChannelStatistics line = stability::statistics({0, 1, 2, 3}, {1.0, 1.5, 2.0, 2.5});
        QCOMPARE(line.slopePerMinute, 30.0);
        QCOMPARE(line.mean, 1.75);
        QVERIFY(std::fabs(line.sd - std::sqrt(5.0 / 12.0)) < 1e-12);
    }

    // The sensor deviates from the factory curve by 2 + 3 sin(T / 120 K) mV; the new table
    // read at the sensor's voltage gives the true temperature at the points, and between them
    // within what the model allows.
    void sensorFitRecoversDeviation_data()
    {
        QTest::addColumn<QVector<double>>("points");
        QTest::addColumn<int>("degree");
        QTest::addColumn<double>("atPointsMk");
        QTest::addColumn<double>("betweenMk");
        QTest::newRow("one point") << QVector<double>{77.35} << 0 << 1.0 << 4000.0;
        // A few mK at the points is the 100-row table's own linear interpolation of the diode;
        // an interpolated offset bends at a middle point, between two rows.
        QTest::newRow("three points") << QVector<double>{50, 200, 400} << 0 << 50.0 << 400.0;
        QTest::newRow("five points, degree 4") << QVector<double>{50, 100, 200, 300, 400} << 4 << 5.0 << 30.0;
        // A cubic cannot follow the sine through six points exactly: its residuals show.
        QTest::newRow("six points, degree 3") << QVector<double>{40, 100, 160, 240, 320, 400} << 3 << 30.0 << 40.0;
    }

    void sensorFitRecoversDeviation()
    {
        QFETCH(QVector<double>, points);
        QFETCH(int, degree);
        QFETCH(double, atPointsMk);
        QFETCH(double, betweenMk);
        const QVector<curveimport::Point> table = device::toCalibrationSet(factorySet()).table;
        QVector<fit::SensorPoint> measured;
        for (double kelvin : points)
            measured.append({kelvin, sensorVolts(kelvin)});
        const fit::SensorFit fitted = fit::fitSensor(table, measured, degree);
        QVERIFY2(fitted.ok(), qPrintable(fitted.error));
        QCOMPARE(fitted.table.size(), TableRows);
        QCOMPARE(fitted.degree, degree);
        for (double kelvin : points) {
            const double error = (curvemath::tableTemperature(fitted.table, sensorVolts(kelvin)) - kelvin) * 1000.0;
            QVERIFY2(std::fabs(error) < atPointsMk, qPrintable(QStringLiteral("%1 K: %2 mK").arg(kelvin).arg(error)));
        }
        for (double kelvin = points.first(); kelvin <= points.last(); kelvin += 7.0) {
            const double error = (curvemath::tableTemperature(fitted.table, sensorVolts(kelvin)) - kelvin) * 1000.0;
            QVERIFY2(std::fabs(error) < betweenMk, qPrintable(QStringLiteral("%1 K: %2 mK").arg(kelvin).arg(error)));
        }
        // Beyond the outer points the correction is held, not extrapolated (a polynomial's
        // from the next row on).
        QCOMPARE(fit::offsetAt(fitted, 1.4), fit::offsetAt(fitted, degree > 0 ? fitted.holdLow : points.first()));
        QCOMPARE(fit::offsetAt(fitted, 500.0), fit::offsetAt(fitted, degree > 0 ? fitted.holdHigh : points.last()));
        QVERIFY(fitted.holdHigh >= points.last() && fitted.holdHigh < points.last() * 1.07);
        // The table's own error against the fit is measured, and is what the table shows.
        QVERIFY2(fitted.interpolationMk <= std::max(atPointsMk, 1.0), qPrintable(QString::number(fitted.interpolationMk)));
    }

    void adcFitRecoversConstants()
    {
        // The converter's true step and zero differ from what the instrument's constants claim.
        const double claimedSlope = 2.5 / 65536.0;
        const double trueSlope = claimedSlope * (1.0 + 2e-4);
        const double trueZero = 0.0004;
        QVector<double> instrument;
        QVector<double> reference;
        for (double volts : {0.1, 0.5, 1.0, 1.5, 2.0}) {
            const double count = std::round((volts - trueZero) / trueSlope);
            instrument.append(claimedSlope * count);
            reference.append(volts);
        }
        const fit::AdcFit fitted = fit::fitAdc(claimedSlope, 0.0, instrument, reference);
        QVERIFY(fitted.ok());
        // Whole counts leave the line uncertain by about half a count over the span.
        QVERIFY2(std::fabs(fitted.slope / trueSlope - 1.0) < 3e-5, qPrintable(QString::number(fitted.slope / trueSlope - 1.0)));
        QVERIFY(std::fabs(fitted.intercept - trueZero) < 2 * trueSlope);
        for (double residual : fitted.residuals)
            QVERIFY(std::fabs(residual) <= trueSlope);
    }

    // Student's t for 95.45 % as the GUM's table G.2 lists it.
    void coverageFactor_data()
    {
        QTest::addColumn<double>("dof");
        QTest::addColumn<double>("k");
        QTest::newRow("1") << 1.0 << 13.97;
        QTest::newRow("2") << 2.0 << 4.53;
        QTest::newRow("3") << 3.0 << 3.31;
        QTest::newRow("4") << 4.0 << 2.87;
        QTest::newRow("5") << 5.0 << 2.65;
        QTest::newRow("9.7 taken as 9") << 9.7 << 2.32;
        QTest::newRow("10") << 10.0 << 2.28;
        QTest::newRow("20") << 20.0 << 2.13;
        QTest::newRow("50") << 50.0 << 2.05;
        QTest::newRow("100") << 100.0 << 2.03;
        QTest::newRow("infinite") << budget::Infinite << 2.00;
    }

    void coverageFactor()
    {
        QFETCH(double, dof);
        QFETCH(double, k);
        QCOMPARE(budget::coverageFactor(dof), k);
    }

    void roundsUpToTwoDigits_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("rounded");
        QTest::newRow("0.0201") << 0.0201 << 0.021;
        QTest::newRow("0.020 stays") << 0.020 << 0.020;
        QTest::newRow("0.00349") << 0.00349 << 0.0035;
        QTest::newRow("123.1") << 123.1 << 130.0;
        QTest::newRow("9.91") << 9.91 << 10.0;
    }

    void roundsUpToTwoDigits()
    {
        QFETCH(double, value);
        QFETCH(double, rounded);
        QCOMPARE(budget::roundUpTwoDigits(value), rounded);
    }

    // How a U and its result are written: U to two significant digits rounded up, the result
    // to the decimal place of U's last digit, in a unit that shows both.
    void statesResults_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<double>("expanded");
        QTest::addColumn<double>("result");
        QTest::addColumn<double>("tolerance");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("u");
        QTest::addColumn<QString>("stated");
        QTest::addColumn<QString>("limit");
        const int adc = int(procedure::Kind::Adc);
        const int sensor = int(procedure::Kind::Sensor);
        const QString microvolt = QStringLiteral("\u00b5V");
        QTest::newRow("24 uV, not 0.02 mV") << adc << 2.4e-5 << 3.26e-4 << 0.001 << microvolt << "24" << "326" << "1000";
        QTest::newRow("24.01 uV rounds up") << adc << 2.401e-5 << -3.26e-4 << 0.001 << microvolt << "25" << "-326" << "1000";
        QTest::newRow("15 uV") << adc << 1.5e-5 << 4.6e-6 << 0.001 << microvolt << "15" << "5" << "1000";
        QTest::newRow("4.91 uV rounds up to 5.0") << adc << 4.91e-6 << 1.234e-6 << 0.001 << microvolt << "5.0" << "1.2" << "1000.0";
        QTest::newRow("4.9 uV, -0.04 uV is 0.0") << adc << 4.9e-6 << -4e-8 << 0.001 << microvolt << "4.9" << "0.0" << "1000.0";
        QTest::newRow("0.09951 mV is 100 uV, the result on tens") << adc << 9.951e-5 << 1.23e-5 << 0.001 << microvolt << "100" << "10" << "1000";
        QTest::newRow("0.000995 V rounds up into mV") << adc << 9.95e-4 << 2.34e-3 << 0.01 << "mV" << "1.0" << "2.3" << "10.0";
        QTest::newRow("exactly 0.024 V stays 24 mV") << adc << 0.024 << 0.0131 << 0.1 << "mV" << "24" << "13" << "100";
        // These two digits times a power of ten come out a hair above the integer when scaled.
        QTest::newRow("exactly 2.5 uV stays 2.5") << adc << 2.5e-6 << 1.26e-6 << 0.001 << microvolt << "2.5" << "1.3" << "1000.0";
        QTest::newRow("exactly 0.00051 V stays 510 uV") << adc << 0.00051 << -0.000123 << 0.001 << microvolt << "510" << "-120" << "1000";
        QTest::newRow("1.2 V") << adc << 1.2 << -0.36 << 2.0 << "V" << "1.2" << "-0.4" << "2.0";
        QTest::newRow("8.3 mK, not 8.30") << sensor << 0.0083 << 0.01234 << 0.05 << "mK" << "8.3" << "12.3" << "50.0";
        QTest::newRow("11 mK, not 11.00") << sensor << 0.011 << -0.00449 << 0.05 << "mK" << "11" << "-4" << "50";
        QTest::newRow("exactly 0.024 K stays 24 mK") << sensor << 0.024 << 0.0131 << 0.05 << "mK" << "24" << "13" << "50";
        QTest::newRow("exactly 0.14 K stays 140 mK") << sensor << 0.14 << 0.0456 << 0.5 << "mK" << "140" << "50" << "500";
        QTest::newRow("130 mK puts the result on tens") << sensor << 0.123 << 0.0456 << 0.5 << "mK" << "130" << "50" << "500";
        QTest::newRow("on tens, -4 mK is 0") << sensor << 0.123 << -0.004 << 0.5 << "mK" << "130" << "0" << "500";
        QTest::newRow("a limit keeps its digits") << sensor << 0.011 << 0.002 << 0.0505 << "mK" << "11" << "2" << "50.5";
        QTest::newRow("1.0 K") << sensor << 1.0 << 0.44 << 2.0 << "K" << "1.0" << "0.4" << "2.0";
        QTest::newRow("U zero") << sensor << 0.0 << 0.01234 << 0.05 << "mK" << "0" << "12.3" << "50";
        QTest::newRow("U not finite") << adc << qQNaN() << 1.5e-5 << 0.001 << "mV" << "-" << "0.0150" << "1";
        QTest::newRow("result not finite") << adc << 2.4e-5 << qInf() << 0.001 << microvolt << "24" << "-" << "1000";
    }

    void statesResults()
    {
        QFETCH(int, kind);
        QFETCH(double, expanded);
        QFETCH(double, result);
        QFETCH(double, tolerance);
        QFETCH(QString, unit);
        QFETCH(QString, u);
        QFETCH(QString, stated);
        QFETCH(QString, limit);
        const stating::Unit chosen = stating::unitFor(procedure::Kind(kind), {expanded});
        QCOMPARE(chosen.symbol, unit);
        QCOMPARE(stating::uncertainty(expanded, chosen), u);
        QCOMPARE(stating::value(result, expanded, chosen), stated);
        QCOMPARE(stating::limit(tolerance, expanded, chosen), limit);
    }

    // A table is stated in one unit: the one the smallest U needs for its two digits; a
    // larger U then shows its two digits with zeros, its result rounded to match.
    void statesATable_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QVector<double>>("expanded");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<double>("u");
        QTest::addColumn<double>("result");
        QTest::addColumn<QString>("statedU");
        QTest::addColumn<QString>("stated");
        const int adc = int(procedure::Kind::Adc);
        const int sensor = int(procedure::Kind::Sensor);
        QTest::newRow("the smallest decides") << adc << QVector<double>{1.3e-3, 2.4e-5, qQNaN(), 0.0} << QStringLiteral("\u00b5V")
                                              << 1.3e-3 << -1.234e-3 << "1300" << "-1200";
        QTest::newRow("all in mV") << adc << QVector<double>{1.3e-3, 2.4e-3} << "mV" << 2.4e-3 << -1.234e-3 << "2.4" << "-1.2";
        QTest::newRow("mK below 1 K") << sensor << QVector<double>{2.0, 0.5} << "mK" << 2.0 << -1.234 << "2000" << "-1200";
        QTest::newRow("K from 1 K") << sensor << QVector<double>{1.0, 3.0} << "K" << 3.0 << -1.234 << "3.0" << "-1.2";
        QTest::newRow("nothing stated") << sensor << QVector<double>{0.0, qInf()} << "mK" << qInf() << -1.234 << "-" << "-1234";
    }

    void statesATable()
    {
        QFETCH(int, kind);
        QFETCH(QVector<double>, expanded);
        QFETCH(QString, unit);
        QFETCH(double, u);
        QFETCH(double, result);
        QFETCH(QString, statedU);
        QFETCH(QString, stated);
        const stating::Unit chosen = stating::unitFor(procedure::Kind(kind), expanded);
        QCOMPARE(chosen.symbol, unit);
        QCOMPARE(stating::uncertainty(u, chosen), statedU);
        QCOMPARE(stating::value(result, u, chosen), stated);
    }

    // A budget worked by Debian's python3-uncertainties: the combined uncertainty of a sum of
    // independent terms, and the effective degrees of freedom by Welch-Satterthwaite.
    void budgetAgainstOracle()
    {
        const QVector<budget::Term> terms{
            budget::typeB(QStringLiteral("reference certificate"), procedure::Distribution::Normal, 0.020, 2.0, QStringLiteral("K")),
            budget::typeB(QStringLiteral("drift"), procedure::Distribution::Rectangular, 0.005, 0, QStringLiteral("K")),
            budget::typeB(QStringLiteral("immersion"), procedure::Distribution::UShaped, 0.004, 0, QStringLiteral("K")),
            budget::repeatability(QStringLiteral("repeatability"), 0.012, 5, QStringLiteral("K")),
            [] {
                budget::Term t = budget::typeB(QStringLiteral("fit residual"), procedure::Distribution::Rectangular, 0.00002, 0, QStringLiteral("V"));
                t.sensitivity = -1.0 / 0.0024; // K per V where the diode falls by 2.4 mV/K
                return t;
            }()};
        const budget::Budget b = budget::combine(terms);

        const QString script = QStringLiteral(
            "from uncertainties import ufloat\n"
            "from math import sqrt\n"
            "ref = ufloat(0, 0.020 / 2)\n"
            "drift = ufloat(0, 0.005 / sqrt(3))\n"
            "immersion = ufloat(0, 0.004 / sqrt(2))\n"
            "rep = ufloat(0, 0.012 / sqrt(5))\n"
            "fit = ufloat(0, 0.00002 / sqrt(3))\n"
            "error = 77.35 + ref + drift + immersion + rep + fit / -0.0024 - 77.35\n"
            "uc = error.std_dev\n"
            "print(repr(uc))\n"
            "print(repr(uc ** 4 / ((0.012 / sqrt(5)) ** 4 / 4)))\n");
        QProcess python;
        python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), script});
        QVERIFY(python.waitForFinished(30000));
        if (python.exitCode() != 0 && python.readAllStandardError().contains("No module named 'uncertainties'"))
            QSKIP("python3-uncertainties is not installed (scripts/bootstrap installs it)");
        const QList<QByteArray> lines = python.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        const double uc = lines.at(0).toDouble();
        const double dof = lines.at(1).toDouble();
        QVERIFY2(std::fabs(b.combined - uc) < 1e-12 * uc, qPrintable(QStringLiteral("%1 against %2").arg(b.combined).arg(uc)));
        QVERIFY2(std::fabs(b.effectiveDof - dof) < 1e-9 * dof, qPrintable(QStringLiteral("%1 against %2").arg(b.effectiveDof).arg(dof)));
        QCOMPARE(b.k, budget::coverageFactor(dof));
        QCOMPARE(b.expanded, budget::roundUpTwoDigits(b.k * uc));
        QVERIFY(b.expanded >= b.k * uc);
    }

    void decisionRules_data()
    {
        QTest::addColumn<int>("rule");
        QTest::addColumn<double>("error");
        QTest::addColumn<QString>("decision");
        // Tolerance 50 mK, U 10 mK.
        QTest::newRow("simple pass at the limit") << 0 << -0.050 << "pass";
        QTest::newRow("simple fail") << 0 << 0.051 << "fail";
        QTest::newRow("guarded pass") << 1 << 0.040 << "pass";
        QTest::newRow("guarded conditional pass") << 1 << -0.045 << "conditional pass";
        QTest::newRow("guarded conditional fail") << 1 << 0.055 << "conditional fail";
        QTest::newRow("guarded fail") << 1 << -0.061 << "fail";
    }

    void decisionRules()
    {
        QFETCH(int, rule);
        QFETCH(double, error);
        QFETCH(QString, decision);
        QCOMPARE(analysis::decisionText(analysis::decide(rule ? procedure::DecisionRule::Guarded : procedure::DecisionRule::Simple,
                                                         error, 0.010, 0.050)),
                 decision);
    }

    // Readouts' answers as they come: the reading after a channel's label, the unit wherever it
    // stands after the number, in the readouts' spellings.
    void referenceReadings_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("unit");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("pattern");
        const int K = int(procedure::Unit::Kelvin);
        const int C = int(procedure::Unit::Celsius);
        const int V = int(procedure::Unit::Volt);
        QTest::newRow("plain") << QByteArray("77.352") << K << 77.352 << QString() << QString();
        QTest::newRow("labelled") << QByteArray("t: 25.587 C") << C << 25.587 << QString() << QString();
        QTest::newRow("logged") << QByteArray("231.928,C,4,2009-03-23 14:33:20") << C << 231.928 << QString() << QString();
        QTest::newRow("exponent") << QByteArray("+1.00012E+00") << V << 1.00012 << QString() << QString();
        QTest::newRow("wrong unit") << QByteArray("t: 25.587 C") << K << 0.0 << "answered in C" << QString();
        QTest::newRow("no number") << QByteArray("ERROR: overrange") << K << 0.0 << "holds no number" << QString();
        QTest::newRow("SCPI's not a number") << QByteArray("9.91E37") << K << 0.0 << "holds no number" << QString();
        QTest::newRow("SCPI's not a number, long and labelled") << QByteArray("t: +9.910000E+37 K") << K << 0.0
                                                                << "holds no number" << QString();
        QTest::newRow("large, but a number") << QByteArray("9.9E37") << K << 9.9e37 << QString() << QString();
        QTest::newRow("degree sign") << QByteArray("25.587 \xc2\xb0" "C") << K << 0.0 << "answered in C (\"25.587" << QString();
        QTest::newRow("degree sign in Latin-1") << QByteArray("25.587 \xb0" "C") << C << 25.587 << QString() << QString();
        QTest::newRow("deg C") << QByteArray("25.587 deg C") << K << 0.0 << "answered in C" << QString();
        QTest::newRow("CEL behind a channel") << QByteArray("CH1: 25.1 CEL") << C << 25.1 << QString() << QString();
        QTest::newRow("CEL for K") << QByteArray("CH1: 25.1 CEL") << K << 0.0 << "answered in C (\"CH1: 25.1 CEL\")" << QString();
        QTest::newRow("channel without a unit") << QByteArray("CH1: 25.1") << K << 25.1 << QString() << QString();
        QTest::newRow("KEL") << QByteArray("+7.7352E+01 KEL") << K << 77.352 << QString() << QString();
        QTest::newRow("unit later on") << QByteArray("77.352, 3, K") << C << 0.0 << "answered in K" << QString();
        QTest::newRow("VOLT") << QByteArray("1.00012 VOLT") << V << 1.00012 << QString() << QString();
        QTest::newRow("millivolts") << QByteArray("1000.12 mV") << V << 1.00012 << QString() << QString();
        QTest::newRow("volts for K") << QByteArray("1.00012V") << K << 0.0 << "answered in V" << QString();
        QTest::newRow("own pattern") << QByteArray("3;77.352;K") << K << 77.352 << QString()
                                     << QStringLiteral("^\\d+;(?<value>[^;]+);(?<unit>\\w+)");
        QTest::newRow("own pattern, other unit") << QByteArray("3;25.1;C") << K << 0.0 << "answered in C"
                                                 << QStringLiteral("^\\d+;(?<value>[^;]+);(?<unit>\\w+)");
        QTest::newRow("own pattern, no match") << QByteArray("READY") << K << 0.0 << "holds no number" << QStringLiteral("^T=(\\S+)");
    }

    void referenceReadings()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, unit);
        QFETCH(double, value);
        QFETCH(QString, error);
        QFETCH(QString, pattern);
        procedure::Error problem;
        const std::optional<double> reading = scpiclient::reading(reply, procedure::Unit(unit), &problem, pattern);
        if (error.isEmpty()) {
            QVERIFY2(reading, qPrintable(problem.message));
            QVERIFY2(std::fabs(*reading - value) < 1e-12, qPrintable(QString::number(*reading, 'g', 17)));
        } else {
            QVERIFY(!reading);
            QVERIFY2(problem.message.contains(error), qPrintable(problem.message));
            QCOMPARE(int(problem.code), int(procedure::Error::Code::Device));
            // An answer in another unit than the procedure's names its member.
            QCOMPARE(problem.member, error.contains(QLatin1String("answered in")) ? QStringLiteral("reference.unit") : QString());
        }
    }

    void setCommandsTakeTheUnit()
    {
        QCOMPARE(scpiclient::setCommand(QStringLiteral("SOUR:SPO {C}"), 300.0), QByteArray("SOUR:SPO 26.85"));
        QCOMPARE(scpiclient::setCommand(QStringLiteral("SETP {K};*OPC"), 77.35), QByteArray("SETP 77.35;*OPC"));
        QCOMPARE(scpiclient::setCommand(QStringLiteral("SOUR:VOLT {V}"), 1.25), QByteArray("SOUR:VOLT 1.25"));
    }

    // A record verifies; one changed reading shows as the first result it changes, and a
    // change that recomputes consistently still breaks the hash.
    void recordVerifies()
    {
        const QJsonObject object = record::toJson(syntheticRecord(true));
        const record::Verified clean = record::verify(object);
        QVERIFY2(clean.ok, qPrintable(clean.difference));
        QCOMPARE(object.value(QStringLiteral("sha256")).toString(), record::sha256(object));
        QCOMPARE(object.value(QStringLiteral("state")).toString(), QStringLiteral("complete"));
        QVERIFY(object.contains(QStringLiteral("proposed_set")));
        // The canonical form: no whitespace, keys in order.
        const QByteArray canonical = record::canonical(object);
        QVERIFY(!canonical.contains("\n") && !canonical.contains(": "));
        QVERIFY(canonical.indexOf("\"allow_expired_reference\"") < canonical.indexOf("\"as_found_set\""));
        QVERIFY(!canonical.contains("\"sha256\":\"" + object.value(QStringLiteral("sha256")).toString().toLatin1()));

        // One reference reading of the second point, one millikelvin higher.
        QJsonObject tampered = object;
        QJsonArray points = tampered.value(QStringLiteral("points")).toArray();
        QJsonObject point = points.at(1).toObject();
        QJsonArray samples = point.value(QStringLiteral("samples")).toArray();
        QJsonArray sample = samples.at(14).toArray();
        sample[1] = sample.at(1).toDouble() + 0.001;
        samples[14] = sample;
        point.insert(QStringLiteral("samples"), samples);
        points[1] = point;
        tampered.insert(QStringLiteral("points"), points);
        const record::Verified changedSample = record::verify(tampered);
        QVERIFY(!changedSample.ok);
        QVERIFY2(changedSample.difference.startsWith(QStringLiteral("fit.")) || changedSample.difference.startsWith(QStringLiteral("points[")),
                 qPrintable(changedSample.difference));
        QVERIFY2(changedSample.difference.contains(QStringLiteral("recorded")), qPrintable(changedSample.difference));

        // The same change with every result computed anew: only the hash tells.
        procedure::Error error;
        const std::optional<record::Record> reread = record::fromJson(tampered, &error);
        QVERIFY2(reread, qPrintable(error.message));
        QJsonObject recomputed = record::toJson(*reread);
        recomputed.insert(QStringLiteral("sha256"), object.value(QStringLiteral("sha256")));
        const record::Verified rehashed = record::verify(recomputed);
        QVERIFY(!rehashed.ok);
        QVERIFY2(rehashed.difference.startsWith(QStringLiteral("sha256: recorded ")), qPrintable(rehashed.difference));

        // Members nothing is computed from: a reading's time of day, an operator's reason. The
        // hash covers every point and reading, so only it tells, but it does.
        const auto pointChanged = [&object](const std::function<void(QJsonObject &)> &change) {
            QJsonObject changedObject = object;
            QJsonArray allPoints = changedObject.value(QStringLiteral("points")).toArray();
            QJsonObject first = allPoints.at(0).toObject();
            change(first);
            allPoints[0] = first;
            changedObject.insert(QStringLiteral("points"), allPoints);
            return changedObject;
        };
        const QJsonObject laterTime = pointChanged([](QJsonObject &p) {
            QJsonArray s = p.value(QStringLiteral("samples")).toArray();
            QJsonArray one = s.at(3).toArray();
            one[0] = one.at(0).toDouble() + 1000;
            s[3] = one;
            p.insert(QStringLiteral("samples"), s);
        });
        const QJsonObject reasonGiven = pointChanged([](QJsonObject &p) { p.insert(QStringLiteral("capture_reason"), QStringLiteral("late")); });
        for (const QJsonObject &changedRecord : {laterTime, reasonGiven}) {
            const record::Verified unhashed = record::verify(changedRecord);
            QVERIFY(!unhashed.ok);
            QVERIFY2(unhashed.difference.startsWith(QStringLiteral("sha256: recorded ")), qPrintable(unhashed.difference));
        }

        // A record of the first format, whose captures were judged by other rules, is refused
        // with that reason rather than by a difference.
        QJsonObject older = object;
        older.insert(QStringLiteral("format"), QStringLiteral("thermocal calibration record 1"));
        const record::Verified refused = record::verify(older);
        QVERIFY(!refused.ok);
        QVERIFY2(refused.difference.contains(QStringLiteral("a record of an earlier thermocal")), qPrintable(refused.difference));

        // A sample's time that no clock gave is refused by name, not converted.
        for (const double ms : {1e300, -1e19, 9007199254740994.0, 1500.5}) {
            sample[0] = ms;
            samples[14] = sample;
            point.insert(QStringLiteral("samples"), samples);
            points[1] = point;
            tampered.insert(QStringLiteral("points"), points);
            QVERIFY(!record::fromJson(tampered, &error));
            QCOMPARE(error.message, QStringLiteral("points[1].samples[14] has no time in whole milliseconds"));
            QCOMPARE(error.member, QStringLiteral("points[1].samples[14]"));
            QVERIFY(!record::verify(tampered).ok);
        }
    }

    // A record whose numbers all agree still fails when a capture broke the rules: before the
    // judge said stable or with fewer readings than the procedure takes (unless the operator
    // gave a reason), or over a frozen reference (whatever the reason).
    void captureRules_data()
    {
        QTest::addColumn<int>("capturedFrom");
        QTest::addColumn<int>("dropped");
        QTest::addColumn<bool>("frozen");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("problem");
        QTest::newRow("as the run took it") << 12 << 0 << false << QString() << QString();
        QTest::newRow("before stable") << 4 << 0 << false << QString() << "points[0] (50 K, as found): it was captured before it was judged stable";
        QTest::newRow("before stable, with a reason") << 4 << 0 << false << "bath drifting, customer's deadline" << QString();
        QTest::newRow("too few readings") << 12 << 2 << false << QString() << "it holds 4 captured readings where the procedure takes 6";
        QTest::newRow("too few readings, with a reason") << 12 << 2 << false << "reference lost" << QString();
        QTest::newRow("frozen reference") << 12 << 0 << true << QString() << "repeats one value for 5 s";
        QTest::newRow("frozen reference, with a reason") << 12 << 0 << true << "in a hurry" << "repeats one value for 5 s";
    }

    void captureRules()
    {
        QFETCH(int, capturedFrom);
        QFETCH(int, dropped);
        QFETCH(bool, frozen);
        QFETCH(QString, reason);
        QFETCH(QString, problem);
        record::Record rec = syntheticRecord(false);
        QJsonObject stability = rec.procedure.value(QStringLiteral("stability")).toObject();
        stability.insert(QStringLiteral("stale"), 5);
        rec.procedure.insert(QStringLiteral("stability"), stability);
        analysis::RawPoint &point = rec.points.first();
        point.capturedFrom = capturedFrom;
        point.captureReason = reason;
        point.samples.resize(point.samples.size() - dropped);
        if (frozen) {
            for (int i = point.capturedFrom; i < point.samples.size(); ++i)
                point.samples[i].reference = point.samples.at(point.capturedFrom).reference;
        }
        const record::Verified verified = record::verify(record::toJson(rec));
        QCOMPARE(verified.ok, problem.isEmpty());
        QVERIFY2(verified.difference.contains(problem), qPrintable(verified.difference));
    }

    // After the write the as-left points read the sensor through the new table: within a few
    // mK, where the as-found errors were up to a few kelvin.
    void analysisOfAWrittenRun()
    {
        const record::Record rec = syntheticRecord(true);
        const procedure::Procedure p = *procedure::parse(rec.procedure).procedure;
        const analysis::Analysis analysed = analysis::analyse(p, rec.asFound, rec.points);
        QVERIFY(analysed.fitted);
        QCOMPARE(analysed.points.size(), 10);
        for (const analysis::PointResult &point : analysed.points) {
            if (point.phase == analysis::Phase::AsFound) {
                QVERIFY2(std::fabs(point.error) > 0.5, qPrintable(QString::number(point.error)));
                QCOMPARE(point.budget.terms.size(), 5);
            } else {
                QVERIFY2(std::fabs(point.error) < 0.005, qPrintable(QString::number(point.error)));
                // Beyond the range the polynomial runs on to the next row before it is held.
                QVERIFY(analysed.sensor.holdHigh > analysed.sensor.high);
                QVERIFY(analysed.sensor.departureMk > 0.0);
                QCOMPARE(point.budget.terms.last().name, QStringLiteral("table interpolation"));
                QCOMPARE(point.decision, analysis::Decision::Pass);
            }
        }
    }

    void certificateText_data()
    {
        QTest::addColumn<bool>("written");
        QTest::addColumn<bool>("adc");
        QTest::addColumn<QString>("unit"); // of the results as found
        QTest::newRow("proposed") << false << false << "mK";
        QTest::newRow("written") << true << false << "mK";
        // U about 21 µV: "0.02" in mV would show one digit of it.
        QTest::newRow("adc, proposed") << false << true << QStringLiteral("\u00b5V");
    }

    void certificateText()
    {
        QFETCH(bool, written);
        QFETCH(bool, adc);
        QFETCH(QString, unit);
        QTemporaryDir dir;
        record::Record rec = adc ? adcRecord() : syntheticRecord(written);
        rec.allowExpiredReference = !written;
        rec.expiredReferenceReason = !written ? QStringLiteral("recalibration booked for next week") : QString();
        rec.expiredReferenceAllowedBy = QStringLiteral("r.kelvin");
        // An operator's capture before the judge said stable: a deviation with its reason.
        rec.points[1].capturedFrom = 4;
        rec.points[1].captureReason = QStringLiteral("bath steady by eye");
        const QString pdf = dir.filePath(QStringLiteral("certificate.pdf"));
        const QString error = certificate::writePdf(pdf, rec);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QProcess text;
        text.start(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
        if (!text.waitForStarted(10000))
            QSKIP("pdftotext (poppler-utils) is not installed; scripts/bootstrap installs it");
        QVERIFY(text.waitForFinished(30000));
        // Compatibility normalisation undoes the typesetter's ligatures ("fi").
        const QString all = QString::fromUtf8(text.readAllStandardOutput()).normalized(QString::NormalizationForm_KC);
        const QStringList pages = all.split(QLatin1Char('\f'), Qt::SkipEmptyParts);
        const int total = pages.size() - (pages.last().trimmed().isEmpty() ? 1 : 0);
        QVERIFY(total >= 2);
        for (int page = 0; page < total; ++page) {
            QVERIFY2(pages.at(page).contains(QStringLiteral("Certificate CAL-2026-042 - page %1 of %2").arg(page + 1).arg(total)),
                     qPrintable(pages.at(page)));
            QVERIFY(pages.at(page).contains(QStringLiteral("Calibration certificate CAL-2026-042")));
        }
        const QString flat = all.simplified();
        for (const QString &item : {QStringLiteral("Cryo Calibration Lab"), QStringLiteral("7 Dewar Lane, Coldtown"),
                                    QStringLiteral("Low Temperature Group"), QStringLiteral("diode thermometer DT-9"),
                                    QStringLiteral("TC-000123"), QStringLiteral("TP-12 rev 3"), QStringLiteral("R. Kelvin"),
                                    QStringLiteral("22.5 C, 41 % RH"), QStringLiteral("2026-12-08T10:00:00.000Z"),
                                    QStringLiteral("Readout Inc,RX-1 %1,REF-17,2.0"), QStringLiteral("certificate REF-17"),
                                    QStringLiteral("due for recalibration on 2031-05-01"), QStringLiteral("Guarded acceptance"),
                                    QStringLiteral("Results as found"), QStringLiteral("Uncertainty budgets"),
                                    QStringLiteral("Satterthwaite"), QStringLiteral("repeatability"),
                                    record::toJson(rec).value(QStringLiteral("sha256")).toString(),
                                    QStringLiteral("relate only to the item calibrated"), QStringLiteral("- End of certificate -")}) {
            QVERIFY2(flat.contains(item), qPrintable(item));
        }
        QCOMPARE(flat.contains(QStringLiteral("Results as left")), written);
        QCOMPARE(flat.contains(QStringLiteral("Proposed adjustment (not made)")), !written);
        QVERIFY(flat.contains(QStringLiteral("Readout Inc RX-1, serial number RX1-0042")));
        QVERIFY(flat.contains(QStringLiteral("calibrated by National Metrology Institute under certificate REF-17")));
        QVERIFY(flat.contains(QStringLiteral("Deviations from the method")));
        QVERIFY(flat.contains(QStringLiteral("the deviations below say so")));
        // The table's cells wrap, so their words are looked for piece by piece.
        const QString deviations = flat.mid(flat.indexOf(QStringLiteral("Deviations from the method")));
        for (const QString &piece : {QStringLiteral("as found: captured"), QStringLiteral("on the operator's word, before it was judged stable"),
                                     QStringLiteral("bath steady by eye")})
            QVERIFY2(deviations.contains(piece), qPrintable(deviations.left(900)));
        QVERIFY(flat.contains(QStringLiteral("bath steady by eye")));
        QCOMPARE(flat.contains(QStringLiteral("recalibration booked for next week")), !written);
        QCOMPARE(flat.contains(QStringLiteral("as r.kelvin allowed")), !written);
        QVERIFY(pages.at(total - 1).contains(QStringLiteral("End of certificate")));
        // What the table does beyond the calibrated range, as the fit made it: followed out to
        // the next row, then held; and a degree-4 fit through 5 points leaves nothing to say
        // how well it follows the sensor between them.
        if (adc) {
            // A line through more than two points: U holds between them too.
            QVERIFY(flat.contains(QStringLiteral("Between the points: over the calibrated range")));
        } else {
            QVERIFY(flat.contains(QStringLiteral("Beyond it the voltage correction follows the fitted polynomial out to the next table row")));
            QVERIFY(flat.contains(QStringLiteral("Readings below the range change by up to")));
            QVERIFY(flat.contains(QStringLiteral("Between the points the uncertainty is not established")));
        }

        // The results as found: U with two significant digits in the table's unit, each error
        // at the decimal place of its U's last digit. The text is normalised, so µ is too.
        const QString stated = unit.normalized(QString::NormalizationForm_KC);
        const int from = all.indexOf(QStringLiteral("Results as found"));
        const int to = all.indexOf(written ? QStringLiteral("Adjustment made") : QStringLiteral("Proposed adjustment"), from);
        QVERIFY(from >= 0 && to > from);
        const QString found = all.mid(from, to - from);
        for (const QString &heading : {QStringLiteral("Error (%1)"), QStringLiteral("U (%1)"), QStringLiteral("Tolerance (%1)")})
            QVERIFY2(found.contains(heading.arg(stated)), qPrintable(found));
        const double perUnit = adc ? 1e6 : 1e3;
        const procedure::Procedure p = *procedure::parse(rec.procedure).procedure;
        int rows = 0;
        for (const analysis::PointResult &point : analysis::analyse(p, rec.asFound, rec.points).points) {
            if (point.phase != analysis::Phase::AsFound)
                continue;
            const QRegularExpression row(QStringLiteral("(?:^|\\n)\\s*%1\\s+\\S+\\s+\\S+\\s+(\\S+)\\s+(\\S+)\\s+\\d+\\.\\d\\d\\s+\\S+\\s+(?:pass|fail|conditional)")
                                             .arg(QRegularExpression::escape(QString::number(point.nominal))));
            const QRegularExpressionMatch match = row.match(found);
            QVERIFY2(match.hasMatch(), qPrintable(QStringLiteral("%1 in\n%2").arg(point.nominal).arg(found)));
            const QString error = match.captured(1);
            const QString u = match.captured(2);
            const int decimals = u.contains(QLatin1Char('.')) ? int(u.size() - u.indexOf(QLatin1Char('.')) - 1) : 0;
            const double digits = u.toDouble() * std::pow(10.0, decimals);
            QVERIFY2(digits >= 10 && digits <= 99, qPrintable(u));
            QVERIFY2(std::fabs(u.toDouble() - point.budget.expanded * perUnit) < 1e-9 * perUnit, qPrintable(u));
            const int errorDecimals = error.contains(QLatin1Char('.')) ? int(error.size() - error.indexOf(QLatin1Char('.')) - 1) : 0;
            QCOMPARE(errorDecimals, decimals);
            QVERIFY2(std::fabs(error.toDouble() - point.error * perUnit) <= 0.5 * std::pow(10.0, -decimals) * (1 + 1e-9),
                     qPrintable(QStringLiteral("%1 against %2").arg(error).arg(point.error * perUnit)));
            ++rows;
        }
        QCOMPARE(rows, int(p.points.size()));
    }
    // The certificate's document holds the record's own numbers, at full precision, and the
    // renderer reads nothing else: two pages drawn from one document are the same picture.
    void documentHoldsTheRecord_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"as found", "as left", "adc", "deviations", "expired reference", "software without a version"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void documentHoldsTheRecord()
    {
        QFETCH(QString, name);
        const record::Record rec = namedRecord(name);
        const certificate::Built built = certificate::build(rec, QDate(2026, 12, 9));
        QVERIFY2(built.document, qPrintable(built.error.message));
        const certificate::Document &d = *built.document;
        const QJsonObject json = record::toJson(rec);
        QCOMPARE(d.record, json);
        QCOMPARE(d.hash, json.value(QStringLiteral("sha256")).toString());
        QCOMPARE(d.deviations.size(), record::deviations(rec).size());
        QCOMPARE(d.written, rec.asLeft.has_value());
        // Each row against the record's JSON, number for number and exactly (QCOMPARE would
        // allow a difference in the last digits): nothing rounded on the way.
        const QJsonArray points = json.value(QStringLiteral("points")).toArray();
        int found = 0;
        int left = 0;
        for (const QJsonValue &value : points) {
            const QJsonObject point = value.toObject();
            const QJsonObject statistics = point.value(QStringLiteral("statistics")).toObject();
            const QJsonObject result = point.value(QStringLiteral("result")).toObject();
            const bool asFound = point.value(QStringLiteral("phase")).toString() == QLatin1String("as found");
            const certificate::StatedRow &row = asFound ? d.found.rows.at(found) : d.left.rows.at(left);
            QVERIFY(row.nominal == point.value(QStringLiteral("nominal")).toDouble());
            QVERIFY(row.reference == statistics.value(QStringLiteral("reference")).toDouble());
            QVERIFY(row.instrument == statistics.value(QStringLiteral("instrument")).toDouble());
            QVERIFY(row.error == result.value(QStringLiteral("error")).toDouble());
            QVERIFY(row.expanded == result.value(QStringLiteral("expanded_uncertainty")).toDouble());
            QVERIFY(row.k == result.value(QStringLiteral("k")).toDouble());
            QCOMPARE(analysis::decisionText(row.decision), result.value(QStringLiteral("decision")).toString());
            if (asFound && !d.written) {
                const certificate::StatedRow &predicted = d.predicted.rows.at(found);
                QVERIFY(predicted.error == result.value(QStringLiteral("predicted_error")).toDouble());
                QVERIFY(predicted.instrument == row.reference + predicted.error);
                QVERIFY(predicted.error == d.changes.rows.at(found).errorPredicted);
            }
            (asFound ? found : left)++;
        }
        QCOMPARE(found, d.found.rows.size());
        QCOMPARE(left, d.left.rows.size());
        QCOMPARE(d.predicted.rows.isEmpty(), d.written);
        QVERIFY(d.predicted.predicted || d.written);

        const QImage once = certificate::firstPage(d, 400);
        QVERIFY(!once.isNull());
        QCOMPARE(certificate::firstPage(d, 400), once);
    }

    // The DCC of each kind of record: valid against the shared schema, every number as the
    // record holds it, a conformity per point, and the record itself inside.
    void dccOfARecord_data() { documentHoldsTheRecord_data(); }

    void dccOfARecord()
    {
        QFETCH(QString, name);
        const record::Record rec = namedRecord(name);
        const certificate::Built built = certificate::build(rec);
        QVERIFY2(built.document, qPrintable(built.error.message));
        const certificate::Document &d = *built.document;
        const dcc::Written written = dcc::write(d);
        QVERIFY2(!written.error.failed(), qPrintable(written.error.message));
        const QString problem = dccschema::problem(written.xml);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));

        const DccRead read = readDcc(written.xml);
        const QString unit = d.procedure.kind == procedure::Kind::Adc ? QStringLiteral("\\volt") : QStringLiteral("\\kelvin");
        // Per phase: nominal, reference, instrument, error; without a write the predicted errors
        // follow the found ones.
        QVector<const certificate::ResultTable *> tables{&d.found};
        tables << (d.written ? &d.left : &d.predicted);
        int at = 0;
        for (const certificate::ResultTable *table : tables) {
            QVector<double> nominal, reference, instrument, error, expanded, k;
            for (const certificate::StatedRow &row : table->rows) {
                nominal << row.nominal;
                reference << row.reference;
                instrument << row.instrument;
                error << row.error;
                expanded << row.expanded;
                k << row.k;
            }
            QVERIFY(at + 4 <= read.quantities.size());
            const QVector<QVector<double>> lists{nominal, reference, instrument, error};
            for (int i = 0; i < 4; ++i) {
                const DccQuantity &quantity = read.quantities.at(at + i);
                QCOMPARE(quantity.unit, unit);
                for (int row = 0; row < lists.at(i).size(); ++row) {
                    const double want = lists.at(i).at(row);
                    QVERIFY2(quantity.values.value(row) == want || (std::isnan(want) && std::isnan(quantity.values.value(row))),
                             qPrintable(QStringLiteral("%1 row %2").arg(quantity.name).arg(row)));
                }
                QCOMPARE(quantity.values.size(), lists.at(i).size());
            }
            const DccQuantity &errors = read.quantities.at(at + 3);
            QCOMPARE(errors.expanded, expanded);
            QCOMPARE(errors.k, k);
            QCOMPARE(errors.probability, QStringLiteral("0.9545"));
            at += 4;
        }
        QVERIFY(!read.conformities.isEmpty());
        QCOMPARE(read.conformities.first().split(QLatin1Char(' ')).size(), d.found.rows.size());
        for (int row = 0; row < d.found.rows.size(); ++row) {
            const QString said = read.conformities.first().split(QLatin1Char(' ')).at(row);
            const QString decided = analysis::decisionText(d.found.rows.at(row).decision).remove(QLatin1Char(' '));
            QVERIFY2(said.compare(decided, Qt::CaseInsensitive) == 0, qPrintable(said + QLatin1String(" ") + decided));
        }
        QCOMPARE(read.conformities.size(), d.written ? 2 : 1);

        // The record inside verifies on its own.
        QCOMPARE(read.record, dcc::recordBytes(d));
        procedure::Error embeddedError;
        QCOMPARE(dcc::embeddedRecord(written.xml, &embeddedError).value_or(QByteArray()), dcc::recordBytes(d));
        // (The synthetic ADC points are captured before the judge could call them stable, which
        // verify refuses without a reason; the bytes above are still the record.)
        const record::Verified verified = record::verify(QJsonDocument::fromJson(read.record).object());
        QVERIFY2(verified.ok || name == QLatin1String("adc"), qPrintable(verified.difference));
        for (const QString &text : {QStringLiteral("CAL-2026-042"), QStringLiteral("Cryo Calibration Lab"), QStringLiteral("TC-000123"),
                                    QStringLiteral("REF-17"), QStringLiteral("2031-05-01"), QStringLiteral("22.5 C, 41 % RH"),
                                    QStringLiteral("R. Kelvin"), QStringLiteral("TP-12 rev 3"), QStringLiteral("/dev/ttyACM0"),
                                    d.sentences.rule, d.hash})
            QVERIFY2(read.text.contains(text), qPrintable(text));
        QCOMPARE(read.text.contains(QStringLiteral("Deviation from the method")), !d.deviations.isEmpty());
        QCOMPARE(read.text.contains(QStringLiteral("bath steady by eye")), name == QLatin1String("deviations"));
        QCOMPARE(read.text.contains(QStringLiteral("recalibration booked for next week")), name == QLatin1String("expired reference"));
        QCOMPARE(read.text.contains(QStringLiteral("allowed the reference's use past its due date")), name == QLatin1String("expired reference"));
    }

    // What a DCC needs that a run does not: named when asked for, refused when malformed.
    void dccNeedsTheLabsPlace_data()
    {
        QTest::addColumn<QString>("member");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("parses");
        QTest::newRow("no country") << "certificate.country" << QJsonValue(QJsonValue::Undefined) << true;
        QTest::newRow("no city") << "certificate.city" << QJsonValue(QJsonValue::Undefined) << true;
        QTest::newRow("no language") << "certificate.language" << QJsonValue(QJsonValue::Undefined) << true;
        QTest::newRow("country in small letters") << "certificate.country" << QJsonValue(QStringLiteral("de")) << false;
        QTest::newRow("a country's name") << "certificate.country" << QJsonValue(QStringLiteral("Germany")) << false;
        QTest::newRow("language in capitals") << "certificate.language" << QJsonValue(QStringLiteral("EN")) << false;
        QTest::newRow("a short hash") << "reference.certificate.sha256" << QJsonValue(QStringLiteral("abc")) << false;
    }

    void dccNeedsTheLabsPlace()
    {
        QFETCH(QString, member);
        QFETCH(QJsonValue, value);
        QFETCH(bool, parses);
        const procedure::Parsed parsed = procedure::parse(changed(member, value));
        QCOMPARE(bool(parsed.procedure), parses);
        if (!parses) {
            QCOMPARE(parsed.error.member, member);
            return;
        }
        QVERIFY2(dcc::missing(*parsed.procedure).message.contains(QStringLiteral("\"%1\"").arg(member)),
                 qPrintable(dcc::missing(*parsed.procedure).message));
        QCOMPARE(dcc::missing(*parsed.procedure).member, member);
        record::Record rec = syntheticRecord(false);
        rec.procedure = changed(member, value);
        const certificate::Built built = certificate::build(rec);
        QVERIFY(built.document);
        QCOMPARE(dcc::write(*built.document).error.member, member);
        QVERIFY(!dcc::missing(*procedure::parse(goodProcedure()).procedure).failed());
    }

    // A DCC belongs to its record only: a changed digit, another run's DCC are refused; the date
    // of issue and a signature added later are not the record's.
    void dccBelongsToItsRecord_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("belongs");
        QTest::newRow("its own") << "" << true;
        QTest::newRow("issued another day, signed") << "issued" << true;
        QTest::newRow("another run's") << "other" << false;
        QTest::newRow("one digit of an error") << "digit" << false;
        QTest::newRow("a result removed") << "removed" << false;
        QTest::newRow("not XML") << "garbage" << false;
    }

    void dccBelongsToItsRecord()
    {
        QFETCH(QString, change);
        QFETCH(bool, belongs);
        const certificate::Document d = *certificate::build(syntheticRecord(false), QDate(2026, 12, 9)).document;
        QByteArray xml = dcc::write(d).xml;
        if (change == QLatin1String("issued")) {
            xml.replace("<dcc:issueDate>2026-12-09</dcc:issueDate>", "<dcc:issueDate>2027-01-02</dcc:issueDate>");
            xml.replace("</dcc:document>", "</dcc:document><ds:Signature xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\">"
                                            "<ds:SignatureValue>AAAA</ds:SignatureValue></ds:Signature>");
        } else if (change == QLatin1String("other")) {
            xml = dcc::write(*certificate::build(syntheticRecord(true), QDate(2026, 12, 9)).document).xml;
        } else if (change == QLatin1String("digit")) {
            const int list = xml.indexOf("<si:valueXMLList>", xml.indexOf("<si:valueXMLList>") + 1) + int(qstrlen("<si:valueXMLList>"));
            const int digit = xml.indexOf('5', list);
            QVERIFY(digit >= list);
            xml[digit] = '6';
        } else if (change == QLatin1String("removed")) {
            const int from = xml.lastIndexOf("<dcc:result>");
            xml.remove(from, xml.indexOf("</dcc:result>", from) + int(qstrlen("</dcc:result>")) - from);
        } else if (change == QLatin1String("garbage")) {
            xml = "<dcc:digitalCalibrationCertificate";
        }
        const QString difference = dcc::belongsTo(xml, d);
        QVERIFY2(difference.isEmpty() == belongs, qPrintable(difference));
    }

    // The PDF holds the DCC, and pdfdetach gets it back byte for byte.
    void pdfHoldsTheDcc()
    {
        QTemporaryDir dir;
        const certificate::Document d = *certificate::build(syntheticRecord(true)).document;
        const QByteArray xml = dcc::write(d).xml;
        const QString pdf = dir.filePath(QStringLiteral("certificate.pdf"));
        QCOMPARE(certificate::writePdf(pdf, d, xml), QString());
        QProcess detach;
        detach.start(QStringLiteral("pdfdetach"), {QStringLiteral("-saveall"), QStringLiteral("-o"), dir.path(), pdf});
        QVERIFY2(detach.waitForStarted(10000), "pdfdetach (poppler-utils) is not installed; scripts/bootstrap installs it");
        QVERIFY(detach.waitForFinished(30000));
        QCOMPARE(detach.exitCode(), 0);
        QFile attached(dir.filePath(dcc::fileName(d)));
        QVERIFY2(attached.open(QIODevice::ReadOnly), qPrintable(attached.fileName()));
        QCOMPARE(attached.readAll(), xml);
    }
};


QTEST_MAIN(TestProcedure)
#include "tst_procedure.moc"
