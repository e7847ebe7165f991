// The card library's two operations, as SC.dll exports them (undecorated names, stdcall on
// Windows). The same declarations serve the native Linux build of the library for tests.
#pragma once

#ifdef _WIN32
#include <windows.h>
typedef DWORD ScWord;
typedef LONG ScResult;
#define SC_CALL WINAPI
#ifdef SC_BUILDING_LIBRARY
#define SC_API extern "C" __declspec(dllexport)
#else
#define SC_API extern "C" __declspec(dllimport)
#endif
#else
#include <cstdint>
typedef std::uint32_t ScWord;
typedef long ScResult;
#define SC_CALL
#define SC_API extern "C" __attribute__((visibility("default")))
#endif

// The access value that every caller passes.
constexpr ScWord kScAccess = 19981204;
// The size of the caller's reader-list buffer.
constexpr unsigned kScReaderListSize = 65025;

// Writes up to 10 reader-state words and their number; 0 on success.
SC_API ScResult SC_CALL SC_GetState(ScWord access, ScWord* count, ScWord* states);
// Writes the attached readers' names into `buffer` (65025 bytes), each followed by a comma.
SC_API ScResult SC_CALL SC_GetReaderList(ScWord access, char* buffer);
// Ends the library's watch over the readers at once; 0 when it has ended. A later call begins
// again as a library just loaded. Krev asks for it by name as it exits: a library without it
// has no watch of its own.
SC_API ScResult SC_CALL SC_Close(ScWord access);
