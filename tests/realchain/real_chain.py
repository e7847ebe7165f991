"""The real card chain for a whole test run: Wine 10 in the Debian trixie root (scripts/
debian_root.sh trixie builds it), pcscd with the vpcd virtual readers inside it, our PC/SC SC.dll (the
shipped i686 one where the kernel runs 32-bit code, see wine_env), and virtual cards that connect
to vpcd from outside the root (it shares the machine's network). One Xvfb on the machine, its
socket bound into the root; one Wine prefix and one persistent wineserver inside the root.

A run keeps to itself, so that it can run beside another run or on a workstation with its own
card service: its folder and Wine prefix in the root carry its process number, its mounts are
made in a mount namespace of its own (pcscd's socket folder among them), its reader configuration
lies in its folder, its vpcd listens on ports nobody else holds, and it ends only the processes it
started. close() undoes everything; it also runs at SIGTERM and at exit."""
import atexit
import contextlib
import fcntl
import glob
import os
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import wine_env  # noqa: E402
from wine_env import Recording, Screen, hex_of, wait_until  # noqa: E402,F401

ROOT = os.environ.get("KREV_TRIXIE_ROOT", "/var/cache/krev/trixie-root")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
# Inside the root. The process number alone is not unique: a run in a PID namespace of its own
# (32-bit code by emulation) may have the number of another run.
RUN = "/krev-run-%d-%s" % (os.getpid(), secrets.token_hex(4))
VIRTUAL_CARD = os.path.join(wine_env.ROOT, "build", "native", "virtual_card")
# What Debian's Wine 10 hands pcsc-lite, mended (tests/realchain/pcsc_shim.c says what): the 32-bit
# Wine reaches it only through its shim; both shims give the card library's states back to
# pcsc-lite as Windows' service is given them, unless a program is started with
# KREV_PCSC_GIVE_STATES_BACK=0 (plain Wine).
PCSC_SHIMS = {"i386-linux-gnu": os.path.join(wine_env.ROOT, "build", "native", "libkrev_pcsc32.so"),
              "x86_64-linux-gnu": os.path.join(wine_env.ROOT, "build", "native", "libkrev_pcsc64.so")}
PCSC_SHIM_NAME = "libkrev_pcsc.so"
VPCD_FIRST_PORT = 35963  # vpcd's own default; a run moves up when another holds it
MOST_READERS = 16
VPCD_DRIVER = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"
PCSCD_SOCKET = "/run/pcscd/pcscd.comm"  # fixed in pcscd; its clients follow it
DESKTOP = "shell"  # the Wine virtual desktop of the tests that need a taskbar
DESKTOP_HOLDER = "Vyx test desktop holder"


def inside(path):
    """The host's path of a path inside the root."""
    return ROOT + path


def windows_path(path_in_root):
    return "Z:" + path_in_root.replace("/", "\\")


def friendly_name(entry):
    return "Virtual PCD" if entry == 0 else "Virtual PCD %c" % chr(ord("A") + entry)


