#include "instrument.h"

#include <QFile>

#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {
constexpr int ReadBufferSize = 4096;
constexpr int WriteGiveUpMs = 1000;  // a program that stops reading must not hang us

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void closeFd(std::atomic<int> &fd)
{
    const int old = fd.exchange(-1);
    if (old >= 0)
        ::close(old);
}
} // namespace

Instrument::Instrument(std::unique_ptr<Firmware> firmware)
    : m_firmware(firmware ? std::move(firmware) : std::make_unique<Firmware>())
{
}

Instrument::~Instrument()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    wake();
    if (m_thread.joinable())
        m_thread.join();
    closeTerminal();
    for (int &slave : m_unpluggedSlaves)
        closeFd(slave);
    closeFd(m_wakeRead);
    closeFd(m_wakeWrite);
}

qint64 Instrument::nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {
bool failWith(QString *error, const char *what)
{
    if (error)
        *error = QString::fromLatin1("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
    return false;
}
} // namespace

bool Instrument::openTerminal(QString *error)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0)
        return failWith(error, "posix_openpt");
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ::close(master);
        return failWith(error, "grantpt/unlockpt");
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        return failWith(error, "ptsname");
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        ::close(master);
        return failWith(error, "open terminal");
    }
    // Raw mode: no echo and no line editing, bytes pass unchanged in both directions.
    termios settings{};
    if (::tcgetattr(slave, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::tcsetattr(slave, TCSANOW, &settings);
    }
    m_portName = QString::fromLocal8Bit(name);
    m_slave = slave;
    m_master = master;
    return true;
}

bool Instrument::start(QString *error)
{
    if (!openTerminal(error))
        return false;
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return failWith(error, "pipe");
    m_wakeRead = wake[0];
    m_wakeWrite = wake[1];
    m_thread = std::thread([this] { serve(); });
    return true;
}

bool Instrument::replug(QString *error)
{
    unplug();
    if (m_thread.joinable())
        m_thread.join();
    {
        // The instrument that comes back is whole again.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_faults.unplugAfterRequests = -1;
    }
    if (!openTerminal(error))
        return false;
    if (!m_linkPath.isEmpty() && !relink())
        return failWith(error, "link");
    m_thread = std::thread([this] { serve(); });
    return true;
}

bool Instrument::setLink(const QString &path)
{
    m_linkPath = path;
    return relink();
}

bool Instrument::relink()
{
    // A new link beside the old one, renamed over it, so the path never goes missing.
    const QByteArray link = QFile::encodeName(m_linkPath);
    const QByteArray fresh = link + ".new";
    ::unlink(fresh.constData());
    if (::symlink(QFile::encodeName(m_portName).constData(), fresh.constData()) != 0)
        return false;
    return ::rename(fresh.constData(), link.constData()) == 0;
}

void Instrument::setFaults(const Faults &faults)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults = faults;
    m_delayedSoFar = 0;
}

void Instrument::withFirmware(const std::function<void(Firmware &)> &access)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    access(*m_firmware);
}

Constants Instrument::constants()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_firmware->constants;
}

Constants Instrument::eeprom()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_firmware->eeprom;
}

QVector<Request> Instrument::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void Instrument::clearRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

bool Instrument::waitForRequests(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_requestArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return m_requests.size() >= count; });
}

void Instrument::sendUnsolicited(const QByteArray &bytes)
{
    writeAll(bytes);
}

void Instrument::unplug()
{
    {
        std::lock_guard<std::mutex> lock(m_writeMutex);
        closeTerminal();
    }
    wake();
}

void Instrument::wake()
{
    if (m_wakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(m_wakeWrite, &byte, 1);
    }
}

bool Instrument::isPlugged() const
{
    return m_master >= 0;
}

void Instrument::closeTerminal()
{
    closeFd(m_master);
    // Closing the master hangs the terminal up and removes its name, but the kernel hands the
    // number to the next pseudo-terminal only once the slave is closed too. Keeping the slave
    // until the instrument is destroyed means a program still holding the old name, or a link
    // to it, finds nothing there, as after a real unplug, rather than another program's
    // terminal that happened to get the same number.
    const int slave = m_slave.exchange(-1);
    if (slave >= 0)
        m_unpluggedSlaves.push_back(slave);
}

void Instrument::writeAll(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(m_writeMutex);
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    const qint64 giveUpAt = nowNs() + qint64(WriteGiveUpMs) * 1000000;
    while (left > 0 && m_master >= 0) {
        const ssize_t written = ::write(m_master, data, size_t(left));
        if (written > 0) {
            data += written;
            left -= written;
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return;
        const qint64 remainingMs = (giveUpAt - nowNs()) / 1000000;
        if (remainingMs <= 0)
            return;
        pollfd out{m_master, POLLOUT, 0};
        ::poll(&out, 1, int(remainingMs));
    }
}

bool Instrument::takeDelay(const Faults &faults)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (faults.delayedReplies >= 0 && m_delayedSoFar >= faults.delayedReplies)
        return false;
    ++m_delayedSoFar;
    return true;
}

void Instrument::reply(const Firmware::Handled &handled, const Faults &faults)
{
    const quint8 command = handled.request.command();
    if (handled.isWrite) {
        m_lastWriteNs = handled.request.receivedNs;
        if (!faults.afterWrite.isEmpty())
            writeAll(faults.afterWrite);
        return;
    }
    if (handled.reply.isEmpty() || faults.silent || faults.silentCommands.contains(command))
        return;
    if (m_lastWriteNs >= 0 && handled.request.receivedNs - m_lastWriteNs < qint64(faults.busyAfterWriteMs) * 1000000)
        return;
    const bool delayed = faults.delayedCommands.isEmpty() || faults.delayedCommands.contains(command);
    if (faults.replyDelayMs > 0 && delayed && takeDelay(faults))
        std::this_thread::sleep_for(std::chrono::milliseconds(faults.replyDelayMs));
    QByteArray bytes = handled.reply + faults.trailingBytes;
    if (faults.truncateTo >= 0)
        bytes.truncate(faults.truncateTo);
    if (faults.chunkSize <= 0) {
        writeAll(bytes);
        return;
    }
    for (int at = 0; at < bytes.size(); at += faults.chunkSize) {
        if (at > 0 && faults.chunkGapUs > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(faults.chunkGapUs));
        writeAll(bytes.mid(at, faults.chunkSize));
    }
}

void Instrument::serve()
{
    char buffer[ReadBufferSize];
    for (;;) {
        const int master = m_master;
        if (master < 0)
            return;
        pollfd fds[2] = {{master, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
        ::poll(fds, 2, -1);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping)
                return;
        }
        if (fds[1].revents & POLLIN) {
            char drain[16];
            while (::read(m_wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (m_master < 0)
            return;
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t received = ::read(master, buffer, sizeof buffer);
        if (received <= 0) {
            if (received < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            return;
        }

        QVector<Firmware::Handled> handled;
        Faults faults;
        bool unplugNow = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            handled = m_firmware->feed(QByteArray(buffer, int(received)), nowNs());
            for (const auto &one : qAsConst(handled))
                m_requests.append(one.request);
            faults = m_faults;
            unplugNow = faults.unplugAfterRequests >= 0 && m_requests.size() >= faults.unplugAfterRequests;
        }
        m_requestArrived.notify_all();
        if (unplugNow) {
            unplug();
            return;
        }
        for (const auto &one : qAsConst(handled))
            reply(one, faults);
    }
}

} // namespace sim
