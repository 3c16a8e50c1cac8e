#pragma once

#include <QMutex>
#include <QObject>
#include <QUuid>

// The one identifier of this installation, sent (as an MD5) with every registry
// query. The main window loads it from and saves it to the preferences file.
class UniqueId : public QObject
{
    Q_OBJECT

public:
    // Stores the identifier; a null one is replaced by a newly created identifier.
    static void setInstallationUuid(const QUuid &uuid);
    // The stored identifier, null until set.
    static QUuid installationUuid();
    // The stored identifier, created first when none is set yet. Checking and
    // creating happen under one lock so that handler threads racing here all
    // send the same identifier.
    static QUuid ensureInstallationUuid();

private:
    static QMutex s_mutex;
    static QUuid s_installationUuid;
};
