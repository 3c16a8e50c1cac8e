#pragma once

#include "platform/processmaps.h"
#include "platform/uniquefd.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Opens the file that a process has mapped, and never another file that has
// taken its name since (a library replaced by an update, a decoy named like a
// removed one).
//
// The mapping itself (/proc/<pid>/map_files/<start>-<end>) is tried first: it
// is the mapped file, deleted or not, but only a privileged program may open
// it. Otherwise the path is opened as the process sees it, through
// /proc/<pid>/root (right inside containers and sandboxes), then as this
// program sees it; either is taken only when it is the mapped inode.
class ModuleFile
{
public:
    // Not an errno value: no name leads to the mapped file any more.
    static constexpr int Replaced = -1;

    // 0 with fd open for reading, or an errno value (ENOENT and ESRCH: the
    // process or the mapping has gone; EACCES and EPERM: denied) or Replaced.
    static int open(quint32 pid, const MappedFile &mapping, UniqueFd *fd,
                    const QByteArray &procRoot = "/proc");

    // Why open() failed, in words for the log and the user.
    static QString errorText(int error);
};
