#!/usr/bin/env python3
"""Crash test of the whole suite: every service of an installation runs under load while a
random one of them is killed with SIGKILL every few seconds and started again.

Set-up (a temporary installation root on loopback): five simulated printers (the alert codes
of four of them writable), the printers found through the discovery page, watched for logging
with qmntf, one receiver (qmntfrecv) registered for notices, qmhttpd, Qmonmgr and Qntfmgr.
Load: page requests in a loop (printer list, printer pages, device logs), alert changes with
snmpset each followed by an SNMPv1 trap from the printer's own address (snmptrap), and a reader
that lists the alert log with qmntfls.

Afterwards it checks that
  - every restart came up (no object under run/ left by a killed process blocked it), also
    after all services were killed at once;
  - every log entry the reader saw is still in the log;
  - every notice the receiver acknowledged is in its output and names an alert that the log
    holds;
  - the alerts the printers show at the end are logged and were delivered;
  - every database file passes SQLite's integrity check and the store's own check
    (qmisamls --check: keys agree with records);
and prints a summary. Exit status 0 all checks passed, 1 a check failed, 77 a tool is missing.
"""
import argparse
import collections
import os
import random
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SETUP = r"HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup"
MONITOR = r"HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Notification_Service\QMONMGR"
NOTIFIER = r"HKLM\Software\OvrelNet\OvrelNetQuinsward\Notification_Service\QNTFMGR"
ALERT_CODE = "1.3.6.1.2.1.43.18.1.1.7.1."
# The printers served, in address order (.11 to .15); the second has no alert table.
PRINTERS = ["1-mono-laser", "2-color-laser", "3-inkjet", "4-alerts-mfp", "5-dual-mono"]
SERVICES = ["qmhttpd", "Qmonmgr", "Qntfmgr", "qmntfrecv", "qntpset"]


