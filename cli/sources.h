#pragma once

#include "curveimport.h"
#include "instrumentport.h"

#include <QPair>
#include <QString>
#include <QVector>


namespace device {
struct DeviceSet;
}

// Where thermocal-cli's commands take their data from: calibration files, the instrument,
// sensor curve files.
namespace cli {

// True for the word 'instrument', which names the instrument as the source of a set; any
// other source is a file.
bool namesInstrument(const QString &source);

// Whether a set read as the source of constants for a new file may have a slope of 0.
enum class Slopes { Any, NonZero };

// A calibration file checked strictly; on failure says why and returns the status.
int readCalibrationFile(const QString &path, Slopes slopes, device::DeviceSet *set);

// The calibration set of `source`: a calibration file, checked strictly, or the instrument
// on `port` (opened here unless already open). With Slopes::NonZero, as the source of the
// constants for a new file, a slope of 0 is refused too: it would collapse every reading of
// the instrument that gets the file.
int readSource(const QString &source, const QString &requestedPort, Port &port, Slopes slopes,
               device::DeviceSet *set);

// A sensor curve file read with the import's rules; prints nothing on success.
int readCurve(const QString &path, curveimport::Curve *curve);

// The table of `set` as (voltage, temperature) rows, each value the double that the
// shortest decimal of its single-precision value spells.
QVector<QPair<double, double>> tableOf(const device::DeviceSet &set);

} // namespace cli
