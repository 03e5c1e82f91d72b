#!/usr/bin/env python3
"""Checks the version information and the manifest of a Windows build.

  check_resources.py --version 1.0.0.210 --machine x86|x64 setuphdr.exe

Reads the .exe's resource directory itself (no Windows tools needed): the
version resource must give the version in its fixed part and as FileVersion
and ProductVersion, and name the file, the product and the copyright; the
manifest must run the tool as invoker, name the supported Windows versions
and leave the code page alone. The image must be built for the processor
named by --machine. Prints one line per check, then "N passed, N failed".
"""

import argparse
import re
import struct
import sys

MACHINES = {"x86": 0x14C, "x64": 0x8664}
RT_VERSION, RT_MANIFEST = 16, 24
COPYRIGHT = "Copyright (c) 2026 the setuphdr authors"
WINDOWS_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
WINDOWS_VISTA = "{e2011457-1546-43c5-a5fe-008deee3d3f0}"


def u16(data, at):
    return struct.unpack_from("<H", data, at)[0]


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def read_image(data):
    """(machine, resource bytes, resource RVA) of a PE image; no bytes when
    it has no resources."""
    pe = u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    machine, sections = u16(data, pe + 4), u16(data, pe + 6)
    optional = pe + 24
    magic = u16(data, optional)
    directories = optional + (96 if magic == 0x10B else 112)
    rva, size = struct.unpack_from("<II", data, directories + 2 * 8)
    if size == 0:
        return machine, b"", 0
    table = optional + u16(data, pe + 20)
    for n in range(sections):
        _, vaddr, raw_size, raw_at = struct.unpack_from("<IIII", data,
                                                        table + 40 * n + 8)
        if vaddr <= rva < vaddr + raw_size:
            start = raw_at + rva - vaddr
            return machine, data[start:start + size], rva
    raise ValueError("no section holds the resource directory")


def find_resource(rsrc, base, kind):
    """Bytes of the first resource of type kind (first name, language)."""
    at, wanted = 0, kind
    if not rsrc:
        return None
    for _ in range(3):  # type, name, language
        named, ids = u16(rsrc, at + 12), u16(rsrc, at + 14)
        entries = [struct.unpack_from("<II", rsrc, at + 16 + 8 * n)
                   for n in range(named + ids)]
        matches = [v for k, v in entries if wanted is None or k == wanted]
        if not matches:
            return None
        at, wanted = matches[0] & 0x7FFFFFFF, None
    rva, size = struct.unpack_from("<II", rsrc, at)
    return rsrc[rva - base:rva - base + size]


def version_node(data, at):
    """One node of a version resource: (key, value bytes, is text,
    children, end)."""
    length, value_length, is_text = struct.unpack_from("<HHH", data, at)
    end = at + length
    key_end = data.index(b"\0\0", at + 6)
    while (key_end - at) % 2:
        key_end = data.index(b"\0\0", key_end + 1)
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = (key_end + 2 + 3) & ~3
    value = data[value_at:value_at + value_length * (2 if is_text else 1)]
    children, child = [], (value_at + len(value) + 3) & ~3
    while child < end:
        node = version_node(data, child)
        children.append(node)
        child = (node[4] + 3) & ~3
    return key, value, is_text, children, end


def version_strings(data):
    """(fixed file and product versions as text, {name: text})."""
    _, fixed, _, children, _ = version_node(data, 0)
    ms, ls, pms, pls = struct.unpack_from("<IIII", fixed, 8)
    numbers = lambda hi, lo: "%d.%d.%d.%d" % (hi >> 16, hi & 0xFFFF,
                                              lo >> 16, lo & 0xFFFF)
    strings = {}
    for key, _, _, tables, _ in children:
        if key == "StringFileInfo":
            for _, _, _, entries, _ in tables:
                for name, value, _, _, _ in entries:
                    strings[name] = value.decode("utf-16-le").rstrip("\0")
    return (numbers(ms, ls), numbers(pms, pls)), strings


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--machine", required=True, choices=MACHINES)
    parser.add_argument("exe")
    opts = parser.parse_args()
    machine, rsrc, base = read_image(open(opts.exe, "rb").read())
    version = find_resource(rsrc, base, RT_VERSION)
    manifest = find_resource(rsrc, base, RT_MANIFEST)
    fixed, strings = version_strings(version) if version else (("", ""), {})
    text = manifest.decode("utf-8") if manifest else ""
    checks = [
        ("built for " + opts.machine, machine == MACHINES[opts.machine]),
        ("fixed file version", fixed[0] == opts.version),
        ("fixed product version", fixed[1] == opts.version),
        ("FileVersion", strings.get("FileVersion") == opts.version),
        ("ProductVersion", strings.get("ProductVersion") == opts.version),
        ("FileDescription", bool(strings.get("FileDescription"))),
        ("ProductName", strings.get("ProductName") == "setuphdr"),
        ("OriginalFilename", strings.get("OriginalFilename") == "setuphdr.exe"),
        ("LegalCopyright", strings.get("LegalCopyright") == COPYRIGHT),
        ("manifest runs as invoker", re.search(
            r'<requestedExecutionLevel\s+level="asInvoker"', text) is not None),
        ("manifest names Vista to 10",
         WINDOWS_VISTA in text and WINDOWS_10 in text),
        ("manifest keeps the code page", "activeCodePage" not in text),
    ]
    failed = [name for name, good in checks if not good]
    for name, good in checks:
        print("%s %s" % ("ok  " if good else "FAIL", name))
    if failed:
        print("version strings: %r" % strings)
    print("%d passed, %d failed" % (len(checks) - len(failed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
