"""End-to-end cases for cabinets (.cab), loaded by run_e2e.py as its
"cabinet" group: the real cabinets beside the checkout, cabinets built here
(stored and MSZIP folders, reserves, a signature) and every refusal.

A change is checked from outside: cabextract (an independent reader) must
test the new cabinet clean, every member but the setup file must be
byte-identical to before, the setup file must be the old one with exactly
the asked fields changed, and no temporary file may be left beside it.
"""

import json
import os
import random
import re
import resource
import shutil
import stat
import struct
import subprocess
import tempfile
import xml.etree.ElementTree
import zlib

# ---------------------------------------------------------------------------
# Cabinets built here


def checksum(data, seed=0):
    """The cabinet block checksum: XOR of little-endian words, the 1 to 3
    leftover bytes packed first byte highest."""
    words = len(data) // 4
    for (word,) in struct.iter_unpack("<I", data[:4 * words]):
        seed ^= word
    tail = 0
    for byte in data[4 * words:]:
        tail = (tail << 8) | byte
    return seed ^ tail


def deflate(history, raw):
    """An MSZIP block: "CK" and raw deflate of raw against history."""
    z = (zlib.compressobj(6, zlib.DEFLATED, -15, zdict=history)
         if history else zlib.compressobj(6, zlib.DEFLATED, -15))
    return b"CK" + z.compress(raw) + z.flush()


class DeflateBits:
    """A raw deflate stream written bit by bit, the first bit of each byte
    in its lowest: the block forms zlib's deflate never writes."""

    ORDER = (16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1,
             15)

    def __init__(self):
        self.value, self.count = 0, 0

    def put(self, value, count):
        self.value |= value << self.count
        self.count += count

    def huffman(self, code, length):
        """A Huffman code goes out from its highest bit."""
        for k in range(length - 1, -1, -1):
            self.put((code >> k) & 1, 1)

    @staticmethod
    def canonical(lengths):
        """{symbol: (code, length)} for lengths by symbol (RFC 1951)."""
        codes, code = {}, 0
        for length in range(1, 16):
            for symbol, each in enumerate(lengths):
                if each == length:
                    codes[symbol] = (code, length)
                    code += 1
            code <<= 1
        return codes

    def stored(self, data, last):
        self.put(last, 1)
        self.put(0, 2)
        self.count += -self.count % 8
        self.put(len(data) | (len(data) ^ 0xFFFF) << 16, 32)
        for byte in data:
            self.put(byte, 8)

    def dynamic(self, literals, distances, code_lengths, sent, literal_code,
                data, last):
        """A dynamic block: literals and distances declared, the code-length
        code {symbol: length}, the lengths as sent [(symbol, extra bits)],
        the literal/length code as zlib reads it, then data and
        end-of-block."""
        self.put(last, 1)
        self.put(2, 2)
        self.put(literals - 257, 5)
        self.put(distances - 1, 5)
        count = max(4, max(self.ORDER.index(s) for s in code_lengths) + 1)
        self.put(count - 4, 4)
        for symbol in self.ORDER[:count]:
            self.put(code_lengths.get(symbol, 0), 3)
        codes = self.canonical([code_lengths.get(s, 0) for s in range(19)])
        for symbol, extra in sent:
            self.huffman(*codes[symbol])
            self.put(extra, {16: 2, 17: 3, 18: 7}.get(symbol, 0))
        codes = self.canonical(literal_code)
        for byte in data:
            self.huffman(*codes[byte])
        self.huffman(*codes[256])

    def bytes(self):
        return self.value.to_bytes((self.count + 7) // 8, "little")


def build_cab(folders, members, signature=b"", folder_reserve=b"",
              sizes=(), history=True, packed=None):
    """folders: [compression (0 stored, 1 MSZIP)]; members: [(name, bytes,
    folder)]. A signature is appended behind the cabinet with its 20-byte
    header reserve; folder_reserve goes into folder 0's reserve. sizes: the
    first blocks' sizes, then 32768; history: MSZIP blocks refer back to
    the last 32 KiB of the folder, or to nothing; packed: {index: "CK" and
    a deflate stream} for blocks of folder 0 given as they are."""
    streams = [b""] * len(folders)
    files = b""
    for name, data, folder in members:
        files += struct.pack("<IIHHHH", len(data), len(streams[folder]),
                             folder, 0x5D88, 0x6000, 0x20) + name + b"\0"
        streams[folder] += data
    reserve_size = len(folder_reserve)
    reserved = bool(signature or reserve_size)
    table = 36 + (4 + (20 if signature else 0) if reserved else 0)
    files_offset = table + (8 + reserve_size) * len(folders)
    entries, data = b"", b""
    for index, (kind, stream) in enumerate(zip(folders, streams)):
        blocks = b""
        count = 0
        at = 0
        while at < len(stream):
            size = sizes[count] if count < len(sizes) else 32768
            raw = stream[at:at + size]
            block = raw
            if kind == 1 and index == 0 and count in (packed or {}):
                block = packed[count]
            elif kind == 1:
                block = deflate(stream[max(0, at - 32768):at] if history
                                else b"", raw)
            at += len(raw)
            lengths = struct.pack("<HH", len(block), len(raw))
            blocks += struct.pack("<I", checksum(lengths,
                                                 checksum(block))) + \
                lengths + block
            count += 1
        start = files_offset + len(files) + len(data)
        entry_reserve = folder_reserve if index == 0 else bytes(reserve_size)
        entries += struct.pack("<IHH", start, count, kind) + entry_reserve
        data += blocks
    size = files_offset + len(files) + len(data)
    header = b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, size, 0, files_offset,
                                   0, 3, 1, len(folders), len(members),
                                   4 if reserved else 0, 0x4242, 0)
    if reserved:
        header += struct.pack("<HBB", 20 if signature else 0, reserve_size, 0)
        if signature:
            header += struct.pack("<IIIII", 0x00100000, size, len(signature),
                                  0, 0)
    return header + entries + files + data + signature


def noise(size, seed, high=False):
    """size bytes that deflate does not shrink much: random letters, or with
    high random bytes 0x80 and up, which letters never match."""
    rng = random.Random(seed)
    letters = (b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
               b"0123456789 \n")
    return bytes(0x80 | rng.getrandbits(7) if high else
                 letters[rng.getrandbits(6)] for _ in range(size))


def arch_copy(arch, app, provider):
    """Folder 0's reserve as some writers fill it: the architecture, the
    offsets (from the folder entry) and lengths of the two texts, the
    texts padded to 4 bytes."""
    def pad(text):
        return text + b"\0" * (4 - len(text) % 4)
    app, provider = pad(app), pad(provider)
    return struct.pack("<IIIII", arch, 28, len(app), 28 + len(app),
                       len(provider)) + app + provider


