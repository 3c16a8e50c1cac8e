#include "processes/openedfiles.h"

QString OpenedFiles::add(UniqueFd fd, const QString &key)
{
    const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd.get());
    m_fds.push_back(std::move(fd));
    m_paths.append(path);
    m_keys.insert(path, key);
    return path;
}

void OpenedFiles::clear()
{
    m_keys.clear();
    m_paths.clear();
    m_fds.clear();
}
