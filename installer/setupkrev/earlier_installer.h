// The Vyx that the earlier installer (KrevSetup.exe) put in place, which the package takes over:
// its programs, shortcuts and Active Setup entry have the names and places of the package's own,
// so Windows Installer replaces them. What is left is its own entry in "Programs and Features"
// (Uninstall\Vyx), its uninstaller and the staging folders of its upgrades; and, where it was
// installed into another folder than the package, its programs there.
#pragma once
#include <string>
#include <vector>

#include "platform/files.h"

namespace earlier_installer {

// The earlier installer's entry, in the registry view of this program's word size, which is the
// one that installer wrote.
class Entry {
public:
    // The program folder that the entry names, when the entry is there and is ours (named Vyx,
    // published by Quenby).
    virtual bool folder(std::string& folder) = 0;
    virtual bool remove() = 0;

protected:
    ~Entry() = default;
};

// Our names in the earlier install's folder that the package does not replace (all of ours when
// that folder is another one; an upgrade waiting for the restart keeps its Pending folder, which
// stops the package before it installs anything), then its entry. The earlier folder goes when
// it is another one and nothing else is in it. Returns what could not be removed.
std::vector<std::string> takeOver(platform::Folders& folders, Entry& entry, const std::string& programFolder);

}  // namespace earlier_installer
