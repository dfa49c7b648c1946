# Starts `kavro --emulate view --port 0` with a fresh recordings folder, and speaks HTTP to it.
import http.client
import os
import re
import signal
import subprocess

import pytest

TOOL = os.environ.get("KAVRO_TOOL", "kavro")


class View:
    def __init__(self, tmp, *args, before=()):
        self.folder = tmp / "rec"
        self.proc = subprocess.Popen(
            [TOOL, "--emulate", *before, "view", "-s", "all", "--port", "0",
             "--recordings", str(self.folder), *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        m = re.search(r"http://\S+:(\d+)/\?token=([0-9a-f]+)", line)
        assert m, line + self.proc.stderr.read()
        self.url, self.port, self.token = m.group(0), int(m.group(1)), m.group(2)

    def request(self, method, path, token=True, headers=None, body=None):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        h = {"X-Kavro-Token": self.token} if token is True else {"X-Kavro-Token": token} if token else {}
        h.update(headers or {})
        c.request(method, path, body=body if body is not None else ("" if method == "POST" else None),
                  headers=h)
        r = c.getresponse()
        return r.status, r.read()

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        assert self.proc.wait(timeout=10) == 0


@pytest.fixture(scope="module")
def view(tmp_path_factory):
    v = View(tmp_path_factory.mktemp("view"))
    yield v
    v.stop()
