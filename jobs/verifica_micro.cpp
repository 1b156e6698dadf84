#include "jobs/verifica_micro.h"

#include "base/esiti.h"

namespace bricola {

namespace {
// What the micro check asks of the loader: any family, probed in full.
constexpr int kTipoModuloBoot = 1;
constexpr int kTipoLoadVerifica = 3;
constexpr int kTipoMicroVerifica = 7;
}  // namespace

void CVerificaMicro::ImpostaRegistro(const std::string& percorso) {
  ImpostaFileRegistro(percorso);
  loader.ImpostaFileRegistro(percorso);
}

int CVerificaMicro::GeneraReset(int conRts, int millisecondi, int* esito) {
  if (inCorso) {
    *esito = RC_ALREADY_RUNNING;
    return 0;
  }
  if (!seriale.ApriLinea(porta, kVelocitaApertura, 0, esito)) {
    Registra("errore apertura interfaccia");
    return 0;
  }
  Registra("interfaccia aperta");
  const int ok = loader.GeneraReset(&seriale, conRts, millisecondi, esito);
  seriale.ChiudiLinea();
  if (!ok) {
    Registra("errore generazione reset");
    return 0;
  }
  *esito = RC_OK;
  return 1;
}

int CVerificaMicro::Avvia(int* periodoTimer, int* fase, int* esito) {
  if (inCorso) {
    *esito = RC_ALREADY_RUNNING;
    return 0;
  }
  if (!seriale.ApriLinea(porta, kVelocitaApertura, 0, esito)) {
    Registra("errore apertura interfaccia");
    return 0;
  }
  Registra("interfaccia aperta");
  if (!loader.Avvia({}, 0, 0, 0, nullptr, kTipoModuloBoot, kTipoLoadVerifica, kTipoMicroVerifica,
                    &seriale, 1, nullptr, 0, esito)) {
    Registra("errore lettura versione");
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

int CVerificaMicro::Passo(int* aggiorna, int* fase, int* esito, std::string* nome) {
  if (!inCorso) {
    *fase = ST_NONE;
    *esito = RC_NOT_RUNNING;
    return 0;
  }
  if (loader.Passo(aggiorna)) {
    *fase = loader.fase;
    *esito = loader.esito;
    return 1;
  }
  // The check never fails once started: a micro nobody answered for is
  // shown by its name for "unknown".
  std::uint8_t codice = kMicroIgnoto;
  bool daBoot = false;
  loader.CodiceMicro(&codice, &daBoot);
  *nome = NomeMicro(codice);
  *fase = ST_DONE;
  *esito = RC_OK;
  int esitoFerma = RC_OK;
  Ferma(&esitoFerma);
  return 0;
}

int CVerificaMicro::Ferma(int* esito) {
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

}  // namespace bricola
