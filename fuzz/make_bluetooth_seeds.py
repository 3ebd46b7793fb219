#!/usr/bin/env python3
"""Writes the seed inputs of the Bluetooth fuzz targets into corpus/bcsp, corpus/dfureply and
corpus/dfufile beside this script."""
import pathlib
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent
NIBBLES = [0x0000, 0x1081, 0x2102, 0x3183, 0x4204, 0x5285, 0x6306, 0x7387,
           0x8408, 0x9489, 0xA50A, 0xB58B, 0xC60C, 0xD68D, 0xE70E, 0xF78F]

SYNC = bytes.fromhex("C0 40 41 00 7E DA DC ED ED A9 7A C0")
SYNC_RESP = bytes.fromhex("C0 40 41 00 7E AC AF EF EE BB 84 C0")
CONF = bytes.fromhex("C0 40 41 00 7E AD EF AC ED A1 A6 C0")
CONF_RESP = bytes.fromhex("C0 40 41 00 7E DE AD D0 D0 83 58 C0")


def link_crc(data):
    crc = 0xFFFF
    for byte in data:
        crc = (crc >> 4) ^ NIBBLES[(crc ^ byte) & 0xF]
        crc = (crc >> 4) ^ NIBBLES[(crc ^ (byte >> 4)) & 0xF]
    return int(f"{crc:016b}"[::-1], 2)


def frame(seq, ack, channel, payload):
    header = bytes([0xC0 | ack << 3 | seq, channel | (len(payload) & 0xF) << 4, len(payload) >> 4])
    raw = header + bytes([~sum(header) & 0xFF]) + payload
    raw += struct.pack(">H", link_crc(raw))
    return b"\xC0" + raw.replace(b"\xDB", b"\xDB\xDD").replace(b"\xC0", b"\xDB\xDC") + b"\xC0"


def reply(status, data=b""):
    body = struct.pack("<HH", status, len(data)) + data
    return bytes([len(body)]) + body


def status(state, poll=0):
    return reply(0, bytes([0]) + poll.to_bytes(3, "little") + bytes([state, 0]))


def functional(transfer):
    return reply(0, struct.pack("<HHH", 1, 1000, transfer))


def dfu_file(start, device=0x1234):
    body = start + struct.pack("<HHHH", device, 1, 0x0A12, 0x0100) + b"UFD\x10"
    return body + struct.pack("<I", zlib.crc32(body) ^ 0xFFFFFFFF)


def write(folder, name, data):
    path = HERE / "corpus" / folder
    path.mkdir(parents=True, exist_ok=True)
    (path / name).write_bytes(data)


write("bcsp", "establishment", SYNC_RESP + CONF + CONF_RESP + SYNC)
write("bcsp", "packets", CONF_RESP + frame(0, 1, 12, b"\xC0\xDB\x00\x01") + frame(1, 2, 12, b"")
      + b"\x11\x22" + frame(2, 2, 12, b"lost") + frame(2, 3, 12, b"taken") + SYNC)
write("bcsp", "damaged", frame(0, 0, 12, b"abc")[:-3] + b"\xC0" + frame(1, 0, 12, b"x")
      + frame(0, 0, 5, b"other") + b"\xC0\xC0" + frame(0, 0, 12, bytes(300)))

enter = functional(16) + reply(0, b"\x00") + reply(0) + reply(0, b"\x02") + reply(0)
blocks = b""
for busy in (False, True, False):
    blocks += status(4 if busy else 2, 20) + (status(2) if busy else b"") + reply(0)
download = reply(0, b"\x02") + functional(16) + blocks + status(2) + reply(0) + status(2) + reply(0)
write("dfureply", "success", enter + download)
write("dfureply", "errors", functional(16) + reply(0, b"\x0A") + reply(3) + reply(0, b"\x0A")
      + reply(0) + reply(0, b"\x02") + reply(5) + reply(0, b"\x02\x00\x00\x00\x10"))

header = b"CSR-dfu2" + bytes(8) + b"build 4711" + bytes(47)
write("dfufile", "good", dfu_file(header + bytes(range(64))))
write("dfufile", "suffix-only", dfu_file(b""))
write("dfufile", "bad-crc", dfu_file(header)[:-1] + b"\x00")
write("dfufile", "short-info", dfu_file(b"CSR-dfu1" + bytes(8) + b"abc"))
