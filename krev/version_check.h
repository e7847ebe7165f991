// Asks Pellit.dll for the published version and compares it with this program's 3.2.0.1.
#pragma once
#include <string>

#include "platform/platform.h"

// The four groups of the last version record in Ver.chk's lines; empty when there is none.
struct PublishedVersion {
    std::string groups[4];
};

// Takes the groups from `line` when it is a version record (key at position 1 or later).
void readVersionRecord(const char* line, PublishedVersion& version);

// 1 when the published groups are, compared as text group by group, above 003.002.000.001.
int isNewerVersion(const PublishedVersion& version);

// The whole check: 1 when a newer version is published, 0 otherwise. Blocks the caller.
int CheckVersion(platform::Platform& platform, platform::WindowHandle owner);
