// Pellit.dll: fetches the page at the address on its command line (over HTTPS unless the build
// chose HTTP) and leaves its version record in .\Ver.chk for Krev's version check (the digest of
// version_digest.h, never the whole page). An https page is taken only with a certificate that
// Windows accepts for that host, and only from https: an unknown authority, another host's
// name, an expired certificate or a redirect to plain http is a failure like any other. The file is written beside its final name and renamed, so a reader never
// sees half of it. When the page cannot be had (no network, an HTTP error, no
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

bool readPage(HINTERNET request, Fetch& fetch) {
    DWORD status = 0;
    DWORD length = sizeof status;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, nullptr) ||
        status != 200) {
        return false;
    }
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

DWORD WINAPI fetchPage(void* parameter) {
    Fetch& fetch = *static_cast<Fetch*>(parameter);
    HINTERNET session = InternetOpenA("Pellit", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) return 0;
    DWORD timeout = kNetworkTimeoutMs;
    const DWORD timeouts[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                              INTERNET_OPTION_RECEIVE_TIMEOUT};
    for (DWORD option : timeouts) InternetSetOptionA(session, option, &timeout, sizeof timeout);
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                        INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES;
    HINTERNET request = InternetOpenUrlA(session, fetch.address, nullptr, 0, flags, 0);
    if (request != nullptr) {
        fetch.fetched = stayedSecure(request, fetch.address) && readPage(request, fetch);
        InternetCloseHandle(request);
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
