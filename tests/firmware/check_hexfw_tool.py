#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Checks linkloader-hexfw from the outside, against independent readers.

Usage: check_hexfw_tool.py PATH/TO/linkloader-hexfw REPO_ROOT

- encode/decode round trip of every sample, and encode compared with the generator's own
  encoder (the committed .hexfw files);
- dump of the .hexfw and of the .hex form give identical images, and those images match what
  python3-intelhex reads from the plain file (FLASH, EEPROM at 0xF00000, configuration words at
  0x300000; 0xFF where the file sets nothing);
- the generator reproduces the committed samples;
- programs prints the comment lines, converted exactly like Python's cp1250 codec;
- refusals write nothing and bad input never kills the tool with a signal.
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

from intelhex import IntelHex

TOOL = None
ROOT = None
DEMO = None  # examples/demo, without .hex or .hexfw

FLASH_SIZE = 0x8000
EEPROM_BASE, EEPROM_SIZE = 0xF00000, 0x100
CONFIG_BASE, CONFIG_SIZE = 0x300000, 0x10


def samples():
    stems = [os.path.join(ROOT, "tests", "firmware", "data", name[:-4])
             for name in sorted(os.listdir(os.path.join(ROOT, "tests", "firmware", "data")))
             if name.endswith(".hex")]
    return stems + [DEMO]


def run(*args, check=True):
    result = subprocess.run([TOOL, *args], capture_output=True)
    if check and result.returncode != 0:
        raise AssertionError(f"{args} failed: {result.stderr.decode(errors='replace')}")
    return result


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def encode_line(line, number):
    """The stored form of one line, written here independently of the tool."""
    key = b"kqwbr318=t" + str(number).encode()
    out = bytearray()
    for i, c in enumerate(line, start=1):
        r = i % len(key)
        out.append((c + (key[r - 1] if r else 0)) & 0xFF)
    return bytes(out)


def oracle_images(hex_path):
    """Images as python3-intelhex reads the plain file. It does not know comment lines, so the
    lines that are not records are left out; everything after the end record is too."""
    kept = []
    for line in read(hex_path).split(b"\r\n"):
        if line.startswith(b":"):
            kept.append(line)
        if line == b":00000001FF":
            break
    with tempfile.NamedTemporaryFile("wb", suffix=".hex", delete=False) as f:
        f.write(b"\n".join(kept) + b"\n")
        name = f.name
    try:
        ih = IntelHex(name)
    finally:
        os.unlink(name)
    ih.padding = 0xFF

    def image(base, size):
        return bytes(ih[base + i] for i in range(size))

    return image(0, FLASH_SIZE), image(EEPROM_BASE, EEPROM_SIZE), image(CONFIG_BASE, CONFIG_SIZE), ih


class ToolTest(unittest.TestCase):
    """Each test with a folder of its own for what the tool writes."""

    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.tmp = folder.name


class RoundTrip(ToolTest):
    def test_encode_then_decode_gives_every_sample_back(self):
        for stem in samples():
            with self.subTest(sample=os.path.basename(stem)):
                encoded = os.path.join(self.tmp, "x.hexfw")
                decoded = os.path.join(self.tmp, "x.hex")
                run("encode", stem + ".hex", encoded)
                self.assertEqual(read(encoded), read(stem + ".hexfw"))
                run("decode", encoded, decoded)
                self.assertEqual(read(decoded), read(stem + ".hex"))
                run("decode", stem + ".hexfw", decoded)
                self.assertEqual(read(decoded), read(stem + ".hex"))

    def test_generator_reproduces_the_committed_samples(self):
        subprocess.run([sys.executable, os.path.join(ROOT, "tests", "firmware", "make_samples.py"),
                        "--root", self.tmp], check=True)
        for stem in samples():
            rel = os.path.relpath(stem, ROOT)
            for ext in (".hex", ".hexfw"):
                with self.subTest(file=rel + ext):
                    self.assertEqual(read(os.path.join(self.tmp, rel + ext)), read(stem + ext))


