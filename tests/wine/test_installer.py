"""The Windows Installer package and the product CD under Wine's msiexec, into the run's prefix, in
which nothing is installed before: the shipped i686 package where 32-bit code runs, otherwise
the x86_64 twin of the same source with the x86_64 programs. Exit codes are read through
CreateProcess (a Linux exit status keeps only the low byte: 3010 would read 194).

What Wine's msiexec does otherwise than Windows, and what these tests therefore leave to Windows
Installer's documented behaviour: it puts a per-machine package's shortcuts into the installing
user's Start menu (a FIXME of Wine's msi: ALLUSERS is not read there; Windows uses the all-users
one); a deferred custom action that fails ends the install with 1627 (Windows: 1603); and it
rolls nothing back: it runs the opposite actions, which remove the files that both versions
share, so after a failure only the exit code and the earlier version's entry are Wine's to show."""
import getpass
import glob
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

import shell_link
import wine_env
from wine_env import PORTAL, Recording, wait_until, windows_path, write_card_script

WM_COMMAND = 0x111
ID_EXIT = 57665
CB_SETCURSEL = 0x14E
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
# The 32-bit package writes the 32-bit view of the registry and puts the programs into the 32-bit
# program-files folder, as on 64-bit Windows.
REGISTRY_VIEW = ["/reg:32"] if wine_env.SHIPPED else ["/reg:64"]
PROGRAM_FILES = "Program Files (x86)" if wine_env.SHIPPED else "Program Files"
PROGRAM_FOLDER = "C:\\%s\\Vyx" % PROGRAM_FILES
VERSION_BOX = "Krev"  # the version check's message box, captioned with the program's name
PROGRAMS = ["CloseKREV.exe", "Farrow.exe", "Go.dll", "Krev.exe", "Pellit.dll", "PortalLaunch.exe", "SC.dll",
            "SetupKREV.exe"]
INSTALLED = sorted(PROGRAMS + ["DefaultCheck.htm"])
ACTIVE_SETUP_KEY = "HKLM\\Software\\Microsoft\\Active Setup\\Installed Components\\Vyx"
RECORD_KEY = "HKLM\\Software\\Quenby\\Vyx"
SESSION_MANAGER = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
EARLIER = wine_env.product_code("3.2.0.1")
LATER = wine_env.product_code(wine_env.LATER_VERSION)
# Windows Installer's exit codes: an install that failed (Wine: 1627 when a deferred custom action
# failed), one done that needs the restart.
FAILED = (1603, 1627)
REBOOT_REQUIRED = 3010


