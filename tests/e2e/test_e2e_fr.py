#!/usr/bin/python3
"""End-to-end tests of the MB91F465 boot writer: the real bricola program
(`bricola -B -S -C 3 -L module.bin`) writes a load-kind-10 boot module into
bricola-sim's MB91F465 over RFC 2217, through the micro check, the FR ROM
bootstrap, the kernel download and call, and the kernel's text protocol.

The kernel file and the other RAM-loader files come from
`bricola-mkimage --ram-loaders` (named by `[Bootstrap] Directory=`).
"""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_e2e  # noqa: E402
from test_e2e import MKIMAGE, TIMEOUT_S, Dati, Scheda  # noqa: E402

CODICE = 0x4321
KERNEL = "mb91f465-kernel.bin"


def Testo(t):
    """The hex of a text as the simulator's transcript shows it."""
    return " ".join("%02x" % b for b in t.encode("latin-1"))


def Contenuto(scheda):
    """address -> byte of every byte of a board's flash that is not FF."""
    m = {}
    for intervallo in scheda["nonVuoti"]:
        for i, b in enumerate(bytes.fromhex(intervallo["dati"])):
            m[intervallo["indirizzo"] + i] = b
    return m


def Atteso(blocchi, prima=None):
    """address -> byte that is not FF after writing blocchi over prima."""
    m = dict(prima or {})
    for indirizzo, dati in blocchi:
        for i, b in enumerate(dati):
            m[indirizzo + i] = b
    return {a: b for a, b in m.items() if b != 0xFF}


# The default module: data in sector 4 with an all-FF chunk inside, an odd
# record whose last byte is 14C000 (the first byte of sector 5), and the
# module's last 32-bit word at the top of the boot.
PRIMO = bytearray(Dati(0x100, 11))
PRIMO[0x40:0x50] = b"\xff" * 16
PRIMO = bytes(PRIMO)
TAGLIATO = Dati(16, 12)
PAROLA = bytes([0x12, 0x34, 0x56, 0x78])
MODULO = [(0x148000, PRIMO), (0x14BFF1, TAGLIATO), (0x14FFFC, PAROLA)]


