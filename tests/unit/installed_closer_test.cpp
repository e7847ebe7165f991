// The installer's closer: every program of ours that runs from the program folder ends, in any
// session, or the closer says that one still runs.
#include <gtest/gtest.h>

#include "outside/closekrev/installed_closer.h"
#include "platform/sim/sim_processes.h"

using platform::sim::SimProcess;

namespace {

constexpr char kFolder[] = "C:\\Program Files\\Vyx";

class InstalledCloser : public ::testing::Test {
protected:
    InstalledCloser() {
        system.folders = {{kFolder, 7}, {"C:\\PROGRA~1\\Vyx", 7}, {"D:\\Other", 8}};
        system.shortNames = {{std::string(kFolder) + "\\PortalLaunch.exe", "PORTAL~1.EXE"}};
    }
    void run(SimProcess process) { system.processes.push_back(process); }
    int close() { return installed_closer::endProgramsIn(system, kFolder); }

    platform::sim::SimProcesses system;
};

}  // namespace

TEST_F(InstalledCloser, EveryProgramOfOursEndsInEverySessionAndAnotherFoldersIsLeft) {
    run({10, "Krev.exe", kFolder, false, true, true});           // this session: asked to exit
    run({11, "Krev.exe", kFolder, true, false, true});           // another user's session
    run({12, "Pellit.dll", kFolder, true, false, true});         // still fetching for another user
    run({13, "PORTAL~1.EXE", "C:\\PROGRA~1\\Vyx", false, false, true});  // started by its short path
    run({14, "Krev.exe", "D:\\Other", false, true, true});       // another folder's
    run({2, "Uninstall.exe", kFolder, false, false, true});      // the uninstaller that started it
    EXPECT_EQ(close(), 0);
    EXPECT_TRUE(system.debugPrivilege);
    EXPECT_EQ(system.process(10).exitsPosted, 1);
    EXPECT_FALSE(system.process(10).terminated);
    for (platform::ProcessId ended : {11, 12, 13}) EXPECT_TRUE(system.process(ended).terminated) << ended;
    for (platform::ProcessId left : {14, 2}) {
        EXPECT_TRUE(system.process(left).running) << left;
        EXPECT_EQ(system.process(left).exitsPosted, 0) << left;
    }
}

TEST_F(InstalledCloser, AProcessNamedAsOursThatCannotBeAskedCountsAsRunning) {
    run({20, "notepad.exe", "C:\\Windows", true, false, true});
    system.folders.erase("C:\\Windows");  // nothing to be told about it
    EXPECT_EQ(close(), 0);
    EXPECT_EQ(system.now, 0u) << "nothing of ours: no wait";
    run({21, "PORTAL~1.EXE", "C:\\Elsewhere", false, false, true});
    system.folders.erase("C:\\Elsewhere");
    EXPECT_EQ(close(), 1);
    EXPECT_GE(system.now, installed_closer::kWaitMs);
    EXPECT_FALSE(system.process(21).terminated);
}

TEST_F(InstalledCloser, AKrevHeldByItsMessageBoxIsWaitedForNeverEndedAndReported) {
    run({30, "Krev.exe", kFolder, false, true, false});
    EXPECT_EQ(close(), 1);
    EXPECT_GE(system.now, installed_closer::kWaitMs);
    EXPECT_LT(system.now, installed_closer::kWaitMs + 2 * installed_closer::kLookAgainMs);
    EXPECT_FALSE(system.process(30).terminated);
    EXPECT_TRUE(system.process(30).running);
}

TEST_F(InstalledCloser, AFolderThatIsNotThereRunsNothing) {
    run({40, "Krev.exe", kFolder, false, true, true});
    EXPECT_EQ(installed_closer::endProgramsIn(system, "C:\\Nowhere"), 0);
    EXPECT_TRUE(system.process(40).running);
}
