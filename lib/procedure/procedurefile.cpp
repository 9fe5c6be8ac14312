#include "procedurefile.h"

#include "boundedread.h"
#include "names.h"
#include "scpiclient.h"

#include <QCoreApplication>
#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSet>

#include <cmath>
#include <functional>

namespace procedure {

namespace {

// A procedure file is a few kilobytes.
constexpr qint64 MaxFileBytes = 1024 * 1024;
constexpr double ZeroCelsiusInKelvin = 273.15;
// Within this many points a run stays something a person can follow; each point is minutes.
constexpr int MostPoints = 100;
constexpr int LargestDegree = 8;
// The longest wait a procedure may ask for (a settle, a window, a timeout): a week.
constexpr double MostSeconds = 7 * 24 * 3600.0;
// The default bounds: a bath is within a few kelvin of its set point, a sensor within a few
// kelvin of its curve, a calibrator within microvolts, a converter within millivolts.
constexpr double DefaultReadingBoundKelvin = 10.0;
constexpr double DefaultAdjustmentBoundKelvin = 10.0;
constexpr double DefaultReadingBoundVolts = 0.1;
constexpr double DefaultAdjustmentBoundVolts = 0.05;
// A value repeated over fewer readings is a steady readout's last digit, not a frozen one.
constexpr int MinimumStaleIntervals = 3;

QString message(const char *text)
{
    return QCoreApplication::translate("procedure", text);
}

// Each enum's names in a procedure file, read and written by these tables alone.
const names::Table<Kind> &kindNames()
{
    static const names::Table<Kind> table{{QStringLiteral("sensor"), Kind::Sensor}, {QStringLiteral("adc"), Kind::Adc}};
    return table;
}

const names::Table<Unit> &unitNames()
{
    static const names::Table<Unit> table{{QStringLiteral("K"), Unit::Kelvin}, {QStringLiteral("C"), Unit::Celsius}, {QStringLiteral("V"), Unit::Volt}};
    return table;
}

const names::Table<DecisionRule> &ruleNames()
{
    static const names::Table<DecisionRule> table{{QStringLiteral("simple"), DecisionRule::Simple}, {QStringLiteral("guarded"), DecisionRule::Guarded}};
    return table;
}

const names::Table<Distribution> &distributionNames()
{
    static const names::Table<Distribution> table{{QStringLiteral("normal"), Distribution::Normal},
                                                  {QStringLiteral("rectangular"), Distribution::Rectangular},
                                                  {QStringLiteral("u-shaped"), Distribution::UShaped}};
    return table;
}

// Reads one object's members with the checks every member shares; the first problem wins.
class Reader
{
public:
    Reader(const QJsonObject &object, const QString &path, Error *error)
        : m_object(object), m_path(path), m_error(error)
    {
    }

    // Refuses members that are not among `known`.
    void allow(const QStringList &known)
    {
        for (const QString &key : m_object.keys()) {
            if (!known.contains(key))
                fail(name(key), message(QT_TRANSLATE_NOOP("procedure", "unknown member \"%1\"")).arg(name(key)));
        }
    }
    bool has(const QString &key) const { return m_object.contains(key); }
    QString name(const QString &key) const { return m_path.isEmpty() ? key : m_path + QLatin1Char('.') + key; }

    // The first problem is kept, with the member it concerns.
    void fail(const QString &member, const QString &text)
    {
        if (!m_error->failed())
            *m_error = Error::invalid(member, text);
    }

    QString text(const QString &key, bool required, const QString &fallback = QString())
    {
        if (!has(key)) {
            if (required)
                fail(name(key), message(QT_TRANSLATE_NOOP("procedure", "the member \"%1\" is missing")).arg(name(key)));
            return fallback;
        }
        if (!m_object.value(key).isString()) {
            fail(name(key), message(QT_TRANSLATE_NOOP("procedure", "\"%1\" must be a text")).arg(name(key)));
            return fallback;
        }
        return m_object.value(key).toString();
    }

