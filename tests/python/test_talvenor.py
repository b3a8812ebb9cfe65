"""The Python package against the real library, and end to end with the relay and the simulated robot."""

import mmap
import os
import re
import signal
import struct
import subprocess
import tempfile
import time
import unittest

import leftover_sections
import talvenor

RELAY = os.environ.get("TREVASK_BIN")
SIM = os.environ.get("ROBOT_SIM_BIN")


def section(robot, suffix, size):
    """Maps a section as an outside tool would, by its public name."""
    fd = os.open("/dev/shm/" + robot + suffix, os.O_RDWR)
    try:
        return mmap.mmap(fd, size)
    finally:
        os.close(fd)


def put(m, capacity, slots, record):
    head = struct.unpack_from("<I", m, 0)[0]
    off = 8 + head * (capacity + 4)
    struct.pack_into("<I", m, off, len(record))
    m[off + 4:off + 4 + len(record)] = record
    struct.pack_into("<I", m, 0, (head + 1) % slots)


def take_all(m, capacity, slots, index):
    out = []
    head = struct.unpack_from("<I", m, 0)[0]
    while index != head:
        off = 8 + index * (capacity + 4)
        n = struct.unpack_from("<I", m, off)[0]
        out.append(bytes(m[off + 4:off + 4 + n]))
        index = (index + 1) % slots
    return out, index


class TableTest(unittest.TestCase):
    def test_methods_properties_and_events_come_from_the_table(self):
        kinds = [k for k, _, _ in talvenor.members()]
        self.assertEqual(kinds.count("method"), 151)
        self.assertEqual(kinds.count("property"), 5)  # and RelayState, read-only
        self.assertEqual(kinds.count("event"), 5)
        self.assertEqual(talvenor.Control.dispid("GetBat1Vol"), 145)
        self.assertEqual(talvenor.Control.dispid("getcustomad1"), 76)
        with self.assertRaises(AttributeError):
            talvenor.Control.dispid("Fly")

    def test_help_is_useful(self):
        doc = talvenor.Control.DcMotorPwmNonTimeCtr.__doc__
        self.assertIn("DcMotorPwmNonTimeCtr(channel: short, cmdValue: short) -> None", doc)
        self.assertIn("DISPID 34", doc)
        import inspect
        sig = inspect.signature(talvenor.Control.DcMotorPwmNonTimeCtr)
        self.assertIs(sig.parameters["channel"].annotation, int, "real Python types, not names")
        self.assertEqual(list(inspect.signature(talvenor.Control.DcMotorPwmNonTimeCtr).parameters),
                         ["self", "channel", "cmdValue"])
        doc = talvenor.Control.GetBat1Vol.__doc__
        self.assertEqual(doc.lower().count("same operation as getcustomad1"), 1, doc)
        self.assertIn("signed word -32768..32767", doc)
        self.assertIn("byte 0..255", talvenor.Control.GetSensorSonar1.__doc__)
        self.assertIn("counted from 0", talvenor.Control.DcMotorPwmNonTimeCtr.__doc__)
        for name, *_ in [m[2:] for m in talvenor.members() if m[0] == "method"]:
            self.assertTrue(getattr(talvenor.Control, name).__doc__, name)


