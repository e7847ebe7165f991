"""The shipped i686 programs as built: subsystem, imports, exports and resources, read back with
the MinGW tools (objdump, and windres decompiling the resources)."""
import os
import re
import subprocess
import tempfile
import unittest

import wine_env

DIST32 = os.path.join(wine_env.ROOT, "dist", "win32")
SYSTEM_DLLS = {"KERNEL32.dll", "msvcrt.dll", "USER32.dll", "SHELL32.dll", "GDI32.dll", "ADVAPI32.dll", "WININET.DLL",
               "ole32.dll", "WinSCard.dll", "COMCTL32.DLL"}
# Windows takes these from its system folder whatever lies beside a program (its known DLLs, and
# on XP msvcrt.dll as theirs): what the installer runs from its temporary folder imports no other.
KNOWN_DLLS = {"KERNEL32.dll", "msvcrt.dll", "USER32.dll", "SHELL32.dll", "GDI32.dll", "ADVAPI32.dll", "ole32.dll"}
INSTALLER_HELPERS = ("CloseKREV.exe", "SetupKREV.exe")
DESCRIPTIONS = {"Krev.exe": "Vyx 讀卡機監控程式", "Farrow.exe": "Vyx 網頁開啟程式", "PortalLaunch.exe": "Vyx 入口網站開啟程式",
                "Runlatch.exe": "Vyx 光碟自動執行程式", "Pellit.dll": "Vyx 版本檢查程式", "Go.dll": "Vyx 客戶服務郵件程式",
                "CloseKREV.exe": "Vyx 程式結束工具", "SetupKREV.exe": "Vyx 安裝輔助程式", "SC.dll": "Vyx 讀卡機函式庫"}
SUPPORTED_OS = ("e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a")
PROGRAMS = ("Krev.exe", "Farrow.exe", "PortalLaunch.exe", "Runlatch.exe", "Pellit.dll", "Go.dll", "CloseKREV.exe",
            "SetupKREV.exe")


def objdump(program):
    return subprocess.run(["i686-w64-mingw32-objdump", "-p", os.path.join(DIST32, program)], capture_output=True,
                          text=True, check=True).stdout


def imported_functions(program):
    """(dll, function) for every function the program imports by name."""
    functions, dll = [], None
    for line in objdump(program).splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            dll = named.group(1)
            continue
        entry = re.match(r"\t[0-9a-f]+\t +\d+ +(\w+)$", line)
        if entry and dll:
            functions.append((dll, entry.group(1)))
    return functions


# The Windows headers declare a function only for the Windows versions that have it: a program
# that names each imported function compiles for Windows XP SP3 only if XP has them all.
XP_CHECK_HEADER = """#define WINVER 0x0501
#define _WIN32_WINNT 0x0501
#define _WIN32_IE 0x0600
#define PSAPI_VERSION 1
#include <windows.h>
#include <aclapi.h>
#include <commctrl.h>
#include <objbase.h>
#include <psapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>
#include <userenv.h>
#include <wininet.h>
#include <winscard.h>
"""


def resources(program):
    return subprocess.run(["i686-w64-mingw32-windres", "-i", os.path.join(DIST32, program), "-O", "rc"],
                          capture_output=True, text=True, check=True).stdout


def wide(text):
    """A text as windres writes a wide string literal's contents."""
    return "".join(c if 32 <= ord(c) < 127 else "\\x%04x" % ord(c) for c in text)


