#include "platform/platforminfo.h"

#include "platform/linuxplatforminfo.h"

#include <atomic>

namespace {
std::atomic<const PlatformInfo *> g_override{nullptr};
}

PlatformInfo::~PlatformInfo() = default;

const PlatformInfo &PlatformInfo::instance()
{
    if (const PlatformInfo *info = g_override.load())
        return *info;
    static const LinuxPlatformInfo linuxInfo;
    return linuxInfo;
}

void PlatformInfo::setInstance(const PlatformInfo *info)
{
    g_override.store(info);
}
