#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

// Where a program's data and messages go: standard output and standard error, or buffers a
// test reads. Every write is checked, flush included, and the first failure of the data
// stream is remembered, so a program whose output went nowhere (a full disk, an I/O error)
// ends with a failure and says so instead of looking done.
namespace frontend {

// The name messages are prefixed with: "thermocal-cli: no command given ...".
void setProgramName(const QString &name);
QString programName();

// Writes data to standard output, as is; false when it could not be written (then, and after
// any earlier failure, nothing more is written: the data would have a hole in it).
bool out(const QByteArray &bytes);
bool out(const QString &text);
// Writes "program: message" and a line end to standard error.
void message(const QString &text);

// A status line on standard error that the next one replaces: on a terminal it is rewritten
// in place (a message written after it starts on a line of its own); elsewhere (a log file,
// a test's buffer) it is written as a line of its own.
void statusLine(const QString &text);
// True when standard error is a terminal, where status lines are rewritten in place.
bool statusRewrites();

// Whether some data could not be written, and why ("cannot write to standard output: No
// space left on device").
bool outputFailed();
QString outputFailure();

// The program's exit status once its data has been flushed: `status`, or FileProblem with
// the failure said on standard error when any data could not be written. Every program ends
// through it.
int finish(int status);

// Points standard output and standard error at buffers for as long as it lives, with no
// failure remembered, so a test can run a command in its own process and read both.
class CapturedStreams
{
public:
    CapturedStreams();
    ~CapturedStreams();
    CapturedStreams(const CapturedStreams &) = delete;
    CapturedStreams &operator=(const CapturedStreams &) = delete;

    QByteArray out() const;
    QByteArray err() const;

private:
    QByteArray m_out;
    QByteArray m_err;
};

} // namespace frontend
