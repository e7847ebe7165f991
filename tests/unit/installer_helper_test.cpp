// The package's helper: the earlier layouts taken over (C:\KREV kept to its data, the earlier
// installer's leftovers), each user's own folder, and Krev's start for the desktop's user.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "installer/setupkrev/desktop_start.h"
#include "installer/setupkrev/earlier_installer.h"
#include "installer/setupkrev/earlier_layout.h"
#include "krev/user_folder.h"
#include "platform/sim/sim_platform.h"

namespace fs = std::filesystem;

namespace {

constexpr char kProgramFolder[] = "C:\\Program Files\\Vyx";
constexpr char kEarlier[] = "C:\\KREV";
constexpr char kUserFolder[] = "C:\\Users\\Lin\\AppData\\Roaming\\Vyx";
constexpr char kStartingSettings[] = "C:\\Program Files\\Vyx\\StartingReader.ini";

class InstallerHelper : public ::testing::Test {
protected:
    InstallerHelper() { fs::create_directories(sim.pathOf(kProgramFolder)); }
    void put(const std::string& folder, const std::vector<std::string>& names, const std::string& content) {
        fs::create_directories(sim.pathOf(folder));
        for (const auto& name : names) sim.writeFile(folder + "\\" + name, content + " " + name);
    }
    std::vector<std::string> names(const std::string& folder) {
        std::vector<std::string> found;
        std::error_code missing;
        for (const auto& entry : fs::directory_iterator(sim.pathOf(folder), missing)) {
            found.push_back(entry.path().filename());
        }
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

TEST_F(InstallerHelper, TheEarlierLayoutsSharedSettingsStartEveryUsersOwnOnlyWhereNoUserCouldHaveWrittenThem) {
    // The per-user layout's Reader.ini in C:\KREV, reduced to the two settings. Its rights let
    // no user change it (an earlier install protected it).
    put(kEarlier, {"Krev.exe"}, "old");
    sim.writeFile("C:\\KREV\\Reader.ini", "[Reader]\r\nSelect=晶片讀卡機 01\r\nExtra=1\r\n[Register]\r\nCheck=OK\r\n");
    sim.administratorsFiles.insert("C:\\KREV\\Reader.ini");
    ASSERT_TRUE(earlier_layout::carrySettings(sim, kProgramFolder));
    EXPECT_EQ(sim.readFile(kStartingSettings), "[Reader]\r\nSelect=晶片讀卡機 01\r\n[Register]\r\nCheck=OK\r\n");
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
    sim.administratorsFiles.insert("C:\\KREV\\StartingReader.ini");
    ASSERT_TRUE(earlier_layout::carrySettings(sim, kProgramFolder));
    EXPECT_EQ(sim.readFile(kStartingSettings), "[Reader]\r\nSelect=晶片讀卡機 01\r\n[Register]\r\nCheck=OK\r\n");
    // Files that any user could have written (as C:\KREV's usually are: they inherit the
    // drive's right of every user to change them) give nobody their settings, whoever made the
    // folder.
    fs::remove(sim.pathOf(kStartingSettings));
    sim.administratorsFiles.clear();
    ASSERT_TRUE(earlier_layout::carrySettings(sim, kProgramFolder));
    EXPECT_FALSE(sim.pathState(kStartingSettings).exists);
    // No program folder to write into.
    fs::remove_all(sim.pathOf(kProgramFolder));
    sim.administratorsFiles.insert("C:\\KREV\\StartingReader.ini");
    EXPECT_FALSE(earlier_layout::carrySettings(sim, kProgramFolder));
}

TEST_F(InstallerHelper, CKrevKeepsOnlyItsDataAndNothingGoesThroughALinkThere) {
    // The program folder's own page is not what C:\KREV gets: the helper writes the page it was
    // built with, and reads nothing outside C:\KREV.
    put(kProgramFolder, {"DefaultCheck.htm"}, "a user's link to a secret");
    put(kEarlier, {"Krev.exe", "SC.dll", "Uninstall.exe", "StartingReader.ini", "Ver.chk", "notes.txt"}, "old");
    const earlier_layout::Tidying tidied = earlier_layout::keepOnlyData(sim, "<html>the page</html>");
    EXPECT_TRUE(tidied.dataWritten);
    EXPECT_TRUE(tidied.left.empty());
    EXPECT_EQ(names(kEarlier), (std::vector<std::string>{"DefaultCheck.htm", "notes.txt"})) << "a user's file stays";
    EXPECT_EQ(sim.readFile("C:\\KREV\\DefaultCheck.htm"), "<html>the page</html>");
    EXPECT_TRUE(earlier_layout::remove(sim).empty());
    EXPECT_EQ(names(kEarlier), std::vector<std::string>{"notes.txt"}) << "a folder with a user's file stays";

    // A user holds files of our names there under an opportunistic lock: no open waits for it;
    // those files are left whole and named, everything else is done.
    put(kEarlier, {"Krev.exe", "SC.dll", "Reader.ini"}, "held");
    sim.administratorsFiles.insert("C:\\KREV\\Reader.ini");
    sim.oplockedFiles = {"C:\\KREV\\Krev.exe", "C:\\KREV\\Reader.ini"};
    EXPECT_TRUE(earlier_layout::carrySettings(sim, kProgramFolder));
    EXPECT_FALSE(sim.pathState(kStartingSettings).exists) << "settings from a file that could not be read";
    const earlier_layout::Tidying held = earlier_layout::keepOnlyData(sim, "<html>the page</html>");
    EXPECT_EQ(held.left, (std::vector<std::string>{"Krev.exe", "Reader.ini"}));
    EXPECT_EQ(names(kEarlier), (std::vector<std::string>{"DefaultCheck.htm", "Krev.exe", "Reader.ini", "notes.txt"}));
    EXPECT_EQ(sim.readFile("C:\\KREV\\Krev.exe"), "held Krev.exe");
    sim.oplockedFiles = {"C:\\KREV\\DefaultCheck.htm"};
    EXPECT_EQ(earlier_layout::remove(sim), std::vector<std::string>{"C:\\KREV\\DefaultCheck.htm"});
    sim.oplockedFiles.clear();
    fs::remove_all(sim.pathOf(kEarlier));
    sim.administratorsFiles.clear();

    // A junction at C:\KREV that leads to a system folder: nothing is written, read or removed
    // there, at install or at uninstall.
    fs::remove_all(sim.pathOf(kEarlier));
    put("C:\\Windows", {"Krev.exe", "Reader.ini"}, "system");
    sim.administratorsFiles.insert("C:\\Windows\\Reader.ini");
    linkFolder(kEarlier, "C:\\Windows");
    EXPECT_TRUE(earlier_layout::keepOnlyData(sim, "<html>the page</html>").link);
    EXPECT_TRUE(earlier_layout::carrySettings(sim, kProgramFolder));
    EXPECT_FALSE(sim.pathState(kStartingSettings).exists);
    earlier_layout::remove(sim);
    EXPECT_EQ(names("C:\\Windows"), (std::vector<std::string>{"Krev.exe", "Reader.ini"}));
}

namespace {

// The earlier installer's entry, as the registry holds it.
struct ScriptedEntry final : earlier_installer::Entry {
    bool present = true;
    std::string location;
    bool folder(std::string& folder) override {
        folder = location;
        return present;
    }
    bool remove() override {
        present = false;
        return true;
    }
};

}  // namespace

TEST_F(InstallerHelper, TheEarlierInstallersVyxIsTakenOverByOurNamesOnly) {
    // Installed by the earlier installer where the package now is: the package replaced its
    // programs; its uninstaller and staging folders go, a file of someone else's stays.
    const std::vector<std::string> programs{"Krev.exe", "SC.dll", "SetupKREV.exe", "DefaultCheck.htm"};
    put(kProgramFolder, programs, "new");
    put(kProgramFolder, {"Uninstall.exe", "StartingReader.ini", "notes.txt"}, "earlier");
    put(std::string(kProgramFolder) + "\\Previous", {"Krev.exe", "swap.txt"}, "earlier");
    put(std::string(kProgramFolder) + "\\Update", {"SC.dll", "readme.txt"}, "earlier");
    ScriptedEntry entry;
    entry.location = std::string(kProgramFolder) + "\\";
    EXPECT_TRUE(earlier_installer::takeOver(sim, entry, kProgramFolder).empty());
    EXPECT_FALSE(entry.present) << "two Vyx in Programs and Features";
    EXPECT_EQ(names(kProgramFolder), (std::vector<std::string>{"DefaultCheck.htm", "Krev.exe", "SC.dll",
                                                                "SetupKREV.exe", "StartingReader.ini", "Update",
                                                                "notes.txt"}));
    EXPECT_EQ(names(std::string(kProgramFolder) + "\\Update"), std::vector<std::string>{"readme.txt"});
    EXPECT_EQ(sim.readFile(std::string(kProgramFolder) + "\\Krev.exe"), "new Krev.exe");

    // Installed into another folder: every file of ours there goes, and the folder once empty.
    const std::string other = "C:\\Program Files\\Vyx Reader";
    put(other, {"Krev.exe", "Farrow.exe", "Uninstall.exe", "StartingReader.ini", "DefaultCheck.htm"}, "earlier");
    entry = ScriptedEntry{};
    entry.location = other;
    EXPECT_TRUE(earlier_installer::takeOver(sim, entry, kProgramFolder).empty());
    EXPECT_FALSE(sim.pathState(other).exists);
    EXPECT_EQ(sim.readFile(std::string(kProgramFolder) + "\\Krev.exe"), "new Krev.exe");

    // The earliest layout's entry naming C:\KREV: that folder is the earlier layout's to tidy.
    put(kEarlier, {"Krev.exe", "DefaultCheck.htm"}, "earliest");
    entry = ScriptedEntry{};
    entry.location = "c:\\krev\\";
    EXPECT_TRUE(earlier_installer::takeOver(sim, entry, kProgramFolder).empty());
    EXPECT_FALSE(entry.present);
    EXPECT_EQ(names(kEarlier), (std::vector<std::string>{"DefaultCheck.htm", "Krev.exe"}));

    // A folder named in the entry that is a link (to the program folder, say) is left alone.
    fs::create_directory_symlink(sim.pathOf(kProgramFolder), sim.pathOf("C:\\Program Files\\Vyx Link"));
    entry = ScriptedEntry{};
    entry.location = "C:\\Program Files\\Vyx Link";
    EXPECT_TRUE(earlier_installer::takeOver(sim, entry, kProgramFolder).empty());
    EXPECT_EQ(sim.readFile(std::string(kProgramFolder) + "\\Krev.exe"), "new Krev.exe");
    // No entry of ours: nothing happens.
    entry = ScriptedEntry{};
    entry.present = false;
    entry.location = kProgramFolder;
    EXPECT_TRUE(earlier_installer::takeOver(sim, entry, kProgramFolder).empty());
    EXPECT_EQ(names(kProgramFolder).size(), 7u);
}

TEST_F(InstallerHelper, AUsersFolderThatIsALinkIsNotPrepared) {
    put(kProgramFolder, {"DefaultCheck.htm"}, "new");
    linkFolder(kUserFolder, "C:\\Users\\Chen\\AppData\\Roaming\\Vyx");
    EXPECT_FALSE(user_folder::prepare(sim, kProgramFolder));
    EXPECT_TRUE(names("C:\\Users\\Chen\\AppData\\Roaming\\Vyx").empty());
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
