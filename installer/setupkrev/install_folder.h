// Where the installer may put the programs: a folder of its own directly in one of the
// machine's program-files folders. Windows gives those to administrators alone (users read and
// run), and users may neither rename nor remove them in the root of the drive, so no user can
// change a parent of the programs' folder, swap it for another, or reach a file in it.
#pragma once
#include <string>

#include "platform/files.h"

namespace install_folder {

// True for a folder that is, or will be made, "<program files>\<name>": the path resolved as
// Windows resolves it, the name a plain folder name, no link or junction on the way or at it.
// A folder that exists is taken only when it is empty, or when it holds nothing but our names
// and is `entryFolder`, the folder our entry in "Programs and Features" names (a repair or an
// upgrade): another product's folder is never adopted, nor anything in it removed.
bool acceptable(platform::Folders& folders, const std::string& named, const std::string& entryFolder);

}  // namespace install_folder
