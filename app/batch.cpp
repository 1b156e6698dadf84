#include "app/batch.h"

#include <system_error>
#include <utility>

#include "app/esiti.h"
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

  if (richiesta.caricaSubito) {
    return RC_INTERNAL;  // the load is not available in batch mode yet
  }
  if (richiesta.leggiSubito) {
    return RC_INTERNAL;  // the read of the key is not available in batch mode yet
  }
  if (richiesta.cancellaChiave) {
    return RC_INTERNAL;  // erasing the key is not available in batch mode yet
  }
  return RC_NO_OPERATION;
}

void CBatchProc::Stato(bool& inCorsoOut, int& faseOut, int& esitoOut) const {
  inCorsoOut = inCorso.load();
  faseOut = fase.load();
  esitoOut = esito.load();
}

void CBatchProc::Ferma() {
  richiestaStop = true;
  if (thread.joinable()) thread.join();
  inCorso = false;
}

int CBatchProc::AttendiFine(const CBatchProc& runner) {
  bool attivo = true;
  int faseAttuale = 0;
  int esitoAttuale = 0;
  for (;;) {
    Dormi(kPeriodoAttesa);
    runner.Stato(attivo, faseAttuale, esitoAttuale);
    if (!attivo) return esitoAttuale;
  }
}

int CBatchProc::AvviaWorker(Passo passo, int periodoMs) {
  Ferma();
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
  while (!richiestaStop) {
    int faseNuova = fase;
    int esitoNuovo = esito;
    const bool continua = passo(faseNuova, esitoNuovo);
    fase = faseNuova;
    esito = esitoNuovo;
    if (!continua) break;
    Dormi(periodo);
  }
  inCorso = false;
}

}  // namespace bricola

