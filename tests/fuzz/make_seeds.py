#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (run from this folder).

Seeds are small real inputs: Intel HEX files as the toolchains write them,
the layouts real bootloaders report, typical stm32cmd command lines.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def record(kind, address, data=b""):
    body = bytes([len(data), address >> 8, address & 0xFF, kind]) + data
    return (":" + body.hex().upper() + "%02X" % ((-sum(body)) & 0xFF) + "\n").encode()


def hex_header(mode, capacity, flash_start):
    if capacity > 0xFFFF:
        mode |= 0x40
        capacity //= 4
    return bytes([mode]) + struct.pack("<H", capacity) + struct.pack("<I", flash_start)


def hex_seeds():
    stm32 = 0x08000000
    with open(os.path.join(HERE, "..", "..", "examples", "blink.hex"), "rb") as f:
        blink = f.read()
    write("intel_hex", "blink", hex_header(0, 65536, stm32) + blink)
    write("intel_hex", "blink_crlf", hex_header(0, 4096, stm32) + blink.replace(b"\n", b"\r\n"))
    write("intel_hex", "blink_too_big", hex_header(0, 1024, stm32) + blink)
    small = b":020000040800F2\n:0400000001020304F2\n:00000001FF\n"
    write("intel_hex", "four_bytes", hex_header(0, 2048, stm32) + small)
    write("intel_hex", "no_last_break", hex_header(0, 2048, stm32) + small[:-1])
    write("intel_hex", "bare_address", hex_header(0, 65536, stm32) + record(0, 0x8000, b"\1\2\3\4") + record(1, 0))
    write("intel_hex", "below_flash", hex_header(0, 2048, stm32) + record(4, 0, b"\0\0") + record(0, 0, b"\1\2\3\4") + record(1, 0))
    write("intel_hex", "segment", hex_header(0, 65536, 0) + record(2, 0, b"\x10\0") + record(0, 0, b"\1\2\3\4") + record(1, 0))
    write("intel_hex", "start_records", hex_header(0, 2048, stm32) +
          record(4, 0, b"\x08\0") + record(5, 0, b"\x08\0\x01\x31") + record(3, 0, b"\0\0\x01\x31") + record(0, 0x10, b"\1\2\3\4") + record(1, 0))
    write("intel_hex", "zero_capacity", hex_header(0, 0, stm32) + small)
    # Recipes for the round trip: mode bits select flash start, digit case, line ends.
    write("intel_hex", "recipe_plain", hex_header(0x80, 8192, 0) + bytes(range(0, 200, 3)))
    write("intel_hex", "recipe_zero", hex_header(0x87, 0xFFFF, 0) + bytes([4, 1, 0, 0x10, 8, 5, 0x12, 0x34, 0, 0, 4, 1, 2, 3, 4]))
    write("intel_hex", "recipe_big", hex_header(0x82, 256, 0) + bytes([0, 0xF0, 0x00, 31] + list(range(32)) * 2))


def layout_seeds():
    layouts = [
        "  /0x08000000/128*002Kg",
        "  /0x08000000/04*016Kg,01*064Kg,07*128Kg",
        "   /0x08000000/16*128Kg",
        "  /0x08000000/256*02Kg",
        "  /0x08000000/01*002Mg",
        "  /0x08000000/512*2 g",
        "  /0x08000000/4*016Kg,1*064Kg,3*128Kg/0x08100000/4*016Kg,1*064Kg,3*128Kg",
        "  /0x1FFFF800/01*016 g",
        "",
        "  /0x08000000",
        "  /0xFFFFF000/01*004Kg",
        "  /8000000/64*1Kg",
        "  /0x08000000/2147483647*1 g",
    ]
    for i, text in enumerate(layouts):
        write("layout", "layout_%02d" % i, text.encode())


def options_seeds():
    lines = [
        ["myprog.bin"],
        ["-o", "0x400", "myprog.bin"],
        ["-o1024", "myprog.bin"],
        ["-d", "-s", "0x10000", "-f", "out.bin"],
        ["-qd", "-i", "1"],
        ["-e", "-s", "0"],
        ["-l"],
        ["-x"],
        ["-o"],
        ["-h"],
        ["--", "-u", "a.hex"],
        ["-", "a.bin"],
        ["-s", "-2147483648", "-o", "0xFFFFFFFF"],
        ["-i", "99999999999"],
        ["-u", "-o", " +12", "a.bin", "b.bin"],
    ]
    for i, args in enumerate(lines):
        write("options", "args_%02d" % i, b"\0".join(a.encode() for a in args))


if __name__ == "__main__":
    hex_seeds()
    layout_seeds()
    options_seeds()
