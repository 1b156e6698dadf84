#!/usr/bin/python3
"""End-to-end tests of a batch job stopped by a signal: `bricola -B -S` runs a
load against a paced bricola-sim (real line timing), SIGINT or SIGTERM comes
midway; the job must end through its stop step (the line closed, a board in
its ROM bootstrap released with RTS cleared and the final DTR pulse, a key
closed), log the
interruption and exit with 128 + the signal's number; a second signal ends
the program at once.
"""

import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
import test_e2e_f2mc  # noqa: E402
import test_e2e_key  # noqa: E402
from test_e2e import BRICOLA, Dati, Scheda  # noqa: E402

# Longest time from the signal to the end of the program (the stop step of a
# ROM-bootstrap job holds DTR for 600 ms; sanitizer builds are slower).
FINE_MAX_S = 8


class Interruzione(test_e2e.E2E):
    opzioniSimulatore = ("--paced",)

    def RigheLog(self):
        for nome in os.listdir(self.tmp):
            if nome.startswith("BricolaLog"):
                with open(os.path.join(self.tmp, nome), "rb") as f:
                    return [r[20:] for r in f.read().decode("latin-1").split("\r\n") if r]
        return []

    def Interrompi(self, immagine, segnali, scritture=3, pausa=0.1):
        """Runs the load, waits until `scritture` data packets are logged, sends
        the signals (pausa seconds apart); (exit status, stderr, seconds from
        the first signal to the end)."""
        p = subprocess.Popen([BRICOLA, "-B", "-S", "-C", "3", "-L", immagine], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=self.Ambiente())
        try:
            limite = time.monotonic() + 60
            while True:
                if p.poll() is not None:
                    self.fail("the load ended before the signal: %s\n%s"
                              % (p.returncode, "\n".join(self.RigheLog())))
                if sum(1 for r in self.RigheLog() if re.match(r"invio (\w+ )?dati ", r)) >= scritture:
                    break
                self.assertLess(time.monotonic(), limite, "no data packet in time")
                time.sleep(0.05)
            inizio = time.monotonic()
            for k, s in enumerate(segnali):
                if k:
                    time.sleep(pausa)
                p.send_signal(s)
            uscita, errori = p.communicate(timeout=30)
            durata = time.monotonic() - inizio
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        self.sim.Ferma()
        self.assertEqual(uscita, b"")
        return p.returncode, errori.decode("utf-8", "replace"), durata

    def AssertLineaChiusa(self):
        with open(os.path.join(self.cartella, "sim.err")) as f:
            self.assertIn("client disconnesso (fine connessione)", f.read())


class InterruzioneBoot(Interruzione, unittest.TestCase):
    """A load through the resident boot."""

    def Immagine64k(self):
        self.Avvia([Scheda()])
        return self.Immagine((0x1234, ["-m", "1"], [(0xFC0000, Dati(65536, 4))]))

    def test_sigint_stops_the_load_closes_the_line_and_exits_130(self):
        stato, errori, durata = self.Interrompi(self.Immagine64k(), [signal.SIGINT])
        self.assertEqual(stato, 130, errori)
        self.assertEqual(errori, "link interrupted\n")
        self.assertLess(durata, FINE_MAX_S)
        log = self.RigheLog()
        self.AssertInOrdine(log, ["start", "interfaccia aperta", "interruzione dal segnale SIGINT",
                                  "chiusura interfaccia", "stop"])
        self.assertNotIn("traferimento completato", log)
        self.assertEqual(log[-1], "stop")
        self.AssertLineaChiusa()
        # The board saw part of the module, never its end.
        scheda = self.sim.Dump()["schede"][0]
        scritti = sum(i["lunghezza"] for i in scheda["scritti"])
        self.assertGreater(scritti, 0)
        self.assertLess(scritti, 65536)
        self.assertFalse(scheda["fineRicevuto"])
        self.assertNotIn("Fine", [c for _, c in self.sim.Richieste()])

    def test_sigterm_stops_the_load_and_exits_143(self):
        stato, errori, durata = self.Interrompi(self.Immagine64k(), [signal.SIGTERM])
        self.assertEqual(stato, 143, errori)
        self.assertEqual(errori, "link interrupted\n")
        self.assertLess(durata, FINE_MAX_S)
        self.AssertInOrdine(self.RigheLog(), ["interruzione dal segnale SIGTERM", "chiusura interfaccia", "stop"])
        self.AssertLineaChiusa()


