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
        // A card that came with its reader (plugged in holding it, or back with the card service)
        // is reported as one put into that reader: the reader empty first, the card next time.
        const bool cameWithItsReader = !known && !firstReport_ && reader.present;
        const std::uint32_t reported = cameWithItsReader ? kEmpty : bits;
        if (!changed) {
            seen[reader.name] = bits;
        } else if (written < kMaxReported) {
            words[written++] = reported | kChanged;
            seen[reader.name] = reported;
            pending_ = pending_ || cameWithItsReader;
        } else {
            // Kept as it was (or unknown), so that it still differs next time.
            if (known) seen[reader.name] = last->second;
            pending_ = true;
        }
    }
    for (const auto& last : lastBits_) {
        const std::string& name = last.first;
        const bool gone = std::none_of(readers.begin(), readers.end(), [&name](const Reader& r) { return r.name == name; });
        if (!gone || (last.second & kPresent) == 0) continue;
        if (written < kMaxReported) {
            words[written++] = kEmpty | kChanged;
        } else {
            seen[name] = last.second;  // still gone next time, and reported then
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
