#pragma once

#include "platform/processmaps.h"
#include "processes/winfinder.h"

#include <QHash>
#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QSet>
#include <QString>

// What a module snapshot knows beyond its records.
struct ModuleSnapshot
{
    // Each record's mapped file: which file it is and where it is mapped.
    QHash<QString, MappedFile> files;
    // Processes whose modules could not be read although they still run (or
    // may): their modules are unknown, not gone.
    QList<quint32> unreadPids;
};
Q_DECLARE_METATYPE(ModuleSnapshot)

// Takes one snapshot per run of the modules that the given processes have
// loaded, from /proc/<pid>/maps: one module packed record (pid, path, name;
// processes/modulerecord.h) per file mapped with execute permission, each
// path once per process in order of first appearance, the process's own
// executable left out.
class WinModuleFinder : public WinFinder
{
    Q_OBJECT

public:
    explicit WinModuleFinder(QObject *parent = nullptr);
    ~WinModuleFinder() override;

    // The processes of the next snapshots. Process 0 is no process on Linux
    // and is left out; every other id is a process that may have modules.
    void setPIDs(QList<quint32> pids);
    QList<quint32> pids() const;

    // The snapshot itself, used by run(); details may be null.
    QList<QString> getModules(ModuleSnapshot *details = nullptr);

    // Test seam: read processes from a folder laid out like /proc.
    void setProcRoot(const QByteArray &procRoot) { m_procRoot = procRoot; }

Q_SIGNALS:
    // Right before currentModules(), for the same snapshot.
    void currentModuleFiles(ModuleSnapshot);
    void currentModules(QList<QString>);

protected:
    void run() override;

private:
    mutable QMutex m_mutex; // guards m_pids
    QList<quint32> m_pids;
    QByteArray m_procRoot = "/proc";
    // The finder thread's own: processes whose denial was logged already, so
    // that one another user's process is one line in the log, not one a pass.
    QSet<quint32> m_deniedLogged;
    QByteArray m_buffer;
};
