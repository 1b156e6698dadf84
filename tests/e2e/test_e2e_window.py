#!/usr/bin/python3
"""End-to-end tests of the window mode: the real bricola program on Qt's
offscreen platform, started with -S (and -X) against bricola-sim over RFC 2217.
The window is driven by the command line only; tests/ui drives its controls."""

import configparser
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
from test_e2e import BRICOLA, TIMEOUT_S, Dati, Scheda  # noqa: E402


class Finestra(test_e2e.E2E, unittest.TestCase):

    def Ambiente(self):
        env = super().Ambiente()
        env["QT_QPA_PLATFORM"] = "offscreen"
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def test_window_loads_with_s_and_closes_with_x(self):
        self.Avvia([Scheda()])
        dati = Dati(4096, 7)
        immagine = self.Immagine((0x1234, ["-m", "1", "-n", "App"], [(0xFC0000, dati)]))
        r = subprocess.run([BRICOLA, "-S", "-X", "-C", "3", "-L", immagine], capture_output=True,
                           env=self.Ambiente(), timeout=TIMEOUT_S)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.sim.Ferma()
        locale = self.sim.Dump()["schede"][0]
        self.AssertScritto(locale, 0xFC0000, dati)
        self.assertTrue(locale["fineRicevuto"])
        # The controller's lines around the job.
        self.AssertInOrdine(self.Log(), ["start", "timer creato", "stop automatico",
                                         "timer standard ripristinato", "timer distrutto"])
        # The window wrote the file it loaded into the settings.
        ini = configparser.RawConfigParser()
        ini.optionxform = str
        ini.read(os.path.join(self.config, "Corvanti", "bricola.ini"))
        self.assertEqual(ini.get("Settings", "File"), immagine)

    def test_without_a_display_the_window_is_refused(self):
        env = super().Ambiente()
        for v in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(v, None)
        r = subprocess.run([BRICOLA], capture_output=True, env=env, timeout=TIMEOUT_S)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn(b"no display", r.stderr)
        self.assertEqual(r.stdout, b"")


if __name__ == "__main__":
    unittest.main()
