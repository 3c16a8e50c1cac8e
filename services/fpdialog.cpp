#include "services/fpdialog.h"

#include "platform/filename.h"
#include "platform/serveraddress.h"
#include "registry/orvexcommunicator.h"
#include "widgets/spinnerwidget.h"

#include "ui_fpdialog.h"

#include <QDebug>
#include <QFontDatabase>
#include <QSignalBlocker>
#include <QTcpSocket>

namespace {
constexpr int Md5Length = 32;
constexpr int Sha1Length = 40;

bool isHex(QStringView text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    return true;
}
} // namespace

bool FPDialog::unpack(const QString &packedData, Record *record)
{
    // The digests have fixed lengths; whatever follows the second "|" is the path,
    // "|" and all.
    constexpr int PathStart = Md5Length + 1 + Sha1Length + 1;
    if (packedData.size() <= PathStart || packedData.at(Md5Length) != QLatin1Char('|') ||
        packedData.at(PathStart - 1) != QLatin1Char('|'))
        return false;
    const QStringView md5 = QStringView(packedData).left(Md5Length);
    const QStringView sha1 = QStringView(packedData).mid(Md5Length + 1, Sha1Length);
    if (!isHex(md5) || !isHex(sha1))
        return false;
    record->md5 = md5.toString();
    record->sha1 = sha1.toString();
    record->path = packedData.mid(PathStart);
    return true;
}

QByteArray FPDialog::reportLine(const QByteArray &installationDigest, const Record &record,
                                const QString &comment)
{
    return installationDigest + '|' + record.md5.toLatin1() + '|' + record.sha1.toLatin1() + '|' +
           FileName::toBytes(record.path) + '|' + comment.toUtf8();
}

FPDialog::FPDialog(QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::FPDialog>()),
      m_socket(std::make_unique<QTcpSocket>())
{
    ui->setupUi(this);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    ui->label_md5->setFont(fixed);
    ui->label_sha1->setFont(fixed);

    m_spinner = new SpinnerWidget;
    m_spinner->setObjectName(QStringLiteral("spinner"));
    m_spinner->setSpinnerSize(64);
    m_spinner->startAnimation();
    ui->stackedWidget_status->insertWidget(0, m_spinner);
    ui->stackedWidget_status->setCurrentWidget(m_spinner);

    connect(m_socket.get(), &QTcpSocket::connected, this, &FPDialog::handleConnected);
    connect(m_socket.get(), &QTcpSocket::errorOccurred, this, &FPDialog::handleSocketError);
    connect(m_socket.get(), &QTcpSocket::bytesWritten, this, &FPDialog::handleBytesWritten);
    connect(m_socket.get(), &QTcpSocket::disconnected, this, &FPDialog::handleDisconnected);

    ui->stackedWidget->setCurrentWidget(ui->page_confirm);
    // Nothing to send until a record is accepted.
    ui->pushButton_report->setEnabled(false);
    connect(ui->pushButton_report, &QPushButton::clicked, this, &FPDialog::sendReport);
    connect(ui->pushButton_retry, &QPushButton::clicked, this, &FPDialog::sendReport);
    connect(ui->pushButton_cancel_report, &QPushButton::clicked, this, &FPDialog::cancelReport);
    connect(ui->pushButton_cancel_network, &QPushButton::clicked, this, &FPDialog::cancelReport);
}

FPDialog::~FPDialog()
{
    // The exchange ends with the dialog; nothing of it reaches a half-destroyed one.
    m_socket->disconnect(this);
}

QString FPDialog::currentPage() const
{
    return ui->stackedWidget->currentWidget()->objectName();
}

QString FPDialog::currentStatusPage() const
{
    return ui->stackedWidget_status->currentWidget()->objectName();
}

