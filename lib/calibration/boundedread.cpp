#include "boundedread.h"

#include <QIODevice>

#include <algorithm>

namespace boundedread {

namespace {

constexpr qint64 ChunkBytes = 1024 * 1024;

} // namespace

Bytes readAtMost(QIODevice &device, qint64 limit)
{
    if (!device.isSequential() && device.size() - device.pos() > limit)
        return {{}, End::TooLarge};
    // One allocation for the whole file: growing by doubling would hold the old and the new
    // buffer at once near the limit. Only the pages written take memory.
    const qint64 expected = device.isSequential() ? limit : device.size() - device.pos();
    QByteArray bytes;
    bytes.reserve(int(std::min(expected, limit) + ChunkBytes));
    for (;;) {
        const int start = bytes.size();
        bytes.resize(start + int(ChunkBytes));
        const qint64 count = device.read(bytes.data() + start, ChunkBytes);
        if (count < 0)
            return {{}, End::Failed};
        bytes.resize(start + int(count));
        if (bytes.size() > limit)
            return {{}, End::TooLarge};
        if (count == 0)
            break;
    }
    // A device that gave nothing while claiming more is to come has had a read error.
    if (!device.atEnd())
        return {{}, End::Failed};
    return {bytes, End::Complete};
}

} // namespace boundedread
