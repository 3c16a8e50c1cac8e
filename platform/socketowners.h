#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QtGlobal>

// Which process holds each socket: the process whose /proc/<pid>/fd has a link
// "socket:[<inode>]". Looking means reading every descriptor of every
// process, so an inode's owner is looked up once, the first time the inode is
// asked about; later snapshots take it from here. An inode that no readable
// process holds has the owner 0, and is not looked for again either.
class SocketOwners
{
public:
    explicit SocketOwners(const QByteArray &procRoot = "/proc");

    // Finds the owners of the inodes not seen before, in one pass over the
    // processes; with forgetOthers, forgets the inodes that are not among
    // these (sockets that have closed).
    void update(const QSet<quint64> &inodes, bool forgetOthers = true);
    // The owner found for an inode; 0 when none was found (or 0 was asked).
    quint32 owner(quint64 inode) const { return m_owners.value(inode); }

    // How many passes over the processes' descriptors were made.
    int sweeps() const { return m_sweeps; }

    // The inode of a descriptor link's text "socket:[<inode>]"; false for
    // any other link.
    static bool socketInode(const char *link, qsizetype length, quint64 *inode);

private:
    void sweep(QSet<quint64> wanted);

    QByteArray m_root;
    QHash<quint64, quint32> m_owners;
    int m_sweeps = 0;
};
