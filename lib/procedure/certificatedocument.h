#pragma once

#include "analysis.h"
#include "record.h"
#include "stating.h"

#include <QDate>
#include <QJsonObject>
#include <QString>
#include <QVector>

#include <optional>

// The certificate of a record as data: everything the PDF and the machine-readable certificate
// show, computed once from the record. The numbers are kept at the record's full precision; the
// sentences are the certificate's own words with those numbers in them. Whatever lays a
// certificate out reads this and computes nothing of its own.
namespace certificate {

// One row of a results table.
struct StatedRow
{
    double nominal = 0.0;
    double reference = 0.0;  // the reference's mean, in K or V
    double instrument = 0.0; // the instrument's mean reading, or the reading the proposed set would give
    double error = 0.0;      // instrument minus reference
    double expanded = 0.0;   // U
    double k = 0.0;
    analysis::Decision decision = analysis::Decision::Fail; // of a measured row only
};

// The results of one phase: as found, as left, or the errors the proposed set would give at the
// as-found points (predicted, not measured).
struct ResultTable
{
    analysis::Phase phase = analysis::Phase::AsFound;
    bool predicted = false;
    QVector<StatedRow> rows;
    stating::Unit stated; // the unit the table's errors and U are stated in
    double finest = 0.0;  // its smallest U, the decimal place its tolerance is written to
};

// The sentences the certificate states, each empty when it has nothing to say.
struct Sentences
{
    QString method;         // how the points were measured and judged
    QString traceability;   // the reference, who calibrated it, its certificate and due date
    QString rule;           // the decision rule in words
    QString uncertainty;    // how U is formed
    QString adjustment;     // the new constants or table
    QString betweenPoints;  // U over the calibrated range, or why it is not established
    QString written;        // what writing to the instrument did
    QString calibrated;     // what was calibrated: the constants or the table
    QString referenceIdentity; // the reference as named and as it answered
};

struct Document
{
    procedure::Procedure procedure;
    analysis::Analysis analysis;
    analysis::Changes changes;             // what the proposed set does at the as-found points
    QVector<record::Deviation> deviations; // departures from the method
    QJsonObject record;                    // the record with everything computed, as its file holds it
    QString hash;                          // its SHA-256

    // The record's own, as it holds them.
    QString software;
    QString port;
    QString serialNumber;
    QString started;
    QString finished;
    device::DeviceSet asFound;
    std::optional<device::DeviceSet> asLeft; // after a write: the set read back
    QString asFoundHash;
    QString asLeftHash;
    QDate issued;

    bool written = false;        // the proposed set was written
    bool asLeftMeasured = false; // and at least one point was measured again
    ResultTable found;
    ResultTable predicted;       // without a write: the proposed set's errors; empty otherwise
    ResultTable left;            // after a write
    Sentences sentences;
};

struct Built
{
    std::optional<Document> document;
    procedure::Error error; // why not: the record's procedure cannot be read
};

// Analyses the record once and keeps everything the certificate needs. `issued` is the date of
// issue the certificate states.
Built build(const record::Record &record, const QDate &issued = QDate::currentDate());

} // namespace certificate
