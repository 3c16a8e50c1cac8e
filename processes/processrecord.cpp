#include "processes/processrecord.h"

namespace {
bool toId(const QString &text, quint32 *id)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    bool ok = false;
    *id = text.toUInt(&ok, 10);
    return ok;
}
} // namespace

QString ProcessRecord::pack(quint32 pid, const QString &name, quint32 parentPid)
{
    // Not a chain of arg(): a name holding "%3" would be filled in too.
    return QString::number(pid) + u'|' + name + u'|' + QString::number(parentPid);
}

bool ProcessRecord::split(const QString &record, QString *pid, QString *name, QString *parentPid)
{
    const qsizetype first = record.indexOf(u'|');
    const qsizetype last = record.lastIndexOf(u'|');
    if (first < 0 || last == first)
        return false;
    *pid = record.left(first);
    *name = record.mid(first + 1, last - first - 1);
    *parentPid = record.mid(last + 1);
    return true;
}

bool ProcessRecord::unpack(const QString &record, quint32 *pid, QString *name, quint32 *parentPid)
{
    QString pidText, parentText;
    return split(record, &pidText, name, &parentText) && toId(pidText, pid) &&
           toId(parentText, parentPid);
}
