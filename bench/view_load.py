#!/usr/bin/env python3
"""kavro view under load: the boards' readings per second and the server's CPU with no page
open, then with PAGES pages reading the event stream, side by side in one run.

    bench/view_load.py build/tools/kavro [SECONDS] [PAGES]

The server reads both emulated boards as fast as they answer (-i 0). CPU is the server
process's user + system time over the window (the emulated boards run inside it, so their
share is included), as a percentage of one core."""
import os
import re
import socket
import subprocess
import sys
import threading
import time
import json
import urllib.request

tool = sys.argv[1] if len(sys.argv) > 1 else "build/tools/kavro"
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
pages = int(sys.argv[3]) if len(sys.argv) > 3 else 20
tick = os.sysconf("SC_CLK_TCK")

server = subprocess.Popen([tool, "--emulate", "view", "-s", "all", "--port", "0",
                           "--recordings", "/tmp/kavro-view-bench"],
                          stdout=subprocess.PIPE, text=True)
port = int(re.search(r":(\d+)/", server.stdout.readline()).group(1))


def cpu():
    fields = open(f"/proc/{server.pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick


def readings():
    state = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/api/state"))
    return sum(b["readings"] for b in state["boards"])


def window():
    r0, c0, t0 = readings(), cpu(), time.time()
    time.sleep(seconds)
    r1, c1, t1 = readings(), cpu(), time.time()
    return (r1 - r0) / (t1 - t0), 100 * (c1 - c0) / (t1 - t0)


def page(stop, got):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
    while not stop.is_set():
        got[0] += s.recv(65536).count(b"event: readings")
    s.close()


try:
    time.sleep(1)
    alone, alone_cpu = window()
    stop, counts = threading.Event(), [[0] for _ in range(pages)]
    threads = [threading.Thread(target=page, args=(stop, c), daemon=True) for c in counts]
    for t in threads:
        t.start()
    time.sleep(1)
    before = sum(c[0] for c in counts)
    loaded, loaded_cpu = window()
    updates = (sum(c[0] for c in counts) - before) / seconds / pages
    stop.set()
    print(f"| pages open | readings/s (both boards) | server CPU, % of a core | updates/s per page |")
    print(f"|---|---|---|---|")
    print(f"| 0 | {alone:.0f} | {alone_cpu:.1f} | - |")
    print(f"| {pages} | {loaded:.0f} | {loaded_cpu:.1f} | {updates:.1f} |")
    print(f"\nwith {pages} pages: {100 * loaded / alone:.1f} % of the readings/s with none")
finally:
    server.terminate()
    server.wait()
