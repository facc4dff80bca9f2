#!/usr/bin/env python3
"""Reads the PE headers of Windows binaries and fails unless each is hardened as it ships.

    check_hardening.py FILE...

Every image must have ASLR (DYNAMIC_BASE) with a relocation table to move by, DEP (NX_COMPAT),
and no section that is both writable and executable; a 64-bit one (PE32+) must also ask for the
high-entropy address space (HIGH_ENTROPY_VA). Prints one line for each file; exit status 1 when
any of them misses something, 2 when a file is not a PE image.
"""
import struct
import sys

DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
HIGH_ENTROPY_VA = 0x0020
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
BASE_RELOCATION_DIRECTORY = 5


def check(path):
    with open(path, "rb") as image:
        data = image.read()
    if data[:2] != b"MZ":
        raise ValueError("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic not in (0x10B, 0x20B):
        raise ValueError(f"an optional header of unknown magic {magic:#x}")
    wide = magic == 0x20B
    characteristics = struct.unpack_from("<H", data, optional + 70)[0]
    # The data directories follow the fixed fields: 96 bytes of them in PE32, 112 in PE32+.
    directories = optional + (112 if wide else 96)
    count = struct.unpack_from("<I", data, directories - 4)[0]
    relocations = 0
    if count > BASE_RELOCATION_DIRECTORY:
        relocations = struct.unpack_from("<II", data, directories + 8 * BASE_RELOCATION_DIRECTORY)[1]

    problems = []
    if not characteristics & DYNAMIC_BASE:
        problems.append("no DYNAMIC_BASE")
    if not characteristics & NX_COMPAT:
        problems.append("no NX_COMPAT")
    if wide and not characteristics & HIGH_ENTROPY_VA:
        problems.append("no HIGH_ENTROPY_VA")
    if relocations == 0:
        problems.append("no relocation table")
    table = optional + optional_size
    for index in range(sections):
        entry = table + 40 * index
        name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        flags = struct.unpack_from("<I", data, entry + 36)[0]
        if flags & SCN_MEM_EXECUTE and flags & SCN_MEM_WRITE:
            problems.append(f"section {name} both writable and executable")
    kind = "PE32+" if wide else "PE32"
    return kind, characteristics, problems


def main(paths):
    if not paths:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    status = 0
    for path in paths:
        try:
            kind, characteristics, problems = check(path)
        except (OSError, ValueError, struct.error) as error:
            print(f"{path}: not a PE image: {error}")
            return 2
        if problems:
            print(f"{path} ({kind}, DllCharacteristics {characteristics:#06x}): FAILED: "
                  + "; ".join(problems))
            status = 1
        else:
            print(f"{path} ({kind}): ASLR with relocations, DEP"
                  + (", high-entropy ASLR" if kind == "PE32+" else "")
                  + ", no writable code")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
