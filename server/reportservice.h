#pragma once

#include "server/tcpservice.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// The false-positive report service. A client connects, writes one report
// ("<installation digest>|<md5>|<sha1>|<path>|<comment>", no line end needed)
// and closes; the server appends it as one line to the report file and flushes.
// Comments may span lines, so line feeds, carriage returns, backslashes and
// control bytes other than tab are written escaped ("\n", "\r", "\\", "\xNN"): one
// report is always exactly one line of the file.
class ReportService : public TcpService
{
    Q_OBJECT

public:
    ReportService(const ServerLimits &limits, const QString &path, QObject *parent = nullptr);

    // Opens the report file for appending (again, after log rotation).
    bool openFile(QString *error);

    // The report as one line of the file, line end excluded.
    static QByteArray escapedLine(const QByteArray &report);
    bool appendReport(const QByteArray &report);

protected:
    ServiceConnection *createConnection(ConnectionSocket *socket) override;

private:
    QFile m_file;
};
