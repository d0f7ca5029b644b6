#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""linkloader-cli end to end: the real program against linkloader-sim on a pseudo-terminal. Its
simulator process, known module and helpers serve the other command-line and the Wine checks too.

Usage: check_cli.py PATH/TO/linkloader-cli PATH/TO/linkloader-sim REPO_ROOT [Class.test_name...]
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import unittest

CLI = SIM = ROOT = None
DEMO = None

# A module EEPROM in which every byte differs and every option bit is set somewhere.
KNOWN = bytearray((i * 7 + 3) & 0xFF for i in range(256))
KNOWN[0x21], KNOWN[0x61] = 0x5A, 0xEB          # options (2),(4),(5),(7); BAG, FS2, FA, bits 0,5,6
KNOWN[0x26], KNOWN[0x66], KNOWN[0x27], KNOWN[0x67] = 1, 9, 0, 5   # PIN 1905
KNOWN[0x28] = 0x37                             # CAN program 37
KNOWN[0xF0:0x100] = b"LL 4.07 TEST    "


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def frames_of(frames, command):
    """The frame log's lines of one command: 0 FLASH write, 1 EEPROM write, 3 read, 4 restart."""
    return [l for l in frames if l.startswith("cmd=%d " % command)]


def check_known_config(test, config):
    """config read --json of the KNOWN module."""
    test.assertEqual(config["pin"], "1905")
    test.assertEqual(config["can_program"], 37)
    test.assertEqual(config["version"], "LL 4.07 TEST")
    test.assertEqual((config["mode"], config["smart_key"], config["fs2"], config["fs1"]),
                     ("FA", True, True, False))


def check_upload_cut_short(test, frames):
    """An upload stopped midway: some FLASH blocks written, not all, and the restart right after
    the last one."""
    written = [i for i, l in enumerate(frames) if l.startswith("cmd=0 ")]
    test.assertTrue(0 < len(written) < 2016, len(written))
    test.assertTrue(frames[written[-1] + 1].startswith("cmd=4 "), frames[written[-1] + 1:])


