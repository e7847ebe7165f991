#include "farrow/url_launcher.h"

#include "platform/browser_launch.h"

int runUrlLauncher(platform::ProcessStarter& system, const wchar_t* commandTail) {
    wchar_t browser[platform::kMaxPath];
    // The default browser is the program that opens https: on Windows 10 and 11 the handler of
    // .htm files is a default of its own, which feature updates reset and editors claim. Only
    // where https has none (Windows XP without that association) the program that opens
    // DefaultCheck.htm starts.
    system.findProtocolHandler(L"https", browser);
    if (browser[0] == L'\0') system.findExecutable(L".\\DefaultCheck.htm", browser);
    browser_launch::openInBrowser(system, browser, commandTail);
    return 0;
}
