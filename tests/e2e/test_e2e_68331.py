#!/usr/bin/python3
"""End-to-end tests of the 68331 load: the real bricola program
(`bricola -B -S -C 3 -L module.bin`) against a simulated 68331 board over
RFC 2217, which asks for the module packet by packet and notes in its dump
whatever a correct PC would never send.
"""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
from test_e2e import MKIMAGE, TIMEOUT_S  # noqa: E402


def Scheda68331(codice=0x0001, guasti=None, **altro):
    s = {"tipo": "68331", "nome": "cpu68331", "codice": "0x%04X" % codice, "baud": 38400,
         "memoria": {"inizio": "0x000000", "dimensione": "0x80000"}, "attesaMs": 1000, "tentativi": 3}
    if guasti:
        s["guasti"] = guasti
    s.update(altro)
    return s


def DatiCon47(n, seme):
    """n repeatable bytes with a 47 every 61 bytes (so packets need stuffing)."""
    b = bytearray(test_e2e.Dati(n, seme))
    for i in range(0, n, 61):
        b[i] = 0x47
    return bytes(b)


def Trama(messaggio):
    """The wire bytes of one message: length, message, checksum, stuffed, between 47 47."""
    p = bytes([len(messaggio) >> 8, len(messaggio) & 0xFF]) + bytes(messaggio)
    p += bytes([sum(k + b for k, b in enumerate(p)) & 0xFF])
    return " ".join("%02x" % b for b in b"\x47\x47" + p.replace(b"\x47", b"\x47\xb8") + b"\x47\x47")


