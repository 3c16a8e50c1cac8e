#include "services/softwareupdater.h"

#include "platform/clock.h"
#include "platform/serveraddress.h"
#include "registry/orvexcommunicator.h"
#include "services/checkingforupdatesdialog.h"
#include "services/updatedialog.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTcpSocket>

#include <atomic>

namespace {
std::atomic<bool> g_automaticCheckEnabled{false};
std::atomic<bool> g_testAutomaticChecksAllowed{true};
const QByteArray Greeting = QByteArrayLiteral("Got a connection.");
} // namespace

SoftwareUpdater::SoftwareUpdater(QWidget *dialogParent)
{
    m_progressDialog = new CheckingForUpdatesDialog(dialogParent);
    m_answerTimer.setSingleShot(true);
    connect(&m_answerTimer, &QTimer::timeout, this, &SoftwareUpdater::handleTimeout);
}

SoftwareUpdater::~SoftwareUpdater()
{
    dropConnection();
    delete m_updateDialog;
    delete m_progressDialog;
}

CheckingForUpdatesDialog *SoftwareUpdater::progressDialog() const
{
    return m_progressDialog;
}

UpdateDialog *SoftwareUpdater::updateDialog() const
{
    return m_updateDialog;
}

void SoftwareUpdater::setAutomaticUpdateCheckEnabled(bool enabled)
{
    qDebug().noquote() << QStringLiteral(
                              "SoftwareUpdater::setAutomaticUpdateCheckEnabled( %1 ) called")
                              .arg(enabled ? 1 : 0);
    g_automaticCheckEnabled.store(enabled);
}

bool SoftwareUpdater::isAutomaticUpdateCheckEnabled()
{
    return g_automaticCheckEnabled.load();
}

void SoftwareUpdater::setTestAutomaticChecksAllowed(bool allowed)
{
    g_testAutomaticChecksAllowed.store(allowed);
}

bool SoftwareUpdater::testAutomaticChecksAllowed()
{
    return g_testAutomaticChecksAllowed.load();
}

void SoftwareUpdater::checkForUpdates(bool interactive)
{
    qDebug().noquote()
        << QStringLiteral("SoftwareUpdater::checkForUpdates( %1 ) called").arg(interactive ? 1 : 0);
    m_interactive = interactive;
    if (!interactive) {
        const qint64 days = m_lastUpdateCheck.daysTo(Clock::currentDateTime());
        qDebug().noquote() << QStringLiteral("SoftwareUpdater::checkForUpdates() it has been %1 "
                                             "days since last update check")
                                  .arg(days);
        // A last check "in the future" says only that the clock was wrong then.
        if (m_lastUpdateCheck.isValid() && days >= 0 && days < CheckIntervalDays)
            return;
        if (!g_testAutomaticChecksAllowed.load()) {
            qDebug() << "SoftwareUpdater::checkForUpdates() automatic checks are switched off";
            return;
        }
    } else {
        // A new check starts on the busy page, whatever the last one left.
        m_progressDialog->showCheckingPage();
        m_progressDialog->show();
        m_progressDialog->raise();
    }

    const ServerAddress server = ServerAddress::updateServer();
    qDebug().noquote() << QStringLiteral("SoftwareUpdater::checkForUpdates() checking for "
                                         "updates from %1:%2")
                              .arg(server.host)
                              .arg(server.port);
    dropConnection();
    m_socket = new QTcpSocket(this);
    // Memory for one answer, however fast the server sends.
    m_socket->setReadBufferSize(MaxAnswerSize + 1);
    connect(m_socket, &QTcpSocket::readyRead, this, &SoftwareUpdater::readUpdate);
    connect(m_socket, &QTcpSocket::connected, this, &SoftwareUpdater::handleConnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &SoftwareUpdater::handleSocketError);
    connect(m_socket, &QTcpSocket::disconnected, this, &SoftwareUpdater::handleDisconnected);
    m_answerTimer.start(Clock::wait(AnswerTimeoutMs));
    m_socket->connectToHost(server.host, server.port, QIODevice::ReadWrite);
}

