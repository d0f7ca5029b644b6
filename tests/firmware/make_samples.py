#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Generates the sample firmware files used by the firmware tests and the demo.

Each sample is an Intel HEX file for a PIC18 part with 32 KiB of FLASH: extended linear address
records, program code from 0x0000, configuration words at 0x300000, data EEPROM at 0xF00000 and
comment lines starting with ';' that name the vehicle programs the firmware supports. The loader
refuses any line before the end record that is not a record, so the comment lines follow the end
record: the loader never reads them, the program list reads the whole file. Lines end
with CR LF. Next to every .hex file the script writes its line-encoded .hexfw form, produced by an
encoder written here independently of the C++ code, so the two can check each other.

Usage: make_samples.py [--root DIR]   (DIR defaults to the repository root)
The output is deterministic; run it again after changing a sample and commit the result.
"""

import argparse
import os
import random

KEY_BASE = b"kqwbr318=t"
LINE_END = b"\r\n"
END_RECORD = b":00000001FF"
# Bytes that would end a stored line (or the file) when read back as text.
FORBIDDEN_STORED = {0x0D, 0x0A, 0x1A}


def encode_line(text: bytes, number: int) -> bytes:
    key = KEY_BASE + str(number).encode("ascii")
    out = bytearray()
    for i, c in enumerate(text, start=1):
        r = i % len(key)
        k = key[r - 1] if r else 0
        out.append((c + k) & 0xFF)
    return bytes(out)


def encode_file(lines):
    out = bytearray()
    for number, line in enumerate(lines, start=1):
        stored = encode_line(line, number)
        bad = FORBIDDEN_STORED.intersection(stored)
        if bad:
            raise ValueError(f"line {number} {line!r} encodes to a forbidden byte {sorted(bad)}")
        out += stored + LINE_END + LINE_END
    return bytes(out)


def record(rtype: int, address: int, data: bytes) -> bytes:
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + data
    check = (-sum(body)) & 0xFF
    return b":" + (body + bytes([check])).hex().upper().encode("ascii")


def extended_address(upper: int) -> bytes:
    return record(0x04, 0, bytes([(upper >> 8) & 0xFF, upper & 0xFF]))


def data_records(address: int, data: bytes, width: int = 16):
    """Data records for `data` at the 32-bit `address`, each within one 64 KiB segment."""
    lines = []
    upper = None
    offset = 0
    while offset < len(data):
        a = address + offset
        if upper != a >> 16:
            upper = a >> 16
            lines.append(extended_address(upper))
        take = min(width, len(data) - offset, 0x10000 - (a & 0xFFFF))
        lines.append(record(0x00, a & 0xFFFF, data[offset:offset + take]))
        offset += take
    return lines


def goto(target: int) -> bytes:
    words = [0xEF00 | ((target >> 1) & 0xFF), 0xF000 | ((target >> 9) & 0xFFF)]
    return b"".join(w.to_bytes(2, "little") for w in words)


def code_block(rng: random.Random, length: int) -> bytes:
    """Plausible PIC18 instruction words: literal moves, file register moves, bit operations,
    branches, calls and returns."""
    words = []
    while len(words) * 2 < length:
        kind = rng.randrange(10)
        f = rng.randrange(0x100)
        if kind == 0:
            words.append(0x0E00 | rng.randrange(0x100))             # MOVLW k
        elif kind == 1:
            words.append(0x6E00 | f)                                # MOVWF f
        elif kind == 2:
            words.append(0x8000 | (rng.randrange(8) << 9) | f)      # BSF f,b
        elif kind == 3:
            words.append(0x9000 | (rng.randrange(8) << 9) | f)      # BCF f,b
        elif kind == 4:
            words.append(0xA000 | (rng.randrange(8) << 9) | f)      # BTFSS f,b
        elif kind == 5:
            words.append(0xD000 | rng.randrange(0x800))             # BRA n
        elif kind == 6:
            target = 0x0200 + 2 * rng.randrange(0x800)
            words += [0xEC00 | ((target >> 1) & 0xFF), 0xF000 | ((target >> 9) & 0xFFF)]  # CALL
        elif kind == 7:
            words.append(0x0012)                                    # RETURN
        elif kind == 8:
            words.append(0x5000 | f)                                # MOVF f,W
        else:
            words.append(0x0000)                                    # NOP
    return b"".join(w.to_bytes(2, "little") for w in words)[:length]


def vectors() -> bytes:
    """Reset vector and the two interrupt vectors, each a GOTO into the application."""
    image = bytearray(b"\xFF" * 0x20)
    image[0x00:0x04] = goto(0x0200)
    image[0x08:0x0C] = goto(0x0208)
    image[0x18:0x1C] = goto(0x0210)
    return bytes(image)


CONFIG_WORDS = bytes([0xFF, 0x22, 0x0E, 0x1E, 0xFF, 0x81, 0x81, 0xFF,
                      0x0F, 0xC0, 0x0F, 0xE0, 0x0F, 0x40])


def eeprom(version: bytes, can_bcd: int, options1: int, options2: int, pin: str) -> bytes:
    assert len(version) == 16
    image = bytearray(b"\xFF" * 256)
    image[0x00:0x08] = bytes([0x5A, 0x01, 0x00, 0x10, 0x20, 0x30, 0x00, 0x00])
    image[0x21] = options1
    image[0x26], image[0x66], image[0x27], image[0x67] = (int(d) for d in pin)
    image[0x28] = can_bcd
    image[0x61] = options2
    image[0xF0:0x100] = version
    return bytes(image)


def comments(texts):
    return [b";" + t for t in texts]


def cp(text: str) -> bytes:
    return text.encode("cp1250")


def sample_basic(rng):
    lines = [extended_address(0x0000)]
    lines += data_records(0x0000, vectors())[1:]
    lines += data_records(0x0200, code_block(rng, 0x300))[1:]
    lines += data_records(0x300000, CONFIG_WORDS)
    lines += data_records(0xF00000, eeprom(b"CANLINK v1.02 EU", 0x11, 0x05, 0x80, "1234")[:0x30])
    lines += data_records(0xF000F0, b"CANLINK v1.02 EU")[1:]
    lines.append(END_RECORD)
    lines += comments([b" Vehicle programs (CAN):",
                       b" 11 - City hatchback 2008-2012",
                       b" 12 - Compact sedan 2010-2015",
                       b" 21 - Delivery van 2014-"])
    return lines


def sample_full_flash(rng):
    """Code up to the last FLASH byte in 32-byte records, odd-sized and unaligned records, a
    record that crosses a 256-byte boundary, and the whole EEPROM."""
    lines = data_records(0x0000, vectors())
    lines += data_records(0x0200, code_block(rng, 0x7E00), width=32)
    lines += data_records(0x01F3, bytes([0x12, 0x00, 0x00]))[1:]
    lines += data_records(0x01FA, bytes([0xAA, 0x55, 0x01, 0x02, 0x03]))[1:]
    lines += data_records(0x300000, CONFIG_WORDS, width=8)
    lines += data_records(0xF00000, eeprom(b"CANLINK v2.10 PL", 0x32, 0xFF, 0x9E, "9081"))
    lines.append(END_RECORD)
    lines += comments([b" 31 - Premium estate 2016-2020", b" 32 - Premium estate 2021-"])
    return lines


def sample_eeprom_config(rng):
    """No FLASH data at all: only configuration words and a few EEPROM bytes."""
    lines = data_records(0x300000, CONFIG_WORDS)
    lines += data_records(0xF00010, bytes(rng.randrange(256) for _ in range(7)))
    lines += data_records(0xF000F0, b"CANLINK defaults")[1:]
    lines.append(END_RECORD)
    lines += comments([b" EEPROM defaults only"])
    return lines


def sample_program_texts(rng):
    """Comment lines with Central European letters (Windows-1250 bytes), an empty comment, a
    doubled ';', a blank-prefixed ';' that is no comment, a long line, and blank lines, all after
    the end record, where the program list finds them and the loader never looks."""
    lines = data_records(0x0000, vectors())
    lines += data_records(0x0200, code_block(rng, 0x80))[1:]
    lines += data_records(0xF000F0, b"CANLINK v1.99 CZ")
    lines.append(END_RECORD)
    lines += comments([cp(" Programy CAN / CAN-Programme / Programy pojazdów:"),
                       cp(" 11 - Škoda-like hatchback, řidič vlevo"),
                       cp(" 12 - Kombi (Großraum), Türsteuerung"),
                       b"",
                       b";A"])
    lines.append(b" ;not a comment")
    lines.append(b"")
    lines += comments([cp(" 13 - Furgon dostawczy, zamek centralny ÓŁĘ")])
    lines += comments([b" " + b"long line " * 25 + b"end"])
    return lines


def sample_demo(rng):
    lines = data_records(0x0000, vectors())
    lines += data_records(0x0200, code_block(rng, 0x240))[1:]
    lines += data_records(0x300000, CONFIG_WORDS)
    image = eeprom(b"CANLINK DEMO 1.0", 0x23, 0x0B, 0x84, "4711")
    lines += data_records(0xF00000, image[:0x70])
    lines += data_records(0xF000F0, image[0xF0:])[1:]
    lines.append(END_RECORD)
    lines += comments([b" Demo firmware for LinkLoader",
                       b" Vehicle programs (CAN):",
                       b" 11 - City hatchback 2008-2012, alarm on doors and boot",
                       b" 12 - City hatchback 2013-2018, comfort closing",
                       b" 21 - Compact sedan 2010-2015",
                       b" 23 - Compact sedan 2016-, keyless entry",
                       b" 45 - Delivery van 2014-, rear doors separately"])
    return lines


SAMPLES = {
    "tests/firmware/data/basic": (sample_basic, 1),
    "tests/firmware/data/full_flash": (sample_full_flash, 2),
    "tests/firmware/data/eeprom_config": (sample_eeprom_config, 3),
    "tests/firmware/data/program_texts": (sample_program_texts, 4),
    "examples/demo": (sample_demo, 5),
}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.normpath(os.path.join(here, "..", "..")))
    args = parser.parse_args()
    for stem, (make, seed) in SAMPLES.items():
        lines = make(random.Random(seed))
        plain = b"".join(line + LINE_END for line in lines)
        encoded = encode_file(lines)
        base = os.path.join(args.root, stem)
        os.makedirs(os.path.dirname(base), exist_ok=True)
        with open(base + ".hex", "wb") as f:
            f.write(plain)
        with open(base + ".hexfw", "wb") as f:
            f.write(encoded)


if __name__ == "__main__":
    main()
