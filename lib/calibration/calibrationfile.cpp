#include "calibrationfile.h"

#include "boundedread.h"
#include "numbers.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>
#include <QtGlobal>

#include <cmath>

namespace calibrationfile {

namespace {

const QLatin1String AdcCoeffsKey("ADCCoeffs");
const QLatin1String DacCoeffsKey("DACCoeffs");
const QLatin1String TempTableKey("TempTable");
const QLatin1String JsonSuffix(".json");

QJsonArray pair(double first, double second)
{
    Q_ASSERT(std::isfinite(first) && std::isfinite(second));
    return QJsonArray{first, second};
}

// Whatever is not a JSON number, including an element past the end, reads as 0.
double numberAt(const QJsonArray &array, int index)
{
    const QJsonValue value = array.at(index);
    return value.isDouble() ? value.toDouble() : 0.0;
}

} // namespace

QByteArray serialize(const CalibrationSet &set)
{
    QJsonArray table;
    for (const auto &row : set.table)
        table.append(pair(row.first, row.second));

    // QJsonObject keeps its members sorted by name, which is also the order the file
    // format asks for: "ADCCoeffs", "DACCoeffs", "TempTable".
    QJsonObject root;
    root.insert(AdcCoeffsKey, pair(set.adcSlope, set.adcIntercept));
    root.insert(DacCoeffsKey, pair(set.dacSlope, set.dacIntercept));
    root.insert(TempTableKey, table);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

std::optional<CalibrationSet> parse(const QByteArray &bytes)
{
    // Qt's parser refuses nesting beyond its depth limit and numbers that overflow a
    // double, so everything read below is a finite value.
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();
    if (!root.contains(AdcCoeffsKey) && !root.contains(DacCoeffsKey)
        && !root.contains(TempTableKey))
        return std::nullopt;

    // toArray() gives an empty array for a member that is absent or not an array, and
    // an empty row for a row that is not an array; numberAt() turns both into zeros.
    CalibrationSet set;
    const QJsonArray adc = root.value(AdcCoeffsKey).toArray();
    set.adcSlope = numberAt(adc, 0);
    set.adcIntercept = numberAt(adc, 1);
    const QJsonArray dac = root.value(DacCoeffsKey).toArray();
    set.dacSlope = numberAt(dac, 0);
    set.dacIntercept = numberAt(dac, 1);

    const QJsonArray rows = root.value(TempTableKey).toArray();
    set.table.reserve(rows.size());
    for (const QJsonValue &rowValue : rows) {
        const QJsonArray row = rowValue.toArray();
        set.table.append(qMakePair(numberAt(row, 0), numberAt(row, 1)));
    }
    return set;
}

namespace {

QString strictText(const char *text)
{
    return QCoreApplication::translate("calibrationfile", text);
}

// Two numbers that both stay finite in single precision, or a sentence saying what is wrong
// with `value`, which `where` names.
std::optional<QPair<double, double>> strictPair(const QJsonValue &value, const QString &where,
                                                QString *error)
{
    if (!value.isArray()) {
        *error = strictText(QT_TRANSLATE_NOOP("calibrationfile", "%1: expected an array of two numbers.")).arg(where);
        return std::nullopt;
    }
    const QJsonArray array = value.toArray();
    if (array.size() != 2) {
        *error = strictText(QT_TRANSLATE_NOOP("calibrationfile", "%1: expected two numbers, found %2 elements.")).arg(where).arg(array.size());
        return std::nullopt;
    }
    double numbers[2];
    for (int i = 0; i < 2; ++i) {
        const QJsonValue element = array.at(i);
        if (!element.isDouble()) {
            *error = strictText(QT_TRANSLATE_NOOP("calibrationfile", "%1: element %2 is not a number.")).arg(where).arg(i + 1);
            return std::nullopt;
        }
        numbers[i] = element.toDouble();
        if (!numbers::fitsFloat(numbers[i])) {
            *error = strictText(QT_TRANSLATE_NOOP("calibrationfile", "%1: element %2 (%3) is beyond the instrument's single precision."))
                         .arg(where)
                         .arg(i + 1)
                         .arg(numbers[i]);
            return std::nullopt;
        }
    }
    return qMakePair(numbers[0], numbers[1]);
}

StrictResult strictFailure(const QString &error)
{
    StrictResult result;
    result.error = error;
    return result;
}

} // namespace

StrictResult parseStrict(const QByteArray &bytes)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return strictFailure(strictText(QT_TRANSLATE_NOOP("calibrationfile", "not valid JSON: %1 at byte %2."))
                                 .arg(parseError.errorString())
                                 .arg(parseError.offset));
    }
    if (!document.isObject())
        return strictFailure(strictText(QT_TRANSLATE_NOOP("calibrationfile", "the top level is not a JSON object.")));
    const QJsonObject root = document.object();
    for (const QLatin1String &key : {AdcCoeffsKey, DacCoeffsKey, TempTableKey}) {
        if (!root.contains(key))
            return strictFailure(strictText(QT_TRANSLATE_NOOP("calibrationfile", "the member \"%1\" is missing.")).arg(key));
    }

