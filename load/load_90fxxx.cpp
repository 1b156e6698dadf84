#include "load/load_90fxxx.h"

#include <algorithm>

#include "base/esiti.h"

namespace bricola {

namespace {

// A universal module that is not a data module; the code has no text of its own.
constexpr int kEsitoModuloUniversale = 39;
constexpr std::uint16_t kCodiceUniversale = 0xFFFF;
constexpr int kTentativiAvvio = 100000;  // practically no limit while the board comes up
// A backup does not wait for ever: the board is there, or the read ends (both
// start speeds are tried).
constexpr int kTentativiLettura = 5;
constexpr std::uint32_t kNessunSettore = 0xFFFFFFFF;  // no flash sector starts there

bool NonVuoto(const std::uint8_t* dati, int n) {
  return std::any_of(dati, dati + n, [](std::uint8_t b) { return b != 0xFF; });
}

}  // namespace

void CLoad90Fxxx::CaricaMappa(const SMappa& mappa) {
  ImpostaMappa(mappa);
  settoriControllati.clear();
  // No sector has been handed out yet: a sector (or block) starting at address 0
  // must be blank-checked like any other.
  ultimoSettore = kNessunSettore;
}

void CLoad90Fxxx::ImpostaOrologio(COrologio* nuovo) {
  CLoad::ImpostaOrologio(nuovo);
  orologioLinea = &Orologio();
}

// --- start -----------------------------------------------------------------------

int CLoad90Fxxx::Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
                       std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo,
                       int tipoLoad, int tipoMicro, CInterfaccia* linea, int modo,
                       const int* velocitaModulo, int opzioni, int* esitoAvvio) {
  *esitoAvvio = RC_OK;
  Collega(linea);
  soloVerificaBoot = 0;
  moduloDati = tipoModulo == 2 ? 1 : 0;
  opzioneSenzaRilettura = (opzioni & OPZ_SENZA_RILETTURA) ? 1 : 0;
  opzioneBootUniversale = (opzioni & OPZ_BOOT_UNIVERSALE) ? 1 : 0;
  opzioneRiletturaOttimizzata = (opzioni & OPZ_RILETTURA_OTTIMIZZATA) ? 1 : 0;
  opzioneVelocitaFissa = (opzioni & OPZ_VELOCITA_FISSA) ? 1 : 0;
  opzioneScritturaLenta = (opzioni & OPZ_SCRITTURA_LENTA) ? 1 : 0;
  opzioneBuffer128 = (opzioni & OPZ_BUFFER_128) ? 1 : 0;
  senzaRilettura = (opzioneSenzaRilettura || opzioneRiletturaOttimizzata) ? 1 : 0;
  soloLettura = 0;
  ricevitore = nullptr;
  soloVerifica = (opzioni & OPZ_SOLO_VERIFICA) ? 1 : 0;
  diversoTrovato = 0;
  primoDiverso = 0;
  // Verifying is the read-back alone: every record is read once.
  if (soloVerifica) senzaRilettura = 0;
  inizioModulo = inizio;
  indirizzo = indirizzi ? indirizzi[0] : 0;
  indirizzoSecondario = indirizzi ? indirizzi[1] : 0;
  indirizzoPredefinito = indirizzi ? indirizzi[2] : 0;
  indirizzoSecondarioPredefinito = indirizzi ? indirizzi[3] : 0;
  velocita[0] = velocitaModulo ? velocitaModulo[0] : 38400;
  velocita[1] = velocitaModulo ? velocitaModulo[1] : velocita[0];
  indiceVelocita = 0;
  tipoMicroModulo = tipoMicro;
  indirizzoCorrente = indirizzo;
  indirizzoSecondarioCorrente = indirizzoSecondario;
  bootUniversale = 0;
  inAttesa = 0;
  maschera = nullptr;
  lunghezzaMaschera = 0;

  const auto rifiuta = [&](int codiceRifiuto) {
    esito = codiceRifiuto;
    fase = ST_FAILED;
    passo = P_FERMO;
    *esitoAvvio = codiceRifiuto;
    return 0;
  };
  const auto rifiutaChiudendo = [&](const char* riga, int codiceRifiuto) {
    fileModulo.Chiudi();
    Registra(riga);
    return rifiuta(codiceRifiuto);
  };

  if (tipoModulo != 0 && tipoModulo != 2 && tipoModulo != 6) return rifiuta(RC_MODULE_TYPE);
  if (!fileModulo.ApriLettura(percorso)) {
    Registra("errore apertura file");
    return rifiuta(RC_FILE_OPEN);
  }
  std::uint8_t chiusura[4];
  if (!fileModulo.Posiziona(fine) || !fileModulo.Leggi(chiusura, sizeof chiusura)) {
    return rifiutaChiudendo("errore codice file", RC_MODULE_CORRUPT);
  }
  codiceModulo = LeggiU16BE(chiusura + 2);
  if (codiceModulo != codice) return rifiutaChiudendo("errore codice file", RC_MACHINE_MISMATCH);
  if (fine < inizio ||
      !ContaBlocchi(inizio, fine - inizio, senzaRilettura || soloVerifica, &byteTotali,
                    &numeroBlocchi)) {
    return rifiutaChiudendo("errore scansione blocchi programma", RC_MODULE_CORRUPT);
  }
  if (!fileModulo.Posiziona(inizio) || !ProssimoBlocco(&byteBlocco, &indirizzoBlocco)) {
    return rifiutaChiudendo("errore ricerca primo blocco programma", RC_MODULE_CORRUPT);
  }

  if (!modo) {
    RegistraValore("velocita' %d bit/s", velocita[0]);
    bool riuscito = ImpostaVelocita(velocita[0]) != 0;
    if (riuscito) {
      Registra("cambio velocita' riuscito");
      Registra("inizio impulso DTR");
      riuscito = ImpulsoDtrStandard(0) != 0;
      Registra("fine impulso DTR");
      // The boot needs this long after reset before it listens.
      Orologio().Dormi(400);
    }
    if (!riuscito) return rifiutaChiudendo("errore generazione impulso iniziale", RC_PORT_ACCESS);
  }

  byteRimanenti = byteTotali;
  byteFatti = 0;
  byteRipetuti = 0;
  RegistraValore("TipoLoad %d", tipoLoad);
  CaricaMappa(MappaPerTipoLoad(tipoLoad));
  bloccoCorrente = 0;
  esito = RC_OK;
  fase = ST_WAIT_LINK;
  contaNack = 0;
  tentativoPrimario = 1;
  if (modo) {
    // The local board is already talking: go straight to addressing.
    tentativi = 5;
    passo = P_INVIO_SET_REMOTO;
  } else {
    tentativi = kTentativiAvvio;
    passo = P_INVIO_FIRMA_LOCALE;
  }
  ultimoInvio = tempoUltimo = tempoInizio = Secondi();
  return 1;
}

int CLoad90Fxxx::AvviaVerificaBoot(int indirizzoCan, CInterfaccia* linea, int* esitoAvvio) {
  soloVerificaBoot = 1;
  soloLettura = 0;
  soloVerifica = 0;
  ricevitore = nullptr;
  indirizzoVerifica = indirizzoCan;
  firmaRicevuta = 0;
  codiceScheda = kCodiceUniversale;
  versioneBoot = 0xFF;
  tipoMicroBoot = -1;
  // Nothing of a module: no fallback addresses, no blocks.
  indirizzoCorrente = indirizzoCan > 0 ? static_cast<std::uint32_t>(indirizzoCan) : 0;
  indirizzoSecondarioCorrente = indirizzo = indirizzoSecondario = 0;
  indirizzoPredefinito = indirizzoSecondarioPredefinito = 0;
  tentativoPrimario = 0;
  moduloDati = 0;
  bootUniversale = 0;
  indirizzoBlocco = byteBlocco = 0;
  byteTotali = byteFatti = byteRimanenti = byteRipetuti = 0;
  Collega(linea);
  tentativi = kTentativiAvvio;
  contaNack = 0;
  esito = RC_OK;
  fase = ST_WAIT_LINK;
  passo = indirizzoCan <= 0 ? P_INVIO_FIRMA : P_INVIO_SET_REMOTO;
  Registra("inizio impulso DTR");
  ImpulsoDtrStandard(0);
  Registra("fine impulso DTR");
  // The boot needs this long after reset before it listens.
  Orologio().Dormi(400);
  ultimoInvio = tempoUltimo = tempoInizio = Secondi();
  *esitoAvvio = RC_OK;
  return 1;
}

