#!/usr/bin/python3
"""The fault matrix: for each protocol engine and each request it sends, the
simulated board is given one fault aimed at that request (silence, a refusal,
bad check bytes, a flipped bit in the reply, a flipped bit in what it stores,
a dropped connection), and the real `bricola -B` must end with the code the
protocol's rules give for it, within a bound of time, never with a false
success, and with the board released.

The rows are generated from the tables below: (request, fault, expected exit
status, why). Each row runs against a fresh bricola-sim of its own; the rows
only wait, so a pool of threads runs them side by side. A row whose exit
status is 0 is a fault the protocol tolerates (a retried request): the flash
must then hold the module.

Released: the PC left RTS cleared, and a loader that takes the board out of its
ROM bootstrap ended with a DTR pulse without RTS after its last byte (the
simulator's dump, section `linea`).
"""

import concurrent.futures
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
from test_e2e import BRICOLA, MKIMAGE, SIM, Dati, Memoria, Scheda, Simulatore  # noqa: E402

PARALLELI = 8
# Time every row may take beyond the protocol's own waits: start-up, the reset
# pulse and the settle time, a loaded machine.
MARGINE_S = 20.0
# Inter-byte silence that drops a half-received request on the board: long,
# so that a loaded machine splitting a request is not taken for a fault.
PAUSA_MS = 1500

# Faults as the machine file writes them (volte absent: every matching request).
SILENZIO = {"tipo": "silenzio"}
NACK = {"tipo": "nack"}
CONTROLLO = {"tipo": "controllo"}
BIT_RISPOSTA = {"tipo": "bitRisposta", "posizione": 1, "bit": 2}
BIT_INVERTITO = {"tipo": "bitInvertito", "posizione": 10, "bit": 0, "volte": 1}
CHIUSURA = {"tipo": "chiusura"}


def Volte(guasto, n):
    g = dict(guasto)
    g["volte"] = n
    return g


class Caso:
    """One row: its own folder, simulator, settings and image."""

    def __init__(self, nome):
        self.nome = nome
        self.cartella = tempfile.mkdtemp(prefix="bricola-matrice-")
        self.config = os.path.join(self.cartella, "config")
        self.tmp = os.path.join(self.cartella, "tmp")
        os.makedirs(os.path.join(self.config, "Corvanti"))
        os.makedirs(self.tmp)
        self.sim = None
        self.ini = ""

    def Avvia(self, schede, ini_extra=""):
        self.sim = Simulatore(self.cartella, {"schede": schede, "linea": {"pausaMassimaMs": PAUSA_MS}})
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "w") as f:
            f.write("[Ports]\nCOM3=rfc2217://127.0.0.1:%d\n" % self.sim.porta)
            f.write(ini_extra)

    def Immagine(self, codice, opzioni, blocchi, nome="image.bin"):
        argomenti = [MKIMAGE, "-o", os.path.join(self.cartella, nome), "-c", "0x%04X" % codice] + list(opzioni)
        for j, (indirizzo, dati) in enumerate(blocchi):
            p = os.path.join(self.cartella, "%s.%d.dat" % (nome, j))
            with open(p, "wb") as f:
                f.write(dati)
            argomenti.append("0x%X:%s" % (indirizzo, p))
        r = subprocess.run(argomenti, capture_output=True, text=True, timeout=60)
        if r.returncode:
            raise RuntimeError("bricola-mkimage: " + r.stderr)
        return os.path.join(self.cartella, nome)

    def Carica(self, immagine, limite_s):
        """bricola -B -S -C 3 -L image: (exit status or None on a hang, seconds, stderr)."""
        env = dict(os.environ)
        env["XDG_CONFIG_HOME"] = self.config
        env["TMPDIR"] = self.tmp
        inizio = time.monotonic()
        try:
            r = subprocess.run([BRICOLA, "-B", "-S", "-C", "3", "-L", immagine], capture_output=True, env=env,
                               timeout=limite_s + 30)
            stato, errori = r.returncode, r.stderr.decode("utf-8", "replace")
        except subprocess.TimeoutExpired as e:
            stato, errori = None, (e.stderr or b"").decode("utf-8", "replace")
        durata = time.monotonic() - inizio
        self.sim.Ferma()
        return stato, durata, errori

    def Dump(self):
        return self.sim.Dump()

    def Fine(self, tenere):
        if self.sim and self.sim.processo.poll() is None:
            self.sim.Ferma()
        if tenere or os.environ.get("BRICOLA_E2E_TENERE"):
            return self.cartella
        shutil.rmtree(self.cartella, ignore_errors=True)
        return None


