#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The production line's pace against linkloader-sim: modules attached and taken away one after
another on a stable port; reports, per module, the time from the bootloader's answer (as the
host sees it, at most one 50 ms probe pause after it came) to the first block, and the upload's
duration. Fails when a module's first block came 1 s or more after its answer.

Usage: production_line.py PATH/TO/linkloader-cli PATH/TO/linkloader-sim REPO_ROOT [MODULES]
"""

import os
import signal
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "cli"))
import check_cli  # noqa: E402
from check_production import Bench, Line  # noqa: E402


class Env:
    def __init__(self, data):
        self.env = dict(os.environ, XDG_DATA_HOME=data)


def main():
    check_cli.CLI, check_cli.SIM, root = (os.path.abspath(p) for p in sys.argv[1:4])
    check_cli.DEMO = os.path.join(root, "examples", "demo.hexfw")
    modules = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    with tempfile.TemporaryDirectory() as tmp:
        bench = Bench(tmp)
        bench.attach()
        line = Line(Env(os.path.join(tmp, "data")), bench.port, check_cli.DEMO)
        records = []
        for n in range(modules):
            records.append(line.record(timeout=120))
            bench.remove()
            if n + 1 < modules:
                time.sleep(2.5)  # three probes of the bare port find no module: taken away
                bench.attach()
        summary = line.end(signal.SIGTERM)[-1]
    gaps = [r["answer_to_first_block_s"] * 1000 for r in records]
    uploads = [r["seconds"] for r in records]
    print("modules: %d, all ok: %s" % (len(records), all(r["ok"] for r in records)))
    print("answer seen -> first block: min %.3f ms, median %.3f ms, max %.3f ms "
          "(the answer itself came at most 50 ms earlier)"
          % (min(gaps), statistics.median(gaps), max(gaps)))
    print("upload from the answer: median %.2f s; summary %.2f s per module"
          % (statistics.median(uploads), summary["seconds_per_module"]))
    return 0 if max(gaps) < 1000 - 50 and all(r["ok"] for r in records) else 1


if __name__ == "__main__":
    sys.exit(main())
