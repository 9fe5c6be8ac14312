#include "status.h"

namespace scpi {

namespace {
constexpr int QueryErrors = -400;
constexpr int DeviceErrors = -300;
constexpr int ExecutionErrors = -200;
constexpr int CommandErrors = -100;
} // namespace

quint8 eventBitOf(int code)
{
    if (code <= QueryErrors)
        return QueryError;
    if (code <= DeviceErrors)
        return DeviceDependentError;
    if (code <= ExecutionErrors)
        return ExecutionError;
    if (code <= CommandErrors)
        return CommandError;
    return 0;
}

void Status::push(const Error &error)
{
    m_events |= eventBitOf(error.code);
    m_errors.push(error);
}

void Status::clear()
{
    m_errors.clear();
    m_events = 0;
}

quint8 Status::takeEvents()
{
    const quint8 events = m_events;
    m_events = 0;
    return events;
}

quint8 Status::statusByte() const
{
    quint8 status = 0;
    if (m_errors.size() > 0)
        status |= ErrorAvailable;
    if (m_events & m_eventEnable)
        status |= EventSummary;
    if (status & m_serviceEnable & ~MasterSummary)
        status |= MasterSummary;
    return status;
}

} // namespace scpi