    // A finite number, above 0 when `positive` (or at least 0 otherwise).
    double number(const QString &key, bool required, double fallback, bool positive)
    {
        if (!has(key)) {
            if (required)
                fail(name(key), message(QT_TRANSLATE_NOOP("procedure", "the member \"%1\" is missing")).arg(name(key)));
            return fallback;
        }
        const QJsonValue value = m_object.value(key);
        const double number = value.toDouble();
        if (!value.isDouble() || !std::isfinite(number) || (positive ? !(number > 0.0) : number < 0.0)) {
            fail(name(key), (positive ? message(QT_TRANSLATE_NOOP("procedure", "\"%1\" must be a number above 0"))
                           : message(QT_TRANSLATE_NOOP("procedure", "\"%1\" must be a number, 0 or more")))
                     .arg(name(key)));
            return fallback;
        }
        return number;
    }

    bool boolean(const QString &key, bool fallback)
    {
        if (!has(key))
            return fallback;
        if (!m_object.value(key).isBool()) {
            fail(name(key), message(QT_TRANSLATE_NOOP("procedure", "\"%1\" must be true or false")).arg(name(key)));
            return fallback;
        }
        return m_object.value(key).toBool();
    }

    QJsonObject object(const QString &key, bool required)
    {
        if (!has(key)) {
            if (required)
                fail(name(key), message(QT_TRANSLATE_NOOP("procedure", "the member \"%1\" is missing")).arg(name(key)));
            return {};
        }
        if (!m_object.value(key).isObject()) {
            fail(name(key), message(QT_TRANSLATE_NOOP("procedure", "\"%1\" must be an object")).arg(name(key)));
            return {};
        }
        return m_object.value(key).toObject();
    }

    QJsonArray array(const QString &key)
    {
        if (has(key) && !m_object.value(key).isArray())
            fail(name(key), message(QT_TRANSLATE_NOOP("procedure", "\"%1\" must be an array")).arg(name(key)));
        return m_object.value(key).toArray();
    }

