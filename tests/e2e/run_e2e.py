#!/usr/bin/env python3
"""End-to-end tests of the built setuphdr binary.

Runs the tool natively (Linux) or, given --launcher and --wine, the Windows
.exe under Wine through the Win32 test launcher, which hands the tool a raw
command line and reports its full 32-bit exit code. Every case checks the
exit code, the exact stdout and stderr bytes and, where a file is involved,
the file's bytes afterwards. Setup files are built here, in code.

  run_e2e.py --tool PATH [--launcher PATH --wine PATH] [--shared DIR]
             [--work DIR] [--group NAME] [--wrapper CMD] [--sanitized]

Under Wine, WINEPREFIX must name the tests' Wine prefix (CTest sets it).

--wrapper (or the environment variable SETUPHDR_E2E_WRAPPER) puts a command
in front of the native tool, for example
"valgrind -q --vgdb=no --leak-check=full --error-exitcode=99"; --sanitized
marks a sanitizer build. Cases that cannot work that way are skipped, with
their reason. Standard library only.
"""

import argparse
import difflib
import fcntl
import os
import pty
import re
import resource
import select
import shlex
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import tty

import wine_start

# ---------------------------------------------------------------------------
# Expected output

CRLF = "\r\n"


def lines(*texts):
    """Message lines as the tool writes them: each followed by CR LF. Texts
    are byte-for-character (latin-1), so file bytes from 0x80 up fit."""
    return "".join(text + CRLF for text in texts).encode("latin-1")


class Re:
    """Expected bytes given as a regular expression over the whole output."""

    def __init__(self, pattern):
        self.pattern = re.compile(pattern.encode("ascii"))

    def matches(self, data):
        return self.pattern.fullmatch(data) is not None

    def __repr__(self):
        return "regex " + self.pattern.pattern.decode("ascii")


# The "facility/code - text" of a system error. The text differs between
# Linux, Wine and Windows, so only its shape is checked.
SYS = r"u?\d+/\d+(?: - [^\r\n]+)?"


def error_line(text_pattern):
    """A pattern for one stderr line whose system text is SYS."""
    return Re(text_pattern + r"\r\n")


ARCH_ROWS = [
    (0, "Any"), (103, "SHx_SH3"), (104, "SHx_SH4"), (386, "i386"),
    (486, "i486"), (586, "Pentium"), (601, "PowerPC_601"),
    (603, "PowerPC_603"), (604, "PowerPC_604"), (620, "PowerPC_620"),
    (821, "Motorola_821"), (1824, "ARM_720"), (2080, "ARM_820"),
    (2336, "ARM_920"), (2577, "StrongARM"), (4000, "MIPS_R4000"),
    (10003, "Hitachi_SH3"), (10004, "Hitachi_SH3E"), (10005, "Hitachi_SH4"),
    (21064, "Alpha_21064"), (70001, "ARM_7TDMI"),
]

USAGE = (
    "\n".join([
        "",
        "setuphdr 1.0.0.210 Copyright (c) 2026 the setuphdr authors",
        "",
        "Command line: <action> [<options>] <MSCE file>",
        "",
        "Actions:",
        "",
        "d - display MSCE file header",
        "c - change header fields",
        "l - list the setup files in files and folders, one row each",
        "",
        "Options:",
        "",
        "-arch <code>|<name> - architecture",
        "-vermin <major>[.<minor>[.<build>]] - minimal CE version",
        "-vermax <major>[.<minor>[.<build>]] - maximal CE version",
        "-unsign - remove the signature of a signed cabinet (.cab)",
        "-allplatforms - clear the unsupported platforms list",
        "-json - list as JSON Lines, one object per setup file",
    ]) + "\n" + CRLF + "Architecture codes and names:\n" + CRLF +
    "".join("%5u %s\r\n" % row for row in ARCH_ROWS)).encode("ascii")


def report(provider, app, arch, vmin, vmax, counts, platforms=None):
    """The display report: literal values in, the 12 or 13 lines out."""
    out = ["", "Provider: " + provider, "App name: " + app,
           "Architecture: %u (%s)" % arch,
           "WinCE version min: %u.%u build %u" % vmin,
           "WinCE version max: %u.%u build %u" % vmax]
    names = ["strings", "dirs", "files", "registry hives", "registry keys",
             "links"]
    out += ["Number of %s: %u" % pair for pair in zip(names, counts)]
    if platforms is not None:
        out.append("Unsupported platforms: " + platforms)
    return lines(*out)


# ---------------------------------------------------------------------------
# Setup files, built in code

# Field offsets of the 100-byte header.
ARCH, MIN_MAJOR, MIN_MINOR, MAX_MAJOR, MAX_MINOR = 20, 24, 28, 32, 36
MIN_BUILD, MAX_BUILD, COUNTS = 40, 44, 48
APP_TEXT, PROVIDER_TEXT, PLATFORMS_TEXT = 84, 88, 92

# Bytes behind the texts: something to lose if the tool wrote past 100.
TAIL = bytes(range(256)) + b"MSCE tail \x00\xff" * 8


def setup_file(arch=2577, vmin=(3, 0, 0), vmax=(5, 99, 0xE0000000),
               counts=(4, 2, 3, 1, 2, 1), app=b"Hello CE",
               provider=b"setuphdr tests", platforms=(b"HPC", b"JUPITER"),
               signature=b"MSCE", tail=TAIL, refs=None):
    """A setup file: the header, then the app name, the provider and the
    unsupported-platforms block (each name NUL-terminated, then the closing
    empty name), then tail. refs maps a text field to an (offset, length)
    that replaces the natural one. The bytes the tool does not interpret are
    non-zero where that is harmless, so a stray write shows."""
    header = bytearray(100)
    header[0:4] = signature
    struct.pack_into("<III", header, 8, 0, 0x11223344, 1)  # size set below
    struct.pack_into("<7I", header, ARCH, arch, vmin[0], vmin[1], vmax[0],
                     vmax[1], vmin[2], vmax[2])
    struct.pack_into("<6H", header, COUNTS, *counts)
    header[60:84] = bytes(range(0xA0, 0xA0 + 24))
    header[96:100] = b"\xee\xdd\xcc\xbb"
    texts = {}
    body = bytearray()
    for field, data in ((APP_TEXT, app + b"\0"),
                        (PROVIDER_TEXT, provider + b"\0"),
                        (PLATFORMS_TEXT,
                         b"".join(n + b"\0" for n in platforms) + b"\0"
                         if platforms else b"")):
        texts[field] = (100 + len(body), len(data))
        body += data
    texts.update(refs or {})
    for field, (offset, length) in texts.items():
        struct.pack_into("<HH", header, field, offset, length)
    data = header + body + tail
    struct.pack_into("<I", data, 8, len(data))
    return bytes(data)