int CLoad90Fxxx::AvviaLettura(int indirizzoCan, const std::vector<SIntervalloLettura>& intervalli,
                              CRicevitoreLettura* destinazione, CInterfaccia* linea,
                              int* esitoAvvio) {
  std::uint64_t totale = 0;
  bool validi = !intervalli.empty();
  for (std::size_t i = 0; validi && i < intervalli.size(); ++i) {
    const SIntervalloLettura& r = intervalli[i];
    if (r.fine <= r.inizio || (i > 0 && r.inizio < intervalli[i - 1].fine)) validi = false;
    totale += r.fine - r.inizio;
  }
  if (!validi || totale > 0x7FFFFFFF || !destinazione) {
    esito = RC_NO_MODULES;
    fase = ST_FAILED;
    passo = P_FERMO;
    *esitoAvvio = RC_NO_MODULES;
    return 0;
  }
  Collega(linea);
  soloVerificaBoot = 0;
  soloVerifica = 0;
  soloLettura = 1;
  ricevitore = destinazione;
  intervalliLettura = intervalli;
  intervalloCorrente = 0;
  moduloDati = 0;
  opzioneSenzaRilettura = opzioneRiletturaOttimizzata = 0;
  opzioneBootUniversale = 1;  // nothing is bound: no Codice
  opzioneVelocitaFissa = opzioneScritturaLenta = opzioneBuffer128 = 0;
  senzaRilettura = 0;
  codiceModulo = kCodiceUniversale;  // no module: the board's code is taken as it is
  firmaRicevuta = 0;
  codiceScheda = kCodiceUniversale;
  versioneBoot = 0xFF;
  versioneLocale = 0;
  tipoMicroBoot = -1;
  indirizzo = indirizzoCan > 0 ? static_cast<std::uint32_t>(indirizzoCan) : 0;
  indirizzoSecondario = indirizzoPredefinito = indirizzoSecondarioPredefinito = 0;
  indirizzoCorrente = indirizzo;
  indirizzoSecondarioCorrente = 0;
  // The start speeds of an ordinary board: 38400 bit/s, else 19200.
  velocita[0] = 38400;
  velocita[1] = 19200;
  indiceVelocita = 0;
  bootUniversale = 0;
  inAttesa = 0;
  maschera = nullptr;
  lunghezzaMaschera = 0;
  numeroBlocchi = static_cast<int>(intervalli.size());
  bloccoCorrente = 0;
  indirizzoBlocco = static_cast<int>(intervalli[0].inizio);
  byteBlocco = static_cast<int>(intervalli[0].fine - intervalli[0].inizio);

  RegistraValore("velocita' %d bit/s", velocita[0]);
  bool riuscito = ImpostaVelocita(velocita[0]) != 0;
  if (riuscito) {
    Registra("cambio velocita' riuscito");
    Registra("inizio impulso DTR");
    riuscito = ImpulsoDtrStandard(0) != 0;
    Registra("fine impulso DTR");
    // The boot needs this long after reset before it listens.
    Orologio().Dormi(400);
  }
  if (!riuscito) {
    Registra("errore generazione impulso iniziale");
    esito = RC_PORT_ACCESS;
    fase = ST_FAILED;
    passo = P_FERMO;
    *esitoAvvio = RC_PORT_ACCESS;
    return 0;
  }
  byteTotali = byteRimanenti = static_cast<int>(totale);
  byteFatti = 0;
  byteRipetuti = 0;
  RegistraValori("lettura flash di %d intervalli, %ld byte", static_cast<int>(intervalli.size()),
                 static_cast<long>(totale));
  CaricaMappa(MappaPerTipoLoad(3));
  esito = RC_OK;
  fase = ST_WAIT_LINK;
  contaNack = 0;
  tentativoPrimario = 1;
  tentativi = kTentativiLettura;
  passo = P_INVIO_FIRMA_LOCALE;
  ultimoInvio = tempoUltimo = tempoInizio = Secondi();
  *esitoAvvio = RC_OK;
  return 1;
}

int CLoad90Fxxx::PrimoIndirizzoDiverso(std::uint32_t* indirizzoDiverso) const {
  if (!diversoTrovato) return 0;
  if (indirizzoDiverso) *indirizzoDiverso = primoDiverso;
  return 1;
}

int CLoad90Fxxx::Termina() {
  if (!soloVerificaBoot && !soloLettura) fileModulo.Chiudi();
  return 1;
}

// --- the step -----------------------------------------------------------------------

int CLoad90Fxxx::Passo(int* aggiorna) {
  *aggiorna = 0;
  aggiornaCorrente = aggiorna;
  int continua = 1;
  switch (passo) {
    case P_INVIO_FIRMA_LOCALE:
      if ((continua = InvioGetFirma())) passo = P_FIRMA_LOCALE;
      break;
    case P_FIRMA_LOCALE: continua = GetFirmaRicevi(true); break;
    case P_VERSIONE_LOCALE: continua = VersioneRicevi(true); break;
    case P_VELOCITA_MASSIMA: continua = VelocitaMassimaRicevi(); break;
    case P_SET_VELOCITA: continua = SetVelocitaRicevi(); break;
    case P_INVIO_SET_REMOTO:
      if ((continua = InvioSetRemoto())) passo = P_SET_REMOTO;
      break;
    case P_SET_REMOTO: continua = SetRemotoRicevi(); break;
    case P_INVIO_REBOOT:
      if ((continua = InvioReboot())) passo = P_REBOOT;
      break;
    case P_REBOOT: continua = RebootRicevi(); break;
    case P_INVIO_FIRMA:
      if ((continua = InvioGetFirma())) passo = P_FIRMA;
      break;
    case P_FIRMA: continua = GetFirmaRicevi(false); break;
    case P_VERSIONE: continua = VersioneRicevi(false); break;
    case P_MICRO: continua = MicroRicevi(); break;
    case P_INVIO_FLASH_TYPE:
      baseFlash = kBaseFlashEsterna;
      offsetQuery = kOffsetQuery;
      conteggioQuery = kConteggioQuery;
      if ((continua = InvioFlashType())) {
        tentativi = 1;
        passo = P_FLASH_TYPE;
      }
      break;
    case P_FLASH_TYPE: continua = FlashTypeRicevi(); break;
    case P_FLASH_SPEC: continua = FlashSpecRicevi(); break;
    case P_FLASH_BLOCCO: continua = FlashBloccoRicevi(); break;
    case P_MODO_DATI: continua = ModoDatiRicevi(); break;
    case P_LUN_BUF: continua = LunBufRicevi(); break;
    case P_BLANK: continua = BlankRicevi(); break;
    case P_ERASE: continua = EraseRicevi(); break;
    case P_WRITE: continua = WriteRicevi(); break;
    case P_READ: continua = soloLettura ? LetturaRicevi() : ReadRicevi(); break;
    case P_CODICE: continua = CodiceRicevi(); break;
    case P_FINE: continua = FineRicevi(); break;
    case P_SVEGLIA: continua = SvegliaRicevi(); break;
    default: break;  // idle
  }
  const int adesso = Secondi();
  if (adesso != tempoUltimo) {
    tempoUltimo = adesso;
    *aggiorna = 1;
  }
  if (!continua) *aggiorna = 1;
  aggiornaCorrente = nullptr;
  return continua;
}

int CLoad90Fxxx::Fallisci(int codice) {
  esito = codice;
  fase = ST_FAILED;
  passo = P_FERMO;
  return 0;
}

int CLoad90Fxxx::Fallisci5(int codice) {
  esito = codice;
  fase = ST_LINK_LOST;
  passo = P_FERMO;
  return 0;
}

int CLoad90Fxxx::Fatto() {
  esito = RC_OK;
  fase = ST_DONE;
  passo = P_FERMO;
  return 0;
}

// --- senders ------------------------------------------------------------------------

