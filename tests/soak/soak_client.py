"""The soak's client: consumes numbered standard sensor records through the control and puts
numbered commands, writing what it saw to a JSON file (four times a second and when told to stop)."""

import json
import os
import signal
import sys
import time

import talvenor

robot, out_path = sys.argv[1], sys.argv[2]
scale = float(os.environ.get("TREVASK_TIME_SCALE", "1"))
stop = []
signal.signal(signal.SIGTERM, lambda *_: stop.append(1))

ctl = talvenor.Control()
ctl.connectRobot(robot)
received, bad = [], []

# The simulated robot fills bytes 0..3 with the number and every other byte from it; the getters
# read them back: the sonar bytes, the infrared code bytes and the words in between.
WORDS = ["GetSensorHumanMotion1", "GetSensorHumanAlarm1", "GetSensorHumanMotion2", "GetSensorHumanAlarm2",
         "GetSensorTiltingX", "GetSensorTiltingY", "GetSensorOverheatAD1", "GetSensorOverheatAD2",
         "GetSensorTemperature", "GetSensorIRRange"]


def expected_byte(number, k):
    return (number * 31 + k * 7) & 0xFF


def on_standard():
    b = [ctl.GetSensorSonar1(), ctl.GetSensorSonar2(), ctl.GetSensorSonar3(), ctl.GetSensorSonar4()]
    number = b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24
    ok = ctl.GetSensorSonar5() == expected_byte(number, 4) and ctl.GetSensorSonar6() == expected_byte(number, 5)
    for i, name in enumerate(WORDS):
        word = getattr(ctl, name)() & 0xFFFF
        k = 6 + 2 * i
        ok = ok and word == (expected_byte(number, k) | expected_byte(number, k + 1) << 8)
    for i, name in enumerate(["GetSensorIRCode1", "GetSensorIRCode2", "GetSensorIRCode3", "GetSensorIRCode4"]):
        ok = ok and getattr(ctl, name)() == expected_byte(number, 26 + i)
    (received if ok else bad).append(number)


ctl.on("StandardSensorEvent", on_standard)
puts = []
counter = int(sys.argv[3]) if len(sys.argv) > 3 else 1  # each run of the client has values of its own
last_put = last_save = time.monotonic()


def save():
    with open(out_path + ".tmp", "w") as f:
        json.dump({"received": received, "bad": bad, "puts": puts}, f)
    os.replace(out_path + ".tmp", out_path)


ctl.EnableStandardSensorSending()
while not stop:
    ctl.run(0.05)
    now = time.monotonic()
    if now - last_put >= 0.1 * scale * 4:
        ctl.DcMotorPositionNonTimeCtr(0, counter)
        puts.append([time.time(), counter])
        counter += 1
        last_put = now
    if now - last_save >= 0.25:
        save()
        last_save = now
save()
ctl.close()
