// bricola-tool boot-check, micro-check and micro-erase: the board jobs of the
// window's Check, Micro and Clear buttons.
#include <istream>
#include <ostream>
#include <string>

#include "app/strumento.h"
#include "base/esiti.h"
#include "base/testi.h"
#include "image/modelli.h"
#include "jobs/cancella_micro.h"
#include "jobs/verifica_boot.h"
#include "jobs/verifica_micro.h"
#include "platform/sveglia.h"

namespace bricola {

namespace {

constexpr std::string_view kUsoBoot =
    "Usage: bricola-tool boot-check [-C N] [--can ADDR] [--wait S] [--json] [-L]\n"
    "\n"
    "Asks the resident boot of a board for its boot version and machine code: the\n"
    "board on the cable, or with --can the board at that CAN address behind it.\n"
    "The board on the cable is reset with a DTR pulse first.\n"
    "\n"
    "Options:\n"
    "  -C N         port (bricola's -C); without it the stored port\n"
    "  --wait S     end with 28 when the job makes no progress for S seconds\n"
    "               (a board that does not answer; 30 by default)\n"
    "  --can ADDR   CAN address of a remote board, hexadecimal with or without 0x\n"
    "               (0, the default: the board on the cable)\n"
    "  --json       one JSON object on standard output\n"
    "  -L           write the troubleshooting log\n"
    "  --help       this text\n"
    "\n"
    "Exit status: 0 when the board gave its machine code; otherwise the result\n"
    "code (11 the port cannot be opened or is no serial port, 28 the board did\n"
    "not answer, 37 the remote board cannot be reached); 72 for a command line\n"
    "that cannot be understood; 130/143 stopped by SIGINT/SIGTERM.\n";

constexpr std::string_view kUsoMicro =
    "Usage: bricola-tool micro-check [-C N] [--wait S] [--json] [-L]\n"
    "\n"
    "Identifies the microcontroller of the board on the cable through its ROM\n"
    "bootstraps (MB91F465, MB96F338, then the F2MC-16LX through the micro-check\n"
    "RAM loader) and, last, a resident boot. The RAM-loader files are taken from\n"
    "the folder of [Bootstrap] Directory in bricola's settings file.\n"
    "\n"
    "Options:\n"
    "  -C N     port (bricola's -C); without it the stored port\n"
    "  --wait S end with 28 when the job makes no progress for S seconds (30)\n"
    "  --json   one JSON object on standard output\n"
    "  -L       write the troubleshooting log\n"
    "  --help   this text\n"
    "\n"
    "Exit status: 0 when the check ran, also when no micro answered (the name is\n"
    "then Fu9!F!!!); 11 the port cannot be opened; 72 for a command line that\n"
    "cannot be understood; 130/143 stopped by SIGINT/SIGTERM.\n";

constexpr std::string_view kUsoCancella =
    "Usage: bricola-tool micro-erase [-C N] --yes [--wait S] [--json] [-L]\n"
    "\n"
    "Erases the whole flash of an MB90F345 through its ROM bootstrap (the MB90F345\n"
    "RAM loader from [Bootstrap] Directory). The erase is available only for the\n"
    "MB90F345 and cannot be undone: it refuses to run without --yes.\n"
    "Switch the board off before, and on when asked: on a terminal the command\n"
    "waits for Enter at each step; otherwise it goes on at once (a board that a\n"
    "script powers, or a simulated one).\n"
    "\n"
    "Options:\n"
    "  -C N     port (bricola's -C); without it the stored port\n"
    "  --wait S end with 28 when the job makes no progress for S seconds (30)\n"
    "  --yes    confirm the erase\n"
    "  --json   one JSON object on standard output\n"
    "  -L       write the troubleshooting log\n"
    "  --help   this text\n"
    "\n"
    "Exit status: 0 the chip was erased; 72 without --yes (nothing is sent) or for\n"
    "a command line that cannot be understood; otherwise the result code (11 the\n"
    "port cannot be opened, 28 no answer, 30 the chip cannot be erased); 130/143\n"
    "stopped by SIGINT/SIGTERM.\n";

// The chip behind a micro-check name.
std::string ChipDelNome(const std::string& nome) {
  if (nome.size() == 8 && nome.rfind("Fu9", 0) == 0 && nome.find('!') == std::string::npos) {
    return "MB" + nome.substr(2);
  }
  return {};
}

// Port and log of a board command; 0 when the command may go on, else the
// exit status (RC_PORT_OPEN for a port that is no serial line).
int PreparaPorta(const SArgomenti& a, SPortaScelta& scelta, std::string& registro) {
  registro = RegistroStrumento(a);
  scelta.porte.ImpostaFileRegistro(registro);
  ScegliPortaStrumento(a, scelta);
  if (!registro.empty()) scelta.porte.RegistraPorte();
  if (!scelta.porte.Seriale() || scelta.porte.NumeroPorta() < 0) return RC_PORT_OPEN;
  return RC_OK;
}

void Chiedi(const SContestoStrumento& c, int testo) {
  *c.errori << Testo(testo + kInglese);
  if (c.ingressoSuTerminale && c.ingresso) {
    *c.errori << " [press Enter]";
    c.errori->flush();
    std::string riga;
    std::getline(*c.ingresso, riga);
  } else {
    *c.errori << '\n';
    c.errori->flush();
  }
}

}  // namespace

int ComandoVerificaBoot(std::span<const std::string> argomenti, const SContestoStrumento& c) {
  auto ammesse = OpzioniComuni(true);
  ammesse.push_back({"can", 0, true, false});
  SArgomenti a;
  if (auto fine = PreparaComando("boot-check", kUsoBoot, argomenti, ammesse, c, a)) return *fine;
  if (!a.posizionali.empty()) {
    return ErroreUso("boot-check", kUsoBoot, c, "unexpected argument '" + a.posizionali[0] + "'");
  }
  std::uint32_t can = 0;
  if (a.Ha("can")) {
    const auto v = NumeroEsadecimale(a.Valore("can"));
    if (!v || *v > 0xFFFF) {
      return ErroreUso("boot-check", kUsoBoot, c, "--can needs a hexadecimal CAN address up to FFFF, not '" +
                                                      a.Valore("can") + "'");
    }
    can = *v;
  }
  SPortaScelta scelta;
  std::string registro;
  SFineLavoro fine;
  std::uint16_t codice = 0;
  std::string versione = "?.?";
  CSveglia sveglia;
  CVerificaBoot verifica;
  fine.esito = PreparaPorta(a, scelta, registro);
  if (fine.esito == RC_OK) {
    scelta.porte.Registra("start");
    verifica.ImpostaRegistro(registro);
    verifica.ImpostaSveglia(&sveglia);
    verifica.ImpostaPorta(scelta.porte.NumeroPorta());
    int periodo = 10, fase = 0;
    if (verifica.Avvia(static_cast<int>(can), &periodo, &fase, &fine.esito)) {
      SLavoro lavoro;
      lavoro.periodoMs = periodo;
      lavoro.sveglia = &sveglia;
      lavoro.registro = &scelta.porte;
      LeggiAttesa(a, lavoro.attesaMassimaMs);
      lavoro.passo = [&](int& f, int& e) {
        int aggiorna = 0;
        return verifica.Passo(&aggiorna, &f, &e, &codice, &versione) != 0;
      };
      lavoro.ferma = [&] {
        int ignorato = 0;
        verifica.Ferma(&ignorato);
      };
      fine = EseguiLavoro(c, lavoro, fase);
      scelta.porte.Registra(fine.segnale ? "stop" : "stop automatico");
    }
    verifica.ImpostaSveglia(nullptr);
  }
  const bool riuscito = fine.esito == RC_OK && !fine.segnale && fine.fase == ST_DONE;
  const auto modello = NomeDaCodice(kInglese, codice);
  const std::string nomeModello = riuscito && modello ? std::string(*modello) : std::string();
  if (a.Ha("json")) {
    CJsonOggetto r = OggettoFine("boot-check", fine);
    r.Testo("port", NomePorta(scelta.porte))
        .Numero("can_address", can)
        .Testo("can_address_hex", Esadecimale(can, 4));
    if (riuscito) {
      r.Testo("boot_version", versione)
          .Numero("machine_code", codice)
          .Testo("machine_code_hex", Esadecimale(codice, 4));
      if (modello) r.Testo("model_name", nomeModello);
      else r.Nullo("model_name");
    } else {
      r.Nullo("boot_version").Nullo("machine_code").Nullo("machine_code_hex").Nullo("model_name");
    }
    *c.uscita << r.Json() << '\n';
  } else if (riuscito) {
    char b[32];
    std::snprintf(b, sizeof b, "%04X", codice);
    *c.uscita << "boot version " << versione << ", machine code " << b;
    if (modello) *c.uscita << " (" << nomeModello << ")";
    *c.uscita << '\n';
  }
  c.uscita->flush();
  return EsitoFinale(c, "boot-check", fine);
}

int ComandoVerificaMicro(std::span<const std::string> argomenti, const SContestoStrumento& c) {
  const auto ammesse = OpzioniComuni(true);
  SArgomenti a;
  if (auto fine = PreparaComando("micro-check", kUsoMicro, argomenti, ammesse, c, a)) return *fine;
  if (!a.posizionali.empty()) {
    return ErroreUso("micro-check", kUsoMicro, c, "unexpected argument '" + a.posizionali[0] + "'");
  }
  SPortaScelta scelta;
  std::string registro;
  SFineLavoro fine;
  std::string nome;
  CSveglia sveglia;
  CVerificaMicro verifica;
  fine.esito = PreparaPorta(a, scelta, registro);
  if (fine.esito == RC_OK) {
    scelta.porte.Registra("start");
    verifica.ImpostaRegistro(registro);
    verifica.ImpostaSveglia(&sveglia);
    verifica.ImpostaPorta(scelta.porte.NumeroPorta());
    int periodo = 10, fase = 0;
    if (verifica.Avvia(&periodo, &fase, &fine.esito)) {
      SLavoro lavoro;
      lavoro.periodoMs = periodo;
      lavoro.sveglia = &sveglia;
      lavoro.registro = &scelta.porte;
      LeggiAttesa(a, lavoro.attesaMassimaMs);
      lavoro.passo = [&](int& f, int& e) {
        int aggiorna = 0;
        return verifica.Passo(&aggiorna, &f, &e, &nome) != 0;
      };
      lavoro.ferma = [&] {
        int ignorato = 0;
        verifica.Ferma(&ignorato);
      };
      fine = EseguiLavoro(c, lavoro, fase);
      scelta.porte.Registra(fine.segnale ? "stop" : "stop automatico");
    }
    verifica.ImpostaSveglia(nullptr);
  }
  const bool riuscito = fine.esito == RC_OK && !fine.segnale;
  const std::string chip = ChipDelNome(nome);
  if (a.Ha("json")) {
    CJsonOggetto r = OggettoFine("micro-check", fine);
    r.Testo("port", NomePorta(scelta.porte));
    if (riuscito) {
      r.Testo("micro_name", nome).Booleano("identified", !chip.empty());
      if (chip.empty()) r.Nullo("micro");
      else r.Testo("micro", chip);
    } else {
      r.Nullo("micro_name").Booleano("identified", false).Nullo("micro");
    }
    *c.uscita << r.Json() << '\n';
  } else if (riuscito) {
    *c.uscita << "micro " << nome;
    if (!chip.empty()) *c.uscita << " (" << chip << ")";
    else *c.uscita << " (not identified)";
    *c.uscita << '\n';
  }
  c.uscita->flush();
  return EsitoFinale(c, "micro-check", fine);
}

int ComandoCancellaMicro(std::span<const std::string> argomenti, const SContestoStrumento& c) {
  auto ammesse = OpzioniComuni(true);
  ammesse.push_back({"yes", 'y', false, false});
  SArgomenti a;
  if (auto fine = PreparaComando("micro-erase", kUsoCancella, argomenti, ammesse, c, a)) return *fine;
  if (!a.posizionali.empty()) {
    return ErroreUso("micro-erase", kUsoCancella, c, "unexpected argument '" + a.posizionali[0] + "'");
  }
  if (!a.Ha("yes")) {
    return ErroreUso("micro-erase", kUsoCancella, c,
                     "the erase wipes the whole flash of the micro and cannot be undone; give --yes to confirm it");
  }
  SPortaScelta scelta;
  std::string registro;
  SFineLavoro fine;
  CSveglia sveglia;
  CCancellaMicro cancella;
  fine.esito = PreparaPorta(a, scelta, registro);
  if (fine.esito == RC_OK) {
    // The window's prompts, in the same order: only for the MB90F345, the
    // board off, then (the line set) the board on.
    Chiedi(c, 381);
    Chiedi(c, 372);
    scelta.porte.Registra("start cancellazione");
    cancella.ImpostaRegistro(registro);
    cancella.ImpostaSveglia(&sveglia);
    cancella.ImpostaPorta(scelta.porte.NumeroPorta());
    int periodo = 10, fase = 0;
    if (cancella.Avvia(&periodo, &fase, &fine.esito)) {
      Chiedi(c, 373);
      SLavoro lavoro;
      lavoro.periodoMs = periodo;
      lavoro.sveglia = &sveglia;
      lavoro.registro = &scelta.porte;
      LeggiAttesa(a, lavoro.attesaMassimaMs);
      lavoro.passo = [&](int& f, int& e) {
        int aggiorna = 0;
        return cancella.Passo(&aggiorna, &f, &e) != 0;
      };
      lavoro.ferma = [&] {
        int ignorato = 0;
        cancella.Ferma(&ignorato);
      };
      lavoro.stato = [&](SStatoLavoro& s) {
        int totali = 0, fatti = 0, secondi = 0;
        if (cancella.Progresso(&totali, &fatti, &secondi)) {
          s.totali = totali;
          s.fatti = fatti;
        }
      };
      fine = EseguiLavoro(c, lavoro, fase);
      if (!fine.segnale && fine.fase != ST_DONE && fine.esito == RC_OK) fine.esito = RC_INTERNAL;
      scelta.porte.Registra(fine.segnale ? "stop" : "stop automatico");
    }
    cancella.ImpostaSveglia(nullptr);
  }
  if (a.Ha("json")) {
    CJsonOggetto r = OggettoFine("micro-erase", fine);
    r.Testo("port", NomePorta(scelta.porte)).Booleano("erased", fine.esito == RC_OK && !fine.segnale);
    *c.uscita << r.Json() << '\n';
  } else if (fine.esito == RC_OK && !fine.segnale) {
    *c.uscita << "chip erased\n";
  }
  c.uscita->flush();
  return EsitoFinale(c, "micro-erase", fine);
}

}  // namespace bricola
