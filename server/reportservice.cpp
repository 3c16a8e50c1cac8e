#include "server/reportservice.h"

#include "server/reportconnection.h"

#include <QDebug>

ReportService::ReportService(const ServerLimits &limits, const QString &path, QObject *parent)
    : TcpService(QStringLiteral("report"), limits, parent), m_file(path)
{
}

bool ReportService::openFile(QString *error)
{
    QFile file(m_file.fileName());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        if (error) {
            *error = QStringLiteral("cannot open %1 for appending: %2")
                         .arg(m_file.fileName(), file.errorString());
        }
        return false;
    }
    // Only a file that could be opened replaces the one in use.
    m_file.close();
    const QString path = file.fileName();
    file.close();
    m_file.setFileName(path);
    return m_file.open(QIODevice::WriteOnly | QIODevice::Append);
}

QByteArray ReportService::escapedLine(const QByteArray &report)
{
    static const char digits[] = "0123456789abcdef";
    QByteArray line;
    line.reserve(report.size() + 16);
    for (char c : report) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\') {
            line.append("\\\\");
        } else if (c == '\n') {
            line.append("\\n");
        } else if (c == '\r') {
            line.append("\\r");
        } else if ((u < 0x20 && c != '\t') || u == 0x7f) {
            line.append("\\x");
            line.append(digits[u >> 4]);
            line.append(digits[u & 0x0f]);
        } else {
            line.append(c);
        }
    }
    return line;
}

bool ReportService::appendReport(const QByteArray &report)
{
    const QByteArray line = escapedLine(report) + '\n';
    if (!m_file.isOpen() || m_file.write(line) != line.size() || !m_file.flush()) {
        qWarning().noquote() << QStringLiteral("ReportService::appendReport() cannot write to "
                                               "%1: %2; report lost: %3")
                                    .arg(m_file.fileName(), m_file.errorString(),
                                         QString::fromLatin1(line.trimmed()));
        return false;
    }
    return true;
}

ServiceConnection *ReportService::createConnection(ConnectionSocket *socket)
{
    return new ReportConnection(socket, limits(), this);
}
