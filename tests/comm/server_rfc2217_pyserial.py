#!/usr/bin/python3
"""An independent RFC 2217 access server for the tests of Bricola's client:
pyserial's PortManager over its loop:// port (every byte written comes back).

Prints "PORT <n>" once listening on 127.0.0.1, then one "LOG <text>" line per
message of the PortManager ("set baud rate: 115200", "changed DTR to active",
...). Serves one client and ends when it disconnects or stdin closes.
"""
import logging
import socket
import sys
import threading

try:
    import serial
    import serial.rfc2217
except ImportError:
    print("NOSERIAL", flush=True)
    sys.exit(3)


class Uscita(logging.Handler):
    def emit(self, record):
        print("LOG " + record.getMessage(), flush=True)


class Connessione:
    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.sock.sendall(data)


def main():
    porta = serial.serial_for_url("loop://", timeout=0.05)
    ascolto = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    ascolto.bind(("127.0.0.1", 0))
    ascolto.listen(1)
    print("PORT %d" % ascolto.getsockname()[1], flush=True)
    # End when the test that started us goes away.
    threading.Thread(target=lambda: (sys.stdin.read(), ascolto.close(), sys.exit(0)), daemon=True).start()
    client, _ = ascolto.accept()
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    logger = logging.getLogger("rfc2217")
    logger.setLevel(logging.INFO)
    logger.addHandler(Uscita())
    connessione = Connessione(client)
    manager = serial.rfc2217.PortManager(porta, connessione, logger=logger)
    vivo = True

    def dalla_porta():
        while vivo:
            dati = porta.read(porta.in_waiting or 1)
            if dati:
                try:
                    connessione.write(b"".join(manager.escape(dati)))
                except OSError:
                    break

    threading.Thread(target=dalla_porta, daemon=True).start()
    while True:
        try:
            dati = client.recv(4096)
        except OSError:
            break
        if not dati:
            break
        porta.write(b"".join(manager.filter(dati)))
    vivo = False
    print("END", flush=True)


if __name__ == "__main__":
    main()
