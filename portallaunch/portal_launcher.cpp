#include "portallaunch/portal_launcher.h"

#include "krev/web_pages.h"
#include "platform/browser_launch.h"

namespace {
constexpr const wchar_t* kLookupPaths[] = {
    L"C:\\KREV\\DefaultCheck.htm", L"D:\\KREV\\DefaultCheck.htm", L"E:\\KREV\\DefaultCheck.htm",
    L"F:\\KREV\\DefaultCheck.htm", L"G:\\KREV\\DefaultCheck.htm",
};
}  // namespace

int runPortalLauncher(platform::ProcessStarter& system) {
    wchar_t browser[platform::kMaxPath];
    // The default browser is the program that opens https, as for Farrow: on Windows 10 and 11 the
    // handler of .htm files may be an editor. Only where https has none (Windows XP without that
    // association) the product folder's DefaultCheck.htm names it.
    system.findProtocolHandler(L"https", browser);
    if (browser[0] == L'\0') {
        system.findExecutable(kLookupPaths[0], browser);
        // The first drive whose lookup yields a program wins; no drive after it is asked.
        for (int drive = 1; drive < 5; ++drive) {
            if (browser[0] == L'\0') system.findExecutable(kLookupPaths[drive], browser);
        }
    }
    browser_launch::openInBrowser(system, browser, web_pages::kPortalWide);
    return 0;
}
