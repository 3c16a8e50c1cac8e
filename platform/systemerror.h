#pragma once

#include <QString>

// The one routine that reports a failed system call: reads errno (or takes the
// given error number), and writes one warning line with the caller's context,
// the decimal error number and the system's message.
void logSystemError(const QString &context);
void logSystemError(const QString &context, int errorNumber);

// The warning line itself, exposed so that its shape can be checked.
QString systemErrorLine(const QString &context, int errorNumber);

// The system's own words for an error number ("Too many levels of symbolic
// links" for ELOOP, "Broken pipe" for EPIPE), for messages that give a reason.
QString systemErrorText(int errorNumber);
