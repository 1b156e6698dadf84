#!/usr/bin/python3
"""End-to-end tests of the F2MC ROM bootstraps: a boot module written into an
MB90F549, MB90F497, MB90F345 or MB96F338 through the micro's ROM bootstrap and
RAM loader, with `bricola -B -S -C 3 -L module.bin` against bricola-sim; the
micro check and the MB90F345 chip erase through the e2e driver.

What the tests expect on the wire is worked out here from the board's side of
the protocol (sector tables, chunk rule, blank checks, verify and signature
erase), not taken from the tool's output: the requests seen by the simulated
board are compared with it one by one.
"""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
from test_e2e import MKIMAGE, TIMEOUT_S, Scheda  # noqa: E402

# The chips' sector tables (start addresses, then the end).
SETTORI = {
    "Q": [0xFC0000, 0xFD0000, 0xFE0000, 0xFF0000, 0xFF8000, 0xFFA000, 0xFFC000, 0x1000000],
    "S": [0xFF0000, 0xFF8000, 0xFFA000, 0xFFC000, 0x1000000],
    "R": [0xF80000, 0xF90000, 0xFA0000, 0xFB0000, 0xFB8000, 0xFBA000, 0xFBC000, 0xFC0000,
          0xFD0000, 0xFE0000, 0xFF0000, 0xFF8000, 0xFFA000, 0xFFC000, 0x1000000],
    "T": [0xDF0000, 0xDF2000, 0xDF4000, 0xDF6000, 0xDF8000],
}
# Load kind, RAM-loader file, its pieces (RAM address, length) in sending order,
# bootstrap and loader speeds.
MICRO = {
    "Q": (2, "mb90f549.bin", [(0x0251, 1534), (0x0990, 198)], 4800, 9600),
    "S": (1, "mb90f497.bin", [(0x0190, 1732)], 4800, 9600),
    "R": (6, "mb90f345.bin", [(0x0190, 1757)], 4800, 38400),
    "T": (8, "mb96f338.bin", [(0x7900, 1732)], 19200, 38400),
}
FIRMA_96F = 0xFF0000


def Hex(testo):
    return bytes.fromhex(testo.replace(" ", ""))


def Le3(b, i):
    return b[i] | b[i + 1] << 8 | b[i + 2] << 16


def Attese(micro, record, buffer, pieni):
    """The loader requests the Parts give for these records, in order:
    (command, address, length); pieni tells whether a sector holds data."""
    tab = SETTORI[micro]
    n = len(tab) - 1
    fx = micro == "T"
    max_dati = (buffer - 12) & 0xFF

    def settore(a):
        if a >= tab[-1]:
            return None
        if a < tab[0]:
            return None if fx else 0
        return next(i for i in range(n) if a < tab[i + 1])

    r = []
    corrente = None
    ampiezza = 1
    for indirizzo, dati in record:
        pos = 0
        while pos < len(dati):
            a = indirizzo + pos
            i = settore(a)
            if i is not None and i != corrente and (fx or i != 0):
                r.append(("Blank", tab[i], tab[i + 1] - 2))
                if pieni(tab[i]):
                    r.append(("Erase", tab[i], None))
                corrente = i
                if i != n - 1:
                    ampiezza = max(ampiezza, n - i)
            lung = min(max_dati, len(dati) - pos)
            j = settore(a + lung - 1)
            if i is None or j is None or (not fx and (i == 0 or j == 0)):
                r.append(("fine", a, 52))
                return r
            if i != j:
                lung = tab[i + 1] - a
            if any(b != 0xFF for b in dati[pos:pos + lung]):
                r.append(("Write", a, lung))
            pos += lung
    for indirizzo, dati in record:
        pos = 0
        while pos < len(dati):
            a = indirizzo + pos
            lung = min(255, len(dati) - pos)
            i, j = settore(a), settore(a + lung - 1)
            if i != j:
                lung = tab[i + 1] - a
            r.append(("Read", a, lung))
            pos += lung
    r.append(("Erase", FIRMA_96F if fx else tab[n - ampiezza - 1], None))
    return r


