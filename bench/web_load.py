#!/usr/bin/env python3
"""Load on vesperod's HTTP side, on loopback. Prints one line per figure:

  streams: S of S open, E events, refresh to arrival p50 X ms, p99 Y ms, worst Z ms
  rss with S streams open: R MB
  metrics: N scrapes, median X ms, p99 Y ms
  history year: rows R, median X ms, worst Y ms

The streams' latency compares each `event: ups`'s state.lastRefresh (the refresh's time, ms since
the epoch) with the time the event's last byte arrived: same clock, same machine. The events
sent on connect carry old refreshes and are left out.

Usage: web_load.py PORT PID UNIT [--streams 100] [--seconds 10] [--scrapes 1000] [--history N]
"""
import argparse
import asyncio
import http.client
import json
import statistics
import sys
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

    def __init__(self):
        self.latencies = []
        self.opened = False
        self.greeted = set()  # units whose on-connect event has been seen

    async def run(self, port, stop, opened):
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(b"GET /api/v1/stream HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n")
        await writer.drain()
        head = await reader.readuntil(b"\r\n\r\n")
        status = head.split(b"\r\n", 1)[0]
        if b" 200" not in status:
            raise RuntimeError(f"stream refused: {status!r}")
        chunked = b"transfer-encoding: chunked" in head.lower()
        self.opened = True
        opened()
        raw = b""    # undecoded bytes (chunk framing)
        text = b""   # the event stream itself
        try:
            while not stop.is_set():
                try:
                    data = await asyncio.wait_for(reader.read(65536), 0.5)
                except asyncio.TimeoutError:
                    continue
                arrived = time.time() * 1000.0
                if not data:
                    break
                if chunked:
                    raw += data
                    while True:
                        eol = raw.find(b"\r\n")
                        if eol < 0:
                            break
                        size = int(raw[:eol].split(b";")[0] or b"0", 16)
                        if len(raw) < eol + 2 + size + 2:
                            break
                        text += raw[eol + 2:eol + 2 + size]
                        raw = raw[eol + 2 + size + 2:]
                else:
                    text += data
                while True:
                    end = text.find(b"\n\n")
                    if end < 0:
                        break
                    block, text = text[:end], text[end + 2:]
                    self.event(block, arrived)
        finally:
            writer.close()

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


async def streams(port, pid, count, seconds):
    stop = asyncio.Event()
    clients = [Stream() for _ in range(count)]
    all_open = asyncio.Event()
    opened = [0]

    def one_opened():
        opened[0] += 1
        if opened[0] == count:
            all_open.set()

    tasks = [asyncio.create_task(c.run(port, stop, one_opened)) for c in clients]
    try:
        await asyncio.wait_for(all_open.wait(), 30)
    except asyncio.TimeoutError:
        pass
    await asyncio.sleep(seconds)
    memory = rss_mb(pid)
    stop.set()
    results = await asyncio.gather(*tasks, return_exceptions=True)
    for r in results:
        if isinstance(r, Exception):
            print(f"web_load: a stream failed: {r}", file=sys.stderr)
    latencies = [x for c in clients for x in c.latencies]
    open_count = sum(1 for c in clients if c.opened)
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
    args = parser.parse_args()

    status = 0
    try:
        asyncio.run(streams(args.port, args.pid, args.streams, args.seconds))
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
            path = (f"/api/v1/ups/{args.unit}/history?from=now-365d&to=now&step=86400"
                    f"&quantity=battery.voltage")
            times, body = timed_gets(args.port, path, args.history, lambda b: b'"t"' in b)
            rows = len(json.loads(body).get("t", []))
            print(f"history year: rows {rows}, median {statistics.median(times):.1f} ms, worst {max(times):.1f} ms")
        except Exception as e:
            print(f"web_load: history: {e}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
