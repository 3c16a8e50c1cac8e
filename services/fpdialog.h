#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class FPDialog;
}
class QTcpSocket;
class SpinnerWidget;

// Sends a false-positive report: shows the file and its digests, takes an
// optional comment and writes one line to the report server. A report counts as
// sent only once every byte of it has left and the connection closed in an
// orderly way; anything else shows the error page with Retry.
class FPDialog : public QDialog
{
    Q_OBJECT

public:
    // A false-positive record: "<md5>|<sha1>|<path>". The path is the file's
    // lossless form and may itself hold "|", so the record is read from its ends.
    struct Record
    {
        QString md5;
        QString sha1;
        QString path;
    };
    // False when the record is not 32 hex digits, "|", 40 hex digits, "|" and a
    // path that is not empty.
    static bool unpack(const QString &packedData, Record *record);
    // The bytes sent: "<installation digest>|<md5>|<sha1>|<path>|<comment>",
    // no line end. The path goes as the file system's own bytes and the comment
    // as UTF-8, so nothing is lost on the way.
    static QByteArray reportLine(const QByteArray &installationDigest, const Record &record,
                                 const QString &comment);

    explicit FPDialog(QWidget *parent = nullptr);
    ~FPDialog() override;

    // The page on screen: "page_confirm" or "page_send", and within the send page
    // the status: "spinner", "page_ok" or "page_error".
    QString currentPage() const;
    QString currentStatusPage() const;

public Q_SLOTS:
    // Shows the record; false, logging a warning and rejecting the dialog, for a
    // malformed one (the dialog then offers nothing to send).
    bool confirmSendReport(QString packedData);

protected Q_SLOTS:
    void sendReport();
    void cancelReport();
    void handleConnected();
    void handleSocketError(QAbstractSocket::SocketError error);

private:
    void handleBytesWritten(qint64 bytes);
    void handleDisconnected();
    void showSent();
    void showFailure(const QString &reason);

    std::unique_ptr<Ui::FPDialog> ui;
    std::unique_ptr<QTcpSocket> m_socket;
    SpinnerWidget *m_spinner = nullptr;
    QString m_packedData;
    Record m_record;
    // The exchange under way: its line and how much of it left. Not sending once
    // the exchange has shown its outcome.
    QByteArray m_line;
    qint64 m_written = 0;
    bool m_sending = false;
};
