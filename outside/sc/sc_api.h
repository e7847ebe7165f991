// The card library's two operations, as SC.dll exports them (undecorated names, stdcall).
#pragma once
#include <windows.h>

#ifdef SC_BUILDING_LIBRARY
#define SC_API extern "C" __declspec(dllexport)
#else
#define SC_API extern "C" __declspec(dllimport)
#endif

// Writes up to 10 reader-state words and their number; 0 on success.
SC_API LONG WINAPI SC_GetState(DWORD access, DWORD* count, DWORD* states);
// Writes the attached readers' names into `buffer` (65025 bytes), each followed by a comma.
SC_API LONG WINAPI SC_GetReaderList(DWORD access, char* buffer);
