// The installer's helper: where the programs may go, their update all or nothing, C:\KREV kept
// to its data, each user's own folder, and Krev's start for the desktop's user.
#include <gtest/gtest.h>

#include <filesystem>

#include "installer/setupkrev/desktop_start.h"
#include "installer/setupkrev/earlier_layout.h"
#include "installer/setupkrev/install_folder.h"
#include "installer/setupkrev/program_update.h"
#include "krev/user_folder.h"
#include "platform/sim/sim_platform.h"

namespace fs = std::filesystem;
using program_update::Outcome;

namespace {

constexpr char kProgramFolder[] = "C:\\Program Files\\Vyx";
constexpr char kStaging[] = "C:\\Program Files\\Vyx\\Update";
constexpr char kEarlier[] = "C:\\KREV";
constexpr char kUserFolder[] = "C:\\Users\\Lin\\AppData\\Roaming\\Vyx";
// In the order the installer's list names them, which is the order of the swap.
const std::vector<std::string> kPrograms{"Krev.exe", "Farrow.exe", "SC.dll", "CloseKREV.exe"};

class InstallerHelper : public ::testing::Test {
protected:
    InstallerHelper() { fs::create_directories(sim.pathOf("C:\\Program Files")); }
    void put(const std::string& folder, const std::vector<std::string>& names, const std::string& content) {
        fs::create_directories(sim.pathOf(folder));
        for (const auto& name : names) sim.writeFile(folder + "\\" + name, content + " " + name);
    }
    std::vector<std::string> names(const std::string& folder) {
        std::vector<std::string> found;
        sim.listFolder(folder, found);
        std::sort(found.begin(), found.end());
        return found;
    }
    void linkFolder(const std::string& link, const std::string& target) {
        fs::create_directories(sim.pathOf(target));
        fs::create_directory_symlink(sim.pathOf(target), sim.pathOf(link));
    }
    platform::sim::SimPlatform sim;
};

}  // namespace

TEST_F(InstallerHelper, TheProgramsGoOnlyIntoAFolderOfTheirOwnDirectlyInProgramFiles) {
    sim.programFiles.push_back("C:\\Program Files (x86)");
    sim.longNames = {{"C:\\PROGRA~1", "C:\\Program Files"}};
    for (const char* accepted : {"C:\\Program Files\\Vyx", "c:\\program files (x86)\\Vyx\\", "C:\\PROGRA~1\\Vyx",
                                 "C:\\Program Files\\Quenby\\..\\Vyx"}) {
        EXPECT_TRUE(install_folder::acceptable(sim, accepted, "")) << accepted;
    }
    fs::create_directories(sim.pathOf("C:\\Program Files\\Quenby"));
    sim.writeFile("C:\\Program Files\\Vyx.txt", "a file");
    for (const char* refused : {"C:\\KREV", "C:\\Program Files", "C:\\Program Files\\Quenby\\Vyx", "C:\\",
                                "C:\\Program Files\\Vyx:hidden", "C:\\Program Files\\..\\Users\\Vyx",
                                "C:\\Program Files\\Vyx.", "C:\\Program Files\\Vyx.txt", ""}) {
        EXPECT_FALSE(install_folder::acceptable(sim, refused, "")) << refused;
    }
    // An existing folder: empty, or ours and named by our entry; never another product's.
    const std::string publisher = "C:\\Program Files\\Quenby";
    EXPECT_TRUE(install_folder::acceptable(sim, publisher, "")) << "empty";
    put(publisher, {"Krev.exe", "SC.dll"}, "ours");
    fs::create_directories(sim.pathOf(publisher + "\\Update"));
    EXPECT_TRUE(install_folder::acceptable(sim, publisher, publisher)) << "a repair";
    EXPECT_FALSE(install_folder::acceptable(sim, publisher, "")) << "ours by name, but no entry names it";
    EXPECT_FALSE(install_folder::acceptable(sim, publisher, kProgramFolder)) << "ours by name, another entry";
    put(publisher, {"Quenby Tools.exe"}, "theirs");
    EXPECT_FALSE(install_folder::acceptable(sim, publisher, publisher)) << "another product's file";
    linkFolder(kProgramFolder, "C:\\Users\\Lin\\Desktop");
    EXPECT_FALSE(install_folder::acceptable(sim, kProgramFolder, ""));
}

