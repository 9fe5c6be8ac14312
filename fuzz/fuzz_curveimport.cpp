// Any bytes as a sensor curve: either a clear refusal or 100 finite rows rising in temperature.
#include "curveimport.h"

#include <QBuffer>

#include <cfloat>
#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    const curveimport::Result result = curveimport::importStream(buffer);
    if (!result.ok()) {
        if (!result.rows.isEmpty())
            std::abort();
        return 0;
    }
    if (result.rows.size() != curveimport::TableRows)
        std::abort();
    for (const auto &row : result.rows) {
        for (double value : {row.first, row.second}) {
            if (!std::isfinite(value) || std::fabs(value) > double(FLT_MAX))
                std::abort();
        }
    }
    return 0;
}
