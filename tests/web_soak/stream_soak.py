#!/usr/bin/env python3
"""Event streams over time: many dashboards hold their streams while the simulated unit goes onto
battery and back every FLIP seconds. Every stream must see every flip, none may be closed, the
quiet gaps must stay within the heartbeat, and vesperod's memory must not grow.

Prints the figures, then PASS or FAIL with the reasons. By hand: --minutes 60 (the hour soak);
CI runs --minutes 2.

Usage: stream_soak.py --vesperod PATH --sim PATH [--minutes 2] [--flip 30] [--streams 100]
"""
import argparse
import json
import os
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
from web_load import Stream, rss_mb  # noqa: E402

ON_LINE, ON_BATTERY = 2, 18  # the simulator's state codes
HEARTBEAT_LIMIT = 20.0       # seconds: the server says something at least every 15 s


class WatchedStream(Stream):
    """A stream that keeps the battery/line changes of the unit it carries, and its quiet gaps."""

    def __init__(self, port, number):
        super().__init__(port, number)
        self.changes = []  # (monotonic time, "OB" or "OL")
        self.last_bytes = time.monotonic()
        self.longest_quiet = 0.0

    def feed(self, data, arrived):
        now = time.monotonic()
        self.longest_quiet = max(self.longest_quiet, now - self.last_bytes)
        self.last_bytes = now
        super().feed(data, arrived)

    def event(self, block, arrived):
        for line in block.decode("utf-8", "replace").split("\n"):
            if not line.startswith("data:") or "ups.status" not in line:
                continue
            unit = json.loads(line[5:])
            status = str(find_status(unit) or "")
            side = "OB" if "OB" in status.split() else "OL" if "OL" in status.split() else None
            if side and (not self.changes or self.changes[-1][1] != side):
                self.changes.append((time.monotonic(), side))


def find_status(node):
    if isinstance(node, dict):
        if isinstance(node.get("ups.status"), str):
            return node["ups.status"]
        for value in node.values():
            found = find_status(value)
            if found:
                return found
    elif isinstance(node, list):
        for value in node:
            found = find_status(value)
            if found:
                return found
    return None


def free_ports(n):
    socks = [socket.socket() for _ in range(n)]
    for s in socks:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in socks]
    for s in socks:
        s.close()
    return ports


def write_control(path, state):
    with open(path + ".new", "w") as f:
        f.write(f"state={state}\nsilent=0\n")
    os.replace(path + ".new", path)


def start_service(args, work):
    env = dict(os.environ, XDG_CONFIG_HOME=f"{work}/config", XDG_STATE_HOME=f"{work}/state",
               XDG_RUNTIME_DIR=f"{work}/runtime")
    os.makedirs(f"{work}/config/Tralvane")
    os.makedirs(f"{work}/state")
    os.makedirs(f"{work}/runtime", mode=0o700)
    with open(f"{work}/config/Tralvane/Ups.ini", "w") as f:
        f.write("[Orbo]\nAlderaPresent0=1\nCom0=1\nspeed0=9600\n")
    control = f"{work}/control"
    write_control(control, ON_LINE)
    sim = subprocess.Popen([args.sim, "--com", "1", "--control", control, "--ready-file", f"{work}/sim.ready"],
                           env=env, stdout=subprocess.DEVNULL, stderr=open(f"{work}/sim.err", "w"))
    for _ in range(100):
        if os.path.exists(f"{work}/sim.ready") and os.path.getsize(f"{work}/sim.ready") > 0:
            break
        time.sleep(0.1)
    nut_port, http_port = free_ports(2)
    daemon = subprocess.Popen([args.vesperod, "--listen", f"127.0.0.1:{nut_port}",
                               "--http-listen", f"127.0.0.1:{http_port}"],
                              env=env, stdout=subprocess.DEVNULL, stderr=open(f"{work}/vesperod.err", "w"))
    for _ in range(300):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{http_port}/healthz", timeout=2) as r:
                if r.status == 200:
                    return sim, daemon, http_port, control
        except OSError:
            pass
        if daemon.poll() is not None:
            break
        time.sleep(0.1)
    raise RuntimeError("vesperod did not answer /healthz within 30 s")