    // One of `choices`, by its name.
    template<typename T>
    T choice(const QString &key, const names::Table<T> &choices, bool required, T fallback)
    {
        const QString given = text(key, required);
        if (given.isEmpty() && !has(key))
            return fallback;
        if (const std::optional<T> chosen = names::named(choices, given))
            return *chosen;
        if (m_object.value(key).isString())
            fail(name(key), message(QT_TRANSLATE_NOOP("procedure", "\"%1\" must be %2, not \"%3\""))
                                .arg(name(key), names::quoted(choices).join(QLatin1String(" or ")), given));
        return fallback;
    }

private:
    QJsonObject m_object;
    QString m_path;
    Error *m_error;
};

QVector<double> numbers(Reader &reader, const QString &key)
{
    QVector<double> values;
    const QJsonArray array = reader.array(key);
    for (int index = 0; index < array.size(); ++index) {
        const double value = array.at(index).toDouble();
        if (!array.at(index).isDouble() || !std::isfinite(value)) {
            reader.fail(reader.name(key), message(QT_TRANSLATE_NOOP("procedure", "\"%1\": element %2 is not a number")).arg(reader.name(key)).arg(index + 1));
            return {};
        }
        values.append(value);
    }
    return values;
}

} // namespace

Parsed parse(const QJsonObject &object)
{
    Error error;
    Procedure p;
    p.json = object;
    Reader top(object, QString(), &error);
    top.allow({QStringLiteral("kind"), QStringLiteral("points"), QStringLiteral("as_left_points"), QStringLiteral("reference"),
               QStringLiteral("source"), QStringLiteral("stability"), QStringLiteral("tolerance"), QStringLiteral("decision_rule"),
               QStringLiteral("uncertainty"), QStringLiteral("certificate"), QStringLiteral("fit"), QStringLiteral("bounds"),
               QStringLiteral("curve"), QStringLiteral("table")});
    p.kind = top.choice<Kind>(QStringLiteral("kind"), kindNames(), true, Kind::Sensor);
    if (!top.has(QStringLiteral("points")))
        top.fail(QStringLiteral("points"), message(QT_TRANSLATE_NOOP("procedure", "the member \"points\" is missing")));
    p.points = numbers(top, QStringLiteral("points"));
    p.asLeftPoints = top.has(QStringLiteral("as_left_points")) ? numbers(top, QStringLiteral("as_left_points")) : p.points;

    Reader reference(top.object(QStringLiteral("reference"), true), QStringLiteral("reference"), &error);
    reference.allow({QStringLiteral("port"), QStringLiteral("query"), QStringLiteral("unit"), QStringLiteral("identify"),
                     QStringLiteral("certificate"), QStringLiteral("drift"), QStringLiteral("resolution"), QStringLiteral("pattern"),
                     QStringLiteral("make"), QStringLiteral("model"), QStringLiteral("serial_number")});
    p.reference.make = reference.text(QStringLiteral("make"), false);
    p.reference.model = reference.text(QStringLiteral("model"), false);
    p.reference.serialNumber = reference.text(QStringLiteral("serial_number"), false);
    p.reference.port = reference.text(QStringLiteral("port"), true);
    p.reference.query = reference.text(QStringLiteral("query"), false,
                                       p.kind == Kind::Adc ? QStringLiteral("MEAS:VOLT?") : QStringLiteral("MEAS:TEMP?"));
    p.reference.unit = reference.choice<Unit>(QStringLiteral("unit"), unitNames(), true, Unit::Kelvin);
    p.reference.identify = reference.boolean(QStringLiteral("identify"), false);
    p.reference.drift = reference.number(QStringLiteral("drift"), false, 0.0, false);
    p.reference.resolution = reference.number(QStringLiteral("resolution"), false, 0.0, false);
    p.reference.pattern = reference.text(QStringLiteral("pattern"), false);
    if (reference.has(QStringLiteral("pattern"))) {
        const QString problem = scpiclient::patternProblem(p.reference.pattern);
        if (!problem.isEmpty())
            top.fail(QStringLiteral("reference.pattern"), message(QT_TRANSLATE_NOOP("procedure", "\"reference.pattern\": %1")).arg(problem));
    }
    Reader certificate(reference.object(QStringLiteral("certificate"), true), QStringLiteral("reference.certificate"), &error);
    certificate.allow({QStringLiteral("number"), QStringLiteral("issuer"), QStringLiteral("expanded_uncertainty"), QStringLiteral("k"),
                       QStringLiteral("due"), QStringLiteral("sha256")});
    p.reference.certificate.number = certificate.text(QStringLiteral("number"), true);
    p.reference.certificate.issuer = certificate.text(QStringLiteral("issuer"), false);
    p.reference.certificate.sha256 = certificate.text(QStringLiteral("sha256"), false);
    if (!p.reference.certificate.sha256.isEmpty()
        && !QRegularExpression(QStringLiteral("\\A[0-9a-f]{64}\\z")).match(p.reference.certificate.sha256).hasMatch())
        top.fail(QStringLiteral("reference.certificate.sha256"), message(QT_TRANSLATE_NOOP("procedure", "\"reference.certificate.sha256\" must be 64 hexadecimal digits")));
    p.reference.certificate.expandedUncertainty = certificate.number(QStringLiteral("expanded_uncertainty"), true, 0.0, false);
    p.reference.certificate.k = certificate.number(QStringLiteral("k"), false, 2.0, true);
    const QString due = certificate.text(QStringLiteral("due"), true);
    p.reference.certificate.due = QDate::fromString(due, Qt::ISODate);
    if (!due.isEmpty() && !p.reference.certificate.due.isValid())
        top.fail(QStringLiteral("reference.certificate.due"), message(QT_TRANSLATE_NOOP("procedure", "\"reference.certificate.due\" must be a date as YYYY-MM-DD, not \"%1\"")).arg(due));

    if (top.has(QStringLiteral("source"))) {
        Reader source(top.object(QStringLiteral("source"), true), QStringLiteral("source"), &error);
        source.allow({QStringLiteral("port"), QStringLiteral("set"), QStringLiteral("settle")});
        Source s;
        s.port = source.text(QStringLiteral("port"), true);
        s.set = source.text(QStringLiteral("set"), true);
        s.settle = source.number(QStringLiteral("settle"), false, 0.0, false);
        p.source = s;
    }

    Reader stability(top.object(QStringLiteral("stability"), false), QStringLiteral("stability"), &error);
    stability.allow({QStringLiteral("interval"), QStringLiteral("window"), QStringLiteral("slope"), QStringLiteral("sd"),
                     QStringLiteral("samples"), QStringLiteral("timeout"), QStringLiteral("stale")});
    Stability &st = p.stability;
    st.interval = stability.number(QStringLiteral("interval"), false, st.interval, true);
    st.window = stability.number(QStringLiteral("window"), false, st.window, true);
    st.slope = stability.number(QStringLiteral("slope"), false, st.slope, true);
    st.sd = stability.number(QStringLiteral("sd"), false, st.sd, true);
    const double samples = stability.number(QStringLiteral("samples"), false, st.samples, true);
    st.timeout = stability.number(QStringLiteral("timeout"), false, st.timeout, true);
    st.stale = stability.number(QStringLiteral("stale"), false, st.stale, true);
    if (samples != std::floor(samples) || samples < 2 || samples > 100000)
        top.fail(QStringLiteral("stability.samples"), message(QT_TRANSLATE_NOOP("procedure", "\"stability.samples\" must be a whole number from 2 to 100000")));
    else
        st.samples = int(samples);
    for (const auto &[name, seconds] : {std::make_pair(QStringLiteral("stability.interval"), st.interval),
                                        std::make_pair(QStringLiteral("stability.window"), st.window),
                                        std::make_pair(QStringLiteral("stability.timeout"), st.timeout),
                                        std::make_pair(QStringLiteral("stability.stale"), st.stale),
                                        std::make_pair(QStringLiteral("source.settle"), p.source ? p.source->settle : 0.0)}) {
        if (seconds > MostSeconds)
            top.fail(name, message(QT_TRANSLATE_NOOP("procedure", "\"%1\" must be at most %2 s (a week)")).arg(name).arg(MostSeconds));
    }
    if (st.stale < MinimumStaleIntervals * st.interval)
        top.fail(QStringLiteral("stability.stale"), message(QT_TRANSLATE_NOOP("procedure", "\"stability.stale\" must be at least %1 intervals")).arg(MinimumStaleIntervals));
    if (st.interval < 0.01 || st.window < 2 * st.interval)
        top.fail(QStringLiteral("stability.interval"), message(QT_TRANSLATE_NOOP("procedure", "\"stability.interval\" must be 0.01 s or more, and \"stability.window\" at least two intervals")));

    p.tolerance = top.number(QStringLiteral("tolerance"), true, 0.0, true);
    p.rule = top.choice<DecisionRule>(QStringLiteral("decision_rule"), ruleNames(), false, DecisionRule::Simple);

    const QJsonArray components = top.array(QStringLiteral("uncertainty"));
    for (int index = 0; index < components.size(); ++index) {
        const QString path = QStringLiteral("uncertainty[%1]").arg(index + 1);
        if (!components.at(index).isObject()) {
            top.fail(path, message(QT_TRANSLATE_NOOP("procedure", "\"%1\" must be an object")).arg(path));
            break;
        }
        Reader one(components.at(index).toObject(), path, &error);
        one.allow({QStringLiteral("name"), QStringLiteral("value"), QStringLiteral("distribution"), QStringLiteral("k")});
        Component c;
        c.name = one.text(QStringLiteral("name"), true);
        c.value = one.number(QStringLiteral("value"), true, 0.0, false);
        c.distribution = one.choice<Distribution>(QStringLiteral("distribution"), distributionNames(), true, Distribution::Normal);
        c.k = one.number(QStringLiteral("k"), false, 2.0, true);
        p.uncertainty.append(c);
    }

    Reader texts(top.object(QStringLiteral("certificate"), true), QStringLiteral("certificate"), &error);
    texts.allow({QStringLiteral("number"), QStringLiteral("lab"), QStringLiteral("address"), QStringLiteral("customer"),
                 QStringLiteral("item"), QStringLiteral("procedure"), QStringLiteral("operator"), QStringLiteral("ambient"),
                 QStringLiteral("country"), QStringLiteral("city"), QStringLiteral("language")});
    CertificateTexts &c = p.certificate;
    c.number = texts.text(QStringLiteral("number"), true);
    c.lab = texts.text(QStringLiteral("lab"), true);
    c.address = texts.text(QStringLiteral("address"), false);
    c.customer = texts.text(QStringLiteral("customer"), false);
    c.item = texts.text(QStringLiteral("item"), false);
    c.procedure = texts.text(QStringLiteral("procedure"), false);
    c.operatorName = texts.text(QStringLiteral("operator"), false);
    c.ambient = texts.text(QStringLiteral("ambient"), false);
    c.country = texts.text(QStringLiteral("country"), false);
    c.city = texts.text(QStringLiteral("city"), false);
    c.language = texts.text(QStringLiteral("language"), false);
    if (!c.country.isEmpty() && !QRegularExpression(QStringLiteral("\\A[A-Z]{2}\\z")).match(c.country).hasMatch())
        top.fail(QStringLiteral("certificate.country"), message(QT_TRANSLATE_NOOP("procedure", "\"certificate.country\" must be a country's two capital letters (ISO 3166-1), "
                                                        "not \"%1\"")).arg(c.country));
    if (!c.language.isEmpty() && !QRegularExpression(QStringLiteral("\\A[a-z]{2}\\z")).match(c.language).hasMatch())
        top.fail(QStringLiteral("certificate.language"), message(QT_TRANSLATE_NOOP("procedure", "\"certificate.language\" must be a language's two small letters (ISO 639-1), "
                                                        "not \"%1\"")).arg(c.language));

    p.curveFile = top.text(QStringLiteral("curve"), false);
    if (top.has(QStringLiteral("curve")) && p.curveFile.trimmed().isEmpty())
        top.fail(QStringLiteral("curve"), message(QT_TRANSLATE_NOOP("procedure", "\"curve\" must name the sensor's curve file")));
    Reader table(top.object(QStringLiteral("table"), false), QStringLiteral("table"), &error);
    table.allow({QStringLiteral("spacing")});
    if (table.has(QStringLiteral("spacing")))
        p.spacing = table.choice<tablespacing::Spacing>(QStringLiteral("spacing"), tablespacing::spacingNames(), true,
                                                        tablespacing::Spacing::Curvature);

    p.bounds = defaultBounds(p.kind);
    Reader bounds(top.object(QStringLiteral("bounds"), false), QStringLiteral("bounds"), &error);
    bounds.allow({QStringLiteral("reading"), QStringLiteral("adjustment")});
    p.bounds.reading = bounds.number(QStringLiteral("reading"), false, p.bounds.reading, true);
    p.bounds.adjustment = bounds.number(QStringLiteral("adjustment"), false, p.bounds.adjustment, true);

    Reader fit(top.object(QStringLiteral("fit"), false), QStringLiteral("fit"), &error);
    fit.allow({QStringLiteral("degree")});
    if (fit.has(QStringLiteral("degree"))) {
        const double degree = fit.number(QStringLiteral("degree"), true, 0.0, true);
        if (degree != std::floor(degree) || degree > LargestDegree)
            top.fail(QStringLiteral("fit.degree"), message(QT_TRANSLATE_NOOP("procedure", "\"fit.degree\" must be a whole number from 1 to %1")).arg(LargestDegree));
        else
            p.degree = int(degree);
    }

    if (error.failed())
        return {std::nullopt, error};

    // What the members mean together.
    if (p.points.size() < fewestPoints(p.kind) || p.points.size() > MostPoints)
        return {std::nullopt, Error::invalid(QStringLiteral("points"), message(QT_TRANSLATE_NOOP("procedure", "\"points\": the %1 kind takes %2 to %3 points, not %4"))
                                  .arg(kindName(p.kind)).arg(fewestPoints(p.kind)).arg(MostPoints).arg(p.points.size()))};
    QSet<double> seen;
    for (double point : qAsConst(p.points)) {
        if (seen.contains(point))
            return {std::nullopt, Error::invalid(QStringLiteral("points"), message(QT_TRANSLATE_NOOP("procedure", "\"points\": %1 is given twice")).arg(point))};
        seen.insert(point);
        if (p.kind == Kind::Sensor && !(point > 0.0))
            return {std::nullopt, Error::invalid(QStringLiteral("points"), message(QT_TRANSLATE_NOOP("procedure", "\"points\": %1 K is not a temperature above 0 K")).arg(point))};
    }
    for (double point : qAsConst(p.asLeftPoints)) {
        if (!seen.contains(point))
            return {std::nullopt, Error::invalid(QStringLiteral("as_left_points"), message(QT_TRANSLATE_NOOP("procedure", "\"as_left_points\": %1 is not one of the points")).arg(point))};
    }
    const bool voltage = p.reference.unit == Unit::Volt;
    if (voltage != (p.kind == Kind::Adc))
        return {std::nullopt, Error::invalid(QStringLiteral("reference.unit"), message(QT_TRANSLATE_NOOP("procedure", "\"reference.unit\" %1 makes no sense for the %2 kind (it takes %3)"))
                                  .arg(unitSymbol(p.reference.unit), kindName(p.kind),
                                       p.kind == Kind::Adc ? QStringLiteral("V") : QStringLiteral("K or C")))};
    if ((!p.curveFile.isEmpty() || p.spacing) && p.kind == Kind::Adc)
        return {std::nullopt, Error::invalid(QStringLiteral("curve"), message(QT_TRANSLATE_NOOP("procedure", "\"curve\" and \"table\" are for the sensor kind; the adc kind has no table")))};
    if (p.degree > 0 && p.kind == Kind::Adc)
        return {std::nullopt, Error::invalid(QStringLiteral("fit"), message(QT_TRANSLATE_NOOP("procedure", "\"fit\" is for the sensor kind; an adc fit is a straight line")))};
    if (p.degree > 0 && p.points.size() <= 3)
        return {std::nullopt, Error::invalid(QStringLiteral("fit.degree"), message(QT_TRANSLATE_NOOP("procedure", "\"fit.degree\" needs 4 points or more; with %1 the offsets are interpolated")).arg(p.points.size()))};
    if (p.degree > 0 && p.degree > p.points.size() - 1)
        return {std::nullopt, Error::invalid(QStringLiteral("fit.degree"), message(QT_TRANSLATE_NOOP("procedure", "\"fit.degree\" %1 needs %2 points at least, not %3"))
                                  .arg(p.degree).arg(p.degree + 1).arg(p.points.size()))};
    if (p.source && !p.source->set.contains(QLatin1String("{K}")) && !p.source->set.contains(QLatin1String("{C}"))
        && !p.source->set.contains(QLatin1String("{V}")))
        return {std::nullopt, Error::invalid(QStringLiteral("source.set"), message(QT_TRANSLATE_NOOP("procedure", "\"source.set\" must hold {K}, {C} or {V} for the set point")))};
    return {p, Error()};
}

Parsed parse(const QByteArray &bytes)
{
    QJsonParseError problem;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &problem);
    if (problem.error != QJsonParseError::NoError)
        return {std::nullopt, Error::invalid(QString(), message(QT_TRANSLATE_NOOP("procedure", "not valid JSON at byte %1: %2"))
                                                            .arg(problem.offset).arg(problem.errorString()))};
    if (!document.isObject())
        return {std::nullopt, Error::invalid(QString(), message(QT_TRANSLATE_NOOP("procedure", "the top level is not a JSON object")))};
    return parse(document.object());
}