def pe_file(machine=0x01C0, size=3000):
    """A program: the DOS header, "PE\\0\\0" at 0x80, the file header with
    machine and a PE32 optional header with 16 empty data directories."""
    data = bytearray(b"MZ" + b"p" * (size - 2))
    struct.pack_into("<I", data, 0x3C, 0x80)
    struct.pack_into("<4sHHIIIHH", data, 0x80, b"PE\0\0", machine, 1, 0, 0,
                     0, 224, 0x0102)
    struct.pack_into("<H", data, 0x98, 0x10B)
    struct.pack_into("<I", data, 0x98 + 92, 16)
    data[0x98 + 96:0x98 + 224] = bytes(128)
    return bytes(data)


def parse(cab):
    """flags, [folder compression], {name: folder}, signed."""
    folders_count, files_count, flags = struct.unpack_from("<HHH", cab, 26)
    position, folder_reserve, signed = 36, 0, False
    if flags & 4:
        header_reserve, folder_reserve, _ = struct.unpack_from("<HBB", cab, 36)
        signed = (header_reserve == 20 and
                  struct.unpack_from("<I", cab, 40)[0] == 0x00100000)
        position += 4 + header_reserve
    kinds = []
    for _ in range(folders_count):
        kinds.append(struct.unpack_from("<H", cab, position + 6)[0] & 15)
        position += 8 + folder_reserve
    position = struct.unpack_from("<I", cab, 16)[0]
    names = {}
    for _ in range(files_count):
        folder = struct.unpack_from("<H", cab, position + 8)[0]
        end = cab.index(b"\0", position + 16)
        names[cab[position + 16:end]] = folder
        position = end + 1
    return flags, kinds, names, signed


def extract(path):
    """The members of a cabinet file by name, as cabextract reads them."""
    with tempfile.TemporaryDirectory() as folder:
        proc = subprocess.run(["cabextract", "-q", "-d", folder, path],
                              capture_output=True)
        if proc.returncode != 0:
            raise RuntimeError("cabextract failed: %r" % proc.stderr)
        members = {}
        for root, _, names in os.walk(folder):
            for name in names:
                with open(os.path.join(root, name), "rb") as f:
                    members[os.path.relpath(os.path.join(root, name),
                                            folder).encode()] = f.read()
        return members


def setup_name(members):
    return next(name for name, data in members.items()
                if data[:4] == b"MSCE" and len(data) >= 100)


# ---------------------------------------------------------------------------
# The setup XML (_setup.xml), read here with Python's XML parser and
# changed with regular expressions over its bytes: nothing shared with the
# tool.


def setup_xml(arch="2577", vmin="3.0", vmax="5.99", extra=b""):
    """A setup XML as cabinet builders write it, with the given values;
    None leaves a parm out."""
    def parm(name, value):
        if value is None:
            return b""
        return b'<parm name="%s" value="%s" />\r\n' % (name.encode(),
                                                     value.encode())
    return (b'<?xml version="1.0" encoding="utf-8"?>\r\n'
            b'<wap-provisioningdoc>\r\n'
            b'<characteristic type="Install">\r\n' +
            parm("InstallPhase", "install") + parm("AppName", "Hello CE") +
            parm("ProcessorType", arch) + parm("OSVersionMin", vmin) +
            parm("OSVersionMax", vmax) +
            parm("BuildNumberMax", "-536870912") + extra +
            b'</characteristic>\r\n</wap-provisioningdoc>\r\n')


def is_xml_name(name):
    return name.lower() == b"_setup.xml"


def xml_parms(doc):
    """The parms of the Install characteristic, by name."""
    root = xml.etree.ElementTree.fromstring(doc)
    for child in root:
        if child.tag == "characteristic" and child.get("type") == "Install":
            return {parm.get("name"): parm.get("value") for parm in child
                    if parm.tag == "parm"}
    return {}


def xml_changed(doc, arch=None, vmin=None, vmax=None, **_):
    """The setup XML as a change leaves it: a present parm the change asks
    for gets the new value in place of its old value's bytes, unless it
    reads as that value already; builds are written signed from 2^31 on."""
    def signed(build):
        return str(build - (1 << 32) if build >= 1 << 31 else build)
    new = {}
    if arch is not None:
        new["ProcessorType"] = str(arch)
    for end, version in (("Min", vmin), ("Max", vmax)):
        if version is not None:
            new["OSVersion" + end] = "%u.%u" % version[:2]
            new["BuildNumber" + end] = signed(version[2])

    def reads(value):
        return tuple(int(part) % (1 << 32) for part in value.split("."))

    out, at = b"", 0
    for tag in re.finditer(rb"<parm\b[^>]*>", doc):
        attrs = dict((m.group(1), m) for m in re.finditer(
            rb"""(\w+)\s*=\s*(["'])(.*?)\2""", tag.group(0), re.S))
        if b"name" not in attrs or b"value" not in attrs:
            continue
        name = attrs[b"name"].group(3).decode()
        value = attrs[b"value"]
        if name not in new:
            continue
        try:
            if reads(value.group(3).decode()) == reads(new[name]):
                continue
        except ValueError:
            pass
        start = tag.start() + value.start(3)
        out += doc[at:start] + new[name].encode()
        at = tag.start() + value.end(3)
    return out + doc[at:]


def xml_lines(e2e, name, app, arch, vmin, vmax):
    """The setup XML's lines of d: arch as "2336 (ARM_920)" or None,
    versions as shown."""
    return e2e.lines("Setup XML: " + name, "XML app name: " + app,
                     "XML architecture: " + (arch or "not set"),
                     "XML WinCE version min: " + vmin,
                     "XML WinCE version max: " + vmax)


def cabinet_lines(e2e, cab, member, programs="none"):
    flags, kinds, names, signed = parse(cab)
    folder = names[member]
    return e2e.lines("Cabinet member: " + member.decode("latin-1"),
                     "Cabinet folder: %u (%s)"
                     % (folder, "MSZIP" if kinds[folder] == 1 else "stored"),
                     "Cabinet signed: " + ("yes" if signed else "no"),
                     "Cabinet programs: " + programs)


def warning(programs, family):
    """The warning of a change to family, when the programs call for one."""
    others = [f for f in programs.split(", ")
              if f not in (family, ".NET", "none")]
    if not others:
        return []
    return ["Warning: the cabinet holds programs for %s, not for %s"
            % (", ".join(others), family)]


# ---------------------------------------------------------------------------
# Checks after a run


def only_file(folder, name):
    """Problems when anything but the cabinet is left in the folder."""
    left = sorted(set(os.listdir(folder)) - {name})
    return ["left beside the cabinet: %s" % left] if left else []


