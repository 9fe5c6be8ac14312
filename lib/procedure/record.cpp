#include "record.h"

#include "boundedread.h"
#include "calibrationfile.h"
#include "names.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>

#include <cmath>

namespace record {

namespace {

// A run of a hundred points of an hour's readings each is some tens of megabytes.
constexpr qint64 MaxRecordBytes = 512 * 1024 * 1024;
constexpr int ShownValueChars = 120;
// A sample's time in milliseconds, as a double holds it exactly; differences of two stay
// well inside qint64.
constexpr double MostSampleMs = 9007199254740992.0; // 2^53
const QString HashKey = QStringLiteral("sha256");
const QString Format = QStringLiteral("thermocal calibration record 2");
// Records before the judge went by a monotonic clock and kept every attempt: their captures
// were judged by other rules, so what they claim cannot be recomputed here.
const QString FirstFormat = QStringLiteral("thermocal calibration record 1");
// A sample: the time, the reference, the instrument's voltage and temperature, the monotonic time.
constexpr int SampleMembers = 5;

QString message(const char *text)
{
    return QCoreApplication::translate("record", text);
}

// JSON has no NaN or infinity: a value that is not known is null.
QJsonValue number(double value)
{
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

QJsonArray numbers(const QVector<double> &values)
{
    QJsonArray array;
    for (double value : values)
        array.append(number(value));
    return array;
}

QJsonArray sessionsJson(const QVector<Session> &sessions)
{
    QJsonArray array;
    for (const Session &one : sessions) {
        array.append(QJsonObject{{QStringLiteral("software"), one.software},
                                 {QStringLiteral("port"), one.port},
                                 {QStringLiteral("serial_number"), one.serialNumber},
                                 {QStringLiteral("reference_idn"), one.referenceIdn},
                                 {QStringLiteral("user"), one.user},
                                 {QStringLiteral("started"), one.started},
                                 {QStringLiteral("ended"), one.ended},
                                 {QStringLiteral("note"), one.note}});
    }
    return array;
}

// The phases' and states' names in a record, read and written by these tables alone.
const names::Table<analysis::Phase> &phaseNames()
{
    static const names::Table<analysis::Phase> table{{QStringLiteral("as found"), analysis::Phase::AsFound},
                                                     {QStringLiteral("as left"), analysis::Phase::AsLeft}};
    return table;
}

const names::Table<State> &stateNames()
{
    static const names::Table<State> table{{QStringLiteral("running"), State::Running},
                                           {QStringLiteral("complete"), State::Complete},
                                           {QStringLiteral("not stable"), State::NotStable},
                                           {QStringLiteral("stopped"), State::Stopped},
                                           {QStringLiteral("failed"), State::Failed}};
    return table;
}

QString phaseName(analysis::Phase phase)
{
    return names::of(phaseNames(), phase);
}

QJsonObject budgetJson(const budget::Budget &b)
{
    QJsonArray terms;
    for (const budget::Term &term : b.terms) {
        terms.append(QJsonObject{{QStringLiteral("name"), term.name},
                                 {QStringLiteral("type"), term.typeA ? QStringLiteral("A") : QStringLiteral("B")},
                                 {QStringLiteral("distribution"), procedure::distributionName(term.distribution)},
                                 {QStringLiteral("value"), number(term.value)},
                                 {QStringLiteral("unit"), term.valueUnit},
                                 {QStringLiteral("divisor"), number(term.divisor)},
                                 {QStringLiteral("sensitivity"), number(term.sensitivity)},
                                 {QStringLiteral("standard_uncertainty"), number(term.standard())},
                                 {QStringLiteral("dof"), number(term.dof)}});
    }
    return QJsonObject{{QStringLiteral("terms"), terms},
                       {QStringLiteral("combined"), number(b.combined)},
                       {QStringLiteral("effective_dof"), number(b.effectiveDof)},
                       {QStringLiteral("k"), number(b.k)},
                       {QStringLiteral("expanded"), number(b.expanded)}};
}

QJsonObject pointJson(const procedure::Procedure &procedure, const analysis::RawPoint &raw,
                      const analysis::PointResult *result, const analysis::Analysis &analysed)
{
    QJsonArray samples;
    for (const analysis::Sample &sample : raw.samples)
        samples.append(QJsonArray{double(sample.ms), number(sample.reference), number(sample.volts), number(sample.kelvin),
                                  double(sample.elapsedMs)});
    QJsonObject object{{QStringLiteral("nominal"), raw.nominal},
                       {QStringLiteral("phase"), phaseName(raw.phase)},
                       {QStringLiteral("samples"), samples},
                       {QStringLiteral("captured_from"), raw.captured() ? QJsonValue(raw.capturedFrom) : QJsonValue()}};
    if (!raw.captureReason.isEmpty())
        object.insert(QStringLiteral("capture_reason"), raw.captureReason);
    if (!raw.skipReason.isEmpty())
        object.insert(QStringLiteral("skip_reason"), raw.skipReason);
    if (raw.interrupted)
        object.insert(QStringLiteral("interrupted"), raw.interruption);
    if (!result)
        return object;
    const stability::Judgement &judged = result->stability;
    object.insert(QStringLiteral("statistics"),
                  QJsonObject{{QStringLiteral("n"), result->n},
                              {QStringLiteral("reference"), number(result->reference)},
                              {QStringLiteral("instrument"), number(result->instrument)},
                              {QStringLiteral("volts"), number(result->volts)},
                              {QStringLiteral("difference_sd"), number(result->differenceSd)},
                              {QStringLiteral("reference_slope_per_min"), number(judged.reference.slopePerMinute)},
                              {QStringLiteral("reference_sd"), number(judged.reference.sd)},
                              {QStringLiteral("instrument_slope_per_min"), number(judged.instrument.slopePerMinute)},
                              {QStringLiteral("instrument_sd"), number(judged.instrument.sd)}});
    // The judge's verdict when the capture began, recomputed from the readings before it.
    const procedure::Stability &limits = procedure.stability;
    QJsonObject verdict{{QStringLiteral("stable"), judged.stable},
                        {QStringLiteral("window_spanned"), judged.filled},
                        {QStringLiteral("stale"), judged.stale},
                        {QStringLiteral("turning"), judged.turning},
                        {QStringLiteral("reference_end_slope_per_min"), number(judged.referenceEnd.slopePerMinute)},
                        {QStringLiteral("instrument_end_slope_per_min"), number(judged.instrumentEnd.slopePerMinute)},
                        {QStringLiteral("longest_gap_s"), number(judged.longestGapSeconds)},
                        {QStringLiteral("limits"), QJsonObject{{QStringLiteral("interval_s"), limits.interval},
                                                               {QStringLiteral("window_s"), limits.window},
                                                               {QStringLiteral("slope_per_min"), limits.slope},
                                                               {QStringLiteral("sd"), limits.sd},
                                                               {QStringLiteral("stale_s"), limits.stale},
                                                               {QStringLiteral("samples"), limits.samples}}}};
    if (raw.capturedFrom > 0)
        verdict.insert(QStringLiteral("at"), isoTime(raw.samples.at(raw.capturedFrom - 1).ms));
    object.insert(QStringLiteral("judgement"), verdict);
    object.insert(QStringLiteral("budget"), budgetJson(result->budget));
    QJsonObject outcome{{QStringLiteral("error"), number(result->error)},
                        {QStringLiteral("expanded_uncertainty"), number(result->budget.expanded)},
                        {QStringLiteral("k"), number(result->budget.k)},
                        {QStringLiteral("decision"), analysis::decisionText(result->decision)}};
    if (result->phase == analysis::Phase::AsFound && analysed.fitted)
        outcome.insert(QStringLiteral("predicted_error"), number(analysis::predictedError(procedure, analysed, *result)));
    object.insert(QStringLiteral("result"), outcome);
    return object;
}

QJsonValue rangeJson(const analysis::Analysis &analysed)
{
    return analysed.rangeEstablished ? QJsonValue(budgetJson(analysed.range)) : QJsonValue(QStringLiteral("not established"));
}

QJsonObject fitJson(const procedure::Procedure &procedure, const analysis::Analysis &analysed)
{
    if (procedure.kind == procedure::Kind::Adc) {
        const fit::AdcFit &adc = analysed.adc;
        return QJsonObject{{QStringLiteral("model"), QStringLiteral("least-squares line, reference voltage against ADC count")},
                           {QStringLiteral("slope"), number(adc.slope)},
                           {QStringLiteral("intercept"), number(adc.intercept)},
                           {QStringLiteral("counts"), numbers(adc.counts)},
                           {QStringLiteral("residuals_V"), numbers(adc.residuals)},
                           {QStringLiteral("standard_error_V"), number(adc.standardError)},
                           {QStringLiteral("dof"), adc.dof},
                           {QStringLiteral("range_uncertainty"), rangeJson(analysed)}};
    }
    const fit::SensorFit &sensor = analysed.sensor;
    return QJsonObject{{QStringLiteral("model"), sensor.degree > 0 ? QStringLiteral("least-squares polynomial of the voltage offset in temperature")
                                                                   : QStringLiteral("voltage offsets interpolated between the points")},
                       {QStringLiteral("degree"), sensor.degree},
                       {QStringLiteral("points_K"), numbers(sensor.kelvins)},
                       {QStringLiteral("offsets_V"), numbers(sensor.offsets)},
                       {QStringLiteral("residuals_V"), numbers(sensor.residuals)},
                       {QStringLiteral("coefficients_V"), numbers(sensor.coefficients)},
                       {QStringLiteral("centre_K"), number(sensor.centre)},
                       {QStringLiteral("half_span_K"), number(sensor.halfSpan)},
                       {QStringLiteral("range_K"), numbers({sensor.low, sensor.high})},
                       {QStringLiteral("held_from_K"), numbers({sensor.holdLow, sensor.holdHigh})},
                       {QStringLiteral("interpolation_mK"), number(sensor.interpolationMk)},
                       {QStringLiteral("standard_error_V"), number(sensor.standardError)},
                       {QStringLiteral("dof"), sensor.dof},
                       {QStringLiteral("change_beyond_range_mK"), numbers({sensor.changeBelowMk, sensor.changeAboveMk})},
                       {QStringLiteral("departure_beyond_range_mK"), number(sensor.departureMk)},
                       {QStringLiteral("range_uncertainty"), rangeJson(analysed)}};
}

QString shown(const QJsonValue &value)
{
    if (value.isUndefined())
        return message(QT_TRANSLATE_NOOP("record", "nothing"));
    QString text;
    if (value.isObject())
        text = QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    else if (value.isArray())
        text = QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    else
        text = QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
    return text.size() > ShownValueChars ? text.left(ShownValueChars) + QStringLiteral("...") : text;
}

// The first place where two values differ, as a path such as points[2].budget.k; empty
// when they are equal.
QString firstDifference(const QJsonValue &recorded, const QJsonValue &recomputed, const QString &path)
{
    if (recorded.isObject() && recomputed.isObject()) {
        const QJsonObject a = recorded.toObject();
        const QJsonObject b = recomputed.toObject();
        QStringList keys = a.keys();
        for (const QString &key : b.keys()) {
            if (!keys.contains(key))
                keys.append(key);
        }
        std::sort(keys.begin(), keys.end());
        for (const QString &key : qAsConst(keys)) {
            const QString found = firstDifference(a.value(key), b.value(key), path.isEmpty() ? key : path + QLatin1Char('.') + key);
            if (!found.isEmpty())
                return found;
        }
        return QString();
    }
    if (recorded.isArray() && recomputed.isArray()) {
        const QJsonArray a = recorded.toArray();
        const QJsonArray b = recomputed.toArray();
        for (int i = 0; i < int(std::max(a.size(), b.size())); ++i) {
            const QString found = firstDifference(i < a.size() ? a.at(i) : QJsonValue(QJsonValue::Undefined),
                                                  i < b.size() ? b.at(i) : QJsonValue(QJsonValue::Undefined),
                                                  QStringLiteral("%1[%2]").arg(path).arg(i));
            if (!found.isEmpty())
                return found;
        }
        return QString();
    }
    if (recorded == recomputed)
        return QString();
    return message(QT_TRANSLATE_NOOP("record", "%1: recorded %2, recomputed %3")).arg(path, shown(recorded), shown(recomputed));
}

std::optional<analysis::Phase> phaseOf(const QString &name)
{
    return names::named(phaseNames(), name);
}

} // namespace

QString isoTime(qint64 msSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString stateName(State state)
{
    return names::of(stateNames(), state);
}

QJsonObject setJson(const device::DeviceSet &set)
{
    return QJsonDocument::fromJson(calibrationfile::serialize(device::toCalibrationSet(set))).object();
}

std::optional<device::DeviceSet> setFromJson(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const calibrationfile::StrictResult parsed = calibrationfile::parseStrict(QJsonDocument(value.toObject()).toJson());
    if (!parsed.set)
        return std::nullopt;
    return device::toDevice(*parsed.set);
}

QString setHash(const device::DeviceSet &set)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(calibrationfile::serialize(device::toCalibrationSet(set)), QCryptographicHash::Sha256).toHex());
}

procedure::Parsed procedureOf(const Record &record)
{
    procedure::Parsed parsed = procedure::parse(record.procedure);
    if (parsed.procedure)
        parsed.procedure->curve = record.curve;
    return parsed;
}

QJsonObject toJson(const Record &record)
{
    const procedure::Parsed parsed = procedureOf(record);
    if (!parsed.procedure)
        return toJson(record, analysis::Analysis());
    return toJson(record, analysis::analyse(*parsed.procedure, record.asFound, record.points));
}

QJsonObject toJson(const Record &record, const analysis::Analysis &analysed)
{
    QJsonObject object{{QStringLiteral("format"), Format},
                       {QStringLiteral("software"), record.software},
                       {QStringLiteral("procedure"), record.procedure},
                       {QStringLiteral("instrument"), QJsonObject{{QStringLiteral("port"), record.port},
                                                                  {QStringLiteral("serial_number"), record.serialNumber}}},
                       {QStringLiteral("reference"), QJsonObject{{QStringLiteral("idn"), record.referenceIdn}}},
                       {QStringLiteral("allow_expired_reference"), record.allowExpiredReference},
                       {QStringLiteral("sessions"), sessionsJson(record.sessions)},
                       {QStringLiteral("write"), record.write},
                       {QStringLiteral("started"), record.started},
                       {QStringLiteral("finished"), record.finished},
                       {QStringLiteral("state"), stateName(record.state)},
                       {QStringLiteral("note"), record.note},
                       {QStringLiteral("as_found_set"), setJson(record.asFound)},
                       {QStringLiteral("as_found_sha256"), setHash(record.asFound)}};
    if (record.curve) {
        QJsonArray points;
        for (const auto &point : record.curve->points)
            points.append(QJsonArray{number(point.first), number(point.second)});
        object.insert(QStringLiteral("curve"), QJsonObject{{QStringLiteral("file"), record.curve->file},
                                                           {QStringLiteral("sha256"), record.curve->sha256},
                                                           {QStringLiteral("points"), points}});
    }
    if (record.allowExpiredReference)
        object.insert(QStringLiteral("expired_reference"), QJsonObject{{QStringLiteral("reason"), record.expiredReferenceReason},
                                                                      {QStringLiteral("allowed_by"), record.expiredReferenceAllowedBy}});
    if (!record.writeOutcome.isEmpty())
        object.insert(QStringLiteral("write_outcome"), record.writeOutcome);
    if (!record.backup.isEmpty())
        object.insert(QStringLiteral("backup"), record.backup);
    if (record.asLeft) {
        object.insert(QStringLiteral("as_left_set"), setJson(*record.asLeft));
        object.insert(QStringLiteral("as_left_sha256"), setHash(*record.asLeft));
    }

    const procedure::Parsed parsed = procedureOf(record);
    QJsonArray points;
    if (parsed.procedure) {
        int captured = 0;
        for (const analysis::RawPoint &raw : record.points) {
            const analysis::PointResult *result = raw.captured() ? &analysed.points.at(captured++) : nullptr;
            points.append(pointJson(*parsed.procedure, raw, result, analysed));
        }
        if (analysed.fitted) {
            object.insert(QStringLiteral("fit"), fitJson(*parsed.procedure, analysed));
            object.insert(QStringLiteral("proposed_set"), setJson(analysed.proposed));
            object.insert(QStringLiteral("proposed_sha256"), setHash(analysed.proposed));
        } else if (!analysed.error.isEmpty()) {
            object.insert(QStringLiteral("fit_error"), analysed.error);
        }
    }
    object.insert(QStringLiteral("points"), points);
    object.insert(HashKey, sha256(object));
    return object;
}

std::optional<Record> fromJson(const QJsonObject &object, procedure::Error *error)
{
    const auto fail = [error](const QString &member, const QString &text) {
        if (error)
            *error = procedure::Error::notVerified(member, text);
        return std::nullopt;
    };
    if (object.value(QStringLiteral("format")).toString() == FirstFormat)
        return fail(QStringLiteral("format"), message(QT_TRANSLATE_NOOP("record", "a record of an earlier thermocal (\"%1\"), whose stability judge went by other "
                                                        "rules; this version cannot recompute its captures (verify it with the version "
                                                        "that wrote it: %2)"))
                        .arg(FirstFormat, object.value(QStringLiteral("software")).toString()));
    if (object.value(QStringLiteral("format")).toString() != Format)
        return fail(QStringLiteral("format"), message(QT_TRANSLATE_NOOP("record", "not a calibration record (\"format\" is not \"%1\")")).arg(Format));
    Record record;
    record.procedure = object.value(QStringLiteral("procedure")).toObject();
    const procedure::Parsed parsed = procedure::parse(record.procedure);
    if (!parsed.procedure)
        return fail(QStringLiteral("procedure.") + parsed.error.member,
                    message(QT_TRANSLATE_NOOP("record", "the record's procedure: %1")).arg(parsed.error.message));
    if (object.contains(QStringLiteral("curve"))) {
        const QJsonObject curve = object.value(QStringLiteral("curve")).toObject();
        procedure::SensorCurve kept{curve.value(QStringLiteral("file")).toString(), curve.value(QStringLiteral("sha256")).toString(), {}};
        const QJsonArray points = curve.value(QStringLiteral("points")).toArray();
        for (int i = 0; i < points.size(); ++i) {
            const QJsonArray pair = points.at(i).toArray();
            if (pair.size() != 2 || !pair.at(0).isDouble() || !pair.at(1).isDouble())
                return fail(QStringLiteral("curve.points[%1]").arg(i), message(QT_TRANSLATE_NOOP("record", "curve.points[%1] is not two numbers")).arg(i));
            kept.points.append({pair.at(0).toDouble(), pair.at(1).toDouble()});
        }
        record.curve = kept;
    }
    if (!parsed.procedure->curveFile.isEmpty() && !record.curve)
        return fail(QStringLiteral("curve"), message(QT_TRANSLATE_NOOP("record", "the procedure names the curve %1, but the record does not keep it"))
                        .arg(parsed.procedure->curveFile));
    record.software = object.value(QStringLiteral("software")).toString();
    record.port = object.value(QStringLiteral("instrument")).toObject().value(QStringLiteral("port")).toString();
    record.serialNumber = object.value(QStringLiteral("instrument")).toObject().value(QStringLiteral("serial_number")).toString();
    record.referenceIdn = object.value(QStringLiteral("reference")).toObject().value(QStringLiteral("idn")).toString();
    record.allowExpiredReference = object.value(QStringLiteral("allow_expired_reference")).toBool();
    const QJsonObject expired = object.value(QStringLiteral("expired_reference")).toObject();
    record.expiredReferenceReason = expired.value(QStringLiteral("reason")).toString();
    record.expiredReferenceAllowedBy = expired.value(QStringLiteral("allowed_by")).toString();
    const QJsonArray sessions = object.value(QStringLiteral("sessions")).toArray();
    for (const QJsonValue &value : sessions) {
        const QJsonObject one = value.toObject();
        record.sessions.append({one.value(QStringLiteral("software")).toString(), one.value(QStringLiteral("port")).toString(),
                                one.value(QStringLiteral("serial_number")).toString(), one.value(QStringLiteral("reference_idn")).toString(),
                                one.value(QStringLiteral("user")).toString(), one.value(QStringLiteral("started")).toString(),
                                one.value(QStringLiteral("ended")).toString(), one.value(QStringLiteral("note")).toString()});
    }
    record.write = object.value(QStringLiteral("write")).toBool();
    record.started = object.value(QStringLiteral("started")).toString();
    record.finished = object.value(QStringLiteral("finished")).toString();
    record.note = object.value(QStringLiteral("note")).toString();
    record.state = names::named(stateNames(), object.value(QStringLiteral("state")).toString()).value_or(State::Failed);
    const std::optional<device::DeviceSet> asFound = setFromJson(object.value(QStringLiteral("as_found_set")));
    if (!asFound)
        return fail(QStringLiteral("as_found_set"), message(QT_TRANSLATE_NOOP("record", "the record's \"as_found_set\" is not a whole calibration set")));
    record.asFound = *asFound;
    record.writeOutcome = object.value(QStringLiteral("write_outcome")).toString();
    record.backup = object.value(QStringLiteral("backup")).toString();
    if (object.contains(QStringLiteral("as_left_set"))) {
        record.asLeft = setFromJson(object.value(QStringLiteral("as_left_set")));
        if (!record.asLeft)
            return fail(QStringLiteral("as_left_set"), message(QT_TRANSLATE_NOOP("record", "the record's \"as_left_set\" is not a whole calibration set")));
    }
    const QJsonArray points = object.value(QStringLiteral("points")).toArray();
    for (int i = 0; i < points.size(); ++i) {
        const QJsonObject point = points.at(i).toObject();
        analysis::RawPoint raw;
        raw.nominal = point.value(QStringLiteral("nominal")).toDouble();
        const std::optional<analysis::Phase> phase = phaseOf(point.value(QStringLiteral("phase")).toString());
        if (!phase)
            return fail(QStringLiteral("points[%1].phase").arg(i), message(QT_TRANSLATE_NOOP("record", "points[%1].phase is neither \"as found\" nor \"as left\"")).arg(i));
        raw.phase = *phase;
        const QJsonArray samples = point.value(QStringLiteral("samples")).toArray();
        for (int s = 0; s < samples.size(); ++s) {
            // The time, both readings, and (since the judge went by a monotonic clock) that clock's time.
            const QJsonArray values = samples.at(s).toArray();
            if (values.size() != SampleMembers || !values.at(0).isDouble() || !values.at(1).isDouble() || !values.at(2).isDouble()
                || !values.at(3).isDouble() || !values.at(4).isDouble())
                return fail(QStringLiteral("points[%1].samples[%2]").arg(i).arg(s), message(QT_TRANSLATE_NOOP("record", "points[%1].samples[%2] is not five numbers")).arg(i).arg(s));
            const double ms = values.at(0).toDouble();
            const double elapsed = values.at(4).toDouble();
            if (!(std::fabs(ms) <= MostSampleMs) || ms != std::floor(ms) || !(std::fabs(elapsed) <= MostSampleMs)
                || elapsed != std::floor(elapsed))
                return fail(QStringLiteral("points[%1].samples[%2]").arg(i).arg(s), message(QT_TRANSLATE_NOOP("record", "points[%1].samples[%2] has no time in whole milliseconds"))
                                .arg(i)
                                .arg(s));
            analysis::Sample sample{qint64(ms), values.at(1).toDouble(), values.at(2).toDouble(), values.at(3).toDouble()};
            sample.elapsedMs = qint64(elapsed);
            raw.samples.append(sample);
        }
        const QJsonValue from = point.value(QStringLiteral("captured_from"));
        raw.capturedFrom = from.isDouble() ? from.toInt(-1) : -1;
        if (raw.capturedFrom >= raw.samples.size() || (from.isDouble() && raw.capturedFrom < 0))
            return fail(QStringLiteral("points[%1].captured_from").arg(i), message(QT_TRANSLATE_NOOP("record", "points[%1].captured_from lies outside its samples")).arg(i));
        raw.captureReason = point.value(QStringLiteral("capture_reason")).toString();
        raw.skipReason = point.value(QStringLiteral("skip_reason")).toString();
        raw.interrupted = point.contains(QStringLiteral("interrupted"));
        raw.interruption = point.value(QStringLiteral("interrupted")).toString();
        if (raw.captured() && (raw.interrupted || !raw.skipReason.isEmpty()))
            return fail(QStringLiteral("points[%1]").arg(i), message(QT_TRANSLATE_NOOP("record", "points[%1] is captured, yet skipped or interrupted")).arg(i));
        record.points.append(raw);
    }
    return record;
}

QVector<Deviation> deviations(const Record &record)
{
    const procedure::Parsed parsed = procedureOf(record);
    if (!parsed.procedure)
        return {};
    return deviations(record, analysis::analyse(*parsed.procedure, record.asFound, record.points));
}

QVector<Deviation> deviations(const Record &record, const analysis::Analysis &analysed)
{
    QVector<Deviation> found;
    const procedure::Parsed parsed = procedureOf(record);
    if (!parsed.procedure)
        return found;
    const procedure::Procedure &p = *parsed.procedure;
    const QString unit = procedure::pointUnit(p.kind);
    if (record.allowExpiredReference)
        found.append({-1,
                      message(QT_TRANSLATE_NOOP("record", "The reference's certificate %1 was due on %2; the reference was used past "
                                                          "that date, as %3 allowed."))
                          .arg(p.reference.certificate.number, p.reference.certificate.due.toString(Qt::ISODate),
                               record.expiredReferenceAllowedBy.isEmpty() ? message(QT_TRANSLATE_NOOP("record", "the operator"))
                                                                          : record.expiredReferenceAllowedBy),
                      record.expiredReferenceReason, record.started});
    for (int i = 1; i < record.sessions.size(); ++i) {
        const Session &before = record.sessions.at(i - 1);
        const Session &now = record.sessions.at(i);
        found.append({-1,
                      message(QT_TRANSLATE_NOOP("record", "The run ended (%1) and was resumed from its record with %2 on %3."))
                          .arg(before.ended.isEmpty() ? message(QT_TRANSLATE_NOOP("record", "at a time not recorded")) : before.ended,
                               now.software, now.port),
                      before.note, now.started});
    }
    int captured = 0;
    for (int i = 0; i < record.points.size(); ++i) {
        const analysis::RawPoint &raw = record.points.at(i);
        const QString where = QStringLiteral("%1 %2, %3").arg(raw.nominal).arg(unit, phaseName(raw.phase));
        const QString last = raw.samples.isEmpty() ? QString() : isoTime(raw.samples.last().ms);
        if (raw.captured()) {
            const analysis::PointResult &result = analysed.points.at(captured++);
            if (!raw.captureReason.isEmpty()) {
                const QString first = raw.capturedFrom > 0 ? isoTime(raw.samples.at(raw.capturedFrom - 1).ms) : last;
                found.append({i,
                              result.stability.stable
                                  ? message(QT_TRANSLATE_NOOP("record", "%1: captured on the operator's word."))
                                        .arg(where)
                                  : message(QT_TRANSLATE_NOOP("record", "%1: captured on the operator's word, before it was judged "
                                                                        "stable; its readings were not judged stable."))
                                        .arg(where),
                              raw.captureReason, first});
            }
        } else if (!raw.skipReason.isEmpty()) {
            found.append({i, message(QT_TRANSLATE_NOOP("record", "%1: skipped by the operator; not measured.")).arg(where),
                          raw.skipReason, last});
        } else if (raw.interrupted) {
            found.append({i, message(QT_TRANSLATE_NOOP("record", "%1: an attempt of %2 readings ended before its capture."))
                                 .arg(where).arg(raw.samples.size()),
                          raw.interruption, last});
        }
    }
    return found;
}

QString defaultFileName(const procedure::Procedure &procedure)
{
    QString name = procedure.certificate.number;
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    return name + QStringLiteral(".json");
}

QByteArray canonical(QJsonObject object)
{
    // QJsonObject keeps its keys sorted, and the compact form has no whitespace.
    object.remove(HashKey);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString sha256(const QJsonObject &object)
{
    return QString::fromLatin1(QCryptographicHash::hash(canonical(object), QCryptographicHash::Sha256).toHex());
}

QString save(const QString &path, const Record &record)
{
    const QByteArray bytes = QJsonDocument(toJson(record)).toJson(QJsonDocument::Compact) + '\n';
    const calibrationfile::SaveStatus saved = calibrationfile::saveBytes(path, bytes);
    return saved == calibrationfile::SaveStatus::Saved ? QString() : calibrationfile::message(saved);
}

std::optional<QJsonObject> load(const QString &path, procedure::Error *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = procedure::Error::unreadable(QString(), file.errorString());
        return std::nullopt;
    }
    const boundedread::Bytes read = boundedread::readAtMost(file, MaxRecordBytes);
    if (read.end != boundedread::End::Complete) {
        *error = procedure::Error::unreadable(QString(), read.end == boundedread::End::TooLarge
                                                             ? message(QT_TRANSLATE_NOOP("record", "too large for a record"))
                                                             : file.errorString());
        return std::nullopt;
    }
    QJsonParseError problem;
    const QJsonDocument document = QJsonDocument::fromJson(read.bytes, &problem);
    if (problem.error != QJsonParseError::NoError || !document.isObject()) {
        *error = procedure::Error::unreadable(QString(), message(QT_TRANSLATE_NOOP("record", "not a JSON object (%1)")).arg(problem.errorString()));
        return std::nullopt;
    }
    return document.object();
}

Verified verify(const QJsonObject &object)
{
    procedure::Error error;
    const std::optional<Record> record = fromJson(object, &error);
    if (!record)
        return {false, error.message};
    QJsonObject recorded = object;
    recorded.remove(HashKey);
    QJsonObject recomputed = toJson(*record);
    recomputed.remove(HashKey);
    const QString difference = firstDifference(recorded, recomputed, QString());
    if (!difference.isEmpty())
        return {false, difference};
    const QString hash = sha256(object);
    if (object.value(HashKey).toString() != hash)
        return {false, message(QT_TRANSLATE_NOOP("record", "sha256: recorded %1, recomputed %2"))
                           .arg(object.value(HashKey).toString(), hash)};
    // Every number agrees; the captures must also be ones the rules allow.
    const procedure::Parsed parsed = procedureOf(*record);
    if (parsed.procedure) {
        const analysis::Analysis analysed = analysis::analyse(*parsed.procedure, record->asFound, record->points);
        int captured = 0;
        for (int i = 0; i < record->points.size(); ++i) {
            const analysis::RawPoint &raw = record->points.at(i);
            if (!raw.captured())
                continue;
            const QString problem = analysis::captureProblem(*parsed.procedure, raw, analysed.points.at(captured++));
            if (!problem.isEmpty())
                return {false, message(QT_TRANSLATE_NOOP("record", "points[%1] (%2 %3, %4): %5"))
                                   .arg(i).arg(raw.nominal).arg(procedure::pointUnit(parsed.procedure->kind), phaseName(raw.phase), problem)};
        }
    }
    return {true, QString()};
}

} // namespace record