class Board68331(test_e2e.E2E, unittest.TestCase):

    def Grezza(self, dati, codice=0x0001, nome="module.bin"):
        p = os.path.join(self.cartella, nome + ".dat")
        with open(p, "wb") as f:
            f.write(dati)
        uscita = os.path.join(self.cartella, nome)
        r = subprocess.run([MKIMAGE, "-o", uscita, "--raw", "-c", "0x%04X" % codice, "0:%s" % p],
                           capture_output=True, text=True, timeout=TIMEOUT_S)
        self.assertEqual(r.returncode, 0, r.stderr)
        return uscita

    def Scheda(self):
        return self.sim.Dump()["schede"][0]

    def Trame(self):
        """(direction, letter, packet index or None, wire bytes) of every 68331 frame."""
        r = []
        for riga in self.sim.Righe():
            m = re.match(r"^\d+\.\d+ (->|<-) cpu68331 ([ZPGX]) (.*): ((?:[0-9a-f]{2} ?)+)$", riga)
            if m:
                i = re.search(r"pacchetto (\d+)", m.group(3)) if m.group(2) in "PG" else None
                r.append((m.group(1), m.group(2), int(i.group(1)) if i else None, m.group(4)))
        return r

    def AssertPulito(self, scheda):
        self.assertEqual(scheda["anomalie"], [])

    # --- transfers that succeed --------------------------------------------------------

    def test_raw_image_transferred_whole_with_stuffed_frames(self):
        self.Avvia([Scheda68331()])
        dati = DatiCon47(1000, 1)
        stato, errori = self.Carica(self.Grezza(dati))
        self.assertEqual(stato, 0, errori)
        self.assertEqual(errori, "upload complete\n")

        scheda = self.Scheda()
        self.AssertPulito(scheda)
        self.assertEqual(bytes.fromhex(scheda["scritti"][0]["dati"]), dati)
        self.assertEqual(len(scheda["trasferimenti"]), 1)
        t = scheda["trasferimenti"][0]
        self.assertEqual((t["lunghezza"], t["dimensionePacchetto"], t["pacchetti"], t["ripetuti"], t["esito"]),
                         (1000, 128, 8, 0, "completo"))

        trame = self.Trame()
        self.assertEqual([(v, l, i) for v, l, i, _ in trame],
                         [("->", "Z", None)] + [x for k in range(8) for x in (("<-", "G", k), ("->", "P", k))]
                         + [("<-", "X", None)])
        # The start request exactly, and data frames carrying stuffed 47s.
        self.assertEqual(trame[0][3], Trama(b"\x5a\x00\x00\x03\xe8\x00\x80"))
        self.assertTrue(all("47 b8" in f for v, l, _, f in trame if l == "P"))

        self.AssertInOrdine(self.Log(), [
            "impostazione parametri connessione interfaccia 1",
            "interfaccia aperta",
            "velocita' 38400 bit/s",
            "modulo 68331 di 1000 byte",
            "InvioAvvio: 5a 00 00 03 e8 00 80",
            "richiesta pacchetto 0",
            "invio pacchetto 0, 128 byte",
            "invio pacchetto 7, 104 byte",
            "trasferimento completato",
            "chiusura interfaccia",
        ])

    def test_repeated_request_gets_the_same_packet_again(self):
        self.Avvia([Scheda68331(guasti=[{"tipo": "ripetizione", "pacchetto": 1, "volte": 2}])])
        dati = DatiCon47(300, 2)
        stato, errori = self.Carica(self.Grezza(dati))
        self.assertEqual(stato, 0, errori)
        scheda = self.Scheda()
        # The board compares every repetition with the first copy.
        self.AssertPulito(scheda)
        self.assertEqual(bytes.fromhex(scheda["scritti"][0]["dati"]), dati)
        self.assertEqual(scheda["trasferimenti"][0]["ripetuti"], 2)
        p1 = [f for v, l, i, f in self.Trame() if l == "P" and i == 1]
        self.assertEqual(len(p1), 3)
        self.assertEqual(len(set(p1)), 1)
        self.assertEqual(self.Log().count("ripetizione pacchetto 1"), 2)

    def test_spoiled_request_frames_are_ignored(self):
        self.Avvia([Scheda68331(guasti=[{"tipo": "controllo", "pacchetto": 1},
                                        {"tipo": "lunghezza", "pacchetto": 2}])])
        dati = DatiCon47(400, 3)
        stato, errori = self.Carica(self.Grezza(dati))
        self.assertEqual(stato, 0, errori)
        scheda = self.Scheda()
        self.AssertPulito(scheda)
        self.assertEqual(bytes.fromhex(scheda["scritti"][0]["dati"]), dati)
        # Each spoiled request went unanswered; the board's repetition was answered once.
        seq = [(v, l, i) for v, l, i, _ in self.Trame()]
        self.assertEqual(seq[3:9], [("<-", "G", 1), ("<-", "G", 1), ("->", "P", 1),
                                    ("<-", "G", 2), ("<-", "G", 2), ("->", "P", 2)])

    def test_start_request_repeated_until_the_board_answers(self):
        self.Avvia([Scheda68331(guasti=[{"tipo": "silenzio", "volte": 2}])])
        dati = DatiCon47(200, 4)
        stato, errori = self.Carica(self.Grezza(dati))
        self.assertEqual(stato, 0, errori)
        scheda = self.Scheda()
        self.AssertPulito(scheda)
        self.assertEqual(bytes.fromhex(scheda["scritti"][0]["dati"]), dati)
        avvii = [f for v, l, _, f in self.Trame() if l == "Z"]
        self.assertEqual(len(avvii), 3)
        self.assertEqual(len(set(avvii)), 1)
        self.assertEqual(self.Log().count("nessuna richiesta dalla scheda, nuovo avvio"), 2)

    # --- transfers the board ends in error ------------------------------------------------

    def test_board_of_another_machine_code(self):
        self.Avvia([Scheda68331(codice=0x0002)])
        stato, errori = self.Carica(self.Grezza(DatiCon47(300, 5), codice=0x0001))
        self.assertEqual(stato, 24, errori)
        self.assertEqual(errori, "program and dispenser are not compatible\n")
        scheda = self.Scheda()
        self.assertEqual(scheda["scritti"], [])
        self.assertEqual([l for _, l, _, _ in self.Trame()][:2], ["Z", "G"])
        self.assertNotIn("P", [l for _, l, _, _ in self.Trame()])
        self.AssertInOrdine(self.Log(), ["distributore errato 0002", "chiusura interfaccia"])

    def test_request_out_of_sequence(self):
        self.Avvia([Scheda68331(guasti=[{"tipo": "fuoriSequenza", "pacchetto": 2, "richiesto": 5}])])
        stato, errori = self.Carica(self.Grezza(DatiCon47(1000, 6)))
        self.assertEqual(stato, 26, errori)
        self.assertEqual(errori, "packet out of sequence\n")
        scheda = self.Scheda()
        # The board notes a PC that answers the request it should have refused.
        self.AssertPulito(scheda)
        self.assertEqual([(l, i) for v, l, i, _ in self.Trame() if v == "->"],
                         [("Z", None), ("P", 0), ("P", 1)])
        self.assertIn("pacchetto fuori sequenza 5", self.Log())

    def test_request_past_the_end(self):
        self.Avvia([Scheda68331(guasti=[{"tipo": "oltreFine", "richieste": 2}])])
        dati = DatiCon47(256, 7)
        stato, errori = self.Carica(self.Grezza(dati))
        self.assertEqual(stato, 25, errori)
        self.assertEqual(errori, "beyond end packet\n")
        scheda = self.Scheda()
        self.AssertPulito(scheda)
        self.assertEqual(bytes.fromhex(scheda["scritti"][0]["dati"]), dati)
        # The first request past the end gets the empty packet, the second ends the job.
        self.assertTrue(scheda["trasferimenti"][0]["pacchettoVuoto"])
        self.assertEqual([(v, l, i) for v, l, i, _ in self.Trame()][-3:],
                         [("<-", "G", 2), ("->", "P", 2), ("<-", "G", 3)])
        self.AssertInOrdine(self.Log(), ["invio pacchetto 2, 0 byte", "pacchetto oltre fine file 3"])

    def test_board_silent_after_a_packet_ends_the_job(self):
        self.Avvia([Scheda68331(guasti=[{"tipo": "silenzio", "pacchetto": 1}])])
        stato, errori = self.Carica(self.Grezza(DatiCon47(600, 8)))
        self.assertEqual(stato, 28, errori)
        self.assertEqual(errori, "error: timeout waiting answer\n")
        self.assertEqual([(l, i) for v, l, i, _ in self.Trame() if v == "->"],
                         [("Z", None), ("P", 0), ("P", 1)])
        self.AssertInOrdine(self.Log(), ["invio pacchetto 1, 128 byte",
                                         "nessuna richiesta dalla scheda dopo il pacchetto 1",
                                         "chiusura interfaccia"])


if __name__ == "__main__":
    unittest.main()
