#!/usr/bin/python3
"""End-to-end tests of the board backup and of the verify-only load.

The backup (the e2e driver's `leggi`, the board backup job over the real serial
interface) reads a simulated board's flash into an image file; the file is
taken apart here with a reader and a CRC of these tests' own, and loaded back
with the real `bricola -B` into a blank simulated board, whose flash must then
equal the first one's. The verify-only load (the driver's `confronta`) compares
a board with an image without writing. Helpers and conventions come from
test_e2e.py.
"""

import os
import re
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
from test_e2e import Dati, Scheda  # noqa: E402


def Crc(dati):
    """The modules' CRC-16: polynomial 0x8005, each byte into the low 8 bits."""
    r = 0
    for b in dati:
        r ^= b
        for _ in range(8):
            r = ((r << 1) ^ 0x8005) & 0xFFFF if r & 0x8000 else (r << 1) & 0xFFFF
    return r


def Moduli(contenuto):
    """The modules of an image file: dict(crc_ok, codice, can, micro, nome, record=[(address, bytes)])."""
    moduli = []
    p = 0
    m = None
    while p < len(contenuto):
        if m is None:
            m = {"inizio": p, "can": 0, "micro": None, "nome": None, "record": []}
        lunghezza, indirizzo = struct.unpack_from("<II", contenuto, p)
        if lunghezza != 0xFFFFFFFF:
            m["record"].append((indirizzo, contenuto[p + 8:p + 8 + lunghezza]))
            p += 8 + lunghezza
            continue
        tipo, dimensione = struct.unpack_from("<HH", contenuto, p + 4)
        if tipo == 0x0002:
            m["can"] = struct.unpack_from("<I", contenuto, p + 8)[0]
        elif tipo == 0x0001:
            m["micro"] = struct.unpack_from("<H", contenuto, p + 8)[0]
            m["nome"] = contenuto[p + 14:p + 142].rstrip(b"\0").decode("latin-1")
        if tipo == 0xFFFF:
            crc, codice = struct.unpack_from(">HH", contenuto, p + 8)
            m["crc_ok"] = Crc(contenuto[m["inizio"]:p + 8]) == crc
            m["codice"] = codice
            moduli.append(m)
            m = None
            p += 12
        else:
            p += dimensione
    assert m is None, "a module without its end record"
    return moduli


def NonVuoti(scheda):
    """address -> byte of every byte of a dumped board that is not FF."""
    m = {}
    for intervallo in scheda["nonVuoti"]:
        for i, b in enumerate(bytes.fromhex(intervallo["dati"])):
            if b != 0xFF:
                m[intervallo["indirizzo"] + i] = b
    return m


