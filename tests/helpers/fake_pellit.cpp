// Stands in for Pellit.dll: records its start, then copies the file named by PELLIT_SOURCE to
// .\Ver.chk (written beside it and renamed, so no reader sees half of it). Without
// PELLIT_SOURCE it writes nothing, as a fetcher that failed would.
#include "record_start.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    recordStart();
    char source[MAX_PATH];
    if (GetEnvironmentVariableA("PELLIT_SOURCE", source, sizeof source) == 0) return 0;
    if (!CopyFileA(source, ".\\Ver.chk.new", FALSE)) return 1;
    return MoveFileExA(".\\Ver.chk.new", ".\\Ver.chk", MOVEFILE_REPLACE_EXISTING) ? 0 : 2;
}