def Controlla(riga, stato, durata, errori, dump, scritto_ok, rilascio, righe, rom):
    """What is wrong with the outcome of a row (empty list: nothing)."""
    problemi = []
    # A row whose fault never fired proves nothing.
    if not any(r.split(" ", 1)[-1].startswith(("guasto ", "guasto:")) for r in righe):
        problemi.append("the fault never fired")
    if stato is None:
        problemi.append("no end within %.0f s (hang)" % (riga["limite"] + 30))
        return problemi
    if stato != riga["atteso"]:
        problemi.append("exit status %d, expected %d (%s)" % (stato, riga["atteso"], errori.strip()))
    if durata > riga["limite"]:
        problemi.append("took %.1f s, bound %.1f s" % (durata, riga["limite"]))
    if stato == 0:
        if "upload complete" not in errori:
            problemi.append("exit 0 without \"upload complete\": %r" % errori)
        if not scritto_ok:
            problemi.append("exit 0 but the flash does not hold the module (false success)")
    elif "upload complete" in errori:
        problemi.append("\"upload complete\" with exit status %d" % stato)
    if not rilascio:
        return problemi
    linea = dump.get("linea", {})
    if linea.get("rts", True):
        problemi.append("RTS left asserted")
    if rom:
        # Out of the ROM bootstrap: the last reset was a pulse without RTS after the last byte.
        if linea.get("ultimoResetConRts", True) or not linea.get("ultimoResetDopoDati", False):
            problemi.append("no final DTR pulse without RTS after the last byte: %r" % linea)
    elif linea.get("resetConRts", 1):
        problemi.append("a reset with RTS asserted on a resident boot: %r" % linea)
    return problemi


def EseguiTutte(test, righe, prova):
    """Runs every row through prova(caso, riga) -> problems, side by side; fails with the list."""
    def Una(riga):
        caso = Caso(riga["nome"])
        try:
            problemi = prova(caso, riga)
        except Exception as e:  # a row that cannot even run is a failing row
            problemi = ["%s: %s" % (type(e).__name__, e)]
        cartella = caso.Fine(bool(problemi))
        return riga, problemi, cartella

    inizio = time.monotonic()
    falliti = []
    with concurrent.futures.ThreadPoolExecutor(PARALLELI) as pool:
        for riga, problemi, cartella in pool.map(Una, righe):
            if problemi:
                falliti.append("%s [%s]: %s (folder %s)" % (riga["nome"], riga["perche"], "; ".join(problemi),
                                                            cartella))
    sys.stderr.write("%d rows in %.1f s, %d failing\n" % (len(righe), time.monotonic() - inizio, len(falliti)))
    test.assertEqual(falliti, [], "\n" + "\n".join(falliti))


# --- resident boot -------------------------------------------------------------------------
#
# One module of 2048 bytes at FC0000 for the local board (machine code 1234,
# boot 68, micro type 7 so the load reads everything back). FC0000 holds data
# already, so the sector is blank-checked, found not blank and erased. The
# requests in the order they go: GetFirma (local), GetVersione, GetVelocitaMassima,
# SetVelocita, SetRemoto (to 0), GetFirma (the target: the second GetFirma),
# GetVersione (second), GetMicro, LunBuf, FlashBlocco, Blank, Erase, Write x5,
# Read x5, Fine.
#
# Reply timeouts: 1000 ms, but LunBuf, Codice, Fine, Reboot 2000, Blank 6000,
# Erase 8000, Write 3000. Attempts: GetFirma on the local board practically
# without end, the target's GetFirma, SetRemoto, LunBuf, Blank, Erase, Write
# and Read 5; FlashBlocco 1; GetVersione, GetVelocitaMassima, SetVelocita,
# GetMicro and Fine none.
#
# How a failure is coded: silence is the reply timeout (28) once the attempts
# are spent; a NACK alone is 35 through the incomplete-reply rule, except
# SetRemoto (34 after four NACKs), FlashBlocco (70, its own code for "not
# recognised") and Fine (no NACK test: the deadline passes, 28); bad check bytes
# and a flipped reply bit both fail the reply check, 29 after the attempts; a
# flipped stored bit is found by the read-back, 32. A dropped connection: the
# request that was lost times out and is sent again; the first repeat still
# leaves the PC (the network takes it before the server's reset comes back),
# times out too, and the second cannot be written: a send failure (22, never
# retried). A request with fewer than three attempts ends on its timeout (28,
# or the code its timeout has); the local GetFirma first changes the line's
# speed, which a line that is gone cannot confirm (68).

BOOT_DATI = Dati(2048, 31)
BOOT_PRIMA = bytes([0x00] * 16)  # already in the first sector: it is not blank

# request, ordinal (dopo), timeout s, attempts
BOOT_RICHIESTE = [
    ("GetFirma", 0, 1, None),
    ("GetVersione", 0, 1, 1),
    ("GetVelocitaMassima", 0, 1, 1),
    ("SetVelocita", 0, 1, 1),
    ("SetRemoto", 0, 1, 5),
    ("GetFirma", 1, 1, 5),
    ("GetVersione", 1, 1, 1),
    ("GetMicro", 0, 1, 1),
    ("LunBuf", 0, 2, 5),
    ("FlashBlocco", 0, 1, 1),
    ("Blank", 0, 6, 5),
    ("Erase", 0, 8, 5),
    ("Write", 0, 3, 5),
    ("Read", 0, 1, 5),
    ("Fine", 0, 2, 1),
]