class Lettura(test_e2e.E2E, unittest.TestCase):

    def Contenuto(self, indirizzo, dati, nome):
        p = os.path.join(self.cartella, nome)
        with open(p, "wb") as f:
            f.write(dati)
        return {"indirizzo": "0x%X" % indirizzo, "file": p}

    def Leggi(self, indirizzo, uscita, *intervalli):
        return self.Driver("leggi", indirizzo, uscita, ",".join(intervalli))

    def Richieste(self):
        return [c for _, c in self.sim.Richieste()]

    def LunghezzeRead(self, scheda):
        n = []
        for verso, s, c, byte in self.sim.Frame():
            if verso == "->" and c == "Read" and s == scheda:
                b = bytes.fromhex(byte)
                n.append(b[4] | (b[5] << 8))
        return n

    def Ricomincia(self):
        """A fresh folder for a second simulator (the first one's dump is kept by the caller)."""
        self.sim = None
        for nome in ("machine.json", "dump.json", "transcript.txt", "sim.err"):
            p = os.path.join(self.cartella, nome)
            if os.path.exists(p):
                os.rename(p, p + ".prima")

    def test_backup_of_the_local_board_restored_into_a_blank_board(self):
        esterna = {"base": "0x400000", "tipo": "cfi", "dimensione": "0x200000", "settori": "EBottom"}
        contenuto = [self.Contenuto(0xFC0000, Dati(6000, 1), "a.dat"),
                     self.Contenuto(0xFE0100, Dati(700, 2), "b.dat"),
                     self.Contenuto(0x404000, Dati(3000, 3), "c.dat")]
        self.Avvia([Scheda(flash={"mappa": "M256", "esterne": [esterna], "contenuto": contenuto})])
        uscita = os.path.join(self.cartella, "copia.bin")
        stato, testo = self.Leggi(0, uscita, "400000:410000", "410000:420000", "FC0000:1000000")
        self.assertEqual(stato, 0, testo)
        self.assertEqual(testo, "codice 1234 versione 6.8\n")
        origine = self.sim.Dump()["schede"][0]
        self.AssertSenzaScritture(self.sim.Dump())
        self.assertEqual(self.Richieste()[:9], ["GetFirma", "GetVersione", "GetVelocitaMassima", "SetVelocita",
                                                "SetRemoto", "GetFirma", "GetVersione", "GetMicro", "LunBuf"])
        self.assertEqual(set(self.Richieste()[9:-1]), {"Read"})
        self.assertEqual(self.Richieste()[-1], "Fine")
        # A 512-byte buffer: 500 bytes per Read, the rest of a range at its end.
        self.assertEqual(max(self.LunghezzeRead("controllo")), 500)
        self.assertEqual(sum(self.LunghezzeRead("controllo")), 0x10000 + 0x10000 + 0x40000)

        with open(uscita, "rb") as f:
            moduli = Moduli(f.read())
        # The blank range at 0x410000 gives no module; each module has a good
        # CRC, the board's code and micro, one record from the first to the
        # last sector that holds something.
        self.assertEqual(len(moduli), 2)
        for m in moduli:
            self.assertTrue(m["crc_ok"])
            self.assertEqual(m["codice"], 0x1234)
            self.assertEqual(m["can"], 0)
            self.assertEqual(m["micro"], 1)
            self.assertEqual(len(m["record"]), 1)
        self.assertEqual(moduli[0]["nome"], "Copia flash 1234 400000-410000")
        self.assertEqual([(a, len(d)) for a, d in moduli[0]["record"]], [(0x404000, 0x2000)])
        self.assertEqual([(a, len(d)) for a, d in moduli[1]["record"]], [(0xFC0000, 0x30000)])
        self.assertEqual(moduli[1]["record"][0][1][:6000], Dati(6000, 1))
        self.assertEqual(moduli[1]["record"][0][1][0x20100:0x20100 + 700], Dati(700, 2))

        # Loaded back into a board of the same kind with nothing in its flash.
        self.Ricomincia()
        self.Avvia([Scheda(flash={"mappa": "M256", "esterne": [esterna]})])
        stato, errori = self.Carica(uscita)
        self.assertEqual(stato, 0, errori)
        self.assertEqual(NonVuoti(self.sim.Dump()["schede"][0]), NonVuoti(origine))
        self.assertGreater(len(NonVuoti(origine)), 9000)

    def test_backup_of_a_remote_board_reads_46_bytes_at_a_time(self):
        remota = lambda contenuto: Scheda("pagamenti", 0x2001, versione=0x67, can=0x0482, buffer=0x90,  # noqa: E731
                                          flash={"mappa": "M256", "contenuto": contenuto})
        self.Avvia([Scheda(), remota([self.Contenuto(0xFC0010, Dati(300, 4), "r.dat")])])
        uscita = os.path.join(self.cartella, "remota.bin")
        stato, testo = self.Leggi(0x482, uscita, "FC0000:FC2000")
        self.assertEqual(stato, 0, testo)
        self.assertEqual(testo, "codice 2001 versione 6.7\n")
        origine = self.sim.Dump()["schede"][1]
        self.AssertSenzaScritture(self.sim.Dump())
        richieste = self.sim.Richieste()
        self.assertIn(("pagamenti", "Reboot"), richieste)
        letture = self.LunghezzeRead("pagamenti")
        self.assertEqual(set(letture[:-1]), {46})
        self.assertEqual(sum(letture), 0x2000)
        self.assertEqual([c for s, c in richieste if s == "controllo" and c == "Read"], [])

        with open(uscita, "rb") as f:
            moduli = Moduli(f.read())
        self.assertEqual(len(moduli), 1)
        self.assertTrue(moduli[0]["crc_ok"])
        self.assertEqual((moduli[0]["codice"], moduli[0]["can"]), (0x2001, 0x0482))
        self.assertEqual(moduli[0]["nome"], "Copia flash 2001 CAN 0482 FC0000-FC2000")

        # The CAN address in the file sends the restore to the remote board.
        self.Ricomincia()
        self.Avvia([Scheda(), remota([])])
        stato, errori = self.Carica(uscita)
        self.assertEqual(stato, 0, errori)
        dump = self.sim.Dump()
        self.assertEqual(dump["schede"][0]["scritti"], [])
        self.assertEqual(NonVuoti(dump["schede"][1]), NonVuoti(origine))

    def test_silent_board_ends_with_its_code_and_no_file(self):
        self.Avvia([Scheda(guasti=[{"tipo": "silenzio", "comando": "*", "volte": -1}])])
        uscita = os.path.join(self.cartella, "copia.bin")
        stato, testo = self.Leggi(0, uscita, "FC0000:FD0000")
        self.assertEqual(stato, 28)  # RC_REPLY_TIMEOUT
        self.assertEqual(testo, "")
        self.assertFalse(os.path.exists(uscita))
        self.assertEqual(set(self.Richieste()), {"GetFirma"})
        self.assertEqual(os.listdir(self.cartella).count("copia.bin"), 0)

    def test_read_failing_midway_leaves_the_old_file(self):
        self.Avvia([Scheda(guasti=[{"tipo": "silenzio", "comando": "Read", "volte": -1}])])
        uscita = os.path.join(self.cartella, "copia.bin")
        with open(uscita, "wb") as f:
            f.write(b"old backup")
        stato, _ = self.Leggi(0, uscita, "FC0000:FD0000")
        self.assertEqual(stato, 28)
        with open(uscita, "rb") as f:
            self.assertEqual(f.read(), b"old backup")
        self.assertEqual([n for n in os.listdir(self.cartella) if n.startswith("copia.bin")], ["copia.bin"])
        self.assertEqual(self.Richieste().count("Read"), 5)

    def test_verify_only_equal_then_one_byte_changed(self):
        a, b = Dati(3000, 5), Dati(900, 6)
        immagine = self.Immagine((0x1234, ["-m", "1", "-n", "App"], [(0xFC0000, a), (0xFE0000, b)]))
        contenuto = [self.Contenuto(0xFC0000, a, "a.dat"), self.Contenuto(0xFE0000, b, "b.dat")]
        self.Avvia([Scheda(flash={"mappa": "M256", "contenuto": contenuto})])
        stato, testo = self.Driver("confronta", immagine)
        self.assertEqual(stato, 0, testo)
        self.assertEqual(testo, "")
        self.AssertSenzaScritture(self.sim.Dump())
        richieste = self.Richieste()
        for c in ("Blank", "Erase", "Write", "Codice", "FlashBlocco", "FlashType"):
            self.assertNotIn(c, richieste)
        self.assertEqual(sum(self.LunghezzeRead("controllo")), len(a) + len(b))
        self.assertEqual(richieste[-1], "Fine")

        cambiato = bytearray(b)
        cambiato[0x123] ^= 0x40
        self.Ricomincia()
        self.Avvia([Scheda(flash={"mappa": "M256", "contenuto": [
            self.Contenuto(0xFC0000, a, "a2.dat"), self.Contenuto(0xFE0000, bytes(cambiato), "b2.dat")]})])
        stato, testo = self.Driver("confronta", immagine)
        self.assertEqual(stato, 32, testo)  # RC_FLASH_WRITE
        self.assertEqual(testo, "diverso FE0123\n")
        self.AssertSenzaScritture(self.sim.Dump())
        for c in ("Blank", "Erase", "Write"):
            self.assertNotIn(c, self.Richieste())


if __name__ == "__main__":
    unittest.main()
