#include "jobs/cancella_micro.h"

#include "base/esiti.h"

namespace bricola {

namespace {
constexpr int kTipoModuloBoot = 1;
constexpr int kTipoLoadCancella = 7;
constexpr int kTipoMicro90F345 = 4;
}  // namespace

void CCancellaMicro::ImpostaRegistro(const std::string& percorso) {
  ImpostaFileRegistro(percorso);
  loader.ImpostaFileRegistro(percorso);
}

int CCancellaMicro::Avvia(int* periodoTimer, int* fase, int* esito) {
  if (inCorso) {
    *esito = RC_ALREADY_RUNNING;
    return 0;
  }
  if (!seriale.ApriLinea(porta, kVelocitaApertura, 0, esito)) {
    Registra("errore apertura interfaccia");
    return 0;
  }
  Registra("interfaccia aperta");
  if (!loader.Avvia({}, 0, 0, 0, nullptr, kTipoModuloBoot, kTipoLoadCancella, kTipoMicro90F345,
                    &seriale, 1, nullptr, 0, esito)) {
    Registra("errore cancellazione micro");
    loader.Termina();
    seriale.ChiudiLinea();
    return 0;
  }
  inCorso = 1;
  *periodoTimer = loader.PeriodoTimer();
  *fase = loader.fase;
  *esito = RC_OK;
  return 1;
}

int CCancellaMicro::Passo(int* aggiorna, int* fase, int* esito) {
  if (!inCorso) {
    *fase = ST_NONE;
    *esito = RC_NOT_RUNNING;
    return 0;
  }
  const int continua = loader.Passo(aggiorna);
  *fase = loader.fase;
  *esito = loader.esito;
  if (continua) return 1;
  int esitoFerma = RC_OK;
  Ferma(&esitoFerma);
  return 0;
}

int CCancellaMicro::Ferma(int* esito) {
  if (!inCorso) {
    *esito = RC_NOT_RUNNING;
    return 0;
  }
  loader.Termina();
  inCorso = 0;
  seriale.ChiudiLinea();
  Registra("chiusura interfaccia");
  *esito = RC_OK;
  return 1;
}

int CCancellaMicro::Progresso(int* totali, int* fatti, int* secondi) const {
  *totali = loader.byteTotali;
  *fatti = loader.byteFatti;
  *secondi = loader.tempoUltimo - loader.tempoInizio;
  return 1;
}

}  // namespace bricola
