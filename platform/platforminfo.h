#pragma once

// What the logic needs to know about the machine it runs on. The Linux
// implementation is installed by default; tests install a fake.
class PlatformInfo
{
public:
    virtual ~PlatformInfo();

    // A stable small integer for the running kernel: major * 256 + minor.
    virtual int versionCode() const = 0;
    // True when the user can inspect every process (effective uid 0).
    virtual bool isAdministrator() const = 0;
    // True on 64-bit Windows only; the process environment decides.
    virtual bool is64BitWindows() const = 0;

    static const PlatformInfo &instance();
    // Test seam: replace the implementation (nullptr restores the Linux one).
    // The caller keeps ownership.
    static void setInstance(const PlatformInfo *info);
};
