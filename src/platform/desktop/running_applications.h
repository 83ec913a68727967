#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string_view>
#include <vector>

// One running instance of an application: a process of the current user, named by its process
// identifier together with the time it started, so that a handle never reaches a later process
// that happens to reuse the identifier.
class RunningApplication {
public:
    RunningApplication(pid_t processIdentifier, std::uint64_t startTime) noexcept
        : processIdentifier_(processIdentifier), startTime_(startTime) {}

    // The instances now running whose executable lies in Contents/MacOS of a bundle with this
    // identifier, oldest first; possibly none. Only the current user's processes are looked at.
    static std::vector<RunningApplication> runningApplications(std::string_view bundleIdentifier);

    // Asks the instance to quit (SIGTERM) and returns at once. False when the request was not
    // delivered, for instance because the instance has ended.
    bool terminate() const noexcept;

    // Ends the instance without asking it (SIGKILL); false when it was not delivered.
    bool forceTerminate() const noexcept;

    pid_t processIdentifier() const noexcept { return processIdentifier_; }

    // When the process started, in clock ticks since boot (as the system counts it).
    std::uint64_t startTime() const noexcept { return startTime_; }

    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;

private:
    pid_t processIdentifier_;
    std::uint64_t startTime_;
};
