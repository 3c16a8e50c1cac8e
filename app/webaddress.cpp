#include "app/webaddress.h"

QUrl WebAddress::download()
{
    return QUrl(QStringLiteral(WINORVEX_DOWNLOAD_URL));
}

QUrl WebAddress::feedback()
{
    return QUrl(QStringLiteral(WINORVEX_FEEDBACK_URL));
}

QUrl WebAddress::removalInformation()
{
    return QUrl(QStringLiteral(WINORVEX_REMOVAL_INFO_URL));
}
