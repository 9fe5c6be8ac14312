// Any byte stream, cut anywhere, into the simulated instrument's request parser: every byte
// ends up in exactly one request, whatever the cuts.
#include "firmware.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses how the rest is cut into pieces.
    const int piece = 1 + data[0] % 97;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));

    sim::Firmware firmware;
    int consumed = 0;
    for (int at = 0; at < stream.size(); at += piece) {
        const auto handled = firmware.feed(stream.mid(at, piece), at);
        for (const auto &one : handled) {
            if (stream.mid(consumed, one.request.bytes.size()) != one.request.bytes)
                std::abort();
            consumed += one.request.bytes.size();
        }
    }
    // What is left over is the start of one unfinished request.
    const int left = stream.size() - consumed;
    if (left < 0 || (left > 0 && left >= sim::Firmware::requestLength(quint8(stream.at(consumed)))))
        std::abort();
    return 0;
}
