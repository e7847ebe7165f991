"""The real card chain for a whole test run: Wine 10 in the Debian trixie root (scripts/
trixie_root.sh builds it), pcscd with the vpcd virtual readers inside it, our PC/SC SC.dll from
dist/win64, and virtual cards that connect to vpcd from outside the root (it shares the
machine's network). One Xvfb on the machine, its socket bound into the root; one Wine prefix and
one persistent wineserver inside the root.

Everything the run mounts or starts is undone by close(), which also runs at SIGTERM and SIGINT."""
import atexit
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import wine_env  # noqa: E402
from wine_env import Recording, Screen, hex_of, wait_until  # noqa: E402,F401

ROOT = os.environ.get("KREV_TRIXIE_ROOT", "/var/cache/krev/trixie-root")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
RUN = "/krev-run"  # inside the root
VIRTUAL_CARD = os.path.join(wine_env.ROOT, "build", "native", "virtual_card")
FIRST_READER_PORT = 35963
VPCD_CONFIG = "/etc/reader.conf.d/vpcd"
VPCD_DRIVER = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"


def inside(path):
    """The host's path of a path inside the root."""
    return ROOT + path


def windows_path(path_in_root):
    return "Z:" + path_in_root.replace("/", "\\")


def friendly_name(entry):
    return "Virtual PCD" if entry == 0 else "Virtual PCD %c" % chr(ord("A") + entry)


