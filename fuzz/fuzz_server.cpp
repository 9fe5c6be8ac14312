// What a server's client sends: the first byte chooses the raw protocol's framer or a SCPI
// session. Every framed request has the length its code fixes; a SCPI session answers within
// its bounds whatever the lines say, and its instrument is asked only for whole requests.
#include "protocol.h"
#include "requestframer.h"
#include "scpisession.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), int(size - 1));
    if (data[0] & 1) {
        RequestFramer framer;
        qint64 now = 0;
        for (int at = 0; at < bytes.size(); at += 7) {
            now += bytes.at(at) & 0x7f;
            for (const QByteArray &request : framer.feed(bytes.mid(at, 7), now).requests) {
                const auto command = protocol::commandOf(quint8(request.at(0)));
                if (!command || request.size() != protocol::requestLength(*command))
                    std::abort();
            }
        }
        return 0;
    }
    scpi::Session session(QStringLiteral("thermocal,instrument,FUZZ,0"), data[0] & 2);
    const scpi::Exchange exchange = [](const QByteArray &request, int replyLength) {
        const auto command = protocol::commandOf(quint8(request.at(0)));
        if (!command || request.size() != protocol::requestLength(*command))
            std::abort();
        scpi::Outcome outcome;
        outcome.ok = true;
        outcome.reply = QByteArray(replyLength, '\x01');
        return outcome;
    };
    for (const QByteArray &line : bytes.split('\n')) {
        session.handle(QString::fromUtf8(line), exchange);
        if (session.errors().size() > scpi::ErrorQueue::Capacity)
            std::abort();
    }
    return 0;
}
