#!/usr/bin/env python3
"""A slow upgrade server, to measure how long one step can hold `kestrel-cli update`.

It answers the announcement as the reference server does and offers firmware, but sends one
step one byte at a time, GAP seconds apart: the length line ("length") or the data ("data"); or
it answers every step of the announcement GAP seconds late ("every"), each just inside the
client's limit for a step; or it announces LENGTH bytes (default 1 MiB) and sends them in chunks
of 8 KiB, one every GAP seconds ("chunks"), each chunk inside the step limit however large the
announced length. It prints how long the client waited in that step (for "every" and "chunks",
in the whole session) and whether it then gave up (closed the connection) or went on, and ends
after one session.

    slow_upgrade_server.py ADDRESS length 25    # the length line "100", one byte every 25 s
    slow_upgrade_server.py ADDRESS data 20      # 12 bytes of data, one byte every 20 s
    slow_upgrade_server.py ADDRESS every 29     # each announcement step answered after 29 s
    slow_upgrade_server.py ADDRESS chunks 29 1048576  # 1 MiB announced, 8 KiB every 29 s

Run `kestrel-cli update` with KESTREL_UPDATE_HOST=ADDRESS (the port is always 5001) and
KESTREL_PORTS at a simulated QX40 (qx40-sim).
"""
import socket
import sys
import time


def crc16(data):
    # CRC-16/MODBUS, its two bytes swapped, as the tool checks it.
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return "%04X" % ((crc >> 8) | ((crc & 0xFF) << 8))


class Peer:
    def __init__(self, conn):
        self.conn = conn
        self.buf = b""

    def line(self):
        while b"\r\n" not in self.buf:
            got = self.conn.recv(4096)
            if not got:
                raise EOFError
            self.buf += got
        text, self.buf = self.buf.split(b"\r\n", 1)
        return text.decode("latin-1")

    def send(self, text):
        self.conn.sendall(text.encode("latin-1") + b"\r\n")

    def trickle(self, data, gap):
        """Sends data a byte at a time; returns when the client closed (None) or the time."""
        start = time.monotonic()
        for i in range(len(data)):
            try:
                self.conn.sendall(data[i:i + 1])
            except OSError:
                return None
            # Wait out the gap, noticing at once when the client closes.
            self.conn.settimeout(gap if i + 1 < len(data) else 0.001)
            try:
                if self.conn.recv(1, socket.MSG_PEEK) == b"":
                    return time.monotonic() - start
            except socket.timeout:
                pass
            except OSError:
                return time.monotonic() - start
            finally:
                self.conn.settimeout(None)
        return time.monotonic() - start


def send_chunks(peer, image, gap, session_start):
    """Sends image in chunks of 8 KiB with the client's handshake between them, each chunk GAP
    seconds after the one before; returns the client's last line, or None when it closed."""
    chunk = 8192
    for at in range(0, len(image), chunk):
        peer.conn.settimeout(gap)
        try:
            if peer.conn.recv(1, socket.MSG_PEEK) == b"":
                return None
        except socket.timeout:
            pass
        finally:
            peer.conn.settimeout(None)
        peer.conn.sendall(image[at:at + chunk])
        print("chunk %d sent %.1f s into the session" % (at // chunk + 1,
                                                         time.monotonic() - session_start))
        sys.stdout.flush()
        if at + chunk < len(image):
            if peer.line() != "OK":
                return None
            peer.send("OK")
            if peer.line() != "OK":
                return None
    return peer.line()


def main():
    address, mode, gap = sys.argv[1], sys.argv[2], float(sys.argv[3])
    length = int(sys.argv[4]) if len(sys.argv) > 4 else 1024 * 1024
    server = socket.create_server((address, 5001))
    conn, _ = server.accept()
    session_start = time.monotonic()
    peer = Peer(conn)
    announced = []
    try:
        while not announced or announced[-1] != "IDOK":
            announced.append(peer.line())
            if mode == "every":
                time.sleep(gap)
            peer.send("PASSOK" if announced[-1] == "IDOK" else "OK")
    except (EOFError, OSError):
        print("every step: the client waited %.1f s in all (%d steps answered), then closed the "
              "connection" % (time.monotonic() - session_start, len(announced) - 1))
        return
    request = dict(zip(announced[0:-1:2], announced[1::2]))
    image = (bytes(range(1, 101)) if mode == "length" else
             bytes(i % 251 for i in range(length)) if mode == "chunks" else bytes(range(1, 13)))

    step_start = time.monotonic()
    try:
        if mode == "length":
            peer.trickle(b"%d\r\n" % len(image), gap)
        else:
            peer.send(str(len(image)))
        peer.line()  # the length echoed
        if mode == "length":
            print("length step: the client waited %.1f s, then went on"
                  % (time.monotonic() - step_start))
        peer.send("OK")
        values = [request["UserName"], request["HVer"], "1.21", request["UseCount"],
                  request["RegInfo"], request["PCInfo"], request["OriginalID"], request["CID1"],
                  request["CID2"], request["CID3"], request["CID4"], "3", request["SWVer"]]
        for value in values:
            peer.send(value)
        peer.send(" ".join(values) + " ")
        peer.line()  # OK
        peer.send(crc16(image))
        peer.line()  # the CRC echoed
        if mode == "data":
            step_start = time.monotonic()
            peer.trickle(image, gap)
        elif mode == "chunks":
            step_start = session_start
            ending = send_chunks(peer, image, gap, session_start)
            if ending is None:
                raise EOFError
        else:
            peer.conn.sendall(image)
        if mode != "chunks":
            ending = peer.line()
        if mode == "data":
            print("data step: the client waited %.1f s, then went on"
                  % (time.monotonic() - step_start))
        print("session ended with " + ending)
    except (EOFError, OSError):
        print("%s step: the client waited %.1f s, then closed the connection"
              % (mode, time.monotonic() - step_start))


if __name__ == "__main__":
    main()
