#!/usr/bin/env python3
"""kbupdate station --db and kbupdate results against a real PostgreSQL server
that this test starts itself (initdb into a temporary folder as an
unprivileged user, pg_ctl on a Unix socket in that folder, no TCP port),
stopped at the end whatever happens. The faults: two stations into one
database at once, the server stopped in the middle and started again, the
station's connection killed while its INSERT waits, the station killed with
SIGKILL and started again. Each ends with the CSV files and the table
agreeing row for row, no unit twice. A server that cannot be started fails
the test with the reason.

usage: station_db_test.py KBUPDATE FIRMWARE.hex
"""
import csv
import glob
import json
import os
import pwd
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

KBUPDATE = os.path.realpath(sys.argv[1])
HEX = os.path.realpath(sys.argv[2])
SIM = ["--simulate", "--sim-operator"]


def pg_bin():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(p.split("/")[4]))
    if not found:
        raise RuntimeError("no PostgreSQL server here (/usr/lib/postgresql/*/bin/initdb); "
                           "tools/setup.sh all installs Debian's postgresql")
    return os.path.dirname(found[-1])


class Server:
    """One PostgreSQL cluster in a temporary folder, reached by its socket."""

    def __init__(self):
        self.bin = pg_bin()
        self.dir = tempfile.mkdtemp(prefix="kbupdate-pg-")
        self.as_user = []
        if os.geteuid() == 0:
            # The server refuses to run as root: as postgres where Debian made
            # that user, otherwise as nobody.
            name = "postgres"
            try:
                pwd.getpwnam(name)
            except KeyError:
                name = "nobody"
            os.chown(self.dir, pwd.getpwnam(name).pw_uid, pwd.getpwnam(name).pw_gid)
            os.chmod(self.dir, 0o755)
            self.as_user = ["runuser", "-u", name, "--"]
        self.data = os.path.join(self.dir, "data")
        self.conninfo = "host=%s dbname=%%s user=postgres" % self.dir
        # C locale: whatever LANG says may not be generated on the machine.
        self.run("initdb", "-D", self.data, "-A", "trust", "-U", "postgres", "--no-sync",
                 "--locale=C", "-E", "UTF8")
        with open(os.path.join(self.data, "pg_hba.conf"), "w") as f:
            f.write("local all pwuser scram-sha-256\nlocal all all trust\n")
        self.start()
        # Whatever ends the test, SIGKILL at ctest's timeout included, the
        # server and its folder go with it: a watchdog in a session of its own.
        stop = self.as_user + [os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-m",
                               "immediate", "stop"]
        self.watchdog = subprocess.Popen(
            ["sh", "-c", 'while kill -0 %d 2>/dev/null; do sleep 1; done; "$@"; rm -rf %s'
             % (os.getpid(), shlex.quote(self.dir)), "watchdog", *stop],
            start_new_session=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)

    def run(self, tool, *args):
        r = subprocess.run(self.as_user + [os.path.join(self.bin, tool), *args],
                           capture_output=True, text=True, cwd=self.dir, timeout=120)
        if r.returncode != 0:
            raise RuntimeError("%s failed: %s%s" % (tool, r.stdout, r.stderr))
        return r.stdout

    def start(self):
        self.run("pg_ctl", "-D", self.data, "-l", os.path.join(self.dir, "server.log"), "-w",
                 "-o", "-c listen_addresses='' -c unix_socket_directories=%s -c fsync=off"
                 % self.dir, "start")

    def stop(self):
        self.run("pg_ctl", "-D", self.data, "-m", "fast", "-w", "stop")

    def close(self):
        self.watchdog.kill()
        self.watchdog.wait()
        try:
            self.stop()
        except Exception:
            pass
        shutil.rmtree(self.dir, ignore_errors=True)

    def sql(self, query, db="postgres"):
        r = subprocess.run(["psql", "-h", self.dir, "-U", "postgres", "-d", db, "-v",
                            "ON_ERROR_STOP=1", "-Atc", query],
                           capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise RuntimeError("psql: %s" % r.stderr)
        return [line.split("|") for line in r.stdout.splitlines() if line]

    def new_database(self, name):
        self.sql("CREATE DATABASE %s" % name)
        return self.conninfo % name


class Station:
    """kbupdate station --json in the background, its events collected."""
    started = []  # ended and closed by each test's tearDown

    def __init__(self, folder, log, conninfo, *args, name="st"):
        Station.started.append(self)
        self.proc = subprocess.Popen(
            [KBUPDATE, "station", "--json", "--log", log, "--db", conninfo, "--station-name",
             name, *args, HEX],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=folder)
        self.events = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.events.append(json.loads(line))

    def units(self):
        return sum(e["type"] == "unit" for e in self.events)

    def database(self):
        states = [e for e in self.events if e["type"] == "database"]
        return states[-1] if states else None

    def wait_for(self, what, condition, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return
            if self.proc.poll() is not None and not self.reader.is_alive():
                break
            time.sleep(0.05)
        self.proc.kill()
        raise AssertionError("never %s; last events: %s; stderr: %s"
                             % (what, self.events[-4:], self.proc.stderr.read()))

    def stop(self):
        """SIGINT once every row is in: the runs in progress end, then the totals."""
        self.wait_for("every row sent", lambda: (self.database() or {}).get("state") ==
                      "connected" and self.database()["waiting"] == 0, timeout=60)
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(timeout=90)
        self.reader.join(timeout=10)
        return self.proc.stderr.read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(timeout=10)
        self.proc.stdout.close()
        self.proc.stderr.close()


def read_log(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f, strict=True))
    return rows[0], rows[1:]


class StationDatabase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()  # fails the whole test, with the reason, when it cannot start

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kbupdate-db-test-")

    def tearDown(self):
        while Station.started:
            Station.started.pop().close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def kbupdate(self, *args, timeout=120):
        return subprocess.run([KBUPDATE, *args], capture_output=True, text=True,
                              timeout=timeout, cwd=self.dir)

    def assert_agree(self, db, station, logs):
        """The table's rows of `station` are the rows of `logs`, one each."""
        logged = {}
        for log in logs:
            header, rows = read_log(log)
            self.assertEqual(header[-1], "unit_id")
            for row in rows:
                self.assertNotIn(row[9], logged, "a unit id twice in the log")
                logged[row[9]] = [row[1], row[2], row[3], row[4], row[7]]
        table = self.server.sql(
            "SELECT unit_id, location, serial, result, duration_ms, coalesce(counter::text, '')"
            " FROM kbupdate_units WHERE station = '%s'" % station, db)
        stored = {r[0]: r[1:] for r in table}
        self.assertEqual(len(stored), len(table))
        self.assertEqual(sorted(stored), sorted(logged))
        for unit_id, fields in logged.items():
            self.assertEqual(stored[unit_id], fields, unit_id)
        return len(logged)

    def test_two_stations_at_once_then_the_summary(self):
        conninfo = self.server.new_database("two")
        stations = [subprocess.Popen(
            [KBUPDATE, "station", *SIM, "--sim-keyboards", "3", "--count", "9", "--log",
             self.path(name + ".csv"), "--db", conninfo, "--station-name", name, HEX],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=self.dir)
            for name in ("bench-1", "bench-2")]
        for s in stations:
            out, err = s.communicate(timeout=120)
            self.assertEqual(s.returncode, 0, err)
            self.assertIn("database: every row sent (9 this run)", out)
        db = "two"
        for name in ("bench-1", "bench-2"):
            self.assertEqual(self.assert_agree(db, name, [self.path(name + ".csv")]), 9)
        self.assertEqual(self.server.sql("SELECT count(*) FROM kbupdate_units", db), [["18"]])
        self.assertEqual(self.server.sql("SELECT version FROM kbupdate_schema", db), [["1"]])

        r = self.kbupdate("results", "summary", "--db", conninfo)
        self.assertEqual(r.returncode, 0, r.stderr)
        print("\n" + r.stdout, end="")
        lines = r.stdout.splitlines()
        self.assertEqual(len(lines), 3)
        self.assertTrue(lines[1].startswith("bench-1") and lines[2].startswith("bench-2"))
        r = self.kbupdate("results", "summary", "--db", conninfo, "--since", "today", "--json")
        rows = [json.loads(line) for line in r.stdout.splitlines()]
        self.assertEqual([(x["station"], x["units"], x["passed"], x["yield"]) for x in rows],
                         [("bench-1", 9, 9, 1.0), ("bench-2", 9, 9, 1.0)])
        self.assertGreater(rows[0]["units_per_hour"], 0)
        r = self.kbupdate("results", "summary", "--db", conninfo, "--since", "2099-01-01")
        self.assertEqual((r.returncode, r.stdout), (0, "no units since 2099-01-01\n"))
        # A second push of a log the database has adds nothing.
        r = self.kbupdate("results", "push", "--db", conninfo, "--station-name", "bench-1",
                          self.path("bench-1.csv"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("0 rows sent, 9 in the database already", r.stdout)

    def test_server_stopped_in_the_middle_and_started_again(self):
        conninfo = self.server.new_database("restart")
        log = self.path("r.csv")
        s = Station(self.dir, log, conninfo, *SIM, "--sim-keyboards", "3")
        s.wait_for("3 units", lambda: s.units() >= 3 and s.database()["waiting"] == 0)
        self.server.stop()
        try:
            before = s.units()
            s.wait_for("away with rows waiting", lambda: s.units() >= before + 3 and
                       s.database()["state"] == "away" and s.database()["waiting"] >= 3)
            self.assertTrue(s.database()["since"])
        finally:
            self.server.start()
        err = s.stop()
        self.assertEqual(s.proc.returncode, 130, err)
        self.assertGreaterEqual(self.assert_agree("restart", "st", [log]), 6)

    def test_connection_killed_while_its_insert_waits(self):
        conninfo = self.server.new_database("killed")
        log = self.path("k.csv")
        s = Station(self.dir, log, conninfo, *SIM, "--sim-keyboards", "2")
        s.wait_for("a first unit in", lambda: s.units() >= 1 and s.database()["waiting"] == 0)
        for _ in range(2):
            # A lock holds the next INSERT where it is; then its backend goes.
            locker = subprocess.Popen(
                ["psql", "-h", self.server.dir, "-U", "postgres", "-d", "killed", "-q"],
                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                text=True)
            locker.stdin.write("BEGIN; LOCK TABLE kbupdate_units IN EXCLUSIVE MODE;\n")
            locker.stdin.flush()
            waiting = []
            deadline = time.monotonic() + 60
            while not waiting and time.monotonic() < deadline:
                waiting = self.server.sql(
                    "SELECT pid FROM pg_stat_activity WHERE datname = 'killed'"
                    " AND wait_event_type = 'Lock' AND query LIKE 'INSERT INTO kbupdate_units%'")
                time.sleep(0.1)
            self.assertTrue(waiting, "no INSERT ever waited for the lock")
            self.server.sql("SELECT pg_terminate_backend(%s)" % waiting[0][0])
            locker.communicate("COMMIT;\n", timeout=30)
        # Both kills may have hit the same row's INSERT and its retry: wait for
        # a unit after them and for every row to be in before the stop.
        s.wait_for("the rows after the kills in",
                   lambda: s.units() >= 3 and s.database()["waiting"] == 0)
        err = s.stop()
        self.assertEqual(s.proc.returncode, 130, err)
        self.assertGreaterEqual(self.assert_agree("killed", "st", [log]), 3)

    def test_station_killed_and_started_again(self):
        conninfo = self.server.new_database("sigkill")
        log = self.path("s.csv")
        s = Station(self.dir, log, conninfo, *SIM, "--sim-keyboards", "3")
        s.wait_for("3 units in", lambda: s.units() >= 3 and s.database()["waiting"] == 0)
        # Rows held back from the database (a lock), then the station killed.
        locker = subprocess.Popen(
            ["psql", "-h", self.server.dir, "-U", "postgres", "-d", "sigkill", "-q"],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        locker.stdin.write("BEGIN; LOCK TABLE kbupdate_units IN EXCLUSIVE MODE;\n")
        locker.stdin.flush()
        before = s.units()
        s.wait_for("3 more units", lambda: s.units() >= before + 3)
        s.proc.kill()
        s.proc.wait()
        locker.communicate("COMMIT;\n", timeout=30)
        _, rows = read_log(log)
        stored = int(self.server.sql("SELECT count(*) FROM kbupdate_units", "sigkill")[0][0])
        self.assertLess(stored, len(rows), "nothing was left waiting at the kill")
        again = Station(self.dir, log, conninfo, *SIM, "--sim-keyboards", "3", "--count", "3")
        again.proc.wait(timeout=90)
        again.reader.join(timeout=10)
        self.assertEqual(again.proc.returncode, 0, again.proc.stderr.read())
        self.assertEqual(self.assert_agree("sigkill", "st", [log]), len(rows) + 3)

    def test_refusals_and_a_server_away_at_start(self):
        conninfo = self.server.new_database("refusals")
        self.server.sql("CREATE ROLE pwuser LOGIN PASSWORD 'right-one'")
        self.server.sql("GRANT ALL ON SCHEMA public TO pwuser", "refusals")
        passfile = self.path("pgpass")
        host = self.server.dir
        log = self.path("x.csv")
        for secret, code in (("wrong-one", 4), ("right-one", 0)):
            with open(passfile, "w") as f:
                f.write("*:*:*:pwuser:%s\n" % secret)
            os.chmod(passfile, 0o600)
            r = subprocess.run(
                [KBUPDATE, "station", "--simulate", "--count", "1", "--log", log, "--db",
                 "host=%s dbname=refusals user=pwuser" % host, HEX],
                capture_output=True, text=True, timeout=60, env=dict(os.environ,
                                                                      PGPASSFILE=passfile))
            self.assertEqual(r.returncode, code, r.stderr)
            if code:
                self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                self.assertIn("pwuser@%s" % host, r.stderr)
                self.assertIn("password authentication failed", r.stderr)
        # A password on the command line is never shown.
        r = self.kbupdate("station", "--simulate", "--count", "1", "--log", log, "--db",
                          "host=%s dbname=refusals user=pwuser password=wrong-one foo=1" % host,
                          HEX)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("password=***", r.stderr)
        self.assertNotIn("wrong-one", r.stderr + r.stdout)
        # A table of another layout is refused, never written into.
        self.server.sql("CREATE DATABASE layout")
        self.server.sql("CREATE TABLE kbupdate_units (unit_id uuid PRIMARY KEY, station text)",
                        "layout")
        r = self.kbupdate("station", "--simulate", "--count", "1", "--log", log, "--db",
                          self.server.conninfo % "layout", HEX)
        self.assertEqual(r.returncode, 4, r.stderr)
        self.assertIn("layout", r.stderr)
        # Unreachable at start: the station works, the rows wait, push sends them.
        away = self.path("away.csv")
        r = self.kbupdate("station", "--simulate", "--count", "2", "--sim-keyboards", "2",
                          "--log", away, "--db", "host=%s/none dbname=refusals" % host, HEX)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("cannot be reached", r.stderr)
        self.assertIn("database: 2 rows waiting", r.stdout)
        r = self.kbupdate("results", "push", "--db", conninfo, "--station-name", "st", away)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("2 rows sent, 0 in the database already", r.stdout)
        self.assert_agree("refusals", "st", [away])

    def test_without_libpq_a_database_verb_says_which_package(self):
        # libpq is opened when a verb first needs it: hidden (/dev/null bound
        # over it in a mount namespace of the run's own), the server here
        # answers, yet each database verb stops with one line naming the
        # library and its package, and a verb without a database works.
        found = [line.split(" => ")[-1] for line in
                 subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout
                 .splitlines() if line.strip().startswith("libpq.so.5 ")]
        if not found or subprocess.run(["unshare", "--mount", "true"],
                                       capture_output=True).returncode != 0:
            self.skipTest("hiding libpq needs ldconfig's libpq.so.5 and unshare --mount (root)")
        conninfo = self.server.new_database("nolibpq")

        def hidden(*args):
            return subprocess.run(
                ["unshare", "--mount", "--", "sh", "-c", 'mount --bind /dev/null "$0" && exec "$@"',
                 found[0], KBUPDATE, *args], capture_output=True, text=True, timeout=60,
                cwd=self.dir)

        for args in (["results", "summary", "--db", conninfo],
                     ["station", "--simulate", "--count", "1", "--log", self.path("x.csv"),
                      "--db", conninfo, HEX]):
            r = hidden(*args)
            self.assertEqual(r.returncode, 2, r.stderr)
            self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
            self.assertIn("libpq.so.5 cannot be loaded", r.stderr)
            self.assertIn("package libpq5", r.stderr)
        r = hidden("convert", HEX, self.path("out.bin"))
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_a_log_with_the_earlier_header_keeps_its_form(self):
        conninfo = self.server.new_database("earlier")
        log = self.path("old.csv")
        with open(log, "w", newline="") as f:
            f.write("time,location,serial,result,duration_ms,firmware,image_sha256,counter,"
                    "reason\r\n2026-12-10T10:00:00+01:00,1-2.3,,FAIL,412,fw.hex,ab,,\"a, b\"\r\n")
        r = self.kbupdate("station", "--simulate", "--count", "2", "--sim-keyboards", "2",
                          "--log", log, "--db", conninfo, "--station-name", "old", HEX)
        self.assertEqual(r.returncode, 0, r.stderr)
        header, rows = read_log(log)
        self.assertEqual(header[-1], "reason")
        self.assertTrue(all(len(row) == 9 for row in rows))
        self.assertEqual(self.server.sql("SELECT count(*) FROM kbupdate_units", "earlier"),
                         [["3"]])
        r = self.kbupdate("results", "push", "--db", conninfo, "--station-name", "old", log)
        self.assertIn("0 rows sent, 3 in the database already", r.stdout)
        # The log begun anew beside what the old one's confirmation says:
        # the new log's rows are sent all the same.
        os.remove(log)
        r = self.kbupdate("station", "--simulate", "--count", "1", "--log", log, "--db",
                          conninfo, "--station-name", "old", HEX)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("every row sent (1 this run)", r.stdout)
        self.assertEqual(self.server.sql("SELECT count(*) FROM kbupdate_units", "earlier"),
                         [["4"]])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
