// autorun.exe on the product CD, which Runlatch starts: opens the Windows Installer package that
// lies beside it through the shell, as a double-click would. Windows Installer asks for an
// administrator's consent itself when it comes to change the machine (Windows Vista and later).
#pragma once
#include "platform/process_starter.h"

constexpr char kPackageName[] = "KrevSetup.msi";

// `programFolder` is the folder of autorun.exe itself; the exit code, always 0.
int openPackage(platform::ProcessStarter& system, const char* programFolder);
