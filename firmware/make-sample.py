#!/usr/bin/env python3
"""Writes a deterministic sample firmware image as an Intel HEX file.

The image is made for exercising the updater end to end: 16-byte data
records from address 0, one extended linear address record (type 04) in
front, an end record, and data bytes that need care on the wire: the frame
bytes 04, 05 and 55 (escaped by the transfer) and 7D and 7E (the XOFF and
XON characters of the serial line). By default the data is 16,336 bytes, so
the last block of 256 is a partial one.

    firmware/make-sample.py                  # writes firmware/sample.hex
    firmware/make-sample.py --size 65536 -o /tmp/fw64k.hex
"""

import argparse
import os
import sys

RECORD_BYTES = 16
SPECIAL_BYTES = (0x04, 0x05, 0x55, 0x7D, 0x7E)


def record(address, record_type, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, record_type]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def image_bytes(size, seed):
    """A xorshift stream with the special bytes planted in every record."""
    state = seed & 0xFFFFFFFF or 1
    data = bytearray()
    for _ in range(size):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        data.append(state & 0xFF)
    for index in range(0, size, RECORD_BYTES):
        number = index // RECORD_BYTES
        special = SPECIAL_BYTES[number % len(SPECIAL_BYTES)]
        offset = index + (number * 7) % RECORD_BYTES
        if offset < size:
            data[offset] = special
    # One record made only of special bytes, and one ending in an escaped byte.
    for index in range(min(RECORD_BYTES, size)):
        data[index] = SPECIAL_BYTES[index % len(SPECIAL_BYTES)]
    return bytes(data)


def hex_lines(size, upper, seed):
    if not 0 < size <= 0x10000:
        raise ValueError("the size must be 1 to 65536 bytes (one 64 KiB segment)")
    data = image_bytes(size, seed)
    lines = [record(0, 0x04, [(upper >> 8) & 0xFF, upper & 0xFF])]
    for address in range(0, size, RECORD_BYTES):
        lines.append(record(address, 0x00, data[address:address + RECORD_BYTES]))
    lines.append(record(0, 0x01, []))
    return lines


def main():
    default_output = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample.hex")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=16336, help="data bytes (default 16336)")
    parser.add_argument("--upper", type=lambda text: int(text, 0), default=0,
                        help="upper address word of the type-04 record (default 0)")
    parser.add_argument("--seed", type=int, default=7410, help="seed of the data (default 7410)")
    parser.add_argument("-o", "--output", default=default_output, help="file to write, - for standard output")
    arguments = parser.parse_args()
    try:
        text = "\n".join(hex_lines(arguments.size, arguments.upper, arguments.seed)) + "\n"
    except ValueError as error:
        parser.error(str(error))
    if arguments.output == "-":
        sys.stdout.write(text)
    else:
        with open(arguments.output, "w", newline="\n") as output:
            output.write(text)


if __name__ == "__main__":
    main()