Error loadCurve(Procedure &procedure, const QString &directory)
{
    const QString member = QStringLiteral("curve");
    if (procedure.curveFile.isEmpty())
        return Error();
    const QString path = QDir(directory).absoluteFilePath(procedure.curveFile);
    QFile file(path);
    const boundedread::Bytes read = file.open(QIODevice::ReadOnly) ? boundedread::readAtMost(file, curveimport::MaxFileBytes)
                                                                   : boundedread::Bytes{QByteArray(), boundedread::End::Failed};
    if (read.end != boundedread::End::Complete) {
        return Error::unreadable(member, message(QT_TRANSLATE_NOOP("procedure", "\"curve\" %1 cannot be read: %2"))
            .arg(QDir::toNativeSeparators(path), read.end == boundedread::End::TooLarge ? message(QT_TRANSLATE_NOOP("procedure", "too large for a curve"))
                                                                                         : file.errorString()));
    }
    QBuffer buffer;
    buffer.setData(read.bytes);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    const curveimport::Curve curve = curveimport::readPoints(buffer);
    if (!curve.ok())
        return Error::invalid(member, message(QT_TRANSLATE_NOOP("procedure", "\"curve\" %1: %2")).arg(QDir::toNativeSeparators(path), curve.error));
    const QString problem = curveimport::curveProblem(curveimport::sortedAndMerged(curve.points));
    if (!problem.isEmpty())
        return Error::invalid(member, message(QT_TRANSLATE_NOOP("procedure", "\"curve\" %1: %2")).arg(QDir::toNativeSeparators(path), problem));
    procedure.curve = SensorCurve{procedure.curveFile,
                                  QString::fromLatin1(QCryptographicHash::hash(read.bytes, QCryptographicHash::Sha256).toHex()),
                                  curve.points};
    return Error();
}

