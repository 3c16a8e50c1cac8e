#pragma once

#include <QString>

// Filters typed by the user, as SQL that matches their text literally: quotes,
// "%", "_" and the escape character itself lose their meaning in LIKE.
namespace SqlLike {

// Text as the inside of a quoted LIKE pattern with the escape character "\".
QString literal(const QString &text);

// "<column> LIKE '%<text>%' ESCAPE '\'": the rows whose column contains the
// text, in any letter case (an empty text matches every row). Text holding NUL,
// which SQL text cannot carry and no stored value holds, matches nothing.
QString containsFilter(const QString &column, const QString &text);

} // namespace SqlLike