def changed(e2e, name, original, fields, unsign=False):
    """A check: the cabinet tests clean with cabextract, its members are
    the original's with the setup file changed in fields only, and nothing
    else is left in the folder."""
    def check(folder):
        path = os.path.join(folder, name)
        test = subprocess.run(["cabextract", "-t", path], capture_output=True)
        if test.returncode != 0 or b"no errors" not in test.stdout:
            return ["cabextract -t: %r %r" % (test.stdout[-200:],
                                                test.stderr[-200:])]
        with tempfile.NamedTemporaryFile(suffix=".cab") as old:
            old.write(original)
            old.flush()
            expected = extract(old.name)
        member = next((name for name, data in expected.items()
                       if data[:4] == b"MSCE" and len(data) >= 100), None)
        if member is not None:
            expected[member] = e2e.patched(expected[member], **fields)
        actual = extract(path)
        for xml_name in expected:
            if not is_xml_name(xml_name):
                continue
            old_xml = expected[xml_name]
            expected[xml_name] = xml_changed(old_xml, **fields)
            if expected[xml_name] == old_xml:
                continue
            try:
                parms = xml_parms(actual.get(xml_name, b""))
            except xml.etree.ElementTree.ParseError as error:
                return ["%s does not parse: %s" % (xml_name, error)]
            if parms != xml_parms(expected[xml_name]):
                return ["%s holds %r" % (xml_name, parms)]
        problems = ["member %s differs" % n for n in sorted(expected)
                    if actual.get(n) != expected[n]]
        with open(path, "rb") as f:
            cab = f.read()
        if unsign and (parse(cab)[3] or
                       struct.unpack_from("<I", cab, 8)[0] != len(cab)):
            problems.append("a signature is left")
        return problems + only_file(folder, name)
    return check


def untouched(name):
    return lambda folder: only_file(folder, name)


# ---------------------------------------------------------------------------
# Cases

CHANGE = (["-arch", "ARM_7TDMI", "-vermin", "6.1.2", "-vermax", "7",
           "-allplatforms"],
          ["Arch set to 70001 (ARM_7TDMI)", "Min ver set to 6.1 build 2",
           "Max ver set to 7.0 build 0", "Unsupported platforms cleared"],
          {"arch": 70001, "vmin": (6, 1, 2), "vmax": (7, 0, 0),
           "clear_platforms": True})


# The families of the real cabinets' programs, read off their members:
# three processor families, and .NET (beside an ARM setup DLL, which comes
# first in the member table).
REAL_PROGRAMS = {
    "any-ppc-netcf-benchmarkdotnet.cab": "ARM, .NET",
    "any-wm-ms-netcf35-messages.cab": ".NET",
    "arm920-hpc-nsbasic-runtime.cab": "ARM",
    "mips-hpc-ms-blackjack-sample.cab": "MIPS",
    "mips-ppc211-ms-blkjack.cab": "MIPS",
    "sh3-palmpc-ms-blackjack-sample.cab": "SH3",
    "sh3-ppc30-ms-blkjack.cab": "SH3",
    "strongarm-hpcpro-ms-blackjack-sample.cab": "ARM",
}


# The setup XML lines of the real cabinets that carry one, read off their
# _setup.xml members.
REAL_XML = {
    "any-wm-ms-netcf35-messages.cab":
        ("Microsoft .NET CF 3.5 EN-String Resource", None, "4.0 build 0",
         "6.999 build 3758096384"),
    "arm920-hpc-nsbasic-runtime.cab":
        ("NSB Runtime", "2336 (ARM_920)", "4.0", "100.0"),
}


def real_cases(e2e, shared):
    folder = os.path.join(shared or "", "realworld")
    listing = os.path.join(folder, "expected-display.txt")
    if not shared or not os.path.isfile(listing):
        reason = "no %s" % listing
        return [e2e.Case("cabinet", "real cabinets", args=[],
                         skip=lambda opts: reason)]
    with open(listing, "rb") as f:
        blocks = re.split(rb"^== (.+)\n", f.read(), flags=re.M)[1:]
    reports = {name.decode(): text.replace(b"\n", b"\r\n")
               for name, text in zip(blocks[0::2], blocks[1::2])}
    cases = []
    listed = {}  # cabinet name -> (member, signed, programs)
    for cab_name in sorted(os.listdir(folder)):
        if not cab_name.endswith(".cab"):
            continue
        with open(os.path.join(folder, cab_name), "rb") as f:
            cab = f.read()
        with open(os.path.join(folder, cab_name[:-4] + ".000"), "rb") as f:
            setup = f.read()
        signed = parse(cab)[3]
        try:
            member = setup_name(extract(os.path.join(folder, cab_name)))
        except (RuntimeError, OSError, StopIteration) as error:
            reason = "cannot list %s: %s" % (cab_name, error)
            cases.append(e2e.Case("cabinet", cab_name, args=[],
                                  skip=lambda opts, r=reason: r))
            continue
        files = {cab_name: cab}
        if cab_name not in REAL_PROGRAMS:
            reason = "no programs line known for %s" % cab_name
            cases.append(e2e.Case("cabinet", cab_name, args=[],
                                  skip=lambda opts, r=reason: r))
            continue
        programs = REAL_PROGRAMS[cab_name]
        listed[cab_name] = (member, signed, programs)
        members = extract(os.path.join(folder, cab_name))
        xml_doc = next((data for name, data in members.items()
                        if is_xml_name(name)), None)
        xml_out = b""
        if xml_doc is not None:
            xml_out = xml_lines(e2e, "_setup.xml", *REAL_XML[cab_name])
        cases.append(e2e.Case(
            "cabinet", "d " + cab_name, args=["d", cab_name],
            out=reports[cab_name[:-4] + ".000"] +
            cabinet_lines(e2e, cab, member, programs) + xml_out, files=files,
            after=files))
        options, out, fields = CHANGE
        unsign = ["-unsign"] if signed else []
        updated = (["Setup XML updated"] if xml_doc is not None and
                   xml_changed(xml_doc, **fields) != xml_doc else [])
        cases.append(e2e.Case(
            "cabinet", "c " + cab_name, args=["c"] + options + unsign +
            [cab_name], out=e2e.lines(*out + (["Signature removed"]
                                               if signed else []) +
                                      warning(programs, "ARM") + updated),
            files=files, check=changed(e2e, cab_name, cab, fields, signed)))
        if signed:
            cases.append(e2e.Case(
                "cabinet", "signed, without -unsign: " + cab_name,
                args=["c"] + options + [cab_name], rc=108,
                err=e2e.lines("Cabinet is signed: a change would break its "
                              "signature (add -unsign to remove it)"),
                files=files, after=files, check=untouched(cab_name)))
        assert setup == extract(os.path.join(folder, cab_name))[member]
    cases += real_list_cases(e2e, folder, reports, listed)
    return cases


def report_row(path, report, member=b"", signed="", programs="",
               xml=("", "", "")):
    """The list row of a setup file, from its display report; xml the
    setup XML's three fields."""
    fields = dict(line.split(": ", 1) for line in
                  report.decode("latin-1").split("\r\n") if ": " in line)
    code, name = re.fullmatch(r"(\d+) \((.*)\)", fields["Architecture"]).groups()
    versions = [re.sub(r"(\d+)\.(\d+) build (\d+)", r"\1.\2.\3",
                       fields["WinCE version " + end]) for end in ("min", "max")]
    return list_row(path, member.decode("latin-1"), int(code),
                    "" if name == "unknown" else name,
                    *[tuple(map(int, v.split("."))) for v in versions],
                    fields.get("Unsupported platforms", "").replace(", ", ","),
                    signed, programs.replace(", ", ","), fields["App name"],
                    fields["Provider"], xml)


