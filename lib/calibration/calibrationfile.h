#pragma once

#include "calibrationset.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QIODevice;

// The JSON calibration file: a top-level object with "ADCCoeffs" [slope, intercept],
// "DACCoeffs" [slope, intercept] and "TempTable" [[voltage, temperature], ...].
namespace calibrationfile {

// The file's indented text: the three members in that order, four spaces per level,
// LF line ends. Every value must be finite, since JSON has no way to hold NaN or infinity.
QByteArray serialize(const CalibrationSet &set);

// Reads a file's bytes leniently: a missing or mistyped member or element reads as 0, and
// every row of "TempTable" is returned. Empty when the bytes are not a calibration file at
// all: not valid JSON, a top level that is not an object, or none of the three members.
std::optional<CalibrationSet> parse(const QByteArray &bytes);

struct StrictResult
{
    std::optional<CalibrationSet> set;
    QString error; // names the member and the row (from 1) when there is no set
};

// Checks a file before its set goes to the instrument, where a lenient reading could send
// zeros: valid JSON; all three members; two numbers in each coefficient array; exactly
// TableRows rows of two numbers; every value finite in single precision.
StrictResult parseStrict(const QByteArray &bytes);

// Reads the file at `path` within MaxFileBytes and checks it as parseStrict() does; the
// error also tells a file that cannot be read, or is far too large, from one that is wrong.
StrictResult readStrict(const QString &path);

// The path with ".json" appended unless it already ends in exactly ".json".
QString withJsonSuffix(const QString &path);

enum class SaveStatus { Saved, OpenFailed, WriteFailed };

// Writes the file through a temporary one, so an existing file is replaced only by a
// complete new one and is left as it was on any failure.
SaveStatus save(const QString &path, const CalibrationSet &set);
// The same for any bytes: the command line writes its other files this way too.
SaveStatus saveBytes(const QString &path, const QByteArray &bytes);

// A calibration file is a few kilobytes; anything larger than this is refused as not being
// one, which bounds the memory and time a mistaken choice of file can take.
constexpr qint64 MaxFileBytes = 64 * 1024 * 1024;

enum class LoadStatus { Loaded, OpenFailed, NotCalibrationFile };

struct LoadResult
{
    LoadStatus status = LoadStatus::OpenFailed;
    CalibrationSet set;   // meaningful only when status is Loaded
};

LoadResult load(const QString &path);
// Reads an open device to its end; a read error on the way counts as a file that cannot
// be opened, since what was read before it is not the whole file.
LoadResult load(QIODevice &device);

// The text to show the user for a failure; empty for success.
QString message(SaveStatus status);
QString message(LoadStatus status);

} // namespace calibrationfile
