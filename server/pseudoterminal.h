#pragma once

#include <QString>

// A pseudo-terminal served by this program: programs open it by a link's name as they would
// an instrument's serial port. The master side is read and written here; the slave side is
// held open so the master never reads a hang-up while no program has the terminal open.
// POSIX only: on Windows open() refuses.
class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;
    // Closes both sides and removes the link while it still leads to this terminal.
    ~PseudoTerminal();

    // Makes the terminal, raw and with the permissions `mode`, and the link `link` to it. Only
    // a link may be replaced: a file of someone else's under that name stays, and open fails.
    bool open(const QString &link, int mode, QString *error);

    // The master side, non-blocking, for a read notifier.
    int descriptor() const { return m_master; }
    // What the programs wrote, at most `size` bytes; 0 when nothing waits.
    qint64 read(char *data, qint64 size);
    // What fits now; the rest is lost, as on a serial line nobody reads.
    void write(const QByteArray &bytes);

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_link;
    QString m_terminal;
};
