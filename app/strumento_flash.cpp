// bricola-tool read-flash and verify: a board's flash backed up into an image
// file through its resident boot, and an image file compared with a board's
// flash without writing anything.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/strumento.h"
#include "base/esiti.h"
#include "base/testi.h"
#include "image/analisi.h"
#include "image/modelli.h"
#include "jobs/caricamento.h"
#include "jobs/lettura_flash.h"
#include "platform/sveglia.h"

namespace bricola {

namespace {

constexpr std::string_view kUsoLettura =
    "Usage: bricola-tool read-flash [-C N] [--can ADDR] (--map NAME | --range START:END...)\n"
    "                               -o OUT.bin [--wait S] [--json] [-L]\n"
    "\n"
    "Reads a board's flash through its resident boot and writes an image file the\n"
    "load accepts: one data record per range (sectors that read all FF left out)\n"
    "and the end record with the CRC and the board's machine code. Loading that\n"
    "file back (bricola -B -S) restores the board. Nothing is written to OUT.bin\n"
    "unless everything was read.\n"
    "\n"
    "Options:\n"
    "  -C N               port (bricola's -C); without it the stored port\n"
    "  --wait S           end with 28 when the job makes no progress for S\n"
    "                     seconds (a board that does not answer; 30)\n"
    "  --can ADDR         CAN address of a remote board, hexadecimal (0, the\n"
    "                     default: the board on the cable); a remote board is read\n"
    "                     46 bytes at a time\n"
    "  --map NAME         every range of a flash map: M256, M64, M512, M512x,\n"
    "                     M512r, MPIC\n"
    "  --range START:END  a range, hexadecimal with or without 0x, END exclusive;\n"
    "                     may repeat (ranges must not overlap)\n"
    "  -o, --output FILE  the image file to write\n"
    "  --json             one JSON object on standard output\n"
    "  -L                 write the troubleshooting log\n"
    "  --help             this text\n"
    "\n"
    "Exit status: 0 the file was written; otherwise the result code (7 every range\n"
    "reads blank, 11 the port cannot be opened, 28 no answer, 37 the remote board\n"
    "cannot be reached, 47 the file cannot be created); 72 for a command line that\n"
    "cannot be understood;\n"
    "130/143 stopped by SIGINT/SIGTERM (no file is left behind).\n";

constexpr std::string_view kUsoVerifica =
    "Usage: bricola-tool verify [-C N] [--wait S] [--json] [-L] IMAGE\n"
    "\n"
    "Reads back every module of IMAGE that the load preselects from the boards it\n"
    "is for, through their resident boot, and compares it with the file, without\n"
    "blank check, erase or write: the load's read-back alone.\n"
    "\n"
    "Options:\n"
    "  -C N     port (bricola's -C); without it the stored port\n"
    "  --wait S end with 28 when the job makes no progress for S seconds (30)\n"
    "  --json   one JSON object on standard output\n"
    "  -L       write the troubleshooting log\n"
    "  --help   this text\n"
    "\n"
    "Exit status: 0 the boards hold every record of the file; 32 a byte differs\n"
    "(its address is printed); 41 a module is not loaded through a resident boot\n"
    "(nothing is sent); 1 or 3 the file cannot be opened or is malformed; 8 no\n"
    "module is preselected; 11 the port cannot be opened; 24 the board carries\n"
    "another machine code; 28 no answer; 72 for a command line that cannot be\n"
    "understood; 130/143 stopped by SIGINT/SIGTERM.\n";

int PreparaSeriale(const SArgomenti& a, SPortaScelta& scelta, std::string& registro) {
  registro = RegistroStrumento(a);
  scelta.porte.ImpostaFileRegistro(registro);
  ScegliPortaStrumento(a, scelta);
  if (!registro.empty()) scelta.porte.RegistraPorte();
  if (!scelta.porte.Seriale() || scelta.porte.NumeroPorta() < 0) return RC_PORT_OPEN;
  return RC_OK;
}

}  // namespace

int ComandoLeggiFlash(std::span<const std::string> argomenti, const SContestoStrumento& c) {
  auto ammesse = OpzioniComuni(true);
  ammesse.push_back({"can", 0, true, false});
  ammesse.push_back({"map", 0, true, false});
  ammesse.push_back({"range", 0, true, true});
  ammesse.push_back({"output", 'o', true, false});
  SArgomenti a;
  constexpr std::string_view nome = "read-flash";
  if (auto fine = PreparaComando(nome, kUsoLettura, argomenti, ammesse, c, a)) return *fine;
  if (!a.posizionali.empty()) return ErroreUso(nome, kUsoLettura, c, "unexpected argument '" + a.posizionali[0] + "'");
  if (!a.Ha("output") || a.Valore("output").empty()) return ErroreUso(nome, kUsoLettura, c, "no output file given (-o)");
  if (a.Ha("map") == a.Ha("range")) {
    return ErroreUso(nome, kUsoLettura, c, "give either --map or --range");
  }
  std::uint32_t can = 0;
  if (a.Ha("can")) {
    const auto v = NumeroEsadecimale(a.Valore("can"));
    if (!v || *v > 0xFFFF) {
      return ErroreUso(nome, kUsoLettura, c,
                       "--can needs a hexadecimal CAN address up to FFFF, not '" + a.Valore("can") + "'");
    }
    can = *v;
  }
  std::vector<SIntervalloFlash> intervalli;
  if (a.Ha("map")) {
    if (!IntervalliMappa(a.Valore("map"), &intervalli) || intervalli.empty()) {
      return ErroreUso(nome, kUsoLettura, c,
                       "unknown flash map '" + a.Valore("map") + "' (M256, M64, M512, M512x, M512r, MPIC)");
    }
  } else {
    for (const auto& t : a.opzioni.at("range")) {
      SIntervalloFlash i;
      if (!LeggiIntervallo(t, i.inizio, i.fine)) {
        return ErroreUso(nome, kUsoLettura, c,
                         "--range needs START:END in hexadecimal with END above START, not '" + t + "'");
      }
      intervalli.push_back(i);
    }
    std::sort(intervalli.begin(), intervalli.end(),
              [](const SIntervalloFlash& x, const SIntervalloFlash& y) { return x.inizio < y.inizio; });
    for (std::size_t k = 1; k < intervalli.size(); ++k) {
      if (intervalli[k].inizio < intervalli[k - 1].fine) {
        return ErroreUso(nome, kUsoLettura, c,
                         "the ranges " + Esadecimale(intervalli[k - 1].inizio, 6) + ":" +
                             Esadecimale(intervalli[k - 1].fine, 6) + " and " + Esadecimale(intervalli[k].inizio, 6) +
                             ":" + Esadecimale(intervalli[k].fine, 6) + " overlap");
      }
    }
  }
  const std::string uscita = a.Valore("output");

  SPortaScelta scelta;
  std::string registro;
  SFineLavoro fine;
  CSveglia sveglia;
  auto lettura = std::make_unique<CLetturaFlash>();
  std::uint32_t fatti = 0, totale = 0;
  fine.esito = PreparaSeriale(a, scelta, registro);
  if (fine.esito == RC_OK) {
    scelta.porte.Registra("start");
    lettura->ImpostaRegistro(registro);
    lettura->ImpostaSveglia(&sveglia);
    lettura->ImpostaPorta(scelta.porte.NumeroPorta());
    int periodo = 10, fase = 0;
    if (lettura->Avvia(static_cast<int>(can), intervalli, uscita, &periodo, &fase, &fine.esito)) {
      SLavoro lavoro;
      lavoro.periodoMs = periodo;
      lavoro.sveglia = &sveglia;
      lavoro.registro = &scelta.porte;
      LeggiAttesa(a, lavoro.attesaMassimaMs);
      lavoro.passo = [&](int& f, int& e) {
        int aggiorna = 0;
        return lettura->Passo(&aggiorna, &f, &e, &fatti, &totale) != 0;
      };
      lavoro.ferma = [&] {
        int ignorato = 0;
        lettura->Ferma(&ignorato);
      };
      lavoro.stato = [&](SStatoLavoro& s) {
        s.fatti = fatti;
        s.totali = totale;
      };
      fine = EseguiLavoro(c, lavoro, fase);
      if (!fine.segnale && fine.fase != ST_DONE && fine.esito == RC_OK) fine.esito = RC_INTERNAL;
      scelta.porte.Registra(fine.segnale ? "stop" : "stop automatico");
    }
    lettura->ImpostaSveglia(nullptr);
  }
  const bool riuscito = fine.esito == RC_OK && !fine.segnale;
  const std::uint16_t codice = riuscito ? lettura->CodiceMacchina() : 0;
  if (a.Ha("json")) {
    std::vector<std::string> lista;
    std::uint64_t byte = 0;
    for (const auto& i : intervalli) {
      CJsonOggetto o;
      o.Numero("start", i.inizio)
          .Testo("start_hex", Esadecimale(i.inizio, 6))
          .Numero("end", i.fine)
          .Testo("end_hex", Esadecimale(i.fine, 6));
      lista.push_back(o.Json());
      byte += i.fine - i.inizio;
    }
    CJsonOggetto r = OggettoFine(nome, fine);
    r.Testo("port", NomePorta(scelta.porte))
        .Numero("can_address", can)
        .Testo("can_address_hex", Esadecimale(can, 4))
        .Testo("output", uscita)
        .Grezzo("ranges", JsonLista(lista))
        .Numero("bytes", static_cast<long long>(byte))
        .Booleano("written", riuscito);
    if (riuscito) {
      const auto modello = NomeDaCodice(kInglese, codice);
      r.Numero("machine_code", codice)
          .Testo("machine_code_hex", Esadecimale(codice, 4))
          .Testo("boot_version", lettura->VersioneBoot());
      if (modello) r.Testo("model_name", std::string(*modello));
      else r.Nullo("model_name");
    }
    *c.uscita << r.Json() << '\n';
  } else if (riuscito) {
    char b[16];
    std::snprintf(b, sizeof b, "%04X", codice);
    *c.uscita << "flash of the board (machine code " << b << ", boot " << lettura->VersioneBoot() << ") written to "
              << uscita << '\n';
  }
  c.uscita->flush();
  if (fine.esito == RC_NO_MODULES && !fine.segnale) {
    // Every range read all FF: there is nothing to put in a file.
    *c.errori << "bricola-tool read-flash: every range reads blank (all FF); no file written\n";
  }
  return EsitoFinale(c, nome, fine);
}

int ComandoVerifica(std::span<const std::string> argomenti, const SContestoStrumento& c) {
  const auto ammesse = OpzioniComuni(true);
  SArgomenti a;
  constexpr std::string_view nome = "verify";
  if (auto fine = PreparaComando(nome, kUsoVerifica, argomenti, ammesse, c, a)) return *fine;
  if (a.posizionali.size() != 1) {
    return ErroreUso(nome, kUsoVerifica, c,
                     a.posizionali.empty() ? "no image file given" : "more than one image file given");
  }
  const std::string& file = a.posizionali[0];
  SPortaScelta scelta;
  std::string registro;
  SFineLavoro fine;
  CSveglia sveglia;
  auto caricamento = std::make_unique<CCaricamento>();
  bool avviato = false;
  std::uint32_t diverso = 0;
  bool conDiverso = false;
  fine.esito = PreparaSeriale(a, scelta, registro);
  if (fine.esito == RC_OK) {
    scelta.porte.Registra("start");
    caricamento->ImpostaRegistro(registro);
    caricamento->ImpostaSveglia(&sveglia);
    caricamento->ImpostaInterfaccia(scelta.porte.NumeroPorta(), scelta.porte.TipoInterfaccia(), 0, 0);
    caricamento->verificaScrittura = 1;
    caricamento->verificaOttimizzata = 0;
    caricamento->ImpostaSoloVerifica(1);
    int errore = 0;
    if (!caricamento->Analizza(file, &errore)) {
      fine.esito = errore == ERRORE_APERTURA ? RC_FILE_OPEN
                   : (errore >= 2 && errore <= ERRORE_SELETTORE) ? RC_FILE_CORRUPT
                                                                : RC_INTERNAL;
    } else {
      int periodo = 10, fase = 0;
      if (caricamento->Avvia(&periodo, &fase, &fine.esito)) {
        avviato = true;
        SLavoro lavoro;
        lavoro.periodoMs = periodo;
        lavoro.sveglia = &sveglia;
        lavoro.registro = &scelta.porte;
        LeggiAttesa(a, lavoro.attesaMassimaMs);
      LeggiAttesa(a, lavoro.attesaMassimaMs);
      lavoro.registro = &scelta.porte;
      LeggiAttesa(a, lavoro.attesaMassimaMs);
        lavoro.passo = [&](int& f, int& e) {
          int aggiorna = 0, erroreModulo = 0;
          return caricamento->Passo(&aggiorna, &erroreModulo, &f, &e) != 0;
        };
        lavoro.ferma = [&] {
          int ignorato = 0;
          caricamento->Ferma(&ignorato);
        };
        lavoro.stato = [&](SStatoLavoro& s) {
          int modulo = 0, totali = 0, fatti = 0, ripetuti = 0, secondi = 0;
          if (caricamento->Progresso(&modulo, &totali, &fatti, &ripetuti, &secondi)) {
            s.modulo = modulo + 1;
            s.fatti = fatti;
            s.totali = totali;
          }
        };
        fine = EseguiLavoro(c, lavoro, fase);
        if (!fine.segnale && fine.fase != ST_DONE && fine.esito == RC_OK) fine.esito = RC_INTERNAL;
        scelta.porte.Registra(fine.segnale ? "stop" : "stop automatico");
        conDiverso = !fine.segnale && caricamento->PrimoIndirizzoDiverso(&diverso) != 0;
      }
    }
    caricamento->ImpostaSveglia(nullptr);
  }
  (void)avviato;
  const int moduloFallito = caricamento->IndiceModulo() + 1;
  if (a.Ha("json")) {
    CJsonOggetto r = OggettoFine(nome, fine);
    r.Testo("file", file).Testo("port", NomePorta(scelta.porte)).Booleano("equal", fine.esito == RC_OK && !fine.segnale);
    if (conDiverso) {
      r.Numero("module", moduloFallito)
          .Numero("first_difference", diverso)
          .Testo("first_difference_hex", Esadecimale(diverso, 6));
    } else {
      r.Nullo("first_difference").Nullo("first_difference_hex");
    }
    *c.uscita << r.Json() << '\n';
  } else if (fine.esito == RC_OK && !fine.segnale) {
    *c.uscita << "the boards hold every record of " << file << '\n';
  } else if (conDiverso) {
    *c.uscita << "module " << moduloFallito << " differs at " << Esadecimale(diverso, 6) << '\n';
  }
  c.uscita->flush();
  return EsitoFinale(c, nome, fine);
}

}  // namespace bricola
