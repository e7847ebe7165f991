"""The shipped i686 programs as built: subsystem, imports, exports and resources, read back with
the MinGW tools (objdump, and windres decompiling the resources)."""
import glob
import os
import re
import subprocess
import tempfile
import unittest

import wine_env

DIST32 = os.path.join(wine_env.ROOT, "dist", "win32")
SYSTEM_DLLS = {"KERNEL32.dll", "msvcrt.dll", "USER32.dll", "SHELL32.dll", "GDI32.dll", "ADVAPI32.dll", "WININET.DLL",
               "ole32.dll", "WinSCard.dll", "COMCTL32.DLL", "SHLWAPI.dll"}
# Windows takes these from its system folder whatever lies beside a program (its known DLLs, and
# on XP msvcrt.dll as theirs): what Windows Installer runs from its temporary files imports no other.
KNOWN_DLLS = {"KERNEL32.dll", "msvcrt.dll", "USER32.dll", "SHELL32.dll", "GDI32.dll", "ADVAPI32.dll", "ole32.dll"}
INSTALLER_HELPERS = ("CloseKREV.exe", "SetupKREV.exe")
DESCRIPTIONS = {"Krev.exe": "Vyx 讀卡機監控程式", "Farrow.exe": "Vyx 網頁開啟程式", "PortalLaunch.exe": "Vyx 入口網站開啟程式",
                "Runlatch.exe": "Vyx 光碟自動執行程式", "Pellit.dll": "Vyx 版本檢查程式", "Go.dll": "Vyx 客戶服務郵件程式",
                "CloseKREV.exe": "Vyx 程式結束工具", "SetupKREV.exe": "Vyx 安裝輔助程式", "SC.dll": "Vyx 讀卡機函式庫",
                "autorun.exe": "Vyx 光碟安裝程式"}
SUPPORTED_OS = ("e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a")
PROGRAMS = ("Krev.exe", "Farrow.exe", "PortalLaunch.exe", "Runlatch.exe", "Pellit.dll", "Go.dll", "CloseKREV.exe",
            "SetupKREV.exe", "autorun.exe")
PACKAGED = ("Krev.exe", "Farrow.exe", "PortalLaunch.exe", "SC.dll", "Pellit.dll", "Go.dll", "CloseKREV.exe",
            "SetupKREV.exe")


