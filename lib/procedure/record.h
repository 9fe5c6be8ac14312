#pragma once

#include "analysis.h"
#include "device.h"
#include "procedurefile.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

#include <optional>

// The record of a calibration: the procedure as run, the instrument and the reference, every
// raw reading of both channels with its time, the sets found, proposed and left, and what
// was computed from them, with a SHA-256 of its canonical form (keys sorted, no whitespace,
// UTF-8, the hash member left out) in its top-level member "sha256". Everything computed is
// computed again by verify(), so a changed reading or a changed result shows.
namespace record {

// How far a run got; the record says it in "state".
enum class State { Running, Complete, NotStable, Stopped, Failed };
QString stateName(State state);

// One stretch of a run, from its start (or a resume) to its end; a resumed run has several.
struct Session
{
    QString software;
    QString port;
    QString serialNumber;
    QString referenceIdn;
    QString user;     // who ran it, as the computer knows them
    QString started;  // ISO 8601 UTC
    QString ended;    // empty while it runs
    QString note;     // how it ended
};

struct Record
{
    QJsonObject procedure; // the procedure file's object, as run
    // The latest session's; every session is in `sessions`.
    QString software;
    QString port;
    QString serialNumber;
    QString referenceIdn;
    bool allowExpiredReference = false;
    QString expiredReferenceReason;    // why a reference past its due date was used
    QString expiredReferenceAllowedBy; // and who allowed it
    QVector<Session> sessions;
    // The sensor's curve the new table starts from, whole, when the procedure names one.
    std::optional<procedure::SensorCurve> curve;
    bool write = false;
    QString started;  // ISO 8601 UTC
    QString finished; // empty while running
    State state = State::Running;
    device::DeviceSet asFound;
    QVector<analysis::RawPoint> points;
    // After a write: what happened ("verified and committed", or why not) and the backup.
    QString writeOutcome;
    QString backup;
    std::optional<device::DeviceSet> asLeft; // read back after the write
    QString note; // why the run ended early, for the reader
};

// A departure from the method that the certificate must state: a capture on the operator's
// word, a skipped point, an interrupted attempt, an expired reference, a resumed run.
struct Deviation
{
    int point = -1; // the record's point, or -1 for the run as a whole
    QString what;
    QString reason;
    QString when; // ISO 8601 UTC
};
QVector<Deviation> deviations(const Record &record);
// The same from the record's analysis, made once by the caller.
QVector<Deviation> deviations(const Record &record, const analysis::Analysis &analysed);

// The record with everything computed from it, and its hash.
QJsonObject toJson(const Record &record);
// The same from the record's analysis, made once by the caller.
QJsonObject toJson(const Record &record, const analysis::Analysis &analysed);
// The raw members of a record; the computed ones are ignored (verify() compares them).
std::optional<Record> fromJson(const QJsonObject &object, procedure::Error *error);

// The bytes hashed: the object without "sha256", keys sorted, no whitespace, UTF-8.
QByteArray canonical(QJsonObject object);
QString sha256(const QJsonObject &object);
// The hex SHA-256 of a set as its calibration file holds it.
QString setHash(const device::DeviceSet &set);
QJsonObject setJson(const device::DeviceSet &set);
std::optional<device::DeviceSet> setFromJson(const QJsonValue &value);

// A time as the record writes it: UTC, ISO 8601 with milliseconds.
QString isoTime(qint64 msSinceEpoch);

// The record's name when none is given: the certificate's number, with what a file name
// cannot hold replaced, and ".json".
QString defaultFileName(const procedure::Procedure &procedure);

// Writes the record atomically: a new file renamed over the old one. Empty on success.
QString save(const QString &path, const Record &record);

// Reads a record file (bounded) as JSON; the error says why not: Unreadable when the file
// could not be read or is too large, Invalid when it is not a JSON object.
std::optional<QJsonObject> load(const QString &path, procedure::Error *error);

struct Verified
{
    bool ok = false;
    QString difference; // the first difference: where, recorded and recomputed
};

// Recomputes every statistic, the fit, the budgets and the results from the raw readings and
// the procedure, compares them with the record's, and checks the hash.
Verified verify(const QJsonObject &object);

// The procedure of a record, with the sensor's curve it kept; the error names the problem.
procedure::Parsed procedureOf(const Record &record);

} // namespace record
