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
} // namespace

BenchHost::BenchHost(const BenchSettings &settings, Bench::Clock clock)
    : m_bench(settings, clock)
    , m_instrument(firmwareOn(m_bench, clock))
    , m_bathServer([this](const QByteArray &line) { return m_bench.handle(Bench::Device::Bath, line); },
                   Bench::LongestLine)
    , m_referenceServer([this](const QByteArray &line) { return m_bench.handle(Bench::Device::Reference, line); },
                        Bench::LongestLine)
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