class BuiltPrograms(unittest.TestCase):
    def test_every_program_is_a_windowed_program_needing_no_dll_beside_it_but_sc(self):
        for program in PROGRAMS + ("SC.dll",):
            dump = objdump(program)
            if program != "SC.dll":
                self.assertIn("Subsystem\t\t00000002\t(Windows GUI)", dump, program)
            imports = set(re.findall(r"DLL Name: (\S+)", dump))
            allowed = KNOWN_DLLS if program in INSTALLER_HELPERS else \
                SYSTEM_DLLS | ({"SC.dll"} if program == "Krev.exe" else set())
            self.assertLessEqual(imports, allowed, program)
        self.assertIn("SC.dll", re.findall(r"DLL Name: (\S+)", objdump("Krev.exe")))

    def test_the_programs_that_look_at_drives_turn_the_no_disk_boxes_off(self):
        for program in ("PortalLaunch.exe", "Runlatch.exe", "Farrow.exe"):
            self.assertIn(("KERNEL32.dll", "SetErrorMode"), imported_functions(program), program)

    def test_every_shipped_file_imports_only_what_windows_xp_sp3_has(self):
        # msvcrt.dll is the system's C runtime, and SC.dll is our own.
        functions = sorted({name for program in PROGRAMS + ("SC.dll",) for dll, name in imported_functions(program)
                            if dll.lower() not in ("msvcrt.dll", "sc.dll")})
        self.assertIn("EnterCriticalSection", functions)
        with tempfile.NamedTemporaryFile("w", suffix=".cpp") as source:
            source.write(XP_CHECK_HEADER + "void uses() {\n")
            source.writelines("    (void)&%s;\n" % name for name in functions)
            source.write("}\n")
            source.flush()
            check = subprocess.run(["i686-w64-mingw32-g++", "-fsyntax-only", source.name], capture_output=True,
                                   text=True)
        self.assertEqual(check.returncode, 0, "imports newer than Windows XP SP3:\n" + check.stderr[-3000:])

    def test_the_installer_and_the_cd_carry_the_i686_programs(self):
        setup = os.path.join(wine_env.ROOT, "dist", "KrevSetup.exe")
        dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", setup], capture_output=True, text=True,
                              check=True).stdout
        self.assertIn("Subsystem\t\t00000002\t(Windows GUI)", dump)
        self.assertIn("Magic\t\t\t010b\t(PE32)", dump)
        listing = subprocess.run(["xorriso", "-indev", os.path.join(wine_env.ROOT, "dist", "krev-cd.iso"), "-find", "/",
                                  "-type", "f"], capture_output=True, text=True, check=True).stdout
        self.assertEqual(sorted(line.strip("'") for line in listing.split()),
                         ["/KREV/DefaultCheck.htm", "/PortalLaunch.exe", "/Runlatch.exe", "/autorun.exe", "/autorun.inf"])
        with open(setup, "rb") as installer:
            self.assertIn(b"Nullsoft", installer.read())

    def test_sc_dll_exports_its_two_operations_undecorated(self):
        exports = re.findall(r"^\s*\[\s*\d+\] (\S+)$", objdump("SC.dll"), re.M)
        self.assertEqual(sorted(exports), ["SC_GetReaderList", "SC_GetState"])

    def test_runlatch_carries_an_application_icon_its_version_and_manifest_and_nothing_else(self):
        text = resources("Runlatch.exe")
        self.assertEqual(set(re.findall(r"/\* RT_(\w+) \*/", text)), {"ICON", "GROUP_ICON", "MANIFEST"})
        self.assertEqual(set(re.findall(r"/\* Type: (\w+)", text)), {"icon", "group", "version", "24"})

    def test_every_shipped_file_carries_its_version_and_every_program_its_manifest(self):
        for program in PROGRAMS + ("SC.dll",):
            text = resources(program)
            self.assertIn("FILEVERSION 3, 2, 0, 1", text, program)
            for key, value in (("CompanyName", '"Quenby"'), ("ProductName", '"Vyx"'), ("FileVersion", '"3.2.0.1"'),
                               ("OriginalFilename", '"%s"' % program),
                               ("FileDescription", 'L"%s"' % wide(DESCRIPTIONS[program]))):
                self.assertIn('VALUE "%s", %s' % (key, value), text, program)
            manifest = "".join(re.findall(r'^\s*"(.*)"$', text.split("RT_MANIFEST")[-1], re.M)) \
                if "RT_MANIFEST" in text else ""
            if program == "SC.dll":
                self.assertEqual(manifest, "", "a library takes its caller's manifest")
                continue
            self.assertIn('requestedExecutionLevel level=""asInvoker""', manifest, program)
            for system in SUPPORTED_OS:
                self.assertIn(system, manifest, program)
            self.assertIn('name=""Microsoft.Windows.Common-Controls"" version=""6.0.0.0""', manifest, program)
            self.assertIn(">false</dpiAware>", manifest, program)
            self.assertIn(">true</gdiScaling>", manifest, program)

    def test_the_installer_asks_for_an_administrator_and_is_aware_of_the_display_scaling(self):
        with open(os.path.join(wine_env.ROOT, "dist", "KrevSetup.exe"), "rb") as installer:
            image = installer.read()
        self.assertIn(b'level="requireAdministrator"', image)
        # Made with NSIS 3.11 or later, whose plug-ins folder no user can race.
        built_with = re.search(rb"Nullsoft Install System v(\d+)\.(\d+)", image)
        self.assertGreaterEqual((int(built_with.group(1)), int(built_with.group(2))), (3, 11))
        self.assertIn(b"<dpiAware>true</dpiAware>", image.replace(b' xmlns="http://schemas.microsoft.com/SMI/2005/'
                                                                    b'WindowsSettings"', b""))

    def test_the_card_icons_carry_an_image_drawn_for_each_size(self):
        text = resources("Krev.exe")
        for icon in (128, 144, 146):
            group = text.split("%d 14 /* RT_GROUP_ICON */" % icon)[1].split("END")[0]
            sizes = sorted((int(width, 8), int(bits)) for width, bits in
                           re.findall(r'"\\(\d+)\\\d+\\000\\000", 1, (\d+),', group))
            self.assertEqual(sizes, [(16, 32), (20, 32), (24, 32), (32, 32), (48, 8)], icon)

    def test_the_tray_menu_has_its_fourteen_positions_in_chinese_taiwan(self):
        rc = resources("Krev.exe")
        menu = rc[rc.index("129 MENU"):]
        menu = menu[:menu.index("\nEND")]
        # 1028, Chinese (Taiwan): the decompiler writes a LANGUAGE line where the language changes.
        self.assertEqual(re.findall(r"^LANGUAGE (\d+), (\d+)", rc[:rc.index("129 MENU")], re.M)[-1], ("4", "1"))
        items = re.findall(r'MENUITEM (?:L?"([^"]*)", (\d+)(, CHECKED)?|SEPARATOR)', menu)
        expected = [("網路ATM功能區", 32782), ("自然人憑證功能區", 32780), ("查詢電子錢包餘額", 32781), None,
                    ("Vyx自動連線精靈(開/關)", 32772), None, ("Quenby產品註冊", 32779), ("客戶服務", 32775),
                    ("購買Quenby讀卡機", 32773), None, ("如何使用Vyx", 32786), ("版本", 57664), None, ("結束", 57665)]
        self.assertEqual(len(items), 14)
        for (caption, number, checked), want in zip(items, expected):
            if want is None:
                self.assertEqual(number, "")
                continue
            self.assertEqual((caption, int(number)), (wide(want[0]), want[1]))
            self.assertEqual(bool(checked), want[1] == 32772)

    def test_the_dialog_templates_are_laid_out_as_designed(self):
        rc = resources("Krev.exe")
        about = rc[rc.index("102 DIALOGEX"):]
        about = about[:about.index("\nEND")]
        self.assertIn("102 DIALOGEX 0, 0, 195, 121\nSTYLE 0x80c00040\nEXSTYLE 0x40000\nCAPTION \"About Vyx\"", about)
        self.assertIn('FONT 10, "Arial"', about)
        self.assertIn('LTEXT " Version: 3.2.000.1 / Oct.23.2007", 1003, 25, 75, 125, 8, 0x50020000, 0x20', about)
        self.assertIn('CONTROL L"%s", 1000, "BUTTON", 0x5001000b, 155, 80, 35, 20, 0x200' % wide("確定"), about)
        self.assertIn('CONTROL " www.quenby.example", 1007, "BUTTON", 0x5001810b, 0, 105, 195, 15', about)
        self.assertIn('CONTROL 135, 1001, "STATIC", 0x5000000e, 0, 0, 194, 70', about)
        self.assertIn('CONTROL 133, 1002, "STATIC", 0x5000000e, 5, 80, 18, 19', about)
        reader = rc[rc.index("136 DIALOGEX"):]
        reader = reader[:reader.index("\nEND")]
        self.assertIn('136 DIALOGEX 0, 0, 220, 50\nSTYLE 0x80c000c0\nCAPTION "Vyx - Select Reader"', reader)
        self.assertIn('FONT 12, L"%s"' % wide("新細明體"), reader)
        self.assertIn('DEFPUSHBUTTON L"%s", 1, 165, 30, 50, 15, 0x50010001' % wide("確定"), reader)
        self.assertIn('PUSHBUTTON "Cancel", 2, 10, 30, 50, 15, 0x40010000', reader)
        self.assertIn("COMBOBOX 1008, 5, 30, 156, 101, 0x50210003", reader)
        text = "請先將讀卡機插入USB埠，再下拉選單設置您當前使用的讀卡機\n更換不同讀卡機時，請記得重新設置！"
        self.assertIn('CTEXT L"%s", -1, 5, 5, 210, 20, 0x50020001' % wide(text).replace("\\x000a", "\\n"), reader)


if __name__ == "__main__":
    unittest.main()
