#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <cstring>
#include <optional>
#include <vector>

// An MD5 digest as its 16 raw bytes: half the memory of its text, and the digest
// is already uniformly distributed, so its first bytes make a good hash.
struct Md5Key
{
    std::array<quint8, 16> bytes{};

    // 32 hexadecimal digits of either case; anything else gives nothing.
    static std::optional<Md5Key> fromHex(const char *text, qsizetype size);
    static std::optional<Md5Key> fromHex(const QByteArray &text)
    {
        return fromHex(text.constData(), text.size());
    }
    // The 32 lower-case digits.
    void appendHex(QByteArray &out) const;

    bool operator==(const Md5Key &other) const { return bytes == other.bytes; }
};

// What the registry knows of one digest.
struct HashListEntry
{
    int detectionRate = 0;
    qint64 lastSeen = 0;
};

// The digests the registry answers for, read from a text list:
//   <md5> <detection rate> [<last-seen unix time>]
// one per line; blank lines and lines starting with "#" are ignored.
class HashList
{
public:
    HashList() = default;

    // Reads the text. Malformed lines are skipped and described, with their line
    // number, in problems. A listed digest without a last-seen time gets
    // defaultLastSeen. A later line for the same digest replaces the earlier one.
    static HashList parse(const QByteArray &text, qint64 defaultLastSeen, QStringList *problems);

    // Reads the file; the last-seen default is the file's modification time.
    // Fails (nothing, and the reason in error) when the file cannot be read, is
    // not text, does not end with a line end, or has malformed lines and not a
    // single usable one.
    static std::optional<HashList> load(const QString &path, QStringList *problems, QString *error);

    const HashListEntry *find(const Md5Key &key) const;
    // Hints that key will be looked up soon. Large lists do not fit in the CPU
    // caches; asking for several slots ahead hides most of the memory latency.
    void prefetch(const Md5Key &key) const;
    int size() const { return m_size; }
    // Adds the digest, or replaces what is known of it.
    void insert(const Md5Key &key, const HashListEntry &entry);

private:
    // Open addressing with linear probing, at most half full: a look-up is
    // mostly one cache line, and answering is dominated by look-ups.
    struct Slot
    {
        Md5Key key;
        HashListEntry entry;
        bool used = false;
    };

    size_t homeSlot(const Md5Key &key) const;
    size_t slotOf(const Md5Key &key) const;
    void grow();

    std::vector<Slot> m_slots;
    int m_size = 0;
    int m_malformedLines = 0;
};
