#!/usr/bin/env python3
"""Writes the small sample media in this folder: a texture, a sound and a music file.

They are made here, byte by byte, so the samples carry no one else's content.
Run it again only to change them; the results are committed beside it.
"""
import math
import struct
from pathlib import Path

HERE = Path(__file__).resolve().parent


def tga_checker(size=8):
    # Uncompressed true-colour TGA, bottom-up, BGR.
    header = struct.pack("<BBBHHBHHHHBB", 0, 0, 2, 0, 0, 0, 0, 0, size, size, 24, 0)
    pixels = bytearray()
    for y in range(size):
        for x in range(size):
            pixels += bytes((40, 160, 60)) if (x + y) % 2 else bytes((30, 110, 40))
    return header + bytes(pixels)


def wav_blip(rate=8000, seconds=0.1, hz=880):
    frames = bytes(int(128 + 100 * math.sin(2 * math.pi * hz * i / rate)) for i in range(int(rate * seconds)))
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate, 1, 8)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(frames)) + frames
    return b"RIFF" + struct.pack("<I", len(body)) + body


def mod_theme():
    # A four-channel ProTracker module: one square-wave sample, one pattern of an arpeggio.
    title = b"qx theme".ljust(20, b"\0")
    sample = bytes([0x40] * 16 + [0xC0] * 16)
    samples = struct.pack(">22sHBBHH", b"square".ljust(22, b"\0"), len(sample) // 2, 0, 64, 0, len(sample) // 2)
    samples += struct.pack(">22sHBBHH", b"", 0, 0, 0, 0, 1) * 30
    order = bytes([1, 127]) + bytes(128)
    periods = [428, 339, 285, 214]  # C, E, G, C an octave up
    pattern = bytearray()
    for row in range(64):
        for channel in range(4):
            if channel == 0 and row % 4 == 0:
                period = periods[(row // 4) % 4]
                pattern += bytes([(period >> 8) & 0x0F, period & 0xFF, 0x10, 0x00])
            else:
                pattern += bytes(4)
    return title + samples + order + b"M.K." + bytes(pattern) + sample


if __name__ == "__main__":
    (HERE / "grass.tga").write_bytes(tga_checker())
    (HERE / "blip.wav").write_bytes(wav_blip())
    (HERE / "theme.mod").write_bytes(mod_theme())