int CLoad90Fxxx::Invia(Richiesta r, const CTrama& trama, int lunghezzaRisposta, bool lento) {
  const SRichiesta& d = Descrizione(r);
  ImpostaScadenza(d.timeoutMs);
  if (d.invio) RegistraByte(d.invio, trama.Dati(), trama.Lunghezza());
  const int attesa = lunghezzaRisposta ? lunghezzaRisposta : d.lunghezzaRisposta;
  if (!InviaRichiesta(trama.Dati(), trama.Lunghezza(), attesa, d.timeoutMs, lento ? 1 : 0)) {
    return Fallisci(RC_SERIAL_SEND);
  }
  return 1;
}

int CLoad90Fxxx::InvioGetFirma() { return Invia(Richiesta::GetFirma, TramaGetFirma()); }
int CLoad90Fxxx::InvioGetVersione() { return Invia(Richiesta::GetVersione, TramaGetVersione()); }
int CLoad90Fxxx::InvioGetMicro() { return Invia(Richiesta::GetMicro, TramaGetMicro()); }
int CLoad90Fxxx::InvioGetVelocitaMassima() {
  return Invia(Richiesta::GetVelocitaMassima, TramaGetVelocitaMassima());
}
int CLoad90Fxxx::InvioSetVelocita() {
  return Invia(Richiesta::SetVelocita, TramaSetVelocita(kVelocita115200));
}
int CLoad90Fxxx::InvioSetRemoto() {
  std::uint32_t destinatario = static_cast<std::uint32_t>(indirizzoVerifica);
  if (!soloVerificaBoot) {
    destinatario = tentativoPrimario ? indirizzoCorrente : indirizzoSecondarioCorrente;
  }
  InoltraDestinatario(kBaseDestinatario, static_cast<int>(destinatario));
  return Invia(Richiesta::SetRemoto, TramaSetRemoto(static_cast<std::uint16_t>(destinatario)));
}
int CLoad90Fxxx::InvioReboot() { return Invia(Richiesta::Reboot, TramaReboot()); }
int CLoad90Fxxx::InvioModoDati() { return Invia(Richiesta::ModoDati, TramaModoDati()); }
int CLoad90Fxxx::InvioLunBuf() { return Invia(Richiesta::LunBuf, TramaLunBuf()); }
int CLoad90Fxxx::InvioFlashType() {
  return Invia(Richiesta::FlashType,
               TramaFlashType(baseFlash, offsetQuery, conteggioQuery,
                              tipoMicroBoot == kMicroIndirizzo32),
               conteggioQuery + 3);
}
int CLoad90Fxxx::InvioFlashBlocco() {
  return Invia(Richiesta::FlashBlocco,
               TramaFlashBlocco(static_cast<std::uint32_t>(indirizzoBlocco),
                                tipoMicroBoot == kMicroIndirizzo32));
}
int CLoad90Fxxx::InvioBlank() {
  return Invia(Richiesta::Blank,
               TramaBlank(settoreInizio, settoreFine - 2, tipoMicroBoot == kMicroIndirizzo32));
}
int CLoad90Fxxx::InvioErase() {
  return Invia(Richiesta::Erase, TramaErase(UltimoSettore(), tipoMicroBoot == kMicroIndirizzo32));
}
int CLoad90Fxxx::InvioCodice() {
  return Invia(Richiesta::Codice, TramaCodice(codiceModulo, indirizzoCorrente));
}

int CLoad90Fxxx::InvioFine() {
  // Reading and verifying leave a universal boot as it is.
  if (!bootUniversale || opzioneBootUniversale || soloLettura || soloVerifica) {
    if (!Invia(Richiesta::Fine, TramaFine())) return 0;
    passo = P_FINE;
    return 1;
  }
  // A universal boot is bound to this machine and CAN address before closing.
  if (!InvioCodice()) return 0;
  tentativi = 5;
  passo = P_CODICE;
  return 1;
}

int CLoad90Fxxx::Rinvia(Richiesta r) {
  int codice = RC_OK;
  switch (r) {
    case Richiesta::GetFirma:
      // The next step sends.
      passo = passo <= P_FIRMA_LOCALE ? P_INVIO_FIRMA_LOCALE : P_INVIO_FIRMA;
      return 1;
    case Richiesta::SetRemoto: passo = P_INVIO_SET_REMOTO; return 1;
    case Richiesta::Reboot: passo = P_INVIO_REBOOT; return 1;
    case Richiesta::ModoDati: return InvioModoDati();
    case Richiesta::LunBuf: return InvioLunBuf();
    case Richiesta::FlashType:
    case Richiesta::FlashSpec: return InvioFlashType();
    case Richiesta::FlashBlocco: return InvioFlashBlocco();
    case Richiesta::Blank:
      if (!InvioBlank()) return 0;
      ultimoInvio = Secondi();
      return 1;
    case Richiesta::Erase: return InvioErase();
    case Richiesta::Codice: return InvioCodice();
    case Richiesta::Write:
      byteRipetuti += byteScrittura;
      if (aggiornaCorrente) *aggiornaCorrente = 1;
      return InvioWriteSeServe(1, &codice) ? 1 : Fallisci(codice);
    case Richiesta::Read:
      byteRipetuti += byteLettura;
      if (aggiornaCorrente) *aggiornaCorrente = 1;
      if (soloLettura) return InvioLetturaSeServe(1, &codice) ? 1 : Fallisci(codice);
      return InvioReadSeServe(1, &codice) ? 1 : Fallisci(codice);
    default:
      return Fallisci(RC_INTERNAL);  // requests without retries never come here
  }
}

// --- receiving ------------------------------------------------------------------------

int CLoad90Fxxx::Raccogli(Richiesta r, int lunghezza) {
  if (!RiceviRisposta(risposta, lunghezza)) return -1;
  if (byteRicevuti < lunghezza) return 0;
  const SRichiesta& d = Descrizione(r);
  if (r == Richiesta::Read) {
    RegistraValori(d.ricevuto, byteLettura, Margine());
  } else {
    RegistraValore(d.ricevuto, Margine());
  }
  return 1;
}

int CLoad90Fxxx::ClassificaIncompleta(const char* prefisso) {
  if (byteRicevuti == 1 && risposta[0] == kNack) {
    RegistraConcat(prefisso, "errore per nack");
    return RC_NACK;
  }
  if (!Scaduto()) return 0;
  if (byteRicevuti == kLunghezzaNonGestito && risposta[0] == kComandoEsteso &&
      risposta[1] == kNonGestito) {
    RegistraConcat(prefisso, "errore per comando non gestito");
    return RC_INTERNAL;
  }
  RegistraPrefissoValore(prefisso, "timeout, ricevuti %d caratteri", byteRicevuti);
  return RC_REPLY_TIMEOUT;
}

int CLoad90Fxxx::Riprova(Richiesta r, int codice) {
  const SRichiesta& d = Descrizione(r);
  if (tentativi-- <= 1) {
    Registra(d.fineTentativi);
    return Fallisci(codice);
  }
  Registra(d.tentativo);
  return Rinvia(r);
}

void CLoad90Fxxx::RegistraRispostaErrata(Richiesta r, bool conByte) {
  const SRichiesta& d = Descrizione(r);
  if (conByte) {
    RegistraByte(d.errata, risposta, byteRicevuti);
  } else {
    Registra(d.errata);
  }
}

void CLoad90Fxxx::Riparti(int n, int primario) {
  tentativi = n;
  contaNack = 0;
  tentativoPrimario = primario;
  passo = P_INVIO_SET_REMOTO;
  esito = RC_OK;
  fase = ST_WAIT_LINK;
}

int CLoad90Fxxx::UsaIndirizziPredefiniti() {
  if (indirizzoCorrente != 0) {
    if (indirizzoSecondarioCorrente != 0) return 1;
    if (indirizzoSecondarioPredefinito == 0) return 0;
    indirizzoSecondarioCorrente = indirizzoSecondarioPredefinito;
    RegistraValore("utilizzo indirizzo secondario predefinito %04x", indirizzoSecondarioCorrente);
    return 1;
  }
  if (indirizzoPredefinito == 0) return 0;
  indirizzoCorrente = indirizzoPredefinito;
  indirizzoSecondarioCorrente = indirizzoSecondarioPredefinito;
  RegistraValori("utilizzo indirizzi predefiniti %04x %04x", indirizzoCorrente,
                 indirizzoSecondarioCorrente);
  return 1;
}

