#!/usr/bin/env python3
"""Which transfer connection serves which request, tried against the real
server from outside, many times over.

    bench/pairing_trials.py [--rounds N] [--server PATH]

Starts the server in a scratch folder on the fixed ports (run it where those
are free, e.g. in `unshare -n`), then repeats each pattern N times, each from
its own loopback address so that the patterns run side by side:
  stray      a connection to the transfer port closed empty, reset, sent an
             HTTP request, or left open; then two uploads and a download
  refused    a refused upload or download whose client never connects, then
             after 0 ms, 100 ms, 1 s or 3 s an upload that connects at once
  refused-connected
             a refused upload whose client connects at once and closes after
             reading the refusal; then an upload
  neighbours two clients behind one address: one transfer runs long while the
             other makes its own uploads and downloads
Every upload must store exactly what its client sent and answer 18, every
download must bring exactly the file. Prints one line per pattern; exits 1 on
any failure.
"""
import argparse
import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

CONTROL, TRANSFER = 23322, 23323
OK, FAILED = 18, 19
TIMEOUT = 20.0


def text(value):
    return bytes([len(value)]) + value


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


class Failure(Exception):
    pass


def read_exact(sock, count):
    data = b""
    while len(data) < count:
        piece = sock.recv(count - len(data))
        if not piece:
            raise Failure(f"closed after {len(data)} of {count} bytes")
        data += piece
    return data


def read_all(sock):
    data = b""
    while True:
        piece = sock.recv(1 << 16)
        if not piece:
            return data
        data += piece


def connect(port, source):
    sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT,
                                    source_address=(source, 0))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


class Session:
    def __init__(self, source, name=b"", password=b"pw"):
        self.source = source
        self.control = connect(CONTROL, source)
        if name:
            self.control.sendall(frame(b"\x01" + text(name) + text(password)))
            reply = read_exact(self.control, 1)[0]
            if reply != OK:
                raise Failure(f"login answered {reply}")

    def close(self):
        self.control.close()

    def upload(self, name, data):
        self.control.sendall(frame(b"\x04" + text(name) + struct.pack(">II", 65536, len(data))))
        transfer = connect(TRANSFER, self.source)
        transfer.sendall(data)
        transfer.shutdown(socket.SHUT_WR)
        reply = read_exact(self.control, 1)[0]
        transfer.close()
        if reply != OK:
            raise Failure(f"upload of {name!r} answered {reply}")

    def download(self, name):
        self.control.sendall(frame(b"\x03" + text(name) + struct.pack(">I", 65536) + b"\x18"))
        transfer = connect(TRANSFER, self.source)
        size = struct.unpack(">I", read_exact(self.control, 4))[0]
        data = read_all(transfer)
        transfer.close()
        if len(data) != size:
            raise Failure(f"download of {name!r}: {len(data)} of {size} bytes")
        return data

    def refused(self, kind):
        if kind == "upload":
            request = b"\x04" + text(b"../x") + struct.pack(">II", 65536, 5)
        else:
            request = b"\x03" + text(b"x")  # short: no piece size
        self.control.sendall(frame(request))
        reply = read_exact(self.control, 1)[0]
        if reply != FAILED:
            raise Failure(f"refused {kind} answered {reply}")


def stored(folder, user, name):
    with open(os.path.join(folder, "Users", user, name), "rb") as file:
        return file.read()


def check_upload(session, folder, user, name, data):
    session.upload(name, data)
    got = stored(folder, user, name.decode())
    if got != data:
        raise Failure(f"{name!r} holds {len(got)} bytes, not the {len(data)} sent")


def pattern_stray(folder, source, round_, kind):
    stray = connect(TRANSFER, source)
    if kind == "reset":
        stray.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        stray.close()
    elif kind == "http":
        stray.sendall(b"GET / HTTP/1.0\r\n\r\n")
        stray.close()
    elif kind == "fin":
        stray.close()
    session = Session(source, b"STRAY")
    try:
        first = os.urandom(1000 + round_)
        second = os.urandom(3000 + round_)
        tag = source.encode()
        check_upload(session, folder, "STRAY", tag + b"-1.bin", first)
        check_upload(session, folder, "STRAY", tag + b"-2.bin", second)
        if session.download(tag + b"-1.bin") != first:
            raise Failure("the download brought other bytes")
    finally:
        session.close()
        if kind == "open":
            stray.close()


def pattern_refused(folder, source, round_, kind, delay):
    session = Session(source, b"REFUSED")
    try:
        session.refused(kind)
        time.sleep(delay)
        data = os.urandom(2000 + round_)
        check_upload(session, folder, "REFUSED", source.encode() + b".bin", data)
    finally:
        session.close()


