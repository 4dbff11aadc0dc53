#!/usr/bin/env python3
# Busy-machine trial: 3,000 connections from one host with reverse lookup on against a name
# server that never answers, a mail server that trickles, SIGTERM in the middle. Loopback only.
# Usage, as root (the silent name server binds 127.0.0.53:53; point the resolver at it for the
# run and put the old file back afterwards):
#   cp /etc/resolv.conf /tmp/resolv.conf.orig; echo nameserver 127.0.0.53 >/etc/resolv.conf
#   scripts/busy-trial.py build/bin/tarvikd 3000 [events|destroy|poll]
#   cp /tmp/resolv.conf.orig /etc/resolv.conf
import os, socket, subprocess, threading, time, signal, glob, sys
D = "/tmp/busy"
TARVIKD = sys.argv[1]
N = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
MODE = sys.argv[3] if len(sys.argv) > 3 else "auto"
stop = threading.Event()

def silent_dns():            # swallows queries on 127.0.0.53:53: every lookup times out
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.53", 53)); s.settimeout(0.5)
    while not stop.is_set():
        try: s.recv(2048)
        except socket.timeout: pass

def trickling_smtp():        # one byte of its greeting per second, never finishing
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 2525)); s.listen(8); s.settimeout(0.5)
    while not stop.is_set():
        try: c, _ = s.accept()
        except socket.timeout: continue
        def drip(c=c):
            for b in b"220-slow greeting that never ends\r\n" * 100:
                if stop.is_set(): break
                try: c.send(bytes([b]))
                except OSError: break
                time.sleep(1)
        threading.Thread(target=drip, daemon=True).start()

for f in (silent_dns, trickling_smtp):
    threading.Thread(target=f, daemon=True).start()
listeners = []
for port in (8001, 8002, 8003):
    l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    l.bind(("127.0.0.1", port)); l.listen(4096); listeners.append(l)
logs = D + "/logs"; os.makedirs(logs, exist_ok=True)
for f in glob.glob(logs + "/*"): os.remove(f)
open(D + "/Tarvik.conf", "w").write(
    f"[General]\nacquisition={MODE}\n[View]\nreverselookup=1\n[Logging]\ninbound=1\noutbound=0\nunknown=0\n"
    f"inboundfolder={logs}\n[ScanWatch]\nemailalert=1\nmailhost=127.0.0.1:2525\n"
    "notificationaddresses=root@localhost\neventlog=0\n")
start = time.time()
p = subprocess.Popen([TARVIKD, "--config", D + "/Tarvik.conf"], stderr=open(D + "/stderr", "w"))
time.sleep(2)
clients, accepted = [], []
for i in range(N):           # all from 127.0.0.5; three local ports so that it alerts
    c = socket.socket(); c.bind(("127.0.0.5", 0)); c.connect(("127.0.0.1", 8001 + i % 3))
    clients.append(c); accepted.append(listeners[i % 3].accept()[0])
time.sleep(31)               # the 30 s scan check alerts; its mail trickles
half = N // 2
for s in clients[:half] + accepted[:half]: s.close()
time.sleep(2)                # two polls see them end
rss = [l for l in open(f"/proc/{p.pid}/status") if l.startswith("VmRSS")][0].split()[1]
t0 = time.time(); p.send_signal(signal.SIGTERM); rc = p.wait(); stopped = time.time() - t0
lines = sum(1 for f in glob.glob(logs + "/*") for l in open(f) if ",127.0.0.5," in l)
stop.set()
print(f"{MODE}: {N} connections from 127.0.0.5, {half} closed before SIGTERM; tarvikd RSS {int(rss)//1024} MiB;"
      f" stopped in {stopped:.2f} s (exit {rc}); logged lines from 127.0.0.5: {lines}")
print(open(D + "/stderr").read()[-600:])
