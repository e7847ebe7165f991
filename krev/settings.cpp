#include "krev/settings.h"

namespace settings {

namespace {
constexpr unsigned kCapacity = 255;
}

std::string read(platform::Files& files, const char* section, const char* key) {
    return files.readProfileString(section, key, "", kCapacity, kFile);
}

void write(platform::Files& files, const char* section, const char* key, const char* value) {
    files.writeProfileString(section, key, value, kFile);
}

}  // namespace settings
