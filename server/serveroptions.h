#pragma once

#include "commandline.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

// thermocal-server's command line.
struct ServerOptions
{
    static constexpr double DefaultIntervalSeconds = 1.0;
    static constexpr int DefaultPtyMode = 0600;

    QString port;                 // empty: the one instrument found by its USB identifiers
    QHostAddress listen = QHostAddress(QHostAddress::LocalHost);
    quint16 raw = 0;              // 0: no such endpoint
    quint16 scpi = 0;
    quint16 metrics = 0;
    QStringList ptys;
    int ptyMode = DefaultPtyMode;
    double intervalSeconds = DefaultIntervalSeconds;
    bool allowWrites = false;     // through the network endpoints
};

struct ParsedServerOptions : frontend::CommandLine
{
    ServerOptions options;
};

ParsedServerOptions parseServerOptions(const QStringList &arguments, const QString &version);
