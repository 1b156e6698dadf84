// CLoad90Fxxx: writes one module of an image file into a board through the
// board's resident boot. It resets the board, finds the local boot, raises the
// line speed when offered, addresses the target board (itself or a remote one
// by CAN address), checks that boot and module belong together, blank-checks,
// erases and writes packet by packet, reads back where asked and closes the
// transfer. Entered through AvviaVerificaBoot it is the boot check instead.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "image/memoria.h"
#include "load/load.h"
#include "load/protocollo_boot.h"

namespace bricola {

// One range of flash addresses for the read mode; fine is exclusive.
struct SIntervalloLettura {
  std::uint32_t inizio = 0;
  std::uint32_t fine = 0;
};

// Takes what the read mode reads, piece by piece and in address order.
class CRicevitoreLettura {
 public:
  virtual ~CRicevitoreLettura() = default;
  // false stops the read (the loader then fails with RC_NO_MEMORY).
  virtual bool DatiLetti(std::uint32_t indirizzo, const std::uint8_t* dati, int n) = 0;
};

class CLoad90Fxxx : public CLoadFujitsu, public CLoad, public CMemoria {
 public:
  // The steps (`passo`).
  enum : int {
    P_INVIO_FIRMA_LOCALE = 0,
    P_FIRMA_LOCALE = 1,
    P_VERSIONE_LOCALE = 2,
    P_VELOCITA_MASSIMA = 3,
    P_SET_VELOCITA = 4,
    P_INVIO_SET_REMOTO = 5,
    P_SET_REMOTO = 6,
    P_INVIO_REBOOT = 7,
    P_REBOOT = 8,
    P_INVIO_FIRMA = 9,
    P_FIRMA = 10,
    P_VERSIONE = 11,
    P_MICRO = 12,
    P_INVIO_FLASH_TYPE = 13,
    P_FLASH_TYPE = 14,
    P_FLASH_SPEC = 15,
    P_FLASH_BLOCCO = 16,
    P_MODO_DATI = 17,
    P_LUN_BUF = 18,
    P_BLANK = 19,
    P_ERASE = 20,
    P_WRITE = 21,
    P_READ = 22,
    P_CODICE = 23,
    P_FINE = 24,
    P_SVEGLIA = 25,
    P_FERMO = 26,
  };
  // Passed with every SetRemoto to the interface's ImpostaDestinatario.
  static constexpr int kBaseDestinatario = 1179;

  CLoad90Fxxx() = default;

  int PeriodoTimer() override { return 10; }
  int Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
            std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo, int tipoLoad,
            int tipoMicro, CInterfaccia* interfaccia, int modo, const int* velocita, int opzioni,
            int* esito) override;
  int Passo(int* aggiorna) override;
  int Termina() override;

  // The boot check of the board at a CAN address (0 or less: the local board).
  // Always 1; the result code through esito (0).
  int AvviaVerificaBoot(int indirizzo, CInterfaccia* interfaccia, int* esito);

  // The read mode: a reset, the local boot found and the line raised as for a
  // load, the board at indirizzo (0 or less: the local board) addressed, its
  // packet buffer learnt, then each range read with Read in pieces of the
  // board's buffer less 12 (local board) or 46 bytes (remote board) and handed
  // to ricevitore; Fine closes. A local board that does not answer GetFirma
  // within five attempts (about five seconds) ends the read with its code. Nothing is blank-checked, erased or written
  // and no flash chip is asked about: the ranges are read as they stand.
  // Ranges must be sorted, not overlapping and not empty (else 0 with
  // RC_NO_MODULES, nothing touched). 1 started; 0 with the code.
  int AvviaLettura(int indirizzo, const std::vector<SIntervalloLettura>& intervalli,
                   CRicevitoreLettura* ricevitore, CInterfaccia* interfaccia, int* esito);
  // After a load with OPZ_SOLO_VERIFICA that ended with RC_FLASH_WRITE because
  // a byte read back differed: 1 and the flash address of the first such byte.
  int PrimoIndirizzoDiverso(std::uint32_t* indirizzo) const;

  // Clock of deadlines, seconds and every sleep, line changes included.
  void ImpostaOrologio(COrologio* nuovo);

  // What the boots reported (the boot check reads them after the end).
  int FirmaRicevuta() const { return firmaRicevuta; }
  std::uint16_t CodiceScheda() const { return codiceScheda; }
  std::uint8_t VersioneBoot() const { return versioneBoot; }
  int TipoMicroBoot() const { return tipoMicroBoot; }
  int PassoCorrente() const { return passo; }

 private:
  // Step results: 1 running, 0 finished (fase and esito set).
  int Fallisci(int codice);
  int Fallisci5(int codice);
  int Fatto();

  // Senders: one per request; 0 when the request could not be written (the
  // loader has then failed with RC_SERIAL_SEND).
  int Invia(Richiesta r, const CTrama& trama, int lunghezzaRisposta = 0, bool lento = false);
  int InvioGetFirma();
  int InvioGetVersione();
  int InvioGetMicro();
  int InvioGetVelocitaMassima();
  int InvioSetVelocita();
  int InvioSetRemoto();
  int InvioReboot();
  int InvioModoDati();
  int InvioLunBuf();
  int InvioFlashType();
  int InvioFlashBlocco();
  int InvioBlank();
  int InvioErase();
  int InvioCodice();
  int InvioFine();
  // Sends again the request of r as it was sent last.
  int Rinvia(Richiesta r);