def real_list_cases(e2e, folder, reports, listed):
    """l over the real setup files and cabinets: a row each, as d shows
    them; natively and under Wine, where paths use the other separator."""
    files, rows = {}, [LIST_HEADER]
    for name in sorted(reports):
        cab = name[:-4] + ".cab"
        for each in [name] + ([cab] if cab in listed else []):
            with open(os.path.join(folder, each), "rb") as f:
                files["real/" + each] = f.read()
            if each == cab:
                member, signed, programs = listed[cab]
                xml = ("", "", "")
                if cab in REAL_XML:
                    # The XML's lines as the row writes them.
                    _, arch, vmin, vmax = REAL_XML[cab]
                    xml = ("" if arch is None else arch.split()[0],
                           *(v.replace(" build ", ".") for v in (vmin, vmax)))
                rows.append(report_row("real/" + cab, reports[name], member,
                                       "yes" if signed else "no", programs,
                                       xml))
            else:
                rows.append(report_row("real/" + name, reports[name]))
    return [e2e.Case("list", "the real setup files and cabinets",
                     args=["l", "real"], files=files, where=where,
                     out=e2e.lines(*[row.replace("real/", "real" + sep, 1)
                                     for row in rows]))
            for where, sep in (("native", "/"), ("wine", "\\"))]


