#pragma once

#include "platform/platforminfo.h"

// A machine whose answers the test chooses; installs itself for its lifetime.
class FakePlatformInfo : public PlatformInfo
{
public:
    FakePlatformInfo(int versionCode, bool administrator, bool windows64 = false);
    ~FakePlatformInfo() override;

    int versionCode() const override { return m_versionCode; }
    bool isAdministrator() const override { return m_administrator; }
    bool is64BitWindows() const override { return m_windows64; }

private:
    int m_versionCode;
    bool m_administrator;
    bool m_windows64;
};
