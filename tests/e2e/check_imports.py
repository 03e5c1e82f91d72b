#!/usr/bin/env python3
"""Checks that a Windows build of setuphdr imports only system DLLs.

  check_imports.py [--objdump PROGRAM] setuphdr.exe

Lists the "DLL Name:" lines of `objdump -p` and fails when one is not
KERNEL32.dll, SHLWAPI.dll, USER32.dll or msvcrt.dll: a static build
carries libgcc, libstdc++ and winpthread inside.
"""

import argparse
import re
import subprocess
import sys

ALLOWED = {"KERNEL32.dll", "SHLWAPI.dll", "USER32.dll", "msvcrt.dll"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("exe")
    opts = parser.parse_args()
    dump = subprocess.run([opts.objdump, "-p", opts.exe], check=True,
                          capture_output=True, text=True).stdout
    names = set(re.findall(r"^\s*DLL Name: (\S+)\s*$", dump, re.M))
    print("imports: " + ", ".join(sorted(names)))
    if not names or names - ALLOWED:
        print("not allowed: " + (", ".join(sorted(names - ALLOWED))
                                 or "(no imports found)"))
        print("0 passed, 1 failed")
        return 1
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
