#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The cross-built linkloader-cli.exe under Wine against linkloader-sim on a pseudo-terminal.

Wine reaches a COM port through a symbolic link in its prefix (dosdevices/comN). A pty has no
modem lines and Linux refuses their requests, which Wine's serial layer cannot do without, so
the wine process runs with a small library of this folder preloaded that answers exactly those
requests (modem_lines_preload.c); everything else is Wine's own serial code on a real line
discipline, and the program's own Windows back end.

Usage: cli_against_sim.py CLI_EXE HEXFW_EXE SOURCE_ROOT HOST_BUILD_DIR

HOST_BUILD_DIR is a Linux build of the project (build/release); linkloader-sim and
linkloader-hexfw are brought up to date there first (configured with the release preset if the
folder is new).
"""

import fcntl
import glob
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

# The simulator's process, the module's EEPROM and the file and frame helpers are the Linux
# command-line test's.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli"))
import check_cli  # noqa: E402
from check_cli import (KNOWN, check_known_config, check_upload_cut_short, frames_of,  # noqa: E402
                       read_file, write_file)

CLI = HEXFW = ROOT = HOST = None
HOST_HEXFW = None
PRELOAD = None
DEMO = None
PREFIX = None
WORK = None
ENV = None

COM = 7  # a number Wine's own set-up never maps on these machines
# linkloader-cli's exit codes.
EXIT_OK, EXIT_FILE, EXIT_USAGE, EXIT_PORT, EXIT_NO_BOOTLOADER, EXIT_TRANSFER, EXIT_VERIFY = range(7)
# What the simulator's FLASH holds before an upload: the bootloader's own blocks (0x000..0x1FF)
# are never written, so they must come out of the upload exactly like this.
BOOT_FLASH = bytes((i * 5 + 11) & 0xFF for i in range(32768))
BOOTLOADER_BYTES = 0x200

NON_ASCII_NAMES = ["Łódź", "Škoda", "Прошивка"]
# RTS and DTR as a version read leaves them, one line per change (modem_lines_preload.c).
OPEN_PULSE = ["RTS=0 DTR=1", "RTS=1 DTR=1", "RTS=0 DTR=1"]


def windows_path(path):
    """A Linux path as the Windows program names it: Wine's drive Z: is the root folder."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(*args, timeout=120, stdin=None, env=None):
    """Runs the Windows program with arguments; returns (exit code, stdout, stderr, seconds).

    The output goes to files, not pipes: Wine's own background processes, started by the first
    program of a prefix, inherit its handles and would hold a pipe open long after it ended.
    """
    with tempfile.TemporaryFile(dir=WORK) as out, tempfile.TemporaryFile(dir=WORK) as err:
        start = time.monotonic()
        proc = subprocess.run(["wine", *args], stdout=out, stderr=err, env=env or ENV,
                              timeout=timeout,
                              stdin=stdin if stdin is not None else subprocess.DEVNULL)
        seconds = time.monotonic() - start
        out.seek(0)
        err.seek(0)
        return proc.returncode, out.read(), err.read().replace(b"\r\n", b"\n"), seconds


def cli(*args, timeout=120):
    return wine(CLI, "--port", "COM%d" % COM, *args, timeout=timeout)


def hexfw_images(path, plain=False):
    """The FLASH and EEPROM images an upload of `path` loads, by the Linux linkloader-hexfw."""
    out = tempfile.mkdtemp(dir=WORK)
    command = [HOST_HEXFW, "dump", path, "--out", out] + (["--plain"] if plain else [])
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return read_file(os.path.join(out, "flash.bin")), read_file(os.path.join(out, "eeprom.bin"))


class Sim(check_cli.SimProcess):
    """linkloader-sim on a new pty, mapped to COM7 of the prefix; dumps read after it stops."""

    def __init__(self, *options, eeprom=KNOWN, com=COM):
        folder = tempfile.mkdtemp(dir=WORK)
        self.flash_dump = os.path.join(folder, "flash.bin")
        flash_in = write_file(os.path.join(folder, "flash-in.bin"), BOOT_FLASH)
        super().__init__(folder, "--flash-in", flash_in, "--dump-flash", self.flash_dump,
                         *options, eeprom=eeprom)
        if not self.device.startswith("/dev/"):
            raise RuntimeError("linkloader-sim gave no device: %r" % self.device)
        # Wine follows the link to the device itself, so it points at the resolved pty.
        link = os.path.join(PREFIX, "dosdevices", "com%d" % com)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.path.realpath(self.device), link)

    def stop(self):
        """Stops the simulator; returns (flash, eeprom, frames) as it ended."""
        return self.end(self.flash_dump, self.eeprom_dump)


