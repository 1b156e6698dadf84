#include "bootstrap/load_check_micro.h"

#include "base/esiti.h"

namespace bricola {

namespace {

constexpr std::uint8_t kRichiestaMicro = 0xA5;
constexpr std::uint8_t kRispostaMicro = 0xA6;
constexpr std::uint8_t kMicroBootFr = 8;  // GetMicro of a resident boot on an MB91F465

}  // namespace

const char* NomeMicro(std::uint8_t codice) {
  switch (codice) {
    case kMicro90F549: return "Fu90F549";
    case kMicro90F345: return "Fu90F345";
    case kMicro90F497: return "Fu90F497";
    case kMicro96F338: return "Fu96F338";
    case kMicro91F465: return "Fu91F465";
    default: return "Fu9!F!!!";
  }
}

CLoadCheckMicro::CLoadCheckMicro()
    : CLoadBootstrap(Dialetto::F2mc16Lx, kCaricatoreCheckMicro, kLunghezzaCheckMicro,
                     {{0x0990, 198}, {0x0190, 556}}, P_FINE) {
  faseCaricatore = 0;  // the phase stays ST_CHECK_MICRO
  testaScritturaBlocco = false;
}

int CLoadCheckMicro::Avvia(const std::string&, std::uint32_t, std::uint32_t, std::uint16_t,
                           const std::uint32_t*, int, int, int tipoMicro, CInterfaccia* linea, int,
                           const int*, int, int* esitoAvvio) {
  lineaToccata = false;
  Collega(linea);
  codiceMicro = kMicroIgnoto;
  viaBoot = false;
  PrimoPezzo();
  byteTotali = static_cast<int>(lunghezzaCaricatore);
  byteFatti = byteRipetuti = 0;
  byteRimanenti = byteTotali;
  switch (tipoMicro) {
    case 1: modoProva = 4; break;
    case 2: modoProva = 3; break;
    case 4: modoProva = 5; break;
    case 6: modoProva = 2; break;
    case 8: modoProva = 1; break;
    default: modoProva = 0; break;
  }
  esito = RC_OK;
  if (!CaricaImmagine(esitoAvvio)) return 0;
  tempoInizio = tempoUltimo = Secondi();
  const Prova prima = modoProva == 2 ? Prova::F2mc16Fx
                      : (modoProva >= 3 && modoProva <= 5) ? Prova::F2mc16Lx
                                                             : Prova::Fr;
  const int avviata = AvviaProva(prima);
  *esitoAvvio = esito;
  return (avviata || fase == ST_DONE) ? 1 : 0;
}

int CLoadCheckMicro::Termina() {
  if (!lineaToccata) return 1;
  lineaToccata = false;
  if (!AbbassaRts()) return 0;
  return ImpulsoDtrStandard(0);
}

int CLoadCheckMicro::GeneraReset(CInterfaccia* linea, int conRts, int millisecondi, int* esitoReset) {
  Collega(linea);
  RegistraValore("velocita' %d bit/s", 4800);
  bool ok = AbbassaRts() && ImpostaBitStopLinea(1) && ImpostaVelocita(4800);
  if (ok) {
    Registra("inizio impulso DTR");
    ok = ImpulsoDtr(conRts, millisecondi) != 0;
  }
  if (ok) {
    Registra("fine impulso DTR");
    Orologio().Dormi(400);
    RegistraValore("fine attesa %d ms", 400);
  }
  *esitoReset = ok ? RC_OK : RC_PORT_ACCESS;
  return ok ? 1 : 0;
}

// --- probes -----------------------------------------------------------------------------------

CLoadCheckMicro::Prova CLoadCheckMicro::Seguente(Prova p) const {
  switch (modoProva) {
    case 0:
      if (p == Prova::Fr) return Prova::F2mc16Fx;
      if (p == Prova::F2mc16Fx) return Prova::F2mc16Lx;
      if (p == Prova::F2mc16Lx) return Prova::Boot;
      return Prova::Nessuna;
    case 1: return p == Prova::Fr ? Prova::Boot : Prova::Nessuna;
    default: return Prova::Nessuna;
  }
}

int CLoadCheckMicro::AvviaProva(Prova p) {
  fase = ST_CHECK_MICRO;
  esito = RC_OK;
  bool ok = true;
  switch (p) {
    case Prova::Fr:
      ok = ImpulsoProva(9600, false, 40);
      tentativi = 5;
      break;
    case Prova::F2mc16Fx:
      ok = ImpulsoProva(19200, true, 450);
      tentativi = 5;
      passoCorrente = P_INVIO_CHECK_338;
      break;
    case Prova::F2mc16Lx:
      ok = ImpulsoProva(4800, true, 400);
      tentativi = 3;
      passoCorrente = P_INVIO_CHECK;
      PrimoPezzo();
      break;
    case Prova::Boot:
      ok = ImpulsoProva(38400, false, 400);
      tentativi = 3;
      passoCorrente = P_INVIO_GET_FIRMA;
      break;
    case Prova::Nessuna:
      // No probe answered: the micro is not identified, which is no failure.
      return Riuscito();
  }
  if (!ok) return Fallisci(RC_PORT_ACCESS);
  if (p == Prova::Fr) return InvioCheck465();
  return 1;
}

int CLoadCheckMicro::ProvaFallita(Prova p) { return AvviaProva(Seguente(p)); }

// --- steps --------------------------------------------------------------------------------------

int CLoadCheckMicro::Passo(int* aggiorna) {
  *aggiorna = 0;
  int continua = 1;
  switch (passoCorrente) {
    case P_CHECK_465: continua = Check465Ricevi(); break;
    case P_INVIO_CHECK_338: continua = InvioCheck338(); break;
    case P_CHECK_338: continua = Check338Ricevi(); break;
    case P_INVIO_CHECK: continua = InvioCheck(); break;
    case P_CHECK: continua = CheckRicevi(aggiorna); break;
    case P_BLOCCO: continua = BloccoCaricatore(aggiorna); break;
    case P_CODICE_MICRO: continua = CodiceMicroRicevi(); break;
    case P_INVIO_GET_FIRMA: continua = InvioGetFirma(); break;
    case P_GET_FIRMA: continua = GetFirmaRicevi(); break;
    case P_MICRO: continua = MicroRicevi(); break;
    default: break;  // the end step
  }
  AggiornaOgniSecondo(aggiorna);
  if (!continua) *aggiorna = 1;
  return continua;
}

int CLoadCheckMicro::InvioCheck465() {
  Registra("invio check 465");
  if (!InviaByte(&kCheckFr, 1, 1, 50)) return Fallisci(RC_PACKET_SEND);
  passoCorrente = P_CHECK_465;
  return 1;
}

int CLoadCheckMicro::Check465Ricevi() {
  if (Raccogli(1)) {
    if (risposta[0] == kCheckOkFr) {
      Registra("ricevuto check 465");
      codiceMicro = kMicro91F465;
      return Riuscito();
    }
    RegistraValore("ricevuto errato [%02x]", risposta[0]);
  } else if (!Scaduto()) {
    return 1;
  }
  if (tentativi-- <= 1) {
    Registra("check 465 timeout definitivo");
    return ProvaFallita(Prova::Fr);
  }
  Registra("check 465 timeout provvisorio");
  return InvioCheck465();
}

int CLoadCheckMicro::InvioCheck338() {
  Registra("invio check 338");
  if (!InviaByte(kCheck16Fx, 5, 1, 50)) return Fallisci(RC_PACKET_SEND);
  passoCorrente = P_CHECK_338;
  return 1;
}

int CLoadCheckMicro::Check338Ricevi() {
  if (Raccogli(1)) {
    if (risposta[0] == kCheckOk16Fx || risposta[0] == kCheckAccettato16Fx) {
      Registra(risposta[0] == kCheckOk16Fx ? "ricevuto check 338"
                                           : "ricevuto check 338 errore, ma accettato");
      codiceMicro = kMicro96F338;
      return Riuscito();
    }
    RegistraValore("ricevuto errato [%02x]", risposta[0]);
    byteRicevuti = 0;  // a stray byte: wait on under the same deadline
    return 1;
  }
  if (!Scaduto()) return 1;
  if (tentativi-- <= 1) {
    Registra("check 338 timeout definitivo");
    return ProvaFallita(Prova::F2mc16Fx);
  }
  Registra("check 338 timeout provvisorio");
  return InvioCheck338();
}

int CLoadCheckMicro::InvioCheck() {
  Registra("invio check");
  if (!InviaByte(&kCheck16Lx, 1, 1, 2000)) return Fallisci(RC_PACKET_SEND);
  passoCorrente = P_CHECK;
  return 1;
}

int CLoadCheckMicro::CheckRicevi(int* aggiorna) {
  if (Raccogli(1)) {
    if (risposta[0] == kCheckOk16Lx) {
      Registra("ricevuto check");
      tentativi = 1;
      if (!InviaCaricatore(aggiorna)) return 0;
      passoCorrente = P_BLOCCO;
      return 1;
    }
    RegistraValore("ricevuto errato [%02x]", risposta[0]);
  } else if (!Scaduto()) {
    return 1;
  }
  if (tentativi-- <= 1) {
    Registra("check timeout definitivo");
    return ProvaFallita(Prova::F2mc16Lx);
  }
  Registra("check timeout provvisorio");
  return InvioCheck();
}

int CLoadCheckMicro::BloccoCaricatore(int* aggiorna) {
  switch (BloccoRicevi(aggiorna)) {
    case ACK_ATTESA:
    case ACK_PROSSIMO: return 1;
    case ACK_FINE: return 0;
    default: break;
  }
  Registra("invio esecuzione");
  ScriviGrezzo(kEsegui16Lx, 5, 0);
  // The RAM loader sets up its UART before it listens.
  Orologio().Dormi(200);
  RegistraValore("velocita' %d bit/s", kVelocitaCaricatore);
  if (!ImpostaVelocita(kVelocitaCaricatore)) return Fallisci(RC_PORT_ACCESS);
  tentativi = 3;
  return InvioMicro();
}

int CLoadCheckMicro::InvioMicro() {
  Registra("invio micro");
  // A request that cannot be written shows up as the missing reply.
  InviaByte(&kRichiestaMicro, 1, 2, 2000);
  passoCorrente = P_CODICE_MICRO;
  return 1;
}

int CLoadCheckMicro::CodiceMicroRicevi() {
  int codice = RC_REPLY_TIMEOUT;
  if (Raccogli(2)) {
    if (risposta[0] == kRispostaMicro) {
      RegistraValore("ricevuto micro %02x corretto", risposta[1]);
      codiceMicro = risposta[1];
      return Riuscito();
    }
    RegistraValore("ricevuto micro errato [%02x]", risposta[0]);
    codice = RC_UNEXPECTED_REPLY;
  } else if (!Scaduto()) {
    return 1;
  } else {
    Registra("micro timeout");
  }
  if (!Tentativo("micro nuovo tentativo", "micro fine tentativi", codice)) return 0;
  return InvioMicro();
}

int CLoadCheckMicro::InvioGetFirma() {
  if (!InviaTrama("InvioGetFirma:", TramaGetFirma(), kGetFirmaRisposta, kGetFirmaMs)) {
    return Fallisci(RC_SERIAL_SEND);
  }
  passoCorrente = P_GET_FIRMA;
  return 1;
}

int CLoadCheckMicro::RiprovaFirma(int codice) {
  if (tentativi-- <= 1) {
    Registra("richiesta firma fine tentativi");
    return Fallisci(codice == RC_REPLY_TIMEOUT ? RC_MICRO_UNKNOWN : codice);
  }
  RegistraValore("richiesta firma tentativi mancanti %d", tentativi);
  passoCorrente = P_INVIO_GET_FIRMA;  // the next step asks again
  return 1;
}

int CLoadCheckMicro::GetFirmaRicevi() {
  const int valutazione = ValutaFirmaBoot(Raccogli(kGetFirmaRisposta) != 0);
  if (valutazione == kRispostaAttesa) return 1;
  if (valutazione != kRispostaValida) return RiprovaFirma(valutazione);
  if (!InviaTrama("InvioGetMicro:", TramaGetMicro(), kGetMicroRisposta, kGetMicroMs)) {
    return Fallisci(RC_SERIAL_SEND);
  }
  passoCorrente = P_MICRO;
  esito = RC_OK;
  fase = ST_LINKED;
  return 1;
}

int CLoadCheckMicro::MicroRicevi() {
  const int valutazione = ValutaMicroBoot(Raccogli(kGetMicroRisposta) != 0);
  if (valutazione == kRispostaAttesa) return 1;
  if (valutazione != kRispostaValida) return Fallisci(valutazione);
  if (risposta[1] != kMicroBootFr) return Fallisci(RC_BOARD_INCOMPATIBLE);
  codiceMicro = kMicro91F465;
  viaBoot = true;
  return Riuscito();
}

}  // namespace bricola
