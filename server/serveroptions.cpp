#include "serveroptions.h"

#include "frontend.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {

std::optional<quint16> tcpPort(const QString &text)
{
    bool ok = false;
    const uint number = text.toUInt(&ok);
    if (!ok || number < 1 || number > 65535)
        return std::nullopt;
    return quint16(number);
}

} // namespace

ParsedServerOptions parseServerOptions(const QStringList &arguments, const QString &version)
{
    ParsedServerOptions parsed;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves one thermocal instrument to many programs at once: its own protocol over TCP and\n"
        "pseudo-terminals, SCPI for lab frameworks, and Prometheus metrics. Every endpoint listens\n"
        "on 127.0.0.1 unless --listen says otherwise; there is no encryption or authentication."));
    const QCommandLineOption port(QStringLiteral("port"), frontend::portHelp(frontend::PortUse::One), QStringLiteral("NAME"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("The address the network endpoints listen on (default 127.0.0.1)."),
                                    QStringLiteral("ADDR"));
    const QCommandLineOption raw(QStringLiteral("raw"),
                                 QStringLiteral("Serves the instrument's own protocol on TCP PORT (socket://HOST:PORT)."),
                                 QStringLiteral("PORT"));
    const QCommandLineOption pty(QStringLiteral("pty"),
                                 QStringLiteral("Serves the instrument's own protocol on a pseudo-terminal linked from LINK "
                                                "(repeatable)."),
                                 QStringLiteral("LINK"));
    const QCommandLineOption ptyMode(QStringLiteral("pty-mode"),
                                     QStringLiteral("The pseudo-terminals' permissions, in octal (default 0600)."),
                                     QStringLiteral("MODE"));
    const QCommandLineOption scpi(QStringLiteral("scpi"), QStringLiteral("Serves SCPI on TCP PORT (5025 by convention)."),
                                  QStringLiteral("PORT"));
    const QCommandLineOption metrics(QStringLiteral("metrics"),
                                     QStringLiteral("Serves Prometheus metrics on HTTP PORT, at /metrics."),
                                     QStringLiteral("PORT"));
    const QCommandLineOption interval(QStringLiteral("interval"),
                                      QStringLiteral("Seconds between the readings the metrics show, %1 (default 1).")
                                          .arg(frontend::intervalRange()),
                                      QStringLiteral("SECONDS"));
    const QCommandLineOption allowWrites(QStringLiteral("allow-writes"),
                                         QStringLiteral("Takes writes through the network endpoints (raw and SCPI)."));
    parser.addOptions({port, listen, raw, pty, ptyMode, scpi, metrics, interval, allowWrites});

    const QString program = QStringLiteral("thermocal-server");
    const auto usageError = [&parsed, &program](const QString &message) {
        static_cast<frontend::CommandLine &>(parsed) = frontend::usageError(program, message);
        return parsed;
    };
    static_cast<frontend::CommandLine &>(parsed) = frontend::parseCommandLine(parser, arguments, program, version);
    if (parsed.outcome == ParsedServerOptions::Outcome::Exit)
        return parsed;

    ServerOptions &options = parsed.options;
    options.port = parser.value(port);
    if (parser.isSet(port) && !frontend::portProblem(options.port).isEmpty())
        return usageError(frontend::portProblem(options.port));
    if (parser.isSet(listen) && !options.listen.setAddress(parser.value(listen)))
        return usageError(QStringLiteral("--listen takes an IP address, not '%1'").arg(parser.value(listen)));
    for (const auto &endpoint : {std::make_pair(&raw, &options.raw), std::make_pair(&scpi, &options.scpi),
                                 std::make_pair(&metrics, &options.metrics)}) {
        if (!parser.isSet(*endpoint.first))
            continue;
        const std::optional<quint16> number = tcpPort(parser.value(*endpoint.first));
        if (!number)
            return usageError(QStringLiteral("--%1 takes a TCP port from 1 to 65535, not '%2'")
                                  .arg(endpoint.first->names().first(), parser.value(*endpoint.first)));
        *endpoint.second = *number;
    }
    options.ptys = parser.values(pty);
#ifdef Q_OS_WIN
    if (!options.ptys.isEmpty())
        return usageError(QStringLiteral("--pty: Windows has no pseudo-terminals; use --raw"));
#endif
    for (const QString &link : options.ptys) {
        if (link.isEmpty())
            return usageError(QStringLiteral("--pty needs a path for the link"));
    }
    if (parser.isSet(ptyMode)) {
        bool ok = false;
        options.ptyMode = parser.value(ptyMode).toInt(&ok, 8);
        if (!ok || options.ptyMode < 0 || options.ptyMode > 0777)
            return usageError(QStringLiteral("--pty-mode takes permissions in octal, such as 0660, not '%1'").arg(parser.value(ptyMode)));
    }
    if (parser.isSet(interval)) {
        QString problem;
        const std::optional<double> seconds = frontend::parseInterval(parser.value(interval), &problem);
        if (!seconds)
            return usageError(problem);
        options.intervalSeconds = *seconds;
    }
    options.allowWrites = parser.isSet(allowWrites);
    if (options.raw == 0 && options.scpi == 0 && options.metrics == 0 && options.ptys.isEmpty())
        return usageError(QStringLiteral("nothing to serve: give --raw, --pty, --scpi or --metrics"));
    return parsed;
}
