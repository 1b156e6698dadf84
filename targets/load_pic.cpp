#include "targets/load_pic.h"

#include <algorithm>
#include <cstring>

#include "base/esiti.h"
#include "comm/int_pic.h"

namespace bricola {

namespace {

constexpr int kTipoLoadPic = 5;
constexpr int kModuloProg = 0;
constexpr int kModuloBoot = 1;

}  // namespace

// --- start --------------------------------------------------------------------------

int CLoadPic::RifiutaAvvio(int codice, int* esitoAvvio) {
  passo = PASSO_FERMO;
  fase = ST_FAILED;
  esito = codice;
  *esitoAvvio = codice;
  return 0;
}

int CLoadPic::Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
                    std::uint16_t codice, const std::uint32_t*, int tipoModulo, int tipoLoad, int,
                    CInterfaccia*, int, const int*, int opzioni, int* esitoAvvio) {
  senzaRilettura = (opzioni & OPZ_SENZA_RILETTURA) ? 1 : 0;
  inizioModulo = inizio;
  moduloBoot = tipoModulo == kModuloBoot ? 1 : 0;
  if (tipoLoad != kTipoLoadPic || (tipoModulo != kModuloProg && tipoModulo != kModuloBoot)) {
    return RifiutaAvvio(RC_MODULE_TYPE, esitoAvvio);
  }
  if (!fileModulo.ApriLettura(percorso)) {
    Registra("errore apertura file");
    return RifiutaAvvio(RC_FILE_OPEN, esitoAvvio);
  }
  std::uint8_t chiusura[4];
  if (!fileModulo.Posiziona(fine) || !fileModulo.Leggi(chiusura, sizeof chiusura)) {
    fileModulo.Chiudi();
    Registra("errore codice file");
    return RifiutaAvvio(RC_MODULE_CORRUPT, esitoAvvio);
  }
  codiceModulo = LeggiU16BE(chiusura + 2);
  if (codiceModulo != codice) {
    fileModulo.Chiudi();
    Registra("errore codice file");
    return RifiutaAvvio(RC_MACHINE_MISMATCH, esitoAvvio);
  }
  if (!ContaBlocchi(inizio, fine - inizio, senzaRilettura, &byteTotali, &numeroBlocchi)) {
    fileModulo.Chiudi();
    Registra("errore scansione blocchi programma");
    return RifiutaAvvio(RC_MODULE_CORRUPT, esitoAvvio);
  }
  int lunghezza = 0, indirizzo = 0;
  if (!fileModulo.Posiziona(inizio) || !ProssimoBlocco(&lunghezza, &indirizzo)) {
    fileModulo.Chiudi();
    Registra("errore ricerca primo blocco programma");
    return RifiutaAvvio(RC_MODULE_CORRUPT, esitoAvvio);
  }
  byteBlocco = static_cast<std::uint32_t>(lunghezza);
  indirizzoBlocco = static_cast<std::uint32_t>(indirizzo);
  byteRimanenti = byteTotali;
  byteFatti = 0;
  byteRipetuti = 0;
  ImpostaMappa(kMappaMPIC);
  // No sector has been handed out yet: the first sector written is checked
  // and erased like any other, the one at address 0 included (a board that
  // already holds a program keeps it there).
  ultimoSettore = 0xFFFFFFFF;
  bloccoCorrente = 0;
  esito = RC_OK;
  fase = ST_WAIT_LINK;
  passo = moduloBoot ? PASSO_SCRIVI_CODICE : PASSO_LEGGI_CODICE;
  tempoInizio = tempoUltimo = Secondi();
  *esitoAvvio = RC_OK;
  return 1;
}

int CLoadPic::Termina() {
  fileModulo.Chiudi();
  return 1;
}

// --- step ---------------------------------------------------------------------------

int CLoadPic::Prosegui(int prossimo) {
  passo = prossimo;
  esito = RC_OK;
  fase = ST_WAIT_LINK;
  return 1;
}