def patched(data, arch=None, vmin=None, vmax=None, clear_platforms=False):
    """data with the given fields stored: the expected file after a change.
    clear_platforms sets the platform list's length to 0, keeping its
    offset."""
    out = bytearray(data)
    if clear_platforms:
        struct.pack_into("<H", out, PLATFORMS_TEXT + 2, 0)
    if arch is not None:
        struct.pack_into("<I", out, ARCH, arch)
    if vmin is not None:
        struct.pack_into("<II", out, MIN_MAJOR, vmin[0], vmin[1])
        struct.pack_into("<I", out, MIN_BUILD, vmin[2])
    if vmax is not None:
        struct.pack_into("<II", out, MAX_MAJOR, vmax[0], vmax[1])
        struct.pack_into("<I", out, MAX_BUILD, vmax[2])
    return bytes(out)


def provider_at_end(length):
    """A file whose last 9 bytes, without a NUL, are the provider text,
    referenced with the given length."""
    size = len(setup_file(platforms=(), tail=b"EndOfFile"))
    return setup_file(platforms=(), tail=b"EndOfFile",
                      refs={PROVIDER_TEXT: (size - 9, length)})


SAMPLE = setup_file()
SAMPLE_REPORT = report("setuphdr tests", "Hello CE", (2577, "StrongARM"),
                       (3, 0, 0), (5, 99, 3758096384), (4, 2, 3, 1, 2, 1),
                       "HPC, JUPITER")

# ---------------------------------------------------------------------------
# Cases


class Case:
    """One run of the tool and everything expected of it.

    args: the argument list (native argv; under Wine joined with the tool's
    quoting rule behind a program name). raw: a whole Windows command line,
    Wine only. files: name -> bytes created in the case's folder; prepare:
    a function of the folder for anything else. after: name -> expected
    bytes of a file once the run is over. where: "both", "native", "wine".
    mode: the launcher's handle mode (Wine). closed_fd: a standard
    descriptor closed in the child (native). limits: resource -> value set
    in the child (native). lock: "read" or "write" lock held by this process
    on files' first entry during the run (native). stdout: (path, mode) of a
    file opened as the standard output instead of a capture (out is then
    not looked at). terminal: the standard output is a pseudo-terminal.
    stdin: a file of the case's folder given as the standard input (native).
    skip: a function of the options giving a reason to skip, or None.
    check: a function of the folder giving a list of further problems.
    fault: a fault of the launcher's (Wine), "start" or "exit" (see
    launch.cpp); rc None expects a run whose exit code is not known."""

    def __init__(self, group, name, args=None, raw=None, rc=0, out=b"",
                 err=b"", files=None, prepare=None, after=None,
                 where="both", mode="std", closed_fd=None, limits=None,
                 lock=None, stdout=None, terminal=False, stdin=None,
                 skip=None, check=None, fault=None):
        self.__dict__.update(locals())
        del self.__dict__["self"]


CASES = []


def case(*args, **kwargs):
    CASES.append(Case(*args, **kwargs))


def cmd_error(name, args, message, **kwargs):
    """A command-line error: one line on stderr, nothing on stdout, exit 2,
    and the setup file (when there is one) unchanged."""
    files = kwargs.pop("files", {"f.000": SAMPLE})
    case("cmdline", name, args=args, rc=2, err=lines(message), files=files,
         after=files, **kwargs)


# --- Start-up -------------------------------------------------------------

case("startup", "no arguments: usage and listing", args=[], rc=1, out=USAGE)
case("startup", "program name only", raw="setuphdr.exe", rc=1, out=USAGE,
     where="wine")
case("startup", "only blanks behind the program name",
     raw="setuphdr.exe  \t \t ", rc=1, out=USAGE, where="wine")
case("startup", "quoted program name without its closing quote",
     raw='"C:\\x\\setuphdr.exe d f.000', rc=1, out=USAGE, where="wine",
     files={"f.000": SAMPLE})
case("startup", "quoted program name glued to the action",
     raw='"C:\\x\\setuphdr.exe"d f.000', out=SAMPLE_REPORT, where="wine",
     files={"f.000": SAMPLE})
case("startup", "quoted program name, then blanks and the action",
     raw='"C:\\x y\\setuphdr.exe" \t d f.000', out=SAMPLE_REPORT,
     where="wine", files={"f.000": SAMPLE})
case("startup", "a tab does not end an unquoted program name",
     raw="setuphdr.exe\td f.000", rc=2, err=lines("Invalid action specifier"),
     where="wine", files={"f.000": SAMPLE})
for name, args, message in [
        ("two-letter action", ["dc", "f.000"], "Invalid action specifier"),
        ("option first", ["-arch", "5", "f.000"], "Invalid action specifier"),
        ("upper-case D", ["D", "f.000"], 'Unknown action "D"'),
        ("upper-case C", ["C", "-arch", "5", "f.000"], 'Unknown action "C"'),
        ("unknown letter", ["x"], 'Unknown action "x"'),
]:
    case("startup", name, args=args, rc=2, err=lines(message))

# Without its standard streams the tool ends at once with 1000, writing
# nothing; Linux passes on only the low 8 bits (232).
def when_wrapped_without_stderr(opts):
    if opts.wrapper:
        return "the wrapper command cannot start without stderr"
    return None