def reader_name(index):
    """The name of the reader on port FIRST_READER_PORT + index (two readers a driver entry)."""
    return "%s 00 %02d" % (friendly_name(index // 2), index % 2)


def is_card_red(pixel):
    r, g, b = pixel
    return r > 150 and g < 90 and b < 90


def is_card_grey(pixel):
    r, g, b = pixel
    return 100 <= r <= 190 and abs(r - g) < 6 and abs(g - b) < 6


def tray_icon(screen, matches):
    """The centre of the card's pixels in a virtual desktop's notification area, or None."""
    spots = [(x, y) for y in range(738, 768) for x in range(824, 1024) if matches(screen[y][x])]
    if len(spots) < 10:
        return None
    return (sum(x for x, _ in spots) // len(spots), sum(y for _, y in spots) // len(spots))


class VirtualCard:
    """A card in the vpcd reader on `port` while the process runs; out once its input closes."""

    def __init__(self, index):
        self.index = index
        self.process = subprocess.Popen([VIRTUAL_CARD, str(FIRST_READER_PORT + index)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if self.process.stdout.readline().strip() != b"inserted":
            self.process.kill()
            raise RuntimeError("vpcd did not take the card on reader %d" % index)
        self.inserted_at = time.monotonic()

    def remove(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=10)


class RealChain:
    def __init__(self, readers=2):
        if not os.path.exists(inside(WINE)):
            raise RuntimeError("no Wine 10 root at %s: run scripts/trixie_root.sh" % ROOT)
        self.mounts = []
        self.processes = []
        self.cards = []
        self.pcscd = None
        self.closed = False
        self._previous_handlers = {sig: signal.signal(sig, self._interrupted) for sig in (signal.SIGTERM,)}
        atexit.register(self.close)
        try:
            self._unmount_leftovers()
            self._stop_host_pcscd()
            self._mount("proc", "-t", "proc", "proc")
            self._mount("dev", "--bind", "/dev")
            shutil.rmtree(inside(RUN), ignore_errors=True)  # the run's own folder: nothing is mounted in it
            os.makedirs(inside(RUN))
            self.display = self._start_xvfb()
            os.makedirs(inside("/tmp/.X11-unix"), exist_ok=True)
            self._mount("tmp/.X11-unix", "--bind", "/tmp/.X11-unix")
            self.env = dict(os.environ, WINEPREFIX=RUN + "/prefix", WINEDEBUG="-all",
                            WINEDLLOVERRIDES="mscoree,mshtml=", LANG="zh_TW.UTF-8", LC_ALL="zh_TW.UTF-8",
                            DISPLAY=self.display, HOME="/root", PATH="/usr/sbin:/usr/bin:/sbin:/bin")
            self.env.pop("LANGUAGE", None)
            self.configure_readers(readers)
            self._quiet([WINE, "wineboot", "-i"], timeout=180)
            subprocess.Popen(["chroot", ROOT, WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).wait()
            self.helpers = RUN + "/helpers"
            os.makedirs(inside(self.helpers))
            for helper in ("recorder.exe", "winprobe.exe", "fake_pellit.exe"):
                shutil.copy(os.path.join(wine_env.HELPERS, helper), inside(self.helpers))
            self.browser = self.helpers + "/browser.exe"
            shutil.copy(os.path.join(wine_env.HELPERS, "recorder.exe"), inside(self.browser))
            self._quiet([WINE, "reg", "add", "HKCR\\.htm", "/ve", "/d", "krevtesthtml", "/f"])
            self._quiet([WINE, "reg", "add", "HKCR\\krevtesthtml\\shell\\open\\command", "/ve", "/d",
                         '"%s" "%%1"' % windows_path(self.browser), "/f"])
        except BaseException:
            self.close()
            raise

    # The machine around Wine.

    def _interrupted(self, signum, frame):
        self.close()
        raise KeyboardInterrupt("signal %d" % signum)

    def _mount(self, target, *how):
        path = inside("/" + target)
        os.makedirs(path, exist_ok=True)
        subprocess.run(["mount"] + list(how) + [path], check=True)
        self.mounts.append(path)

    @staticmethod
    def _unmount_leftovers():
        """Mounts below the root that a killed run left behind, deepest first."""
        with open("/proc/mounts") as mounts:
            leftovers = [line.split()[1] for line in mounts if (line.split()[1] + "/").startswith(ROOT + "/")]
        for path in sorted(leftovers, reverse=True):
            subprocess.run(["umount", "-l", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @staticmethod
    def _stop_host_pcscd():
        """vpcd's ports and pcscd's socket are the machine's: a pcscd outside the root must go."""
        subprocess.run(["pkill", "-x", "pcscd"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: subprocess.run(["pgrep", "-x", "pcscd"], stdout=subprocess.DEVNULL).returncode != 0,
                   timeout=10)

    def _start_xvfb(self):
        for number in range(150, 200):
            if os.path.exists("/tmp/.X11-unix/X%d" % number) or os.path.exists("/tmp/.X%d-lock" % number):
                continue
            self.xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if wait_until(lambda: os.path.exists("/tmp/.X11-unix/X%d" % number), timeout=10):
                return ":%d" % number
            self.xvfb.kill()
        raise RuntimeError("no free X display")

    def _quiet(self, command, cwd=RUN, timeout=60):
        with open(inside(RUN + "/wine-output.log"), "ab") as out:
            return subprocess.run(["chroot", ROOT, "env", "-C", cwd] + command, env=self.env,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=out, timeout=timeout).returncode

    # pcscd and vpcd.

    def configure_readers(self, readers):
        """vpcd with `readers` readers (two a driver entry), served by a fresh pcscd."""
        self.stop_pcscd()
        with open(inside(VPCD_CONFIG), "w") as config:
            for entry in range((readers + 1) // 2):
                port = FIRST_READER_PORT + 2 * entry
                # One copy of the driver an entry: the driver keeps one set of ports per copy loaded.
                driver = VPCD_DRIVER if entry == 0 else VPCD_DRIVER.replace(".so", "-%d.so" % entry)
                if not os.path.exists(inside(driver)):
                    shutil.copy(inside(VPCD_DRIVER), inside(driver))
                # pcscd gives the readers of entries with one friendly name the same names here.
                config.write('FRIENDLYNAME "%s"\nDEVICENAME /dev/null:0x%X\nLIBPATH %s\nCHANNELID 0x%X\n\n'
                             % (friendly_name(entry), port, driver, port))
        self.start_pcscd()

    def start_pcscd(self):
        if self.pcscd is not None:
            return
        socket = inside("/run/pcscd/pcscd.comm")
        if os.path.exists(socket):
            os.unlink(socket)
        self.pcscd = subprocess.Popen(["chroot", ROOT, "/usr/sbin/pcscd", "--foreground", "--disable-polkit"],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(lambda: os.path.exists(socket), timeout=15):
            raise RuntimeError("pcscd did not start in the root")
        time.sleep(0.5)  # the readers are announced

    def stop_pcscd(self):
        for card in self.cards:
            card.remove()
        self.cards = []
        if self.pcscd is not None:
            self.pcscd.terminate()
            try:
                self.pcscd.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.pcscd.kill()
                self.pcscd.wait()
            self.pcscd = None

    def insert(self, reader=0):
        card = VirtualCard(reader)
        self.cards.append(card)
        return card

    # Programs under Wine 10.

    def run_folder(self, name, programs=("Krev.exe", "Farrow.exe", "SC.dll"), registered=False,
                   published="003.002.000.001"):
        """A fresh folder inside the root with the named programs of dist/win64 (our PC/SC SC.dll),
        DefaultCheck.htm, and a stand-in Pellit.dll that publishes `published`."""
        folder = RUN + "/" + name
        os.makedirs(inside(folder))
        for program in programs:
            shutil.copy(os.path.join(wine_env.DIST, program), inside(folder))
        shutil.copy(os.path.join(wine_env.HELPERS, "fake_pellit.exe"), inside(folder + "/Pellit.dll"))
        with open(inside(folder + "/published.htm"), "w") as page:
            page.write("<p>VersionCheck000=%s</p>\r\n" % published)
        with open(inside(folder + "/DefaultCheck.htm"), "w") as page:
            page.write("<html><body>Default browser check</body></html>\n")
        if registered:
            with open(inside(folder + "/Reader.ini"), "wb") as settings:
                settings.write(b"[Register]\r\nCheck=OK\r\n")
        return folder

    def program_env(self, folder):
        return dict(self.env, RECORD_LOG=windows_path(folder + "/record.log"),
                    PELLIT_SOURCE=windows_path(folder + "/published.htm"))

    def start(self, program, folder, desktop=False):
        out = open(inside(folder + "/" + os.path.basename(program) + ".out"), "ab")
        command = [WINE, "explorer", "/desktop=shell,1024x768", program] if desktop else [WINE, program]
        process = subprocess.Popen(["chroot", ROOT, "env", "-C", folder] + command, env=self.program_env(folder),
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        self.processes.append(process)
        return process

    def probe(self, verb, text, *args, folder=RUN, desktop=False):
        env = self.program_env(folder)
        if desktop:
            env["PROBE_DESKTOP"] = "shell"
        result = subprocess.run(["chroot", ROOT, "env", "-C", folder, WINE, self.helpers + "/winprobe.exe", verb,
                                 hex_of(text)] + [str(a) for a in args], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60)
        return result.stdout.decode("cp950", "replace").strip()

    def run(self, program, folder):
        """Runs a program in `folder` to its end; returns what it printed."""
        result = subprocess.run(["chroot", ROOT, "env", "-C", folder, WINE, program], env=self.program_env(folder),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                timeout=60)
        return result.stdout.decode("ascii", "replace")

    def find_window(self, title, desktop=False):
        answer = self.probe("find", title, desktop=desktop)
        if not answer.startswith("found"):
            return None
        _, style, exstyle, visible, pid = answer.split()
        return int(style, 16), int(exstyle, 16), visible == "1", int(pid)

    def pages(self, folder):
        """The addresses that reached the recording browser, in order."""
        prefix = b'"' + windows_path(self.browser).encode() + b'" '
        return [e["command"][len(prefix):].decode("cp950") for e in Recording(inside(folder + "/record.log")).entries()
                if e["command"].startswith(prefix)]

    def browser_starts(self, folder):
        return [e for e in Recording(inside(folder + "/record.log")).entries() if e["program"].endswith("browser.exe")]

    def screen(self):
        raw = subprocess.run(["import", "-display", self.display, "-window", "root", "-depth", "8", "rgb:-"],
                             check=True, capture_output=True).stdout
        return Screen(raw, 1024)

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root", path], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def notification_area_shot(self, path):
        """The virtual desktop's notification area, three times its size."""
        screen = subprocess.run(["import", "-display", self.display, "-window", "root", "png:-"], check=True,
                                capture_output=True).stdout
        subprocess.run(["convert", "png:-", "-crop", "200x30+824+738", "+repage", "-scale", "300%", path], input=screen,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def linux_pids(self, name):
        """Processes of this run (its prefix) whose command line holds `name`."""
        return wine_env.prefix_pids(self.env["WINEPREFIX"], name)

    def close(self):
        if self.closed:
            return
        self.closed = True
        for process in self.processes:
            if process.poll() is None:
                process.kill()
        for card in self.cards:
            if card.process.poll() is None:
                card.process.kill()
        if hasattr(self, "env"):
            subprocess.run(["chroot", ROOT, WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        if self.pcscd is not None and self.pcscd.poll() is None:
            self.pcscd.kill()
            self.pcscd.wait()
        # Anything else still running inside the root (a Wine process that outlived its parent).
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/root" % entry) == ROOT:
                        os.kill(int(entry), signal.SIGKILL)
                except OSError:
                    pass
        if hasattr(self, "xvfb"):
            self.xvfb.kill()
            self.xvfb.wait()
        for path in reversed(self.mounts):
            subprocess.run(["umount", "-l", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.mounts = []
        for sig, handler in self._previous_handlers.items():
            signal.signal(sig, handler)


_chain = None


def chain():
    global _chain
    if _chain is None:
        _chain = RealChain()
    return _chain


def close_chain():
    global _chain
    if _chain is not None:
        _chain.close()
        _chain = None
