// Each user's own working folder, "%APPDATA%\Vyx": that user's Reader.ini and Ver.chk, and the
// DefaultCheck.htm through which Farrow finds the browser. The program folder is the
// administrators'; no user writes there.
#pragma once
#include <string>

#include "platform/files.h"

namespace user_folder {

constexpr char kName[] = "Vyx";
constexpr char kDefaultCheck[] = "DefaultCheck.htm";
constexpr char kSettings[] = "Reader.ini";
// In the program folder: the settings that an upgrade kept from an earlier install's shared
// Reader.ini, the start of every user's own Reader.ini.
constexpr char kStartingSettings[] = "StartingReader.ini";

// "%APPDATA%\Vyx"; empty when the variable is not set.
std::string path(platform::Folders& folders);

// Makes the user's folder when it is missing and gives it, from the program folder, what it
// lacks: DefaultCheck.htm, and the starting settings as Reader.ini. Never overwrites a file of
// the user's, and never works through a link or junction at the folder's name (the installer
// runs this elevated). False when there is no folder to work in.
bool prepare(platform::Folders& folders, const std::string& programFolder);

// Where this user's Krev works: the user's folder, prepared; the program folder when there is
// no user's folder to be had (Krev then moves out of it by itself where it can).
std::string folderToWorkIn(platform::Folders& folders, const std::string& programFolder);

// Krev started in its own program folder (a double-click on Krev.exe in Explorer) would keep its
// settings there, where only administrators write: it works in the user's folder instead,
// prepared as at logon. True when it moved there.
bool leaveProgramFolder(platform::Folders& folders);

// Works in the user's folder, prepared as at logon, from wherever Krev was started. True when it
// moved there.
bool moveToUsersFolder(platform::Folders& folders);


}  // namespace user_folder