    QString error;
    CalibrationSet set;
    const auto adc = strictPair(root.value(AdcCoeffsKey), AdcCoeffsKey, &error);
    if (!adc)
        return strictFailure(error);
    const auto dac = strictPair(root.value(DacCoeffsKey), DacCoeffsKey, &error);
    if (!dac)
        return strictFailure(error);
    set.adcSlope = adc->first;
    set.adcIntercept = adc->second;
    set.dacSlope = dac->first;
    set.dacIntercept = dac->second;
    const QJsonValue tableValue = root.value(TempTableKey);
    if (!tableValue.isArray())
        return strictFailure(strictText(QT_TRANSLATE_NOOP("calibrationfile", "%1: expected an array of %2 rows.")).arg(TempTableKey).arg(TableRows));
    const QJsonArray rows = tableValue.toArray();
    if (rows.size() != TableRows) {
        return strictFailure(strictText(QT_TRANSLATE_NOOP("calibrationfile", "%1: expected %2 rows, found %3."))
                                 .arg(TempTableKey)
                                 .arg(TableRows)
                                 .arg(rows.size()));
    }
    set.table.reserve(TableRows);
    for (int row = 0; row < TableRows; ++row) {
        const QString where = strictText(QT_TRANSLATE_NOOP("calibrationfile", "%1 row %2")).arg(TempTableKey).arg(row + 1);
        const auto pair = strictPair(rows.at(row), where, &error);
        if (!pair)
            return strictFailure(error);
        set.table.append(*pair);
    }
    StrictResult result;
    result.set = std::move(set);
    return result;
}

QString withJsonSuffix(const QString &path)
{
    return path.endsWith(JsonSuffix, Qt::CaseSensitive) ? path : path + JsonSuffix;
}

SaveStatus save(const QString &path, const CalibrationSet &set)
{
    return saveBytes(path, serialize(set));
}

SaveStatus saveBytes(const QString &path, const QByteArray &bytes)
{
    // QSaveFile would accept an empty name and only fail at commit().
    if (path.isEmpty())
        return SaveStatus::OpenFailed;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return SaveStatus::OpenFailed;
    // commit() can report success although its own final flush failed (a full disk),
    // and would then put a truncated file in place of the old one. Flushing here first
    // makes such a failure visible while the old file can still be kept.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return SaveStatus::WriteFailed;
    }
    return file.commit() ? SaveStatus::Saved : SaveStatus::WriteFailed;
}

StrictResult readStrict(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return strictFailure(strictText(QT_TRANSLATE_NOOP("calibrationfile", "cannot be read: %1.")).arg(file.errorString()));
    const boundedread::Bytes read = boundedread::readAtMost(file, MaxFileBytes);
    switch (read.end) {
    case boundedread::End::Complete:
        break;
    case boundedread::End::Failed:
        return strictFailure(strictText(QT_TRANSLATE_NOOP("calibrationfile", "cannot be read: %1.")).arg(file.errorString()));
    case boundedread::End::TooLarge:
        return strictFailure(strictText(QT_TRANSLATE_NOOP("calibrationfile", "larger than %1 MiB, far too large for a calibration file."))
                                 .arg(MaxFileBytes / (1024 * 1024)));
    }
    return parseStrict(read.bytes);
}

LoadResult load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {LoadStatus::OpenFailed, {}};
    return load(file);
}

LoadResult load(QIODevice &device)
{
    const boundedread::Bytes read = boundedread::readAtMost(device, MaxFileBytes);
    // A file that opens but cannot be read is no better than one that does not open.
    if (read.end == boundedread::End::Failed)
        return {LoadStatus::OpenFailed, {}};
    if (read.end == boundedread::End::TooLarge)
        return {LoadStatus::NotCalibrationFile, {}};
    const QByteArray &bytes = read.bytes;

    std::optional<CalibrationSet> set = parse(bytes);
    if (!set)
        return {LoadStatus::NotCalibrationFile, {}};
    return {LoadStatus::Loaded, std::move(*set)};
}

QString message(SaveStatus status)
{
    switch (status) {
    case SaveStatus::Saved:
        break;
    case SaveStatus::OpenFailed:
        return QCoreApplication::translate("Widget", "Couldn't open save file.");
    case SaveStatus::WriteFailed:
        return QCoreApplication::translate("calibrationfile", "Couldn't write save file.");
    }
    return QString();
}

QString message(LoadStatus status)
{
    switch (status) {
    case LoadStatus::Loaded:
        break;
    case LoadStatus::OpenFailed:
        return QCoreApplication::translate("Widget", "Couldn't open save file.");
    case LoadStatus::NotCalibrationFile:
        return QCoreApplication::translate("calibrationfile", "Not a calibration file.");
    }
    return QString();
}

} // namespace calibrationfile
