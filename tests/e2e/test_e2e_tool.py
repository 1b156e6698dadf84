#!/usr/bin/python3
"""End-to-end tests of bricola-tool, the technician's command line: the real
program against bricola-sim over RFC 2217 on 127.0.0.1 (and the key and
driver devices on Unix-domain sockets), one simulator, settings folder and
temporary folder per test, as the other e2e scripts do.

They check what a technician sees: the exit status (the result code), the
results on standard output (text, and the one JSON object of --json), the
complaints on standard error, and what the simulated boards saw.

The programs come from the environment: BRICOLA, BRICOLA_TOOL, BRICOLA_SIM and
BRICOLA_MKIMAGE (CTest sets them).
"""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
from test_e2e import MKIMAGE, SIM, TIMEOUT_S, Scheda  # noqa: E402
import test_e2e_key  # noqa: E402

TOOL = os.environ.get("BRICOLA_TOOL", "")

COMANDI = ("ports", "info", "boot-check", "micro-check", "micro-erase")  # read-flash, verify: test_e2e_tool_flash.py


class Strumento:
    """What every bricola-tool test needs: the set-up, the simulator and the
    helpers of the load's e2e tests (without their test methods)."""

    opzioniSimulatore = ()
    setUp_e2e = test_e2e.E2E.setUp
    tearDown = test_e2e.E2E.tearDown
    Avvia = test_e2e.E2E.Avvia
    Immagine = test_e2e.E2E.Immagine
    Ambiente = test_e2e.E2E.Ambiente
    Log = test_e2e.E2E.Log
    AssertInOrdine = test_e2e.E2E.AssertInOrdine

    def setUp(self):
        self.setUp_e2e()
        if not TOOL or not os.access(TOOL, os.X_OK):
            self.fail("BRICOLA_TOOL does not name a program: %r" % TOOL)

    def Tool(self, *argomenti, ingresso=None):
        """bricola-tool ARGS; (exit status, stdout, stderr) as text."""
        r = subprocess.run([TOOL] + [str(a) for a in argomenti], capture_output=True, env=self.Ambiente(),
                           timeout=TIMEOUT_S, input=ingresso)
        return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")

    def Json(self, *argomenti):
        """bricola-tool ARGS --json; (exit status, the parsed object, stderr)."""
        stato, uscita, errori = self.Tool(*argomenti, "--json")
        righe = uscita.splitlines()
        self.assertEqual(len(righe), 1, uscita)
        oggetto = json.loads(righe[0])
        self.assertEqual(oggetto["result"], stato)
        self.assertIsInstance(oggetto["message"], str)
        self.assertTrue(oggetto["message"])
        return stato, oggetto, errori

    def Impostazioni(self, *righe):
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "a") as f:
            f.write("\n".join(righe) + "\n")

    def LogTool(self):
        return self.Log()

    def Caricatori(self):
        cartella = os.path.join(self.cartella, "ram")
        r = subprocess.run([MKIMAGE, "--ram-loaders", cartella, "7"], capture_output=True, text=True,
                           timeout=TIMEOUT_S)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.Impostazioni("[Bootstrap]", "Directory=%s" % cartella)
        return cartella

    def Demo(self):
        """The demo image of run.sh, plus a module with a description and a corrupt one."""
        argomenti = [MKIMAGE, "-o", os.path.join(self.cartella, "demo.bin"),
                     "-c", "0x1234", "-m", "1", "-n", "Controllo 1.0", "0xFC0000:seq=49152",
                     "-c", "0x2001", "-m", "1", "-a", "0x0482", "-n", "Pagamenti 2.3", "0xFC0000:seq=16384",
                     "0x600000:seq=8192",
                     "-c", "0x3001", "-m", "1", "-a", "0x0483", "-n", "Erogatore 0.9", "0xFC0000:seq=8192",
                     "-c", "0x0010", "-d", "Versione di prova \u00e8 \"cifrata\"", "0xFC0000:seq=64",
                     "-c", "0x0010", "--bad-crc", "0xFC0000:seq=32"]
        r = subprocess.run(argomenti, capture_output=True, text=True, timeout=TIMEOUT_S)
        self.assertEqual(r.returncode, 0, r.stderr)
        return os.path.join(self.cartella, "demo.bin")


