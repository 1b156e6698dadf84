#include "bootstrap/load_boot_f2mc.h"

#include <algorithm>
#include <utility>

#include "base/esiti.h"

namespace bricola {

namespace {

constexpr int kTentativiCheck90F = 100000;  // 2 s each: in practice until the board answers
constexpr int kTentativiCheck96F = 5;
constexpr int kTentativiMotore = 5;
constexpr int kMaxLettura = 255;
constexpr std::uint32_t kMaxDatiF2mc = 255;

}  // namespace

// --- start and end ----------------------------------------------------------------------

CLoadBootF2mc::CLoadBootF2mc(Dialetto d, const char* file, std::size_t lunghezza,
                             std::vector<SPezzoRam> p, std::vector<std::uint32_t> settori,
                             int motore)
    : CLoadBootstrap(d, file, lunghezza, std::move(p), motore + M_FINE),
      tabellaSettori(std::move(settori)),
      numeroSettori(static_cast<int>(tabellaSettori.size()) - 1),
      passoMotore(motore) {}

int CLoadBootF2mc::Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
                         std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo,
                         int, int, CInterfaccia* linea, int, const int* velocita, int,
                         int* esitoAvvio) {
  velocitaAvvio = velocita ? velocita[0] : 4800;
  velocitaCaricatore = velocita ? velocita[1] : 9600;
  SModuloBoot modulo;
  if (!ApriModuloBoot(percorso, inizio, fine, codice, indirizzi, tipoModulo, linea, &modulo, esitoAvvio)) return 0;
  inizioModulo = inizio;
  blocchiModulo = modulo.blocchi;
  restoBlocco = modulo.resto;
  indirizzoFlash = modulo.indirizzo;
  const int contati = modulo.byteDati;
  const bool ok = Famiglia16Fx() ? ImpulsoIniziale(velocitaAvvio, 450, true)
                                 : ImpulsoIniziale(velocitaAvvio, 400, false);
  if (!ok) return RifiutaAvvio(RC_PORT_ACCESS, esitoAvvio, "errore generazione impulso iniziale");

  byteTotali += contati;
  byteRimanenti = byteTotali;
  byteFatti = byteRipetuti = 0;
  tentativi = Famiglia16Fx() ? kTentativiCheck96F : kTentativiCheck90F;
  passoCorrente = 0;
  esito = RC_OK;
  fase = ST_WAIT_LINK;
  offsetPezzo = 0;
  settoreCorrente = numeroSettori;
  bloccoCorrente = 0;
  ampiezzaScritta = 1;
  bufferRemoto = maxDatiScrittura = 0;
  tempoInizio = tempoUltimo = Secondi();
  return 1;
}

int CLoadBootF2mc::Termina() {
  fileModulo.Chiudi();
  if (!lineaToccata) return 1;
  lineaToccata = false;
  return ImpulsoFinale();
}

int CLoadBootF2mc::Passo(int* aggiorna) {
  *aggiorna = 0;
  aggiornaCorrente = aggiorna;
  int continua = 1;
  if (passoCorrente < passoMotore) {
    continua = PassoFrontale(aggiorna);
  } else {
    switch (passoCorrente - passoMotore) {
      case M_LUNBUF: continua = LunBufRicevi(); break;
      case M_BLANK: continua = BlankRicevi(); break;
      case M_ERASE: continua = EraseRicevi(); break;
      case M_WRITE: continua = WriteRicevi(); break;
      case M_READ: continua = ReadRicevi(); break;
      case M_ERASE_FIRMA: continua = EraseFirmaRicevi(); break;
      default: break;  // the end step
    }
  }
  if (!continua) *aggiorna = 1;
  aggiornaCorrente = nullptr;
  return continua;
}

// --- sectors --------------------------------------------------------------------------

