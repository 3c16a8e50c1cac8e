#pragma once

#include <QString>
#include <QtGlobal>

// The process packed record "pid|name|parent pid", the one form in which a
// process travels between threads and objects. Nothing in it is escaped: a
// Linux command name may hold "|", so a record is read from its ends, where
// the two ids are digits, and the rest is the name.
namespace ProcessRecord {

QString pack(quint32 pid, const QString &name, quint32 parentPid);

// Splits at the first and the last "|": false when there are fewer than two.
// The ids stay text (as stored), so a malformed one is noticed by the caller.
bool split(const QString &record, QString *pid, QString *name, QString *parentPid);

// split() with both ids read as unsigned decimal numbers; false also when
// either one is not.
bool unpack(const QString &record, quint32 *pid, QString *name, quint32 *parentPid);

} // namespace ProcessRecord
