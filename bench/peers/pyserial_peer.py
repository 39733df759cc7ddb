#!/usr/bin/python3
"""pyserial as a receiver of the serial benchmark (the modes are described in PeerCommon.h).

Read the way its documentation shows: serial.threaded.ReaderThread with a LineReader protocol
(CR LF terminator); handle_line runs on the reader thread.
"""
import sys
import threading
import time

import serial
import serial.threaded

PROBE = b"TRG0000000010000\r\n"
LINE_LENGTH = 18
SEARCH_WAIT = 0.5


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def open_port(device, timeout=None):
    return serial.Serial(device, 19200, bytesize=8, parity="N", stopbits=1,
                         xonxoff=False, rtscts=False, dsrdtr=False, timeout=timeout)


def search(devices):
    start = time.monotonic_ns()
    for index, device in enumerate(devices):
        try:
            port = open_port(device, timeout=SEARCH_WAIT)
        except (serial.SerialException, OSError):
            continue
        found = False
        try:
            port.write(PROBE)
            deadline = time.monotonic() + SEARCH_WAIT
            while not found:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                port.timeout = left
                line = port.read_until(b"\r\n")
                if line.endswith(b"\r\n") and line[:-2].upper() == b"OK":
                    found = True
        finally:
            port.close()
        if found:
            say("search 1 %d %d" % (index, time.monotonic_ns() - start))
            return 0
    say("search 0 %d %d" % (len(devices) - 1, time.monotonic_ns() - start))
    return 0


def main():
    mode = sys.argv[1]
    if mode == "search":
        return search(sys.argv[2:])
    device = sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    if mode == "openclose":
        start = time.monotonic_ns()
        for _ in range(count):
            port = open_port(device)
            port.write(PROBE)
            port.close()
        say("cycles %d %d" % (count, time.monotonic_ns() - start))
        return 0

    done = threading.Event()
    state = {"lines": 0, "bad": 0, "done_ns": 0}

    class Receiver(serial.threaded.LineReader):
        def handle_line(self, line):
            state["lines"] += 1
            if mode == "throughput":
                if len(line) != LINE_LENGTH:
                    state["bad"] += 1
                if state["lines"] == count:
                    state["done_ns"] = time.monotonic_ns()
                    done.set()
            elif mode == "latency":
                if line == "BYE":
                    done.set()
                else:
                    self.transport.write(PROBE)
            elif mode == "flood":
                if line.endswith("END"):
                    done.set()

        def connection_lost(self, exc):
            done.set()

    port = open_port(device)
    reader = serial.threaded.ReaderThread(port, Receiver)
    reader.start()
    reader.connect()
    say("ready")
    cpu0 = time.process_time_ns()
    if mode == "idle":
        done.wait(count)
        say("cpu %d" % (time.process_time_ns() - cpu0))
    else:
        done.wait()
        if mode == "throughput":
            say("done %d %d %d" % (state["done_ns"], state["lines"], state["bad"]))
        else:
            say("done %d" % state["lines"])
    reader.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
