// An F2MC microcontroller (MB90F549, MB90F497, MB90F345 of the F2MC-16LX
// family, MB96F338 of the F2MC-16FX family) as the PC meets it on the serial
// line after a reset with the boot-mode line asserted: the mask-ROM bootstrap
// with its check, RAM blocks and execute, then whatever was put in RAM. A real
// chip runs any bytes it is sent; this one recognises the RAM loaders by where
// and how much was written (the pieces of the writers, the micro-query loader)
// and answers as they do: the frames of the boot protocol (buffer size, blank
// check, sector erase, write, read, signature, micro, chip erase) or the
// one-byte micro query. Anything else in RAM runs and answers nothing.
//
// What a correct PC never does (a write across a sector end, into a sector it
// never blank-checked or erased, of bytes that are all FF, longer than the
// buffer the loader reported...) is noted as an anomaly for the examiner.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim/flash_sim.h"
#include "sim/minimo_sim.h"

namespace bricola::sim {

enum class FamigliaF2mc { Lx, Fx };

// Bytes the chip sends, after a pause counted from the moment they are due.
struct UscitaF2mc {
  std::vector<std::uint8_t> byte;
  std::uint32_t ritardoMs = 0;
};

enum class TipoGuastoF2mc {
  BloccoErrato,  // a RAM block is acknowledged with `risposta` (stored all the same)
  ByteErrato,    // the flash byte at `indirizzo` is stored with `bit` flipped, the write answered 00
  Silenzio,      // no answer to `parte`
  Stato,         // the result byte of `parte` (a loader command) is replaced by `stato`
  Nack,          // `parte` refused: F9 from a loader, the bootstrap's error answer (16LX 00, 16FX '<')
  Controllo,     // bit 0 of the reply's last byte flipped (the frame check of a loader reply)
  BitRisposta,   // bit `bit` of reply byte `posizione` flipped
  BitInvertito,  // Write: bit `bit` of data byte `posizione` stored flipped, the write answered 00
  Chiusura,      // the connection drops when `parte` arrives
};

struct GuastoF2mc {
  TipoGuastoF2mc tipo = TipoGuastoF2mc::Silenzio;
  // Silenzio, Stato: "check", "calibrazione", "blocco", "esecuzione", "micro",
  // a loader command (LunBuf, Blank, Erase, Write, Read, GetFirma, GetMicro, EraseChip) or "*".
  std::string parte = "*";
  int blocco = -1;                  // BloccoErrato: index of the block since the reset (-1 any)
  std::uint8_t risposta = 0x00;     // BloccoErrato: the acknowledge sent
  std::uint32_t indirizzo = 0;      // ByteErrato
  std::uint8_t bit = 0;             // ByteErrato
  std::uint8_t stato = 0x01;        // Stato
  int volte = -1;                   // events affected; -1 every one
  int usati = 0;
  int dopo = 0;                     // matching requests let through before the fault starts
  int saltati = 0;
  std::uint32_t posizione = 0;      // BitRisposta, BitInvertito
};

struct ConfigF2mc {
  char micro = 'Q';                     // Q MB90F549, R MB90F345, S MB90F497, T MB96F338
  std::uint32_t baudBootstrap = 0;      // 0: 4800 (16LX) or 19200 (16FX)
  std::uint32_t baudCaricatore = 0;     // 0: the speed the loader in RAM programs (by loader)
  std::uint8_t bufferCaricatore = 0x80; // LunBuf answer of the writers' loaders: bytes
  bool bootResidente = true;            // after a reset without the mode line the flash's boot runs (38400)
  bool accensioneConRts = false;        // the board is off until the PC first asserts RTS (powered by hand then)
  std::uint32_t accesaDopoMs = 0;       // powered late: deaf this long after a reset (or after RTS, above)
  std::uint32_t avvioCaricatoreMs = 20; // after the execute the loader is deaf this long
  std::uint32_t cancellazioneChipMs = 300;  // EraseChip of the MB90F345 loader
  std::uint32_t pausaMs = 150;          // silence that drops a half-received message
  std::uint8_t rispostaCheckFx = 'F';   // 16FX check answer ('Z': an error the PC takes all the same)
  std::vector<GuastoF2mc> guasti;
};

// What runs in RAM after the execute, recognised by its pieces.
enum class CaricatoreF2mc { Nessuno, Mb90F549, Mb90F497, Mb90F345, MicroQuery, Mb96F338, Ignoto };
const char* NomeCaricatore(CaricatoreF2mc c);

enum class StatoF2mc { Spento, Flash, Bootstrap, Caricatore, Fermo };

// One write the PC asked of a loader, in order.
struct ScritturaF2mc {
  std::uint32_t indirizzo = 0;
  std::uint32_t lunghezza = 0;
};

class CChipF2mcSim {
 public:
  using Traccia = std::function<void(std::int64_t, const std::string&)>;

  CChipF2mcSim() = default;
  explicit CChipF2mcSim(ConfigF2mc c);

