// What the card library reports, apart from how it learns the readers' states: the state words
// with their changed bits, and the comma-ended reader list.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace reader_report {

constexpr std::uint32_t kChanged = 0x02;
constexpr std::uint32_t kEmpty = 0x10;
constexpr std::uint32_t kPresent = 0x20;
constexpr std::size_t kMaxReported = 10;

struct Reader {
    std::string name;
    bool present;
    bool empty;
    bool operator==(const Reader& other) const {
        return name == other.name && present == other.present && empty == other.empty;
    }
};

// Remembers, per reader name, the present and empty bits last reported.
class ChangeTracker {
public:
    // Writes one word for each reader whose state changed since the last report, at most
    // kMaxReported, and returns how many it wrote; readers that did not change are not reported,
    // so that a card that stays in one reader never hides another reader's card coming or going.
    // A reader changed when it is new or its present or empty bit differs: a reader that was first
    // neither (unavailable, its driver starting) and then empty has changed, so that the first
    // card put into it counts as an insertion. A card found in a reader at the very first report
    // did not come while anyone watched: that reader is not a change. A reader that comes later
    // holding a card is reported empty, and its card at the next report, as a card put in. A
    // reader that went away holding a card is reported once more, empty: its card went with it.
    // A change that finds no room is reported next time.
    std::size_t report(const std::vector<Reader>& readers, std::uint32_t* words);
    // A change waits for the next report.
    bool pending() const { return pending_; }

private:
    std::map<std::string, std::uint32_t> lastBits_;
    bool firstReport_ = true;
    bool pending_ = false;
};

// "name,name," ended by a zero byte, within `capacity` bytes. A comma inside a name would split
// it for the reader of the list, so it is written as a blank; names that do not fit are left out.
void writeReaderList(const std::vector<std::string>& names, char* buffer, std::size_t capacity);

}  // namespace reader_report
