#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// One process as /proc/<pid>/stat describes it.
class ProcStat
{
public:
    // PF_KTHREAD in the flags field.
    static constexpr quint64 KernelThreadFlag = 0x00200000;

    quint32 pid = 0;
    // The command name exactly as the kernel has it (up to 15 bytes of anything
    // but NUL: blanks, brackets and "|" occur).
    QByteArray name;
    char state = 0;
    quint32 parentPid = 0;
    quint64 flags = 0;
    // Clock ticks after boot (field 22); with the pid it names one process for
    // the machine's whole uptime, as pids are reused and start times are not.
    quint64 startTime = 0;

    // Parses the text of /proc/<pid>/stat. The name lies between the first "("
    // and the LAST ")": any ")" before that belongs to the name. False for text
    // that is empty (the process vanished while it was read) or malformed.
    static bool parse(const QByteArray &text, ProcStat *stat);

    // The name as the process tables carry it.
    QString displayName() const { return QString::fromUtf8(name); }
    bool isKernelThread() const { return flags & KernelThreadFlag; }
    // Ended, but not yet reaped by its parent: it has no executable any more.
    bool isZombie() const { return state == 'Z' || state == 'X' || state == 'x'; }
};
