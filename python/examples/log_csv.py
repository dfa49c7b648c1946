#!/usr/bin/env python3
"""Logs a board's readings to a CSV file until Ctrl-C, reconnecting when the cable is pulled.

One line per reading: wall time, due-time index, channel, counts, load, and the error of a
reading that failed. Connection events go to stderr as they happen. --emulate logs the emulated
board KAVRO-0001 in real time, which is unplugged for a second after 3 s to show a reconnect.
"""

import argparse
import csv
import sys

import kavro


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", help="serial number (default: the only board attached)")
    parser.add_argument("--emulate", action="store_true", help="log an emulated board")
    parser.add_argument("--channels", type=int, nargs="+", default=[0])
    parser.add_argument("--interval", type=float, default=0.1, help="seconds between readings")
    parser.add_argument("--seconds", type=float, help="stop after this long (default: Ctrl-C)")
    parser.add_argument("--output", default="log.csv")
    args = parser.parse_args()

    link = None
    if args.emulate:
        link = kavro.Emulator(real_time=True)
        args.serial = args.serial or "KAVRO-0001"
        link.schedule_unplug(args.serial, after=3.0, duration=1.0)

    def on_event(event):
        print(f"{event.wall:%H:%M:%S.%f} {event.serial} {event.kind}"
              + (f" after {event.gap:.1f} s" if event.kind != "disconnected" else ""),
              file=sys.stderr, flush=True)

    reconnect = kavro.Reconnect(first_delay=0.1, max_delay=2.0)  # never gives up
    with kavro.open(args.serial, link=link, reconnect=reconnect, on_event=on_event) as board, \
            open(args.output, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["time", "index", "channel", "counts", "load", "error"])

        def on_sample(index, readings):
            for channel, r in zip(args.channels, readings):
                if isinstance(r, kavro.KavroError):
                    writer.writerow(["", index, channel, "", "", f"{r.kind}: {r.text}"])
                else:
                    writer.writerow([r.wall.isoformat(timespec="milliseconds"), index, channel,
                                     "" if r.counts is None else r.counts,
                                     "" if r.load is None else f"{r.load:.4f}", ""])
            out.flush()  # a crash or power cut loses nothing written so far

        print(f"logging {board.serial} to {args.output}; Ctrl-C stops", file=sys.stderr)
        rec = board.record(args.channels, seconds=args.seconds, interval=args.interval,
                           on_sample=on_sample, keep=False, interrupt="return")
    print(f"wrote {rec.readings + rec.errors} readings ({rec.errors} failed, {rec.missed} missed,"
          f" {len(rec.gaps)} connection events) in {rec.elapsed:.1f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
