#pragma once

#include <QString>
#include <QtGlobal>

// The module packed record "pid|path|name": the process that has the module
// loaded, the module's path and its name (the path's last part). Nothing in
// it is escaped, and a Linux path may hold "|": the pid is read up to the
// first "|", and the rest splits where the name that follows is the last part
// of the path before it.
namespace ModuleRecord {

QString pack(quint32 pid, const QString &path, const QString &name);

// The last part of a path: what follows its last "/".
QString baseName(const QString &path);

// False when the record has fewer than three fields. The pid stays text.
bool split(const QString &record, QString *pid, QString *path, QString *name);

// split() with the pid read as an unsigned decimal number; false also when it
// is not one.
bool unpack(const QString &record, quint32 *pid, QString *path, QString *name);

} // namespace ModuleRecord