BOOT_IDENTIFICAZIONE = {"GetFirma", "GetVersione", "GetVelocitaMassima", "SetVelocita", "SetRemoto", "GetMicro",
                        "Reboot", "ModoDati"}


def RigheBoot():
    righe = []

    def Riga(richiesta, dopo, guasto, atteso, limite, perche):
        g = dict(guasto)
        g["richiesta"] = richiesta
        if dopo:
            g["dopo"] = dopo
        nome = "boot.%s%s.%s%s" % (richiesta, "#%d" % (dopo + 1) if dopo else "", g["tipo"],
                                   "x%d" % g["volte"] if "volte" in g else "")
        righe.append({"nome": nome, "guasto": g, "atteso": atteso, "limite": limite + MARGINE_S, "perche": perche})

    for richiesta, dopo, t, tentativi in BOOT_RICHIESTE:
        if tentativi is None:
            # The local board is waited for without end: a fault that never
            # ends cannot end the job; a few faulty answers are tolerated.
            Riga(richiesta, dopo, Volte(SILENZIO, 2), 0, 2 * t, "unanswered GetFirma sent again, speed alternating")
            Riga(richiesta, dopo, Volte(NACK, 2), 0, 0, "NACKed GetFirma sent again")
            Riga(richiesta, dopo, Volte(CONTROLLO, 2), 0, 1, "bad reply check: line reopened, GetFirma again")
            Riga(richiesta, dopo, Volte(BIT_RISPOSTA, 1), 0, 1, "flipped reply bit fails the check: sent again")
            Riga(richiesta, dopo, CHIUSURA, 68, t, "timeout, then the speed change a lost line cannot confirm")
            continue
        tempo = t * tentativi
        silenzio = 28
        nack = 35
        chiusura = 22 if tentativi > 2 else 28
        if richiesta == "SetRemoto":
            silenzio, nack = 34, 34  # every SetRemoto failure is "remote load failed"
        if richiesta == "GetFirma":
            nack = 37  # a NACK to GetFirma: the addressed board cannot be reached
        if richiesta == "FlashBlocco":
            nack = 70  # NACK: the boot does not know the block query
        if richiesta == "Fine":
            nack = 28  # no NACK test: the deadline passes
        Riga(richiesta, dopo, SILENZIO, silenzio, tempo, "reply timeout after %d attempt(s)" % tentativi)
        Riga(richiesta, dopo, NACK, nack, tempo, "NACK after %d attempt(s)" % tentativi)
        Riga(richiesta, dopo, CONTROLLO, 29, tempo, "reply check fails %d time(s)" % tentativi)
        Riga(richiesta, dopo, BIT_RISPOSTA, 29, tempo, "flipped reply bit fails the check")
        Riga(richiesta, dopo, CHIUSURA, chiusura, tempo + t,
             "lost line: send failure on the next attempt" if tentativi > 1 else "lost line: timeout, no attempt left")
        if tentativi > 1:
            # One faulty answer is retried: the load goes through.
            Riga(richiesta, dopo, Volte(SILENZIO, 1), 0, t, "one timeout, retried")
            Riga(richiesta, dopo, Volte(NACK, 1), 0 if richiesta != "GetFirma" else 0, 0, "one NACK, retried")
            Riga(richiesta, dopo, Volte(CONTROLLO, 1), 0, 0, "one bad check, retried")
        if richiesta == "Write":
            Riga(richiesta, dopo, BIT_INVERTITO, 32, 0, "stored bit flipped: the read-back differs")

    # A module for the remote board at CAN address 0482: the local boot is told
    # SetRemoto, the remote board Reboot (2 attempts of 2000 ms; a timeout is
    # "cannot be reached", 37; the first NACK ends it as a refused reboot, 38).
    def Remota(guasto, atteso, limite, perche):
        Riga("Reboot", 0, guasto, atteso, limite, perche)
        righe[-1]["scenario"] = "remoto"
    Remota(SILENZIO, 37, 4, "Reboot unanswered twice: the board cannot be reached")
    Remota(NACK, 38, 0, "the first NACK to Reboot ends it")
    Remota(CONTROLLO, 29, 4, "Reboot reply check fails twice")
    Remota(BIT_RISPOSTA, 29, 4, "flipped reply bit fails the check")
    Remota(CHIUSURA, 37, 4, "lost line: the one repeat leaves the PC, then times out")
    Remota(Volte(SILENZIO, 1), 0, 2, "one Reboot unanswered, retried")
    Remota(Volte(CONTROLLO, 1), 0, 0, "one bad check, retried")

    # A data module: ModoDati before LunBuf (5 attempts of 1000 ms; a NACK means
    # the boot does not know the data mode, 42).
    def Dati_(guasto, atteso, limite, perche):
        Riga("ModoDati", 0, guasto, atteso, limite, perche)
        righe[-1]["scenario"] = "dati"
    Dati_(SILENZIO, 28, 5, "ModoDati unanswered 5 times")
    Dati_(NACK, 42, 0, "ModoDati not known: no data mode")
    Dati_(CONTROLLO, 29, 5, "ModoDati reply check fails")
    Dati_(BIT_RISPOSTA, 29, 5, "flipped reply bit fails the check")
    Dati_(CHIUSURA, 22, 2, "lost line: the repeated ModoDati cannot be written")
    Dati_(Volte(SILENZIO, 1), 0, 1, "one ModoDati unanswered, retried")
    Dati_(Volte(CONTROLLO, 1), 0, 0, "one bad check, retried")
    return righe


