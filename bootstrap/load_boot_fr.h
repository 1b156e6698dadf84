// The FR boot writer: a boot module written into the flash of an MB91F465
// through the ROM bootstrap of the FR family and the flash kernel it runs.
// The bootstrap is proved with a one-byte write and a four-byte read, the
// 12 KB kernel and seven short set-up segments go into RAM (each segment
// acknowledged by its 16-bit sum), the kernel is called and then driven by
// its text protocol: blank check and erase per sector, the module's data as
// binary S2 records in hex download mode, the read-back as hex dumps, and the
// module's last 32-bit word programmed on its own at the very end.
//
// A board known to run a resident boot (the micro check reached it through
// that boot) is first asked to erase its chip, and the bootstrap is entered
// after it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bootstrap/bootstrap.h"

namespace bricola {

// --- the kernel's text protocol ------------------------------------------------------------

// Largest data length of one S2 record and of one read.
inline constexpr int kMaxDatiRecordFr = 16;
inline constexpr int kMaxLetturaFr = 64;

// S2 record for n data bytes at a: 'S' '2', n + 4, a (high byte first), the
// data, the one's complement of the 8-bit sum of the count, address and data.
// Returns its length n + 7.
int RecordS2(std::uint32_t a, const std::uint8_t* dati, int n, std::uint8_t* record);

// Length of the kernel's hex dump of r values: the echoed count, a 57-character
// header, one line per 16 values (11 characters, "xx " per value, CR LF), '>'.
int LunghezzaDump(int r);

// The six values of a blank-check reply (31 characters: " checking ..." and six
// decimal values each followed by CR LF). 0 read; 1 the start is not
// " checking ..."; 2 the values cannot be read.
int ValoriBlank(const std::uint8_t* risposta, int n, int valori[6]);

// The header of a dump: characters 52 to 56 are LF CR LF CR LF.
bool IntestazioneDumpValida(const std::uint8_t* dump, int n);

// Parses the r values of a dump of LunghezzaDump(r) characters from character
// 57 on. true with the values; false with the line the failure is logged with
// ("EstraiDatiLetti: sscanf %d %d" with the values so far and the position in
// the line, "EstraiDatiLetti: valore", "... CR mancante", "... LF mancante",
// "... prompt mancante").
bool EstraiDatiLetti(const std::uint8_t* dump, int n, int r, std::uint8_t* valori, std::string* rigaErrore);

// n bytes equal the text t (of n characters).
bool UgualeTesto(const std::uint8_t* dati, const char* t, int n);

// --- the writer --------------------------------------------------------------------------------

class CLoad91FxxxBoot : public CLoadBootstrap {
 public:
  enum : int {
    P_CHECK_465 = 0, P_INVIO_WRITE_CHECK = 1, P_WRITE_CHECK = 2, P_INVIO_READ_CHECK = 3,
    P_READ_CHECK = 4, P_SEGMENTO = 5, P_CAMBIO_VELOCITA = 6, P_INVIO_CHECK_LOADER = 7,
    P_CHECK_LOADER = 8, P_SYNC_LOADER = 9, P_BLANK = 10, P_ERASE_INIT = 11, P_ERASE_SECT = 12,
    P_WRITE_INIT = 13, P_WRITE_MODE = 14, P_WRITE = 15, P_WRITE_QUIT = 16, P_WRITE_FINE = 17,
    P_READ_INIT = 18, P_READ_ADDR = 19, P_READ_DATI = 20, P_PROG32_INIT = 21, P_PROG32_ADDR = 22,
    P_PROG32_DATO = 23, P_INVIO_GET_FIRMA = 24, P_GET_FIRMA = 25, P_MICRO = 26,
    P_ATTESA_CANCELLAZIONE = 27, P_FINE = 28
  };

  int Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
            std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo, int tipoLoad,
            int tipoMicro, CInterfaccia* interfaccia, int modo, const int* velocita, int opzioni,
            int* esito) override;
  int Passo(int* aggiorna) override;
  // Closes the file and restarts the board with a DTR pulse (RTS as it is).
  int Termina() override;

  int InviaCaricatore(int* aggiorna) override;
  bool CaricatoreCompleto() const override;

  // Whether the kernel image is there, whole, before anything touches the
  // line. 1 yes; 0 with esito (RC_FILE_OPEN, RC_FILE_CORRUPT) after its log line.
  int ControllaKernel(int* esito);

  // Sector index of an address, -1 outside the table.
  int Settore(std::uint32_t indirizzo) const;
  bool ModoScrittura() const { return modoScrittura; }

