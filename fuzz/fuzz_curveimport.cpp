// Any bytes as a sensor curve: either a clear refusal or 100 finite rows rising in temperature,
// in the window's geometric spacing; placed by curvature, either a refusal or 100 rows that
// start and end on the curve's ends and stay strictly monotonic in single precision.
#include "curveimport.h"
#include "tablespacing.h"

#include <QBuffer>

#include <cfloat>
#include <cmath>
#include <cstdlib>

namespace {

// Placing rows by curvature costs some microseconds per point; larger curves would only
// slow the search down.
constexpr int MostPointsToPlace = 20000;

void checkFinite(const curveimport::Result &result)
{
    if (!result.ok()) {
        if (!result.rows.isEmpty())
            std::abort();
        return;
    }
    if (result.rows.size() != curveimport::TableRows)
        std::abort();
    for (const auto &row : result.rows) {
        for (double value : {row.first, row.second}) {
            if (!std::isfinite(value) || std::fabs(value) > double(FLT_MAX))
                std::abort();
        }
    }
}

void checkPlacedByCurvature(const QVector<curveimport::Point> &points)
{
    const curveimport::Result result = tablespacing::byCurvature(points);
    checkFinite(result);
    if (!result.ok())
        return;
    const QVector<curveimport::Point> sorted = curveimport::sortedAndMerged(points);
    if (result.rows.first() != sorted.first() || result.rows.last() != sorted.last())
        std::abort();
    const float direction = float(result.rows.last().first) > float(result.rows.first().first) ? 1.0f : -1.0f;
    for (int row = 1; row < result.rows.size(); ++row) {
        const auto &a = result.rows.at(row - 1);
        const auto &b = result.rows.at(row);
        if (!(float(b.second) > float(a.second)) || !((float(b.first) - float(a.first)) * direction > 0.0f))
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    checkFinite(curveimport::importStream(buffer));
    buffer.seek(0);
    const curveimport::Curve curve = curveimport::readPoints(buffer);
    if (curve.ok() && curve.points.size() <= MostPointsToPlace)
        checkPlacedByCurvature(curve.points);
    return 0;
}