int CLoadBootF2mc::Settore(std::uint32_t a) const {
  // The 16FX table reports addresses below it as outside; the 16LX one takes
  // them as sector 0, which the walk never writes.
  if (Famiglia16Fx() && a < tabellaSettori.front()) return -1;
  for (int i = 0; i < numeroSettori; ++i) {
    if (a < tabellaSettori[static_cast<std::size_t>(i) + 1]) return i;
  }
  return -1;
}

bool CLoadBootF2mc::BlankDovuto(int i) const {
  if (i < 0 || i == settoreCorrente) return false;
  return Famiglia16Fx() || i != 0;
}

// --- LunBuf -------------------------------------------------------------------------------

int CLoadBootF2mc::InvioLunBuf() {
  if (!InviaTrama("InvioLunBuf:", TramaLunBuf(), kLunBufRisposta, kLunBufMs)) {
    return Fallisci(RC_SERIAL_SEND);
  }
  return 1;
}

int CLoadBootF2mc::AvviaMotore() {
  RegistraValore("velocita' %d bit/s", velocitaCaricatore);
  if (!ImpostaVelocita(velocitaCaricatore)) return Fallisci(RC_PORT_ACCESS);
  if (!InvioLunBuf()) return 0;
  tentativi = kTentativiMotore;
  passoCorrente = passoMotore + M_LUNBUF;
  return 1;
}

int CLoadBootF2mc::RiprovaLunBuf(int codice) {
  if (!Tentativo("LunBuf nuovo tentativo", "LunBuf fine tentativi", codice)) return 0;
  return InvioLunBuf();
}

int CLoadBootF2mc::LunBufRicevi() {
  if (!Raccogli(kLunBufRisposta)) {
    const int codice = ErroreRicezione("LunBuf: ", Stile());
    return codice ? RiprovaLunBuf(codice) : 1;
  }
  RegistraMargine("ricevuto LunBuf margine %d tick");
  if (!VerificaRisposta(risposta, kLunBufRisposta, kLunBuf)) {
    Registra("LunBuf: risposta errata");
    return RiprovaLunBuf(RC_REPLY_CRC);
  }
  // The RAM loaders give their buffer as a plain byte count.
  bufferRemoto = risposta[1];
  maxDatiScrittura = static_cast<std::uint8_t>(bufferRemoto - 12);
  RegistraValore("buffer remoto %d byte", bufferRemoto);
  if (maxDatiScrittura == 0) {
    // No room for a single data byte: the walk could never advance.
    Registra("LunBuf: risposta errata");
    return Fallisci(RC_UNEXPECTED_REPLY);
  }
  return InvioBlankOWrite();
}

// --- blank check, erase, write ----------------------------------------------------------------

int CLoadBootF2mc::InvioBlankOWrite() {
  const int i = Settore(indirizzoFlash);
  if (BlankDovuto(i)) {
    const std::uint32_t inizio = tabellaSettori[static_cast<std::size_t>(i)];
    const std::uint32_t ultimaParola = tabellaSettori[static_cast<std::size_t>(i) + 1] - 2;
    // A request that cannot be written shows up as the missing reply.
    InviaTrama("InvioBlank:", TramaBlank(inizio, ultimaParola, false), kBlankRisposta, kBlankMs);
    settoreCorrente = i;
    if (!Famiglia16Fx() && i != numeroSettori - 1) {
      ampiezzaScritta = std::max(ampiezzaScritta, numeroSettori - i);
    }
    passoCorrente = passoMotore + M_BLANK;
    return 1;
  }
  const int r = InvioScrittura(false);
  if (r == 0) Registra("InvioBlankOWrite: memoria inesistente");
  if (r <= 0) return 0;
  passoCorrente = passoMotore + M_WRITE;
  esito = RC_OK;
  fase = ST_SEND_MODULE;
  return 1;
}

int CLoadBootF2mc::InvioErase(std::uint32_t indirizzo) {
  if (!InviaTrama("InvioErase:", TramaErase(indirizzo, false), kEraseRisposta, kEraseMs)) {
    return Fallisci(RC_SERIAL_SEND);
  }
  return 1;
}

