#!/usr/bin/env python3
"""Marks a linked Windows executable IMAGE_FILE_NET_RUN_FROM_SWAP, which the linker has no switch for."""
import struct
import sys

# Started from a network share (the logon script's usual place), the program would otherwise be
# paged in from the share for as long as it stays resident, and die when the share goes away.
NET_RUN_FROM_SWAP = 0x0800
PE_OFFSET_AT = 0x3C
CHARACTERISTICS_AFTER_SIGNATURE = 4 + 18  # "PE\0\0", then the COFF header's characteristics field


def mark(path):
    with open(path, "r+b") as image:
        header = image.read(4096)
        (pe_offset,) = struct.unpack_from("<I", header, PE_OFFSET_AT)
        if header[:2] != b"MZ" or header[pe_offset:pe_offset + 4] != b"PE\0\0":
            sys.exit("%s: not a PE image" % path)
        at = pe_offset + CHARACTERISTICS_AFTER_SIGNATURE
        (characteristics,) = struct.unpack_from("<H", header, at)
        image.seek(at)
        image.write(struct.pack("<H", characteristics | NET_RUN_FROM_SWAP))


if __name__ == "__main__":
    mark(sys.argv[1])