class Fr(test_e2e.E2E, unittest.TestCase):

    # --- set-up ---------------------------------------------------------------------------

    def Caricatori(self, seme=5):
        cartella = os.path.join(self.cartella, "ram")
        r = subprocess.run([MKIMAGE, "--ram-loaders", cartella, str(seme)], capture_output=True,
                           text=True, timeout=TIMEOUT_S)
        self.assertEqual(r.returncode, 0, r.stderr)
        return cartella

    def AvviaFr(self, fr=None, contenuto=None, **scheda):
        """A machine whose board on the cable is an MB91F465 (a blank chip by default)."""
        self.ram = self.Caricatori()
        flash = {"mappa": "M465"}
        if contenuto:
            flash["contenuto"] = [{"indirizzo": "0x%X" % a, "dati": d.hex()} for a, d in contenuto]
        fr = dict({"bootResidente": False}, **(fr or {}))
        self.Avvia([Scheda(nome="fr", codice=CODICE, micro=8, flash=flash, fr=fr, **scheda)])
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "a") as f:
            f.write("[Bootstrap]\nDirectory=%s\n" % self.ram)

    def ModuloFr(self, blocchi=MODULO):
        return self.Immagine((CODICE, ["-m", "8", "-k", "1", "-n", "boot465"], blocchi))

    def Fr(self):
        return self.sim.Dump()["schede"][0]

    def DalPc(self, lato="kernel"):
        """The hex of every burst the PC sent to the chip's bootstrap or kernel, in order."""
        return [d for v, s, c, d in self.sim.Frame() if v == "->" and s == "fr" and c == lato]

    def Linee(self):
        """The DTR and RTS changes on the line, in order."""
        return [r.split(" ", 2)[2] for r in self.sim.Righe()
                if re.match(r"^\S+ linea (dtr|rts) [01]$", r)]

    def AssertPrefissiInOrdine(self, righe, attesi):
        """Lines starting with attesi appear in righe in this order."""
        i = 0
        for r in righe:
            if i < len(attesi) and r.startswith(attesi[i]):
                i += 1
        self.assertEqual(i, len(attesi), "missing in order: %r\n--- log:\n%s" % (attesi[i:], "\n".join(righe)))

    def AssertFlashIntatta(self):
        fr = self.Fr()
        self.assertEqual(fr["scritti"], [])
        self.assertEqual(fr["settoriCancellati"], [])

    # --- the load ------------------------------------------------------------------------

    def test_default_module_is_written_verified_and_sealed_with_prog32(self):
        # Sector 4 holds an old boot; sector 5 is blank.
        vecchio = [(0x148800, b"\x00\x11\x22\x33")]
        self.AvviaFr(contenuto=vecchio)
        stato, errori = self.Carica(self.ModuloFr())
        self.assertEqual(stato, 0, errori)
        self.assertEqual(errori, "upload complete\n")

        fr = self.Fr()
        # Only the sector that was not blank was erased; every byte is in place,
        # the FF chunk included, and the old bytes are gone.
        self.assertEqual(fr["settoriCancellati"], [0x148000])
        self.assertEqual(Contenuto(fr), Atteso(MODULO))
        # The kernel went into RAM at 0x30000, as the file holds it.
        with open(os.path.join(self.ram, KERNEL), "rb") as f:
            kernel = f.read()
        ram = {}
        for i in fr["fr"]["ram"]:
            for k, b in enumerate(bytes.fromhex(i["dati"])):
                ram[i["indirizzo"] + k] = b
        self.assertEqual(bytes(ram.get(0x30000 + i, -1) & 0xFF for i in range(len(kernel))), kernel)
        self.assertEqual([ram.get(a) for a in (0x2FFFE, 0x2FFFF, 0x2FFF1, 0x2FFF5, 0x2FFF9, 0x680, 0x681,
                                               0x3FFF0, 0x3FFF1)],
                         [0x00, 0xD0, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00])
        self.assertEqual(fr["fr"]["avviiKernel"], 1)

        # The reset pulses: the micro check's FR probe without RTS and its
        # release, the writer's reset with RTS, and its release with RTS as it is.
        self.assertEqual(self.Linee(), [
            "dtr 0", "rts 0",                     # the port opened with both cleared
            "rts 0", "dtr 1", "dtr 0",            # micro check, probe A
            "rts 0", "dtr 1", "dtr 0",            # micro check released
            "dtr 1", "rts 1", "dtr 0",            # the writer: into the ROM bootstrap
            "dtr 1", "dtr 0"])                    # the end: restart, RTS untouched

        # The kernel's commands on the wire, in order.
        kernel = self.DalPc()
        s2 = [k for k in kernel if k.startswith("53 32")]
        self.assertEqual(len(s2), 15 + 1 + 1)  # 16 chunks less the FF one, 15 + 1 bytes at the cut
        self.assertTrue(s2[0].startswith("53 32 14 14 80 00"), s2[0])
        self.assertFalse(any(k.startswith("53 32 14 14 80 40") for k in s2))
        self.assertTrue(s2[15].startswith("53 32 13 14 bf f1"), s2[15])
        self.assertTrue(s2[16].startswith("53 32 05 14 c0 00"), s2[16])
        self.assertFalse(any(k.startswith("53 32 08 14 ff fc") for k in s2))
        self.AssertInOrdine(kernel, [
            "56", Testo("R\r"), "62", "73", Testo("04\r"), "6e", Testo("HEXDWL\r"), s2[0], s2[15]]
            + ["0d"] * 8 + ["62", "6e", Testo("HEXDWL\r"), s2[16]] + ["0d"] * 8
            + ["72", Testo("00148000"), Testo("040"), "72", Testo("00148040"), Testo("040"),
               "72", Testo("00148080"), Testo("040"), "72", Testo("001480c0"), Testo("040"),
               "72", Testo("0014bff1"), Testo("00f"), "72", Testo("0014c000"), Testo("001"),
               "70", Testo("0014fffc"), Testo("12345678")])
        # One blank check per sector, one erase, nothing after the Prog32.
        self.assertEqual(kernel.count("62"), 2)
        self.assertEqual(kernel.count("73"), 1)
        self.assertEqual(kernel[-1], Testo("12345678"))

        log = self.Log()
        self.AssertInOrdine(log, [
            "invio check 465", "ricevuto check 465", "caricamento modulo",
            "velocita' 9600 bit/s", "cambio velocita' riuscito", "inizio impulso DTR", "fine impulso DTR",
            "invio check 465", "ricevuto check 465",
            "invio write check", "ricevuto write check", "invio read check", "ricevuto read check",
            "InvioBlocco: inizio 030000, lung. 0100", "InvioBlocco: inizio 032f00, lung. 0100",
            "ricevuto write", "InvioBlocco: inizio 02fffe, lung. 0002", "ricevuto write",
            "InvioBlocco: inizio 03fff0, lung. 0002", "ricevuto write",
            "velocita' 115200 bit/s", "cambio velocita' riuscito",
            "invio check loader", "ricevuto check loader", "invio sync loader", "ricevuto sync loader",
            "InvioBlank: 148000", "InvioEraseInit", "InvioEraseSect: 30 34 0d",
            "invio write init", "invio write mode", "invio dati 148000", "invio dati 148040 saltato",
            "invio dati 14bff1", "invio write quit", "InvioBlank: 14c000", "invio write init",
            "invio write mode", "invio dati 14c000", "invio write quit",
            "invio read init", "InvioReadAddr: 00148000", "InvioReadNum: 040",
            "InvioReadAddr: 0014bff1", "InvioReadNum: 00f", "InvioReadAddr: 0014c000", "InvioReadNum: 001",
            "invio Prog32 init", "InvioProg32Addr: 0014fffc", "InvioProg32Addr: 31 32 33 34 35 36 37 38",
            "traferimento completato", "inizio impulso finale DTR", "fine impulso finale DTR",
            "chiusura interfaccia"])
        self.assertEqual(log.count("InvioBlocco: inizio 030000, lung. 0100"), 1)
        self.assertEqual(len([r for r in log if r.startswith("InvioBlocco: ")]), 48 + 7)
        self.assertEqual(log.count("ricevuto write"), 8)


    def test_board_of_another_micro_running_a_resident_boot_is_refused_with_66(self):
        self.ram = self.Caricatori()
        self.Avvia([Scheda(micro=1)])
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "a") as f:
            f.write("[Bootstrap]\nDirectory=%s\n" % self.ram)
        stato, errori = self.Carica(self.ModuloFr())
        self.assertEqual(stato, 66, errori)
        self.AssertSenzaScritture(self.sim.Dump())
        log = self.Log()
        self.assertEqual(log.count("invio check 465"), 5)
        self.AssertPrefissiInOrdine(log, ["check 465 timeout definitivo", "velocita' 38400 bit/s",
                                          "InvioGetFirma: f3 60 03 18", "GetFirmaRicevi: ricevuto margine",
                                          "InvioGetMicro:", "MicroRicevi: ricevuto margine"])
        self.assertNotIn("caricamento modulo", log)
        # The boot answered its signature and its micro; nothing else was asked.
        self.assertEqual(test_e2e.Compatta([c for _, c in self.sim.Richieste()]), ["GetFirma", "GetMicro"])

    def test_byte_read_back_wrong_ends_with_32_without_prog32(self):
        self.AvviaFr(fr={"guasti": [{"tipo": "byteErrato", "posizione": 3, "bit": 2, "volte": 1}]})
        stato, errori = self.Carica(self.ModuloFr())
        self.assertEqual(stato, 32, errori)
        log = self.Log()
        self.AssertInOrdine(log, ["invio read init", "InvioReadAddr: 00148000", "InvioReadNum: 040",
                                  "contenuto della flash non corrispondente"])
        self.assertNotIn("invio Prog32 init", log)
        kernel = self.DalPc()
        self.assertNotIn("70", kernel)
        # The first read is the one that shows the wrong byte; nothing is read after it.
        self.assertEqual(kernel.count("72"), 1)
        self.assertNotIn(0x14FFFC, Contenuto(self.Fr()))

    def test_wrong_segment_sum_ends_with_28_before_any_later_segment_or_the_call(self):
        self.AvviaFr(fr={"guasti": [{"tipo": "sommaErrata", "indirizzo": "0x2FFF1"}]})
        stato, errori = self.Carica(self.ModuloFr())
        self.assertEqual(stato, 28, errori)
        log = self.Log()
        self.AssertInOrdine(log, ["InvioBlocco: inizio 02fffe, lung. 0002", "ricevuto write",
                                  "InvioBlocco: inizio 02fff1, lung. 0001", "dati fine tentativi",
                                  "inizio impulso finale DTR"])
        self.assertTrue(any(re.match(r"^ricevuto errato \[[0-9a-f]{2}\]$", r) for r in log), log)
        self.assertNotIn("InvioBlocco: inizio 02fff5, lung. 0001", log)
        self.assertNotIn("dati nuovo tentativo", log)
        fr = self.Fr()
        self.assertEqual(fr["fr"]["avviiKernel"], 0)
        # No call prefix (01 04) ever went to the bootstrap, and nothing to a kernel.
        self.assertNotIn("04", self.DalPc("bootstrap"))
        self.assertEqual(self.DalPc(), [])
        self.AssertFlashIntatta()

    def test_late_first_sync_costs_one_provisional_timeout(self):
        self.AvviaFr(fr={"guasti": [{"tipo": "syncTardivo", "ritardoMs": 150, "volte": 1}]})
        stato, errori = self.Carica(self.ModuloFr())
        self.assertEqual(stato, 0, errori)
        log = self.Log()
        self.assertEqual(log.count("sync loader timeout provvisorio"), 1)
        self.AssertInOrdine(log, ["invio sync loader", "sync loader timeout provvisorio", "invio sync loader",
                                  "ricevuto sync loader", "traferimento completato"])
        self.assertEqual(Contenuto(self.Fr()), Atteso(MODULO))

    def test_chip_with_a_resident_boot_is_erased_through_it_then_written_through_its_bootstrap(self):
        vecchio = [(0x148000, bytes(range(64))), (0x14C100, b"\x01\x02")]
        self.AvviaFr(fr={"bootResidente": True, "cancellazioneChipMs": 1500}, contenuto=vecchio)
        stato, errori = self.Carica(self.ModuloFr())
        self.assertEqual(stato, 0, errori)
        fr = self.Fr()
        self.assertEqual(Contenuto(fr), Atteso(MODULO))
        self.assertFalse(fr["fr"]["bootResidente"])
        log = self.Log()
        self.AssertPrefissiInOrdine(log, [
            # The micro check finds the MB91F465 through its boot ...
            "check 465 timeout definitivo", "velocita' 38400 bit/s", "InvioGetFirma: f3 60 03 18",
            "caricamento modulo",
            # ... and the writer asks that boot to erase the chip, waits, and resets into the bootstrap.
            "velocita' 38400 bit/s", "inizio impulso DTR", "fine impulso DTR", "InvioGetFirma: f3 60 03 18",
            "InvioGetMicro:", "InvioCancellaChip: ef 00",
            "velocita' 9600 bit/s", "inizio impulso DTR", "fine impulso DTR",
            "invio check 465", "ricevuto check 465", "invio write check", "ricevuto sync loader",
            "InvioBlank: 148000", "invio write init", "traferimento completato"])
        # The chip erase left both sectors blank: no kernel erase.
        self.assertNotIn("InvioEraseInit", log)
        self.assertNotIn("73", self.DalPc())
        righe = self.sim.Righe()
        self.assertTrue(any("cancellazione chip fr completata" in r for r in righe))

    def test_module_without_the_last_word_is_written_and_verified_then_ends_with_6(self):
        self.AvviaFr()
        blocchi = [(0x148000, Dati(40, 21)), (0x14A000, Dati(6, 22))]
        stato, errori = self.Carica(self.ModuloFr(blocchi))
        self.assertEqual(stato, 6, errori)
        self.assertEqual(Contenuto(self.Fr()), Atteso(blocchi))
        kernel = self.DalPc()
        self.AssertInOrdine(kernel, ["72", Testo("00148000"), Testo("028"), "72", Testo("0014a000"), Testo("006")])
        self.assertNotIn("70", kernel)
        log = self.Log()
        self.assertNotIn("invio Prog32 init", log)
        self.assertNotIn("traferimento completato", log)

    def test_board_that_never_answers_ends_with_71_after_three_signature_requests(self):
        self.AvviaFr(fr={"guasti": [{"tipo": "silenzio", "parte": "*"}]})
        stato, errori = self.Carica(self.ModuloFr())
        self.assertEqual(stato, 71, errori)
        log = self.Log()
        self.assertEqual(log.count("invio check 465"), 5)
        self.assertEqual(len([r for r in log if r.startswith("InvioGetFirma:")]), 3)
        self.AssertInOrdine(log, ["check 465 timeout definitivo", "richiesta firma tentativi mancanti 2",
                                  "richiesta firma tentativi mancanti 1", "richiesta firma fine tentativi"])
        self.assertNotIn("caricamento modulo", log)
        self.AssertFlashIntatta()

    # --- refusals before the line is touched ----------------------------------------------

    def AssertRifiutoKernel(self, lunghezza, codice, riga):
        self.AvviaFr()
        kernel = os.path.join(self.ram, KERNEL)
        if lunghezza is None:
            os.remove(kernel)
        else:
            os.truncate(kernel, lunghezza)
        stato, errori = self.Carica(self.ModuloFr())
        self.assertEqual(stato, codice, errori)
        self.assertEqual(self.Linee(), ["dtr 0", "rts 0"])  # only the port's opening
        self.assertEqual(self.sim.Frame(), [])
        log = self.Log()
        self.assertIn(riga % kernel, log)
        self.assertIn("errore start", log)
        self.assertNotIn("invio check 465", log)

    def test_missing_kernel_file_refuses_before_the_line(self):
        self.AssertRifiutoKernel(None, 1, "immagine caricatore %s non trovata")

    def test_short_kernel_file_refuses_before_the_line(self):
        self.AssertRifiutoKernel(12287, 3, "immagine caricatore %s: lunghezza 12287 byte invece di 12288")

if __name__ == "__main__":
    unittest.main()
