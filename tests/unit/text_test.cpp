// Command lines and code page 950 byte strings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/command_line.h"
#include "platform/cp950.h"

TEST(CommandTail, SkipsAnUnquotedProgramNameAndTheBlanksAfterIt) {
    EXPECT_STREQ(command_line::tail("Farrow.exe http://a.example/x"), "http://a.example/x");
    EXPECT_STREQ(command_line::tail("Farrow.exe \t   two words  "), "two words  ");
    EXPECT_STREQ(command_line::tail("Farrow.exe"), "");
    EXPECT_STREQ(command_line::tail(""), "");
}

TEST(CommandTail, KeepsQuotesPercentSignsAndTrailingBlanksOfTheRest) {
    EXPECT_STREQ(command_line::tail("\"C:\\Program Files\\Farrow.exe\" \"a b\" %s %d%% "), "\"a b\" %s %d%% ");
    EXPECT_STREQ(command_line::tail("\"Farrow.exe\"tail"), "tail");
}

TEST(CommandTail, AQuoteThatIsTheSecondByteOfABig5CharacterDoesNotEndTheName) {
    // 0xA5 0x22 is one double-byte character whose second byte equals a double quote.
    const std::string line = "\"C:\\\xA5\x22\\Farrow.exe\" page";
    EXPECT_STREQ(command_line::tail(line.c_str()), "page");
}

TEST(CommandTail, AnUnterminatedQuotedNameTakesTheWholeLine) {
    EXPECT_STREQ(command_line::tail("\"Farrow.exe page"), "");
}

TEST(CommandTail, AUtf16LineIsTakenApartTheSameWay) {
    EXPECT_EQ(std::wstring(command_line::tail(L"\"C:\\Vyx\\Farrow.exe\"   https://x/ a ")), L"https://x/ a ");
    EXPECT_EQ(std::wstring(command_line::tail(L"Farrow.exe\thttps://x/")), L"https://x/");
    EXPECT_EQ(std::wstring(command_line::tail(L"\"Farrow.exe page")), L"");
}

TEST(CommandProgram, AHandlersCommandNamesItsProgramQuotedOrUpToExe) {
    const auto program = [](const wchar_t* command) {
        std::size_t start = 0;
        const std::size_t length = command_line::programOf(command, start);
        return std::wstring(command + start, length);
    };
    EXPECT_EQ(program(L"\"C:\\Program Files\\Google\\Chrome\\Application\\chrome.exe\" --single-argument %1"),
              L"C:\\Program Files\\Google\\Chrome\\Application\\chrome.exe");
    EXPECT_EQ(program(L"C:\\Program Files\\Mozilla Firefox\\FIREFOX.EXE -osint -url %1"),
              L"C:\\Program Files\\Mozilla Firefox\\FIREFOX.EXE");
    EXPECT_EQ(program(L"  %LOCALAPPDATA%\\Vivaldi\\vivaldi.exe"), L"%LOCALAPPDATA%\\Vivaldi\\vivaldi.exe");
    EXPECT_EQ(program(L"C:\\tools\\a.exec.exe x"), L"C:\\tools\\a.exec.exe");
    EXPECT_EQ(program(L"browser --new"), L"browser");
    EXPECT_EQ(program(L"\"unended"), L"unended");
    EXPECT_EQ(program(L""), L"");
}

TEST(CommandBuild, PutsOneBlankBetweenProgramAndArgumentAndQuotesOnRequest) {
    char* plain = command_line::build("Farrow.exe", false, "http://x/%s?a=%d");
    EXPECT_STREQ(plain, "Farrow.exe http://x/%s?a=%d");
    std::free(plain);
    char* quoted = command_line::build("C:\\Program Files\\b.exe", true, "");
    EXPECT_STREQ(quoted, "\"C:\\Program Files\\b.exe\" ");
    std::free(quoted);
    char* empty = command_line::build("", true, "x");
    EXPECT_STREQ(empty, "\"\" x");
    std::free(empty);
}

TEST(CommandBuild, CarriesAnArgumentOfAnyLength) {
    const std::string longArgument(100000, 'a');
    char* line = command_line::build("p", false, longArgument.c_str());
    EXPECT_EQ(std::string(line), "p " + longArgument);
    std::free(line);
}

TEST(CommandFolder, AFolderNamedByAnInstallerLosesWhatItsQuotingLeftBehindButADrivesRootKeepsItsBackslash) {
    const auto folder = [](const wchar_t* named) { return std::wstring(named, command_line::folderLength(named)); };
    EXPECT_EQ(folder(L"C:\\Program Files (x86)\\Vyx\\."), L"C:\\Program Files (x86)\\Vyx");
    // "[INSTALLDIR]" in quotes: its backslash escaped the closing quote, which stays in.
    EXPECT_EQ(folder(L"C:\\Program Files\\Vyx\""), L"C:\\Program Files\\Vyx");
    EXPECT_EQ(folder(L"C:\\KREV\\\\  "), L"C:\\KREV");
    EXPECT_EQ(folder(L"C:\\"), L"C:\\");
    EXPECT_EQ(folder(L"D:\\."), L"D:\\.");
    EXPECT_EQ(folder(L"\"\""), L"");
    EXPECT_EQ(folder(L"C:\\Vyx.\\x."), L"C:\\Vyx.\\x.") << "a name's own dot stays";
}

TEST(Cp950Search, FindsTheKeyOnlyAtACharacterBoundary) {
    EXPECT_STREQ(cp950::findText("x VersionCheck000=1", "VersionCheck000="), "VersionCheck000=1");
    // 0xA4 0x56 is one character whose second byte is 'V': no match may start there.
    EXPECT_EQ(cp950::findText("\xA4VersionCheck000", "VersionCheck000"), nullptr);
    EXPECT_STREQ(cp950::findText("\xA4\x40VersionCheck000", "VersionCheck000"), "VersionCheck000");
    EXPECT_EQ(cp950::findText("", "Version"), nullptr);
}

TEST(Cp950Compare, IgnoresTheCaseOfLettersButNotOfSecondBytes) {
    EXPECT_TRUE(cp950::equalsIgnoreCase("WebATM - Microsoft Internet Explorer", "webatm - MICROSOFT internet explorer"));
    EXPECT_FALSE(cp950::equalsIgnoreCase("WebATM", "WebATM "));
    EXPECT_FALSE(cp950::equalsIgnoreCase("WebATM ", "WebATM"));
    // 0xA4 0x61 and 0xA4 0x41 are two different characters.
    EXPECT_FALSE(cp950::equalsIgnoreCase("\xA4\x61", "\xA4\x41"));
    EXPECT_TRUE(cp950::equalsIgnoreCase("\xA4\x61x", "\xA4\x61X"));
}

TEST(Cp950Copy, CutsToCapacityWithoutSplittingACharacter) {
    char target[4];
    EXPECT_EQ(cp950::copyBounded(target, sizeof target, "abcdef", 6), 3u);
    EXPECT_STREQ(target, "abc");
    EXPECT_EQ(cp950::copyBounded(target, sizeof target, "a\xA4\x40\xA4\x40", 5), 3u);
    EXPECT_STREQ(target, "a\xA4\x40");
    EXPECT_EQ(cp950::copyBounded(target, sizeof target, "ab\xA4\x40", 4), 2u);
    EXPECT_STREQ(target, "ab");
}
