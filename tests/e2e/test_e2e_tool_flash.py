#!/usr/bin/python3
"""End-to-end tests of bricola-tool read-flash and verify: a board's flash
backed up into an image file through its resident boot, that file loaded back
into a blank board with the real bricola, both boards verified, and the
comparison of an image file with a board that differs in one byte; all against
bricola-sim over RFC 2217 on 127.0.0.1.
"""

import json
import os
import pty
import select
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
from test_e2e import BRICOLA, TIMEOUT_S, Dati, Scheda  # noqa: E402
from test_e2e_tool import TOOL, Strumento  # noqa: E402

# What the backed-up board holds: a program, a table in another sector, a
# sector filled with zeros (not FF, so it must be kept) and one byte near the
# top of the application area.
CONTENUTO = [(0xFC0000, Dati(5000, 1)), (0xFE0100, Dati(300, 2)), (0xFD0000, bytes(256)),
             (0xFF7FFE, b"\x5a\xa5")]


def Contenuto(blocchi):
    return [{"indirizzo": "0x%X" % a, "dati": d.hex()} for a, d in blocchi]


def NonVuoti(dump, scheda=0):
    """address -> byte of every byte of a board that is not FF."""
    m = {}
    for r in dump["schede"][scheda]["nonVuoti"]:
        for i, b in enumerate(bytes.fromhex(r["dati"])):
            if b != 0xFF:
                m[r["indirizzo"] + i] = b
    return m


