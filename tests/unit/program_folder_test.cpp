// The installer's helper: the program folder that only administrators change, and each user's
// own working folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "installer/setupkrev/program_folder.h"
#include "krev/user_folder.h"
#include "platform/sim/sim_platform.h"

using program_folder::Outcome;

namespace {

constexpr char kFolder[] = "C:\\KREV";
constexpr char kUserFolder[] = "C:\\Users\\Lin\\AppData\\Roaming\\Vyx";

class ProgramFolder : public ::testing::Test {
protected:
    ProgramFolder() {
        sim.setWorkingFolder("C:\\");
        std::filesystem::remove_all(sim.pathOf(kFolder));
    }
    program_folder::Result secure() { return program_folder::secure(sim, sim, sim, kFolder); }
    // "owner"/"rights"/"create" calls as "call path", the privileges left out.
    std::vector<std::string> calls() const {
        std::vector<std::string> made;
        for (const auto& call : sim.securityCalls) {
            if (call.call != "privilege") made.push_back(call.call + " " + call.path);
        }
        return made;
    }
    void install(const std::vector<std::string>& names) {
        std::filesystem::create_directories(sim.pathOf(kFolder));
        for (const auto& name : names) sim.writeFile(std::string(kFolder) + "\\" + name, "program");
    }
    platform::sim::SimPlatform sim;
};

}  // namespace

TEST_F(ProgramFolder, ANewFolderIsMadeAdministratorsAndEachFileIsSecuredOnceExtracted) {
    EXPECT_EQ(secure().outcome, Outcome::ready);
    EXPECT_EQ(calls(), (std::vector<std::string>{"create C:\\KREV", "owner C:\\KREV", "rights C:\\KREV"}));
    for (const auto& call : sim.securityCalls) {
        if (call.call == "privilege") continue;
        EXPECT_EQ(call.sddl, program_folder::kFolderSecurity);
    }
    sim.securityCalls.clear();
    install({"Krev.exe", "SC.dll", "SetupKREV.exe", "Uninstall.exe"});
    EXPECT_EQ(secure().outcome, Outcome::ready);
    const std::vector<std::string> made = calls();
    ASSERT_EQ(made.size(), 2u + 2u * 4u);
    EXPECT_EQ(std::vector<std::string>(made.begin(), made.begin() + 2),
              (std::vector<std::string>{"owner C:\\KREV", "rights C:\\KREV"}));
    for (std::size_t at = 2; at < made.size(); at += 2) {
        EXPECT_EQ(made[at].substr(0, 6), "owner ");
        EXPECT_EQ(made[at + 1], "rights " + made[at].substr(6));
        EXPECT_EQ(sim.securityCalls[at + 2].sddl, program_folder::kFileSecurity);
    }
}

TEST_F(ProgramFolder, ALinkAFileOrWhatIsNotOursIsRefusedBeforeAnythingChanges) {
    std::filesystem::create_directories(sim.pathOf("C:\\Elsewhere"));
    std::filesystem::create_directory_symlink(sim.pathOf("C:\\Elsewhere"), sim.pathOf(kFolder));
    EXPECT_EQ(secure().outcome, Outcome::notAFolder);
    std::filesystem::remove(sim.pathOf(kFolder));
    sim.writeFile(kFolder, "a file");
    EXPECT_EQ(secure().outcome, Outcome::notAFolder);
    std::filesystem::remove(sim.pathOf(kFolder));

    std::filesystem::create_directories(sim.pathOf("C:\\KREV\\Sub"));
    install({"Krev.exe", "winscard.dll"});
    const program_folder::Result planted = secure();
    EXPECT_EQ(planted.outcome, Outcome::foreignEntries);
    std::sort(const_cast<std::vector<std::string>&>(planted.names).begin(),
              const_cast<std::vector<std::string>&>(planted.names).end());
    EXPECT_EQ(planted.names, (std::vector<std::string>{"Sub", "winscard.dll"}));
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(program_folder::exitCode(Outcome::foreignEntries), 5);

    // A hard link named as one of ours is another file: securing or replacing it would change that.
    std::filesystem::remove_all(sim.pathOf(kFolder));
    install({"SC.dll"});
    sim.writeFile("C:\\Elsewhere\\hosts", "a file of the system's");
    std::filesystem::create_hard_link(sim.pathOf("C:\\Elsewhere\\hosts"), sim.pathOf("C:\\KREV\\Krev.exe"));
    EXPECT_EQ(secure().names, std::vector<std::string>{"Krev.exe"});
    EXPECT_TRUE(calls().empty());
}

TEST_F(ProgramFolder, AFailingCallStopsEverythingAfterIt) {
    install({"Krev.exe", "SC.dll"});
    sim.failSecurityOn.insert(kFolder);
    const program_folder::Result result = secure();
    EXPECT_EQ(result.outcome, Outcome::changeFailed);
    EXPECT_EQ(calls(), std::vector<std::string>{"owner C:\\KREV"});
    EXPECT_NE(program_folder::exitCode(result.outcome), 0);
    sim.failSecurityOn = {"C:\\KREV\\Krev.exe"};
    sim.securityCalls.clear();
    EXPECT_EQ(secure().names, std::vector<std::string>{"Krev.exe"});
    EXPECT_EQ(calls().back(), "owner C:\\KREV\\Krev.exe");
}

TEST_F(ProgramFolder, TheEarlierSharedSettingsStartEveryUsersOwnAndLeaveTheProgramFolder) {
    install({"Krev.exe", "Ver.chk"});
    sim.writeFile("C:\\KREV\\Reader.ini", "[Reader]\r\nSelect=晶片讀卡機 01\r\n[Register]\r\nCheck=OK\r\n");
    EXPECT_EQ(secure().outcome, Outcome::ready);
    EXPECT_FALSE(sim.pathState("C:\\KREV\\Reader.ini").exists);
    EXPECT_FALSE(sim.pathState("C:\\KREV\\Ver.chk").exists);
    EXPECT_EQ(calls().back(), "rights C:\\KREV\\StartingReader.ini");

    sim.writeFile("C:\\KREV\\DefaultCheck.htm", "check");
    ASSERT_TRUE(user_folder::prepare(sim, kFolder));
    EXPECT_EQ(sim.readFile(std::string(kUserFolder) + "\\Reader.ini"),
              "[Reader]\r\nSelect=晶片讀卡機 01\r\n[Register]\r\nCheck=OK\r\n");
    EXPECT_EQ(sim.readFile(std::string(kUserFolder) + "\\DefaultCheck.htm"), "check");
    // A user's own settings are never replaced.
    sim.writeFile(std::string(kUserFolder) + "\\Reader.ini", "[Reader]\r\nSelect=Mine\r\n");
    ASSERT_TRUE(user_folder::prepare(sim, kFolder));
    EXPECT_EQ(sim.readFile(std::string(kUserFolder) + "\\Reader.ini"), "[Reader]\r\nSelect=Mine\r\n");
    sim.environment.erase("APPDATA");
    EXPECT_FALSE(user_folder::prepare(sim, kFolder));
    EXPECT_EQ(user_folder::folderToWorkIn(sim, kFolder), kFolder);
}