def built_cases(e2e):
    Case, lines = e2e.Case, e2e.lines
    setup = e2e.SAMPLE
    readme = b"Hello CE, a readme.\r\n" * 40
    big = bytes(range(256)) * 400
    plain = build_cab([0], [(b"HELLO.000", setup, 0), (b"readme.txt", readme, 0)])
    packed = build_cab([0, 1, 1], [(b"readme.txt", readme, 0),
                                   (b"lib.dll", big, 1),
                                   (b"Hello CE.000", setup, 1),
                                   (b"more.bin", big, 2),
                                   (b"hello.exe", pe_file(), 2)],
                       folder_reserve=arch_copy(2577, b"Hello CE",
                                                b"setuphdr tests"))
    signed = build_cab([1], [(b"HELLO.000", setup, 0)], signature=b"S" * 500)
    options, out, fields = CHANGE
    cases = []
    for name, cab in (("plain.cab", plain), ("packed.cab", packed),
                      ("signed.cab", signed)):
        files = {name: cab}
        member = b"Hello CE.000" if name == "packed.cab" else b"HELLO.000"
        cases.append(Case("cabinet", "d " + name, args=["d", name],
                          out=e2e.SAMPLE_REPORT +
                          cabinet_lines(e2e, cab, member,
                                        "ARM" if name == "packed.cab"
                                        else "none"),
                          files=files, after=files))
    for name, cab in (("plain.cab", plain), ("packed.cab", packed)):
        cases.append(Case("cabinet", "c " + name,
                          args=["c"] + options + [name], out=lines(*out),
                          files={name: cab},
                          check=changed(e2e, name, cab, fields)))
    # StrongARM to MIPS leaves the ARM program behind; to ARM_920 it runs.
    for arch, code, family in (("MIPS_R4000", 4000, "MIPS"),
                               ("ARM_920", 2336, "ARM")):
        cases.append(Case("cabinet", "c -arch %s on ARM programs" % arch,
                          args=["c", "-arch", arch, "packed.cab"],
                          out=lines("Arch set to %u (%s)" % (code, arch),
                                    *warning("ARM", family)),
                          files={"packed.cab": packed},
                          check=changed(e2e, "packed.cab", packed,
                                        {"arch": code})))
    # A minimum above the maximum (3.0 > 2.11: the major decides) is
    # warned of after the family warning; the change is still made. A
    # maximum of 0.0.0 (none given to the cabinet builder) is not judged.
    for vmax, empty in (((2, 11, 0), True), ((0, 0, 0), False)):
        cases.append(Case(
            "cabinet", "c -vermin 3.0 -vermax %u.%u.%u" % vmax,
            args=["c", "-arch", "MIPS_R4000", "-vermin", "3.0",
                  "-vermax", "%u.%u.%u" % vmax, "packed.cab"],
            out=lines("Arch set to 4000 (MIPS_R4000)",
                      "Min ver set to 3.0 build 0",
                      "Max ver set to %u.%u build %u" % vmax,
                      *warning("ARM", "MIPS") +
                      (["Warning: the minimum CE version is above the "
                        "maximum; no device will install it"] if empty
                       else [])),
            files={"packed.cab": packed},
            check=changed(e2e, "packed.cab", packed,
                          {"arch": 4000, "vmin": (3, 0, 0), "vmax": vmax})))

    def refused(title, name, cab, args, rc, message, **kwargs):
        cases.append(Case("cabinet", title, args=args + [name], rc=rc,
                          err=lines(message) if message else b"",
                          files={name: cab},
                          after={name: cab}, check=untouched(name), **kwargs))

    refused("signed, c without -unsign", "signed.cab", signed,
            ["c", "-arch", "0"], 108, "Cabinet is signed: a change would "
            "break its signature (add -unsign to remove it)")
    cases.append(Case("cabinet", "signed, -unsign alone",
                      args=["c", "-unsign", "signed.cab"],
                      out=lines("Signature removed"),
                      files={"signed.cab": signed},
                      check=changed(e2e, "signed.cab", signed, {}, True)))
    # A cabinet named through a link is replaced where the link leads; the
    # link stays, also one to the standard input's /proc entry.
    def linked(target):
        def prepare(folder):
            for name in ("real", "links"):
                os.makedirs(os.path.join(folder, name))
            os.rename(os.path.join(folder, "a.cab"),
                      os.path.join(folder, "real", "a.cab"))
            os.symlink(target, os.path.join(folder, "links", "a.cab"))
        return prepare

    def link_kept(target):
        def check(folder):
            link = os.path.join(folder, "links", "a.cab")
            if not os.path.islink(link) or os.readlink(link) != target:
                return ["links/a.cab is no longer the link to %s" % target]
            return (changed(e2e, "a.cab", plain, fields)(
                os.path.join(folder, "real")) +
                only_file(os.path.join(folder, "links"), "a.cab"))
        return check

    for target, where in (("../real/a.cab", "both"),
                          ("/proc/self/fd/0", "native")):
        cases.append(Case("cabinet", "c through a link to " + target,
                          args=["c"] + options + ["links/a.cab"],
                          out=lines(*out), files={"a.cab": plain},
                          prepare=linked(target), stdin="real/a.cab",
                          where=where, check=link_kept(target)))

    # A read-only cabinet stays read-only (the change itself needs root).
    def read_only(folder):
        os.chmod(os.path.join(folder, "plain.cab"), 0o444)

    def stays_read_only(folder):
        mode = stat.S_IMODE(os.stat(os.path.join(folder, "plain.cab")).st_mode)
        return ((["mode %o afterwards" % mode] if mode != 0o444 else []) +
                changed(e2e, "plain.cab", plain, fields)(folder))
    cases.append(Case("cabinet", "c on a read-only cabinet",
                      args=["c"] + options + ["plain.cab"], out=lines(*out),
                      files={"plain.cab": plain}, prepare=read_only,
                      check=stays_read_only,
                      skip=lambda opts: None if os.geteuid() == 0 else
                      "only root may change a read-only file"))
    cases.append(Case("cabinet", "unsigned, -unsign alone",
                      args=["c", "-unsign", "plain.cab"],
                      out=lines("No signature to remove"),
                      files={"plain.cab": plain}, after={"plain.cab": plain},
                      check=untouched("plain.cab")))
    refused("-unsign on a setup file", "f.000", setup,
            ["c", "-unsign", "-arch", "0"], 2,
            "Invalid option for a setup file")

    lzx = bytearray(plain)
    lzx[42] = 3
    bad_sum = bytearray(plain)
    bad_sum[-5] ^= 1
    two = build_cab([0, 1], [(b"A.000", setup, 0), (b"B.000", setup, 1)])
    none = build_cab([1], [(b"readme.txt", readme, 0)])
    for action in (["d"], ["c", "-arch", "0"]):
        verb = action[0]
        refused("LZX folder, " + verb, "x.cab", bytes(lzx), action, 107,
                "Cabinet not handled: folder 0 is LZX-compressed")
        refused("checksum mismatch, " + verb, "x.cab", bytes(bad_sum), action,
                106, "Damaged cabinet: checksum mismatch in block 0 of "
                "folder 0")
        refused("two setup files, " + verb, "x.cab", two, action, 107,
                "Cabinet not handled: 2 setup files (A.000, B.000)")
        refused("no setup file, " + verb, "x.cab", none, action, 103,
                "No setup file in the cabinet")
        refused("cut short, " + verb, "x.cab", plain[:-1], action, 106,
                "Damaged cabinet: cabinet size %u does not fit the file "
                "(%u bytes)" % (len(plain), len(plain) - 1))
    # Member names come from the file: on every stream their control bytes
    # are shown as ?, so that no name ends a line or fakes another.
    broken = build_cab([0, 1], [(b"x\nFAKE: second line", setup, 0),
                                (b"B\x1b[2J\x7f.000", setup, 1)])
    for action in (["d"], ["c", "-arch", "0"]):
        verb = action[0]
        refused("names breaking the error line, " + verb, "x.cab", broken,
                action, 107, "Cabinet not handled: 2 setup files "
                "(x?FAKE: second line, B?[2J?.000)")
        refused("empty member name, " + verb, "x.cab",
                build_cab([0], [(b"APP.000", setup, 0), (b"", readme, 0)]),
                action, 106, "Damaged cabinet: name of file 1 is empty")
        refused("member name of 256 bytes, " + verb, "x.cab",
                build_cab([0], [(b"n" * 256, setup, 0)]), action, 106,
                "Damaged cabinet: name of file 0 is longer than 255 bytes")
    faking = build_cab([1], [(b"APP\r\nArchitecture: 0 (Any)\r\nX.000",
                              setup, 0)])
    cases.append(Case("cabinet", "member name faking report lines, d",
                      args=["d", "x.cab"], out=e2e.SAMPLE_REPORT +
                      lines("Cabinet member: APP??Architecture: 0 (Any)??X.000",
                            "Cabinet folder: 0 (MSZIP)", "Cabinet signed: no",
                            "Cabinet programs: none"),
                      files={"x.cab": faking}, after={"x.cab": faking}))
    refused("unknown bytes behind the cabinet, c", "x.cab", plain + b"xyz",
            ["c", "-arch", "0"], 107,
            "Cabinet not handled: 3 unknown bytes behind its end")

    # Refused from the header, before the 3 GiB would be read.
    def behind(folder):
        with open(os.path.join(folder, "x.cab"), "wb") as f:
            f.write(plain)
            f.truncate(3 * 2**30)
    cases.append(Case("cabinet", "unknown bytes behind, 3 GiB in 32 MiB, c",
                      args=["c", "-arch", "0", "x.cab"], rc=107,
                      err=lines("Cabinet not handled: %u unknown bytes "
                                "behind its end" % (3 * 2**30 - len(plain))),
                      prepare=behind, where="native",
                      limits={resource.RLIMIT_AS: 2**25},
                      skip=e2e.when_wrapped))

    # Blocks of 30000, 100, 32768 and 1000 bytes, the setup file at the
    # start of the first and the third repeating most of it. Written without
    # back-references every reader reads them alike, and so must the blocks
    # the change writes anew; written against the last 32 KiB, the third
    # means other bytes to cabextract, which reads against its frame.
    first = setup + noise(30000 - len(setup), 1)
    stream = (first + noise(100, 2, high=True) + (first * 2)[:32768] +
              noise(1000, 3))
    sizes = (30000, 100, 32768, 1000)
    short = [(b"HELLO.000", setup, 0), (b"data.bin", stream[len(setup):], 0)]
    longer = short[:1] + [(b"data.bin", stream[len(setup):] +
                           noise(70000, 4), 0)]
    for name, members in (("short blocks", short),
                          ("short blocks, then full ones", longer)):
        cab = build_cab([1], members, sizes=sizes, history=False)
        cases.append(Case("cabinet", "c, " + name,
                          args=["c"] + options + ["s.cab"], out=lines(*out),
                          files={"s.cab": cab},
                          check=changed(e2e, "s.cab", cab, fields)))
    ambiguous = build_cab([1], short, sizes=sizes)
    cases.append(Case("cabinet", "d, a block that reads two ways",
                      args=["d", "a.cab"], out=e2e.SAMPLE_REPORT +
                      cabinet_lines(e2e, ambiguous, b"HELLO.000"),
                      files={"a.cab": ambiguous},
                      after={"a.cab": ambiguous}))
    refused("c, a block that reads two ways", "a.cab", ambiguous,
            ["c", "-arch", "0"], 107, "Cabinet not handled: block 2 of "
            "folder 0 decodes differently in other readers (it refers back "
            "across a short block)")

    # Blocks of forms libmspack (cabextract) reads otherwise than zlib, and
    # their near forms that read alike: block 2 (1000 bytes) of blocks of
    # 32768, 32768, 1000 and 32768 bytes, none referring back.
    hand_stream = setup + noise(2 * 32768 + 1000 + 5000 - len(setup), 5)
    third = hand_stream[65536:66536]
    crafted = [(b"HELLO.000", setup, 0),
               (b"data.bin", hand_stream[len(setup):], 0)]

    def hand_made(block):
        return build_cab([1], crafted, sizes=(32768, 32768, 1000),
                         history=False, packed={2: b"CK" + block})

    def padded(empty, extra=b""):
        bits = DeflateBits()
        for _ in range(empty):
            bits.stored(b"", 0)
        bits.stored(third, 1)
        return bits.bytes() + extra

    z = zlib.compressobj(6, zlib.DEFLATED, -15)
    plain_third = z.compress(third) + z.flush()
    z = zlib.compressobj(6, zlib.DEFLATED, -15)
    xyz = z.compress(b"XYZ") + z.flush()
    # A repeat (16) behind a run of zeros (17): zlib repeats the 0 before
    # it, libmspack the length last sent, here a 0 too.
    repeat = DeflateBits()
    repeat.dynamic(264, 3, {9: 1, 2: 3, 0: 4, 1: 4, 17: 3, 16: 3},
                   [(9, 0)] * 256 + [(2, 0), (2, 0), (0, 0), (17, 0),
                                     (16, 0), (1, 0), (1, 0)],
                   [9] * 256 + [2, 2], third, 1)
    for title, block in (
            ('plain bytes and a "C" behind a block\'s stream',
             plain_third + b"\0 junk C"),
            ("a block of 38,912 bytes", padded(7581)),
            ("a repeat of a zero behind zeros", repeat.bytes())):
        cab = hand_made(block)
        cases.append(Case("cabinet", "c, " + title,
                          args=["c"] + options + ["h.cab"], out=lines(*out),
                          files={"h.cab": cab},
                          check=changed(e2e, "h.cab", cab, fields)))
    ck_behind = hand_made(plain_third + b"CK" + xyz)
    cases.append(Case("cabinet", 'd, "CK" behind a block\'s stream',
                      args=["d", "h.cab"], out=e2e.SAMPLE_REPORT +
                      cabinet_lines(e2e, ck_behind, b"HELLO.000"),
                      files={"h.cab": ck_behind}, after={"h.cab": ck_behind}))
    for title, cab, why in (
            ('"CK" behind a block\'s stream', ck_behind,
             'it holds "CK" behind its deflate stream'),
            ("a block of 38,913 bytes", hand_made(padded(7581, b"\0")),
             "it holds more than 38912 compressed bytes")):
        refused("c, " + title, "h.cab", cab, ["c", "-arch", "0"], 107,
                "Cabinet not handled: block 2 of folder 0 decodes "
                "differently in other readers (%s)" % why)

    # A setup file of 64 MiB (2048 blocks of zeros behind its header) in an
    # address space of 32 MiB: the display holds only what the header can
    # refer to, the change the cabinet, its new image and a block or two.
    huge = build_cab([1], [(b"HELLO.000", setup + bytes(2**26 - len(setup)),
                            0)])
    cases.append(Case("cabinet", "d, a setup file of 64 MiB in 32 MiB",
                      args=["d", "h.cab"], out=e2e.SAMPLE_REPORT +
                      cabinet_lines(e2e, huge, b"HELLO.000"),
                      files={"h.cab": huge}, after={"h.cab": huge},
                      where="native", limits={resource.RLIMIT_AS: 2**25},
                      skip=e2e.when_wrapped))
    cases.append(Case("cabinet", "c, a setup file of 64 MiB in 32 MiB",
                      args=["c", "-arch", "0", "h.cab"],
                      out=lines("Arch set to 0 (Any)"), files={"h.cab": huge},
                      where="native", limits={resource.RLIMIT_AS: 2**25},
                      skip=e2e.when_wrapped,
                      check=changed(e2e, "h.cab", huge, {"arch": 0})))

    def sparse(folder):
        with open(os.path.join(folder, "big.cab"), "wb") as f:
            f.write(plain)
            f.truncate(4 * 2**30 + 1)
    cases.append(Case("cabinet", "cabinet of 4 GiB + 1", args=["d", "big.cab"],
                      rc=107, err=lines('Cabinet "big.cab" is too large '
                                        '(4 GiB or more)'), prepare=sparse))
    # The new image cannot be written: the original stays, nothing is left.
    refused("new cabinet over the file-size limit", "plain.cab", plain,
            ["c", "-arch", "0"], 109, None, where="native",
            limits={resource.RLIMIT_FSIZE: len(plain) - 1})
    cases[-1].out = lines("Arch set to 0 (Any)")
    cases[-1].err = e2e.error_line(r"Cannot write the new cabinet \(%s\); "
                                   r"the cabinet is unchanged" % e2e.SYS)
    refused("held by another process", "plain.cab", plain,
            ["c", "-arch", "0"], 101, None, where="native", lock="read")
    cases[-1].err = e2e.open_failure("plain.cab")
    return cases


