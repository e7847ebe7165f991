"""PortalLaunch and Runlatch under Wine."""
import os
import re
import shutil
import subprocess
import time
import unittest

import wine_env
from wine_env import PORTAL, Recording, windows_path

LOOKUP = re.compile(r'FindExecutableW File L"(\w):\\\\KREV\\\\DefaultCheck\.htm"')


class PortalLaunchUnderWine(unittest.TestCase):
    def setUp(self):
        self.wine = wine_env.machine()
        self.folder = self.wine.run_folder(self.id().split(".")[-1], programs=("PortalLaunch.exe",),
                                           default_check=False)
        self.dosdevices = os.path.join(self.wine.env["WINEPREFIX"], "dosdevices")
        self.c_folder = os.path.join(self.wine.env["WINEPREFIX"], "drive_c", "KREV")
        self.log = Recording(os.path.join(self.folder, "record.log"))
        # The drives are asked only where https has no program (Windows XP without that association).
        self.wine.unregister_handler("https")

    def tearDown(self):
        self.wine.register_handler("https", None, self.wine.browser)
        shutil.rmtree(self.c_folder, ignore_errors=True)
        for letter in "defg":
            link = os.path.join(self.dosdevices, letter + ":")
            if os.path.islink(link):
                os.remove(link)

    def product_folder_on(self, *drives):
        """Puts KREV\\DefaultCheck.htm on each drive; D: to G: are mapped to folders of this test."""
        for drive in drives:
            if drive == "C":
                folder = self.c_folder
            else:
                root = os.path.join(self.folder, "drive_" + drive)
                folder = os.path.join(root, "KREV")
                os.symlink(root, os.path.join(self.dosdevices, drive.lower() + ":"))
            os.makedirs(folder)
            with open(os.path.join(folder, "DefaultCheck.htm"), "w") as page:
                page.write("<html></html>\n")

    def launch(self):
        """Runs PortalLaunch with arguments it must ignore; returns the drives it asked, in order."""
        env = self.wine.program_env(self.folder, WINEDEBUG="trace+exec")
        result = subprocess.run([wine_env.WINE, "PortalLaunch.exe", "--ignored", "C:\\other.htm"], cwd=self.folder,
                                env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0)
        return LOOKUP.findall(result.stderr.decode("utf-8", "replace"))

    def browser_commands(self, expected):
        time.sleep(1.0) if expected == 0 else wine_env.wait_until(lambda: len(self.log.entries()) >= expected)
        return [e["command"] for e in self.log.entries()]

    def expected_command(self):
        return b'"' + windows_path(self.wine.browser).encode() + b'" ' + PORTAL.encode()

    def test_a_folder_on_c_is_found_with_one_lookup(self):
        self.product_folder_on("C", "D")
        self.assertEqual(self.launch(), ["C"])
        self.assertEqual(self.browser_commands(1), [self.expected_command()])
        self.assertEqual(self.log.entries()[0]["show"], 5)

    def test_a_folder_only_on_g_is_found_after_five_lookups(self):
        self.product_folder_on("G")
        self.assertEqual(self.launch(), ["C", "D", "E", "F", "G"])
        self.assertEqual(self.browser_commands(1), [self.expected_command()])

    def test_with_folders_on_d_and_f_the_d_lookup_wins_and_f_is_never_asked(self):
        self.product_folder_on("D", "F")
        self.assertEqual(self.launch(), ["C", "D"])
        self.assertEqual(self.browser_commands(1), [self.expected_command()])

    def test_the_drive_lookup_changes_no_other_threads_error_mode(self):
        check = subprocess.run([wine_env.WINE, os.path.join(wine_env.HELPERS, "error_mode_check.exe")],
                               cwd=self.folder, env=self.wine.program_env(self.folder), stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=60)
        self.assertEqual((check.returncode, check.stdout.decode().strip()), (0, "differing 0"))

    def test_without_a_folder_nothing_starts_and_the_exit_code_is_zero(self):
        self.assertEqual(self.launch(), ["C", "D", "E", "F", "G"])
        self.assertEqual(self.browser_commands(0), [])

    def test_the_program_for_https_opens_the_portal_and_no_drive_is_asked(self):
        self.product_folder_on("C")
        self.wine.register_handler("https", None, self.wine.browser)
        self.assertEqual(self.launch(), [])
        self.assertEqual(self.browser_commands(1), [self.expected_command()])


class RunlatchUnderWine(unittest.TestCase):
    def setUp(self):
        self.wine = wine_env.machine()
        self.folder = self.wine.run_folder(self.id().split(".")[-1], programs=("Runlatch.exe",),
                                           default_check=False)
        self.log = Recording(os.path.join(self.folder, "record.log"))

    def run_latch(self, working_directory, **extra):
        """Runs Runlatch with arguments it must ignore; returns what Wine printed."""
        result = subprocess.run([wine_env.WINE, os.path.join(self.folder, "Runlatch.exe"), "an", "argument"],
                                cwd=working_directory, env=self.wine.program_env(self.folder, **extra),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                timeout=60)
        self.assertEqual(result.returncode, 0)
        return result.stderr.decode("utf-8", "replace")

    def test_starts_autorun_from_the_working_directory_once_shown_without_arguments(self):
        working = os.path.join(self.folder, "cd")
        os.makedirs(working)
        shutil.copy(os.path.join(self.wine.helpers, "recorder.exe"), os.path.join(working, "autorun.exe"))
        # The relay trace shows the call that starts it. Wine passes no error mode on to a new
        # process; Windows passes Runlatch's own unless the call asks for the default one.
        calls = self.run_latch(working, WINEDEBUG="-all,+relay")
        start = re.search(r'Call KERNEL32\.CreateProcessW\([0-9a-f]+,[0-9a-f]+ L"\.\\\\autorun\.exe",'
                          r'(?:[0-9a-f]+,){3}([0-9a-f]+),', calls)
        self.assertIsNotNone(start, "autorun.exe was not started through CreateProcessW")
        self.assertTrue(int(start.group(1), 16) & 0x04000000, "autorun.exe gets Runlatch's error mode")
        self.assertTrue(wine_env.wait_until(self.log.entries))
        time.sleep(0.5)
        starts = self.log.entries()
        self.assertEqual(len(starts), 1)
        self.assertEqual(starts[0]["command"], b".\\autorun.exe")
        self.assertEqual(starts[0]["show"], 5)
        self.assertTrue(starts[0]["program"].lower().endswith("\\cd\\autorun.exe"))

    def test_an_autorun_beside_runlatch_but_not_in_the_working_directory_is_not_started(self):
        shutil.copy(os.path.join(self.wine.helpers, "recorder.exe"), os.path.join(self.folder, "autorun.exe"))
        elsewhere = os.path.join(self.folder, "elsewhere")
        os.makedirs(elsewhere)
        self.run_latch(elsewhere)
        time.sleep(1.0)
        self.assertEqual(self.log.entries(), [])


if __name__ == "__main__":
    unittest.main()
