"""The installer, the uninstaller and the product CD under Wine, into the run's prefix, in which
nothing is installed before: the shipped i686 installer and CD where the kernel runs 32-bit code,
otherwise the x86_64 build of the same NSIS script with the x86_64 programs."""
import getpass
import glob
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import shell_link
import wine_env
from wine_env import PORTAL, Recording, wait_until, windows_path, write_card_script

WM_COMMAND = 0x111
ID_EXIT = 57665
ID_SELECT_READER = 32783
CB_SETCURSEL = 0x14E
SETUP = wine_env.SETUP
CD_IMAGE = wine_env.CD_IMAGE
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vyx"
# The 32-bit installer writes the 32-bit view of the registry, as on 64-bit Windows.
REGISTRY_VIEW = ["/reg:32"] if wine_env.SHIPPED else ["/reg:64"]
VERSION_BOX = "Krev"  # the version check's message box, captioned with the program's name
HELD_MESSAGE = "Krev is held by its version message box"
INSTALLED = ["CloseKREV.exe", "DefaultCheck.htm", "Farrow.exe", "Go.dll", "Krev.exe", "Pellit.dll", "PortalLaunch.exe",
             "SC.dll", "SetupKREV.exe", "Uninstall.exe"]
ACTIVE_SETUP_KEY = "HKLM\\Software\\Microsoft\\Active Setup\\Installed Components\\Vyx"
ADMINISTRATORS, SYSTEM, USERS = "S-1-5-32-544", "S-1-5-18", "S-1-5-32-545"
SHARED_SETTINGS = b"[Reader]\r\nSelect=Quenby USB Reader\r\n[Register]\r\nCheck=OK\r\n"
SCREENSHOTS = os.path.join(wine_env.ROOT, "build", "screenshots")


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = wine_env.machine()
        cls.drive_c = os.path.join(cls.wine.env["WINEPREFIX"], "drive_c")
        cls.krev_folder = os.path.join(cls.drive_c, "KREV")
        cls.user_folder = cls.user_folder_of(cls.wine)

    @staticmethod
    def user_folder_of(machine):
        """%APPDATA%\\Vyx of the prefix's user (Wine names the user as the Unix one)."""
        return os.path.join(machine.env["WINEPREFIX"], "drive_c", "users", getpass.getuser(), "AppData", "Roaming",
                            "Vyx")

    def setUp(self):
        self.assertFalse(os.path.exists(self.krev_folder), "something is installed already")
        self.folder = self.wine.run_folder(self.id().split(".")[-1], programs=(), default_check=False)
        write_card_script(self.folder, ["empty Quenby USB Reader"])
        self.log = Recording(os.path.join(self.folder, "record.log"))

    def tearDown(self):
        for pid in self.krev_pids():
            os.kill(pid, 9)
        shutil.rmtree(self.krev_folder, ignore_errors=True)
        shutil.rmtree(self.user_folder, ignore_errors=True)
        for link in self.shortcuts():
            os.remove(link)
        for key in (UNINSTALL_KEY, ACTIVE_SETUP_KEY):
            self.wine_command("reg", "delete", key, "/f", *REGISTRY_VIEW)

    def wine_command(self, *args, timeout=120):
        """Runs a Wine command to its end; returns its exit code and what it printed. The output goes
        through a file: a program it starts (Krev) would hold a pipe open."""
        with tempfile.TemporaryFile() as out:
            code = subprocess.run([wine_env.WINE] + list(args), cwd=self.folder, env=self.wine.program_env(self.folder),
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                                  timeout=timeout).returncode
            out.seek(0)
            return code, out.read().decode("utf-8", "replace")

    def krev_pids(self):
        return wine_env.prefix_pids(self.wine.env["WINEPREFIX"], "Krev.exe")

    def shortcuts(self, all_users=True):
        """Our shortcuts in the all-users Start menu, or in the users' own ones."""
        pattern = ("ProgramData",) if all_users else ("users", "*", "AppData", "Roaming")
        menu = glob.glob(os.path.join(self.drive_c, *pattern, "Microsoft", "Windows", "Start Menu", "Programs"))
        return [path for root in menu for path in glob.glob(os.path.join(root, "**", "*.lnk"), recursive=True)
                if "Vyx" in path]

    def start_menu(self):
        return os.path.join(self.drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs")

    def uninstall_entry(self):
        code, entry = self.wine_command("reg", "query", UNINSTALL_KEY, *REGISTRY_VIEW)
        return entry if code == 0 else None

    def hold_krev_in_its_version_message_box(self):
        """Krev from C:\\KREV with a card in and no Pellit.dll: its version check waits for
        Ver.chk in vain and shows its message box, during which it defers Exit."""
        shutil.copy(os.path.join(wine_env.HELPERS, "scripted", "SC.dll"), self.krev_folder)
        os.remove(os.path.join(self.krev_folder, "Pellit.dll"))
        write_card_script(self.folder, ["empty Quenby USB Reader"])
        reports = os.path.join(self.folder, "sc.log")
        # As installed: CloseKREV knows it by its path.
        self.wine.start("C:\\KREV\\Krev.exe", self.folder, SC_LOG=windows_path(reports))
        self.assertTrue(wait_until(lambda: self.krev_windows() == 1))
        # The card goes in only once the poller has seen the reader empty.
        self.assertTrue(wait_until(lambda: os.path.exists(reports) and " 12" in open(reports).read()))
        write_card_script(self.folder, ["present Quenby USB Reader"])
        shown = wait_until(lambda: (self.wine.find_window(VERSION_BOX) or (0, 0, False))[2], timeout=40)
        self.assertTrue(shown, "the version check's message box never appeared")

    def install(self):
        code, _ = self.wine_command(SETUP, "/S")
        self.assertEqual(code, 0)

    def traced_install(self):
        """A silent install with Wine's traces of the security and file calls: Wine keeps no rights
        of files (it reads back the same made-up ones whatever was set), so what the installer set
        is read from the calls it made. Returns, in order, ("owner" or "rights", path, SDDL) for
        each descriptor applied and ("write", path, None) for each file written into C:\\KREV."""
        with tempfile.TemporaryFile() as trace:
            code = subprocess.run([wine_env.WINE, SETUP, "/S"], cwd=self.folder, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=trace, timeout=120,
                                  env=self.wine.program_env(self.folder,
                                                            WINEDEBUG="-all,trace+advapi,trace+security,trace+file")
                                  ).returncode
            trace.seek(0)
            lines = trace.read().decode("utf-8", "replace")
        self.assertEqual(code, 0)
        events, sddl = [], None
        for line in lines.splitlines():
            made = re.search(r'ConvertStringSecurityDescriptorToSecurityDescriptorW L"([^"]*)"', line)
            if made:
                sddl = made.group(1)
            # 1: the owner; 0x80000004: the rights, protected from what the parent would pass on.
            applied = re.search(r'SetNamedSecurityInfoW L"([^"]*)" 1 (1|-2147483644) ', line)
            if applied:
                events.append(("owner" if applied.group(2) == "1" else "rights", applied.group(1).replace("\\\\", "\\"),
                               sddl))
            written = re.search(r'NtCreateFile .*name=L"\\\\\?\?\\\\(C:\\\\KREV\\\\[^"]+)".* disp=5 ', line)
            if written:
                events.append(("write", written.group(1).replace("\\\\", "\\"), None))
        return events

    def assert_program_folder_secured(self, events, earlier=()):
        """Owner, then rights, on the folder, then on each file that was in it, all before the first
        file is written into it; after the last, on each installed file. Every descriptor: owned
        by Administrators, SYSTEM and Administrators in full, users read and run, nothing else,
        SIDs by number (XP lacks some aliases)."""
        writes = [at for at, event in enumerate(events) if event[0] == "write"]
        self.assertTrue(writes, "nothing was written into C:\\KREV")
        before = [event[:2] for event in events[:writes[0]]]
        after = [event[:2] for event in events[writes[-1] + 1:]]
        self.assertEqual(before[:2], [("owner", "C:\\KREV"), ("rights", "C:\\KREV")])
        for names, applied in ((earlier, before), (INSTALLED, after)):
            for name in names:
                path = "C:\\KREV\\" + name
                self.assertIn(("owner", path), applied)
                self.assertLess(applied.index(("owner", path)), applied.index(("rights", path)))
        for kind, path, sddl in events:
            if kind == "write":
                continue
            self.assertTrue(sddl.startswith("O:%sD:P(" % ADMINISTRATORS), (path, sddl))
            aces = [ace.split(";") for ace in re.findall(r"\(([^)]*)\)", sddl)]
            self.assertEqual({ace[5]: (ace[0], ace[2]) for ace in aces},
                             {SYSTEM: ("A", "FA"), ADMINISTRATORS: ("A", "FA"), USERS: ("A", "0x1200a9")}, path)

    def settings_of(self, folder):
        with open(os.path.join(folder, "Reader.ini"), "rb") as settings:
            return settings.read()

    def krev_windows(self):
        return int(self.wine.probe("count", "About Vyx"))

    def test_install_start_reinstall_over_a_running_krev_and_uninstall(self):
        # A silent install: the files, their rights, the shortcuts for all users, the entry in
        # "Programs and Features" for the machine; an earlier per-user install's entry and
        # shortcut of this user are gone.
        self.wine_command("reg", "add", UNINSTALL_KEY.replace("HKLM", "HKCU"), "/v", "DisplayName", "/d", "Vyx", "/f")
        own_startup = [path for path in glob.glob(os.path.join(self.drive_c, "users", "*", "AppData", "Roaming",
                                                               "Microsoft", "Windows", "Start Menu", "Programs", "*"))
                       if os.path.basename(path).lower() == "startup"][0]
        with open(os.path.join(own_startup, "Vyx.lnk"), "wb") as earlier:
            earlier.write(b"an earlier per-user install's shortcut")
        self.assert_program_folder_secured(self.traced_install())
        code, _ = self.wine_command("reg", "query", UNINSTALL_KEY.replace("HKLM", "HKCU"))
        self.assertNotEqual(code, 0, "the earlier per-user entry is left")
        self.assertEqual(sorted(os.listdir(self.krev_folder)), INSTALLED)
        menu = self.start_menu()
        # Krev is started through SetupKREV.exe, which prepares the user's own folder first.
        expected = {os.path.join("Startup", "Vyx.lnk"): "SetupKREV.exe /start",
                    os.path.join("Vyx", "Vyx.lnk"): "SetupKREV.exe /start",
                    os.path.join("Vyx", "Vyx 入口網站.lnk"): "PortalLaunch.exe ",
                    os.path.join("Vyx", "移除 Vyx.lnk"): "Uninstall.exe "}
        found = {os.path.relpath(path, menu).lower(): path for path in self.shortcuts()}
        self.assertEqual(sorted(found), sorted(link.lower() for link in expected))
        for link, command in expected.items():
            read = shell_link.read(found[link.lower()])
            self.assertEqual((read["target"] + " " + read["arguments"]).lower(), ("C:\\KREV\\" + command).lower(), link)
            self.assertEqual(read["working_dir"].lower(), "c:\\krev", link)
        code, stub = self.wine_command("reg", "query", ACTIVE_SETUP_KEY, *REGISTRY_VIEW)
        self.assertIn('StubPath    REG_SZ    "C:\\KREV\\SetupKREV.exe" /user', stub)
        self.assertIn("Version    REG_SZ    3,2,0,1", stub)
        self.assertEqual(self.shortcuts(all_users=False), [], "shortcuts went to the user's own Start menu")
        entry = self.uninstall_entry()
        self.assertIsNotNone(entry, "no uninstall entry under HKLM")
        for value in ("DisplayName    REG_SZ    Vyx", "DisplayVersion    REG_SZ    3.2.0.1",
                      "Publisher    REG_SZ    Quenby", 'UninstallString    REG_SZ    "C:\\KREV\\Uninstall.exe"',
                      "DisplayIcon    REG_SZ    C:\\KREV\\Krev.exe,0", "InstallLocation    REG_SZ    C:\\KREV",
                      "URLInfoAbout    REG_SZ    http://www.quenby.example/", "NoModify    REG_DWORD    0x1",
                      "NoRepair    REG_DWORD    0x1"):
            self.assertIn(value, entry)
        size = int(re.search(r"EstimatedSize    REG_DWORD    (0x[0-9a-f]+)", entry).group(1), 16)
        on_disk = sum(os.path.getsize(os.path.join(self.krev_folder, name)) for name in INSTALLED) // 1024
        self.assertLess(abs(size - on_disk), 16, "EstimatedSize is the installed size in KiB")

        time.sleep(2.0)
        self.assertEqual(self.krev_pids(), [], "a silent install started Krev (it starts at the next logon)")

        # Krev started by its Startup shortcut runs in the user's own folder: a card opens the
        # portal page and the user's Reader.ini gets the registration flag. (The scriptable card
        # library stands in.)
        shutil.copy(os.path.join(wine_env.HELPERS, "scripted", "SC.dll"), self.krev_folder)
        self.wine_command("start", "/unix", found[os.path.join("startup", "vyx.lnk")])
        self.assertTrue(wait_until(lambda: self.krev_pids() and self.krev_windows() == 1))
        self.assertEqual(os.readlink("/proc/%d/cwd" % self.krev_pids()[0]), self.user_folder)
        time.sleep(1.0)
        write_card_script(self.folder, ["present Quenby USB Reader"])
        browser = lambda: [e["command"].split(b'" ', 1)[1].decode("cp950") for e in self.log.entries()
                           if e["program"].lower().endswith("browser.exe")]
        self.assertTrue(wait_until(browser))
        self.assertEqual(browser()[0], PORTAL)
        settings = os.path.join(self.user_folder, "Reader.ini")
        self.assertTrue(wait_until(lambda: os.path.exists(settings)))
        with open(settings, "rb") as ini:
            self.assertEqual(ini.read(), b"[Register]\r\nCheck=OK\r\n")

        # Installing again over the running Krev and a Pellit.dll still fetching from C:\\KREV (a
        # stand-in that holds a window): both are ended, every file is replaced, none is started.
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(self.user_folder, "Ver.chk"))),
                        "Krev's version check did not end")
        shutil.copy(os.path.join(self.wine.helpers, "winprobe.exe"), os.path.join(self.krev_folder, "Pellit.dll"))
        fetching = self.wine.start("C:\\KREV\\Pellit.dll", self.folder,
                                   args=["hold", wine_env.hex_of("fetching"), windows_path(self.folder + "/stop")])
        self.assertTrue(wait_until(lambda: self.wine.find_window("fetching")))
        self.install()
        self.assertIsNotNone(fetching.poll(), "Pellit.dll still runs")
        with open(os.path.join(self.krev_folder, "Pellit.dll"), "rb") as installed, \
                open(os.path.join(wine_env.DIST, "Pellit.dll"), "rb") as shipped:
            self.assertEqual(installed.read(), shipped.read(), "Pellit.dll was not replaced")
        self.assertTrue(wait_until(lambda: not self.krev_pids()))
        with open(settings, "rb") as ini:
            self.assertEqual(ini.read(), b"[Register]\r\nCheck=OK\r\n", "Reader.ini was not kept")

        # Krev held by its version message box defers Exit: a silent upgrade and a silent
        # uninstall stop with a non-zero code and change nothing (Pellit.dll stays missing, the
        # entry and the shortcuts stay); once the box is closed, Krev ends and the upgrade runs.
        self.hold_krev_in_its_version_message_box()
        files = sorted(os.listdir(self.krev_folder))
        code, _ = self.wine_command(SETUP, "/S")
        self.assertEqual(code, 2, HELD_MESSAGE)
        self.assertFalse(os.path.exists(os.path.join(self.krev_folder, "Pellit.dll")), "the upgrade replaced files")
        code, _ = self.wine_command(os.path.join(self.krev_folder, "Uninstall.exe"), "/S", "_?=C:\\KREV")
        self.assertEqual(code, 2, HELD_MESSAGE)
        self.assertEqual(sorted(os.listdir(self.krev_folder)), files, "the uninstaller removed files")
        self.assertIsNotNone(self.uninstall_entry(), "the uninstaller removed the entry")
        self.assertEqual(len(self.shortcuts()), 4, "the uninstaller removed shortcuts")
        self.assertEqual(len(self.krev_pids()), 1)
        self.wine.probe("post", VERSION_BOX, WM_COMMAND, 1, 0)  # the user presses OK
        self.assertTrue(wait_until(lambda: not self.krev_pids()), "Krev did not end after its box")
        self.install()
        self.assertTrue(os.path.exists(os.path.join(self.krev_folder, "Pellit.dll")))

        # A silent uninstall ends Krev and leaves nothing of ours.
        code, _ = self.wine_command(os.path.join(self.krev_folder, "Uninstall.exe"), "/S")
        self.assertEqual(code, 0)
        # The uninstaller goes on from a copy of itself after the command has returned.
        self.assertTrue(wait_until(lambda: not os.path.exists(self.krev_folder), timeout=60), "C:\\KREV is left")
        self.assertEqual(self.shortcuts(), [])
        self.assertFalse(os.path.exists(os.path.join(menu, "Vyx")))
        self.assertIsNone(self.uninstall_entry(), "the uninstall entry is left")
        self.assertFalse(os.path.exists(self.user_folder), "the user's own folder is left")
        self.assertNotEqual(self.wine_command("reg", "query", ACTIVE_SETUP_KEY, *REGISTRY_VIEW)[0], 0)
        self.assertTrue(wait_until(lambda: not self.krev_pids()))
        self.assertEqual(self.krev_windows(), 0)

    def test_an_upgrade_keeps_the_shared_settings_for_every_user_and_then_each_user_keeps_their_own(self):
        # The earlier layout: the programs and one Reader.ini for everybody in C:\\KREV.
        earlier = ["CloseKREV.exe", "Farrow.exe", "Go.dll", "Krev.exe", "Pellit.dll", "PortalLaunch.exe", "SC.dll"]
        os.makedirs(self.krev_folder)
        for name in earlier:
            shutil.copy(os.path.join(wine_env.DIST, name), self.krev_folder)
        for name, content in (("Reader.ini", SHARED_SETTINGS), ("Ver.chk", b"VersionCheck000=003.002.000.001\n")):
            with open(os.path.join(self.krev_folder, name), "wb") as left:
                left.write(content)
        self.assert_program_folder_secured(self.traced_install(), earlier=earlier + ["Reader.ini", "Ver.chk"])
        self.assertEqual(sorted(os.listdir(self.krev_folder)), sorted(INSTALLED + ["StartingReader.ini"]))
        self.assertEqual(self.settings_of(self.user_folder), SHARED_SETTINGS, "the installing user's settings")

        # A second user of the machine: a prefix of their own, whose C:\\KREV is this one's. Their
        # logon runs the per-user set-up as Windows would, before the Startup items.
        other = wine_env.WineMachine(display_of=self.wine)
        self.addCleanup(other.close)
        os.symlink(self.krev_folder, os.path.join(other.env["WINEPREFIX"], "drive_c", "KREV"))
        stub = re.search(r"StubPath    REG_SZ    (.*)", self.wine_command("reg", "query", ACTIVE_SETUP_KEY,
                                                                             *REGISTRY_VIEW)[1]).group(1).strip()
        self.assertEqual(other.probe("run", stub), "exit 0")
        other_folder = self.user_folder_of(other)
        self.assertEqual(self.settings_of(other_folder), SHARED_SETTINGS, "the other user's starting settings")
        self.assertTrue(os.path.exists(os.path.join(other_folder, "DefaultCheck.htm")))

        # Each user's Krev from the all-users Startup shortcut, in their own folder; the other
        # user chooses another reader; a card opens the portal page for each.
        shutil.copy(os.path.join(wine_env.HELPERS, "scripted", "SC.dll"), self.krev_folder)
        programs = sorted(os.listdir(self.krev_folder))
        startup = [path for path in self.shortcuts() if os.path.basename(os.path.dirname(path)).lower() == "startup"]
        users = [(self.wine, self.folder, self.user_folder), (other, other.run_folder("user", programs=()), other_folder)]
        for machine, run, _ in users:
            write_card_script(run, ["empty Quenby USB Reader", "empty 晶片讀卡機 02"])
            subprocess.run([wine_env.WINE, "start", "/unix", startup[0]], env=machine.program_env(run),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        for machine, _, folder in users:
            pids = lambda: wine_env.prefix_pids(machine.env["WINEPREFIX"], "Krev.exe")
            self.assertTrue(wait_until(lambda: pids() and machine.find_window("About Vyx")))
            self.assertEqual(os.readlink("/proc/%d/cwd" % pids()[0]), folder)
        time.sleep(1.0)
        dialog = "Vyx - Select Reader"
        other.probe("post", "About Vyx", WM_COMMAND, ID_SELECT_READER, 0)
        self.assertTrue(wait_until(lambda: (other.find_window(dialog) or (0, 0, False))[2]))
        other.probe("item", dialog, 1008, CB_SETCURSEL, 1, 0)
        other.probe("post", dialog, WM_COMMAND, 1, 0)
        for machine, run, _ in users:
            write_card_script(run, ["present Quenby USB Reader", "empty 晶片讀卡機 02"])
        for machine, run, _ in users:
            log = Recording(os.path.join(run, "record.log"))
            self.assertTrue(wait_until(lambda: any(e["command"].endswith(PORTAL.encode()) for e in log.entries())))
        self.assertEqual(self.settings_of(self.user_folder), SHARED_SETTINGS)
        self.assertEqual(self.settings_of(other_folder), "[Reader]\r\nSelect=晶片讀卡機 02\r\n[Register]\r\nCheck=OK\r\n"
                         .encode("cp950"))
        self.assertEqual(sorted(os.listdir(self.krev_folder)), programs, "a user's Krev wrote into C:\\KREV")
        for machine, _, _ in users:
            machine.probe("send", "About Vyx", WM_COMMAND, ID_EXIT, 0)

    def test_the_finish_page_starts_krev_as_the_logged_on_user_in_their_own_folder(self):
        """Wine has no elevation: what it shows is that the start goes through the token of the
        shell's process, with that user's environment, and that Krev runs in the user's folder."""
        self.wine.desktop = "shell"
        try:
            self.wine.start_in_desktop(SETUP, self.folder, WINEDEBUG="-all,fixme+advapi")
            page = lambda: (self.wine.find_window("Vyx 安裝") or (0, 0, False))[2]
            self.assertTrue(wait_until(page, timeout=60), "the installer's first page did not show")
            # The keyboard, as a user would: NSIS acts on its buttons, not on commands sent to it.
            self.wine.key("Return")  # Next: the files are installed
            self.assertTrue(wait_until(lambda: self.uninstall_entry() is not None, timeout=60))
            time.sleep(2.0)
            self.wine.key("Return")  # Next: the finish page, "啟動 Vyx" ticked
            time.sleep(2.0)
            self.assertEqual(self.krev_pids(), [], "Krev started before the finish page's choice")
            self.wine.key("Return")  # Finish
            self.assertTrue(wait_until(self.krev_pids, timeout=30), "the finish page started no Krev")
            self.assertEqual(os.readlink("/proc/%d/cwd" % self.krev_pids()[0]), self.user_folder)
            with open(os.path.join(self.folder, os.path.basename(SETUP) + ".out"), "rb") as out:
                started = [line for line in out.read().decode("utf-8", "replace").splitlines()
                           if "CreateProcessWithTokenW" in line]
            self.assertEqual(len(started), 1, "not started with the shell user's token")
            self.assertIn('"C:\\\\KREV\\\\SetupKREV.exe\\" /start"', started[0])
        finally:
            self.wine.desktop = None  # Krev, the desktop's last program, is ended by tearDown

    def test_a_link_what_is_not_ours_or_a_failing_rights_call_at_c_krev_stops_the_install_unchanged(self):
        elsewhere = os.path.join(self.folder, "elsewhere")
        os.makedirs(elsewhere)
        os.symlink(elsewhere, self.krev_folder)
        try:
            self.assertEqual(self.wine_command(SETUP, "/S")[0], 4)
        finally:
            os.remove(self.krev_folder)
        self.assertEqual(os.listdir(elsewhere), [])
        os.makedirs(self.krev_folder)
        with open(os.path.join(self.krev_folder, "winscard.dll"), "wb") as planted:
            planted.write(b"a user's DLL")
        self.assertEqual(self.wine_command(SETUP, "/S")[0], 5)
        self.assertEqual(os.listdir(self.krev_folder), ["winscard.dll"])
        self.assertIsNone(self.uninstall_entry())
        # A hard link named as one of ours, to a file elsewhere: refused, and that file unchanged.
        os.remove(os.path.join(self.krev_folder, "winscard.dll"))
        with open(os.path.join(elsewhere, "hosts"), "wb") as system_file:
            system_file.write(b"a file of the system's")
        os.link(os.path.join(elsewhere, "hosts"), os.path.join(self.krev_folder, "Krev.exe"))
        self.assertEqual(self.wine_command(SETUP, "/S")[0], 5)
        os.remove(os.path.join(self.krev_folder, "Krev.exe"))
        with open(os.path.join(elsewhere, "hosts"), "rb") as linked:
            self.assertEqual(linked.read(), b"a file of the system's")

        # An earlier install whose Krev.exe cannot take its new rights (immutable here, so that
        # Wine's chmod fails as the call would on Windows): exit code 6, after the folder's own
        # rights and before any file is extracted; every earlier file keeps what it held.
        earlier = {name: b"the earlier " + name.encode() for name in ("Farrow.exe", "Krev.exe", "SC.dll")}
        for name, content in earlier.items():
            with open(os.path.join(self.krev_folder, name), "wb") as left:
                left.write(content)
        held = os.path.join(self.krev_folder, "Krev.exe")
        subprocess.run(["chattr", "+i", held], check=True)
        try:
            self.assertEqual(self.wine_command(SETUP, "/S")[0], 6)
        finally:
            subprocess.run(["chattr", "-i", held], check=True)
        found = {}
        for name in os.listdir(self.krev_folder):
            with open(os.path.join(self.krev_folder, name), "rb") as left:
                found[name] = left.read()
        self.assertEqual(found, earlier, "the install went on after a rights call failed")
        self.assertIsNone(self.uninstall_entry())
        self.assertEqual(self.shortcuts(), [])

    def test_the_cd_starts_the_installer_and_its_portal_launcher_finds_a_browser_before_any_install(self):
        cd = os.path.join(self.folder, "cd")
        subprocess.run(["xorriso", "-osirrox", "on", "-indev", CD_IMAGE, "-extract", "/", cd], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(sorted(os.listdir(cd)), ["KREV", "PortalLaunch.exe", "Runlatch.exe", "autorun.exe",
                                                  "autorun.inf"])
        with open(os.path.join(cd, "autorun.inf"), "rb") as autorun:
            self.assertIn(b"open=Runlatch.exe\r\n", autorun.read())
        drive = os.path.join(self.wine.env["WINEPREFIX"], "dosdevices", "d:")
        if os.path.lexists(drive):
            os.remove(drive)
        os.symlink(cd, drive)
        self.wine_command("reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", "d:", "/d", "cdrom", "/f")
        try:
            # PortalLaunch from the CD, with nothing installed, finds D:\KREV\DefaultCheck.htm.
            code, _ = self.wine_command(os.path.join(cd, "PortalLaunch.exe"))
            self.assertEqual(code, 0)
            self.assertTrue(wait_until(lambda: [e for e in self.log.entries() if e["program"].endswith("browser.exe")]))
            self.assertTrue(self.log.entries()[-1]["command"].endswith(PORTAL.encode()))

            # Runlatch in D:\ starts the installer, shown in a virtual desktop: its first page.
            self.wine.desktop = "shell"
            self.wine.start_in_desktop("Runlatch.exe", cd)
            self.assertTrue(wait_until(lambda: (self.wine.find_window("Vyx 安裝") or (0, 0, False))[2], timeout=60),
                            "the installer's first page did not show")
            time.sleep(1.0)
            left, top, right, bottom = map(int, self.wine.probe("rect", "Vyx 安裝").split())
            os.makedirs(SCREENSHOTS, exist_ok=True)
            shot = os.path.join(SCREENSHOTS, "installer.png")
            self.wine.screenshot(shot)
            subprocess.run(["convert", shot, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                            "+repage", shot], check=True)
            self.assertFalse(os.path.exists(self.krev_folder), "the installer only shows its first page")
        finally:
            for pid in [int(p) for p in filter(str.isdigit, os.listdir("/proc"))]:
                try:
                    with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
                        line = cmdline.read()
                    if b"autorun.exe" in line or b"Runlatch.exe" in line:
                        os.kill(pid, 9)
                except OSError:
                    pass
            self.wine.desktop = None
            os.remove(drive)
            self.wine_command("reg", "delete", "HKLM\\Software\\Wine\\Drives", "/v", "d:", "/f")


if __name__ == "__main__":
    unittest.main()
