#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

// Recognises the kernel's pseudo file systems (proc, sysfs, devtmpfs, ...),
// which a folder walk never enters: their "files" are views of kernel state,
// endless or with side effects when read.
class PseudoFileSystems
{
public:
    struct Mount
    {
        quint64 device = 0; // as stat() reports it in st_dev
        QString mountPoint;
        QByteArray type;
    };

    static bool isPseudoType(const QByteArray &fileSystemType);
    // statfs() f_type values of the pseudo file systems that have one of their
    // own (devtmpfs shares tmpfs's and is only known from the mount table).
    static bool isPseudoMagic(quint64 fileSystemMagic);
    // The type name of such an f_type value ("proc"); empty for any other.
    static QByteArray typeOfMagic(quint64 fileSystemMagic);

    // The mounts listed in /proc/self/mountinfo text; malformed lines are skipped.
    static QList<Mount> parseMountInfo(const QByteArray &mountInfoText);
    // The devices (st_dev) of the pseudo file system mounts in that text.
    static QSet<quint64> pseudoDevices(const QByteArray &mountInfoText);
    // The same devices with their file system types.
    static QHash<quint64, QByteArray> pseudoDeviceTypes(const QByteArray &mountInfoText);
    // The live set for this process's mount namespace; unreadable gives an empty set.
    static QSet<quint64>
    readPseudoDevices(const QString &mountInfoPath = QStringLiteral("/proc/self/mountinfo"));
    static QHash<quint64, QByteArray>
    readPseudoDeviceTypes(const QString &mountInfoPath = QStringLiteral("/proc/self/mountinfo"));
};