def full_image_hex(path):
    """A plain Intel HEX file that sets every byte of FLASH and of EEPROM."""
    rng = random.Random(32768)
    lines = []

    def record(address, kind, data):
        body = bytes([len(data), address >> 8, address & 0xFF, kind]) + bytes(data)
        lines.append(":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper())

    for address in range(0, 32768, 16):
        record(address, 0, [rng.randrange(256) for _ in range(16)])
    record(0, 4, [0x00, 0xF0])
    for address in range(0, 256, 16):
        record(address, 0, [rng.randrange(256) for _ in range(16)])
    record(0, 1, [])
    with open(path, "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")


class WineTest(unittest.TestCase):
    def assertOutcome(self, result, code, text=None, within=None):
        rc, out, err, seconds = result
        self.assertEqual(rc, code, "exit %d, stderr: %s" % (rc, err.decode(errors="replace")))
        if text is not None:
            self.assertIn(text.encode(), err + out, err.decode(errors="replace"))
        if within is not None:
            self.assertLess(seconds, within, "took %.1f s" % seconds)

    def json_of(self, result):
        lines = result[1].decode().splitlines()
        self.assertEqual(len(lines), 1, result)
        return json.loads(lines[0])

    def check_backup_and_restore(self, backup, other, text=None):
        """The module's EEPROM backed up to `backup`, then restored (--force) over `other`."""
        with Sim() as sim:
            self.assertOutcome(cli("eeprom", "backup", windows_path(backup)), EXIT_OK)
            sim.stop()
        self.assertEqual(read_file(backup), bytes(KNOWN))
        with Sim(eeprom=other) as sim:
            self.assertOutcome(cli("eeprom", "restore", "--force", windows_path(backup)),
                               EXIT_OK, text)
            _, eeprom, _ = sim.stop()
        self.assertEqual(eeprom, bytes(KNOWN))


class Operations(WineTest):
    def test_version(self):
        with Sim() as sim:
            rc, out, err, _ = cli("version", "--device-id")
            self.assertEqual(rc, EXIT_OK, err)
            self.assertEqual(out.replace(b"\r\n", b"\n"), b"LL 4.07 TEST\n34:12\n")
            sim.stop()

    def check_upload(self, path, plain, sim_options=()):
        flash_image, eeprom_image = hexfw_images(path, plain)
        with Sim(*sim_options) as sim:
            result = cli("upload", windows_path(path), *(["--plain"] if plain else []))
            # A pipe is no console: plain progress lines, no escape sequences.
            self.assertOutcome(result, EXIT_OK, "FLASH 100%")
            self.assertNotIn(b"\x1b", result[2])
            flash, eeprom, frames = sim.stop()
        self.assertEqual(len(flash), 32768)
        self.assertEqual(flash[:BOOTLOADER_BYTES], BOOT_FLASH[:BOOTLOADER_BYTES])
        self.assertEqual(flash[BOOTLOADER_BYTES:], flash_image[BOOTLOADER_BYTES:])
        self.assertEqual(eeprom, eeprom_image)
        self.assertTrue(frames[-1].startswith("cmd=4 "), frames[-1])
        return frames

    def test_upload_of_the_demo(self):
        frames = self.check_upload(DEMO, plain=False)
        self.assertEqual(len(frames_of(frames, 0)), 2016)

    def test_upload_of_a_full_image(self):
        path = os.path.join(WORK, "full.hex")
        full_image_hex(path)
        flash_image, _ = hexfw_images(path, plain=True)
        self.assertNotEqual(flash_image[BOOTLOADER_BYTES:], BOOT_FLASH[BOOTLOADER_BYTES:])
        self.check_upload(path, plain=True)

    def test_config_read(self):
        with Sim() as sim:
            config = self.json_of(cli("config", "read", "--json"))
            sim.stop()
        check_known_config(self, config)

    def test_config_set_changes_exactly_the_bits_named(self):
        with Sim() as sim:
            result = cli("config", "set", "fs2=0")
            self.assertOutcome(result, EXIT_OK)
            _, eeprom, _ = sim.stop()
        expected = bytearray(KNOWN)
        expected[0x61] &= ~0x08
        self.assertEqual(eeprom, bytes(expected))

    def test_eeprom_backup_and_restore(self):
        # Another version's copy: --force says restoring it is meant.
        self.check_backup_and_restore(os.path.join(WORK, "backup.bin"),
                                      bytes(255 - b for b in KNOWN), "Verified")


class Faults(WineTest):
    """What a command line meets: the right exit code and words, within a bound."""

    def test_fault_matrix(self):
        cases = [  # simulator options, command, exit code, words, seconds
            (("--never-answer",), ("version",), EXIT_NO_BOOTLOADER, "Bootloader no response", 30),
            (("--refuse", "flash:40"), ("upload", "DEMO"), EXIT_TRANSFER, "FLASH writing error",
             20),
            (("--silent", "flash:40"), ("upload", "DEMO"), EXIT_TRANSFER,
             "Error data transmission", 20),
            (("--gone-at", "flash:100"), ("upload", "DEMO"), EXIT_TRANSFER, None, 20),
        ]
        for options, command, code, words, seconds in cases:
            with self.subTest(options=options), Sim(*options) as sim:
                args = [windows_path(DEMO) if a == "DEMO" else a for a in command]
                result = cli(*args)
                print("  %s: exit %d after %.1f s" % (" ".join(options), result[0], result[3]))
                self.assertOutcome(result, code, words, within=seconds)
                # Every failure ends with one line that says what went wrong.
                self.assertRegex(result[2], rb"\nlinkloader-cli: [^\n]+\n$")
                sim.stop()

    def test_a_port_that_does_not_exist(self):
        link = os.path.join(PREFIX, "dosdevices", "com%d" % COM)
        if os.path.lexists(link):
            os.unlink(link)
        self.assertOutcome(cli("version"), EXIT_PORT, "Error opening port", within=20)


class Interrupts(WineTest):
    def interrupted_upload(self, env=None, before_interrupt=lambda: None):
        """An upload stopped by SIGINT at 10 % of FLASH: (exit code, seconds from the signal to
        the exit, standard error, the simulator's frames)."""
        with Sim("--slow-ack", "5") as sim, tempfile.TemporaryFile(dir=WORK) as err:
            proc = subprocess.Popen(["wine", CLI, "--port", "COM%d" % COM, "upload",
                                     windows_path(DEMO)], stdout=subprocess.DEVNULL, stderr=err,
                                    stdin=subprocess.DEVNULL, env=env or ENV)
            try:
                deadline = time.monotonic() + 120
                while time.monotonic() < deadline and proc.poll() is None:
                    err.seek(0)
                    if b"FLASH 10%" in err.read():
                        break
                    time.sleep(0.2)
                before_interrupt()
                proc.send_signal(signal.SIGINT)
                start = time.monotonic()
                code = proc.wait(timeout=60)
                seconds = time.monotonic() - start
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            err.seek(0)
            text = err.read().replace(b"\r\n", b"\n")
            _, _, frames = sim.stop()
        self.assertEqual(code, 130, text)
        self.assertIn(b"cancelled by Ctrl-C; the module was told to restart", text)
        check_upload_cut_short(self, frames)
        return seconds

    def test_ctrl_c_during_an_upload_restarts_the_module_and_ends_with_130(self):
        # Wine turns SIGINT into the console's Ctrl-C event, which reaches the program's console
        # control handler on a thread of its own, as on Windows.
        self.assertLess(self.interrupted_upload(), 20)

    def test_closing_while_a_driver_call_never_comes_back_is_bounded(self):
        # Mid-upload the preload starts holding Wine's comm-event wait for good, as a driver that
        # never completes a request does; Ctrl-C must still end the program, restart sent, in
        # about the close's bound, not hang on the stuck thread.
        trigger = os.path.join(WORK, "hold-event-waits")

        def hold_and_wait_until_held():
            open(trigger, "w").close()
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and not os.path.exists(trigger + ".held"):
                time.sleep(0.1)
            self.assertTrue(os.path.exists(trigger + ".held"), "no request was held")

        try:
            seconds = self.interrupted_upload(dict(ENV, LL_WINE_HOLD_EVENT_WAITS=trigger),
                                              hold_and_wait_until_held)
        finally:
            for name in (trigger, trigger + ".held"):
                if os.path.exists(name):
                    os.unlink(name)
        # At least the close's bound: the stuck call was really met, and waited for no longer.
        self.assertGreater(seconds, 2.5)
        self.assertLess(seconds, 30)


def map_ports(ports):
    """Maps COM numbers to devices the way Wine maps a PC's ports (its Ports key, which its
    server reads when it starts): the ports are then the driver's, as on Windows."""
    for number, device in ports.items():
        arguments = ["/v", "COM%d" % number, "/d", device] if device else ["/v", "COM%d" % number]
        subprocess.run(["wine", "reg", "add" if device else "delete",
                        "HKLM\\Software\\Wine\\Ports", *arguments, "/f"], env=ENV, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    stop_prefix()
    subprocess.run(["wineserver", "--wait"], env=ENV, timeout=120)
    start_server()


class PortsAboveTwelve(WineTest):
    def test_listed_chosen_and_read_through_com27(self):
        with Sim(com=27) as sim:
            device = os.path.realpath(sim.device)
            map_ports({15: device, 27: device})
            try:
                ports = self.json_of(wine(CLI, "ports", "--json"))["ports"]
                self.assertEqual([p["port"] for p in ports],
                                 ["COM%d" % n for n in range(1, 13)] + ["COM15", "COM27"])
                self.assertTrue(ports[12]["present"] and ports[13]["present"], ports[12:])
                for name in ("COM27", "\\\\.\\COM27"):
                    log = os.path.join(WORK, "modem-lines-%d" % len(name))
                    rc, out, err, _ = wine(CLI, "--port", name, "version",
                                           env=dict(ENV, LL_WINE_MODEM_LOG=log))
                    self.assertEqual((rc, out.replace(b"\r\n", b"\n")),
                                     (EXIT_OK, b"LL 4.07 TEST\n"), err)
                    # The open's pulse of RTS (the module's reset) and nothing more: the close
                    # leaves the lines as the read left them.
                    self.assertEqual(read_file(log).decode().splitlines(), OPEN_PULSE, name)
            finally:
                map_ports({15: None, 27: None})
            sim.stop()


class UnicodeNames(WineTest):
    """Firmware files, outputs and EEPROM images in folders and files named outside ASCII."""

    def setUp(self):
        self.folder = os.path.join(WORK, NON_ASCII_NAMES[0], NON_ASCII_NAMES[2])
        os.makedirs(self.folder, exist_ok=True)

    def test_upload_from_a_non_ascii_folder(self):
        path = os.path.join(self.folder, NON_ASCII_NAMES[1] + ".hexfw")
        shutil.copyfile(DEMO, path)
        flash_image, eeprom_image = hexfw_images(DEMO)
        with Sim() as sim:
            self.assertOutcome(cli("upload", windows_path(path)), EXIT_OK)
            flash, eeprom, _ = sim.stop()
        self.assertEqual(flash[BOOTLOADER_BYTES:], flash_image[BOOTLOADER_BYTES:])
        self.assertEqual(eeprom, eeprom_image)

    def test_missing_file_is_named_in_utf8(self):
        path = os.path.join(self.folder, "brak " + NON_ASCII_NAMES[1] + ".hexfw")
        rc, _, err, _ = cli("upload", windows_path(path))
        self.assertEqual(rc, EXIT_FILE, err)
        self.assertIn((NON_ASCII_NAMES[1]).encode(), err)
        self.assertIn(os.path.basename(path).encode(), err)

    def test_backup_and_restore_with_non_ascii_names(self):
        self.check_backup_and_restore(
            os.path.join(self.folder, "копия " + NON_ASCII_NAMES[0] + ".bin"), bytes(256))

    def test_hexfw_dump_and_encode_with_non_ascii_names(self):
        plain = os.path.join(self.folder, NON_ASCII_NAMES[1] + ".hex")
        shutil.copyfile(os.path.join(ROOT, "examples", "demo.hex"), plain)
        encoded = os.path.join(self.folder, NON_ASCII_NAMES[0] + ".hexfw")
        self.assertOutcome(wine(HEXFW, "encode", windows_path(plain), windows_path(encoded)), 0)
        out = os.path.join(self.folder, "obrazy " + NON_ASCII_NAMES[2])
        self.assertOutcome(wine(HEXFW, "dump", windows_path(encoded), "--out", windows_path(out)),
                           0)
        flash_image, eeprom_image = hexfw_images(DEMO)
        self.assertEqual(read_file(os.path.join(out, "flash.bin")), flash_image)
        self.assertEqual(read_file(os.path.join(out, "eeprom.bin")), eeprom_image)

    def test_hexfw_dump_of_standard_input(self):
        out = os.path.join(self.folder, "stdin")
        with open(DEMO, "rb") as f:
            self.assertOutcome(wine(HEXFW, "dump", "-", "--out", windows_path(out), stdin=f), 0)
        self.assertEqual(read_file(os.path.join(out, "flash.bin")), hexfw_images(DEMO)[0])
        # Killed while it reads: the system deletes the file standard input was kept in.
        temp = glob.glob(os.path.join(PREFIX, "drive_c", "users", "*", "Temp"))
        kept = lambda: glob.glob(os.path.join(temp[0], "linkloader-hexfw.*"))
        proc = subprocess.Popen(["wine", HEXFW, "dump", "-", "--out", windows_path(out)], env=ENV,
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            proc.stdin.write(read_file(DEMO)[:4096])
            proc.stdin.flush()
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and not kept():
                time.sleep(0.1)
            self.assertTrue(kept(), "no staging file in %s" % temp)
        finally:
            proc.kill()
            proc.wait()
        subprocess.run(["wine", "cmd", "/c", "exit"], env=ENV, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        self.assertEqual(kept(), [])


def build_host_programs():
    """linkloader-sim and linkloader-hexfw of the Linux build, brought up to date."""
    global HOST_HEXFW
    os.makedirs(HOST, exist_ok=True)
    with open(os.path.join(HOST, ".host-programs.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(HOST, "CMakeCache.txt")):
            subprocess.run(["cmake", "-S", ROOT, "-B", HOST, "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", HOST, "--target", "linkloader-sim",
                        "linkloader-hexfw"], check=True, stdout=subprocess.DEVNULL)
    check_cli.SIM = os.path.join(HOST, "tools", "sim", "linkloader-sim")
    HOST_HEXFW = os.path.join(HOST, "tools", "hexfw", "linkloader-hexfw")


def build_preload():
    global PRELOAD
    PRELOAD = os.path.join(WORK, "modem_lines_preload.so")
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "modem_lines_preload.c")
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", PRELOAD, source, "-ldl"], check=True)


def start_prefix():
    """A private Wine prefix for this run, with its server kept running between programs."""
    global PREFIX, ENV
    PREFIX = os.path.join(WORK, "prefix")
    ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", LD_PRELOAD=PRELOAD, LC_ALL="C.UTF-8")
    new_prefix = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake",
                              "wine-new-prefix.sh")
    subprocess.run([new_prefix, PREFIX], env=ENV, check=True, timeout=300)
    start_server()


def start_server():
    # The server and Wine's background processes stay up between the programs; started here,
    # they hold none of a test's files.
    subprocess.run(["wineserver", "--persistent"], env=ENV, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wine", "cmd", "/c", "exit"], env=ENV, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=300)


def stop_prefix():
    subprocess.run(["wineserver", "--kill"], env=ENV, timeout=60, stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    CLI, HEXFW, ROOT, HOST = (os.path.abspath(p) for p in sys.argv[1:5])
    DEMO = os.path.join(ROOT, "examples", "demo.hexfw")
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="linkloader-wine-") as work:
        WORK = work
        build_host_programs()
        build_preload()
        start_prefix()
        try:
            program = unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[5:], exit=False)
        finally:
            stop_prefix()
    print("Wine run: %.1f s" % (time.monotonic() - started))
    sys.exit(0 if program.result.wasSuccessful() else 1)
