"""End-to-end cases for cabinets (.cab), loaded by run_e2e.py as its
"cabinet" group: the real cabinets beside the checkout, cabinets built here
(stored and MSZIP folders, reserves, a signature) and every refusal.

A change is checked from outside: cabextract (an independent reader) must
test the new cabinet clean, every member but the setup file must be
byte-identical to before, the setup file must be the old one with exactly
the asked fields changed, and no temporary file may be left beside it.
"""

import os
import random
import re
import resource
import shutil
import struct
import subprocess
import tempfile
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


def build_cab(folders, members, signature=b"", folder_reserve=b"",
              sizes=(), history=True):
    """folders: [compression (0 stored, 1 MSZIP)]; members: [(name, bytes,
    folder)]. A signature is appended behind the cabinet with its 20-byte
    header reserve; folder_reserve goes into folder 0's reserve. sizes: the
    first blocks' sizes, then 32768; history: MSZIP blocks refer back to
    the last 32 KiB of the folder, or to nothing."""
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
            packed = raw
            if kind == 1:
                packed = deflate(stream[max(0, at - 32768):at] if history
                                 else b"", raw)
            at += len(raw)
            lengths = struct.pack("<HH", len(packed), len(raw))
            blocks += struct.pack("<I", checksum(lengths,
                                                 checksum(packed))) + \
                lengths + packed
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


def cabinet_lines(e2e, cab, member):
    flags, kinds, names, signed = parse(cab)
    folder = names[member]
    return e2e.lines("Cabinet member: " + member.decode("latin-1"),
                     "Cabinet folder: %u (%s)"
                     % (folder, "MSZIP" if kinds[folder] == 1 else "stored"),
                     "Cabinet signed: " + ("yes" if signed else "no"))


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
        member = setup_name(expected)
        expected[member] = e2e.patched(expected[member], **fields)
        actual = extract(path)
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

CHANGE = (["-arch", "ARM_7TDMI", "-vermin", "6.1.2", "-vermax", "7"],
          ["Arch set to 70001 (ARM_7TDMI)", "Min ver set to 6.1 build 2",
           "Max ver set to 7.0 build 0"],
          {"arch": 70001, "vmin": (6, 1, 2), "vmax": (7, 0, 0)})


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
        cases.append(e2e.Case(
            "cabinet", "d " + cab_name, args=["d", cab_name],
            out=reports[cab_name[:-4] + ".000"] +
            cabinet_lines(e2e, cab, member), files=files, after=files))
        options, out, fields = CHANGE
        unsign = ["-unsign"] if signed else []
        cases.append(e2e.Case(
            "cabinet", "c " + cab_name, args=["c"] + options + unsign +
            [cab_name], out=e2e.lines(*out + (["Signature removed"]
                                               if signed else [])),
            files=files, check=changed(e2e, cab_name, cab, fields, signed)))
        if signed:
            cases.append(e2e.Case(
                "cabinet", "signed, without -unsign: " + cab_name,
                args=["c"] + options + [cab_name], rc=108,
                err=e2e.lines("Cabinet is signed: a change would break its "
                              "signature (add -unsign to remove it)"),
                files=files, after=files, check=untouched(cab_name)))
        assert setup == extract(os.path.join(folder, cab_name))[member]
    return cases


def built_cases(e2e):
    Case, lines = e2e.Case, e2e.lines
    setup = e2e.SAMPLE
    readme = b"Hello CE, a readme.\r\n" * 40
    big = bytes(range(256)) * 400
    plain = build_cab([0], [(b"HELLO.000", setup, 0), (b"readme.txt", readme, 0)])
    packed = build_cab([0, 1, 1], [(b"readme.txt", readme, 0),
                                   (b"lib.dll", big, 1),
                                   (b"Hello CE.000", setup, 1),
                                   (b"more.bin", big, 2)],
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
                          cabinet_lines(e2e, cab, member),
                          files=files, after=files))
    for name, cab in (("plain.cab", plain), ("packed.cab", packed)):
        cases.append(Case("cabinet", "c " + name,
                          args=["c"] + options + [name], out=lines(*out),
                          files={name: cab},
                          check=changed(e2e, name, cab, fields)))

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


def cases(e2e, shared):
    return built_cases(e2e) + real_cases(e2e, shared)