LIST_HEADER = ("path\tmember\tarch\tarch name\tmin version\tmax version\t"
               "unsupported platforms\tsigned\tprograms\tapp name\tprovider\t"
               "xml arch\txml min\txml max")


def list_row(path, member, arch, name, vmin, vmax, platforms, signed,
             programs, app, provider, xml=("", "", "")):
    return "\t".join([path, member, str(arch), name, "%u.%u.%u" % vmin,
                      "%u.%u.%u" % vmax, platforms, signed, programs, app,
                      provider] + list(xml))


def xml_fields(arch, vmin, vmax):
    """The three setup-XML fields of a row: arch a number or None, versions
    (major, minor) or (major, minor, build) or None."""
    def version(v):
        return "" if v is None else ".".join(map(str, v))
    return ("" if arch is None else str(arch), version(vmin), version(vmax))


def xml_object(arch, vmin, vmax):
    """The xml member of a JSON object, from the same values."""
    def version(v):
        if v is None:
            return None
        return {"major": v[0], "minor": v[1],
                "build": v[2] if len(v) > 2 else None}
    return {"arch": arch, "min": version(vmin), "max": version(vmax)}


def masked(data):
    """A field of a row: the bytes 0x00 to 0x1F and 0x7F as "?", the others
    as the characters of the same number."""
    return "".join("?" if b < 0x20 or b == 0x7F else chr(b) for b in data)


def list_forms(path, member, values, signed, programs, xml=None):
    """The row and the JSON line (without CR LF) of one setup file, from one
    record of raw values: member bytes or None for a setup file; values
    (provider, app, arch, arch name, min, max, platforms), the texts as
    bytes, or for a cabinet with only a setup XML the XML's app name (text);
    signed True, False or None; programs a list of family names; xml None
    or the setup XML's (arch, min, max) as xml_fields takes them. Strings of
    the object are the bytes as Latin-1 characters (the XML's app name its
    own characters), written by json.dumps with its default spacing and
    ASCII escapes."""
    fields = ("", "", "") if xml is None else xml_fields(*xml)
    sign = "" if signed is None else "yes" if signed else "no"
    text = lambda data: data.decode("latin-1")
    record = {"path": path,
              "member": None if member is None else text(member)}
    if isinstance(values, str):  # only a setup XML
        row = "\t".join([path, masked(member), "", "", "", "", "", sign,
                         ",".join(programs), values, ""] + list(fields))
        record.update({"arch": None, "archName": None, "min": None,
                       "max": None, "platforms": [], "signed": signed,
                       "programs": programs, "app": values,
                       "provider": None})
    else:
        provider, app, arch, name, vmin, vmax, platforms = values
        row = list_row(path, "" if member is None else masked(member), arch,
                       name, vmin, vmax, ",".join(map(masked, platforms)),
                       sign, ",".join(programs), masked(app),
                       masked(provider), fields)

        def version(triple):
            return dict(zip(("major", "minor", "build"), triple))
        record.update({"arch": arch, "archName": name or None,
                       "min": version(vmin), "max": version(vmax),
                       "platforms": list(map(text, platforms)),
                       "signed": signed, "programs": programs,
                       "app": text(app), "provider": text(provider)})
    record["xml"] = None if xml is None else xml_object(*xml)
    return row, json.dumps(record)


