#include "jobs/verifica_boot.h"

#include <cstdio>

#include "base/esiti.h"

namespace bricola {

namespace {
constexpr int kBaudVerifica = 38400;
}

std::string TestoVersioneBoot(std::uint8_t versione) {
  if (versione == 0) return "3.1";
  if (versione == 0xFF) return "2.x";
  char testo[8];
  std::snprintf(testo, sizeof testo, "%d.%d", versione >> 4, versione & 0x0F);
  return testo;
}

void CVerificaBoot::ImpostaRegistro(const std::string& percorso) {
  ImpostaFileRegistro(percorso);
  loader.ImpostaFileRegistro(percorso);
}

int CVerificaBoot::Avvia(int indirizzo, int* periodoTimer, int* fase, int* esito) {
  if (inCorso) {
    *esito = RC_ALREADY_RUNNING;
    return 0;
  }
  if (!seriale.ApriLinea(porta, kBaudVerifica, 0, esito)) {
    Registra("errore apertura interfaccia");
    return 0;
  }
  Registra("interfaccia aperta");
  if (!loader.AvviaVerificaBoot(indirizzo, &seriale, esito)) {
    Registra("errore lettura versione");
    seriale.ChiudiLinea();
    return 0;
  }
  inCorso = 1;
  *periodoTimer = loader.PeriodoTimer();
  *fase = loader.fase;
  *esito = RC_OK;
  return 1;
}

int CVerificaBoot::Passo(int* aggiorna, int* fase, int* esito, std::uint16_t* codiceMacchina,
                         std::string* versione) {
  if (loader.Passo(aggiorna)) {
    *fase = loader.fase;
    *esito = loader.esito;
    return 1;
  }
  // The check succeeds whenever the board gave its machine code.
  if (loader.FirmaRicevuta()) {
    *codiceMacchina = loader.CodiceScheda();
    *versione = TestoVersioneBoot(loader.VersioneBoot());
    *fase = ST_DONE;
    *esito = RC_OK;
  } else {
    *versione = "?.?";
    *fase = ST_FAILED;
    *esito = loader.esito;
  }
  int esitoFerma = RC_OK;
  Ferma(&esitoFerma);
  return 0;
}

int CVerificaBoot::Ferma(int* esito) {
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
