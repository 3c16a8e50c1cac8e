#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Starts `executable` again with administrator rights through pkexec, detached.
// The display variables are passed on so that the elevated instance can open its
// window. Returns false (and logs why, with `context`) when it could not start.
bool startElevated(const QString &executable, const QString &context);

// The pkexec argument list for `executable`, carrying the display variables that
// `environment` holds.
QStringList elevationArguments(const QString &executable, const QProcessEnvironment &environment);
