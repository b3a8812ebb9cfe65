"""The Pythonic layer over the control: readings, pictures per control, asyncio, errors, Ctrl-C, the
stub, and the package installed into a fresh virtual environment."""

import asyncio
import ctypes
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import leftover_sections
import talvenor
from test_talvenor import put, section, take_all

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
PACKAGE = os.path.join(ROOT, "bindings", "python")


def put_counted(m, capacity, slots, data):
    """Puts a record as the relay does: it also counts it in the ring's reserved word, by two."""
    put(m, capacity, slots, data)
    struct.pack_into("<I", m, 4, (struct.unpack_from("<I", m, 4)[0] + 2) & 0xFFFFFFFF)


def record(pattern_offset):
    return bytes((pattern_offset + 7 * i + (i & 1) * 0x80) & 0xFF for i in range(50))


class ReadingsTest(unittest.TestCase):
    def setUp(self):
        self.robot = "PyR%d_%s" % (os.getpid(), self._testMethodName[-10:])
        self.ctl = talvenor.Control(self.robot)

    def tearDown(self):
        self.ctl.close()

    def test_readings_are_named_frozen_and_match_the_getters(self):
        self.assertIsNone(self.ctl.standard(), "nothing before the first record")
        sections = [("SensorShareMem_Zembrin", 40, "GetSensorTemperature"), ("McSensorShareMem_Zembrin", 33, None),
                    ("CustomIOShareMem_Zembrin", 37, None)]
        maps = [section(self.robot, suffix, 278) for suffix, _, _ in sections]
        for k, (m, (_, n, _)) in enumerate(zip(maps, sections)):
            put(m, 50, 5, record(11 * k)[:n])
        got = {}
        self.ctl.on("StandardSensorEvent", lambda reading: got.setdefault("standard", reading))
        self.ctl.on("MotorSensorEvent", lambda reading: got.setdefault("motor", reading))
        self.ctl.on("CustomSensorEvent", lambda reading: got.setdefault("custom", reading))
        self.assertTrue(self.ctl.run_until(lambda: len(got) == 3, 60))
        standard, motor, custom = got["standard"], got["motor"], got["custom"]
        self.assertIsInstance(standard, talvenor.StandardReading)
        self.assertEqual(standard, self.ctl.standard())
        readings = {talvenor.StandardReading: standard, talvenor.MotorReading: motor, talvenor.CustomReading: custom}
        checked = 0
        for field in talvenor.readings.FIELD_LIST:  # every field and every view, through its getter too
            reading = readings[talvenor.readings.READING_CLASSES[field.record]]
            if field.getter:
                self.assertEqual(getattr(reading, field.name), getattr(self.ctl, field.getter)(), field.name)
                checked += 1
        self.assertEqual(checked, 73)
        self.assertEqual(motor.encoder_directions, motor.raw[32])
        self.assertLess(standard.human_motion1, 0, "signed words stay signed")
        self.assertEqual(custom.power_path, custom.raw[27])
        self.assertEqual(len(standard.raw), 40)
        with self.assertRaises(Exception):
            standard.sonar1 = 3  # frozen
        volts = talvenor.Scaling({"battery_ad1": (0.5, 1.0)}).apply(standard)
        self.assertEqual(volts["battery_ad1"], standard.battery_ad1 * 0.5 + 1.0)
        for m in maps:
            m.close()

    def test_records_lapped_between_ticks_are_counted(self):
        sensor = section(self.robot, "SensorShareMem_Zembrin", 278)
        for k in range(7):  # seven records while the program does not pump: the ring holds five
            put_counted(sensor, 50, 5, record(k)[:40])
        seen = []
        self.ctl.on("StandardSensorEvent", lambda r: seen.append(r.sonar1))
        self.ctl.run(0.5)
        self.assertEqual(seen, [record(5)[0], record(6)[0]])
        self.assertEqual(self.ctl.lapped()["standard"], 5)
        self.assertEqual(self.ctl.lapped()["motor"], 0)
        sensor.close()

    def test_readings_iterate_every_record_once_in_order_and_end_after_a_quiet_spell(self):
        sensor = section(self.robot, "SensorShareMem_Zembrin", 278)
        motor = section(self.robot, "McSensorShareMem_Zembrin", 278)
        for k in range(4):  # more than a tick would take at once: each comes, none is lapped
            put_counted(sensor, 50, 5, record(k)[:40])
        put_counted(motor, 50, 5, record(9)[:33])
        got = [(type(r).__name__, r.raw[0]) for r in self.ctl.readings(timeout=0.5)]
        self.assertEqual([b for name, b in got if name == "StandardReading"], [record(k)[0] for k in range(4)])
        self.assertEqual([b for name, b in got if name == "MotorReading"], [record(9)[0]])
        self.assertEqual(self.ctl.lapped()["standard"], 0)

        async def main():
            put_counted(sensor, 50, 5, record(20)[:40])
            put_counted(motor, 50, 5, record(21)[:33])
            seen = []
            async for reading in self.ctl.areadings():
                seen.append(reading.raw[0])
                if len(seen) == 2:
                    break
            return seen

        self.assertEqual(sorted(asyncio.run(main())), sorted([record(20)[0], record(21)[0]]))
        sensor.close()
        motor.close()

    def test_leaving_areadings_early_ends_the_loop_quietly(self):
        """``break`` out of areadings() inside asyncio.run(): the pump stops with the loop, and the
        program ends without a word on stderr (no callback left to run on a shut-down executor)."""
        script = textwrap.dedent("""
            import asyncio, sys, talvenor
            ctl = talvenor.Control(sys.argv[1])
            async def main():
                print("ready", flush=True)
                async for reading in ctl.areadings():
                    print(reading.raw[0], flush=True)
                    break
            asyncio.run(main())
        """)
        sensor = section(self.robot, "SensorShareMem_Zembrin", 278)
        child = subprocess.Popen([sys.executable, "-c", script, self.robot], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, env=os.environ)
        try:
            self.assertEqual(child.stdout.readline().strip(), "ready")
            put_counted(sensor, 50, 5, record(30)[:40])  # the control is open: this one is delivered
            out, err = child.communicate(timeout=30)
        finally:
            if child.poll() is None:
                child.kill()
            sensor.close()
        self.assertEqual((child.returncode, out.strip(), err), (0, str(record(30)[0]), ""))

    def test_two_controls_for_two_robots_keep_their_own_pictures(self):
        other = talvenor.Control(self.robot + "B")
        try:
            with open(os.path.join(ROOT, "tests", "data", "camera", "disc.stream"), "rb") as f:
                stream = f.read()
            self.assertFalse(self.ctl.has_picture())
            first = section(self.robot, "ImageShareMem_Zembrin", 60020)
            put(first, 20000, 3, bytes([1, 0, 0]) + len(stream).to_bytes(4, "little") + stream)
            self.assertTrue(self.ctl.run_until(self.ctl.has_picture, 60))
            mine = bytes(self.ctl.image())
            self.assertNotEqual(mine, bytes(76032))
            self.assertFalse(other.has_picture(), "the other robot sent no picture")
            self.assertEqual(bytes(other.image()), bytes(76032))
            # The other robot's picture (a broken stream: the decoder leaves the module's picture as
            # it was, so it differs only in being the other control's own event).
            second = section(self.robot + "B", "ImageShareMem_Zembrin", 60020)
            put(second, 20000, 3, bytes([1, 0, 0]) + (0).to_bytes(4, "little"))
            self.assertTrue(other.run_until(other.has_picture, 60))
            self.assertEqual(bytes(self.ctl.image()), mine, "the first control keeps its own picture")
            first.close()
            second.close()
        finally:
            other.close()

    def test_asyncio_waits_for_events_without_spinning(self):
        sensor = section(self.robot, "SensorShareMem_Zembrin", 278)

        async def main():
            waiting = asyncio.ensure_future(self.ctl.wait_for("StandardSensorEvent", timeout=60))
            await asyncio.sleep(0.05)
            self.assertFalse(waiting.done())
            put(sensor, 50, 5, record(3)[:40])
            reading = await waiting
            got = []
            put(sensor, 50, 5, record(5)[:40])
            async for r in self.ctl.events("StandardSensorEvent"):
                got.append(r)
                break
            return reading, got

        started = time.process_time()
        reading, got = asyncio.run(main())
        self.assertEqual(reading.sonar1, record(3)[0])
        self.assertEqual(got[0].sonar1, record(5)[0])
        self.assertLess(time.process_time() - started, 2.0, "the wait sleeps between timer ticks")
        # These records came without a ring (put as a relay from before the doorbells puts them): the
        # pump told the host so, and the host's rule now has it look at every tick.
        self.assertLessEqual(talvenor._abi.tv_host_ms_until_look(self.ctl.host._handle), 30)
        sensor.close()


    def test_a_control_open_on_a_loop_delivers_there_keeps_order_and_raises_where_awaited(self):
        sensor = section(self.robot, "SensorShareMem_Zembrin", 278)

        async def main():
            async with talvenor.Control(self.robot) as ctl:
                seen = []
                ctl.on("StandardSensorEvent", lambda reading: seen.append(reading.sonar1))
                stream = ctl.events("StandardSensorEvent", maxsize=3)
                first = asyncio.ensure_future(stream.__anext__())
                await asyncio.sleep(0.05)
                for n in range(8):  # while the program sleeps, not consuming the stream
                    put_counted(sensor, 50, 5, record(n)[:40])
                    await asyncio.sleep(0.02)
                await first
                rest = [await stream.__anext__() for _ in range(3)]
                kept = [r.sonar1 for r in rest]

                def broken(_reading):
                    raise RuntimeError("handler failed")

                ctl.on("StandardSensorEvent", broken)
                put_counted(sensor, 50, 5, record(9)[:40])
                with self.assertRaisesRegex(RuntimeError, "handler failed"):
                    await ctl.wait_for("StandardSensorEvent", timeout=60)
                ctl.off("StandardSensorEvent", broken)
                return seen, kept, stream.dropped

        seen, kept, dropped = asyncio.run(main())
        self.assertEqual(seen[:8], [record(n)[0] for n in range(8)], "handlers ran while the program slept")
        self.assertEqual(kept, [record(n)[0] for n in range(5, 8)], "the newest three kept, in order")
        self.assertEqual(dropped, 4, "the older ones dropped and counted")
        sensor.close()