for fd, stream in ((0, "stdin"), (1, "stdout"), (2, "stderr")):
    for args in ([], ["d", "missing.000"]):
        case("startup", "%s closed, %s" % (stream, " ".join(args) or "no args"),
             args=args, rc=1000 & 0xFF, closed_fd=fd, where="native",
             skip=when_wrapped_without_stderr if fd == 2 else None)
for mode, what in (("noerr", "null error handle"),
                   ("noout", "null output handle"),
                   ("badin", "invalid input handle")):
    for args in ([], ["d", "missing.000"]):
        case("startup", "%s, %s" % (what, " ".join(args) or "no args"),
             args=args, rc=1000, mode=mode, where="wine")

# A start that Wine fails before the tool runs is made again; a run that
# started is not, even when its exit code is lost: the change stays made
# once. Either way the fault must have struck.
def fault_taken(folder):
    if os.path.exists(os.path.join(folder + ".launch", "fault")):
        return ["the launcher's fault did not strike"]
    return []


case("startup", "a start that fails before the tool runs is made again",
     args=["d", "f.000"], out=SAMPLE_REPORT, files={"f.000": SAMPLE},
     fault="start", check=fault_taken, where="wine")
case("startup", "a run that started is not made again",
     args=["c", "-vermin", "4.0", "f.000"], rc=None,
     out=lines("Min ver set to 4.0 build 0"),
     err=error_line(r"setuphdr-launch: cannot get the exit code "
                    r"\(error 1359\)"),
     files={"f.000": SAMPLE}, after={"f.000": patched(SAMPLE, vmin=(4, 0, 0))},
     fault="exit", check=fault_taken, where="wine")

# --- Command line -----------------------------------------------------------

for name, args, message in [
        ("option with the display action", ["d", "-arch", "5", "f.000"],
         "Invalid option for the action"),
        ("unknown option before the action check", ["d", "-foo", "f.000"],
         "Invalid option foo f.000"),
        ("unknown option shows the rest of the line",
         ["c", "-foo", "1", "f.000"], "Invalid option foo 1 f.000"),
        ("keywords keep their case", ["c", "-Arch", "5", "f.000"],
         "Invalid option Arch 5 f.000"),
        ("word shorter than a keyword", ["c", "-ver", "4", "f.000"],
         "Invalid option ver 4 f.000"),
        ("lone dash", ["c", "-", "f.000"], "No option name"),
        ("lone dash at the end", ["c", "f.000", "-"], "No option name"),
        ("arch twice, bad second value",
         ["c", "-arch", "5", "-arch", "SH3", "f.000"],
         "Arch already specified"),
        ("vermin twice", ["c", "-vermin", "4", "-vermin", "5", "f.000"],
         "Minimal version already specified"),
        ("vermax twice", ["c", "-vermax", "4", "-vermax", "x", "f.000"],
         "Maximal version already specified"),
        ("arch name not in the table", ["c", "-arch", "SH3", "f.000"],
         'Invalid arch value "SH3"'),
        ("arch number with letters", ["c", "-arch", "12x", "f.000"],
         'Invalid arch value "12x"'),
        ("arch number above 32 bits", ["c", "-arch", "4294967296", "f.000"],
         'Invalid arch value "4294967296"'),
        ("arch word of 20 characters shows 19",
         ["c", "-arch", "ABCDEFGHIJKLMNOPQRST", "f.000"],
         'Invalid arch value "ABCDEFGHIJKLMNOPQRS"'),
        ("arch number of 20 digits is not cut to a code",
         ["c", "-arch", "00000000000000002577", "f.000"],
         'Invalid arch value "0000000000000000257"'),
        ("arch as the last word", ["c", "f.000", "-arch"], "No arch value"),
        ("version with a fourth part", ["c", "-vermin", "4.21.1.2", "f.000"],
         'Point, space or EOL expected: ".2 f.000"'),
        ("vermin directly before the path", ["c", "-vermin", "f.000"],
         'Point, space or EOL expected: "f.000"'),
        ("quotes are not part of a version", ["c", "-vermin", "", "f.000"],
         'Point, space or EOL expected: """ f.000"'),
        ("vermax with a letter", ["c", "-vermax", "5.x", "f.000"],
         'Point, space or EOL expected: "x f.000"'),
        ("version major above 32 bits",
         ["c", "-vermin", "4294967296", "f.000"],
         'Invalid number "4294967296 f.000"'),
        ("version build above 32 bits",
         ["c", "-vermax", "1.2.99999999999", "f.000"],
         'Invalid number "99999999999 f.000"'),
        ("two paths", ["d", "f.000", "g.000"], "File path already specified"),
        ("empty quoted path", ["d", ""], "Error in file path"),
        ("path of 260 characters", ["d", "p" * 260], "Error in file path"),
        ("no file, display", ["d"], "No file specified"),
        ("no file, change", ["c"], "No file specified"),
        ("no file behind options", ["c", "-arch", "5", "-vermin"],
         "No file specified"),
        ("change without fields", ["c", "f.000"], "No fields to change"),
        ("allplatforms twice",
         ["c", "-allplatforms", "-arch", "5", "-allplatforms", "f.000"],
         "Allplatforms already specified"),
        ("allplatforms with the display action",
         ["d", "-allplatforms", "f.000"], "Invalid option for the action"),
]:
    cmd_error(name, args, message)
cmd_error("unterminated quoted path", None, "Error in file path",
          raw='setuphdr.exe d "f.000', where="wine")
cmd_error("quoted path glued to a word", None, "File path already specified",
          raw='setuphdr.exe d "f.000"x', where="wine")
case("cmdline", "path of 259 characters is tried", args=["d", "p" * 259],
     rc=101, err=error_line(r'Cannot open "%s" \(%s\)' % ("p" * 259, SYS)))
case("cmdline", "doubled quotes in a quoted path", where="wine",
     raw='setuphdr.exe d "no ""such"" file.000"', rc=101,
     err=error_line(r'Cannot open "no "such" file.000" \(%s\)' % SYS))
