#!/usr/bin/env python3
"""tiny_cab.py - writes an MSZIP cabinet of one-byte blocks, for the figure
of "setuphdr c" on a folder of tiny blocks next to "cabextract -t".

    bench/tiny_cab.py SETUP_FILE OUTPUT BLOCKS

One MSZIP folder of BLOCKS blocks (at most 65,535), each holding one byte
of the folder's stream as "CK" and a deflate stream of its own: the setup
file (BENCH.000) first, then one data member (data.bin) of text. A block of
one byte refers back to nothing, so every reader reads it alike, and a
change of the setup file's header reaches the 32 KiB of blocks behind it.
Every block carries its checksum.
"""

import struct
import sys
import zlib

sys.dont_write_bytecode = True         # no __pycache__ in the checkout
from large_cab import checksum  # noqa: E402

NAMES = (b"BENCH.000", b"data.bin")
TEXT = b"Tiny blocks, one byte each, as a writer may cut them.\n"


def write_tiny_cabinet(path, setup, blocks):
    """Writes the cabinet of blocks one-byte blocks to path."""
    if not len(setup) < blocks <= 0xFFFF:
        raise ValueError("%d blocks do not fit the setup file and the cabinet"
                         % blocks)
    stream = setup + (TEXT * (blocks // len(TEXT) + 1))[:blocks - len(setup)]
    # One stream per byte value: a byte deflates alike wherever it is.
    packed = {}
    data = bytearray()
    for byte in stream:
        record = packed.get(byte)
        if record is None:
            packer = zlib.compressobj(6, zlib.DEFLATED, -15)
            block = b"CK" + packer.compress(bytes([byte])) + packer.flush()
            sizes = struct.pack("<HH", len(block), 1)
            record = struct.pack("<I", checksum(sizes, checksum(block))) + \
                sizes + block
            packed[byte] = record
        data += record
    files_offset = 36 + 8
    data_offset = files_offset + sum(16 + len(name) + 1 for name in NAMES)
    files = b""
    offset = 0
    for name, length in zip(NAMES, (len(setup), blocks - len(setup))):
        files += struct.pack("<IIHHHH", length, offset, 0, 0x5D88, 0x6000,
                             0x20) + name + b"\0"
        offset += length
    header = b"MSCF" + struct.pack(
        "<IIIIIBBHHHHH", 0, data_offset + len(data), 0, files_offset, 0, 3,
        1, 1, len(NAMES), 0, 0x4242, 0)
    with open(path, "wb") as out:
        out.write(header + struct.pack("<IHH", data_offset, blocks, 1) +
                  files + data)


def main(argv):
    if len(argv) != 4:
        print("usage: " + __doc__.splitlines()[3].strip(), file=sys.stderr)
        return 2
    with open(argv[1], "rb") as source:
        setup = source.read()
    write_tiny_cabinet(argv[2], setup, int(argv[3]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
