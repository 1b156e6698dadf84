#!/usr/bin/python3
"""End-to-end tests of the PIC load: the real bricola program
(`bricola -B -S -L module.bin` with `[Settings] Porta=61` and
`[Ports] PIC0=unix:...`) against bricola-sim's driver device with a PIC board
behind it, on a Unix-domain socket. The simulator's dump holds the board's
memory and every driver request in order.
"""

import glob
import json
import os
import select
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
from test_e2e import BRICOLA, MKIMAGE, SIM, TIMEOUT_S  # noqa: E402

NON_IMPLEMENTATI = bytes.fromhex("FFD8F0F0FFFE85FFF03FF01FF0BFFFFF")


class SimulatoreDispositivi:
    """bricola-sim serving only the driver device, with a PIC board behind it."""

    def __init__(self, cartella, pic, lpt=False):
        self.socket = os.path.join(cartella, "driver.sock")
        self.dump = os.path.join(cartella, "dump.json")
        self.trascrizione = os.path.join(cartella, "transcript.txt")
        file_dispositivi = os.path.join(cartella, "devices.json")
        with open(file_dispositivi, "w") as f:
            json.dump({"pic": pic}, f, indent=1)
        self.errori = open(os.path.join(cartella, "sim.err"), "w")
        opzione = "--lpt" if lpt else "--pic"
        self.processo = subprocess.Popen(
            [SIM, opzione, self.socket, "--devices", file_dispositivi, "--dump", self.dump,
             "--transcript", self.trascrizione],
            stdout=subprocess.PIPE, stderr=self.errori, text=True)
        pronto, _, _ = select.select([self.processo.stdout], [], [], 10)
        riga = self.processo.stdout.readline() if pronto else ""
        if not riga.startswith(opzione[2:] + " "):
            self.Ferma()
            raise RuntimeError("bricola-sim did not start: %r" % riga)

    def Ferma(self):
        if self.processo.poll() is None:
            self.processo.send_signal(signal.SIGTERM)
            try:
                self.processo.wait(10)
            except subprocess.TimeoutExpired:
                self.processo.kill()
                self.processo.wait()
        self.processo.stdout.close()
        self.errori.close()

    def Stato(self):
        with open(self.dump) as f:
            return json.load(f)["dispositivi"]


def Voci(stato):
    """Every driver request as a short tuple, in order: ("apertura",), ("modo", 1),
    ("leggi", address, length), ("scrivi", address, length), ("comando", value),
    ("chiusura",)."""
    r = []
    for v in stato["richieste"]:
        if "evento" in v:
            r.append((v["evento"],))
        elif v.get("richiesta") == "modo":
            r.append(("modo", v["modo"]))
        elif v.get("richiesta") in ("leggi", "scrivi"):
            r.append((v["richiesta"], v["indirizzo"], v["lunghezza"]))
        elif v.get("richiesta") == "comando":
            r.append(("comando", v["valore"]))
        else:
            r.append(("?", v))
    return r


def Flash(stato):
    """address -> byte of every programmed (non-FF) flash byte."""
    m = {}
    for t in stato["pic"]["nonVuoti"]:
        for i, b in enumerate(bytes.fromhex(t["dati"])):
            m[t["inizio"] + i] = b
    return m


def Scritture(voci):
    return [(v[1], v[2]) for v in voci if v[0] == "scrivi" and v[1] < 0xF00000]