case("cmdline", "doubled quote in an unquoted path", where="wine",
     raw='setuphdr.exe d ab""c', rc=101,
     err=error_line(r'Cannot open "ab"c" \(%s\)' % SYS))
case("cmdline", "path followed by trailing blanks", where="wine",
     raw="setuphdr.exe d f.000  \t ", out=SAMPLE_REPORT,
     files={"f.000": SAMPLE})

# Paths that need quoting: a blank (both), a double quote and a tab (file
# names Windows does not allow: Linux only, through the argv joining).
for name, where in (("my setup.000", "both"), ('say "hi".000', "native"),
                    ("tab\there.000", "native"), (" lead.000", "native")):
    case("cmdline", "file name %r" % name, args=["d", name], out=SAMPLE_REPORT,
         files={name: SAMPLE}, where=where)
    case("cmdline", "change of file name %r" % name,
         args=["c", "-arch", "386", name],
         out=lines("Arch set to 386 (i386)"), files={name: SAMPLE},
         after={name: patched(SAMPLE, arch=386)}, where=where)

# -arch values and the version grammar, seen through a real change.
for value, code, arch_name in [
        ("StrongARM", 2577, "StrongARM"), ("strongarm", 2577, "StrongARM"),
        ("STRONGARM", 2577, "StrongARM"), ("2577", 2577, "StrongARM"),
        ("hitachi_sh3e", 10004, "Hitachi_SH3E"), ("70001", 70001, "ARM_7TDMI"),
        ("5", 5, "unknown"), ("", 0, "Any"), ("0005", 5, "unknown"),
        ("4294967295", 4294967295, "unknown"),
        ("0000000000000002577", 2577, "StrongARM"),
]:
    case("cmdline", "-arch %r" % value, args=["c", "-arch", value, "f.000"],
         out=lines("Arch set to %u (%s)" % (code, arch_name)),
         files={"f.000": SAMPLE},
         after={"f.000": patched(SAMPLE, arch=code)})
for option in ("-arch5", "-archive"):
    case("cmdline", "%s reads as -arch" % option,
         args=["c", option, "i386", "f.000"],
         out=lines("Arch set to 386 (i386)"), files={"f.000": SAMPLE},
         after={"f.000": patched(SAMPLE, arch=386)})
for value, version in [
        ("4", (4, 0, 0)), ("4.21", (4, 21, 0)), ("4.21.100", (4, 21, 100)),
        ("5..2", (5, 0, 2)), (".5", (0, 5, 0)), ("1.", (1, 0, 0)),
        ("1.2.", (1, 2, 0)),
        ("4294967295.4294967295.4294967295", (4294967295,) * 3),
]:
    case("cmdline", "-vermin %r" % value, args=["c", "-vermin", value, "f.000"],
         out=lines("Min ver set to %u.%u build %u" % version),
         files={"f.000": SAMPLE},
         after={"f.000": patched(SAMPLE, vmin=version)})
case("cmdline", "-verminx reads as -vermin, -vermin last", where="both",
     args=["c", "f.000", "-verminx", "7", "-vermax"],
     out=lines("Min ver set to 7.0 build 0", "Max ver set to 0.0 build 0"),
     files={"f.000": SAMPLE},
     after={"f.000": patched(SAMPLE, vmin=(7, 0, 0), vmax=(0, 0, 0))})

# --- File processing --------------------------------------------------------

# Reports of generated files.
LONG_NAMES = [b"PLATFORM_NAME_%02d" % i for i in range(10)]
for name, data, expected in [
        ("typical file", SAMPLE, SAMPLE_REPORT),
        ("unknown code, no platform list, big numbers",
         setup_file(arch=5, vmin=(4294967295, 0, 7), vmax=(0, 4294967295, 1),
                    counts=(65535, 0, 1, 2, 3, 4), platforms=()),
         report("setuphdr tests", "Hello CE", (5, "unknown"),
                (4294967295, 0, 7), (0, 4294967295, 1),
                (65535, 0, 1, 2, 3, 4))),
        ("percent signs are printed as they are",
         setup_file(arch=70001, app=b"100% %s%n", provider=b"%u %%",
                    platforms=(b"Any", b"i386", b"%s")),
         report("%u %%", "100% %s%n", (70001, "ARM_7TDMI"), (3, 0, 0),
                (5, 99, 3758096384), (4, 2, 3, 1, 2, 1), "Any, i386, %s")),
        ("platform list cut at 126 characters",
         setup_file(platforms=LONG_NAMES),
         report("setuphdr tests", "Hello CE", (2577, "StrongARM"), (3, 0, 0),
                (5, 99, 3758096384), (4, 2, 3, 1, 2, 1),
                b", ".join(LONG_NAMES)[:126].decode("ascii"))),
        ("padding in the platform block gives empty names",
         setup_file(app=b"App", provider=b"Provider name",
                    platforms=(b"HPC", b"Jupiter", b"", b"", b"")),
         report("Provider name", "App", (2577, "StrongARM"), (3, 0, 0),
                (5, 99, 3758096384), (4, 2, 3, 1, 2, 1),
                "HPC, Jupiter, , , ")),
        ("empty first platform name",
         setup_file(platforms=(b"", b"HPC")),
         report("setuphdr tests", "Hello CE", (2577, "StrongARM"), (3, 0, 0),
                (5, 99, 3758096384), (4, 2, 3, 1, 2, 1), ", HPC")),
        ("platform block of one byte: empty list",
         setup_file(refs={PLATFORMS_TEXT: (100, 1)}),
         report("setuphdr tests", "Hello CE", (2577, "StrongARM"), (3, 0, 0),
                (5, 99, 3758096384), (4, 2, 3, 1, 2, 1), "")),
        ("texts at offset 0 with length 0",
         setup_file(refs={APP_TEXT: (0, 0), PROVIDER_TEXT: (0, 0),
                          PLATFORMS_TEXT: (0, 0)}),
         report("MSCE", "MSCE", (2577, "StrongARM"), (3, 0, 0),
                (5, 99, 3758096384), (4, 2, 3, 1, 2, 1))),
        ("texts run to their NUL, not to their length",
         setup_file(app=b"Fake GPS\0\0\0", provider=b"Microsoft",
                    refs={APP_TEXT: (100, 2)}),
         report("Microsoft", "Fake GPS", (2577, "StrongARM"), (3, 0, 0),
                (5, 99, 3758096384), (4, 2, 3, 1, 2, 1), "HPC, JUPITER")),
        ("provider without NUL ending exactly at the end of the file",
         provider_at_end(9),
         report("EndOfFile", "Hello CE", (2577, "StrongARM"), (3, 0, 0),
                (5, 99, 3758096384), (4, 2, 3, 1, 2, 1))),
]:
    case("files", "report: " + name, args=["d", "f.000"], out=expected,
         files={"f.000": data}, after={"f.000": data})