class Riga(Strumento, unittest.TestCase):
    """The command line itself: help, usage errors and their exit status."""

    def test_help_lists_every_command_and_each_command_has_its_own(self):
        stato, uscita, errori = self.Tool("--help")
        self.assertEqual((stato, errori), (0, ""))
        for comando in COMANDI + ("read-flash", "verify"):
            self.assertRegex(uscita, r"\n  %s +\S" % re.escape(comando))
        self.assertIn("72", uscita)
        for comando in COMANDI:
            with self.subTest(comando=comando):
                stato, uscita, errori = self.Tool(comando, "--help")
                self.assertEqual((stato, errori), (0, ""))
                self.assertTrue(uscita.startswith("Usage: bricola-tool " + comando), uscita[:80])
                self.assertIn("Exit status", uscita)

    def test_usage_errors_end_with_72_and_the_usage_on_stderr(self):
        immagine = self.Demo()
        casi = [
            ((), "no command given"),
            (("flash-all",), "unknown command 'flash-all'"),
            (("ports", "--bogus"), "unknown option --bogus"),
            (("ports", "extra"), "unexpected argument 'extra'"),
            (("info",), "no image file given"),
            (("info", immagine, immagine), "more than one image file given"),
            (("info", "--json=yes", immagine), "option --json takes no value"),
            (("boot-check", "-C"), "option -C needs a value"),
            (("boot-check", "-C", "tre"), "-C needs a port number, not 'tre'"),
            (("boot-check", "--can", "0x1G"), "--can needs a hexadecimal CAN address"),
            (("boot-check", "--can", "12345"), "--can needs a hexadecimal CAN address"),
            (("micro-check", "-x"), "unknown option -x"),
            (("micro-check", "--wait", "0"), "--wait needs a number of seconds"),
            (("boot-check", "--wait", "2s"), "--wait needs a number of seconds"),
            (("micro-erase",), "give --yes to confirm it"),
        ]
        for argomenti, lamentela in casi:
            with self.subTest(argomenti=argomenti):
                stato, uscita, errori = self.Tool(*argomenti)
                self.assertEqual(stato, 72, errori)
                self.assertEqual(uscita, "")
                self.assertIn(lamentela, errori)
                self.assertIn("Usage: bricola-tool", errori)

    def test_micro_erase_without_yes_sends_nothing(self):
        self.Avvia([Scheda()])
        stato, uscita, errori = self.Tool("micro-erase", "-C", "3")
        self.sim.Ferma()
        self.assertEqual((stato, uscita), (72, ""))
        self.assertIn("--yes", errori)
        # Not even the line was opened.
        self.assertEqual([r for r in self.sim.Righe() if " linea " in r or " -> " in r], [])


class Porte(Strumento, unittest.TestCase):

    def test_ports_with_entries_and_found_devices(self):
        self.Avvia([Scheda()])
        chiave = test_e2e_key.SimChiave(self.cartella, os.path.join(self.cartella, "key.bin"))
        try:
            assente = os.path.join(self.cartella, "nobody.sock")
            self.Impostazioni("COM7=rfc2217://127.0.0.1:1", "USB=unix:" + chiave.usb,
                              "LPT1=unix:" + chiave.lpt, "LPT2=unix:" + assente, "PIC5=unix:" + assente,
                              "[Settings]", "Porta=50")
            stato, uscita, errori = self.Tool("ports")
            self.assertEqual((stato, errori), (0, ""))
            self.assertRegex(uscita, r"\nCOM3 +3 +\d+ +yes +rfc2217://127\.0\.0\.1:%d\n" % self.sim.porta)
            self.assertRegex(uscita, r"\nCOM7 +7 +\d+ +no +rfc2217://127\.0\.0\.1:1\n")
            self.assertRegex(uscita, r"\nLPT1 +51 +50 +yes +unix:%s\n" % re.escape(chiave.lpt))
            self.assertRegex(uscita, r"\nLPT2 +52 +51 +no +unix:")
            self.assertRegex(uscita, r"\nUSB +61 +60 +yes +unix:%s\n" % re.escape(chiave.usb))
            self.assertIn("stored port: Porta 50 (LPT1)", uscita)

            stato, o, _ = self.Json("ports")
            self.assertEqual((stato, o["command"], o["message"]), (0, "ports", "ok"))
            self.assertEqual(o["stored_port_code"], 50)
            self.assertEqual(o["settings_file"], os.path.join(self.config, "Corvanti", "bricola.ini"))
            porte = {p["name"]: p for p in o["ports"]}
            self.assertEqual(porte["COM3"]["endpoint"], "rfc2217://127.0.0.1:%d" % self.sim.porta)
            self.assertTrue(porte["COM3"]["can_open"])
            self.assertFalse(porte["COM7"]["can_open"])
            self.assertEqual((porte["LPT1"]["c_option"], porte["LPT1"]["port_code"]), (51, 50))
            self.assertEqual((porte["USB"]["c_option"], porte["USB"]["port_code"]), (61, 60))
            # PIC interfaces: their own entry (PIC5), or the driver of LPTk+1.
            self.assertEqual((porte["PIC0"]["endpoint"], porte["PIC0"]["can_open"]), ("unix:" + chiave.lpt, True))
            self.assertEqual((porte["PIC5"]["c_option"], porte["PIC5"]["port_code"]), (None, 66))
            self.assertFalse(porte["PIC5"]["can_open"])
            # The COM codes are positions in the ascending list, as -C and Porta read them.
            com = [p for p in o["ports"] if p["kind"] == "com"]
            self.assertEqual([p["number"] for p in com], sorted(p["number"] for p in com))
            self.assertEqual([p["port_code"] for p in com], list(range(len(com))))
            # Devices found on the machine keep the number of the fixed rule.
            for p in com:
                if p["name"] in ("COM3", "COM7"):
                    continue
                m = re.match(r"/dev/tty(S|USB|ACM)(\d+)$", p["endpoint"])
                if m:
                    primo = {"S": 1, "USB": 11, "ACM": 31}[m.group(1)]
                    self.assertEqual(p["number"], primo + int(m.group(2)), p)
                else:
                    self.assertGreaterEqual(p["number"], 51, p)
            # The look opened and closed the line: a job runs on it afterwards.
            stato, uscita, errori = self.Tool("boot-check", "-C", "3")
            self.assertEqual(stato, 0, errori)
        finally:
            chiave.Ferma()


