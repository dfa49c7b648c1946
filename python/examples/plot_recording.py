#!/usr/bin/env python3
"""Records 5 s of a board's load and saves a plot of it as a PNG.

Without --serial it records the emulated board KAVRO-0001 on the emulator's virtual time, so it
finishes at once; --real-time makes the emulator take the 5 s. With --serial it records that
board on the default link (FTDI's D2XX library, else libftdi1).
"""

import argparse
import os

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt  # noqa: E402

import kavro  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", help="a real board's serial number (default: emulated)")
    parser.add_argument("--real-time", action="store_true", help="the emulator on real time")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--interval", type=float, default=0.02, help="seconds between readings")
    parser.add_argument("--output", default="recording.png")
    args = parser.parse_args()

    link = None if args.serial else kavro.Emulator(real_time=args.real_time)
    with kavro.open(args.serial or "KAVRO-0001", link=link) as board:
        unit = board.calibration(0).unit_code
        rec = board.record(0, seconds=args.seconds, interval=args.interval)

    fig, ax = plt.subplots(figsize=(8, 3.5), dpi=100)
    ax.plot(rec.time, rec.load[:, 0], color="tab:blue", linewidth=1.2)
    ax.set_xlabel("time (s)")
    ax.set_ylabel(f"load (unit code {unit})")
    ax.set_title(f"{rec.serial}: {len(rec)} readings, {rec.rate:.0f}/s, {rec.errors} errors")
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(args.output)
    print(f"saved {args.output} ({os.path.getsize(args.output)} bytes)")


if __name__ == "__main__":
    main()
