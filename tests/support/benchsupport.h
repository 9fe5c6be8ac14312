#pragma once

#include "benchhost.h"

#include <QByteArrayList>
#include <QString>

#include <memory>

// The simulated calibration bench for the tests: started in the test's process, the
// instrument on a pseudo-terminal, the bath (or calibrator) and the reference readout on
// ports of 127.0.0.1 found free; it stops when the object goes.
namespace testsupport {

// A started bench, or none with the reason in `error`. `clock` (seconds) lets a test move
// time itself; without one the bench runs on the steady clock.
std::unique_ptr<sim::BenchHost> startBench(const sim::BenchSettings &settings = {}, QString *error = nullptr,
                                           sim::Bench::Clock clock = {});

// Sends `lines` (each ended by '\n') in one write to the SCPI server at `url`
// (socket://127.0.0.1:PORT) and collects `replies` answer lines, without their line ends;
// fewer when the server stops answering for `quietMs`.
QByteArrayList askLines(const QString &url, const QByteArray &lines, int replies, int quietMs = 2000);

// One query's answer, or empty when none came.
QByteArray ask(const QString &url, const QByteArray &query, int quietMs = 2000);

} // namespace testsupport
