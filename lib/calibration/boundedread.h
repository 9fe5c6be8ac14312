#pragma once

#include <QByteArray>

class QIODevice;

// Reading a file whose size is not to be trusted: a very large file chosen by mistake, or a
// device or pipe that never ends, must not take all the memory.
namespace boundedread {

enum class End {
    Complete,  // the device ended within the limit
    Failed,    // a read error; the bytes before it are not the whole file
    TooLarge,  // more than the limit; reading stopped there
};

struct Bytes
{
    QByteArray bytes; // all of them when Complete; empty otherwise
    End end = End::Failed;
};

// Reads `device` to its end, in chunks, never holding much more than `limit` bytes. A file of
// known size above the limit is refused before anything is read.
Bytes readAtMost(QIODevice &device, qint64 limit);

} // namespace boundedread
