#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The EEPROM safety net end to end: linkloader-cli against linkloader-sim, with the data folder
seeded, broken or full.

Usage: check_safety_net.py PATH/TO/linkloader-cli PATH/TO/linkloader-sim REPO_ROOT [Class.test_name...]
"""

import contextlib
import json
import os
import shutil
import stat
import subprocess
import sys
import time
import unittest

import check_cli
from check_cli import KNOWN, CliTest, Sim, frames_of, read_file, write_file

FOREIGN = ["1_customer_ABC_before_repair.eeprom",       # a technician's own file
           "20000101T000000.000Z_x_after-read.eeprom",  # the program's form, but no sidecar
           "notes.txt"]


def stamp(year, i):
    return "%04d%02d%02dT000000.%03dZ" % (year, 1 + i // 28 % 12, 1 + i % 28, i)


def image_with_version(version_bytes, fill=0x11):
    image = bytearray([fill] * 256)
    image[0xF0:0x100] = version_bytes.ljust(16, b" ")
    return bytes(image)


class SafetyNet(CliTest):
    def setUp(self):
        super().setUp()
        self.folder = os.path.join(self.data, "LinkLoader", "eeprom")

    def plant(self, name, time, kind="after-read", used=None):
        os.makedirs(self.folder, exist_ok=True)
        write_file(os.path.join(self.folder, name + ".eeprom"), b"x" * 256)
        with open(os.path.join(self.folder, name + ".json"), "w") as f:
            json.dump({"time": time, "kind": kind, "program": "LinkLoader 0.1.0",
                       "port": "COM1", "version": "old", **({"used": used} if used else {})}, f)

    def listed(self):
        result = self.cli("eeprom", "list", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        return self.json_of(result)["copies"]

    def test_pruning_touches_only_the_programs_copies_by_their_recorded_time(self):
        now = time.time()
        recent = [time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime(now - 30 * i))
                  for i in range(1, 101)]  # made by other processes in the last hour
        cases = [  # what, seeded copies [(name, time, kind[, used])], names expected gone
            ("100 old reads",
             [(stamp(2000, i) + "_old_after-read", stamp(2000, i), "after-read")
              for i in range(100)], {stamp(2000, 0) + "_old_after-read"}),
            ("names against times",
             [(stamp(2000, i) + "_old_after-read", stamp(2000, 99 - i), "after-read")
              for i in range(100)], {stamp(2000, 99) + "_old_after-read"}),
            ("100 future-dated reads",
             [(stamp(2999, i) + "_old_after-read", stamp(2999, i), "after-read")
              for i in range(100)], {stamp(2999, 0) + "_old_after-read"}),
            ("reads never push out a copy taken before a write",
             [(stamp(2000, i) + "_old_after-read", stamp(2000, i), "after-read")
              for i in range(100)] + [("19990101T000000.000Z_old_before-write",
                                       "1999-01-01T00:00:00.000Z", "before-write")],
             {stamp(2000, 0) + "_old_after-read"}),
            ("the oldest was used again since: the next one goes",
             [(stamp(2000, i) + "_old_after-read", stamp(2000, i), "after-read",
               stamp(2001, 0) if i == 0 else None) for i in range(100)],
             {stamp(2000, 1) + "_old_after-read"}),
            ("copies of the last hour stay, whoever made them",
             [("20000101T0000%02d.000Z_old_after-read" % i, recent[i]) for i in range(100)],
             set()),
        ]
        for what, seeds, gone in cases:
            with self.subTest(what):
                if os.path.isdir(self.folder):
                    for name in os.listdir(self.folder):
                        os.unlink(os.path.join(self.folder, name))
                for seed in seeds:
                    self.plant(*seed)
                for name in FOREIGN:
                    write_file(os.path.join(self.folder, name), b"f" * 256)
                # A FIFO for a sidecar is never opened: the listing would wait for a writer.
                os.mkfifo(os.path.join(self.folder, FOREIGN[1][:-len(".eeprom")] + ".json"))
                with Sim(self.tmp) as sim:
                    out = self.json_of(self.cli("config", "read", "--json", port=sim.link))
                self.assertTrue(os.path.exists(out["copy"]), out)
                for name in FOREIGN:
                    self.assertTrue(os.path.exists(os.path.join(self.folder, name)), name)
                for name, *_ in seeds:
                    for ext in (".eeprom", ".json"):
                        self.assertEqual(os.path.exists(os.path.join(self.folder, name + ext)),
                                         name not in gone, name + ext)
                kinds = [c["kind"] for c in self.listed()]
                reads = sum(seed[2:3] in ((), ("after-read",)) for seed in seeds)
                self.assertEqual(kinds.count("after-read"), reads + 1 - len(gone))

    def test_one_copy_per_unchanged_image_and_kind(self):
        with Sim(self.tmp) as sim:
            reads = [self.json_of(self.cli("config", "read", "--json", port=sim.link))
                     for _ in range(2)]
            written = self.json_of(self.cli("config", "set", "pin=2468", "--json", port=sim.link))
            again = self.json_of(self.cli("config", "read", "--json", port=sim.link))
        self.assertEqual(reads[0]["copy"], reads[1]["copy"])
        with open(reads[0]["copy"][:-len(".eeprom")] + ".json") as f:
            self.assertIn("used", json.load(f))  # reported again: as new for pruning
        self.assertNotEqual(written["copy"], reads[0]["copy"])
        self.assertNotEqual(again["copy"], reads[0]["copy"])
        copies = self.listed()
        self.assertEqual([c["kind"] for c in copies], ["after-read", "before-write", "after-read"])
        self.assertEqual([c["path"] for c in copies],
                         [reads[0]["copy"], written["copy"], again["copy"]])
        # The copy before the write holds what the write replaced: a restore from it undoes it.
        self.assertEqual(read_file(written["copy"]), bytes(KNOWN))
        for c in copies:
            self.assertEqual(c["version"], "LL 4.07 TEST")
            self.assertTrue(c["port"].startswith("COM1 ("), c)
            self.assertRegex(c["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        human = self.cli("eeprom", "list").stdout.decode().splitlines()
        self.assertEqual(len(human), 3)
        self.assertIn("before-write", human[1])
        self.assertTrue(human[1].endswith(written["copy"]))

    @contextlib.contextmanager
    def broken_data_folder(self, how):
        """The data folder made unusable while the block runs, mended after it; yields False when
        this system cannot do it."""
        os.makedirs(self.data, exist_ok=True)
        # Permissions do not stop root; a read-only file system does.
        mount = os.geteuid() == 0 and how in ("read-only", "full")
        foreign = how.startswith("another user's")  # only root can give a folder away
        if (how == "full" and not mount) or (foreign and os.geteuid() != 0):
            yield False
            return
        nobody = 65534
        if how == "another user's folder":
            os.makedirs(self.folder)
            os.chown(self.folder, nobody, nobody)
        elif how == "another user's link":
            elsewhere = os.path.join(self.tmp, "elsewhere")
            os.makedirs(elsewhere, exist_ok=True)
            os.symlink(elsewhere, os.path.join(self.data, "LinkLoader"))
            os.lchown(os.path.join(self.data, "LinkLoader"), nobody, nobody)
        elif how == "a file where the folder should be":
            write_file(os.path.join(self.data, "LinkLoader"), b"in the way")
        elif mount:
            size = "ro,size=64k" if how == "read-only" else "size=64k"
            subprocess.run(["mount", "-t", "tmpfs", "-o", size, "tmpfs", self.data], check=True)
        else:
            os.chmod(self.data, 0o555)
        if how == "full":
            os.makedirs(self.folder)
            with open(os.path.join(self.data, "filler"), "wb", buffering=0) as f:
                with contextlib.suppress(OSError):
                    while True:
                        f.write(b"\0" * 4096)
        try:
            yield True
        finally:
            if how == "another user's folder":
                shutil.rmtree(os.path.join(self.data, "LinkLoader"))
            elif how == "another user's link" or how == "a file where the folder should be":
                os.unlink(os.path.join(self.data, "LinkLoader"))
            elif mount:
                subprocess.run(["umount", self.data], check=True)
            else:
                os.chmod(self.data, 0o755)

    def test_no_copy_no_write_unless_no_backup(self):
        image = image_with_version(b"LL 4.07 TEST", fill=0x42)
        source = write_file(os.path.join(self.tmp, "image.bin"), image)
        commands = [("config", "set", "pin=2468"), ("eeprom", "restore", source)]
        for how in ("a file where the folder should be", "read-only", "full",
                    "another user's folder", "another user's link"):
            for command in commands:
                with self.subTest(how=how, command=command[:2]), \
                        self.broken_data_folder(how) as possible:
                    if not possible:
                        self.skipTest("a full folder or another user's needs root")
                    with Sim(self.tmp) as sim:
                        refused = self.cli(*command, "--json", port=sim.link)
                        allowed = self.cli(*command, "--no-backup", "--json", port=sim.link)
                        _, frames = sim.stop()
                    self.assertEqual(refused.returncode, 1, refused.stderr)
                    out = self.json_of(refused)
                    self.assertIn("copy_error", out)
                    self.assertNotIn("copy", out)
                    self.assertIn("--no-backup", out["message"])
                    self.assertIn(self.data, out["message"])  # where
                    self.assertEqual(allowed.returncode, 0, allowed.stderr)
                    self.assertIn("copy_error", self.json_of(allowed))
                    # Only the run with --no-backup wrote: 16 blocks, once.
                    self.assertEqual(len(frames_of(frames, 1)), 16)
                    # Asked once, for the write; the read's copy is only reported.
                    self.assertEqual(allowed.stderr.count(b"writing anyway (--no-backup)"), 1)
        # A read needs no copy to be right: it reports why none was kept and succeeds.
        with self.broken_data_folder("a file where the folder should be"), Sim(self.tmp) as sim:
            out = self.json_of(self.cli("config", "read", "--json", port=sim.link))
        self.assertTrue(out["ok"])
        self.assertIn("Not a directory", out["copy_error"])

    def test_config_show_decodes_a_copy_as_config_read_does(self):
        with Sim(self.tmp) as sim:
            read = self.json_of(self.cli("config", "read", "--json", port=sim.link))
            text = self.cli("config", "read", port=sim.link).stdout
        shown = self.json_of(self.cli("config", "show", read["copy"], "--json"))
        self.assertEqual(shown.pop("file"), read.pop("copy"))
        self.assertEqual(shown, read)
        self.assertEqual(self.cli("config", "show", self.copies()[0]).stdout, text)
        piped = self.cli("config", "show", "-", input=bytes(KNOWN), timeout=60)
        self.assertEqual(piped.stdout, text)

    def test_restore(self):
        other = image_with_version(b"LL 9.99 OTHER", fill=0x42)
        same = image_with_version(b"LL 4.07 TEST", fill=0x43)
        folder = os.path.join(self.tmp, "a-folder")
        os.makedirs(folder)
        cases = [  # what, stdin, arguments, exit code, error word, the module afterwards
            ("from standard input", same, ["-"], 0, None, same),
            ("a folder", None, [folder], 1, None, bytes(KNOWN)),
            ("another version", other, ["-"], 2, "usage", bytes(KNOWN)),
            ("another version, forced", other, ["-", "--force"], 0, None, other),
        ]
        for what, stdin, args, code, word, after in cases:
            with self.subTest(what), Sim(self.tmp) as sim:
                result = self.cli("eeprom", "restore", *args, "--json", port=sim.link,
                                  input=stdin or b"")
                eeprom, frames = sim.stop()
                self.assertEqual(eeprom, after)
                if code != 0:
                    self.assertEqual(result.returncode, code, result.stderr)  # no abort
                    self.assertEqual(frames_of(frames, 1), [])
                    out = self.json_of(result)
                    if word:
                        self.assertEqual(out["error"], word)
                        self.assertIn("--force", out["message"])
                    else:
                        self.assertIn("is a folder", out["message"])
                else:
                    self.assertEqual(result.returncode, 0, result.stderr)
                    out = self.json_of(result)
                    # The copy of what the restore replaced: the module's contents before it.
                    self.assertEqual(read_file(out["copy"]), bytes(KNOWN))
        self.assertIn(b"differs from the module's", result.stderr)

    def test_backup_file_is_private_and_json_keeps_standard_output_for_itself(self):
        target = os.path.join(self.tmp, "module.eeprom")
        existing = write_file(os.path.join(self.tmp, "existing.eeprom"), b"old")
        os.chmod(existing, 0o644)
        with Sim(self.tmp) as sim:
            self.assertEqual(self.cli("eeprom", "backup", existing, port=sim.link).returncode, 0)
            self.assertEqual(stat.S_IMODE(os.stat(existing).st_mode), 0o600)
            written = self.cli("eeprom", "backup", target, "--json", port=sim.link)
            both = self.cli("eeprom", "backup", "-", "--json", port=sim.link)
            raw = self.cli("eeprom", "backup", "-", port=sim.link)
            _, frames = sim.stop()
        self.assertEqual(written.returncode, 0, written.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), 0o600)
        out = self.json_of(written)
        self.assertTrue(os.path.exists(out["copy"]))
        self.assertNotEqual(both.returncode, 0)
        self.assertEqual(self.json_of(both)["error"], "usage")
        self.assertEqual(raw.stdout, bytes(KNOWN))
        self.assertEqual(len(frames_of(frames, 3)), 48)  # three reads; the refused one none

    def test_copy_names_spell_accented_letters_plainly(self):
        module = bytearray(KNOWN)
        module[0xF0:0x100] = b"\x8Akoda \xC8\x9A 1.0".ljust(16, b" ")  # Škoda Čš in Windows-1250
        with Sim(self.tmp, eeprom=module) as sim:
            out = self.json_of(self.cli("config", "read", "--json", port=sim.link))
        self.assertTrue(os.path.basename(out["copy"]).endswith("_Skoda-Cs-1.0_after-read.eeprom"),
                        out["copy"])
        self.assertEqual(self.listed()[0]["version"], "Škoda Čš 1.0")

    def test_help_names_the_new_commands_and_options(self):
        cases = [(("eeprom", "restore", "--help"), b"--force"),
                 (("eeprom", "restore", "--help"), b"--no-backup"),
                 (("config", "set", "--help"), b"--no-backup"),
                 (("eeprom", "list", "--help"), b"kept copies"),
                 (("config", "show", "--help"), b"FILE")]
        for args, text in cases:
            with self.subTest(args=args):
                result = self.cli(*args)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(text, result.stdout)


if __name__ == "__main__":
    check_cli.CLI, check_cli.SIM, check_cli.ROOT = (os.path.abspath(p) for p in sys.argv[1:4])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:])  # then: test names to run
