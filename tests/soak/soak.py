#!/usr/bin/env python3
"""The soak test: relays, simulated robots and clients run side by side for a while under a time
scale, with faults injected in between clean stretches. It counts, for every clean stretch, that
each numbered sensor record the robot sent reached the client once and unchanged, and that each
command the client put reached the robot once; that the relay came back after every fault; that the
relay's memory stayed flat; and that no section is left behind once everything has ended.

    python3 tests/soak/soak.py --build build --minutes 10 --scale 0.05 [--robots 8]
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        return 0
    return 0


class Robot:
    """One simulated robot with its relay and its client."""

    def __init__(self, args, index, transport, work):
        self.args, self.index, self.transport, self.work = args, index, transport, work
        self.name = "soak%d_%d" % (os.getpid(), index)
        self.env = dict(os.environ, TREVASK_TIME_SCALE=str(args.scale), TREVASK_CONFIG_DIR=work,
                        PYTHONPATH=os.path.join(ROOT, "bindings", "python"),
                        TALVENOR_LIBRARY=os.path.join(args.build, "control", "libtalvenorctl.so"))
        self.sim_log = open(os.path.join(work, "sim%d.log" % index), "w")
        self.relay_log_path = os.path.join(work, "relay%d.log" % index)
        self.client_out = os.path.join(work, "client%d.json" % index)
        self.client_results = []
        sim_cmd = [os.path.join(args.build, "sim", "robot-sim"), "--numbered", "--control", "--period", "500", "--seed",
                   str(index + 1)]
        if transport == "udp":
            sim_cmd += ["--udp", "127.0.0.1:0"]
        else:
            self.pty = os.path.join(work, "tty%d" % index)
            sim_cmd += ["--pty", self.pty]
        self.sim = subprocess.Popen(sim_cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=self.env)
        ready = self.sim.stdout.readline()
        self.sim_log.write(ready)
        relay_cmd = [os.path.join(args.build, "relay", "app", "trevask"), "--headless", "--robot", self.name]
        if transport == "udp":
            relay_cmd += ["--wifi", "127.0.0.1", "--port", re.search(r":(\d+)$", ready.strip()).group(1)]
        else:
            relay_cmd += ["--serial", self.pty]
        self.relay_log = open(self.relay_log_path, "w")
        self.relay = subprocess.Popen(relay_cmd, stdout=self.relay_log, stderr=subprocess.STDOUT, env=self.env)
        self.client = None
        self.start_client()

    def start_client(self):
        # Each run of the client numbers its commands from a range of its own.
        start = 1 + 2000 * len(self.client_results)
        self.client = subprocess.Popen([sys.executable, os.path.join(HERE, "soak_client.py"), self.name, self.client_out,
                                        str(start)], env=self.env)

    def stop_client(self, kill=False):
        if self.client is None:
            return
        if kill:
            self.client.kill()
        else:
            self.client.send_signal(signal.SIGTERM)
        self.client.wait(timeout=30)
        if os.path.exists(self.client_out):
            with open(self.client_out) as f:
                self.client_results.append(json.load(f))
            os.remove(self.client_out)
        self.client = None

    def control(self, line):
        self.sim.stdin.write(line + "\n")
        self.sim.stdin.flush()

    def number(self):
        self.control("number")
        while True:
            line = self.sim.stdout.readline()
            self.sim_log.write(line)
            m = re.search(r"robot-sim: number (\d+)", line)
            if m:
                return int(m.group(1))

    def relay_text(self):
        with open(self.relay_log_path) as f:
            return f.read()

    def connected_count(self):
        text = self.relay_text()
        return len(re.findall(r"Connected, (COM|IP) Port", text))

    def lost_count(self):
        return len(re.findall(r"Connection down, retry", self.relay_text()))


def wait_until(predicate, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--minutes", type=float, default=10.0, help="simulated minutes to run")
    p.add_argument("--scale", type=float, default=0.05, help="TREVASK_TIME_SCALE of every process")
    p.add_argument("--robots", type=int, default=2, help="robots side by side (half over UDP, half over a pty)")
    args = p.parse_args()
    args.build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="trevask-soak-")
    sim_s = lambda seconds: seconds * args.scale  # simulated seconds in wall-clock seconds
    robots = [Robot(args, i, "udp" if i % 2 == 0 else "pty", work) for i in range(args.robots)]
    problems = []
    clean_windows = {r.name: [] for r in robots}  # (first number, end number, t0, t1)
    try:
        for r in robots:
            if not wait_until(lambda r=r: r.connected_count() > 0, sim_s(60) + 10):
                problems.append("%s: the relay never connected" % r.name)
        time.sleep(sim_s(10) + 1)  # the clients settle in
        rss_start = {r.name: rss_kb(r.relay.pid) for r in robots}
        end = time.monotonic() + sim_s(args.minutes * 60)
        faults = ["noise", "silence", "reopen", "client"]
        cycle = 0
        while time.monotonic() < end:
            # A clean stretch: everything sent now must arrive once.
            marks = {r.name: (r.number(), time.time()) for r in robots}
            time.sleep(sim_s(30))
            for r in robots:
                clean_windows[r.name].append((marks[r.name][0], r.number(), marks[r.name][1], time.time()))
            # A fault, then back to clean and wait for the link. The clients have written what they
            # received in the stretch before one of them is killed.
            time.sleep(0.6)
            fault = faults[cycle % len(faults)]
            cycle += 1
            before = {r.name: r.connected_count() for r in robots}
            lost_before = {r.name: r.lost_count() for r in robots}
            for r in robots:
                if fault == "noise":
                    r.control("faults 10 10 10 10")
                elif fault == "silence":
                    r.control("silent on")
                elif fault == "reopen" and r.transport == "pty":
                    r.control("reopen")
                elif fault == "client":
                    r.stop_client(kill=True)
            time.sleep(sim_s(15))
            for r in robots:
                r.control("faults 0 0 0 0")
                r.control("silent off")
                if r.client is None:
                    r.start_client()
            for r in robots:
                lost = r.lost_count() > lost_before[r.name]
                if lost and not wait_until(lambda r=r: r.connected_count() > before[r.name], sim_s(60) + 10):
                    problems.append("%s: no reconnect after the %s fault" % (r.name, fault))
            time.sleep(sim_s(10))  # the clients catch up before the next clean stretch
        rss_end = {r.name: rss_kb(r.relay.pid) for r in robots}
    finally:
        for r in robots:
            r.stop_client()
            r.relay.send_signal(signal.SIGTERM)
        for r in robots:
            try:
                r.relay.wait(timeout=60)
            except subprocess.TimeoutExpired:
                r.relay.kill()
                problems.append("%s: the relay did not stop" % r.name)
            if r.relay.returncode not in (0, None):
                problems.append("%s: the relay exited with %s" % (r.name, r.relay.returncode))
            r.control("quit")
            out, _ = r.sim.communicate(timeout=30)
            r.sim_log.write(out)
            r.sim_log.close()

    report = {}
    for r in robots:
        received, bad, puts = [], [], []
        for res in r.client_results:
            received += res["received"]
            bad += res["bad"]
            puts += res["puts"]
        counts = {}
        for n in received:
            counts[n] = counts.get(n, 0) + 1
        with open(os.path.join(work, "sim%d.log" % r.index)) as f:
            sim_text = f.read()
        arrived = {}
        for m in re.finditer(r"received DcMotorPositionNonTimeCtr \(dest 1, type 0x03\): 5E 02 01 00 03 03 00 "
                             r"([0-9A-F]{2}) ([0-9A-F]{2})", sim_text):
            v = int(m.group(1), 16) | int(m.group(2), 16) << 8
            arrived[v] = arrived.get(v, 0) + 1
        missing = duplicated = checked = 0
        cmd_checked = cmd_missing = cmd_duplicated = 0
        missing_at = []
        for w, (first, last, t0, t1) in enumerate(clean_windows[r.name]):
            for n in range(first, last):
                checked += 1
                c = counts.get(n, 0)
                missing += c == 0
                duplicated += c > 1
                if c == 0 and len(missing_at) < 20:
                    missing_at.append("%d in stretch %d [%d, %d)" % (n, w, first, last))
            for t, v in puts:
                if t0 + sim_s(2) <= t <= t1 - sim_s(2):
                    cmd_checked += 1
                    cmd_missing += arrived.get(v, 0) == 0
                    cmd_duplicated += arrived.get(v, 0) > 1
        report[r.name] = {"transport": r.transport, "records checked": checked, "missing": missing,
                          "duplicated": duplicated, "changed": len(bad), "commands checked": cmd_checked,
                          "commands missing": cmd_missing, "commands duplicated": cmd_duplicated,
                          "losses": r.lost_count(), "connects": r.connected_count(),
                          "relay RSS kB start/end": [rss_start.get(r.name), rss_end.get(r.name)],
                          "first missing": missing_at}
        if checked == 0 or missing or duplicated or bad:
            problems.append("%s: %d records checked, %d missing, %d duplicated, %d changed"
                            % (r.name, checked, missing, duplicated, len(bad)))
        if cmd_checked == 0 or cmd_missing or cmd_duplicated:
            problems.append("%s: %d commands checked, %d missing, %d duplicated"
                            % (r.name, cmd_checked, cmd_missing, cmd_duplicated))
        if rss_end.get(r.name, 0) - rss_start.get(r.name, 0) > 4096:
            problems.append("%s: the relay grew by %d kB" % (r.name, rss_end[r.name] - rss_start[r.name]))
    time.sleep(0.5)
    stale = [f for f in os.listdir("/dev/shm") if any(f.startswith(r.name) for r in robots)]
    if stale:
        problems.append("stale sections after every process ended: %s" % ", ".join(sorted(stale)))
    print(json.dumps(report, indent=2))
    print("logs in", work)
    if problems:
        print("SOAK FAILED:\n  " + "\n  ".join(problems))
        return 1
    print("soak passed: %d robots, %.1f simulated minutes" % (len(robots), args.minutes))
    return 0


if __name__ == "__main__":
    sys.exit(main())
