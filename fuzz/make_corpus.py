#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Seeds are small valid (and a few nearly valid) inputs built from the wire
layouts, so the fuzzers start past the first checks. The video seeds
(media_decoder) are real encoder output and are committed as they are; this
script leaves them alone. Run it again after changing a layout.
"""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def head(length, flags=0, kind=0, stream=0, seq=0, ts=0):
    return struct.pack(">IBBHQQ", length, flags, kind, stream, seq, ts)


def packet(payload, flags=0, kind=0, stream=0, seq=0, ts=0):
    return head(len(payload), flags, kind, stream, seq, ts) + payload


def entry(reg, value):
    if len(value) % 2:
        value += b"\0"
    if not value:
        value = b"\0\0"
    return struct.pack("<BBH", 0, len(value) // 2, reg) + value


def scan_payload(points, seam=True):
    b = bytearray(1216 + 4 * points)
    b[2] = 2
    b[3] = 1
    struct.pack_into("<H", b, 1214, points)
    struct.pack_into("<H", b, 34, len(b) - 36)
    struct.pack_into("<Q", b, 36, 123456789)
    struct.pack_into("<HHHHhhh", b, 44, 1 if seam else 0, 1000, 2000, 3, 150, -75, 45)
    for k in range(8):
        struct.pack_into("<HH", b, 58 + 4 * k, 100 * k + 1, 50 * k + 2)
    b[90:98] = b"INFOHEAD"
    for k in range(18):
        struct.pack_into("<i", b, 98 + 4 * k, k * 100 - 900)
    b[170:178] = b"INFOTAIL"
    struct.pack_into("<I", b, 178, 0xA5A5A5A5)
    for k in range(3):
        at = 182 + 28 * k
        struct.pack_into("<8sfHHHHHHh", b, at, b"SEGMENT" + bytes([k]), 1.5, 10, 20, 30, 40, 50, 60, 2)
    for i in range(points):
        struct.pack_into("<HH", b, 1216 + 4 * i, 3000 + i, 4000 + 2 * i)
    return bytes(b)


def main():
    # Heads: valid ones of several kinds, and one breaking each rule.
    write("head", "data", head(4, 0x01, 0, 18, 7, 99))
    write("head", "flexregs", head(64, 0x6D, 20, 0, 1, 2))
    write("head", "video", head(0x4000000, 0xFF, 23, 511, 2**64 - 1, 2**63))
    write("head", "short_length", head(2, 0, 0, 0))
    write("head", "unknown_kind", head(4, 0, 10, 0))
    write("head", "bad_stream", head(4, 0, 0, 512))
    write("head", "truncated", head(4)[:23])

    # Whole packets for the C parser, complete and cut short.
    regs = entry(0x1800, struct.pack("<I", 1500)) + entry(0x11B0, b"SN-0042")
    write("packet_wire", "regs", packet(regs, 0x04, 20, 0, 5, 6))
    write("packet_wire", "scan_start", packet(b"\1\2\3\4\5\6\7\x08", 0x01, 0, 18, 9))
    write("packet_wire", "cut_payload", packet(b"abcdefgh", 0, 21, 1)[:28])
    write("packet_wire", "bad_head", head(3, 0, 0, 0) + b"xyz")

    # Framer inputs: a count of chunk sizes, the sizes, then a byte stream.
    stream = (packet(regs, 0, 20, 0, 1) + packet(b"PING", 0, 6, 3, 2)
              + packet(b"\0" * 40, 1, 0, 18, 3))
    write("framer", "three_packets_whole", bytes([0]) + stream)
    write("framer", "three_packets_bytewise", bytes([1, 0]) + stream)
    write("framer", "three_packets_cut", bytes([3, 5, 23, 0]) + stream)
    write("framer", "trailing_partial", bytes([2, 10, 30]) + stream + head(100)[:10])
    write("framer", "bad_second_head", bytes([0]) + packet(b"OKAY") + head(1) + b"\0")

    # Register records: probe id (u16 LE) then the record.
    rec = (entry(0x1100, struct.pack("<Q", 2**40 + 5)) + entry(0x1108, struct.pack("<Q", 77))
           + entry(0x11B0, b"SERIAL-1") + entry(0x11C0, b"BRD\xff\xfe")
           + entry(0x1200, struct.pack("<H", 640)) + entry(0x1202, struct.pack("<H", 480))
           + entry(0x1800, struct.pack("<I", 1500)) + entry(0x1A00, struct.pack("<I", 1))
           + entry(0x1A04, struct.pack("<I", 80)) + entry(0x1C0C, struct.pack("<I", 3)))
    write("fxr_record", "device_report", struct.pack("<H", 0x1800) + rec)
    write("fxr_record", "duplicates", struct.pack("<H", 7) + entry(7, b"\1\2") + entry(7, b"\3\4\5\6"))
    write("fxr_record", "cut_short", struct.pack("<H", 9) + entry(9, b"\0" * 12)[:10])
    write("fxr_record", "wide", struct.pack("<H", 1) + entry(1, bytes(range(256)) + bytes(254)))
    write("fxr_record", "empty_value", struct.pack("<H", 2) + struct.pack("<BBH", 0, 0, 2))

    # Register reports for the cache.
    write("report", "device_report", rec)
    write("report", "short_values", entry(0x1800, b"\7") + entry(0x1108, b"\1\2") + entry(0x1A00, b""))
    write("report", "duplicates_first_wins", entry(0x1C0C, struct.pack("<I", 1)) + entry(0x1C0C, struct.pack("<I", 2)))
    write("report", "texts_odd_and_invalid", entry(0x11B0, b"ABC") + entry(0x11C0, b"\xc3\x28\xe2\x82"))

    # Scan payloads.
    write("scan", "no_points", scan_payload(0))
    write("scan", "five_points", scan_payload(5, seam=False))
    write("scan", "sixty_points", scan_payload(60))
    bad = bytearray(scan_payload(4))
    struct.pack_into("<H", bad, 1214, 9)  # more points than bytes
    write("scan", "points_beyond_payload", bytes(bad))
    write("scan", "wrong_format", b"\0\0\3" + scan_payload(0)[3:])
    write("scan", "most_points", scan_payload(4096))  # the largest profile a camera sends

    # The viewer's requests: an action with its form, a download range, refusals.
    write("view_request", "action", b"POST /api/set HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nX-Mok-Request: 1\r\n"
          b"X-Mok-Token: s3cret\r\nContent-Length: 25\r\n\r\nname=exposure&value=1%2B2")
    write("view_request", "download", b"GET /api/profiles.csv?seconds=2.5&x=%41 HTTP/1.1\r\nHost: h\r\n"
          b"Connection: keep-alive, close\r\n\r\n")
    write("view_request", "two_lengths", b"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n")
    write("view_request", "folded", b"GET / HTTP/1.0\r\nHost: a\r\n b\r\n\r\n")
    write("view_request", "range", b"1e-3")

    # Recordings: a header, then per packet its time, wire head and payload.
    rec_header = b"MOKREC" + struct.pack("<HQ", 1, 1_700_000_000_000_000)
    scan = packet(scan_payload(5), 0x01, 0, 18, 1)
    report = packet(rec, 0x01, 20, 0, 2)
    write("recording", "two_packets", rec_header + struct.pack("<Q", 10) + scan + struct.pack("<Q", 25) + report)
    write("recording", "cut_short", rec_header + struct.pack("<Q", 10) + scan[:40])
    write("recording", "time_backwards", rec_header + struct.pack("<Q", 9) + scan + struct.pack("<Q", 8) + scan)
    write("recording", "empty", rec_header)

    # The bridge's camera file.
    write("camera_list", "two_cameras", b"# cell 1\n10.0.0.5 /cell1/left/ left_cam\n[::1]:7000 cell1/right\n")
    write("camera_list", "same_namespace", b"a:1 x\nb:2 /x/\n")
    write("camera_list", "bad_namespace", b"a:1 1cell\n")

    # Snapshots: width and height (u16 LE each) then the payload.
    dims = struct.pack("<HH", 64, 48)
    write("snapshot", "jpeg", dims + b"\xff\xd8\xff\xe0\0\x10JFIF\0")
    write("snapshot", "png", dims + b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR")
    write("snapshot", "raw", dims + bytes(range(48)))
    write("snapshot", "almost_jpeg", dims + b"\xff\xd8")

    # Tracker input: control bytes (time step, kind) then a pose datagram,
    # scan fields or a query; and a mounting file, which the same input is
    # also parsed as.
    def datagram(seq, t_us, x):
        return b"MKP1" + struct.pack("<Iq7dII", seq, t_us, x, 0, 0, 1, 0, 0, 0, 0, 0)
    steps = b""
    for i in range(40):
        steps += bytes([16, 0, 1]) + datagram(i, i * 4000, i * 0.4)
        steps += bytes([4, 1]) + struct.pack("<dd", 1.5, 100.0) + struct.pack("<HB", i * 4, 1)
        steps += bytes([4, 2]) + struct.pack("<d", i * 0.4)
    write("track_input", "moving_tool", steps)
    write("track_input", "mount", b'{"format": "mok-mount/1", "X_tool_sensor": '
          b'{"translation_mm": [40, 0, -100], "quaternion_wxyz": [1, 0, 0, 0]}}')
    write("track_input", "mount_bad_norm", b'{"format": "mok-mount/1",\n"X_tool_sensor": '
          b'{"translation_mm": [0, 0, 0],\n"quaternion_wxyz": [2, 0, 0, 0]}}')


if __name__ == "__main__":
    main()