class Info(Strumento, unittest.TestCase):

    def test_info_of_the_demo_image_text_and_json(self):
        immagine = self.Demo()
        stato, uscita, errori = self.Tool("info", immagine)
        self.assertEqual((stato, errori), (0, ""))
        self.assertIn("analysis: ok\n", uscita)
        self.assertIn("modules: 5, preselected: 4\n", uscita)
        self.assertRegex(uscita, r"\n +1  Controllo 1\.0 +Prog +49152 1234  - +3 +1 +ok +yes\n")
        self.assertRegex(uscita, r"\n +2  Pagamenti 2\.3 +Prog +24576 2001  482 +3 +1 +ok +yes\n")
        self.assertRegex(uscita, r"\n +5  .* 0010  - .* bad +no\n")
        self.assertIn("descriptions:\nmodule 4: Versione di prova \u00e8 \"cifrata\"\n", uscita)

        stato, o, errori = self.Json("info", immagine)
        self.assertEqual((stato, o["command"], o["analysis"], errori), (0, "info", "ok", ""))
        self.assertEqual((o["module_count"], o["preselected_count"], o["raw"]), (5, 4, False))
        m = o["modules"]
        self.assertEqual([x["number"] for x in m], [1, 2, 3, 4, 5])
        self.assertEqual(m[1]["name"], "Pagamenti 2.3")
        self.assertEqual((m[1]["code"], m[1]["code_hex"]), (0x2001, "0x2001"))
        self.assertEqual((m[1]["can_address"], m[1]["can_address_hex"]), (0x482, "0x0482"))
        self.assertEqual((m[1]["length"], m[1]["class_name"], m[1]["load_kind"], m[1]["micro_type"]),
                         (24576, "Prog", 3, 1))
        self.assertEqual((m[1]["crc"], m[1]["state"], m[1]["preselected"]), ("ok", "valid", True))
        self.assertEqual(m[3]["description"], "Versione di prova \u00e8 \"cifrata\"")
        self.assertIsNone(m[0]["description"])
        # A module without header is named after the machine model.
        self.assertTrue(m[3]["name"])
        self.assertEqual((m[4]["crc"], m[4]["state"], m[4]["preselected"]), ("bad", "corrupt", False))

    def test_info_of_a_missing_and_of_a_malformed_file(self):
        stato, o, errori = self.Json("info", os.path.join(self.cartella, "none.bin"))
        self.assertEqual((stato, o["analysis_error"], o["modules"]), (1, 1, []))
        self.assertIn("(1)", errori)
        # One good module, then a record running past the end of the file.
        buono = self.Immagine((0x1234, ["-m", "1"], [(0xFC0000, b"\x01\x02\x03\x04")]))
        with open(buono, "ab") as f:
            # (its last two bytes, the file's code, name no machine)
            f.write(b"\x00\x10\x00\x00\x00\x00\xfc\x00\xee\xee")
        stato, o, _ = self.Json("info", buono)
        self.assertEqual((stato, o["analysis_error"], o["module_count"]), (3, 3, 1))
        self.assertEqual(o["modules"][0]["code_hex"], "0x1234")


