#include "fakeplatforminfo.h"

FakePlatformInfo::FakePlatformInfo(int versionCode, bool administrator, bool windows64)
    : m_versionCode(versionCode), m_administrator(administrator), m_windows64(windows64)
{
    PlatformInfo::setInstance(this);
}

FakePlatformInfo::~FakePlatformInfo()
{
    PlatformInfo::setInstance(nullptr);
}