int CLoad90Fxxx::ProvaAltroIndirizzo() {
  if ((indirizzoSecondarioCorrente != 0 && indirizzoSecondarioCorrente != indirizzoCorrente) ||
      UsaIndirizziPredefiniti()) {
    RegistraValore("tentativo remoto %04lx", indirizzoSecondarioCorrente);
    Riparti(5, 0);
    return 1;
  }
  return 0;
}

// --- local board and target board: identification ----------------------------------

int CLoad90Fxxx::GetFirmaRicevi(bool locale) {
  const int r = Raccogli(Richiesta::GetFirma, Descrizione(Richiesta::GetFirma).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r > 0) {
    if (!VerificaRisposta(risposta, byteRicevuti, kGetFirma)) {
      RegistraRispostaErrata(Richiesta::GetFirma, true);
      // Let the line go quiet before the port is opened again.
      Orologio().Dormi(100);
      Registra("riapertura interfaccia");
      RiapriCollegamento();
      return Riprova(Richiesta::GetFirma, RC_REPLY_CRC);
    }
    firmaRicevuta = 1;
    codiceScheda = LeggiU16(risposta + 1);
    if (locale) {
      codiceLocale = codiceScheda;
      if (!InvioGetVersione()) return 0;
      passo = P_VERSIONE_LOCALE;
      return 1;
    }
    if (soloVerificaBoot || soloLettura) {
      // Whatever the board is, it is only asked and read.
      RegistraValore("distributore codice %04x", codiceScheda);
    } else {
      if (codiceScheda != kCodiceUniversale && codiceModulo != kCodiceUniversale &&
          codiceScheda != codiceModulo) {
        RegistraValore("distributore errato %04x", codiceScheda);
        return Fallisci(RC_PROGRAM_INCOMPATIBLE);
      }
      if (codiceScheda == kCodiceUniversale && !UsaIndirizziPredefiniti() &&
          !opzioneBootUniversale) {
        Registra("impossibile caricare un applicativo senza indirizzo CAN con un boot universale");
        return Fallisci(RC_NO_CAN_ADDRESS);
      }
      if (codiceModulo == kCodiceUniversale && !moduloDati) {
        Registra("impossibile caricare un modulo universale non di tipo Data");
        return Fallisci(kEsitoModuloUniversale);
      }
      RegistraValore("distributore codice %04x", codiceScheda);
      bootUniversale = codiceScheda == kCodiceUniversale ? 1 : 0;
    }
    if (!InvioGetVersione()) return 0;
    passo = P_VERSIONE;
    esito = RC_OK;
    fase = ST_LINKED;
    return 1;
  }
  // Nothing new on this step.
  if (byteRicevuti == 1 && risposta[0] == kNack) {
    Registra("GetFirmaRicevi: richiesta firma scheda remota non raggiungibile");
    return Riprova(Richiesta::GetFirma, RC_REMOTE_UNREACHABLE);
  }
  if (!Scaduto()) return 1;
  RegistraValore("GetFirmaRicevi: timeout, ricevuti %d caratteri", byteRicevuti);
  if (locale) {
    // The board may be waiting at either of the module's start speeds.
    indiceVelocita ^= 1;
    RegistraValore("nuova velocita' %d bit/s", velocita[indiceVelocita]);
    if (!ImpostaVelocita(velocita[indiceVelocita])) return Fallisci(RC_PORT_ACCESS);
    Registra("cambio velocita' riuscito");
    return Riprova(Richiesta::GetFirma, RC_REPLY_TIMEOUT);
  }
  if (tentativi <= 1 && tentativoPrimario && ProvaAltroIndirizzo()) return 1;
  return Riprova(Richiesta::GetFirma, indirizzoCorrente ? RC_REMOTE_UNREACHABLE : RC_REPLY_TIMEOUT);
}

int CLoad90Fxxx::VersioneRicevi(bool locale) {
  const int r = Raccogli(Richiesta::GetVersione, Descrizione(Richiesta::GetVersione).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(Richiesta::GetVersione).prefisso);
    return codice ? Fallisci(codice) : 1;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kGetVersione)) {
    RegistraRispostaErrata(Richiesta::GetVersione, false);
    return Fallisci(RC_REPLY_CRC);
  }
  const std::uint8_t versione = risposta[1];
  versioneBoot = versione;
  if (locale) {
    versioneLocale = versione;
    RegistraValore("versione boot locale %02x", versioneLocale);
    RegistraValore("versione boot %02x", versioneBoot);
    if (opzioneVelocitaFissa || versione < kVersioneConVelocita) {
      RegistraValore("tentativo remoto %04lx", indirizzoCorrente);
      Riparti(5, 1);
      return 1;
    }
    if (!InvioGetVelocitaMassima()) return 0;
    passo = P_VELOCITA_MASSIMA;
    return 1;
  }
  RegistraValore("versione boot %02x", versioneBoot);
  if (versioneLocale >= kVersioneMappaAuto && versioneBoot >= kVersioneMappaAuto) {
    Registra("TipoLoad auto");
    CaricaMappa(kMappaMAuto);
  }
  if (versioneBoot < kVersioneConMicro) return TipoLegacy();
  if (!InvioGetMicro()) return 0;
  passo = P_MICRO;
  return 1;
}

int CLoad90Fxxx::VelocitaMassimaRicevi() {
  const Richiesta q = Richiesta::GetVelocitaMassima;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    return codice ? Fallisci(codice) : 1;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kComandoEsteso)) {
    RegistraRispostaErrata(q, false);
    return Fallisci(RC_REPLY_CRC);
  }
  const std::uint8_t codiceVelocita = risposta[1];
  RegistraValore("codice velocita' massima %02x", codiceVelocita);
  if (codiceVelocita == kVelocita115200) {
    if (!InvioSetVelocita()) return 0;
    passo = P_SET_VELOCITA;
    return 1;
  }
  if (codiceVelocita == kVelocitaDefault) Registra("velocita' massima default: 38400 bit/s");
  Riparti(5, 1);
  return 1;
}

int CLoad90Fxxx::SetVelocitaRicevi() {
  const Richiesta q = Richiesta::SetVelocita;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    return codice ? Fallisci(codice) : 1;
  }
  RegistraValore("nuova velocita' %ld bit/s", kBaudAlto);
  if (!VerificaRisposta(risposta, byteRicevuti, kComandoEsteso)) {
    RegistraRispostaErrata(q, false);
    return Fallisci(RC_REPLY_CRC);
  }
  if (risposta[1] != kStatoOk) return Fallisci(RC_UNEXPECTED_REPLY);
  if (!ImpostaVelocita(kBaudAlto)) {
    Registra("cambio velocita' fallito");
    return Fallisci(RC_PORT_ACCESS);
  }
  Registra("cambio velocita' riuscito");
  RegistraValore("tentativo remoto %04lx", indirizzoCorrente);
  Riparti(5, 1);
  return 1;
}

int CLoad90Fxxx::SetRemotoRicevi() {
  const Richiesta q = Richiesta::SetRemoto;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r > 0) {
    contaNack = 0;
    if (!VerificaRisposta(risposta, byteRicevuti, kSetRemoto)) {
      RegistraRispostaErrata(q, true);
      return Riprova(q, RC_REPLY_CRC);
    }
    if (risposta[1] != kStatoOk) {
      RegistraValore("set remoto non accettato risposta %02x", risposta[1]);
      return Fallisci(RC_REMOTE_LOAD);
    }
    Registra("set remoto completato");
    if (soloVerificaBoot) {
      tentativi = 2;
      passo = P_INVIO_REBOOT;
    } else if (indirizzoCorrente == 0 ||
               (codiceModulo != kCodiceUniversale && codiceModulo == codiceLocale)) {
      // The module is for the local board: no reboot.
      Registra("trasferimento in locale");
      trasferimentoLocale = 1;
      tentativi = 5;
      passo = P_INVIO_FIRMA;
    } else {
      Registra("trasferimento in remoto");
      trasferimentoLocale = 0;
      tentativi = 2;
      passo = P_INVIO_REBOOT;
    }
    esito = RC_OK;
    fase = ST_LINKED;
    return 1;
  }
  if (byteRicevuti == 1 && risposta[0] == kNack) {
    if (++contaNack < 4) {
      Registra("InvioSetRemoto: nuovo tentativo per nack");
      return Riprova(q, RC_REMOTE_LOAD);
    }
    Registra("InvioSetRemoto: raggiunto numero max nack");
    return Fallisci(RC_REMOTE_LOAD);
  }
  if (!Scaduto()) return 1;
  RegistraValore("InvioSetRemoto: nuova richiesta per timeout, ricevuti %d caratteri", byteRicevuti);
  contaNack = 0;
  return Riprova(q, RC_REMOTE_LOAD);
}

