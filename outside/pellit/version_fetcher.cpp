// Pellit.dll: fetches the page at the address on its command line (over HTTPS unless the build
// chose HTTP) and leaves its version record in .\Ver.chk for Krev's version check (the digest of
// version_digest.h, never the whole page). An https page is taken only with a certificate that
// Windows accepts for that host, and only from https: an unknown authority, another host's
// name, an expired certificate or a redirect to plain http is a failure like any other. A
// redirect is followed here, never by WinINet, and only to https on the same host and port (or
// from http on port 80 to https on 443), a few times at most: no request goes anywhere else. The file is written beside its final name
// and renamed, so a reader never sees half of it. When the page cannot be had (no network, an HTTP error, no
// answer within a few seconds) Ver.chk still appears, holding no version record: Krev then
// answers "no newer version" at once instead of reporting damaged files.
#include <windows.h>
#include <wininet.h>

#include <cstdlib>
#include <cstring>

#include "outside/pellit/version_digest.h"
#include "platform/command_line.h"

namespace {

constexpr DWORD kNetworkTimeoutMs = 4000;
// Krev gives up on Ver.chk after about ten seconds: a hung fetch is abandoned well before that.
constexpr DWORD kGiveUpMs = 7000;
constexpr DWORD kMaxPageBytes = 1 << 20;
constexpr char kNoVersion[] = "The version page could not be fetched.\r\n";
constexpr int kMaxRedirects = 3;

struct Fetch {
    const char* address;
    char* page = nullptr;
    DWORD size = 0;
    bool fetched = false;
};

bool writeVersionFile(const char* data, DWORD size) {
    HANDLE file = CreateFileA(".\\Ver.chk.part", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool complete = WriteFile(file, data, size, &written, nullptr) && written == size;
    CloseHandle(file);
    return complete && MoveFileExA(".\\Ver.chk.part", ".\\Ver.chk", MOVEFILE_REPLACE_EXISTING);
}

bool startsWith(const char* text, const char* prefix) {
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, text, lstrlenA(prefix), prefix, lstrlenA(prefix)) ==
           CSTR_EQUAL;
}

// WinINet checks the certificate of an https request (no flag of ours lets it ignore anything),
// and refuses a redirect from https to http when it has no user to ask; the address that
// answered is looked at here too, so that no such redirect is ever taken.
bool stayedSecure(HINTERNET request, const char* address) {
    if (!startsWith(address, "https://")) return true;
    char answered[INTERNET_MAX_URL_LENGTH + 1] = {};
    DWORD length = sizeof answered - 1;
    return InternetQueryOptionA(request, INTERNET_OPTION_URL, answered, &length) && startsWith(answered, "https://");
}

DWORD statusOf(HINTERNET request);

bool readPage(HINTERNET request, Fetch& fetch) {
    if (statusOf(request) != 200) return false;
    DWORD capacity = 16384;
    fetch.page = static_cast<char*>(std::malloc(capacity));
    for (;;) {
        if (fetch.page == nullptr) return false;
        DWORD got = 0;
        if (!InternetReadFile(request, fetch.page + fetch.size, capacity - fetch.size, &got)) return false;
        if (got == 0) return true;
        fetch.size += got;
        if (fetch.size == capacity) {
            if (capacity >= kMaxPageBytes) return false;
            capacity *= 2;
            char* larger = static_cast<char*>(std::realloc(fetch.page, capacity));
            if (larger == nullptr) return false;
            fetch.page = larger;
        }
    }
}

DWORD statusOf(HINTERNET request) {
    DWORD status = 0;
    DWORD length = sizeof status;
    return HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr) ? status
                                                                                                             : 0;
}

bool isRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

struct Place {
    char host[INTERNET_MAX_HOST_NAME_LENGTH + 1] = {};
    INTERNET_PORT port = 0;
    INTERNET_SCHEME scheme = INTERNET_SCHEME_UNKNOWN;
};

bool placeOf(const char* address, Place& place) {
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = place.host;
    parts.dwHostNameLength = sizeof place.host;
    if (!InternetCrackUrlA(address, 0, 0, &parts)) return false;
    place.port = parts.nPort;
    place.scheme = parts.nScheme;
    return place.host[0] != '\0';
}

// Where a redirect leads, made absolute against the address that answered with it, when that is
// https on the same host and port as the address asked for first.
bool redirectTarget(HINTERNET request, const char* current, const Place& first, char* target, DWORD capacity) {
    char location[INTERNET_MAX_URL_LENGTH + 1] = {};
    DWORD length = sizeof location - 1;
    if (!HttpQueryInfoA(request, HTTP_QUERY_LOCATION, location, &length, nullptr)) return false;
    DWORD combined = capacity;
    if (!InternetCombineUrlA(current, location, target, &combined, ICU_NO_ENCODE)) return false;
    Place next;
    if (!placeOf(target, next) || next.scheme != INTERNET_SCHEME_HTTPS || lstrcmpiA(next.host, first.host) != 0) {
        return false;
    }
    // An http address of the build that chose http may move up to https on its usual port.
    return next.port == first.port || (first.scheme == INTERNET_SCHEME_HTTP && first.port == INTERNET_DEFAULT_HTTP_PORT &&
                                       next.port == INTERNET_DEFAULT_HTTPS_PORT);
}

DWORD WINAPI fetchPage(void* parameter) {
    Fetch& fetch = *static_cast<Fetch*>(parameter);
    HINTERNET session = InternetOpenA("Pellit", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) return 0;
    DWORD timeout = kNetworkTimeoutMs;
    const DWORD timeouts[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                              INTERNET_OPTION_RECEIVE_TIMEOUT};
    for (DWORD option : timeouts) InternetSetOptionA(session, option, &timeout, sizeof timeout);
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                        INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT;
    Place first;
    static char addresses[2][INTERNET_MAX_URL_LENGTH + 1];
    const char* current = fetch.address;
    for (int redirects = 0; placeOf(fetch.address, first) && redirects <= kMaxRedirects; ++redirects) {
        HINTERNET request = InternetOpenUrlA(session, current, nullptr, 0, flags, 0);
        if (request == nullptr) break;
        char* next = addresses[redirects % 2];
        const DWORD status = statusOf(request);
        const bool follow = isRedirect(status) && redirectTarget(request, current, first, next, sizeof addresses[0]);
        if (!isRedirect(status)) fetch.fetched = stayedSecure(request, current) && readPage(request, fetch);
        InternetCloseHandle(request);
        if (!follow) break;
        current = next;
    }
    InternetCloseHandle(session);
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    Fetch fetch;
    fetch.address = command_line::tail(GetCommandLineA());
    bool fetched = false;
    if (*fetch.address != '\0') {
        HANDLE worker = CreateThread(nullptr, 0, fetchPage, &fetch, 0, nullptr);
        fetched = worker != nullptr && WaitForSingleObject(worker, kGiveUpMs) == WAIT_OBJECT_0 && fetch.fetched;
    }
    if (fetched) {
        char digest[kVersionDigestCapacity];
        writeVersionFile(digest, static_cast<DWORD>(digestVersionPage(fetch.page, fetch.size, digest)));
    } else {
        writeVersionFile(kNoVersion, sizeof kNoVersion - 1);
    }
    // A fetch still hanging in the network is ended with the process.
    ExitProcess(0);
}