# Every combination of changed fields: the change lines, and afterwards
# only the requested fields of bytes 20 to 47 and 94 to 95 differ.
ARCH_CHANGE = (["-arch", "MIPS_R4000"], "Arch set to 4000 (MIPS_R4000)",
               {"arch": 4000})
MIN_CHANGE = (["-vermin", "4.21.7"], "Min ver set to 4.21 build 7",
              {"vmin": (4, 21, 7)})
MAX_CHANGE = (["-vermax", "6.999.3758096384"],
              "Max ver set to 6.999 build 3758096384",
              {"vmax": (6, 999, 3758096384)})
PLATFORMS_CHANGE = (["-allplatforms"], "Unsupported platforms cleared",
                    {"clear_platforms": True})
for combo in ([ARCH_CHANGE], [MIN_CHANGE], [MAX_CHANGE], [PLATFORMS_CHANGE],
              [ARCH_CHANGE, MIN_CHANGE], [ARCH_CHANGE, MAX_CHANGE],
              [MIN_CHANGE, MAX_CHANGE], [ARCH_CHANGE, MIN_CHANGE, MAX_CHANGE],
              [ARCH_CHANGE, MIN_CHANGE, MAX_CHANGE, PLATFORMS_CHANGE]):
    fields = {}
    for _, _, change in combo:
        fields.update(change)
    # Options go in reverse order: the lines keep arch, min, max order.
    args = ["c"] + [w for opt, _, _ in reversed(combo) for w in opt]
    case("files", "change " + "+".join(sorted(fields)), args=args + ["f.000"],
         out=lines(*[line for _, line, _ in combo]), files={"f.000": SAMPLE},
         after={"f.000": patched(SAMPLE, **fields)})
# A file that is only its header: the write must not make it longer.
HEADER_ONLY = setup_file(refs={APP_TEXT: (0, 0), PROVIDER_TEXT: (0, 0),
                               PLATFORMS_TEXT: (0, 0)})[:100]
case("files", "change of a file of exactly 100 bytes",
     args=["c", "-vermax", "7.1.2", "-arch", "Pentium", "f.000"],
     out=lines("Arch set to 586 (Pentium)", "Max ver set to 7.1 build 2"),
     files={"f.000": HEADER_ONLY},
     after={"f.000": patched(HEADER_ONLY, arch=586, vmax=(7, 1, 2))})
case("files", "change of the sample to the same values",
     args=["c", "-arch", "2577", "-vermin", "3", "f.000"],
     out=lines("Arch set to 2577 (StrongARM)", "Min ver set to 3.0 build 0"),
     files={"f.000": SAMPLE}, after={"f.000": SAMPLE})
# Without a list, -allplatforms is a change to the same value.
NO_PLATFORMS = setup_file(platforms=())
case("files", "-allplatforms on a file without a list",
     args=["c", "-allplatforms", "f.000"],
     out=lines("Unsupported platforms cleared"),
     files={"f.000": NO_PLATFORMS}, after={"f.000": NO_PLATFORMS})
# The sample as the change above leaves it: its names are still in the
# file, but the report no longer shows them.
case("files", "report after -allplatforms: no platform line",
     args=["d", "f.000"], out=report(
         "setuphdr tests", "Hello CE", (2577, "StrongARM"), (3, 0, 0),
         (5, 99, 3758096384), (4, 2, 3, 1, 2, 1)),
     files={"f.000": patched(SAMPLE, clear_platforms=True)})

# Bad headers: exit 103, one line on stderr, the file untouched.
BAD_HEADERS = [
    ("bad signature", setup_file(signature=b"MSCX"),
     "Invalid MSCE header signature"),
    ("lower-case signature", setup_file(signature=b"msce"),
     "Invalid MSCE header signature"),
    ("provider one byte past the end",
     provider_at_end(10),
     "Invalid string size in a file"),
    ("app name past the end", setup_file(refs={APP_TEXT: (65535, 65535)}),
     "Invalid string size in a file"),
    ("platform block past the end",
     setup_file(tail=b"", refs={PLATFORMS_TEXT: (100, 2000)}),
     "Invalid string size in a file"),
    ("file of 99 bytes", SAMPLE[:99],
     "File too short for an MSCE header (99 bytes, 100 needed)"),
    ("file of 4 bytes", b"MSCE",
     "File too short for an MSCE header (4 bytes, 100 needed)"),
]
for name, data, message in BAD_HEADERS:
    for args in (["d", "f.000"], ["c", "-arch", "0", "f.000"]):
        case("files", "%s, %s" % (name, args[0]), args=args, rc=103,
             err=lines(message), files={"f.000": data},
             after={"f.000": data})


def make_dir(folder):
    os.mkdir(os.path.join(folder, "dir.000"))


def make_fifo(folder):
    os.mkfifo(os.path.join(folder, "fifo.000"))


def sparse(size):
    def prepare(folder):
        with open(os.path.join(folder, "big.000"), "wb") as f:
            f.write(SAMPLE)
            f.truncate(size)
    return prepare


def read_only(folder):
    os.chmod(os.path.join(folder, "f.000"), 0o444)