tablespacing::Spacing tableSpacing(const Procedure &procedure)
{
    if (procedure.spacing)
        return *procedure.spacing;
    return procedure.curveFile.isEmpty() ? tablespacing::Spacing::Geometric : tablespacing::Spacing::Curvature;
}

Parsed readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {std::nullopt, Error::unreadable(QString(), message(QT_TRANSLATE_NOOP("procedure", "cannot be read: %1")).arg(file.errorString()))};
    const boundedread::Bytes read = boundedread::readAtMost(file, MaxFileBytes);
    if (read.end == boundedread::End::TooLarge)
        return {std::nullopt, Error::unreadable(QString(), message(QT_TRANSLATE_NOOP("procedure", "is larger than %1 bytes: not a procedure file"))
                                                               .arg(MaxFileBytes))};
    if (read.end == boundedread::End::Failed)
        return {std::nullopt, Error::unreadable(QString(), message(QT_TRANSLATE_NOOP("procedure", "cannot be read: %1")).arg(file.errorString()))};
    Parsed parsed = parse(read.bytes);
    if (parsed.procedure) {
        const Error error = loadCurve(*parsed.procedure, QFileInfo(path).absolutePath());
        if (error.failed())
            return {std::nullopt, error};
    }
    return parsed;
}

Bounds defaultBounds(Kind kind)
{
    return kind == Kind::Adc ? Bounds{DefaultReadingBoundVolts, DefaultAdjustmentBoundVolts}
                             : Bounds{DefaultReadingBoundKelvin, DefaultAdjustmentBoundKelvin};
}

