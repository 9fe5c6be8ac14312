#include "commandset.h"

#include <QStringList>

#include <cmath>

namespace scpi {

namespace {

constexpr int RegisterMax = 255;
constexpr int HeaderLength = 64;
// The SCPI version this command set follows, as SYSTem:VERSion? gives it.
const QLatin1String ScpiVersion("1999.0");
// What *TST? answers: 0 passed, anything else failed.
constexpr int SelfTestPassed = 0;
constexpr int SelfTestFailure = 1;

const QString &registerRange()
{
    static const QString range = QStringLiteral("a register value from 0 to 255");
    return range;
}

// A register value of 0 to 255 for *ESE and *SRE; nothing, with the error queued, else.
std::optional<quint8> registerValue(const Command &command, Status &status)
{
    if (command.arguments.first().isEmpty()) {
        status.push(missingParameter(registerRange()));
        return std::nullopt;
    }
    if (command.arguments.size() > 1) {
        status.push(parameterNotAllowed(QStringLiteral("one register value")));
        return std::nullopt;
    }
    Error problem;
    const std::optional<double> value = numberOf(command.arguments.first(), &problem);
    if (!value) {
        status.push(problem);
        return std::nullopt;
    }
    const double rounded = std::round(*value);
    if (!(rounded >= 0 && rounded <= RegisterMax)) {
        status.push(dataOutOfRange(registerRange()));
        return std::nullopt;
    }
    return quint8(rounded);
}

QString number(int value)
{
    return QString::number(value);
}

} // namespace

const Row *CommandSet::find(const QString &header) const
{
    for (const Row &row : m_rows) {
        if (matches(header, row.form))
            return &row;
    }
    return nullptr;
}

Reply CommandSet::run(const Command &command, Status &status, bool mayWrite) const
{
    const Row *row = find(command.header);
    if (!row) {
        status.push(undefinedHeader(command.header));
        return std::nullopt;
    }
    // A query, or a command that takes nothing, given a parameter is refused whole: as the
    // standard has it, no reply, only the error.
    if (row->parameters == Parameters::None && !command.arguments.isEmpty()) {
        status.push(parameterNotAllowed(command.header.left(HeaderLength)));
        return std::nullopt;
    }
    if (row->access == Access::Write && !mayWrite) {
        status.push(commandProtected());
        return std::nullopt;
    }
    if (row->parameters == Parameters::Required && command.arguments.isEmpty()) {
        status.push(missingParameter(row->expected));
        return std::nullopt;
    }
    const Reply reply = row->handler(command, status);
    return command.query ? reply : std::nullopt;
}

QString CommandSet::handle(const QString &line, Status &status, bool mayWrite) const
{
    QStringList replies;
    for (const Command &command : parse(line)) {
        if (const Reply reply = run(command, status, mayWrite))
            replies.append(*reply);
    }
    return replies.join(QLatin1Char(';'));
}

QVector<Row> commonRows(const QString &identity, const SelfTest &selfTest)
{
    const auto popError = [](const Command &, Status &status) -> Reply { return status.popError().reply(); };
    return {
        {QStringLiteral("*IDN?"), Parameters::None, Access::Read,
         [identity](const Command &, Status &) -> Reply { return identity; }},
        // Nothing to reset: what the devices here keep (the instrument's set, a bath's set
        // point) is the operator's, not a default's; and IEEE 488.2 leaves the error queue,
        // the event register and the enables to *CLS and power-on.
        {QStringLiteral("*RST"), Parameters::None, Access::Read, [](const Command &, Status &) -> Reply { return std::nullopt; }},
        {QStringLiteral("*CLS"), Parameters::None, Access::Read,
         [](const Command &, Status &status) -> Reply {
             status.clear();
             return std::nullopt;
         }},
        {QStringLiteral("*ESE"), Parameters::Required, Access::Read,
         [](const Command &command, Status &status) -> Reply {
             if (const std::optional<quint8> value = registerValue(command, status))
                 status.setEventEnable(*value);
             return std::nullopt;
         },
         registerRange()},
        {QStringLiteral("*ESE?"), Parameters::None, Access::Read,
         [](const Command &, Status &status) -> Reply { return number(status.eventEnable()); }},
        {QStringLiteral("*ESR?"), Parameters::None, Access::Read,
         [](const Command &, Status &status) -> Reply { return number(status.takeEvents()); }},
        {QStringLiteral("*SRE"), Parameters::Required, Access::Read,
         [](const Command &command, Status &status) -> Reply {
             if (const std::optional<quint8> value = registerValue(command, status))
                 status.setServiceEnable(*value);
             return std::nullopt;
         },
         registerRange()},
        {QStringLiteral("*SRE?"), Parameters::None, Access::Read,
         [](const Command &, Status &status) -> Reply { return number(status.serviceEnable()); }},
        {QStringLiteral("*STB?"), Parameters::None, Access::Read,
         [](const Command &, Status &status) -> Reply { return number(status.statusByte()); }},
        // A client's commands run in order: whatever came before is done.
        {QStringLiteral("*OPC"), Parameters::None, Access::Read,
         [](const Command &, Status &status) -> Reply {
             status.operationComplete();
             return std::nullopt;
         }},
        {QStringLiteral("*OPC?"), Parameters::None, Access::Read,
         [](const Command &, Status &) -> Reply { return number(1); }},
        {QStringLiteral("*WAI"), Parameters::None, Access::Read, [](const Command &, Status &) -> Reply { return std::nullopt; }},
        {QStringLiteral("*TST?"), Parameters::None, Access::Read,
         [selfTest](const Command &, Status &status) -> Reply {
             const QString failure = selfTest ? selfTest() : QString();
             if (failure.isEmpty())
                 return number(SelfTestPassed);
             status.push(selfTestFailed(failure));
             return number(SelfTestFailure);
         }},
        {QStringLiteral("SYSTem:ERRor?"), Parameters::None, Access::Read, popError},
        {QStringLiteral("SYSTem:ERRor:NEXT?"), Parameters::None, Access::Read, popError},
        {QStringLiteral("SYSTem:ERRor:COUNt?"), Parameters::None, Access::Read,
         [](const Command &, Status &status) -> Reply { return number(status.errors().size()); }},
        {QStringLiteral("SYSTem:VERSion?"), Parameters::None, Access::Read,
         [](const Command &, Status &) -> Reply { return QString(ScpiVersion); }},
    };
}

} // namespace scpi
