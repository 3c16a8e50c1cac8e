#include "platform/procstat.h"

namespace {
// Reads an unsigned decimal number from [at, end); the token must end at a
// blank or at end. Advances at past the number.
template <typename T> bool readNumber(const char *&at, const char *end, T *value)
{
    if (at == end || *at < '0' || *at > '9')
        return false;
    T result = 0;
    for (; at != end && *at >= '0' && *at <= '9'; ++at) {
        const T digit = T(*at - '0');
        if (result > (T(~T(0)) - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    if (at != end && *at != ' ' && *at != '\n')
        return false;
    *value = result;
    return true;
}

// Steps over one blank-separated token.
bool skipToken(const char *&at, const char *end)
{
    if (at == end || *at == ' ')
        return false;
    while (at != end && *at != ' ' && *at != '\n')
        ++at;
    return true;
}

bool skipBlank(const char *&at, const char *end)
{
    if (at == end || *at != ' ')
        return false;
    ++at;
    return true;
}
} // namespace

bool ProcStat::parse(const QByteArray &text, ProcStat *stat)
{
    const qsizetype open = text.indexOf('(');
    const qsizetype close = text.lastIndexOf(')');
    if (open < 2 || close < open || text.at(open - 1) != ' ')
        return false;

    ProcStat parsed;
    const char *at = text.constData();
    const char *const end = text.constData() + text.size();
    if (!readNumber(at, text.constData() + open - 1, &parsed.pid) ||
        at != text.constData() + open - 1)
        return false;
    parsed.name = text.mid(open + 1, close - open - 1);

    // Fields 3 onwards follow the name, one blank apart.
    at = text.constData() + close + 1;
    if (!skipBlank(at, end) || at == end)
        return false;
    parsed.state = *at++;
    if (at != end && *at != ' ')
        return false;
    if (!skipBlank(at, end) || !readNumber(at, end, &parsed.parentPid)) // 4
        return false;
    for (int field = 5; field <= 8; ++field) {
        if (!skipBlank(at, end) || !skipToken(at, end))
            return false;
    }
    if (!skipBlank(at, end) || !readNumber(at, end, &parsed.flags)) // 9
        return false;
    for (int field = 10; field <= 21; ++field) {
        if (!skipBlank(at, end) || !skipToken(at, end))
            return false;
    }
    if (!skipBlank(at, end) || !readNumber(at, end, &parsed.startTime)) // 22
        return false;
    *stat = std::move(parsed);
    return true;
}
