#pragma once

#include <QString>

class QIODevice;

// Messages and a progress line for a terminal. The progress line is drawn over
// itself, and a message first wipes it, so the two never mix on one line.
class TerminalLines
{
public:
    explicit TerminalLines(QIODevice *err) : m_err(err) {}

    // A line of its own; nothing without a device.
    void message(const QString &text);
    // Replaces the progress line shown, if any.
    void drawProgress(const QString &line);
    // Leaves the last progress line standing and moves below it.
    void endProgress();

private:
    QIODevice *m_err;
    bool m_progressDrawn = false;
};
