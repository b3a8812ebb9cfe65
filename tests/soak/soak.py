#!/usr/bin/env python3
"""The soak test: relays, simulated robots and clients run side by side for a while under a time
scale, at the rates people use, with faults injected in between clean stretches.

Each robot streams numbered standard sensor records and motor records at 50 a second each (in wall-clock
time, which is what a client has to keep up with), takes a
photo every second and records voice; two clients per robot put commands at 100 a second each, one
of them records the voice. Every numbered record and every command is counted, faults included:
what a fault may lose is said in advance (records the robot sent while it dropped or corrupted
frames, or while its link was down; commands put while the link was down, or on their way over a line that was cut; commands a killed client
had not yet written down; a frame garbled by noise that still passes the 8-bit CRC) and is counted
as such. The clients wait on the sections' doorbells and take every record as it arrives: none may
be lapped. Everything else arrives once, in order, unchanged.
The relay must come back after every fault, its memory and the first client's stay flat, and no
section be left behind.

    python3 tests/soak/soak.py --build build --minutes 60 --scale 1 --robots 2
"""

import argparse
import json
import os
import queue
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
SENSOR_RATE = 50  # records a wall-clock second per stream, whatever the time scale: the clients wait on
# the sections' doorbells and take every record as it arrives, so none may be lapped
COMMANDS_PER_SECOND = 100
COMMAND_RE = re.compile(r"received DcMotorPositionNonTimeCtr \(dest 1, type 0x03\): 5E 02 01 00 03 03 "
                        r"([0-9A-F]{2}) ([0-9A-F]{2}) ([0-9A-F]{2})")


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        return 0
    return 0


class Client:
    """One run after another of one client process, with what each run wrote down."""

    def __init__(self, robot, channel, record):
        self.robot, self.channel, self.record = robot, channel, record
        self.out = os.path.join(robot.work, "client%d_%d.json" % (robot.index, channel))
        self.runs = []  # each: the JSON the run wrote, plus "killed"
        self.proc = None

    def start(self):
        first = 1 + 5000 * len(self.runs)
        cmd = [sys.executable, os.path.join(HERE, "soak_client.py"), self.robot.name, self.out, str(first),
               str(self.channel), str(COMMANDS_PER_SECOND)] + (["--record"] if self.record else [])
        self.proc = subprocess.Popen(cmd, env=self.robot.env)

    def stop(self, kill=False):
        if self.proc is None:
            return
        if kill:
            self.proc.kill()
        else:
            self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=60)
        run = {"received": [], "bad": [], "puts": [], "not_stored": [], "images": 0, "voice": 0}
        if os.path.exists(self.out):
            with open(self.out) as f:
                for text in f:
                    try:
                        line = json.loads(text)
                    except ValueError:
                        continue  # the last line of a killed client, cut short
                    for name in ("received", "bad", "puts", "not_stored"):
                        run[name] += line[name]
                    run.update(images=line["images"], voice=line["voice"], lapped=line["lapped"])
            os.remove(self.out)
        run["killed"] = kill
        self.runs.append(run)
        self.proc = None


