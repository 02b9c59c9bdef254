"""A wide-area line between the update host's clients and a server on loopback, for the bench
(bench/korvantis_bench/line.py starts and stops it inside bench/run.sh's network namespace).
TCP bytes are forwarded untouched (TLS passes through); what loopback lacks is added:

- every chunk is released half a round trip after it was read, in each direction, while later
  chunks keep flowing (a delay line, not stop-and-wait);
- a new connection's first bytes from the client wait one more round trip (the TCP
  handshake, which the client's connect() did not wait for);
- one downstream rate (server to client) is shared by all connections: chunks leave one shared
  link in the order they were read, each taking its size / rate; upstream is not limited.

Neither loss nor TCP's slow start is modelled. Each connection and direction holds at most
rate x RTT bytes in the relay (1 to 64 MiB); beyond that it stops reading, so the sender waits
as it would for a full window.

A line that drops can be: with --drop-every N, each connection is closed on both sides once N
bytes went downstream on it. The client gets exactly those N bytes, then the end of the
connection, wherever the server's answer was; the rest never leaves the relay.

    wan_relay.py --listen 127.0.0.1:443 --to 127.0.0.1:8443 --rtt-ms 40 --mbit 100 \\
                 --log FILE [--max-seconds 3600] [--max-bytes N] [--drop-every N]

It runs until SIGTERM, until its standard input closes (the bench that started it is gone), or
until a safety limit is reached (then exit code 3). FILE gets one line per event: "listening",
"open ID T", "drop ID T DOWN", "close ID T UP DOWN", and "exit REASON ..." with totals; T in
seconds since the start."""

from __future__ import annotations

import argparse
import asyncio
import collections
import itertools
import os
import selectors
import signal
import socket
import sys
import threading
import time

READ_SIZE = 256 << 10
MAX_LAG = 0.002
DROP = object()  # in a direction's queue: the line drops once what is before it has arrived


class Link:
    """One direction of the line. Shared by all connections when it has a rate."""

    def __init__(self, bytes_per_second: float | None, one_way: float):
        self.rate = bytes_per_second
        self.one_way = one_way
        self.free_at = 0.0
        # Pieces small enough that a response's first bytes do not wait for a whole read
        # to pass the link (about a millisecond each, 16 KiB at least).
        self.piece = max(16 << 10, int(bytes_per_second / 1000)) if bytes_per_second else None

    def arrivals(self, now: float, data: bytes):
        """(arrival time, piece) for each piece of data read at now."""
        if not self.rate:
            yield now + self.one_way, data
            return
        for start in range(0, len(data), self.piece):
            piece = data[start:start + self.piece]
            self.free_at = max(now, self.free_at) + len(piece) / self.rate
            yield self.free_at + self.one_way, piece


