#pragma once

#include "firmware.h"

#include <QList>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

// How the simulated instrument misbehaves, as real devices and USB links do.
struct Faults
{
    bool silent = false;             // answers nothing
    QList<quint8> silentCommands;    // answers nothing to these commands
    int replyDelayMs = 0;            // waits this long before each reply
    int delayedReplies = -1;         // delays only this many replies from now (-1: all)
    QList<quint8> delayedCommands;   // delays only the replies to these commands (empty: all)
    int chunkSize = 0;               // sends replies in pieces of this size (0: whole)
    int chunkGapUs = 0;              // pause between two pieces
    QByteArray trailingBytes;        // appended to every reply
    int truncateTo = -1;             // cuts every reply to this many bytes (-1: whole)
    QByteArray afterWrite;           // sent unasked after each write command and the commit
    int unplugAfterRequests = -1;    // closes its end once this many requests have arrived
    // Digests a write this long: a request that arrives sooner after one gets no reply, as an
    // instrument that is not given its pause after a write.
    int busyAfterWriteMs = 0;
};

// The instrument on a pseudo-terminal: the program opens portName() as it would open the
// real device's port, and a thread of ours serves the firmware on the other end. Every
// request is recorded with the time its first byte arrived.
class Instrument
{
public:
    explicit Instrument(std::unique_ptr<Firmware> firmware = nullptr);
    ~Instrument();
    Instrument(const Instrument &) = delete;
    Instrument &operator=(const Instrument &) = delete;

    // Opens the pseudo-terminal and starts serving. False with a reason on failure.
    bool start(QString *error = nullptr);
    // The terminal's path, such as /dev/pts/3.
    QString portName() const { return m_portName; }

    void setFaults(const Faults &faults);
    // Runs `access` on the firmware while the serving thread keeps off it.
    void withFirmware(const std::function<void(Firmware &)> &access);
    Constants constants();
    Constants eeprom();

    QVector<Request> requests() const;
    void clearRequests();
    // Waits until at least `count` requests have been recorded.
    bool waitForRequests(int count, int timeoutMs) const;

    // Sends bytes that nobody asked for.
    void sendUnsolicited(const QByteArray &bytes);
    // Closes the instrument's end, as pulling the plug would.
    void unplug();
    // Plugs it in again on a new pseudo-terminal (unplugging first if need be), as the
    // instrument coming back would; the link, if any, then leads to the new terminal.
    bool replug(QString *error = nullptr);
    bool isPlugged() const;
    // Keeps `path` a symbolic link to the terminal, across replugs. False when it cannot be
    // made.
    bool setLink(const QString &path);

    static qint64 nowNs();

private:
    bool openTerminal(QString *error);
    bool relink();
    void serve();
    void writeAll(const QByteArray &bytes);
    void reply(const Firmware::Handled &handled, const Faults &faults);
    bool takeDelay(const Faults &faults);
    void closeTerminal();
    void wake();

    std::unique_ptr<Firmware> m_firmware;
    Faults m_faults;
    int m_delayedSoFar = 0;              // replies delayed since the faults were set
    qint64 m_lastWriteNs = -1;           // when the latest write arrived; the serving thread's
    QVector<Request> m_requests;
    mutable std::mutex m_mutex;          // firmware, faults, requests
    mutable std::condition_variable m_requestArrived;
    std::mutex m_writeMutex;             // writes to the terminal
    std::atomic<int> m_master{-1};
    std::atomic<int> m_slave{-1};        // held open so the terminal outlives the program's port
    std::vector<int> m_unpluggedSlaves;  // keep unplugged terminals' numbers from being reused
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    bool m_stopping = false;
    QString m_portName;
    QString m_linkPath;
    std::thread m_thread;
};

} // namespace sim