class Robot:
    """One simulated robot with its relay and its two clients."""

    def __init__(self, args, index, transport, work):
        self.args, self.index, self.transport, self.work = args, index, transport, work
        self.name = "soak%d_%d" % (os.getpid(), index)
        self.env = dict(os.environ, TREVASK_TIME_SCALE=str(args.scale), TREVASK_CONFIG_DIR=work,
                        PYTHONPATH=os.path.join(ROOT, "bindings", "python"),
                        TALVENOR_LIBRARY=os.path.join(args.build, "control", "libtalvenorctl.so"))
        self.sim_log_path = os.path.join(work, "sim%d.log" % index)
        self.relay_log_path = os.path.join(work, "relay%d.log" % index)
        sim_cmd = [os.path.join(args.build, "sim", "robot-sim"), "--numbered", "--control", "--period",
                   str(round(1000 / SENSOR_RATE / args.scale)), "--camera-period", "1000", "--seed", str(index + 1)]
        if transport == "udp":
            sim_cmd += ["--udp", "127.0.0.1:0"]
        else:
            self.pty = os.path.join(work, "tty%d" % index)
            sim_cmd += ["--pty", self.pty]
        self.sim = subprocess.Popen(sim_cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=self.env)
        ready = self.sim.stdout.readline()
        # The robot logs every command it receives: a thread drains its output all the time, so a
        # full pipe never stalls it, and hands the answers to 'number' to whoever asked.
        self.numbers = queue.Queue()
        self.counts = queue.Queue()
        self.last_command = {}  # channel: the value of the last command the robot received on it
        self.sim_log = open(self.sim_log_path, "w")
        self.sim_log.write(ready)
        self.drain = threading.Thread(target=self._drain, daemon=True)
        self.drain.start()
        self.relay_cmd = [os.path.join(args.build, "relay", "app", "trevask"), "--headless", "--robot", self.name]
        if transport == "udp":
            self.relay_cmd += ["--wifi", "127.0.0.1", "--port", re.search(r":(\d+)$", ready.strip()).group(1)]
        else:
            self.relay_cmd += ["--serial", self.pty]
        self.relay_log = open(self.relay_log_path, "w")
        self.relay = None
        self.start_relay()
        self.gave_up = None  # (number, time) when the relay gave up and is to be started again
        self.clients = [Client(self, 0, True), Client(self, 1, False)]
        for c in self.clients:
            c.start()

    def start_relay(self):
        self.relay = subprocess.Popen(self.relay_cmd, stdout=self.relay_log, stderr=subprocess.STDOUT, env=self.env)
        self.relay_rss_start = None
        self.client_rss_start = None

    def _drain(self):
        for line in self.sim.stdout:
            self.sim_log.write(line)
            m = re.search(r"robot-sim: number (\d+)", line)
            if m:
                self.numbers.put(int(m.group(1)))
            m = re.search(r"robot-sim: counts (\d+) datagrams dropped", line)
            if m:
                self.counts.put(int(m.group(1)))
            m = COMMAND_RE.search(line)
            if m:
                self.last_command[int(m.group(1), 16)] = int(m.group(2), 16) | int(m.group(3), 16) << 8

    def control(self, line):
        self.sim.stdin.write(line + "\n")
        self.sim.stdin.flush()

    def number(self):
        self.control("number")
        return self.numbers.get(timeout=60)

    def relay_text(self):
        with open(self.relay_log_path) as f:
            return f.read()

    def connected_count(self):
        return len(re.findall(r"Connected, (COM|IP) Port", self.relay_text()))

    def lost_count(self):
        return len(re.findall(r"Connection down, retry", self.relay_text()))


