#!/usr/bin/env python3
"""Builds the Windows Installer package from installer/krev.wxs with wixl, then adds with msibuild
what wixl cannot author:
- the rows of installer/tables/*.idt, Windows Installer's own table files: each is imported, or,
  for a table that wixl wrote, its rows are added to wixl's (a row with the same key takes the
  place of wixl's). They hold the two custom actions that run programs from the Binary table
  without impersonation and their places in the script (the closer first, then InstallExecute,
  so that a Krev that does not end stops the install before any file is written, on every
  engine; the earlier version's removal after InstallExecuteAgain, inside the transaction: wixl
  knows no MajorUpgrade Schedule; the take-over of the earlier layouts last), the program
  folder's rights, the searches for files of our names and for an earlier installer's upgrade
  that waits for the restart, what goes with the package beyond its files, and the properties
  that a user may set for the elevated part of a run (no folder among them);
- the File table's Version and Language from each program's version resource (wixl leaves them
  empty, and Windows Installer would then treat our programs as unversioned files), and no
  MsiFileHash row for them (that table is for unversioned files);
- code page 950 for the database's texts and Chinese (Taiwan) in its summary.
Usage: make_msi.py --arch x86|x64 --version A.B.C.D --programs DIR --picture ICO --default-check HTM
                   --web-address URL --work DIR --output MSI"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(os.path.dirname(HERE), "installer", "krev.wxs")
# One for every version of the shipped package; the x86_64 twin, a stand-in for the Wine tests
# where no 32-bit code runs, is a product of its own.
UPGRADE_CODES = {"x86": "10803C06-0245-4D72-96C1-9FBD19F7739C", "x64": "F02A3CE1-3F5A-4489-92AF-4CC28802B674"}
PROGRAMS = ["Krev.exe", "Farrow.exe", "PortalLaunch.exe", "SC.dll", "Pellit.dll", "Go.dll", "CloseKREV.exe",
            "SetupKREV.exe"]
TABLES = os.path.join(os.path.dirname(SOURCE), "tables")


def package_version(version):
    """Windows Installer compares the first three fields of ProductVersion only: 3.2.0.1 and
    3.2.0.2 would count as one version, and the later would install beside the earlier. The
    build's fourth field joins its third (A.B.C.D -> A.B.(C*256+D)), so that every build version
    is a package version of its own, in the same order."""
    fields = [int(field) for field in version.split(".")]
    if len(fields) != 4 or any(not 0 <= field <= 255 for field in fields):
        raise SystemExit("KREV_VERSION is four numbers from 0 to 255, not '%s'" % version)
    return "%d.%d.%d" % (fields[0], fields[1], fields[2] * 256 + fields[3])


def product_code(arch, version):
    """A new ProductCode for each version, the same one whenever that version is built again."""
    return str(uuid.uuid5(uuid.UUID(UPGRADE_CODES[arch]), "Vyx " + version)).upper()


def version_resource(path):
    """(file version, language) of a program's version resource: the fixed part's numbers and
    the first language of its translation table."""
    with open(path, "rb") as program:
        data = program.read()
    key = "VS_VERSION_INFO".encode("utf-16-le") + b"\0\0"
    start = data.find(key)
    if start < 0:
        raise SystemExit("%s has no version resource" % path)
    fixed = (start + len(key) + 3) & ~3
    signature, _, most, least = struct.unpack_from("<4I", data, fixed)
    if signature != 0xFEEF04BD:
        raise SystemExit("%s: the version resource's fixed part is not where it belongs" % path)
    translation = data.find("Translation".encode("utf-16-le") + b"\0\0", fixed)
    if translation < 0:
        raise SystemExit("%s: the version resource names no language" % path)
    language, = struct.unpack_from("<H", data, (translation + 24 + 3) & ~3)
    return "%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF), language


def run(command, **kwargs):
    # wixl and msibuild convert the texts with the code page that this names (Chinese, Taiwan:
    # 950); without it they take the host's and fail on Chinese.
    environment = dict(os.environ, WINDOWS_LANGUAGE="zh_TW")
    result = subprocess.run(command, env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    if result.returncode != 0:
        sys.stderr.write(result.stdout.decode("utf-8", "replace"))
        raise SystemExit("%s failed (exit code %d)" % (command[0], result.returncode))
    return result.stdout.decode("utf-8", "replace")


def quoted(text):
    return "'" + text.replace("'", "''") + "'"


def idt(data):
    """(the three header lines, the rows) of a table file; each line a list of its fields."""
    lines = [line.split(b"\t") for line in data.replace(b"\r\n", b"\n").split(b"\n") if line]
    return lines[:3], lines[3:]


def add_tables(msi, work):
    """Each table file's rows into the package: a table that wixl did not write is imported as it
    stands; for one it wrote, its rows and the file's together, a file's row taking the place of
    wixl's row with the same key."""
    existing = set(run(["msiinfo", "tables", msi]).split())
    for name in sorted(os.listdir(TABLES)):
        table = name[:-len(".idt")]
        with open(os.path.join(TABLES, name), "rb") as added:
            header, rows = idt(added.read())
        if table in existing:
            exported, present = idt(subprocess.run(["msiinfo", "export", msi, table], check=True,
                                                   stdout=subprocess.PIPE).stdout)
            if exported[0] != header[0]:
                raise SystemExit("%s: its columns differ from the package's %s table" % (name, table))
            keys = [header[0].index(column) for column in header[2][1:]]
            replaced = {tuple(row[key] for key in keys) for row in rows}
            rows = [row for row in present if tuple(row[key] for key in keys) not in replaced] + rows
        with open(os.path.join(work, name), "wb") as merged:
            merged.write(b"".join(b"\t".join(line) + b"\r\n" for line in header + rows))
        run(["msibuild", msi, "-i", os.path.join(work, name)])