 protected:
  // A RAM segment: address and bytes (empty for the kernel, taken from its file).
  struct SSegmento {
    std::uint32_t indirizzo;
    std::vector<std::uint8_t> dati;
  };
  CLoad91FxxxBoot(const char* fileKernel, std::size_t lunghezzaKernel, std::vector<SSegmento> segmenti,
                  std::vector<std::uint32_t> settori);

 private:
  enum ComandoRomFr { ROM_LEGGI, ROM_SCRIVI, ROM_CHIAMA };

  // The bootstrap's two-byte command prefix, each byte echoed within 20 ms.
  int ComandoRom(ComandoRomFr c);
  const std::uint8_t* DatiSegmento(int p) const;
  // Sends bytes of the kernel's protocol: deadline and reply arming. 1 sent.
  int InviaKernel(const std::uint8_t* dati, int n, int lunghezzaRisposta, int timeoutMs);
  int InviaKernel(const char* testo, int lunghezzaRisposta, int timeoutMs);
  // A deadline that counts from when the line has carried what this loader
  // wrote (a port whose writes return before the bytes have left).
  void ScadenzaDopoLinea(int ms);
  void ContaSullaLinea(int n);
  // Raccogli; a complete reply also frees the line.
  int RaccogliRisposta(int n);

  // bootstrap and kernel start
  int InvioCheck465();
  int Check465Ricevi();
  int InvioWriteCheck();
  int WriteCheckRicevi();
  int InvioReadCheck();
  int ReadCheckRicevi(int* aggiorna);
  int SegmentoRicevi(int* aggiorna);
  int Chiamata();
  int CambioVelocita();
  int InvioCheckLoader();
  int CheckLoaderRicevi();
  int InvioSync();
  int SyncLoaderRicevi();
  int RiprovaCheckLoader(int codice);
  int RiprovaSync(int codice);

  // resident boot path
  int InvioGetFirma();
  int GetFirmaRicevi();
  int RiprovaFirma(int codice);
  int MicroRicevi();
  int AttesaCancellazione();

  // programming
  int InvioBlankOWrite();
  int InvioBlank(std::uint32_t inizioSettore);
  // 1 sent (a record, or the write init) or skipped; 0 no sector for the
  // chunk (esito 52); -1 another failure (esito set).
  int InvioScrittura(bool ripetizione);
  int InvioRecordS2();
  // After InvioScrittura: the step that waits for what it sent.
  int PassoDopoScrittura() const { return writeInitInviato ? P_WRITE_INIT : P_WRITE; }
  int ScritturaInviata(const char* rigaSenzaSettore);
  int InvioWriteQuit();
  int InvioEraseInit();
  int BlankRicevi();
  int EraseInitRicevi();
  int EraseSectRicevi();
  int WriteInitRicevi();
  int WriteModeRicevi();
  int WriteRicevi();
  int TrasfWriteSuccessivo();
  int FinePassataScrittura();
  int WriteQuitRicevi(bool fine);
  // 1 sent; 0 no sector for the read; -1 another failure (esito set).
  int InvioLettura(bool ripetizione);
  int ReadInitRicevi();
  int ReadAddrRicevi();
  int ReadDatiRicevi();
  int TrasfReadSuccessivo();
  int Prog32InitRicevi();
  int Prog32AddrRicevi();
  int Prog32DatoRicevi();
  int RiprovaErase(int codice);
  int RiprovaWrite(int codice);
  int RiprovaQuit(int codice);
  int RiprovaRead(int codice);
  bool UltimoRecordParola() const { return bloccoCorrente == blocchiModulo - 1 && restoBlocco == 4; }

  std::vector<SSegmento> segmenti;
  std::vector<std::uint32_t> tabellaSettori;  // starts, then the end
  int numeroSettori;
  int* aggiornaCorrente = nullptr;

  std::uint32_t inizioModulo = 0;
  int settoreCorrente = 0;
  int blocchiModulo = 0;
  int bloccoCorrente = 0;
  std::uint32_t indirizzoFlash = 0;
  std::uint32_t restoBlocco = 0;
  std::uint16_t lunghezzaScrittura = 0;
  std::uint16_t lunghezzaLettura = 0;
  std::uint16_t sommaSegmento = 0;
  std::uint32_t lunghezzaChunk = 0;  // data bytes of the kernel chunk in flight
  int maxDatiRecord = kMaxDatiRecordFr;
  bool modoScrittura = false;
  bool recordInviato = false;
  bool writeInitInviato = false;
  std::uint8_t datiScrittura[kMaxDatiRecordFr] = {};
  std::uint8_t datiFile[kMaxLetturaFr] = {};
  std::int64_t lineaLibera = 0;  // loader clock: when the line has carried our last byte
};

class CLoad91F465Boot : public CLoad91FxxxBoot {
 public:
  CLoad91F465Boot();
};

}  // namespace bricola
