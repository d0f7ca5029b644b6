#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""linkloader-cli as a production line and as scripts see it, end to end against linkloader-sim:
one upload per module (left attached, taken away, a new one attached), a failed module not
retried, a missing port probed at a steady pace, every signal, JSON that stays UTF-8 whatever
bytes a file name or a module holds, an erased module, config set --dry-run and upload --verify.

A module is a simulator; taking it away stops the simulator and removes the stable link the
program was given; attaching one points the link at a new simulator.

Usage: check_production.py PATH/TO/linkloader-cli PATH/TO/linkloader-sim REPO_ROOT [Class.test_name...]
"""

import contextlib
import hashlib
import json
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

import check_cli
from check_cli import KNOWN, CliTest, Sim, check_upload_cut_short, frames_of, read_file, write_file

FLASH_BLOCKS = 2016  # a whole FLASH from 0x0200 to 0x7FFF


class Bench:
    """The stable port a production line is given, and the modules attached to it in turn."""

    def __init__(self, test):
        self.tmp = test.tmp
        self.port = os.path.join(self.tmp, "bench")
        self.count = 0
        self.sim = None
        # A check that fails leaves with a module attached: its simulator goes with the test.
        test.addCleanup(lambda: self.sim and self.sim.__exit__(None, None, None))

    def attach(self, *options, eeprom=KNOWN):
        self.count += 1
        folder = os.path.join(self.tmp, "module%d" % self.count)
        os.makedirs(folder)
        self.sim = Sim(folder, *options, eeprom=eeprom)
        staged = self.port + ".new"
        os.symlink(self.sim.link, staged)
        os.replace(staged, self.port)
        return self

    def remove(self):
        """Takes the module away; its memory and frame log."""
        os.unlink(self.port)
        result = self.sim.stop()
        self.sim = None
        return result


class Line:
    """linkloader-cli upload --repeat, with its standard output read line by line as it comes."""

    def __init__(self, test, port, *args):
        self.proc = subprocess.Popen(
            [check_cli.CLI, "--port", port, "upload", *args, "--repeat", "--json"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=test.env)
        test.addCleanup(self._leave)
        self.stderr = b""
        self.drain = threading.Thread(target=self._drain, daemon=True)
        self.drain.start()

    def _drain(self):
        self.stderr = self.proc.stderr.read()

    def record(self, timeout=60):
        """The next module's record; a status (a port that could not be opened) is passed over."""
        while "status" in (record := self._next(timeout)):
            pass
        return record

    def _next(self, timeout):
        result = {}

        def read():
            result["line"] = self.proc.stdout.readline()
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        reader.join(timeout)
        line = result.get("line")
        if not line:
            raise AssertionError("no record within %d s: %r" % (timeout, self.stderr))
        return json.loads(line.decode("utf-8"))  # strict: the JSON is valid UTF-8

    def _leave(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def end(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        rest = self.proc.stdout.read()
        self.proc.wait(timeout=30)
        self.drain.join(timeout=30)
        return [json.loads(l) for l in rest.decode("utf-8").splitlines()]


class ProductionLine(CliTest):
    def test_one_module_one_upload_attached_removed_and_a_new_one(self):
        firmware = os.path.join(self.tmp, "line.hexfw")
        shutil.copy(check_cli.DEMO, firmware)
        sha = hashlib.sha256(read_file(firmware)).hexdigest()
        log = os.path.join(self.tmp, "line.log")
        bench = Bench(self).attach()
        line = Line(self, bench.port, firmware, "--log", log, "--verify")
        first = line.record()
        # The file replaced mid-run changes nothing: it was read once.
        write_file(firmware, b":00000001FF\n")
        time.sleep(5)  # the module stays attached: probed and restarted, never written again
        _, frames_a = bench.remove()
        time.sleep(3)  # three probes in a row find no module
        bench.attach()
        second = line.record()
        time.sleep(1)
        records = line.end(signal.SIGTERM)
        _, frames_b = bench.remove()

        self.assertEqual(line.proc.returncode, 143, line.stderr)
        self.assertEqual(len(frames_of(frames_a, 0)), FLASH_BLOCKS)
        self.assertGreaterEqual(len(frames_of(frames_a, 4)), 3)  # the upload's restart + probes'
        self.assertEqual(len(frames_of(frames_b, 0)), FLASH_BLOCKS)
        for number, record in ((1, first), (2, second)):
            self.assertTrue(record["ok"], record)
            self.assertTrue(record["written"] and record["verified"], record)
            self.assertEqual(record["module"], number)
            self.assertEqual(record["firmware_sha256"], sha)
            self.assertEqual(record["version_after"], "CANLINK DEMO 1.0")
            self.assertEqual(record["port"], bench.port)
            self.assertGreaterEqual(record["answer_to_first_block_s"], 0)  # bench: its pace
            self.assertRegex(record["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        summary = records[-1]
        self.assertEqual((summary["done"], summary["failed"], summary["error"]),
                         (2, 0, "cancelled"), summary)
        self.assertIn("SIGTERM", summary["message"])
        self.assertIn(b"modules done: 2, failed: 0", line.stderr)
        with open(log) as f:
            logged = [json.loads(l) for l in f]
        self.assertEqual([r for r in logged if "status" not in r],
                         [first, second] + [r for r in records if "status" not in r])

    def test_a_failed_module_waits_for_its_removal(self):
        bench = Bench(self).attach("--refuse", "flash:40")
        line = Line(self, bench.port, check_cli.DEMO)
        record = line.record()
        time.sleep(4)
        records = line.end(signal.SIGINT)
        _, frames = bench.remove()
        self.assertEqual(line.proc.returncode, 130)
        self.assertEqual(record["error"], "transfer")
        addresses = [l.split()[1] for l in frames_of(frames, 0)]
        self.assertEqual(len(addresses), len(set(addresses)), "a block was written twice")
        self.assertEqual((records[-1]["done"], records[-1]["failed"]), (0, 1))

    def test_count_ends_the_line(self):
        bench = Bench(self).attach()
        result = self.cli("upload", check_cli.DEMO, "--repeat", "--count", "1", port=bench.port)
        bench.remove()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, rb"^module 1: ok [0-9.]+ s\nmodules done: 1, failed: 0")

    def test_verify_in_the_loop_reads_the_module_s_own_version(self):
        cases = [  # simulator options, upload options, exit code, the record's read-back fields
            ((), ("--verify",), 0, {"verified": True, "version_after": "CANLINK DEMO 1.0"}),
            (("--forget", "eeprom:15"), ("--verify",), 6,
             {"verified": False, "version_after": "LL 4.07 TEST", "differences": 13}),
            ((), (), 0, {}),  # no read-back: no version_after
        ]
        bench = Bench(self)
        for sim_options, options, code, fields in cases:
            with self.subTest(sim_options=sim_options, options=options):
                bench.attach(*sim_options)
                result = self.cli("upload", check_cli.DEMO, "--repeat", "--count", "1", *options,
                                  "--json", port=bench.port)
                bench.remove()
                self.assertEqual(result.returncode, code, result.stderr)
                record, summary = [json.loads(l) for l in result.stdout.splitlines()]
                self.assertEqual({k: record.get(k) for k in ("verified", "version_after",
                                                             "differences") if k in record},
                                 fields)
                self.assertTrue(record["written"])
                self.assertEqual((record["ok"], summary["ok"]), (code == 0, code == 0))
                if code:
                    self.assertIn("differs", record["message"])
                    self.assertEqual(summary["error"], "verify")
                    self.assertIn("module 1", summary["message"])

    def test_a_module_counts_as_removed_after_three_probes_in_a_row_find_none(self):
        # Search 1 finds the module; from search 2 on the line waits for its removal.
        cases = [("3", 1), ("3,4", 1), ("2,3,4", 2)]  # searches left unanswered, uploads
        bench = Bench(self)
        for deaf, uploads in cases:
            with self.subTest(deaf=deaf):
                bench.attach("--deaf-search", deaf)
                line = Line(self, bench.port, check_cli.DEMO)
                line.record()
                started = time.monotonic()
                if uploads == 2:
                    # Three unanswered probes and then a whole upload: on a loaded machine the
                    # upload alone can take half a minute, so the bound is the one every upload has.
                    line.record()
                    print("removal taken after %.1f s" % (time.monotonic() - started))
                else:
                    time.sleep(10)
                records = line.end()
                _, frames = bench.remove()
                self.assertEqual(len(frames_of(frames, 0)), uploads * FLASH_BLOCKS)
                self.assertEqual(records[-1]["done"], uploads)

    def test_no_module_without_its_record(self):
        bench = Bench(self).attach()
        result = self.cli("upload", check_cli.DEMO, "--repeat", "--log",
                          os.path.join(self.tmp, "no", "dir", "x.log"), "--json", port=bench.port)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("the line does not start", self.json_of(result)["message"])
        # Standard output closed after the first record: the next module is not written.
        line = Line(self, bench.port, check_cli.DEMO)
        line.record()
        line.proc.stdout.close()
        _, first = bench.remove()
        time.sleep(3)
        bench.attach()
        self.assertEqual(line.proc.wait(timeout=30), 1)
        _, second = bench.remove()
        self.assertEqual((len(frames_of(first, 0)), len(frames_of(second, 0))),
                         (FLASH_BLOCKS, 0))
        line.drain.join(10)
        self.assertIn(b"standard output", line.stderr)

    def test_a_port_that_cannot_be_opened_is_said_once_per_reason(self):
        port = write_file(os.path.join(self.tmp, "not-a-port"), b"")
        line = Line(self, port, check_cli.DEMO)
        time.sleep(2.5)
        os.unlink(port)
        os.mkdir(port)
        time.sleep(2.5)
        records = line.end()
        statuses = [r for r in records if r.get("status") == "port"]
        self.assertEqual(len(statuses), 2, records)
        self.assertIn("not a serial port", statuses[0]["message"])
        self.assertNotEqual(statuses[0]["message"], statuses[1]["message"])
        self.assertEqual(line.stderr.count(b"cannot be opened"), 2, line.stderr)

    def test_a_missing_port_is_probed_at_a_steady_pace(self):
        line = Line(self, os.path.join(self.tmp, "no-adapter"), check_cli.DEMO)
        time.sleep(3)
        started = time.monotonic()
        records = line.end(signal.SIGHUP)
        self.assertLess(time.monotonic() - started, 3)
        self.assertEqual(line.proc.returncode, 129)
        self.assertEqual(len(records), 1, records)  # the summary alone
        self.assertEqual(records[0]["done"], 0)
        self.assertLess(line.stderr.count(b"\n"), 5, line.stderr)  # no line per probe


class Signals(CliTest):
    def test_a_signal_ends_every_wait(self):
        fifo = os.path.join(self.tmp, "fifo")
        os.mkfifo(fifo)
        temp = os.path.join(self.tmp, "temp")
        os.mkdir(temp)
        missing = os.path.join(self.tmp, "no-adapter")
        line = ("--port", missing, "upload", check_cli.DEMO, "--repeat")
        cases = [  # the wait, arguments, standard input
            ("standard input, a pipe", ("config", "show", "-"), "pipe"),
            ("standard input, a terminal", ("eeprom", "restore", "-", "--port", missing), "pty"),
            ("the open of a FIFO to read", ("upload", fifo, "--port", missing), None),
            ("the open of a FIFO to write", ("eeprom", "backup", fifo), "sim"),
            ("the line's log, a FIFO", line + ("--log", fifo), None),
            ("the line's pause between probes", line, None),
            ("the line's probe", ("upload", check_cli.DEMO, "--repeat"), "silent"),
        ]
        for what, args, stdin in cases:
            with self.subTest(what), contextlib.ExitStack() as stack:
                if stdin in ("sim", "silent"):
                    sim = stack.enter_context(Sim(self.tmp, *(("--never-answer",)
                                                              if stdin == "silent" else ())))
                    args = ("--port", sim.link) + args
                terminal = None
                if stdin == "pty":
                    for fd in pty.openpty():
                        stack.callback(os.close, fd)
                        terminal = fd
                proc = subprocess.Popen([check_cli.CLI, *args, "--json"],
                                        env=dict(self.env, TMPDIR=temp),
                                        stdin=terminal or subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                time.sleep(5 if stdin == "sim" else 2)  # a backup first reads the module
                started = time.monotonic()
                proc.send_signal(signal.SIGTERM)
                proc.wait(timeout=10)  # standard input stays open: no end of file
                took = time.monotonic() - started
                out, err = proc.stdout.read(), proc.stderr.read()
                proc.stdout.close()
                proc.stderr.close()
                if proc.stdin:
                    proc.stdin.close()
                print("%-34s %.3f s" % (what, took))
                self.assertEqual(proc.returncode, 143, err)
                self.assertEqual(json.loads(out.splitlines()[-1])["error"], "cancelled")
                # Well under 0.2 s on a quiet machine (printed above); the bound leaves room for
                # a sanitizer build's exit on a loaded one. A wait the signal does not end
                # runs into proc.wait's timeout instead.
                self.assertLess(took, 3.0)
                self.assertEqual(os.listdir(temp), [])  # no private copy of a file left

    def test_every_signal_ends_an_upload_like_ctrl_c(self):
        for sig, code, name in ((signal.SIGINT, 130, "SIGINT"), (signal.SIGTERM, 143, "SIGTERM"),
                                (signal.SIGHUP, 129, "SIGHUP"), (signal.SIGQUIT, 131, "SIGQUIT")):
            with self.subTest(signal=name), Sim(self.tmp, "--baud", "9600") as sim:
                proc = subprocess.Popen([check_cli.CLI, "--port", sim.link, "upload",
                                         check_cli.DEMO, "--json"],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=self.env)
                # Once a tenth of the FLASH is written.
                seen = b""
                while not re.search(rb"FLASH +[1-9][0-9]*%", seen):
                    chunk = proc.stderr.read1(256)
                    self.assertTrue(chunk, seen)
                    seen += chunk
                proc.send_signal(sig)
                out, _ = proc.communicate(timeout=15)
                self.assertEqual(proc.returncode, code)
                result = json.loads(out)
                self.assertEqual(result["error"], "cancelled")
                self.assertIn(name, result["message"])
                # The port was closed: the next command opens it and finds the module.
                self.assertEqual(self.cli("version", port=sim.link).returncode, 0)
                _, frames = sim.stop()
            check_upload_cut_short(self, frames)


class ScriptOutput(CliTest):
    def test_json_is_utf8_whatever_bytes_names_and_modules_hold(self):
        bad_name = os.path.join(self.tmp.encode(), b"fw-\xff\xfe.hexfw")
        result = self.cli(b"upload", bad_name, b"--json", port=b"COM1", timeout=60)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("fw-\\xFF\\xFE.hexfw", self.json_of(result)["message"])

        module = bytearray(KNOWN)
        module[0xF0:0x100] = b"LL\x1b[2J\x81\x98 1.0".ljust(16, b" ")
        with Sim(self.tmp, eeprom=module) as sim:
            out = self.json_of(self.cli("config", "read", "--json", port=sim.link))
            text = self.cli("config", "read", port=sim.link).stdout
        self.assertEqual(out["version_hex"], bytes(module[0xF0:0x100]).hex().upper())
        self.assertNotIn(b"\x1b", text)  # control bytes escaped for the terminal
        self.assertIn(b"\\x1B[2J", text)

    def test_a_version_text_of_any_bytes(self):
        module = bytearray(KNOWN)
        module[0xF0:0x100] = b"LL\xff\x1b[2J 2.0".ljust(16, b" ")
        with Sim(self.tmp, eeprom=module) as sim:
            out = self.json_of(self.cli("version", "--json", port=sim.link))
            text = self.cli("version", port=sim.link).stdout
        self.assertEqual(out["version"], "LL\u02d9\x1b[2J 2.0")  # Windows-1250: 0xFF is U+02D9
        self.assertEqual(text, "LL\u02d9\\x1B[2J 2.0\n".encode())

    def test_an_erased_module(self):
        with Sim(self.tmp, eeprom=bytes([0xFF] * 256)) as sim:
            out = self.json_of(self.cli("config", "read", "--json", port=sim.link))
        self.assertEqual((out["pin"], out["can_program"], out["erased"]), (None, None, True))
        with Sim(self.tmp) as sim:
            out = self.json_of(self.cli("config", "read", "--json", port=sim.link))
        self.assertEqual((out["pin"], out["can_program"], out["erased"]), ("1905", 37, False))

    def test_config_set_dry_run_and_no_change_send_nothing(self):
        cases = [  # arguments, the changes printed
            (("pin=2468", "--dry-run"), [{"name": "pin", "old": "1905", "new": "2468"}]),
            (("pin=1905",), []),
        ]
        for args, changes in cases:
            with self.subTest(args=args), Sim(self.tmp) as sim:
                result = self.cli("config", "set", *args, "--json", port=sim.link)
                eeprom, frames = sim.stop()
            self.assertEqual(result.returncode, 0, result.stderr)
            out = self.json_of(result)
            self.assertEqual((out["changes"], out["written"]), (changes, False))
            self.assertEqual(frames_of(frames, 1), [])
            self.assertEqual(eeprom, bytes(KNOWN))
        with Sim(self.tmp) as sim:
            human = self.cli("config", "set", "pin=2468", "--dry-run", port=sim.link)
        self.assertEqual(human.stdout, b'pin: "1905" -> "2468"\n')

    def test_upload_verify_reads_the_eeprom_back(self):
        cases = [((), 0, True), (("--forget", "eeprom:3"), 6, False),
                 (("--gone-at-read", "0"), 6, False)]  # the read-back fails after the write
        for options, code, verified in cases:
            with self.subTest(options=options), Sim(self.tmp, *options) as sim:
                result = self.cli("upload", check_cli.DEMO, "--verify", "--json", port=sim.link)
                sim.stop()
            self.assertEqual(result.returncode, code, result.stderr)
            out = self.json_of(result)
            self.assertEqual((out["verified"], out["written"]), (verified, True))
            # The module's own text (block 15 is not the one forgotten); none without a read.
            self.assertEqual(out.get("version_after"),
                             None if "--gone-at-read" in options else "CANLINK DEMO 1.0")
            if code:
                self.assertEqual(out["error"], "verify")

    def test_time_left_covers_the_eeprom_phase_too(self):
        # A few FLASH blocks, then sixteen slow EEPROM blocks: when the FLASH is done, the
        # EEPROM's seconds are still to come.
        with Sim(self.tmp, "--block-ms", "250") as sim:
            result = self.cli("upload", check_cli.DEMO, "--file-size", port=sim.link)
        self.assertEqual(result.returncode, 0, result.stderr)
        done = re.search(rb"FLASH 100% (\d+):(\d\d) left", result.stderr)
        self.assertTrue(done, result.stderr)
        self.assertGreaterEqual(int(done.group(1)) * 60 + int(done.group(2)), 2, result.stderr)

    def test_ports_lists_com1_to_com12_then_those_present_above(self):
        env = dict(self.env, LINKLOADER_COM7=os.path.join(self.tmp, "seven"),
                   LINKLOADER_COM27=check_cli.DEMO, LINKLOADER_COM30=os.path.join(self.tmp, "no"))
        result = self.cli("ports", "--json", env=env, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        ports = self.json_of(result)["ports"]
        self.assertEqual([p["port"] for p in ports], ["COM%d" % n for n in range(1, 13)] + ["COM27"])
        self.assertEqual(ports[6]["device"], os.path.join(self.tmp, "seven"))
        self.assertEqual(set(ports[0]), {"port", "device", "stable_name", "description",
                                         "present", "holder"})

    def test_a_port_failure_says_why_in_a_terminal_s_words(self):
        env = {k: v for k, v in self.env.items() if not k.startswith("LINKLOADER_")}
        result = self.cli("version", "--json", port="COM12", env=env, timeout=60)
        self.assertEqual(result.returncode, 3, result.stderr)
        message = self.json_of(result)["message"]
        self.assertIn("COM12: no device has this number", message)
        self.assertIn("linkloader-cli ports", message)
        self.assertNotIn("tooltip", message)

    def test_linkloader_port_is_the_default_port(self):
        with Sim(self.tmp) as sim:
            env = dict(self.env, LINKLOADER_PORT=sim.link)
            result = self.cli("version", env=env, timeout=60)
        self.assertEqual(result.stdout, b"LL 4.07 TEST\n", result.stderr)


if __name__ == "__main__":
    check_cli.CLI, check_cli.SIM, check_cli.ROOT = (os.path.abspath(p) for p in sys.argv[1:4])
    check_cli.DEMO = os.path.join(check_cli.ROOT, "examples", "demo.hexfw")
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[4:])  # then: test names to run