def when_root(opts):
    if os.geteuid() == 0:
        return "running as root: file modes do not refuse the open"
    return None


def when_wrapped(opts):
    if opts.wrapper or opts.sanitized:
        return "address-space cap: sanitizers and valgrind need the room"
    return None


def open_failure(path):
    return error_line(r'Cannot open "%s" \(%s\)' % (re.escape(path), SYS))


for action in (["d"], ["c", "-arch", "0"]):
    verb = action[0]
    case("files", "missing file, " + verb, args=action + ["missing.000"],
         rc=101, err=error_line(r'Cannot open "missing.000" \(u?0/2 - .+\)'))
    case("files", "empty file, " + verb, args=action + ["empty.000"],
         rc=101, err=error_line(r"Cannot get file size \(%s\)" % SYS),
         files={"empty.000": b""}, after={"empty.000": b""})
    case("files", "directory, " + verb, args=action + ["dir.000"], rc=101,
         err=open_failure("dir.000"), prepare=make_dir)
    case("files", "FIFO refused at the open, " + verb, rc=101,
         args=action + ["fifo.000"], err=open_failure("fifo.000"),
         prepare=make_fifo, where="native")
    case("files", "file of 4 GiB + 1, " + verb, args=action + ["big.000"],
         rc=101, err=lines('File "big.000" is too large (4 GiB or more)'),
         prepare=sparse(4 * 2**30 + 1))
case("files", "read-only file, d", args=["d", "f.000"], out=SAMPLE_REPORT,
     files={"f.000": SAMPLE}, prepare=read_only, after={"f.000": SAMPLE})
case("files", "read-only file, c", args=["c", "-arch", "0", "f.000"],
     rc=101, err=open_failure("f.000"), files={"f.000": SAMPLE},
     prepare=read_only, after={"f.000": SAMPLE}, skip=when_root)

# Locks held by another process (here, this harness).
for lock, args, ok in (("read", ["d", "f.000"], True),
                       ("read", ["c", "-arch", "0", "f.000"], False),
                       ("write", ["d", "f.000"], False),
                       ("write", ["c", "-arch", "0", "f.000"], False)):
    case("files", "%s while another process holds a %s lock" % (args[0], lock),
         args=args, lock=lock, files={"f.000": SAMPLE},
         after={"f.000": SAMPLE}, where="native",
         out=SAMPLE_REPORT if ok else b"", rc=0 if ok else 101,
         err=b"" if ok else open_failure("f.000"))

# Real failures of the write and the allocation, through resource limits.
# A file-size limit below the 100 header bytes refuses the change before
# anything is written (the tool itself keeps SIGXFSZ from ending it).
for limit in (0, 30, 47, 95, 99, 100):
    ok = limit >= 100
    case("files", "write under a file-size limit of %d bytes" % limit,
         args=["c", "-arch", "70001", "-vermin", "9.9.9", "-vermax", "8.8.8",
               "-allplatforms", "f.000"], rc=0 if ok else 105,
         out=lines("Arch set to 70001 (ARM_7TDMI)",
                   "Min ver set to 9.9 build 9", "Max ver set to 8.8 build 8",
                   "Unsupported platforms cleared"),
         err=b"" if ok else error_line(
             r"Cannot write file \(%s\); the file is unchanged" % SYS),
         files={"f.000": SAMPLE}, where="native",
         after={"f.000": patched(SAMPLE, arch=70001, vmin=(9, 9, 9),
                                 vmax=(8, 8, 8), clear_platforms=True)
                if ok else SAMPLE},
         limits={resource.RLIMIT_FSIZE: limit})
case("files", "file buffer refused by an address-space limit",
     args=["d", "big.000"], rc=100,
     err=lines("Cannot allocate 3221225472 bytes for file buffer"),
     prepare=sparse(3 * 2**30), where="native",
     limits={resource.RLIMIT_AS: 512 * 2**20}, skip=when_wrapped)

# Output that cannot be written: the run stops printing and says so once;
# a lost report fails with 110, a change stays made and keeps 0. The Wine
# runs get the same descriptors (Linux errors turned into Windows ones), or
# from the launcher an output handle opened for reading only.
DEV_FULL, DEV_NULL_READ = ("/dev/full", "wb"), ("/dev/null", "rb")
OUTPUT_LOST = error_line(r"Cannot write output \(%s\)" % SYS)
for name, stdout, mode in (("to a full device", DEV_FULL, "std"),
                           ("to a stream open for reading", DEV_NULL_READ,
                            "std"),
                           ("to a handle open for reading", None, "rdout")):
    where = "wine" if mode == "rdout" else "both"
    case("files", "display " + name, args=["d", "f.000"], rc=110,
         err=OUTPUT_LOST, stdout=stdout, mode=mode, where=where,
         files={"f.000": SAMPLE}, after={"f.000": SAMPLE})
    case("files", "change " + name, args=["c", "-arch", "386", "f.000"],
         err=OUTPUT_LOST, stdout=stdout, mode=mode, where=where,
         files={"f.000": SAMPLE}, after={"f.000": patched(SAMPLE, arch=386)})
case("startup", "usage to a full device", args=[], rc=1, err=OUTPUT_LOST,
     stdout=DEV_FULL)

# Texts with control bytes: masked on a terminal, byte for byte elsewhere.
EVIL_TEXTS = dict(provider=b"Evil\x1b]0;owned\x07 Co\rFAKE",
                  app=b"App\x1b]52;c;SGk=\x07\x7f",
                  platforms=(b"HPC\x1b[2J", b"\tX\x08"))
for name, data, terminal, texts in (
        ("on a terminal, control bytes shown as ?", setup_file(**EVIL_TEXTS),
         True, ("Evil?]0;owned? Co?FAKE", "App?]52;c;SGk=??", "HPC?[2J, ?X?")),
        ("through a pipe, every byte as it is",
         setup_file(**dict(EVIL_TEXTS, app=EVIL_TEXTS["app"] + b"\x80\xe9")),
         False, ("Evil\x1b]0;owned\x07 Co\rFAKE",
                 "App\x1b]52;c;SGk=\x07\x7f\x80\xe9", "HPC\x1b[2J, \tX\x08"))):
    case("files", "report " + name, args=["d", "f.000"], terminal=terminal,
         out=report(texts[0], texts[1], (2577, "StrongARM"), (3, 0, 0),
                    (5, 99, 3758096384), (4, 2, 3, 1, 2, 1), texts[2]),
         files={"f.000": data}, after={"f.000": data})