def reader_name(index):
    """The name of the reader on the run's index-th vpcd port (two readers a driver entry)."""
    return "%s 00 %02d" % (friendly_name(index // 2), index % 2)


def is_card_red(pixel):
    r, g, b = pixel
    return r > 150 and g < 90 and b < 90


def is_card_grey(pixel):
    r, g, b = pixel
    return 100 <= r <= 190 and abs(r - g) < 6 and abs(g - b) < 6


# Where a virtual desktop shows notification icons: its taskbar's notification area, or, when Wine's
# explorer comes up without the taskbar now and then, its stand-alone tray window at the top left.
NOTIFICATION_AREAS = ((range(824, 1024), range(738, 768)), (range(0, 200), range(0, 64)))


def tray_icon(screen, matches):
    """The centre of the card's pixels in a virtual desktop's notification area (the first of them
    that shows it), or None."""
    for xs, ys in NOTIFICATION_AREAS:
        spots = [(x, y) for y in ys for x in xs if matches(screen[y][x])]
        if len(spots) >= 10:
            return (sum(x for x, _ in spots) // len(spots), sum(y for _, y in spots) // len(spots))
    return None


def icon_near(screen, matches, spot, reach=12):
    """Whether the card's pixels (ten at least) lie within `reach` pixels of `spot`: the icon of one
    notification area, whatever another shows (Wine's stand-alone tray of the default desktop
    may still show the icon of a Krev that ran there)."""
    x0, y0 = spot
    return sum(1 for y in range(max(0, y0 - reach), min(768, y0 + reach))
               for x in range(max(0, x0 - reach), min(1024, x0 + reach)) if matches(screen[y][x])) >= 10


def only_grey(screen):
    """Whether the tray shows the grey card and no red one, on one screenshot (two would take
    twice as long, and the grey phase lasts only ten ticks)."""
    return tray_icon(screen, is_card_grey) and not tray_icon(screen, is_card_red)


def ports_free(first, count):
    """Whether no one listens on, or holds, the TCP ports first .. first + count - 1."""
    for port in range(first, first + count):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                probe.bind(("", port))
            except OSError:
                return False
    return True


def hold_ports(first, count):
    """Sockets listening on the ports: while they are open another run sees the ports as taken
    (ports_free), and vpcd can have them back the moment they are closed. Address reuse lets them
    bind over connections of vpcd's that are still closing."""
    held = []
    try:
        for port in range(first, first + count):
            placeholder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            held.append(placeholder)
            placeholder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            placeholder.bind(("", port))
            placeholder.listen(1)
    except OSError:
        for placeholder in held:
            placeholder.close()
        raise
    return held


@contextlib.contextmanager
def runs_in_root_waiting():
    """Other runs in the root wait meanwhile: a lock on the root folder itself, so that no lock
    file is ever left behind, and a run killed holding it releases it."""
    folder = os.open(ROOT, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(folder, fcntl.LOCK_EX)
        yield
    finally:
        os.close(folder)


def socket_answers(path):
    """Whether a process listens on the Unix socket `path`."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
        try:
            probe.connect(path)
            return True
        except OSError:
            return False


class VirtualCard:
    """A card in the vpcd reader on `port` while the process runs; out once its input closes."""

    def __init__(self, index, port):
        self.index = index
        self.process = subprocess.Popen([VIRTUAL_CARD, str(port)], stdin=subprocess.PIPE,
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
            raise RuntimeError("no Wine 10 root at %s: run scripts/debian_root.sh trixie" % ROOT)
        self.mounts = []
        self.processes = []
        self.cards = []
        self.pcscd = None
        self.held_ports = []
        self.desktop_holder = None
        self.xvfb = None
        self.closed = False
        self._previous_handlers = {sig: signal.signal(sig, self._interrupted) for sig in (signal.SIGTERM,)}
        atexit.register(self.close)
        try:
            self.own_namespace = wine_env.enter_own_mount_namespace()
            self._mount("proc", "-t", "proc", "proc")
            # With what is mounted below it: in a user namespace (32-bit code by emulation) a bind
            # that would leave those out is refused.
            self._mount("dev", "--rbind", "/dev")
            if self.own_namespace:
                # The card service's socket folder is the run's own: another run's pcscd in the
                # same root keeps its socket, and neither run's programs reach the other's readers.
                self._mount("run/pcscd", "-t", "tmpfs", "-o", "mode=0755", "tmpfs")
            with runs_in_root_waiting():
                self._remove_stale_run_folders()
                os.makedirs(inside(RUN))
                # Held until this process ends, however it ends: the folder's run is alive.
                self.run_folder_hold = os.open(inside(RUN), os.O_RDONLY | os.O_DIRECTORY)
                fcntl.flock(self.run_folder_hold, fcntl.LOCK_EX)
            self.readers_config = RUN + "/reader.conf.d"  # pcscd's, for this run's vpcd readers
            os.makedirs(inside(self.readers_config))
            os.makedirs(inside(RUN + "/drivers"))
            self.xvfb, self.display = wine_env.start_xvfb(range(150, 200))
            os.makedirs(inside("/tmp/.X11-unix"), exist_ok=True)
            self._mount("tmp/.X11-unix", "--bind", "/tmp/.X11-unix")
            # Wine's own diagnoses (a window without a display driver, a desktop that could not be
            # made) stay in the programs' output: a window that never appears is then explained.
            self.env = dict(os.environ, WINEPREFIX=RUN + "/prefix", WINEDEBUG="-all,err+winediag",
                            WINEDLLOVERRIDES="mscoree,mshtml=", LANG="zh_TW.UTF-8", LC_ALL="zh_TW.UTF-8",
                            DISPLAY=self.display, HOME="/root", PATH="/usr/sbin:/usr/bin:/sbin:/bin")
            self.env.pop("LANGUAGE", None)
            # Debian's Wine 10 aborts (free(): invalid pointer) when $TMPDIR is set; its wineserver
            # folder then lies in the root's /tmp, removed at the end.
            self.env.pop("TMPDIR", None)
            self._install_pcsc_shims()
            # The block is held from its choice on: another run choosing at the same time, or while
            # this run's pcscd is stopped, takes the next one.
            with runs_in_root_waiting():
                self.first_port = next((port for port in range(VPCD_FIRST_PORT, VPCD_FIRST_PORT + 2000,
                                                               MOST_READERS) if ports_free(port, MOST_READERS)), None)
                if self.first_port is None:
                    raise RuntimeError("no free block of TCP ports for vpcd")
                self.held_ports = hold_ports(self.first_port, MOST_READERS)
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
            # The default browser: the program for https (Farrow asks for it first) and for .htm.
            browser_command = '"%s" "%%1"' % windows_path(self.browser)
            self._quiet([WINE, "reg", "add", "HKCR\\.htm", "/ve", "/d", "krevtesthtml", "/f"])
            for key in ("HKCR\\krevtesthtml\\shell\\open\\command", "HKCR\\https\\shell\\open\\command"):
                self._quiet([WINE, "reg", "add", key, "/ve", "/d", browser_command, "/f"])
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
    def _remove_stale_run_folders():
        """Run folders in the root whose run has ended without removing its own (it was killed):
        no process holds their lock any more. Process numbers would not tell, across namespaces."""
        for folder in glob.glob(inside("/krev-run-*")):
            try:
                held = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
            except OSError:
                continue
            try:
                fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                continue  # a live run's
            finally:
                os.close(held)
            shutil.rmtree(folder, ignore_errors=True)

    def _install_pcsc_shims(self):
        """Preloads the shims into the Wine processes: ld.so's $LIB names the 32-bit folder in a
        32-bit process and the 64-bit one in a 64-bit process, each holding its own build."""
        for folder, shim in PCSC_SHIMS.items():
            if not os.path.exists(shim):
                if folder == "x86_64-linux-gnu" or wine_env.SHIPPED:
                    raise RuntimeError("no %s: build the native tree%s" % (
                        shim, " with gcc-i686-linux-gnu installed" if folder.startswith("i386") else ""))
                continue
            os.makedirs(inside(RUN + "/shim/lib/" + folder))
            shutil.copy(shim, inside(RUN + "/shim/lib/" + folder + "/" + PCSC_SHIM_NAME))
        self.env["LD_PRELOAD"] = RUN + "/shim/$LIB/" + PCSC_SHIM_NAME
        self.env["KREV_PCSC_GIVE_STATES_BACK"] = "1"

    def _quiet(self, command, cwd=RUN, timeout=60):
        with open(inside(RUN + "/wine-output.log"), "ab") as out:
            return subprocess.run(["chroot", ROOT, "env", "-C", cwd] + command, env=self.env,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=out, timeout=timeout).returncode

    # pcscd and vpcd.

    def configure_readers(self, readers, names=friendly_name):
        """vpcd with `readers` readers (two a driver entry, named by names(entry)), served by a
        fresh pcscd."""
        self.stop_pcscd()
        with open(inside(self.readers_config + "/vpcd"), "w", encoding="utf-8") as config:
            for entry in range((readers + 1) // 2):
                port = self.first_port + 2 * entry
                # One copy of the driver an entry: the driver keeps one set of ports per copy loaded.
                driver = VPCD_DRIVER if entry == 0 else RUN + "/drivers/libifdvpcd-%d.so" % entry
                if not os.path.exists(inside(driver)):
                    shutil.copy(inside(VPCD_DRIVER), inside(driver))
                # pcscd gives the readers of entries with one friendly name the same names here.
                config.write('FRIENDLYNAME "%s"\nDEVICENAME /dev/null:0x%X\nLIBPATH %s\nCHANNELID 0x%X\n\n'
                             % (names(entry), port, driver, port))
        self.start_pcscd()

    def start_pcscd(self, cards=()):
        """pcscd with the run's readers; `cards` (reader indexes) are put in as soon as vpcd listens,
        as a reader plugged in holding its card."""
        self._still_open()
        if self.pcscd is not None:
            return
        socket_path = inside(PCSCD_SOCKET)
        if os.path.exists(socket_path):
            if not self.own_namespace and socket_answers(socket_path):
                raise RuntimeError("another run's pcscd serves the root (%s), and this run has no mount namespace "
                                   "of its own to keep apart from it" % PCSCD_SOCKET)
            os.unlink(socket_path)  # left by this run's pcscd, killed
        # The run's ports pass from the placeholders to vpcd while no other run chooses.
        with runs_in_root_waiting():
            self._release_ports()
            self.pcscd = subprocess.Popen(["chroot", ROOT, "/usr/sbin/pcscd", "--foreground", "--disable-polkit",
                                           "--config", self.readers_config], stdin=subprocess.DEVNULL,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if not wait_until(lambda: os.path.exists(socket_path) and not ports_free(self.first_port, 1),
                              timeout=15):
                raise RuntimeError("pcscd did not start in the root, or vpcd did not listen on port %d"
                                   % self.first_port)
        for reader in cards:
            self.insert(reader)
        time.sleep(0.5)  # the readers are announced

    def stop_pcscd(self, keep_cards=False):
        """pcscd ends; with `keep_cards`, the cards are still in their readers as it does (their
        connections end with vpcd), as when the card service stops under them."""
        if not keep_cards:
            for card in self.cards:
                card.remove()
            self.cards = []
        if self.pcscd is not None:
            with runs_in_root_waiting():
                self.pcscd.terminate()
                try:
                    self.pcscd.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.pcscd.kill()
                    self.pcscd.wait()
                self.pcscd = None
                if not self.closed:
                    self.held_ports = hold_ports(self.first_port, MOST_READERS)

    def _still_open(self):
        """After close() (a signal, in the middle of a test) nothing more starts: a pcscd or a
        wineserver started then would outlive the run."""
        if self.closed:
            raise RuntimeError("the run's card chain is closed")

    def _release_ports(self):
        for placeholder in self.held_ports:
            placeholder.close()
        self.held_ports = []

    def insert(self, reader=0):
        self._still_open()
        card = VirtualCard(reader, self.first_port + reader)
        self.cards.append(card)
        return card

    # Programs under Wine 10.

    def run_folder(self, name, programs=("Krev.exe", "Farrow.exe", "SC.dll"), registered=False,
                   published="003.002.000.001"):
        """A fresh folder inside the root with the named programs of wine_env.DIST (our PC/SC SC.dll),
        DefaultCheck.htm, and a stand-in Pellit.dll that publishes `published`."""
        folder = RUN + "/" + name
        os.makedirs(inside(folder + "/" + wine_env.KREV_FOLDER))
        for program in programs:
            shutil.copy(os.path.join(wine_env.DIST, program), wine_env.run_folder_program(inside(folder), program))
        shutil.copy(os.path.join(wine_env.HELPERS, "fake_pellit.exe"), inside(folder + "/Pellit.dll"))
        with open(inside(folder + "/published.htm"), "w") as page:
            page.write("<p>VersionCheck000=%s</p>\r\n" % published)
        with open(inside(folder + "/DefaultCheck.htm"), "w") as page:
            page.write("<html><body>Default browser check</body></html>\n")
        if registered:
            with open(inside(folder + "/Reader.ini"), "wb") as settings:
                settings.write(b"[Register]\r\nCheck=OK\r\n")
        return folder

    def program_env(self, folder, **extra):
        return dict(self.env, RECORD_LOG=windows_path(folder + "/record.log"),
                    PELLIT_SOURCE=windows_path(folder + "/published.htm"), **extra)

    def start(self, program, folder, desktop=False, args=(), **extra):
        self._still_open()
        if desktop:
            self._hold_desktop()
        out = open(inside(folder + "/" + os.path.basename(program) + ".out"), "ab")
        if os.path.exists(wine_env.run_folder_program(inside(folder), program)):
            program = windows_path(wine_env.run_folder_program(folder, program))
        command = ([WINE, "explorer", "/desktop=%s,1024x768" % DESKTOP, program] if desktop else [WINE, program]) + \
            list(args)
        process = subprocess.Popen(["chroot", ROOT, "env", "-C", folder] + command, env=self.program_env(folder, **extra),
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        self.processes.append(process)
        return process

    def probe(self, verb, text, *args, folder=RUN, desktop=False):
        self._still_open()
        env = self.program_env(folder)
        if desktop:
            env["PROBE_DESKTOP"] = DESKTOP
        result = subprocess.run(["chroot", ROOT, "env", "-C", folder, WINE, self.helpers + "/winprobe.exe", verb,
                                 hex_of(text)] + [str(a) for a in args], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60)
        return result.stdout.decode("cp950", "replace").strip()

    def _hold_desktop(self):
        """Wine closes a virtual desktop a second after only its explorer is left in it, and the
        explorer (the taskbar, the notification area) ends with it: a program that takes longer
        than that to start finds its desktop gone. A hidden window of the run keeps the desktop
        open from before the first program until the run ends."""
        if self.desktop_holder is not None and self.desktop_holder.poll() is None and self._desktop_explorer_runs():
            return
        for _ in range(3):  # the holder meets the same race; once it is in, nothing closes the desktop
            self.kill("hold-hidden")
            self.desktop_holder = subprocess.Popen(
                ["chroot", ROOT, "env", "-C", RUN, WINE, "explorer", "/desktop=%s,1024x768" % DESKTOP,
                 self.helpers + "/winprobe.exe", "hold-hidden", hex_of(DESKTOP_HOLDER),
                 windows_path(RUN + "/desktop-holder.stop")], env=self.env, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.processes.append(self.desktop_holder)
            if wait_until(lambda: self.find_window(DESKTOP_HOLDER, desktop=True), timeout=30):
                time.sleep(1.5)  # past the close a desktop may have had pending
                if self._desktop_explorer_runs():
                    return
        raise RuntimeError("Wine's virtual desktop %r did not stay open" % DESKTOP)

    def _desktop_explorer_runs(self):
        for pid in self.linux_pids("/desktop=" + DESKTOP):
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
                    words = cmdline.read().split(b"\0")
            except OSError:
                continue
            if len(words) > 1 and words[0].lower().endswith(b"\\explorer.exe") and words[1].startswith(b"/desktop="):
                return True
        return False

    def idle_krev(self, folder, seconds, **extra):
        """Krev started in `folder` (its SC.dll beside it) and left idle for `seconds` once it has
        settled: the names of the calls into the card service meanwhile, as the shim counts them,
        and the share of one core that Krev used. Krev has ended when this returns."""
        calls_log = folder + "/card-service-calls.log"
        krev = self.start("Krev.exe", folder, KREV_PCSC_CALL_LOG=calls_log, **extra)
        try:
            if not wait_until(lambda: self.find_window("About Vyx"), timeout=60):
                raise RuntimeError("Krev did not start\n" + self.state_report(folder, "Krev.exe", krev, "About Vyx"))
            time.sleep(3.0)
            pids = self.linux_pids("Krev.exe")
            read_calls = lambda: open(inside(calls_log)).read().splitlines() if os.path.exists(inside(calls_log)) else []
            first, cpu_before = len(read_calls()), wine_env.cpu_seconds(pids)
            time.sleep(seconds)
            calls, cpu_used = read_calls()[first:], wine_env.cpu_seconds(pids) - cpu_before
        finally:
            self.probe("post", "About Vyx", 0x111, 57665, 0)
            try:
                krev.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.kill("Krev.exe")
        return calls, 100.0 * cpu_used / seconds

    def run(self, program, folder):
        """Runs a program in `folder` to its end; returns what it printed."""
        self._still_open()
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

    def state_report(self, folder, program, process, title, desktop=False):
        """What is known of a program that did not do what a test waited for (show its window, end,
        show its icon): for the failing test's message."""
        lines = ["the process started %s" % ("still runs" if process.poll() is None
                                             else "ended with %s" % process.returncode),
                 "the probe for %r answers: %s" % (title, self.probe("find", title, desktop=desktop))]
        if desktop:
            lines.append("and in the default desktop: %s" % self.probe("find", title))
        for pid in self.linux_pids(""):
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
                    lines.append("running: %s" % cmdline.read().replace(b"\0", b" ").decode("utf-8", "replace"))
            except OSError:
                continue
        try:
            with open(inside(folder + "/" + os.path.basename(program) + ".out"), "rb") as out:
                lines.append("its output: " + out.read()[-2000:].decode("utf-8", "replace"))
        except OSError:
            lines.append("no output file")
        return "\n".join(lines)

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

    def describe(self):
        """What this run proves with: the programs, the Wine and the card service, in words."""
        wine = subprocess.run(["chroot", ROOT, WINE, "--version"], env=self.env, capture_output=True,
                              text=True).stdout.strip()
        pcscd = subprocess.run(["chroot", ROOT, "/usr/sbin/pcscd", "--version"], capture_output=True,
                               text=True).stdout.splitlines()
        service = pcscd[0].strip() if pcscd else "pcsc-lite"
        return ["Programs: %s." % wine_env.PROGRAMS_RUN,
                "Wine: %s (Debian trixie, in %s), a 64-bit prefix%s." % (
                    wine, ROOT, " that starts the 32-bit programs itself, as 64-bit Windows does"
                    if wine_env.SHIPPED else ""),
                "Card service: %s (pcscd) with vpcd's virtual readers on TCP ports %d and up, reached through "
                "Wine's winscard and the test shim (tests/realchain/pcsc_shim.c: %sthe card library's states "
                "given back to pcsc-lite as Windows' service is given them)." % (
                    service, self.first_port, "the argument sizes of Debian's 32-bit Wine mended, "
                    if wine_env.SHIPPED else "")]

    def window_bits(self, title, desktop=False):
        """The word size (32 or 64) of the process that shows the window `title`, as Windows tells
        it (its WoW64 state): under emulation the Linux process is the emulator, which tells
        nothing. None when no such window answers."""
        answer = self.probe("bits", title, desktop=desktop)
        return int(answer) if answer in ("32", "64") else None

    def kill(self, name):
        """Ends the run's processes whose command line holds `name`, and waits until they have."""
        for pid in self.linux_pids(name):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        wait_until(lambda: not self.linux_pids(name), timeout=10)

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
        self._release_ports()
        # Anything of this run still running in the root (a Wine process that outlived its parent):
        # another run's processes carry another prefix.
        if hasattr(self, "env"):
            for pid in wine_env.prefix_pids(self.env["WINEPREFIX"], ""):
                try:
                    if os.readlink("/proc/%d/root" % pid) == ROOT:
                        os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            wine_env.remove_server_folder(inside(self.env["WINEPREFIX"]), inside("/tmp"))
        wine_env.stop_xvfb(self.xvfb)
        for path in reversed(self.mounts):
            subprocess.run(["umount", "-l", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.mounts = []
        shutil.rmtree(inside(RUN), ignore_errors=True)
        if getattr(self, "run_folder_hold", None) is not None:
            os.close(self.run_folder_hold)
            self.run_folder_hold = None
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
