"""The installer, the uninstaller and the product CD under Wine, into the run's prefix, in which
nothing is installed before: the shipped i686 installer and CD where the kernel runs 32-bit code,
otherwise the x86_64 build of the same NSIS script with the x86_64 programs."""
import glob
import os
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
SETUP = wine_env.SETUP
CD_IMAGE = wine_env.CD_IMAGE
UNINSTALL_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vyx"
INSTALLED = ["CloseKREV.exe", "DefaultCheck.htm", "Farrow.exe", "Go.dll", "Krev.exe", "Pellit.dll", "PortalLaunch.exe",
             "SC.dll", "Uninstall.exe"]
SCREENSHOTS = os.path.join(wine_env.ROOT, "build", "screenshots")


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = wine_env.machine()
        cls.drive_c = os.path.join(cls.wine.env["WINEPREFIX"], "drive_c")
        cls.krev_folder = os.path.join(cls.drive_c, "KREV")

    def setUp(self):
        self.assertFalse(os.path.exists(self.krev_folder), "something is installed already")
        self.folder = self.wine.run_folder(self.id().split(".")[-1], programs=(), default_check=False)
        write_card_script(self.folder, ["empty Quenby USB Reader"])
        self.log = Recording(os.path.join(self.folder, "record.log"))

    def tearDown(self):
        for pid in self.krev_pids():
            os.kill(pid, 9)
        shutil.rmtree(self.krev_folder, ignore_errors=True)
        for link in self.shortcuts():
            os.remove(link)
        self.wine_command("reg", "delete", UNINSTALL_KEY, "/f")

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

    def shortcuts(self):
        menu = glob.glob(os.path.join(self.drive_c, "users", "*", "AppData", "Roaming", "Microsoft", "Windows",
                                      "Start Menu", "Programs"))
        return [path for root in menu for path in glob.glob(os.path.join(root, "**", "*.lnk"), recursive=True)
                if "Vyx" in path]

    def start_menu(self):
        return glob.glob(os.path.join(self.drive_c, "users", "*", "AppData", "Roaming", "Microsoft", "Windows",
                                      "Start Menu", "Programs"))[0]

    def install(self):
        code, _ = self.wine_command(SETUP, "/S")
        self.assertEqual(code, 0)

    def krev_windows(self):
        return int(self.wine.probe("count", "About Vyx"))

    def test_install_start_reinstall_over_a_running_krev_and_uninstall(self):
        # A silent install: the files, the shortcuts, the entry in "Programs and Features".
        self.install()
        self.assertEqual(sorted(os.listdir(self.krev_folder)), INSTALLED)
        menu = self.start_menu()
        expected = {os.path.join("Startup", "Vyx.lnk"): "Krev.exe", os.path.join("Vyx", "Vyx.lnk"): "Krev.exe",
                    os.path.join("Vyx", "Vyx 入口網站.lnk"): "PortalLaunch.exe",
                    os.path.join("Vyx", "移除 Vyx.lnk"): "Uninstall.exe"}
        found = {os.path.relpath(path, menu).lower(): path for path in self.shortcuts()}
        self.assertEqual(sorted(found), sorted(link.lower() for link in expected))
        for link, program in expected.items():
            read = shell_link.read(found[link.lower()])
            self.assertEqual(read["target"].lower(), ("C:\\KREV\\" + program).lower(), link)
            self.assertEqual(read["working_dir"].lower(), "c:\\krev", link)
        _, entry = self.wine_command("reg", "query", UNINSTALL_KEY)
        for value in ("DisplayName    REG_SZ    Vyx", "DisplayVersion    REG_SZ    3.2.0.1",
                      "Publisher    REG_SZ    Quenby", 'UninstallString    REG_SZ    "C:\\KREV\\Uninstall.exe"'):
            self.assertIn(value, entry)
        self.assertTrue(wait_until(lambda: self.krev_windows() == 1), "the installer starts Krev at its end")

        # Krev started by its Startup shortcut runs in C:\KREV: a card opens the portal page and
        # C:\KREV\Reader.ini gets the registration flag. (The scriptable card library stands in.)
        self.wine.probe("send", "About Vyx", WM_COMMAND, ID_EXIT, 0)
        self.assertTrue(wait_until(lambda: not self.krev_pids()))
        shutil.copy(os.path.join(wine_env.HELPERS, "scripted", "SC.dll"), self.krev_folder)
        self.wine_command("start", "/unix", found[os.path.join("startup", "vyx.lnk")])
        self.assertTrue(wait_until(lambda: self.krev_pids() and self.krev_windows() == 1))
        self.assertEqual(os.readlink("/proc/%d/cwd" % self.krev_pids()[0]), self.krev_folder)
        time.sleep(1.0)
        write_card_script(self.folder, ["present Quenby USB Reader"])
        browser = lambda: [e["command"].split(b'" ', 1)[1].decode("cp950") for e in self.log.entries()
                           if e["program"].lower().endswith("browser.exe")]
        self.assertTrue(wait_until(browser))
        self.assertEqual(browser()[0], PORTAL)
        settings = os.path.join(self.krev_folder, "Reader.ini")
        self.assertTrue(wait_until(lambda: os.path.exists(settings)))
        with open(settings, "rb") as ini:
            self.assertEqual(ini.read(), b"[Register]\r\nCheck=OK\r\n")

        # Installing again over the running Krev: it is ended, its files replaced, one Krev runs.
        self.install()
        self.assertTrue(wait_until(lambda: self.krev_windows() == 1 and len(self.krev_pids()) == 1))
        time.sleep(2.0)
        self.assertEqual((self.krev_windows(), len(self.krev_pids())), (1, 1))
        with open(settings, "rb") as ini:
            self.assertEqual(ini.read(), b"[Register]\r\nCheck=OK\r\n", "Reader.ini was not kept")

        # A silent uninstall ends Krev and leaves nothing of ours.
        code, _ = self.wine_command(os.path.join(self.krev_folder, "Uninstall.exe"), "/S")
        self.assertEqual(code, 0)
        # The uninstaller goes on from a copy of itself after the command has returned.
        self.assertTrue(wait_until(lambda: not os.path.exists(self.krev_folder), timeout=60), "C:\\KREV is left")
        self.assertEqual(self.shortcuts(), [])
        self.assertFalse(os.path.exists(os.path.join(menu, "Vyx")))
        code, _ = self.wine_command("reg", "query", UNINSTALL_KEY)
        self.assertNotEqual(code, 0, "the uninstall entry is left")
        self.assertTrue(wait_until(lambda: not self.krev_pids()))
        self.assertEqual(self.krev_windows(), 0)

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
