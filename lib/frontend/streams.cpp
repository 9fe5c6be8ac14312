#include "streams.h"

#include "frontend.h"

#include <cerrno>
#include <cstring>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
#include <cstdio>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace frontend {

namespace {

// One stream: a C stream, or a buffer while a test captures it.
struct Stream
{
    FILE *file;
    QByteArray *buffer = nullptr;
    // The first failure's errno; 0 while every write got through.
    int failedWith = 0;

    // fwrite may keep the bytes in its buffer and report success, so only the flush tells
    // whether they reached the file.
    bool write(const QByteArray &bytes)
    {
        if (failedWith != 0)
            return false;
        if (buffer) {
            buffer->append(bytes);
            return true;
        }
        errno = 0;
        const size_t written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file);
        if (written != size_t(bytes.size()) || std::fflush(file) != 0) {
            // A stream may fail without setting errno; the error is still an I/O error.
            failedWith = errno != 0 ? errno : EIO;
            return false;
        }
        return true;
    }
};

struct Streams
{
#ifdef Q_OS_WIN
    // The same bytes as on every system: a calibration file or a CSV log sent to a file must
    // not gain a carriage return before each line feed.
    Streams()
    {
        // A windowed program (the window, the monitor) has no console of its own: its help
        // and messages go to the console it was started from, unless they are redirected.
        const auto unattached = [](FILE *file) { return ::_get_osfhandle(::_fileno(file)) < 0; };
        if ((unattached(stdout) || unattached(stderr)) && ::AttachConsole(ATTACH_PARENT_PROCESS)) {
            if (unattached(stdout))
                std::freopen("CONOUT$", "w", stdout);
            if (unattached(stderr))
                std::freopen("CONOUT$", "w", stderr);
        }
        ::_setmode(::_fileno(stdout), _O_BINARY);
        ::_setmode(::_fileno(stderr), _O_BINARY);
    }
#endif

    QString programName;
    bool statusShown = false; // a status line without its line end stands on the terminal
    Stream output{stdout};
    Stream error{stderr};
};

Streams &streams()
{
    static Streams instance;
    return instance;
}

} // namespace

void setProgramName(const QString &name)
{
    streams().programName = name;
}

QString programName()
{
    return streams().programName;
}

bool out(const QByteArray &bytes)
{
    return streams().output.write(bytes);
}

bool out(const QString &text)
{
    return out(text.toUtf8());
}

bool statusRewrites()
{
    if (streams().error.buffer)
        return false;
#ifdef Q_OS_WIN
    return ::_isatty(::_fileno(stderr));
#else
    return ::isatty(::fileno(stderr));
#endif
}

void statusLine(const QString &text)
{
    if (!statusRewrites()) {
        message(text);
        return;
    }
    // Carriage return, then the erase-to-end-of-line control, so a shorter line leaves no tail.
    streams().error.write(QStringLiteral("\r\033[K%1: %2").arg(programName(), text).toUtf8());
    streams().statusShown = true;
}

void message(const QString &text)
{
    if (streams().statusShown) {
        streams().statusShown = false;
        streams().error.write("\n");
    }
    // Nothing is left to tell a failure of the message stream to; the data's own failure
    // still decides the exit status.
    streams().error.write(QStringLiteral("%1: %2\n").arg(programName(), text).toUtf8());
}

bool outputFailed()
{
    return streams().output.failedWith != 0;
}

QString outputFailure()
{
    if (!outputFailed())
        return QString();
    return QStringLiteral("cannot write to standard output: %1")
        .arg(QString::fromLocal8Bit(std::strerror(streams().output.failedWith)));
}

int finish(int status)
{
    // Every write is flushed as it goes; this catches bytes another writer left in the buffer.
    Stream &output = streams().output;
    if (!output.buffer && output.failedWith == 0 && std::fflush(output.file) != 0)
        output.failedWith = errno != 0 ? errno : EIO;
    if (!outputFailed())
        return status;
    message(outputFailure());
    return FileProblem;
}

CapturedStreams::CapturedStreams()
{
    streams().output = {stdout, &m_out};
    streams().error = {stderr, &m_err};
}

CapturedStreams::~CapturedStreams()
{
    streams().output = {stdout};
    streams().error = {stderr};
}

QByteArray CapturedStreams::out() const
{
    return m_out;
}

QByteArray CapturedStreams::err() const
{
    return m_err;
}

} // namespace frontend
