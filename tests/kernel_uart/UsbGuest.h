// What the USB guests (kernel-usb, kernel-chips) share: the outcome of each
// run as their init reports it, the check that a run ended on time with its
// result line, and the initramfs with busybox, the tool, the guests' shared
// shell functions and the kernel modules they load.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/kernel_uart/GuestRuns.h"
#include "tests/kernel_uart/Initramfs.h"
#include "tests/support/Program.h"

struct Outcome {
    int status = -1;
    std::int64_t ms = 0;
    std::int64_t cpuMs = -1;
    int lineEnds = -1;  // in what scalepoll printed: none, for its one line
    std::string line;
};

// "result NAME STATUS MS CPU-MS LINE-ENDS LINE", by run.
inline std::map<std::string, Outcome> RunOutcomes(const GuestConsole& printed) {
    std::map<std::string, Outcome> outcomes;
    for (const auto& [name, result] : printed.results) {
        std::istringstream words(result);
        Outcome outcome;
        words >> outcome.status >> outcome.ms >> outcome.cpuMs >> outcome.lineEnds;
        words.ignore(1);
        std::getline(words, outcome.line);
        outcomes[name] = outcome;
    }
    return outcomes;
}

// `extraMs`: what the driver adds to the run's time, such as a wait at close.
inline void ExpectOnTime(const std::map<std::string, Outcome>& outcomes, const GuestRun& run,
                         const std::string& where, std::int64_t extraMs = 0) {
    SCOPED_TRACE(run.name);
    const auto outcome = outcomes.find(run.name);
    ASSERT_NE(outcome, outcomes.end()) << where;
    EXPECT_EQ(outcome->second.line, run.resultLine);
    EXPECT_EQ(outcome->second.status, 0);
    EXPECT_GE(outcome->second.ms, run.protocolMs + extraMs - kEarlyMs);
    EXPECT_LE(outcome->second.ms, run.protocolMs + extraMs + kLateMs);
}

// `programs`: further files for the guest's /bin, by name.
inline std::string UsbGuestInitramfs(const std::string& init, const std::string& schedule,
                                     const std::vector<std::string>& modules,
                                     const std::map<std::string, std::string>& programs = {}) {
    Initramfs archive;
    for (const char* directory : {"bin", "dev", "proc", "sys", "tmp", "lib", "lib/modules"})
        archive.AddDirectory(directory);
    archive.AddCharacterDevice("dev/console", 5, 1);
    archive.AddFile("init", ReadWholeFile(init), true);
    archive.AddFile("schedule", schedule, false);
    archive.AddFile("lib/guest-runs.sh", ReadWholeFile(GUEST_RUNS), false);
    archive.AddFile("bin/busybox", ReadWholeFile(BUSYBOX_BINARY), true);
    archive.AddFile("bin/scalepoll", ReadWholeFile(SCALEPOLL_STATIC_BINARY), true);
    for (const auto& [name, path] : programs) archive.AddFile("bin/" + name, ReadWholeFile(path), true);
    for (const std::string& module : modules)
        archive.AddFile("lib/modules/" + module + ".ko",
                        ReadWholeFile(std::filesystem::path(GUEST_MODULES) / (module + ".ko")), false);
    return archive.Finish();
}