int CLoad90Fxxx::RebootRicevi() {
  const Richiesta q = Richiesta::Reboot;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r > 0) {
    if (!VerificaRisposta(risposta, byteRicevuti, kReboot)) {
      RegistraRispostaErrata(q, false);
      return Riprova(q, RC_REPLY_CRC);
    }
    const std::uint8_t stato = risposta[1];
    if (stato == kRebootIgnorato) {
      Registra("reboot scheda locale ignorato");
      tentativi = 5;
    } else if (stato == kStatoOk) {
      Registra("reboot completato");
      // The remote board restarts into its boot: give it time before asking.
      Orologio().Dormi(500);
      tentativi = 10;
    } else {
      RegistraValore("reboot non accettato risposta %02x", stato);
      if (!soloVerificaBoot && tentativoPrimario && ProvaAltroIndirizzo()) return 1;
      return Fallisci(RC_REBOOT);
    }
    passo = P_INVIO_FIRMA;
    esito = RC_OK;
    fase = ST_LINKED;
    return 1;
  }
  if (byteRicevuti == 1 && risposta[0] == kNack) {
    Registra("RebootRicevi: raggiunto numero max nack");
    return Fallisci(RC_REBOOT);
  }
  if (!Scaduto()) return 1;
  RegistraValore("RebootRicevi: nuova richiesta per timeout, ricevuti %d caratteri", byteRicevuti);
  return Riprova(q, RC_REMOTE_UNREACHABLE);
}

int CLoad90Fxxx::MicroRicevi() {
  const Richiesta q = Richiesta::GetMicro;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    return codice ? Fallisci(codice) : 1;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kComandoEsteso)) {
    RegistraRispostaErrata(q, false);
    return Fallisci(RC_REPLY_CRC);
  }
  tipoMicroBoot = risposta[1];
  if (tipoMicroBoot == kMicroNonInoltrato) {
    Registra("il boot locale non riesce a ridirigere il comando micro su Harbeklink");
    tipoMicroBoot = TipoMicroDaCodice(codiceScheda);
    RegistraValore("tipo micro legacy %02x", tipoMicroBoot);
  }
  if (soloVerificaBoot) {
    RegistraValore("tipo micro %02x", tipoMicroBoot);
    return ChiudiVerificaBoot();
  }
  return ControllaCompatibilita();
}

int CLoad90Fxxx::TipoLegacy() {
  tipoMicroBoot = TipoMicroDaCodice(codiceScheda);
  RegistraValore("tipo micro legacy %02x", tipoMicroBoot);
  return soloVerificaBoot ? ChiudiVerificaBoot() : ControllaCompatibilita();
}

int CLoad90Fxxx::ChiudiVerificaBoot() {
  switch (tipoMicroBoot) {
    case 1: case 4: case 5: case 6: case 7: case 8:
      // Boards of these micros may carry an external flash: probe for it.
      passo = P_INVIO_FLASH_TYPE;
      fase = ST_LINKED;
      return 1;
    default:
      return Fatto();
  }
}

int CLoad90Fxxx::ControllaCompatibilita() {
  if (soloLettura) {
    // Nothing of a module to match: learn the board's buffer and read.
    RegistraValore("tipo micro %02x", tipoMicroBoot);
    if (!InvioLunBuf()) return 0;
    passo = P_LUN_BUF;
    tentativi = 5;
    esito = RC_OK;
    fase = ST_LINKED;
    return 1;
  }
  switch (tipoMicroBoot) {
    case 1: case 2: case 4: case 6: case 8: case 9:
      break;
    default:
      if (!opzioneSenzaRilettura && opzioneRiletturaOttimizzata && !soloVerifica) {
        Registra("verifica scrittura necessaria");
        senzaRilettura = 0;
        byteRimanenti += byteTotali;
        byteTotali *= 2;
      }
      break;
  }
  if (!MicroCompatibili(tipoMicroBoot, tipoMicroModulo)) {
    RegistraValori("micro boot %d, micro modulo %d non compatibili", tipoMicroBoot, tipoMicroModulo);
    return Fallisci(RC_BOARD_INCOMPATIBLE);
  }
  RegistraValori("micro boot %d, micro modulo %d compatibili", tipoMicroBoot, tipoMicroModulo);
  if (moduloDati) {
    if (!InvioModoDati()) return 0;
    passo = P_MODO_DATI;
  } else {
    if (!InvioLunBuf()) return 0;
    passo = P_LUN_BUF;
  }
  tentativi = 5;
  esito = RC_OK;
  fase = ST_LINKED;
  return 1;
}

// --- data mode and packet size ---------------------------------------------------------

int CLoad90Fxxx::ModoDatiRicevi() {
  const Richiesta q = Richiesta::ModoDati;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    if (codice == RC_NACK) {
      Registra("ModoDati: non riconosciuto");
      return Fallisci(RC_BOOT_NO_DATA);
    }
    return codice ? Riprova(q, codice) : 1;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kComandoEsteso)) {
    RegistraRispostaErrata(q, false);
    return Riprova(q, RC_REPLY_CRC);
  }
  if (risposta[1] != kStatoOk) {
    Registra("ModoDati: non gestibile");
    return Fallisci(RC_BOOT_NO_DATA);
  }
  if (!InvioLunBuf()) return 0;
  tentativi = 5;
  passo = P_LUN_BUF;
  return 1;
}

int CLoad90Fxxx::LunBufRicevi() {
  const Richiesta q = Richiesta::LunBuf;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    return codice ? Riprova(q, codice) : 1;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kLunBuf)) {
    RegistraRispostaErrata(q, false);
    return Riprova(q, RC_REPLY_CRC);
  }
  bufferRemoto = DimensioneBufferRemoto(risposta[1]);
  if (opzioneBuffer128 && bufferRemoto > 128) bufferRemoto = 128;
  // Room for the Write header and check; data in whole words.
  datiPerPacchetto = std::max(0, (bufferRemoto - 12) / 4 * 4);
  RegistraValori("buffer remoto %d, dati %d byte", bufferRemoto, datiPerPacchetto);
  if (soloLettura || soloVerifica) {
    // Straight to reading: the file (verify) or the ranges (read) from the start.
    int codice = RC_OK;
    bloccoCorrente = 0;
    const int inviato = soloLettura ? InvioLetturaSeServe(0, &codice) : InvioReadSeServe(0, &codice);
    if (!inviato) return Fallisci(codice);
    passo = P_READ;
    esito = RC_OK;
    // A backup moves the flash to the PC; a verification checks it.
    fase = soloLettura ? ST_SEND_MODULE : ST_CHECK_TRANSFER;
    return 1;
  }
  return InvioFlashTypeOBlankOWrite();
}

int CLoad90Fxxx::SvegliaRicevi() {
  const Richiesta q = Richiesta::LunBuf;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    return codice ? Riprova(q, codice) : 1;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kLunBuf)) {
    RegistraRispostaErrata(q, false);
    return Riprova(q, RC_REPLY_CRC);
  }
  passo = P_WRITE;
  esito = RC_OK;
  fase = ST_SEND_MODULE;
  return 1;
}

// --- packets: flash identification, blank check, erase, write ------------------------