class DumpAgainstIntelHex(ToolTest):
    def test_images_match_the_independent_reader(self):
        for stem in samples():
            with self.subTest(sample=os.path.basename(stem)):
                enc_dir = os.path.join(self.tmp, "enc")
                plain_dir = os.path.join(self.tmp, "plain")
                out = run("dump", stem + ".hexfw", "--out", enc_dir).stdout.decode()
                run("dump", stem + ".hex", "--plain", "--out", plain_dir)
                for name in ("flash.bin", "eeprom.bin", "config.bin"):
                    self.assertEqual(read(os.path.join(enc_dir, name)),
                                     read(os.path.join(plain_dir, name)), name)
                flash, eeprom, config, ih = oracle_images(stem + ".hex")
                self.assertEqual(read(os.path.join(enc_dir, "flash.bin")), flash)
                self.assertEqual(read(os.path.join(enc_dir, "eeprom.bin")), eeprom)
                self.assertEqual(read(os.path.join(enc_dir, "config.bin")), config)
                # The tops are the highest address written inside each window.
                addresses = ih.addresses()
                flash_top = max((a for a in addresses if a < FLASH_SIZE), default=-1)
                eeprom_top = max((a - EEPROM_BASE for a in addresses
                                  if EEPROM_BASE <= a < EEPROM_BASE + EEPROM_SIZE), default=-1)
                self.assertIn(f"FlashTop: {flash_top} ", out)
                self.assertIn(f"EepromTop: {eeprom_top} ", out)
                self.assertIn("Result: LineEndOfFile", out)

    def test_failing_file_names_its_line_and_writes_nothing(self):
        bad = write(self.tmp, "bad.hex", b":020000040000FA\r\n:0100000055AB\r\n:00000001FF\r\n")
        out_dir = os.path.join(self.tmp, "out")
        result = run("dump", bad, "--plain", "--out", out_dir, check=False)
        self.assertEqual(result.returncode, 1)
        err = result.stderr.decode()
        self.assertEqual(err.count("\n"), 1, err)
        self.assertIn("line 2", err)
        self.assertIn("LineChecksumError", err)
        self.assertFalse(os.path.exists(out_dir))

    def test_dump_needs_out(self):
        for out in ([], ["--out="]):
            with self.subTest(out=out):
                result = run("dump", samples()[0] + ".hexfw", *out, check=False)
                self.assertEqual(result.returncode, 2)
                self.assertIn(b"--out", result.stderr)


class Programs(ToolTest):
    def test_comment_lines_are_converted_like_the_cp1250_codec(self):
        texts = [bytes(range(0x80 + 16 * i, 0x90 + 16 * i)) for i in range(8)]
        texts += [b" 11 - plain ASCII", b";twice", b""]
        comments = b"".join(b";" + t + b"\r\n" for t in texts)
        plain = write(self.tmp, "p.hex", b":00000001FF\r\n" + comments + b" ;no comment\r\n")
        out = run("programs", plain, "--plain").stdout
        expected = "".join(t.decode("cp1250", errors="replace") + "\n" for t in texts)
        self.assertEqual(out.decode("utf-8"), expected)
        raw = run("programs", plain, "--plain", "--raw").stdout
        self.assertEqual(raw, b"".join(t + b"\n" for t in texts))

        encoded = os.path.join(self.tmp, "p.hexfw")
        run("encode", plain, encoded)
        self.assertEqual(run("programs", encoded).stdout, out)

    def test_demo_lists_its_vehicle_programs(self):
        out = run("programs", DEMO + ".hexfw").stdout.decode()
        self.assertIn(" 11 - City hatchback", out)
        self.assertGreaterEqual(out.count("\n"), 5)
        self.assertNotIn(":", out.splitlines()[0][:1])


class Json(ToolTest):
    """--json: one object on standard output, human text on standard error."""

    def test_results_and_failures_as_one_object(self):
        bad = write(self.tmp, "bad.hex", b":0100000055AB\r\n:00000001FF\r\n")
        text_dump = run("dump", DEMO + ".hexfw", "--out", self.tmp).stdout.decode().splitlines()
        rows = [
            (["dump", DEMO + ".hexfw", "--out", self.tmp, "--json"], 0,
             {"ok": True, "result": "LineEndOfFile"}),
            (["programs", DEMO + ".hexfw", "--json"], 0, {"ok": True}),
            (["dump", bad, "--plain", "--out", os.path.join(self.tmp, "x"), "--json"], 1,
             {"ok": False, "error": "file"}),
            (["dump", DEMO + ".hexfw", "--json", "--bogus"], 2,
             {"ok": False, "error": "usage"}),
            # A file that is not firmware names no programs: an error, not an empty list.
            (["programs", bad, "--plain", "--json"], 1, {"ok": False, "error": "file"}),
        ]
        for args, code, fields in rows:
            with self.subTest(args=args):
                result = run(*args, check=False)
                self.assertEqual(result.returncode, code, result.stderr)
                obj = json.loads(result.stdout)
                self.assertEqual({k: obj[k] for k in fields}, fields)
                if code:
                    self.assertTrue(obj["message"])
                    self.assertIn(obj["message"].split("\n")[0].encode(), result.stderr)
        obj = json.loads(run("dump", DEMO + ".hexfw", "--out", self.tmp, "--json").stdout)
        self.assertEqual(text_dump[0].split()[1], str(obj['flash_top']))
        self.assertEqual(len(obj["files"]), 3)
        listed = json.loads(run("programs", DEMO + ".hexfw", "--json").stdout)["programs"]
        self.assertEqual(listed, run("programs", DEMO + ".hexfw").stdout.decode().splitlines())


