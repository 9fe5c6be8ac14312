// Any bytes as a calibration file: never crash, and what loads saves and loads back the same.
#include "calibrationfile.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const std::optional<CalibrationSet> set = calibrationfile::parse(bytes);
    if (!set)
        return 0;
    const double constants[] = {set->adcSlope, set->adcIntercept, set->dacSlope, set->dacIntercept};
    for (double value : constants) {
        if (!std::isfinite(value))
            std::abort();
    }
    for (const auto &row : set->table) {
        if (!std::isfinite(row.first) || !std::isfinite(row.second))
            std::abort();
    }
    const std::optional<CalibrationSet> again = calibrationfile::parse(calibrationfile::serialize(*set));
    if (!again || again->table.size() != set->table.size() || again->adcSlope != set->adcSlope
        || again->dacIntercept != set->dacIntercept)
        std::abort();
    return 0;
}
