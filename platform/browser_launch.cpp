#include "platform/browser_launch.h"

#include <cstdlib>

#include "platform/command_line.h"
#include "product_config.h"

namespace browser_launch {

namespace {

constexpr const wchar_t* kServers[] = {L"" KREV_WEB_SERVER, L"" KREV_REG_SERVER};
constexpr const wchar_t* kSchemes[] = {L"http://", L"https://"};
constexpr wchar_t kBuildScheme[] = L"" KREV_PAGE_SCHEME;

wchar_t lowered(wchar_t character) {
    return character >= L'A' && character <= L'Z' ? static_cast<wchar_t>(character - L'A' + L'a') : character;
}

// `text` begins with `start`, letter case aside; the length of `start`, or 0.
std::size_t startsWith(const wchar_t* text, const wchar_t* start) {
    std::size_t at = 0;
    for (; start[at] != L'\0'; ++at) {
        if (lowered(text[at]) != lowered(start[at])) return 0;
    }
    return at;
}

bool plainAscii(const wchar_t* text) {
    for (const wchar_t* at = text; *at != L'\0'; ++at) {
        if (*at <= L' ' || *at > L'~' || *at == L'"') return false;
    }
    return true;
}

// Adds `part` to the zero-ended address; false when it does not fit.
bool append(wchar_t (&address)[kLongestAddress], std::size_t& length, const wchar_t* part) {
    for (const wchar_t* at = part; *at != L'\0'; ++at) {
        if (length + 1 >= kLongestAddress) return false;
        address[length++] = *at;
    }
    address[length] = L'\0';
    return true;
}

}  // namespace

bool productAddress(const wchar_t* text, wchar_t (&address)[kLongestAddress]) {
    address[0] = L'\0';
    if (!plainAscii(text)) return false;
    std::size_t scheme = 0;
    for (const wchar_t* candidate : kSchemes) {
        if (scheme == 0) scheme = startsWith(text, candidate);
    }
    bool ours = false;
    for (const wchar_t* server : kServers) {
        const std::size_t host = startsWith(text + scheme, server);
        const wchar_t after = host == 0 ? L'x' : text[scheme + host];
        ours = ours || (host != 0 && (after == L'\0' || after == L'/'));
    }
    if (!ours) return false;
    std::size_t length = 0;
    if (!(scheme != 0 || append(address, length, kBuildScheme)) || !append(address, length, text)) {
        address[0] = L'\0';
        return false;
    }
    return true;
}

void openInBrowser(platform::ProcessStarter& system, const wchar_t* browser, const wchar_t* argument) {
    platform::StartOutcome outcome = platform::StartOutcome::failed;
    wchar_t* command = command_line::build(browser, true, argument);
    if (command != nullptr) outcome = system.startProgram(command, platform::kShow);
    std::free(command);
    if (outcome == platform::StartOutcome::started) return;
    wchar_t address[kLongestAddress];
    if (productAddress(argument, address)) system.openAddress(address, platform::kShow);
}

}  // namespace browser_launch