void SoftwareUpdater::dropConnection()
{
    m_answerTimer.stop();
    m_answer.clear();
    if (!m_socket)
        return;
    // Nothing more of this exchange reaches the updater, not even its end.
    m_socket->disconnect(this);
    m_socket->abort();
    m_socket->deleteLater();
    m_socket = nullptr;
}

void SoftwareUpdater::handleConnected()
{
    const QByteArray request = QCoreApplication::applicationVersion().toUtf8() + '|' +
                               OrvexCommunicator::platformDigest() + '|' +
                               OrvexCommunicator::installationDigest() + '\n';
    m_socket->write(request);
    m_socket->flush();
}

void SoftwareUpdater::readUpdate()
{
    m_answer += m_socket->readAll();
    if (m_answer.size() <= MaxAnswerSize)
        return;
    qWarning().noquote() << QStringLiteral("SoftwareUpdater::readUpdate() the answer is larger "
                                           "than %1 bytes; dropping it")
                                .arg(MaxAnswerSize);
    dropConnection();
    showError();
}

void SoftwareUpdater::handleDisconnected()
{
    // The server closed: the answer is whole.
    readUpdate();
    if (!m_socket)
        return;
    const QByteArray answer = m_answer;
    dropConnection();
    handleAnswer(answer);
}

void SoftwareUpdater::handleSocketError(QAbstractSocket::SocketError error)
{
    // The server closing is how an answer ends; disconnected() follows.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    qWarning().noquote() << QStringLiteral("SoftwareUpdater::handleSocketError( %1 ) called: %2")
                                .arg(int(error))
                                .arg(m_socket->errorString());
    dropConnection();
    showError();
}

void SoftwareUpdater::handleTimeout()
{
    qWarning().noquote() << QStringLiteral("SoftwareUpdater::handleTimeout() the update server "
                                           "did not answer within %1 seconds")
                                .arg(AnswerTimeoutMs / 1000);
    dropConnection();
    showError();
}

void SoftwareUpdater::showError()
{
    // Only a check the user asked for shows its dialog.
    m_progressDialog->showErrorPage();
    if (m_interactive) {
        m_progressDialog->show();
        m_progressDialog->raise();
    }
    Q_EMIT checkFinished();
}

void SoftwareUpdater::handleAnswer(QByteArray answer)
{
    // A server may greet first; the answer follows on the next line.
    if (answer.startsWith(Greeting)) {
        const qsizetype lineEnd = answer.indexOf('\n');
        answer = lineEnd < 0 ? QByteArray() : answer.mid(lineEnd + 1);
    }
    if (answer.endsWith('\n'))
        answer.chop(1);
    if (answer.endsWith('\r'))
        answer.chop(1);
    qDebug().noquote() << QStringLiteral(
                              "SoftwareUpdater::readUpdate() got a payload of size %1: '%2'")
                              .arg(answer.size())
                              .arg(QString::fromLatin1(answer));

    if (answer.isEmpty() || answer == "ERROR") {
        showError();
        return;
    }
    m_lastUpdateCheck = Clock::currentDateTime();
    if (answer == "UP_TO_DATE") {
        if (m_interactive) {
            m_progressDialog->showUpToDatePage();
            m_progressDialog->show();
            m_progressDialog->raise();
        }
        Q_EMIT checkFinished();
        return;
    }
    m_progressDialog->hide();
    delete m_updateDialog;
    m_updateDialog = new UpdateDialog;
    m_updateDialog->setAttribute(Qt::WA_DeleteOnClose);
    m_updateDialog->loadPayload(answer);
    m_updateDialog->setWindowModality(Qt::ApplicationModal);
    m_updateDialog->show();
    Q_EMIT checkFinished();
}
