#!/usr/bin/python3
"""End-to-end tests of the Memox key jobs and of packed trees.

Each test starts its own bricola-sim serving the emulated key on Unix-domain
sockets (--usb for the USB key, --lpt for the parallel-port driver device, both
on one key file), writes a settings file in its own XDG_CONFIG_HOME that maps
USB= and LPT<n>= to those sockets, builds its images with bricola-mkimage and
runs the real bricola in batch mode: -S (load), -R (read back, or list with the
file name DIR) and -E (empty), with -C 61 (USB), -C 51 / -C 52 (LPT1 / LPT2) and,
for packed trees, -C 3. It checks exit status, the key's pages (the key file),
every request the key received (the simulator's dump), the output files and
the log.
"""

import glob
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

BRICOLA = os.environ.get("BRICOLA", "")
SIM = os.environ.get("BRICOLA_SIM", "")
MKIMAGE = os.environ.get("BRICOLA_MKIMAGE", "")

TIMEOUT_S = 90


class SimChiave:
    """bricola-sim serving one key file on a USB socket and a driver socket."""

    def __init__(self, cartella, file_chiave, pagina=264, pagine=4096, driver="esteso", guasti=None, nome="sim"):
        self.usb = os.path.join(cartella, nome + ".usb")
        self.lpt = os.path.join(cartella, nome + ".lpt")
        self.dump = os.path.join(cartella, nome + ".dump.json")
        dispositivi = os.path.join(cartella, nome + ".devices.json")
        chiave = {"file": file_chiave, "dimensionePagina": pagina, "numeroPagine": pagine}
        if guasti:
            chiave["guasti"] = guasti
        with open(dispositivi, "w") as f:
            json.dump({"chiave": chiave, "driver": {"esteso": driver == "esteso"}}, f)
        self.errori = open(os.path.join(cartella, nome + ".err"), "w")
        self.processo = subprocess.Popen(
            [SIM, "--usb", self.usb, "--lpt", self.lpt, "--devices", dispositivi, "--dump", self.dump,
             "--transcript", os.path.join(cartella, nome + ".transcript.txt")],
            stdout=subprocess.PIPE, stderr=self.errori, bufsize=0)
        # Both sockets listen once "usb PATH" and "lpt PATH" are out.
        uscita = b""
        while uscita.count(b"\n") < 2:
            pronto, _, _ = select.select([self.processo.stdout], [], [], 10)
            pezzo = os.read(self.processo.stdout.fileno(), 4096) if pronto else b""
            if not pezzo:
                self.Ferma()
                raise RuntimeError("bricola-sim did not start: %r" % uscita)
            uscita += pezzo
        self.fermato = False

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
        self.fermato = True

    def Richieste(self):
        """Every request the devices received, in order (the simulator is stopped first)."""
        if not self.fermato:
            self.Ferma()
        with open(self.dump) as f:
            return [r for r in json.load(f)["dispositivi"]["richieste"]
                    if r.get("richiesta") not in (None, "setFeature", "getFeature")]


def Moduli(n, lunghezza=300, primo=0x0010):
    """n modules for bricola-mkimage, each of its own repeatable data."""
    argomenti = []
    for i in range(n):
        argomenti += ["-c", "0x%04X" % (primo + (i % 2)), "-l", "3", "-n", "m%d" % i,
                      "0xFC0000:seq=%d" % (lunghezza + i)]
    return argomenti


