#pragma once

#include "calibrationset.h"

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

#include <optional>

namespace ports {
class Port;
}

// The instrument's request-reply protocol: a request is a command code, a 0x00 byte (except
// for the EEPROM commit) and, for the writing commands, single-precision numbers; a reply is
// a fixed number of single-precision numbers. All numbers are IEEE 754 binary32, least
// significant byte first. There is no framing, length field or checksum.
namespace protocol {

constexpr int ReplyTimeoutMs = 100;  // longest wait for a whole reply, counted from the flush
constexpr int WritePacingMs = 100;   // shortest pause after each write command
using ::TableRows;
constexpr int FloatSize = 4;

enum class Command : quint8 {
    ReadVoltage = 0x01,
    ReadTemperature = 0x02,
    ReadAdc = 0x06,
    WriteAdc = 0x07,
    ReadDac = 0x08,
    WriteDac = 0x09,
    ReadTable = 0x0A,
    WriteTable = 0x0B,
    CommitEeprom = 0x0C,
};

// How many numbers the reply to a reading command holds (0 for the other commands).
int replyValueCount(Command command);
// The reply's length in bytes: 4, 8 or 800 for the reading commands, 0 otherwise.
int replyLength(Command command);
// How many numbers a writing command carries (2, 2 or 200; 0 for the other commands).
int payloadValueCount(Command command);

// The command that `code` names, if it is one of the nine.
std::optional<Command> commandOf(quint8 code);
// The request's length in bytes: the code, the argument byte and the payload (1 for the
// commit, 2 for the reading commands, 10, 10 or 802 for the writing ones).
int requestLength(Command command);
// True for the three writes and the commit: what changes the instrument's set.
bool isWrite(Command command);

void appendFloat(QByteArray &bytes, float value);
// The first `count` numbers of `bytes`; empty when `bytes` is shorter than that.
QVector<float> decodeFloats(const QByteArray &bytes, int count);

// The request for `command`. A writing command needs exactly payloadValueCount() values;
// the commit is the code alone.
QByteArray request(Command command, const QVector<float> &payload = {});
// The table write, rows of (voltage, temperature) in order.
QByteArray tableRequest(const QVector<QPair<float, float>> &rows);
QVector<QPair<float, float>> decodeTable(const QVector<float> &values);

// What went wrong during one device action, in rising order of importance: when several
// things fail, the most important one is reported.
enum class LinkFailure { None, NoAnswer, WriteFailed, ConnectionLost, NotConnected };
QString message(LinkFailure failure);

// The exchanges of one device action on the instrument port. Each exchange goes ahead only
// while the port is usable and no earlier exchange of the action has failed; failure()
// tells the most important thing that went wrong.
class Link
{
public:
    // The reply time is fixed by the protocol; only fuzzing shortens it to go faster.
    explicit Link(ports::Port *port, int replyTimeoutMs = ReplyTimeoutMs);
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
    // An action whose queries were all answered tells the port that its peer is the
    // instrument (ports::Port::noteAnswered()).
    ~Link();

    // Sends a reading request and waits until its whole reply has arrived or the reply time
    // is up. Bytes waiting before the request (late fragments, answers to write commands)
    // are discarded first so they are never taken for this reply; a peer that goes on
    // talking past the discard's limits gets no request, and the query fails as unanswered.
    // Bytes beyond the reply's length are left for the next discard. No value when the
    // reply is incomplete.
    std::optional<QVector<float>> query(Command command);
    // Sends a write request and lets at least WritePacingMs pass, processing events, so the
    // window stays live while the instrument digests the request.
    void pacedSend(const QByteArray &request);
    // Sends and returns at once.
    void plainSend(const QByteArray &request);

    LinkFailure failure() const { return m_failure; }

private:
    bool usable();
    bool send(const QByteArray &request);
    void fail(LinkFailure failure);

    ports::Port *m_port;
    int m_replyTimeoutMs;
    bool m_wasOpen;  // tells a port that went away during the action from one already gone
    bool m_answered = false;  // a query got its whole reply
    LinkFailure m_failure = LinkFailure::None;
};

} // namespace protocol