def soak(args, daemon, port, control):
    streams = [WatchedStream(port, i) for i in range(args.streams)]
    selector = selectors.DefaultSelector()
    for s in streams:
        selector.register(s.sock, selectors.EVENT_READ, s)
    begin = time.monotonic()
    end = begin + args.minutes * 60
    flips = []  # (monotonic time, side)
    next_flip = begin + args.flip
    memory = []  # (seconds since start, MB)
    next_sample = begin
    # The last flip must have time to arrive before the end.
    while True:
        now = time.monotonic()
        if now >= end and (not flips or now - flips[-1][0] >= 10):
            break
        if now >= next_flip and now < end - 10:
            side = "OB" if not flips or flips[-1][1] == "OL" else "OL"
            write_control(control, ON_BATTERY if side == "OB" else ON_LINE)
            flips.append((now, side))
            next_flip += args.flip
        if now >= next_sample:
            memory.append((now - begin, rss_mb(daemon.pid)))
            next_sample += 10
        for key, _ in selector.select(0.5):
            s = key.data
            try:
                chunk = s.sock.recv(262144)
            except BlockingIOError:
                continue
            except OSError:
                chunk = b""
            if not chunk:
                selector.unregister(s.sock)
                s.closed = True
                continue
            s.feed(chunk, time.time() * 1000.0)
    for s in streams:
        now = time.monotonic()
        s.longest_quiet = max(s.longest_quiet, now - s.last_bytes)
        s.sock.close()
    return streams, flips, memory


def judge(args, streams, flips, memory):
    problems = []
    closed = sum(1 for s in streams if s.closed)
    if closed:
        problems.append(f"{closed} of {len(streams)} streams were closed")
    missed, delays = 0, []
    for s in streams:
        for i, (at, side) in enumerate(flips):
            until = flips[i + 1][0] if i + 1 < len(flips) else float("inf")
            seen = [t for t, c in s.changes if c == side and at <= t < until]
            if seen:
                delays.append(seen[0] - at)
            else:
                missed += 1
    if missed:
        problems.append(f"{missed} of {len(flips) * len(streams)} flips never reached their stream")
    if len(flips) < 2:
        problems.append(f"only {len(flips)} flips in the run")
    quiet = max(s.longest_quiet for s in streams)
    if quiet > HEARTBEAT_LIMIT:
        problems.append(f"a stream heard nothing for {quiet:.1f} s")
    rss = [mb for _, mb in memory if mb is not None]
    # The first minute warms caches and buffers; flat means the rest does not climb.
    settled = [mb for t, mb in memory if mb is not None and t >= min(60, args.minutes * 30)]
    growth = (max(settled[len(settled) // 2:]) - settled[0]) if len(settled) >= 2 else 0.0
    if growth > max(5.0, 0.1 * settled[0] if settled else 0):
        problems.append(f"memory grew {growth:.1f} MB after the first minute")
    delays.sort()
    print(f"soak: {args.minutes:g} min, {len(streams)} streams, {len(flips)} flips every {args.flip:g} s")
    if delays:
        print(f"flip to stream: p50 {delays[len(delays) // 2] * 1000:.0f} ms, "
              f"p99 {delays[min(len(delays) - 1, int(0.99 * len(delays)))] * 1000:.0f} ms, "
              f"worst {delays[-1] * 1000:.0f} ms")
    print(f"streams closed: {closed}; flips missed: {missed}; longest quiet on a stream: {quiet:.1f} s")
    if rss:
        print(f"rss: first {rss[0]:.1f} MB, settled {settled[0] if settled else rss[0]:.1f} MB, "
              f"last {rss[-1]:.1f} MB, highest {max(rss):.1f} MB ({len(rss)} samples)")
    for p in problems:
        print(f"FAIL: {p}")
    print("PASS" if not problems else "FAIL")
    return not problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vesperod", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--minutes", type=float, default=2)
    parser.add_argument("--flip", type=float, default=30)
    parser.add_argument("--streams", type=int, default=100)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="vespero-soak.")
    sim = daemon = None
    ok = False
    try:
        sim, daemon, port, control = start_service(args, work)
        streams, flips, memory = soak(args, daemon, port, control)
        ok = judge(args, streams, flips, memory)
        if daemon.poll() is not None:
            print(f"FAIL: vesperod ended during the soak (status {daemon.returncode})")
            ok = False
    finally:
        for p in (daemon, sim):
            if p and p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        if not ok and os.path.exists(f"{work}/vesperod.err"):
            print("last lines of vesperod's log:")
            print("".join(open(f"{work}/vesperod.err").readlines()[-15:]))
        shutil.rmtree(work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