def ProvaBoot(caso, riga):
    flash = {"mappa": "M256", "contenuto": [{"indirizzo": "0xFC0000", "dati": BOOT_PRIMA.hex()}]}
    scenario = riga.get("scenario", "locale")
    if scenario == "remoto":
        caso.Avvia([Scheda(micro=7, flash=flash),
                    Scheda("pagamenti", 0x2001, micro=7, can=0x0482, flash=dict(flash), guasti=[riga["guasto"]])])
        immagine = caso.Immagine(0x2001, ["-m", "1", "-a", "0x482"], [(0xFC0000, BOOT_DATI)])
        scheda = 1
    else:
        caso.Avvia([Scheda(micro=7, flash=flash, guasti=[riga["guasto"]])])
        opzioni = ["-m", "1", "-k", "2"] if scenario == "dati" else ["-m", "1"]
        immagine = caso.Immagine(0x1234, opzioni, [(0xFC0000, BOOT_DATI)])
        scheda = 0
    stato, durata, errori = caso.Carica(immagine, riga["limite"])
    dump = caso.Dump()
    m = Memoria(dump["schede"][scheda])
    scritto = all(m.get(0xFC0000 + i) == b for i, b in enumerate(BOOT_DATI))
    return Controlla(riga, stato, durata, errori, dump, scritto, True, caso.sim.Righe(), rom=False)


# --- F2MC-16LX ROM bootstrap and the MB90F497 writer's RAM loader -------------------------
#
# A boot module of 512 bytes at FF8000 into an MB90F497 (sectors FF0000,
# FF8000, FFA000, FFC000; FF8000 holds data already). On the wire: the
# bootstrap check 18, seven RAM blocks, the execute, then the loader's LunBuf,
# Blank of FF8000, Erase, Write x5 (buffer 128: 116-byte chunks), Read x3 (at
# most 255 bytes), and the Erase of the signature sector (the second Erase).
#
# Attempts and timeouts: the check 100000 x 2000 ms (a 16LX board is waited
# for), a RAM block 1 x 2000 ms, LunBuf, Erase, Write, Read 5 (2000, 8000, 3000,
# 1000 ms), Blank and the signature Erase none (6000, 8000 ms).
#
# How a failure is coded: a block acknowledged wrongly (the refusal 00, or any
# changed byte) is 27, never sent again; a block unanswered 28; the loader's
# replies as the resident boot's: timeout 28, a lone F9 35, a failing frame
# check 29, a stored bit flipped 32 at the read-back. Blank and the signature
# Erase have no NACK test and no retry: a lone F9 waits for the deadline, 28.
# A dropped connection: an unanswered check is sent again on a line that is
# gone, 21 (a check that cannot be written); a RAM block has no second attempt,
# 28; after the execute the line is set to the loader's speed, a line change
# that fails, 68; the loader's requests with attempts are sent on a dead line, 22; a Read that cannot be written is not tested, it ends as a timeout,
# 28. A connection that dropped cannot carry the release pulse: those rows do
# not judge the release.

F2MC_DATI = Dati(512, 41)

# request, ordinal, timeout s, attempts, a NACK's code, how a dropped connection ends
F2MC_RICHIESTE = [
    ("check", 0, 2, None, None, 21),
    ("blocco", 0, 2, 1, 27, 28),
    ("blocco", 6, 2, 1, 27, 28),
    ("esecuzione", 0, 0, 1, None, 68),
    ("LunBuf", 0, 2, 5, 35, 22),
    ("Blank", 0, 6, 1, 28, 28),
    ("Erase", 0, 8, 5, 35, 22),
    ("Write", 0, 3, 5, 35, 22),
    ("Read", 0, 1, 5, 35, 28),
    ("Erase", 1, 8, 1, 28, 28),
]