int CLoad90Fxxx::InvioFlashTypeOBlankOWrite() {
  std::uint32_t inizioRegione = 0;
  bool senza = false;
  bool fuori = false;
  const int daIdentificare = RegioneDaIdentificare(static_cast<std::uint32_t>(indirizzoBlocco),
                                                   inizioRegione, senza, fuori);
  senzaCancellazione = senza ? 1 : 0;
  fuoriMappa = fuori ? 1 : 0;
  if (!daIdentificare) return BlankOWrite();
  if (fuoriMappa) {
    RegistraValore("InvioFlashTypeOBlankOWrite: memoria inesistente %06lx", indirizzoBlocco);
    return Fallisci(RC_FLASH_MISSING);
  }
  baseFlash = inizioRegione;
  if (baseFlash == 0xFFFFFFFF) {
    // Automatic map: the boot knows the block around the address.
    RegistraValore("InvioFlashTypeOBlankOWrite: blocco %06lx, richiedi a boot", indirizzoBlocco);
    if (!InvioFlashBlocco()) return 0;
    tentativi = 1;
    passo = P_FLASH_BLOCCO;
    return 1;
  }
  RegistraValori("InvioFlashTypeOBlankOWrite: blocco %06lx, memoria %06lx", indirizzoBlocco,
                 baseFlash);
  offsetQuery = kOffsetQuery;
  conteggioQuery = kConteggioQuery;
  if (!InvioFlashType()) return 0;
  tentativi = 1;
  passo = P_FLASH_TYPE;
  return 1;
}

int CLoad90Fxxx::BlankOWrite() {
  std::uint32_t inizio = 0;
  std::uint32_t fine = 0;
  bool fuori = false;
  // A sector already checked (and erased) for this module is not checked again
  // when a later record comes back to it: erasing it would lose what was written.
  if (ProssimoSettore(static_cast<std::uint32_t>(indirizzoBlocco), senzaCancellazione != 0, inizio,
                      fine, fuori) &&
      settoriControllati.insert(inizio).second) {
    if (moduloDati) {
      // A data module owns only its own bytes of the sector.
      const auto primo = static_cast<std::uint32_t>(indirizzoBlocco);
      inizio = std::max(inizio, primo);
      fine = std::min(fine, primo + static_cast<std::uint32_t>(byteBlocco));
    }
    settoreInizio = inizio;
    settoreFine = fine;
    if (!InvioBlank()) return 0;
    ultimoInvio = Secondi();
    tentativi = 5;
    passo = P_BLANK;
    return 1;
  }
  fuoriMappa = fuori ? 1 : 0;
  if (fuoriMappa) {
    RegistraValore("InvioBlankSeServe: memoria inesistente %06lx", indirizzoBlocco);
    return Fallisci(RC_FLASH_MISSING);
  }
  return Scrivi();
}

int CLoad90Fxxx::Scrivi() {
  int codice = RC_OK;
  if (!InvioWriteSeServe(0, &codice)) return Fallisci(codice);
  if (!inAttesa && Secondi() > ultimoInvio + 3) {
    // Packets are being skipped: keep the boot from giving up on us.
    Registra("invio sveglia boot");
    if (!InvioLunBuf()) return 0;
    ultimoInvio = Secondi();
    tentativi = 5;
    passo = P_SVEGLIA;
  } else {
    passo = P_WRITE;
  }
  esito = RC_OK;
  fase = ST_SEND_MODULE;
  return 1;
}

int CLoad90Fxxx::InvioWriteSeServe(int riprova, int* codice) {
  const bool largo = tipoMicroBoot == kMicroIndirizzo32;
  const int intestazione = largo ? 7 : 6;
  const int richiesti = std::clamp(std::min(byteBlocco, datiPerPacchetto), 0, 0xFFFF);
  const std::uint8_t* datiSettore = nullptr;
  std::uint32_t lunghezzaDatiSettore = 0;
  const int n = LunghezzaNelSettore(static_cast<std::uint16_t>(richiesti),
                                    static_cast<std::uint32_t>(indirizzoBlocco), datiSettore,
                                    lunghezzaDatiSettore);
  byteScrittura = static_cast<std::uint16_t>(n);
  if (datiPerPacchetto <= 0) {
    // The board's buffer cannot carry even one word of data after the header.
    RegistraValore("InvioWriteSeServe: buffer disponibile troppo piccolo, serve %d", 12 + 4);
    *codice = RC_FLASH_MISSING;
    return 0;
  }
  if (intestazione + n > kMaxDatiWrite) {
    RegistraValore("InvioWriteSeServe: buffer disponibile troppo piccolo, serve %d", n);
    *codice = RC_FLASH_MISSING;
    return 0;
  }
  if (n == 0) {
    RegistraValore("InvioWriteSeServe: tentativo scrittura a memoria inesistente %06lx",
                   indirizzoBlocco);
    *codice = RC_FLASH_MISSING;
    return 0;
  }
  std::uint8_t dati[kMaxDatiWrite + 8];
  if ((riprova && !fileModulo.Sposta(-n)) || !fileModulo.Leggi(dati, static_cast<std::uint32_t>(n))) {
    Registra("errore lettura blocco programma");
    *codice = RC_MODULE_CORRUPT;
    return 0;
  }
  const int t = Secondi();
  if (NonVuoto(dati, n)) {
    // Written lengths are whole multiples of the map's alignment, padded with FF.
    const int allineamento = MascheraAllineamento() + 1;
    const int m = (n + allineamento - 1) / allineamento * allineamento;
    std::fill(dati + n, dati + m, 0xFF);
    RegistraValori("invio %04lx dati a %06lx", m, indirizzoBlocco);
    const CTrama trama = TramaWrite(static_cast<std::uint32_t>(indirizzoBlocco), dati, m, largo);
    if (!Invia(Richiesta::Write, trama, 0, opzioneScritturaLenta != 0)) {
      *codice = RC_SERIAL_SEND;
      return 0;
    }
    ultimoInvio = t;
    inAttesa = 1;
  } else {
    RegistraValore("invio dati %06lx saltato", indirizzoBlocco);
    inAttesa = 0;
  }
  if (t != tempoUltimo || passo == P_FERMO) {
    tempoUltimo = t;
    if (aggiornaCorrente) *aggiornaCorrente = 1;
  }
  if (inAttesa && !riprova) tentativi = 5;
  return 1;
}

int CLoad90Fxxx::BlankRicevi() {
  const Richiesta q = Richiesta::Blank;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    return codice ? Riprova(q, codice) : 1;
  }
  // Accepted requests are announced by an extra command byte before the reply.
  if (risposta[0] != kBlank) {
    Registra("BlankRicevi: inizio risposta errato");
    return Riprova(q, RC_REPLY_CRC);
  }
  if (!VerificaRisposta(risposta + 1, byteRicevuti - 1, kBlank)) {
    RegistraRispostaErrata(q, false);
    return Riprova(q, RC_REPLY_CRC);
  }
  const std::uint8_t stato = risposta[2];
  if (stato == kBlankVuoto) return Scrivi();
  RegistraValore("BlankRicevi: risposta %02x", stato);
  if (!InvioErase()) return 0;
  tentativi = 5;
  passo = P_ERASE;
  return 1;
}

int CLoad90Fxxx::EraseRicevi() {
  const Richiesta q = Richiesta::Erase;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    return codice ? Riprova(q, codice) : 1;
  }
  if (risposta[0] != kErase) {
    Registra("EraseRicevi: inizio risposta errato");
    return Riprova(q, RC_REPLY_CRC);
  }
  if (!VerificaRisposta(risposta + 1, byteRicevuti - 1, kErase)) {
    RegistraRispostaErrata(q, false);
    return Riprova(q, RC_REPLY_CRC);
  }
  const std::uint8_t stato = risposta[2];
  if (stato == kStatoOk) return Scrivi();
  if (stato == kEraseProtetto) {
    Registra("EraseRicevi: tentativo cancellazione blocco protetto");
    return Scrivi();
  }
  RegistraValore("EraseRicevi: impossibile cancellare il blocco (%02x)", stato);
  return Riprova(q, RC_BLOCK_ERASE);
}

