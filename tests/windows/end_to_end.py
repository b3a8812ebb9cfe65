#!/usr/bin/env python3
"""The Windows relay under wine with the simulated robot of this machine, end to end.

For each link (UDP on 127.0.0.1, and a pseudo-terminal given to wine as a COM port): trevask.exe
connects to robot-sim; a client in the same wine prefix (trevask-sections.exe) turns the standard
sensor stream on, takes readings, and puts numbered motor commands, which must reach the robot once
each and in order. Then a client of talvenorctl.dll's C interface (abi_client.exe) takes readings,
puts commands and takes a photo, whose decoded picture must be the very one this machine's control
decodes from the same robot. Over UDP, the control is then registered with regsvr32 and the
VBScript and JScript tours run in the system's script engines (script_host.exe): their readings,
the motor's speed, the photo and the voice segment must come, and their commands reach the robot
once each and in order, and the control, in place in the smallest container (container.exe), paints
the photo it decoded pixel for pixel. Last, the relay's dialog (trevask-dialog.exe) under a virtual display is
driven through its controls (dialog_driver.exe): Wi-Fi, the robot's address and port, Connect; the
status text, the bar, the link icon; Disconnect; closing. TREVASK_SCREENSHOTS=DIR keeps a picture
of the connected dialog there as dialog-windows.png. Then the dialog's stops: with the link's box
up (a COM port that is not there), Disconnect and closing each end within 3 s; and closing during a
firmware upload (over a pseudo-terminal as COM9, to a board that never answers) ends within 3 s.

    end_to_end.py WINDOWS_BUILD_DIR LINUX_BUILD_DIR [--dialog-stops]   (--dialog-stops: those alone)
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import zlib


def crc8(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8C if crc & 1 else crc >> 1
    return crc


def frame(dest, data_type, payload):
    body = bytes([dest, 0, data_type, len(payload)]) + bytes(payload)
    return bytes([0x5E, 0x02]) + body + bytes([crc8(body), 0x5E, 0x0D])


def hex_of(data):
    return " ".join("%02X" % b for b in data)


ENABLE_STANDARD_SENSORS = frame(1, 0x7D, [0xFF])
# DcMotorPwm on channel 0 with the values 1..20: the robot logs each frame it receives.
COMMANDS = [frame(1, 0x05, [0, n, 0]) for n in range(1, 21)]


def wait_for(predicate, limit, what):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.1)  # the poll's pace
    raise AssertionError("timed out waiting for " + what)


def stop(*processes):
    for p in processes:
        if p is not None:
            p.terminate()
            p.wait()


def start_robot(robot_sim, sim_args, sim_log):
    return subprocess.Popen([robot_sim] + sim_args + ["--duration", "60000"], stdout=open(sim_log, "w"),
                            stderr=subprocess.STDOUT)


def reference_photo(linux, work):
    """The first photo of a fresh simulated robot, as this machine's relay and control deliver it."""
    sim_log = os.path.join(work, "reference-sim.log")
    sim = start_robot(os.path.join(linux, "sim", "robot-sim"), ["--udp", "127.0.0.1:0"], sim_log)
    relay = None
    try:
        wait_for(lambda: "ready on" in open(sim_log).read(), 10, "robot-sim")
        port = re.search(r"ready on udp 127\.0\.0\.1:(\d+)", open(sim_log).read()).group(1)
        robot = "Ref%d" % os.getpid()
        relay = subprocess.Popen([os.path.join(linux, "relay", "app", "trevask"), "--wifi", "127.0.0.1", "--port",
                                  port, "--robot", robot], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        photo = os.path.join(work, "reference.rgb")
        subprocess.run([os.path.join(linux, "tests", "abi_client"), robot, photo], check=True, timeout=60)
        return open(photo, "rb").read()
    finally:
        stop(relay, sim)


def windows_path(path):
    """A Unix path as wine's programs read it (a bare Unix path is taken for a switch)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def module_bits(path):
    """32 or 64, from the machine field of a Windows module's header."""
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = int.from_bytes(data[0x3C:0x40], "little")
    return 64 if int.from_bytes(data[pe + 4:pe + 6], "little") == 0x8664 else 32


# The frames of the tours' commands, in their order (DcMotorPwmNonTimeCtr 300, then 0).
TOUR_COMMANDS = ["SetSysAllSensorPeriod", "EnableStandardSensorSending", "EnableMotorSensorSending", "ResumeDcMotor",
                 "DcMotorPwmNonTimeCtr 00 2C 01", "DcMotorPwmNonTimeCtr 00 00 00", "TakePhoto", "StartRecord",
                 "StopRecord", "DisableAllSensorSending"]


def run_tours(build, env, robot, work, sim_log):
    """The VBScript and JScript tours against the registered control, as cscript would run them."""
    module = os.path.join(build, "control", "talvenorctl.dll")
    # Debian's wine runs the system's tools as 32-bit programs: the 64-bit module needs wine64.
    regsvr32 = (["/usr/lib/wine/wine64"] if module_bits(module) == 64 else ["wine"]) + ["regsvr32", "/s"]
    subprocess.run(regsvr32 + [windows_path(module)], env=env, check=True, timeout=120)
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "scripts")

    def received():
        out = []
        for line in open(sim_log).read().splitlines():
            m = re.match(r"robot-sim: received (\w+) \(dest \d, type 0x..\): (.*)$", line)
            if m:
                payload = " ".join(m.group(2).split()[6:-3])  # after the length byte, before the CRC
                out.append(m.group(1) + (" " + payload if m.group(1) == "DcMotorPwmNonTimeCtr" else ""))
        return out
    try:
        for script in ("robot_tour.vbs", "robot_tour.js"):
            folder = os.path.join(work, script.replace(".", "-"))
            os.makedirs(folder)
            before = len(received())
            run = subprocess.run(["wine", os.path.join(build, "control", "script_host.exe"),
                                  windows_path(os.path.join(source, script)), robot, windows_path(folder)],
                                 env=env, capture_output=True, text=True, timeout=180)
            out = run.stdout
            assert run.returncode == 0 and out.rstrip().endswith("done"), "%s: %s %s" % (script, out, run.stderr)
            assert len([line for line in out.splitlines() if line.startswith("sonar 1: ")]) == 5, out
            assert int(re.search(r"encoder 1 speed: (\d+)", out).group(1)) > 0, out
            photo = os.path.join(folder, "photo.bmp")
            assert "photo saved as" in out and open(photo, "rb").read(2) == b"BM" and \
                os.path.getsize(photo) == 54 + 176 * 144 * 3, out
            assert re.search(r"a voice segment of [1-9]\d* bytes", out), out
            wait_for(lambda: received()[before:][-1:] == ["DisableAllSensorSending"], 30, "the tour's last command")
            time.sleep(1)  # anything sent twice would arrive meanwhile
            assert received()[before:] == TOUR_COMMANDS, "%s: at the robot %r" % (script, received()[before:])
            print("udp: %s in the script engine: readings, the motor, a photo, a voice segment; %d commands at the "
                  "robot once each and in order" % (script, len(TOUR_COMMANDS)))
        run_container(build, env, robot)
    finally:
        subprocess.run(regsvr32 + ["/u", windows_path(module)], env=env, timeout=120)


