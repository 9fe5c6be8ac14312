#pragma once

#include "scpi.h"
#include "status.h"

#include <QString>
#include <QVector>

#include <functional>
#include <optional>
#include <utility>

namespace scpi {

enum class Parameters { None, Required };
// Whether a command changes what the device keeps, and so needs the client's right to write.
enum class Access { Read, Write };

// What a handler gives: a query's reply; nothing for a command, or for a query whose error
// went to the queue instead (as the standard has it, such a query gets no reply).
using Reply = std::optional<QString>;
using Handler = std::function<Reply(const Command &command, Status &status)>;

// One command a device takes: its form (long with the short form in capitals, such as
// "MEASure:TEMPerature?"), whether it takes parameters, whether it needs the right to write,
// and what it does.
struct Row
{
    Row(const QString &form, Parameters parameters, Access access, Handler handler, const QString &expected = QString())
        : form(form), parameters(parameters), access(access), handler(std::move(handler)), expected(expected)
    {
    }

    QString form;
    Parameters parameters = Parameters::None;
    Access access = Access::Read;
    Handler handler;
    // For a row that takes parameters: what the missing-parameter error says was due.
    QString expected;
};

// A device's commands, one row each. It decides what no single command should: a header
// that names no row, a parameter given to a command that takes none, a write from a client
// without the right, a parameter missing; each is refused with its error queued in the
// client's status, and its handler never runs.
class CommandSet
{
public:
    CommandSet() = default;
    explicit CommandSet(const QVector<Row> &rows) : m_rows(rows) {}

    void add(const QVector<Row> &rows) { m_rows += rows; }
    // The row `header` names, in either form; nullptr when none does.
    const Row *find(const QString &header) const;

    // The reply to one command, or nothing for a command or a refused query.
    Reply run(const Command &command, Status &status, bool mayWrite) const;
    // The reply line to one program message, the replies of its queries joined by ';',
    // without a line end; empty when no query was answered. A client's commands run in
    // order, so *OPC? and *WAI find every earlier command done.
    QString handle(const QString &line, Status &status, bool mayWrite) const;

private:
    QVector<Row> m_rows;
};

// *TST?'s self-test: empty when it passed, otherwise why it failed.
using SelfTest = std::function<QString()>;

// The common commands of IEEE 488.2 that frameworks send on their own (*IDN?, *RST, *CLS,
// *ESE, *ESE?, *ESR?, *SRE, *SRE?, *STB?, *OPC, *OPC?, *WAI, *TST?) and the SYSTem
// subsystem's error queue and version, for a device that identifies as `identity`. Without
// `selfTest`, *TST? passes.
QVector<Row> commonRows(const QString &identity, const SelfTest &selfTest = {});

} // namespace scpi
