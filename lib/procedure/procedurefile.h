#pragma once

#include <QByteArray>
#include <QDate>
#include <QJsonObject>
#include <QString>
#include <QVector>

#include <optional>

#include "error.h"
#include "tablespacing.h"

// The procedure file of a calibration by comparison: what is calibrated (the sensor's table
// or the ADC constants), at which points, against which reference, how stability is judged,
// the tolerance and decision rule, the extra uncertainty components and the certificate's
// texts. Strict: a member it does not know is refused by name.
namespace procedure {

enum class Kind { Sensor, Adc };
enum class Distribution { Normal, Rectangular, UShaped };
enum class DecisionRule { Simple, Guarded };
// The unit a reference answers in; temperatures in C are turned into K.
enum class Unit { Kelvin, Celsius, Volt };

// The port name that makes the operator the reference readout, typing each reading.
const QString ManualPort = QStringLiteral("manual");

struct ReferenceCertificate
{
    QString number;
    QString issuer; // the laboratory that calibrated the reference
    QString sha256; // of the certificate's file, when the procedure gives it
    double expandedUncertainty = 0.0; // in K or V by kind
    double k = 2.0;
    QDate due;
};

struct Reference
{
    // What the reference is, for the certificate's traceability statement.
    QString make;
    QString model;
    QString serialNumber;
    QString port;  // socket://HOST:PORT, a serial port's name, or "manual"
    QString query;
    Unit unit = Unit::Kelvin;
    bool identify = false;
    ReferenceCertificate certificate;
    double drift = 0.0;      // half-width, in K or V
    double resolution = 0.0; // the readout's last digit, in K or V
    QString pattern;         // a regular expression for an odd readout's answer; empty: the usual forms
};

struct Source
{
    QString port;
    QString set;          // the command, with {K}, {C} or {V} for the nominal value
    double settle = 0.0;  // seconds to wait after setting, before judging stability
};

struct Stability
{
    double interval = 1.0; // s between two readings of both channels
    double window = 300.0; // s judged
    double slope = 0.005;  // per minute
    double sd = 0.010;
    int samples = 10;      // paired readings captured once stable
    double timeout = 3600.0;
    // s one reference value may repeat exactly before the readout counts as frozen (at most
    // a window): a live readout's last digit moves well within a minute.
    double stale = 60.0;
};

struct Component
{
    QString name;
    double value = 0.0; // half-width, or an expanded uncertainty with its k for normal
    Distribution distribution = Distribution::Normal;
    double k = 2.0;
};

struct CertificateTexts
{
    QString number, lab, address, customer, item, procedure, operatorName, ambient;
    // What a machine-readable certificate needs besides: the laboratory's country (ISO 3166-1
    // alpha-2) and city, and the certificate's language (ISO 639-1). Optional for a run.
    QString country, city, language;
};

// What a run refuses before anything is written: a reference reading this far from the point's
// nominal value (a readout in another unit, a bath left at another temperature), and a new set
// that changes a reading at a point by more than this. In K or V by kind.
struct Bounds
{
    double reading = 0.0;
    double adjustment = 0.0;
};

// The sensor's own curve file, as read when the run starts: the new table starts from it
// rather than from the instrument's present 100 rows. The record keeps it whole.
struct SensorCurve
{
    QString file;   // as the procedure names it
    QString sha256; // of the file's bytes
    QVector<QPair<double, double>> points; // (V, K), as the file lists them
};

struct Procedure
{
    Kind kind = Kind::Sensor;
    QVector<double> points;       // nominal values in K (sensor) or V (adc), in order of the run
    QVector<double> asLeftPoints; // measured again after writing
    Reference reference;
    std::optional<Source> source;
    Stability stability;
    double tolerance = 0.0;
    DecisionRule rule = DecisionRule::Simple;
    QVector<Component> uncertainty;
    CertificateTexts certificate;
    Bounds bounds;
    QString curveFile;                             // the sensor's curve, when named
    std::optional<SensorCurve> curve;              // and its points, once read
    std::optional<tablespacing::Spacing> spacing;  // of the new table's rows, when given
    int degree = 0;               // of the least-squares polynomial (sensor, 4 points or more)
    QJsonObject json;             // the file as given, kept in the record
};

struct Parsed
{
    std::optional<Procedure> procedure;
    Error error; // why there is none, with the member to blame
};

Parsed parse(const QJsonObject &object);
Parsed parse(const QByteArray &bytes);
Parsed readFile(const QString &path);

// Reads the curve file the procedure names (relative to `directory`) into its `curve`; the
// error names the file and says why not (Unreadable when the file could not be read, Invalid
// when it held no curve). Nothing to do when it names none.
Error loadCurve(Procedure &procedure, const QString &directory);
// The spacing of the new table's rows: as given, else by curvature from a sensor's curve and
// geometric from the instrument's present rows, whose points are all there is between them.
tablespacing::Spacing tableSpacing(const Procedure &procedure);

// The bounds a procedure gets when it names none: far beyond a real bath's or sensor's
// deviation, far below the 273.15 K of a readout in C behind a procedure in K (or a factor of
// a thousand between mV and V).
Bounds defaultBounds(Kind kind);

// The fewest points a fit of the kind takes.
int fewestPoints(Kind kind);
// The polynomial's degree the sensor fit uses for `points` points (1 to 3 are interpolated).
int fitDegree(const Procedure &procedure);
// The as-left points in the order the run measures them: the order of the procedure's points.
QVector<double> asLeftInRunOrder(const Procedure &procedure);
// The set point or reading of `value` in `unit`: K as is, C from K, V as is.
double inUnit(double value, Unit unit);
QString unitSymbol(Unit unit);
QString kindName(Kind kind);
// The unit the kind's points are in: "K" or "V".
QString pointUnit(Kind kind);
// The decimals a reading of this kind is shown with: microvolts, or a tenth of a millikelvin.
int readingDecimals(Kind kind);
QString distributionName(Distribution distribution);
QString ruleName(DecisionRule rule);

} // namespace procedure
