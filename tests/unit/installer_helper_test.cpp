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
const std::vector<std::string> kPrograms{"CloseKREV.exe", "Farrow.exe", "Krev.exe", "SC.dll"};

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
        EXPECT_TRUE(install_folder::acceptable(sim, accepted)) << accepted;
    }
    fs::create_directories(sim.pathOf("C:\\Program Files\\Quenby"));
    sim.writeFile("C:\\Program Files\\Vyx.txt", "a file");
    for (const char* refused : {"C:\\KREV", "C:\\Program Files", "C:\\Program Files\\Quenby\\Vyx", "C:\\",
                                "C:\\Program Files\\Vyx:hidden", "C:\\Program Files\\..\\Users\\Vyx",
                                "C:\\Program Files\\Vyx.", "C:\\Program Files\\Vyx.txt", ""}) {
        EXPECT_FALSE(install_folder::acceptable(sim, refused)) << refused;
    }
    linkFolder(kProgramFolder, "C:\\Users\\Lin\\Desktop");
    EXPECT_FALSE(install_folder::acceptable(sim, kProgramFolder));
}

TEST_F(InstallerHelper, AnUpdateReplacesEveryFileOrLeavesTheEarlierVersionWhole) {
    put(kStaging, kPrograms, "new");
    EXPECT_EQ(program_update::apply(sim, kProgramFolder).outcome, Outcome::done);
    EXPECT_EQ(names(kProgramFolder), kPrograms) << "the staging and previous folders are gone";
    EXPECT_EQ(sim.readFile(std::string(kProgramFolder) + "\\Krev.exe"), "new Krev.exe");

    // Held open by another process: found before anything changes.
    put(kStaging, kPrograms, "newer");
    sim.filesInUse = {std::string(kProgramFolder) + "\\SC.dll"};
    sim.moves.clear();
    const program_update::Result held = program_update::apply(sim, kProgramFolder);
    EXPECT_EQ(held.outcome, Outcome::inUse);
    EXPECT_EQ(held.names, std::vector<std::string>{"SC.dll"});
    EXPECT_EQ(program_update::exitCode(held.outcome), 2);
    EXPECT_TRUE(sim.moves.empty());
    EXPECT_FALSE(sim.pathState(kStaging).exists);

    // A rename that still fails (the file taken meanwhile): the files already replaced go back.
    put(kStaging, kPrograms, "newer");
    sim.filesInUse.clear();
    sim.failMovesOf = {std::string(kStaging) + "\\Krev.exe"};
    const program_update::Result failed = program_update::apply(sim, kProgramFolder);
    EXPECT_EQ(failed.outcome, Outcome::rolledBack);
    EXPECT_EQ(failed.names, std::vector<std::string>{"Krev.exe"});
    for (const auto& name : kPrograms) {
        EXPECT_EQ(sim.readFile(std::string(kProgramFolder) + "\\" + name), "new " + name);
    }
    EXPECT_FALSE(sim.pathState(std::string(kProgramFolder) + "\\Previous").exists);
    EXPECT_FALSE(sim.pathState(kStaging).exists);
    sim.failMovesOf.clear();
    put(kStaging, kPrograms, "newer");
    EXPECT_EQ(program_update::apply(sim, kProgramFolder).outcome, Outcome::done) << "the next install";
    EXPECT_EQ(sim.readFile(std::string(kProgramFolder) + "\\SC.dll"), "newer SC.dll");
}

TEST_F(InstallerHelper, TheEarlierLayoutsSharedSettingsStartEveryUsersOwn) {
    // The per-user layout's Reader.ini in C:\KREV, reduced to the two settings.
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
