// The package's closer: every program of ours that runs from the program folder ends, in any
// session, and nothing else; or the closer says that one of them does not end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outside/closekrev/installed_closer.h"
#include "platform/sim/sim_processes.h"

using platform::sim::SimProcess;

namespace {

constexpr char kFolder[] = "C:\\Program Files\\Vyx";

class InstalledCloser : public ::testing::Test {
protected:
    InstalledCloser() {
        system.folders = {{kFolder, 7}, {"C:\\PROGRA~1\\Vyx", 7}, {"D:\\Other", 8}, {"C:\\Windows", 9}};
        system.shortNames = {{std::string(kFolder) + "\\PortalLaunch.exe", "PORTAL~1.EXE"}};
    }
    void run(SimProcess process) { system.processes.push_back(process); }
    int close(const char* folder = kFolder) { return installed_closer::endProgramsIn(system, folder); }

    platform::sim::SimProcesses system;
};

}  // namespace

TEST_F(InstalledCloser, EveryProgramOfOursEndsInEverySessionAndNothingElse) {
    run({10, "Krev.exe", kFolder, false, true, true});           // this session: asked to exit
    run({11, "Krev.exe", kFolder, true, false, true});           // another user's session
    run({12, "Pellit.dll", kFolder, true, false, true});         // still fetching for another user
    run({13, "PORTAL~1.EXE", "C:\\PROGRA~1\\Vyx", false, false, true});  // started by its short path
    run({14, "Krev.exe", "D:\\Other", false, true, true});       // another folder's
    run({15, "backup.exe", kFolder, true, false, true});         // not ours by name, though it lies here
    run({2, "Uninstall.exe", kFolder, false, false, true});      // the uninstaller that started it
    EXPECT_EQ(close(), installed_closer::kNoneRuns);
    EXPECT_TRUE(system.debugPrivilege);
    EXPECT_EQ(system.process(10).exitsPosted, 1);
    EXPECT_FALSE(system.process(10).terminated);
    for (platform::ProcessId ended : {11, 12, 13}) EXPECT_TRUE(system.process(ended).terminated) << ended;
    for (platform::ProcessId left : {14, 15, 2}) {
        EXPECT_TRUE(system.process(left).running) << left;
        EXPECT_EQ(system.process(left).exitsPosted, 0) << left;
    }
}

TEST_F(InstalledCloser, OnlyAProcessThatCannotBeOpenedCountsAsRunningNotOneWhoseFolderCannot) {
    // A copy of Krev.exe run from a folder that denies administrators, or from a drive mapped in
    // another session: not our folder, and no reason to wait.
    run({20, "Krev.exe", "\\\\server\\share", true, true, true});
    run({21, "notepad.exe", "C:\\Windows", false, false, true});
    system.process(21).unopenable = true;
    EXPECT_EQ(close(), installed_closer::kNoneRuns);
    EXPECT_EQ(system.now, 0u) << "nothing of ours: no wait";
    EXPECT_EQ(system.endedOrAsked, 0);
    // Named as ours and not to be opened at all: it may be ours.
    run({22, "PORTAL~1.EXE", kFolder, false, false, true});
    system.process(22).unopenable = true;
    EXPECT_EQ(close(), installed_closer::kStillRuns);
    EXPECT_GE(system.now, installed_closer::kWaitMs);
    EXPECT_FALSE(system.process(22).terminated);
}

TEST_F(InstalledCloser, AKrevHeldByItsMessageBoxIsWaitedForNeverEndedAndReported) {
    run({30, "Krev.exe", kFolder, false, true, false});
    EXPECT_EQ(close(), installed_closer::kStillRuns);
    EXPECT_GE(system.now, installed_closer::kWaitMs);
    EXPECT_LT(system.now, installed_closer::kWaitMs + 2 * installed_closer::kLookAgainMs);
    EXPECT_FALSE(system.process(30).terminated);
    EXPECT_TRUE(system.process(30).running);
}

TEST_F(InstalledCloser, AFolderThatIsMissingOrALinkEndsNothing) {
    run({40, "Krev.exe", kFolder, false, true, true});
    run({41, "Krev.exe", "D:\\Other", false, true, true});
    EXPECT_EQ(close("C:\\Nowhere"), installed_closer::kNoneRuns);
    // A junction at C:\KREV that leads to D:\Other, where a program runs: nothing there is ours.
    system.links.insert("C:\\KREV");
    system.folders["C:\\KREV"] = 8;
    EXPECT_EQ(close("C:\\KREV"), installed_closer::kNoneRuns);
    EXPECT_EQ(system.endedOrAsked, 0);
    EXPECT_FALSE(system.debugPrivilege);
}

TEST_F(InstalledCloser, AProgramStartedAgainAndAgainIsEndedEachTimeAndDoesNotFailTheInstall) {
    // A user starts Pellit.dll anew whenever one goes: each start is ended, none outlives its
    // end, and the closer stops looking after its wait (Windows Installer replaces what the last
    // one holds at the restart).
    platform::ProcessId next = 70;
    run({next, "Pellit.dll", kFolder, false, false, true});
    system.afterOpen = [&](platform::ProcessId) {
        system.processes.push_back({++next, "Pellit.dll", kFolder, false, false, true});
    };
    EXPECT_EQ(close(), installed_closer::kNoneRuns);
    EXPECT_GE(system.now, installed_closer::kWaitMs);
    EXPECT_GT(next, 100u);
    for (const SimProcess& ended : system.processes) {
        if (ended.id != next) {
            EXPECT_TRUE(ended.terminated) << ended.id;
        }
    }
}

TEST_F(InstalledCloser, TheProcessCheckedIsTheOneEndedEvenWhenItsIdPassesToAnother) {
    // Ours, from the program folder; between the check and the end it exits, and a program of
    // another folder starts under its ID. Ended through the handle of the check, the new one lives.
    run({60, "Go.dll", kFolder, false, false, true});
    system.afterOpen = [&](platform::ProcessId id) {
        if (id != 60 || system.processes.size() > 1) return;
        system.processes[0].running = false;
        system.processes.push_back({60, "Go.dll", "D:\\Other", false, false, true});
    };
    EXPECT_EQ(close(), installed_closer::kNoneRuns);
    EXPECT_TRUE(system.processes[1].running);
    EXPECT_FALSE(system.processes[1].terminated);
    EXPECT_EQ(system.openHandles, 0) << "every handle is closed";
}