class Outputs(ToolTest):
    """Where the output goes: what the target is stays what it was."""

    def test_targets_keep_what_they_are(self):
        plain = read(DEMO + ".hex")
        private = write(self.tmp, "private.hex", b"old")
        os.chmod(private, 0o600)
        run("decode", DEMO + ".hexfw", private)
        self.assertEqual(os.stat(private).st_mode & 0o777, 0o600)
        self.assertEqual(read(private), plain)

        target = os.path.join(self.tmp, "target.hex")
        link = os.path.join(self.tmp, "link.hex")
        open(target, "wb").close()
        os.symlink("target.hex", link)
        run("decode", DEMO + ".hexfw", link)
        self.assertTrue(os.path.islink(link))
        self.assertEqual(read(target), plain)
        os.symlink("nowhere.hex", os.path.join(self.tmp, "dangling.hex"))
        self.assertEqual(run("decode", DEMO + ".hexfw", os.path.join(self.tmp, "dangling.hex"),
                             check=False).returncode, 1)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "nowhere.hex")))

        fifo = os.path.join(self.tmp, "fifo")
        os.mkfifo(fifo)
        reader = subprocess.Popen(["cat", fifo], stdout=subprocess.PIPE)
        run("decode", DEMO + ".hexfw", fifo)
        self.assertEqual(reader.communicate(timeout=10)[0], plain)
        self.assertTrue(os.path.exists(fifo) and not os.path.isfile(fifo))

        run("decode", DEMO + ".hexfw", "/dev/null")
        self.assertTrue(os.path.exists("/dev/null") and not os.path.isfile("/dev/null"))

        self.assertEqual(run("decode", DEMO + ".hexfw", "-").stdout, plain)
        with open(DEMO + ".hexfw", "rb") as f:
            piped = subprocess.run([TOOL, "decode", "-", "-"], stdin=f, capture_output=True)
        self.assertEqual(piped.stdout, plain)

    def test_dump_writes_all_three_images_or_none(self):
        demo = DEMO + ".hexfw"
        out = os.path.join(self.tmp, "images")
        run("dump", demo, "--out=" + out)
        before = {n: read(os.path.join(out, n)) for n in os.listdir(out)}
        self.assertEqual(sorted(before), ["config.bin", "eeprom.bin", "flash.bin"])
        other = os.path.join(ROOT, "tests", "firmware", "data", "basic.hexfw")
        os.remove(os.path.join(out, "config.bin"))
        os.mkdir(os.path.join(out, "config.bin"))  # the third image cannot be written
        self.assertEqual(run("dump", other, "--out", out, check=False).returncode, 1)
        for name in ("flash.bin", "eeprom.bin"):
            self.assertEqual(read(os.path.join(out, name)), before[name])
        self.assertEqual(sorted(os.listdir(out)), sorted(before))

    def test_failed_standard_output_and_messages(self):
        demo = DEMO + ".hexfw"
        # A result that cannot be written is a failure, whatever the command did, --json or not.
        with open("/dev/full", "wb") as full:
            for args in (["programs", demo], ["decode", demo, "-"], ["programs", demo, "--json"],
                         ["dump", demo, "--out", self.tmp, "--json"]):
                with self.subTest(args=args):
                    result = subprocess.run([TOOL, *args], stdout=full, stderr=subprocess.PIPE)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn(b"standard output", result.stderr)
        missing = os.path.join(self.tmp, "missing\x1b[2J.hexfw")
        result = run("dump", missing, "--out", self.tmp, check=False)
        self.assertEqual(result.stderr.count(b"missing"), 1, result.stderr)
        self.assertNotIn(b"\x1b", result.stderr)
        self.assertIn(b"\\x1B[2J", result.stderr)
        comment = write(self.tmp, "c.hex", b":00000001FF\r\n;bell\x07 and escape\x1b\r\n")
        self.assertEqual(run("programs", comment, "--plain").stdout,
                         b"bell\\x07 and escape\\x1B\n")
        self.assertIn(b"linkloader-hexfw", run("--version").stdout)


