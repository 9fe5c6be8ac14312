#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// The instrument as lab frameworks reach it: SCPI over a socket, one line a program message,
// commands separated by ';', headers in their long or short form (MEASure:TEMPerature? or
// MEAS:TEMP?) in any case, and the replies to the queries of one line joined by ';' on one
// line. Errors wait in the standard queue that SYSTem:ERRor? reads.
namespace scpi {

// SCPI's stand-in for a number a query could not get (9.91E37, "not a number").
extern const QLatin1String NotANumber;

struct Error
{
    int code = 0;
    QString text;
    QString detail;  // after a semicolon in the reply, when there is one

    // -240,"Hardware error;the instrument did not answer"
    QString reply() const;
};

Error noError();
Error undefinedHeader(const QString &header);
Error commandProtected();
Error dataOutOfRange(const QString &detail);
Error hardwareError(const QString &detail);

// The error queue: oldest first, bounded; when it is full the newest error becomes
// -350,"Queue overflow", as the standard has it.
class ErrorQueue
{
public:
    static constexpr int Capacity = 16;

    void push(const Error &error);
    // The oldest error, or 0,"No error" when there is none.
    Error pop();
    void clear() { m_errors.clear(); }
    int size() const { return m_errors.size(); }

private:
    QVector<Error> m_errors;
};

// One command of a program message.
struct Command
{
    QString header;          // as sent, without a leading colon
    bool query = false;      // the header ends in '?'
    QStringList arguments;   // split at commas, trimmed
};

// The commands of one line, split at the semicolons.
QVector<Command> parse(const QString &line);
// Whether `header` names `pattern` (long form with the short form in capitals, such as
// "MEASure:TEMPerature?"), in either form and any case.
bool matches(const QString &header, const QString &pattern);

// What the session needs of the instrument: one exchange, a request and the reply's length.
// The reply, or failed with the reason; `refused` when another client holds the right to
// write.
struct Outcome
{
    bool ok = false;
    bool refused = false;
    QByteArray reply;
    QString error;
};
using Exchange = std::function<Outcome(const QByteArray &request, int replyLength)>;

// One client's SCPI conversation: its error queue, and each line turned into exchanges with
// the instrument and a reply line.
class Session
{
public:
    // `identity`: the *IDN? reply; `allowWrites`: whether the writing commands are taken.
    Session(const QString &identity, bool allowWrites, Exchange exchange);

    // The reply to one line, without its line break; empty when the line held no query.
    QString handle(const QString &line);
    const ErrorQueue &errors() const { return m_errors; }

private:
    // The reply to one query, or nothing for a command.
    QString run(const Command &command, bool *answered);
    QString readValues(quint8 code, int count);
    void write(const Command &command, quint8 writeCode, quint8 readCode, int count);
    bool exchange(const QByteArray &request, int replyLength, QByteArray *reply);

    QString m_identity;
    bool m_allowWrites;
    Exchange m_exchange;
    ErrorQueue m_errors;
};

} // namespace scpi
