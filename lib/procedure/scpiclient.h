#pragma once

#include "procedurefile.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>

namespace ports {
class Port;
}

// The bench's other devices as the run talks to them: a reference readout and a bath (or a
// voltage calibrator), each on a port the user names as for the instrument (socket://HOST:PORT
// or a serial port), one SCPI program message per line.
namespace scpiclient {

// How long a device gets to answer a query: readouts that integrate take up to a second.
constexpr int ReplyTimeoutMs = 2000;
// The longest answer taken; a device that sends more without a line end is refused.
constexpr int LongestReply = 4096;

class Client
{
public:
    explicit Client(std::unique_ptr<ports::Port> port);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Opens the port `name` names; nothing, with the reason in `error`, when it does not open.
    // Every failure of the client is a Device error.
    static std::unique_ptr<Client> open(const QString &name, procedure::Error *error);

    // Sends one line (the line end is added). False with the reason when it could not go.
    bool send(const QByteArray &line, procedure::Error *error);
    // Sends a query and waits for one answer line (without its end), at most `timeoutMs`, or
    // until `stop` is set. Nothing, with the reason, on no answer or a lost port.
    std::optional<QByteArray> ask(const QByteArray &query, const std::atomic<bool> *stop, procedure::Error *error,
                                  int timeoutMs = ReplyTimeoutMs);

private:
    std::unique_ptr<ports::Port> m_port;
    QByteArray m_buffer;
};

// The reading in a readout's answer: "77.352", "t: 25.587 C", "231.928,C,4,...", the first
// number after a channel's label ("CH1: 25.1 CEL" reads 25.1).
std::optional<double> firstNumber(const QByteArray &reply);
// The unit named after the reading, wherever it stands after it (K, KEL, C, CEL, °C, deg C,
// V, VOLT, mV); nothing when the answer names none.
std::optional<procedure::Unit> unitAfterNumber(const QByteArray &reply);

// Why `pattern` cannot find a reading (not a regular expression, or no group); empty when it can.
QString patternProblem(const QString &pattern);

// A reading of the reference from its answer, in the unit the procedure names (mV in V);
// nothing, with the reason quoting the answer, for an answer without a number or in another
// unit. A procedure's own `pattern` finds the reading in its group named "value" (or its
// first), and the unit in a group named "unit" or after the match.
std::optional<double> reading(const QByteArray &reply, procedure::Unit unit, procedure::Error *error, const QString &pattern = QString());

// The set command with {K}, {C} or {V} replaced by the nominal value (in K or V).
QByteArray setCommand(const QString &pattern, double nominal);

} // namespace scpiclient
