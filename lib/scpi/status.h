#pragma once

#include "scpi.h"

#include <QtGlobal>

namespace scpi {

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

// One client's status, as IEEE 488.2 keeps it per connection: its error queue, the event
// register and the two enable masks. *CLS and power-on (a new client) clear them; *RST
// leaves them, so that a framework's *RST at start-up does not lose a client's enables.
class Status
{
public:
    // Queues the error and sets the event bit of its class.
    void push(const Error &error);
    Error popError() { return m_errors.pop(); }
    const ErrorQueue &errors() const { return m_errors; }

    // *CLS: the queue and the event register, not the enables.
    void clear();
    void operationComplete() { m_events |= OperationComplete; }
    quint8 events() const { return m_events; }
    // *ESR?: the register, which reading clears.
    quint8 takeEvents();
    quint8 eventEnable() const { return m_eventEnable; }
    void setEventEnable(quint8 mask) { m_eventEnable = mask; }
    quint8 serviceEnable() const { return m_serviceEnable; }
    // The summary bit is the status byte's own and cannot be enabled.
    void setServiceEnable(quint8 mask) { m_serviceEnable = quint8(mask & ~MasterSummary); }
    // *STB?
    quint8 statusByte() const;

private:
    ErrorQueue m_errors;
    quint8 m_events = 0;        // Standard Event Status Register
    quint8 m_eventEnable = 0;   // *ESE
    quint8 m_serviceEnable = 0; // *SRE
};

} // namespace scpi