class Service:
    """Starts a relay again when it gives up (exit status 1), as systemd's Restart=on-failure with the
    unit's RestartSec=5 does: at its third lost Wi-Fi link a relay gives up by design. What the robot
    sent and what the clients put from the moment it gave up until the new relay is connected is
    declared lost in a "restart" window."""

    RESTART_SEC = 5

    def __init__(self, robots, windows, problems, sim_s):
        self.robots, self.windows, self.problems, self.sim_s = robots, windows, problems, sim_s
        self.restarts = {r.name: 0 for r in robots}

    def watch(self):
        for r in self.robots:
            code = r.relay.poll()
            if code is None or r.gave_up is not None:
                continue
            if code != 1:
                self.problems.append("%s: the relay ended with status %s" % (r.name, code))
                r.gave_up = (r.number(), time.time(), None)
                continue
            r.gave_up = (r.number(), time.time(), time.monotonic() + self.sim_s(self.RESTART_SEC))
        for r in self.robots:
            if r.gave_up is None or r.gave_up[2] is None:
                continue
            n0, t0, restart_at = r.gave_up
            if r.relay.poll() is not None and time.monotonic() >= restart_at:
                before = r.connected_count()
                r.start_relay()
                self.restarts[r.name] += 1
                r.gave_up = (n0, t0, float("inf"))
                r.waiting_since = before
            if r.gave_up[2] == float("inf") and r.connected_count() > r.waiting_since:
                self.windows[r.name].append({"kind": "restart", "n0": n0, "n1": r.number(), "t0": t0,
                                             "t1": time.time()})
                r.gave_up = None

    def pause(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.watch()
            time.sleep(min(0.05, max(0, end - time.monotonic())))  # the pace of the watch, for a given time
        self.watch()


def wait_until(predicate, seconds, service=None):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if service is not None:
            service.watch()
        if predicate():
            return True
        time.sleep(0.05)  # the poll's pace
    return predicate()


def check_records(robot, first, last, windows):
    """The first client never stops: every number from first to last reaches it once and in order,
    but for numbers the robot sent inside a fault window (which may be lost, and in a noise window
    also doubled by the robot itself)."""
    received, bad = [], []
    for run in robot.clients[0].runs:
        received += run["received"]
        bad += run["bad"]
    allowed = lambda n, kinds: any(w["n0"] <= n < w["n1"] and w["kind"] in kinds for w in windows)
    # The link has no escaping: a record whose frame carries the end marker inside is refused by any
    # relay, and the robot says which ones it sent.
    with open(robot.sim_log_path) as f:
        unframeable = {int(n) for n in re.findall(r"numbered record (\d+) cannot be framed", f.read())}
    counts = {}
    for n in received:
        counts[n] = counts.get(n, 0) + 1
    # A frame garbled by noise passes the 8-bit CRC (and the size and end checks) now and then: a
    # changed record inside a noise window is the fault's, and counted as such.
    # Each changed record comes with the last good number before it, which tells when it came.
    garbled = [b for b in bad if allowed(b[1] + 1, ("noise", "reopen")) or allowed(b[1], ("noise", "reopen"))]
    out = {"records checked": 0, "missing": 0, "duplicated": 0, "changed": len(bad) - len(garbled),
           "changed by noise past the CRC": len(garbled), "changed (number, last good before)": bad[:10],
           "lost to faults": 0, "lapped while the client was busy": 0, "doubled by noise": 0, "out of order": 0,
           "unframeable (the end marker inside)": 0,
           "first missing": [], "gaps outside the windows (first number, length, about when)": []}
    gap = []  # consecutive numbers missing outside the fault windows
    # When a number was sent, about: between the marks the windows took (number, wall-clock time).
    marks = sorted({(w["n0"], w["t0"]) for w in windows} | {(w["n1"], w["t1"]) for w in windows})

    def about_when(n):
        before = [m for m in marks if m[0] <= n] or marks[:1]
        after = [m for m in marks if m[0] > n] or marks[-1:]
        (na, ta), (nb, tb) = before[-1], after[0]
        t = ta if nb == na else ta + (tb - ta) * (n - na) / (nb - na)
        return time.strftime("%H:%M:%S", time.localtime(t))

    def close_gap():
        out["missing"] += len(gap)
        out["first missing"] += gap[:10 - len(out["first missing"])] if len(out["first missing"]) < 10 else []
        # Where the client lost records, and when: a loaded machine's stalls line up with what else ran.
        if gap and marks and len(out["gaps outside the windows (first number, length, about when)"]) < 100:
            out["gaps outside the windows (first number, length, about when)"].append(
                (gap[0], len(gap), about_when(gap[0])))
        gap.clear()

    for n in range(first, last):
        c = counts.get(n, 0)
        if n in unframeable and c == 0:
            out["unframeable (the end marker inside)"] += 1
            continue
        if allowed(n, ("noise", "silence", "reopen", "restart")):
            out["lost to faults"] += c == 0
            if c > 1 and allowed(n, ("noise",)):
                out["doubled by noise"] += 1
                continue
        else:
            out["records checked"] += 1
            if c == 0:
                gap.append(n)
                continue
        close_gap()
        out["duplicated"] += c > 1
    close_gap()
    # A client held up for a while is lapped, and the control counts every record it lost so (the
    # ring's record count tells it exactly): they are told apart from the faults' losses, and the
    # soak fails on either.
    lapped = sum(run.get("lapped", 0) for run in robot.clients[0].runs)
    out["lapped while the client was busy"] = min(out["missing"], lapped)
    out["missing"] -= out["lapped while the client was busy"]
    previous = None
    for n in received:
        if previous is not None and n < previous:
            out["out of order"] += 1
        previous = n
    return out


def counted_drops(robot):
    """Commands lost on their way for a reason that is counted: frames the relay's link could not take
    (a Wi-Fi socket not writable within 1 ms: lost by design), and datagrams the robot's full socket
    dropped."""
    relay = sum(int(n) for n in re.findall(r"frames not sent \(the link could not take them\): (\d+)",
                                           robot.relay_text()))
    return relay, robot.socket_drops


def check_commands(robot, arrived, windows):
    """Each client's commands reach the robot once and in order. A command put while the link was
    down (a silence or a reopened line, until the relay is back) may be missing; so may the last
    ones a killed client put after it last wrote its list down."""
    down = [(w["t0"], w["t1"]) for w in windows if w["kind"] in ("silence", "reopen", "restart")]
    out = {"commands checked": 0, "commands missing": 0, "commands duplicated": 0, "lost while the link was down": 0,
           "unrecorded puts of a killed client": 0, "first missing commands (client, time, value)": []}
    for client in robot.clients:
        puts = []
        for run in client.runs:
            puts += [(t, v) for t, v in run["puts"]]
        got = arrived.get(client.channel, [])
        i = 0  # walks the arrivals alongside the puts, in order
        for t, v in puts:
            # The next arrival of this value; what lies before it arrived without being written down.
            j = i
            while j < len(got) and j - i < 5000 and got[j] != v:
                j += 1
            if j < len(got) and got[j] == v:
                out["commands checked"] += 1
                out["unrecorded puts of a killed client"] += j - i
                i = j + 1
                while i < len(got) and got[i] == v:  # the same value twice in a row: a duplicate
                    out["commands duplicated"] += 1
                    i += 1
            elif any(t0 <= t <= t1 for t0, t1 in down):
                out["lost while the link was down"] += 1
            else:
                out["commands checked"] += 1
                out["commands missing"] += 1
                if len(out["first missing commands (client, time, value)"]) < 10:
                    out["first missing commands (client, time, value)"].append((client.channel, round(t, 3), v))
        out["unrecorded puts of a killed client"] += len(got) - i
        if not any(r["killed"] for r in client.runs) and out["unrecorded puts of a killed client"]:
            out["commands duplicated"] += out["unrecorded puts of a killed client"]  # no client was killed
    relay_drops, robot_drops = counted_drops(robot)
    explained = min(out["commands missing"], relay_drops + robot_drops)
    out["frames the relay's link could not take"] = relay_drops
    out["datagrams the robot's full socket dropped"] = robot_drops
    out["commands missing"] -= explained
    out["commands lost to counted drops"] = explained
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--minutes", type=float, default=10.0, help="simulated minutes to run")
    p.add_argument("--scale", type=float, default=1.0, help="TREVASK_TIME_SCALE of every process (1: real time)")
    p.add_argument("--robots", type=int, default=2, help="robots side by side (half over UDP, half over a pty)")
    args = p.parse_args()
    args.build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="trevask-soak-")
    sim_s = lambda seconds: seconds * args.scale  # simulated seconds in wall-clock seconds
    robots = [Robot(args, i, "udp" if i % 2 == 0 else "pty", work) for i in range(args.robots)]
    problems = []
    windows = {r.name: [] for r in robots}
    service = Service(robots, windows, problems, sim_s)
    first_number, last_number = {}, {}
    try:
        for r in robots:
            if not wait_until(lambda r=r: r.connected_count() > 0, sim_s(60) + 10):
                problems.append("%s: the relay never connected" % r.name)
        service.pause(sim_s(10) + 1)  # the clients settle in
        for r in robots:
            r.relay_rss_start = rss_kb(r.relay.pid)
            r.client_rss_start = rss_kb(r.clients[0].proc.pid)  # the first client runs to the end
        first_number = {r.name: r.number() for r in robots}
        end = time.monotonic() + sim_s(args.minutes * 60)
        faults = ["noise", "silence", "reopen", "client"]
        cycle = 0
        while time.monotonic() < end:
            service.pause(sim_s(30))  # a clean stretch
            for r in robots:  # a relay started again is measured from its first clean stretch on
                if r.relay_rss_start is None and r.gave_up is None:
                    r.relay_rss_start = rss_kb(r.relay.pid)
                if not r.client_rss_start:  # a first look that read nothing is taken again
                    r.client_rss_start = rss_kb(r.clients[0].proc.pid)
            fault = faults[cycle % len(faults)]
            cycle += 1
            before = {r.name: r.connected_count() for r in robots}
            lost_before = {r.name: r.lost_count() for r in robots}
            marks = {r.name: (r.number(), time.time()) for r in robots}
            for r in robots:
                if fault == "noise":
                    r.control("faults 10 10 10 10")
                elif fault == "silence":
                    r.control("silent on")
                elif fault == "reopen" and r.transport == "pty":
                    r.control("reopen")
                elif fault == "client":
                    r.clients[1].stop(kill=True)
            service.pause(sim_s(15))
            for r in robots:
                r.control("faults 0 0 0 0")
                r.control("silent off")
                if r.clients[1].proc is None:
                    r.clients[1].start()
            for r in robots:
                lost = r.lost_count() > lost_before[r.name]
                if lost and not wait_until(lambda r=r: r.connected_count() > before[r.name], sim_s(60) + 10, service):
                    problems.append("%s: no reconnect after the %s fault" % (r.name, fault))
            service.pause(sim_s(5))  # the link settles before the window closes
            for r in robots:
                # A line that is cut also loses what was on its way: commands put in the second
                # before a reopened line may be in flight.
                in_flight = sim_s(1) if fault == "reopen" and r.transport == "pty" else 0
                windows[r.name].append({"kind": fault, "n0": marks[r.name][0], "n1": r.number(),
                                        "t0": marks[r.name][1] - in_flight, "t1": time.time()})
        last_number = {r.name: r.number() for r in robots}
        service.pause(sim_s(5))  # the last records reach the clients
        rss_start = {r.name: r.relay_rss_start or 0 for r in robots}
        rss_end = {r.name: rss_kb(r.relay.pid) if r.relay_rss_start else 0 for r in robots}
        client_rss = {r.name: [r.client_rss_start, rss_kb(r.clients[0].proc.pid)] for r in robots}
    finally:
        for r in robots:
            for c in r.clients:
                c.stop()
        # The relays forward what the clients put last (a put lost to a fault never arrives: then
        # the wait ends at its limit).
        wait_until(lambda: all(r.last_command.get(c.channel) == c.runs[-1]["puts"][-1][1]
                               for r in robots for c in r.clients if c.runs and c.runs[-1]["puts"]), sim_s(3))
        for r in robots:
            r.relay.send_signal(signal.SIGTERM)
        for r in robots:
            try:
                r.relay.wait(timeout=60)
            except subprocess.TimeoutExpired:
                r.relay.kill()
                problems.append("%s: the relay did not stop" % r.name)
            if r.relay.returncode not in (0, None) and r.gave_up is None:
                problems.append("%s: the relay exited with %s" % (r.name, r.relay.returncode))
            r.socket_drops = 0
            try:
                r.control("counts")
                r.socket_drops = r.counts.get(timeout=10)
            except Exception:
                problems.append("%s: the robot did not tell what it dropped" % r.name)
            r.control("quit")
            r.sim.wait(timeout=30)
            r.drain.join(timeout=30)
            r.sim_log.close()

    report = {}
    for r in robots:
        with open(r.sim_log_path) as f:
            sim_text = f.read()
        arrived = {}
        for m in COMMAND_RE.finditer(sim_text):
            arrived.setdefault(int(m.group(1), 16), []).append(int(m.group(2), 16) | int(m.group(3), 16) << 8)
        rec = check_records(r, first_number.get(r.name, 0), last_number.get(r.name, 0), windows[r.name])
        cmd = check_commands(r, arrived, windows[r.name])
        images = sum(run["images"] for c in r.clients for run in c.runs)
        voice = sum(run["voice"] for run in r.clients[0].runs)
        report[r.name] = dict(transport=r.transport,
                              windows=[(w["kind"], w["n0"], w["n1"], round(w["t0"], 3), round(w["t1"], 3))
                                       for w in windows[r.name]], **rec, **cmd, pictures=images, voice_segments=voice,
                              losses=r.lost_count(), connects=r.connected_count(),
                              relay_restarts=service.restarts[r.name],
                              commands_not_stored=sum(len(run.get("not_stored", [])) for c in r.clients
                                                      for run in c.runs),
                              relay_rss_kb=[rss_start.get(r.name), rss_end.get(r.name)],
                              client_rss_kb=client_rss.get(r.name))
        if rec["records checked"] == 0 or rec["missing"] or rec["duplicated"] or rec["changed"] or rec["out of order"]:
            problems.append("%s: %d records checked, %d missing, %d duplicated, %d changed, %d out of order"
                            % (r.name, rec["records checked"], rec["missing"], rec["duplicated"], rec["changed"],
                               rec["out of order"]))
        if rec["lapped while the client was busy"]:
            problems.append("%s: the client was lapped by %d records" % (r.name, rec["lapped while the client was busy"]))
        if cmd["commands checked"] == 0 or cmd["commands missing"] or cmd["commands duplicated"]:
            problems.append("%s: %d commands checked, %d missing, %d duplicated"
                            % (r.name, cmd["commands checked"], cmd["commands missing"], cmd["commands duplicated"]))
        if images == 0 or voice == 0:
            problems.append("%s: %d pictures and %d voice segments reached the clients" % (r.name, images, voice))
        start_kb, end_kb = client_rss.get(r.name, [0, 0])
        if not start_kb or not end_kb:
            problems.append("%s: the first client's memory could not be read (%s, %s kB)" % (r.name, start_kb, end_kb))
        elif end_kb - start_kb > 4096:  # a client that keeps what it saw is held up by its own memory
            problems.append("%s: the first client grew by %d kB" % (r.name, end_kb - start_kb))
        if rss_end.get(r.name, 0) - rss_start.get(r.name, 0) > 4096:
            problems.append("%s: the relay grew by %d kB" % (r.name, rss_end[r.name] - rss_start[r.name]))
    left = lambda: [f for f in os.listdir("/dev/shm") if any(f.startswith(r.name) for r in robots)]
    wait_until(lambda: not left(), 0.5)  # the last process to close a section removes it on its way out
    stale = left()
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
