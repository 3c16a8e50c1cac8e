#pragma once

// Names the property of a process row that a worker changes through
// setProcessProperty(). The registry client uses 7, 10 and 11 with the same
// meanings.
class WinProcess
{
public:
    enum ProcessProperty {
        BaseName = 5,
        FilePath = 6,
        OrvexState = 7,
        SmallIcon = 8,
        LargeIcon = 9,
        LastSeenByOrvex = 10,
        DetectionRate = 11,
        MaliciousModule = 12,
        SHA1 = 13,
        MD5 = 14
    };
};
