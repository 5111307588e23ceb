#!/usr/bin/env python3
"""Load on vesperod's HTTP side, on loopback. Prints one line per figure:

  streams: S of S open, E events, refresh to arrival p50 X ms, p99 Y ms, worst Z ms
  rss with S streams open: R MB
  metrics: N scrapes, median X ms, p99 Y ms
  history year: rows R, median X ms, worst Y ms
  live beside history: N requests, p50 X ms, p99 Y ms (H year-long history answers meanwhile)

The streams' latency compares each `event: ups`'s state.lastRefresh (the refresh's time, ms since
the epoch) with the time the socket carrying the event's end became readable: same clock, same
machine. The events sent on connect carry old refreshes and are left out.

The last figure has two clients loop over the whole history (the widest range there is) while a
third asks for /api/v1/ups and /metrics: the live side must not wait for the history.

Usage: web_load.py PORT PID UNIT [--streams 100] [--seconds 10] [--scrapes 1000] [--history N]
                   [--contention SECONDS]
"""
import argparse
import http.client
import json
import selectors
import socket
import statistics
import sys
import threading
import time


def percentile(values, p):
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def rss_mb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return None


class Stream:
    """One SSE client: the HTTP head, then chunked or plain bytes, cut into events."""

    def __init__(self, port, number=0):
        # Spread over loopback addresses: the server takes at most 16 streams from one.
        source = f"127.0.{2 + number // 16 // 250}.{1 + number // 16 % 250}"
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(source, 0))
        self.sock.sendall(b"GET /api/v1/stream HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          b"Accept: text/event-stream\r\n\r\n")
        self.sock.setblocking(False)
        self.head = None
        self.chunked = False
        self.raw = b""   # bytes as read (chunk framing included)
        self.text = b""  # the event stream itself
        self.latencies = []
        self.greeted = set()  # units whose on-connect event has been seen
        self.closed = False

    def feed(self, data, arrived):
        self.raw += data
        if self.head is None:
            end = self.raw.find(b"\r\n\r\n")
            if end < 0:
                return
            self.head, self.raw = self.raw[:end], self.raw[end + 4:]
            if b" 200" not in self.head.split(b"\r\n", 1)[0]:
                raise RuntimeError(f"stream refused: {self.head.splitlines()[0]!r}")
            self.chunked = b"transfer-encoding: chunked" in self.head.lower()
        if self.chunked:
            while True:
                eol = self.raw.find(b"\r\n")
                if eol < 0:
                    break
                size = int(self.raw[:eol].split(b";")[0] or b"0", 16)
                if len(self.raw) < eol + 2 + size + 2:
                    break
                self.text += self.raw[eol + 2:eol + 2 + size]
                self.raw = self.raw[eol + 2 + size + 2:]
        else:
            self.text += self.raw
            self.raw = b""
        while True:
            end = self.text.find(b"\n\n")
            if end < 0:
                break
            block, self.text = self.text[:end], self.text[end + 2:]
            self.event(block, arrived)

    def event(self, block, arrived):
        name, data = None, []
        for line in block.decode("utf-8", "replace").split("\n"):
            if line.startswith("event:"):
                name = line[6:].strip()
            elif line.startswith("data:"):
                data.append(line[5:].lstrip(" "))
        if name != "ups" or not data:
            return
        unit = json.loads("\n".join(data))
        key = unit.get("name")
        if key not in self.greeted:
            self.greeted.add(key)
            return
        refreshed = (unit.get("state") or {}).get("lastRefresh")
        if isinstance(refreshed, (int, float)):
            self.latencies.append(arrived - refreshed)


def streams(port, pid, count, seconds):
    clients = [Stream(port, i) for i in range(count)]
    selector = selectors.DefaultSelector()
    for c in clients:
        selector.register(c.sock, selectors.EVENT_READ, c)
    memory = None
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready = selector.select(0.5)
        # One clock reading for everything that is ready: parsing one stream must not count
        # against the next one's arrival.
        arrived = time.time() * 1000.0
        data = []
        for key, _ in ready:
            try:
                data.append((key.data, key.fileobj.recv(262144)))
            except BlockingIOError:
                pass
        for c, chunk in data:
            if not chunk:
                selector.unregister(c.sock)
                c.closed = True
                continue
            c.feed(chunk, arrived)
        if memory is None and time.monotonic() > deadline - seconds / 2:
            memory = rss_mb(pid)
    open_count = sum(1 for c in clients if c.head is not None and not c.closed)
    for c in clients:
        c.sock.close()
    latencies = [x for c in clients for x in c.latencies]
    if latencies:
        print(f"streams: {open_count} of {count} open, {len(latencies)} events, refresh to arrival "
              f"p50 {percentile(latencies, 50):.1f} ms, p99 {percentile(latencies, 99):.1f} ms, "
              f"worst {max(latencies):.1f} ms")
    else:
        print(f"streams: {open_count} of {count} open, 0 events")
    if memory is not None and open_count == count:
        print(f"rss with {count} streams open: {memory:.1f} MB")


def timed_gets(port, path, n, check):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    times = []
    last = None
    for _ in range(n):
        t0 = time.perf_counter()
        conn.request("GET", path)
        response = conn.getresponse()
        body = response.read()
        times.append((time.perf_counter() - t0) * 1000.0)
        if response.status != 200 or not check(body):
            raise RuntimeError(f"GET {path}: {response.status}")
        last = body
        if response.getheader("Connection", "").lower() == "close":
            conn.close()
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    conn.close()
    return times, last


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("pid", type=int)
    parser.add_argument("unit")
    parser.add_argument("--streams", type=int, default=100)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--scrapes", type=int, default=1000)
    parser.add_argument("--history", type=int, default=5, help="history requests (0: none)")
    parser.add_argument("--contention", type=float, default=10, help="seconds of live requests beside history loops")
    args = parser.parse_args()

    status = 0
    try:
        streams(args.port, args.pid, args.streams, args.seconds)
    except Exception as e:  # a figure that fails leaves its line out; the others still run
        print(f"web_load: streams: {e}", file=sys.stderr)
        status = 1
    try:
        times, _ = timed_gets(args.port, "/metrics", args.scrapes, lambda b: b"network_ups_tools_" in b)
        print(f"metrics: {len(times)} scrapes, median {statistics.median(times):.3f} ms, "
              f"p99 {percentile(times, 99):.3f} ms")
    except Exception as e:
        print(f"web_load: metrics: {e}", file=sys.stderr)
        status = 1
    if args.history > 0:
        try:
            now = int(time.time())
            path = (f"/api/v1/ups/{args.unit}/history?from={now - 365 * 86400}&to={now}&step=86400"
                    f"&quantity=battery.voltage")
            times, body = timed_gets(args.port, path, args.history, lambda b: b'"t"' in b)
            rows = len(json.loads(body).get("t", []))
            print(f"history year: rows {rows}, median {statistics.median(times):.1f} ms, worst {max(times):.1f} ms")
        except Exception as e:
            print(f"web_load: history: {e}", file=sys.stderr)
            status = 1
    if args.contention > 0:
        try:
            contention(args.port, args.unit, args.contention)
        except Exception as e:
            print(f"web_load: contention: {e}", file=sys.stderr)
            status = 1
    return status


def contention(port, unit, seconds):
    path = f"/api/v1/ups/{unit}/history?from=-9223372036854775807&to=9223372036854775807&step=60"
    stop = time.monotonic() + seconds
    answered = [0]

    def loop():
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        while time.monotonic() < stop:
            conn.request("GET", path)
            response = conn.getresponse()
            response.read()
            if response.status == 200:
                answered[0] += 1
        conn.close()

    threads = [threading.Thread(target=loop) for _ in range(2)]
    for t in threads:
        t.start()
    times = []
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    while time.monotonic() < stop:
        for live in ("/api/v1/ups", "/metrics"):
            t0 = time.perf_counter()
            conn.request("GET", live)
            response = conn.getresponse()
            response.read()
            times.append((time.perf_counter() - t0) * 1000.0)
        time.sleep(0.01)
    conn.close()
    for t in threads:
        t.join()
    print(f"live beside history: {len(times)} requests, p50 {percentile(times, 50):.1f} ms, "
          f"p99 {percentile(times, 99):.1f} ms ({answered[0]} year-long history answers meanwhile)")


if __name__ == "__main__":
    sys.exit(main())
