#!/usr/bin/python3
"""End-to-end tests of several machines at once: a workshop bench flashes four
machines from one PC, one `bricola -B -S -C 3 -L` per port, all writing the
same day's log. Every line of every load must be in that log, whole.
"""

import collections
import glob
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
from test_e2e import BRICOLA, TIMEOUT_S, Dati, Scheda, Simulatore  # noqa: E402

MACCHINE = 4


def Normalizza(riga):
    """A log text without what depends on timing (the margins left before a
    deadline) or on the round (the simulator's port)."""
    riga = re.sub(r"margine -?\d+ tick", "margine N tick", riga)
    return re.sub(r"rfc2217://127\.0\.0\.1:\d+", "rfc2217://127.0.0.1:P", riga)


class Parallelo(test_e2e.E2E, unittest.TestCase):

    def Macchina(self, i, giro):
        """Machine i of a round: a fresh simulator, a settings folder and an image (its own board code)."""
        cartella = os.path.join(self.cartella, "%s%d" % (giro, i))
        config = os.path.join(cartella, "config")
        os.makedirs(os.path.join(config, "Corvanti"))
        codice = 0x1230 + i
        sim = Simulatore(cartella, {"schede": [Scheda(codice=codice)]})
        self.simulatori.append(sim)
        with open(os.path.join(config, "Corvanti", "bricola.ini"), "w") as f:
            f.write("[Ports]\nCOM3=rfc2217://127.0.0.1:%d\n" % sim.porta)
        immagine = self.Immagine((codice, ["-m", "1"], [(0xFC0000, Dati(8192 + 512 * i, i + 1))]),
                                 nome="image%d.bin" % i)
        return config, immagine, sim

    def Lancia(self, config, immagine, tmp):
        env = dict(os.environ)
        env["XDG_CONFIG_HOME"] = config
        env["TMPDIR"] = tmp
        return subprocess.Popen([BRICOLA, "-B", "-S", "-C", "3", "-L", immagine],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)

    def LogDi(self, tmp):
        file = glob.glob(os.path.join(tmp, "BricolaLog*.txt"))
        self.assertEqual(len(file), 1, file)
        with open(file[0], "rb") as f:
            contenuto = f.read().decode("latin-1")
        self.assertTrue(contenuto.endswith("\r\n"))
        righe = contenuto[:-2].split("\r\n")
        for r in righe:
            # Whole lines only: a timestamp, a text, CR LF; never two writers mixed.
            self.assertRegex(r, r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d [^\r\n]*$")
            self.assertNotRegex(r[20:], r"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d ")
        return [Normalizza(r[20:]) for r in righe]

    def tearDown(self):
        for s in getattr(self, "simulatori", []):
            s.Ferma()
        super().tearDown()

    def test_four_loads_at_once_lose_no_log_line(self):
        self.simulatori = []
        # Each load alone first, into a log of its own: the lines it writes.
        attese = collections.Counter()
        for i in range(MACCHINE):
            config, immagine, sim = self.Macchina(i, "solo")
            tmp = os.path.join(self.cartella, "tmp-solo%d" % i)
            os.makedirs(tmp)
            p = self.Lancia(config, immagine, tmp)
            _, errori = p.communicate(timeout=TIMEOUT_S)
            self.assertEqual(p.returncode, 0, errori)
            sim.Ferma()
            righe = self.LogDi(tmp)
            self.assertIn("distributore codice %04x" % (0x1230 + i), righe)
            attese.update(righe)
        # Then the same four loads into four fresh machines at once, into one shared log.
        macchine = [self.Macchina(i, "insieme") for i in range(MACCHINE)]
        processi = [self.Lancia(config, immagine, self.tmp) for config, immagine, _ in macchine]
        for p in processi:
            _, errori = p.communicate(timeout=TIMEOUT_S)
            self.assertEqual(p.returncode, 0, errori)
        for i, (_, _, sim) in enumerate(macchine):
            sim.Ferma()
            scheda = sim.Dump()["schede"][0]
            self.AssertScritto(scheda, 0xFC0000, Dati(8192 + 512 * i, i + 1))
        insieme = self.LogDi(self.tmp)
        trovate = collections.Counter(insieme)
        mancanti = attese - trovate
        self.assertEqual(mancanti, collections.Counter(), "lines lost")
        self.assertEqual(trovate - attese, collections.Counter(), "lines nobody wrote alone")


if __name__ == "__main__":
    unittest.main(verbosity=2)
