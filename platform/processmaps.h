#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// A file that a process has mapped with execute permission: a shared library,
// a plug-in or the program itself, as /proc/<pid>/maps describes it.
struct MappedFile
{
    // As the kernel shows it: a line break in a name reads "\012" there and is
    // one again here; a file removed or replaced on disk ends in " (deleted)",
    // which a real name can end in too.
    QByteArray path;
    // The first executable mapping of the file (for /proc/<pid>/map_files/).
    quint64 start = 0;
    quint64 end = 0;
    // The mapped file itself: its device ("fe:00", major and minor in
    // hexadecimal) and inode, whatever name leads to it now.
    QByteArray device;
    quint64 inode = 0;

    // "<device>:<inode>": two mappings of one file, in any process, have the same.
    QByteArray fileId() const { return device + ':' + QByteArray::number(inode); }
    // The device as st_dev reports it.
    quint64 deviceNumber() const;
    // The path ends in " (deleted)".
    bool isMarkedDeleted() const;

    friend bool operator==(const MappedFile &a, const MappedFile &b)
    {
        return a.path == b.path && a.start == b.start && a.end == b.end && a.device == b.device &&
               a.inode == b.inode;
    }
};

// The modules of a process from the text of /proc/<pid>/maps.
class ProcessMaps
{
public:
    // The files mapped with execute permission whose path starts with "/",
    // each path once, in order of first appearance. Anonymous shared memory
    // that the kernel names like a path ("/memfd:...", "/SYSV...", "/dev/zero")
    // is not a file. Lines that do not parse are left out.
    static QList<MappedFile> executableFiles(const QByteArray &text);

    // Whether a mapped path names a file rather than anonymous memory.
    static bool isFilePath(const QByteArray &path);

    // The text of /proc/<pid>/maps (under procRoot). 0 or an errno value:
    // ENOENT and ESRCH when the process has ended, EACCES when this user may
    // not inspect it. The text of a process that is ending may be empty.
    static int read(quint32 pid, QByteArray *text, const QByteArray &procRoot = "/proc");
};
