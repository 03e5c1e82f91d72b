#!/usr/bin/env python3
"""large_cab.py - writes a large MSZIP cabinet for the memory figure of
"setuphdr d" on a cabinet.

    bench/large_cab.py SETUP_FILE OUTPUT [SIZE]

One MSZIP folder holding the setup file (BENCH.000) first and then one data
member (data.bin) of pseudo-random text in 64 letters, which deflates to
about three quarters, so the cabinet really is as large as asked. Blocks
are added until the cabinet reaches SIZE bytes (default 64 MiB); it ends
less than one block beyond. Every block carries its checksum. Prints the
bytes from the start of the cabinet to the end of the last block holding
the setup file; measure.py imports write_cabinet for the same.
"""

import random
import struct
import sys
import zlib

BLOCK = 32768                              # uncompressed bytes per block
DEFAULT_SIZE = 64 * 1024 * 1024
# The 256 byte values onto 64 letters: six random bits in every byte.
LETTERS = bytes(
    b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 \n"
    [value % 64] for value in range(256))
NAMES = (b"BENCH.000", b"data.bin")


def checksum(data, seed=0):
    """The cabinet block checksum: XOR of little-endian words, the 1 to 3
    leftover bytes packed first byte highest. The words are XORed as one
    integer folded in halves, which is quick enough for 64 MiB."""
    words = len(data) // 4
    value = int.from_bytes(data[:4 * words], "little")
    while words > 1:
        low = (words + 1) // 2
        value = (value >> (32 * low)) ^ (value & ((1 << (32 * low)) - 1))
        words = low
    tail = 0
    for byte in data[4 * (len(data) // 4):]:
        tail = (tail << 8) | byte
    return seed ^ value ^ tail


def folder_blocks(setup, rng):
    """The folder's uncompressed stream, block by block, without end: the
    setup file, then random text."""
    pending = setup
    while True:
        while len(pending) < BLOCK:
            pending += rng.randbytes(BLOCK).translate(LETTERS)
        yield pending[:BLOCK]
        pending = pending[BLOCK:]


def write_cabinet(path, setup, size=DEFAULT_SIZE):
    """Writes the cabinet to path; returns the bytes from its start to the
    end of the last block holding the setup file."""
    files_offset = 36 + 8
    data_offset = files_offset + sum(16 + len(name) + 1 for name in NAMES)
    setup_blocks = (len(setup) + BLOCK - 1) // BLOCK
    prefix = 0
    count = 0
    history = b""
    with open(path, "wb") as out:
        out.seek(data_offset)
        position = data_offset
        for raw in folder_blocks(setup, random.Random(1)):
            if position >= size:
                break
            # Each block is a deflate stream of its own, on the previous
            # 32 KiB of the folder as its dictionary.
            packer = (zlib.compressobj(6, zlib.DEFLATED, -15, zdict=history)
                      if history else zlib.compressobj(6, zlib.DEFLATED, -15))
            packed = b"CK" + packer.compress(raw) + packer.flush()
            sizes = struct.pack("<HH", len(packed), len(raw))
            out.write(struct.pack("<I", checksum(sizes, checksum(packed))) +
                      sizes + packed)
            position += 8 + len(packed)
            count += 1
            if count == setup_blocks:
                prefix = position
            history = raw
        if count > 0xFFFF or count < setup_blocks:
            raise ValueError("%d blocks do not fit the cabinet" % count)
        # The header, folder and file table go in front once the sizes are
        # known.
        files = b""
        offset = 0
        for name, length in zip(NAMES, (len(setup),
                                        count * BLOCK - len(setup))):
            files += struct.pack("<IIHHHH", length, offset, 0, 0x5D88,
                                 0x6000, 0x20) + name + b"\0"
            offset += length
        out.seek(0)
        out.write(b"MSCF" + struct.pack(
            "<IIIIIBBHHHHH", 0, position, 0, files_offset, 0, 3, 1, 1,
            len(NAMES), 0, 0x4242, 0) +
            struct.pack("<IHH", data_offset, count, 1) + files)
    return prefix


def main(argv):
    if len(argv) not in (3, 4):
        print("usage: " + __doc__.splitlines()[3].strip(), file=sys.stderr)
        return 2
    with open(argv[1], "rb") as source:
        setup = source.read()
    size = int(argv[3]) if len(argv) == 4 else DEFAULT_SIZE
    print(write_cabinet(argv[2], setup, size))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