# --- Real-world files --------------------------------------------------------


def realworld_cases(shared):
    """One display case per file named in expected-display.txt; a single
    skipped case when the folder is absent."""
    folder = os.path.join(shared or "", "realworld")
    listing = os.path.join(folder, "expected-display.txt")
    if not shared or not os.path.isfile(listing):
        reason = "no %s" % listing
        return [Case("realworld", "real-world files", args=[],
                     skip=lambda opts: reason)]
    with open(listing, "rb") as f:
        blocks = re.split(rb"^== (.+)\n", f.read(), flags=re.M)[1:]
    cases = []
    for name, text in zip(blocks[0::2], blocks[1::2]):
        name = name.decode("ascii")
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        cases.append(Case("realworld", name, args=["d", name],
                          out=text.replace(b"\n", b"\r\n"),
                          files={name: data}, after={name: data}))
    return cases


# ---------------------------------------------------------------------------
# Running


def quote_argument(argument):
    """The tool's own quoting rule: quotes only where needed."""
    if argument and not re.search(r'[ \t"]', argument):
        return argument
    return '"' + argument.replace('"', '""') + '"'


def run_on_terminal(argv, cwd, env, stderr, preexec_fn=None):
    """Runs argv with a pseudo-terminal as its standard output, in raw mode
    so that CR LF arrives as written. Returns (exit status, bytes read from
    the terminal). Reading ends once the process has ended and the terminal
    stays quiet: a wineserver or console host may hold it a while longer."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    try:
        proc = subprocess.Popen(argv, cwd=cwd, env=env,
                                stdin=subprocess.DEVNULL, stdout=slave,
                                stderr=stderr, preexec_fn=preexec_fn)
    finally:
        os.close(slave)
    out = bytearray()
    deadline = time.monotonic() + 300
    try:
        while time.monotonic() < deadline:
            ended = proc.poll() is not None
            if not select.select([master], [], [], 0.3 if ended else 1)[0]:
                if ended:
                    break
                continue
            try:
                data = os.read(master, 65536)
            except OSError:  # EIO: no process holds the terminal any more
                break
            if not data:
                break
            out += data
    finally:
        os.close(master)
    # The tool closes its output before it ends (and a sanitizer build then
    # still checks for leaks): the terminal can fall quiet first.
    try:
        return proc.wait(max(1, deadline - time.monotonic())), bytes(out)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise


# Wine's console host hides and shows the cursor around every write to a
# terminal; these sequences are its own, not the tool's.
CONSOLE_HOST_CURSOR = re.compile(rb"\x1b\[\?25[hl]")


class Runner:
    def __init__(self, opts):
        self.opts = opts
        self.wine = opts.wine is not None
        self.wrapper = shlex.split(opts.wrapper) if opts.wrapper else []
        self.env = dict(os.environ, WINEDEBUG="-all")

    def warm_up(self):
        """Wine may create its prefix on the first start, with noise on
        stderr: one run whose output is ignored."""
        if self.wine:
            subprocess.run([self.opts.wine, self.opts.tool], env=self.env,
                           stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=600)

    def run(self, c, folder):
        """Runs case c in folder; returns (exit code, stdout, stderr) or
        raises RuntimeError when the run itself could not be made."""
        if self.wine:
            return self.run_wine(c, folder)

        def child_setup():
            for limit, value in (c.limits or {}).items():
                resource.setrlimit(limit, (value, value))
            if c.closed_fd is not None:
                os.close(c.closed_fd)

        argv = self.wrapper + [self.opts.tool] + c.args
        if c.terminal:
            with tempfile.TemporaryFile() as err:
                rc, out = run_on_terminal(argv, folder, None, err,
                                          child_setup)
                err.seek(0)
                return rc, out, err.read()
        if c.stdout:
            with open(*c.stdout) as out:
                proc = subprocess.run(argv, cwd=folder,
                                      stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=subprocess.PIPE,
                                      preexec_fn=child_setup, timeout=300)
            return proc.returncode, b"", proc.stderr
        with open(os.path.join(folder, c.stdin) if c.stdin
                  else os.devnull, "rb") as stdin:
            proc = subprocess.run(argv, cwd=folder, stdin=stdin,
                                  capture_output=True, preexec_fn=child_setup,
                                  timeout=300)
        return proc.returncode, proc.stdout, proc.stderr

    def run_wine(self, c, folder):
        """Runs case c through the launcher under Wine; a start that did
        not run the tool is made again (wine_start.py). The exit code is
        None when the tool ran but its code was not recorded."""
        if c.raw is not None:
            line = c.raw
        else:
            line = " ".join(["setuphdr.exe"] + [quote_argument(a)
                                                 for a in c.args])
        control = folder + ".launch"
        shutil.rmtree(control, ignore_errors=True)
        os.makedirs(control)
        cmd_file = os.path.join(control, "cmdline")
        exit_file = os.path.join(control, "exitcode")
        with open(cmd_file, "wb") as f:
            f.write(line.encode("latin-1"))
        env = self.env
        if c.fault:
            fault_file = os.path.join(control, "fault")
            with open(fault_file, "w") as f:
                f.write(c.fault)
            env = dict(env, SETUPHDR_LAUNCH_FAULT=wine_start.windows_path(
                fault_file))
        # Files, not pipes: a wineserver started by this run inherits the
        # descriptors and would hold a pipe open for seconds after the end.
        out_file = c.stdout or (os.path.join(control, "stdout"), "w+b")
        err_file = os.path.join(control, "stderr")
        argv = [self.opts.wine, self.opts.launcher, c.mode] + [
            wine_start.windows_path(path)
            for path in (self.opts.tool, cmd_file, exit_file)]
        with open(*out_file) as out, open(err_file, "w+b") as err:
            def once():
                if c.terminal:
                    # Wine gives a process on a terminal a console.
                    rc, stdout = run_on_terminal(argv, folder, env, err)
                    return rc, CONSOLE_HOST_CURSOR.sub(b"", stdout)
                return subprocess.run(argv, cwd=folder, env=env,
                                      stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=err, timeout=300).returncode, b""

            def reset():
                for f in (err,) if c.stdout else (out, err):
                    f.seek(0)
                    f.truncate()

            try:
                (rc, stdout), code = wine_start.start(once, exit_file, reset,
                                                      print)
            except wine_start.NotStarted as error:
                err.seek(0)
                raise RuntimeError("%s: %r" % (error, err.read()))
            if not c.stdout and not c.terminal:
                out.seek(0)
                stdout = out.read()
            err.seek(0)
            stderr = err.read()
        if code is not None and rc != 0:
            raise RuntimeError("launcher failed (%d): %r" % (rc, stderr))
        return code, stdout, stderr


def compare(label, expected, actual):
    """Problems of one output: [] when it matches."""
    if isinstance(expected, Re):
        if expected.matches(actual):
            return []
        return ["%s: expected %r, got %r" % (label, expected, actual)]
    if expected == actual:
        return []
    diff = difflib.unified_diff(
        [repr(l) for l in expected.splitlines(True)],
        [repr(l) for l in actual.splitlines(True)],
        "expected " + label, "actual " + label, lineterm="")
    return list(diff) or ["%s differs" % label]


def compare_file(name, expected, actual):
    if actual == expected:
        return []
    if actual is None:
        return ["file %s: missing afterwards" % name]
    problems = []
    if len(actual) != len(expected):
        problems.append("file %s: %d bytes, expected %d"
                        % (name, len(actual), len(expected)))
    changed = [i for i in range(min(len(actual), len(expected)))
               if actual[i] != expected[i]]
    if changed:
        problems.append("file %s: differs at offsets %s%s (expected %s, got %s)"
                        % (name, changed[:16], "..." if len(changed) > 16
                           else "", expected[changed[0]:changed[0] + 8].hex(),
                           actual[changed[0]:changed[0] + 8].hex()))
    return problems


def run_case(runner, c, folder):
    """Runs one case; returns the list of problems found."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in (c.files or {}).items():
        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    if c.prepare:
        c.prepare(folder)
    holder = None
    if c.lock:
        first = os.path.join(folder, next(iter(c.files)))
        holder = open(first, "rb" if c.lock == "read" else "r+b")
        fcntl.lockf(holder, fcntl.LOCK_SH if c.lock == "read"
                    else fcntl.LOCK_EX)
    try:
        rc, out, err = runner.run(c, folder)
    finally:
        if holder:
            holder.close()
    problems = []
    if rc != c.rc:
        problems.append("exit code %s, expected %s" % tuple(
            "not recorded" if code is None else "%d" % code
            for code in (rc, c.rc)))
    problems += compare("stdout", c.out, out)
    problems += compare("stderr", c.err, err)
    for name, expected in (c.after or {}).items():
        path = os.path.join(folder, name)
        actual = open(path, "rb").read() if os.path.isfile(path) else None
        problems += compare_file(name, expected, actual)
    if c.check:
        problems += c.check(folder)
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--launcher")
    parser.add_argument("--wine")
    parser.add_argument("--shared")
    parser.add_argument("--work", default="e2e-work")
    parser.add_argument("--group", action="append")
    parser.add_argument("--wrapper",
                        default=os.environ.get("SETUPHDR_E2E_WRAPPER"))
    parser.add_argument("--sanitized", action="store_true")
    opts = parser.parse_args()
    if (opts.wine is None) != (opts.launcher is None):
        parser.error("--wine and --launcher go together")
    if opts.wine and wine_start.prefix_problem():
        parser.error(wine_start.prefix_problem())
    platform = "wine" if opts.wine else "native"
    # The cases run in their own folders.
    opts.tool = os.path.abspath(opts.tool)
    if opts.launcher:
        opts.launcher = os.path.abspath(opts.launcher)

    # Cabinets have their own module, which builds on the helpers here.
    import cabinet_cases
    cases = (CASES + realworld_cases(opts.shared) +
             cabinet_cases.cases(sys.modules[__name__], opts.shared))
    if opts.group:
        cases = [c for c in cases if c.group in opts.group]
    runner = Runner(opts)
    runner.warm_up()
    passed = failed = 0
    skipped = []
    for number, c in enumerate(cases):
        title = "%s: %s" % (c.group, c.name)
        reason = None
        if c.where not in ("both", platform):
            continue
        if c.skip:
            reason = c.skip(opts)
        if reason is None and c.args is None and c.raw is None:
            reason = "no command line"
        if reason is None and platform == "native" and c.args is None:
            continue  # raw Windows command lines: Wine only
        if reason:
            skipped.append(title)
            print("SKIP %s (%s)" % (title, reason))
            continue
        folder = os.path.join(os.path.abspath(opts.work), "case%03d" % number)
        try:
            problems = run_case(runner, c, folder)
        except (RuntimeError, subprocess.TimeoutExpired, OSError) as error:
            problems = ["could not run: %s" % error]
        if problems:
            failed += 1
            print("FAIL %s" % title)
            for problem in problems:
                print("    " + problem)
        else:
            passed += 1
            print("ok   %s" % title)

    # Cases that cannot run here at all, named with their reason.
    if platform == "wine" and (not opts.group or "files" in opts.group):
        for what in ("files held open or locked by another process",
                     "a refused write or allocation (no resource limits)",
                     "a FIFO path"):
            skipped.append(what)
            print("SKIP files: %s (not practical under Wine)" % what)
    summary = "%d passed, %d failed" % (passed, failed)
    if skipped:
        summary += ", %d skipped" % len(skipped)
    print(summary)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
