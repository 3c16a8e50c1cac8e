#include "processes/modulerecord.h"

QString ModuleRecord::pack(quint32 pid, const QString &path, const QString &name)
{
    // Not a chain of arg(): a path holding "%2" would be filled in too.
    return QString::number(pid) + u'|' + path + u'|' + name;
}

QString ModuleRecord::baseName(const QString &path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

bool ModuleRecord::split(const QString &record, QString *pid, QString *path, QString *name)
{
    const qsizetype first = record.indexOf(u'|');
    if (first < 0)
        return false;
    const QStringView rest = QStringView(record).mid(first + 1);
    // "<folders>/<name>|<name>": the name holds no "/", so both copies of it
    // follow the last "/", around the middle "|".
    const QStringView tail = rest.mid(rest.lastIndexOf(u'/') + 1);
    qsizetype cut = -1;
    if (tail.size() % 2 == 1) {
        const qsizetype middle = tail.size() / 2;
        if (tail.at(middle) == u'|' && tail.left(middle) == tail.mid(middle + 1))
            cut = rest.size() - tail.size() + middle;
    }
    // A record whose name is not the path's last part splits at its last "|".
    if (cut < 0)
        cut = rest.lastIndexOf(u'|');
    if (cut < 0)
        return false;
    *pid = record.left(first);
    *path = rest.left(cut).toString();
    *name = rest.mid(cut + 1).toString();
    return true;
}

bool ModuleRecord::unpack(const QString &record, quint32 *pid, QString *path, QString *name)
{
    QString pidText;
    if (!split(record, &pidText, path, name) || pidText.isEmpty())
        return false;
    for (const QChar c : std::as_const(pidText)) {
        if (c < u'0' || c > u'9')
            return false;
    }
    bool ok = false;
    *pid = pidText.toUInt(&ok, 10);
    return ok;
}