int CLoadBootF2mc::BlankRicevi() {
  if (!Raccogli(kBlankRisposta)) {
    if (!Scaduto()) return 1;
    RegistraValore("blank timeout, ricevuti %d caratteri", byteRicevuti);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto blank margine %d tick");
  if (risposta[0] != kBlank) {
    Registra("BlankRicevi: inizio risposta errato");
    return Fallisci(RC_REPLY_CRC);
  }
  if (!VerificaRisposta(risposta + 1, 4, kBlank)) {
    Registra("BlankRicevi: risposta errata");
    return Fallisci(RC_REPLY_CRC);
  }
  if (risposta[2] == kBlankVuoto) {
    const int r = InvioScrittura(false);
    if (r == 0) Registra("TrasfBlankRicevi: memoria inesistente");
    if (r <= 0) return 0;
    passoCorrente = passoMotore + M_WRITE;
    esito = RC_OK;
    fase = ST_SEND_MODULE;
    return 1;
  }
  if (!InvioErase(tabellaSettori[static_cast<std::size_t>(settoreCorrente)])) return 0;
  tentativi = kTentativiMotore;
  passoCorrente = passoMotore + M_ERASE;
  return 1;
}

int CLoadBootF2mc::RiprovaErase(int codice) {
  if (!Tentativo("erase nuovo tentativo", "erase fine tentativi", codice)) return 0;
  return InvioErase(tabellaSettori[static_cast<std::size_t>(settoreCorrente)]);
}

int CLoadBootF2mc::EraseRicevi() {
  if (!Raccogli(kEraseRisposta)) {
    const int codice = ErroreRicezione("EraseRicevi: ", Stile());
    return codice ? RiprovaErase(codice) : 1;
  }
  RegistraMargine("ricevuto erase margine %d tick");
  if (risposta[0] != kErase) {
    Registra("EraseRicevi: inizio risposta errato");
    return RiprovaErase(RC_REPLY_CRC);
  }
  if (!VerificaRisposta(risposta + 1, 4, kErase)) {
    Registra("EraseRicevi: risposta errata");
    return RiprovaErase(RC_REPLY_CRC);
  }
  if (risposta[2] != kStatoOk) {
    RegistraValore("EraseRicevi: impossibile cancellare il blocco (%02x)", risposta[2]);
    return RiprovaErase(RC_BLOCK_ERASE);
  }
  const int r = InvioScrittura(false);
  if (r == 0) Registra("TrasfEraseRicevi: memoria inesistente");
  if (r <= 0) return 0;
  passoCorrente = passoMotore + M_WRITE;
  esito = RC_OK;
  fase = ST_SEND_MODULE;
  return 1;
}

int CLoadBootF2mc::InvioScrittura(bool ripetizione) {
  std::uint32_t l = lunghezzaScrittura;
  if (!ripetizione) {
    l = std::min<std::uint32_t>(maxDatiScrittura, restoBlocco);
    const int i = Settore(indirizzoFlash);
    // The chunk's last byte decides whether it crosses a sector end, so that
    // no byte lands in a sector that was not blank-checked.
    const int j = Settore(indirizzoFlash + l - 1);
    const bool fuori = i < 0 || j < 0 || (!Famiglia16Fx() && (i == 0 || j == 0));
    if (fuori) {
      esito = RC_EXTFLASH_BOOT_WRITE;
      fase = ST_FAILED;
      passoCorrente = passoFine;
      return 0;
    }
    if (i != j) {
      l = static_cast<std::uint16_t>(tabellaSettori[static_cast<std::size_t>(i) + 1] - indirizzoFlash);
    }
    lunghezzaScrittura = static_cast<std::uint16_t>(l);
  } else if (!fileModulo.Sposta(-static_cast<std::int32_t>(l))) {
    Fallisci(RC_MODULE_CORRUPT);
    return -1;
  }
  if (!fileModulo.Leggi(datiScrittura, l)) {
    Fallisci(RC_MODULE_CORRUPT);
    return -1;
  }
  const bool daScrivere =
      std::any_of(datiScrittura, datiScrittura + l, [](std::uint8_t b) { return b != 0xFF; });
  if (daScrivere) {
    RegistraValore("invio dati %06lx", indirizzoFlash);
    const CTrama t = TramaWrite(indirizzoFlash, datiScrittura, static_cast<int>(l), false);
    if (!InviaTrama(nullptr, t, kWriteRisposta, kWriteMs)) {
      Fallisci(RC_SERIAL_SEND);
      return -1;
    }
    scritturaInviata = true;
  } else {
    RegistraValore("invio dati %06lx saltato", indirizzoFlash);
    scritturaInviata = false;
  }
  AggiornaOgniSecondo(aggiornaCorrente);
  if (!ripetizione) tentativi = kTentativiMotore;
  return 1;
}

int CLoadBootF2mc::RiprovaWrite(int codice) {
  if (!Tentativo("write altro tentativo", "write errore definitivo", codice)) return 0;
  byteRipetuti += lunghezzaScrittura;
  if (aggiornaCorrente) *aggiornaCorrente = 1;
  return InvioScrittura(true) > 0 ? 1 : 0;
}

int CLoadBootF2mc::WriteRicevi() {
  if (!scritturaInviata) return TrasfWriteSuccessivo();
  if (!Raccogli(kWriteRisposta)) {
    const int codice = ErroreRicezione("WriteRicevi: ", Stile());
    return codice ? RiprovaWrite(codice) : 1;
  }
  RegistraMargine("ricevuto write margine %d tick");
  if (!VerificaRisposta(risposta, kWriteRisposta, kWrite)) {
    Registra("WriteRicevi: risposta errata");
    return RiprovaWrite(RC_REPLY_CRC);
  }
  if (risposta[1] != kStatoOk) {
    RegistraValore("impossibile scrivere i dati risposta %02x", risposta[1]);
    return RiprovaWrite(RC_BLOCK_WRITE);
  }
  return TrasfWriteSuccessivo();
}

int CLoadBootF2mc::TrasfWriteSuccessivo() {
  indirizzoFlash += lunghezzaScrittura;
  restoBlocco -= lunghezzaScrittura;
  byteRimanenti -= lunghezzaScrittura;
  byteFatti += lunghezzaScrittura;
  if (restoBlocco == 0) {
    ++bloccoCorrente;
    int lunghezza = 0;
    int indirizzo = 0;
    if (bloccoCorrente >= blocchiModulo) {
      // The write pass is over: the verify pass starts from the first record.
      if (!fileModulo.Posiziona(inizioModulo) || !ProssimoBlocco(&lunghezza, &indirizzo)) {
        return Fallisci(RC_MODULE_CORRUPT);
      }
      restoBlocco = static_cast<std::uint32_t>(lunghezza);
      indirizzoFlash = static_cast<std::uint32_t>(indirizzo);
      bloccoCorrente = 0;
      const int r = InvioLettura(false);
      if (r == 0) {
        Registra("TrasfWriteSuccessivo: memoria inesistente");
        return Fallisci(RC_EXTFLASH_BOOT_READ);
      }
      return r > 0 ? 1 : 0;
    }
    if (!ProssimoBlocco(&lunghezza, &indirizzo)) return Fallisci(RC_MODULE_CORRUPT);
    restoBlocco = static_cast<std::uint32_t>(lunghezza);
    indirizzoFlash = static_cast<std::uint32_t>(indirizzo);
  }
  return InvioBlankOWrite();
}

// --- verify -------------------------------------------------------------------------------------

int CLoadBootF2mc::InvioLettura(bool ripetizione) {
  if (!ripetizione) {
    std::uint32_t r = std::min<std::uint32_t>(restoBlocco, kMaxLettura);
    const int i = Settore(indirizzoFlash);
    const int j = Settore(indirizzoFlash + r - 1);
    if (i < 0 || j < 0 || (!Famiglia16Fx() && (i == 0 || j == 0))) return 0;
    if (i != j) r = static_cast<std::uint16_t>(tabellaSettori[static_cast<std::size_t>(i) + 1] - indirizzoFlash);
    lunghezzaLettura = static_cast<std::uint16_t>(r);
    if (!fileModulo.Leggi(datiFile, r)) {
      Fallisci(RC_MODULE_CORRUPT);
      return -1;
    }
    tentativi = kTentativiMotore;
  }
  RegistraValore("invio read %06lx", indirizzoFlash);
  // A request that cannot be written shows up as the missing reply.
  InviaTrama(nullptr, TramaRead(indirizzoFlash, lunghezzaLettura, false), lunghezzaLettura + 3, kReadMs);
  AggiornaOgniSecondo(aggiornaCorrente);
  passoCorrente = passoMotore + M_READ;
  esito = RC_OK;
  fase = ST_CHECK_TRANSFER;
  return 1;
}

int CLoadBootF2mc::RiprovaRead(int codice) {
  if (!Tentativo("read altro tentativo", "read errore definitivo", codice)) return 0;
  byteRipetuti += lunghezzaLettura;
  if (aggiornaCorrente) *aggiornaCorrente = 1;
  return InvioLettura(true) > 0 ? 1 : 0;
}

int CLoadBootF2mc::ReadRicevi() {
  const int n = lunghezzaLettura + 3;
  if (!Raccogli(n)) {
    const int codice = ErroreRicezione("ReadRicevi: ", Stile());
    return codice ? RiprovaRead(codice) : 1;
  }
  RegistraMargine("ricevuto read margine %d tick");
  if (!VerificaRisposta(risposta, n, kRead)) {
    Registra("ReadRicevi: risposta errata");
    return RiprovaRead(RC_REPLY_CRC);
  }
  if (!std::equal(datiFile, datiFile + lunghezzaLettura, risposta + 1)) {
    Registra("contenuto della flash non corrispondente");
    return Fallisci(RC_FLASH_WRITE);
  }
  return TrasfReadSuccessivo();
}

int CLoadBootF2mc::TrasfReadSuccessivo() {
  indirizzoFlash += lunghezzaLettura;
  restoBlocco -= lunghezzaLettura;
  byteRimanenti -= lunghezzaLettura;
  byteFatti += lunghezzaLettura;
  bool leggere = restoBlocco != 0;
  if (!leggere) {
    ++bloccoCorrente;
    if (bloccoCorrente < blocchiModulo) {
      int lunghezza = 0;
      int indirizzo = 0;
      if (!ProssimoBlocco(&lunghezza, &indirizzo)) return Fallisci(RC_MODULE_CORRUPT);
      restoBlocco = static_cast<std::uint32_t>(lunghezza);
      indirizzoFlash = static_cast<std::uint32_t>(indirizzo);
      leggere = true;
    }
  }
  if (leggere) {
    const int r = InvioLettura(false);
    if (r == 0) {
      Registra("TrasfReadSuccessivo: memoria inesistente");
      return Fallisci(RC_EXTFLASH_BOOT_READ);
    }
    return r > 0 ? 1 : 0;
  }
  // Everything verified: the signature sector goes, so the board no longer
  // takes its old application as valid.
  const std::uint32_t firma =
      Famiglia16Fx() ? CLoad96FxxxBoot::kSettoreFirma
                     : tabellaSettori[static_cast<std::size_t>(numeroSettori - ampiezzaScritta - 1)];
  if (!InvioErase(firma)) return 0;
  AggiornaOgniSecondo(aggiornaCorrente);
  passoCorrente = passoMotore + M_ERASE_FIRMA;
  return 1;
}

int CLoadBootF2mc::EraseFirmaRicevi() {
  if (!Raccogli(kEraseRisposta)) {
    if (!Scaduto()) return 1;
    RegistraValore("fine timeout, ricevuti %d caratteri", byteRicevuti);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto erase firma margine %d tick");
  if (risposta[0] != kErase) {
    Registra("EraseFirmaRicevi: inizio risposta errato");
    return Fallisci(RC_REPLY_CRC);
  }
  if (!VerificaRisposta(risposta + 1, 4, kErase)) {
    Registra("inizio risposta errato");
    return Fallisci(RC_REPLY_CRC);
  }
  if (risposta[2] != kStatoOk) {
    Registra("impossibile cancellare il blocco");
    return Fallisci(RC_BLOCK_ERASE);
  }
  Registra("traferimento completato");
  if (aggiornaCorrente) *aggiornaCorrente = 1;
  return Riuscito();
}

// --- F2MC-16LX front end -------------------------------------------------------------------------

CLoad90FxxxBoot::CLoad90FxxxBoot(const char* file, std::size_t lunghezza, std::vector<SPezzoRam> p,
                                 std::vector<std::uint32_t> settori)
    : CLoadBootF2mc(Dialetto::F2mc16Lx, file, lunghezza, std::move(p), std::move(settori), P_LUNBUF) {}

int CLoad90FxxxBoot::PassoFrontale(int* aggiorna) {
  switch (passoCorrente) {
    case P_INVIO_CHECK: return InvioCheck();
    case P_CHECK: return CheckRicevi(aggiorna);
    case P_BLOCCO:
      switch (BloccoRicevi(aggiorna)) {
        case ACK_ATTESA:
        case ACK_PROSSIMO: return 1;
        case ACK_FINE: return 0;
        default: break;
      }
      Registra("invio esecuzione");
      if (ScriviGrezzo(kEsegui16Lx, 5, 0) != 5) return Fallisci(RC_SERIAL_SEND);
      // The RAM loader sets up its UART before it listens.
      Orologio().Dormi(200);
      return AvviaMotore();
    default: return 1;
  }
}

int CLoad90FxxxBoot::InvioCheck() {
  Registra("invio check");
  if (!InviaByte(&kCheck16Lx, 1, 1, 2000)) return Fallisci(RC_PACKET_SEND);
  passoCorrente = P_CHECK;
  return 1;
}

int CLoad90FxxxBoot::CheckRicevi(int* aggiorna) {
  int codice = RC_REPLY_TIMEOUT;
  if (Raccogli(1)) {
    if (risposta[0] == kCheckOk16Lx) {
      Registra("ricevuto check");
      tentativi = 1;
      if (!InviaCaricatore(aggiorna)) return 0;
      passoCorrente = P_BLOCCO;
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

CLoad90F549Boot::CLoad90F549Boot()
    : CLoad90FxxxBoot(kCaricatore90F549, kLunghezza90F549, {{0x0251, 1534}, {0x0990, 198}},
                      {0xFC0000, 0xFD0000, 0xFE0000, 0xFF0000, 0xFF8000, 0xFFA000, 0xFFC000,
                       0x1000000}) {}

CLoad90F497Boot::CLoad90F497Boot()
    : CLoad90FxxxBoot(kCaricatore90F497, kLunghezza90F497, {{0x0190, 1732}},
                      {0xFF0000, 0xFF8000, 0xFFA000, 0xFFC000, 0x1000000}) {}

CLoad90F345Boot::CLoad90F345Boot()
    : CLoad90FxxxBoot(kCaricatore90F345, kLunghezza90F345, {{0x0190, 1757}},
                      {0xF80000, 0xF90000, 0xFA0000, 0xFB0000, 0xFB8000, 0xFBA000, 0xFBC000,
                       0xFC0000, 0xFD0000, 0xFE0000, 0xFF0000, 0xFF8000, 0xFFA000, 0xFFC000,
                       0x1000000}) {}

// --- F2MC-16FX front end -------------------------------------------------------------------------

CLoad96FxxxBoot::CLoad96FxxxBoot(const char* file, std::size_t lunghezza, std::vector<SPezzoRam> p,
                                 std::vector<std::uint32_t> settori)
    : CLoadBootF2mc(Dialetto::F2mc16Fx, file, lunghezza, std::move(p), std::move(settori), P_LUNBUF) {}

int CLoad96FxxxBoot::PassoFrontale(int* aggiorna) {
  switch (passoCorrente) {
    case P_INVIO_CHECK: return InvioCheck();
    case P_CHECK: return CheckRicevi();
    case P_INVIO_CALIBRATE:
      Registra("invio calibrate off");
      if (!InviaByte(kCalibrateOff16Fx, 5, 1, 2000)) return Fallisci(RC_PACKET_SEND);
      passoCorrente = P_CALIBRATE;
      return 1;
    case P_CALIBRATE: return CalibrateRicevi(aggiorna);
    case P_BLOCCO:
      switch (BloccoRicevi(aggiorna)) {
        case ACK_ATTESA:
        case ACK_PROSSIMO: return 1;
        case ACK_FINE: return 0;
        default: break;
      }
      Registra("invio esecuzione");
      if (!InviaByte(kEsegui16Fx, 5, 1, 2000)) return Fallisci(RC_SERIAL_SEND);
      passoCorrente = P_ESEGUI;
      return 1;
    case P_ESEGUI: return EseguiRicevi();
    default: return 1;
  }
}

int CLoad96FxxxBoot::InvioCheck() {
  Registra("invio check");
  if (!InviaByte(kCheck16Fx, 5, 1, 50)) return Fallisci(RC_PACKET_SEND);
  passoCorrente = P_CHECK;
  return 1;
}

int CLoad96FxxxBoot::CheckRicevi() {
  if (Raccogli(1)) {
    if (risposta[0] == kCheckOk16Fx || risposta[0] == kCheckAccettato16Fx) {
      Registra(risposta[0] == kCheckOk16Fx ? "ricevuto check" : "ricevuto check errore, ma accettato");
      passoCorrente = P_INVIO_CALIBRATE;
      return 1;
    }
    if (risposta[0] == kChecksumErrata16Fx) {
      Registra("ricevuto checksum inviata errata");
    } else {
      RegistraValore("ricevuto errato [%02x]", risposta[0]);
    }
    byteRicevuti = 0;  // a stray byte: wait on under the same deadline
    return 1;
  }
  if (!Scaduto()) return 1;
  if (!Tentativo("check timeout provvisorio", "check timeout definitivo", RC_REPLY_TIMEOUT)) return 0;
  return InvioCheck();
}

int CLoad96FxxxBoot::CalibrateRicevi(int* aggiorna) {
  if (Raccogli(1)) {
    if (risposta[0] == kOk16Fx) {
      Registra("ricevuto calibrate");
      tentativi = 1;
      if (!InviaCaricatore(aggiorna)) return 0;
      passoCorrente = P_BLOCCO;
      return 1;
    }
    if (risposta[0] == kChecksumErrata16Fx) {
      Registra("ricevuto checksum inviata errata");
    } else {
      RegistraValore("ricevuto errato [%02x]", risposta[0]);
    }
    return Fallisci(RC_PACKET_SEND);
  }
  if (!Scaduto()) return 1;
  Registra("timeout\n");
  return Fallisci(RC_PACKET_SEND);
}

int CLoad96FxxxBoot::EseguiRicevi() {
  if (Raccogli(1)) {
    if (risposta[0] == kOk16Fx) {
      Registra("ricevuto esegui corretto");
      return AvviaMotore();
    }
    if (risposta[0] == kChecksumErrata16Fx) {
      Registra("ricevuto checksum inviata errata");
    } else {
      RegistraValore("ricevuto esegui [%02x]", risposta[0]);
    }
    return Fallisci(RC_PACKET_SEND);
  }
  if (!Scaduto()) return 1;
  Registra("esegui timeout");
  return Fallisci(RC_PACKET_SEND);
}

CLoad96F338Boot::CLoad96F338Boot()
    : CLoad96FxxxBoot(kCaricatore96F338, kLunghezza96F338, {{0x7900, 1732}},
                      {0xDF0000, 0xDF2000, 0xDF4000, 0xDF6000, 0xDF8000}) {}

}  // namespace bricola