int CLoad90Fxxx::WriteRicevi() {
  if (!inAttesa) return ProssimaScrittura();  // the last packet was skipped
  const Richiesta q = Richiesta::Write;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    return codice ? Riprova(q, codice) : 1;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kWrite)) {
    RegistraRispostaErrata(q, false);
    return Riprova(q, RC_REPLY_CRC);
  }
  const std::uint8_t stato = risposta[1];
  if (stato == kWriteAreaBoot) {
    Registra("programma troppo lungo");
    return Fallisci(RC_BOOT_AREA);
  }
  if (stato == kWriteAreaVettori) Registra("scrittura area vettori");
  if (stato != kStatoOk && stato != kWriteAreaVettori) {
    RegistraValore("impossibile scrivere i dati risposta %02x", stato);
    return Riprova(q, RC_BLOCK_WRITE);
  }
  // Skipped packets cost no request: go through them within this step.
  do {
    if (!ProssimaScrittura()) return 0;
  } while (!inAttesa && passo == P_WRITE);
  return 1;
}

int CLoad90Fxxx::ProssimaScrittura() {
  indirizzoBlocco += byteScrittura;
  byteBlocco -= byteScrittura;
  byteRimanenti -= byteScrittura;
  byteFatti += byteScrittura;
  if (byteBlocco > 0) return InvioFlashTypeOBlankOWrite();
  if (++bloccoCorrente < numeroBlocchi) {
    if (!ProssimoBlocco(&byteBlocco, &indirizzoBlocco)) {
      Registra("errore ricerca blocco programma");
      return Fallisci(RC_MODULE_CORRUPT);
    }
    return InvioFlashTypeOBlankOWrite();
  }
  if (senzaRilettura) {
    if (aggiornaCorrente) *aggiornaCorrente = 1;
    return InvioFine();
  }
  // Everything written: read it all back from the first record.
  if (!fileModulo.Posiziona(inizioModulo) || !ProssimoBlocco(&byteBlocco, &indirizzoBlocco)) {
    Registra("errore ricerca primo blocco programma");
    return Fallisci(RC_MODULE_CORRUPT);
  }
  bloccoCorrente = 0;
  int codice = RC_OK;
  if (!InvioReadSeServe(0, &codice)) return Fallisci(codice);
  passo = P_READ;
  esito = RC_OK;
  fase = ST_CHECK_TRANSFER;
  return 1;
}

// --- read-back -----------------------------------------------------------------------------

int CLoad90Fxxx::InviaRead(int n, int riprova, int* codice) {
  RegistraValori("invio read %06lx per %04x dati", indirizzoBlocco, n);
  const CTrama trama = TramaRead(static_cast<std::uint32_t>(indirizzoBlocco),
                                 static_cast<std::uint16_t>(n), tipoMicroBoot == kMicroIndirizzo32);
  if (!Invia(Richiesta::Read, trama, n + 3)) {
    *codice = RC_SERIAL_SEND;
    return 0;
  }
  inAttesa = 1;
  if (!riprova) tentativi = 5;
  return 1;
}

int CLoad90Fxxx::RispostaRead(int* esitoPasso) {
  const Richiesta q = Richiesta::Read;
  const int r = Raccogli(q, byteLettura + 3);
  if (r == 0) return 0;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    *esitoPasso = codice ? Riprova(q, codice) : 1;
    return 0;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kRead)) {
    RegistraRispostaErrata(q, false);
    *esitoPasso = Riprova(q, RC_REPLY_CRC);
    return 0;
  }
  return 1;
}

void CLoad90Fxxx::AvanzaLettura() {
  indirizzoBlocco += byteLettura;
  byteBlocco -= byteLettura;
  byteRimanenti -= byteLettura;
  byteFatti += byteLettura;
}

int CLoad90Fxxx::InvioReadSeServe(int riprova, int* codice) {
  // Read-back packets: what the local board's buffer holds, or what the
  // machine's internal bus carries for a remote board.
  const int limite = trasferimentoLocale ? bufferRemoto - 12 : 46;
  int n = std::clamp(std::min(byteBlocco, limite), 0, 0xFFFF);
  maschera = nullptr;
  lunghezzaMaschera = 0;
  bool taglia = PrimaRegioneNonLineare();
  if (taglia && soloVerifica) {
    // Nothing was written, so no chip was asked about: a sector is known only
    // where the map knows it by itself; elsewhere the piece is not cut.
    std::uint32_t s = 0, e = 0, l = 0;
    const std::uint8_t* d = nullptr;
    taglia = TrovaSettore(static_cast<std::uint32_t>(indirizzoBlocco), s, e, d, l) != 0;
  }
  if (taglia) {
    const std::uint8_t* datiSettore = nullptr;
    std::uint32_t lunghezzaDatiSettore = 0;
    n = LunghezzaNelSettore(static_cast<std::uint16_t>(n),
                            static_cast<std::uint32_t>(indirizzoBlocco), datiSettore,
                            lunghezzaDatiSettore);
    maschera = datiSettore;
    lunghezzaMaschera = static_cast<int>(lunghezzaDatiSettore);
  }
  byteLettura = static_cast<std::uint16_t>(n);
  if (n == 0) {
    RegistraValore("InvioReadSeServe: tentativo lettura a memoria inesistente %06lx",
                   indirizzoBlocco);
    *codice = RC_FLASH_WRITE;
    return 0;
  }
  if (!riprova && !fileModulo.Leggi(datiAttesi, static_cast<std::uint32_t>(n))) {
    Registra("errore lettura blocco programma");
    *codice = RC_MODULE_CORRUPT;
    return 0;
  }
  return InviaRead(n, riprova, codice);
}

int CLoad90Fxxx::ReadRicevi() {
  int esitoPasso = 1;
  if (!RispostaRead(&esitoPasso)) return esitoPasso;
  for (int i = 0; i < byteLettura; ++i) {
    int diversi = risposta[1 + i] ^ datiAttesi[i];
    // Bits the flash map marks as not stored are not compared.
    if (i < lunghezzaMaschera && maschera) diversi &= ~maschera[i];
    if (diversi) {
      Registra("contenuto della flash non corrispondente");
      if (soloVerifica) {
        diversoTrovato = 1;
        primoDiverso = static_cast<std::uint32_t>(indirizzoBlocco) + static_cast<std::uint32_t>(i);
        RegistraValori("primo byte diverso a %06lx: letto %02x", primoDiverso, risposta[1 + i]);
      }
      return Fallisci(RC_FLASH_WRITE);
    }
  }
  return ProssimaLettura();
}

int CLoad90Fxxx::ProssimaLettura() {
  AvanzaLettura();
  int codice = RC_OK;
  const int t = Secondi();
  if (byteBlocco > 0) {
    if (!InvioReadSeServe(0, &codice)) return Fallisci(codice);
  } else if (++bloccoCorrente < numeroBlocchi) {
    if (!ProssimoBlocco(&byteBlocco, &indirizzoBlocco)) {
      Registra("errore ricerca blocco programma");
      return Fallisci(RC_MODULE_CORRUPT);
    }
    if (!InvioReadSeServe(0, &codice)) return Fallisci(codice);
  } else {
    if (aggiornaCorrente) *aggiornaCorrente = 1;
    return InvioFine();
  }
  if (t != tempoUltimo) {
    tempoUltimo = t;
    if (aggiornaCorrente) *aggiornaCorrente = 1;
  }
  return 1;
}

// --- read mode --------------------------------------------------------------------------------

int CLoad90Fxxx::InvioLetturaSeServe(int riprova, int* codice) {
  const int limite = std::min(trasferimentoLocale ? bufferRemoto - 12 : 46, kMaxRisposta - 3);
  const int n = std::min(byteBlocco, limite);
  if (n <= 0) {
    RegistraValore("InvioLetturaSeServe: buffer disponibile troppo piccolo, serve %d", 13);
    *codice = RC_FLASH_MISSING;
    return 0;
  }
  byteLettura = static_cast<std::uint16_t>(n);
  return InviaRead(n, riprova, codice);
}

