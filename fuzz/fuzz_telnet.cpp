// Any bytes from an RFC 2217 server, cut anywhere, into the Telnet decoder: the data and the
// commands that come out do not depend on the cuts, and data escaped for the wire decodes
// to itself.
#include "rfc2217.h"

#include <cstdlib>

namespace {

void decode(const QByteArray &stream, int piece, QByteArray *data, QVector<rfc2217::TelnetCommand> *commands)
{
    rfc2217::Decoder decoder;
    for (int at = 0; at < stream.size(); at += piece) {
        decoder.feed(stream.mid(at, piece));
        *data += decoder.takeData();
        *commands += decoder.takeCommands();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses how the rest is cut into pieces.
    const int piece = 1 + data[0] % 31;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));

    QByteArray whole;
    QByteArray cut;
    QVector<rfc2217::TelnetCommand> wholeCommands;
    QVector<rfc2217::TelnetCommand> cutCommands;
    decode(stream, qMax(1, stream.size()), &whole, &wholeCommands);
    decode(stream, piece, &cut, &cutCommands);
    if (whole != cut || wholeCommands != cutCommands)
        std::abort();

    QByteArray back;
    QVector<rfc2217::TelnetCommand> none;
    decode(rfc2217::escape(stream), piece, &back, &none);
    if (back != stream || !none.isEmpty())
        std::abort();
    return 0;
}