  // Receiving. Raccogli: 1 the whole reply is in (margin line logged), 0 some
  // bytes came but not all, -1 nothing new this step.
  int Raccogli(Richiesta r, int lunghezza);
  // Judges a step in which nothing new came: 0 keep waiting, else a code.
  int ClassificaIncompleta(const char* prefisso);
  // Retry rule of a request: the retry line and a new send, or the final line
  // and a failure with the code.
  int Riprova(Richiesta r, int codice);
  void Riparti(int n, int primario);
  int ProvaAltroIndirizzo();
  int UsaIndirizziPredefiniti();
  void RegistraRispostaErrata(Richiesta r, bool conByte);

  // Receivers, one per step.
  int GetFirmaRicevi(bool locale);
  int VersioneRicevi(bool locale);
  int VelocitaMassimaRicevi();
  int SetVelocitaRicevi();
  int SetRemotoRicevi();
  int RebootRicevi();
  int MicroRicevi();
  int FlashTypeRicevi();
  int FlashSpecRicevi();
  int FlashBloccoRicevi();
  int ModoDatiRicevi();
  int LunBufRicevi();
  int BlankRicevi();
  int EraseRicevi();
  int WriteRicevi();
  int ReadRicevi();
  int CodiceRicevi();
  int FineRicevi();
  int SvegliaRicevi();

  // ImpostaMappa, with no sector handed out yet.
  void CaricaMappa(const SMappa& mappa);

  // The sequence between the replies.
  int TipoLegacy();
  int ChiudiVerificaBoot();
  int ControllaCompatibilita();
  int InvioFlashTypeOBlankOWrite();
  int BlankOWrite();
  int Scrivi();
  // 1 sent or skipped, 0 with codice (nothing sent).
  int InvioWriteSeServe(int riprova, int* codice);
  int InvioReadSeServe(int riprova, int* codice);
  // Sends Read for n bytes at indirizzoBlocco (byteLettura already n): 1 sent,
  // 0 with codice.
  int InviaRead(int n, int riprova, int* codice);
  // 1 with a whole Read reply whose check is good in `risposta`; 0 otherwise,
  // with *esitoPasso the step's result (left as it is while the reply is on its way).
  int RispostaRead(int* esitoPasso);
  // Moves past the byteLettura bytes just read.
  void AvanzaLettura();
  int ProssimaScrittura();
  int ProssimaLettura();
  // The read mode's requests and replies.
  int InvioLetturaSeServe(int riprova, int* codice);
  int LetturaRicevi();
  int FineFlashEsterna(int codice);
  int RegioneFlashEsterna(int lista);

  int* aggiornaCorrente = nullptr;
  int passo = P_FERMO;
  std::uint16_t codiceModulo = 0xFFFF;
  int senzaRilettura = 0;
  int opzioneSenzaRilettura = 0;
  int opzioneBootUniversale = 0;
  int opzioneRiletturaOttimizzata = 0;
  int opzioneVelocitaFissa = 0;
  int opzioneScritturaLenta = 0;
  int opzioneBuffer128 = 0;
  std::uint32_t inizioModulo = 0;
  int tentativoPrimario = 0;
  std::uint32_t indirizzo = 0;
  std::uint32_t indirizzoSecondario = 0;
  std::uint32_t indirizzoPredefinito = 0;
  std::uint32_t indirizzoSecondarioPredefinito = 0;
  std::uint32_t indirizzoCorrente = 0;
  std::uint32_t indirizzoSecondarioCorrente = 0;
  int tipoMicroModulo = 0;
  int velocita[2] = {0, 0};
  int indiceVelocita = 0;
  int soloVerificaBoot = 0;
  int moduloDati = 0;
  int trasferimentoLocale = 0;
  int bufferRemoto = 0;
  int numeroBlocchi = 0;
  int bloccoCorrente = 0;
  int datiPerPacchetto = 0;
  int byteBlocco = 0;
  int indirizzoBlocco = 0;
  std::uint16_t byteScrittura = 0;
  std::uint16_t byteLettura = 0;
  std::uint8_t risposta[kMaxRisposta] = {};
  int inAttesa = 0;
  int tentativi = 0;
  int contaNack = 0;
  int bootUniversale = 0;
  std::uint8_t datiAttesi[kMaxRisposta] = {};
  const std::uint8_t* maschera = nullptr;
  int lunghezzaMaschera = 0;
  int senzaCancellazione = 0;
  int fuoriMappa = 0;
  std::uint32_t settoreInizio = 0;
  std::uint32_t settoreFine = 0;
  int ultimoInvio = 0;
  int indirizzoVerifica = 0;
  int firmaRicevuta = 0;
  std::uint16_t codiceScheda = 0;
  std::uint16_t codiceLocale = 0;
  std::uint8_t versioneBoot = 0;
  std::uint8_t versioneLocale = 0;
  int tipoMicroBoot = 0;
  std::uint32_t baseFlash = 0;
  std::uint16_t offsetQuery = 0;
  std::uint8_t conteggioQuery = 0;
  std::uint32_t dimensioneFlash = 0;
  // Verify only (OPZ_SOLO_VERIFICA): no Blank, Erase or Write; the first byte that differed.
  int soloVerifica = 0;
  int diversoTrovato = 0;
  std::uint32_t primoDiverso = 0;
  // Read mode.
  int soloLettura = 0;
  std::vector<SIntervalloLettura> intervalliLettura;
  std::size_t intervalloCorrente = 0;
  CRicevitoreLettura* ricevitore = nullptr;
  // Start of every sector (or linear block) blank-checked for this module.
  std::set<std::uint32_t> settoriControllati;
};

}  // namespace bricola
