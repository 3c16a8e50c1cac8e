#include "platform/pseudodevices.h"

#include "platform/longpath.h"
#include "platform/pseudofilesystems.h"

#include <sys/vfs.h>

PseudoDevices PseudoDevices::live()
{
    return PseudoDevices(PseudoFileSystems::readPseudoDeviceTypes());
}

PseudoDevices::PseudoDevices(QHash<quint64, QByteArray> mountTableDevices)
    : m_pseudo(std::move(mountTableDevices))
{
}

bool PseudoDevices::known(quint64 device, bool *pseudo, QByteArray *type) const
{
    const auto found = m_pseudo.constFind(device);
    if (found != m_pseudo.constEnd()) {
        if (type)
            *type = found.value();
        *pseudo = true;
        return true;
    }
    if (m_real.contains(device)) {
        *pseudo = false;
        return true;
    }
    return false;
}

bool PseudoDevices::remember(quint64 device, bool asked, quint64 magic, QByteArray *type)
{
    // A device that cannot be asked is not remembered: the next file may tell.
    if (!asked)
        return false;
    if (!PseudoFileSystems::isPseudoMagic(magic)) {
        m_real.insert(device);
        return false;
    }
    const QByteArray name = PseudoFileSystems::typeOfMagic(magic);
    m_pseudo.insert(device, name);
    if (type)
        *type = name;
    return true;
}

bool PseudoDevices::isPseudo(quint64 device, const QByteArray &path, QByteArray *type)
{
    bool pseudo = false;
    if (known(device, &pseudo, type))
        return pseudo;
    struct statfs fileSystem;
    const bool asked = LongPath::statfs(path, &fileSystem);
    return remember(device, asked, asked ? quint64(fileSystem.f_type) : 0, type);
}

bool PseudoDevices::isPseudoFd(quint64 device, int fd, QByteArray *type)
{
    bool pseudo = false;
    if (known(device, &pseudo, type))
        return pseudo;
    struct statfs fileSystem;
    const bool asked = ::fstatfs(fd, &fileSystem) == 0;
    return remember(device, asked, asked ? quint64(fileSystem.f_type) : 0, type);
}
