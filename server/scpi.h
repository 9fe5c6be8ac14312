#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <optional>

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
Error dataTypeError(const QString &detail);
Error parameterNotAllowed(const QString &detail);
Error missingParameter(const QString &detail);
Error selfTestFailed(const QString &detail);

// The Standard Event Status Register's bits (IEEE 488.2): an error sets the bit of its
// class, *OPC sets the first.
enum EventBit : quint8 {
    OperationComplete = 0x01,
    QueryError = 0x04,          // -4xx
    DeviceDependentError = 0x08, // -3xx
    ExecutionError = 0x10,      // -2xx
    CommandError = 0x20,        // -1xx
};
// The status byte's bits: an error waiting in the queue, an enabled event, and the summary
// of both against the service request enable mask.
enum StatusBit : quint8 {
    ErrorAvailable = 0x04,
    EventSummary = 0x20,
    MasterSummary = 0x40,
};
// The event bit that an error's code sets; 0 for "No error".
quint8 eventBitOf(int code);

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

// One client's SCPI conversation: its error queue and status registers, and each line
// turned into exchanges with the instrument and a reply line. The common commands of IEEE
// 488.2 that frameworks send on their own (*RST, *CLS, *OPC?, *STB?, *ESR? ...) are
// answered here; a client's lines run one after another, so *OPC? and *WAI find every
// earlier command done.
class Session
{
public:
    // `identity`: the *IDN? reply; `allowWrites`: whether the writing commands are taken.
    Session(const QString &identity, bool allowWrites);

    // The reply to one line, without its line break, the instrument reached through
    // `exchange`; empty when the line held no query.
    QString handle(const QString &line, const Exchange &exchange);
    const ErrorQueue &errors() const { return m_errors; }
    quint8 statusByte() const;

private:
    // The reply to one query, or nothing for a command.
    QString run(const Command &command, bool *answered);
    bool runCommon(const Command &command, QString *reply);
    QString readValues(quint8 code, int count);
    void write(const Command &command, quint8 writeCode, quint8 readCode, int count);
    bool exchange(const QByteArray &request, int replyLength, QByteArray *reply);
    void push(const Error &error);
    // A register value of 0 to 255 for *ESE and *SRE; nothing, with the error queued, else.
    std::optional<quint8> registerValue(const Command &command);

    QString m_identity;
    bool m_allowWrites;
    const Exchange *m_exchange = nullptr;  // the line's, while it runs
    ErrorQueue m_errors;
    quint8 m_events = 0;        // Standard Event Status Register
    quint8 m_eventEnable = 0;   // *ESE
    quint8 m_serviceEnable = 0; // *SRE
};

} // namespace scpi
