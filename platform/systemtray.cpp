#include "platform/systemtray.h"

#include <QSystemTrayIcon>

namespace {
// GUI thread only, like the tray icon itself.
std::optional<bool> &testAnswer()
{
    static std::optional<bool> answer;
    return answer;
}
} // namespace

bool SystemTray::isAvailable()
{
    if (testAnswer())
        return *testAnswer();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void SystemTray::setAvailableForTesting(std::optional<bool> available)
{
    testAnswer() = available;
}
