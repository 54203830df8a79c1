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


def srec_line(kind, address_bytes, address, data=b""):
    body = bytes([address_bytes + len(data) + 1]) + address.to_bytes(address_bytes, "big") + data
    return ("S%s" % kind + body.hex().upper() + "%02X" % (~sum(body) & 0xFF) + "\n").encode()


def loader_header(mode, capacity, flash_start):
    return bytes([mode]) + struct.pack("<H", capacity) + struct.pack("<I", flash_start)


def srec_seeds():
    stm32 = 0x08000000
    with open(os.path.join(HERE, "..", "..", "examples", "blink.bin"), "rb") as f:
        blink = f.read()
    text = srec_line("0", 2, 0, b"blink")
    for at in range(0, len(blink), 32):
        text += srec_line("3", 4, stm32 + at, blink[at:at + 32])
    text += srec_line("5", 2, (len(blink) + 31) // 32) + srec_line("7", 4, stm32)
    write("srec", "blink", loader_header(0, 0xFFFF, stm32) + text)
    write("srec", "blink_crlf", loader_header(0, 4096, stm32) + text.replace(b"\n", b"\r\n"))
    small = srec_line("1", 2, 0x10, b"\xAA\xBB") + srec_line("2", 3, 0x20, b"\1\2") + srec_line("9", 2, 0)
    write("srec", "s1_s2", loader_header(0, 256, 0) + small)
    write("srec", "no_end", loader_header(0, 256, 0) + srec_line("1", 2, 0x10, b"\xAA"))
    write("srec", "overlap", loader_header(0, 256, 0) + srec_line("1", 2, 0x10, b"\xAA\xBB") +
          srec_line("1", 2, 0x11, b"\xCC") + srec_line("9", 2, 0))
    write("srec", "recipe", bytes([0x80]) + struct.pack("<H", 4096) + bytes(range(0, 120, 7)))


def elf_file(segments, machine=40):
    """segments: (type, physical address, data, memory size)."""
    header_size, entry_size = 52, 32
    table = header_size
    data_at = table + entry_size * len(segments)
    headers, blobs = b"", b""
    for kind, address, data, memory in segments:
        headers += struct.pack("<8I", kind, data_at + len(blobs), address, address, len(data), memory, 5, 4)
        blobs += data
    ident = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)
    header = ident + struct.pack("<HHIIIIIHHHHHH", 2, machine, 1, 0x08000001, table, 0, 0x05000000,
                                 header_size, entry_size, len(segments), 40, 0, 0)
    return header + headers + blobs


def elf_seeds():
    stm32 = 0x08000000
    flash = struct.pack("<4I", 0x20001000, 0x08000009, 0, 0)
    app = bytes(range(16))
    two = elf_file([(1, stm32, flash, 16), (1, stm32 + 0x4000, app, 16), (1, 0x20000000, b"", 64), (4, 0, b"note", 4)])
    write("elf", "two_segments", struct.pack("<H", 0xFFFF) + struct.pack("<I", stm32) + two)
    write("elf", "ram_segment", struct.pack("<H", 0xFFFF) + struct.pack("<I", stm32) +
          elf_file([(1, 0x20000000, app, 16)]))
    write("elf", "overlap", struct.pack("<H", 0xFFFF) + struct.pack("<I", stm32) +
          elf_file([(1, stm32, flash, 16), (1, stm32 + 8, app, 16)]))
    write("elf", "cut", struct.pack("<H", 0xFFFF) + struct.pack("<I", stm32) + two[:-10])
    write("elf", "not_arm", struct.pack("<H", 0xFFFF) + struct.pack("<I", stm32) + elf_file([(1, stm32, flash, 16)], 62))


def dfu_crc(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xEDB88320 if crc & 1 else crc >> 1
    return crc


def dfuse_file(targets):
    body = b""
    for alternate, name, elements in targets:
        blob = b"".join(struct.pack("<II", address, len(data)) + data for address, data in elements)
        body += b"Target" + bytes([alternate]) + struct.pack("<I", 1) + name.ljust(255, b"\0")
        body += struct.pack("<II", len(blob), len(elements)) + blob
    data = b"DfuSe\x01" + struct.pack("<I", 11 + len(body)) + bytes([len(targets)]) + body
    data += struct.pack("<HHHH", 0xFFFF, 0xDF11, 0x0483, 0x011A) + b"UFD" + bytes([16])
    return data + struct.pack("<I", dfu_crc(data))


def dfuse_seeds():
    stm32 = 0x08000000
    flash = (0, b"Internal Flash", [(stm32, bytes(range(64))), (stm32 + 0x400, b"\1\2\3\4")])
    options = (1, b"Option Bytes", [(0x1FFFF800, b"\xAA\x55")])
    write("dfuse", "flash_and_options", loader_header(0, 4096, stm32) + dfuse_file([flash, options]))
    write("dfuse", "fix_suffix", loader_header(1, 4096, stm32) + dfuse_file([flash])[:-4] + b"\0\0\0\0")
    write("dfuse", "options_only", loader_header(0, 4096, stm32) + dfuse_file([options]))
    write("dfuse", "outside", loader_header(1, 4096, stm32) + dfuse_file([(0, b"", [(0x20000000, b"\1")])]))


if __name__ == "__main__":
    hex_seeds()
    layout_seeds()
    options_seeds()
    srec_seeds()
    elf_seeds()
    dfuse_seeds()
