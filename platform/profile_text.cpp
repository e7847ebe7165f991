#include "platform/profile_text.h"

#include <algorithm>
#include <vector>

#include "platform/cp950.h"

namespace profile_text {

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

// Split by hand: a string stream would bring the C++ library's locales into every program.
std::vector<std::string> lines(const std::string& content) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        result.push_back(line);
        start = end + 1;
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

}  // namespace

std::string read(const std::string& content, const char* section, const char* key, const char* fallback,
                 unsigned capacity) {
    std::string value = fallback;
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
    if (capacity == 0) return std::string();
    // The value is a C string to the reader: it ends at a zero byte.
    value.resize(std::min(value.find('\0'), value.size()));
    if (value.size() > capacity - 1) {
        std::string cut(capacity, '\0');
        cut.resize(cp950::copyBounded(&cut[0], capacity, value.data(), value.size()));
        value = cut;
    }
    return value;
}

std::string write(const std::string& text, const char* section, const char* key, const char* value) {
    std::vector<std::string> content = lines(text);
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
    return joined;
}

}  // namespace profile_text