def package_tables(package):
    """The package's tables as msiinfo exports them: {table: [row fields]}."""
    tables = {}
    for table in ("Component", "File", "Property", "Directory", "Registry", "CustomAction", "InstallExecuteSequence",
                  "LaunchCondition", "MsiFileHash", "MsiLockPermissionsEx", "CreateFolder"):
        exported = subprocess.run(["msiinfo", "export", package, table], capture_output=True, check=True,
                                  env=dict(os.environ, WINDOWS_LANGUAGE="zh_TW")).stdout.decode("utf-8")
        tables[table] = [line.split("\t") for line in exported.split("\r\n")[3:] if line]
    return tables


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
#include <shlwapi.h>
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
        for program in ("PortalLaunch.exe", "Runlatch.exe", "Farrow.exe", "autorun.exe"):
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

    def test_the_package_and_the_cd_carry_the_i686_programs(self):
        package = os.path.join(wine_env.ROOT, "dist", "KrevSetup.msi")
        summary = subprocess.run(["msiinfo", "suminfo", package], capture_output=True, text=True, check=True).stdout
        self.assertIn("Template: Intel;1028", summary)
        with tempfile.TemporaryDirectory() as unpacked:
            subprocess.run(["msiextract", "-C", unpacked, package], check=True, stdout=subprocess.DEVNULL)
            for name in PACKAGED:
                found = glob.glob(os.path.join(unpacked, "**", name), recursive=True)
                self.assertEqual(len(found), 1, name)
                with open(found[0], "rb") as packed, open(os.path.join(DIST32, name), "rb") as built:
                    self.assertEqual(packed.read(), built.read(), name)
        listing = subprocess.run(["xorriso", "-indev", os.path.join(wine_env.ROOT, "dist", "krev-cd.iso"), "-find", "/",
                                  "-type", "f"], capture_output=True, text=True, check=True).stdout
        self.assertEqual(sorted(line.strip("'") for line in listing.split()),
                         ["/KREV/DefaultCheck.htm", "/KrevSetup.msi", "/PortalLaunch.exe", "/Runlatch.exe",
                          "/autorun.exe", "/autorun.inf"])

    def test_sc_dll_exports_its_operations_undecorated_and_krev_binds_only_the_two_at_load(self):
        exports = re.findall(r"^\s*\[\s*\d+\] (\S+)$", objdump("SC.dll"), re.M)
        self.assertEqual(sorted(exports), ["SC_Close", "SC_GetReaderList", "SC_GetState"])
        # SC_Close is asked for by name: Krev still starts with a card library that lacks it.
        self.assertEqual(sorted(name for dll, name in imported_functions("Krev.exe") if dll == "SC.dll"),
                         ["SC_GetReaderList", "SC_GetState"])

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

    def test_the_packages_tables_keep_windows_installers_rules_from_version_to_version(self):
        earlier = package_tables(wine_env.PACKAGE)
        later = package_tables(wine_env.later_package())
        # A component per file and one per registry record, each with its key path, and the same
        # GUIDs in every version (the component rules), as make_msi.py's File versions say.
        self.assertEqual(sorted(row[0] for row in earlier["Component"]),
                         sorted(PACKAGED + ("DefaultCheck.htm", "ActiveSetup", "ProgramFolderRecord")))
        self.assertTrue(all(row[5] for row in earlier["Component"]), "a component without its key path")
        self.assertEqual({row[0]: row[1] for row in earlier["Component"]},
                         {row[0]: row[1] for row in later["Component"]})
        for tables, version in ((earlier, "3.2.0.1"), (later, wine_env.LATER_VERSION)):
            versions = {row[0]: (row[4], row[5]) for row in tables["File"]}
            self.assertEqual(versions.pop("DefaultCheck.htm"), ("", ""), "an unversioned file, compared by content")
            self.assertEqual(versions, {name: (version, "1028") for name in PACKAGED})
        properties = [dict((row[0], row[1]) for row in tables["Property"]) for tables in (earlier, later)]
        self.assertNotEqual(properties[0]["ProductCode"], properties[1]["ProductCode"])
        self.assertEqual(properties[0]["UpgradeCode"], properties[1]["UpgradeCode"])
        self.assertEqual([p["ProductVersion"] for p in properties], ["3.2.1", "3.2.256"])
        for name, value in (("ProductName", "Vyx"), ("Manufacturer", "Quenby"), ("ALLUSERS", "1"),
                            ("ProductLanguage", "1028")):
            self.assertEqual(properties[0][name], value)
        # Nothing outside the program folder, the Start menu's folder and the Startup folder, and
        # no registry key but Active Setup's and the package's own record.
        self.assertEqual(sorted(row[0] for row in earlier["Directory"]),
                         ["INSTALLDIR", "ProgramFilesFolder", "ProgramMenuFolder", "StartupFolder", "TARGETDIR",
                          "VyxMenu"])
        self.assertEqual(sorted({(row[1], row[2]) for row in earlier["Registry"]}),
                         [("2", "Software\\Microsoft\\Active Setup\\Installed Components\\Vyx"),
                          ("2", "Software\\Quenby\\Vyx")])
        # Only the versioned files' versions decide what is replaced: no hash for them.
        self.assertEqual([row[0] for row in earlier["MsiFileHash"]], ["DefaultCheck.htm"])
        # No property that a user may set for the elevated part of a run names a folder.
        self.assertEqual(properties[0]["SecureCustomProperties"].split(";"), ["EARLIERVYXFOUND", "LATERVYXFOUND"])
        # The program folder's rights are the package's: administrators and the system change it,
        # users read and run it, nothing is inherited; by SDDL, whatever Windows' language, in the
        # one table of the two that Windows Installer 5.0 takes (never both: error 1941).
        self.assertEqual(earlier["CreateFolder"], [["INSTALLDIR", "ProgramFolderRecord"]])
        self.assertEqual([row[1:4] for row in earlier["MsiLockPermissionsEx"]],
                         [["INSTALLDIR", "CreateFolder", "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"]])
        self.assertNotIn("LockPermissions", subprocess.run(["msiinfo", "tables", wine_env.PACKAGE], capture_output=True,
                                                           text=True, check=True).stdout.split())
        # Two custom actions run without impersonation, both from the Binary table: the closer,
        # carried out by InstallExecute before any file changes (also where an engine writes files
        # as it meets them, as Wine's does), and the earlier layouts' take-over, last. The earlier
        # version goes after the new files, in the install's transaction, and only at a first
        # install or an upgrade; the take-over neither at a repair.
        actions = {row[0]: (int(row[1]), row[2], row[3]) for row in earlier["CustomAction"]}
        system = sorted(name for name, (kind, _, _) in actions.items() if kind & 0x800)
        self.assertEqual(system, ["EarlierLayouts", "EndRunningKrev"])
        self.assertEqual(actions["EndRunningKrev"], (0x402 | 0x800, "CloseKREV", '/installed "[INSTALLDIR]."'))
        self.assertEqual(actions["EarlierLayouts"], (0x442 | 0x800, "SetupKREV",
                                                     '[EarlierLayoutCommand] "[INSTALLDIR]."'))
        order = {row[0]: int(row[2]) for row in earlier["InstallExecuteSequence"]}
        ordered = ["InstallInitialize", "EndRunningKrev", "InstallExecute", "RemoveFiles", "InstallFiles",
                   "InstallExecuteAgain", "RemoveExistingProducts", "EarlierLayouts", "InstallFinalize"]
        self.assertEqual(sorted(ordered, key=order.get), ordered)
        self.assertFalse([name for name, at in order.items() if order["EndRunningKrev"] < at < order["InstallExecute"]])
        conditions = {row[0]: row[1] for row in earlier["InstallExecuteSequence"]}
        self.assertEqual(conditions["RemoveExistingProducts"], "EARLIERVYXFOUND AND NOT Installed")
        self.assertEqual(conditions["TakeOverEarlierLayouts"], 'NOT Installed AND NOT (REMOVE="ALL")')
        # The programs of the custom actions are the built ones.
        for binary, program in (("CloseKREV", "CloseKREV.exe"), ("SetupKREV", "SetupKREV.exe")):
            stored = subprocess.run(["msiinfo", "extract", wine_env.PACKAGE, "Binary." + binary], capture_output=True,
                                    check=True).stdout
            with open(os.path.join(wine_env.DIST, program), "rb") as built:
                self.assertEqual(stored, built.read(), binary)
        # A later version installed refuses an earlier one, in Chinese; the other conditions stop
        # only a first install or an upgrade, never a repair or an uninstall.
        conditions = dict((row[0], row[1]) for row in earlier["LaunchCondition"])
        self.assertEqual(conditions.pop("NOT LATERVYXFOUND"), "這台電腦已經安裝了較新版本的 Vyx，不能再安裝較舊的版本。")
        self.assertEqual([condition for condition in conditions if not condition.startswith("Installed OR ")], [])

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
