"""The host's end of the emulated board's UARTs 1 to 3 (run_board.sh).

    uart_host.py DIR CONSOLE REPORT SECONDS

Connects to the emulator's chardev sockets DIR/uart1, DIR/uart2 and
DIR/uart3 (telnet). It wires ttyAMA1 and ttyAMA2 to each other: what one
sends, the other receives. The emulator cannot wire two of its own sockets
reliably: a UART that sends waits for its socket holding the emulator's lock
that the receiving side needs, so here everything is read at once and
queued. What ttyAMA3 sends is dropped. Every UART's output is recorded by
the emulator in its log file.

When the board's console (the file CONSOLE) shows "@@ host_feed ready", it
sends ttyAMA3 the feed once: frames 01..06 and a data byte FF, a break
(telnet IAC BREAK, which the emulated PL011 receives as a break), more
frames; and writes "bytes=N breaks=B" of what it sent to REPORT. Ends when
the emulator closes a connection or after SECONDS.
"""

import os
import select
import socket
import sys
import time

IAC = 0xFF
IAC_BREAK = bytes([IAC, 0xF3])
READY = b"@@ host_feed ready"
FRAME = bytes(range(1, 7))
# Data bytes before and after the break: a literal FF among them.
FEED = (FRAME * 20 + b"\xff", FRAME * 20)
PAUSE_S = 0.3  # lets the board drain the UART before a break joins it


def connect(path, deadline):
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            s.setblocking(False)
            return s
        except OSError:
            s.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def console_ready(path):
    try:
        with open(path, "rb") as f:
            return READY in f.read()
    except OSError:
        return False


def feed_schedule(start):
    """(time, bytes) to send ttyAMA3; an FF of data goes over telnet as IAC IAC."""
    steps = []
    at = start
    for i, data in enumerate(FEED):
        if i > 0:
            steps.append((at, IAC_BREAK))
            at += PAUSE_S
        steps.append((at, data.replace(b"\xff", b"\xff\xff")))
        at += PAUSE_S
    return steps


def main():
    directory, console, report, seconds = sys.argv[1:5]
    deadline = time.monotonic() + float(seconds)
    uarts = {n: connect(os.path.join(directory, "uart%d" % n), time.monotonic() + 10)
             for n in (1, 2, 3)}
    peer = {1: 2, 2: 1}
    pending = {n: bytearray() for n in uarts}
    schedule = None
    while time.monotonic() < deadline:
        writers = [uarts[n] for n in uarts if pending[n]]
        readable, writable, _ = select.select(list(uarts.values()), writers, [], 0.05)
        for n, s in uarts.items():
            if s in readable:
                data = s.recv(65536)
                if not data:
                    return
                if n in peer:
                    pending[peer[n]] += data
            if s in writable:
                sent = s.send(pending[n])
                del pending[n][:sent]
        if schedule is None and console_ready(console):
            schedule = feed_schedule(time.monotonic())
            with open(report + ".new", "w") as f:
                f.write("bytes=%d breaks=%d\n" % (sum(map(len, FEED)), len(FEED) - 1))
            os.replace(report + ".new", report)
        while schedule and schedule[0][0] <= time.monotonic():
            pending[3] += schedule.pop(0)[1]


if __name__ == "__main__":
    main()