namespace {

// An earlier version installed and the new one staged as the installer leaves it.
struct Upgrade : InstallerHelper {
    Upgrade() {
        put(kProgramFolder, kPrograms, "old");
        stage("new");
    }
    void stage(const std::string& version) {
        EXPECT_EQ(program_update::prepare(sim, kProgramFolder).outcome, Outcome::done);
        put(kStaging, kPrograms, version);
    }
    std::string live(const std::string& name) { return sim.readFile(std::string(kProgramFolder) + "\\" + name); }
    // Every program of the one version, and nothing of a swap left (a staging folder the next
    // install made may be there).
    void expectWhole(const std::string& version) {
        for (const auto& name : kPrograms) EXPECT_EQ(live(name), version + " " + name);
        std::vector<std::string> expected = kPrograms;
        if (sim.pathState(kStaging).exists) expected.push_back("Update");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(names(kProgramFolder), expected);
    }
    // The next install first makes the swap whole (one version, `found`), then updates; then
    // the earlier version is back for the next round.
    void expectTheNextInstallWhole(const std::string& found) {
        stage("newer");
        expectWhole(found);
        put(kStaging, kPrograms, "newer");
        EXPECT_EQ(program_update::apply(sim, kProgramFolder).outcome, Outcome::done);
        expectWhole("newer");
        put(kProgramFolder, kPrograms, "old");
        stage("new");
    }
    // The renames in the order the swap makes them: every earlier file aside, every new one in.
    std::vector<std::pair<std::string, std::string>> swapRenames() {
        std::vector<std::pair<std::string, std::string>> renames;
        for (const auto& name : kPrograms) {
            renames.emplace_back(std::string(kProgramFolder) + "\\" + name, std::string(kProgramFolder) + "\\Previous\\" + name);
        }
        for (const auto& name : kPrograms) renames.emplace_back(std::string(kStaging) + "\\" + name, std::string(kProgramFolder) + "\\" + name);
        return renames;
    }
};

}  // namespace

TEST_F(Upgrade, ReplacesEveryFileAtOnceFromAFolderNoUserReaches) {
    EXPECT_TRUE(sim.isPrivateFolder(kStaging));
    const program_update::Result result = program_update::apply(sim, kProgramFolder);
    EXPECT_EQ(result.outcome, Outcome::done);
    EXPECT_EQ(program_update::exitCode(result.outcome), 0);
    expectWhole("new");
    std::vector<std::string> expected;
    for (const auto& [from, to] : swapRenames()) expected.push_back(from + " -> " + to);
    EXPECT_EQ(sim.moves, expected);
}

TEST_F(Upgrade, AFileHeldByAnotherProgramPutsTheWholeVersionOffToTheNextRestart) {
    sim.filesInUse = {std::string(kProgramFolder) + "\\SC.dll"};
    const program_update::Result held = program_update::apply(sim, kProgramFolder);
    EXPECT_EQ(held.outcome, Outcome::atRestart);
    EXPECT_EQ(held.names, std::vector<std::string>{"SC.dll"});
    EXPECT_EQ(program_update::exitCode(held.outcome), 3010);
    // Until the restart the earlier version runs whole; the new one waits where no user reaches it.
    for (const auto& name : kPrograms) EXPECT_EQ(live(name), "old " + name);
    EXPECT_TRUE(sim.isPrivateFolder(std::string(kProgramFolder) + "\\Pending"));
    EXPECT_FALSE(sim.pathState(kStaging).exists);
    // One ordered list: every earlier file out, every new one in, then the empty folder.
    ASSERT_EQ(sim.renamesAtRestart.size(), 2 * kPrograms.size() + 1);
    for (std::size_t at = 0; at < kPrograms.size(); ++at) {
        EXPECT_EQ(sim.renamesAtRestart[at].second, "") << "a removal first";
        EXPECT_EQ(sim.renamesAtRestart[kPrograms.size() + at].first,
                  std::string(kProgramFolder) + "\\Pending\\" + kPrograms[at]);
    }
    // A second install before the restart replaces the list; a rename of another program stays.
    sim.renamesAtRestart.emplace(sim.renamesAtRestart.begin(), "C:\\Other\\a.dll", "C:\\Other\\b.dll");
    stage("newer");
    const program_update::Result again = program_update::apply(sim, kProgramFolder);
    EXPECT_EQ(again.outcome, Outcome::atRestart);
    ASSERT_EQ(sim.renamesAtRestart.size(), 2 * kPrograms.size() + 2);
    EXPECT_EQ(sim.renamesAtRestart.front().first, "C:\\Other\\a.dll");
    for (const auto& name : kPrograms) EXPECT_EQ(live(name), "old " + name);
    sim.restart();
    expectWhole("newer");
}

