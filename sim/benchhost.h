#pragma once

#include "bench.h"
#include "instrument.h"
#include "lineserver.h"

#include <QString>

namespace sim {

// A whole calibration bench serving: the simulated instrument on a pseudo-terminal with its
// sensor in the bench's bath, and the bath (or calibrator) and the reference readout each on
// a TCP port of 127.0.0.1. thermocal-sim --bench and the tests run one.
class BenchHost
{
public:
    explicit BenchHost(const BenchSettings &settings = {}, Bench::Clock clock = {});

    // Starts the instrument and both servers (port 0: one that is free). False with the
    // reason otherwise.
    bool start(QString *error = nullptr, quint16 bathPort = 0, quint16 referencePort = 0);
    void stop();

    Bench &bench() { return m_bench; }
    Instrument &instrument() { return m_instrument; }
    // The instrument's pseudo-terminal.
    QString instrumentPort() const { return m_instrument.portName(); }
    // socket://127.0.0.1:PORT of the bath (or calibrator) and of the reference readout.
    QString bathUrl() const { return m_bathServer.url(); }
    QString referenceUrl() const { return m_referenceServer.url(); }
    quint16 bathPort() const { return m_bathServer.port(); }
    quint16 referencePort() const { return m_referenceServer.port(); }

private:
    Bench m_bench;
    Instrument m_instrument;
    LineServer m_bathServer;
    LineServer m_referenceServer;
};

} // namespace sim
