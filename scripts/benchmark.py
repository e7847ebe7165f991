#!/usr/bin/env python3
"""Figures for the card-to-browser path under Wine (run scripts/build.sh first):

  1. the time from the card library's change report (the scripted SC.dll logs it) to the start of
     Farrow.exe (a recorder stands in for it, so its start is timed exactly), over N insertions;
  2. the window guard with 50 windows of another program open: one pass of the lookup over all
     windows' titles against the walk of 130 FindWindowA calls it replaced, 200 runs each;
  3. the idle CPU of Krev plus wineserver over 30 s on that desktop, against a bare message loop
     with the same 500 ms timer;
     with --before REV, 2 and 3 also for Krev as built from an earlier commit, side by side in the
     same run (its Krev.exe and guard_walk.exe are built in build/before-REV, a git worktree);
  4. on the real chain (Wine 10 in the trixie root, our PC/SC SC.dll, pcscd, vpcd): the time from
     the moment a virtual card connects to vpcd to the start of Farrow.exe, over N insertions;
  5. on the real chain, the calls into the card service a second with Krev idle (two empty readers),
     counted where Wine hands them to pcsc-lite (tests/realchain/pcsc_shim.c), and Krev's share of a
     core against a bare 500 ms loop's: with the card library's states given back to pcsc-lite (as
     Windows' service is given them) and under plain Wine (every state asked as unaware); with
     --before REV also for Krev and SC.dll as built from REV, in the same run.

Usage: python3 scripts/benchmark.py [insertions, default 20] [--guard-only | --real-chain-only]
                                    [--krev PATH_TO_KREV_EXE] [--before REV]"""
import os
import shutil
import statistics
import subprocess
import sys
import time
import argparse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import wine_env  # noqa: E402
from wine_env import (Recording, cpu_seconds, prefix_pids, wait_until, windows_path,  # noqa: E402
                      write_card_script)


def insertion_latencies(wine, insertions):
    folder = wine.run_folder("bench", programs=("Krev.exe", "SC.dll"))
    shutil.copy(os.path.join(wine_env.HELPERS, "recorder.exe"), os.path.join(folder, "Farrow.exe"))
    shutil.copy(os.path.join(wine_env.HELPERS, "fake_pellit.exe"), os.path.join(folder, "Pellit.dll"))
    published = os.path.join(folder, "published.htm")
    with open(published, "w") as page:
        page.write("<p>VersionCheck000=003.002.000.001</p>\n")
    with open(os.path.join(folder, "Reader.ini"), "wb") as settings:
        settings.write(b"[Register]\r\nCheck=OK\r\n")
    sc_log = os.path.join(folder, "sc.log")
    write_card_script(folder, ["empty Reader"])
    krev = wine.start("Krev.exe", folder, PELLIT_SOURCE=windows_path(published), SC_LOG=windows_path(sc_log))
    wait_until(lambda: wine.find_window("About Vyx"))
    log = Recording(os.path.join(folder, "record.log"))
    latencies = []
    for insertion in range(insertions):
        farrow_starts = lambda: [e for e in log.entries() if e["program"].endswith("Farrow.exe")]
        before = len(farrow_starts())
        reports_before = len(open(sc_log).read().splitlines()) if os.path.exists(sc_log) else 0
        write_card_script(folder, ["present Reader"])
        if not wait_until(lambda: len(farrow_starts()) > before, timeout=30):
            raise RuntimeError("insertion %d opened nothing" % insertion)
        with open(sc_log) as reports:
            report = [line for line in reports.read().splitlines()[reports_before:] if line.split()[1] == "22"][0]
        latencies.append(farrow_starts()[-1]["at_ms"] - int(report.split()[0]))
        print("  insertion %2d: %4d ms" % (insertion + 1, latencies[-1]), flush=True)
        write_card_script(folder, ["empty Reader"])
        time.sleep(6.0)  # the grey icon's ten ticks run out before the next card
    wine.probe("send", "About Vyx", 0x111, 57665, 0)
    krev.wait(timeout=30)
    return latencies


def open_other_windows(wine, count=50):
    """Windows of another program, as on an ordinary desktop; returns the file that ends them."""
    folder = wine.run_folder("other-windows", programs=(), default_check=False)
    stop_file = os.path.join(folder, "stop")
    wine.start(os.path.join(wine.helpers, "winprobe.exe"), folder,
               args=["windows", wine_env.hex_of("guard ready"), windows_path(stop_file), str(count)])
    if not wait_until(lambda: wine.find_window("guard ready")):
        raise RuntimeError("the other program's windows did not open")
    return stop_file


def idle_cpu(wine, program, folder, seconds=30, after_start=None, **extra):
    """Percent of one core that the program and wineserver use over `seconds` once started."""
    process = wine.start(program, folder, **extra)
    if after_start:
        after_start()
    time.sleep(5.0)
    prefix = wine.env["WINEPREFIX"]
    pids = prefix_pids(prefix, os.path.basename(program)) + prefix_pids(prefix, "wineserver")
    before = cpu_seconds(pids)
    time.sleep(seconds)
    used = cpu_seconds(pids) - before
    return process, 100.0 * used / seconds


