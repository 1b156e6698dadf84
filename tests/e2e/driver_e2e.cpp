// bricola-e2e-driver: runs, against a network serial port, the jobs batch mode
// has no switch for, so the end-to-end tests can drive them through the real
// serial interface:
//
//   bricola-e2e-driver verifica URL ADDRESS LOG
//       the boot check of the board at a CAN address (0: the local board);
//       prints "codice XXXX versione V.V" and exits with the result code
//   bricola-e2e-driver carica URL FILE OPTIONS LOG
//       the resident-boot loader alone on the first module of FILE with the
//       given option bits (decimal or 0x hex); exits with the result code
//
//   bricola-e2e-driver leggi URL ADDRESS OUT RANGES LOG
//       the board backup of the board at a CAN address into OUT; RANGES is a
//       comma-separated list of START:END in hex (END exclusive) or names of
//       flash maps; prints
//       "codice XXXX versione V.V" and exits with the result code
//   bricola-e2e-driver confronta URL FILE LOG
//       the load job in verify-only mode on the preselected modules of FILE;
//       prints "diverso XXXXXX" when a byte differed; exits with the result code
//
//   bricola-e2e-driver micro URL DIR LOG
//       the micro check with the RAM-loader images of DIR; prints "micro NAME"
//       and exits with the result code
//   bricola-e2e-driver cancella URL DIR LOG
//       the MB90F345 chip erase with the RAM-loader images of DIR (the board is
//       taken as powered once the line is set); exits with the result code
//
// URL is an rfc2217:// address; it stands for COM3 of the jobs.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "comm/int_seriale.h"
#include "comm/porta_seriale.h"
#include "image/analisi.h"
#include "load/load_90fxxx.h"
#include "bootstrap/caricatori_ram.h"
#include "jobs/cancella_micro.h"
#include "jobs/caricamento.h"
#include "jobs/lettura_flash.h"
#include "jobs/verifica_boot.h"
#include "jobs/verifica_micro.h"
#include "platform/linee.h"
#include "platform/sistema.h"

