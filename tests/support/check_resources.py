#!/usr/bin/env python3
"""Checks the launcher's resources: icon group 1 with six 32-bit images
(256, 128, 64, 48, 32, 16), the version record, and no application manifest.

Usage: check_resources.py <exe> <version>
"""
import struct
import sys

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def fail(message):
    print(f"FAIL: {message}", file=sys.stderr)
    sys.exit(1)


def resources(pe):
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for entry in kind.directory.entries:
            for language in entry.directory.entries:
                data = language.data.struct
                found.setdefault(kind.id, {})[entry.id] = pe.get_data(data.OffsetToData, data.Size)
    return found


def main(path, version):
    pe = pefile.PE(path)
    found = resources(pe)
    if RT_MANIFEST in found:
        fail("the executable carries an application manifest")
    groups = found.get(RT_GROUP_ICON, {})
    if 1 not in groups:
        fail("no icon group with resource id 1")
    group = groups[1]
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    sizes = []
    for i in range(count):
        width, height, _, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        sizes.append((width or 256, height or 256, bits))
        if icon_id not in found.get(RT_ICON, {}):
            fail(f"icon image {icon_id} is missing")
    wanted = [(s, s, 32) for s in (256, 128, 64, 48, 32, 16)]
    if kind != 1 or sizes != wanted:
        fail(f"icon group holds {sizes}, wanted {wanted}")

    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    expected = {
        "FileVersion": version,
        "ProductVersion": version,
        "ProductName": "TESSIK",
        "FileDescription": "TESSIK Launcher",
        "InternalName": "TESSIK-Launcher-Windows-x64.exe",
        "OriginalFilename": "TESSIK-Launcher-Windows-x64.exe",
    }
    for key, value in expected.items():
        if strings.get(key) != value:
            fail(f"version record {key} is {strings.get(key)!r}, wanted {value!r}")
    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = [int(n) for n in version.split(".")] + [0]
    got = [fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
           fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF]
    if got != numbers:
        fail(f"fixed file version is {got}, wanted {numbers}")
    print("resources ok")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
