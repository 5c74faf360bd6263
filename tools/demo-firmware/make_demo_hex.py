#!/usr/bin/env python3
"""Writes res/demo/firmware.hex, the demo firmware of this repository.

A made-up 8051-style keyboard program of our own: reset and interrupt
vectors, a few routines (port and timer set-up, a matrix scan, a key lookup),
and the tables such a program carries (key map, CRC tables, LED curve, USB
descriptors). The USB manufacturer string descriptor holds the maker's text
"KORVANE CO.,LTD" in UTF-16LE, which is what the update tool's signature
check looks for. 16-byte data records, proper checksums, the usual end line.

Only needed to change the demo file; the build never runs it.
    python3 tools/demo-firmware/make_demo_hex.py > res/demo/firmware.hex
"""
import math
import sys

IMAGE_SIZE = 0x3800
mem = {}


def put(addr, data):
    for i, b in enumerate(data):
        assert 0 <= addr + i < IMAGE_SIZE and addr + i not in mem, hex(addr + i)
        mem[addr + i] = b & 0xFF


# Vectors: reset jumps to main (not to 0x3800, so no start-byte exchange).
put(0x0000, [0x02, 0x01, 0x00])             # LJMP main
put(0x0003, [0x32])                         # INT0: RETI
put(0x000B, [0x02, 0x02, 0x00])             # T0: LJMP timer0_isr
put(0x0013, [0x32])                         # INT1: RETI
put(0x001B, [0x32])                         # T1: RETI
put(0x0023, [0x32])                         # serial: RETI

# main
put(0x0100, [0x75, 0x81, 0x5F,              # MOV SP,#5Fh
              0x75, 0xD0, 0x00,             # MOV PSW,#00h
              0x12, 0x01, 0x40,             # LCALL init_ports
              0x12, 0x01, 0x60,             # LCALL init_timer
              0xD2, 0xAF,                   # SETB EA
              0x12, 0x03, 0x00,             # loop: LCALL scan_matrix
              0x12, 0x04, 0x00,             #       LCALL key_lookup
              0x80, 0xF8])                  #       SJMP loop
# init_ports
put(0x0140, [0x75, 0x90, 0xFF, 0x75, 0xA0, 0xFF, 0x75, 0xB0, 0xFF, 0x22])
# init_timer: mode 1, 1 ms at 12 MHz
put(0x0160, [0x75, 0x89, 0x01, 0x75, 0x8C, 0xFC, 0x75, 0x8A, 0x18,
             0xD2, 0xA9, 0xD2, 0x8C, 0x22])
# timer0_isr: reload, count ticks in 30h
put(0x0200, [0xC0, 0xE0, 0xC0, 0xD0, 0x75, 0x8C, 0xFC, 0x75, 0x8A, 0x18,
             0x05, 0x30, 0xD0, 0xD0, 0xD0, 0xE0, 0x32])
# scan_matrix: 8 rows on P1, columns on P2, into 40h..47h
put(0x0300, [0x7F, 0x08, 0x78, 0x40, 0x74, 0xFE,
             0xF5, 0x90, 0xFE, 0xE5, 0xA0, 0xF4, 0xF6, 0x08, 0xEE, 0x23,
             0xDF, 0xF4, 0x22])
# key_lookup: usage of the first row's state through the key map
put(0x0400, [0x90, 0x08, 0x00, 0xE5, 0x40, 0x93, 0xF5, 0x50, 0x22])

# Key map: 8 layers x 128 positions of HID usage codes.
keymap = []
for layer in range(8):
    for pos in range(128):
        keymap.append(0 if pos >= 104 else 0x04 + (pos + 7 * layer) % 0x62)
put(0x0800, keymap)

# CRC-16/CCITT table (256 x 2, big-endian) and CRC-32 table (256 x 4, little-endian).
crc16 = []
for n in range(256):
    c = n << 8
    for _ in range(8):
        c = ((c << 1) ^ 0x1021) if c & 0x8000 else (c << 1)
    crc16 += [(c >> 8) & 0xFF, c & 0xFF]
put(0x0C00, crc16)
crc32 = []
for n in range(256):
    c = n
    for _ in range(8):
        c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
    crc32 += [c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF, (c >> 24) & 0xFF]
put(0x0E00, crc32)

# LED brightness curve (gamma 2.2).
put(0x1200, [round(255 * (i / 255) ** 2.2) for i in range(256)])


def string_descriptor(text):
    body = text.encode("utf-16-le")
    return [2 + len(body), 0x03] + list(body)


# USB descriptors: device, configuration (one HID keyboard interface), strings.
device = [0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x09, 0x12, 0x55, 0x4B,
          0x00, 0x01, 0x01, 0x02, 0x00, 0x01]
config = [0x09, 0x02, 0x22, 0x00, 0x01, 0x01, 0x00, 0xA0, 0x32,
          0x09, 0x04, 0x00, 0x00, 0x01, 0x03, 0x01, 0x01, 0x00,
          0x09, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0x3F, 0x00,
          0x07, 0x05, 0x81, 0x03, 0x08, 0x00, 0x0A]
descriptors = (device + config + [0x04, 0x03, 0x09, 0x04]
               + string_descriptor("KORVANE CO.,LTD")
               + string_descriptor("USB Keyboard"))
put(0x1300, descriptors)


def record(addr, rtype, data):
    body = [len(data), addr >> 8, addr & 0xFF, rtype] + data
    checksum = (-sum(body)) & 0xFF
    return ":" + "".join("%02X" % b for b in body + [checksum])


lines = []
for base in range(0, IMAGE_SIZE, 16):
    chunk = [a for a in range(base, base + 16) if a in mem]
    if not chunk:
        continue
    # One record per run of bytes within this 16-byte row.
    start = chunk[0]
    prev = start - 1
    run = []
    for a in chunk + [None]:
        if a is not None and a == prev + 1:
            run.append(mem[a])
            prev = a
            continue
        if run:
            lines.append(record(start, 0, run))
        if a is not None:
            start, prev, run = a, a, [mem[a]]
lines.append(":00000001FF")
sys.stdout.write("\n".join(lines) + "\n")
