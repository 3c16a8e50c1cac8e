#pragma once

#include "platform/platforminfo.h"

#include <QString>

class LinuxPlatformInfo : public PlatformInfo
{
public:
    int versionCode() const override;
    bool isAdministrator() const override;
    bool is64BitWindows() const override;

    // "6.1.0-18-amd64" gives 0x0601; text without a leading "major.minor" gives 0.
    static int versionCodeFromRelease(const QString &release);
};
