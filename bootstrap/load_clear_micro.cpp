#include "bootstrap/load_clear_micro.h"

#include "base/esiti.h"

namespace bricola {

namespace {
constexpr int kVelocitaBootstrap = 4800;
constexpr int kVelocitaCaricatore = 38400;
}  // namespace

CLoadClearMicro::CLoadClearMicro()
    : CLoadBootstrap(Dialetto::F2mc16Lx, kCaricatore90F345, kLunghezza90F345, {{0x0190, 1757}},
                     P_FINE) {}

int CLoadClearMicro::Avvia(const std::string&, std::uint32_t, std::uint32_t, std::uint16_t,
                           const std::uint32_t*, int, int, int tipoMicro, CInterfaccia* linea, int,
                           const int*, int, int* esitoAvvio) {
  lineaToccata = false;
  velocitaAvvio = kVelocitaBootstrap;
  velocitaCaricatore = kVelocitaCaricatore;
  Collega(linea);
  PrimoPezzo();
  byteTotali = byteRimanenti = static_cast<int>(lunghezzaCaricatore);
  byteFatti = byteRipetuti = 0;
  if (tipoMicro != kMicroAmmesso) {
    // Only the MB90F345's RAM loader knows the chip erase.
    *esitoAvvio = RC_BOARD_INCOMPATIBLE;
    return Fallisci(RC_BOARD_INCOMPATIBLE);
  }
  if (!CaricaImmagine(esitoAvvio)) return 0;
  lineaToccata = true;
  RegistraValore("velocita' %d bit/s", kVelocitaBootstrap);
  bool ok = AbbassaRts() && ImpostaBitStopLinea(1) && ImpostaVelocita(kVelocitaBootstrap);
  if (ok) {
    Registra("impostazione RTS");
    // No reset: the user powers the board up with the mode line held.
    ok = AlzaRts() != 0;
  }
  if (!ok) {
    *esitoAvvio = RC_PORT_ACCESS;
    return Fallisci(RC_PORT_ACCESS);
  }
  tentativi = 3;
  passoCorrente = P_INVIO_CHECK;
  esito = RC_OK;
  fase = ST_CHECK_MICRO;
  tempoInizio = tempoUltimo = Secondi();
  *esitoAvvio = esito;
  return 1;
}

int CLoadClearMicro::Termina() {
  if (!lineaToccata) return 1;
  lineaToccata = false;
  return AbbassaRts();
}

int CLoadClearMicro::Passo(int* aggiorna) {
  *aggiorna = 0;
  int continua = 1;
  switch (passoCorrente) {
    case P_INVIO_CHECK: continua = InvioCheck(); break;
    case P_CHECK: continua = CheckRicevi(aggiorna); break;
    case P_BLOCCO: continua = BloccoCaricatore(aggiorna); break;
    case P_ERASE_CHIP: continua = EraseChipRicevi(); break;
    default: break;  // the end step
  }
  if (!continua) *aggiorna = 1;
  return continua;
}

int CLoadClearMicro::InvioCheck() {
  Registra("invio check");
  if (!InviaByte(&kCheck16Lx, 1, 1, 2000)) return Fallisci(RC_PACKET_SEND);
  passoCorrente = P_CHECK;
  return 1;
}

int CLoadClearMicro::CheckRicevi(int* aggiorna) {
  int codice = RC_REPLY_TIMEOUT;
  if (Raccogli(1)) {
    if (risposta[0] == kCheckOk16Lx) {
      Registra("ricevuto check");
      tentativi = 1;
      if (!InviaCaricatore(aggiorna)) return 0;
      passoCorrente = P_BLOCCO;
      fase = ST_SEND_LOADER;
      return 1;
    }
    RegistraValore("ricevuto errato [%02x]", risposta[0]);
    codice = RC_UNEXPECTED_REPLY;
  } else if (!Scaduto()) {
    return 1;
  }
  if (!Tentativo("check timeout provvisorio", "check timeout definitivo", codice)) return 0;
  return InvioCheck();
}

int CLoadClearMicro::BloccoCaricatore(int* aggiorna) {
  switch (BloccoRicevi(aggiorna)) {
    case ACK_ATTESA:
    case ACK_PROSSIMO: return 1;
    case ACK_FINE: return 0;
    default: break;
  }
  Registra("invio esecuzione");
  ScriviGrezzo(kEsegui16Lx, 5, 0);
  Orologio().Dormi(200);
  *aggiorna = 1;
  RegistraValore("velocita' %d bit/s", kVelocitaCaricatore);
  if (!ImpostaVelocita(kVelocitaCaricatore)) return Fallisci(RC_PORT_ACCESS);
  // A request that cannot be written shows up as the missing reply.
  InviaTrama("InvioEraseChip:", TramaEraseChip(), kEraseChipRisposta, kEraseChipMs);
  tentativi = 1;
  passoCorrente = P_ERASE_CHIP;
  esito = RC_OK;
  fase = ST_ERASING;
  return 1;
}

int CLoadClearMicro::EraseChipRicevi() {
  if (!Raccogli(kEraseChipRisposta)) {
    const int codice = ErroreRicezione("EraseRicevi: ", StileTimeout::Byte);
    return codice ? Fallisci(codice) : 1;
  }
  RegistraMargine("ricevuto erase margine %d tick");
  if (risposta[0] != kEraseChip) {
    Registra("EraseRicevi: inizio risposta errato");
    return Fallisci(RC_REPLY_CRC);
  }
  if (!VerificaRisposta(risposta + 1, 4, kEraseChip)) {
    Registra("EraseRicevi: risposta errata");
    return Fallisci(RC_REPLY_CRC);
  }
  if (risposta[2] != kStatoOk) {
    Registra("EraseRicevi: impossibile cancellare il chip");
    return Fallisci(RC_BLOCK_ERASE);
  }
  return Riuscito();
}

}  // namespace bricola
