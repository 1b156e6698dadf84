#!/usr/bin/python3
"""End-to-end tests: the real bricola program loads image files into bricola-sim.

Each test starts its own simulator on 127.0.0.1 (port 0, unpaced) with its own
machine file, writes a settings file in its own XDG_CONFIG_HOME that maps COM3
to the simulator (rfc2217://127.0.0.1:PORT), builds its image with
bricola-mkimage and runs `bricola -B -S -C 3 -L image.bin` with its own TMPDIR.
It then checks the exit status, the final line on stderr, the flash contents
(the simulator's dump), the order of the frames on the wire (the simulator's
transcript) and the lines of the log.

The programs come from the environment: BRICOLA, BRICOLA_SIM, BRICOLA_MKIMAGE
and BRICOLA_E2E_DRIVER (CTest sets them).
"""

import glob
import json
import os
import pty
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BRICOLA = os.environ.get("BRICOLA", "")
SIM = os.environ.get("BRICOLA_SIM", "")
MKIMAGE = os.environ.get("BRICOLA_MKIMAGE", "")
DRIVER = os.environ.get("BRICOLA_E2E_DRIVER", "")

TIMEOUT_S = 60


def Scheda(nome="controllo", codice=0x1234, versione=0x68, micro=1, can=0x0100, buffer=0xA0,
           flash=None, **altro):
    """One board of a machine file (the first of a machine is the local one)."""
    s = {
        "nome": nome,
        "codice": "0x%04X" % codice,
        "versione": "0x%02X" % versione,
        "tipoMicro": micro,
        "codiceBuffer": "0x%02X" % buffer,
        "indirizzoCan": "0x%04X" % can,
        "flash": flash if flash is not None else {"mappa": "M256"},
    }
    s.update(altro)
    return s


def Dati(n, seme):
    """n repeatable bytes with no run of 0xFF long enough to be skipped."""
    b = bytearray(random.Random(seme).randbytes(n))
    for i in range(0, n, 97):
        b[i] = 0x5A
    return bytes(b)


class Simulatore:
    """bricola-sim on 127.0.0.1 with a dump and a transcript."""

    def __init__(self, cartella, macchina, opzioni=()):
        self.cartella = cartella
        self.file_macchina = os.path.join(cartella, "machine.json")
        self.dump = os.path.join(cartella, "dump.json")
        self.trascrizione = os.path.join(cartella, "transcript.txt")
        with open(self.file_macchina, "w") as f:
            json.dump(macchina, f, indent=1)
        self.errori = open(os.path.join(cartella, "sim.err"), "w")
        self.processo = subprocess.Popen(
            [SIM, "--listen", "127.0.0.1:0", "--machine", self.file_macchina,
             "--dump", self.dump, "--transcript", self.trascrizione] + list(opzioni),
            stdout=subprocess.PIPE, stderr=self.errori, text=True)
        pronto, _, _ = select.select([self.processo.stdout], [], [], 10)
        riga = self.processo.stdout.readline() if pronto else ""
        m = re.match(r"listening on 127\.0\.0\.1:(\d+)", riga)
        if not m:
            self.Ferma()
            raise RuntimeError("bricola-sim did not start: %r" % riga)
        self.porta = int(m.group(1))

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

    def Dump(self):
        with open(self.dump) as f:
            return json.load(f)

    def Righe(self):
        with open(self.trascrizione) as f:
            return [r.rstrip("\n") for r in f]

    def Frame(self):
        """(direction, board, command, bytes) of every frame, in wire order."""
        frame = []
        for r in self.Righe():
            m = re.match(r"^\d+\.\d+ (->|<-) (\S+) (\w+): ?(.*)$", r)
            if m:
                frame.append((m.group(1), m.group(2), m.group(3), m.group(4)))
        return frame

    def Richieste(self):
        """(board, command) of every request from the PC, in order."""
        return [(s, c) for v, s, c, _ in self.Frame() if v == "->"]


def Compatta(comandi):
    """Consecutive repeats of one command folded into one."""
    r = []
    for c in comandi:
        if not r or r[-1] != c:
            r.append(c)
    return r


def Memoria(scheda):
    """address -> byte of what the PC wrote into a board of the dump."""
    m = {}
    for intervallo in scheda["scritti"]:
        dati = bytes.fromhex(intervallo["dati"])
        for i, b in enumerate(dati):
            m[intervallo["indirizzo"] + i] = b
    return m