def RigheF2mc():
    righe = []

    def Riga(richiesta, dopo, guasto, atteso, limite, perche):
        g = dict(guasto)
        g["richiesta"] = richiesta
        if dopo:
            g["dopo"] = dopo
        nome = "f2mc.%s%s.%s%s" % (richiesta, "#%d" % (dopo + 1) if dopo else "", g["tipo"],
                                   "x%d" % g["volte"] if "volte" in g else "")
        righe.append({"nome": nome, "guasto": g, "atteso": atteso, "limite": limite + MARGINE_S, "perche": perche})

    for richiesta, dopo, t, tentativi, nack, chiusura in F2MC_RICHIESTE:
        if tentativi is None:
            Riga(richiesta, dopo, Volte(SILENZIO, 2), 0, 2 * t, "unanswered check sent again")
            Riga(richiesta, dopo, Volte(NACK, 2), 0, 0, "wrong check answer: check sent again")
            Riga(richiesta, dopo, Volte(BIT_RISPOSTA, 1), 0, 0, "changed check answer: check sent again")
            Riga(richiesta, dopo, CHIUSURA, chiusura, t, "lost line: the repeated check cannot be written")
            continue
        if richiesta == "esecuzione":
            # The 16LX execute has no answer: only the dropped line applies.
            Riga(richiesta, dopo, CHIUSURA, chiusura, 1, "lost line: the switch to the loader's speed fails")
            continue
        tempo = t * tentativi
        bootstrap = richiesta == "blocco"
        Riga(richiesta, dopo, SILENZIO, 28, tempo, "reply timeout after %d attempt(s)" % tentativi)
        Riga(richiesta, dopo, NACK, nack, tempo, "refused" if bootstrap else "NACK after %d attempt(s)" % tentativi)
        Riga(richiesta, dopo, CONTROLLO, 27 if bootstrap else 29, tempo,
             "block acknowledge changed" if bootstrap else "reply check fails")
        Riga(richiesta, dopo, BIT_RISPOSTA if not bootstrap else dict(BIT_RISPOSTA, posizione=0), 27 if bootstrap else 29,
             tempo, "flipped reply bit")
        Riga(richiesta, dopo, CHIUSURA, chiusura, tempo + t, "lost line")
        if tentativi > 1:
            Riga(richiesta, dopo, Volte(SILENZIO, 1), 0, t, "one timeout, retried")
            Riga(richiesta, dopo, Volte(NACK, 1), 0, 0, "one NACK, retried")
            Riga(richiesta, dopo, Volte(CONTROLLO, 1), 0, 0, "one bad check, retried")
        if richiesta == "Write":
            Riga(richiesta, dopo, BIT_INVERTITO, 32, 0, "stored bit flipped: the verify read differs")
    return righe


def ProvaF2mc(caso, riga):
    cartella = os.path.join(caso.cartella, "ram")
    r = subprocess.run([MKIMAGE, "--ram-loaders", cartella, "7"], capture_output=True, text=True, timeout=60)
    if r.returncode:
        raise RuntimeError("bricola-mkimage --ram-loaders: " + r.stderr)
    flash = {"regioni": [{"inizio": "0xFF0000", "dimensione": "0x10000", "settori": "F64"}], "allineamento": 1,
             "contenuto": [{"indirizzo": "0xFF8000", "dati": "00" * 16}]}
    scheda = {"nome": "micro", "codice": "0x0030", "indirizzoCan": "0x0100", "flash": flash,
              "f2mc": {"micro": "S", "pausaMs": PAUSA_MS, "guasti": [riga["guasto"]]}}
    caso.Avvia([scheda], "[Bootstrap]\nDirectory=%s\n" % cartella)
    immagine = caso.Immagine(0x0030, ["-l", "1"], [(0xFF8000, F2MC_DATI)], nome="module.bin")
    stato, durata, errori = caso.Carica(immagine, riga["limite"])
    dump = caso.Dump()
    flash = {}
    for intervallo in dump["schede"][0]["nonVuoti"]:
        for i, b in enumerate(bytes.fromhex(intervallo["dati"])):
            flash[intervallo["indirizzo"] + i] = b
    scritto = all(flash.get(0xFF8000 + i, 0xFF) == b for i, b in enumerate(F2MC_DATI))
    return Controlla(riga, stato, durata, errori, dump, scritto, riga["guasto"]["tipo"] != "chiusura",
                     caso.sim.Righe(), rom=True)


