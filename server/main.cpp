// thermocal-server: one instrument served to many programs at once.
#include "endpoints.h"
#include "instrumentowner.h"
#include "serveroptions.h"

#include "device.h"
#include "frontend.h"
#include "portdiscovery.h"
#include "stopsignals.h"
#include "streams.h"

#include <QCoreApplication>
#include <QThread>

namespace {

// An endpoint that could not be had: a port in use, a pseudo-terminal's folder missing.
constexpr int StartFailed = 1;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("thermocal-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(THERMOCAL_VERSION));
    frontend::setProgramName(QStringLiteral("thermocal-server"));
    const ParsedServerOptions parsed = parseServerOptions(QCoreApplication::arguments(), QStringLiteral(THERMOCAL_VERSION));
    if (parsed.outcome == ParsedServerOptions::Outcome::Exit)
        return parsed.finish();
    const ServerOptions &options = parsed.options;

    const device::ChosenPort chosen = device::choosePort(options.port);
    if (chosen.name.isEmpty()) {
        frontend::message(chosen.found.status == device::FindStatus::NoInstrument
                              ? QStringLiteral("no instrument found; name its port with --port NAME")
                              : QStringLiteral("%1 instruments found; choose one with --port NAME").arg(chosen.found.instruments.size()));
        return frontend::finish(frontend::NoInstrument);
    }
    reconnect::Target target;
    if (options.port.isEmpty()) {
        target = reconnect::foundPort(chosen.found.instruments.first());
    } else {
        target = reconnect::namedPort(options.port);
        target.serialNumber = portdiscovery::serialNumberOf(options.port);
    }
    const QString serial = target.serialNumber;
    const QString identity = QStringLiteral("thermocal,instrument,%1,%2")
                                 .arg(serial.isEmpty() ? target.name : serial, QStringLiteral(THERMOCAL_VERSION));

    readingloop::Options loopOptions;
    loopOptions.intervalNs = qint64(options.intervalSeconds * 1e9);
    auto *owner = new InstrumentOwner(target, loopOptions, identity, options.allowWrites);
    QThread instrumentThread;
    owner->moveToThread(&instrumentThread);
    QObject::connect(&instrumentThread, &QThread::started, owner, &InstrumentOwner::start);
    QObject::connect(owner, &InstrumentOwner::log, &application, [](const QString &line) { frontend::message(line); });

    Endpoints endpoints(options, owner, target.name, serial);
    QObject::connect(&endpoints, &Endpoints::log, &application, [](const QString &line) { frontend::message(line); });
    QString error;
    if (!endpoints.start(&error)) {
        frontend::message(error);
        // The endpoints let go of their clients (and remove the links they made) while the
        // owner they call is still there.
        endpoints.stop();
        delete owner;
        return frontend::finish(StartFailed);
    }
    // SIGTERM and SIGINT: the owner is asked to stop at once, even inside an exchange.
    frontend::catchStopSignals(&application, [owner] {
        owner->requestStop();
        QCoreApplication::quit();
    });
    instrumentThread.start();
    const int status = application.exec();

    endpoints.stop();
    owner->requestStop();
    QMetaObject::invokeMethod(owner, &InstrumentOwner::finish, Qt::BlockingQueuedConnection);
    instrumentThread.quit();
    instrumentThread.wait();
    delete owner;
    return frontend::finish(status);
}