ID_AUTO_CONNECT = 32772  # the tray menu's command


def idle_figures(wine, krevs):
    """The idle CPU of a bare loop and of each (label, Krev.exe), one after the other."""
    bare_folder = wine.run_folder("bare", programs=(), default_check=False)
    shutil.copy(os.path.join(wine_env.HELPERS, "bare_loop.exe"), bare_folder)
    bare, bare_cpu = idle_cpu(wine, "bare_loop.exe", bare_folder)
    bare.kill()
    for pid in prefix_pids(wine.env["WINEPREFIX"], "bare_loop.exe"):
        os.kill(pid, 9)
    print("idle CPU over 30 s, with wineserver: bare 500 ms loop %.2f %% of a core" % bare_cpu, flush=True)
    # The last one again with auto-connect off: the timer stops and only the card poller is left.
    def auto_connect_off():
        wait_until(lambda: wine.find_window("About Vyx"))
        wine.probe("post", "About Vyx", 0x111, ID_AUTO_CONNECT, 0)

    runs = [(label, krev_exe, None) for label, krev_exe in krevs]
    runs.append((krevs[-1][0] + ", auto-connect off: the poller alone", krevs[-1][1], auto_connect_off))
    for label, krev_exe, after_start in runs:
        folder = wine.run_folder("idle-%d" % runs.index((label, krev_exe, after_start)), programs=("Farrow.exe", "SC.dll"))
        shutil.copy(krev_exe, wine_env.run_folder_program(folder, "Krev.exe"))
        write_card_script(folder, ["empty Reader"])
        krev, krev_cpu = idle_cpu(wine, "Krev.exe", folder, after_start=after_start)
        wine.probe("send", "About Vyx", 0x111, 57665, 0)
        krev.wait(timeout=30)
        print("idle CPU over 30 s, with wineserver: Krev (%s) %.2f %% of a core, %.1f times the bare loop"
              % (label, krev_cpu, krev_cpu / bare_cpu if bare_cpu else float("inf")), flush=True)


def guard_figures(wine, guard_walks):
    for label, guard_walk in guard_walks:
        guard = subprocess.run([wine_env.WINE, guard_walk], env=wine.env, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=300)
        print("(%s) %s" % (label, guard.stdout.decode().strip()), flush=True)


