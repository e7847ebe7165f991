// The one way a launcher hands one of the product's addresses to the browser. C-style, as the
// launchers are.
#pragma once
#include <cstddef>

#include "platform/process_starter.h"

namespace browser_launch {

// The longest address that the shell is given.
constexpr std::size_t kLongestAddress = 2048;

// Fills `address` with `text` as the shell may open it and returns true when `text` is one of
// the product's own page addresses: "http://" or "https://" in any letter case, or no scheme (as
// the http build writes some pages; the build's scheme is put before it then), one of the
// product's two servers' names, then nothing or a path; no blank, quote, control character or
// character beyond ASCII, and shorter than kLongestAddress. Anything else, false.
bool productAddress(const wchar_t* text, wchar_t (&address)[kLongestAddress]);

// Starts `browser` with `argument` ("\"browser\" argument", the command line as the design builds
// it). When that program cannot be started (none was found; a packaged browser, or one that the
// shell starts through DelegateExecute), the shell opens the address itself, but only when the
// argument is one of the product's own addresses: no command line ever makes the shell run a
// program or open a file.
void openInBrowser(platform::ProcessStarter& system, const wchar_t* browser, const wchar_t* argument);

}  // namespace browser_launch
