"""bricola-sim seen through pyserial's RFC 2217 client: a third-party client
that shares nothing with the tool. Usage: pyserial_rfc2217.py SIM_EXE MACHINE"""
import os
import subprocess
import sys
import tempfile
import time

import serial


def check(frame):
    """The three request check bytes that bring the rotate-5 hash to 0."""
    h = 0
    for b in frame:
        h = (((h << 5) | (h >> 11)) & 0xFFFF) ^ b
    out = bytearray(frame)
    for _ in range(3):
        t = ((h << 5) | (h >> 11)) & 0xFFFF
        out.append(t & 0xFF)
        h = t ^ (t & 0xFF)
    return bytes(out)


def reply_ok(r, first):
    h = 0
    for b in r[:-2]:
        h = (((h << 5) | (h >> 11)) & 0xFFFF) ^ b
    return len(r) >= 3 and r[0] == first and r[-2] == (h & 0xFF) and r[-1] == (h >> 8)


def dtr_pulse(s):
    s.rts = False  # with RTS asserted the board would start its ROM bootstrap
    s.dtr = True
    time.sleep(0.05)
    s.dtr = False
    time.sleep(0.05)


def main():
    exe, machine = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as d:
        transcript = os.path.join(d, "t.txt")
        sim = subprocess.Popen([exe, "--machine", machine, "--listen", "127.0.0.1:0", "--once",
                                "--transcript", transcript], stdout=subprocess.PIPE, text=True)
        try:
            line = sim.stdout.readline().strip()
            assert line.startswith("listening on 127.0.0.1:"), line
            port = int(line.rsplit(":", 1)[1])
            s = serial.serial_for_url("rfc2217://127.0.0.1:%d" % port, baudrate=38400, timeout=1)
            dtr_pulse(s)
            s.write(bytes.fromhex("f3600318"))
            assert s.read(5) == bytes.fromhex("f3341291ca")

            # Speed negotiation: the reply comes at 38400, then the board is at 115200.
            s.write(check(b"\xf7\x04"))
            r = s.read(4)
            assert reply_ok(r, 0xF7) and r[1] == 1, r.hex()
            s.write(check(b"\xf7\x05\x01"))
            r = s.read(4)
            assert reply_ok(r, 0xF7) and r[1] == 0, r.hex()
            s.write(bytes.fromhex("f3600318"))
            assert s.read(5) == b"", "request at 38400 after the switch must be lost"
            s.baudrate = 115200
            s.write(bytes.fromhex("f3600318"))
            assert s.read(5) == bytes.fromhex("f3341291ca")

            # A DTR pulse puts the boot back at 38400.
            dtr_pulse(s)
            s.write(bytes.fromhex("f3600318"))
            assert s.read(5) == b""
            s.baudrate = 38400
            s.write(bytes.fromhex("f3600318"))
            assert s.read(5) == bytes.fromhex("f3341291ca")
            s.close()
            assert sim.wait(timeout=10) == 0
        finally:
            if sim.poll() is None:
                sim.kill()
        text = open(transcript).read()
        assert "linea baud 115200" in text, text
        assert text.count("reset controllo: boot residente a 38400") == 2, text
        assert "controllo ora a 115200" in text, text
    print("ok")


if __name__ == "__main__":
    main()
