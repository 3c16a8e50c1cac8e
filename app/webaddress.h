#pragma once

#include <QUrl>

// The addresses that the program opens in the user's browser or mail program.
// They are values of the build (WINORVEX_DOWNLOAD_URL, WINORVEX_FEEDBACK_URL,
// WINORVEX_REMOVAL_INFO_URL); help and licence are shipped as resources instead.
namespace WebAddress {

// Where new versions are offered for download.
QUrl download();
// Where feedback goes, a mailto: address as a rule.
QUrl feedback();
// The page on removing malware that the removal tab points to.
QUrl removalInformation();

} // namespace WebAddress