TEST_F(Upgrade, ARestartThatCannotBeAskedForChangesNothing) {
    sim.filesInUse = {std::string(kProgramFolder) + "\\Krev.exe"};
    sim.restartRenamesRefused = true;
    EXPECT_EQ(program_update::apply(sim, kProgramFolder).outcome, Outcome::rolledBack);
    EXPECT_TRUE(sim.renamesAtRestart.empty());
    sim.filesInUse.clear();
    expectWhole("old");
}

TEST_F(Upgrade, AFailingMoveLeavesTheEarlierVersionWholeOrNamesExactlyWhatIsNotBack) {
    const auto renames = swapRenames();
    for (std::size_t failing = 0; failing < renames.size(); ++failing) {
        SCOPED_TRACE("the move that fails: " + renames[failing].first);
        sim.failMovesOf = {renames[failing].first};
        const program_update::Result result = program_update::apply(sim, kProgramFolder);
        EXPECT_EQ(result.outcome, Outcome::rolledBack);
        EXPECT_EQ(result.names, std::vector<std::string>{kPrograms[failing % kPrograms.size()]});
        sim.failMovesOf.clear();
        expectWhole("old");
        stage("new");
    }
    // A file put in place before the failing one is held by a user meanwhile: it cannot go back,
    // and it alone is named.
    for (std::size_t failing = kPrograms.size() + 1; failing < renames.size(); ++failing) {
        const std::string heldName = kPrograms[failing - kPrograms.size() - 1];
        SCOPED_TRACE("the move that fails: " + renames[failing].first + ", held: " + heldName);
        sim.failMovesOf = {renames[failing].first};
        // The user opens the new file the moment it is in place, and holds it.
        const std::string heldPath = std::string(kProgramFolder) + "\\" + heldName;
        sim.afterMove = [&](const std::string& to) {
            if (to == heldPath) sim.failMovesOf.insert(heldPath);
        };
        const program_update::Result result = program_update::apply(sim, kProgramFolder);
        EXPECT_EQ(result.outcome, Outcome::notRestored);
        EXPECT_EQ(result.names, std::vector<std::string>{heldName});
        EXPECT_EQ(program_update::exitCode(result.outcome), 6);
        EXPECT_EQ(live(heldName), "new " + heldName);
        for (const auto& name : kPrograms) {
            if (name != heldName) EXPECT_EQ(live(name), "old " + name);
        }
        // Once the user lets go, the next install first puts the earlier file back, then updates.
        sim.afterMove = nullptr;
        sim.failMovesOf.clear();
        expectTheNextInstallWhole("old");
    }
}

TEST_F(Upgrade, AnInstallerKilledAtAnyStepLeavesASwapTheNextInstallMakesWhole) {
    const std::size_t steps = swapRenames().size();
    for (std::size_t killed = 0; killed <= steps; ++killed) {
        SCOPED_TRACE("killed before rename " + std::to_string(killed));
        sim.renamesUntilKilled = static_cast<int>(killed);
        bool ended = false;
        try {
            program_update::apply(sim, kProgramFolder);
        } catch (const platform::sim::SimPlatform::ProcessKilled&) {
            ended = true;
        }
        sim.renamesUntilKilled = -1;
        EXPECT_EQ(ended, killed < steps);
        // The next install: back while earlier files were still being set aside, else forward.
        expectTheNextInstallWhole(killed < kPrograms.size() ? "old" : "new");
    }
}

TEST_F(Upgrade, AStagingFolderAUserCouldReachIsRefusedAndOnlyOurNamesAreEverRemoved) {
    // A staging folder made by anyone else (or taken over from another product): not emptied.
    fs::remove_all(sim.pathOf(kStaging));
    sim.privateFolders.erase(kStaging);
    put(kStaging, {"Krev.exe", "their.dll"}, "theirs");
    const program_update::Result refused = program_update::prepare(sim, kProgramFolder);
    EXPECT_EQ(refused.outcome, Outcome::rolledBack);
    EXPECT_EQ(refused.names, std::vector<std::string>{"Update"});
    EXPECT_EQ(names(kStaging), (std::vector<std::string>{"Krev.exe", "their.dll"}));
    EXPECT_EQ(program_update::apply(sim, kProgramFolder).outcome, Outcome::rolledBack);
    EXPECT_EQ(program_update::removeStaging(sim, kProgramFolder),
              std::vector<std::string>{std::string(kStaging)});
    EXPECT_EQ(names(kStaging), (std::vector<std::string>{"Krev.exe", "their.dll"}));
    expectWhole("old");
    // A link where the staging folder goes is no private folder either.
    fs::remove_all(sim.pathOf(kStaging));
    linkFolder(kStaging, "C:\\Windows\\System32");
    EXPECT_EQ(program_update::prepare(sim, kProgramFolder).outcome, Outcome::rolledBack);
    fs::remove(sim.pathOf(kStaging));
    // In our own private folders, a name not ours stays, and the folder with it.
    stage("new");
    sim.writeFile(std::string(kStaging) + "\\notes.txt", "kept");
    EXPECT_EQ(program_update::removeStaging(sim, kProgramFolder), std::vector<std::string>{std::string(kStaging)});
    EXPECT_EQ(names(kStaging), std::vector<std::string>{"notes.txt"});
}

