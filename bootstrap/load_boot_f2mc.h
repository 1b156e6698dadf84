// The F2MC boot writers: a boot module written into flash through the
// microcontroller's ROM bootstrap and a RAM loader. CLoad90FxxxBoot (MB90F549,
// MB90F497, MB90F345; F2MC-16LX front end) and CLoad96FxxxBoot (MB96F338;
// F2MC-16FX front end) share the engine that follows the front end: LunBuf,
// a blank check on entering each sector, its erase when not blank, chunks cut
// at sector ends, all-FF chunks skipped, the verify pass and the erase of the
// signature sector.
#pragma once

#include <cstdint>
#include <vector>

#include "bootstrap/bootstrap.h"

namespace bricola {

class CLoadBootF2mc : public CLoadBootstrap {
 public:
  int Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
            std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo, int tipoLoad,
            int tipoMicro, CInterfaccia* interfaccia, int modo, const int* velocita, int opzioni,
            int* esito) override;
  int Passo(int* aggiorna) override;
  int Termina() override;

  // Sector index of an address, -1 when it has none.
  int Settore(std::uint32_t indirizzo) const;
  std::uint8_t BufferRemoto() const { return bufferRemoto; }

 protected:
  // The engine's steps, after the front end's.
  enum : int { M_LUNBUF, M_BLANK, M_ERASE, M_WRITE, M_READ, M_ERASE_FIRMA, M_FINE };

  CLoadBootF2mc(Dialetto dialetto, const char* fileCaricatore, std::size_t lunghezzaCaricatore,
                std::vector<SPezzoRam> pezzi, std::vector<std::uint32_t> settori, int passoMotore);

  // The front end: steps 0 .. passoMotore - 1. 1 running, 0 ended.
  virtual int PassoFrontale(int* aggiorna) = 0;
  virtual bool Famiglia16Fx() const = 0;

  // Shared by the front ends.
  int InvioLunBuf();
  int AvviaMotore();  // baud of the RAM loader set: LunBuf, 5 attempts, engine step

 private:
  int LunBufRicevi();
  int BlankRicevi();
  int EraseRicevi();
  int WriteRicevi();
  int ReadRicevi();
  int EraseFirmaRicevi();

  bool BlankDovuto(int i) const;
  int InvioBlankOWrite();
  // 1 sent or skipped; 0 no sector for the chunk (esito 52); -1 another failure (esito set).
  int InvioScrittura(bool ripetizione);
  int TrasfWriteSuccessivo();
  // 1 sent; 0 no sector for the read; -1 another failure (esito set).
  int InvioLettura(bool ripetizione);
  int TrasfReadSuccessivo();
  int InvioErase(std::uint32_t indirizzo);
  int RiprovaLunBuf(int codice);
  int RiprovaErase(int codice);
  int RiprovaWrite(int codice);
  int RiprovaRead(int codice);
  StileTimeout Stile() const { return Famiglia16Fx() ? StileTimeout::Conteggio : StileTimeout::Byte; }

  int* aggiornaCorrente = nullptr;
  std::vector<std::uint32_t> tabellaSettori;  // starts, then the end
  int numeroSettori;
  int passoMotore;
  std::uint32_t inizioModulo = 0;
  int settoreCorrente = 0;
  int ampiezzaScritta = 1;
  int blocchiModulo = 0;
  int bloccoCorrente = 0;
  std::uint32_t indirizzoFlash = 0;
  std::uint32_t restoBlocco = 0;
  std::uint8_t bufferRemoto = 0;
  std::uint8_t maxDatiScrittura = 0;
  std::uint16_t lunghezzaScrittura = 0;
  std::uint16_t lunghezzaLettura = 0;
  bool scritturaInviata = false;
  std::uint8_t datiScrittura[255] = {};
  std::uint8_t datiFile[255] = {};
};

// --- F2MC-16LX ----------------------------------------------------------------------

class CLoad90FxxxBoot : public CLoadBootF2mc {
 public:
  enum : int {
    P_INVIO_CHECK = 0, P_CHECK = 1, P_BLOCCO = 2, P_LUNBUF = 3, P_BLANK = 4, P_ERASE = 5,
    P_WRITE = 6, P_READ = 7, P_ERASE_FIRMA = 8, P_FINE = 9
  };

 protected:
  CLoad90FxxxBoot(const char* fileCaricatore, std::size_t lunghezzaCaricatore,
                  std::vector<SPezzoRam> pezzi, std::vector<std::uint32_t> settori);
  int PassoFrontale(int* aggiorna) override;
  bool Famiglia16Fx() const override { return false; }

 private:
  int InvioCheck();
  int CheckRicevi(int* aggiorna);
};

class CLoad90F549Boot : public CLoad90FxxxBoot {
 public:
  CLoad90F549Boot();
};
class CLoad90F497Boot : public CLoad90FxxxBoot {
 public:
  CLoad90F497Boot();
};
class CLoad90F345Boot : public CLoad90FxxxBoot {
 public:
  CLoad90F345Boot();
};

// --- F2MC-16FX ------------------------------------------------------------------------

class CLoad96FxxxBoot : public CLoadBootF2mc {
 public:
  enum : int {
    P_INVIO_CHECK = 0, P_CHECK = 1, P_INVIO_CALIBRATE = 2, P_CALIBRATE = 3, P_BLOCCO = 4,
    P_ESEGUI = 5, P_LUNBUF = 6, P_BLANK = 7, P_ERASE = 8, P_WRITE = 9, P_READ = 10,
    P_ERASE_FIRMA = 11, P_FINE = 12
  };
  // The signature sector of the family, erased after every write.
  static constexpr std::uint32_t kSettoreFirma = 0xFF0000;

 protected:
  CLoad96FxxxBoot(const char* fileCaricatore, std::size_t lunghezzaCaricatore,
                  std::vector<SPezzoRam> pezzi, std::vector<std::uint32_t> settori);
  int PassoFrontale(int* aggiorna) override;
  bool Famiglia16Fx() const override { return true; }

 private:
  int InvioCheck();
  int CheckRicevi();
  int CalibrateRicevi(int* aggiorna);
  int EseguiRicevi();
};

class CLoad96F338Boot : public CLoad96FxxxBoot {
 public:
  CLoad96F338Boot();
};

}  // namespace bricola
