#pragma once

#include "platform/uniquefd.h"

#include <QByteArray>

struct stat;
struct statfs;

// System calls on paths of any length. The kernel refuses a path of PATH_MAX
// (4096) bytes or more with ENAMETOOLONG, yet a folder tree can be as deep as
// anyone likes. A long path is resolved in pieces shorter than PATH_MAX, each
// relative to the folder the one before reached, just as the kernel resolves
// the whole: symbolic links on the way are followed, ".." goes up. Short paths
// take the plain call. Failures return false (or an invalid descriptor) with
// errno set.
namespace LongPath {

// ::open(path, flags).
UniqueFd open(const QByteArray &path, int flags);
// ::stat(path), or ::lstat(path) when followLinks is false.
bool stat(const QByteArray &path, struct stat *status, bool followLinks = true);
// ::statfs(path).
bool statfs(const QByteArray &path, struct statfs *status);

} // namespace LongPath