namespace {

using namespace bricola;

constexpr int kPortaCom3 = 2;  // 0-based port number of COM3

void Collega(const std::string& url) {
  ImpostaApritorePorta([url](int numero, int baud, bool dtr, bool rts) -> std::unique_ptr<LineaSeriale> {
    if (numero != kPortaCom3 + 1) return nullptr;
    return ApriLinea(url, baud, dtr, rts);
  });
}

int Verifica(const std::string& url, int indirizzo, const std::string& log) {
  Collega(url);
  CVerificaBoot verifica;
  verifica.ImpostaRegistro(log);
  verifica.ImpostaPorta(kPortaCom3);
  int periodo = 10, fase = 0, esito = 0;
  if (!verifica.Avvia(indirizzo, &periodo, &fase, &esito)) return esito;
  std::uint16_t codice = 0;
  std::string versione = "?.?";
  int aggiorna = 0;
  while (verifica.Passo(&aggiorna, &fase, &esito, &codice, &versione)) Dormi(periodo);
  if (fase == ST_DONE) std::printf("codice %04X versione %s\n", codice, versione.c_str());
  return esito;
}

int Carica(const std::string& url, const std::string& file, int opzioni, const std::string& log) {
  Collega(url);
  CAnalisiFile analisi;
  static CProgDescr moduli[kMaxModuli];
  int numero = 0, tuttiValidi = 0, inutilizzabile = 0, grezzo = 0, errore = 0;
  if (!analisi.AnalizzaFile(file, moduli, kMaxModuli, numero, tuttiValidi, inutilizzabile, grezzo,
                            errore) ||
      numero < 1) {
    return RC_FILE_OPEN;
  }
  CProgDescr& m = moduli[0];
  CIntSeriale seriale;
  int esito = 0;
  if (!seriale.ApriLinea(kPortaCom3, 38400, 0, &esito)) return esito;
  CLoad90Fxxx loader;
  loader.ImpostaFileRegistro(log);
  int velocita[2];
  m.Velocita(velocita[0], velocita[1]);
  if (!loader.Avvia(file, m.inizio, m.fine, m.codice, m.Indirizzi(), m.TipoModulo(), m.TipoLoad(),
                    m.TipoMicro(), &seriale, 0, velocita, opzioni, &esito)) {
    seriale.ChiudiLinea();
    return esito;
  }
  int aggiorna = 0;
  while (loader.Passo(&aggiorna)) Dormi(loader.PeriodoTimer());
  loader.Termina();
  seriale.ChiudiLinea();
  return loader.fase == ST_DONE ? RC_OK : (loader.esito ? loader.esito : RC_INTERNAL);
}

int Leggi(const std::string& url, int indirizzo, const std::string& uscita, const std::string& elenco,
          const std::string& log) {
  Collega(url);
  std::vector<SIntervalloFlash> r;
  for (std::size_t da = 0; da <= elenco.size();) {
    std::size_t a = elenco.find(',', da);
    if (a == std::string::npos) a = elenco.size();
    const std::string testo = elenco.substr(da, a - da);
    da = a + 1;
    std::vector<SIntervalloFlash> mappa;
    if (IntervalliMappa(testo, &mappa)) {
      r.insert(r.end(), mappa.begin(), mappa.end());
      continue;
    }
    const auto due = testo.find(':');
    if (due == std::string::npos) return RC_NO_OPERATION;
    r.push_back({static_cast<std::uint32_t>(std::strtoul(testo.substr(0, due).c_str(), nullptr, 16)),
                 static_cast<std::uint32_t>(std::strtoul(testo.substr(due + 1).c_str(), nullptr, 16))});
  }
  CLetturaFlash lettura;
  lettura.ImpostaRegistro(log);
  lettura.ImpostaPorta(kPortaCom3);
  int periodo = 10, fase = 0, esito = 0;
  if (!lettura.Avvia(indirizzo, r, uscita, &periodo, &fase, &esito)) return esito;
  int aggiorna = 0;
  std::uint32_t fatti = 0, totale = 0;
  while (lettura.Passo(&aggiorna, &fase, &esito, &fatti, &totale)) Dormi(periodo);
  if (fase == ST_DONE) {
    std::printf("codice %04X versione %s\n", lettura.CodiceMacchina(), lettura.VersioneBoot().c_str());
  }
  return esito;
}

int Confronta(const std::string& url, const std::string& file, const std::string& log) {
  Collega(url);
  static CCaricamento job;
  job.ImpostaRegistro(log);
  job.ImpostaInterfaccia(kPortaCom3, INTERFACCIA_SERIALE, 0, 0);
  job.ImpostaSoloVerifica(1);
  int errore = 0;
  if (!job.Analizza(file, &errore)) return RC_FILE_OPEN;
  int periodo = 10, fase = 0, esito = 0;
  if (!job.Avvia(&periodo, &fase, &esito)) return esito;
  int aggiorna = 0, erroreModulo = 0;
  while (job.Passo(&aggiorna, &erroreModulo, &fase, &esito)) Dormi(periodo);
  std::uint32_t dove = 0;
  if (job.PrimoIndirizzoDiverso(&dove)) std::printf("diverso %06X\n", dove);
  return fase == ST_DONE ? RC_OK : (esito ? esito : RC_INTERNAL);
}

int Micro(const std::string& url, const std::string& cartella, const std::string& log) {
  Collega(url);
  ImpostaCartellaCaricatori(cartella);
  CVerificaMicro verifica;
  verifica.ImpostaRegistro(log);
  verifica.ImpostaPorta(kPortaCom3);
  int periodo = 10, fase = 0, esito = 0;
  if (!verifica.Avvia(&periodo, &fase, &esito)) return esito;
  std::string nome;
  int aggiorna = 0;
  while (verifica.Passo(&aggiorna, &fase, &esito, &nome)) Dormi(periodo);
  std::printf("micro %s\n", nome.c_str());
  return esito;
}

int Cancella(const std::string& url, const std::string& cartella, const std::string& log) {
  Collega(url);
  ImpostaCartellaCaricatori(cartella);
  CCancellaMicro cancella;
  cancella.ImpostaRegistro(log);
  cancella.ImpostaPorta(kPortaCom3);
  int periodo = 10, fase = 0, esito = 0;
  if (!cancella.Avvia(&periodo, &fase, &esito)) return esito;
  int aggiorna = 0;
  while (cancella.Passo(&aggiorna, &fase, &esito)) Dormi(periodo);
  return fase == ST_DONE ? RC_OK : (esito ? esito : RC_INTERNAL);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string comando = argc > 1 ? argv[1] : "";
  if (comando == "verifica" && argc == 5) {
    return Verifica(argv[2], static_cast<int>(std::strtol(argv[3], nullptr, 0)), argv[4]);
  }
  if (comando == "carica" && argc == 6) {
    return Carica(argv[2], argv[3], static_cast<int>(std::strtol(argv[4], nullptr, 0)), argv[5]);
  }
  if (comando == "leggi" && argc == 7) {
    return Leggi(argv[2], static_cast<int>(std::strtol(argv[3], nullptr, 0)), argv[4], argv[5], argv[6]);
  }
  if (comando == "confronta" && argc == 5) return Confronta(argv[2], argv[3], argv[4]);
  if (comando == "micro" && argc == 5) return Micro(argv[2], argv[3], argv[4]);
  if (comando == "cancella" && argc == 5) return Cancella(argv[2], argv[3], argv[4]);
  std::fputs("usage: bricola-e2e-driver verifica URL ADDRESS LOG\n"
             "       bricola-e2e-driver leggi URL ADDRESS OUT RANGES LOG\n"
             "       bricola-e2e-driver confronta URL FILE LOG\n"
             "       bricola-e2e-driver micro URL DIR LOG\n"
             "       bricola-e2e-driver cancella URL DIR LOG\n"
             "       bricola-e2e-driver carica URL FILE OPTIONS LOG\n",
             stderr);
  return 2;
}