# --- MB91F465: ROM bootstrap, kernel download and the kernel's text protocol ---------------
#
# A boot module into a blank MB91F465 (load kind 10: the micro check first,
# whose FR probe is the first "check"): 256 bytes at 148000 with an all-FF
# chunk inside (sector 4 holds an old boot at 148800, so it is erased), 16
# bytes from 14BFF1 into sector 5 (download mode is left between the sectors:
# the first "quit"), and the last word at 14FFFC, programmed by Prog32.
#
# The bootstrap: the check 'V' (50 ms, 100000 attempts), the write probe
# ("scrivi" #1) and the read probe ("leggi"), 3 attempts of 200 ms each; the
# kernel's segments ("scrivi" #2 to #9), one attempt of 1000 ms; the call. The
# kernel: its check 'V' and the sync "R\r" share 3 attempts of 100 ms; blank
# check, write init and mode, read init and address, Prog32 init, address and
# word have none; erase init and erase sector 5 (3000 ms), an S2 record 5
# (1000 ms), the quit 5, the read count 5 (1000 ms).
#
# How a failure is coded: a missing reply 28; a single-byte or fixed-text reply
# that differs (a refusal, a flipped bit) 27, a 16-bit sum that differs 27 in
# the probes; a kernel segment whose sum is wrong or missing goes through the
# data retry with 28 (one attempt); the erase steps code a wrong reply 30; an
# S2 record answered other than 06 is 29; a dump that cannot be parsed 29; a
# stored bit flipped 32 at the read-back; a refusal shorter than the reply
# awaited is a missing reply, 28. A dropped connection: a repeated check or
# probe that cannot be written 21; a step with no attempt left 28; after the
# call the change to the kernel's speed fails, 68; a retry sent on a line that
# is gone 22. A job ends with the DTR pulse without RTS after the last byte,
# RTS left as it was (the chip runs its new boot after any reset): RTS is not
# judged here, and rows whose connection dropped cannot carry the pulse.

FR_PRIMO = bytearray(Dati(0x100, 11))
FR_PRIMO[0x40:0x50] = b"\xff" * 16
FR_MODULO = [(0x148000, bytes(FR_PRIMO)), (0x14BFF1, Dati(16, 12)), (0x14FFFC, bytes([0x12, 0x34, 0x56, 0x78]))]
FR_VECCHIO = (0x148800, bytes([0x00, 0x11, 0x22, 0x33]))


def Br(posizione, bit=2):
    return {"tipo": "bitRisposta", "posizione": posizione, "bit": bit}


