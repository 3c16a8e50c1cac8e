#pragma once

#include <QByteArray>
#include <QString>

// Helpers for the text files the kernel publishes under /proc.

// Undoes the kernel's octal escapes in names ("\040" for a blank, "\011" for a
// tab, "\012" for a line break, "\134" for a backslash). Other text stays as it is.
QByteArray unescapeKernelOctal(const QByteArray &text);

// Reads a whole /proc file (their size reads as 0, so read until the end).
// A failure is logged with the given context and leaves *text empty.
bool readKernelTextFile(const QString &path, QByteArray *text, const QString &context);