class ControlTest(unittest.TestCase):
    def setUp(self):
        self.robot = "Py%d_%s" % (os.getpid(), self._testMethodName[-12:])
        self.ctl = talvenor.Control()
        self.ctl.connectRobot(self.robot)
        self.commands = section(self.robot, "McCommandsShareMem_Zembrin", 2696)
        self.read = struct.unpack_from("<I", self.commands, 0)[0]

    def tearDown(self):
        self.ctl.close()
        self.commands.close()

    def command_records(self):
        records, self.read = take_all(self.commands, 80, 32, self.read)
        return records

    def test_arguments_are_checked_like_python_arguments(self):
        with self.assertRaisesRegex(TypeError, r"takes 2 arguments \(channel, cmdValue\), 3 given"):
            self.ctl.DcMotorPwmNonTimeCtr(1, 2, 3)
        with self.assertRaisesRegex(TypeError, "missing argument 'cmdValue'"):
            self.ctl.DcMotorPwmNonTimeCtr(1)
        with self.assertRaisesRegex(TypeError, "must be an integer, not str"):
            self.ctl.DcMotorPwmNonTimeCtr(1, "fast")
        # Every channel and value against the range of its family, from the control's table.
        for call, args, message in [
                ("DcMotorPwmNonTimeCtr", (1, 40000), "argument 'cmdValue' is 40000, outside -32768..32767: PWM"),
                ("DcMotorPwmNonTimeCtr", (300, 100), "argument 'channel' is 300, outside 0..5: DC motor channel"),
                ("DcMotorPwmNonTimeCtr", (-1, 100), "argument 'channel' is -1, outside 0..5"),
                ("DcMotorPwmNonTimeCtr", (6, 100), "argument 'channel' is 6, outside 0..5"),
                ("servoNonTimeCtr", (6, 0), "outside 0..5: servo channel"),
                ("GetSensorSonar", (9,), "argument 'channel' is 9, outside 0..5: sonar channel"),
                ("GetSensorPot", (0,), "outside 1..6: potentiometer channel, counted from 1"),
                ("GetCustomAD", (8,), "outside 0..7"),
                ("SystemStandardSensorRequest", (256,), "outside 0..255: number of packets")]:
            with self.assertRaisesRegex(OverflowError, message):
                getattr(self.ctl, call)(*args)
        with self.assertRaisesRegex(TypeError, "must be a string"):
            self.ctl.PlayAudioFile(5)
        with self.assertRaises(AttributeError):
            self.ctl.Fly()
        self.assertEqual(self.command_records(), [])
        self.ctl.DcMotorPwmNonTimeCtr(channel=2, cmdValue=300)
        self.assertEqual(self.command_records(), [bytes.fromhex("5E020100050302 2C01".replace(" ", "")) +
                                                  self.command_records_crc(b"\x01\x00\x05\x03\x02\x2c\x01")])

    @staticmethod
    def command_records_crc(body):
        crc = 0
        for b in body:
            crc ^= b
            for _ in range(8):
                crc = (crc >> 1) ^ 0x8C if crc & 1 else crc >> 1
        return bytes([crc, 0x5E, 0x0D])

    def test_properties_are_attributes(self):
        self.assertFalse(self.ctl.modified)
        self.ctl.testStr = "hello"
        self.assertEqual(self.ctl.testStr, "hello")
        self.assertTrue(self.ctl.modified)
        self.ctl.test = 7
        self.assertEqual(self.ctl.test, 7)
        self.ctl.robotname = "any case works"
        self.assertEqual(self.ctl.robotName, "any case works")
        with self.assertRaises(TypeError):
            self.ctl.test = "seven"
        with self.assertRaises(AttributeError):
            self.ctl.TakePhoto = 3
        self.assertEqual(self.ctl.RelayState, 0)
        with self.assertRaises(AttributeError):
            self.ctl.RelayState = 3

    def test_events_getters_and_voice(self):
        sensor = section(self.robot, "SensorShareMem_Zembrin", 278)
        audio = section(self.robot, "AudioShareMem_Zembrin", 990020)
        seen = []
        self.ctl.on("standardsensorevent", lambda: seen.append(("standard", self.ctl.GetSensorHumanMotion1())))
        self.ctl.on("VoiceSegmentEvent", lambda: seen.append(("voice", self.ctl.VoiceSegmentLength)))
        record = bytearray(40)
        record[6:8] = b"\x05\x01"
        put(sensor, 50, 5, bytes(record))
        put(audio, 330000, 3, bytes(range(256)) * 16)
        self.assertTrue(self.ctl.run_until(lambda: len(seen) == 2, 60))
        self.assertEqual(seen, [("standard", 261), ("voice", 4096)])
        buf = bytearray(5000)
        self.assertEqual(self.ctl.GetVoiceData(buf), 4096)
        self.assertEqual(bytes(buf[:256]), bytes(range(256)))
        self.assertEqual(self.ctl.voice_segment(), bytes(range(256)) * 16)
        with self.assertRaisesRegex(TypeError, "writable"):
            self.ctl.GetVoiceData(b"readonly")
        with self.assertRaisesRegex(ValueError, "no event"):
            self.ctl.on("Explosion", print)
        sensor.close()
        audio.close()

    def test_a_failing_handler_raises_on_the_pumping_thread(self):
        sensor = section(self.robot, "SensorShareMem_Zembrin", 278)

        def broken():
            raise RuntimeError("handler failed")

        self.ctl.on("StandardSensorEvent", broken)
        put(sensor, 50, 5, bytes(40))
        with self.assertRaisesRegex(RuntimeError, "handler failed"):
            self.ctl.run_until(lambda: False, 60)
        sensor.close()

    def test_files_that_will_not_do_raise_before_anything_is_sent(self):
        """A file a method names is checked before the call: a missing sound, a file that is no WAV,
        an LCD picture that is no 128 x 64 monochrome BMP, a photo for a folder that is not there:
        each raises talvenor.FileError naming the method and the path, and nothing is sent."""
        with tempfile.TemporaryDirectory() as d:
            not_bmp = os.path.join(d, "text.bmp")
            with open(not_bmp, "wb") as f:
                f.write(b"XX" + bytes(1100))
            cases = [("PlayAudioFile", os.path.join(d, "nonexistent.wav"), "no such file"),
                     ("PlayAudioFile", "/etc/passwd", "not a WAV file"),
                     ("LcdDisplayVCB", "/etc/passwd", "is too short"),
                     ("LcdDisplayVCS", not_bmp, "Not a BMP file. Image Size is not correct."),
                     ("SavePhotoAsBMP", os.path.join(d, "missing", "photo.bmp"), "does not exist")]
            for method, path, reason in cases:
                with self.assertRaisesRegex(talvenor.FileError, "%s\\(\\).*%s" % (method, reason)):
                    getattr(self.ctl, method)(path)
            self.assertEqual(self.command_records(), [])
            # A relative path names a file of the program's folder, not of the relay's.
            sound = os.path.join(d, "tone.wav")
            with open(sound, "wb") as f:
                f.write(b"RIFF" + struct.pack("<I", 36 + 200) + b"WAVEfmt " + struct.pack("<IHHIIHH", 16, 1, 1, 8000,
                        16000, 2, 16) + b"data" + struct.pack("<I", 200) + bytes(200))
            here = os.getcwd()
            os.chdir(d)
            try:
                self.ctl.PlayAudioFile("tone.wav")
                self.ctl.PlayAudioFile("tone.wavEOF")  # goes on from the previous sound
            finally:
                os.chdir(here)
            self.assertEqual(self.command_records(), [sound.encode(), sound.encode() + b"EOF"])

    def test_photo_bmp_reads_back_with_an_independent_parser(self):
        data_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "camera")
        with open(os.path.join(data_dir, "disc.stream"), "rb") as f:
            stream = f.read()
        images = section(self.robot, "ImageShareMem_Zembrin", 60020)
        put(images, 20000, 3, bytes([1, 0, 0]) + struct.pack("<I", len(stream)) + stream)
        seen = []
        self.ctl.on("ImageEvent", lambda: seen.append(1))
        self.assertTrue(self.ctl.run_until(lambda: seen, 60))
        with open(os.path.join(data_dir, "disc.rgb"), "rb") as f:
            self.assertEqual(self.ctl.image(), f.read())
        with open(os.path.join(data_dir, "disc.luma"), "rb") as f:
            self.assertEqual(self.ctl.image_luma(), f.read())
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "photo.bmp")
            self.assertTrue(self.ctl.SavePhotoAsBMP(path))
            with open(path, "rb") as f:
                bmp = f.read()
        magic, size, _, offset = struct.unpack_from("<2sIIi", bmp, 0)
        header, width, height, planes, bpp, compression = struct.unpack_from("<IiiHHI", bmp, 14)
        self.assertEqual((magic, size, offset, header), (b"BM", 76086, 54, 40))
        self.assertEqual((width, height, planes, bpp, compression), (176, 144, 1, 24, 0))
        rgb = self.ctl.image()
        for x, y in ((0, 0), (175, 0), (88, 72), (0, 143), (175, 143)):
            row = 143 - y  # stored bottom row first
            b, g, r = bmp[54 + row * 528 + 3 * x: 54 + row * 528 + 3 * x + 3]
            self.assertEqual((r, g, b), tuple(rgb[3 * (y * 176 + x): 3 * (y * 176 + x) + 3]), (x, y))
        images.close()

    def test_images_are_readonly_bytes(self):
        self.assertEqual(len(bytes(self.ctl.image())), 76032)
        self.assertEqual(len(self.ctl.image_luma()), 176 * 144)
        self.assertIsInstance(self.ctl.GetImageAddress(), int)


