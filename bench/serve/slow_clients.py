#!/usr/bin/python3
"""How `likeness serve` answers while slow and idle clients hold connections to it.

Starts the service on a home, measures /healthz and a search alone, then again while SLOW
connections send the start of a request head one byte every two seconds (--slow-interval) and IDLE connections send
nothing (each one reopened as soon as the service closes it, as an attacker would), and finally
sends SIGTERM with those clients still at it and a search under way, and times the exit.

    bench/serve/slow_clients.py --likeness build/likeness --home HOME --query PICTURE [--slow 200] [--idle 200]

Prints one line per figure and, with --json FILE, writes them there. Latencies are wall-clock
milliseconds from sending a request to having its whole answer; a request that gets no answer
within --give-up seconds counts as that many.
"""
import argparse
import json
import os
import select
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

SLOW_HEAD = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "


def answer_time(port, request, give_up):
    """Seconds from sending request until the whole answer is in, or give_up when it is not."""
    started = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=give_up) as connection:
            connection.sendall(request)
            received = b""
            while True:
                head_end = received.find(b"\r\n\r\n")
                if head_end >= 0:
                    head = received[:head_end].decode("latin-1").lower()
                    length = 0
                    for line in head.split("\r\n"):
                        if line.startswith("content-length:"):
                            length = int(line.split(":", 1)[1])
                    if len(received) >= head_end + 4 + length:
                        return time.monotonic() - started, head.split(" ")[1]
                left = give_up - (time.monotonic() - started)
                if left <= 0:
                    return give_up, "none"
                connection.settimeout(left)
                piece = connection.recv(65536)
                if not piece:
                    return give_up, "closed"
                received += piece
    except OSError:
        return give_up, "failed"


class Crowd:
    """count connections, kept open: reopened when the service closes one."""

    def __init__(self, port, count, slow, interval):
        self.port, self.count, self.slow, self.interval = port, count, slow, interval
        self.sockets = []
        self.reopened = 0
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)

    def open_one(self):
        try:
            connection = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            connection.setblocking(False)
            return [connection, 0]
        except OSError:
            return None

    def run(self):
        while self.running:
            kept = []
            for entry in self.sockets:
                connection, sent = entry
                readable, _, _ = select.select([connection], [], [], 0)
                closed = False
                if readable:
                    try:
                        closed = connection.recv(65536) == b""
                    except OSError:
                        closed = True
                if not closed and self.slow:
                    try:
                        connection.send(SLOW_HEAD[sent % len(SLOW_HEAD):sent % len(SLOW_HEAD) + 1])
                        entry[1] += 1
                    except OSError:
                        closed = True
                if closed:
                    connection.close()
                    self.reopened += 1
                else:
                    kept.append(entry)
            while len(kept) < self.count:
                entry = self.open_one()
                if entry is None:
                    break
                kept.append(entry)
            self.sockets = kept
            time.sleep(self.interval if self.slow else 0.2)

    def start(self):
        self.thread.start()

    def stop(self):
        self.running = False
        self.thread.join()
        for connection, _ in self.sockets:
            connection.close()


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None


def measure(port, label, requests, give_up, figures):
    for name, request, repeats in requests:
        times = []
        statuses = []
        for _ in range(repeats):
            seconds, status = answer_time(port, request, give_up)
            times.append(seconds * 1000)
            statuses.append(status)
        key = label + "_" + name
        figures[key + "_median_ms"] = round(statistics.median(times), 1)
        figures[key + "_max_ms"] = round(max(times), 1)
        figures[key + "_statuses"] = sorted(set(statuses))
        print(f"{label} {name}: median {statistics.median(times):.1f} ms, max {max(times):.1f} ms "
              f"over {repeats}, statuses {sorted(set(statuses))}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--likeness", required=True)
    parser.add_argument("--home", required=True)
    parser.add_argument("--query", required=True, help="a picture to search with")
    parser.add_argument("--slow", type=int, default=200)
    parser.add_argument("--idle", type=int, default=200)
    parser.add_argument("--slow-interval", type=float, default=2.0, help="seconds between a slow client's bytes")
    parser.add_argument("--give-up", type=float, default=20.0)
    parser.add_argument("--json")
    options = parser.parse_args()

    figures = {}
    service = subprocess.Popen([options.likeness, "--home", options.home, "-q", "serve", "--listen", "127.0.0.1:0"],
                               stdout=subprocess.PIPE, text=True)
    first = service.stdout.readline()
    port = int(first.split("http://127.0.0.1:")[1].split(" ")[0])
    figures["service"] = first.strip()
    with open(options.query, "rb") as picture:
        query = picture.read()
    health = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n" % port
    search = (b"POST /search?n=5 HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/octet-stream\r\n"
              b"Content-Length: %d\r\nConnection: close\r\n\r\n" % (port, len(query))) + query
    requests = [("healthz", health, 20), ("search", search, 10)]
    figures.update({"slow_connections": options.slow, "idle_connections": options.idle})

    measure(port, "alone", requests, options.give_up, figures)
    figures["alone_resident_kib"] = resident_kib(service.pid)
    crowds = [Crowd(port, options.slow, True, options.slow_interval), Crowd(port, options.idle, False, 0.2)]
    crowd_start = time.monotonic()
    for crowd in crowds:
        crowd.start()
    time.sleep(3)
    measure(port, "crowded", requests, options.give_up, figures)
    figures["crowded_resident_kib"] = resident_kib(service.pid)
    print(f"resident memory: {figures['alone_resident_kib']} KiB alone, {figures['crowded_resident_kib']} KiB "
          "beside the clients", flush=True)
    # Long enough for a service with a deadline on heads to have closed each of them at least once.
    time.sleep(max(0.0, 12 - (time.monotonic() - crowd_start)))
    figures["closed_connections_in_12_s"] = sum(crowd.reopened for crowd in crowds)
    print(f"connections the service closed in the clients' first 12 s: {figures['closed_connections_in_12_s']}",
          flush=True)

    in_flight = {}
    searching = threading.Thread(target=lambda: in_flight.update(
        answer=answer_time(port, search, options.give_up)), daemon=True)
    searching.start()
    time.sleep(0.01)
    asked = time.monotonic()
    service.send_signal(signal.SIGTERM)
    try:
        status = service.wait(timeout=60)
        figures["stop_seconds"] = round(time.monotonic() - asked, 2)
        figures["stop_status"] = status
    except subprocess.TimeoutExpired:
        service.kill()
        service.wait()
        figures["stop_seconds"] = None
    searching.join(timeout=options.give_up)
    figures["search_under_way_at_stop"] = in_flight.get("answer", (None, "none"))[1]
    print(f"SIGTERM with the clients still at it: exited after {figures['stop_seconds']} s "
          f"(status {figures.get('stop_status')}); the search under way got {figures['search_under_way_at_stop']}",
          flush=True)
    for crowd in crowds:
        crowd.stop()
    if options.json:
        with open(options.json, "w") as out:
            json.dump(figures, out, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