class Flash(Strumento, unittest.TestCase):

    def Scheda(self, contenuto=(), **altro):
        return Scheda(flash={"mappa": "M256", "contenuto": Contenuto(contenuto)}, **altro)

    def test_backup_restored_into_a_blank_board_both_verified(self):
        self.Avvia([self.Scheda(CONTENUTO)])
        backup = os.path.join(self.cartella, "backup.bin")
        stato, o, errori = self.Json("read-flash", "-C", "3", "--map", "M256", "-o", backup)
        self.assertEqual(stato, 0, errori)
        self.assertEqual((o["machine_code"], o["machine_code_hex"], o["written"]), (0x1234, "0x1234", True))
        self.assertEqual(o["boot_version"], "6.8")
        self.assertTrue(os.path.isfile(backup))
        # The file is an image the load accepts: one valid, preselected module
        # for the board's machine code.
        stato, info, _ = self.Json("info", backup)
        self.assertEqual((stato, info["module_count"], info["preselected_count"]), (0, 1, 1))
        self.assertEqual((info["modules"][0]["code_hex"], info["modules"][0]["crc"]), ("0x1234", "ok"))
        # Verify against the board it came from: equal, and nothing was written.
        stato, uscita, errori = self.Tool("verify", "-C", "3", backup)
        self.assertEqual(stato, 0, errori)
        self.assertIn("the boards hold every record", uscita)
        self.sim.Ferma()
        originale = NonVuoti(self.sim.Dump())
        comandi = {c for _, c in self.sim.Richieste()}
        self.assertNotIn("Write", comandi)
        self.assertNotIn("Erase", comandi)
        self.assertNotIn("Blank", comandi)
        self.assertIn("Read", comandi)
        self.assertEqual(len(originale), sum(len(d) for _, d in CONTENUTO) - sum(
            d.count(0xFF) for _, d in CONTENUTO))

        # Restore into a blank board of the same machine, then verify it too.
        self.Avvia([self.Scheda()])
        r = subprocess.run([BRICOLA, "-B", "-S", "-C", "3", backup], capture_output=True, env=self.Ambiente(),
                           timeout=TIMEOUT_S)
        self.assertEqual(r.returncode, 0, r.stderr)
        stato, o, errori = self.Json("verify", "-C", "3", backup)
        self.assertEqual((stato, o["equal"]), (0, True), errori)
        self.sim.Ferma()
        self.assertEqual(NonVuoti(self.sim.Dump()), originale)

    def test_backup_from_a_remote_board_in_46_byte_reads(self):
        remota = self.Scheda([(0xFC0100, Dati(200, 3))], nome="pagamenti", codice=0x2001, versione=0x67,
                             can=0x0482)
        self.Avvia([self.Scheda(), remota])
        backup = os.path.join(self.cartella, "remote.bin")
        stato, o, errori = self.Json("read-flash", "-C", "3", "--can", "0x482", "--range", "FC0000:FC1000",
                                     "-o", backup)
        self.assertEqual(stato, 0, errori)
        self.assertEqual((o["machine_code_hex"], o["can_address_hex"], o["bytes"]), ("0x2001", "0x0482", 0x1000))
        self.assertEqual(o["ranges"], [{"start": 0xFC0000, "start_hex": "0xFC0000", "end": 0xFC1000,
                                        "end_hex": "0xFC1000"}])
        self.sim.Ferma()
        letture = [bytes.fromhex(d.replace(" ", "")) for v, s, c, d in self.sim.Frame()
                   if v == "<-" and s == "pagamenti" and c == "Read"]
        self.assertTrue(letture)
        # A Read reply is F2, the data bytes and the check.
        self.assertLessEqual(max(len(x) - 3 for x in letture), 46)
        # The local board was only the way through: nothing was read from it.
        self.assertNotIn(("controllo", "Read"), self.sim.Richieste())
        stato, info, _ = self.Json("info", backup)
        self.assertEqual((stato, info["modules"][0]["code_hex"]), (0, "0x2001"))

    def test_verify_equal_and_with_one_byte_changed(self):
        dati = Dati(4096, 9)
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0xFC0000, dati)]))
        self.Avvia([self.Scheda([(0xFC0000, dati)])])
        stato, o, errori = self.Json("verify", "-C", "3", immagine)
        self.assertEqual((stato, o["equal"], o["first_difference"]), (0, True, None), errori)
        self.sim.Ferma()
        self.assertEqual({c for _, c in self.sim.Richieste()} & {"Blank", "Erase", "Write"}, set())

        cambiati = bytearray(dati)
        cambiati[0x123] ^= 0x10
        self.Avvia([self.Scheda([(0xFC0000, bytes(cambiati))])])
        stato, uscita, errori = self.Tool("verify", "-C", "3", immagine)
        self.assertEqual(stato, 32, errori)
        self.assertIn("differs at 0xFC0123", uscita)
        stato, o, _ = self.Json("verify", "-C", "3", immagine)
        self.assertEqual((stato, o["equal"], o["first_difference"], o["first_difference_hex"]),
                         (32, False, 0xFC0123, "0xFC0123"))
        self.sim.Ferma()
        self.assertEqual({c for _, c in self.sim.Richieste()} & {"Blank", "Erase", "Write"}, set())

    def test_verify_refuses_a_module_not_loaded_through_a_resident_boot(self):
        # Micro selector 1 with module class 1: a boot for the MB90F549 bootstrap.
        immagine = self.Immagine((0x1234, ["-m", "1", "-k", "1"], [(0xFF0000, Dati(64, 4))]))
        self.Avvia([self.Scheda()])
        stato, o, errori = self.Json("verify", "-C", "3", immagine)
        self.assertEqual(stato, 41, errori)
        self.sim.Ferma()
        self.assertEqual(self.sim.Frame(), [])

    def test_read_flash_command_line_errors(self):
        uscita = os.path.join(self.cartella, "x.bin")
        casi = [
            (("read-flash", "--map", "M256"), "no output file given"),
            (("read-flash", "-o", uscita), "give either --map or --range"),
            (("read-flash", "-o", uscita, "--map", "M256", "--range", "FC0000:FD0000"), "either --map or --range"),
            (("read-flash", "-o", uscita, "--map", "M999"), "unknown flash map 'M999'"),
            (("read-flash", "-o", uscita, "--range", "FD0000:FC0000"), "--range needs START:END"),
            (("read-flash", "-o", uscita, "--range", "FC0000"), "--range needs START:END"),
            (("read-flash", "-o", uscita, "--range", "0xFC0000:0xFD0000", "--range", "FC8000:FE0000"), "overlap"),
            (("verify",), "no image file given"),
        ]
        for argomenti, lamentela in casi:
            with self.subTest(argomenti=argomenti):
                stato, out, errori = self.Tool(*argomenti)
                self.assertEqual((stato, out), (72, ""), errori)
                self.assertIn(lamentela, errori)
        self.assertFalse(os.path.exists(uscita))