TEST_F(InstallerHelper, TheEarlierLayoutsSharedSettingsStartEveryUsersOwn) {
    // The per-user layout's Reader.ini in C:\KREV, reduced to the two settings.
    fs::create_directories(sim.pathOf(kProgramFolder));
    ASSERT_EQ(program_update::prepare(sim, kProgramFolder).outcome, Outcome::done);
    put(kStaging, {"Krev.exe"}, "new");
    put(kEarlier, {"Krev.exe"}, "old");
    sim.writeFile("C:\\KREV\\Reader.ini", "[Reader]\r\nSelect=晶片讀卡機 01\r\nExtra=1\r\n[Register]\r\nCheck=OK\r\n");
    ASSERT_TRUE(earlier_layout::carrySettings(sim, sim, kProgramFolder, kStaging));
    EXPECT_EQ(sim.readFile(std::string(kStaging) + "\\StartingReader.ini"),
              "[Reader]\r\nSelect=晶片讀卡機 01\r\n[Register]\r\nCheck=OK\r\n");
    EXPECT_EQ(program_update::apply(sim, kProgramFolder).outcome, Outcome::done);
    EXPECT_FALSE(sim.pathState(kStaging).exists);
    fs::create_directories(sim.pathOf(kUserFolder));
    sim.writeFile(std::string(kProgramFolder) + "\\DefaultCheck.htm", "check");
    ASSERT_TRUE(user_folder::prepare(sim, kProgramFolder));
    EXPECT_EQ(sim.readFile(std::string(kUserFolder) + "\\Reader.ini"),
              "[Reader]\r\nSelect=晶片讀卡機 01\r\n[Register]\r\nCheck=OK\r\n");
    EXPECT_EQ(sim.readFile(std::string(kUserFolder) + "\\DefaultCheck.htm"), "check");
    // A user's own settings are never replaced, and the program folder's are kept at the next
    // upgrade.
    sim.writeFile(std::string(kUserFolder) + "\\Reader.ini", "[Reader]\r\nSelect=Mine\r\n");
    ASSERT_TRUE(user_folder::prepare(sim, kProgramFolder));
    EXPECT_EQ(sim.readFile(std::string(kUserFolder) + "\\Reader.ini"), "[Reader]\r\nSelect=Mine\r\n");
    sim.writeFile("C:\\KREV\\StartingReader.ini", "[Reader]\r\nSelect=Other\r\n");
    ASSERT_TRUE(earlier_layout::carrySettings(sim, sim, kProgramFolder, kStaging));
    EXPECT_FALSE(sim.pathState(std::string(kStaging) + "\\StartingReader.ini").exists);
    // A C:\KREV that a user made, on a machine that never had the earlier install, gives nobody
    // its settings.
    fs::remove(sim.pathOf(std::string(kProgramFolder) + "\\StartingReader.ini"));
    sim.userOwned.insert(kEarlier);
    ASSERT_TRUE(earlier_layout::carrySettings(sim, sim, kProgramFolder, kStaging));
    EXPECT_FALSE(sim.pathState(std::string(kStaging) + "\\StartingReader.ini").exists);
}

