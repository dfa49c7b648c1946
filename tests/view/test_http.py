# kavro view over HTTP: the page, the event stream, the actions, and each request it refuses,
# answered while readings keep flowing.
import json
import os
import socket
import subprocess
import time

import pytest
from conftest import TOOL, View


def events(view, wanted, name="readings"):
    """The first `wanted` messages of the event stream named `name`, as JSON."""
    s = socket.create_connection(("127.0.0.1", view.port), timeout=10)
    s.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{view.port}\r\n\r\n".encode())
    got, buf = [], b""
    while len(got) < wanted:
        buf += s.recv(65536)
        while b"\n\n" in buf and len(got) < wanted:
            message, buf = buf.split(b"\n\n", 1)
            lines = dict(l.split(": ", 1) for l in message.decode().split("\n") if ": " in l)
            if lines.get("event") == name:
                got.append(json.loads(lines["data"]))
    s.close()
    return got


def readings(view):
    return events(view, 1)[0]["boards"]["KAVRO-0001"]["readings"]


def test_page_is_whole_and_self_contained(view):
    status, page = view.request("GET", "/", token=False)
    assert status == 200 and b"EventSource" in page and view.token.encode() in page
    assert b"src=\"http" not in page and b"href=\"http" not in page and b"@import" not in page


def test_stream_brings_loads_with_their_extremes_at_display_rate(view):
    first, *_, last = events(view, 12)
    one = last["boards"]["KAVRO-0001"]["channels"][0]
    assert one["min"] <= one["last"] <= one["max"] and one["state"] == "ok"
    assert 11 / 30 <= last["t"] - first["t"] < 2  # at most 30 updates a second
    assert len(last["boards"]["KAVRO-0009"]["channels"]) == 4


def test_tare_rate_and_a_recording_with_every_reading_of_its_span(view):
    status, body = view.request("POST", "/api/tare?serial=KAVRO-0009&channel=1")
    tare = json.loads(body)["tare"]
    assert status == 200 and abs(tare - 100) < 10
    load = events(view, 3)[-1]["boards"]["KAVRO-0009"]["channels"][1]["last"]
    assert abs(load) < 1
    assert view.request("POST", "/api/rate?serial=KAVRO-0009&channel=1&rate=7")[0] == 200
    state = json.loads(view.request("GET", "/api/state")[1])["boards"][1]["channels"][1]
    assert state["tare"] == tare and state["rate"] == 7
    # A recording's header says the board as it stands: the tare and the rate set above.
    name = json.loads(view.request("POST", "/api/record/start?serial=KAVRO-0009&format=json")[1])["name"]
    assert view.request("POST", "/api/record/stop?serial=KAVRO-0009")[0] == 200
    session = json.loads(view.request("GET", "/recordings/" + name)[1].decode().splitlines()[0])
    channel = session["boards"][0]["channel"][1]
    assert channel["tare"] == tare and channel["converter"]["rate_code"] == 7
    (view.folder / name).unlink()
    assert view.request("POST", "/api/cleartare?serial=KAVRO-0009&channel=1")[0] == 200

    status, body = view.request("POST", "/api/record/start?serial=KAVRO-0001&format=csv")
    name = json.loads(body)["name"]
    before = readings(view)
    events(view, 15)
    status, body = view.request("POST", "/api/record/stop?serial=KAVRO-0001")
    rows = json.loads(body)["rows"]
    assert status == 200 and abs(rows - (readings(view) - before)) < 30
    listed = json.loads(view.request("GET", "/api/recordings")[1])["files"]
    assert [f["name"] for f in listed] == [name]
    status, text = view.request("GET", "/recordings/" + name)
    header = [l for l in text.decode().splitlines() if l.startswith("#")]
    lines = text.decode().splitlines()[len(header):]
    assert header[0].startswith("# kavro recording: calibrated loads") and "# host: " in header[3]
    assert status == 200 and lines[0].startswith("time,elapsed_s,serial,channel")
    assert len(lines) == rows + 1 and all(",KAVRO-0001,0," in l for l in lines[1:])


