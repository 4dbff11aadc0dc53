#!/usr/bin/env python3
"""Soak: loopback connections at a steady rate while tarvikd is stopped and started again, then a
check that every side of every connection was logged exactly once, with close >= open.

Each connection has addresses of its own (client 127.N.x.y, server 127.N+64.x.y, N new for
each run), so a log line names its connection without doubt (up to 65,000 connections). Connections live 0-5 ms, 50-300 ms or 1-2.5 s; most close
from the client, some from the server, a few with a reset. Around each restart no socket opens or
closes (connections stay open across it), so every end falls while a monitor runs.

  scripts/soak.py build/bin/tarvikd --mode destroy --rate 300 --seconds 120 --restart-every 30

Prints one summary line per side and exits 1 when a side was logged twice, not at all, or with
its close before its open. With --bytes each side sends a known number of bytes first and the
log's extended lines must carry exactly them (connections ended by a reset are not checked).
Loopback only; every loop is bounded by --seconds.
"""
import argparse, glob, heapq, os, random, resource, selectors, shutil, signal, socket, struct, subprocess
import sys, tempfile, time
from datetime import datetime

PORT = 47123
LINGER_RESET = struct.pack("ii", 1, 0)
EXTRA = []  # more arguments for tarvikd


def payload(i):
    """Bytes the client and the server of connection i send."""
    return 100 + i * 7 % 1000, 50 + i * 13 % 500


def address(base, i):
    return socket.inet_ntoa(struct.pack("!I", base + 1 + i % 65000))


class Generator:
    def __init__(self, rate, rng, with_bytes=False):
        self.rate, self.rng, self.with_bytes = rate, rng, with_bytes
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("0.0.0.0", PORT))
        self.listener.listen(4096)
        self.listener.setblocking(False)
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.listener, selectors.EVENT_READ)
        self.made = 0
        self.clients, self.servers = {}, {}  # connection number -> socket
        self.plans = {}                       # number -> (lifetime, how it ends)
        self.ended = {}                       # number -> how it ended
        self.timers = []                      # (when, number, step)
        # A /16 of its own per run: TIME_WAIT remains of an earlier run are not this one's.
        self.net = rng.randrange(16, 64)
        self.base_c = struct.unpack("!I", socket.inet_aton(f"127.{self.net}.0.0"))[0]
        self.base_s = struct.unpack("!I", socket.inet_aton(f"127.{self.net + 64}.0.0"))[0]

    def open_one(self, now):
        i = self.made
        self.made += 1
        c = socket.socket()
        c.setblocking(False)
        c.bind((address(self.base_c, i), 0))
        c.connect_ex((address(self.base_s, i), PORT))
        r = self.rng.random()
        life = self.rng.uniform(0, 0.005) if r < 0.7 else (
            self.rng.uniform(0.05, 0.3) if r < 0.9 else self.rng.uniform(1.0, 2.5))
        r = self.rng.random()
        how = "client" if r < 0.7 else ("server" if r < 0.95 else "reset")
        self.clients[i] = c
        self.plans[i] = how
        heapq.heappush(self.timers, (now + life, i, 0))

    def accept_all(self):
        while True:
            try:
                s, peer = self.listener.accept()
            except BlockingIOError:
                return
            i = struct.unpack("!I", socket.inet_aton(peer[0]))[0] - self.base_c - 1
            self.servers[i] = s
            if self.with_bytes and i in self.clients:
                up, down = payload(i)
                self.clients[i].send(b"u" * up)
                s.send(b"d" * down)

    def step(self, now):
        self.accept_all()
        while self.timers and self.timers[0][0] <= now:
            _, i, step = heapq.heappop(self.timers)
            if step == 0 and i not in self.servers:   # not accepted yet: a moment later
                heapq.heappush(self.timers, (now + 0.01, i, step))
                continue
            how = self.plans[i]
            first, second = (self.servers, self.clients) if how == "server" else (
                self.clients, self.servers)
            s = (first if step == 0 else second).pop(i)
            if self.with_bytes:
                drain(s)  # unread data would make the close a reset
            if step == 0 and how == "reset":
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, LINGER_RESET)
            s.close()
            if step == 0:
                heapq.heappush(self.timers, (now + 0.002, i, 1))
            else:
                self.ended[i] = self.plans.pop(i)

    def busy(self):
        return bool(self.timers)


def drain(s):
    s.setblocking(False)
    try:
        while s.recv(65536):
            pass
    except (BlockingIOError, ConnectionError):
        pass


def start(tarvikd, conf, errors, events=None):
    p = subprocess.Popen([tarvikd, "--config", conf] + (["--events"] if events else []) + EXTRA,
                         stderr=open(errors, "a"),
                         stdout=open(events, "a") if events else subprocess.DEVNULL)
    deadline = time.time() + 20
    while time.time() < deadline:
        if "tarvikd: started (pid %d" % p.pid in open(errors).read():
            return p
        if p.poll() is not None:
            sys.exit("tarvikd exited at start; see " + errors)
        time.sleep(0.05)
    sys.exit("tarvikd did not start; see " + errors)


def stop(p):
    p.send_signal(signal.SIGTERM)
    try:
        p.wait(30)
    except subprocess.TimeoutExpired:
        p.kill()
        sys.exit("tarvikd did not stop within 30 s of SIGTERM")


def parse_time(text):
    return datetime.strptime(text, "%H:%M:%S %m/%d/%Y")