bool FPDialog::confirmSendReport(QString packedData)
{
    qDebug().noquote() << QStringLiteral("FPDialog::confirmSendReport( %1 ) called")
                              .arg(FileName::readable(packedData));
    Record record;
    if (!unpack(packedData, &record)) {
        qWarning() << "FPDialog::confirmSendReport() couldn't unpack the data!";
        reject();
        return false;
    }
    m_record = record;
    m_packedData = packedData;
    ui->label_file->setText(FileName::readable(record.path));
    ui->label_sha1->setText(record.sha1);
    ui->label_md5->setText(record.md5);
    ui->plainTextEdit->clear();
    ui->pushButton_report->setEnabled(true);
    return true;
}

void FPDialog::sendReport()
{
    if (m_packedData.isEmpty())
        return;
    ui->pushButton_cancel_network->setText(QStringLiteral("Close"));
    ui->pushButton_retry->hide();
    ui->stackedWidget_status->setCurrentWidget(m_spinner);
    ui->stackedWidget->setCurrentWidget(ui->page_send);
    ui->label_status->setText(tr("Sending..."));
    ui->label_info->clear();

    // A connection that failed may still be connecting or half open: it goes
    // first, quietly, or the socket would refuse to connect again.
    {
        const QSignalBlocker quiet(m_socket.get());
        m_socket->abort();
    }
    m_line.clear();
    m_written = 0;
    m_sending = true;
    const ServerAddress server = ServerAddress::reportServer();
    qDebug().noquote() << QStringLiteral("FPDialog::sendReport() sending to %1:%2")
                              .arg(server.host)
                              .arg(server.port);
    m_socket->connectToHost(server.host, server.port, QIODevice::ReadWrite);
}

void FPDialog::cancelReport()
{
    m_socket->disconnectFromHost();
    reject();
}

void FPDialog::handleConnected()
{
    qDebug() << "FPDialog::handleConnected() called";
    m_line = reportLine(OrvexCommunicator::installationDigest(), m_record,
                        ui->plainTextEdit->toPlainText());
    const qint64 queued = m_socket->write(m_line);
    qDebug().noquote() << QStringLiteral("FPDialog::handleConnected() wrote %1 bytes").arg(queued);
    if (queued != m_line.size()) {
        showFailure(m_socket->errorString());
        return;
    }
    // The connection closes once every byte has left; only then is it sent.
    m_socket->flush();
    m_socket->disconnectFromHost();
}

void FPDialog::handleBytesWritten(qint64 bytes)
{
    m_written += bytes;
}

void FPDialog::handleDisconnected()
{
    if (!m_sending)
        return;
    if (!m_line.isEmpty() && m_written == m_line.size() && m_socket->bytesToWrite() == 0)
        showSent();
    else
        showFailure(tr("the report was not sent in full"));
}

void FPDialog::handleSocketError(QAbstractSocket::SocketError error)
{
    qWarning().noquote()
        << QStringLiteral("FPDialog::handleSocketError( %1 ) called").arg(int(error));
    if (!m_sending)
        return;
    // A server that closes once it has the whole report has taken it.
    if (error == QAbstractSocket::RemoteHostClosedError && !m_line.isEmpty() &&
        m_written == m_line.size()) {
        showSent();
        return;
    }
    showFailure(m_socket->errorString());
}

void FPDialog::showSent()
{
    // Reported once per exchange, whichever of close or error comes first.
    m_sending = false;
    ui->stackedWidget_status->setCurrentWidget(ui->page_ok);
    ui->label_status->setText(tr("Thank you."));
    ui->label_info->setText(tr("Your report is appreciated."));
    ui->pushButton_cancel_network->setText(QStringLiteral("Close"));
    ui->pushButton_retry->hide();
}

void FPDialog::showFailure(const QString &reason)
{
    m_sending = false;
    ui->pushButton_cancel_network->setText(QStringLiteral("Cancel"));
    ui->pushButton_retry->show();
    ui->stackedWidget_status->setCurrentWidget(ui->page_error);
    ui->label_status->setText(tr("Network Error: %1.").arg(reason));
    ui->label_info->setText(tr("Please try again."));
}