def build_before(revision):
    """Krev.exe, guard_walk.exe and SC.dll as built from `revision`, in a worktree of their own."""
    tree = os.path.join(wine_env.ROOT, "build", "before-" + revision)
    if not os.path.isdir(tree):
        subprocess.run(["git", "-C", wine_env.ROOT, "worktree", "add", "--detach", tree, revision], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    build = os.path.join(tree, "build", wine_env.ARCH)
    configure = ["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"]
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        configure.append("-DCMAKE_TOOLCHAIN_FILE=%s/cmake/%s-w64-mingw32.cmake" % (tree, wine_env.ARCH))
    with open(os.path.join(wine_env.ROOT, "build", "before.log"), "ab") as log:
        subprocess.run(configure, check=True, stdout=log, stderr=log)
        subprocess.run(["cmake", "--build", build, "--target", "Krev", "guard_walk", "SC"], check=True, stdout=log,
                       stderr=log)
    dist = os.path.join(tree, "dist", os.path.basename(wine_env.DIST))
    return os.path.join(dist, "Krev.exe"), os.path.join(build, "bin", "guard_walk.exe"), os.path.join(dist, "SC.dll")


def idle_card_calls(chain, real_chain, builds, seconds=20):
    """Calls into the card service a second by each (label, Krev.exe, SC.dll), idle with two empty
    readers, how they divide among the calls, and Krev's share of a core: with the states given
    back and under plain Wine; and a bare 500 ms loop's share beside them."""
    bare_folder = chain.run_folder("idle-bare", programs=())
    shutil.copy(os.path.join(wine_env.HELPERS, "bare_loop.exe"), real_chain.inside(bare_folder))
    bare = chain.start("bare_loop.exe", bare_folder)
    time.sleep(5.0)
    pids = chain.linux_pids("bare_loop.exe")
    before = cpu_seconds(pids)
    time.sleep(seconds)
    bare_cpu = 100.0 * (cpu_seconds(pids) - before) / seconds
    chain.kill("bare_loop.exe")
    bare.wait(timeout=30)
    print("real chain, idle over %d s: bare 500 ms loop %.2f %% of a core" % (seconds, bare_cpu), flush=True)
    for number, (label, krev_exe, sc_dll) in enumerate(builds):
        for mode, give_back in (("states given back", "1"), ("plain Wine", "0")):
            folder = chain.run_folder("idle-calls-%d-%s" % (number, give_back), programs=(), registered=True)
            shutil.copy(krev_exe, wine_env.run_folder_program(real_chain.inside(folder), "Krev.exe"))
            shutil.copy(sc_dll, wine_env.run_folder_program(real_chain.inside(folder), "SC.dll"))
            calls, krev_cpu = chain.idle_krev(folder, seconds, KREV_PCSC_GIVE_STATES_BACK=give_back)
            kinds = ", ".join("%s %.1f" % (name, calls.count(name) / seconds) for name in sorted(set(calls)))
            print("card service calls a second, Krev idle over %d s (%s, %s): %.2f (%s); Krev %.2f %% of a core, "
                  "%.1f times the bare loop" % (seconds, label, mode, len(calls) / seconds, kinds or "none", krev_cpu,
                                                krev_cpu / bare_cpu if bare_cpu else float("inf")), flush=True)


def real_chain_latencies(chain, real_chain, number, build, insertions):
    """Card connected to Farrow's start for one (label, Krev.exe, SC.dll), over `insertions`."""
    label, krev_exe, sc_dll = build
    folder = chain.run_folder("bench-%d" % number, programs=(), registered=True)
    shutil.copy(krev_exe, wine_env.run_folder_program(real_chain.inside(folder), "Krev.exe"))
    shutil.copy(sc_dll, wine_env.run_folder_program(real_chain.inside(folder), "SC.dll"))
    shutil.copy(os.path.join(wine_env.HELPERS, "recorder.exe"), real_chain.inside(folder + "/Farrow.exe"))
    krev = chain.start("Krev.exe", folder)
    wait_until(lambda: chain.find_window("About Vyx"), timeout=60)
    time.sleep(1.0)
    log = Recording(real_chain.inside(folder + "/record.log"))
    farrow_starts = lambda: [e for e in log.entries() if e["program"].endswith("Farrow.exe")]
    latencies = []
    for insertion in range(insertions):
        before = len(farrow_starts())
        card = chain.insert(insertion % 2)
        connected_ms = time.time() * 1000.0
        if not wait_until(lambda: len(farrow_starts()) > before, timeout=30):
            raise RuntimeError("insertion %d opened nothing" % insertion)
        latencies.append(farrow_starts()[-1]["at_ms"] - connected_ms)
        print("  insertion %2d (%s, %s): %4d ms" % (insertion + 1, label, real_chain.reader_name(insertion % 2),
                                                   latencies[-1]), flush=True)
        time.sleep(0.5)
        card.remove()
        chain.cards.remove(card)
        time.sleep(6.0)  # the grey icon's ten ticks run out before the next card
    chain.probe("post", "About Vyx", 0x111, 57665, 0)
    krev.wait(timeout=30)
    print("real chain (%s): card connected -> Farrow start: median %d ms, worst %d ms, best %d ms (n=%d)"
          % (label, statistics.median(latencies), max(latencies), min(latencies), len(latencies)), flush=True)


def real_chain_figures(insertions, builds):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "realchain"))
    import real_chain
    chain = real_chain.chain()
    try:
        idle_card_calls(chain, real_chain, builds)
        for number, build in enumerate(builds):
            real_chain_latencies(chain, real_chain, number, build, insertions)
    finally:
        real_chain.close_chain()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("insertions", nargs="?", type=int, default=20)
    parser.add_argument("--guard-only", action="store_true", help="only the window guard and the idle CPU")
    parser.add_argument("--real-chain-only", action="store_true", help="only the insertions on the real chain")
    parser.add_argument("--krev", default=os.path.join(wine_env.DIST, "Krev.exe"), help="the Krev.exe to measure")
    parser.add_argument("--before", metavar="REV", help="also measure the guard and idle Krev as built from REV")
    options = parser.parse_args()
    krevs = [("this build", options.krev)]
    guard_walks = [("this build", os.path.join(wine_env.HELPERS, "guard_walk.exe"))]
    card_libraries = [("this build", options.krev, os.path.join(wine_env.DIST, "SC.dll"))]
    if options.before:
        before_krev, before_guard_walk, before_sc = build_before(options.before)
        krevs.insert(0, ("before, " + options.before, before_krev))
        guard_walks.insert(0, ("before, " + options.before, before_guard_walk))
        card_libraries.insert(0, ("before, " + options.before, before_krev, before_sc))
    print("Programs measured: %s." % wine_env.PROGRAMS_RUN, flush=True)
    if not options.guard_only:
        print("Real chain, virtual card connected to Farrow's start, %d insertions:" % options.insertions, flush=True)
        real_chain_figures(options.insertions, card_libraries)
    if options.real_chain_only:
        return
    wine = wine_env.machine()
    try:
        if not options.guard_only:
            print("Change report to Farrow's start, %d insertions:" % options.insertions, flush=True)
            latencies = insertion_latencies(wine, options.insertions)
            print("change report -> Farrow start: median %d ms, worst %d ms, best %d ms (n=%d)"
                  % (statistics.median(latencies), max(latencies), min(latencies), len(latencies)))
        stop_other_windows = open_other_windows(wine)
        guard_figures(wine, guard_walks)
        idle_figures(wine, krevs)
        open(stop_other_windows, "w").close()
    finally:
        wine_env.close_machine()


if __name__ == "__main__":
    main()
