#include "key/int_parallela.h"

#include "base/esiti.h"

namespace bricola {

int CIntParallela::ApriLinea(int porta, int, int svuota, int* esito) {
  portaAperta = porta;
  if (aperta) ChiudiLinea();
  if (!dispositivoChiave || !dispositivoChiave->Apri(porta)) {
    *esito = RC_PORT_OPEN;
    return 0;
  }
  const auto fallisci = [&](int codice) {
    dispositivoChiave->Chiudi();
    *esito = codice;
    return 0;
  };
  // Asked on every open: the answer also chooses the driver's request set.
  const bool esteso = dispositivoChiave->DriverEsteso();
  int tipo = 0;
  if (!dispositivoChiave->RiconosciChiave(&tipo)) return fallisci(RC_KEY_NOT_FOUND);
  switch (tipo) {
    case kChiaveAssente: return fallisci(RC_KEY_ABSENT);
    case kChiave264x4096: break;
    case kChiave528x4096:
    case kChiave528x8192:
      if (!esteso) return fallisci(RC_KEY_DRIVER);
      break;
    case kChiaveGuasta: return fallisci(RC_KEY_FAULT);
    default: return fallisci(RC_KEY_UNKNOWN);
  }
  if (svuota && !dispositivoChiave->CancellaPagina(0)) return fallisci(RC_BLOCK_WRITE);
  aperta = true;
  *esito = RC_OK;
  return 1;
}

int CIntParallela::ChiudiLinea() {
  if (!dispositivoChiave) return 0;
  aperta = false;
  return dispositivoChiave->Chiudi();
}

int CIntParallela::CancellaTuttaChiave() { return dispositivoChiave ? dispositivoChiave->CancellaTutto() : 0; }

}  // namespace bricola