  ConfigF2mc config;

  FamigliaF2mc Famiglia() const { return config.micro == 'T' ? FamigliaF2mc::Fx : FamigliaF2mc::Lx; }
  // The micro type a resident boot of this chip reports (1, 2, 4, 6).
  std::uint8_t TipoMicro() const;

  // Reset (end of the DTR pulse) or power-up: with the mode line the ROM
  // bootstrap, else the program in flash (the resident boot, or nothing).
  void Reset(bool conRts, std::int64_t ms, const std::string& nome, const Traccia& t);
  // The board waits for power (accensioneConRts) and has not had it yet.
  bool Spento() const { return stato_ == StatoF2mc::Spento; }
  void Accendi() {
    if (stato_ == StatoF2mc::Spento) stato_ = StatoF2mc::Flash;
  }

  std::vector<UscitaF2mc> DalPc(const std::uint8_t* dati, std::size_t n, std::int64_t ms, CFlashSim& flash,
                                const std::string& nome, const Traccia& t);
  std::uint32_t Baud() const;
  StatoF2mc Stato() const { return stato_; }
  const char* NomeStato() const;
  // The loader last started (kept after the reset that ends the job).
  CaricatoreF2mc Caricatore() const { return caricatore_; }

  // For the dump.
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> IntervalliRam() const;
  int Blocchi() const { return blocchi_; }
  const std::vector<ScritturaF2mc>& Scritture() const { return scritture_; }
  const std::vector<std::string>& Anomalie() const { return anomalie_; }
  // The "drop the connection" fault fired (read once: the flag clears).
  bool PrendiChiusura() {
    const bool c = chiudi_;
    chiudi_ = false;
    return c;
  }
  // Where the chip declares the waits its protocol sets the PC (not owned; null: none).
  void ImpostaMinimo(CMinimoLinea* m) { minimo_ = m; }

 private:
  CMinimoLinea* minimo_ = nullptr;
  enum class Fase { Attesa, Testa, Dati, Comando };

  GuastoF2mc* Guasto(TipoGuastoF2mc tipo, const std::string& parte);
  bool Muto(const std::string& parte, std::int64_t ms, const std::string& nome, const Traccia& t);
  void Anomalia(std::int64_t ms, const std::string& testo, const Traccia& t);
  void Emetti(std::vector<UscitaF2mc>& u, const std::string& tipo, std::vector<std::uint8_t> byte, std::int64_t ms,
              const std::string& nome, const Traccia& t, std::uint32_t ritardoMs = 0);

  void BootstrapLx(std::uint8_t b, std::int64_t ms, std::vector<UscitaF2mc>& u, const std::string& nome,
                   const Traccia& t);
  void BootstrapFx(std::uint8_t b, std::int64_t ms, std::vector<UscitaF2mc>& u, const std::string& nome,
                   const Traccia& t);
  void Blocco(std::uint32_t indirizzo, const std::uint8_t* dati, std::size_t n, bool buono, std::uint8_t ok,
              std::uint8_t errato, std::int64_t ms, std::vector<UscitaF2mc>& u, const std::string& nome,
              const Traccia& t);
  void Esegui(std::int64_t ms, const std::string& nome, const Traccia& t);
  void Caricatore(std::uint8_t b, std::int64_t ms, std::vector<UscitaF2mc>& u, CFlashSim& flash,
                  const std::string& nome, const Traccia& t);
  void Richiesta(std::int64_t ms, std::vector<UscitaF2mc>& u, CFlashSim& flash, const std::string& nome,
                 const Traccia& t);

  StatoF2mc stato_ = StatoF2mc::Flash;
  CaricatoreF2mc caricatore_ = CaricatoreF2mc::Nessuno;
  std::int64_t sordoFinoMs_ = 0;
  std::int64_t ultimoByteMs_ = 0;
  bool sincronizzato_ = false;  // the check was answered since the reset
  bool calibrato_ = false;      // 16FX: calibrate off received
  Fase fase_ = Fase::Attesa;
  std::vector<std::uint8_t> messaggio_;
  std::size_t attesi_ = 0;      // length of the message being received (0 not known yet)
  int blocchi_ = 0;             // RAM blocks received since the reset
  std::map<std::uint32_t, std::uint8_t> ram_;
  // Sectors the PC blank-checked or erased since the loader started.
  std::vector<std::uint32_t> settoriPronti_;
  std::vector<ScritturaF2mc> scritture_;
  std::vector<std::string> anomalie_;
  // Faults chosen for the request last arrived (by Muto), applied to its reply.
  std::string parteAttiva_;
  std::vector<GuastoF2mc*> saltatiOra_;
  GuastoF2mc* nack_ = nullptr;
  GuastoF2mc* controllo_ = nullptr;
  GuastoF2mc* bitRisposta_ = nullptr;
  GuastoF2mc* bitInvertito_ = nullptr;
  bool chiudi_ = false;
};

}  // namespace bricola::sim
