#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QTimer>

class CheckingForUpdatesDialog;
class QTcpSocket;
class QWidget;
class UpdateDialog;

// Asks the update server whether a newer version exists: on demand, with a
// progress dialog, or automatically at most once every seven days. One exchange
// at a time: a new check drops the connection of the one before.
class SoftwareUpdater : public QObject
{
    Q_OBJECT

public:
    static constexpr int CheckIntervalDays = 7;
    // An answer is read until the server closes, up to this many bytes.
    static constexpr qint64 MaxAnswerSize = 64 * 1024;
    // A server that has not closed by then has failed the check.
    static constexpr int AnswerTimeoutMs = 30000;

    // The progress dialog is a child of dialogParent; the updater itself has no
    // parent and is deleted by its owner.
    explicit SoftwareUpdater(QWidget *dialogParent = nullptr);
    ~SoftwareUpdater() override;

    void checkForUpdates(bool interactive);

    static void setAutomaticUpdateCheckEnabled(bool enabled);
    static bool isAutomaticUpdateCheckEnabled();

    void setLastUpdateCheck(const QDateTime &time) { m_lastUpdateCheck = time; }
    QDateTime lastUpdateCheck() const { return m_lastUpdateCheck; }

    CheckingForUpdatesDialog *progressDialog() const;
    // The offer on screen, if any.
    UpdateDialog *updateDialog() const;
    bool isChecking() const { return m_socket != nullptr; }

    // Test seam, never used by the shipped program: switched off, an automatic
    // check stops before it goes to the network, so a test that loads the
    // preferences of a window reaches no update server.
    static void setTestAutomaticChecksAllowed(bool allowed);
    static bool testAutomaticChecksAllowed();

Q_SIGNALS:
    // A check that went to the network ended: answered, failed or timed out.
    void checkFinished();

protected Q_SLOTS:
    void handleConnected();
    void readUpdate();
    void handleSocketError(QAbstractSocket::SocketError error);

private:
    void handleDisconnected();
    void handleTimeout();
    void handleAnswer(QByteArray answer);
    void showError();
    // Drops the connection without reading more of it.
    void dropConnection();

    QTcpSocket *m_socket = nullptr;
    QByteArray m_answer;
    QTimer m_answerTimer;
    bool m_interactive = false;
    QDateTime m_lastUpdateCheck;
    QPointer<CheckingForUpdatesDialog> m_progressDialog;
    QPointer<UpdateDialog> m_updateDialog;
};
