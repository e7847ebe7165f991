#include "outside/sc/reader_report.h"

#include <algorithm>
#include <cstring>

namespace reader_report {

std::size_t ChangeTracker::report(const std::vector<Reader>& readers, std::uint32_t* words) {
    std::map<std::string, std::uint32_t> seen;
    std::size_t written = 0;
    pending_ = false;
    for (const Reader& reader : readers) {
        const std::uint32_t bits = (reader.present ? kPresent : 0) | (reader.empty ? kEmpty : 0);
        const auto last = lastBits_.find(reader.name);
        const bool known = last != lastBits_.end();
        const bool changed = known ? last->second != bits : !(firstReport_ && reader.present);
        if (!changed) {
            seen[reader.name] = bits;
        } else if (written < kMaxReported) {
            words[written++] = bits | kChanged;
            seen[reader.name] = bits;
        } else {
            // Kept as it was (or unknown), so that it still differs next time.
            if (known) seen[reader.name] = last->second;
            pending_ = true;
        }
    }
    for (const auto& [name, bits] : lastBits_) {
        const bool gone = std::none_of(readers.begin(), readers.end(), [&](const Reader& r) { return r.name == name; });
        if (!gone || (bits & kPresent) == 0) continue;
        if (written < kMaxReported) {
            words[written++] = kEmpty | kChanged;
        } else {
            seen[name] = bits;  // still gone next time, and reported then
            pending_ = true;
        }
    }
    // Readers that went away are forgotten: plugged in again, they count as new.
    lastBits_ = seen;
    firstReport_ = false;
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
