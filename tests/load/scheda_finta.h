// Test doubles for the resident-boot loader: a clock that moves only when the
// test (or a loader's sleep) moves it, a port back-end that records the line
// changes, a small scripted machine that answers the boot protocol byte by
// byte (one local board, remote boards by CAN address, flash contents, faults
// injected by command and occurrence), and the interface that joins them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "comm/interfaccia.h"
#include "load/load.h"

namespace bricola::prova {

using Byte = std::vector<std::uint8_t>;

class COrologioFinto : public COrologio {
 public:
  std::int64_t Millisecondi() override { return adesso; }
  void Dormi(int ms) override {
    adesso += ms;
    dormito += ms;
  }
  std::int64_t adesso = 5'000'000;
  std::int64_t dormito = 0;
};

struct SEventoLinea {
  std::int64_t ms;
  std::string cosa;  // "baud", "dtr", "rts", "stop"
  int valore;
};

// Shared between the port back-end (owned by the port layer) and the test.
struct SStatoLinea {
  COrologio* orologio = nullptr;
  int baud = 0;
  bool dtr = false;
  bool rts = false;
  bool baudGuasto = false;  // every baud change fails
  std::vector<SEventoLinea> eventi;
  std::function<void()> resetScheda;  // DTR released after being asserted
};

// Installs an opener whose lines report to `stato`.
void InstallaLineaFinta(std::shared_ptr<SStatoLinea> stato);

// Faults, matched by request key and occurrence (1 = the first such request).
enum class Guasto {
  Controllo,    // the reply's check bytes are wrong
  Nack,         // the single byte F9 instead of the reply
  NonGestito,   // F7 FF + check instead of the reply
  Silenzio,     // no answer at all
  Parziale,     // only `valore` bytes of the reply
  Stato,        // the status byte is `valore`
  InizioErrato, // Blank/Erase: first byte is not the command
  Ritardo,      // the reply comes `valore` ms later
};
struct SGuasto {
  std::uint16_t chiave;  // first byte, or 0xF700 | second byte for F7 commands
  int occorrenza;
  Guasto tipo;
  int valore = 0;
};
// Keys of the F7 commands.
inline constexpr std::uint16_t kChiaveGetMicro = 0xF703;
inline constexpr std::uint16_t kChiaveVelocitaMassima = 0xF704;
inline constexpr std::uint16_t kChiaveSetVelocita = 0xF705;
inline constexpr std::uint16_t kChiaveModoDati = 0xF700;
inline constexpr std::uint16_t kChiaveFlashBlocco = 0xF706;
inline constexpr std::uint16_t kChiaveCodice = 0xF702;

struct SScheda {
  std::uint16_t codice = 0x0010;
  std::uint8_t versione = 0x60;
  std::uint8_t micro = 1;
  std::uint8_t statoReboot = 0x00;
  std::map<std::uint32_t, std::uint8_t> flash;  // absent = FF
  std::set<std::uint32_t> protetti;              // sector starts that refuse erasing
  std::uint32_t indirizzoAlterato = 0xFFFFFFFF;  // this byte never stores what is written
  bool flashReale = false;  // a write can only clear bits, as on real flash (else it stores the byte)
  Byte idFlash;    // FlashType answer at offset 32 (padded with 00)
  Byte specFlash;  // FlashType answer at offset 128
  std::uint32_t bloccoInizio = 0, bloccoFine = 0;  // FlashBlocco answer
  std::uint16_t codiceScritto = 0;                 // from Codice
  std::uint32_t indirizzoScritto = 0;

  std::uint8_t Leggi(std::uint32_t a) const {
    auto it = flash.find(a);
    return it == flash.end() ? 0xFF : it->second;
  }
};

struct SRichiestaVista {
  std::uint16_t chiave;
  Byte byte;
  int baud;        // line baud when it arrived
  bool ascoltata;  // the board listened (baud matched)
};

class CSchedaFinta {
 public:
  explicit CSchedaFinta(COrologio& o) : orologio(o) {}

  SScheda locale;
  std::map<std::uint16_t, SScheda> remote;
  std::uint8_t codiceVelocita = 0x01;
  std::uint8_t codiceBuffer = 0x80 + 64;  // 1024 bytes
  std::uint8_t statoModoDati = 0x00;
  bool nackPerIrraggiungibili = false;  // else a missing remote board is silent
  int baudBoot = 38400;  // the boot listens here after a reset
  int baud = 38400;
  std::vector<SGuasto> guasti;
  std::vector<SRichiestaVista> richieste;
  int trameErrate = 0;  // requests whose check did not come to 0

  void Reset();
  // Forgets the requests seen and the fault counts (a new case on the same board).
  void Ricomincia() {
    richieste.clear();
    occorrenze.clear();
    trameErrate = 0;
  }
  void Ricevi(const std::uint8_t* dati, int n, int baudLinea);
  int Prendi(std::uint8_t* destinazione, int n);
  void Svuota();

  // Keys of the requests the board listened to, in order.
  std::vector<std::uint16_t> Sequenza() const;
  int Conta(std::uint16_t chiave) const;
  SScheda& Bersaglio();

 private:
  void Elabora(const Byte& trama, std::uint16_t chiave);
  void Rispondi(std::uint16_t chiave, Byte risposta, int indiceStato);
  int LunghezzaRichiesta(const Byte& b) const;
  int LarghezzaIndirizzo() const;

  COrologio& orologio;
  Byte ingresso;
  Byte uscita;
  std::int64_t uscitaDa = 0;  // the pending reply is visible from this time
  std::map<std::uint16_t, int> occorrenze;
  std::uint16_t destinatario = 0;  // 0: the local board
  std::uint32_t blankInizio = 0, blankFine = 0;
};

// The interface a loader talks to: the board on one side, the fake port (for
// the line changes) on the other.
class CInterfacciaFinta : public CInterfaccia {
 public:
  CInterfacciaFinta(CSchedaFinta& s, SStatoLinea& l) : scheda(s), linea(l) {}
  ~CInterfacciaFinta() override;

  int ApriLinea(int porta, int baud, int flagLinee, int* esito) override;
  int RiapriLinea(int* esito) override;
  int ChiudiLinea() override;
  int ScriviLinea(const std::uint8_t* dati, int lunghezza) override;
  int LeggiLinea(std::uint8_t* destinazione, int lunghezza) override;
  int SvuotaLinea() override;
  void ImpostaDestinatario(int base, int indirizzo) override;
  void AttendiRisposta(int conteggio, int timeoutMs) override;

  int riaperture = 0;
  bool scritturaGuasta = false;
  std::vector<std::pair<int, int>> destinatari;
  std::vector<std::pair<int, int>> attese;

 private:
  CSchedaFinta& scheda;
  SStatoLinea& linea;
  int portaAperta = 0;
  int baudApertura = 0;
};

// Reply bytes with their check.
Byte ConControllo(Byte b);

}  // namespace bricola::prova