def free_port(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def log(msg):
    print(time.strftime("%H:%M:%S ") + msg, flush=True)


class Suite:
    """One installation root with its printers and services, and what the test saw."""

    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.root = tempfile.mkdtemp(prefix="qmcrash.", dir="/tmp")
        os.chmod(self.root, 0o755)  # the agents run as nobody and read their data below it
        self.sbin = os.path.join(self.root, "sbin")
        self.state = os.path.join(self.root, "printers")
        self.net = "127.0.%d" % random.randint(20, 219)
        self.snmp_port = free_port(socket.SOCK_DGRAM)
        self.trap_port = free_port(socket.SOCK_DGRAM)
        self.http_port = free_port(socket.SOCK_STREAM)
        self.recv_port = free_port(socket.SOCK_DGRAM)
        self.children = {}  # name -> Popen, for the services this script starts itself
        self.lock = threading.Lock()
        self.stop_load = threading.Event()
        self.kills = collections.Counter()
        self.restarts = collections.Counter()
        self.restart_failures = []
        self.counts = collections.Counter()
        self.seen_log = set()  # every alert log line the reader saw
        self.final_codes = {}  # (printer address, alert row) -> code last set
        self.keys = []
        self.handle = None
        self.failures = []
        self.slow = 10 if args.valgrind else 1  # time-outs stretch under valgrind
        self.verbose = False  # kills are told once the set-up is done

    # ---------------------------------------------------------------- helpers
    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def tool(self, name, *args, timeout=120, check=True):
        r = subprocess.run([os.path.join(self.sbin, name), "--root", self.root, *args],
                           cwd=self.path("bin"), capture_output=True, text=True, timeout=timeout)
        if check and r.returncode != 0:
            raise RuntimeError("%s %s: %d %s %s" % (name, " ".join(args), r.returncode, r.stdout, r.stderr))
        return r

    def url(self, template):
        return "http://127.0.0.1:%d/qm?LANGUAGE=en&TEMPLATE=%s" % (self.http_port, template)

    def get(self, url, timeout=60):
        with urllib.request.urlopen(url, timeout=timeout) as r:
            return r.read().decode("utf-8", "replace")

    def printer(self, i):
        return "%s.%d" % (self.net, 11 + i)

    # ------------------------------------------------------------ processes
    def pids_of(self, name):
        """Live processes of this root running sbin/NAME or bin/NAME (also those that qmntf and
        the notification database started)."""
        exes = (os.path.join(self.sbin, name), self.path("bin", name), self.path("vgreal", name))
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                if os.readlink("/proc/%s/exe" % entry) not in exes:
                    # Under valgrind the program is an argument of the valgrind tool.
                    with open("/proc/%s/cmdline" % entry, "rb") as f:
                        argv = f.read().split(b"\0")
                    if not any(a.decode(errors="replace") in exes for a in argv[1:] if a):
                        continue
                with open("/proc/%s/stat" % entry) as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        continue
            except OSError:
                continue
            found.append(int(entry))
        return found

    def reap(self, name):
        p = self.children.pop(name, None)
        if p is not None:
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                pass

    @staticmethod
    def all_threads_dead(pid):
        # The thread-group leader turns Z as soon as it dies, while the other
        # threads of a killed multi-threaded service may still be exiting and
        # holding its files and locks; a restart in that window still finds
        # the old instance "running". Gone means every thread is Z or X.
        try:
            tasks = os.listdir("/proc/%d/task" % pid)
        except OSError:
            return True
        for tid in tasks:
            try:
                with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                    if f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X"):
                        return False
            except OSError:
                continue
        return True

    def wait_gone(self, pid, seconds=30):
        end = time.time() + seconds
        while time.time() < end:
            if self.all_threads_dead(pid):
                return True
            time.sleep(0.05)
        return False

    def until(self, cond, seconds, step=0.2):
        end = time.time() + seconds
        while time.time() < end:
            if cond():
                return True
            time.sleep(step)
        return cond()

    def start_httpd(self):
        err = open(self.path("log", "qmhttpd.err"), "a")
        self.children["qmhttpd"] = subprocess.Popen(
            [os.path.join(self.sbin, "qmhttpd"), "--root", self.root, "--port", str(self.http_port)],
            stdout=subprocess.DEVNULL, stderr=err, cwd=self.path("bin"))
        err.close()

        def up():
            p = self.children["qmhttpd"]
            if p.poll() is not None:
                return True  # ended: judged below
            try:
                self.get("http://127.0.0.1:%d/" % self.http_port, timeout=5)
                return True
            except (OSError, urllib.error.URLError):
                return False
        self.until(up, 60 * self.slow)
        return self.children["qmhttpd"].poll() is None and up()

    def start_monitor(self):
        err = open(self.path("log", "qmonmgr.err"), "a")
        self.children["Qmonmgr"] = subprocess.Popen(
            [os.path.join(self.sbin, "Qmonmgr"), "--root", self.root],
            stdout=subprocess.DEVNULL, stderr=err, cwd=self.path("bin"))
        err.close()
        p = self.children["Qmonmgr"]

        def running():
            if p.poll() is not None:
                return True
            return self.tool("qmonctl", "status", check=False).stdout.strip() == "running"
        self.until(running, 60 * self.slow)
        return p.poll() is None and running()

    def start_receiver(self):
        out = open(self.path("log", "receiver.out"), "a")
        before = self.receiver_lines("listening on")
        self.children["qmntfrecv"] = subprocess.Popen(
            [os.path.join(self.sbin, "qmntfrecv"), "--port", str(self.recv_port)],
            stdout=out, stderr=subprocess.STDOUT)
        out.close()
        p = self.children["qmntfrecv"]
        self.until(lambda: p.poll() is not None or self.receiver_lines("listening on") > before, 30 * self.slow)
        return p.poll() is None

    def start_notifier(self):
        r = self.tool("qmntf", "start", self.handle, check=False)
        if r.returncode != 0:
            log("qmntf start: %d %s%s" % (r.returncode, r.stdout, r.stderr))
            return False
        return bool(self.pids_of("Qntfmgr"))

    def receiver_lines(self, prefix=None):
        try:
            with open(self.path("log", "receiver.out"), errors="replace") as f:
                lines = f.read().splitlines()
        except OSError:
            return 0 if prefix else []
        if prefix is None:
            return lines
        return sum(1 for l in lines if l.startswith(prefix))

    def start(self, name):
        if name == "qmhttpd":
            return self.start_httpd()
        if name == "Qmonmgr":
            return self.start_monitor()
        if name == "qmntfrecv":
            return self.start_receiver()
        if name == "Qntfmgr":
            return self.start_notifier()
        return True  # qntpset is started on demand by the notification database

    def kill(self, name):
        """SIGKILL to the named service; True when one was running."""
        pids = self.pids_of(name)
        if not pids:
            return False
        for pid in pids:
            if self.verbose:
                log("kill %s (%d)" % (name, pid))
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.reap(name)
        for pid in pids:
            self.wait_gone(pid)
        return True

    # -------------------------------------------------------------- valgrind
    WRAPPED = {"qmhttpd": "sbin", "Qmonmgr": "sbin", "Qntfmgr": "sbin", "qmntfrecv": "sbin", "qntpset": "sbin"}

    def wrap_in_valgrind(self):
        """Each service's program becomes a script that runs the real one under memcheck. The
        real programs move to vgreal/, a sibling of sbin/ and bin/, so that their run path
        ($ORIGIN/../bin) and the root found from their folder stay what they were."""
        real = self.path("vgreal")
        os.makedirs(real)
        logs = os.path.abspath(self.args.valgrind)
        os.makedirs(logs, exist_ok=True)
        supp = os.path.join(SOURCE, "tests", "valgrind", "outside.supp")
        for name, folder in self.WRAPPED.items():
            os.rename(self.path(folder, name), os.path.join(real, name))
            wrapper = self.path(folder, name)
            with open(wrapper, "w") as f:
                f.write("#!/bin/sh\n"
                        "exec valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite "
                        "--errors-for-leak-kinds=definite --error-exitcode=99 --track-origins=yes "
                        "--num-callers=30 --suppressions=%s --log-file=%s/%s.%%p.log %s \"$@\"\n"
                        % (supp, logs, name, os.path.join(real, name)))
            os.chmod(wrapper, 0o755)

    # ---------------------------------------------------------------- set-up
    def set_up(self):
        log("root %s, printers on %s.11-15 port %d" % (self.root, self.net, self.snmp_port))
        subprocess.run(["cmake", "--install", self.build, "--prefix", self.root], check=True,
                       stdout=subprocess.DEVNULL)
        if self.args.valgrind:
            self.wrap_in_valgrind()
        # The printers' alert codes become writable (snmpsim's writecache), so that the test can
        # change alerts as a printer's panel would.
        data = self.path("printer-data")
        os.makedirs(data)
        os.chmod(data, 0o755)
        self.rows = {}
        files = []
        for i, name in enumerate(PRINTERS):
            src = os.path.join(SOURCE, "support", "snmpgw", "printers", name + ".snmprec")
            dst = os.path.join(data, name + ".snmprec")
            rows, other = [], set()
            with open(src) as f, open(dst, "w") as out:
                for line in f:
                    m = re.match(r"^(1\.3\.6\.1\.2\.1\.43\.18\.1\.1\.7\.1\.(\d+))\|2\|(-?\d+)$", line.rstrip("\n"))
                    if m:
                        line = "%s|2:writecache|value=%s\n" % (m.group(1), m.group(3))
                        rows.append(int(m.group(2)))
                    # Alerts of severity "other" are neither recorded nor told.
                    m = re.match(r"^1\.3\.6\.1\.2\.1\.43\.18\.1\.1\.2\.1\.(\d+)\|2\|1$", line.rstrip("\n"))
                    if m:
                        other.add(int(m.group(1)))
                    out.write(line)
            rows = [r for r in rows if r not in other]
            os.chmod(dst, 0o644)
            files.append(dst)
            if rows:
                self.rows[self.printer(i)] = rows
        subprocess.run([os.path.join(SOURCE, "scripts", "printers.sh"), "start", "--state", self.state,
                        "--port", str(self.snmp_port), "--net", self.net, *files],
                       check=True, stdout=subprocess.DEVNULL)

        reg = lambda key, name, value: self.tool("qmreg", "setnum", key, name, str(value))
        reg(SETUP, "SnmpPort", self.snmp_port)
        reg(SETUP, "SnmpTimeout", 700)
        reg(SETUP, "SnmpRetries", 1)
        reg(MONITOR, "TrapPort", self.trap_port)
        # The notifier's local ports start above UdpPort; one that was free a moment ago.
        reg(NOTIFIER, "UdpPort", min(free_port(socket.SOCK_DGRAM), 60000))
        reg(NOTIFIER, "UdpCheckInterval", 30)
        # Information lines too (polls, traps, deliveries), so that a failed check can be
        # followed in log/qbtrace.log of the kept root.
        reg(r"HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Trace", "Level", 0x8880)
        self.tool("qmreg", "set", SETUP, "TrapDestinationAddress", "127.0.0.1")
        self.tool("qmconf", "set", "QMC_BroadIPLocal", "OFF", "QMC_BroadIPXLocal", "OFF",
                  *sum((["QMC_BroadIPAdr%d" % (6 + i), self.printer(i)] for i in range(5)), []))

        if not self.start_httpd():
            raise RuntimeError("qmhttpd did not start")
        dom = self.get(self.url("discover.htm"), timeout=180 * self.slow)
        if "Search finished: 5 printer(s) found." not in dom:
            raise RuntimeError("discovery did not find the five printers")
        dom = self.get(self.url("printers.htm"), timeout=60 * self.slow)
        self.keys = sorted({urllib.parse.unquote_plus(k) for k in re.findall(r"KEY=([^\"&]*)", dom)})
        if len(self.keys) != 5:
            raise RuntimeError("expected 5 printer keys, got %s" % self.keys)
        self.tool("qmntf", "watch", *self.keys)
        if not self.start_receiver():
            raise RuntimeError("qmntfrecv did not start")
        r = self.tool("qmntf", "--level", "0", "--text", "crash desk", "register", "127.0.0.1",
                      str(self.recv_port), *self.keys)
        self.handle = r.stdout.split("\n")[0].strip()
        if not self.start_notifier():
            raise RuntimeError("Qntfmgr did not start")
        if not self.start_monitor():
            raise RuntimeError("Qmonmgr did not start")
        log("suite up: keys %s, receiver handle %s" % (" ".join(self.keys), self.handle))

    # ------------------------------------------------------------------ load
    def page_loop(self):
        urls = [self.url("printers.htm")]
        for k in self.keys:
            q = urllib.parse.quote_plus(k)
            urls.append(self.url("printer.htm&KEY=" + q))
            urls.append(self.url("devlog.htm&KEY=%s&PAGE=1&KIND=0" % q))
        while not self.stop_load.is_set():
            for u in urls:
                if self.stop_load.is_set():
                    break
                try:
                    self.get(u, timeout=60 * self.slow)
                    self.counts["pages ok"] += 1
                except Exception:
                    self.counts["pages failed"] += 1
                    self.stop_load.wait(0.5)

    def trap(self, address):
        r = subprocess.run(["snmptrap", "-v1", "-c", "public", "--clientaddr=" + address,
                            "127.0.0.1:%d" % self.trap_port, "1.3.6.1.4.1.40404", address, "6", "1", ""],
                           capture_output=True, timeout=30)
        self.counts["traps sent" if r.returncode == 0 else "traps failed"] += 1

    def trap_loop(self):
        code = 5000
        printers = sorted(self.rows)
        while not self.stop_load.wait(random.uniform(0.5, 1.5)):
            address = random.choice(printers)
            row = random.choice(self.rows[address])
            code += 1
            r = subprocess.run(["snmpset", "-v2c", "-c", "wixam", "-t", "3", "-r", "2",
                                "%s:%d" % (address, self.snmp_port), ALERT_CODE + str(row), "i", str(code)],
                               capture_output=True, timeout=60)
            if r.returncode == 0:
                with self.lock:
                    self.final_codes[(address, row)] = code
                self.counts["alert changes"] += 1
            else:
                self.counts["alert changes failed"] += 1
            self.trap(address)

    def read_log(self):
        r = self.tool("qmntfls", "ntclog", check=False, timeout=120)
        if r.returncode != 0:
            return None
        return {l for l in r.stdout.splitlines() if l.startswith("ntclog time=")}

    def reader_loop(self):
        while not self.stop_load.wait(2):
            lines = self.read_log()
            if lines is None:
                self.counts["log reads failed"] += 1
                continue
            self.counts["log reads"] += 1
            with self.lock:
                self.seen_log |= lines

    # ----------------------------------------------------------------- kills
    def crash_loop(self, seconds):
        end = time.time() + seconds
        if self.args.no_kills:
            time.sleep(seconds)
            return
        low, high = self.args.interval
        while time.time() < end:
            time.sleep(random.uniform(low, high))
            victims = [s for s in SERVICES if self.pids_of(s)]
            if not victims:
                continue
            name = random.choice(victims)
            if not self.kill(name):
                continue
            self.kills[name] += 1
            if name == "qntpset":
                continue
            if self.start(name):
                self.restarts[name] += 1
            else:
                self.restart_failures.append("%s after kill %d (run/: %s)" % (
                    name, self.kills[name], " ".join(sorted(os.listdir(self.path("run"))))))
                log("restart of %s failed" % name)
                self.ensure_up(name, tries=3)

    def ensure_up(self, name, tries=3):
        for _ in range(tries):
            if name == "Qntfmgr":
                if self.pids_of("Qntfmgr") or self.start_notifier():
                    return True
            elif name in self.children and self.children[name].poll() is None:
                return True
            elif self.start(name):
                return True
            time.sleep(1)
        return False

    # ---------------------------------------------------------------- checks
    def check(self, ok, what):
        log(("ok:     " if ok else "FAILED: ") + what)
        if not ok:
            self.failures.append(what)

    def notices(self, with_times=False):
        """Alert notices the receiver printed: (address, alert index, code), or with_times a
        map of each to the record times the notices carried."""
        out = collections.defaultdict(set)
        pat = re.compile(r"^seq \d+ alert from port \d+ device [^;]*;([^;]*);[^ ]* at (\S+ \S+) alert (\d+) .* code (-?\d+) ")
        for line in self.receiver_lines():
            m = pat.match(line)
            if m:
                out[(m.group(1), int(m.group(3)), int(m.group(4)))].add(
                    time.mktime(time.strptime(m.group(2), "%Y/%m/%d %H:%M:%S")))
        return out if with_times else set(out)

    @staticmethod
    def logged_alerts(lines):
        out = set()
        pat = re.compile(r"device=[^;]*;([^;]*);\S* kind=0 index=(\d+) fields=[^,]*,[^,]*,[^,]*,[^,]*,[^,]*,(-?\d+) ")
        for l in lines:
            m = pat.search(l)
            if m:
                out.add((m.group(1), int(m.group(2)), int(m.group(3))))
        return out

    def settle(self):
        """With every service up and no kills, the printers' current alerts reach the log and
        the receiver: a trap makes the monitor poll each printer now."""
        for name in ["qmhttpd", "Qmonmgr", "qmntfrecv", "Qntfmgr"]:
            if not self.ensure_up(name):
                self.check(False, "%s runs for the final checks" % name)
        wanted = {(a, row, code) for (a, row), code in self.final_codes.items()}
        end = time.time() + self.args.settle
        logged = delivered = set()
        while time.time() < end:
            for address in sorted(self.rows):
                self.trap(address)
            if self.until(lambda: wanted <= self.logged_alerts(self.read_log() or set()) and
                          wanted <= self.notices(), 20, step=2):
                break
        logged = self.logged_alerts(self.read_log() or set())
        delivered = self.notices()
        self.check(wanted <= logged, "the %d alerts the printers show at the end are logged%s" % (
            len(wanted), "" if wanted <= logged else ": missing %s" % sorted(wanted - logged)))
        self.check(wanted <= delivered, "the %d alerts the printers show at the end were delivered%s" % (
            len(wanted), "" if wanted <= delivered else ": missing %s" % sorted(wanted - delivered)))

    def check_log_kept(self):
        now = self.read_log() or set()
        lost = self.seen_log - now
        self.check(not lost, "all %d log entries the reader saw are still there (%d now)%s" % (
            len(self.seen_log), len(now), "" if not lost else ": lost %s" % sorted(lost)[:10]))
        return now

    @staticmethod
    def taken_log_keys(lines):
        """(address, alert index, time) of every alert log entry: the entry's unique key."""
        out = set()
        pat = re.compile(r"^ntclog time=(\S+ \S+) device=[^;]*;([^;]*);\S* kind=0 index=(\d+) ")
        for l in lines:
            m = pat.match(l)
            if m:
                out.add((m.group(2), int(m.group(3)),
                         time.mktime(time.strptime(m.group(1), "%Y/%m/%d %H:%M:%S"))))
        return out

    def check_notices(self, log_lines):
        delivered = self.notices(with_times=True)
        logged = self.logged_alerts(log_lines)
        # An alert log entry is keyed by its time (in seconds), device, kind and alert index.
        # When a printer shows a second alert at the same index within the second of a poll
        # (the poll's two alert passes share one time), the monitor records and tells it, but
        # the log already holds that key and refuses the entry. Such notices are counted apart;
        # any other unlogged notice is a fault.
        taken = self.taken_log_keys(log_lines)
        collided, unlogged = [], []
        for alert in sorted(set(delivered) - logged):
            address, index, _ = alert
            if any((address, index, t) in taken for t in delivered[alert]):
                collided.append(alert)
            else:
                unlogged.append(alert)
        self.check(not unlogged, "all %d acknowledged alert notices name a logged alert%s%s" % (
            len(delivered), "" if not unlogged else ": not logged %s" % unlogged[:10],
            "" if not collided else " (%d more whose log key another alert of the same second "
            "took: %s)" % (len(collided), collided[:5])))
        self.counts["alert notices acknowledged"] = len(delivered)
        self.counts["notices whose log key was taken"] = len(collided)

    def check_restart_after_kill_all(self):
        for name in SERVICES:
            self.kill(name)
        left = sorted(os.listdir(self.path("run")))
        log("all services killed at once; run/ holds: %s" % " ".join(left))
        for name in ["qmhttpd", "Qmonmgr", "qmntfrecv", "Qntfmgr"]:
            self.check(self.start(name), "%s starts after every service was killed at once" % name)

    def stop_cleanly(self):
        r = self.tool("qmntf", "--wait", str(30 * self.slow), "stop", check=False, timeout=60 * self.slow)
        self.check(r.returncode == 0, "qmntf stop ends Qntfmgr (%d %s)" % (r.returncode, r.stderr.strip()))
        r = self.tool("qmonctl", "--timeout", str(30 * self.slow), "stop", check=False, timeout=60 * self.slow)
        self.check(r.returncode == 0, "qmonctl stop is acknowledged (%d %s)" % (r.returncode, r.stderr.strip()))
        for name, how in [("Qmonmgr", None), ("qmhttpd", signal.SIGTERM), ("qmntfrecv", signal.SIGTERM)]:
            p = self.children.pop(name, None)
            if p is None:
                continue
            if how:
                p.send_signal(how)
            try:
                rc = p.wait(timeout=60 * self.slow)
            except subprocess.TimeoutExpired:
                p.kill()
                rc = "hung"
            if name != "qmntfrecv":
                self.check(rc == 0, "%s ends with 0 after its stop (%s)" % (name, rc))

    def check_databases(self):
        files = []
        for folder in ["conf", "ntf"]:
            for dirpath, _, names in os.walk(self.path(folder)):
                files += [os.path.join(dirpath, n) for n in names if n.endswith(".dat")]
        bad = []
        for f in sorted(files):
            db = sqlite3.connect("file:%s?mode=ro" % f, uri=True, timeout=30)
            try:
                result = [r[0] for r in db.execute("PRAGMA integrity_check")]
            finally:
                db.close()
            if result != ["ok"]:
                bad.append("%s: %s" % (f, result[:3]))
        self.check(not bad and files, "SQLite integrity check of %d database files%s" % (
            len(files), "" if not bad else ": " + "; ".join(bad)))
        bad = []
        for f in sorted(files):
            r = subprocess.run([os.path.join(self.sbin, "qmisamls"), "--check", f],
                               capture_output=True, text=True, timeout=120)
            if r.returncode != 0:
                bad.append("%s: %s%s" % (f, r.stdout.strip()[-300:], r.stderr.strip()))
        self.check(not bad, "store check (qmisamls --check) of %d file sets%s" % (
            len(files), "" if not bad else ": " + "; ".join(bad)))

    def check_valgrind(self):
        # qntpset ends by itself after its idle time; SIGTERM ends it the same way now.
        for pid in self.pids_of("qntpset"):
            os.kill(pid, signal.SIGTERM)
            self.wait_gone(pid, 120)
        logs = os.path.abspath(self.args.valgrind)
        reports = sorted(f for f in os.listdir(logs) if f.endswith(".log"))
        errors = 0
        for name in reports:
            with open(os.path.join(logs, name), errors="replace") as f:
                text = f.read()
            m = re.search(r"ERROR SUMMARY: (\d+) errors", text)
            lost = re.search(r"definitely lost: ([\d,]+) bytes in ([\d,]+) blocks", text)
            summary = ("%s errors" % m.group(1)) if m else "no summary (killed?)"
            if lost:
                summary += ", definitely lost %s bytes" % lost.group(1)
            log("valgrind %s: %s" % (name, summary))
            if m:
                errors += int(m.group(1))
            self.counts["valgrind reports"] += 1
        self.check(reports and errors == 0, "valgrind: %d errors in %d process reports (%s)" % (
            errors, len(reports), logs))

    def tear_down(self):
        for name in SERVICES:
            self.kill(name)
        subprocess.run([os.path.join(SOURCE, "scripts", "printers.sh"), "stop", "--state", self.state],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.failures and self.args.keep:
            log("root kept: %s" % self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


def parse_args():
    p = argparse.ArgumentParser(
        prog="crash_test.sh",
        description="Runs the whole suite (qmhttpd, Qmonmgr, Qntfmgr, a receiver, simulated "
                    "printers) under load in a temporary root on loopback, kills a random service "
                    "with SIGKILL every few seconds and starts it again, then checks the databases, "
                    "restarts and that nothing acknowledged was lost. Exit 0 passed, 1 failed, "
                    "77 a needed tool is missing.")
    p.add_argument("--minutes", type=float, default=10, help="how long to kill and restart (default 10)")
    p.add_argument("--build", default=os.path.join(SOURCE, "build", "normal"),
                   help="build folder to install from (default build/normal)")
    p.add_argument("--interval", default="2,6",
                   help="seconds between kills, as MIN,MAX of a uniform choice (default 2,6)")
    p.add_argument("--settle", type=float, default=240,
                   help="seconds the final alerts may take to be logged and delivered (default 240)")
    p.add_argument("--seed", type=int, help="random seed (default: from the clock; printed)")
    p.add_argument("--keep", action="store_true", help="keep the root when a check fails")
    p.add_argument("--no-kills", action="store_true",
                   help="run the load without killing anything (with --valgrind: the services end "
                        "by their stop commands, so that leaks are reported)")
    p.add_argument("--valgrind", metavar="DIR",
                   help="run every service under valgrind memcheck, its reports in DIR "
                        "(one file per process); any error fails the run")
    a = p.parse_args()
    try:
        low, high = (float(x) for x in a.interval.split(","))
        if not 0 < low <= high:
            raise ValueError
    except ValueError:
        p.error("--interval takes MIN,MAX with 0 < MIN <= MAX")
    a.interval = (low, high)
    if a.minutes <= 0:
        p.error("--minutes must be positive")
    return a


def main():
    args = parse_args()
    for tool in ["snmpsimd", "snmptrap", "snmpset", "snmpget", "cmake"]:
        if shutil.which(tool) is None:
            print("crash_test: %s is not installed (scripts/setup.sh installs it); skipped" % tool)
            return 77
    seed = args.seed if args.seed is not None else int(time.time())
    random.seed(seed)
    if args.no_kills:
        log("seed %d, %.1f minutes of load without kills%s" % (seed, args.minutes,
                                                                ", services under valgrind" if args.valgrind else ""))
    else:
        log("seed %d, %.1f minutes of kills every %g-%g s" % (seed, args.minutes, *args.interval))
    suite = Suite(args)
    try:
        suite.set_up()
        threads = [threading.Thread(target=f, daemon=True)
                   for f in (suite.page_loop, suite.trap_loop, suite.reader_loop)]
        for t in threads:
            t.start()
        suite.verbose = True
        suite.crash_loop(args.minutes * 60)
        suite.stop_load.set()
        for t in threads:
            t.join(timeout=180)
        log("kills done; settling")
        suite.check(not suite.restart_failures, "every restart after a kill came up%s" % (
            "" if not suite.restart_failures else ": " + "; ".join(suite.restart_failures)))
        suite.settle()
        log_lines = suite.check_log_kept()
        suite.check_notices(log_lines)
        if not args.no_kills:
            suite.check_restart_after_kill_all()
        suite.stop_cleanly()
        suite.check_databases()
        if args.valgrind:
            suite.check_valgrind()
    except Exception as e:  # a set-up or tool failure is a failed run, with its reason
        suite.failures.append("run aborted: %s" % e)
        log("run aborted: %s" % e)
    finally:
        suite.stop_load.set()
        print("\nsummary (seed %d, %.1f minutes)" % (seed, args.minutes))
        print("  kills:    " + ", ".join("%s %d" % (s, suite.kills[s]) for s in SERVICES) +
              " (total %d)" % sum(suite.kills.values()))
        print("  restarts: " + ", ".join("%s %d" % (s, suite.restarts[s]) for s in SERVICES[:4]) +
              ", failed %d" % len(suite.restart_failures))
        print("  load:     " + ", ".join("%s %d" % kv for kv in sorted(suite.counts.items())))
        print("  log entries seen by the reader: %d" % len(suite.seen_log))
        print("  checks:   %s" % ("all passed" if not suite.failures else "%d FAILED" % len(suite.failures)))
        for f in suite.failures:
            print("    - " + f)
        suite.tear_down()
    return 0 if not suite.failures else 1


if __name__ == "__main__":
    sys.exit(main())