def png_from_bmp(bmp_path, png_path):
    """A 24-bit bottom-up BMP as a PNG file, for the README."""
    data = open(bmp_path, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = data[offset + y * stride: offset + y * stride + width * 3]
        rows.append(b"\0" + bytes(c for i in range(0, len(row), 3) for c in (row[i + 2], row[i + 1], row[i])))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    with open(png_path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


def start_display():
    """A virtual display for the programs with windows; its number, and the server."""
    display = ":%d" % (90 + os.getpid() % 500)
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for(lambda: os.path.exists("/tmp/.X11-unix/X" + display[1:]) or xvfb.poll() is not None, 30,
             "the virtual display")
    assert xvfb.poll() is None, "Xvfb ended at once on display " + display
    return display, xvfb


def run_container(build, env, robot):
    """The control in the smallest container: in place, its painted picture against the decoded one."""
    run = subprocess.run(["wine", os.path.join(build, "control", "container.exe"), robot], env=env,
                         capture_output=True, text=True, timeout=180)
    assert run.returncode == 0, "the container: %s %s" % (run.stdout, run.stderr)
    print("udp: container.exe: %d checks hold: in place, the painted picture pixel for pixel, the property page, "
          "the saved state" % run.stdout.count("ok: "))


def run_dialog(build, env, port, work):
    """The relay's dialog, driven through its controls."""
    dialog = None
    try:
        dialog = subprocess.Popen(["wine", os.path.join(build, "relay", "app", "trevask-dialog.exe")], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        picture = os.path.join(work, "dialog.bmp")
        run = subprocess.run(["wine", os.path.join(build, "tests", "windows", "dialog_driver.exe"),
                              "Dlg%d" % os.getpid(), port,
                              windows_path(os.path.join(build, "tools", "trevask-sections.exe")),
                              windows_path(picture)],
                             env=env, capture_output=True, text=True, timeout=180)
        assert run.returncode == 0, "the dialog: %s %s" % (run.stdout, run.stderr)
        dialog.wait(timeout=30)
        dialog = None
        print("udp: trevask-dialog.exe: %d checks of its controls hold, from Connect to closing" %
              run.stdout.count("ok: "))
        if os.environ.get("TREVASK_SCREENSHOTS"):
            png_from_bmp(picture, os.path.join(os.environ["TREVASK_SCREENSHOTS"], "dialog-windows.png"))
    finally:
        stop(dialog)


def run_dialog_stops(build, robot_sim, env, work):
    """The dialog's Disconnect and closing with the link's box up, and closing during an upload."""
    def drive(args, cwd):
        dialog = subprocess.Popen(["wine", os.path.join(build, "relay", "app", "trevask-dialog.exe")], env=env,
                                  cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            run = subprocess.run(["wine", os.path.join(build, "tests", "windows", "dialog_driver.exe")] + args,
                                 env=env, capture_output=True, text=True, timeout=180)
            assert run.returncode == 0, "the dialog's stops: %s %s" % (run.stdout, run.stderr)
            dialog.wait(timeout=30)
            dialog = None
            return run.stdout
        finally:
            stop(dialog)

    # The virtual display has no window manager: wine would wait 2 s for one at every window it hides.
    subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/t", "REG_SZ", "/d", "N",
                    "/f"], env=env, check=True, capture_output=True, timeout=120)
    try:
        run_dialog_stops_unmanaged(drive, robot_sim, env, work)
    finally:
        subprocess.run(["wine", "reg", "delete", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/f"], env=env,
                       capture_output=True, timeout=120)


def run_dialog_stops_unmanaged(drive, robot_sim, env, work):
    """The two scenarios, each with a dialog of its own."""
    out = drive(["--box", "Dlb%d" % os.getpid()], work)
    print("trevask-dialog.exe: %d checks hold with the link's box up (%s)" %
          (out.count("ok: "), [line for line in out.splitlines() if "took" in line][0]))
    com = os.path.join(env["WINEPREFIX"], "dosdevices", "com9")
    if os.path.lexists(com):
        os.remove(com)
    sim_log = os.path.join(work, "stops-sim.log")
    sim = start_robot(robot_sim, ["--pty", com, "--firmware-silent"], sim_log)
    try:
        wait_for(lambda: "ready on" in open(sim_log).read(), 10, "robot-sim")
        with open(os.path.join(work, "robot.hex"), "w") as hex_file:
            hex_file.write("S00600004844521B\nS9030000FC\n")
        out = drive(["--upload", "Dlu%d" % os.getpid(), "COM9", windows_path(sim_log)], work)
        print("trevask-dialog.exe: %d checks hold closing during a firmware upload (%s)" %
              (out.count("ok: "), [line for line in out.splitlines() if "took" in line][0]))
    finally:
        stop(sim)


def run_link(build, robot_sim, env, link, work, reference):
    robot = "E2E%d%s" % (os.getpid(), link)
    sim_log = os.path.join(work, link + "-sim.log")
    relay_log = os.path.join(work, link + "-relay.log")
    if link == "udp":
        sim_args = ["--udp", "127.0.0.1:0"]
    else:
        com = os.path.join(env["WINEPREFIX"], "dosdevices", "com9")
        if os.path.lexists(com):
            os.remove(com)
        sim_args = ["--pty", com]
    sim = start_robot(robot_sim, sim_args, sim_log)
    relay = None
    try:
        wait_for(lambda: "ready on" in open(sim_log).read(), 10, "robot-sim")
        if link == "udp":
            port = re.search(r"ready on udp 127\.0\.0\.1:(\d+)", open(sim_log).read()).group(1)
            relay_args = ["--wifi", "127.0.0.1", "--port", port]
        else:
            relay_args = ["--serial", "COM9"]
        relay = subprocess.Popen(["wine", os.path.join(build, "relay", "app", "trevask.exe")] + relay_args +
                                 ["--robot", robot], stdout=open(relay_log, "w"), stderr=subprocess.STDOUT,
                                 env=env)
        wait_for(lambda: "Connected" in open(relay_log).read(), 60, "the relay to connect")
        sections = os.path.join(build, "tools", "trevask-sections.exe")
        # Commands put before the relay's link is up are not sent: ask again until readings come.
        for attempt in range(5):
            put = ["wine", sections, "--robot", robot, "--put-command", hex_of(ENABLE_STANDARD_SENSORS)]
            subprocess.run(put, env=env, check=True, timeout=60)
            readings = subprocess.run(["wine", sections, "--robot", robot, "--sections", "sensor", "--count", "3",
                                       "--timeout", "5000"], env=env, capture_output=True, text=True, timeout=90)
            got = [line for line in readings.stdout.splitlines()
                   if line.startswith("SensorShareMem_Zembrin len=40:")]
            if readings.returncode == 0 and len(got) == 3:
                break
        assert len(got) == 3, "readings: %r %r" % (readings.stdout, readings.stderr)
        put = ["wine", sections, "--robot", robot]
        for c in COMMANDS:
            put += ["--put-command", hex_of(c)]
        subprocess.run(put, env=env, check=True, timeout=60)
        wanted = [hex_of(c) for c in COMMANDS]

        def arrived():
            return [line.rsplit("): ", 1)[1] for line in open(sim_log).read().splitlines()
                    if line.startswith("robot-sim: received DcMotorPwm")]
        wait_for(lambda: len(arrived()) >= len(wanted), 30, "the commands at the robot")
        time.sleep(1)  # anything sent twice would arrive meanwhile
        assert arrived() == wanted, "commands at the robot: %r" % arrived()
        print("%s: 3 readings at the client, %d commands at the robot once each and in order" % (link, len(wanted)))

        photo = os.path.join(work, link + ".rgb")
        subprocess.run(["wine", os.path.join(build, "control", "abi_client.exe"), robot, photo], env=env, check=True,
                       timeout=120)
        wanted += [hex_of(frame(1, 0x05, [0, n, 0])) for n in range(31, 36)]
        wait_for(lambda: len(arrived()) >= len(wanted), 30, "the control's commands at the robot")
        time.sleep(1)  # anything sent twice would arrive meanwhile
        assert arrived() == wanted, "commands at the robot: %r" % arrived()
        assert open(photo, "rb").read() == reference, "the photo decoded under wine differs from this machine's"
        print("%s: talvenorctl.dll: readings, 5 commands once each and in order, the photo bit-exact" % link)
        if link == "udp":
            run_tours(build, env, robot, work, sim_log)
            stop(relay)  # the dialog's relay talks to the robot alone
            relay = None
            run_dialog(build, env, port, work)
            run_dialog_stops(build, robot_sim, env, work)
    except Exception:
        for path in (sim_log, relay_log):
            if os.path.exists(path):
                sys.stderr.write("--- %s\n%s" % (path, open(path).read()))
        raise
    finally:
        stop(relay, sim)


def main():
    build, linux = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    env = dict(os.environ, WINEDEBUG="-all", TREVASK_TIME_SCALE="1")
    env.setdefault("WINEPREFIX", os.path.join(build, "wine-prefix"))
    # Every program of the prefix shares one desktop: the first to start it must find the display.
    subprocess.run(["wineserver", "-k"], env=env)
    display, xvfb = start_display()
    env["DISPLAY"] = display
    try:
        with tempfile.TemporaryDirectory() as work:
            if "--dialog-stops" in sys.argv[3:]:
                run_dialog_stops(build, os.path.join(linux, "sim", "robot-sim"), env, work)
                return
            reference = reference_photo(linux, work)
            for link in ("udp", "serial"):
                run_link(build, os.path.join(linux, "sim", "robot-sim"), env, link, work, reference)
        subprocess.run(["wineserver", "-k"], env=env)
    finally:
        stop(xvfb)


if __name__ == "__main__":
    main()
