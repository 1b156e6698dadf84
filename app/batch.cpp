#include "app/batch.h"

#include <cstdio>
#include <system_error>
#include <utility>

#include "base/esiti.h"
#include "base/testi.h"
#include "app/impostazioni.h"
#include "image/analisi.h"
#include "platform/interruzione.h"
#include "platform/linea_seriale.h"
#include "platform/sistema.h"

namespace bricola {

namespace {
constexpr int kPeriodoAttesa = 100;  // ms between two polls of the main thread
}

CBatchProc::~CBatchProc() { Ferma(); }

int CBatchProc::Avvia(const RichiestaBatch& richiesta) {
  ImpostaFileRegistro(richiesta.percorsoRegistro);
  // Written by the main thread before any worker exists.
  Registra("start");

  EnumeraPorte();
  caricamento.ImpostaRegistro(richiesta.percorsoRegistro);
  caricamento.ImpostaSveglia(&sveglia);
  lettura.ImpostaRegistro(richiesta.percorsoRegistro);
  portaSalvata = LeggiImpostazioneIntero(kValorePorta, 0);
  fileSalvato = LeggiImpostazioneStringa(kValoreFile, "");
  ScegliPorta(richiesta.portaTesto, portaSalvata);
  fileImmagine = richiesta.fileImmagine.empty() ? fileSalvato : richiesta.fileImmagine;

  inizioMs = MillisecondiMonotoni();
  if (richiesta.caricaSubito) return AvviaCaricamento();
  if (richiesta.leggiSubito) return AvviaLettura(richiesta.elenco);
  if (richiesta.cancellaChiave) return CancellaChiave();
  return RC_NO_OPERATION;
}

int CBatchProc::AvviaLettura(std::ostream* elenco) {
  lettura.ImpostaInterfaccia(NumeroPorta(), Usb() ? 1 : 0);
  if (!Chiave()) return RC_PORT_OPEN;
  int codice = RC_OK;
  if (fileImmagine == kFileElenco) {
    // The key's content, one module a line: number, code, class, length, name.
    if (!lettura.LeggiContenuto(&codice)) return codice;
    for (int i = 0; i < lettura.ModuliElencati(); ++i) {
      SInfoModulo info;
      int esitoModulo = RC_OK;
      char riga[64];
      if (lettura.InfoModulo(i, info, &esitoModulo)) {
        std::snprintf(riga, sizeof riga, "%d %04X %s %u ", i + 1, info.codice,
                      EtichettaModulo(info.tipoModulo), info.lunghezza);
        if (elenco) *elenco << riga << info.nome << '\n';
      } else {
        std::snprintf(riga, sizeof riga, "%d ???? ", i + 1);
        if (elenco) *elenco << riga << TestoDiEsito(esitoModulo, kInglese) << '\n';
      }
    }
    if (elenco) elenco->flush();
    return RC_OK;
  }
  int periodoJob = 0;
  int faseIniziale = 0;
  if (!lettura.Avvia(fileImmagine, 0, 1, &periodoJob, &faseIniziale, &codice)) return codice;
  fase = faseIniziale;
  esito = RC_OK;
  leggendo = true;
  const int avvio = AvviaWorker(
      [this](int& faseOut, int& esitoOut) {
        int aggiorna = 0;
        int erroreModulo = 0;
        return lettura.Passo(&aggiorna, &erroreModulo, &faseOut, &esitoOut) != 0;
      },
      periodoJob);
  if (avvio != RC_OK) {
    int ignorato = 0;
    lettura.Ferma(&ignorato);
  }
  return avvio;
}

int CBatchProc::CancellaChiave() {
  lettura.ImpostaInterfaccia(NumeroPorta(), Usb() ? 1 : 0);
  if (!Chiave()) return RC_PORT_OPEN;
  int codice = RC_OK;
  if (!lettura.CancellaChiave(&codice)) return codice;
  return RC_OK;
}

int CBatchProc::AvviaCaricamento() {
  // Batch mode always loads over a local connection, reading back in the
  // optimised form (only on microcontrollers that need it).
  caricamento.ImpostaInterfaccia(NumeroPorta(), TipoInterfaccia(), 0, 0);
  caricamento.verificaScrittura = 1;
  caricamento.verificaOttimizzata = 1;
  int errore = 0;
  if (!caricamento.Analizza(fileImmagine, &errore)) {
    if (errore == ERRORE_APERTURA) return RC_FILE_OPEN;
    if (errore >= 2 && errore <= ERRORE_SELETTORE) return RC_FILE_CORRUPT;
    return RC_INTERNAL;
  }
  int codice = RC_OK;
  if (Chiave() && !caricamento.ChiaveCapiente(&codice)) return codice;

  int periodoJob = 0;
  int faseIniziale = 0;
  if (!caricamento.Avvia(&periodoJob, &faseIniziale, &codice)) return codice;
  fase = faseIniziale;
  esito = RC_OK;
  leggendo = false;
  caricando = true;
  moduloVisto = -1;
  const int avvio = AvviaWorker(
      [this](int& faseOut, int& esitoOut) {
        int aggiorna = 0;
        int erroreModulo = 0;
        return caricamento.Passo(&aggiorna, &erroreModulo, &faseOut, &esitoOut) != 0;
      },
      periodoJob);
  if (avvio != RC_OK) {
    int ignorato = 0;
    caricamento.Ferma(&ignorato);
    caricando = false;
  }
  return avvio;
}

bool CBatchProc::Avanzamento(SAvanzamento& a) {
  if (!caricando) return false;
  int modulo = 0, totali = 0, fatti = 0, ripetuti = 0, secondi = 0;
  if (!caricamento.Progresso(&modulo, &totali, &fatti, &ripetuti, &secondi)) return false;
  const std::int64_t adesso = MillisecondiMonotoni();
  if (modulo != moduloVisto) {
    moduloVisto = modulo;
    inizioModuloMs = adesso;
  }
  a.fase = fase.load();
  a.modulo = modulo + 1;
  a.totali = totali;
  a.fatti = fatti;
  a.millisecondiModulo = adesso - inizioModuloMs;
  a.secondiTotali = static_cast<int>((adesso - inizioMs) / 1000);
  return true;
}

void CBatchProc::Stato(bool& inCorsoOut, int& faseOut, int& esitoOut) const {
  inCorsoOut = inCorso.load();
  faseOut = fase.load();
  esitoOut = esito.load();
}

void CBatchProc::Ferma() {
  richiestaStop = true;
  sveglia.Segnala();
  if (thread.joinable()) thread.join();
  inCorso = false;
}

int CBatchProc::AttendiFine(const CBatchProc& runner) {
  bool attivo = true;
  int faseAttuale = 0;
  int esitoAttuale = 0;
  for (;;) {
    // The poll's wait ends at once when the worker has ended.
    runner.fineWorker.Attendi(kPeriodoAttesa);
    runner.Stato(attivo, faseAttuale, esitoAttuale);
    if (!attivo) return esitoAttuale;
  }
}

int CBatchProc::AttendiFine(CBatchProc& runner, CAvanzamento& avanzamento) {
  bool attivo = true;
  int faseAttuale = 0;
  int esitoAttuale = 0;
  for (;;) {
    // The poll's wait ends at once when the worker has ended.
    runner.fineWorker.Attendi(kPeriodoAttesa);
    runner.Stato(attivo, faseAttuale, esitoAttuale);
    if (!attivo) return esitoAttuale;
    SAvanzamento a;
    if (runner.Avanzamento(a)) avanzamento.Aggiorna(a, MillisecondiMonotoni());
  }
}

int CBatchProc::AvviaWorker(Passo passo, int periodoMs) {
  Ferma();
  sveglia.Azzera();
  fineWorker.Azzera();
  periodo = periodoMs;
  richiestaStop = false;
  inCorso = true;
  try {
    thread = std::thread(&CBatchProc::Ciclo, this, std::move(passo));
  } catch (const std::system_error&) {
    inCorso = false;
    return RC_TIMER_CREATE;
  }
  return RC_OK;
}

void CBatchProc::Ciclo(Passo passo) {
  // The worker runs at the highest normal priority; a refusal only costs pace.
  (void)AlzaPrioritaThread();
  while (!richiestaStop) {
    if (const int segnale = SegnaleInterruzione()) {
      Interrompi(segnale);
      break;
    }
    int faseNuova = fase;
    int esitoNuovo = esito;
    const bool continua = passo(faseNuova, esitoNuovo);
    fase = faseNuova;
    esito = esitoNuovo;
    if (!continua) break;
    // The period is the longest wait: the interface ends it as soon as what
    // the step armed has come.
    sveglia.Attendi(periodo);
  }
  inCorso = false;
  fineWorker.Segnala();
}

void CBatchProc::Interrompi(int segnale) {
  // The job ends through its own stop step: the line closed, a board in its
  // bootstrap released with its final pulse, a key closed.
  RegistraConcat("interruzione dal segnale ", NomeSegnale(segnale));
  int ignorato = 0;
  if (leggendo) {
    lettura.Ferma(&ignorato);
  } else if (caricando) {
    caricamento.Ferma(&ignorato);
  }
  fase = ST_FAILED;
  segnaleArresto = segnale;
  Registra("stop");
}

}  // namespace bricola
