#!/usr/bin/env python3
"""Writes the VPD EEPROM of a new main board, as it leaves the factory.

    scripts/factory_vpd.py --size BYTES -o FILE

The record fills the first 256 bytes (a board header, the signature
0xFF 0x01 0xE0, then the fields as type, length, value), the rest of the part
is erased (0xFF). The host simulation's main board EEPROM starts from the same
bytes (a unit test holds the two equal); the QEMU board's runner makes its
EEPROM file with this. FILE is written whole under another name first.
"""
import argparse
import os
import sys

RECORD_BYTES = 256


def factory_record():
    record = bytearray([0x01, 0x00, 0x00, 0x01, 0x85, 0x41, 0x00, 0x00])  # board header
    record += bytes([0xFF, 0x01, 0xE0])  # signature

    def field(kind, value):
        record.extend([kind, len(value)])
        record.extend(value)

    field(1, b"SX4824G Stackable Switch")  # product name
    field(2, b"91-0048-0210")  # part number
    field(3, b"SXB1040231")  # serial number
    field(4, bytes([0x02, 0x53, 0x4B, 0x10, 0x40, 0x2A]))  # MAC
    field(5, bytes([10, 23]))  # manufacturing year within the century, week
    field(6, bytes([0x00, 0x50, 0x85, 0x41]))  # card type
    field(7, bytes([0x03]))  # hardware revision
    return bytes(record) + b"\xff" * (RECORD_BYTES - len(record))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=RECORD_BYTES,
                        help="the EEPROM's size in bytes (at least 256)")
    parser.add_argument("-o", dest="output", required=True)
    args = parser.parse_args()
    if args.size < RECORD_BYTES:
        sys.exit(f"factory_vpd.py: an EEPROM of {args.size} bytes cannot hold the record")
    data = factory_record() + b"\xff" * (args.size - RECORD_BYTES)
    temporary = args.output + ".new"
    try:
        with open(temporary, "wb") as out:
            out.write(data)
        os.replace(temporary, args.output)
    except OSError as error:
        sys.exit(f"factory_vpd.py: cannot write {args.output}: {error.strerror}")


if __name__ == "__main__":
    main()