int fewestPoints(Kind kind)
{
    return kind == Kind::Adc ? 2 : 1;
}

QVector<double> asLeftInRunOrder(const Procedure &procedure)
{
    QVector<double> points;
    for (double point : procedure.points) {
        if (procedure.asLeftPoints.contains(point))
            points.append(point);
    }
    return points;
}

int fitDegree(const Procedure &procedure)
{
    if (procedure.points.size() <= 3)
        return 0;
    // Two degrees of freedom left by default, so the fit's standard error says how well it
    // follows the sensor between the points.
    return procedure.degree > 0 ? procedure.degree : std::min(3, int(procedure.points.size()) - 2);
}

double inUnit(double value, Unit unit)
{
    return unit == Unit::Celsius ? value - ZeroCelsiusInKelvin : value;
}

QString unitSymbol(Unit unit)
{
    return names::of(unitNames(), unit);
}

QString kindName(Kind kind)
{
    return names::of(kindNames(), kind);
}

QString pointUnit(Kind kind)
{
    return kind == Kind::Adc ? QStringLiteral("V") : QStringLiteral("K");
}

int readingDecimals(Kind kind)
{
    return kind == Kind::Adc ? 6 : 4;
}

QString distributionName(Distribution distribution)
{
    return names::of(distributionNames(), distribution);
}

QString ruleName(DecisionRule rule)
{
    return names::of(ruleNames(), rule);
}

} // namespace procedure