class FailuresTest(unittest.TestCase):
    def test_errors_name_the_robot_and_the_reason(self):
        with self.assertRaises(talvenor.ConnectError) as caught:
            talvenor.Control("\u20ac" * 50)
        self.assertIsInstance(caught.exception, talvenor.Error)
        self.assertIn("at most 29 bytes, as many as a relay serves", str(caught.exception))
        self.assertEqual(caught.exception.robot, "\u20ac" * 50)

        ctl = talvenor.Control()
        with self.assertRaises(TypeError) as t:
            ctl.DcMotorPwmNonTimeCtr(1, "fast")
        self.assertIsInstance(t.exception, talvenor.Error)
        with self.assertRaises(ValueError):
            ctl.on("Teleport", print)
        self.assertEqual(ctl.relay_state(), "no-relay")
        with self.assertRaises(talvenor.NotConnectedError):
            ctl.DcMotorPwmNonTimeCtr(1, 100)  # before connectRobot a command would go nowhere
        ctl.close()
        with self.assertRaises(talvenor.ClosedError) as closed:
            ctl.GetSensorSonar1()
        self.assertIsInstance(closed.exception, ValueError)
        self.assertIn("closed", str(closed.exception))
        with self.assertRaises(talvenor.ClosedError):
            ctl.run(0.1)

    def test_ctrl_c_ends_run_promptly_while_readings_stream_and_stops_the_motors(self):
        """Ctrl-C at many moments while two handlers take a fast stream: each time the program ends
        with KeyboardInterrupt (none is lost in the library) and its motors are stopped on the way
        out: PWM and velocity 0 on every channel, then every motor and servo disabled."""
        script = textwrap.dedent("""
            import sys, talvenor
            seen = []
            with talvenor.Control(sys.argv[1], stop_motors_on_exit=True) as ctl:
                ctl.on("StandardSensorEvent", lambda reading: seen.append(reading.sonar1))
                ctl.on("MotorSensorEvent", lambda: seen.append(ctl.GetMotorCurrent1()))
                ctl.DcMotorPwmNonTimeCtrAll(100, 100, 100, 100, 100, 100)
                print("running", flush=True)
                ctl.run(10000)
        """)
        for moment in range(12):
            robot = "PyC%d_%d" % (os.getpid(), moment)
            child = subprocess.Popen([sys.executable, "-c", script, robot], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=os.environ)
            try:
                self.assertEqual(child.stdout.readline().strip(), "running")
                commands = section(robot, "McCommandsShareMem_Zembrin", 2696)
                rings = [section(robot, "SensorShareMem_Zembrin", 278), section(robot, "McSensorShareMem_Zembrin", 278)]
                stop_at = time.monotonic() + 0.02 + 0.025 * moment  # a new moment each time
                while time.monotonic() < stop_at:
                    for ring in rings:
                        put_counted(ring, 50, 5, record(moment))
                    time.sleep(0.001)  # the robot's pace: a record a millisecond
                child.send_signal(signal.SIGINT)
                sent = time.monotonic()
                while child.poll() is None and time.monotonic() - sent < 5:
                    for ring in rings:
                        put_counted(ring, 50, 5, record(moment))
                    time.sleep(0.001)  # the robot's pace, on until the program has ended
                _, err = child.communicate(timeout=30)
            finally:
                if child.poll() is None:
                    child.kill()
            self.assertNotEqual(child.returncode, 0, "moment %d: the program ended by the interrupt" % moment)
            self.assertIn("KeyboardInterrupt", err)
            self.assertNotIn("Exception ignored", err)
            records, _ = take_all(commands, 80, 32, 0)
            for ring in rings:
                ring.close()
            commands.close()
        frames = [(r[4], bytes(r[6:6 + r[5]])) for r in records if len(r) > 7]
        stops = frames[-14:]  # what the way out sent, after the run's own commands
        self.assertEqual(stops[0], (0x06, bytes(12)), "PWM 0 on all six motors first")
        self.assertEqual(stops[1], (0x1B, bytes(12)), "then velocity 0 on all six")
        for channel in range(6):
            self.assertIn((0x1E, bytes([0x00, channel])), stops, "DC motor %d disabled" % channel)
            self.assertIn((0x1E, bytes([0x00, channel + 6])), stops, "servo %d disabled" % channel)