class Installer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = wine_env.machine()
        cls.later = wine_env.later_package()
        cls.drive_c = os.path.join(cls.wine.env["WINEPREFIX"], "drive_c")
        cls.krev_folder = os.path.join(cls.drive_c, "KREV")
        cls.program_folder = os.path.join(cls.drive_c, PROGRAM_FILES, "Vyx")
        cls.user_folder = cls.user_folder_of(cls.wine)

    @staticmethod
    def user_folder_of(machine):
        """%APPDATA%\\Vyx of the prefix's user (Wine names the user as the Unix one)."""
        return os.path.join(machine.env["WINEPREFIX"], "drive_c", "users", getpass.getuser(), "AppData", "Roaming",
                            "Vyx")

    def setUp(self):
        for folder in (self.krev_folder, self.program_folder):
            self.assertFalse(os.path.lexists(folder), "something is installed already")
        self.folder = self.wine.run_folder(self.id().split(".")[-1], programs=(), default_check=False)
        write_card_script(self.folder, ["empty Quenby USB Reader"])
        self.log = Recording(os.path.join(self.folder, "record.log"))
        self.stop_file = os.path.join(self.folder, "stop")

    def tearDown(self):
        open(self.stop_file, "w").close()
        for pid in self.krev_pids():
            os.kill(pid, 9)
        for product in (EARLIER, LATER):
            self.msiexec("/x %s" % product, "cleanup")
        for folder in (self.krev_folder, self.program_folder, self.user_folder):
            if os.path.islink(folder):
                os.remove(folder)
            shutil.rmtree(folder, ignore_errors=True)
        for link in self.shortcuts():
            os.remove(link)
        for key in (UNINSTALL_KEY + "\\Vyx", ACTIVE_SETUP_KEY, RECORD_KEY):
            self.wine_command("reg", "delete", key, "/f", *REGISTRY_VIEW)
        self.wine_command("reg", "delete", SESSION_MANAGER, "/v", "PendingFileRenameOperations", "/f")

    def wine_command(self, *args, timeout=120):
        """Runs a Wine command to its end; returns its exit code and what it printed. The output goes
        through a file: a program it starts (Krev) would hold a pipe open."""
        with tempfile.TemporaryFile() as out:
            code = subprocess.run([wine_env.WINE] + list(args), cwd=self.folder, env=self.wine.program_env(self.folder),
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                                  timeout=timeout).returncode
            out.seek(0)
            return code, out.read().decode("cp950", "replace")

    def exit_code(self, line, timeout=240):
        """A Windows program's whole exit code, started with exactly that command line."""
        return int(self.wine.probe("run", line, folder=self.folder, timeout=timeout).split()[-1])

    def msiexec(self, arguments, log_name, quiet=True):
        """msiexec with Windows Installer's own log; (exit code, the log's text)."""
        log = os.path.join(self.folder, log_name + ".log")
        code = self.exit_code('msiexec %s %s/l*v "%s"' % (arguments, "/qn " if quiet else "", windows_path(log)))
        with open(log, "rb") as text:
            return code, text.read().decode("cp950", "replace")

    def install(self, package=wine_env.PACKAGE, log_name="install", expected=0, arguments=""):
        code, log = self.msiexec('/i "%s" %s' % (windows_path(package), arguments), log_name)
        self.assertEqual(code, expected, log[-3000:])
        return log

    @staticmethod
    def log_property(log, name):
        found = re.findall(r"Property\(S\): %s = (.*)" % re.escape(name), log)
        return found[-1].strip() if found else None

    def entries(self):
        """Vyx in "Programs and Features": the package's ProductCodes, and "Vyx" for the earlier
        installer's entry."""
        _, listed = self.wine_command("reg", "query", UNINSTALL_KEY, *REGISTRY_VIEW)
        return sorted(name for name in re.findall(r"\\Uninstall\\(\S+)", listed)
                      if name == "Vyx" or "DisplayName    REG_SZ    Vyx" in (self.entry(name) or ""))

    def entry(self, name):
        code, values = self.wine_command("reg", "query", "%s\\%s" % (UNINSTALL_KEY, name), *REGISTRY_VIEW)
        return values if code == 0 else None

    def krev_pids(self):
        return wine_env.prefix_pids(self.wine.env["WINEPREFIX"], "Krev.exe")

    def krev_windows(self):
        return int(self.wine.probe("count", "About Vyx"))

    def shortcuts(self):
        """Our shortcuts in any Start menu of the prefix, by their path below the menu."""
        menus = glob.glob(os.path.join(self.drive_c, "users", "*", "AppData", "Roaming", "Microsoft", "Windows",
                                       "Start Menu", "Programs")) + \
            [os.path.join(self.drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs")]
        return [path for menu in menus for path in glob.glob(os.path.join(menu, "**", "*.lnk"), recursive=True)
                if "Vyx" in path]

    def unix_path(self, windows):
        """A C: path of the prefix as this machine names it."""
        return os.path.join(self.drive_c, *windows[3:].rstrip("\\").split("\\"))

    def contents(self, folder):
        found = {}
        for name in os.listdir(folder):
            if not os.path.isdir(os.path.join(folder, name)):
                with open(os.path.join(folder, name), "rb") as file:
                    found[name] = file.read()
        return found

    def assertLaterEverywhere(self, names=PROGRAMS):
        for name in names:
            with open(wine_env.later_program(name), "rb") as later, \
                    open(os.path.join(self.program_folder, name), "rb") as installed:
                self.assertEqual(installed.read(), later.read(), name + " is not the later one")

    def hold_a_window(self, program, title):
        """A program that shows a window with that title until the test's stop file exists."""
        return self.wine.start(program, self.folder, args=["hold", wine_env.hex_of(title), windows_path(self.stop_file)])

    def hold_open(self, path):
        """A program of the test's that holds the file open for reading without delete sharing."""
        holder = self.wine.start(self.wine.helpers + "/winprobe.exe", self.folder,
                                 args=["open", wine_env.hex_of(path), windows_path(self.stop_file)])
        self.addCleanup(lambda: holder.poll() is not None or holder.kill())
        time.sleep(1.0)
        return holder

    def start_from(self, shortcut):
        self.wine_command("start", "/unix", shortcut)

    def hold_krev_in_its_version_message_box(self):
        """Krev from the program folder with a card in and no Pellit.dll: its version check waits
        for Ver.chk in vain and shows its message box, during which it defers Exit."""
        shutil.copy(os.path.join(wine_env.HELPERS, "scripted", "SC.dll"), self.program_folder)
        os.remove(os.path.join(self.program_folder, "Pellit.dll"))
        reports = os.path.join(self.folder, "sc.log")
        self.wine.start(PROGRAM_FOLDER + "\\Krev.exe", self.folder, SC_LOG=windows_path(reports))
        self.assertTrue(wait_until(lambda: self.krev_windows() == 1))
        # The card goes in only once the poller has seen the reader empty.
        self.assertTrue(wait_until(lambda: os.path.exists(reports) and " 12" in open(reports).read()))
        write_card_script(self.folder, ["present Quenby USB Reader"])
        shown = wait_until(lambda: (self.wine.find_window(VERSION_BOX) or (0, 0, False))[2], timeout=40)
        self.assertTrue(shown, "the version check's message box never appeared")

    def restart_windows(self):
        """Every process of the prefix ends; its next start runs wineboot, which carries out the
        renames at restart, as the session manager does before any process runs."""
        subprocess.run([wine_env.WINESERVER, "-k"], env=self.wine.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.wine_command("wineboot", "-r", timeout=180)
        subprocess.Popen([wine_env.WINESERVER, "-p"], env=self.wine.env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).wait()

    def test_install_logon_upgrade_over_a_running_krev_and_uninstall_leaving_what_is_not_ours(self):
        log = self.install()
        self.assertEqual(sorted(os.listdir(self.program_folder)), INSTALLED)
        self.assertEqual(os.listdir(self.krev_folder), ["DefaultCheck.htm"], "C:\\KREV is PortalLaunch's data only")
        self.assertEqual(self.entries(), [EARLIER])
        entry = self.entry(EARLIER)
        for value in ("DisplayName    REG_SZ    Vyx", "Publisher    REG_SZ    Quenby",
                      "DisplayVersion    REG_SZ    %s" % wine_env.MAKE_MSI.package_version("3.2.0.1"),
                      "HelpLink    REG_SZ    %swww.quenby.example/" % wine_env.PAGE_SCHEME,
                      "URLInfoAbout    REG_SZ    %swww.quenby.example/" % wine_env.PAGE_SCHEME,
                      "InstallLocation    REG_SZ    %s\\" % PROGRAM_FOLDER, "NoModify    REG_DWORD    0x1"):
            self.assertIn(value, entry)
        _, stub = self.wine_command("reg", "query", ACTIVE_SETUP_KEY, *REGISTRY_VIEW)
        self.assertIn('StubPath    REG_SZ    "%s\\SetupKREV.exe" /user' % PROGRAM_FOLDER, stub)
        self.assertIn("Version    REG_SZ    3,2,0,1", stub)
        self.assertIn("IsInstalled    REG_DWORD    0x1", stub)
        # The shortcuts, where Windows Installer's folders are (Wine's: the user's Start menu).
        menu = self.unix_path(self.log_property(log, "ProgramMenuFolder"))
        startup = self.unix_path(self.log_property(log, "StartupFolder"))
        expected = {os.path.join(startup, "Vyx.lnk"): (PROGRAM_FOLDER + "\\SetupKREV.exe", "/start"),
                    os.path.join(menu, "Vyx", "Vyx.lnk"): (PROGRAM_FOLDER + "\\SetupKREV.exe", "/start"),
                    os.path.join(menu, "Vyx", "Vyx 入口網站.lnk"): (PROGRAM_FOLDER + "\\PortalLaunch.exe", ""),
                    os.path.join(menu, "Vyx", "移除 Vyx.lnk"): (None, "/x " + EARLIER)}
        self.assertEqual(sorted(self.shortcuts()), sorted(expected))
        for link, (target, arguments) in expected.items():
            read = shell_link.read(link)
            self.assertEqual(read["arguments"], arguments, link)
            if target is None:
                self.assertTrue(read["target"].lower().endswith("\\msiexec.exe"), link)
                continue
            self.assertEqual(read["target"].lower(), target.lower(), link)
            self.assertEqual(read["working_dir"].rstrip("\\").lower(), PROGRAM_FOLDER.lower(), link)
        time.sleep(2.0)
        self.assertEqual(self.krev_pids(), [], "a silent install started Krev (it starts at the next logon)")

        # The next logon: Windows runs Active Setup's StubPath as the user, then the Startup items.
        # Krev works in the user's own folder; a card opens the portal page (the scriptable card
        # library stands in) and the user's Reader.ini gets the registration flag.
        self.assertEqual(self.wine.probe("run", stub.split("StubPath    REG_SZ    ")[1].splitlines()[0].strip()),
                         "exit 0")
        self.assertTrue(os.path.exists(os.path.join(self.user_folder, "DefaultCheck.htm")))
        shutil.copy(os.path.join(wine_env.HELPERS, "scripted", "SC.dll"), self.program_folder)
        self.start_from(os.path.join(startup, "Vyx.lnk"))
        self.assertTrue(wait_until(lambda: self.krev_pids() and self.krev_windows() == 1))
        self.assertEqual(wine_env.working_folder(self.krev_pids()[0]), self.user_folder)
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

        # The later version over the running Krev and a Pellit.dll still fetching (a stand-in
        # that holds a window): both end before any file changes, every file is the later one,
        # Vyx is listed once, and the user's settings stay. Windows Installer's Restart Manager
        # starts Krev again on Windows; Wine has none, so Krev comes back at the next start.
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(self.user_folder, "Ver.chk"))),
                        "Krev's version check did not end")
        shutil.copy(os.path.join(self.wine.helpers, "winprobe.exe"), os.path.join(self.program_folder, "Pellit.dll"))
        fetching = self.hold_a_window(PROGRAM_FOLDER + "\\Pellit.dll", "fetching")
        self.assertTrue(wait_until(lambda: self.wine.find_window("fetching")))
        self.install(self.later, "upgrade")
        self.assertIsNotNone(fetching.poll(), "Pellit.dll still runs")
        self.assertTrue(wait_until(lambda: not self.krev_pids()), "Krev still runs")
        self.assertLaterEverywhere()
        self.assertEqual(self.entries(), [LATER])
        self.assertIn("Version    REG_SZ    3,2,1,0", self.wine_command("reg", "query", ACTIVE_SETUP_KEY,
                                                                         *REGISTRY_VIEW)[1])
        with open(settings, "rb") as ini:
            self.assertEqual(ini.read(), b"[Register]\r\nCheck=OK\r\n", "Reader.ini was not kept")
        self.start_from(os.path.join(menu, "Vyx", "Vyx.lnk"))
        self.assertTrue(wait_until(lambda: self.krev_pids() and self.krev_windows() == 1))
        self.wine.probe("send", "About Vyx", WM_COMMAND, ID_EXIT, 0)
        self.assertTrue(wait_until(lambda: not self.krev_pids()))

        # The uninstall removes exactly what the package put in place: a file that is not ours
        # stays, and so does its folder; the user's own settings stay in the user's profile. An
        # upgrade of the earlier installer that waits for the restart (its entry, its Pending
        # folder) stops an install, not the uninstall.
        with open(os.path.join(self.program_folder, "notes.txt"), "wb") as theirs:
            theirs.write(b"not ours")
        earlier_folder = os.path.join(self.folder, "earlier installer")
        os.makedirs(os.path.join(earlier_folder, "Pending"))
        for name, value in (("DisplayName", "Vyx"), ("Publisher", "Quenby"),
                            ("InstallLocation", windows_path(earlier_folder))):
            self.wine_command("reg", "add", UNINSTALL_KEY + "\\Vyx", "/v", name, "/d", value, "/f", *REGISTRY_VIEW)
        code, log = self.msiexec("/x %s" % LATER, "uninstall")
        self.assertEqual(code, 0, log[-3000:])
        self.assertEqual(os.listdir(self.program_folder), ["notes.txt"])
        self.assertEqual(self.entries(), ["Vyx"], "only the earlier installer's entry, made for the test, is left")
        self.assertEqual(self.shortcuts(), [])
        self.assertFalse(os.path.exists(os.path.join(menu, "Vyx")))
        self.assertNotEqual(self.wine_command("reg", "query", ACTIVE_SETUP_KEY, *REGISTRY_VIEW)[0], 0)
        self.assertFalse(os.path.exists(self.krev_folder), "C:\\KREV is left")
        self.assertTrue(os.path.exists(settings))
        self.assertTrue(os.path.isdir(os.path.join(earlier_folder, "Pending")))

    def test_a_held_file_is_replaced_at_the_restart_and_a_later_version_refuses_an_earlier(self):
        # Another program holds SC.dll without delete sharing: the upgrade exits 3010, Vyx is the
        # later version at once, and after the restart every file is the later one.
        self.install()
        holder = self.hold_open(PROGRAM_FOLDER + "\\SC.dll")
        self.install(self.later, "held", REBOOT_REQUIRED)
        self.assertEqual(self.entries(), [LATER])
        _, pending = self.wine_command("reg", "query", SESSION_MANAGER, "/v", "PendingFileRenameOperations")
        self.assertIn("Vyx\\SC.dll", pending)
        self.assertLaterEverywhere([name for name in PROGRAMS if name != "SC.dll"])
        open(self.stop_file, "w").close()
        holder.wait(timeout=30)
        os.remove(self.stop_file)
        self.restart_windows()
        self.assertEqual(sorted(os.listdir(self.program_folder)), INSTALLED)
        self.assertLaterEverywhere()
        self.assertNotEqual(self.wine_command("reg", "query", SESSION_MANAGER, "/v",
                                              "PendingFileRenameOperations")[0], 0)

        # A later version installed: an earlier package changes nothing. (Wine's removal of the
        # earlier version above dropped the later one's UpgradeCode record too, which Windows
        # keeps: the later version is installed afresh here.)
        self.assertEqual(self.msiexec("/x %s" % LATER, "removed")[0], 0)
        self.install(self.later, "later")
        log = self.install(log_name="downgrade", expected=1603)
        self.assertEqual(self.log_property(log, "LATERVYXFOUND"), LATER)
        self.assertEqual(self.entries(), [LATER])
        self.assertLaterEverywhere()

    def test_a_krev_that_does_not_end_or_a_failure_after_the_files_keeps_the_earlier_version_registered(self):
        # Krev held by its version message box defers Exit: the closer says so, the upgrade fails
        # before any file changes, and the earlier version stays registered.
        self.install()
        self.hold_krev_in_its_version_message_box()
        installed = self.contents(self.program_folder)
        code, log = self.msiexec('/i "%s"' % windows_path(self.later), "held-krev")
        self.assertIn(code, FAILED, log[-3000:])
        self.assertEqual(self.entries(), [EARLIER])
        self.assertEqual(self.contents(self.program_folder), installed, "the failed upgrade changed files")
        # The uninstall over it stops there too, before anything goes.
        code, log = self.msiexec("/x %s" % EARLIER, "held-krev-uninstall")
        self.assertIn(code, FAILED, log[-3000:])
        self.assertEqual(self.entries(), [EARLIER])
        self.assertEqual(self.contents(self.program_folder), installed, "the failed uninstall removed files")
        self.assertEqual(len(self.krev_pids()), 1, "Krev was ended although it held its message box")
        self.wine.probe("post", VERSION_BOX, WM_COMMAND, 1, 0)  # the user presses OK
        self.assertTrue(wait_until(lambda: not self.krev_pids()), "Krev did not end after its box")

        # A custom action of the later package that fails once the files are written (added to a
        # copy of the package): the install fails and the earlier version stays registered.
        failing = os.path.join(self.folder, "Failing.msi")
        shutil.copy(self.later, failing)
        subprocess.run(["msibuild", failing, "-q",
                        "INSERT INTO CustomAction (Action, Type, Source, Target) "
                        "VALUES ('FailOnPurpose', 1042, 'CloseKREV.exe', '/nonsense')",
                        "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('FailOnPurpose', 4001)"],
                       check=True, env=dict(os.environ, WINDOWS_LANGUAGE="zh_TW"), stdout=subprocess.DEVNULL)
        self.assertEqual(self.msiexec("/x %s" % EARLIER, "removed")[0], 0)
        self.install()
        code, log = self.msiexec('/i "%s"' % windows_path(failing), "failing")
        self.assertIn(code, FAILED, log[-3000:])
        self.assertIn("FailOnPurpose", log)
        self.assertEqual(self.entries(), [EARLIER])

    def test_the_earlier_installers_vyx_and_the_c_krev_layout_become_this_one(self):
        # What the earlier installer (KrevSetup.exe) left in the program folder: our programs of
        # the earlier version, its uninstaller, the starting settings it carried, a staging folder
        # of an upgrade, its entry and Active Setup; and the earliest layout in C:\\KREV, whose
        # Krev runs, with the per-user install's leftovers of this user.
        os.makedirs(os.path.join(self.program_folder, "Update"))
        for name in PROGRAMS:
            shutil.copy(os.path.join(wine_env.DIST, name), self.program_folder)
        starting = b"[Reader]\r\nSelect=Quenby USB Reader\r\n[Register]\r\nCheck=OK\r\n"
        for name, content in (("Uninstall.exe", b"the earlier uninstaller"), ("StartingReader.ini", starting),
                              ("DefaultCheck.htm", b"<html></html>"), (os.path.join("Update", "SC.dll"), b"staged")):
            with open(os.path.join(self.program_folder, name), "wb") as left:
                left.write(content)
        for name, value in (("DisplayName", "Vyx"), ("Publisher", "Quenby"), ("InstallLocation", PROGRAM_FOLDER),
                            ("UninstallString", '"%s\\Uninstall.exe"' % PROGRAM_FOLDER)):
            self.wine_command("reg", "add", UNINSTALL_KEY + "\\Vyx", "/v", name, "/d", value, "/f", *REGISTRY_VIEW)
        self.wine_command("reg", "add", ACTIVE_SETUP_KEY, "/v", "StubPath", "/d",
                          '"%s\\SetupKREV.exe" /user' % PROGRAM_FOLDER, "/f", *REGISTRY_VIEW)
        os.makedirs(self.krev_folder)
        for name in ("Krev.exe", "Farrow.exe", "CloseKREV.exe"):
            shutil.copy(os.path.join(wine_env.DIST, name), self.krev_folder)
        shutil.copy(os.path.join(wine_env.HELPERS, "scripted", "SC.dll"), self.krev_folder)
        with open(os.path.join(self.krev_folder, "Reader.ini"), "wb") as shared:
            shared.write(b"[Reader]\r\nSelect=Shared Reader\r\n")
        own_settings = b"[Reader]\r\nSelect=My Reader\r\n[Register]\r\nCheck=OK\r\n"
        os.makedirs(self.user_folder)
        with open(os.path.join(self.user_folder, "Reader.ini"), "wb") as settings:
            settings.write(own_settings)
        self.wine_command("reg", "add", UNINSTALL_KEY.replace("HKLM", "HKCU") + "\\Vyx", "/v", "DisplayName", "/d",
                          "Vyx", "/f")
        earlier_krev = self.wine.start("C:\\KREV\\Krev.exe", self.folder)
        self.assertTrue(wait_until(lambda: self.krev_windows() == 1))

        log = self.install()
        self.assertIsNotNone(earlier_krev.poll(), "the earlier Krev still runs")
        self.assertEqual(os.listdir(self.krev_folder), ["DefaultCheck.htm"], "a file of ours is left in C:\\KREV")
        self.assertEqual(sorted(os.listdir(self.program_folder)), sorted(INSTALLED + ["StartingReader.ini"]))
        self.assertEqual(self.entries(), [EARLIER], "the earlier installer's entry is left")
        with open(os.path.join(self.program_folder, "StartingReader.ini"), "rb") as kept:
            self.assertEqual(kept.read(), starting)
        self.assertEqual(self.settings_of(self.user_folder), own_settings)
        _, stub = self.wine_command("reg", "query", ACTIVE_SETUP_KEY, *REGISTRY_VIEW)
        self.assertIn("Version    REG_SZ    3,2,0,1", stub)

        # This user's next logon: what the per-user install left goes (its entry, and only a
        # shortcut of ours that leads into C:\\KREV); the package's own shortcuts stay.
        startup = self.unix_path(self.log_property(log, "StartupFolder"))
        menu = self.unix_path(self.log_property(log, "ProgramMenuFolder"))
        self.make_link(os.path.join(menu, "Vyx", "移除 Vyx.lnk"), "C:\\KREV\\Uninstall.exe")
        self.assertEqual(self.wine.probe("run", '"%s\\SetupKREV.exe" /user' % PROGRAM_FOLDER), "exit 0")
        self.assertNotEqual(self.wine_command("reg", "query", UNINSTALL_KEY.replace("HKLM", "HKCU") + "\\Vyx")[0], 0)
        self.assertEqual(sorted(os.path.relpath(path, menu) for path in self.shortcuts()),
                         sorted([os.path.relpath(os.path.join(startup, "Vyx.lnk"), menu),
                                 os.path.join("Vyx", "Vyx.lnk"), os.path.join("Vyx", "Vyx 入口網站.lnk")]))

        # Another user of the machine: a prefix of their own, whose program folder is this one's.
        # Their logon runs the per-user set-up as Windows would: the earlier install's starting
        # settings start theirs, and their Krev, started as at logon, opens the portal page.
        other = wine_env.WineMachine(display_of=self.wine)
        self.addCleanup(other.close)
        os.symlink(self.program_folder, os.path.join(other.env["WINEPREFIX"], "drive_c", PROGRAM_FILES, "Vyx"))
        self.assertEqual(other.probe("run", '"%s\\SetupKREV.exe" /user' % PROGRAM_FOLDER), "exit 0")
        other_folder = self.user_folder_of(other)
        self.assertEqual(self.settings_of(other_folder), starting)
        shutil.copy(os.path.join(wine_env.HELPERS, "scripted", "SC.dll"), self.program_folder)
        run = other.run_folder("user", programs=())
        write_card_script(run, ["empty Quenby USB Reader"])
        other.start(PROGRAM_FOLDER + "\\SetupKREV.exe", run, args=["/start"])
        pids = lambda: wine_env.prefix_pids(other.env["WINEPREFIX"], "Krev.exe")
        self.assertTrue(wait_until(lambda: pids() and other.find_window("About Vyx")))
        self.assertEqual(wine_env.working_folder(pids()[0]), other_folder)
        time.sleep(1.0)
        write_card_script(run, ["present Quenby USB Reader"])
        recording = Recording(os.path.join(run, "record.log"))
        self.assertTrue(wait_until(lambda: any(e["command"].endswith(PORTAL.encode()) for e in recording.entries())))
        other.probe("send", "About Vyx", WM_COMMAND, ID_EXIT, 0)

    def make_link(self, path, target):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.assertEqual(self.wine.probe("link", windows_path(path), wine_env.hex_of(target)), "")

    def settings_of(self, folder):
        with open(os.path.join(folder, "Reader.ini"), "rb") as settings:
            return settings.read()

    def test_another_products_folder_and_a_link_at_c_krev_are_left_alone(self):
        # INSTALLDIR names the folder of another product of the publisher: its files stay whole
        # at install and at uninstall. While it holds a file of our names (an older SC.dll of its
        # own), the install is refused with nothing changed.
        other = os.path.join(self.drive_c, PROGRAM_FILES, "Quenby")
        os.makedirs(other)
        with open(os.path.join(other, "Quenby Tools.exe"), "wb") as theirs:
            theirs.write(b"another product")
        with open(os.path.join(other, "SC.dll"), "wb") as theirs:
            theirs.write(b"another product's SC.dll")
        log = self.install(log_name="foreign", expected=1603, arguments='INSTALLDIR="C:\\%s\\Quenby"' % PROGRAM_FILES)
        # Windows logs the launch condition's message; Wine's log shows the search that stopped it.
        self.assertEqual(self.log_property(log, "FOUNDSCDLL"), "C:\\%s\\Quenby\\SC.dll" % PROGRAM_FILES)
        self.assertEqual(self.contents(other), {"Quenby Tools.exe": b"another product",
                                                "SC.dll": b"another product's SC.dll"})
        self.assertEqual(self.entries(), [])
        self.assertFalse(os.path.exists(self.krev_folder))
        os.remove(os.path.join(other, "SC.dll"))
        # C:\\KREV, made by a user, leads to a folder where another user's programs run: one not
        # ours by name, one named as ours. Neither ends, and nothing is written there.
        elsewhere = os.path.join(self.folder, "elsewhere")
        os.makedirs(elsewhere)
        for name in ("backup.exe", "Pellit.dll"):
            shutil.copy(os.path.join(self.wine.helpers, "winprobe.exe"), os.path.join(elsewhere, name))
        running = [self.hold_a_window(windows_path(os.path.join(elsewhere, name)), name)
                   for name in ("backup.exe", "Pellit.dll")]
        self.addCleanup(lambda: [process.kill() for process in running if process.poll() is None])
        self.assertTrue(wait_until(lambda: self.wine.find_window("backup.exe") and self.wine.find_window("Pellit.dll")))
        os.symlink(elsewhere, self.krev_folder)

        # A user starts copies of Krev.exe from a folder of their own, one after the other, short
        # lived: none is ours, and the install neither fails nor waits for them.
        copies = os.path.join(self.folder, "copies")
        os.makedirs(copies)
        shutil.copy(os.path.join(self.wine.helpers, "winprobe.exe"), os.path.join(copies, "Krev.exe"))
        looping = threading.Event()
        started = []

        def start_copies():
            while not looping.is_set():
                started.append(self.wine_command(os.path.join(copies, "Krev.exe"), "count", wine_env.hex_of("x")))

        loop = threading.Thread(target=start_copies)
        loop.start()
        try:
            begun = time.monotonic()
            self.install(arguments='INSTALLDIR="C:\\%s\\Quenby"' % PROGRAM_FILES)
            took = time.monotonic() - begun
        finally:
            looping.set()
            loop.join()
        self.assertGreater(len(started), 2, "the copies did not run during the install")
        print("\n    the install took %.1f s while a user started %d copies of Krev.exe" % (took, len(started)))
        self.assertEqual(sorted(os.listdir(other)), sorted(INSTALLED + ["Quenby Tools.exe"]))
        self.assertEqual([process.poll() for process in running], [None, None], "the install ended a program there")
        self.assertEqual(sorted(os.listdir(elsewhere)), ["Pellit.dll", "backup.exe"])
        # A repair given another folder (a standard user may start one) puts nothing there and
        # changes neither the record nor Active Setup's command; the upgrade goes to the recorded
        # folder, and the uninstall finds it there.
        record = self.wine_command("reg", "query", RECORD_KEY, *REGISTRY_VIEW)[1]
        stub = self.wine_command("reg", "query", ACTIVE_SETUP_KEY, "/v", "StubPath", *REGISTRY_VIEW)[1]
        self.assertIn("ProgramFolder    REG_SZ    C:\\%s\\Quenby\\" % PROGRAM_FILES, record)
        elsewhere_folder = os.path.join(self.drive_c, "Users", "Public", "Vyx")
        self.addCleanup(shutil.rmtree, elsewhere_folder, True)
        code, log = self.msiexec('/i "%s" REINSTALL=ALL REINSTALLMODE=vomus INSTALLDIR="C:\\Users\\Public\\Vyx"'
                                 % windows_path(wine_env.PACKAGE), "repair")
        self.assertEqual(code, 0, log[-3000:])
        self.assertFalse(os.path.exists(elsewhere_folder) and os.listdir(elsewhere_folder), "the repair moved Vyx")
        self.assertEqual(self.wine_command("reg", "query", RECORD_KEY, *REGISTRY_VIEW)[1], record)
        self.assertEqual(self.wine_command("reg", "query", ACTIVE_SETUP_KEY, "/v", "StubPath", *REGISTRY_VIEW)[1], stub)
        self.install(self.later, "upgrade", arguments='INSTALLDIR="C:\\Users\\Public\\Vyx"')
        self.assertFalse(os.path.exists(elsewhere_folder) and os.listdir(elsewhere_folder), "the upgrade moved Vyx")
        self.assertFalse(os.path.exists(self.program_folder), "the upgrade went to the default folder")
        with open(os.path.join(other, "Krev.exe"), "rb") as installed, open(wine_env.later_program("Krev.exe"),
                                                                             "rb") as later:
            self.assertEqual(installed.read(), later.read())
        self.assertEqual(self.msiexec("/x %s" % LATER, "uninstall")[0], 0)
        self.assertEqual(os.listdir(other), ["Quenby Tools.exe"])
        with open(os.path.join(other, "Quenby Tools.exe"), "rb") as theirs:
            self.assertEqual(theirs.read(), b"another product")
        self.assertTrue(os.path.islink(self.krev_folder))
        self.assertEqual(sorted(os.listdir(elsewhere)), ["Pellit.dll", "backup.exe"])
        shutil.rmtree(other)
        os.remove(self.krev_folder)

    def test_the_cd_opens_the_package_which_starts_krev_for_the_desktops_user_and_its_portal_launcher_works(self):
        cd = os.path.join(self.folder, "cd")
        subprocess.run(["xorriso", "-osirrox", "on", "-indev", wine_env.CD_IMAGE, "-extract", "/", cd], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(sorted(os.listdir(cd)), ["KREV", "KrevSetup.msi", "PortalLaunch.exe", "Runlatch.exe",
                                                  "autorun.exe", "autorun.inf"])
        with open(cd + "/autorun.inf", "rb") as autorun:
            self.assertIn(b"open=Runlatch.exe\r\n", autorun.read())
        drive = os.path.join(self.wine.env["WINEPREFIX"], "dosdevices", "d:")
        if os.path.lexists(drive):
            os.remove(drive)
        os.symlink(cd, drive)
        self.wine_command("reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", "d:", "/d", "cdrom", "/f")
        try:
            # PortalLaunch from the CD, with nothing installed, opens the portal in the default browser.
            self.assertEqual(self.wine_command(os.path.join(cd, "PortalLaunch.exe"))[0], 0)
            self.assertTrue(wait_until(lambda: [e for e in self.log.entries() if e["program"].endswith("browser.exe")]))
            self.assertTrue(self.log.entries()[-1]["command"].endswith(PORTAL.encode()))

            # Runlatch in D:\ starts autorun.exe, which opens the package through the shell: an
            # interactive install, which ends by starting Krev for the user who owns the desktop
            # (through the token of the shell's process: Wine has no elevation to show more), in
            # that user's folder.
            self.wine.start("D:\\Runlatch.exe", cd)
            self.assertTrue(wait_until(lambda: self.entries() == [EARLIER], timeout=120), "nothing was installed")
            self.assertTrue(wait_until(self.krev_pids, timeout=60), "no Krev was started after the install")
            self.assertEqual(wine_env.working_folder(self.krev_pids()[0]), self.user_folder)
            self.assertEqual(sorted(os.listdir(self.program_folder)), INSTALLED)
        finally:
            for pid in wine_env.prefix_pids(self.wine.env["WINEPREFIX"], "msiexec"):
                os.kill(pid, 9)
            os.remove(drive)
            self.wine_command("reg", "delete", "HKLM\\Software\\Wine\\Drives", "/v", "d:", "/f")


if __name__ == "__main__":
    unittest.main()