# request, ordinal, [(fault, exit status, seconds the protocol waits, why)]
FR_RIGHE = [
    ("check", 1, [(Volte(SILENZIO, 2), 0, 0.1, "check unanswered: sent again"),
                  (Volte(NACK, 2), 0, 0, "wrong check answer: sent again"),
                  (CHIUSURA, 21, 0.1, "the repeated check cannot be written")]),
    ("scrivi", 0, [(SILENZIO, 28, 0.6, "write probe unanswered 3 times"),
                   (NACK, 28, 0.6, "a one-byte refusal is short of the 2-byte sum: timeout"),
                   (CONTROLLO, 27, 0.6, "write probe sum wrong 3 times"),
                   (Br(0), 27, 0.6, "write probe sum changed"),
                   (CHIUSURA, 21, 0.2, "the repeated probe cannot be written"),
                   (Volte(CONTROLLO, 1), 0, 0.2, "one wrong sum, probe repeated")]),
    ("leggi", 0, [(SILENZIO, 28, 0.6, "read probe unanswered 3 times"),
                  (NACK, 28, 0.6, "a one-byte refusal is short of the 6-byte reply: timeout"),
                  (CONTROLLO, 27, 0.6, "read probe sum wrong"),
                  (Br(0), 27, 0.6, "read probe data changed: the sum differs"),
                  (CHIUSURA, 21, 0.2, "the repeated probe cannot be written"),
                  (Volte(SILENZIO, 1), 0, 0.2, "one probe unanswered, repeated")]),
    ("scrivi", 1, [(SILENZIO, 28, 1, "kernel segment: one attempt"),
                   (NACK, 28, 1, "kernel segment: a wrong sum is the data retry with 28"),
                   (CONTROLLO, 28, 1, "kernel segment sum wrong"),
                   (Br(1), 28, 1, "kernel segment sum changed"),
                   (CHIUSURA, 28, 1, "no attempt left")]),
    ("scrivi", 8, [(SILENZIO, 28, 1, "last set-up segment: one attempt"),
                   (CONTROLLO, 28, 1, "last set-up segment sum wrong"),
                   (CHIUSURA, 28, 1, "no attempt left")]),
    ("chiama", 0, [(CHIUSURA, 68, 0.2, "the change to the kernel's speed fails")]),
    ("checkKernel", 0, [(SILENZIO, 28, 0.3, "kernel check unanswered 3 times"),
                        (NACK, 27, 0.3, "kernel check refused"),
                        (Br(0), 27, 0.3, "kernel check answer changed"),
                        (CHIUSURA, 21, 0.1, "the repeated check cannot be written"),
                        (Volte(SILENZIO, 1), 0, 0.1, "one kernel check unanswered")]),
    ("sync", 0, [(SILENZIO, 28, 0.3, "sync unanswered"),
                 (NACK, 27, 0.3, "sync refused"),
                 (Br(1), 27, 0.3, "sync prompt changed"),
                 (CHIUSURA, 21, 0.1, "the repeated check cannot be written"),
                 (Volte(NACK, 1), 0, 0.1, "one refused sync, repeated")]),
    ("blank", 0, [(SILENZIO, 28, 3, "blank check: no attempt left"),
                  (NACK, 28, 3, "refusal shorter than the blank reply"),
                  (Br(1), 27, 0, "blank reply's head changed"),
                  (CHIUSURA, 28, 3, "no attempt left")]),
    ("eraseInit", 0, [(SILENZIO, 28, 15, "erase init unanswered 5 times"),
                      (NACK, 28, 15, "refusal shorter than the erase init reply"),
                      # The first attempt fails with 30; the kernel then waits for the
                      # sector number, so the repeated 's' is never answered: 28.
                      (Br(1), 28, 12, "erase init reply changed, the kernel waits for the sector"),
                      (CHIUSURA, 22, 3, "the repeated erase init cannot be written"),
                      (Volte(Br(1), 1), 28, 12, "one changed reply: the kernel still waits for the sector")]),
    ("erase", 0, [(SILENZIO, 28, 15, "sector erase unanswered 5 times"),
                  (NACK, 28, 15, "refusal shorter than the erase reply"),
                  (Br(-4), 30, 0, "erase tail changed: erase retry with 30"),
                  (CHIUSURA, 22, 3, "the repeated erase cannot be written"),
                  (Volte(Br(-4), 1), 0, 0, "one erase reply changed")]),
    ("writeInit", 0, [(SILENZIO, 28, 1, "write init: no attempt"),
                      (NACK, 28, 1, "refusal shorter than the write init reply"),
                      (Br(1), 27, 0, "write init reply changed"),
                      (CHIUSURA, 28, 1, "no attempt left")]),
    ("writeMode", 0, [(CHIUSURA, 22, 1, "the echo came; the first record cannot be written")]),
    ("record", 0, [(SILENZIO, 28, 5, "S2 record unanswered 5 times"),
                   (NACK, 29, 0, "S2 record refused 5 times"),
                   (Br(0), 29, 0, "acknowledge changed"),
                   (CHIUSURA, 22, 1, "the repeated record cannot be written"),
                   (BIT_INVERTITO, 32, 0, "stored bit flipped: the read-back differs"),
                   (Volte(NACK, 1), 0, 0, "one NAK, record sent again"),
                   (Volte(SILENZIO, 1), 0, 1, "one record unanswered")]),
    # The kernel has left download mode when its '>' is lost: the CRs of the
    # repeated quit reach its prompt, which answers " >": the blank is not '>', 27.
    ("quit", 0, [(SILENZIO, 27, 5, "quit unanswered; the repeated quit meets the prompt"),
                 (NACK, 27, 5, "quit answered wrongly"),
                 (Br(0), 27, 5, "quit prompt changed"),
                 (CHIUSURA, 22, 1, "the repeated quit cannot be written"),
                 (Volte(NACK, 1), 27, 5, "one quit answered wrongly; the repeated one meets the prompt")]),
    ("quit", 1, [(SILENZIO, 27, 5, "quit at the end unanswered; the repeat meets the prompt"),
                 (Br(0), 27, 5, "quit prompt changed"),
                 (CHIUSURA, 22, 1, "the repeated quit cannot be written")]),
    ("readInit", 0, [(SILENZIO, 28, 0.3, "read init: no attempt"),
                     (NACK, 27, 0, "read init refused"),
                     (Br(1), 27, 0, "read init reply changed"),
                     (CHIUSURA, 28, 0.3, "no attempt left")]),
    ("readAddr", 0, [(SILENZIO, 28, 0.3, "read address: only the echo"),
                     (NACK, 27, 0, "read address refused"),
                     (Br(1), 27, 0, "read address reply changed"),
                     (CHIUSURA, 28, 0.3, "no attempt left")]),
    ("readNum", 0, [(SILENZIO, 28, 5, "dump missing 5 times"),
                    (NACK, 28, 5, "refusal shorter than the dump"),
                    # Bit 6 of the last value's first hex digit gives a character
                    # that is no hex digit: "%02x" cannot parse it (on the second
                    # digit it would stop early and read a wrong value, 32).
                    (Br(-6, 6), 29, 5, "a hex digit of the dump spoiled: cannot be parsed"),
                    # The read's 'r' is not tested when sent (as a boot Read): its
                    # missing answer ends the job as a timeout.
                    (CHIUSURA, 28, 1.3, "the repeated read's init goes unanswered"),
                    (Volte(Br(-6, 6), 1), 0, 1, "one spoiled dump, read again")]),
    ("prog32Init", 0, [(SILENZIO, 28, 0.3, "Prog32 init: no attempt"),
                       (NACK, 27, 0, "Prog32 init refused"),
                       (Br(1), 27, 0, "Prog32 init reply changed"),
                       (CHIUSURA, 28, 0.3, "no attempt left")]),
    ("prog32Addr", 0, [(SILENZIO, 28, 0.3, "Prog32 address: only the echo"),
                       (NACK, 27, 0, "Prog32 address refused"),
                       (Br(1), 27, 0, "Prog32 address reply changed"),
                       (CHIUSURA, 28, 0.3, "no attempt left")]),
    ("prog32Dato", 0, [(SILENZIO, 28, 0.3, "Prog32 word: only the echo"),
                       (NACK, 27, 0, "Prog32 word refused"),
                       (Br(1), 27, 0, "Prog32 reply changed"),
                       (CHIUSURA, 28, 0.3, "no attempt left")]),
]


