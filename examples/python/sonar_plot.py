#!/usr/bin/env python3
"""Sonar over time and a photo, for a notebook or a terminal.

    python3 examples/python/sonar_plot.py ROBOT [SECONDS] [OUT_PREFIX]

Records the six sonar ranges for a few seconds, takes a photo, and saves sonar.png and photo.png with
matplotlib when it is installed (photo.bmp and a text table otherwise). In a notebook, run the body
of main() in a cell: the figures show inline.
"""

import sys
import time

import talvenor


def main():
    robot = sys.argv[1] if len(sys.argv) > 1 else "R1"
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 5.0
    prefix = sys.argv[3] if len(sys.argv) > 3 else ""
    times, ranges = [], []
    with talvenor.Control(robot) as ctl:
        if ctl.relay_state() == "no-relay":
            print("no relay serves '%s'; start trevask with --robot %s" % (robot, robot))
            return 1
        start = time.monotonic()
        ctl.on("StandardSensorEvent", lambda r: (times.append(time.monotonic() - start),
                                                  ranges.append([getattr(r, "sonar%d" % i) for i in range(1, 7)])))
        ctl.SetSysStandardSensorPeriod(100)
        ctl.EnableStandardSensorSending()
        ctl.run(seconds)
        ctl.DisableStandardSensorSending()
        ctl.TakePhoto()
        ctl.run_until(ctl.has_picture, 10)
        picture = ctl.image()
        if not ctl.has_picture():
            print("no photo came")
        try:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            plt = None
        if plt is None:
            ctl.SavePhotoAsBMP(prefix + "photo.bmp")
            print("t (s)   " + "  ".join("sonar%d" % i for i in range(1, 7)))
            for t, r in zip(times, ranges):
                print("%6.2f  " % t + "  ".join("%6d" % v for v in r))
            print("saved %sphoto.bmp (matplotlib is not installed: no plots)" % prefix)
            return 0
        fig, ax = plt.subplots()
        for i in range(6):
            ax.plot(times, [r[i] for r in ranges], label="sonar%d" % (i + 1))
        ax.set_xlabel("seconds")
        ax.set_ylabel("raw range (0..255)")
        ax.legend()
        fig.savefig(prefix + "sonar.png")
        fig2, ax2 = plt.subplots()
        if isinstance(picture, bytes):
            import numpy as np
            picture = np.frombuffer(picture, dtype=np.uint8).reshape(144, 176, 3)
        ax2.imshow(picture)
        fig2.savefig(prefix + "photo.png")
        print("saved %ssonar.png and %sphoto.png" % (prefix, prefix))
    return 0


if __name__ == "__main__":
    sys.exit(main())
