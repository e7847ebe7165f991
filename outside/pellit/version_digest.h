// What Pellit.dll leaves in Ver.chk: not the page as it came, but a few bytes that give Krev's
// version check exactly the answer that the whole page would give. The check reads Ver.chk on
// Krev's user-interface thread, 50 ms a line: a big page (a captive portal's, a proxy's) would
// freeze the tray for minutes or hours.
#pragma once
#include <cstddef>

constexpr std::size_t kVersionDigestCapacity = 64;

// Reads `page` as the check reads Ver.chk (C text mode on Windows: CRLF as LF, Ctrl-Z ends the
// file; lines of at most 511 bytes, each taken up to a zero byte), and writes into `digest` the
// last version record's groups as one record line, or a line without a record when there is
// none. Returns the digest's length, at most kVersionDigestCapacity.
std::size_t digestVersionPage(const char* page, std::size_t size, char* digest);
