#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QtGlobal>

// Tells the files of pseudo file systems (proc, sysfs, devtmpfs, ...) by the
// device their stat() reports. The devices of the mount table are known at
// once; any other device is asked its statfs() type the first time one of its
// files is met, and remembered. One per run of a worker: not thread-safe.
class PseudoDevices
{
public:
    // The devices of this process's live mount table.
    static PseudoDevices live();
    // Test seam: these devices (st_dev) and their types instead.
    explicit PseudoDevices(QHash<quint64, QByteArray> mountTableDevices);

    // Whether device, on which the file at path (bytes, any length) lies, is a
    // pseudo file system. The path's file system is asked only when the device
    // is new. *type: the file system's name, when it is one.
    bool isPseudo(quint64 device, const QByteArray &path, QByteArray *type = nullptr);
    // The same for an open file.
    bool isPseudoFd(quint64 device, int fd, QByteArray *type = nullptr);

private:
    bool known(quint64 device, bool *pseudo, QByteArray *type) const;
    bool remember(quint64 device, bool asked, quint64 magic, QByteArray *type);

    QHash<quint64, QByteArray> m_pseudo; // device -> type name
    QSet<quint64> m_real;                // devices that were asked and are real
};
