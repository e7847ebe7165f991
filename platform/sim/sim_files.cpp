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
#include "platform/sim/sim_platform.h"

namespace platform::sim {

namespace {

std::string trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const std::size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool sameName(const std::string& left, const std::string& right) {
    return cp950::equalsIgnoreCase(left.c_str(), right.c_str());
}

std::vector<std::string> lines(const std::string& content) {
    std::vector<std::string> result;
    std::istringstream stream(content);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        result.push_back(line);
    }
    return result;
}

bool sectionHeader(const std::string& line, std::string* name) {
    const std::string trimmed = trim(line);
    if (trimmed.size() < 2 || trimmed.front() != '[') return false;
    const std::size_t close = trimmed.find(']');
    if (close == std::string::npos) return false;
    *name = trim(trimmed.substr(1, close - 1));
    return true;
}

bool keyLine(const std::string& line, std::string* key, std::string* value) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || trim(line).rfind(';', 0) == 0) return false;
    *key = trim(line.substr(0, equals));
    *value = trim(line.substr(equals + 1));
    return true;
}

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
    std::string value = fallback;
    std::ifstream stream(pathOf(file), std::ios::binary);
    if (stream) {
        const std::string content((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        bool inSection = false;
        for (const std::string& line : lines(content)) {
            std::string name;
            std::string foundKey;
            std::string foundValue;
            if (sectionHeader(line, &name)) {
                inSection = sameName(name, section);
            } else if (inSection && keyLine(line, &foundKey, &foundValue) && sameName(foundKey, key)) {
                if (foundValue.size() >= 2 && (foundValue.front() == '"' || foundValue.front() == '\'') &&
                    foundValue.back() == foundValue.front()) {
                    foundValue = foundValue.substr(1, foundValue.size() - 2);
                }
                value = foundValue;
                break;
            }
        }
    }
    if (capacity == 0) return std::string();
    // The value is a C string to the reader: it ends at a zero byte.
    value.resize(std::min(value.find('\0'), value.size()));
    if (value.size() > capacity - 1) value.resize(capacity - 1);
    return value;
}

bool SimPlatform::writeProfileString(const char* section, const char* key, const char* value, const char* file) {
    writePendingFiles();
    for (const std::string& locked : readOnlyFiles) {
        if (pathOf(locked) == pathOf(file)) return false;
    }
    std::vector<std::string> content = lines(readFile(file));
    const std::string entry = std::string(key) + "=" + value;
    int sectionLine = -1;
    int insertAt = -1;
    for (int index = 0; index < static_cast<int>(content.size()); ++index) {
        std::string name;
        std::string foundKey;
        std::string foundValue;
        if (sectionHeader(content[index], &name)) {
            if (sectionLine >= 0) break;
            if (sameName(name, section)) sectionLine = index;
        } else if (sectionLine >= 0 && keyLine(content[index], &foundKey, &foundValue) && sameName(foundKey, key)) {
            content[index] = entry;
            insertAt = -2;
            break;
        }
        if (sectionLine >= 0 && !trim(content[index]).empty()) insertAt = index + 1;
    }
    if (sectionLine < 0) {
        content.push_back("[" + std::string(section) + "]");
        content.push_back(entry);
    } else if (insertAt >= 0) {
        content.insert(content.begin() + insertAt, entry);
    }
    std::string joined;
    for (const std::string& line : content) joined += line + "\r\n";
    writeFile(file, joined);
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
        if (sameName(locked, name)) return false;
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