class Schede(Strumento, unittest.TestCase):
    """boot-check, micro-check and micro-erase against simulated boards."""

    def Demo3(self):
        self.Avvia([Scheda(), Scheda(nome="pagamenti", codice=0x2001, versione=0x67, can=0x0482)])

    def test_boot_check_local_and_remote(self):
        self.Demo3()
        stato, uscita, errori = self.Tool("boot-check", "-C", "3", "-L")
        self.assertEqual((stato, errori), (0, ""))
        self.assertRegex(uscita, r"^boot version 6\.8, machine code 1234( \(.+\))?\n$")
        stato, o, errori = self.Json("boot-check", "-C", "3", "--can", "482")
        self.assertEqual((stato, errori), (0, ""))
        self.assertEqual((o["boot_version"], o["machine_code"], o["machine_code_hex"]), ("6.7", 0x2001, "0x2001"))
        self.assertEqual((o["can_address"], o["can_address_hex"], o["port"]), (0x482, "0x0482", "COM3"))
        self.assertIn("model_name", o)
        self.sim.Ferma()
        richieste = test_e2e.Compatta(self.sim.Richieste())
        self.assertIn(("controllo", "SetRemoto"), richieste)
        self.assertIn(("pagamenti", "GetFirma"), richieste)
        self.assertIn("start", self.Log())

    def test_the_stored_port_and_a_port_that_is_no_serial_line(self):
        self.Demo3()
        _, porte, _ = self.Json("ports")
        codice = [p["port_code"] for p in porte["ports"] if p["name"] == "COM3"][0]
        self.Impostazioni("[Settings]", "Porta=%d" % codice)
        stato, uscita, _ = self.Tool("boot-check")
        self.assertEqual(stato, 0)
        self.assertIn("machine code 1234", uscita)
        stato, o, errori = self.Json("boot-check", "-C", "61")
        self.assertEqual((stato, o["port"], o["machine_code"]), (11, "USB", None))
        self.assertIn("(11)", errori)

    def test_a_silent_board_ends_with_its_code(self):
        # The resident boot's signature request is repeated practically without
        # end while the board stays silent; --wait bounds it.
        self.Avvia([Scheda(guasti=[{"tipo": "silenzio", "comando": "GetFirma"}])])
        inizio = time.monotonic()
        stato, o, errori = self.Json("boot-check", "-C", "3", "--wait", "2", "-L")
        self.assertEqual(stato, 28, errori)
        self.assertLess(time.monotonic() - inizio, 10)
        self.assertIsNone(o["machine_code"])
        self.assertEqual(o["message"], "error: timeout waiting answer")
        self.assertIn("bricola-tool boot-check: error: timeout waiting answer (28)", errori)
        self.AssertInOrdine(self.Log(), ["InvioGetFirma: f3 60 03 18", "chiusura interfaccia"])
        self.sim.Ferma()
        with open(os.path.join(self.cartella, "sim.err")) as f:
            self.assertIn("client disconnesso (fine connessione)", f.read())

    def test_an_unreachable_remote_board_ends_with_its_code(self):
        self.Demo3()
        stato, o, _ = self.Json("boot-check", "-C", "3", "--can", "0x0999")
        self.assertNotEqual(stato, 0)
        self.assertIsNone(o["machine_code"])

    def test_micro_check_of_each_family(self):
        ram = self.Caricatori()
        casi = [("Q", "Fu90F549", "MB90F549"), ("S", "Fu90F497", "MB90F497"), ("R", "Fu90F345", "MB90F345"),
                ("T", "Fu96F338", "MB96F338"), ("U", "Fu91F465", "MB91F465"), (None, "Fu9!F!!!", None)]
        for micro, nome, chip in casi:
            with self.subTest(micro=micro):
                if self.sim:
                    self.sim.Ferma()
                if micro == "U":
                    scheda = Scheda(nome="fr", micro=8, flash={"mappa": "M465"}, fr={"bootResidente": False})
                elif micro:
                    scheda = Scheda(nome="micro", f2mc={"micro": micro})
                    del scheda["tipoMicro"], scheda["codiceBuffer"], scheda["flash"]
                else:
                    scheda = Scheda(nome="micro", f2mc={"micro": "Q", "bootResidente": False,
                                                        "guasti": [{"tipo": "silenzio", "parte": "check"}]})
                    del scheda["tipoMicro"], scheda["codiceBuffer"], scheda["flash"]
                self.Avvia([scheda])
                self.Impostazioni("[Bootstrap]", "Directory=%s" % ram)
                stato, o, errori = self.Json("micro-check", "-C", "3")
                self.assertEqual((stato, errori), (0, ""))
                self.assertEqual((o["micro_name"], o["micro"], o["identified"]), (nome, chip, chip is not None))
        stato, uscita, _ = self.Tool("micro-check", "-C", "3")
        self.assertEqual((stato, uscita), (0, "micro Fu9!F!!! (not identified)\n"))

    def test_micro_erase_with_yes_erases_an_mb90f345(self):
        ram = self.Caricatori()
        contenuto = [{"indirizzo": "0xF80000", "dati": "0102"}, {"indirizzo": "0xFFC000", "dati": "03"}]
        scheda = Scheda(nome="micro", f2mc={"micro": "R", "accensione": "rts"},
                        flash={"regioni": [{"inizio": "0xF80000", "dimensione": "0x80000", "settori": "F512"}],
                               "allineamento": 1, "contenuto": contenuto})
        del scheda["tipoMicro"], scheda["codiceBuffer"]
        self.Avvia([scheda])
        self.Impostazioni("[Bootstrap]", "Directory=%s" % ram)
        stato, o, errori = self.Json("micro-erase", "-C", "3", "--yes")
        self.assertEqual(stato, 0, errori)
        self.assertTrue(o["erased"])
        # The window's prompts, in English, on standard error.
        self.assertIn("Switch the board off", errori)
        self.assertIn("Switch the board on", errori)
        self.sim.Ferma()
        self.assertEqual(self.sim.Dump()["schede"][0]["nonVuoti"], [])