def pattern_refused_connected(folder, source, round_):
    session = Session(source, b"CONNECTED")
    try:
        session.control.sendall(frame(b"\x04" + text(b"../x") + struct.pack(">II", 65536, 5)))
        transfer = connect(TRANSFER, source)
        reply = read_exact(session.control, 1)[0]
        if reply != FAILED:
            raise Failure(f"refused upload answered {reply}")
        transfer.close()
        data = os.urandom(1500 + round_)
        check_upload(session, folder, "CONNECTED", source.encode() + b".bin", data)
    finally:
        session.close()


def pattern_neighbours(folder, source, round_, direction):
    # Larger than every buffer between the two: the download is still under
    # way when the neighbour is done.
    long_data = os.urandom((16 if direction == "download" else 2) << 20)
    long_name = source.encode() + b"-long.bin"
    own_name = source.encode() + b"-own.bin"
    runner = Session(source, b"RUNNER")
    other = Session(source, b"OTHER")
    try:
        if direction == "download":
            with open(os.path.join(folder, "Users", "RUNNER", long_name.decode()), "wb") as file:
                file.write(long_data)
            runner.control.sendall(frame(b"\x03" + text(long_name) + struct.pack(">I", 4096)
                                         + b"\x18"))
            transfer = connect(TRANSFER, source)
            size = struct.unpack(">I", read_exact(runner.control, 4))[0]
            got = read_exact(transfer, 65536)
        else:
            runner.control.sendall(frame(b"\x04" + text(long_name)
                                         + struct.pack(">II", 4096, len(long_data))))
            transfer = connect(TRANSFER, source)
            transfer.sendall(long_data[:65536])
        # The neighbour's own transfers while the long one is under way.
        for step in range(2):
            data = os.urandom(5000 + round_ + step)
            check_upload(other, folder, "OTHER", own_name, data)
            if other.download(own_name) != data:
                raise Failure("the neighbour's download brought other bytes")
        if direction == "download":
            got += read_all(transfer)
            transfer.close()
            if got != long_data or size != len(long_data):
                raise Failure("the long download brought other bytes")
        else:
            transfer.sendall(long_data[65536:])
            transfer.shutdown(socket.SHUT_WR)
            reply = read_exact(runner.control, 1)[0]
            transfer.close()
            if reply != OK or stored(folder, "RUNNER", long_name.decode()) != long_data:
                raise Failure("the long upload stored other bytes")
    finally:
        runner.close()
        other.close()


def run_pattern(name, trial, rounds, results):
    failures = []
    began = time.monotonic()
    for round_ in range(rounds):
        try:
            trial(round_)
        except (Failure, OSError) as error:
            failures.append(f"round {round_}: {error}")
    results[name] = (failures, time.monotonic() - began)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--server", default=os.path.join(os.path.dirname(__file__), "..",
                                                         "build", "vextora-server"))
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="pairing-")
    users = ["STRAY", "REFUSED", "CONNECTED", "RUNNER", "OTHER"]
    with open(os.path.join(folder, "users.dat"), "wb") as file:
        for user in users:
            file.write(user.encode() + b"\r\npw\r\n")
    for user in users:
        os.makedirs(os.path.join(folder, "Users", user))
    server = subprocess.Popen([os.path.abspath(args.server), "--headless"], cwd=folder,
                              stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", CONTROL), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        patterns = {}
        address = 10
        for kind in ["fin", "reset", "http", "open"]:
            patterns[f"stray {kind}"] = (address, lambda r, k=kind, a=address: pattern_stray(
                folder, f"127.0.0.{a}", r, k))
            address += 1
        for kind in ["upload", "download"]:
            for delay in [0, 0.1, 1, 3]:
                patterns[f"refused {kind}, next after {delay} s"] = (
                    address, lambda r, k=kind, d=delay, a=address: pattern_refused(
                        folder, f"127.0.0.{a}", r, k, d))
                address += 1
        patterns["refused upload, connected and closed"] = (
            address, lambda r, a=address: pattern_refused_connected(folder, f"127.0.0.{a}", r))
        address += 1
        for direction in ["upload", "download"]:
            patterns[f"neighbours beside a long {direction}"] = (
                address, lambda r, d=direction, a=address: pattern_neighbours(
                    folder, f"127.0.0.{a}", r, d))
            address += 1
        # Each pattern has its own address and file names: all run at once.
        results = {}
        threads = [threading.Thread(target=run_pattern, args=(name, trial, args.rounds, results))
                   for name, (_, trial) in patterns.items()]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        server.terminate()
        server.wait(10)
        shutil.rmtree(folder, ignore_errors=True)

    failed = 0
    for name in patterns:
        failures, seconds = results.get(name, (["did not run"], 0))
        failed += len(failures)
        print(f"{name}: {args.rounds - len(failures)}/{args.rounds} passed in {seconds:.1f} s")
        for line in failures[:5]:
            print(f"    {line}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
