#!/usr/bin/python3
"""Installs the build into a temporary folder and runs the installed programs.

Usage: test_install.py CMAKE BUILD_DIR BRICOLA_MKIMAGE

`DESTDIR=<tmp> cmake --install BUILD_DIR --prefix /opt/bricola`: every file,
the absolute udev rule included, lands below <tmp>. Then the installed
`bricola -?` shows the usage, and the installed `bricola -B -S` loads an image
into the installed `bricola-sim` running the installed demo machine.
"""

import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

CMAKE, BUILD, MKIMAGE = sys.argv[1:4]
PREFISSO = "/opt/bricola"


class Installazione(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.cartella = tempfile.mkdtemp(prefix="bricola-install-")
        cls.destdir = os.path.join(cls.cartella, "root")
        env = dict(os.environ, DESTDIR=cls.destdir)
        r = subprocess.run([CMAKE, "--install", BUILD, "--prefix", PREFISSO], env=env,
                           capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, r.stdout + r.stderr
        cls.radice = cls.destdir + PREFISSO

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.cartella, ignore_errors=True)

    def Percorso(self, *parti):
        return os.path.join(self.radice, *parti)

    def test_files_in_place(self):
        for programma in ("bricola", "bricola-sim", "bricola-tool"):
            self.assertTrue(os.access(self.Percorso("bin", programma), os.X_OK), programma)
        macchine = sorted(os.listdir(self.Percorso("share", "bricola", "machines")))
        self.assertIn("demo.json", macchine)
        self.assertTrue(all(m.endswith(".json") for m in macchine), macchine)
        # The RAM-loader folder holds only its note, which names the six files.
        bootstrap = self.Percorso("share", "bricola", "bootstrap")
        self.assertEqual(os.listdir(bootstrap), ["README"])
        with open(os.path.join(bootstrap, "README")) as f:
            nota = f.read()
        for nome, lunghezza in (("mb90f549.bin", 1732), ("mb90f497.bin", 1732), ("mb90f345.bin", 1757),
                                ("checkmicro.bin", 754), ("mb96f338.bin", 1732),
                                ("mb91f465-kernel.bin", 12288)):
            self.assertRegex(nota, r"\b%s +%d\b" % (re.escape(nome), lunghezza))
        for pagina in ("bricola.1", "bricola-sim.1", "bricola-tool.1"):
            self.assertTrue(os.path.isfile(self.Percorso("share", "man", "man1", pagina)), pagina)
        regole = [os.path.join(d, f) for d, _, fs in os.walk(self.destdir) for f in fs if f.endswith(".rules")]
        self.assertEqual([os.path.basename(r) for r in regole], ["70-bricola-memox.rules"])

    def test_man_pages_render_without_warnings(self):
        if not shutil.which("groff"):
            self.skipTest("groff is not installed")
        for pagina in ("bricola.1", "bricola-sim.1", "bricola-tool.1"):
            r = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z",
                                self.Percorso("share", "man", "man1", pagina)],
                               capture_output=True, text=True, timeout=30)
            self.assertEqual((r.returncode, r.stderr), (0, ""), pagina)

    def test_installed_usage(self):
        r = subprocess.run([self.Percorso("bin", "bricola"), "-?"], capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith(b"Bricola [-?] [-C {Com}] [-B]"), r.stdout[:80])
        r = subprocess.run([self.Percorso("bin", "bricola-tool"), "--help"], capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith(b"Usage: bricola-tool COMMAND"), r.stdout[:80])

    def test_installed_load_into_the_installed_simulator(self):
        lavoro = tempfile.mkdtemp(dir=self.cartella)
        config = os.path.join(lavoro, "config")
        os.makedirs(os.path.join(config, "Corvanti"))
        errori = open(os.path.join(lavoro, "sim.err"), "w")
        sim = subprocess.Popen(
            [self.Percorso("bin", "bricola-sim"), "--listen", "127.0.0.1:0",
             "--machine", self.Percorso("share", "bricola", "machines", "demo.json"),
             "--dump", os.path.join(lavoro, "dump.json")],
            stdout=subprocess.PIPE, stderr=errori, text=True)
        try:
            pronto, _, _ = select.select([sim.stdout], [], [], 10)
            riga = sim.stdout.readline() if pronto else ""
            m = re.match(r"listening on 127\.0\.0\.1:(\d+)", riga)
            self.assertTrue(m, riga)
            with open(os.path.join(config, "Corvanti", "bricola.ini"), "w") as f:
                f.write("[Ports]\nCOM3=rfc2217://127.0.0.1:%s\n" % m.group(1))
            dati = os.path.join(lavoro, "dati.bin")
            with open(dati, "wb") as f:
                f.write(bytes((i * 7 + 3) & 0xFF for i in range(4096)))
            immagine = os.path.join(lavoro, "image.bin")
            # 1234: the machine code of the demo machine's local board.
            r = subprocess.run([MKIMAGE, "-o", immagine, "-c", "0x1234", "-m", "1", "0xFC0000:" + dati],
                               capture_output=True, text=True, timeout=30)
            self.assertEqual(r.returncode, 0, r.stderr)
            env = dict(os.environ, XDG_CONFIG_HOME=config, TMPDIR=lavoro)
            r = subprocess.run([self.Percorso("bin", "bricola"), "-B", "-S", "-C", "3", immagine],
                               capture_output=True, env=env, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stderr, b"upload complete\n")
        finally:
            sim.send_signal(signal.SIGTERM)
            sim.wait(10)
            sim.stdout.close()
            errori.close()
        with open(os.path.join(lavoro, "dump.json")) as f:
            scheda = json.load(f)["schede"][0]
        self.assertEqual(sum(i["lunghezza"] for i in scheda["scritti"]), 4096)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