class F2mc(test_e2e.E2E, unittest.TestCase):

    # --- set-up -------------------------------------------------------------------

    def Caricatori(self, seme=7):
        cartella = os.path.join(self.cartella, "ram")
        r = subprocess.run([MKIMAGE, "--ram-loaders", cartella, str(seme)], capture_output=True,
                           text=True, timeout=TIMEOUT_S)
        self.assertEqual(r.returncode, 0, r.stderr)
        return cartella

    def Macchina(self, micro, contenuto=(), protetti=(), **f2mc):
        f2mc["micro"] = micro
        self.cartellaRam = self.Caricatori()
        flash = None
        if contenuto or protetti:
            regioni = {
                "Q": [("0xFC0000", "0x40000", "F256")],
                "S": [("0xFF0000", "0x10000", "F64")],
                "R": [("0xF80000", "0x80000", "F512")],
                "T": [("0xDF0000", "0x8000", [{"dimensione": "0x2000", "numero": 4}]),
                      ("0xF80000", "0x80000", "F64x8")],
            }[micro]
            flash = {"regioni": [{"inizio": a, "dimensione": d, "settori": s} for a, d, s in regioni],
                     "allineamento": 1,
                     "contenuto": [{"indirizzo": "0x%X" % a, "dati": d.hex()} for a, d in contenuto],
                     "protetti": ["0x%X" % p for p in protetti]}
        scheda = Scheda(nome="micro", f2mc=f2mc)
        del scheda["tipoMicro"]
        del scheda["codiceBuffer"]
        if flash is None:
            del scheda["flash"]
        else:
            scheda["flash"] = flash
        self.Avvia([scheda])
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "a") as f:
            f.write("[Bootstrap]\nDirectory=%s\n" % self.cartellaRam)

    def Modulo(self, micro, record):
        return self.Immagine((0x0030, ["-l", str(MICRO[micro][0])], record), nome="module.bin")

    def Caricatore(self, micro):
        with open(os.path.join(self.cartellaRam, MICRO[micro][1]), "rb") as f:
            return f.read()

    def LogDriver(self):
        with open(os.path.join(self.tmp, "BricolaLogDriver.txt"), "rb") as f:
            return [r[20:] for r in f.read().decode("latin-1").split("\r\n") if r]

    # --- what the board saw -------------------------------------------------------------

    def Eventi(self):
        """(seconds, text) of every transcript line."""
        r = []
        for riga in self.sim.Righe():
            t, _, testo = riga.partition(" ")
            r.append((float(t), testo))
        return r

    def Messaggi(self, verso="->"):
        """(kind, bytes) of every message of the PC (or of the board) in wire order."""
        return [(c, Hex(b)) for v, _, c, b in self.sim.Frame() if v == verso]

    def RichiesteCaricatore(self):
        """(command, address, length) of the loader requests, as test Attese gives them."""
        r = []
        for c, b in self.Messaggi():
            if c == "Blank":
                r.append((c, Le3(b, 1), Le3(b, 4)))
            elif c == "Erase":
                r.append((c, Le3(b, 1), None))
            elif c in ("Write", "Read"):
                r.append((c, Le3(b, 1), b[4] | b[5] << 8))
        return r

    def AssertReset(self, eventi, baud):
        """The reset into the ROM bootstrap: the bootstrap speed, DTR, 27 ms, RTS,
        600 ms, DTR cleared (the board leaves reset with RTS held)."""
        linea = [(t, x) for t, x in eventi if x.startswith("linea ") and not x.startswith("linea purge")]
        i = next(k for k, (_, x) in enumerate(linea) if x == "linea dtr 1")
        self.assertIn(("linea baud %d" % baud), [x for _, x in linea[:i]])
        self.assertEqual([x for _, x in linea[i:i + 3]], ["linea dtr 1", "linea rts 1", "linea dtr 0"])
        self.assertGreaterEqual(linea[i + 1][0] - linea[i][0], 0.025)
        self.assertLess(linea[i + 1][0] - linea[i][0], 0.2)
        self.assertGreaterEqual(linea[i + 2][0] - linea[i + 1][0], 0.59)
        self.assertLess(linea[i + 2][0] - linea[i + 1][0], 0.9)
        return linea[i + 2][0]

    def AssertRilascio(self, eventi):
        """After the last message: RTS cleared, then a 600 ms DTR pulse without RTS."""
        ultimo = max(k for k, (_, x) in enumerate(eventi)
                     if x.startswith("-> ") or x.startswith("<- ") or x.startswith("ignorati "))
        linea = [(t, x) for t, x in eventi[ultimo:] if x.startswith("linea rts") or x.startswith("linea dtr")]
        self.assertEqual([x for _, x in linea[:3]], ["linea rts 0", "linea dtr 1", "linea dtr 0"], linea)
        self.assertGreaterEqual(linea[2][0] - linea[1][0], 0.59)
        self.assertLess(linea[2][0] - linea[1][0], 0.9)

    def AssertCaricatoreInviato(self, micro, dump):
        """The RAM loader went out unchanged, piece by piece in the Parts' order,
        in blocks of 255 (16LX) or 256 (16FX) bytes, each acknowledged."""
        immagine = self.Caricatore(micro)
        pezzi = MICRO[micro][2]
        blocchi = [b for c, b in self.Messaggi() if c == "blocco"]
        fx = micro == "T"
        atteso = []
        off = 0
        for ram, lung in pezzi:
            fatto = 0
            while fatto < lung:
                n = min(lung - fatto, 256 if fx else 255)
                atteso.append((ram + fatto, immagine[off + fatto:off + fatto + n]))
                fatto += n
            off += lung
        visti = []
        for b in blocchi:
            if fx:
                n = b[4] or 256
                visti.append((b[1] | b[2] << 8, b[6:6 + n]))
            else:
                visti.append((b[1] << 8 | b[2], b[5:5 + b[4]]))
        self.assertEqual([(hex(a), len(d)) for a, d in visti], [(hex(a), len(d)) for a, d in atteso])
        self.assertEqual(visti, atteso)
        ram = {r["indirizzo"]: bytes.fromhex(r["dati"]) for r in dump["schede"][0]["f2mc"]["ram"]}
        self.assertEqual(sorted(ram.items()), sorted(
            (a, immagine[sum(l for _, l in pezzi[:k]):sum(l for _, l in pezzi[:k + 1])])
            for k, (a, _) in enumerate(pezzi)))

    def Flash(self, scheda):
        """address -> byte of every byte that is not FF."""
        m = {}
        for r in scheda["nonVuoti"]:
            for i, b in enumerate(bytes.fromhex(r["dati"])):
                m[r["indirizzo"] + i] = b
        return m

    # --- a boot module into each micro ------------------------------------------------------

    def ScriviModulo(self, micro, record, contenuto, buffer=0x80):
        self.Macchina(micro, contenuto=contenuto, bufferCaricatore=buffer)
        stato, errori = self.Carica(self.Modulo(micro, record))
        self.assertEqual(stato, 0, errori)
        self.assertEqual(errori, "upload complete\n")
        dump = self.sim.Dump()
        scheda = dump["schede"][0]
        self.assertEqual(scheda["f2mc"]["anomalie"], [])
        self.assertEqual(scheda["f2mc"]["caricatore"], MICRO[micro][1][:-4])
        eventi = self.Eventi()
        reset = self.AssertReset(eventi, MICRO[micro][3])
        self.AssertCaricatoreInviato(micro, dump)
        # The settle wait after the reset (400 ms, 450 ms for the 16FX), and
        # 200 ms after the execute before the line changes speed.
        primo = next(t for t, x in eventi if x.startswith("-> micro check"))
        self.assertGreaterEqual(primo - reset, (0.45 if micro == "T" else 0.4) - 0.002)
        esecuzione = next(t for t, x in eventi if x.startswith("-> micro esecuzione"))
        cambio = next(t for t, x in eventi if x == "linea baud %d" % MICRO[micro][4] and t >= esecuzione)
        self.assertGreaterEqual(cambio - esecuzione, 0.198 if micro != "T" else 0.0)

        def pieno(inizio):
            fine = SETTORI[micro][SETTORI[micro].index(inizio) + 1]
            return any(inizio <= a < fine and any(b != 0xFF for b in d) for a, d in contenuto)

        attese = Attese(micro, record, buffer, pieno)
        self.assertEqual(self.RichiesteCaricatore(), attese)
        # Every request was acknowledged well; the loader speed was in force.
        self.assertIn("linea baud %d" % MICRO[micro][4], [x for _, x in eventi])
        self.AssertRilascio(eventi)

        # The flash: the module's bytes where the module is; every sector erased
        # by the walk holds only them; the signature sector is blank.
        flash = self.Flash(scheda)
        for a, d in record:
            for i, b in enumerate(d):
                self.assertEqual(flash.get(a + i, 0xFF), b, hex(a + i))
        firma = attese[-1][1]
        self.assertEqual(attese[-1][0], "Erase")
        self.assertEqual(scheda["settoriCancellati"][-1], firma)
        self.assertEqual([a for a in flash if firma <= a < firma + 0x2000], [])
        log = self.Log()
        self.AssertInOrdine(log, [
            "velocita' %d bit/s" % MICRO[micro][3], "cambio velocita' riuscito", "inizio impulso DTR",
            "fine impulso DTR", "invio check", "ricevuto check", "ricevuto blocco dati corretto",
            "invio esecuzione", "velocita' %d bit/s" % MICRO[micro][4], "buffer remoto %d byte" % buffer,
            "traferimento completato", "disabilitazione RTS e inizio impulso finale DTR",
            "fine impulso finale DTR"])
        return dump, attese, log

    def test_boot_module_into_an_mb90f549(self):
        # Sector 4 (FF8000) blank, sector 5 (FFA000) and the top sector hold an old
        # boot; the first record runs from sector 4 into sector 5 with a run of FF
        # bytes long enough for whole chunks to be skipped; the signature sector is
        # FF0000 (below the lowest sector blank-checked, the top one not counted).
        dati = bytearray(test_e2e.Dati(0x2000 + 0x300, 11))
        dati[0x400:0x800] = b"\xff" * 0x400
        record = [(0xFF8000, bytes(dati)), (0xFFC000, test_e2e.Dati(0x500, 12))]
        contenuto = [(0xFF0000, b"\x12\x34\x56\x78"), (0xFFA100, b"\x00\x00"), (0xFFFFF0, b"\xaa")]
        dump, attese, log = self.ScriviModulo("Q", record, contenuto)
        self.assertIn(("Erase", 0xFF0000, None), attese[-1:])
        self.assertIn(("Erase", 0xFFA000, None), attese)
        self.assertNotIn(("Erase", 0xFF8000, None), attese)
        self.assertTrue(any(x.startswith("invio dati ") and x.endswith(" saltato") for x in log))
        # The chunk at the sector end is cut there: one write ends exactly at FFA000.
        self.assertIn(0xFFA000, [a + n for c, a, n in attese if c == "Write"])
        self.assertEqual(dump["schede"][0]["f2mc"]["blocchi"], 8)

    def test_boot_module_into_an_mb90f497(self):
        record = [(0xFF8000, test_e2e.Dati(0x2000 + 0x100, 21))]
        dump, attese, _ = self.ScriviModulo("S", record, [(0xFFA000, b"\x01")], buffer=0x40)
        # 52-byte chunks with a 64-byte loader buffer; signature sector FF0000.
        self.assertEqual(max(n for c, _, n in attese if c == "Write"), 52)
        self.assertEqual(attese[-1], ("Erase", 0xFF0000, None))

    def test_loader_buffer_above_128_is_a_plain_byte_count(self):
        # 160 bytes: 148-byte chunks (a resident boot's code A0 would mean 512).
        record = [(0xFFA000, test_e2e.Dati(0x600, 22))]
        _, attese, _ = self.ScriviModulo("S", record, [], buffer=0xA0)
        self.assertEqual(max(n for c, _, n in attese if c == "Write"), 148)

    def test_boot_module_into_an_mb90f345(self):
        # Data only in the top sector: only it is blank-checked, the signature
        # erase hits the sector below it.
        record = [(0xFFC000, test_e2e.Dati(0x900, 31))]
        _, attese, _ = self.ScriviModulo("R", record, [(0xFFC010, b"\x00")])
        self.assertEqual([x for x in attese if x[0] != "Write" and x[0] != "Read"],
                         [("Blank", 0xFFC000, 0xFFFFFE), ("Erase", 0xFFC000, None),
                          ("Erase", 0xFFA000, None)])

    def test_boot_module_into_an_mb96f338(self):
        # Sector 0 of this chip is an ordinary sector; the signature sector is FF0000.
        record = [(0xDF0000, test_e2e.Dati(0x2000 + 0x200, 41)), (0xDF6000, test_e2e.Dati(0x300, 42))]
        _, attese, _ = self.ScriviModulo("T", record, [(0xDF2000, b"\x00"), (0xFF0000, b"\x99")])
        self.assertEqual([x for x in attese if x[0] in ("Blank", "Erase")],
                         [("Blank", 0xDF0000, 0xDF1FFE), ("Blank", 0xDF2000, 0xDF3FFE),
                          ("Erase", 0xDF2000, None), ("Blank", 0xDF6000, 0xDF7FFE),
                          ("Erase", 0xFF0000, None)])
        # The F2MC-16FX front end: check, calibrate off, blocks, execute.
        tipi = test_e2e.Compatta([c for c, _ in self.Messaggi()])
        self.assertEqual(tipi[:4], ["check", "calibrazione", "blocco", "esecuzione"])

    def test_odd_record_ending_one_byte_past_a_sector_end_does_not_cross_it(self):
        # A record at an odd address whose last chunk would end one byte past
        # FFA000: the chunk is cut at the sector end by its last byte, and the
        # byte in sector 5 is written after that sector's own blank check.
        buffer = 0x80  # 116-byte chunks
        lung = 116 * 2 + 50
        inizio = 0xFFA001 - lung
        self.assertEqual(inizio % 2, 1)
        record = [(inizio, test_e2e.Dati(lung, 51))]
        _, attese, _ = self.ScriviModulo("Q", record, [], buffer=buffer)
        scritture = [(a, n) for c, a, n in attese if c == "Write"]
        self.assertEqual(scritture[-2:], [(0xFFA000 - 49, 49), (0xFFA000, 1)])
        self.assertLess(attese.index(("Blank", 0xFFA000, 0xFFBFFE)), attese.index(("Write", 0xFFA000, 1)))

    def test_mb96f338_check_answered_z_is_accepted(self):
        self.Macchina("T", rispostaCheck="Z")
        stato, errori = self.Carica(self.Modulo("T", [(0xDF4000, test_e2e.Dati(0x100, 43))]))
        self.assertEqual(stato, 0, errori)
        self.assertEqual(self.sim.Dump()["schede"][0]["f2mc"]["anomalie"], [])
        self.AssertInOrdine(self.Log(), ["invio check", "ricevuto check errore, ma accettato", "invio calibrate off",
                                         "ricevuto calibrate", "traferimento completato"])
        self.assertEqual(self.Messaggi("<-")[0], ("check", b"Z"))

    # --- failures -------------------------------------------------------------------------------

    def test_board_powered_late_is_found_by_the_repeated_check(self):
        self.Macchina("Q", accesaDopoMs=3000)
        record = [(0xFFC000, test_e2e.Dati(0x100, 61))]
        stato, errori = self.Carica(self.Modulo("Q", record))
        self.assertEqual(stato, 0, errori)
        log = self.Log()
        self.assertEqual(log.count("invio check"), 3)
        self.assertEqual(log.count("check timeout provvisorio"), 2)
        self.assertNotIn("check timeout definitivo", log)
        self.AssertInOrdine(log, ["invio check", "check timeout provvisorio", "invio check",
                                  "check timeout provvisorio", "invio check", "ricevuto check"])
        checks = [t for t, x in self.Eventi()
                  if x.startswith("-> micro check") or re.match(r"ignorati 1 byte: micro non ancora alimentata.*: 18$", x)]
        self.assertEqual(len(checks), 3)
        self.assertGreater(checks[1] - checks[0], 1.9)
        self.assertGreater(checks[2] - checks[1], 1.9)

    def test_mb96f338_powered_late_is_checked_every_50_ms(self):
        # Five checks 50 ms apart from 450 ms after the reset: a board powered
        # 560 ms after it answers one of the later ones.
        self.Macchina("T", accesaDopoMs=560)
        stato, errori = self.Carica(self.Modulo("T", [(0xDF0000, test_e2e.Dati(0x80, 66))]))
        self.assertEqual(stato, 0, errori)
        log = self.Log()
        self.AssertInOrdine(log, ["invio check", "check timeout provvisorio", "invio check", "ricevuto check"])
        self.assertNotIn("check timeout definitivo", log)
        self.assertGreaterEqual(log.count("check timeout provvisorio"), 1)
        self.assertLessEqual(log.count("invio check"), 5)

    def test_mb96f338_powered_too_late_ends_with_28_after_five_checks(self):
        self.Macchina("T", accesaDopoMs=5000)
        stato, errori = self.Carica(self.Modulo("T", [(0xDF0000, test_e2e.Dati(0x80, 67))]))
        self.assertEqual(stato, 28, errori)
        log = self.Log()
        self.assertEqual(log.count("invio check"), 5)
        self.assertEqual(log.count("check timeout provvisorio"), 4)
        self.AssertInOrdine(log, ["check timeout provvisorio", "check timeout definitivo",
                                  "disabilitazione RTS e inizio impulso finale DTR", "fine impulso finale DTR"])
        checks = [t for t, x in self.Eventi() if re.match(r"ignorati 5 byte: micro non ancora alimentata.*: "
                                                          r"00 55 66 77 88$", x)]
        self.assertEqual(len(checks), 5)
        for a, b in zip(checks, checks[1:]):
            self.assertGreaterEqual(b - a, 0.045)
            self.assertLess(b - a, 0.5)
        self.assertEqual(self.sim.Dump()["schede"][0]["f2mc"]["blocchi"], 0)
        self.AssertRilascio(self.Eventi())

    def test_wrong_block_acknowledge_ends_with_27_never_resent(self):
        self.Macchina("Q", guasti=[{"tipo": "bloccoErrato", "blocco": 2, "risposta": "0x55"}])
        stato, errori = self.Carica(self.Modulo("Q", [(0xFFC000, test_e2e.Dati(0x100, 62))]))
        self.assertEqual(stato, 27, errori)
        blocchi = [b for c, b in self.Messaggi() if c == "blocco"]
        self.assertEqual(len(blocchi), 3)
        self.assertEqual(len({bytes(b) for b in blocchi}), 3)
        self.assertNotIn("esecuzione", [c for c, _ in self.Messaggi()])
        log = self.Log()
        self.AssertInOrdine(log, ["ricevuto dati errato [55]", "dati fine tentativi",
                                  "disabilitazione RTS e inizio impulso finale DTR"])
        self.AssertRilascio(self.Eventi())

    def test_mb96f338_block_refused_with_lt_ends_with_27_never_resent(self):
        self.Macchina("T", guasti=[{"tipo": "bloccoErrato", "blocco": 1, "risposta": "0x3C"}])
        stato, errori = self.Carica(self.Modulo("T", [(0xDF0000, test_e2e.Dati(0x100, 68))]))
        self.assertEqual(stato, 27, errori)
        self.assertEqual(len([c for c, _ in self.Messaggi() if c == "blocco"]), 2)
        self.assertNotIn("esecuzione", [c for c, _ in self.Messaggi()])
        self.AssertInOrdine(self.Log(), ["ricevuto checksum inviata errata", "dati fine tentativi"])
        self.AssertRilascio(self.Eventi())

    def test_chunk_in_sector_0_ends_with_52_before_writing_it(self):
        self.Macchina("Q")
        stato, errori = self.Carica(self.Modulo("Q", [(0xFC0000, test_e2e.Dati(0x100, 63))]))
        self.assertEqual(stato, 52, errori)
        self.assertEqual(self.RichiesteCaricatore(), [])
        self.assertIn("LunBuf", [c for c, _ in self.Messaggi()])
        self.assertEqual(self.sim.Dump()["schede"][0]["settoriCancellati"], [])
        self.assertIn("InvioBlankOWrite: memoria inesistente", self.Log())
        self.AssertRilascio(self.Eventi())

    def test_verify_mismatch_ends_with_32(self):
        self.Macchina("Q", guasti=[{"tipo": "byteErrato", "indirizzo": "0xFFC123", "bit": 2}])
        record = [(0xFFC000, test_e2e.Dati(0x400, 64))]
        stato, errori = self.Carica(self.Modulo("Q", record))
        self.assertEqual(stato, 32, errori)
        richieste = self.RichiesteCaricatore()
        letture = [(a, n) for c, a, n in richieste if c == "Read"]
        # Reads stop at the one holding the wrong byte; no signature erase.
        self.assertTrue(letture[-1][0] <= 0xFFC123 < letture[-1][0] + letture[-1][1], letture)
        self.assertEqual(richieste[-1][0], "Read")
        self.AssertInOrdine(self.Log(), ["contenuto della flash non corrispondente"])

    def test_sector_that_cannot_be_erased_ends_with_30_after_five_attempts(self):
        self.Macchina("Q", contenuto=[(0xFFC000, b"\x00")], protetti=[0xFFC000])
        stato, errori = self.Carica(self.Modulo("Q", [(0xFFC000, test_e2e.Dati(0x100, 65))]))
        self.assertEqual(stato, 30, errori)
        self.assertEqual(self.RichiesteCaricatore(), [("Blank", 0xFFC000, 0xFFFFFE)] + [("Erase", 0xFFC000, None)] * 5)
        log = self.Log()
        self.assertEqual(log.count("erase nuovo tentativo"), 4)
        self.AssertInOrdine(log, ["erase nuovo tentativo", "erase fine tentativi"])
        self.AssertRilascio(self.Eventi())

    # --- the micro check and the chip erase --------------------------------------------------------

    def Micro(self, micro, **f2mc):
        self.Macchina(micro, **f2mc)
        stato, uscita = self.Driver("micro", self.cartellaRam)
        return stato, uscita.strip()

    def test_micro_check_of_each_f2mc_micro(self):
        for micro, nome in (("Q", "Fu90F549"), ("S", "Fu90F497"), ("R", "Fu90F345"), ("T", "Fu96F338")):
            with self.subTest(micro=micro):
                if self.sim:
                    self.sim.Ferma()
                stato, uscita = self.Micro(micro)
                self.assertEqual(stato, 0)
                self.assertEqual(uscita, "micro " + nome)
                log = self.LogDriver()
                os.remove(os.path.join(self.tmp, "BricolaLogDriver.txt"))
                self.assertEqual(log.count("invio check 465"), 5)
                if micro == "T":
                    self.AssertInOrdine(log, ["check 465 timeout definitivo", "velocita' 19200 bit/s",
                                              "invio check 338", "ricevuto check 338"])
                    continue
                self.assertEqual(log.count("invio check 338"), 5)
                self.AssertInOrdine(log, ["check 338 timeout definitivo", "velocita' 4800 bit/s", "invio check",
                                          "ricevuto check", "invio esecuzione", "velocita' 9600 bit/s",
                                          "invio micro", "ricevuto micro %02x corretto" % ord(micro)])
                # The micro-check loader: 198 bytes at 0990, then 556 at 0190.
                dump = self.sim.Dump()
                self.assertEqual(dump["schede"][0]["f2mc"]["caricatore"], "checkmicro")
                with open(os.path.join(self.cartellaRam, "checkmicro.bin"), "rb") as f:
                    immagine = f.read()
                blocchi = [b for c, b in self.Messaggi() if c == "blocco"]
                self.assertEqual([(b[1] << 8 | b[2], b[4]) for b in blocchi],
                                 [(0x0990, 198), (0x0190, 255), (0x0190 + 255, 255), (0x0190 + 510, 46)])
                self.assertEqual(b"".join(b[5:5 + b[4]] for b in blocchi), immagine)
                self.assertEqual(self.Messaggi()[-1], ("micro", b"\xa5"))

    def test_micro_check_of_a_silent_f2mc_board(self):
        stato, uscita = self.Micro("Q", bootResidente=False, guasti=[{"tipo": "silenzio", "parte": "check"}])
        self.assertEqual(stato, 0)
        self.assertEqual(uscita, "micro Fu9!F!!!")
        log = self.LogDriver()
        self.assertEqual(log.count("invio check"), 3)
        self.assertIn("check timeout definitivo", log)
        self.assertIn("richiesta firma fine tentativi", log)

    def test_mb90f345_chip_erase_refused_ends_with_30_never_repeated(self):
        self.Macchina("R", contenuto=[(0xF80000, b"\x01")], protetti=[0xFF0000], accensione="rts")
        stato, _ = self.Driver("cancella", self.cartellaRam)
        self.assertEqual(stato, 30)
        self.assertEqual(len([c for c, _ in self.Messaggi() if c == "EraseChip"]), 1)
        self.assertIn("EraseRicevi: impossibile cancellare il chip", self.LogDriver())
        self.assertEqual(self.sim.Dump()["schede"][0]["nonVuoti"][0]["indirizzo"], 0xF80000)

    def test_mb90f345_chip_erase(self):
        contenuto = [(0xF80000, b"\x01\x02"), (0xFFC000, b"\x03")]
        self.Macchina("R", contenuto=contenuto, accensione="rts")
        stato, _ = self.Driver("cancella", self.cartellaRam)
        self.assertEqual(stato, 0)
        dump = self.sim.Dump()
        scheda = dump["schede"][0]
        self.assertEqual(scheda["nonVuoti"], [])
        self.assertEqual(scheda["f2mc"]["caricatore"], "mb90f345")
        self.assertEqual(scheda["f2mc"]["anomalie"], [])
        eventi = self.Eventi()
        linea = [x for _, x in eventi if x.startswith("linea dtr") or x.startswith("linea rts")]
        # No DTR pulse: RTS is asserted with the board off, then cleared at the end.
        self.assertNotIn("linea dtr 1", linea)
        self.assertEqual(linea[-2:], ["linea rts 1", "linea rts 0"])
        messaggi = self.Messaggi()
        self.assertEqual(messaggi[0], ("check", b"\x18"))
        richiesta = [b for c, b in messaggi if c == "EraseChip"]
        self.assertEqual(len(richiesta), 1)
        self.assertEqual(richiesta[0][:4], b"\xef\x00\x00\xf8")
        self.assertEqual(len(richiesta[0]), 7)
        self.assertIn("linea baud 38400", [x for _, x in eventi])
        self.AssertCaricatoreInviato("R", dump)


if __name__ == "__main__":
    unittest.main()
