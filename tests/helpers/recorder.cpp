// Stands in for a program that the product starts (the browser, CloseKREV.exe, ...): records
// its start and ends.
#include "record_start.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return recordStart(); }
