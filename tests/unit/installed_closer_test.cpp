// The package's closer: every program of ours that runs from the program folder ends, in any
// session, and nothing else; or the closer says that one of them does not end. Whether a program
// is ours is told by its path alone: no folder that a process names is ever looked at.
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
        system.folders = {{kFolder, 7}, {"D:\\Other", 8}, {"C:\\Windows", 9}};
        system.shortPaths = {{kFolder, "C:\\PROGRA~1\\Vyx"},
                             {std::string(kFolder) + "\\PortalLaunch.exe", "C:\\PROGRA~1\\Vyx\\PORTAL~1.EXE"}};
    }
    void run(SimProcess process) { system.run(process); }
    // Only the program folder and our files in it were looked at.
    void expectOnlyOurPathsLookedAt() {
        for (const std::string& path : system.pathsLookedAt) EXPECT_EQ(path.rfind(kFolder, 0), 0u) << path;
    }
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
    expectOnlyOurPathsLookedAt();
}

TEST_F(InstalledCloser, CopiesOfOursElsewhereAndProcessesThatCannotBeAskedNeitherFailNorSlowAnInstall) {
    // Copies of Krev.exe run from a share, from WebDAV and from a user's own folder, a user
    // starting them over and over; a process that cannot be opened; one that ended between the
    // list and its opening. None is ours, nothing waits, and no folder they name is looked at.
    run({20, "Krev.exe", "\\\\server\\share", true, true, true});
    run({21, "Pellit.dll", "\\\\server@SSL\\DavWWWRoot\\Vyx", false, false, true});
    run({22, "PORTAL~1.EXE", kFolder, false, false, true});
    system.process(22).unopenable = true;
    run({23, "Go.dll", kFolder, false, false, true});
    system.process(23).goneBeforeOpen = true;
    platform::ProcessId next = 30;
    run({next, "Krev.exe", "C:\\Users\\Lin\\Downloads", false, true, true});
    system.afterOpen = [&](platform::ProcessId) {
        if (next < 200) run({++next, "Krev.exe", "C:\\Users\\Lin\\Downloads", false, true, true});
    };
    EXPECT_EQ(close(), installed_closer::kNoneRuns);
    EXPECT_EQ(system.now, 0u) << "nothing of ours: no wait";
    EXPECT_EQ(system.endedOrAsked, 0);
    expectOnlyOurPathsLookedAt();
    // A program folder named as a share is not reached at all.
    system.pathsLookedAt.clear();
    EXPECT_EQ(close("\\\\server\\share"), installed_closer::kNoneRuns);
    EXPECT_TRUE(system.pathsLookedAt.empty());
}

TEST_F(InstalledCloser, AProcessIsKnownByItsIdAndItsStartSoAReusedIdIsANewProcess) {
    // Krev, held by its message box, ends after all (its user pressed OK) and its ID goes to a
    // new Pellit.dll of ours: that one is ended, and nothing survives.
    run({50, "Krev.exe", kFolder, false, true, false});
    int looks = 0;
    system.afterOpen = [&](platform::ProcessId id) {
        if (id == 50 && ++looks == 3) {
            system.process(50).running = false;
            run({50, "Pellit.dll", kFolder, false, false, true});
        }
    };
    EXPECT_EQ(close(), installed_closer::kNoneRuns);
    EXPECT_LT(system.now, installed_closer::kWaitMs);
    EXPECT_TRUE(system.processes.back().terminated);
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
    system.afterOpen = [&](platform::ProcessId) { run({++next, "Pellit.dll", kFolder, false, false, true}); };
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
        run({60, "Go.dll", "D:\\Other", false, false, true});
    };
    EXPECT_EQ(close(), installed_closer::kNoneRuns);
    EXPECT_TRUE(system.processes[1].running);
    EXPECT_FALSE(system.processes[1].terminated);
    EXPECT_EQ(system.openHandles, 0) << "every handle is closed";
}
