// The window guard's differential check: for each case it gives the windows of winprobe's guard
// fixture (another process) their titles, then asks both the walk of FindWindowA calls over the
// Web ATM table and Krev's one-pass guard whether a Web ATM page is open.
// Prints "CASE EXPECTED WALK LOOKUP" per case, then "cases N, differing D, unexpected U".
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "krev/web_atm_guard.h"
#include "krev/web_atm_titles.h"
#include "platform/win32/window_titles_win32.h"

namespace {

struct Fixture {
    HWND shown;    // "guard A", a top-level window
    HWND hidden;   // "guard B"
    HWND child;    // "guard C", a child of "guard A"
    HWND last;     // "guard Z", hidden, last in the window order
};

std::vector<std::string> tableRows() {
    std::vector<std::string> rows;
    for (const char* const* row = webAtmTitles; std::strcmp(*row, "EndOfBlock") != 0; ++row) rows.emplace_back(*row);
    return rows;
}

bool walkFindsOne() {
    for (const char* const* row = webAtmTitles; std::strcmp(*row, "EndOfBlock") != 0; ++row) {
        if (FindWindowA(nullptr, *row) != nullptr) return true;
    }
    return false;
}

// ASCII letters in the other case; bytes of double-byte characters stay as they are.
std::string otherCase(const std::string& title) {
    std::string flipped = title;
    for (std::size_t at = 0; at < flipped.size(); ++at) {
        const unsigned char byte = static_cast<unsigned char>(flipped[at]);
        if (byte >= 0x81) {
            ++at;
        } else if (std::isalpha(byte)) {
            flipped[at] = static_cast<char>(std::islower(byte) ? std::toupper(byte) : std::tolower(byte));
        }
    }
    return flipped;
}

// The trail bytes of double-byte characters that look like ASCII letters, in the other case.
std::string trailBytesFlipped(const std::string& title) {
    std::string flipped = title;
    for (std::size_t at = 0; at + 1 < flipped.size(); ++at) {
        if (static_cast<unsigned char>(flipped[at]) < 0x81) continue;
        const unsigned char trail = static_cast<unsigned char>(flipped[++at]);
        if (std::isalpha(trail)) flipped[at] = static_cast<char>(trail ^ 0x20);
    }
    return flipped;
}

// ASCII letters as full-width letters of the other case (Ａ for a): no longer the same title.
std::string fullWidthOtherCase(const std::string& title) {
    std::vector<wchar_t> wide(title.size() + 1);
    const int length = MultiByteToWideChar(950, 0, title.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    for (int at = 0; at < length; ++at) {
        const wchar_t c = wide[at];
        if (c >= L'a' && c <= L'z') wide[at] = static_cast<wchar_t>(0xFF21 + (c - L'a'));
        else if (c >= L'A' && c <= L'Z') wide[at] = static_cast<wchar_t>(0xFF41 + (c - L'A'));
    }
    std::vector<char> narrow(title.size() * 2 + 8);
    WideCharToMultiByte(950, 0, wide.data(), -1, narrow.data(), static_cast<int>(narrow.size()), nullptr, nullptr);
    return std::string(narrow.data());
}

class Checker {
public:
    Checker(const Fixture& fixture) : fixture_(fixture), rows_(tableRows()) {
        std::vector<const char*> rows;
        for (const std::string& row : rows_) rows.push_back(row.c_str());
        guard_ = std::make_unique<WebAtmGuard>(windows_, rows.data(), rows.size());
    }

    // Titles for "guard A", "guard B", "guard C" and "guard Z"; nullptr keeps the fixture's own.
    void check(const std::string& name, bool expected, const char* shown, const char* hidden = nullptr,
               const char* child = nullptr, const char* last = nullptr) {
        retitle(0, fixture_.shown, shown != nullptr ? shown : "guard A");
        retitle(1, fixture_.hidden, hidden != nullptr ? hidden : "guard B");
        retitle(2, fixture_.child, child != nullptr ? child : "guard C");
        retitle(3, fixture_.last, last != nullptr ? last : "guard Z");
        const DWORD started = GetTickCount();
        const bool walk = walkFindsOne();
        const DWORD walked = GetTickCount();
        const bool lookup = guard_->pageWindow() != 0;
        walkMs_ += walked - started;
        lookupMs_ += GetTickCount() - walked;
        std::printf("%s %d %d %d\n", name.c_str(), expected ? 1 : 0, walk ? 1 : 0, lookup ? 1 : 0);
        ++cases_;
        if (walk != lookup) ++differing_;
        if (walk != expected || lookup != expected) ++unexpected_;
    }

    // A title that must match no row. The walk of FindWindowA calls is slow under Wine (about a
    // millisecond a call): such titles are checked three at a time, one per top-level window.
    void expectNone(const std::string& name, const std::string& title) {
        noMatch_.emplace_back(name, title);
        if (noMatch_.size() == 3) checkNoMatches();
    }

    void checkNoMatches() {
        if (noMatch_.empty()) return;
        std::string names;
        const char* titles[3] = {nullptr, nullptr, nullptr};
        for (std::size_t at = 0; at < noMatch_.size(); ++at) {
            names += (at > 0 ? "+" : "") + noMatch_[at].first;
            titles[at] = noMatch_[at].second.c_str();
        }
        check(names, false, titles[0], titles[1], nullptr, titles[2]);
        noMatch_.clear();
    }

    int run() {
        for (std::size_t row = 0; row < rows_.size(); ++row) {
            const std::string number = std::to_string(row + 1);
            const std::string& title = rows_[row];
            check("row-" + number, true, title.c_str());
            check("other-case-" + number, true, otherCase(title).c_str());
            expectNone("full-width-" + number, fullWidthOtherCase(title));
            const std::string trails = trailBytesFlipped(title);
            if (trails != title) expectNone("trail-bytes-flipped-" + number, trails);
            expectNone("one-more-blank-" + number, title + " ");
            if (title.back() == ' ') expectNone("one-blank-fewer-" + number, title.substr(0, title.size() - 1));
        }
        expectNone("longer-than-255-bytes", rows_[8] + std::string(300, 'x'));
        expectNone("empty-title", "");
        checkNoMatches();
        check("hidden-window", true, "guard A", rows_[8].c_str());
        check("child-window", false, "guard A", "guard B", rows_[8].c_str());
        check("matching-window-last", true, "guard A", "guard B", "guard C", rows_[129].c_str());
        check("nothing-open", false, nullptr);
        std::printf("cases %d, differing %d, unexpected %d (walks %lu ms, lookups %lu ms)\n", cases_, differing_,
                    unexpected_, walkMs_, lookupMs_);
        return differing_ == 0 && unexpected_ == 0 ? 0 : 1;
    }

private:
    // A title set in the other process costs a round trip: only changed ones are sent.
    void retitle(int slot, HWND window, const char* title) {
        if (titles_[slot] == title) return;
        SetWindowTextA(window, title);
        titles_[slot] = title;
    }

    Fixture fixture_;
    std::string titles_[4] = {"guard A", "guard B", "guard C", "guard Z"};
    std::vector<std::pair<std::string, std::string>> noMatch_;
    std::vector<std::string> rows_;
    platform::win32::Win32WindowTitles windows_;
    std::unique_ptr<WebAtmGuard> guard_;
    unsigned long walkMs_ = 0;
    unsigned long lookupMs_ = 0;
    int cases_ = 0;
    int differing_ = 0;
    int unexpected_ = 0;
};

}  // namespace

int main() {
    Fixture fixture{FindWindowA(nullptr, "guard A"), FindWindowA(nullptr, "guard B"), nullptr,
                    FindWindowA(nullptr, "guard Z")};
    if (fixture.shown != nullptr) fixture.child = FindWindowExA(fixture.shown, nullptr, nullptr, "guard C");
    if (fixture.shown == nullptr || fixture.hidden == nullptr || fixture.child == nullptr || fixture.last == nullptr) {
        std::printf("the guard fixture's windows are missing\n");
        return 2;
    }
    return Checker(fixture).run();
}
