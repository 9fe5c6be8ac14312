#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// SCPI as the instruments here speak it: one line a program message, commands separated by
// ';', headers in their long or short form (MEASure:TEMPerature? or MEAS:TEMP?) in any case,
// and errors waiting in the standard queue that SYSTem:ERRor? reads.
namespace scpi {

// SCPI's stand-in for a number a query could not get (9.91E37, "not a number").
extern const QLatin1String NotANumber;
// Whether `value` is that stand-in, however many digits the device wrote it with.
bool isNotANumber(double value);

struct Error
{
    int code = 0;
    QString text;
    QString detail;  // after a semicolon in the reply, when there is one

    // -240,"Hardware error;the instrument did not answer"
    QString reply() const;
};

// The codes callers decide by.
constexpr int NoErrorCode = 0;
constexpr int DataTypeErrorCode = -104;
constexpr int ParameterNotAllowedCode = -108;
constexpr int MissingParameterCode = -109;
constexpr int UndefinedHeaderCode = -113;
constexpr int CommandProtectedCode = -203;
constexpr int DataOutOfRangeCode = -222;
constexpr int HardwareErrorCode = -240;
constexpr int SelfTestFailedCode = -330;
constexpr int QueueOverflowCode = -350;

Error noError();
Error undefinedHeader(const QString &header);
Error commandProtected();
Error dataOutOfRange(const QString &detail);
Error hardwareError(const QString &detail);
Error dataTypeError(const QString &detail);
Error parameterNotAllowed(const QString &detail);
Error missingParameter(const QString &detail);
Error selfTestFailed(const QString &detail);

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

// One numeric parameter, as the device's own range check will judge it (an infinity
// included); nothing, with the error, when it is empty or no number at all.
std::optional<double> numberOf(const QString &argument, Error *error);

} // namespace scpi