def fill_in_versions(msi, programs):
    queries = []
    for name in PROGRAMS:
        version, language = version_resource(os.path.join(programs, name))
        queries.append("UPDATE File SET Version=%s, Language=%s WHERE File=%s"
                       % (quoted(version), quoted(str(language)), quoted(name)))
        queries.append("DELETE FROM MsiFileHash WHERE File_=%s" % quoted(name))
    run(["msibuild", msi, "-q"] + queries)


def build(arguments):
    work = arguments.work
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    # wixl finds the files in its working folder.
    for name in PROGRAMS:
        os.symlink(os.path.join(arguments.programs, name), os.path.join(work, name))
    os.symlink(arguments.picture, os.path.join(work, "card_red.ico"))
    os.symlink(arguments.default_check, os.path.join(work, "DefaultCheck.htm"))
    version = arguments.version
    msi = os.path.join(work, "KrevSetup.msi")
    run(["wixl", "-a", arguments.arch, "-o", msi,
         "-D", "Arch=" + arguments.arch,
         "-D", "UpgradeCode=" + UPGRADE_CODES[arguments.arch],
         "-D", "ProductCode=" + product_code(arguments.arch, version),
         "-D", "ProductVersion=" + package_version(version),
         "-D", "VersionCommas=" + version.replace(".", ","),
         "-D", "WebAddress=" + arguments.web_address,
         SOURCE], cwd=work)
    with open(os.path.join(work, "_ForceCodepage.idt"), "wb") as codepage:
        codepage.write(b"\r\n\r\n950\t_ForceCodepage\r\n")
    run(["msibuild", msi, "-i", os.path.join(work, "_ForceCodepage.idt")])
    add_tables(msi, work)
    fill_in_versions(msi, arguments.programs)
    summary = run(["msiinfo", "suminfo", msi])
    revision = re.search(r"Revision number \(UUID\): (\S+)", summary).group(1)
    run(["msibuild", msi, "-s", "Vyx 讀卡機監控程式", "Quenby",
         ("Intel" if arguments.arch == "x86" else "x64") + ";1028", revision])
    os.replace(msi, arguments.output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for option in ("--arch", "--version", "--programs", "--picture", "--default-check", "--web-address", "--work",
                   "--output"):
        parser.add_argument(option, required=True)
    arguments = parser.parse_args()
    for name in ("programs", "picture", "default_check", "work", "output"):
        setattr(arguments, name, os.path.abspath(getattr(arguments, name)))
    if arguments.arch not in UPGRADE_CODES:
        raise SystemExit("--arch is x86 or x64")
    build(arguments)


if __name__ == "__main__":
    main()
