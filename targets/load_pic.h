// CLoadPic: a module of load kind 5 into a PIC-based board through the PIC
// programming interface. No byte protocol runs on a line: every action is one
// request to the interface's driver, completed before the step goes on, and
// the board's flash is addressed directly (program flash 0x000000-0x008000 in
// 64-byte sectors, 16 configuration bytes at 0x300000).
//
// Besides the flash the loader touches the board's data area: the machine code
// at 0xF000FC (u16 little-endian) and the signature byte at 0xF000FF, 0x61
// while the board is being written and 0x28 once an application module has
// been written and verified.
#pragma once

#include <cstdint>

#include "image/memoria.h"
#include "load/load.h"

namespace bricola {

// What the loader asks of the PIC driver layer (the interface's driver handle
// must be open). Each call returns 1 on success, 0 on failure.
class CDriverPic {
 public:
  virtual ~CDriverPic() = default;
  // The interface's one command: erases the sector that starts at the value.
  virtual int ComandoPic(std::uint32_t valore) = 0;
  virtual int LeggiPic(std::uint32_t indirizzo, std::uint8_t* buffer, int lunghezza) = 0;
  virtual int ScriviPic(std::uint32_t indirizzo, const std::uint8_t* dati, int lunghezza) = 0;
};

// The process-wide driver layer of the PIC interface.
CDriverPic& DriverPicDiSistema();

class CLoadPic : public CLoad, public CMemoria {
 public:
  static constexpr int kPeriodo = 1;
  static constexpr std::uint32_t kIndirizzoCodice = 0xF000FC;
  static constexpr std::uint32_t kIndirizzoFirma = 0xF000FF;
  static constexpr std::uint8_t kFirmaInCorso = 0x61;
  static constexpr std::uint8_t kFirmaFine = 0x28;
  static constexpr std::uint32_t kPezzoVerifica = 64;  // bytes per blank-check read
  static constexpr std::uint32_t kPezzoLettura = 128;  // bytes per read of LeggiFlashPic
  static constexpr std::uint32_t kPezzoRilettura = 64; // bytes per read-back piece

  // The steps (passo).
  enum : int {
    PASSO_FERMO = 0,
    PASSO_SCEGLI_SETTORE = 1,
    PASSO_SCRIVI = 2,
    PASSO_CANCELLA = 3,
    PASSO_VERIFICA = 4,
    PASSO_LEGGI_CODICE = 5,
    PASSO_SCRIVI_CODICE = 6,
    PASSO_FIRMA_AVVIO = 7,
    PASSO_FIRMA_FINE = 8,
  };

  CLoadPic() = default;

  int PeriodoTimer() override { return kPeriodo; }
  int Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
            std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo, int tipoLoad,
            int tipoMicro, CInterfaccia* interfaccia, int modo, const int* velocita, int opzioni,
            int* esito) override;
  int Passo(int* aggiorna) override;
  int Termina() override;

  // The driver layer the loader speaks to (tests give it a fake; not owned).
  void ImpostaDriver(CDriverPic* nuovo) { driver = nuovo ? nuovo : &DriverPicDiSistema(); }

  // Helpers over the driver (1 done, 0 a request failed).
  int VerificaVuoto(std::uint32_t inizio, std::uint32_t fine, int* vuoto);
  int LeggiFlashPic(std::uint32_t indirizzo, std::uint8_t* buffer, std::uint32_t n);
  int ScriviFlashPic(std::uint32_t indirizzo, const std::uint8_t* dati, std::uint32_t n);
  static bool NonVuoto(const std::uint8_t* dati, std::uint32_t n);

  std::uint16_t codiceModulo = 0;
  int senzaRilettura = 0;
  std::uint32_t inizioModulo = 0;
  int moduloBoot = 0;
  int passo = PASSO_FERMO;
  int numeroBlocchi = 0;
  int bloccoCorrente = 0;
  std::uint8_t pacchettoMassimo = 8;
  std::uint32_t byteBlocco = 0;
  std::uint32_t indirizzoBlocco = 0;
  std::uint16_t lunghezzaLettura = 0;
  std::uint16_t lunghezzaScrittura = 0;
  std::uint8_t datiAttesi[kPezzoRilettura] = {};
  const std::uint8_t* maschera = nullptr;
  std::uint32_t lunghezzaMaschera = 0;
  std::uint32_t settoreInizio = 0;
  std::uint32_t settoreFine = 0;

 private:
  int ScegliSettore();
  int InvioWriteSeServe(int* aggiorna);
  int TrasfErase();
  int VerificaPacchetto(int* aggiorna);
  int LeggiCodice();
  int ScriviCodice();
  int ScriviFirma(std::uint8_t firma, int dopo);
  // The next record after the one in hand; 0 when the file cannot be read.
  int BloccoSeguente();
  // The end of both passes: the last signature for an application module.
  int FinePassata(int* aggiorna);

  int Prosegui(int prossimo);
  int FinisciCon(int codice);
  int Completa(int* aggiorna);
  int RifiutaAvvio(int codice, int* esito);

  CDriverPic* driver = &DriverPicDiSistema();
};

}  // namespace bricola