TEST_F(InstallerHelper, CKrevKeepsOnlyItsDataAndNothingGoesThroughALinkThere) {
    put(kProgramFolder, {"DefaultCheck.htm"}, "new");
    put(kEarlier, {"Krev.exe", "SC.dll", "Uninstall.exe", "StartingReader.ini", "Ver.chk", "notes.txt"}, "old");
    const earlier_layout::Tidying tidied = earlier_layout::keepOnlyData(sim, kProgramFolder);
    EXPECT_TRUE(tidied.dataWritten);
    EXPECT_TRUE(tidied.left.empty());
    EXPECT_EQ(names(kEarlier), (std::vector<std::string>{"DefaultCheck.htm", "notes.txt"})) << "a user's file stays";
    EXPECT_EQ(sim.readFile("C:\\KREV\\DefaultCheck.htm"), "new DefaultCheck.htm");
    EXPECT_TRUE(earlier_layout::remove(sim).empty());
    EXPECT_EQ(names(kEarlier), std::vector<std::string>{"notes.txt"}) << "a folder with a user's file stays";

    // A junction at C:\KREV that leads to a system folder: nothing is written, read or removed
    // there, by the installer or the uninstaller.
    fs::remove_all(sim.pathOf(kEarlier));
    put("C:\\Windows", {"Krev.exe", "Reader.ini"}, "system");
    linkFolder(kEarlier, "C:\\Windows");
    EXPECT_TRUE(earlier_layout::keepOnlyData(sim, kProgramFolder).link);
    EXPECT_TRUE(earlier_layout::carrySettings(sim, sim, kProgramFolder, kStaging));
    EXPECT_FALSE(sim.pathState(std::string(kStaging) + "\\StartingReader.ini").exists);
    earlier_layout::remove(sim);
    EXPECT_EQ(names("C:\\Windows"), (std::vector<std::string>{"Krev.exe", "Reader.ini"}));
}

TEST_F(InstallerHelper, AUsersFolderThatIsALinkIsNeitherPreparedNorRemoved) {
    put(kProgramFolder, {"DefaultCheck.htm"}, "new");
    linkFolder(kUserFolder, "C:\\Users\\Chen\\AppData\\Roaming\\Vyx");
    EXPECT_FALSE(user_folder::prepare(sim, kProgramFolder));
    sim.writeFile("C:\\Users\\Chen\\AppData\\Roaming\\Vyx\\Reader.ini", "Chen's");
    EXPECT_TRUE(user_folder::remove(sim).empty());
    EXPECT_EQ(sim.readFile("C:\\Users\\Chen\\AppData\\Roaming\\Vyx\\Reader.ini"), "Chen's");
    EXPECT_EQ(names("C:\\Users\\Chen\\AppData\\Roaming\\Vyx"), std::vector<std::string>{"Reader.ini"});

    fs::remove(sim.pathOf(kUserFolder));
    ASSERT_TRUE(user_folder::prepare(sim, kProgramFolder));
    sim.writeFile(std::string(kUserFolder) + "\\Ver.chk", "VersionCheck000=1");
    EXPECT_TRUE(user_folder::remove(sim).empty());
    EXPECT_FALSE(sim.pathState(kUserFolder).exists);
}

namespace {

struct ScriptedStarter final : desktop_start::Starter {
    bool shellToken = true;
    bool tokenStartWorks = true;
    desktop_start::ShellUser user = desktop_start::ShellUser::installersOwn;
    bool elevated = false;
    std::string started;

    bool takeShellToken() override { return shellToken; }
    bool startWithShellToken() override {
        if (tokenStartWorks) started = "shell's token";
        return tokenStartWorks;
    }
    desktop_start::ShellUser shellUser() override { return user; }
    bool elevatedAboveTheShell() override { return elevated; }
    bool startWithOwnToken() override {
        started = "own token";
        return true;
    }
};

}  // namespace

TEST(DesktopStart, KrevStartsAsTheDesktopsUserOrNotAtAll) {
    ScriptedStarter usual;
    EXPECT_TRUE(desktop_start::start(usual));
    EXPECT_EQ(usual.started, "shell's token");
    // Windows XP (no CreateProcessWithTokenW): the installer's token is the user's own.
    ScriptedStarter xp;
    xp.tokenStartWorks = false;
    EXPECT_TRUE(desktop_start::start(xp));
    EXPECT_EQ(xp.started, "own token");
    // "Run as" an administrator on XP, or the shell's token not to be had.
    for (const auto user : {desktop_start::ShellUser::another, desktop_start::ShellUser::unknown}) {
        ScriptedStarter other;
        other.tokenStartWorks = false;
        other.shellToken = user == desktop_start::ShellUser::another;
        other.user = user;
        EXPECT_FALSE(desktop_start::start(other));
        EXPECT_EQ(other.started, "");
    }
    // The Secondary Logon service disabled under UAC: the installer is the user's elevated half.
    ScriptedStarter elevated;
    elevated.tokenStartWorks = false;
    elevated.elevated = true;
    EXPECT_FALSE(desktop_start::start(elevated));
    EXPECT_EQ(elevated.started, "");
}
