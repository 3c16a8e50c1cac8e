#include "files/sqllike.h"

QString SqlLike::literal(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (c == u'\\' || c == u'%' || c == u'_')
            escaped += u'\\';
        escaped += c;
        if (c == u'\'')
            escaped += u'\'';
    }
    return escaped;
}

QString SqlLike::containsFilter(const QString &column, const QString &text)
{
    if (text.contains(QChar::Null))
        return QStringLiteral("0");
    return QStringLiteral("%1 LIKE '%%2%' ESCAPE '\\'").arg(column, literal(text));
}
