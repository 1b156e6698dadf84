#include "app/bricola_app.h"

#include <cstdio>
#include <ostream>

#include "app/avanzamento.h"
#include "app/batch.h"
#include "app/finestra.h"
#include "app/impostazioni.h"
#include "app/linea_comando.h"
#include "app/porte.h"
#include "bootstrap/caricatori_ram.h"
#include "base/testi.h"
#include "platform/interruzione.h"
#include "platform/sistema.h"

namespace bricola {

namespace {

// Longest temporary directory taken for the log; beyond it the default is used.
constexpr std::size_t kMaxCartellaTemporanea = 512;
constexpr const char* kCartellaPredefinita = "/tmp";

// Exit status when the window cannot be shown.
constexpr int kEsitoSenzaFinestra = 1;

// A batch job stopped by a signal exits with 128 + the signal's number (130 for
// SIGINT, 143 for SIGTERM), as a shell reports a program the signal ended, and
// shows "link interrupted".
constexpr int kEsitoSegnale = 128;
constexpr int kTestoCollegamentoInterrotto = 259;

}  // namespace

const std::string_view kTestoUso =
    "Bricola [-?] [-C {Com}] [-B] [-E] [-L] [-R] [-X] [\"{Filename}\"]\r\n"
    "  Manage flash programming for Tarvolinx vending machines.\r\n"
    "\r\n"
    "Usage:\r\n"
    "  [-?]\r\n"
    "              Show this information.\r\n"
    "  [-B]\r\n"
    "              Batch mode.\r\n"
    "  [-S]\r\n"
    "              Start the loading process immediately.\r\n"
    "  [-R]\r\n"
    "              Start the reading process immediately.\r\n"
    "  [-E]\r\n"
    "              Erase the content of the Memox.\r\n"
    "  [-X]\r\n"
    "              Exit at the end of process, if no errors.\r\n"
    "  [-C {Com}]\r\n"
    "              Select communication port n (COMn), 50+n (LPTn), 61 (USB).\r\n"
    "  [-L]\r\n"
    "              Generate log file for troubleshooting pourpose.\r\n";

std::string PercorsoRegistro(std::string_view cartella, const OraLocale& data) {
  char nome[48];
  std::snprintf(nome, sizeof nome, "%s%04d%02d%02d.txt", "BricolaLog", data.anno, data.mese,
                data.giorno);
  std::string percorso(cartella);
  if (percorso.empty() || percorso.back() != '/') percorso += '/';
  percorso += nome;
  return percorso;
}

void CBricolaApp::LeggiArgomenti(std::span<const std::string> argomenti) {
  CParLineaComando linea;
  LeggiLineaComando(linea, argomenti);

  nomeFile = linea.FileConfermato() ? linea.NomeFile() : std::string();
  portaTesto = linea.portaTesto;
  caricaSubito = linea.caricaSubito;
  leggiSubito = linea.leggiSubito;
  cancellaChiave = linea.cancellaChiave;
  esciAllaFine = linea.esciAllaFine;
  batch = linea.batch;
  aiuto = linea.aiuto;

  percorsoRegistro.clear();
  if (linea.registro) {
    std::string cartella = CartellaTemporanea();
    if (cartella.empty() || cartella.size() > kMaxCartellaTemporanea) cartella = kCartellaPredefinita;
    percorsoRegistro = PercorsoRegistro(cartella, OraAttuale());
  }
}

ModoAvvio CBricolaApp::Modo() const {
  if (batch) return ModoAvvio::kBatch;
  if (aiuto) return ModoAvvio::kUso;
  return ModoAvvio::kFinestra;
}

int CBricolaApp::EseguiModo(std::ostream& uscita, std::ostream& errori) {
  switch (Modo()) {
    case ModoAvvio::kBatch:
      return EseguiBatch(uscita, errori);
    case ModoAvvio::kUso:
      // A message box on a desktop, else standard output.
      if (desktop.mostraUso && desktop.disponibile && desktop.disponibile()) {
        desktop.mostraUso(kTestoUso);
        return 0;
      }
      uscita << kTestoUso;
      uscita.flush();
      return 0;
    case ModoAvvio::kFinestra:
      break;
  }
  if (!desktop.esegui) {
    errori << "Bricola: the main window is not available in this build; "
              "use -B for batch mode or -? for the usage.\n";
    errori.flush();
    return kEsitoSenzaFinestra;
  }
  if (!desktop.disponibile || !desktop.disponibile()) {
    errori << "Bricola: no display to show the main window on (DISPLAY and WAYLAND_DISPLAY are not set); "
              "use -B for batch mode or -? for the usage.\n";
    errori.flush();
    return kEsitoSenzaFinestra;
  }
  SAvvioFinestra avvio;
  avvio.portaTesto = portaTesto;
  avvio.nomeFile = nomeFile;
  avvio.percorsoRegistro = percorsoRegistro;
  avvio.caricaSubito = caricaSubito;
  avvio.leggiSubito = leggiSubito;
  avvio.cancellaChiave = cancellaChiave;
  avvio.esciAllaFine = esciAllaFine;
  return desktop.esegui(avvio);
}

int CBricolaApp::Esegui(std::span<const std::string> argomenti, std::ostream& uscita,
                        std::ostream& errori) {
  // Settings live under the company's folder.
  ImpostaAziendaImpostazioni("Corvanti");
  LeggiArgomenti(argomenti);
  // Where the ROM-bootstrap loaders find their RAM-loader images.
  ImpostaCartellaCaricatori(LeggiImpostazioneSezione(kSezioneBootstrap, kValoreCartellaBootstrap, ""));
  RegistraPorteAvvio(percorsoRegistro);
  return EseguiModo(uscita, errori);
}

int CBricolaApp::EseguiBatch(std::ostream& uscita, std::ostream& errori) {
  RichiestaBatch richiesta;
  richiesta.elenco = &uscita;
  richiesta.portaTesto = portaTesto;
  richiesta.fileImmagine = nomeFile;
  richiesta.percorsoRegistro = percorsoRegistro;
  richiesta.caricaSubito = caricaSubito;
  richiesta.leggiSubito = leggiSubito;
  richiesta.cancellaChiave = cancellaChiave;

  // SIGINT and SIGTERM stop the job through its stop step (a second one ends
  // the process at once).
  if (gestisciInterruzione) InstallaGestoreInterruzione();
  CBatchProc runner;
  CAvanzamento avanzamento(errori, erroriSuTerminale);
  int esito = runner.Avvia(richiesta);
  // A start failure ends batch mode at once with its code; otherwise wait for the worker.
  if (esito == 0) esito = CBatchProc::AttendiFine(runner, avanzamento);
  bool attivo = false;
  int fase = 0;
  int ultimo = 0;
  runner.Stato(attivo, fase, ultimo);
  if (const int segnale = runner.Interruzione()) {
    // The status a shell gives a program ended by that signal.
    avanzamento.FineTesto(Testo(kTestoCollegamentoInterrotto + kInglese));
    esitoBatch = kEsitoSegnale + segnale;
    return esitoBatch;
  }
  avanzamento.Fine(fase, esito);
  esitoBatch = esito;
  return esitoBatch;
}

}  // namespace bricola
