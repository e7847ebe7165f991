#!/usr/bin/env python3
"""Has clang compile every C++ source of the given build trees as the trees' own compiler does,
with the same defines and warnings, to the standard that the project declares and without
warnings: GCC accepts some code that C++17 forbids (a structured binding captured by a lambda),
and the Windows sources are read with MinGW's own headers. Only the code is checked, nothing is
written. Usage: standard_check.py TREE... (a tree is a folder with compile_commands.json); a tree
that is not there is skipped, with the reason in REASON_FILE when --reason-file names one."""
import argparse
import concurrent.futures
import functools
import json
import os
import re
import shlex
import shutil
import subprocess
import sys

SKIPPED = 77  # ctest's SKIP_RETURN_CODE for this test

# What GCC alone knows, or what writes a file.
GCC_ONLY = {"-fexec-charset=CP950"}
WITH_VALUE = {"-o", "-MF", "-MT", "-MQ"}
ALONE = {"-c", "-MD", "-MMD"}


@functools.lru_cache(maxsize=None)
def gcc_search_folders(gcc):
    """The folders that a cross g++ reads its C++ and C headers from, in its order."""
    probe = subprocess.run([gcc, "-xc++", "-E", "-v", "-"], input="", capture_output=True, text=True)
    listed = re.search(r"#include <\.\.\.> search starts here:\n(.*?)End of search list", probe.stderr, re.S)
    if probe.returncode != 0 or listed is None:
        raise SystemExit("%s does not say where its headers are:\n%s" % (gcc, probe.stderr))
    return [line.strip() for line in listed.group(1).splitlines() if line.strip()]


def clang_command(words):
    compiler, rest = os.path.basename(words[0]), words[1:]
    command = ["clang++"]
    triple = re.match(r"(.+-w64-mingw32)-g\+\+$", compiler)
    if triple:
        command.append("--target=" + triple.group(1))
        command += ["-nostdinc++", "-nostdlibinc"]
        for folder in gcc_search_folders(words[0]):
            # clang brings its own intrinsics headers; GCC's would not be understood.
            if not re.search(r"/lib/gcc/[^/]+/[^/]+/include(-fixed)?$", folder):
                command += ["-isystem", folder]
    elif compiler not in ("c++", "g++") and not compiler.endswith("-g++"):
        return None
    skip = False
    for word in rest:
        if skip:
            skip = False
        elif word in WITH_VALUE:
            skip = True
        elif word not in ALONE and word not in GCC_ONLY:
            command.append(word)
    return command + ["-fsyntax-only", "-pedantic-errors", "-Werror"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("trees", nargs="+")
    parser.add_argument("--reason-file")
    arguments = parser.parse_args()
    if shutil.which("clang++") is None:
        print("clang++ is not installed (scripts/setup.sh installs it)")
        return 1
    checks, missing = {}, []
    for tree in arguments.trees:
        listing = os.path.join(tree, "compile_commands.json")
        if not os.path.exists(listing):
            missing.append(tree)
            continue
        for entry in json.load(open(listing)):
            if not entry["file"].endswith(".cpp"):
                continue
            command = clang_command(shlex.split(entry["command"]))
            if command is None:
                print("%s: not compiled by g++, left out" % entry["file"])
                continue
            # One source in several targets of a tree is checked once for each set of flags.
            checks.setdefault((entry["file"], tuple(command)), entry["directory"])
    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        runs = {pool.submit(subprocess.run, list(command) + [source], cwd=folder, capture_output=True, text=True):
                source for (source, command), folder in checks.items()}
        for run in concurrent.futures.as_completed(runs):
            result = run.result()
            if result.returncode != 0:
                failed += 1
                print("clang refuses %s:\n%s" % (runs[run], result.stderr))
    sources = len({source for source, _ in checks})
    print("clang: %d of %d compilations of %d sources are standard C++ without warnings"
          % (len(checks) - failed, len(checks), sources))
    if failed:
        return 1
    if missing:
        reason = "no build tree at %s" % ", ".join(missing)
        print("skipped in part: " + reason)
        if arguments.reason_file:
            with open(arguments.reason_file, "w") as note:
                note.write(reason + "\n")
        return SKIPPED
    if arguments.reason_file and os.path.exists(arguments.reason_file):
        os.remove(arguments.reason_file)
    return 0


if __name__ == "__main__":
    sys.exit(main())