int CLoadPic::FinisciCon(int codice) {
  passo = PASSO_FERMO;
  esito = codice;
  fase = ST_FAILED;
  return 0;
}

int CLoadPic::Completa(int* aggiorna) {
  passo = PASSO_FERMO;
  esito = RC_OK;
  fase = ST_DONE;
  *aggiorna = 1;
  return 0;
}

int CLoadPic::Passo(int* aggiorna) {
  *aggiorna = 0;
  int risultato = 1;
  switch (passo) {
    case PASSO_FERMO: risultato = 1; break;
    case PASSO_SCEGLI_SETTORE: risultato = ScegliSettore(); break;
    case PASSO_SCRIVI: risultato = InvioWriteSeServe(aggiorna); break;
    case PASSO_CANCELLA: risultato = TrasfErase(); break;
    case PASSO_VERIFICA: risultato = VerificaPacchetto(aggiorna); break;
    case PASSO_LEGGI_CODICE: risultato = LeggiCodice(); break;
    case PASSO_SCRIVI_CODICE: risultato = ScriviCodice(); break;
    case PASSO_FIRMA_AVVIO: risultato = ScriviFirma(kFirmaInCorso, PASSO_SCEGLI_SETTORE); break;
    case PASSO_FIRMA_FINE: risultato = ScriviFirma(kFirmaFine, -1); break;
    default:
      passo = PASSO_FERMO;
      esito = RC_INTERNAL;
      fase = ST_LINK_LOST;
      return 0;
  }
  if (Secondi() != tempoUltimo || passo == PASSO_FERMO) {
    tempoUltimo = Secondi();
    *aggiorna = 1;
  }
  return risultato;
}

int CLoadPic::LeggiCodice() {
  std::uint8_t b[2];
  if (!driver->LeggiPic(kIndirizzoCodice, b, 2)) {
    Registra("lettura codice fallita");
    return FinisciCon(RC_PORT_SEND);
  }
  const std::uint16_t codice = LeggiU16(b);
  RegistraValore("lettura codice %04x", codice);
  if (codice == 0xFFFF || codice == codiceModulo) return Prosegui(PASSO_FIRMA_AVVIO);
  RegistraValore("distributore errato %04x", codice);
  return FinisciCon(RC_PROGRAM_INCOMPATIBLE);
}

int CLoadPic::ScriviCodice() {
  Registra("scrittura codice");
  const std::uint8_t universale[2] = {0xFF, 0xFF};
  if (!driver->ScriviPic(kIndirizzoCodice, universale, 2)) return FinisciCon(RC_PORT_SEND);
  return Prosegui(PASSO_FIRMA_AVVIO);
}

int CLoadPic::ScriviFirma(std::uint8_t firma, int dopo) {
  Registra("scrittura firma");
  if (!driver->ScriviPic(kIndirizzoFirma, &firma, 1)) return FinisciCon(RC_PORT_SEND);
  if (dopo < 0) {
    passo = PASSO_FERMO;
    esito = RC_OK;
    fase = ST_DONE;
    return 0;
  }
  return Prosegui(dopo);
}

int CLoadPic::ScegliSettore() {
  bool fuoriMappa = false;
  if (ProssimoSettore(indirizzoBlocco, false, settoreInizio, settoreFine, fuoriMappa)) {
    int vuoto = 0;
    if (!VerificaVuoto(settoreInizio, settoreFine, &vuoto)) return FinisciCon(RC_PORT_SEND);
    return Prosegui(vuoto ? PASSO_SCRIVI : PASSO_CANCELLA);
  }
  if (fuoriMappa) return FinisciCon(RC_FLASH_MISSING);
  return Prosegui(PASSO_SCRIVI);
}

int CLoadPic::TrasfErase() {
  RegistraValore("cancellazione %06lx", settoreInizio);
  if (!driver->ComandoPic(settoreInizio)) {
    RegistraValore("TrasfErase: impossibile cancellare il blocco (%06lx)", settoreInizio);
    return FinisciCon(RC_BLOCK_ERASE);
  }
  return Prosegui(PASSO_SCRIVI);
}

