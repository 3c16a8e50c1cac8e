#pragma once

#include "platform/systemtray.h"

// A desktop with or without a system tray, as the test chooses, for the fake's
// lifetime.
class FakeTray
{
public:
    explicit FakeTray(bool available) { SystemTray::setAvailableForTesting(available); }
    ~FakeTray() { SystemTray::setAvailableForTesting(std::nullopt); }
    FakeTray(const FakeTray &) = delete;
    FakeTray &operator=(const FakeTray &) = delete;
};