def json_error(path, message, code):
    """The JSON line of a path that could not be listed."""
    return json.dumps({"path": path, "error": message, "exit": code})


def list_cases(e2e):
    """The list action over folders of setup files, cabinets and others,
    natively and under Wine, where paths use the other separator; as rows
    and as JSON objects, both from one record per setup file."""
    Case, lines = e2e.Case, e2e.lines
    setup = e2e.SAMPLE
    odd = e2e.setup_file(arch=5, app=b"Tab\there\nNL", provider=b"\x7fP\xe9",
                         platforms=())
    # Code-page bytes in a member name, a platform name and the texts, and
    # the characters JSON escapes.
    latin = e2e.setup_file(arch=2336, vmin=(2, 11, 7), vmax=(6, 99, 0),
                           app=b"Caf\xe9 \xa9", provider=b'Q"uote\\d',
                           platforms=(b"PALM PC", b"", b"\xb2\x80\xff/"))
    plain = build_cab([0], [(b"HELLO.000", setup, 0), (b"readme.txt", b"hi", 0)])
    weird = build_cab([1], [(b"x\nFAKE: y.000", odd, 0)])
    # Two setup files, one row each in member order, and MIPS and ARM code.
    two = build_cab([1, 0], [(b"mips.exe", pe_file(0x0166), 0),
                             (b"B.000", odd, 1), (b"A.000", setup, 0),
                             (b"arm.dll", pe_file(0x01C0), 1)])
    accented = build_cab([1], [(b"app.exe", pe_file(0x01A2), 0),
                               (b"Ca\xe7a \x80\xff.000", latin, 0)],
                         signature=b"S" * 100)
    # Setup XMLs: beside the setup file, and all a cabinet carries; a
    # cabinet with neither is passed over in a folder.
    with_xml = build_cab([0], [(b"HELLO.000", setup, 0),
                               (b"_setup.xml", setup_xml("2336", "4.21"), 0)])
    only_xml = build_cab([1], [(b"app.exe", pe_file(), 0),
                               (b"_SETUP.XML", setup_xml(), 0)])
    neither = build_cab([0], [(b"readme.txt", b"hi", 0)])
    folder = {"lib/a.000": setup, "lib/b.cab": plain, "lib/notes.txt": b"MS",
              "lib/sub/c.000": odd, "lib/sub/caf.cab": accented,
              "lib/sub/empty": b"", "lib/sub/none.cab": neither,
              "lib/sub/wm.cab": with_xml, "lib/two.cab": two,
              "lib/wm5.cab": only_xml, "lib/zz.cab": weird}
    sample = (b"setuphdr tests", b"Hello CE", 2577, "StrongARM", (3, 0, 0),
              (5, 99, 3758096384), (b"HPC", b"JUPITER"))
    odd_values = (b"\x7fP\xe9", b"Tab\there\nNL", 5, "", (3, 0, 0),
                  (5, 99, 3758096384), ())
    latin_values = (b'Q"uote\\d', b"Caf\xe9 \xa9", 2336, "ARM_920",
                    (2, 11, 7), (6, 99, 0),
                    (b"PALM PC", b"", b"\xb2\x80\xff/"))
    records = [("lib/a.000", None, sample, None, []),
               ("lib/b.cab", b"HELLO.000", sample, False, []),
               ("lib/sub/c.000", None, odd_values, None, []),
               ("lib/sub/caf.cab", b"Ca\xe7a \x80\xff.000", latin_values,
                True, ["SH3"]),
               ("lib/sub/wm.cab", b"HELLO.000", sample, False, [],
                (2336, (4, 21), (5, 99, 3758096384))),
               ("lib/two.cab", b"B.000", odd_values, False, ["MIPS", "ARM"]),
               ("lib/two.cab", b"A.000", sample, False, ["MIPS", "ARM"]),
               ("lib/wm5.cab", b"_SETUP.XML", "Hello CE", False, ["ARM"],
                (2577, (3, 0), (5, 99, 3758096384))),
               ("lib/zz.cab", b"x\nFAKE: y.000", odd_values, False, [])]

    def forms(sep, paths=None):
        """The (row, JSON line) of each record, those of paths (or all),
        with the platform's separator."""
        return [list_forms(path.replace("/", sep), *rest)
                for path, *rest in records
                if paths is None or path in paths]

    def rows(sep, paths=None):
        return [LIST_HEADER] + [row for row, _ in forms(sep, paths)]

    def objects(sep, paths=None):
        return [line for _, line in forms(sep, paths)]

    damaged = dict(folder)
    damaged["lib/sub/bad.cab"] = plain[:60]
    bad_message = ("Damaged cabinet: cabinet size 596 does not fit the file "
                   "(60 bytes)")
    cases = []
    for where, sep in (("native", "/"), ("wine", "\\")):
        cases.append(Case("list", "a folder, walked in name order",
                          args=["l", "lib"], out=lines(*rows(sep)),
                          files=folder, after=folder, where=where))
        bad_path = "lib/sub/bad.cab".replace("/", sep)
        cases.append(Case("list", "a damaged cabinet among good files",
                          args=["l", "lib"], rc=111, out=lines(*rows(sep)),
                          err=lines(bad_path + ": " + bad_message),
                          files=damaged, where=where))
        # The same records as JSON objects; the damaged cabinet's error
        # line as an object in its place.
        cases.append(Case("list", "-json: a folder, walked in name order",
                          args=["l", "-json", "lib"],
                          out=lines(*objects(sep)), files=folder,
                          after=folder, where=where))
        out = objects(sep)
        out.insert(2, json_error(bad_path, bad_message, 106))
        cases.append(Case("list",
                          "-json: a damaged cabinet among good files",
                          args=["l", "-json", "lib"], rc=111,
                          out=lines(*out),
                          err=lines(bad_path + ": " + bad_message),
                          files=damaged, where=where))
    named = ["lib/a.000", "none.cab", "lib/notes.txt", "lib/sub/none.cab",
             "lib/sub/empty", "lib/b.cab"]
    named_err = e2e.Re(r"none\.cab: Cannot open \"none\.cab\" \(" + e2e.SYS +
                       r"\)\r\n"
                       r"lib/notes\.txt: File too short for an "
                       r"MSCE header \(2 bytes, 100 needed\)\r\n"
                       r"lib/sub/none\.cab: No setup file in the cabinet\r\n"
                       r"lib/sub/empty: File is empty\r\n")
    cases.append(Case("list", "named files, one missing, one not ours",
                      args=["l"] + named, rc=111,
                      out=lines(*rows("/", named)), err=named_err,
                      files=folder, where="native"))
    # Each failure's object: the message of its line and the code d gives;
    # the system's text (SYS) has no quote or backslash to escape.
    good = objects("/", named)
    expected = lines(good[0],
                     json_error("none.cab", 'Cannot open "none.cab" (SYS)',
                                101),
                     json_error("lib/notes.txt", "File too short for an MSCE "
                                "header (2 bytes, 100 needed)", 103),
                     json_error("lib/sub/none.cab",
                                "No setup file in the cabinet", 103),
                     json_error("lib/sub/empty", "File is empty", 101),
                     good[1]).decode("ascii")
    cases.append(Case("list", "-json: named files, one missing, one not ours",
                      args=["l", "-json"] + named, rc=111,
                      out=e2e.Re(re.escape(expected).replace("SYS", e2e.SYS)),
                      err=named_err, files=folder, where="native"))
    for name, args, message in [
            ("no path", ["l"], "No file specified"),
            ("an option", ["l", "-arch", "5", "lib"],
             "Invalid option for the action"),
            ("an unknown option", ["l", "lib", "-x"], "Invalid option x"),
            ("-json after a path", ["l", "lib", "-json"],
             "Option json must come before the paths"),
            ("-json twice", ["l", "-json", "-jsonl", "lib"],
             "Json already specified"),
            ("-json without a path", ["l", "-json"], "No file specified"),
            ("-json for d", ["d", "-json", "f.000"],
             "Invalid option json f.000"),
            ("-json for c", ["c", "-json", "-arch", "0", "f.000"],
             "Invalid option json -arch 0 f.000")]:
        cases.append(Case("list", name, args=args, rc=2, err=lines(message)))
    # Windows leaves wildcards to the program.
    top_cabs = ["lib/b.cab", "lib/two.cab", "lib/wm5.cab", "lib/zz.cab"]
    cases.append(Case("list", "a *.cab pattern", args=["l", "lib\\*.cab"],
                      out=lines(*rows("\\", top_cabs)),
                      files=folder, where="wine"))
    cases.append(Case("list", "a pattern that matches nothing",
                      args=["l", "lib\\*.none", "lib\\a.000"], rc=111,
                      out=lines(*rows("\\", ["lib/a.000"])),
                      err=lines("lib\\*.none: No file matches the pattern"),
                      files=folder, where="wine"))
    # A path the walk cannot follow has the list's own code.
    cases.append(Case("list", "-json: a pattern that matches nothing",
                      args=["l", "-json", "lib\\*.none", "lib\\a.000"],
                      rc=111, out=lines(
                          json_error("lib\\*.none",
                                     "No file matches the pattern", 111),
                          *objects("\\", ["lib/a.000"])),
                      err=lines("lib\\*.none: No file matches the pattern"),
                      files=folder, where="wine"))
    return cases


