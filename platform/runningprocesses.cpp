#include "platform/runningprocesses.h"

#include "platform/linuxrunningprocesses.h"

#include <atomic>
#include <cerrno>

namespace {
std::atomic<const RunningProcesses *> g_override{nullptr};
}

RunningProcesses::~RunningProcesses() = default;

bool RunningProcesses::hasEnded(int error)
{
    return error == ENOENT || error == ESRCH;
}

bool RunningProcesses::isDenied(int error)
{
    return error == EACCES || error == EPERM;
}

const RunningProcesses &RunningProcesses::instance()
{
    if (const RunningProcesses *processes = g_override.load())
        return *processes;
    static const LinuxRunningProcesses linuxProcesses;
    return linuxProcesses;
}

void RunningProcesses::setInstance(const RunningProcesses *processes)
{
    g_override.store(processes);
}