def RigheFr():
    righe = []
    for richiesta, dopo, guasti in FR_RIGHE:
        for guasto, atteso, attesa, perche in guasti:
            g = dict(guasto)
            g["richiesta"] = richiesta
            if dopo:
                g["dopo"] = dopo
            nome = "fr.%s%s.%s%s%s" % (richiesta, "#%d" % (dopo + 1) if dopo else "", g["tipo"],
                                       "@%d" % g["posizione"] if g["tipo"] == "bitRisposta" else "",
                                       "x%d" % g["volte"] if "volte" in g else "")
            # The whole job takes some 6 s unloaded (micro check, kernel download).
            fase = (0 if richiesta in ("check", "scrivi", "leggi", "chiama", "checkKernel", "sync")
                    else 2 if richiesta.startswith(("read", "prog32")) else 1)
            righe.append({"nome": nome, "guasto": g, "atteso": atteso, "limite": attesa + MARGINE_S + 15,
                          "perche": perche, "fase": fase})
    return righe


def ProvaFr(caso, riga):
    cartella = os.path.join(caso.cartella, "ram")
    r = subprocess.run([MKIMAGE, "--ram-loaders", cartella, "5"], capture_output=True, text=True, timeout=60)
    if r.returncode:
        raise RuntimeError("bricola-mkimage --ram-loaders: " + r.stderr)
    flash = {"mappa": "M465", "contenuto": [{"indirizzo": "0x%X" % FR_VECCHIO[0], "dati": FR_VECCHIO[1].hex()}]}
    scheda = Scheda(nome="fr", codice=0x4321, micro=8, flash=flash,
                    fr={"bootResidente": False, "guasti": [riga["guasto"]]})
    scheda["fr"]["pausaBootstrapMs"] = PAUSA_MS
    caso.Avvia([scheda], "[Bootstrap]\nDirectory=%s\n" % cartella)
    immagine = caso.Immagine(0x4321, ["-m", "8", "-k", "1", "-n", "boot465"], FR_MODULO)
    stato, durata, errori = caso.Carica(immagine, riga["limite"])
    dump = caso.Dump()
    flash = {}
    for intervallo in dump["schede"][0]["nonVuoti"]:
        for i, b in enumerate(bytes.fromhex(intervallo["dati"])):
            flash[intervallo["indirizzo"] + i] = b
    atteso = {}
    for indirizzo, dati in FR_MODULO:
        for i, b in enumerate(dati):
            if b != 0xFF:
                atteso[indirizzo + i] = b
    problemi = Controlla(riga, stato, durata, errori, dump, flash == atteso, False, caso.sim.Righe(), rom=True)
    if riga["guasto"]["tipo"] != "chiusura" and not dump["linea"]["ultimoResetDopoDati"]:
        problemi.append("no final DTR pulse after the last byte: %r" % dump["linea"])
    return problemi


class Matrice(unittest.TestCase):

    def setUp(self):
        for nome, p in (("BRICOLA", BRICOLA), ("BRICOLA_SIM", SIM), ("BRICOLA_MKIMAGE", MKIMAGE)):
            if not p or not os.access(p, os.X_OK):
                self.fail("%s does not name a program: %r" % (nome, p))

    # Each CTest test stays well under its time limit on a loaded machine: the
    # rows are split by the part of the job they hit.

    def test_resident_boot_identification(self):
        EseguiTutte(self, [r for r in RigheBoot() if r["atteso"] != 0 and r["nome"].split(".")[1].split("#")[0]
                           in BOOT_IDENTIFICAZIONE], ProvaBoot)

    def test_resident_boot_transfer(self):
        EseguiTutte(self, [r for r in RigheBoot() if r["atteso"] != 0 and r["nome"].split(".")[1].split("#")[0]
                           not in BOOT_IDENTIFICAZIONE], ProvaBoot)

    def test_resident_boot_tolerated(self):
        EseguiTutte(self, [r for r in RigheBoot() if r["atteso"] == 0], ProvaBoot)

    def test_f2mc_bootstrap(self):
        EseguiTutte(self, RigheF2mc(), ProvaF2mc)

    def test_mb91f465_bootstrap(self):
        EseguiTutte(self, [r for r in RigheFr() if r["fase"] == 0], ProvaFr)

    def test_mb91f465_kernel_write(self):
        EseguiTutte(self, [r for r in RigheFr() if r["fase"] == 1], ProvaFr)

    def test_mb91f465_kernel_verify(self):
        EseguiTutte(self, [r for r in RigheFr() if r["fase"] == 2], ProvaFr)

if __name__ == "__main__":
    unittest.main()
