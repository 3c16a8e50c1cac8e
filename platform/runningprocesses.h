#pragma once

#include "platform/procstat.h"

#include <QByteArray>
#include <QHashFunctions>
#include <QList>
#include <QString>
#include <QtGlobal>

// The processes of the machine and what can be learnt about each one. Every
// look-up returns 0 or an errno value: ENOENT and ESRCH mean the process has
// ended meanwhile, EACCES and EPERM that this user may not inspect it. The
// Linux implementation reads /proc; tests install a fake.
class RunningProcesses
{
public:
    // The file that holds a process's running image, told apart from every other
    // file and from every other version of the same file.
    struct ImageIdentity
    {
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;

        friend bool operator==(const ImageIdentity &a, const ImageIdentity &b)
        {
            return a.device == b.device && a.inode == b.inode && a.size == b.size &&
                   a.modifiedNs == b.modifiedNs && a.changedNs == b.changedNs;
        }
        friend size_t qHash(const ImageIdentity &key, size_t seed = 0)
        {
            return qHashMulti(seed, key.device, key.inode, key.size, key.modifiedNs, key.changedNs);
        }
    };

    virtual ~RunningProcesses();

    // Every process that can be seen, in the order the system lists them. A
    // process that ends while it is read, or that is hidden, is not there.
    // False (logged) when the list itself cannot be had: an empty list is never
    // a snapshot of a machine.
    virtual bool list(QList<ProcStat> *processes) const = 0;
    // One process's stat.
    virtual int stat(quint32 pid, ProcStat *stat) const = 0;
    // The path of its executable as the system reports it. A deleted or
    // replaced file may show as "<path> (deleted)", which a real name can also be.
    virtual int executablePath(quint32 pid, QByteArray *path) const = 0;
    // The file its running image comes from, even if deleted or replaced since.
    virtual int imageIdentity(quint32 pid, ImageIdentity *identity) const = 0;
    // A path through which that running image is read.
    virtual QString imagePath(quint32 pid) const = 0;

    static bool hasEnded(int error);
    static bool isDenied(int error);

    static const RunningProcesses &instance();
    // Test seam: replace the implementation (nullptr restores the Linux one).
    // The caller keeps ownership.
    static void setInstance(const RunningProcesses *processes);
};