class Interruzione(Strumento, unittest.TestCase):
    """SIGINT and SIGTERM stop a command through its job's stop step."""

    def Interrompi(self, argomenti, segnale, dopo=1.0):
        p = subprocess.Popen([TOOL] + list(argomenti), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=self.Ambiente())
        try:
            time.sleep(dopo)
            self.assertIsNone(p.poll(), "the command ended before the signal")
            inizio = time.monotonic()
            p.send_signal(segnale)
            uscita, errori = p.communicate(timeout=30)
            durata = time.monotonic() - inizio
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        return p.returncode, uscita.decode(), errori.decode(), durata

    def test_sigint_and_sigterm_stop_a_micro_check_cleanly(self):
        self.Caricatori()
        for segnale, stato_atteso in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(segnale=segnale):
                if self.sim:
                    self.sim.Ferma()
                scheda = Scheda(nome="micro", f2mc={"micro": "Q", "bootResidente": False,
                                                    "guasti": [{"tipo": "silenzio", "parte": "check"}]})
                del scheda["tipoMicro"], scheda["codiceBuffer"], scheda["flash"]
                self.Avvia([scheda])
                self.Impostazioni("[Bootstrap]", "Directory=%s" % os.path.join(self.cartella, "ram"))
                stato, uscita, errori, durata = self.Interrompi([ "micro-check", "-C", "3", "-L", "--json"],
                                                                segnale)
                self.assertEqual(stato, stato_atteso, errori)
                self.assertLess(durata, 5)
                o = json.loads(uscita)
                self.assertEqual((o["result"], o["message"]), (stato_atteso, "link interrupted"))
                self.assertIn("bricola-tool micro-check: link interrupted", errori)
                log = self.Log()
                nome = "SIGINT" if segnale == signal.SIGINT else "SIGTERM"
                self.AssertInOrdine(log, ["interruzione dal segnale " + nome, "chiusura interfaccia", "stop"])
                for f in os.listdir(self.tmp):
                    os.remove(os.path.join(self.tmp, f))
                self.sim.Ferma()
                with open(os.path.join(self.cartella, "sim.err")) as f:
                    self.assertIn("client disconnesso (fine connessione)", f.read())


if __name__ == "__main__":
    unittest.main()
