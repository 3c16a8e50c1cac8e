#include "app/terminallines.h"

#include <QIODevice>

void TerminalLines::message(const QString &text)
{
    if (!m_err)
        return;
    QByteArray bytes;
    if (m_progressDrawn) {
        bytes += "\r\033[K";
        m_progressDrawn = false;
    }
    bytes += text.toUtf8();
    bytes += '\n';
    m_err->write(bytes);
}

void TerminalLines::drawProgress(const QString &line)
{
    if (!m_err)
        return;
    m_err->write("\r\033[K" + line.toUtf8());
    m_progressDrawn = true;
}

void TerminalLines::endProgress()
{
    if (m_progressDrawn && m_err)
        m_err->write("\n");
    m_progressDrawn = false;
}