def xml_cases(e2e):
    """Cabinets with a setup XML: with only it, with one that cannot be
    read, with one that disagrees with the setup file, with two."""
    Case, lines = e2e.Case, e2e.lines
    setup = e2e.SAMPLE
    program = pe_file()
    sample_xml = setup_xml(vmax="5.99")
    only = build_cab([1, 0], [(b"hello.exe", program, 0),
                              (b"_setup.xml", sample_xml, 1)])
    bad_xml = sample_xml.replace(b"</characteristic>", b"</parm>")
    bad = build_cab([1], [(b"HELLO.000", setup, 0), (b"_setup.xml", bad_xml, 0)])
    differs = build_cab([0], [(b"HELLO.000", setup, 0),
                              (b"_Setup.XML", setup_xml("2336", "4.21"), 0)])
    two = build_cab([0], [(b"HELLO.000", setup, 0),
                          (b"_setup.xml", sample_xml, 0),
                          (b"_SETUP.XML", sample_xml, 0)])
    sample_lines = ("Hello CE", "2577 (StrongARM)", "3.0",
                    "5.99 build 3758096384")
    cases = [
        Case("cabinet", "d, only a setup XML", args=["d", "only.cab"],
             out=cabinet_lines(e2e, only, b"_setup.xml", "ARM") +
             xml_lines(e2e, "_setup.xml", *sample_lines),
             files={"only.cab": only}, after={"only.cab": only}),
        Case("cabinet", "d, a setup XML that cannot be read",
             args=["d", "bad.cab"],
             out=e2e.SAMPLE_REPORT + cabinet_lines(e2e, bad, b"HELLO.000") +
             lines("Setup XML: _setup.xml cannot be read (line 10: "
                   "mismatched tag)"),
             files={"bad.cab": bad}, after={"bad.cab": bad}),
        Case("cabinet", "d, a setup XML that disagrees",
             args=["d", "differs.cab"],
             out=e2e.SAMPLE_REPORT +
             cabinet_lines(e2e, differs, b"HELLO.000") +
             xml_lines(e2e, "_Setup.XML", "Hello CE", "2336 (ARM_920)",
                       "4.21", "5.99 build 3758096384") +
             lines("Warning: the setup XML and the setup file disagree on "
                   "architecture, version min"),
             files={"differs.cab": differs}, after={"differs.cab": differs}),
        Case("cabinet", "d, two setup XMLs: the first is shown",
             args=["d", "two.cab"],
             out=e2e.SAMPLE_REPORT + cabinet_lines(e2e, two, b"HELLO.000") +
             xml_lines(e2e, "_setup.xml", *sample_lines),
             files={"two.cab": two}, after={"two.cab": two}),
    ]
    # The change reaches the setup XML: a longer code, a shorter version.
    for name, cab, options, out, fields in (
            ("only.cab", only, ["-arch", "10003", "-vermax", "5.2"],
             ["Arch set to 10003 (Hitachi_SH3)", "Max ver set to 5.2 build 0",
              "Warning: the cabinet holds programs for ARM, not for SH3",
              "Setup XML updated"],
             {"arch": 10003, "vmax": (5, 2, 0)}),
            ("differs.cab", differs, ["-arch", "ARM_720", "-vermin", "4.21"],
             ["Arch set to 1824 (ARM_720)", "Min ver set to 4.21 build 0",
              "Setup XML updated"],
             {"arch": 1824, "vmin": (4, 21, 0)}),
            ("bad.cab", bad, ["-allplatforms"],
             ["Unsupported platforms cleared"], {"clear_platforms": True})):
        cases.append(Case("cabinet", "c %s %s" % (" ".join(options), name),
                          args=["c"] + options + [name], out=lines(*out),
                          files={name: cab},
                          check=changed(e2e, name, cab, fields)))
    for title, name, cab, args, rc, message in (
            ("c, a setup XML that cannot be read", "bad.cab", bad,
             ["-arch", "4000"], 107, "Cabinet not handled: _setup.xml cannot "
             "be read (line 10: mismatched tag)"),
            ("c, two setup XMLs", "two.cab", two, ["-unsign"], 107,
             "Cabinet not handled: several _setup.xml members"),
            ("c -allplatforms, only a setup XML", "only.cab", only,
             ["-arch", "4000", "-allplatforms"], 2,
             "Invalid option for a cabinet with only a setup XML")):
        cases.append(Case("cabinet", title, args=["c"] + args + [name],
                          rc=rc, err=lines(message), files={name: cab},
                          after={name: cab}, check=untouched(name)))
    return cases


def cases(e2e, shared):
    return (built_cases(e2e) + xml_cases(e2e) + real_cases(e2e, shared) +
            list_cases(e2e))