def test_refused_requests_get_a_4xx_and_readings_go_on(view):
    (view.folder / "link").symlink_to("/etc/passwd")
    port = view.port
    cases = [  # method, path, token, extra headers, expected status
        ("POST", "/api/tare?serial=KAVRO-0001&channel=0", None, {}, 401),
        ("POST", "/api/tare?serial=KAVRO-0001&channel=0", "0" * 32, {}, 403),
        ("GET", "/api/tare?serial=KAVRO-0001&channel=0", True, {}, 405),
        ("POST", "/api/tare?serial=KAVRO-0001&channel=0", True, {"Origin": "http://evil.example"}, 403),
        ("GET", "/", True, {"Host": f"evil.example:{port}"}, 403),
        ("GET", "/", True, {"Host": f"127.0.0.1:{port + 1}"}, 403),
        ("GET", "/recordings/..", True, {}, 404),
        ("GET", "/recordings/..%2F..%2Fetc%2Fpasswd", True, {}, 404),
        ("GET", "/recordings/%2Fetc%2Fpasswd", True, {}, 404),
        ("GET", "/recordings/../../etc/passwd", True, {}, 404),
        ("GET", "/recordings/link", True, {}, 404),
        ("POST", "/api/tare?serial=KAVRO-0001&channel=7", True, {}, 400),
        ("POST", "/api/rate?serial=KAVRO-0001&channel=0&rate=16", True, {}, 400),
        ("POST", "/api/tare?serial=NOPE&channel=0", True, {}, 404),
    ]
    before = readings(view)
    for method, path, token, headers, expected in cases:
        assert view.request(method, path, token, headers)[0] == expected, (method, path, headers)
    for raw in [b"GARBAGE\r\n\r\n",
                f"POST /api/tare HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nX-Kavro-Token: {view.token}\r\nContent-Length: {10 << 20}\r\n\r\n".encode()
                + b"x" * 65536]:
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.sendall(raw)
        assert s.recv(100).split(b" ")[1] in (b"400", b"413")
        s.close()
    assert readings(view) > before
    assert view.request("GET", "/api/state")[0] == 200


def test_two_hundred_connections_and_a_stalled_page_leave_the_reader_at_its_pace(view):
    stalled = socket.socket()  # a page that never reads what it is sent
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(("127.0.0.1", view.port))
    stalled.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{view.port}\r\n\r\n".encode())
    before, start = readings(view), time.time()
    time.sleep(0.5)  # the reader's own pace in this build, the stalled page already open
    alone = (readings(view) - before) / (time.time() - start)
    before, start = readings(view), time.time()
    request = f"GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:{view.port}\r\nConnection: close\r\n\r\n"
    sockets = []
    for _ in range(200):  # all open at once: none is read before the last is sent
        sockets.append(socket.create_connection(("127.0.0.1", view.port), timeout=20))
        sockets[-1].sendall(request.encode())
    answers = [s.recv(12) for s in sockets]
    assert all(a.endswith(b"200") for a in answers), answers
    for s in sockets:
        s.close()
    time.sleep(max(0, 1.5 - (time.time() - start)))
    # A reader that waited on a page would stop; the connections may only share the cores with it.
    assert (readings(view) - before) / (time.time() - start) > alone / 4
    stalled.close()


def test_served_to_the_network_every_request_needs_the_token(tmp_path):
    v = View(tmp_path, "--listen", "0.0.0.0")
    try:
        assert v.request("GET", "/api/state", token=False)[0] == 401
        assert v.request("GET", "/", token="f" * 32)[0] == 403
        assert v.request("GET", f"/api/state?token={v.token}", token=False)[0] == 200
    finally:
        v.stop()


@pytest.mark.parametrize("option,value,range", [
    ("--port", "-1", "0 to 65535"), ("--port", "nan", "0 to 65535"), ("--port", "65536", "0 to 65535"),
    ("--port", "80.5", "0 to 65535"), ("-i", "nan", "0 to 86400000"), ("-i", "-1", "0 to 86400000")])
def test_numbers_out_of_range_are_usage_errors(option, value, range):
    r = subprocess.run([TOOL, "--emulate", "view", option, value], capture_output=True, text=True)
    assert r.returncode == 2 and option in r.stderr and range in r.stderr, r.stderr
