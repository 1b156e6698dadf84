"""The simulated 68331 board over RFC 2217 through pyserial, a client that
shares nothing with the tool: the PC end of the link is written here from the
link's rules. Usage: pyserial_68331.py SIM_EXE"""
import json
import os
import subprocess
import sys
import tempfile
import time

import serial


def checksum(b):
    return sum(k + x for k, x in enumerate(b)) & 0xFF


def packet(msg):
    p = len(msg).to_bytes(2, "big") + msg
    return p + bytes([checksum(p)])


def frame(payload):
    return b"GG" + payload.replace(b"G", b"G\xb8") + b"GG"


class Pc:
    """Reads the board's frames and answers them as a correct tool does."""

    def __init__(self, s, image, code):
        self.s, self.image, self.code = s, image, code
        self.raw = b""

    def frames(self, timeout):
        """Payloads of the frames that arrive within timeout seconds."""
        end = time.time() + timeout
        out = []
        while time.time() < end and not out:
            self.raw += self.s.read(self.s.in_waiting or 1)
            while True:
                start = self.raw.find(b"GG")
                if start < 0:
                    break
                i, p = start + 2, bytearray()
                while i + 1 < len(self.raw):
                    if self.raw[i] == 0x47 and self.raw[i + 1] == 0x47:
                        break
                    if self.raw[i] == 0x47:
                        p.append(0x47)
                        i += 2
                    else:
                        p.append(self.raw[i])
                        i += 1
                if i + 1 >= len(self.raw):
                    break
                self.raw = self.raw[i + 2:]
                out.append(bytes(p))
        return out

    def start(self):
        self.s.write(frame(packet(b"Z" + len(self.image).to_bytes(4, "big") + (128).to_bytes(2, "big"))))

    def transfer(self, restarts=5):
        """Runs one module; returns 0 or the code of the failure, and the bytes repeated."""
        first, index, done, last, length, repeated = True, 0, 0, b"", 0, 0
        remaining = len(self.image)
        self.start()
        while True:
            got = self.frames(1.0)
            if not got:
                if first and restarts > 0:
                    restarts -= 1
                    self.start()
                    continue
                return "silence", repeated
            for p in got:
                if len(p) < 3 or int.from_bytes(p[:2], "big") + 3 != len(p) or checksum(p[:-1]) != p[-1]:
                    continue  # dropped silently
                m = p[2:-1]
                if m[:1] == b"X":
                    return 0, repeated
                if m[:1] != b"G":
                    continue
                code, n = int.from_bytes(m[1:3], "big"), int.from_bytes(m[3:7], "big")
                if first:
                    if code != self.code:
                        return 24, repeated
                    if n != 0:
                        return (25 if remaining == 0 else 26), repeated
                    first = False
                elif n == index:
                    repeated += length
                    self.s.write(last)
                    continue
                elif remaining == 0:
                    return 25, repeated
                elif n == index + 1:
                    index += 1
                    done += length
                    remaining -= length
                else:
                    return 26, repeated
                length = min(128, remaining)
                last = frame(packet(b"P" + self.code.to_bytes(2, "big") + n.to_bytes(4, "big") +
                                    self.image[done:done + length]))
                self.s.write(last)


def run(exe, board, image, code=1, paced=False):
    with tempfile.TemporaryDirectory() as d:
        machine, dump, transcript = (os.path.join(d, n) for n in ("m.json", "d.json", "t.txt"))
        with open(machine, "w") as f:
            json.dump({"schede": [dict({"tipo": "68331", "nome": "cpu", "codice": 1}, **board)]}, f)
        sim = subprocess.Popen([exe, "--machine", machine, "--listen", "127.0.0.1:0", "--once",
                                "--dump", dump, "--transcript", transcript] + (["--paced"] if paced else []), stdout=subprocess.PIPE, text=True)
        try:
            line = sim.stdout.readline().strip()
            assert line.startswith("listening on 127.0.0.1:"), line
            s = serial.serial_for_url("rfc2217://%s" % line.split()[-1], baudrate=38400, timeout=0.05)
            s.dtr = False
            s.rts = False
            result = Pc(s, image, code).transfer()
            s.close()
            assert sim.wait(timeout=10) == 0
        finally:
            if sim.poll() is None:
                sim.kill()
        return result, json.load(open(dump))["schede"][0], open(transcript).read()


def main():
    exe = sys.argv[1]
    image = bytes((i * 37 + (i >> 8)) & 0xFF for i in range(1000))

    (rc, rep), b, t = run(exe, {}, image)
    assert (rc, rep) == (0, 0), (rc, rep, t)
    assert b["anomalie"] == [], b["anomalie"]
    assert b["scritti"][0]["dati"] == image.hex()
    assert b["trasferimenti"][0]["pacchetti"] == 8 and b["trasferimenti"][0]["esito"] == "completo"
    assert "-> cpu P dati codice 0001 pacchetto 7, 104 byte" in t, t

    # Real line timing: 1000 bytes at 38400 bit/s, with the board's timers running.
    started = time.time()
    (rc, rep), b, t = run(exe, {"attesaMs": 300}, image, paced=True)
    assert (rc, rep) == (0, 0) and b["anomalie"] == [] and "di nuovo" not in t, (rc, t)
    assert time.time() - started > 0.3
    assert b["scritti"][0]["dati"] == image.hex()

    (rc, rep), b, t = run(exe, {"guasti": [{"tipo": "ripetizione", "pacchetto": 3}]}, image)
    assert (rc, rep) == (0, 128), (rc, rep, t)
    assert b["anomalie"] == [] and b["trasferimenti"][0]["ripetuti"] == 1, b
    assert b["scritti"][0]["dati"] == image.hex()

    # The spoiled request is dropped by the PC; the board asks again after attesaMs.
    (rc, rep), b, t = run(exe, {"attesaMs": 200, "guasti": [{"tipo": "controllo", "pacchetto": 2}]}, image)
    assert (rc, rep) == (0, 0), (rc, rep, t)
    assert b["anomalie"] == [] and b["scritti"][0]["dati"] == image.hex(), b
    assert "nessuna risposta in 200 ms, chiede di nuovo il pacchetto 2" in t, t

    # Start requests ignored: the PC repeats its own until the board answers.
    (rc, rep), b, t = run(exe, {"guasti": [{"tipo": "silenzio", "volte": 2}]}, image)
    assert rc == 0 and t.count("Z avvio lunghezza 1000") == 3, t

    (rc, _), b, t = run(exe, {"guasti": [{"tipo": "fuoriSequenza", "pacchetto": 4}]}, image)
    assert rc == 26 and b["anomalie"] == [], (rc, b)
    (rc, _), b, t = run(exe, {"guasti": [{"tipo": "oltreFine"}]}, image)
    assert rc == 25 and b["trasferimenti"][0]["pacchettoVuoto"] and b["anomalie"] == [], (rc, b)
    (rc, _), b, t = run(exe, {"codice": 2}, image)
    assert rc == 24, rc

    # At another baud rate the board hears nothing.
    (rc, _), b, t = run(exe, {"baud": 19200}, image)
    assert rc == "silence" and b["trasferimenti"] == [] and "persi 14 byte dal pc" in t, (rc, t)
    print("ok")


if __name__ == "__main__":
    main()
