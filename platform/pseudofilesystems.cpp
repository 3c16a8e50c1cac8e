#include "platform/pseudofilesystems.h"

#include "platform/filename.h"
#include "platform/kerneltext.h"

#include <sys/sysmacros.h>

bool PseudoFileSystems::isPseudoType(const QByteArray &fileSystemType)
{
    static const QSet<QByteArray> types = {
        "proc",    "sysfs",     "devtmpfs",   "devpts",      "cgroup", "cgroup2",
        "debugfs", "tracefs",   "securityfs", "configfs",    "bpf",    "pstore",
        "mqueue",  "hugetlbfs", "fusectl",    "binfmt_misc", "autofs", "efivarfs"};
    return types.contains(fileSystemType);
}

namespace {
// Values from <linux/magic.h>.
const QHash<quint64, QByteArray> &pseudoMagics()
{
    static const QHash<quint64, QByteArray> magics = {
        {0x9fa0, "proc"},          {0x62656572, "sysfs"},      {0x1cd1, "devpts"},
        {0x27e0eb, "cgroup"},      {0x63677270, "cgroup2"},    {0x64626720, "debugfs"},
        {0x74726163, "tracefs"},   {0x73636673, "securityfs"}, {0x62656570, "configfs"},
        {0xcafe4a11, "bpf"},       {0x6165676c, "pstore"},     {0x19800202, "mqueue"},
        {0x958458f6, "hugetlbfs"}, {0x65735543, "fusectl"},    {0x42494e4d, "binfmt_misc"},
        {0x0187, "autofs"},        {0xde5e81e4, "efivarfs"},
    };
    return magics;
}
} // namespace

bool PseudoFileSystems::isPseudoMagic(quint64 fileSystemMagic)
{
    return pseudoMagics().contains(fileSystemMagic);
}

QByteArray PseudoFileSystems::typeOfMagic(quint64 fileSystemMagic)
{
    return pseudoMagics().value(fileSystemMagic);
}

QList<PseudoFileSystems::Mount> PseudoFileSystems::parseMountInfo(const QByteArray &mountInfoText)
{
    // "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue":
    // a variable number of optional fields ends with a lone "-", then the type.
    QList<Mount> mounts;
    for (const QByteArray &line : mountInfoText.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype separator = fields.indexOf(QByteArray("-"), 6);
        if (fields.size() < 7 || separator < 0 || separator + 1 >= fields.size())
            continue;
        const QList<QByteArray> numbers = fields.at(2).split(':');
        if (numbers.size() != 2)
            continue;
        bool majorOk = false;
        bool minorOk = false;
        const uint major = numbers.at(0).toUInt(&majorOk);
        const uint minor = numbers.at(1).toUInt(&minorOk);
        if (!majorOk || !minorOk)
            continue;
        Mount mount;
        mount.device = makedev(major, minor);
        mount.mountPoint = FileName::fromBytes(unescapeKernelOctal(fields.at(4)));
        mount.type = unescapeKernelOctal(fields.at(separator + 1));
        mounts.append(mount);
    }
    return mounts;
}

QSet<quint64> PseudoFileSystems::pseudoDevices(const QByteArray &mountInfoText)
{
    const QHash<quint64, QByteArray> types = pseudoDeviceTypes(mountInfoText);
    QSet<quint64> devices;
    for (auto device = types.cbegin(); device != types.cend(); ++device)
        devices.insert(device.key());
    return devices;
}

QHash<quint64, QByteArray> PseudoFileSystems::pseudoDeviceTypes(const QByteArray &mountInfoText)
{
    QHash<quint64, QByteArray> devices;
    for (const Mount &mount : parseMountInfo(mountInfoText)) {
        // "fuse.sshfs" and the like are real; only the exact kernel types count.
        if (isPseudoType(mount.type))
            devices.insert(mount.device, mount.type);
    }
    return devices;
}

QSet<quint64> PseudoFileSystems::readPseudoDevices(const QString &mountInfoPath)
{
    QByteArray text;
    if (!readKernelTextFile(
            mountInfoPath, &text,
            QStringLiteral("PseudoFileSystems::readPseudoDevices() %1").arg(mountInfoPath)))
        return {};
    return pseudoDevices(text);
}

QHash<quint64, QByteArray> PseudoFileSystems::readPseudoDeviceTypes(const QString &mountInfoPath)
{
    QByteArray text;
    if (!readKernelTextFile(
            mountInfoPath, &text,
            QStringLiteral("PseudoFileSystems::readPseudoDevices() %1").arg(mountInfoPath)))
        return {};
    return pseudoDeviceTypes(text);
}
