#include "benchhost.h"

#include "demofirmware.h"

namespace sim {

namespace {
std::unique_ptr<Firmware> firmwareOn(Bench &bench, const Bench::Clock &clock)
{
    auto firmware = std::make_unique<DemoFirmware>(clock);
    bench.attach(*firmware);
    return firmware;
}

// Each client of a device has its own status (error queue and registers), as SCPI sessions do.
LineServer::NewSession sessionsOf(Bench &bench, Bench::Device device)
{
    return [&bench, device]() -> LineServer::Session {
        auto status = std::make_shared<scpi::Status>();
        return [&bench, device, status](const QByteArray &line) { return bench.handle(device, line, *status); };
    };
}
} // namespace

BenchHost::BenchHost(const BenchSettings &settings, Bench::Clock clock)
    : m_bench(settings, clock)
    , m_instrument(firmwareOn(m_bench, clock))
    , m_bathServer(sessionsOf(m_bench, Bench::Device::Bath), Bench::LongestLine)
    , m_referenceServer(sessionsOf(m_bench, Bench::Device::Reference), Bench::LongestLine)
{
}

bool BenchHost::start(QString *error, quint16 bathPort, quint16 referencePort)
{
    return m_instrument.start(error) && m_bathServer.start(bathPort, error)
        && m_referenceServer.start(referencePort, error);
}

void BenchHost::stop()
{
    m_bathServer.stop();
    m_referenceServer.stop();
    m_instrument.unplug();
}

} // namespace sim
