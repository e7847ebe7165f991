#include "outside/sc/reader_report.h"

#include <cstring>

namespace reader_report {

std::size_t ChangeTracker::report(const std::vector<Reader>& readers, std::uint32_t* words) {
    std::map<std::string, std::uint32_t> seen;
    std::size_t written = 0;
    for (const Reader& reader : readers) {
        const std::uint32_t bits = (reader.present ? kPresent : 0) | (reader.empty ? kEmpty : 0);
        auto last = lastBits_.find(reader.name);
        const bool changed = last == lastBits_.end() || last->second != bits;
        seen[reader.name] = bits;
        if (written == kMaxReported) continue;
        words[written++] = bits | (changed ? kChanged : 0);
    }
    // Readers that went away are forgotten: plugged in again, they count as new.
    lastBits_ = seen;
    return written;
}

void writeReaderList(const std::vector<std::string>& names, char* buffer, std::size_t capacity) {
    if (capacity == 0) return;
    std::size_t used = 0;
    for (const std::string& name : names) {
        if (used + name.size() + 2 > capacity) break;
        for (char c : name) buffer[used++] = c == ',' ? ' ' : c;
        buffer[used++] = ',';
    }
    buffer[used] = '\0';
}

}  // namespace reader_report