def check(logs, made, net, plans=None):
    """Counts the logged sides per connection, by which of its addresses is the remote one. A
    client's side is unknown or, when /etc/services names its port, inbound: any file counts.
    With `plans` (number -> how it ended), the byte counts of the extended lines too."""
    sides = {"server": {}, "client": {}}
    backwards = {"server": 0, "client": 0}
    wrong_bytes = {"server": [], "client": []}
    for path in glob.glob(os.path.join(logs, "*")):
        with open(path) as f:
            for line in f:
                fields = line.rstrip("\n").split(",")
                if len(fields) < 8 or (len(fields) > 8 and fields[8] != "TCP"):
                    continue
                if fields[2].startswith(f"127.{net}.") and fields[5].startswith(f"127.{net + 64}."):
                    side = "server"
                elif fields[2].startswith(f"127.{net + 64}.") and fields[5].startswith(f"127.{net}."):
                    side = "client"
                else:
                    continue
                n = (struct.unpack("!I", socket.inet_aton(fields[2]))[0] & 0xFFFF) - 1
                sides[side][n] = sides[side].get(n, 0) + 1
                if parse_time(fields[1]) < parse_time(fields[0]):
                    backwards[side] += 1
                if plans is not None and plans.get(n) != "reset" and len(fields) >= 11:
                    up, down = payload(n)
                    want = (down, up) if side == "server" else (up, down)
                    got = (int(fields[9]), int(fields[10]))
                    if got != want:
                        wrong_bytes[side].append((n, got, want))
    ok = True
    for side, counts in sides.items():
        twice = sum(1 for c in counts.values() if c > 1)
        missing = sum(1 for i in range(made) if i not in counts)
        print(f"{side} sides: {made} connections, {len(counts)} logged, {missing} missing, "
              f"{twice} logged more than once, {backwards[side]} with close before open")
        if missing:
            base = f"127.{net}." if side == "client" else f"127.{net + 64}."
            print(f"  missing {side} sides (their local address): " + " ".join(
                base + f"{(i + 1) >> 8}.{(i + 1) & 255}" for i in range(made) if i not in counts)[:2000])
        if plans is not None:
            wrong = wrong_bytes[side]
            print(f"  {side} sides with wrong byte counts: {len(wrong)}" +
                  "".join(f"; #{n} logged {g}, sent {w}" for n, g, w in wrong[:5]))
            ok = ok and not wrong
        ok = ok and twice == 0 and missing == 0 and backwards[side] == 0
    return ok


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tarvikd")
    ap.add_argument("--mode", default="destroy", choices=["events", "destroy", "poll"])
    ap.add_argument("--rate", type=float, default=300)
    ap.add_argument("--seconds", type=float, default=120)
    ap.add_argument("--restart-every", type=float, default=30)
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--events", action="store_true", help="keep tarvikd's events in the folder")
    ap.add_argument("--arg", action="append", default=[], help="one more argument for tarvikd")
    ap.add_argument("--bytes", action="store_true",
                    help="send known bytes each way and check the logged counts")
    args = ap.parse_args()
    EXTRA.extend(args.arg)
    if args.rate * args.seconds > 65000:
        sys.exit("at most 65,000 connections: each needs addresses of its own")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # two sockets a live connection
    work = tempfile.mkdtemp(prefix="tarvik-soak-")
    logs = os.path.join(work, "logs")
    os.makedirs(logs)
    conf = os.path.join(work, "Tarvik.conf")
    with open(conf, "w") as f:
        f.write(f"[General]\nacquisition={args.mode}\n[View]\nreverselookup=0\n"
                f"[Logging]\ninbound=1\noutbound=1\nunknown=1\ninboundfolder={logs}\n"
                f"outboundfolder={logs}\nunknownfolder={logs}\n"
                f"format={'extended' if args.bytes else 'classic'}\n[ScanWatch]\nenabled=0\n")
    errors = os.path.join(work, "stderr")
    open(errors, "w").close()
    gen = Generator(args.rate, random.Random(), args.bytes)
    events = os.path.join(work, "events") if args.events else None
    p = start(args.tarvikd, conf, errors, events)
    t0 = time.time()
    next_restart = t0 + args.restart_every
    restarts = 0
    while time.time() - t0 < args.seconds:
        now = time.time()
        if now >= next_restart:
            time.sleep(1.5)           # the running monitor sees the last ends before its stop
            stop(p)
            p = start(args.tarvikd, conf, errors, events)
            time.sleep(1.0)           # its first dump sees what stayed open
            restarts += 1
            next_restart = time.time() + args.restart_every
            t0 += time.time() - now  # the pause is no debt: the rate stays the rate
            continue
        due = int((now - t0) * args.rate) - gen.made
        for _ in range(min(due, 200)):
            gen.open_one(now)
        gen.step(now)
        gen.sel.select(0.001)
    deadline = time.time() + 10       # let every open connection end
    while gen.busy() and time.time() < deadline:
        gen.step(time.time())
        gen.sel.select(0.001)
    time.sleep(3)                     # a few polls see the last ends
    stop(p)
    print(f"mode {args.mode}: {gen.made} connections (127.{gen.net}.x.y to 127.{gen.net + 64}.x.y) "
          f"at {args.rate:g}/s for {args.seconds:g} s, "
          f"{restarts} restarts")
    ok = check(logs, gen.made, gen.net, gen.ended if args.bytes else None)
    if args.keep or args.events or not ok:
        print("work folder:", work)
    else:
        shutil.rmtree(work)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
