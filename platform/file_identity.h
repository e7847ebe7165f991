// A file or folder as the file system identifies it (its volume and its index there), whatever
// path spelled it: a short 8.3 name, another letter case.
#pragma once

namespace platform {

struct FileIdentity {
    unsigned long volume;
    unsigned long indexHigh;
    unsigned long indexLow;
};

inline bool operator==(const FileIdentity& left, const FileIdentity& right) {
    return left.volume == right.volume && left.indexHigh == right.indexHigh && left.indexLow == right.indexLow;
}

}  // namespace platform
