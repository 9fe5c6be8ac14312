#pragma once

#include "record.h"

// Records of any size for the suites and benchmarks that read and write them: a sensor's
// calibration as found at `points` points between 20 K and 480 K on a manual reference, each
// point `samples` readings long, as the simulated instrument's factory table reads them.
// The record verifies.
namespace recordsupport {

record::Record largeRecord(int points, int samples);

} // namespace recordsupport