class InterruzioneBootstrap(Interruzione, unittest.TestCase):
    """A boot module written through the MB90F549's ROM bootstrap."""

    Caricatori = test_e2e_f2mc.F2mc.Caricatori
    Macchina = test_e2e_f2mc.F2mc.Macchina
    Modulo = test_e2e_f2mc.F2mc.Modulo
    Eventi = test_e2e_f2mc.F2mc.Eventi
    AssertRilascio = test_e2e_f2mc.F2mc.AssertRilascio

    def ModuloQ(self):
        self.Macchina("Q", bufferCaricatore=0x40)
        return self.Modulo("Q", [(0xFF0000, Dati(4096, 5))])

    def test_sigint_releases_the_board_from_its_bootstrap(self):
        stato, errori, durata = self.Interrompi(self.ModuloQ(), [signal.SIGINT])
        self.assertEqual(stato, 130, errori)
        self.assertEqual(errori, "link interrupted\n")
        self.assertLess(durata, FINE_MAX_S)
        # RTS cleared, then the final DTR pulse restarts the board from its flash.
        self.AssertRilascio(self.Eventi())
        log = self.RigheLog()
        self.AssertInOrdine(log, ["interruzione dal segnale SIGINT", "chiusura interfaccia", "stop"])
        self.assertEqual(log[-1], "stop")
        self.AssertLineaChiusa()

    def test_a_second_signal_ends_the_program_at_once(self):
        # The second SIGINT comes while the stop step holds DTR for its final
        # pulse: the program ends by the signal without finishing it.
        stato, errori, durata = self.Interrompi(self.ModuloQ(), [signal.SIGINT, signal.SIGINT], pausa=0.15)
        self.assertEqual(stato, -signal.SIGINT, errori)
        self.assertLess(durata, 0.6)
        self.assertNotIn("stop", self.RigheLog())


class InterruzioneChiave(unittest.TestCase):
    """A load onto the emulated USB key and a read of it."""

    setUp = test_e2e_key.Chiave.setUp
    tearDown = test_e2e_key.Chiave.tearDown
    Sim = test_e2e_key.Chiave.Sim
    Immagine = test_e2e_key.Chiave.Immagine
    Registro = test_e2e_key.Chiave.Registro
    # Nearly the whole key (4096 pages of 264 bytes): several seconds.
    LUNGHEZZA = 1000000

    def Interrompi(self, *argomenti):
        env = dict(os.environ, XDG_CONFIG_HOME=self.config, TMPDIR=self.tmp)
        p = subprocess.Popen([BRICOLA, "-B", "-L"] + list(argomenti), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=env, cwd=self.lavoro)
        try:
            time.sleep(1.0)
            self.assertIsNone(p.poll(), "the job ended before the signal")
            inizio = time.monotonic()
            p.send_signal(signal.SIGINT)
            _, errori = p.communicate(timeout=30)
            durata = time.monotonic() - inizio
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        return p.returncode, errori.decode("utf-8", "replace"), durata

    def Eventi(self, sim):
        sim.Ferma()
        with open(sim.dump) as f:
            return [r for r in json.load(f)["dispositivi"]["richieste"] if "evento" in r]

    def test_sigint_during_a_load_onto_the_key_closes_the_key(self):
        sim = self.Sim()
        immagine = self.Immagine(["-c", "0x0010", "-l", "3", "-n", "grande", "0x400000:seq=%d" % self.LUNGHEZZA])
        stato, errori, durata = self.Interrompi("-S", "-C", "61", immagine)
        self.assertEqual(stato, 130, errori)
        self.assertEqual(errori, "link interrupted\n")
        self.assertLess(durata, FINE_MAX_S)
        log = self.Registro()
        self.assertIn("interruzione dal segnale SIGINT", log)
        self.assertLess(log.index("interruzione dal segnale SIGINT"), log.index("chiusura interfaccia"))
        self.assertTrue(log.endswith("stop\r\n"), log[-200:])
        # Every connection the program opened to the key was closed again.
        eventi = [e["evento"] for e in self.Eventi(sim)]
        self.assertGreater(len(eventi), 0)
        self.assertEqual(eventi.count("apertura"), eventi.count("chiusura"), eventi)
        self.assertEqual(eventi[-1], "chiusura")

    def test_sigint_during_a_read_of_the_key_closes_the_key(self):
        sim = self.Sim()
        immagine = self.Immagine(["-c", "0x0010", "-l", "3", "-n", "grande", "0x400000:seq=%d" % self.LUNGHEZZA])
        env = dict(os.environ, XDG_CONFIG_HOME=self.config, TMPDIR=self.tmp)
        r = subprocess.run([BRICOLA, "-B", "-S", "-C", "61", immagine], capture_output=True, env=env,
                           cwd=self.lavoro, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        stato, errori, durata = self.Interrompi("-R", "-C", "61", os.path.join(self.lavoro, "letto.bin"))
        self.assertEqual(stato, 130, errori)
        self.assertEqual(errori, "link interrupted\n")
        self.assertLess(durata, FINE_MAX_S)
        log = self.Registro()
        self.assertIn("interruzione dal segnale SIGINT", log)
        # The read's own stop step closed the key.
        self.assertLess(log.index("interruzione dal segnale SIGINT"), log.rindex("interfaccia chiusa"))
        self.assertTrue(log.endswith("stop\r\n"), log[-200:])
        eventi = [e["evento"] for e in self.Eventi(sim)]
        self.assertEqual(eventi.count("apertura"), eventi.count("chiusura"), eventi)
        self.assertEqual(eventi[-1], "chiusura")


if __name__ == "__main__":
    unittest.main()
