#!/usr/bin/env python3
"""A tour of the robot from Python: sensors, a motor, the camera, the loudspeaker, the microphone
and an LCD, through the relay (trevask) that serves the robot name given on the command line.

    python3 examples/python/robot_tour.py ROBOT OUTPUT_FOLDER
"""

import math
import os
import struct
import sys
import wave

import talvenor


def write_tone(path, seconds=1.5, hz=523.0):
    """A short tune as 16-bit mono PCM at 8000 samples per second, the way the relay reads WAV files."""
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        frames = bytearray()
        for i in range(int(8000 * seconds)):
            note = hz * (1.0 if i < 4000 else 1.25 if i < 8000 else 1.5)
            frames += struct.pack("<h", int(9000 * math.sin(2 * math.pi * note * i / 8000)))
        w.writeframes(bytes(frames))


def write_lcd_picture(path):
    """A 128 x 64 monochrome BMP: a frame and a diagonal, bottom row first, 16 bytes per row."""
    rows = []
    for y in range(63, -1, -1):
        row = bytearray(16)
        for x in range(128):
            if x in (0, 127) or y in (0, 63) or abs(x - 2 * y) < 2:
                row[x // 8] |= 0x80 >> (x % 8)
        rows.append(bytes(row))
    pixels = b"".join(rows)
    header = struct.pack("<2sIHHI", b"BM", 62 + len(pixels), 0, 0, 62)
    info = struct.pack("<IiiHHIIiiII", 40, 128, 64, 1, 1, 0, len(pixels), 2835, 2835, 2, 0)
    with open(path, "wb") as f:
        f.write(header + info + b"\x00\x00\x00\x00\xff\xff\xff\x00" + pixels)


def main():
    robot = sys.argv[1] if len(sys.argv) > 1 else ""
    out = sys.argv[2] if len(sys.argv) > 2 else "."
    os.makedirs(out, exist_ok=True)

    ctl = talvenor.Control()
    ctl.connectRobot(robot)
    print("connected to the sections of robot %r" % robot)

    readings = []
    ctl.on("StandardSensorEvent", lambda: readings.append(
        (ctl.GetSensorSonar1(), ctl.GetSensorSonar2(), ctl.GetSensorTemperature(), ctl.GetSensorBatteryAD1())))
    speeds = []
    ctl.on("MotorSensorEvent", lambda: speeds.append((ctl.GetEncoderSpeed1(), ctl.GetMotorCurrent1())))
    ctl.SetSysAllSensorPeriod(200)
    ctl.EnableStandardSensorSending()
    ctl.EnableMotorSensorSending()
    if not ctl.run_until(lambda: len(readings) >= 5, 10):
        sys.exit("no sensor readings arrived: is the relay running for robot %r?" % robot)
    for sonar1, sonar2, temperature, battery in readings[:5]:
        print("sonar 1: %3d cm  sonar 2: %3d cm  temperature: %.1f C  battery: %d"
              % (sonar1, sonar2, temperature / 10.0, battery))

    print("driving DC motor 0 at PWM 300")
    ctl.EnableDcMotor(0)
    ctl.DcMotorPwmNonTimeCtr(0, 300)
    seen = len(speeds)
    ctl.run_until(lambda: len(speeds) >= seen + 3 and speeds[-1][0] > 0, 10)
    print("encoder 1 speed: %d, motor 1 current: %d mA" % speeds[-1])
    ctl.DcMotorPwmNonTimeCtr(0, 0)

    images = []
    ctl.on("ImageEvent", lambda: images.append(1))
    ctl.TakePhoto()
    if ctl.run_until(lambda: images, 10):
        photo = os.path.join(out, "photo.bmp")
        ctl.SavePhotoAsBMP(photo)
        print("photo saved as", photo)

    tune = os.path.join(out, "tune.wav")
    write_tone(tune)
    print("playing", tune, "on the robot's loudspeaker")
    ctl.PlayAudioFile(os.path.abspath(tune))
    ctl.run(2.5)

    segments = []
    ctl.on("VoiceSegmentEvent", lambda: segments.append(ctl.voice_segment()))
    ctl.StartRecord(2)
    ctl.run_until(lambda: segments, 10)
    ctl.StopRecord()
    if segments:
        recording = os.path.join(out, "voice.wav")
        with wave.open(recording, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(8000)
            w.writeframes(segments[0])
        print("a voice segment of %d bytes saved as %s" % (len(segments[0]), recording))

    picture = os.path.join(out, "lcd.bmp")
    write_lcd_picture(picture)
    ctl.LcdDisplayVCB(os.path.abspath(picture))
    print("LCD picture", picture, "sent to the multimedia board's LCD")

    ctl.DisableAllSensorSending()
    ctl.run(0.5)
    ctl.close()


if __name__ == "__main__":
    main()
