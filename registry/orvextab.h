#pragma once

#include <QList>
#include <QString>
#include <QVariant>
#include <QWidget>

// Base of the tabs that ask the registry about digests and show its answers.
class OrvexTab : public QWidget
{
    Q_OBJECT

public:
    explicit OrvexTab(QWidget *parent = nullptr);

Q_SIGNALS:
    void queryOrvex(QList<QString>);
    // The user stopped what this tab asked for: the queries it started must end.
    void queryStopRequested();

public Q_SLOTS:
    virtual void setOrvexDataPacked(QString) = 0;
    virtual void setOrvexData(QString, int, QVariant) = 0;
    virtual void OrvexQueryStarted() = 0;
    virtual void OrvexQueryFinished() = 0;
    // The registry never answered this MD5 digest acceptably: it cannot be checked.
    virtual void setOrvexDataUnanswered(QString p_md5) = 0;
};