@unittest.skipUnless(RELAY and SIM, "needs TREVASK_BIN and ROBOT_SIM_BIN")
class EndToEndTest(unittest.TestCase):
    def test_sensors_and_a_motor_command_through_the_relay(self):
        sim = subprocess.Popen([SIM, "--udp", "127.0.0.1:0", "--period", "50"], stdout=subprocess.PIPE, text=True)
        try:
            line = sim.stdout.readline()
            port = re.search(r":(\d+)$", line.strip()).group(1)
            robot = "PyE%d" % os.getpid()
            relay = subprocess.Popen([RELAY, "--headless", "--wifi", "127.0.0.1", "--port", port, "--robot", robot],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            try:
                # Commands put before the relay is up are never sent: wait for the link first.
                deadline = time.monotonic() + 20
                out = ""
                while "Connected" not in out and time.monotonic() < deadline:
                    out += relay.stdout.readline()
                self.assertIn("Connected", out)
                ctl = talvenor.Control()
                ctl.connectRobot(robot)
                readings = []
                ctl.on("StandardSensorEvent", lambda: readings.append(ctl.GetSensorSonar1()))
                ctl.EnableStandardSensorSending()
                ctl.DcMotorPwmNonTimeCtr(0, 300)
                self.assertTrue(ctl.run_until(lambda: len(readings) >= 3, 100), "no sensor events")
                self.assertTrue(all(0 <= r <= 255 for r in readings))
                self.assertTrue(ctl.run_until(lambda: ctl.relay_state() == "up", 20), ctl.relay_state())
                units = talvenor.Scaling.simulated_robot()
                scaled = units.apply(ctl.standard())
                self.assertTrue(20 <= scaled["temperature"] <= 30 and units.unit("temperature") == "degC", scaled)
                self.assertEqual(units.unit("sonar1"), "cm")
                self.assertEqual(units.unit("tilting_x"), "", "no unit where none is known")
                ctl.DisableStandardSensorSending()
                ctl.run(1)
                ctl.close()

                # A program that leaves with its motors running stops them on the way out: a fresh
                # client then finds every motor idle (the robot draws its idle current, 20 mA).
                with talvenor.Control(robot, stop_motors_on_exit=True) as driver:
                    driver.EnableMotorSensorSending()
                    driver.DcMotorPwmNonTimeCtr(0, 300)  # forward
                    driver.DcMotorPwmNonTimeCtr(1, -200)  # backward
                    running = lambda: (driver.motor() or talvenor.MotorReading.from_record(bytes(33))).current2 > 20
                    self.assertTrue(driver.run_until(running, 100), "the motor never ran")
                    driver.run(0.5)
                    moving = driver.motor()
                    self.assertEqual((moving.encoder_dir1, moving.encoder_dir2), (1, -1), "forward reads +1")
                fresh = talvenor.Control(robot)
                fresh.EnableMotorSensorSending()
                fresh.run(2)
                idle = fresh.motor()
                self.assertIsNotNone(idle)
                self.assertEqual([idle.current1, idle.current2, idle.current3, idle.current4, idle.current5,
                                  idle.current6], [20] * 6, idle)
                self.assertEqual((idle.encoder_speed1, idle.encoder_speed2), (0, 0))
                fresh.DisableMotorSensorSending()
                fresh.close()

                # A name no relay serves fails loudly when asked to wait, naming what is served.
                self.assertIn(robot, talvenor.served_robots())
                with self.assertRaises(talvenor.ConnectError) as wrong:
                    talvenor.Control(robot.lower(), wait=1)
                self.assertIn("did you mean '%s'? (names are case-sensitive)" % robot, str(wrong.exception))
                talvenor.Control(robot, wait=5).close()
            finally:
                relay.send_signal(signal.SIGTERM)
                rest, err = relay.communicate(timeout=30)
            self.assertEqual(relay.returncode, 0, err)
            self.assertIn("WiFi Connection: Disconnected", rest)
        finally:
            sim.send_signal(signal.SIGTERM)
            log, _ = sim.communicate(timeout=10)
        self.assertIn("received DcMotorPwmNonTimeCtr (dest 1, type 0x05): 5E 02 01 00 05 03 00 2C 01", log)
        self.assertIn("received EnableStandardSensorSending", log)


def tearDownModule():
    leftover_sections.remove()


if __name__ == "__main__":
    unittest.main()
