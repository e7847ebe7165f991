// Whole window titles of the Web ATM and product pages during which Krev opens nothing.
#pragma once

constexpr int kWebAtmTitleRows = 130;
// The 130 titles in code page 950, then the closing row "EndOfBlock".
extern const char* const webAtmTitles[kWebAtmTitleRows + 1];