class Refusals(ToolTest):
    def test_encode_names_every_line_whose_stored_form_holds_a_line_end(self):
        # Line 2, position 2 is shifted by 'q' (0x71): 0x99 + 0x71 = 0x10A, an LF.
        # Line 3, position 3 is shifted by 'w' (0x77): 0xA3 + 0x77 = 0x11A, the end marker.
        # Line 4, position 1 is shifted by 'k' (0x6B): 0xA2 + 0x6B = 0x10D, a CR.
        content = b":00000001FF\r\n;\x99\r\n;x\xA3\r\n\xA2 ok\r\n; fine\r\n"
        expected = [b"line 2, column 2: '\xe2\x84\xa2' (0x99) would be stored as LF (0x0A)",
                    b"line 3, column 3: '\xc5\x81' (0xA3) would be stored as 0x1A",
                    b"line 4, column 1: '\xcb\x98' (0xA2) would be stored as CR (0x0D)"]
        src = write(self.tmp, "in.hex", content)
        dst = write(self.tmp, "out.hexfw", b"previous")
        result = run("encode", src, dst, check=False)
        self.assertEqual(result.returncode, 1)
        for line in expected:
            self.assertIn(line, result.stderr)
        self.assertIn(b"3 line(s)", result.stderr)
        self.assertEqual(read(dst), b"previous")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["in.hex", "out.hexfw"])

    def test_wrong_kinds_of_file_are_refused_and_nothing_is_written(self):
        lower = write(self.tmp, "lower.hex", read(DEMO + ".hex").replace(b"FF", b"ff", 1))
        no_end = write(self.tmp, "noend.hex", read(DEMO + ".hex").split(b":00000001FF")[0])
        # A record whose decoded form holds an LF: an encoded file no encoder would write.
        split = write(self.tmp, "split.hexfw", encode_line(b":00000001FF", 1) + b"\r\n\r\n" +
                      encode_line(b";\n", 2) + b"\r\n\r\n")
        cases = [  # command, input, what the message says
            ("encode", DEMO + ".hexfw", b"already line-encoded"),
            ("encode", lower, b"line"),
            ("encode", no_end, b"without the end record"),
            ("decode", DEMO + ".hex", b"plain Intel HEX"),
            ("decode", split, b"line 3, column 2: decodes to LF"),
        ]
        for command, source, said in cases:
            with self.subTest(command=command, source=os.path.basename(source)):
                out = os.path.join(self.tmp, "out")
                result = run(command, source, out, check=False)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(said, result.stderr)
                self.assertFalse(os.path.exists(out))
        # Swapped arguments never overwrite the plain source.
        copy = write(self.tmp, "copy.hex", read(DEMO + ".hex"))
        self.assertEqual(run("encode", DEMO + ".hexfw", copy, check=False).returncode, 1)
        self.assertEqual(run("encode", copy, copy, check=False).returncode, 1)
        self.assertEqual(read(copy), read(DEMO + ".hex"))

    def test_bad_input_never_kills_the_tool(self):
        garbage = write(self.tmp, "garbage", bytes((i * 131 + 7) & 0xFF for i in range(100000)))
        long_line = write(self.tmp, "long", b":" + b"F" * 10 * 1024 * 1024 + b"\r\n:00000001FF\r\n")
        empty = write(self.tmp, "empty", b"")
        missing = os.path.join(self.tmp, "missing")
        out = os.path.join(self.tmp, "out")
        for path in (garbage, long_line, empty, missing, self.tmp):
            for mode in ([], ["--plain"]):
                with self.subTest(path=os.path.basename(path), mode=mode):
                    result = run("dump", path, *mode, "--out", out, check=False)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertFalse(os.path.exists(out))
                    result = run("programs", path, *mode, check=False)
                    self.assertEqual(result.returncode, 1, result.stderr)
            for command in ("encode", "decode"):
                result = run(command, path, os.path.join(self.tmp, "conv"), check=False)
                self.assertIn(result.returncode, (0, 1), result.stderr)

    def test_help(self):
        for args in (["--help"], ["encode", "--help"], ["decode", "--help"],
                     ["dump", "--help"], ["programs", "--help"]):
            with self.subTest(args=args):
                result = run(*args)
                self.assertIn(b"linkloader-hexfw", result.stdout)
                # The command-line programs' one exit-code table.
                self.assertIn(b"  2      usage", result.stdout)
                self.assertIn(b"  128+N  ended by signal N", result.stdout)
        self.assertEqual(run("frobnicate", check=False).returncode, 2)
        self.assertEqual(run(check=False).returncode, 2)


if __name__ == "__main__":
    TOOL = os.path.abspath(sys.argv[1])
    ROOT = os.path.abspath(sys.argv[2])
    DEMO = os.path.join(ROOT, "examples", "demo")
    unittest.main(argv=[sys.argv[0], "-v"])