int CLoad90Fxxx::LetturaRicevi() {
  int esitoPasso = 1;
  if (!RispostaRead(&esitoPasso)) return esitoPasso;
  if (!ricevitore->DatiLetti(static_cast<std::uint32_t>(indirizzoBlocco), risposta + 1, byteLettura)) {
    Registra("lettura flash: memoria insufficiente");
    return Fallisci(RC_NO_MEMORY);
  }
  AvanzaLettura();
  int codice = RC_OK;
  if (byteBlocco <= 0 && ++intervalloCorrente < intervalliLettura.size()) {
    ++bloccoCorrente;
    indirizzoBlocco = static_cast<int>(intervalliLettura[intervalloCorrente].inizio);
    byteBlocco = static_cast<int>(intervalliLettura[intervalloCorrente].fine -
                                  intervalliLettura[intervalloCorrente].inizio);
  }
  if (byteBlocco <= 0) {
    if (aggiornaCorrente) *aggiornaCorrente = 1;
    return InvioFine();
  }
  if (!InvioLetturaSeServe(0, &codice)) return Fallisci(codice);
  const int t = Secondi();
  if (t != tempoUltimo) {
    tempoUltimo = t;
    if (aggiornaCorrente) *aggiornaCorrente = 1;
  }
  return 1;
}

// --- external flash ---------------------------------------------------------------------------

int CLoad90Fxxx::FineFlashEsterna(int codice) {
  return soloVerificaBoot ? Fatto() : Fallisci5(codice);
}

int CLoad90Fxxx::RegioneFlashEsterna(int lista) {
  // The end of what this record writes must lie within the chip.
  const std::uint64_t fineFlash = static_cast<std::uint64_t>(baseFlash) + dimensioneFlash;
  const std::uint64_t fineBlocco = static_cast<std::uint64_t>(static_cast<std::uint32_t>(indirizzoBlocco)) +
                                   static_cast<std::uint32_t>(byteBlocco);
  if (fineFlash < fineBlocco) {
    RegistraValori("FlashType: memoria insufficiente, fine flash %06lx, fine blocco %06lx",
                   static_cast<long long>(fineFlash), static_cast<long long>(fineBlocco));
    return Fallisci5(RC_NO_MEMORY);
  }
  if (lista < 0) return 1;
  SelezionaRegione(baseFlash, dimensioneFlash, lista != 0);
  return BlankOWrite();
}

int CLoad90Fxxx::FlashTypeRicevi() {
  const Richiesta q = Richiesta::FlashType;
  const int r = Raccogli(q, conteggioQuery + 3);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    if (codice == RC_NACK) {
      Registra("FlashType: non riconosciuto");
      return Fallisci(RC_FLASH_SPEC);
    }
    return codice ? Riprova(q, codice) : 1;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kFlashType)) {
    RegistraRispostaErrata(q, false);
    return Riprova(q, RC_REPLY_CRC);
  }
  const std::uint8_t* id = risposta + 1;
  if (id[0] == 'Q' && id[1] == 'R' && id[2] == 'Y') {
    RegistraValori("FlashType: command set %04x address table %04x", LeggiU16(risposta + 4),
                   LeggiU16(risposta + 6));
    const int esponente = risposta[24];
    dimensioneFlash = esponente < 32 ? (1u << esponente) : 0;
    RegistraValori("FlashType: dimensione %06lx %x", dimensioneFlash, esponente);
    offsetQuery = kOffsetSpec;
    conteggioQuery = kConteggioSpec;
    if (!RegioneFlashEsterna(-1)) return 0;
    if (!InvioFlashType()) return 0;
    tentativi = 1;
    passo = P_FLASH_SPEC;
    return 1;
  }
  if (id[0] == 'A' && id[1] == 'T' && id[2] == 'M') {
    const std::uint8_t costruttore = risposta[4];
    const std::uint8_t dispositivo = risposta[5];
    RegistraValori("FlashType: Atmel Manufacturer %02x DeviceCode %02x", costruttore, dispositivo);
    if (soloVerificaBoot) return Fatto();
    if (costruttore == 0) {
      RegistraValore("FlashType: flash non presente all'indirizzo %06lx", baseFlash);
      return Fallisci5(RC_EXTFLASH_ABSENT);
    }
    if ((costruttore == 0x1F && (dispositivo == 0x63 || dispositivo == 0x43)) ||
        (costruttore == 0x20 && dispositivo == 0x20)) {
      dimensioneFlash = 0x40000;
      return RegioneFlashEsterna(0);
    }
    if (costruttore == 0x1F || costruttore == 0x20) {
      RegistraValore("FlashType: flash non gestita DeviceCode %02x", dispositivo);
    } else {
      RegistraValore("FlashType: flash non gestita Manufacturer %02x", costruttore);
    }
    return Fallisci5(RC_EXTFLASH_UNKNOWN);
  }
  RegistraValore("FlashType: flash non presente all'indirizzo %06lx", baseFlash);
  return FineFlashEsterna(RC_EXTFLASH_ABSENT);
}

int CLoad90Fxxx::FlashSpecRicevi() {
  const Richiesta q = Richiesta::FlashSpec;
  const int r = Raccogli(q, conteggioQuery + 3);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    if (codice == RC_NACK) {
      Registra("FlashSpec: non riconosciuto");
      return Fallisci(RC_FLASH_SPEC);
    }
    return codice ? Riprova(q, codice) : 1;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kFlashType)) {
    RegistraRispostaErrata(q, false);
    return Riprova(q, RC_REPLY_CRC);
  }
  if (risposta[1] == 'P' && risposta[2] == 'R' && risposta[3] == 'I') {
    RegistraValore("FlashSpec: %02x", risposta[16]);
    if (soloVerificaBoot) return Fatto();
    return RegioneFlashEsterna(1);
  }
  RegistraValore("FlashSpec: flash non presente all'indirizzo %06lx", baseFlash);
  return FineFlashEsterna(RC_EXTFLASH_INFO);
}

int CLoad90Fxxx::FlashBloccoRicevi() {
  const Richiesta q = Richiesta::FlashBlocco;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    if (codice == RC_NACK) {
      Registra("FlashBlocco: non riconosciuto");
      return Fallisci(RC_BLOCK_SPEC);
    }
    return codice ? Riprova(q, codice) : 1;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kComandoEsteso)) {
    RegistraRispostaErrata(q, false);
    return Riprova(q, RC_REPLY_CRC);
  }
  const std::uint32_t inizio = LeggiU32(risposta + 1);
  const std::uint32_t fine = LeggiU32(risposta + 5);
  // An empty (or inverted) block means there is no flash at the address.
  if (fine > inizio) {
    ImpostaLineare(inizio, fine - inizio);
    return BlankOWrite();
  }
  RegistraValore("FlashBlocco: flash non presente all'indirizzo %06lx", indirizzoBlocco);
  return FineFlashEsterna(RC_EXTFLASH_ABSENT);
}

// --- end of transfer ---------------------------------------------------------------------------

int CLoad90Fxxx::CodiceRicevi() {
  const Richiesta q = Richiesta::Codice;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    const int codice = ClassificaIncompleta(Descrizione(q).prefisso);
    return codice ? Riprova(q, codice) : 1;
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kComandoEsteso)) {
    RegistraRispostaErrata(q, false);
    return Riprova(q, RC_REPLY_CRC);
  }
  if (risposta[1] != kStatoOk) {
    Registra("Codice: errore scrittura");
    return Riprova(q, RC_BLOCK_WRITE);
  }
  if (!Invia(Richiesta::Fine, TramaFine())) return 0;
  passo = P_FINE;
  return 1;
}

int CLoad90Fxxx::FineRicevi() {
  const Richiesta q = Richiesta::Fine;
  const int r = Raccogli(q, Descrizione(q).lunghezzaRisposta);
  if (r == 0) return 1;
  if (r < 0) {
    if (!Scaduto()) return 1;
    RegistraValore("FineRicevi: timeout, ricevuti %d caratteri", byteRicevuti);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  if (!VerificaRisposta(risposta, byteRicevuti, kFine)) {
    RegistraRispostaErrata(q, false);
    return Fallisci(RC_REPLY_CRC);
  }
  if (risposta[1] != kStatoOk) {
    RegistraValore("FineRicevi: impossibile scrivere i dati risposta %02x", risposta[1]);
    return Fallisci(RC_BLOCK_WRITE);
  }
  Registra("traferimento completato");
  return Fatto();
}

}  // namespace bricola
