#include "krev/settings.h"

namespace settings {

namespace {
constexpr unsigned kCapacity = 255;
}

std::string read(platform::Platform& platform, const char* section, const char* key) {
    return platform.readProfileString(section, key, "", kCapacity, kFile);
}

void write(platform::Platform& platform, const char* section, const char* key, const char* value) {
    platform.writeProfileString(section, key, value, kFile);
}

}  // namespace settings