class SimProcess:
    """linkloader-sim with the module's EEPROM given, its memory and frame log dumped to `folder`
    when it stops (SIGINT) and killed when a test leaves without stopping it. `device` is the
    first line it prints: from then on the line exists."""

    def __init__(self, folder, *arguments, eeprom=KNOWN):
        self.eeprom_dump = os.path.join(folder, "sim-eeprom.bin")
        self.frames = os.path.join(folder, "sim-frames.txt")
        source = write_file(os.path.join(folder, "sim-eeprom-in.bin"), bytes(eeprom))
        self.proc = subprocess.Popen(
            [SIM, "--eeprom-in", source, "--dump-eeprom", self.eeprom_dump,
             "--frames", self.frames, *arguments],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.device = self.proc.stdout.readline().decode().strip()
        self.proc.stdout.close()

    def end(self, *dumps):
        """Stops the simulator; returns the contents of `dumps` and then its frames."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            self.proc.wait(timeout=10)
        with open(self.frames) as f:
            frames = f.read().splitlines()
        return (*(read_file(dump) for dump in dumps), frames)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Sim(SimProcess):
    """linkloader-sim on a pty, reached through a symlink; the dumps are read after it stops."""

    def __init__(self, tmp, *options, eeprom=KNOWN):
        self.link = os.path.join(tmp, "port")
        super().__init__(tmp, "--link", self.link, *options, eeprom=eeprom)

    def stop(self):
        return self.end(self.eeprom_dump)


class CliTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.tmp = folder.name
        self.data = os.path.join(self.tmp, "data")
        self.env = dict(os.environ, XDG_DATA_HOME=self.data)

    def cli(self, *args, port=None, env=None, timeout=120, **run):
        command = [CLI] + (["--port", port] if port else []) + list(args)
        return subprocess.run(command, capture_output=True, env=env or self.env, timeout=timeout,
                              **run)

    def json_of(self, result):
        lines = result.stdout.decode("utf-8").splitlines()  # strict: the JSON is valid UTF-8
        self.assertEqual(len(lines), 1, result)
        obj = json.loads(lines[0])
        self.assertEqual(list(obj)[0], "ok")
        if obj["ok"]:
            self.assertNotIn("error", obj)
        else:
            self.assertEqual(set(obj) >= {"error", "message"}, True, obj)
        return obj

    def copies(self):
        folder = os.path.join(self.data, "LinkLoader", "eeprom")
        if not os.path.isdir(folder):
            return []
        return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".eeprom"))


class Commands(CliTest):
    def test_version_config_read_and_backup(self):
        with Sim(self.tmp) as sim:
            out = self.json_of(self.cli("version", "--device-id", "--json", port=sim.link))
            self.assertEqual(out, {"ok": True, "version": "LL 4.07 TEST", "device_id": "34:12"})
            self.assertEqual(self.cli("version", port=sim.link).stdout, b"LL 4.07 TEST\n")

            check_known_config(self, self.json_of(self.cli("config", "read", "--json",
                                                           port=sim.link)))
            text = self.cli("config", "read", port=sim.link).stdout.decode()
            self.assertIn("pin = 1905\n", text)
            self.assertIn("smart_key = 1\n", text)

            backup = os.path.join(self.tmp, "backup.bin")
            result = self.cli("eeprom", "backup", backup, port=sim.link)
            self.assertEqual(result.returncode, 0, result.stderr)
            eeprom, frames = sim.stop()
        self.assertEqual(read_file(backup), eeprom)
        self.assertEqual(eeprom, bytes(KNOWN))
        # The completed reads left a copy in the data folder, equal to the module's EEPROM; the
        # module did not change, so one copy serves all three.
        copies = self.copies()
        self.assertEqual(len(copies), 1)
        for copy in copies:
            self.assertEqual(read_file(copy), eeprom)

    def test_config_set_changes_exactly_the_bits_named(self):
        cases = [  # assignment, {offset: new byte}
            ("smart_key=0", {0x21: 0x5A & ~0x40}),
            ("fs2=0", {0x61: 0xEB & ~0x08}),
            ("fs3=1", {0x61: 0xEB | 0x10}),
            ("pin=1984", {0x26: 1, 0x66: 9, 0x27: 8, 0x67: 4}),
            ("can_program=52", {0x28: 0x52}),
        ]
        for assignment, changes in cases:
            with self.subTest(assignment=assignment), Sim(self.tmp) as sim:
                result = self.cli("config", "set", assignment, "--json", port=sim.link)
                self.assertEqual(result.returncode, 0, result.stderr)
                name, value = assignment.split("=")
                got = self.json_of(result)[name]
                self.assertEqual(str(int(got) if isinstance(got, bool) else got), value)
                eeprom, frames = sim.stop()
                expected = bytearray(KNOWN)
                for offset, byte in changes.items():
                    expected[offset] = byte
                self.assertEqual(eeprom, bytes(expected))

    def test_restore_writes_and_verifies(self):
        image = bytes((i * 13 + 1) & 0xFF for i in range(256))
        source = write_file(os.path.join(self.tmp, "image.bin"), image)
        with Sim(self.tmp) as sim:
            # The image carries no version text of the module's: --force.
            out = self.json_of(self.cli("eeprom", "restore", source, "--force", "--json",
                                        port=sim.link))
            self.assertTrue(out["ok"])
            eeprom, _ = sim.stop()
        self.assertEqual(eeprom, image)
        # The module's previous contents were kept before they were overwritten.
        self.assertEqual(read_file(self.copies()[0]), bytes(KNOWN))

    def test_upload_writes_the_file_like_the_window(self):
        temp = os.path.join(self.tmp, "temp")
        os.mkdir(temp)
        with Sim(self.tmp) as sim:
            result = self.cli("upload", DEMO, port=sim.link, env=dict(self.env, TMPDIR=temp))
            self.assertEqual(os.listdir(temp), [])  # its private copy of the file is gone
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn(b"FLASH 100%", result.stderr)  # plain progress lines off a terminal
            _, frames = sim.stop()
        self.assertEqual((len(frames_of(frames, 0)), len(frames_of(frames, 1))), (2016, 16))
        self.assertTrue(frames[-1].startswith("cmd=4 "))

    def test_help_of_every_command(self):
        for args in (["--help"], ["version", "--help"], ["upload", "--help"],
                     ["config", "set", "--help"], ["eeprom", "restore", "--help"]):
            with self.subTest(args=args):
                result = self.cli(*args)
                self.assertEqual(result.returncode, 0)
                self.assertIn(b"linkloader-cli", result.stdout)
        self.assertIn(b"smart_key", self.cli("config", "set", "--help").stdout)
        self.assertIn(b"130", self.cli("--help").stdout)
        self.assertIn(b"  2      usage", self.cli("--help").stdout)


class ExitCodes(CliTest):
    def test_usage_and_file_errors_send_nothing(self):
        bad = write_file(os.path.join(self.tmp, "bad.hexfw"), b"not a firmware file\r\n")
        short = write_file(os.path.join(self.tmp, "short.bin"), b"\0" * 255)
        with Sim(self.tmp) as sim:
            cases = [  # arguments, exit code, error word
                (("frobnicate",), 2, "usage"),
                (("config", "set", "colour=red"), 2, "usage"),
                (("config", "set", "pin=12"), 2, "usage"),
                (("config", "set", "fs1=1", "fs3=1"), 2, "usage"),
                (("upload", os.path.join(self.tmp, "missing.hexfw")), 1, "file"),
                (("upload", bad), 1, "file"),
                (("eeprom", "restore", short), 1, "file"),
                (("upload", DEMO, "--count", "3"), 2, "usage"),  # options of --repeat
                (("upload", DEMO, "--log", "x.log"), 2, "usage"),
            ]
            for args, code, word in cases:
                with self.subTest(args=args):
                    result = self.cli(*args, "--json", port=sim.link)
                    self.assertEqual(result.returncode, code, result.stderr)
                    out = self.json_of(result)
                    self.assertFalse(out["ok"])
                    self.assertEqual(out["error"], word)
                    if args[-2:-1] in (("--count",), ("--log",)):
                        self.assertIn(args[-2], out["message"])
                    if args[0] in ("upload", "eeprom"):
                        self.assertIs(out["written"], False)
            self.assertEqual(self.cli("version", port="COMX").returncode, 2)
            _, frames = sim.stop()
        self.assertEqual(frames, [])

    def test_device_failures(self):
        missing_port = os.path.join(self.tmp, "no-such-tty")
        image = write_file(os.path.join(self.tmp, "image.bin"), bytes(range(256)))
        cases = [  # simulator options, command, exit code, error word
            ((), ("config", "read"), 3, "port"),
            (("--never-answer",), ("config", "read"), 4, "no_bootloader"),
            (("--refuse", "flash:40"), ("upload", DEMO), 5, "transfer"),
            (("--silent", "eeprom:2"), ("config", "set", "fs2=0"), 5, "transfer"),
            (("--forget", "eeprom:3"), ("eeprom", "restore", image, "--force"), 6, "verify"),
        ]
        for options, args, code, word in cases:
            with self.subTest(options=options), Sim(self.tmp, *options) as sim:
                port = missing_port if code == 3 else sim.link
                result = self.cli(*args, "--json", port=port)
                self.assertEqual(result.returncode, code, result.stderr)
                out = self.json_of(result)
                self.assertEqual(out["error"], word)
                # A writing command says whether its write completed: here only the restore's.
                writes = args[0] in ("upload", "eeprom") or args[:2] == ("config", "set")
                self.assertEqual(out.get("written"), code == 6 if writes else None)

    def test_reads_whose_checksum_fails_end_as_failed_transfers(self):
        backup = os.path.join(self.tmp, "backup.eeprom")
        for args in (("config", "read"), ("eeprom", "backup", backup), ("config", "set", "fs2=0")):
            with self.subTest(args=args), Sim(self.tmp, "--bad-checksum") as sim:
                result = self.cli(*args, "--json", port=sim.link)
                self.assertEqual(result.returncode, 5, result.stderr)
                out = json.loads(result.stdout.decode().splitlines()[-1])
                self.assertEqual(out["error"], "transfer")
                self.assertIn("wrong checksum", out["message"])
                eeprom, frames = sim.stop()
            # Nothing read with a bad checksum is written back, nor kept as a copy to restore.
            self.assertEqual(frames_of(frames, 1), [])
            self.assertEqual(eeprom, bytes(KNOWN))
            self.assertEqual(self.copies(), [])

    def test_a_device_gone_mid_upload_says_so(self):
        with Sim(self.tmp, "--gone-at", "flash:40") as sim:
            result = self.cli("upload", DEMO, "--json", port=sim.link)
        self.assertEqual(result.returncode, 5, result.stderr)
        out = self.json_of(result)
        self.assertEqual(out["error"], "transfer")
        self.assertIn("was unplugged; plug it in and try again", out["message"])
        self.assertIn(b"Error data transmission\n", result.stderr)


if __name__ == "__main__":
    CLI, SIM, ROOT = (os.path.abspath(p) for p in sys.argv[1:4])
    DEMO = os.path.join(ROOT, "examples", "demo.hexfw")
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:])  # then: test names to run
