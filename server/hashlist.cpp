#include "server/hashlist.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QList>

namespace {

struct HexTable
{
    qint8 values[256];
    constexpr HexTable() : values()
    {
        for (int i = 0; i < 256; ++i)
            values[i] = -1;
        for (int i = 0; i < 10; ++i)
            values['0' + i] = static_cast<qint8>(i);
        for (int i = 0; i < 6; ++i) {
            values['a' + i] = static_cast<qint8>(10 + i);
            values['A' + i] = static_cast<qint8>(10 + i);
        }
    }
};
constexpr HexTable hexTable;

int hexValue(char c)
{
    return hexTable.values[static_cast<unsigned char>(c)];
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Splits at runs of blanks; leading and trailing blanks give no field.
QList<QByteArray> fields(const QByteArray &line)
{
    QList<QByteArray> result;
    qsizetype i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line.at(i)))
            ++i;
        const qsizetype start = i;
        while (i < line.size() && !isBlank(line.at(i)))
            ++i;
        if (i > start)
            result.append(line.mid(start, i - start));
    }
    return result;
}

bool isDecimal(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

std::optional<Md5Key> Md5Key::fromHex(const char *text, qsizetype size)
{
    if (size != 32)
        return std::nullopt;
    Md5Key key;
    for (int i = 0; i < 16; ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        key.bytes[i] = static_cast<quint8>(high << 4 | low);
    }
    return key;
}

void Md5Key::appendHex(QByteArray &out) const
{
    static const char digits[] = "0123456789abcdef";
    char text[32];
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    out.append(text, 32);
}

HashList HashList::parse(const QByteArray &text, qint64 defaultLastSeen, QStringList *problems)
{
    HashList list;
    auto complain = [&](int lineNumber, const QString &what) {
        ++list.m_malformedLines;
        if (problems)
            problems->append(QStringLiteral("line %1: %2").arg(lineNumber).arg(what));
    };

    int lineNumber = 0;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        QByteArray line = text.mid(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (line.endsWith('\r'))
            line.chop(1);

        const QList<QByteArray> parts = fields(line);
        if (parts.isEmpty() || parts.first().startsWith('#'))
            continue;
        if (parts.size() < 2 || parts.size() > 3) {
            complain(lineNumber, QStringLiteral("expected \"<md5> <detection rate> "
                                                "[<last-seen unix time>]\""));
            continue;
        }
        const std::optional<Md5Key> key = Md5Key::fromHex(parts.at(0));
        if (!key) {
            complain(lineNumber, QStringLiteral("the digest is not 32 hexadecimal digits"));
            continue;
        }
        bool ok = false;
        const int rate = parts.at(1).toInt(&ok);
        if (!isDecimal(parts.at(1)) || !ok || rate > 100) {
            complain(lineNumber, QStringLiteral("the detection rate is not a whole number "
                                                "from 0 to 100"));
            continue;
        }
        qint64 lastSeen = defaultLastSeen;
        if (parts.size() == 3) {
            lastSeen = parts.at(2).toLongLong(&ok);
            if (!isDecimal(parts.at(2)) || !ok) {
                complain(lineNumber, QStringLiteral("the last-seen time is not an unsigned "
                                                    "count of seconds"));
                continue;
            }
        }
        list.insert(*key, HashListEntry{rate, lastSeen});
    }
    return list;
}

std::optional<HashList> HashList::load(const QString &path, QStringList *problems, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    const QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    if (text.contains('\0')) {
        if (error)
            *error = QStringLiteral("%1 is not a text file").arg(path);
        return std::nullopt;
    }
    // A file cut short (a copy that failed, a writer not done yet) may end in
    // a line that still parses, with a wrong rate: "100" cut to "1".
    if (!text.isEmpty() && !text.endsWith('\n')) {
        if (error) {
            *error = QStringLiteral("%1: the last line has no line end (the file may be cut "
                                    "short or still being written)")
                         .arg(path);
        }
        return std::nullopt;
    }
    const qint64 modified = QFileInfo(path).lastModified().toSecsSinceEpoch();
    HashList list = parse(text, qMax<qint64>(0, modified), problems);
    if (list.m_malformedLines > 0 && list.m_size == 0) {
        if (error)
            *error = QStringLiteral("%1 has no usable line").arg(path);
        return std::nullopt;
    }
    return list;
}

size_t HashList::homeSlot(const Md5Key &key) const
{
    // The digest is already uniformly distributed; its first bytes are the hash.
    quint64 hash;
    std::memcpy(&hash, key.bytes.data(), sizeof hash);
    return static_cast<size_t>(hash) & (m_slots.size() - 1);
}

size_t HashList::slotOf(const Md5Key &key) const
{
    const size_t mask = m_slots.size() - 1;
    size_t slot = homeSlot(key);
    while (m_slots[slot].used && !(m_slots[slot].key == key))
        slot = (slot + 1) & mask;
    return slot;
}

void HashList::grow()
{
    std::vector<Slot> old;
    old.swap(m_slots);
    m_slots.resize(old.empty() ? 16 : old.size() * 2);
    for (const Slot &slot : old) {
        if (slot.used)
            m_slots[slotOf(slot.key)] = slot;
    }
}

void HashList::insert(const Md5Key &key, const HashListEntry &entry)
{
    if (static_cast<size_t>(m_size + 1) * 2 > m_slots.size())
        grow();
    Slot &slot = m_slots[slotOf(key)];
    if (!slot.used) {
        slot.used = true;
        slot.key = key;
        ++m_size;
    }
    slot.entry = entry;
}

void HashList::prefetch(const Md5Key &key) const
{
    if (!m_slots.empty())
        __builtin_prefetch(&m_slots[homeSlot(key)]);
}

const HashListEntry *HashList::find(const Md5Key &key) const
{
    if (m_slots.empty())
        return nullptr;
    const Slot &slot = m_slots[slotOf(key)];
    return slot.used ? &slot.entry : nullptr;
}