int CLoadPic::BloccoSeguente() {
  int lunghezza = 0, indirizzo = 0;
  if (!ProssimoBlocco(&lunghezza, &indirizzo)) return 0;
  byteBlocco = static_cast<std::uint32_t>(lunghezza);
  indirizzoBlocco = static_cast<std::uint32_t>(indirizzo);
  return 1;
}

int CLoadPic::FinePassata(int* aggiorna) {
  *aggiorna = 1;
  if (moduloBoot) return Completa(aggiorna);
  return Prosegui(PASSO_FIRMA_FINE);
}

int CLoadPic::InvioWriteSeServe(int* aggiorna) {
  const std::uint8_t* dati = nullptr;
  std::uint32_t lunghezzaDati = 0;
  std::uint16_t n = static_cast<std::uint16_t>(std::min<std::uint32_t>(pacchettoMassimo, byteBlocco));
  n = LunghezzaNelSettore(n, indirizzoBlocco, dati, lunghezzaDati);
  lunghezzaScrittura = n;
  if (n == 0) {
    RegistraValore("InvioWriteSeServe: tentativo scrittura a memoria inesistente %06lx", indirizzoBlocco);
    return FinisciCon(RC_FLASH_MISSING);
  }
  const std::uint16_t allineamento = MascheraAllineamento();
  std::uint8_t pacchetto[16];
  if (!fileModulo.Leggi(pacchetto, n)) {
    Registra("errore lettura modulo");
    return FinisciCon(RC_MODULE_CORRUPT);
  }
  if (NonVuoto(pacchetto, n)) {
    std::uint32_t m = n;
    while (m & allineamento) ++m;
    std::fill(pacchetto + n, pacchetto + m, 0xFF);
    if (!ScriviFlashPic(indirizzoBlocco, pacchetto, m)) return FinisciCon(RC_BLOCK_WRITE);
  } else {
    RegistraValore("invio dati %06lx saltato", indirizzoBlocco);
  }
  indirizzoBlocco += n;
  byteBlocco -= n;
  byteRimanenti -= n;
  byteFatti += n;
  if (byteBlocco > 0) return ScegliSettore();
  ++bloccoCorrente;
  if (bloccoCorrente < numeroBlocchi) {
    // A record that can no longer be read ends the module as corrupt.
    if (!BloccoSeguente()) return FinisciCon(RC_MODULE_CORRUPT);
    return ScegliSettore();
  }
  if (senzaRilettura) return FinePassata(aggiorna);
  bloccoCorrente = 0;
  if (!fileModulo.Posiziona(inizioModulo) || !BloccoSeguente()) return FinisciCon(RC_MODULE_CORRUPT);
  return Prosegui(PASSO_VERIFICA);
}

int CLoadPic::VerificaPacchetto(int* aggiorna) {
  const std::uint8_t* tabella = nullptr;
  std::uint32_t lunghezzaTabella = 0;
  std::uint16_t n = static_cast<std::uint16_t>(std::min<std::uint32_t>(byteBlocco, kPezzoRilettura));
  n = LunghezzaNelSettore(n, indirizzoBlocco, tabella, lunghezzaTabella);
  maschera = tabella;
  lunghezzaMaschera = lunghezzaTabella;
  lunghezzaLettura = n;
  if (n == 0) return FinisciCon(RC_FLASH_MISSING);
  if (!fileModulo.Leggi(datiAttesi, n)) {
    Registra("errore lettura modulo");
    return FinisciCon(RC_MODULE_CORRUPT);
  }
  std::uint8_t letti[kPezzoRilettura];
  if (!LeggiFlashPic(indirizzoBlocco, letti, n)) return FinisciCon(RC_PORT_SEND);
  // The mask table covers its sector from the sector's first byte; a piece
  // that starts further in uses the entries of its own bytes.
  std::uint32_t scostamento = 0;
  if (maschera) {
    std::uint32_t s = 0, e = 0;
    const std::uint8_t* d = nullptr;
    std::uint32_t l = 0;
    if (TrovaSettore(indirizzoBlocco, s, e, d, l)) scostamento = indirizzoBlocco - s;
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t k = scostamento + i;
    const std::uint8_t m = (maschera && k < lunghezzaMaschera) ? maschera[k] : 0;
    if ((datiAttesi[i] | m) != (letti[i] | m)) {
      Registra("contenuto della flash non corrispondente");
      return FinisciCon(RC_FLASH_WRITE);
    }
  }
  indirizzoBlocco += n;
  byteBlocco -= n;
  byteRimanenti -= n;
  byteFatti += n;
  if (byteBlocco > 0) return Prosegui(PASSO_VERIFICA);
  ++bloccoCorrente;
  if (bloccoCorrente < numeroBlocchi) {
    if (!BloccoSeguente()) return FinisciCon(RC_MODULE_CORRUPT);
    return Prosegui(PASSO_VERIFICA);
  }
  return FinePassata(aggiorna);
}

