// Reader.ini in the working directory: the one way Krev reads and writes its settings.
#pragma once
#include <string>

#include "platform/files.h"

namespace settings {

constexpr char kFile[] = ".\\Reader.ini";
constexpr char kReaderSection[] = "Reader";
constexpr char kSelectKey[] = "Select";
constexpr char kRegisterSection[] = "Register";
constexpr char kCheckKey[] = "Check";
constexpr char kRegistered[] = "OK";
// Automatic opening, as the user last switched it from the tray menu: "0" off; any other value,
// or none, on. Earlier versions read no such key and leave it alone.
constexpr char kAutoConnectKey[] = "AutoConnect";

// Empty when the file, section or key is missing; cut to 254 bytes.
std::string read(platform::Files& files, const char* section, const char* key);
void write(platform::Files& files, const char* section, const char* key, const char* value);

}  // namespace settings
