#!/usr/bin/env python3
"""kbupdate station --simulate from the outside: the results log read back
with Python's csv module, exit codes, SIGINT during runs, and the log after
kill -9 in the middle of runs. Real waits: about a minute in all.

usage: station_cli_test.py KBUPDATE FIRMWARE.hex
"""
import csv
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

KBUPDATE = os.path.realpath(sys.argv[1])
HEX = os.path.realpath(sys.argv[2])
HEADER = ["time", "location", "serial", "result", "duration_ms", "firmware", "image_sha256",
          "counter", "reason", "unit_id"]


def read_log(path):
    # RFC 4180: newline="" lets the reader see quoted line breaks and CRLF.
    with open(path, newline="") as f:
        return list(csv.reader(f, strict=True))


class Station(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.dir.name, "r.csv")

    def tearDown(self):
        self.dir.cleanup()

    def run_station(self, *args, timeout=120):
        return subprocess.run([KBUPDATE, "station", "--log", self.log, *args, HEX],
                              capture_output=True, text=True, timeout=timeout, cwd=self.dir.name)

    def start_station(self, *args):
        return subprocess.Popen([KBUPDATE, "station", "--json", "--log", self.log, *args, HEX],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                cwd=self.dir.name)

    def test_six_units_over_three_places(self):
        r = self.run_station("--simulate", "--sim-keyboards", "3", "--sim-operator", "--count", "6")
        self.assertEqual(r.returncode, 0, r.stderr)
        rows = read_log(self.log)
        self.assertEqual(rows[0], HEADER)
        units = rows[1:]
        self.assertEqual(len(units), 6)
        for row in units:
            self.assertEqual(len(row), 10)
            self.assertRegex(row[9], r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
            self.assertEqual(row[3], "PASS")
            self.assertEqual(row[5], "firmware.hex")
            self.assertRegex(row[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
            self.assertRegex(row[6], r"^[0-9a-f]{64}$")
            self.assertEqual(row[8], "")
        self.assertEqual(sorted(row[1] for row in units), ["sim-1"] * 2 + ["sim-2"] * 2 +
                         ["sim-3"] * 2)
        # Each unit once: the operator's serials, none twice.
        self.assertEqual(len({row[2] for row in units}), 6)
        self.assertEqual(len({row[7] for row in units}), 6)
        self.assertEqual(len({row[9] for row in units}), 6)
        self.assertFalse(os.path.exists(os.path.join(self.dir.name, "DLog.txt")))
        # A second run appends, without a second header.
        r = self.run_station("--simulate", "--count", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("1 passed, 0 failed, 1 unit in", r.stdout)
        rows = read_log(self.log)
        self.assertEqual(len(rows), 8)
        self.assertEqual(rows.count(HEADER), 1)

    def test_a_fault_at_one_place(self):
        r = self.run_station("--simulate", "--sim-keyboards", "3", "--sim-operator", "--count", "6",
                             "--sim-fail=1@2")
        self.assertEqual(r.returncode, 1, r.stderr)
        units = read_log(self.log)[1:]
        self.assertEqual(len(units), 6)
        failed = [row for row in units if row[3] == "FAIL"]
        self.assertTrue(failed)
        self.assertTrue(all(row[1] == "sim-2" for row in failed), failed)
        self.assertTrue(all(row[3] == "PASS" for row in units if row[1] != "sim-2"))
        self.assertTrue(all(row[8] and row[7] == "" for row in failed))
        self.assertIn("%d failed" % len(failed), r.stdout.splitlines()[-1])
        # One line with PASS or FAIL per unit, as a script would count them.
        self.assertEqual(sum("PASS" in line for line in r.stdout.splitlines()), 6 - len(failed))
        self.assertEqual(sum("FAIL" in line for line in r.stdout.splitlines()), len(failed))

    def test_refusals(self):
        with open(self.log, "w") as f:
            f.write("when,where\n")
        r = self.run_station("--simulate")
        self.assertEqual(r.returncode, 4)
        self.assertIn("header", r.stderr)
        with open(self.log) as f:
            self.assertEqual(f.read(), "when,where\n")
        os.remove(self.log)
        bare = os.path.join(self.dir.name, "bare.hex")
        with open(bare, "w") as f:
            f.write(":00000001FF\n")
        r = subprocess.run([KBUPDATE, "station", "--simulate", "--log", self.log, bare],
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 5, r.stderr)
        r = subprocess.run([KBUPDATE, "station", "--simulate", "--log", self.log, bare + ".none"],
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 3, r.stderr)
        for args, saying in ((["--sim-operator"], "--simulate"),
                             # A place with no simulated keyboard would be waited for forever.
                             (["--simulate", "--port", "sim-9"], "sim-1 to sim-1")):
            r = self.run_station(*args, timeout=30)
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertIn(saying, r.stderr)
        r = subprocess.run([KBUPDATE, "station", "--simulate", "--log", self.log, "-"],
                           capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("not from standard input", r.stderr)
        self.assertFalse(os.path.exists(self.log))

    def test_a_second_station_on_the_same_log_is_refused(self):
        first = self.start_station("--simulate")
        self.events_until(first, lambda ev: ev[-1]["type"] == "slot")
        with open(self.log, "rb") as f:
            before = f.read()
        r = self.run_station("--simulate", "--count", "1")
        self.assertEqual(r.returncode, 4, r.stderr)
        self.assertIn("another station", r.stderr)
        first.send_signal(signal.SIGINT)
        first.communicate(timeout=60)
        with open(self.log, "rb") as f:
            self.assertTrue(f.read().startswith(before))  # the second wrote nothing

    def events_until(self, proc, done):
        """Reads JSON lines until done(events) is true; returns them."""
        events = []
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            line = proc.stdout.readline()
            if not line:
                break
            events.append(json.loads(line))
            if done(events):
                return events
        proc.kill()
        proc.communicate()
        self.fail("the station never got there: %s" % events[-5:])

    def running(self, events):
        last = {}
        for e in events:
            if e["type"] == "slot":
                last[e["location"]] = e["state"]
        return [loc for loc, state in last.items() if state == "updating"]

    def test_sigint_lets_runs_finish_and_a_second_cancels_them(self):
        # A SIGINT after a SIGTERM (a service being stopped, then Ctrl+C) cancels too.
        for first, second, result, reason in (
                (signal.SIGINT, None, "PASS", ""),
                (signal.SIGINT, signal.SIGINT, "FAIL", "interrupted"),
                (signal.SIGTERM, signal.SIGINT, "FAIL", "interrupted")):
            with self.subTest(first=first, second=second):
                if os.path.exists(self.log):
                    os.remove(self.log)
                proc = self.start_station("--simulate", "--sim-keyboards", "2", "--sim-operator")
                self.events_until(proc, lambda ev: len(self.running(ev)) == 2)
                proc.send_signal(first)
                if second:
                    time.sleep(0.2)
                    proc.send_signal(second)
                out, err = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, 130 if (second or first) == signal.SIGINT
                                 else 143, err)
                units = read_log(self.log)[1:]
                self.assertEqual(len(units), 2)  # the two in progress, nothing new
                self.assertTrue(all(row[3] == result and row[8] == reason for row in units),
                                units)
                totals = json.loads(out.splitlines()[-1])
                self.assertEqual(totals["type"], "totals")
                self.assertEqual(totals["units"], 2)

    def test_kill_9_in_the_middle_keeps_every_finished_unit(self):
        proc = self.start_station("--simulate", "--sim-keyboards", "4", "--sim-operator")
        events = self.events_until(
            proc, lambda ev: sum(e["type"] == "unit" for e in ev) >= 5 and self.running(ev))
        proc.kill()
        proc.communicate()
        with open(self.log, "rb") as f:
            raw = f.read()
        self.assertTrue(raw.endswith(b"\r\n"))  # no half line
        rows = read_log(self.log)
        self.assertEqual(rows[0], HEADER)
        self.assertTrue(all(len(row) == 10 for row in rows))
        shown = {(e["location"], e["serial"]) for e in events if e["type"] == "unit"}
        logged = {(row[1], row[2]) for row in rows[1:]}
        self.assertLessEqual(shown, logged)  # every unit shown finished is on the disk


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
