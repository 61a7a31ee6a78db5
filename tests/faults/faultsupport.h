#pragma once
// Helpers shared by the fault tests.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <linux/capability.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace faults {

// Is `expected` a subsequence of `lines` (in order, others may lie between)?
inline bool inOrder(const QStringList &lines, const QStringList &expected)
{
    qsizetype k = 0;
    for (const QString &l : lines) {
        if (k < expected.size() && l == expected.at(k))
            ++k;
    }
    return k == expected.size();
}

// Open file descriptors of this process.
inline int openFds()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

// Makes a folder one this thread cannot write into, also when the tests run
// as root: the mode loses its write bits and the thread's effective
// capabilities lose the ones that would override them. All comes back at the
// end of the scope.
class UnwritableFolder {
public:
    explicit UnwritableFolder(const QString &folder) : path(QFile::encodeName(folder))
    {
        ::chmod(path.constData(), 0555);
        header.version = _LINUX_CAPABILITY_VERSION_3;
        header.pid = 0;
        if (syscall(SYS_capget, &header, saved) == 0) {
            capsSaved = true;
            __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
            reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_FOWNER));
            syscall(SYS_capset, &header, reduced);
        }
    }
    ~UnwritableFolder()
    {
        if (capsSaved)
            syscall(SYS_capset, &header, saved);
        ::chmod(path.constData(), 0755);
    }
    // False when the system lets this thread write there anyway.
    bool holds() const
    {
        const QByteArray probe = path + "/.probe";
        const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0)
            return true;
        ::close(fd);
        ::unlink(probe.constData());
        return false;
    }

private:
    QByteArray path;
    __user_cap_header_struct header{};
    __user_cap_data_struct saved[2]{};
    bool capsSaved = false;
};

} // namespace faults
