#!/usr/bin/python3
"""The fault matrix, continued: the same faults (silence, a refusal, bad check
bytes, a flipped bit in the reply, a flipped bit in what the board stores, a
dropped connection) aimed at each request of the engines with a link of their
own, run by the real `bricola -B` against bricola-sim like the rows of
test_e2e_matrice.py, judged the same way: exit status, a bound of time, the
fault fired, no false success, the board released.
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e_matrice as M  # noqa: E402
from test_e2e_matrice import BIT_RISPOSTA, CHIUSURA, CONTROLLO, MARGINE_S, NACK, SILENZIO, Volte  # noqa: E402
from test_e2e import BRICOLA, MKIMAGE, SIM, Dati  # noqa: E402
from test_e2e_pic import SimulatoreDispositivi  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402


# --- 68331 board ---------------------------------------------------------------------------
#
# A raw image of 300 bytes (a 47 every 61 bytes, so frames need stuffing) for
# the board of code 0001: the PC's requests are the start request ("avvio",
# repeated every second while the board is silent) and the data packets
# ("dati": packets 0, 1 and 2 of 128, 128 and 44 bytes; the answer to the
# last one is the end message X). The board asks again after 1000 ms of
# silence, 3 times, then gives up; the PC gives up after 10 s without a request
# (28) and has no retries of its own.
#
# Columns: silence is a packet the board ignores; the refusal is the board
# asking for the same packet again (the protocol has no other, and none for a
# start request: a nack there leaves it unanswered); bad check bytes and a
# flipped reply bit spoil the board's request (or X), which the PC drops; a
# dropped connection leaves the PC with no request. Every one of them, on every
# attempt, ends as the 10 s silence, 28; one of them is tolerated through the
# board's own repeat, except on X, which the board never repeats. The start
# request is sent again without end while the board stays silent (the board
# may be powered later): there only a few faults can have a row. The column of
# a flipped stored bit is left out: the protocol reads nothing back, so no PC
# could tell.

def Br(posizione, bit=2):
    return {"tipo": "bitRisposta", "posizione": posizione, "bit": bit}


BIT_INVERTITO_PIC = {"tipo": "bitInvertito", "posizione": 3, "bit": 0}

S68331_DATI = bytes(b if i % 61 else 0x47 for i, b in enumerate(Dati(300, 8)))
S68331_ATTESA_S = 10  # the PC's wait for the board's next request


def Righe68331():
    righe = []

    def Riga(richiesta, dopo, guasto, atteso, attesa, perche):
        g = dict(guasto)
        g["richiesta"] = richiesta
        if dopo:
            g["dopo"] = dopo
        nome = "68331.%s%s.%s%s" % (richiesta, "#%d" % (dopo + 1) if dopo else "", g["tipo"],
                                    "x%d" % g["volte"] if "volte" in g else "")
        righe.append({"nome": nome, "guasto": g, "atteso": atteso, "limite": attesa + MARGINE_S, "perche": perche})

    Riga("avvio", 0, Volte(SILENZIO, 2), 0, 2, "start request ignored twice: the PC sends it again every second")
    Riga("avvio", 0, Volte(NACK, 2), 0, 2, "no refusal of a start request: ignored, sent again")
    Riga("avvio", 0, Volte(CONTROLLO, 1), 0, 2, "request for packet 0 dropped: the board or the PC repeats")
    Riga("avvio", 0, Volte(BIT_RISPOSTA, 1), 0, 2, "flipped length of the request: dropped, repeated")
    Riga("avvio", 0, CHIUSURA, 21, 2, "lost line: the repeated start request cannot be written")
    for dopo in (0, 1, 2):
        ultimo = dopo == 2
        fine = 0 if ultimo else 3
        Riga("dati", dopo, SILENZIO, 28, 3 + S68331_ATTESA_S, "packet ignored 4 times: the board gives up")
        Riga("dati", dopo, NACK, 28, 3 + S68331_ATTESA_S, "packet refused 4 times: the board gives up")
        Riga("dati", dopo, CONTROLLO, 28, fine + S68331_ATTESA_S,
             "X dropped, never repeated" if ultimo else "every request spoiled: dropped")
        Riga("dati", dopo, BIT_RISPOSTA, 28, fine + S68331_ATTESA_S, "flipped length: every answer dropped")
        Riga("dati", dopo, CHIUSURA, 28, S68331_ATTESA_S, "lost line: no request comes")
        Riga("dati", dopo, Volte(SILENZIO, 1), 0, 1, "one packet ignored: the board asks again")
        Riga("dati", dopo, Volte(NACK, 1), 0, 0, "one packet refused: sent again")
        if not ultimo:
            Riga("dati", dopo, Volte(CONTROLLO, 1), 0, 1, "one spoiled request: the board asks again")
    return righe


def Prova68331(caso, riga):
    scheda = {"tipo": "68331", "nome": "cpu68331", "codice": "0x0001", "baud": 38400,
              "memoria": {"inizio": "0x000000", "dimensione": "0x80000"}, "attesaMs": 1000, "tentativi": 3,
              "guasti": [riga["guasto"]]}
    caso.Avvia([scheda])
    p = os.path.join(caso.cartella, "module.dat")
    with open(p, "wb") as f:
        f.write(S68331_DATI)
    immagine = os.path.join(caso.cartella, "module.bin")
    r = subprocess.run([MKIMAGE, "-o", immagine, "--raw", "-c", "0x0001", "0:%s" % p], capture_output=True,
                       text=True, timeout=60)
    if r.returncode:
        raise RuntimeError("bricola-mkimage: " + r.stderr)
    stato, durata, errori = caso.Carica(immagine, riga["limite"])
    dump = caso.Dump()
    s = dump["schede"][0]
    scritto = (bool(s["trasferimenti"]) and s["trasferimenti"][-1]["esito"] == "completo" and
               [(x["indirizzo"], bytes.fromhex(x["dati"])) for x in s["scritti"]] == [(0, S68331_DATI)])
    return M.Controlla(riga, stato, durata, errori, dump, scritto, True, caso.sim.Righe(), rom=False)


# --- PIC board behind the PIC driver ----------------------------------------------------
#
# An application module of code 1020 (load kind 5): 16 bytes at 0x40 into a
# board of no machine yet (code FFFF) whose sector 0x40 holds an old byte. The
# driver requests in order: modo (on), leggi (the code), scrivi (signature
# 61), leggi (sector 0x40, not blank), comando (its erase), scrivi x2 (the two
# packets), leggi (the read-back), scrivi (signature 28), modo (off). Each is
# one request that completes; the loader has no retries, so every fault ends
# the job except where its effect is harmless.
#
# How a failure is coded: the mode on refused or failed, 11; reading the code,
# a signature, the blank check and the read-back failing, 15; the erase 30; a
# packet write 31; a flipped reply bit in the code read is another machine's
# code, 24, in a status word the request's failure, in the read-back data a
# difference, 32; a flipped bit in the blank check's data still finds the
# sector not blank (tolerated); a stored bit flipped is found by the
# read-back, 32. A dropped connection fails the request it carried. The driver
# has no check bytes: that column is left out. Silence (a driver request that
# never completes) is left out too: a real driver's request is a system call
# that completes or fails, and the tool has no time limit on it.
#
# Released: the device was closed with the PIC mode off (a mode on that failed
# leaves nothing to turn off), except after a dropped connection.

PIC_DATI = Dati(16, 21)

# request, ordinal, [(fault, exit status, why)]
PIC_RIGHE = [
    ("modo", 0, [(NACK, 11, "mode on refused"),
                 (Br(0), 11, "mode on status changed"),
                 (CHIUSURA, 11, "lost device at the mode on")]),
    ("leggi", 0, [(NACK, 15, "the code cannot be read"),
                  (Br(1), 24, "the code read changed: another machine"),
                  (Br(512), 15, "the status of the code read changed"),
                  (CHIUSURA, 15, "lost device while reading the code")]),
    ("scrivi", 0, [(NACK, 15, "signature 61 refused"),
                   (Br(1), 15, "signature write status changed"),
                   (CHIUSURA, 15, "lost device at the signature")]),
    ("leggi", 1, [(NACK, 15, "blank check refused"),
                  (Volte(Br(3), 1), 0, "blank check data changed: still not blank, erased"),
                  (Br(512), 15, "blank check status changed"),
                  (CHIUSURA, 15, "lost device at the blank check")]),
    ("comando", 0, [(NACK, 30, "erase refused"),
                    (Br(0), 30, "erase status changed"),
                    (CHIUSURA, 30, "lost device at the erase")]),
    ("scrivi", 1, [(NACK, 31, "packet write refused"),
                   (Br(1), 31, "packet write status changed"),
                   (BIT_INVERTITO_PIC, 32, "stored bit flipped: the read-back differs"),
                   (CHIUSURA, 31, "lost device at a packet")]),
    ("scrivi", 2, [(NACK, 31, "second packet refused"),
                   (Volte(BIT_INVERTITO_PIC, 1), 32, "stored bit flipped in the second packet"),
                   (CHIUSURA, 31, "lost device at the second packet")]),
    ("leggi", 2, [(NACK, 15, "read-back refused"),
                  (Br(5), 32, "read-back data changed"),
                  (Br(512), 15, "read-back status changed"),
                  (CHIUSURA, 15, "lost device at the read-back")]),
    ("scrivi", 3, [(NACK, 15, "signature 28 refused"),
                   (Br(1), 15, "signature 28 status changed"),
                   (CHIUSURA, 15, "lost device at the last signature")]),
]


def RighePic():
    righe = []
    for richiesta, dopo, guasti in PIC_RIGHE:
        for guasto, atteso, perche in guasti:
            g = dict(guasto)
            g["richiesta"] = richiesta
            if dopo:
                g["dopo"] = dopo
            nome = "pic.%s%s.%s%s%s" % (richiesta, "#%d" % (dopo + 1) if dopo else "", g["tipo"],
                                        "@%d" % g["posizione"] if g["tipo"] == "bitRisposta" else "",
                                        "x%d" % g["volte"] if "volte" in g else "")
            righe.append({"nome": nome, "guasto": g, "atteso": atteso, "limite": MARGINE_S, "perche": perche})
    return righe


def ProvaPic(caso, riga):
    pic = {"codice": "0xFFFF", "firma": "0xFF", "contenuto": [{"indirizzo": "0x48", "dati": "00"}],
           "guasti": {"richieste": [riga["guasto"]]}}
    caso.sim = SimulatoreDispositivi(caso.cartella, pic)
    with open(os.path.join(caso.config, "Corvanti", "bricola.ini"), "w") as f:
        f.write("[Settings]\nPorta=61\n[Ports]\nPIC0=unix:%s\n" % caso.sim.socket)
    immagine = caso.Immagine(0x1020, ["-l", "5"], [(0x40, PIC_DATI)])
    stato, durata, errori = Esegui(caso, ["-B", "-S", "-L", immagine], riga["limite"])
    caso.sim.Ferma()
    s = caso.sim.Stato()
    flash = {}
    for t in s["pic"]["nonVuoti"]:
        for i, b in enumerate(bytes.fromhex(t["dati"])):
            flash[t["inizio"] + i] = b
    scritto = flash == {0x40 + i: b for i, b in enumerate(PIC_DATI) if b != 0xFF} and s["pic"]["firma"] == "28"
    with open(caso.sim.trascrizione) as f:
        righe = [r.rstrip("\n") for r in f]
    problemi = M.Controlla(riga, stato, durata, errori, {}, scritto, False, righe, rom=False)
    g = riga["guasto"]
    if g["tipo"] != "chiusura":
        eventi = [v for v in s["richieste"] if "evento" in v]
        # A mode on whose answer was spoiled was taken as refused: the handle is
        # closed at once, which ends the mode with it.
        modo_acceso = g["richiesta"] == "modo" and g["tipo"] == "bitRisposta"
        if not eventi or eventi[-1]["evento"] != "chiusura" or (eventi[-1].get("modoPicAttivo") and not modo_acceso):
            problemi.append("the device was not closed with the PIC mode off: %r" % eventi[-1:])
    # Only a spoiled answer may follow a write the board did.
    if stato not in (None, 0) and s["pic"]["firma"] == "28" and g["tipo"] != "bitRisposta":
        problemi.append("failed, yet the signature says written and verified")
    return problemi


def Esegui(caso, argomenti, limite_s):
    """bricola with the row's settings: (exit status or None on a hang, seconds, stderr)."""
    env = dict(os.environ)
    env["XDG_CONFIG_HOME"] = caso.config
    env["TMPDIR"] = caso.tmp
    inizio = time.monotonic()
    try:
        r = subprocess.run([BRICOLA] + argomenti, capture_output=True, env=env, timeout=limite_s + 30)
        stato, errori = r.returncode, r.stderr.decode("utf-8", "replace")
    except subprocess.TimeoutExpired as e:
        stato, errori = None, (e.stderr or b"").decode("utf-8", "replace")
    return stato, time.monotonic() - inizio, errori


class MatriceAltri(unittest.TestCase):

    def setUp(self):
        for nome, p in (("BRICOLA", BRICOLA), ("BRICOLA_SIM", SIM), ("BRICOLA_MKIMAGE", MKIMAGE)):
            if not p or not os.access(p, os.X_OK):
                self.fail("%s does not name a program: %r" % (nome, p))

    def test_68331_link(self):
        M.EseguiTutte(self, Righe68331(), Prova68331)

    def test_pic_driver(self):
        M.EseguiTutte(self, RighePic(), ProvaPic)


if __name__ == "__main__":
    unittest.main()
