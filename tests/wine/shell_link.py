"""Reads what a Windows shortcut (.lnk, the Shell Link binary format) points at: the target's
path, the working directory and the arguments."""
import struct

HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH, HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON = (
    0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40)
IS_UNICODE = 0x80


def read(path):
    with open(path, "rb") as link:
        data = link.read()
    if len(data) < 0x4C or struct.unpack_from("<I", data, 0)[0] != 0x4C:
        raise ValueError("%s is not a shell link" % path)
    flags = struct.unpack_from("<I", data, 0x14)[0]
    at = 0x4C
    if flags & HAS_ID_LIST:
        at += 2 + struct.unpack_from("<H", data, at)[0]
    target = None
    if flags & HAS_LINK_INFO:
        size, header_size, info_flags, _, base_offset = struct.unpack_from("<IIIII", data, at)
        if info_flags & 1:  # VolumeIDAndLocalBasePath
            end = data.index(b"\0", at + base_offset)
            target = data[at + base_offset:end].decode("cp950")
        at += size
    strings = {}
    for flag, name in ((HAS_NAME, "name"), (HAS_RELATIVE_PATH, "relative_path"), (HAS_WORKING_DIR, "working_dir"),
                       (HAS_ARGUMENTS, "arguments"), (HAS_ICON, "icon")):
        if not flags & flag:
            continue
        count = struct.unpack_from("<H", data, at)[0]
        at += 2
        if flags & IS_UNICODE:
            # Some writers (Wine's) count the terminating zero too.
            strings[name] = data[at:at + 2 * count].decode("utf-16-le").rstrip("\0")
            at += 2 * count
        else:
            strings[name] = data[at:at + count].decode("cp950").rstrip("\0")
            at += count
    return {"target": target, "working_dir": strings.get("working_dir"), "arguments": strings.get("arguments", ""),
            "relative_path": strings.get("relative_path")}