class Pic(test_e2e.E2E, unittest.TestCase):

    def AvviaPic(self, pic=None, porta=61, voce=None, lpt=False):
        self.sim = SimulatoreDispositivi(self.cartella, pic or {}, lpt=lpt)
        voce = voce or "PIC%d" % (porta - 61)
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "w") as f:
            f.write("[Settings]\nPorta=%d\n[Ports]\n%s=unix:%s\n" % (porta, voce, self.sim.socket))

    def CaricaPic(self, immagine):
        r = subprocess.run([BRICOLA, "-B", "-S", "-L", immagine], capture_output=True, env=self.Ambiente(),
                           timeout=TIMEOUT_S)
        self.sim.Ferma()
        return r.returncode, r.stderr.decode("utf-8", "replace")

    def App(self, blocchi, codice=0x1020, opzioni=("-l", "5"), nome="module.bin"):
        return self.Immagine((codice, list(opzioni), blocchi), nome=nome)

    def AssertFlash(self, stato, indirizzo, dati):
        m = Flash(stato)
        self.assertEqual(bytes(m.get(indirizzo + i, 0xFF) for i in range(len(dati))), dati)

    def AssertApertaEChiusa(self, voci):
        """Mode on after the open, mode off before the close."""
        self.assertEqual(voci[:2], [("apertura",), ("modo", 1)])
        self.assertEqual(voci[-2:], [("modo", 0), ("chiusura",)])

    # --- modules that load ---------------------------------------------------------------

    def test_application_onto_a_universal_board(self):
        self.AvviaPic({"codice": "0xFFFF", "firma": "0xFF"})
        dati = test_e2e.Dati(100, 1)
        stato, errori = self.CaricaPic(self.App([(0x100, dati)]))
        self.assertEqual(stato, 0, errori)
        self.assertEqual(errori, "upload complete\n")
        s = self.sim.Stato()
        self.assertEqual((s["pic"]["codice"], s["pic"]["firma"]), ("FFFF", "28"))
        self.AssertFlash(s, 0x100, dati)
        self.assertEqual(s["pic"]["cancellazioni"], [])
        self.assertEqual(s["pic"]["scrittureSuNonCancellato"], 0)

        voci = Voci(s)
        self.AssertApertaEChiusa(voci)
        attese = [("leggi", 0xF000FC, 2), ("scrivi", 0xF000FF, 1), ("leggi", 0x100, 64)]
        for a in range(0x100, 0x168, 8):
            if a == 0x140:
                attese.append(("leggi", 0x140, 64))
            attese.append(("scrivi", a, 8))
        attese += [("leggi", 0x100, 64), ("leggi", 0x140, 36), ("scrivi", 0xF000FF, 1)]
        self.assertEqual(voci[2:-2], attese)
        # Every request answered whole, with status 0.
        self.assertTrue(all(v["esito"] == 1 and v["stato"] == 0 for v in s["richieste"] if "richiesta" in v))
        self.AssertInOrdine(self.Log(), [
            "impostazione parametri connessione interfaccia 4",
            "interfaccia aperta",
            "chiusura interfaccia",
        ])

    def test_application_onto_a_board_of_its_own_machine(self):
        self.AvviaPic({"codice": "0x1020", "firma": "0x28"})
        stato, errori = self.CaricaPic(self.App([(0x200, test_e2e.Dati(16, 2))]))
        self.assertEqual(stato, 0, errori)
        s = self.sim.Stato()
        # The stored code is kept, never rewritten by an application.
        self.assertEqual((s["pic"]["codice"], s["pic"]["firma"]), ("1020", "28"))
        self.assertNotIn(("scrivi", 0xF000FC, 2), Voci(s))

    def test_boot_module_clears_the_code_and_leaves_the_signature_at_61(self):
        self.AvviaPic({"codice": "0x1020", "firma": "0x28"})
        dati = test_e2e.Dati(32, 3)
        stato, errori = self.CaricaPic(self.App([(0x000, dati)], opzioni=("-m", "3", "-k", "1")))
        self.assertEqual(stato, 0, errori)
        s = self.sim.Stato()
        self.assertEqual((s["pic"]["codice"], s["pic"]["firma"]), ("FFFF", "61"))
        self.AssertFlash(s, 0, dati)
        voci = Voci(s)
        # The code is cleared without being read; no final signature.
        self.assertEqual(voci[2:4], [("scrivi", 0xF000FC, 2), ("scrivi", 0xF000FF, 1)])
        self.assertNotIn(("leggi", 0xF000FC, 2), voci)
        self.assertEqual(voci.count(("scrivi", 0xF000FF, 1)), 1)

    def test_records_at_0_across_a_sector_boundary_all_ff_and_13_bytes(self):
        self.AvviaPic()
        a0 = test_e2e.Dati(16, 4)
        confine = test_e2e.Dati(8, 5)
        tredici = test_e2e.Dati(13, 6)
        stato, errori = self.CaricaPic(self.App([(0x000, a0), (0x0BC, confine), (0x200, b"\xff" * 16),
                                                 (0x300, tredici)]))
        self.assertEqual(stato, 0, errori)
        s = self.sim.Stato()
        for a, d in ((0, a0), (0xBC, confine), (0x300, tredici)):
            self.AssertFlash(s, a, d)
        voci = Voci(s)
        self.assertEqual(Scritture(voci), [(0x000, 8), (0x008, 8),
                                           (0x0BC, 8), (0x0C0, 8),   # cut at 0xC0, each padded
                                           (0x300, 8), (0x308, 8)])  # 8 + 5 padded with three FF
        # Each sector is blank-checked when its first packet comes, 0 included;
        # the all-FF record writes nothing but is read back.
        blank = [v for v in voci if v[0] == "leggi" and v[2] == 64]
        self.assertEqual(blank[:5], [("leggi", 0x000, 64), ("leggi", 0x080, 64), ("leggi", 0x0C0, 64),
                                     ("leggi", 0x200, 64), ("leggi", 0x300, 64)])
        self.assertIn(("leggi", 0x200, 16), voci)
        self.assertIn(("leggi", 0x300, 13), voci)
        self.assertEqual(s["pic"]["cancellazioni"], [])

    def test_an_old_program_at_0_is_erased_first(self):
        vecchio = bytes(range(0x60))
        self.AvviaPic({"contenuto": [{"indirizzo": "0x0", "dati": vecchio.hex()}]})
        dati = test_e2e.Dati(0x50, 7)
        stato, errori = self.CaricaPic(self.App([(0x000, dati)]))
        self.assertEqual(stato, 0, errori)
        s = self.sim.Stato()
        self.assertEqual(s["pic"]["cancellazioni"], [0x00, 0x40])
        self.assertEqual(s["pic"]["scrittureSuNonCancellato"], 0)
        self.AssertFlash(s, 0, dati + b"\xff" * 0x30)

    def test_configuration_bytes_verified_through_the_masks(self):
        self.AvviaPic()
        configurazione = bytes.fromhex("00 27 0F 0F 00 01 7A 00 0F C0 0F E0 0F 40 00 00")
        stato, errori = self.CaricaPic(self.App([(0x000, test_e2e.Dati(8, 8)), (0x300000, configurazione)]))
        self.assertEqual(stato, 0, errori)
        s = self.sim.Stato()
        # The block never reads blank (its unimplemented bits read 0): it is erased first.
        self.assertEqual(s["pic"]["cancellazioni"], [0x300000])
        atteso = bytes(b & ~m & 0xFF for b, m in zip(configurazione, NON_IMPLEMENTATI))
        self.assertEqual(bytes.fromhex(s["pic"]["configurazione"]), atteso)
        voci = Voci(s)
        i = voci.index(("comando", 0x300000))
        self.assertEqual(voci[i - 1], ("leggi", 0x300000, 16))
        self.assertEqual(voci[i + 1:i + 3], [("scrivi", 0x300000, 8), ("scrivi", 0x300008, 8)])
        self.assertIn(("leggi", 0x300000, 16), voci[i + 3:])

    def test_two_modules_in_one_job(self):
        self.AvviaPic()
        uno = test_e2e.Dati(24, 9)
        due = test_e2e.Dati(40, 10)
        immagine = self.Immagine((0x1020, ["-l", "5"], [(0x400, uno)]), (0x1020, ["-l", "5"], [(0x800, due)]))
        stato, errori = self.CaricaPic(immagine)
        self.assertEqual(stato, 0, errori)
        s = self.sim.Stato()
        self.AssertFlash(s, 0x400, uno)
        self.AssertFlash(s, 0x800, due)
        voci = Voci(s)
        # One open for the job; each module reads the code and sets both signatures.
        self.assertEqual(voci.count(("apertura",)), 1)
        self.AssertApertaEChiusa(voci)
        self.assertEqual(voci.count(("leggi", 0xF000FC, 2)), 2)
        self.assertEqual(voci.count(("scrivi", 0xF000FF, 1)), 4)
        self.assertLess(voci.index(("scrivi", 0x400, 8)), voci.index(("leggi", 0xF000FC, 2), 3))

    def test_pic_interface_1_found_through_lpt2(self):
        self.AvviaPic(porta=62, voce="LPT2", lpt=True)
        dati = test_e2e.Dati(16, 11)
        stato, errori = self.CaricaPic(self.App([(0x100, dati)]))
        self.assertEqual(stato, 0, errori)
        s = self.sim.Stato()
        self.AssertFlash(s, 0x100, dati)
        self.assertEqual(s["pic"]["firma"], "28")
        self.assertTrue(all(v["dispositivo"].startswith("lpt#") for v in s["richieste"]))

    # --- failures ------------------------------------------------------------------------------

    def test_board_of_another_machine(self):
        self.AvviaPic({"codice": "0x1021", "firma": "0x28"})
        stato, errori = self.CaricaPic(self.App([(0x100, test_e2e.Dati(16, 12))]))
        self.assertEqual(stato, 24, errori)
        self.assertEqual(errori, "program and dispenser are not compatible\n")
        s = self.sim.Stato()
        self.assertEqual((s["pic"]["codice"], s["pic"]["firma"]), ("1021", "28"))
        self.assertEqual(Flash(s), {})
        self.assertEqual(Voci(s), [("apertura",), ("modo", 1), ("leggi", 0xF000FC, 2), ("modo", 0), ("chiusura",)])

    def test_erase_failure(self):
        self.AvviaPic({"contenuto": [{"indirizzo": "0x40", "dati": "00"}],
                       "guasti": {"cancellazioneFallita": ["0x40"]}})
        stato, errori = self.CaricaPic(self.App([(0x40, test_e2e.Dati(16, 13))]))
        self.assertEqual(stato, 30, errori)
        s = self.sim.Stato()
        self.assertEqual(s["pic"]["firma"], "61")
        voci = Voci(s)
        self.assertEqual(voci[-4:], [("leggi", 0x40, 64), ("comando", 0x40), ("modo", 0), ("chiusura",)])
        self.assertEqual(Scritture(voci), [])

    def test_read_back_difference(self):
        self.AvviaPic({"guasti": {"bitErrati": [{"indirizzo": "0x108", "bit": 4}]}})
        stato, errori = self.CaricaPic(self.App([(0x100, test_e2e.Dati(32, 14))]))
        self.assertEqual(stato, 32, errori)
        self.assertEqual(errori, "error: write to flash\n")
        s = self.sim.Stato()
        self.assertEqual(s["pic"]["firma"], "61")
        voci = Voci(s)
        self.assertEqual(voci[-3:], [("leggi", 0x100, 32), ("modo", 0), ("chiusura",)])

    def test_failing_packet_write(self):
        self.AvviaPic({"guasti": {"scritturaFallita": ["0x108"]}})
        stato, errori = self.CaricaPic(self.App([(0x100, test_e2e.Dati(32, 15))]))
        self.assertEqual(stato, 31, errori)
        voci = Voci(self.sim.Stato())
        self.assertEqual(Scritture(voci), [(0x100, 8), (0x108, 8)])
        self.assertEqual(voci[-2:], [("modo", 0), ("chiusura",)])

    def test_short_driver_reply(self):
        self.AvviaPic({"guasti": {"rispostaCorta": ["leggi"]}})
        stato, errori = self.CaricaPic(self.App([(0x100, test_e2e.Dati(16, 16))]))
        self.assertEqual(stato, 15, errori)
        s = self.sim.Stato()
        # The first read (the stored code) came back 2 bytes short: nothing written.
        self.assertEqual(Voci(s), [("apertura",), ("modo", 1), ("leggi", 0xF000FC, 2), ("modo", 0), ("chiusura",)])
        self.assertEqual(s["pic"]["firma"], "FF")

    def test_mode_on_refused(self):
        self.AvviaPic({"guasti": {"modoRifiutato": True}})
        stato, errori = self.CaricaPic(self.App([(0x100, test_e2e.Dati(16, 17))]))
        self.assertEqual(stato, 11, errori)
        self.assertEqual(errori, "Port open error\n")
        # No mode off after a refused mode on.
        self.assertEqual(Voci(self.sim.Stato()), [("apertura",), ("modo", 1), ("chiusura",)])
        self.assertIn("errore apertura interfaccia", self.Log())

    def test_module_of_another_load_kind_on_the_pic_port(self):
        self.AvviaPic()
        stato, errori = self.CaricaPic(self.App([(0xFC0000, test_e2e.Dati(16, 18))], codice=0x1234,
                                                opzioni=("-l", "3")))
        self.assertEqual(stato, 41, errori)
        self.assertEqual(errori, "Bad module type\n")
        voci = Voci(self.sim.Stato())
        self.assertEqual(voci, [("apertura",), ("modo", 1), ("modo", 0), ("chiusura",)])
        self.AssertInOrdine(self.Log(), ["interfaccia aperta", "errore start", "chiusura interfaccia"])


if __name__ == "__main__":
    unittest.main()