class E2E(unittest.TestCase):
    # Further options of every simulator a test starts (["--paced"]).
    opzioniSimulatore = ()

    def setUp(self):
        for nome, p in (("BRICOLA", BRICOLA), ("BRICOLA_SIM", SIM), ("BRICOLA_MKIMAGE", MKIMAGE)):
            if not p or not os.access(p, os.X_OK):
                self.fail("%s does not name a program: %r" % (nome, p))
        self.cartella = tempfile.mkdtemp(prefix="bricola-e2e-")
        self.config = os.path.join(self.cartella, "config")
        self.tmp = os.path.join(self.cartella, "tmp")
        os.makedirs(os.path.join(self.config, "Corvanti"))
        os.makedirs(self.tmp)
        self.sim = None

    def tearDown(self):
        if self.sim:
            self.sim.Ferma()
        # A failed test leaves its folder (machine file, dump, transcript, log) behind.
        risultato = getattr(self._outcome, "result", None)
        fallito = risultato is not None and any(t is self for t, _ in risultato.failures + risultato.errors)
        if not fallito and not os.environ.get("BRICOLA_E2E_TENERE"):
            shutil.rmtree(self.cartella, ignore_errors=True)
        else:
            sys.stderr.write("test folder kept: %s\n" % self.cartella)

    # --- set-up -----------------------------------------------------------------

    def Avvia(self, schede, **linea):
        macchina = {"schede": schede}
        if linea:
            macchina["linea"] = linea
        self.sim = Simulatore(self.cartella, macchina, self.opzioniSimulatore)
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "w") as f:
            f.write("[Ports]\nCOM3=rfc2217://127.0.0.1:%d\n" % self.sim.porta)

    def Immagine(self, *moduli, nome="image.bin"):
        """Each module: (code, [options], [(address, data), ...])."""
        argomenti = [MKIMAGE, "-o", os.path.join(self.cartella, nome)]
        for k, (codice, opzioni, blocchi) in enumerate(moduli):
            argomenti += ["-c", "0x%04X" % codice] + list(opzioni)
            for j, (indirizzo, dati) in enumerate(blocchi):
                p = os.path.join(self.cartella, "%s.%d.%d.dat" % (nome, k, j))
                with open(p, "wb") as f:
                    f.write(dati)
                argomenti.append("0x%X:%s" % (indirizzo, p))
        r = subprocess.run(argomenti, capture_output=True, text=True, timeout=TIMEOUT_S)
        self.assertEqual(r.returncode, 0, r.stderr)
        return os.path.join(self.cartella, nome)

    def Ambiente(self):
        env = dict(os.environ)
        env["XDG_CONFIG_HOME"] = self.config
        env["TMPDIR"] = self.tmp
        return env

    def Carica(self, immagine):
        """bricola -B -S -C 3 -L image; (exit status, stderr)."""
        r = subprocess.run([BRICOLA, "-B", "-S", "-C", "3", "-L", immagine], capture_output=True,
                           env=self.Ambiente(), timeout=TIMEOUT_S)
        self.sim.Ferma()
        return r.returncode, r.stderr.decode("utf-8", "replace")

    def Driver(self, *argomenti):
        if not DRIVER or not os.access(DRIVER, os.X_OK):
            self.fail("BRICOLA_E2E_DRIVER does not name a program: %r" % DRIVER)
        log = os.path.join(self.tmp, "BricolaLogDriver.txt")
        url = "rfc2217://127.0.0.1:%d" % self.sim.porta
        r = subprocess.run([DRIVER, argomenti[0], url] + [str(a) for a in argomenti[1:]] + [log],
                           capture_output=True, text=True, timeout=TIMEOUT_S)
        self.sim.Ferma()
        return r.returncode, r.stdout

    def Log(self):
        """The log's texts, timestamps removed."""
        file = glob.glob(os.path.join(self.tmp, "BricolaLog*.txt"))
        self.assertEqual(len(file), 1, file)
        with open(file[0], "rb") as f:
            contenuto = f.read().decode("latin-1")
        self.assertTrue(contenuto.endswith("\r\n"))
        righe = contenuto[:-2].split("\r\n")
        for r in righe:
            self.assertRegex(r, r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d ")
        return [r[20:] for r in righe]

    def AssertInOrdine(self, righe, attese):
        """attese appear in righe in this order (other lines may come between)."""
        i = 0
        for r in righe:
            if i < len(attese) and r == attese[i]:
                i += 1
        self.assertEqual(i, len(attese),
                         "missing in order: %r\n--- log:\n%s" % (attese[i:] if i < len(attese) else None,
                                                                 "\n".join(righe)))

    def AssertScritto(self, scheda, indirizzo, dati):
        m = Memoria(scheda)
        mancanti = [hex(indirizzo + i) for i in range(len(dati)) if (indirizzo + i) not in m]
        self.assertEqual(mancanti[:4], [], "bytes never written")
        self.assertEqual(bytes(m[indirizzo + i] for i in range(len(dati))), dati)

    def AssertSenzaScritture(self, dump):
        for s in dump["schede"]:
            self.assertEqual(s["scritti"], [], s["nome"])
            self.assertEqual(s["settoriCancellati"], [], s["nome"])

    # --- the tests ----------------------------------------------------------------

    def test_local_board(self):
        self.Avvia([Scheda()])
        dati = Dati(8192, 1)
        immagine = self.Immagine((0x1234, ["-m", "1", "-n", "App"], [(0xFC0000, dati)]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 0, errori)
        # Not a terminal: only the final line.
        self.assertEqual(errori, "upload complete\n")

        dump = self.sim.Dump()
        locale = dump["schede"][0]
        self.AssertScritto(locale, 0xFC0000, dati)
        self.assertEqual(sum(i["lunghezza"] for i in locale["scritti"]), len(dati))
        self.assertTrue(locale["fineRicevuto"])
        self.assertEqual(locale["reset"], 1)
        self.assertEqual(dump["baudLinea"], 115200)

        righe = self.sim.Righe()
        # The reset pulse comes before the first request.
        dtr = [i for i, r in enumerate(righe) if r.endswith("linea dtr 1")]
        prima = next(i for i, r in enumerate(righe) if " -> " in r)
        self.assertEqual(len(dtr), 1)
        self.assertLess(dtr[0], prima)
        self.assertEqual(Compatta([c for _, c in self.sim.Richieste()]), [
            "GetFirma", "GetVersione", "GetVelocitaMassima", "SetVelocita", "SetRemoto",
            "GetFirma", "GetVersione", "GetMicro", "LunBuf", "FlashBlocco", "Blank", "Write", "Fine"])
        # Micro type 1 needs no read-back in the optimised mode of batch mode.
        self.assertNotIn("Read", [c for _, c in self.sim.Richieste()])

        self.AssertInOrdine(self.Log(), [
            "start",
            "impostazione parametri connessione interfaccia 1",
            "velocita' apertura 38400 bit/s",
            "interfaccia aperta",
            "inizio impulso DTR",
            "fine impulso DTR",
            "TipoLoad 3",
            "InvioGetFirma: f3 60 03 18",
            "versione boot locale 68",
            "codice velocita' massima 01",
            "nuova velocita' 115200 bit/s",
            "cambio velocita' riuscito",
            "InvioSetRemoto: fa 00 00 7d 00 00",
            "set remoto completato",
            "trasferimento in locale",
            "distributore codice 1234",
            "TipoLoad auto",
            "micro boot 1, micro modulo 1 compatibili",
            "InvioLunBuf: fe c0 03 1c",
            "buffer remoto 512, dati 500 byte",
            "InvioFlashTypeOBlankOWrite: blocco fc0000, richiedi a boot",
            "invio 01f4 dati a fc0000",
            "InvioFine: f4 80 03 18",
            "traferimento completato",
            "chiusura interfaccia",
        ])

    def test_remote_board_by_can_address(self):
        self.Avvia([Scheda(),
                    Scheda("pagamenti", 0x2001, versione=0x68, can=0x0482, buffer=0x90)])
        dati = Dati(4096, 2)
        immagine = self.Immagine((0x2001, ["-m", "1", "-a", "0x482"], [(0xFC0000, dati)]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 0, errori)

        dump = self.sim.Dump()
        self.assertEqual(dump["schede"][0]["scritti"], [])
        remota = dump["schede"][1]
        self.AssertScritto(remota, 0xFC0000, dati)
        self.assertTrue(remota["fineRicevuto"])

        frame = self.sim.Frame()
        set_remoto = [f for f in frame if f[0] == "->" and f[2] == "SetRemoto"]
        self.assertEqual(set_remoto[0][1], "controllo")
        self.assertTrue(set_remoto[0][3].startswith("fa 82 04"), set_remoto[0])
        richieste = self.sim.Richieste()
        i = richieste.index(("pagamenti", "Reboot"))
        # After the reboot every request goes to the remote board.
        self.assertEqual({s for s, _ in richieste[i:]}, {"pagamenti"})
        self.assertEqual(Compatta([c for _, c in richieste[i:]]), [
            "Reboot", "GetFirma", "GetVersione", "GetMicro", "LunBuf", "FlashBlocco", "Blank",
            "Write", "Fine"])
        # The remote board's packet buffer is 256 bytes: 244 data bytes per Write.
        self.AssertInOrdine(self.Log(), [
            "InvioSetRemoto: fa 82 04 ff 01 00",
            "set remoto completato",
            "trasferimento in remoto",
            "InvioReboot: fc 80 03 1c",
            "reboot completato",
            "distributore codice 2001",
            "buffer remoto 256, dati 244 byte",
            "invio 00f4 dati a fc0000",
            "traferimento completato",
        ])

    def test_module_for_another_machine_writes_nothing(self):
        vecchio = {"indirizzo": "0xFC0000", "dati": "de ad be ef"}
        self.Avvia([Scheda(flash={"mappa": "M256", "contenuto": [vecchio]})])
        immagine = self.Immagine((0x4321, ["-m", "1"], [(0xFC0000, Dati(1024, 3))]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 24, errori)
        self.assertEqual(errori, "program and dispenser are not compatible\n")
        dump = self.sim.Dump()
        self.AssertSenzaScritture(dump)
        self.assertEqual(dump["schede"][0]["nonVuoti"][0]["dati"], "deadbeef")
        comandi = {c for _, c in self.sim.Richieste()}
        self.assertFalse(comandi & {"Blank", "Erase", "Write", "Fine", "Codice"}, comandi)
        self.AssertInOrdine(self.Log(), ["trasferimento in locale", "distributore errato 1234",
                                         "chiusura interfaccia"])

    def test_universal_boot_is_left_universal(self):
        self.Avvia([Scheda(),
                    Scheda("erogatore", 0xFFFF, can=0x0483, avvio="applicazione")])
        dati = Dati(2048, 4)
        immagine = self.Immagine((0x3001, ["-m", "1", "-a", "0x483"], [(0xFC0000, dati)]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 0, errori)
        dump = self.sim.Dump()
        erogatore = dump["schede"][1]
        self.AssertScritto(erogatore, 0xFC0000, dati)
        self.assertTrue(erogatore["fineRicevuto"])
        # The load always leaves a universal boot universal: no Codice.
        self.assertEqual(erogatore["codice"], 0xFFFF)
        richieste = [c for _, c in self.sim.Richieste()]
        self.assertNotIn("Codice", richieste)
        self.assertEqual(richieste[-1], "Fine")
        self.AssertInOrdine(self.Log(), ["reboot completato", "distributore codice ffff",
                                         "traferimento completato"])

    def test_universal_boot_bound_by_codice_when_the_loader_is_asked(self):
        # The loader alone with option bit 1 clear (read-back optimised): the
        # universal boot receives Codice with the module's code and CAN address
        # after the last packet and before Fine.
        self.Avvia([Scheda(),
                    Scheda("erogatore", 0xFFFF, can=0x0483, avvio="applicazione")])
        dati = Dati(1024, 5)
        immagine = self.Immagine((0x3001, ["-m", "1", "-a", "0x483,0x484"], [(0xFC0000, dati)]))
        stato, _ = self.Driver("carica", immagine, 0x04)
        self.assertEqual(stato, 0)
        erogatore = self.sim.Dump()["schede"][1]
        self.AssertScritto(erogatore, 0xFC0000, dati)
        self.assertEqual(erogatore["codice"], 0x3001)
        richieste = [c for s, c in self.sim.Richieste() if s == "erogatore"]
        self.assertEqual(richieste[-3:], ["Write", "Codice", "Fine"])
        codice = [f[3] for f in self.sim.Frame() if f[0] == "->" and f[2] == "Codice"]
        self.assertEqual(len(codice), 1)
        self.assertTrue(codice[0].startswith("f7 02 01 30 83 04 00 00"), codice[0])

    def test_universal_boot_without_a_second_address_is_refused_by_the_loader(self):
        self.Avvia([Scheda(),
                    Scheda("erogatore", 0xFFFF, can=0x0483, avvio="applicazione")])
        immagine = self.Immagine((0x3001, ["-m", "1", "-a", "0x483"], [(0xFC0000, Dati(512, 6))]))
        stato, _ = self.Driver("carica", immagine, 0x04)
        self.assertEqual(stato, 43)
        self.AssertSenzaScritture(self.sim.Dump())

    def BootVecchio(self, versione, attese):
        self.Avvia([Scheda(versione=versione)])
        dati = Dati(2048, versione)
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0xFE0000, dati)]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 0, errori)
        dump = self.sim.Dump()
        self.AssertScritto(dump["schede"][0], 0xFE0000, dati)
        # No speed negotiation: the line stays at the start speed.
        self.assertEqual(dump["baudLinea"], 38400)
        self.assertEqual(Compatta([c for _, c in self.sim.Richieste()]), attese)
        log = self.Log()
        self.AssertInOrdine(log, ["versione boot locale %02x" % versione, "tentativo remoto 0000",
                                  "InvioSetRemoto: fa 00 00 7d 00 00", "traferimento completato"])
        return log

    def test_boot_version_54_skips_speed_negotiation(self):
        log = self.BootVecchio(0x54, ["GetFirma", "GetVersione", "SetRemoto", "GetFirma", "GetVersione",
                                      "GetMicro", "LunBuf", "Blank", "Write", "Fine"])
        self.assertIn("micro boot 1, micro modulo 1 compatibili", log)
        self.assertFalse(any(r.startswith("tipo micro legacy") for r in log))

    def test_boot_version_52_skips_speed_negotiation_and_micro_query(self):
        log = self.BootVecchio(0x52, ["GetFirma", "GetVersione", "SetRemoto", "GetFirma", "GetVersione",
                                      "LunBuf", "Blank", "Write", "Fine"])
        # The micro type comes from the machine code 1234: type 1.
        self.AssertInOrdine(log, ["versione boot 52", "tipo micro legacy 01",
                                  "micro boot 1, micro modulo 1 compatibili"])

    def test_external_flash_found_by_cfi(self):
        # Boot 0x67: the built-in map, whose region at 0x600000 asks the chip.
        esterna = {"base": "0x600000", "tipo": "cfi", "dimensione": "0x200000", "settori": "ETop"}
        self.Avvia([Scheda(versione=0x67, flash={"mappa": "M256", "esterne": [esterna]})])
        dati = Dati(4096, 7)
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0x600000, dati)]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 0, errori)
        self.AssertScritto(self.sim.Dump()["schede"][0], 0x600000, dati)
        richieste = Compatta([c for _, c in self.sim.Richieste()])
        self.assertEqual(richieste[richieste.index("LunBuf"):],
                         ["LunBuf", "FlashType", "Blank", "Write", "Fine"])
        flash_type = [f[3] for f in self.sim.Frame() if f[0] == "->" and f[2] == "FlashType"]
        self.assertEqual(len(flash_type), 2)
        self.assertTrue(flash_type[0].startswith("f8 00 00 60 20 00 2d"), flash_type[0])
        self.assertTrue(flash_type[1].startswith("f8 00 00 60 80 00 20"), flash_type[1])
        log = self.Log()
        self.AssertInOrdine(log, ["InvioFlashTypeOBlankOWrite: blocco 600000, memoria 600000",
                                  "FlashType: dimensione 200000 15",
                                  "invio 01f4 dati a 600000", "traferimento completato"])
        self.assertTrue(any(r.startswith("FlashType: command set ") for r in log))
        self.assertTrue(any(r.startswith("FlashSpec: ") for r in log))

    def test_external_flash_found_by_flashblocco(self):
        esterna = {"base": "0x400000", "tipo": "cfi", "dimensione": "0x200000", "settori": "EBottom"}
        self.Avvia([Scheda(versione=0x68, flash={"mappa": "M256", "esterne": [esterna]})])
        dati = Dati(4096, 8)
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0x400000, dati)]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 0, errori)
        self.AssertScritto(self.sim.Dump()["schede"][0], 0x400000, dati)
        blocco = [f[3] for f in self.sim.Frame() if f[0] == "->" and f[2] == "FlashBlocco"]
        self.assertTrue(blocco and blocco[0].startswith("f7 06 00 00 40"), blocco)
        self.assertNotIn("FlashType", [c for _, c in self.sim.Richieste()])
        self.AssertInOrdine(self.Log(), ["TipoLoad auto",
                                         "InvioFlashTypeOBlankOWrite: blocco 400000, richiedi a boot",
                                         "invio 01f4 dati a 400000", "traferimento completato"])

    def test_sector_erased_when_not_blank_and_protected_sector_written_anyway(self):
        contenuto = [{"indirizzo": "0xFD8000", "dati": "11 22 33 44"},
                     {"indirizzo": "0xFEF000", "dati": "55 66 77 88"}]
        self.Avvia([Scheda(versione=0x67, flash={"mappa": "M256", "contenuto": contenuto,
                                                 "protetti": ["0xFE0000"]})])
        uno, due = Dati(2048, 9), Dati(2048, 10)
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0xFD0000, uno), (0xFE0000, due)]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 0, errori)
        locale = self.sim.Dump()["schede"][0]
        self.AssertScritto(locale, 0xFD0000, uno)
        self.AssertScritto(locale, 0xFE0000, due)
        # Only the sector that is not protected was erased.
        self.assertEqual(locale["settoriCancellati"], [0xFD0000])
        self.assertIn({"indirizzo": 0xFEF000, "lunghezza": 4, "dati": "55667788"}, locale["nonVuoti"])
        self.assertNotIn({"indirizzo": 0xFD8000, "lunghezza": 4, "dati": "11223344"}, locale["nonVuoti"])
        richieste = Compatta([c for _, c in self.sim.Richieste()])
        self.assertEqual(richieste[richieste.index("LunBuf"):],
                         ["LunBuf", "Blank", "Erase", "Write", "Blank", "Erase", "Write", "Fine"])
        self.AssertInOrdine(self.Log(), ["invio 01f4 dati a fd0000",
                                         "EraseRicevi: tentativo cancellazione blocco protetto",
                                         "invio 01f4 dati a fe0000",
                                         "traferimento completato"])
        log = self.Log()
        self.assertEqual(sum(1 for r in log if r.startswith("BlankRicevi: risposta ")), 2)

    def test_read_back_mismatch_exits_32(self):
        # Micro type 7 is not one the optimised verify may skip: the load reads back.
        guasto = {"tipo": "bitInvertito", "comando": "Write", "volte": 1, "posizione": 10, "bit": 0}
        self.Avvia([Scheda(micro=7, guasti=[guasto])])
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0xFC0000, Dati(2048, 11))]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 32, errori)
        self.assertEqual(errori, "error: write to flash\n")
        richieste = Compatta([c for _, c in self.sim.Richieste()])
        self.assertEqual(richieste[-3:], ["Blank", "Write", "Read"])
        self.AssertInOrdine(self.Log(), ["verifica scrittura necessaria",
                                         "invio read fc0000 per 01f4 dati",
                                         "contenuto della flash non corrispondente",
                                         "chiusura interfaccia"])

    def test_read_back_of_a_board_that_needs_it(self):
        self.Avvia([Scheda(micro=7)])
        dati = Dati(2048, 12)
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0xFC0000, dati)]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 0, errori)
        self.AssertScritto(self.sim.Dump()["schede"][0], 0xFC0000, dati)
        richieste = Compatta([c for _, c in self.sim.Richieste()])
        self.assertEqual(richieste[-4:], ["Blank", "Write", "Read", "Fine"])
        letture = [f[3] for f in self.sim.Frame() if f[0] == "->" and f[2] == "Read"]
        # Local board: read-back packets of the board's buffer less 12 bytes.
        self.assertEqual(len(letture), 5)
        self.AssertInOrdine(self.Log(), ["verifica scrittura necessaria", "invio read fc0000 per 01f4 dati",
                                         "invio read fc01f4 per 01f4 dati",
                                         "traferimento completato"])

    def test_corrupted_reply_checks_are_retried(self):
        guasti = [{"tipo": "controllo", "comando": c, "volte": n}
                  for c, n in (("GetFirma", 1), ("LunBuf", 1), ("Blank", 1), ("Write", 2))]
        self.Avvia([Scheda(guasti=guasti)])
        dati = Dati(4096, 13)
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0xFC0000, dati)]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 0, errori)
        self.AssertScritto(self.sim.Dump()["schede"][0], 0xFC0000, dati)
        scritture = [f[3] for f in self.sim.Frame() if f[0] == "->" and f[2] == "Write"]
        # The first packet went three times, the same bytes each time.
        self.assertEqual(scritture[0], scritture[1])
        self.assertEqual(scritture[1], scritture[2])
        self.assertEqual(len(scritture), 9 + 2)
        log = self.Log()
        self.AssertInOrdine(log, [
            "riapertura interfaccia", "richiesta firma tentativo",
            "LunBuf: risposta errata", "LunBuf nuovo tentativo",
            "BlankRicevi: risposta errata", "blank nuovo tentativo",
            "WriteRicevi: risposta errata", "write altro tentativo",
            "WriteRicevi: risposta errata", "write altro tentativo",
            "traferimento completato"])
        self.assertTrue(any(r.startswith("GetFirmaRicevi: risposta errata ") for r in log))

    def test_two_modules_chained_without_a_second_reset(self):
        self.Avvia([Scheda(),
                    Scheda("pagamenti", 0x2001, versione=0x68, can=0x0482, buffer=0x90)])
        uno, due = Dati(2048, 14), Dati(2048, 15)
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0xFC0000, uno)]),
                                 (0x2001, ["-m", "1", "-a", "0x482"], [(0xFD0000, due)]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 0, errori)
        dump = self.sim.Dump()
        self.AssertScritto(dump["schede"][0], 0xFC0000, uno)
        self.AssertScritto(dump["schede"][1], 0xFD0000, due)
        righe = self.sim.Righe()
        self.assertEqual(sum(1 for r in righe if r.endswith("linea dtr 1")), 1)
        richieste = self.sim.Richieste()
        fine = [i for i, r in enumerate(richieste) if r[1] == "Fine"]
        self.assertEqual(len(fine), 2)
        # The second module starts at the addressing step.
        self.assertEqual(richieste[fine[0] + 1], ("controllo", "SetRemoto"))
        self.assertEqual(Compatta([c for _, c in richieste[fine[0] + 1:]]), [
            "SetRemoto", "Reboot", "GetFirma", "GetVersione", "GetMicro", "LunBuf", "FlashBlocco",
            "Blank", "Write", "Fine"])
        self.AssertInOrdine(self.Log(), ["traferimento completato", "caricamento modulo successivo",
                                         "InvioSetRemoto: fa 82 04 ff 01 00", "trasferimento in remoto",
                                         "traferimento completato", "chiusura interfaccia"])
        self.assertEqual(self.Log().count("inizio impulso DTR"), 1)

    def test_stored_port_and_file_when_the_command_line_gives_none(self):
        self.Avvia([Scheda()])
        dati = Dati(2048, 17)
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0xFC0000, dati)]))
        # COM1 is the simulator (an entry wins over a device found as COM1), and
        # the stored port code 0 is the first COM port of the list: COM1.
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "w") as f:
            f.write("[Ports]\nCOM1=rfc2217://127.0.0.1:%d\n[Settings]\nPorta=0\nFile=%s\n"
                    % (self.sim.porta, immagine))
        r = subprocess.run([BRICOLA, "-B", "-S", "-L"], capture_output=True, env=self.Ambiente(),
                           timeout=TIMEOUT_S)
        self.sim.Ferma()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.AssertScritto(self.sim.Dump()["schede"][0], 0xFC0000, dati)
        # Batch mode writes no setting back.
        with open(os.path.join(self.config, "Corvanti", "bricola.ini")) as f:
            self.assertIn("File=%s\n" % immagine, f.read())

    def test_unreachable_can_address_exits_34(self):
        # Nobody answers at CAN 0x0490: the local boot refuses SetRemoto with NACK.
        self.Avvia([Scheda()])
        immagine = self.Immagine((0x2001, ["-m", "1", "-a", "0x490"], [(0xFC0000, Dati(512, 18))]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 34, errori)
        self.assertEqual(errori, "error: remote loading failed\n")
        self.AssertSenzaScritture(self.sim.Dump())
        richieste = self.sim.Richieste()
        self.assertEqual([c for _, c in richieste].count("SetRemoto"), 4)
        self.AssertInOrdine(self.Log(), ["InvioSetRemoto: fa 90 04 ff 08 00",
                                         "InvioSetRemoto: nuovo tentativo per nack",
                                         "InvioSetRemoto: raggiunto numero max nack",
                                         "chiusura interfaccia"])

    def test_start_refusals_send_nothing(self):
        self.Avvia([Scheda()])
        malformato = os.path.join(self.cartella, "malformed.bin")
        with open(malformato, "wb") as f:
            f.write(bytes.fromhex("00100000 0000fc00 01020304"))  # a record longer than the file
        grezzo_errato = self.Immagine((0x0001, ["--raw", "--bad-crc"], [(0, Dati(256, 19))]), nome="raw.bin")
        casi = [
            ("missing file", os.path.join(self.cartella, "none.bin"), 1, "Error opening file"),
            ("malformed file", malformato, 3, "Module corrupted"),
            ("raw image with a wrong CRC", grezzo_errato, 6, "The file is corrupted and can't be loaded"),
            ("every module unticked",
             self.Immagine((0x1234, ["-m", "1", "-u"], [(0xFC0000, Dati(64, 20))]), nome="unticked.bin"),
             8, "No program selected"),
            ("boot module for a ROM bootstrap, no RAM-loader files installed",
             self.Immagine((0x1234, ["-l", "2"], [(0xFF0000, Dati(64, 21))]), nome="boot.bin"),
             1, "Error opening file"),
        ]
        for nome, immagine, atteso, testo in casi:
            with self.subTest(nome):
                r = subprocess.run([BRICOLA, "-B", "-S", "-C", "3", "-L", immagine], capture_output=True,
                                   env=self.Ambiente(), timeout=TIMEOUT_S)
                self.assertEqual(r.returncode, atteso, r.stderr)
                self.assertEqual(r.stderr.decode(), testo + "\n")
        self.sim.Ferma()
        self.assertEqual(self.sim.Richieste(), [])
        self.assertFalse(any(r.endswith("linea dtr 1") for r in self.sim.Righe()))

    def test_data_module_puts_the_boot_in_data_mode(self):
        self.Avvia([Scheda()])
        dati = Dati(1024, 22)
        immagine = self.Immagine((0x1234, ["-m", "1", "-k", "2"], [(0xFC0000, dati)]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 0, errori)
        locale = self.sim.Dump()["schede"][0]
        self.AssertScritto(locale, 0xFC0000, dati)
        self.assertTrue(locale["modoDati"])
        richieste = Compatta([c for _, c in self.sim.Richieste()])
        self.assertEqual(richieste[richieste.index("GetMicro"):],
                         ["GetMicro", "ModoDati", "LunBuf", "FlashBlocco", "Blank", "Write", "Fine"])

    def test_boot_without_data_mode_refuses_a_data_module_with_42(self):
        self.Avvia([Scheda(modoDati=False)])
        immagine = self.Immagine((0x1234, ["-m", "1", "-k", "2"], [(0xFC0000, Dati(1024, 23))]))
        stato, errori = self.Carica(immagine)
        self.assertEqual(stato, 42, errori)
        self.assertEqual(errori, "The boot cannot load data modules\n")
        self.AssertSenzaScritture(self.sim.Dump())
        self.AssertInOrdine(self.Log(), ["ModoDati: non gestibile", "chiusura interfaccia"])

    def test_boot_check_of_the_local_board(self):
        esterna = {"base": "0x400000", "tipo": "cfi", "dimensione": "0x200000", "settori": "EBottom"}
        self.Avvia([Scheda(versione=0x31, flash={"mappa": "M256", "esterne": [esterna]})])
        stato, uscita = self.Driver("verifica", 0)
        self.assertEqual(stato, 0)
        self.assertEqual(uscita, "codice 1234 versione 3.1\n")
        richieste = [c for _, c in self.sim.Richieste()]
        # Boot 0x31 knows no GetMicro: the type comes from the code (1), and a
        # board of type 1 is asked about the flash at 0x400000.
        self.assertEqual(richieste, ["GetFirma", "GetVersione", "FlashType", "FlashType"])
        self.AssertInOrdine(self.Log(), ["interfaccia aperta", "inizio impulso DTR", "fine impulso DTR",
                                         "InvioGetFirma: f3 60 03 18", "distributore codice 1234",
                                         "versione boot 31", "tipo micro legacy 01", "chiusura interfaccia"])

    def test_boot_check_of_a_remote_board(self):
        self.Avvia([Scheda(),
                    Scheda("pagamenti", 0x2001, versione=0x67, micro=2, can=0x0482, buffer=0x90)])
        stato, uscita = self.Driver("verifica", 0x482)
        self.assertEqual(stato, 0)
        self.assertEqual(uscita, "codice 2001 versione 6.7\n")
        self.assertEqual(self.sim.Richieste(), [
            ("controllo", "SetRemoto"), ("pagamenti", "Reboot"), ("pagamenti", "GetFirma"),
            ("pagamenti", "GetVersione"), ("pagamenti", "GetMicro")])
        self.AssertInOrdine(self.Log(), ["InvioSetRemoto: fa 82 04 ff 01 00", "set remoto completato",
                                         "reboot completato", "distributore codice 2001",
                                         "versione boot 67", "tipo micro 02"])

    def test_progress_line_on_a_terminal(self):
        # A board that takes 8 ms to program each 512-byte packet: the job lasts
        # long enough for several redraws (four a second at most), since each
        # step follows its reply at once.
        self.Avvia([Scheda(ritardiMs={"Write": 8})])
        immagine = self.Immagine((0x1234, ["-m", "1"], [(0xFC0000, Dati(65536, 16))]))
        principale, secondario = pty.openpty()
        p = subprocess.Popen([BRICOLA, "-B", "-S", "-C", "3", immagine], stdout=subprocess.DEVNULL,
                             stderr=secondario, env=self.Ambiente())
        os.close(secondario)
        uscita = b""
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
                uscita += pezzo
            elif p.poll() is not None:
                break
        os.close(principale)
        self.assertEqual(p.wait(TIMEOUT_S), 0)
        testo = uscita.decode("utf-8", "replace").replace("\r\n", "\n")
        self.assertTrue(testo.endswith("\r\x1b[Kupload complete\n"), repr(testo[-200:]))
        disegni = [d for d in testo.split("\r\x1b[K") if d]
        self.assertGreaterEqual(len(disegni), 3, repr(testo))
        avanzamento = [d for d in disegni if d.startswith("loading module  module 1  ")]
        self.assertTrue(avanzamento, repr(testo))
        m = re.match(r"loading module  module 1  (\d+)/65536 bytes  \d+ bytes/s  00:00:\d\d$",
                     avanzamento[-1])
        self.assertTrue(m, avanzamento[-1])
        # Only one line: no new line before the final one.
        self.assertEqual(testo.count("\n"), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