class Chiave(unittest.TestCase):

    def setUp(self):
        for nome, p in (("BRICOLA", BRICOLA), ("BRICOLA_SIM", SIM), ("BRICOLA_MKIMAGE", MKIMAGE)):
            if not p or not os.access(p, os.X_OK):
                self.fail("%s does not name a program: %r" % (nome, p))
        self.cartella = tempfile.mkdtemp(prefix="bk-")
        self.config = os.path.join(self.cartella, "config")
        self.tmp = os.path.join(self.cartella, "tmp")
        self.lavoro = os.path.join(self.cartella, "lavoro")
        for c in (os.path.join(self.config, "Corvanti"), self.tmp, self.lavoro):
            os.makedirs(c)
        self.file_chiave = os.path.join(self.cartella, "key.bin")
        self.sim = []

    def tearDown(self):
        for s in self.sim:
            if not s.fermato:
                s.Ferma()
        risultato = getattr(self._outcome, "result", None)
        fallito = risultato is not None and any(t is self for t, _ in risultato.failures + risultato.errors)
        if not fallito and not os.environ.get("BRICOLA_E2E_TENERE"):
            shutil.rmtree(self.cartella, ignore_errors=True)
        else:
            sys.stderr.write("test folder kept: %s\n" % self.cartella)

    # --- set-up ---------------------------------------------------------------------

    def Sim(self, lpt=1, **opzioni):
        """A simulator on the key file; USB= and LPT<lpt>= point to it."""
        s = SimChiave(self.cartella, self.file_chiave, nome="sim%d" % len(self.sim), **opzioni)
        self.sim.append(s)
        righe = ["[Ports]", "USB=unix:" + s.usb]
        for n in range(1, lpt):
            righe.append("LPT%d=unix:%s" % (n, os.path.join(self.cartella, "none%d.sock" % n)))
        righe.append("LPT%d=unix:%s" % (lpt, s.lpt))
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "w") as f:
            f.write("\n".join(righe) + "\n")
        return s

    def Immagine(self, argomenti, nome="image.bin"):
        percorso = os.path.join(self.cartella, nome)
        r = subprocess.run([MKIMAGE, "-o", percorso] + list(argomenti), capture_output=True, text=True,
                           timeout=TIMEOUT_S)
        self.assertEqual(r.returncode, 0, r.stderr)
        return percorso

    def Bricola(self, *argomenti):
        """(exit status, stdout, stderr) of bricola -B with the arguments, run in the work folder."""
        env = dict(os.environ)
        env["XDG_CONFIG_HOME"] = self.config
        env["TMPDIR"] = self.tmp
        r = subprocess.run([BRICOLA, "-B"] + list(argomenti), capture_output=True, env=env, cwd=self.lavoro,
                           timeout=TIMEOUT_S)
        return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")

    def Registro(self):
        testo = ""
        for p in sorted(glob.glob(os.path.join(self.tmp, "BricolaLog*.txt"))):
            with open(p, "rb") as f:
                testo += f.read().decode("latin-1")
        return testo

    def Pagine(self, pagina=264):
        with open(self.file_chiave, "rb") as f:
            b = f.read()
        return [b[i:i + pagina] for i in range(0, len(b), pagina)]

    def Directory(self, pagina=264):
        """(index, first page, class nibble, load nibble, length) of every entry in use, continuation included."""
        pagine = self.Pagine(pagina)
        e = pagina // 8

        def Voci(p, base):
            r = []
            for i in range(e):
                v = pagine[p][i * 8:i * 8 + 8]
                if v[0] == 0x33 and v[1] == 0xCC:
                    r.append((base + i, v[2] | v[3] << 8, v[4] & 0xF, v[4] >> 4, v[5] | v[6] << 8 | v[7] << 16))
            return r

        voci = Voci(0, 0)
        for v in list(voci):
            if v[2] == 0xF:
                voci += Voci(v[1], e)
        return voci

    def File(self, voce, pagina=264):
        """The bytes of one directory entry's file on the key."""
        pagine = self.Pagine(pagina)
        _, primo, _, _, lunghezza = voce
        return b"".join(pagine[primo:primo + (lunghezza + pagina - 1) // pagina])[:lunghezza]

    def Leggi(self, percorso):
        with open(percorso, "rb") as f:
            return f.read()

    def ScritturePagina(self, richieste):
        return [r for r in richieste if r["richiesta"] in ("scriviPagina", "scrivi", "scriviEstesa")]

    # --- loads and reads ---------------------------------------------------------------

    def CaricaERileggi(self, porta, pagina, nomi_scrittura):
        immagine = self.Immagine(["-c", "0x0010", "-l", "3", "-n", "app", "0xFC0000:seq=1000",
                                  "-c", "0x0011", "-a", "0x482", "0x400000:seq=700"])
        rc, _, err = self.Bricola("-S", "-C", porta, "-L", immagine)
        self.assertEqual(rc, 0, err)
        self.assertIn("upload complete", err)
        voci = self.Directory(pagina)
        self.assertEqual(len(voci), 2)
        originale = self.Leggi(immagine)
        self.assertEqual(self.File(voci[0], pagina) + self.File(voci[1], pagina), originale)
        self.assertEqual(voci[0][1], 1)
        self.assertEqual(voci[1][1], 1 + (voci[0][4] + pagina - 1) // pagina)
        self.assertEqual(voci[0][2:4], (0, 0))  # class 0, load kind 3 stored as 0

        uscita = os.path.join(self.lavoro, "out.bin")
        with open(uscita, "wb") as f:
            f.write(b"x" * 5000)  # replaced, not appended to
        rc, _, err = self.Bricola("-R", "-C", porta, "-L", "out.bin")
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.Leggi(uscita), originale)
        rc, elenco, err = self.Bricola("-R", "-C", porta, "DIR")
        self.assertEqual(rc, 0, err)
        righe = elenco.splitlines()
        self.assertEqual(len(righe), 2, elenco)
        self.assertTrue(righe[0].startswith("1 0010 Prog "), elenco)
        self.assertTrue(righe[0].endswith(" app"), elenco)
        self.assertTrue(righe[1].startswith("2 0011 Prog "), elenco)

        richieste = self.sim[-1].Richieste()
        scritture = self.ScritturePagina(richieste)
        self.assertTrue(scritture)
        self.assertEqual({r["richiesta"] for r in scritture}, {nomi_scrittura})
        # The load empties the directory page before its first write, and only then.
        cancellazioni = [i for i, r in enumerate(richieste) if r["richiesta"] == "cancellaPagina"]
        self.assertEqual([richieste[i]["pagina"] for i in cancellazioni], [0])
        self.assertLess(cancellazioni[0], richieste.index(scritture[0]))
        registro = self.Registro()
        for riga in ("impostazione parametri connessione interfaccia", "interfaccia aperta",
                     "caricamento modulo successivo", "chiusura interfaccia", "file aperto", "file chiuso",
                     "interfaccia chiusa"):
            self.assertIn(riga, registro)
        return richieste

    def test_usb_key_load_two_modules_and_read_them_back(self):
        self.Sim()
        richieste = self.CaricaERileggi("61", 264, "scriviPagina")
        self.assertEqual(richieste[0]["richiesta"], "modo")
        self.assertEqual(richieste[1]["richiesta"], "identifica")

    def test_parallel_key_basic_driver(self):
        self.Sim(driver="base")
        richieste = self.CaricaERileggi("51", 264, "scrivi")
        self.assertEqual(richieste[0]["richiesta"], "esteso")
        self.assertEqual(richieste[1]["richiesta"], "identifica")
        letture = {r["richiesta"] for r in richieste if r["richiesta"].startswith("leggi")}
        self.assertEqual(letture, {"leggiA", "leggiB"})

    def test_parallel_key_extended_driver_on_lpt2_with_528_byte_pages(self):
        self.Sim(lpt=2, pagina=528)
        richieste = self.CaricaERileggi("52", 528, "scriviEstesa")
        letture = {r["richiesta"] for r in richieste if r["richiesta"].startswith("leggi")}
        self.assertEqual(letture, {"leggiAEstesa", "leggiBEstesa"})

    def test_usb_not_ready_replies_are_waited_for(self):
        self.Sim(guasti={"nonPronto": "sempre"})
        immagine = self.Immagine(Moduli(2))
        rc, _, err = self.Bricola("-S", "-C", "61", immagine)
        self.assertEqual(rc, 0, err)
        rc, _, err = self.Bricola("-R", "-C", "61", "out.bin")
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.Leggi(os.path.join(self.lavoro, "out.bin")), self.Leggi(immagine))

    def test_more_than_32_files_make_the_link_and_65_is_the_limit(self):
        self.Sim()
        immagine = self.Immagine(Moduli(65))
        rc, _, err = self.Bricola("-S", "-C", "61", immagine)
        self.assertEqual(rc, 0, err)
        voci = self.Directory()
        self.assertEqual(len(voci), 66)
        link = [v for v in voci if v[2] == 0xF]
        self.assertEqual(len(link), 1)
        indice, continuazione, _, alto, lunghezza = link[0]
        self.assertEqual((indice, alto, lunghezza), (32, 0, 264))
        file_ = [v for v in voci if v[2] != 0xF]
        self.assertEqual([v[0] for v in file_], list(range(32)) + list(range(33, 66)))
        # The continuation page sits right behind the 32nd file, the 33rd file behind it.
        self.assertEqual(continuazione, file_[31][1] + (file_[31][4] + 263) // 264)
        self.assertEqual(file_[32][1], continuazione + 1)
        self.assertEqual(b"".join(self.File(v) for v in file_), self.Leggi(immagine))
        rc, _, err = self.Bricola("-R", "-C", "61", "out.bin")
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.Leggi(os.path.join(self.lavoro, "out.bin")), self.Leggi(immagine))
        rc, elenco, _ = self.Bricola("-R", "-C", "61", "DIR")
        self.assertEqual(len(elenco.splitlines()), 65)
        self.sim[-1].Ferma()

        # One file more does not fit: refused before anything is written.
        prima = self.Pagine()
        s = self.Sim()
        rc, _, err = self.Bricola("-S", "-C", "61", self.Immagine(Moduli(66), nome="66.bin"))
        self.assertEqual(rc, 67, err)
        richieste = s.Richieste()
        self.assertEqual(self.ScritturePagina(richieste), [])
        self.assertNotIn("cancellaPagina", [r["richiesta"] for r in richieste])
        self.assertEqual(self.Pagine(), prima)

    def test_a_key_too_small_for_the_module(self):
        s = self.Sim()
        rc, _, err = self.Bricola("-S", "-C", "61", self.Immagine(["-c", "0x0010", "0xFC0000:seq=1081100"]))
        self.assertEqual(rc, 67, err)
        self.assertEqual(self.ScritturePagina(s.Richieste()), [])

    def test_list_empty_and_read_of_an_empty_key(self):
        self.Sim()
        rc, _, err = self.Bricola("-S", "-C", "61", self.Immagine(Moduli(3)))
        self.assertEqual(rc, 0, err)
        rc, elenco, _ = self.Bricola("-R", "-C", "61", "DIR")
        self.assertEqual(len(elenco.splitlines()), 3, elenco)
        rc, _, err = self.Bricola("-E", "-C", "61", "-L")
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.Pagine()[0], b"\xff" * 264)
        rc, elenco, _ = self.Bricola("-R", "-C", "61", "DIR")
        self.assertEqual((rc, elenco), (0, ""))
        uscita = os.path.join(self.lavoro, "out.bin")
        with open(uscita, "wb") as f:
            f.write(b"keep me")
        rc, _, err = self.Bricola("-R", "-C", "61", "-L", "out.bin")
        self.assertEqual(rc, 46, err)
        self.assertEqual(self.Leggi(uscita), b"keep me")
        self.assertIn("errore lettura direttorio o creazione file", self.Registro())
        # The emptying erased page 0 and nothing else.
        richieste = self.sim[-1].Richieste()
        self.assertEqual([r["pagina"] for r in richieste if r["richiesta"] == "cancellaPagina"], [0, 0])

    def test_erase_a_key_whose_directory_page_cannot_be_erased(self):
        self.Sim(guasti={"cancellazioneFallita": [0]})
        rc, _, _ = self.Bricola("-E", "-C", "61", "-L")
        self.assertEqual(rc, 54)
        self.assertIn("errore cancellazione chiave", self.Registro())

    def test_recognition_outcomes(self):
        casi = [
            ("no memory in the key", "61", dict(guasti={"assente": True}), 62),
            ("unknown density", "61", dict(pagine=1000), 63),
            ("unknown type code", "51", dict(guasti={"tipo": "0x28"}), 63),
            ("528-byte pages on a basic driver", "51", dict(pagina=528, driver="base"), 64),
            ("memory not answering", "51", dict(guasti={"tipo": "0x00"}), 65),
            ("driver answers nothing", "51", dict(guasti={"nessunaRisposta": True}), 36),
            ("mode select refused", "61", dict(guasti={"modoRifiutato": True}), 11),
        ]
        immagine = self.Immagine(Moduli(1))
        for nome, porta, opzioni, atteso in casi:
            with self.subTest(nome):
                if os.path.exists(self.file_chiave):
                    os.remove(self.file_chiave)
                s = self.Sim(**opzioni)
                for operazione in (["-S", "-C", porta, immagine], ["-R", "-C", porta, "out.bin"],
                                   ["-E", "-C", porta]):
                    rc, _, _ = self.Bricola(*operazione)
                    self.assertEqual(rc, atteso, operazione)
                richieste = s.Richieste()
                self.assertEqual(self.ScritturePagina(richieste), [])
                self.assertNotIn("cancellaPagina", [r["richiesta"] for r in richieste])
                self.assertFalse(os.path.exists(os.path.join(self.lavoro, "out.bin")))
        # A port whose endpoint is not there cannot be opened.
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "w") as f:
            f.write("[Ports]\nUSB=unix:%s\n" % os.path.join(self.cartella, "nobody.sock"))
        self.assertEqual(self.Bricola("-S", "-C", "61", immagine)[0], 11)

    def test_a_page_write_refused_is_retried_then_fails(self):
        s = self.Sim(guasti={"scritturaFallita": [3]})
        rc, _, err = self.Bricola("-S", "-C", "61", "-L", self.Immagine(Moduli(1, lunghezza=1000)))
        self.assertEqual(rc, 31, err)
        scritture = [r["pagina"] for r in self.ScritturePagina(s.Richieste())]
        # Pages 1 and 2 once, page 3 five times, nothing after it.
        self.assertEqual(scritture[-7:], [1, 2, 3, 3, 3, 3, 3])
        self.assertEqual(self.Registro().count("scrittura pagina 3 altro tentativo"), 4)

    def test_a_key_that_stays_not_ready(self):
        self.Sim()
        rc, _, err = self.Bricola("-S", "-C", "61", self.Immagine(Moduli(2)))
        self.assertEqual(rc, 0, err)
        self.sim[-1].Ferma()
        # The same key hangs after answering the open (mode select, identify).
        self.Sim(guasti={"bloccataDopo": 2})
        uscita = os.path.join(self.lavoro, "out.bin")
        with open(uscita, "wb") as f:
            f.write(b"old")
        rc, _, err = self.Bricola("-R", "-C", "61", "-L", "out.bin")
        self.assertEqual(rc, 45, err)
        self.assertEqual(self.Leggi(uscita), b"old")

    # --- packed trees --------------------------------------------------------------------

    def Albero(self, cartella, voci, nome="tree.bin", altri=()):
        argomenti = ["-c", "0x0010", "-T", cartella]
        for tipo, nome_voce, sorgente in voci:
            argomenti += ["--dir", nome_voce] if tipo == "dir" else ["--file", "%s=%s" % (nome_voce, sorgente)]
        return self.Immagine(argomenti + list(altri), nome=nome)

    def Albero2(self):
        """Every path below the work folder."""
        r = []
        for radice, cartelle, file_ in os.walk(self.lavoro):
            for n in cartelle + file_:
                r.append(os.path.relpath(os.path.join(radice, n), self.lavoro))
        return sorted(r)

    def test_packed_trees_are_unpacked_into_their_directories(self):
        immagine = self.Immagine(["-c", "0x0010", "-T", "mmi\\uno", "--dir", "img", "--file", "img\\a.bin=seq=1500",
                                  "--file", "img/sub\\/b.txt=hex=414243", "--file", "vuoto=hex=",
                                  "-c", "0x0010", "-T", "due", "--file", "c.txt=hex=0A"])
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "w") as f:
            f.write("[Ports]\n")
        rc, out, err = self.Bricola("-S", "-C", "3", "-L", immagine)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out, "")
        self.assertEqual(self.Albero2(), ["due", "due/c.txt", "mmi", "mmi/uno", "mmi/uno/img", "mmi/uno/img/a.bin",
                                          "mmi/uno/img/sub", "mmi/uno/img/sub/b.txt", "mmi/uno/vuoto"])
        self.assertEqual(self.Leggi(os.path.join(self.lavoro, "mmi/uno/img/sub/b.txt")), b"ABC")
        self.assertEqual(len(self.Leggi(os.path.join(self.lavoro, "mmi/uno/img/a.bin"))), 1500)
        self.assertEqual(self.Leggi(os.path.join(self.lavoro, "due/c.txt")), b"\n")
        registro = self.Registro()
        self.assertIn("impostazione parametri connessione interfaccia 6", registro)
        # A tree job never opens the serial port.
        self.assertNotIn("velocita' apertura", registro)
        self.assertNotIn("interfaccia aperta", registro)

    def test_every_way_out_of_the_target_directory_is_refused(self):
        with open(os.path.join(self.config, "Corvanti", "bricola.ini"), "w") as f:
            f.write("[Ports]\n")
        fuori = os.path.join(self.cartella, "fuori")
        casi = [
            ("dot-dot backslash", "..\\evaso"),
            ("climbing from a subdirectory", "sub/../../evaso"),
            ("absolute, forward slashes", fuori + "/evaso"),
            ("absolute, backslashes", fuori.replace("/", "\\") + "\\evaso"),
        ]
        for nome, voce in casi:
            for tipo in ("file", "dir"):
                with self.subTest(nome, tipo=tipo):
                    shutil.rmtree(os.path.join(self.lavoro, "dentro"), ignore_errors=True)
                    immagine = self.Albero("dentro", [("file", "ok.txt", "hex=01"), (tipo, voce, "hex=0203"),
                                                      ("file", "dopo.txt", "hex=04")])
                    rc, _, err = self.Bricola("-S", "-C", "3", "-L", immagine)
                    self.assertEqual(rc, 31, err)
                    self.assertEqual(self.Albero2(), ["dentro", "dentro/ok.txt"])
                    self.assertFalse(os.path.exists(fuori))
                    self.assertFalse(os.path.exists(os.path.join(self.cartella, "evaso")))
                    self.assertIn("voce fuori dalla cartella di destinazione rifiutata: " + voce.replace("\\", "/"),
                                  self.Registro())
        # A climb that stays inside is unpacked.
        immagine = self.Albero("dentro", [("file", "sub/../ok2.txt", "hex=05")])
        rc, _, err = self.Bricola("-S", "-C", "3", immagine)
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.Leggi(os.path.join(self.lavoro, "dentro", "ok2.txt")), b"\x05")


if __name__ == "__main__":
    unittest.main()
