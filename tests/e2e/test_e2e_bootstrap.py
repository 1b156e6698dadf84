#!/usr/bin/python3
"""End-to-end tests of the ROM-bootstrap side: the micro check and the refusals
of the boot writers, with the real bricola program (and the e2e driver for the
jobs batch mode has no switch for) against bricola-sim over RFC 2217.

The RAM-loader files are made by `bricola-mkimage --ram-loaders` from a seed
and named by `[Bootstrap] Directory=` of the settings file (the driver takes
the folder as an argument).
"""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
from test_e2e import MKIMAGE, TIMEOUT_S, Scheda  # noqa: E402


class Bootstrap(test_e2e.E2E, unittest.TestCase):

    def Caricatori(self, seme=1):
        cartella = os.path.join(self.cartella, "ram")
        r = subprocess.run([MKIMAGE, "--ram-loaders", cartella, str(seme)], capture_output=True,
                           text=True, timeout=TIMEOUT_S)
        self.assertEqual(r.returncode, 0, r.stderr)
        return cartella

    def AvviaConCaricatori(self, schede, cartella):
        self.Avvia(schede)
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "a") as f:
            f.write("[Bootstrap]\nDirectory=%s\n" % cartella)

    def LineaMai(self):
        """The simulator saw DTR and RTS never asserted (opening the port clears
        both) and no frame."""
        righe = self.sim.Righe()
        self.assertEqual([r for r in righe if r.endswith(" linea dtr 1") or r.endswith(" linea rts 1")], [])
        self.assertEqual(self.sim.Frame(), [])

    def ModuloBoot(self, tipoLoad, indirizzo=0xFFC000):
        return self.Immagine((0x0030, ["-l", str(tipoLoad)], [(indirizzo, test_e2e.Dati(256, 3))]))

    def LogDriver(self):
        with open(os.path.join(self.tmp, "BricolaLogDriver.txt"), "rb") as f:
            return [r[20:] for r in f.read().decode("latin-1").split("\r\n") if r]

    # --- refusals before the line is touched --------------------------------------------

    def test_missing_ram_loader_file_refuses_before_the_line(self):
        cartella = os.path.join(self.cartella, "vuota")
        os.makedirs(cartella)
        self.AvviaConCaricatori([Scheda()], cartella)
        stato, errori = self.Carica(self.ModuloBoot(2))
        self.assertEqual(stato, 1, errori)
        self.LineaMai()
        log = self.Log()
        self.assertIn("immagine caricatore %s non trovata" % os.path.join(cartella, "mb90f549.bin"), log)
        self.assertIn("errore start", log)

    def test_short_ram_loader_file_refuses_before_the_line(self):
        cartella = self.Caricatori()
        with open(os.path.join(cartella, "mb96f338.bin"), "r+b") as f:
            f.truncate(1700)
        self.AvviaConCaricatori([Scheda()], cartella)
        stato, errori = self.Carica(self.ModuloBoot(8, 0xDF0000))
        self.assertEqual(stato, 3, errori)
        self.LineaMai()
        self.assertIn("immagine caricatore %s: lunghezza 1700 byte invece di 1732"
                      % os.path.join(cartella, "mb96f338.bin"), self.Log())

    def test_boot_module_with_a_can_address_is_refused(self):
        self.AvviaConCaricatori([Scheda()], self.Caricatori())
        immagine = self.Immagine((0x0030, ["-l", "2", "-a", "0x480"], [(0xFFC000, test_e2e.Dati(64, 1))]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 13, errori)
        self.LineaMai()

    # --- the micro check ----------------------------------------------------------------------

    def test_micro_check_of_an_mb91f465_in_its_bootstrap(self):
        cartella = self.Caricatori()
        self.Avvia([Scheda(nome="fr", micro=8, fr={"bootResidente": False})])
        stato, uscita = self.Driver("micro", cartella)
        self.assertEqual(stato, 0)
        self.assertEqual(uscita.strip(), "micro Fu91F465")
        log = self.LogDriver()
        self.AssertInOrdine(log, ["velocita' 9600 bit/s", "inizio impulso DTR", "fine impulso DTR",
                                  "fine attesa 40 ms", "invio check 465", "ricevuto check 465"])

    def test_micro_check_of_a_silent_board_runs_every_probe(self):
        cartella = self.Caricatori()
        self.Avvia([Scheda(guasti=[{"tipo": "silenzio", "comando": "*", "volte": -1}])])
        stato, uscita = self.Driver("micro", cartella)
        self.assertEqual(stato, 0)
        self.assertEqual(uscita.strip(), "micro Fu9!F!!!")
        log = self.LogDriver()
        self.AssertInOrdine(log, [
            "check 465 timeout definitivo", "velocita' 19200 bit/s", "invio check 338",
            "check 338 timeout definitivo", "velocita' 4800 bit/s", "invio check",
            "check timeout provvisorio", "check timeout definitivo", "velocita' 38400 bit/s",
            "richiesta firma tentativi mancanti 2", "richiesta firma fine tentativi"])
        self.assertEqual(log.count("invio check 465"), 5)
        self.assertEqual(log.count("invio check 338"), 5)
        self.assertEqual(log.count("invio check"), 3)

    def test_kind_10_boot_module_runs_the_micro_check_first(self):
        cartella = self.Caricatori()
        self.AvviaConCaricatori([Scheda(nome="fr", micro=8, fr={"bootResidente": False})], cartella)
        stato, errori = self.Carica(self.ModuloBoot(10, 0x00F4000))
        # The check passes and the MB91F465 writer starts its kernel; the
        # module's data lie outside the chip's boot sectors, so nothing is written.
        self.assertEqual(stato, 52, errori)
        log = self.Log()
        self.AssertInOrdine(log, ["invio check 465", "ricevuto check 465", "caricamento modulo",
                                  "invio check 465", "ricevuto sync loader",
                                  "InvioBlankOWrite: memoria inesistente"])
        self.assertEqual(self.sim.Dump()["schede"][0]["scritti"], [])


if __name__ == "__main__":
    unittest.main()