// --- helpers ------------------------------------------------------------------------

int CLoadPic::VerificaVuoto(std::uint32_t inizio, std::uint32_t fine, int* vuoto) {
  RegistraValore("verifica %06lx", inizio);
  *vuoto = 1;
  std::uint8_t b[kPezzoVerifica];
  for (std::uint32_t a = inizio; a < fine;) {
    const std::uint32_t n = std::min(fine - a, kPezzoVerifica);
    if (!driver->LeggiPic(a, b, static_cast<int>(n))) return 0;
    if (NonVuoto(b, n)) {
      *vuoto = 0;
      return 1;
    }
    a += n;
  }
  return 1;
}

int CLoadPic::LeggiFlashPic(std::uint32_t indirizzo, std::uint8_t* buffer, std::uint32_t n) {
  RegistraValore("lettura %06lx", indirizzo);
  while (n > 0) {
    const std::uint32_t k = std::min(n, kPezzoLettura);
    if (!driver->LeggiPic(indirizzo, buffer, static_cast<int>(k))) return 0;
    indirizzo += k;
    buffer += k;
    n -= k;
  }
  return 1;
}

int CLoadPic::ScriviFlashPic(std::uint32_t indirizzo, const std::uint8_t* dati, std::uint32_t n) {
  RegistraValore("scrittura %06lx", indirizzo);
  while (n > 0) {
    std::uint32_t k = std::min<std::uint32_t>(n, pacchettoMassimo);
    const std::uint32_t avanzo = k;
    std::uint8_t pezzo[16];
    std::memcpy(pezzo, dati, k);
    // The interface writes whole words: an odd piece takes one more byte.
    if (k & 1) pezzo[k++] = 0xFF;
    if (!driver->ScriviPic(indirizzo, pezzo, static_cast<int>(k))) return 0;
    indirizzo += avanzo;
    dati += avanzo;
    n -= avanzo;
  }
  return 1;
}

bool CLoadPic::NonVuoto(const std::uint8_t* dati, std::uint32_t n) {
  return std::any_of(dati, dati + n, [](std::uint8_t b) { return b != 0xFF; });
}

}  // namespace bricola

namespace bricola {

namespace {

// The process-wide layer of the PIC interface (opened by CIntPic).
class CDriverPicProcesso : public CDriverPic {
 public:
  int ComandoPic(std::uint32_t valore) override { return bricola::ComandoPic(valore); }
  int LeggiPic(std::uint32_t indirizzo, std::uint8_t* buffer, int lunghezza) override {
    return bricola::LeggiPic(indirizzo, buffer, lunghezza);
  }
  int ScriviPic(std::uint32_t indirizzo, const std::uint8_t* dati, int lunghezza) override {
    return bricola::ScriviPic(indirizzo, dati, lunghezza);
  }
};

}  // namespace

CDriverPic& DriverPicDiSistema() {
  static CDriverPicProcesso driver;
  return driver;
}

}  // namespace bricola
