#include "pseudoterminal.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN

PseudoTerminal::~PseudoTerminal() = default;

bool PseudoTerminal::open(const QString &link, int, QString *error)
{
    *error = QStringLiteral("--pty %1: Windows has no pseudo-terminals; use --raw").arg(link);
    return false;
}

qint64 PseudoTerminal::read(char *, qint64)
{
    return 0;
}

void PseudoTerminal::write(const QByteArray &)
{
}

#else

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::~PseudoTerminal()
{
    if (m_master < 0)
        return;
    if (!m_link.isEmpty() && QFileInfo(m_link).symLinkTarget() == m_terminal)
        ::unlink(QFile::encodeName(m_link).constData());
    if (m_slave >= 0)
        ::close(m_slave);
    ::close(m_master);
}

bool PseudoTerminal::open(const QString &link, int mode, QString *error)
{
    const QByteArray linkPath = QFile::encodeName(link);
    const auto fail = [&](const QString &what) {
        *error = QStringLiteral("--pty %1: %2: %3").arg(link, what, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    };
    const QFileInfo existing(link);
    if (existing.exists() || existing.isSymLink()) {
        if (!existing.isSymLink()) {
            *error = QStringLiteral("--pty %1: a file that is not a link is in the way").arg(link);
            return false;
        }
        ::unlink(linkPath.constData());
    }
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        return fail(QStringLiteral("no pseudo-terminal"));
    const char *name = ::ptsname(m_master);
    if (!name)
        return fail(QStringLiteral("no pseudo-terminal"));
    m_terminal = QString::fromLocal8Bit(name);
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0)
        return fail(QStringLiteral("cannot open %1").arg(m_terminal));
    termios raw{};
    if (::tcgetattr(m_slave, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(m_slave, TCSANOW, &raw);
    }
    if (::chmod(name, mode_t(mode)) != 0)
        return fail(QStringLiteral("cannot set the permissions of %1").arg(m_terminal));
    if (::symlink(name, linkPath.constData()) != 0)
        return fail(QStringLiteral("cannot make the link"));
    m_link = link;
    return true;
}

qint64 PseudoTerminal::read(char *data, qint64 size)
{
    const ssize_t got = ::read(m_master, data, size_t(size));
    return got > 0 ? got : 0;
}

void PseudoTerminal::write(const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote <= 0)
            break;
        done += wrote;
    }
}

#endif
