"""The soak's client: consumes numbered standard sensor records through the control, puts numbered
commands at a steady rate (catching up in bursts when it was busy), counts pictures and voice
segments, and appends what it saw to a file of JSON lines (four times a second and when told to stop).

    soak_client.py ROBOT OUT.json FIRST_VALUE CHANNEL COMMANDS_PER_SECOND [--record]
"""

import json
import os
import signal
import sys
import time

import talvenor

robot, out_path = sys.argv[1], sys.argv[2]
counter = int(sys.argv[3])  # each run of each client has values of its own
channel = int(sys.argv[4])  # the motor channel this client's commands name, telling clients apart
rate = float(sys.argv[5])  # commands per simulated second
record_voice = "--record" in sys.argv[6:]
scale = float(os.environ.get("TREVASK_TIME_SCALE", "1"))
stop = []
signal.signal(signal.SIGTERM, lambda *_: stop.append(1))

ctl = talvenor.Control()
ctl.connectRobot(robot)
received, bad = [], []
last_good = [-1]  # the last good number, kept apart from the lists (which save() empties)
counts = {"images": 0, "voice": 0}

# The simulated robot fills bytes 0..3 with the number and every other byte from it; the getters
# read them back, every field of the standard record through its getter.
STANDARD = [f for f in talvenor.readings.FIELD_LIST if f.record == 0 and f.own and f.getter]


def expected_byte(number, k):
    return (number * 31 + k * 7) & 0xFF


def on_standard():
    b = [ctl.GetSensorSonar1(), ctl.GetSensorSonar2(), ctl.GetSensorSonar3(), ctl.GetSensorSonar4()]
    number = b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24
    record = bytes(b) + bytes(expected_byte(number, k) for k in range(4, 40))
    ok = all(getattr(ctl, f.getter)() == f.read(record) for f in STANDARD)
    if ok:
        received.append(number)
        last_good[0] = number
    else:  # the number itself may be garbled: keep the last good one beside it, to tell when it came
        bad.append([number, last_good[0]])


def on_image():
    counts["images"] += 1


def on_voice():
    counts["voice"] += 1


ctl.on("StandardSensorEvent", on_standard)
ctl.on("ImageEvent", on_image)
ctl.on("VoiceSegmentEvent", on_voice)
puts, not_stored = [], []


def save():
    """Appends one line: what came since the last line, and the counts so far; what is written down
    is let go of. Writing only the news keeps each save short however long the run (a save that
    rewrote everything held the client up long enough for a ring to lap it), and letting it go keeps
    the client's memory flat: lists that grew by a megabyte a minute made each of Python's full
    collections longer, until one held the client up for a whole ring."""
    lists = {"received": received, "bad": bad, "puts": puts, "not_stored": not_stored}
    line = {name: items for name, items in lists.items()}
    line.update(images=counts["images"], voice=counts["voice"], lapped=ctl.lapped()["standard"])
    with open(out_path, "a") as f:
        f.write(json.dumps(line) + "\n")
    for items in lists.values():
        items.clear()


ctl.EnableStandardSensorSending()
ctl.EnableMotorSensorSending()
if record_voice:
    ctl.StartRecord(1)
interval = scale / rate  # wall seconds between two commands
start = last_save = time.monotonic()
sent = 0
while not stop:
    ctl.run(0.03)
    now = time.monotonic()
    due = int((now - start) / interval)
    while sent < due and not stop:
        if sent % 10 == 9:  # a long catch-up still takes the records that come meanwhile
            ctl.host.process_due()
        refused = ctl.commands_not_stored()
        ctl.DcMotorPositionNonTimeCtr(channel, counter & 0x7FFF)
        if ctl.commands_not_stored() == refused:  # stored for the relay (else it never reaches the robot)
            puts.append([time.time(), counter & 0x7FFF])
        else:
            not_stored.append([time.time(), counter & 0x7FFF])
        counter += 1
        sent += 1
    if now - last_save >= 0.25:
        save()
        last_save = now
if record_voice:
    ctl.StopRecord()
save()
ctl.close()
