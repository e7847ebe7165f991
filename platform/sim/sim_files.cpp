// The simulation's files: real files in a temporary folder that stands for the working
// directory, read with the rules of Windows profile files and of C text-mode reading.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sstream>

#include "platform/cp950.h"
#include "platform/profile_text.h"
#include "platform/sim/sim_platform.h"

namespace platform::sim {

namespace {

// C text-mode reading of a file's bytes as the Windows runtime does it: CRLF reads as LF, and
// Ctrl-Z (0x1A) ends the file; fgets and feof as the runtime has them.
class SimTextFile final : public TextFile {
public:
    // `failAfter` bytes are read; every read after them fails with a stream error, which is not
    // the end of the file (a file on a drive that went away).
    explicit SimTextFile(std::string bytes, std::size_t failAfter = std::string::npos) : failAfter_(failAfter) {
        for (std::size_t at = 0; at < bytes.size() && bytes[at] != '\x1a'; ++at) {
            if (bytes[at] == '\r' && at + 1 < bytes.size() && bytes[at + 1] == '\n') continue;
            data_.push_back(bytes[at]);
        }
    }
    bool atEnd() override { return end_; }
    bool readLine(char* buffer, int size) override {
        if (position_ >= failAfter_) {
            // A reader that never gives up on a failing file would read for ever.
            if (++failedReads_ > kMostFailedReads) throw std::runtime_error("reads go on after a stream error");
            return false;
        }
        int used = 0;
        while (used < size - 1 && position_ < failAfter_) {
            if (position_ >= data_.size()) {
                end_ = true;
                break;
            }
            const char byte = data_[position_++];
            buffer[used++] = byte;
            if (byte == '\n') break;
        }
        if (used == 0) return false;
        buffer[used] = '\0';
        return true;
    }

private:
    static constexpr int kMostFailedReads = 100;
    std::string data_;
    std::size_t position_ = 0;
    bool end_ = false;
    std::size_t failAfter_;
    int failedReads_ = 0;
};

}  // namespace

std::string SimPlatform::pathOf(const std::string& path) const {
    const std::string windows = path.size() >= 2 && path[1] == ':' ? path : workingFolder_ + "\\" + path;
    std::string name = windows.substr(0, 1) + windows.substr(2);
    for (char& c : name) {
        if (c == '\\') c = '/';
    }
    std::string host = std::filesystem::path(root_ + "/" + name).lexically_normal().string();
    if (host.size() > 1 && host.back() == '/') host.pop_back();
    return host;
}

void SimPlatform::writeFile(const std::string& relative, const std::string& content) {
    std::ofstream(pathOf(relative), std::ios::binary) << content;
}

std::string SimPlatform::readFile(const std::string& relative) const {
    std::ifstream file(pathOf(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void SimPlatform::scheduleFile(const std::string& relative, const std::string& content, long long atMs) {
    pendingFiles_.push_back(PendingFile{relative, content, atMs});
}

void SimPlatform::writePendingFiles() {
    const long long time = now();
    for (auto pending = pendingFiles_.begin(); pending != pendingFiles_.end();) {
        if (pending->atMs > time) {
            ++pending;
            continue;
        }
        writeFile(pending->relative, pending->content);
        pending = pendingFiles_.erase(pending);
    }
}

std::string SimPlatform::readProfileString(const char* section, const char* key, const char* fallback,
                                           unsigned capacity, const char* file) {
    writePendingFiles();
    return profile_text::read(readFile(file), section, key, fallback, capacity);
}

bool SimPlatform::writeProfileString(const char* section, const char* key, const char* value, const char* file) {
    writePendingFiles();
    for (const std::string& locked : readOnlyFiles) {
        if (pathOf(locked) == pathOf(file)) return false;
    }
    writeFile(file, profile_text::write(readFile(file), section, key, value));
    return true;
}

bool SimPlatform::fileExists(const char* path) {
    writePendingFiles();
    return std::ifstream(pathOf(path)).good();
}

bool SimPlatform::deleteFile(const char* path) {
    writePendingFiles();
    std::string name = path;
    if (name.rfind(".\\", 0) == 0) name.erase(0, 2);
    for (const std::string& locked : undeletable_) {
        if (cp950::equalsIgnoreCase(locked.c_str(), name.c_str())) return false;
    }
    if (std::remove(pathOf(path).c_str()) != 0) return false;
    deletions.emplace_back(path);
    return true;
}

std::unique_ptr<TextFile> SimPlatform::openTextFile(const char* path) {
    writePendingFiles();
    fileOpenAttempts.emplace_back(path);
    std::ifstream stream(pathOf(path), std::ios::binary);
    if (!stream) return nullptr;
    const auto failing = readErrorsAfter.find(path);
    return std::make_unique<SimTextFile>(
        std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>()),
        failing == readErrorsAfter.end() ? std::string::npos : failing->second);
}

}  // namespace platform::sim