class PackageTest(unittest.TestCase):
    # What `import talvenor` offers, with the module each object names as its own (tracebacks, help()
    # and pickles show it): programs rely on these, wherever inside the package they are made.
    PUBLIC = {
        "talvenor": ["ArgumentError", "ArgumentRangeError", "ArgumentTypeError", "ArgumentValueError",
                     "ClosedError", "ConnectError", "Control", "Error", "FileError", "Host", "NotConnectedError",
                     "TalvenorError", "default_host", "members", "run", "served_robots"],
        "talvenor.readings": ["CustomReading", "MotorReading", "Scaling", "StandardReading"],
        "talvenor._library": ["load_library"],
        None: ["BYTE", "FIELD_LIST", "READING_CLASSES", "TV_ADDRESS", "TV_BOOL", "TV_BUFFER", "TV_EMPTY", "TV_LONG",
               "TV_SHORT", "TV_STRING", "WORD"],
    }
    ALL = ["Control", "Host", "Error", "TalvenorError", "ConnectError", "ClosedError", "NotConnectedError",
           "ArgumentError", "FileError", "served_robots", "StandardReading", "MotorReading", "CustomReading",
           "Scaling", "run", "members", "default_host"]

    def test_the_public_face_is_the_same_names_from_the_same_modules(self):
        objects = {n: getattr(talvenor, n) for n in dir(talvenor) if not n.startswith("_")}
        modules = {n for n, o in objects.items() if isinstance(o, type(os))}
        self.assertEqual({n for n in modules if objects[n].__name__.startswith("talvenor.")}, {"readings"},
                         "no module of the package's own is public but readings")
        got = {}
        for name in sorted(set(objects) - modules):
            got.setdefault(getattr(objects[name], "__module__", None) if callable(objects[name]) else None,
                           []).append(name)
        self.assertEqual(got, self.PUBLIC)
        self.assertEqual(talvenor.__all__, self.ALL)

    def test_the_stub_is_in_step_with_the_table(self):
        out = subprocess.run([sys.executable, os.path.join(PACKAGE, "make_stub.py"), "--check"],
                             capture_output=True, text=True)
        self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        self.assertTrue(os.path.exists(os.path.join(PACKAGE, "talvenor", "py.typed")))
        self.assertTrue(talvenor.__version__)

    def test_copies_of_the_library_structures_of_another_size_fail_the_import_by_name(self):
        """A copy of a structure the library does not have (a field added on one side only), or a
        library too old to tell its sizes, is an ImportError naming it; the package as it is imports."""
        from talvenor import _abi
        cases = [("as it is", None, None, None)]
        for name, copy in _abi.MIRRORED.items():
            grown = type("Grown", (ctypes.Structure,), {"_fields_": [("extra", ctypes.c_int64)] + copy._fields_})
            cases.append((name, r"(class %s\(ctypes\.Structure\):\n    _fields_ = \[)" % copy.__name__,
                          r'\1("extra", ctypes.c_int64), ',
                          "'s %s is %d bytes, this talvenor package's copy of it %d: "
                          % (name, ctypes.sizeof(copy), ctypes.sizeof(grown))))
        cases.append(("older library", r'"tv_struct_size"', '"tv_struct_size_of"',
                      "has no tv_struct_size_of: it is older than this talvenor package"))
        with tempfile.TemporaryDirectory() as where:
            for what, pattern, replacement, expected in cases:
                with self.subTest(what):
                    package = os.path.join(where, what.replace(" ", "_"), "talvenor")
                    shutil.copytree(os.path.join(PACKAGE, "talvenor"), package,
                                    ignore=shutil.ignore_patterns("__pycache__"))
                    if pattern is not None:
                        path = os.path.join(package, "_abi.py")
                        with open(path) as f:
                            text, count = re.subn(pattern, replacement, f.read())
                        self.assertEqual(count, 1, what)
                        with open(path, "w") as f:
                            f.write(text)
                    env = dict(os.environ, PYTHONPATH=os.path.dirname(package))
                    out = subprocess.run([sys.executable, "-c", "import talvenor; print(talvenor.__file__)"],
                                         capture_output=True, text=True, env=env)
                    if expected is None:
                        self.assertEqual(out.returncode, 0, out.stderr)
                        self.assertTrue(out.stdout.startswith(package), out.stdout)
                    else:
                        self.assertNotEqual(out.returncode, 0, what)
                        last = out.stderr.strip().splitlines()[-1]
                        self.assertTrue(last.startswith("ImportError: " + os.environ["TALVENOR_LIBRARY"]), last)
                        self.assertIn(expected, last)

    @unittest.skipUnless(shutil.which("python3"), "needs python3")
    def test_installs_into_a_fresh_virtual_environment_offline(self):
        with tempfile.TemporaryDirectory() as where:
            venv = os.path.join(where, "venv")
            made = subprocess.run([sys.executable, "-m", "venv", venv], capture_output=True, text=True)
            if made.returncode != 0:
                self.skipTest("no venv module: " + made.stderr[-200:])
            python = os.path.join(venv, "bin", "python")
            env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TALVENOR_LIBRARY")}
            env["TALVENOR_BUILD_LIBRARY"] = os.environ.get("TALVENOR_LIBRARY", "")
            install = subprocess.run([python, "-m", "pip", "install", "--no-index", "--quiet", PACKAGE],
                                     capture_output=True, text=True, env=env, cwd=where)
            self.assertEqual(install.returncode, 0, install.stdout + install.stderr)
            env.pop("TALVENOR_BUILD_LIBRARY")
            check = subprocess.run([python, "-c", "import talvenor, sys; c = talvenor.Control(); "
                                    "print(talvenor.__version__, talvenor.__file__); c.close()"],
                                   capture_output=True, text=True, env=env, cwd=where)
            self.assertEqual(check.returncode, 0, check.stderr)
            self.assertIn(venv, check.stdout, "imported from the environment, not the checkout")
            with open(os.path.join(ROOT, "VERSION")) as f:
                version = f.read().strip()
            self.assertTrue(check.stdout.startswith(version + " "), "the project's one version: " + check.stdout)

            # An editable install uses the package where it lies.
            editable = os.path.join(where, "editable")
            subprocess.run([sys.executable, "-m", "venv", editable], check=True, capture_output=True)
            python = os.path.join(editable, "bin", "python")
            install = subprocess.run([python, "-m", "pip", "install", "--no-index", "--quiet", "-e", PACKAGE],
                                     capture_output=True, text=True, env=env, cwd=where)
            self.assertEqual(install.returncode, 0, install.stdout + install.stderr)
            env["TALVENOR_LIBRARY"] = os.environ.get("TALVENOR_LIBRARY", "")
            check = subprocess.run([python, "-c", "import talvenor; print(talvenor.__version__, talvenor.__file__)"],
                                   capture_output=True, text=True, env=env, cwd=where)
            self.assertEqual(check.returncode, 0, check.stderr)
            self.assertIn(os.path.join(PACKAGE, "talvenor"), check.stdout, "imported from the checkout")
            self.assertTrue(check.stdout.startswith(version + " "), check.stdout)


def tearDownModule():
    leftover_sections.remove()


if __name__ == "__main__":
    unittest.main()
