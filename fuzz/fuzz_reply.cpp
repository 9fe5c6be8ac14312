// The reply handling over a real pseudo-terminal: the instrument's side sends whatever the
// input says, cut into whatever pieces it says, and the query must either give exactly the
// reply's values or none, never crash and never wait beyond its deadline.
#include "ports.h"
#include "protocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPort>

#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int FuzzReplyTimeoutMs = 15;
const protocol::Command ReadCommands[] = {protocol::Command::ReadVoltage, protocol::Command::ReadTemperature,
                                          protocol::Command::ReadAdc, protocol::Command::ReadDac,
                                          protocol::Command::ReadTable};

struct Terminal
{
    int master = -1;
    QSerialPort *port = nullptr;
};

Terminal &terminal()
{
    static Terminal t = [] {
        static int argc = 1;
        static char name[] = "fuzz_reply";
        static char *argv[] = {name, nullptr};
        static QCoreApplication application(argc, argv);
        Terminal made;
        made.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::grantpt(made.master);
        ::unlockpt(made.master);
        made.port = new QSerialPort(QString::fromLocal8Bit(::ptsname(made.master)));
        made.port->setBaudRate(500000);
        if (!made.port->open(QIODevice::ReadWrite))
            std::abort();
        return made;
    }();
    return t;
}

// Waits for the request, then plays the input back as the instrument's answer.
void answer(int master, int requestLength, QByteArray stream)
{
    QByteArray request;
    while (request.size() < requestLength) {
        pollfd in{master, POLLIN, 0};
        if (::poll(&in, 1, 1000) <= 0)
            return;
        char buffer[64];
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got <= 0)
            return;
        request.append(buffer, int(got));
    }
    while (!stream.isEmpty()) {
        const int piece = 1 + quint8(stream.at(0)) % 128;
        const QByteArray bytes = stream.mid(1, piece);
        stream.remove(0, 1 + piece);
        // A full terminal drops the rest, as a link would; the query must cope either way.
        if (!bytes.isEmpty() && ::write(master, bytes.constData(), size_t(bytes.size())) < 0)
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    Terminal &t = terminal();
    const protocol::Command command = ReadCommands[data[0] % 5];
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));

    std::thread instrument(answer, t.master, 2, stream);
    ports::SerialPort port(t.port);
    protocol::Link link(&port, FuzzReplyTimeoutMs);
    QElapsedTimer clock;
    clock.start();
    const auto values = link.query(command);
    const qint64 took = clock.elapsed();
    instrument.join();

    if (values && values->size() != protocol::replyValueCount(command))
        std::abort();
    if (!values && link.failure() != protocol::LinkFailure::NoAnswer)
        std::abort();
    if (took > FuzzReplyTimeoutMs + 200)
        std::abort();
    return 0;
}