class Relay:
    def __init__(self, args):
        self.args = args
        self.rtt = args.rtt_ms / 1000
        rate = args.mbit * 1e6 / 8 if args.mbit > 0 else None
        self.down = Link(rate, self.rtt / 2)
        self.up = Link(None, self.rtt / 2)
        self.limit = min(64 << 20, max(1 << 20, int(rate * self.rtt) if rate else 0))
        self.started = time.monotonic()
        self.ids = itertools.count(1)
        self.total = 0
        self.bytes_up = self.bytes_down = 0
        self.connections = 0
        self.drops = 0
        self.late: list[float] = []  # how long after its time each write went out
        self.lag = 0.0  # how early timers are set
        self.tasks: set[asyncio.Task] = set()
        self.log_file = open(args.log, "a", buffering=1, encoding="utf-8")
        self.stopped: asyncio.Future | None = None

    def log(self, text: str) -> None:
        self.log_file.write(text + "\n")

    def now(self) -> float:
        return time.monotonic() - self.started

    def stop(self, reason: str, code: int = 0) -> None:
        if self.stopped and not self.stopped.done():
            self.stopped.set_result((reason, code))

    async def pump(self, src: asyncio.StreamReader, dst: asyncio.StreamWriter, link: Link,
                   charge: float, counts: list[int], index: int, cut: int = 0,
                   dropped=None) -> None:
        """cut: bytes after which the line drops (0: never); dropped() is then called as it
        closes dst."""
        loop = asyncio.get_running_loop()
        queue: collections.deque = collections.deque()
        ready = asyncio.Event()   # the queue has something
        room = asyncio.Event()    # the queue is below the limit
        room.set()
        held = [0]
        last = [0.0]
        start: list[float] = []  # nothing leaves before: the first byte's time + charge

        async def read() -> None:
            while True:
                await room.wait()
                try:
                    data = await src.read(READ_SIZE)
                except ConnectionError:
                    data = b""  # a reset ends this direction like a close
                now = loop.time()
                if data and not start:
                    start.append(now + charge)
                now = max([now, *start])
                if not data:
                    queue.append((max(last[0], now + link.one_way), None))
                    ready.set()
                    return
                drop = cut and counts[index] + len(data) >= cut
                if drop:
                    data = data[:cut - counts[index]]
                counts[index] += len(data)
                self.total += len(data)
                if self.total > self.args.max_bytes:
                    self.stop(f"byte limit {self.args.max_bytes} reached", 3)
                for when, piece in link.arrivals(now, data):
                    queue.append((when, piece))
                    last[0] = when
                held[0] += len(data)
                if held[0] >= self.limit:
                    room.clear()
                if drop:
                    # What came from the server after the cut never reaches the client.
                    queue.append((max(last[0], now + link.one_way), DROP))
                    ready.set()
                    return
                ready.set()

        async def write() -> None:
            while True:
                await ready.wait()
                if not queue:
                    ready.clear()
                    continue
                target = queue[0][0] - self.lag
                wait = target - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                    # Timers fire a little late on a busy machine: wake that much earlier.
                    overshoot = loop.time() - target
                    self.lag = min(MAX_LAG, max(0.0, 0.9 * self.lag + 0.1 * overshoot))
                now = loop.time()
                due = now + self.lag
                if queue[0][0] > due:
                    continue
                self.late.append(now - queue[0][0])
                # Everything due leaves in one write.
                pieces = []
                while queue and queue[0][0] <= due and queue[0][1] not in (None, DROP):
                    pieces.append(queue.popleft()[1])
                if pieces:
                    dst.write(b"".join(pieces))
                    await dst.drain()
                    held[0] -= sum(map(len, pieces))
                    if held[0] < self.limit:
                        room.set()
                elif queue[0][1] is None:
                    try:
                        dst.write_eof()
                    except OSError:
                        pass  # the other side is gone already
                    return
                else:
                    # Closed, not reset: a reset would throw away bytes still in the socket's
                    # buffer, and the client is to get all it was counted.
                    dst.close()
                    dropped()
                    try:
                        await dst.wait_closed()
                    except OSError:
                        pass
                    return

        reader = asyncio.ensure_future(read())
        try:
            await write()
        finally:
            reader.cancel()

    async def handle(self, client_r: asyncio.StreamReader, client_w: asyncio.StreamWriter) -> None:
        number = next(self.ids)
        self.tasks.add(asyncio.current_task())
        self.connections += 1
        self.log(f"open {number} {self.now():.4f}")
        counts = [0, 0]
        server_w = None
        try:
            client_w.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            host, port = self.args.to.rsplit(":", 1)
            server_r, server_w = await asyncio.open_connection(host, int(port))
            server_w.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

            def dropped() -> None:
                self.drops += 1
                server_w.transport.abort()
                self.log(f"drop {number} {self.now():.4f} {counts[1]}")

            # The handshake a real line costs before the client's first byte may leave
            # (charged then: what the client did after connecting is not part of it).
            results = await asyncio.gather(
                self.pump(client_r, server_w, self.up, self.rtt, counts, 0),
                self.pump(server_r, client_w, self.down, 0.0, counts, 1,
                          self.args.drop_every, dropped),
                return_exceptions=True)
            for r in results:
                if isinstance(r, Exception) and not isinstance(r, ConnectionError):
                    self.log(f"error {number} {r!r}")
        except ConnectionError:
            pass
        finally:
            for w in (client_w, server_w):
                if w is not None:
                    w.transport.abort()
            self.bytes_up += counts[0]
            self.bytes_down += counts[1]
            self.log(f"close {number} {self.now():.4f} {counts[0]} {counts[1]}")
            self.tasks.discard(asyncio.current_task())

    async def run(self) -> int:
        loop = asyncio.get_running_loop()
        self.stopped = loop.create_future()
        host, port = self.args.listen.rsplit(":", 1)
        server = await asyncio.start_server(self.handle, host, int(port), reuse_address=True,
                                            backlog=128)
        loop.add_signal_handler(signal.SIGTERM, self.stop, "SIGTERM")
        loop.add_signal_handler(signal.SIGINT, self.stop, "SIGINT")
        loop.call_later(self.args.max_seconds, self.stop,
                        f"time limit {self.args.max_seconds} s reached", 3)

        def watch_stdin() -> None:
            while os.read(0, 4096):
                pass
            loop.call_soon_threadsafe(self.stop, "standard input closed")

        threading.Thread(target=watch_stdin, daemon=True).start()
        self.log(f"listening {self.args.listen} -> {self.args.to} rtt_ms={self.args.rtt_ms} "
                 f"mbit={self.args.mbit} held_limit={self.limit}"
                 + (f" drop_every={self.args.drop_every}" if self.args.drop_every else ""))
        reason, code = await self.stopped
        server.close()
        for task in list(self.tasks):
            task.cancel()
        await asyncio.gather(*self.tasks, return_exceptions=True)
        cpu = time.process_time()
        late = sorted(self.late) or [0.0]
        drops = f"drops={self.drops} " if self.args.drop_every else ""
        self.log(f"exit {reason}: connections={self.connections} {drops}up={self.bytes_up} "
                 f"down={self.bytes_down} cpu_s={cpu:.2f} wall_s={self.now():.1f} "
                 f"writes={len(late)} late_ms_mean={1000 * sum(late) / len(late):.3f} "
                 f"late_ms_median={1000 * late[len(late) // 2]:.3f} "
                 f"late_ms_p99={1000 * late[len(late) * 99 // 100]:.3f}")
        return code


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--listen", required=True, help="HOST:PORT to accept on")
    parser.add_argument("--to", required=True, help="HOST:PORT of the server")
    parser.add_argument("--rtt-ms", type=float, default=40.0)
    parser.add_argument("--mbit", type=float, default=100.0,
                        help="downstream rate shared by all connections (0: none)")
    parser.add_argument("--log", required=True)
    parser.add_argument("--max-seconds", type=float, default=3600.0)
    parser.add_argument("--max-bytes", type=int, default=64 << 30)
    parser.add_argument("--drop-every", type=int, default=0, metavar="BYTES",
                        help="close each connection once this many bytes went downstream on it "
                             "(0: never)")
    args = parser.parse_args()
    if args.rtt_ms < 0 or args.mbit < 0 or args.drop_every < 0:
        parser.error("--rtt-ms, --mbit and --drop-every must not be negative")
    # select() wakes within microseconds of a timer; epoll counts whole milliseconds, which
    # would add up to one to every half round trip. The relay has few sockets.
    loop = asyncio.SelectorEventLoop(selectors.SelectSelector())
    try:
        return loop.run_until_complete(Relay(args).run())
    finally:
        loop.close()


if __name__ == "__main__":
    sys.exit(main())