class Avanzamento(Strumento, unittest.TestCase):

    def test_progress_line_on_a_terminal_and_results_on_stdout(self):
        # A board that takes 8 ms for each Read: the verify lasts long enough
        # for several redraws of the progress line.
        dati = Dati(65536, 16)
        self.Avvia([Scheda(ritardiMs={"Read": 8}, flash={"mappa": "M256",
                                                         "contenuto": Contenuto([(0xFC0000, dati)])})])
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0xFC0000, dati)]))
        principale, secondario = pty.openpty()
        p = subprocess.Popen([TOOL, "verify", "-C", "3", "--json", immagine], stdout=subprocess.PIPE,
                             stderr=secondario, env=self.Ambiente())
        os.close(secondario)
        errori = b""
        scadenza = time.monotonic() + TIMEOUT_S
        while time.monotonic() < scadenza:
            pronto, _, _ = select.select([principale], [], [], 0.5)
            if pronto:
                try:
                    pezzo = os.read(principale, 4096)
                except OSError:
                    break
                if not pezzo:
                    break
                errori += pezzo
            elif p.poll() is not None:
                break
        os.close(principale)
        uscita = p.stdout.read()
        p.stdout.close()
        self.assertEqual(p.wait(TIMEOUT_S), 0)
        self.assertEqual(json.loads(uscita)["equal"], True)
        testo = errori.decode("utf-8", "replace")
        disegni = [d for d in testo.split("\r\x1b[K") if d]
        self.assertGreaterEqual(len(disegni), 3, repr(testo))
        self.assertRegex(disegni[-1], r"module 1  \d+/\d+ bytes  \d+ bytes/s  00:00:\d\d$")
        # The line is cleared at the end, and no new line was written.
        self.assertTrue(testo.endswith("\r\x1b[K"), repr(testo[-80:]))
        self.assertNotIn("\n", testo)


class FlashInterrotta(Strumento, unittest.TestCase):
    opzioniSimulatore = ("--paced",)

    def RigheLog(self):
        """The log's texts so far (none before the log exists)."""
        for nome in os.listdir(self.tmp):
            if nome.startswith("BricolaLog"):
                with open(os.path.join(self.tmp, nome), "rb") as f:
                    return [r[20:] for r in f.read().decode("latin-1").split("\r\n") if r]
        return []

    def test_sigint_stops_a_backup_and_leaves_no_file(self):
        self.Avvia([Scheda(flash={"mappa": "M256", "contenuto": Contenuto(CONTENUTO)})])
        backup = os.path.join(self.cartella, "backup.bin")
        p = subprocess.Popen([TOOL, "read-flash", "-C", "3", "-L", "--map", "M256", "-o", backup, "--json"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.Ambiente())
        try:
            limite = time.monotonic() + 30
            while sum(1 for r in self.RigheLog() if r.startswith("invio read ")) < 3:
                self.assertIsNone(p.poll(), "the read ended before the signal")
                self.assertLess(time.monotonic(), limite, "no Read in time")
                time.sleep(0.05)
            time.sleep(0.3)
            inizio = time.monotonic()
            p.send_signal(signal.SIGINT)
            uscita, errori = p.communicate(timeout=30)
            durata = time.monotonic() - inizio
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        self.assertEqual(p.returncode, 130, errori)
        self.assertLess(durata, 5)
        self.assertEqual(json.loads(uscita)["result"], 130)
        self.assertIn(b"link interrupted", errori)
        p.stdout.close()
        p.stderr.close()
        self.assertFalse(os.path.exists(backup))
        self.AssertInOrdine(self.Log(), ["interruzione dal segnale SIGINT", "stop"])


if __name__ == "__main__":
    unittest.main()
