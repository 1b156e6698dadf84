#include "bootstrap/bootstrap.h"

#include <algorithm>
#include <utility>

#include "base/esiti.h"

namespace bricola {

// --- frames ---------------------------------------------------------------------------

int TramaBlocco16Lx(std::uint16_t indirizzoRam, const std::uint8_t* dati, int n, std::uint8_t* trama) {
  trama[0] = 0x00;
  trama[1] = static_cast<std::uint8_t>(indirizzoRam >> 8);
  trama[2] = static_cast<std::uint8_t>(indirizzoRam);
  trama[3] = 0x00;
  trama[4] = static_cast<std::uint8_t>(n);
  std::copy(dati, dati + n, trama + 5);
  unsigned somma = 0;
  for (int i = 0; i < 5 + n; ++i) somma += trama[i];
  trama[5 + n] = static_cast<std::uint8_t>(somma);
  return n + 6;
}

std::uint8_t SommaPiegata(const std::uint8_t* dati, int n) {
  std::uint32_t somma = 0;
  for (int i = 0; i < n; ++i) somma += dati[i];
  while (somma >= 256) somma = ((somma >> 16) & 0xFF) + ((somma >> 8) & 0xFF) + (somma & 0xFF);
  return static_cast<std::uint8_t>(somma);
}

std::uint8_t ControlloPiegato(const std::uint8_t* dati, int n) {
  return static_cast<std::uint8_t>(0xFF - SommaPiegata(dati, n));
}

int TramaBlocco16Fx(std::uint16_t indirizzoRam, const std::uint8_t* dati, int n, std::uint8_t* trama) {
  trama[0] = 0x12;
  trama[1] = static_cast<std::uint8_t>(indirizzoRam);
  trama[2] = static_cast<std::uint8_t>(indirizzoRam >> 8);
  trama[3] = 0x00;
  trama[4] = static_cast<std::uint8_t>(n);  // 256 goes as 00
  trama[5] = ControlloPiegato(trama, 5);
  std::copy(dati, dati + n, trama + 6);
  trama[6 + n] = ControlloPiegato(trama, 6 + n);
  return n + 7;
}

CTrama TramaEraseChip() {
  CTrama t;
  t.Byte(kEraseChip).Indirizzo(kIndirizzoEraseChip, false);
  return t.Chiudi();
}

CTrama TramaCancellaChip() {
  CTrama t;
  t.Byte(kEraseChip).Byte(0x00);
  return t.Chiudi();
}

// --- the common loader ----------------------------------------------------------------

CLoadBootstrap::CLoadBootstrap(Dialetto d, const char* file, std::size_t lunghezza,
                               std::vector<SPezzoRam> p, int fine)
    : dialetto(d),
      fileCaricatore(file),
      lunghezzaCaricatore(lunghezza),
      pezzi(std::move(p)),
      passoFine(fine),
      passoCorrente(fine) {}

void CLoadBootstrap::ImpostaOrologio(COrologio* nuovo) {
  CLoad::ImpostaOrologio(nuovo);
  orologioLinea = &Orologio();
}

int CLoadBootstrap::RifiutaAvvio(int codice, int* esitoAvvio, const char* riga) {
  if (riga) {
    fileModulo.Chiudi();
    Registra(riga);
  }
  esito = codice;
  fase = ST_FAILED;
  passoCorrente = passoFine;
  *esitoAvvio = codice;
  return 0;
}

int CLoadBootstrap::ApriModuloBoot(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
                                   std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo,
                                   CInterfaccia* linea, SModuloBoot* modulo, int* esitoAvvio) {
  *esitoAvvio = RC_OK;
  lineaToccata = false;
  // A boot is written into the board on the cable, never forwarded.
  if (indirizzi && indirizzi[0] != 0) return RifiutaAvvio(RC_NOT_REMOTE, esitoAvvio);
  PrimoPezzo();
  byteTotali = static_cast<int>(lunghezzaCaricatore);
  Collega(linea);
  if (codice == 0xFF30) codice = 0x0030;
  if (codice == 0xFF31) codice = 0x0031;
  if (tipoModulo != 1) *esitoAvvio = RC_MODULE_TYPE;  // a warning: the start goes on

  if (!fileModulo.ApriLettura(percorso)) {
    Registra("errore apertura file");
    return RifiutaAvvio(RC_FILE_OPEN, esitoAvvio);
  }
  std::uint8_t chiusura[4];
  if (!fileModulo.Posiziona(fine) || !fileModulo.Leggi(chiusura, sizeof chiusura)) {
    return RifiutaAvvio(RC_MODULE_CORRUPT, esitoAvvio, "errore codice file");
  }
  if (LeggiU16BE(chiusura + 2) != codice) return RifiutaAvvio(RC_MACHINE_MISMATCH, esitoAvvio, "errore codice file");
  if (fine < inizio || !ContaBlocchi(inizio, fine - inizio, 0, &modulo->byteDati, &modulo->blocchi)) {
    return RifiutaAvvio(RC_MODULE_CORRUPT, esitoAvvio, "errore scansione blocchi programma");
  }
  int lunghezza = 0;
  int indirizzo = 0;
  if (!fileModulo.Posiziona(inizio) || !ProssimoBlocco(&lunghezza, &indirizzo)) {
    return RifiutaAvvio(RC_MODULE_CORRUPT, esitoAvvio, "errore ricerca primo blocco programma");
  }
  modulo->resto = static_cast<std::uint32_t>(lunghezza);
  modulo->indirizzo = static_cast<std::uint32_t>(indirizzo);
  // The RAM loader (or kernel) must be there, whole, before the board is touched.
  int codiceImmagine = RC_OK;
  if (!CaricaImmagine(&codiceImmagine)) {
    fileModulo.Chiudi();
    return RifiutaAvvio(codiceImmagine, esitoAvvio);
  }
  return 1;
}

int CLoadBootstrap::ValutaFirmaBoot(bool completa) {
  if (!completa) {
    if (byteRicevuti == 1 && risposta[0] == kNack) {
      Registra("GetFirmaRicevi: richiesta firma scheda remota non raggiungibile");
      return RC_REMOTE_UNREACHABLE;
    }
    if (!Scaduto()) return kRispostaAttesa;
    RegistraValore("GetFirmaRicevi: timeout, ricevuti %d caratteri", byteRicevuti);
    return RC_REPLY_TIMEOUT;
  }
  RegistraMargine("GetFirmaRicevi: ricevuto margine %d tick");
  if (!VerificaRisposta(risposta, kGetFirmaRisposta, kGetFirma)) {
    Registra("GetFirmaRicevi: risposta errata");
    return RC_REPLY_CRC;
  }
  return kRispostaValida;
}

int CLoadBootstrap::ValutaMicroBoot(bool completa) {
  if (!completa) return ErroreRicezione("MicroRicevi: ", StileTimeout::Conteggio);
  RegistraMargine("MicroRicevi: ricevuto margine %d tick");
  if (!VerificaRisposta(risposta, kGetMicroRisposta, kComandoEsteso)) {
    Registra("MicroRicevi: risposta errata");
    return RC_REPLY_CRC;
  }
  return kRispostaValida;
}

int CLoadBootstrap::CaricaImmagine(int* esitoAvvio) {
  if (LeggiCaricatore(fileCaricatore, lunghezzaCaricatore, &immagine, this, esitoAvvio)) return 1;
  esito = *esitoAvvio;
  fase = ST_FAILED;
  passoCorrente = passoFine;
  return 0;
}

void CLoadBootstrap::PrimoPezzo() {
  pezzo = 0;
  indirizzoRam = pezzi.front().indirizzo;
  lunghezzaPezzo = pezzi.front().lunghezza;
  offsetPezzo = 0;
  lunghezzaBlocco = 0;
}

int CLoadBootstrap::InvioBlocco() {
  std::uint32_t inizioPezzo = 0;
  for (int i = 0; i < pezzo; ++i) inizioPezzo += pezzi[static_cast<std::size_t>(i)].lunghezza;
  const int massimo = dialetto == Dialetto::F2mc16Fx ? kMaxBlocco16Fx : kMaxBlocco16Lx;
  const int n = static_cast<int>(std::min<std::uint32_t>(lunghezzaPezzo - offsetPezzo,
                                                          static_cast<std::uint32_t>(massimo)));
  lunghezzaBlocco = static_cast<std::uint16_t>(n);
  const std::uint8_t* dati = immagine.data() + inizioPezzo + offsetPezzo;
  std::uint8_t trama[kMaxTramaBlocco];
  const auto ram = static_cast<std::uint16_t>(indirizzoRam);
  const int lunghezza = dialetto == Dialetto::F2mc16Fx ? TramaBlocco16Fx(ram, dati, n, trama)
                                                       : TramaBlocco16Lx(ram, dati, n, trama);
  RegistraValori("InvioBlocco: inizio %06lx, lung. %03x", indirizzoRam, n);
  ImpostaScadenza(2000);
  return InviaRichiesta(trama, lunghezza, 1, 2000, 0);
}

int CLoadBootstrap::InviaCaricatore(int* aggiorna) {
  bool nuovoPezzo = false;
  if (offsetPezzo >= lunghezzaPezzo) {
    if (static_cast<std::size_t>(pezzo) + 1 >= pezzi.size()) {
      Registra("numero byte errato");
      return Fallisci(RC_INTERNAL);
    }
    ++pezzo;
    indirizzoRam = pezzi[static_cast<std::size_t>(pezzo)].indirizzo;
    lunghezzaPezzo = pezzi[static_cast<std::size_t>(pezzo)].lunghezza;
    offsetPezzo = 0;
    nuovoPezzo = true;
  }
  if (faseCaricatore) fase = nuovoPezzo ? ST_LINKED : faseCaricatore;
  AggiornaOgniSecondo(aggiorna);
  if (!InvioBlocco() && testaScritturaBlocco) return Fallisci(RC_SERIAL_SEND);
  return 1;
}

bool CLoadBootstrap::CaricatoreCompleto() const {
  return static_cast<std::size_t>(pezzo) + 1 >= pezzi.size() && offsetPezzo >= lunghezzaPezzo;
}

int CLoadBootstrap::BloccoRicevi(int* aggiorna) {
  int codice = RC_OK;
  if (!Raccogli(1)) {
    if (!Scaduto()) return ACK_ATTESA;
    Registra("dati timeout");
    codice = RC_REPLY_TIMEOUT;
  } else {
    const std::uint8_t b = risposta[0];
    const bool buono = dialetto == Dialetto::F2mc16Fx ? b == kOk16Fx : b == kBloccoOk16Lx;
    if (buono) {
      Registra("ricevuto blocco dati corretto");
      indirizzoRam += lunghezzaBlocco;
      offsetPezzo += lunghezzaBlocco;
      byteRimanenti -= lunghezzaBlocco;
      byteFatti += lunghezzaBlocco;
      if (CaricatoreCompleto()) return ACK_COMPLETO;
      tentativi = 1;
      return InviaCaricatore(aggiorna) ? ACK_PROSSIMO : ACK_FINE;
    }
    if (dialetto == Dialetto::F2mc16Fx && b == kChecksumErrata16Fx) {
      Registra("ricevuto checksum inviata errata");
    } else {
      RegistraValore("ricevuto dati errato [%02x]", b);
    }
    codice = RC_UNEXPECTED_REPLY;
  }
  if (!Tentativo("dati nuovo tentativo", "dati fine tentativi", codice)) return ACK_FINE;
  byteRipetuti += lunghezzaBlocco;
  *aggiorna = 1;
  if (!InvioBlocco() && testaScritturaBlocco) {
    Fallisci(RC_SERIAL_SEND);
    return ACK_FINE;
  }
  return ACK_PROSSIMO;
}

int CLoadBootstrap::InviaTrama(const char* registro, const CTrama& trama, int lunghezzaRisposta,
                               int timeoutMs) {
  ImpostaScadenza(timeoutMs);
  if (registro) RegistraByte(registro, trama.Dati(), trama.Lunghezza());
  return InviaRichiesta(trama.Dati(), trama.Lunghezza(), lunghezzaRisposta, timeoutMs, 0);
}

int CLoadBootstrap::InviaByte(const std::uint8_t* dati, int n, int lunghezzaRisposta, int timeoutMs) {
  ImpostaScadenza(timeoutMs);
  return InviaRichiesta(dati, n, lunghezzaRisposta, timeoutMs, 0);
}

int CLoadBootstrap::Raccogli(int n) {
  RiceviRisposta(risposta, std::min<int>(n, static_cast<int>(sizeof risposta)));
  return byteRicevuti >= n ? 1 : 0;
}

int CLoadBootstrap::ErroreRicezione(const char* prefisso, StileTimeout stile) {
  if (byteRicevuti == 1 && risposta[0] == kNack) {
    RegistraConcat(prefisso, "errore per nack");
    return RC_NACK;
  }
  if (!Scaduto()) return 0;
  if (stile == StileTimeout::Conteggio) {
    RegistraPrefissoValore(prefisso, "timeout, ricevuti %d caratteri", byteRicevuti);
  } else if (byteRicevuti > 0) {
    RegistraPrefissoByte(prefisso, "timeout, ricevuti", risposta, byteRicevuti);
  } else {
    RegistraConcat(prefisso, "timeout, nessun carattere ricevuto");
  }
  return RC_REPLY_TIMEOUT;
}

int CLoadBootstrap::Tentativo(const char* testoTentativo, const char* testoFine, int codice) {
  const int k = tentativi;
  tentativi = k - 1;
  if (k <= 1) {
    Registra(testoFine);
    return Fallisci(codice);
  }
  Registra(testoTentativo);
  return 1;
}

int CLoadBootstrap::Fallisci(int codice) {
  esito = codice;
  fase = ST_FAILED;
  passoCorrente = passoFine;
  return 0;
}

int CLoadBootstrap::Riuscito() {
  esito = RC_OK;
  fase = ST_DONE;
  passoCorrente = passoFine;
  return 0;
}

void CLoadBootstrap::AggiornaOgniSecondo(int* aggiorna) {
  const int adesso = Secondi();
  if (adesso != tempoUltimo) {
    tempoUltimo = adesso;
    if (aggiorna) *aggiorna = 1;
  }
}

int CLoadBootstrap::ImpulsoIniziale(int baud, int attesaMs, bool registraAttesa) {
  lineaToccata = true;
  RegistraValore("velocita' %d bit/s", baud);
  if (!ImpostaVelocita(baud)) return 0;
  Registra("cambio velocita' riuscito");
  Registra("inizio impulso DTR");
  // Reset with the mode line: the micro starts its ROM bootstrap.
  if (!ImpulsoDtrStandard(1)) return 0;
  Registra("fine impulso DTR");
  Orologio().Dormi(attesaMs);
  if (registraAttesa) RegistraValore("fine attesa %d ms", attesaMs);
  return 1;
}

int CLoadBootstrap::ImpulsoProva(int baud, bool conRts, int attesaMs) {
  lineaToccata = true;
  RegistraValore("velocita' %d bit/s", baud);
  if (!AbbassaRts() || !ImpostaBitStopLinea(1) || !ImpostaVelocita(baud)) return 0;
  Registra("inizio impulso DTR");
  if (!ImpulsoDtrStandard(conRts ? 1 : 0)) return 0;
  Registra("fine impulso DTR");
  Orologio().Dormi(attesaMs);
  RegistraValore("fine attesa %d ms", attesaMs);
  return 1;
}

int CLoadBootstrap::ImpulsoFinale() {
  Registra("disabilitazione RTS e inizio impulso finale DTR");
  if (!AbbassaRts()) return 0;
  // Reset without the mode line: the board restarts from its flash.
  const int r = ImpulsoDtrStandard(0);
  Registra("fine impulso finale DTR");
  return r;
}

}  // namespace bricola
