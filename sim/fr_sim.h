// An MB91F465 (FR family) as the PC meets it on the serial line: the ROM
// bootstrap with its two-byte command prefixes (write, read, call into RAM),
// the RAM it loads, and the flash kernel that the bootstrap calls, which
// speaks a small text protocol (sync, blank check, sector erase, hex download
// of binary S2 records, hex dumps, 32-bit word programming).
//
// A chip whose flash holds a resident boot runs that boot after any reset
// (that part lives in CMacchinaSim); a blank chip answers the FR check after
// a reset without the boot-mode line and enters its bootstrap with it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/flash_sim.h"
#include "sim/minimo_sim.h"

namespace bricola::sim {

// Bytes the chip sends, after a pause counted from the end of the previous output.
struct UscitaFr {
  std::vector<std::uint8_t> byte;
  std::uint32_t ritardoMs = 0;
};

enum class TipoGuastoFr {
  Silenzio,     // no answer to the chosen part ("comando")
  SommaErrata,  // bootstrap write: the 16-bit sum answered is wrong
  SyncTardivo,  // kernel: the sync prompt comes `ritardoMs` late, deaf meanwhile
  ByteErrato,   // kernel: one byte of an S2 record is stored with a bit flipped, yet acknowledged
  Nak,          // kernel: an S2 record is refused with NAK (nothing written)
  // Aimed at one request kind (`richiesta`), as for every engine of the simulator:
  Nack,          // the reply replaced by the refusal: the kernel's "\r\n NG \r\n>", NAK for an S2
                 // record or where the chip has no refusal of its own
  Controllo,     // bit 0 of the reply's last byte flipped (the 16-bit sum of a bootstrap write or read)
  BitRisposta,   // bit `bit` of reply byte `posizione` flipped (negative: counted from the end)
  BitInvertito,  // S2 record: bit `bit` of data byte `posizione` stored flipped, still acknowledged
  Chiusura,      // the connection drops when the request arrives
};

// Parts of the chip a Silenzio fault can silence.
enum class ParteFr { Tutto, Check, Scrivi, Leggi, Kernel };

struct GuastoFr {
  TipoGuastoFr tipo = TipoGuastoFr::Silenzio;
  ParteFr parte = ParteFr::Tutto;
  int volte = -1;  // events affected; -1 every one
  int usati = 0;
  std::uint32_t ritardoMs = 300;  // SyncTardivo
  std::uint32_t posizione = 0;    // ByteErrato: data byte of the record
  std::uint8_t bit = 0;           // ByteErrato: bit of that byte
  bool conIndirizzo = false;      // SommaErrata: only the bootstrap write to `indirizzo`
  std::uint32_t indirizzo = 0;
  // The request kind a fault of the common vocabulary is aimed at ("" the older `parte`):
  // bootstrap check, scrivi, leggi, chiama; kernel checkKernel, sync, blank, eraseInit,
  // erase, writeInit, writeMode, record, quit, readInit, readAddr, readNum, prog32Init,
  // prog32Addr, prog32Dato; "*" every one.
  std::string richiesta;
  int dopo = 0;                   // matching requests let through first
  int saltati = 0;
  std::int64_t posizioneRisposta = 1;  // BitRisposta
};

struct ConfigFr {
  bool bootResidente = true;              // the flash holds a resident boot
  std::uint32_t baudBootstrap = 9600;     // ROM bootstrap UART
  std::uint32_t baudKernel = 115200;      // the kernel programs its UART for this
  std::uint32_t avvioKernelMs = 20;       // after the call the kernel is deaf this long
  std::uint32_t cancellazioneChipMs = 2000;  // CancellaChip of the resident boot
  std::uint32_t pausaBootstrapMs = 150;   // silence that drops a half-received bootstrap command
  std::uint32_t ecoMs = 1;                // bootstrap: time to echo a prefix byte
  std::uint32_t blankMs = 0;              // kernel: blank check of the six sectors
  std::uint32_t eraseMs = 0;              // kernel: erase of one sector (both halves)
  std::uint32_t prog32Ms = 0;             // kernel: programming of one word
  std::vector<GuastoFr> guasti;
};

// Where the chip is; Fermo = running nothing that answers (wrong call, hung kernel).
enum class StatoFr { Fermo, SoloCheck, Bootstrap, Kernel, Cancellazione };

// The kernel's six flash sectors, numbered 0 to 5; the boot lives in 4 and 5.
inline constexpr std::uint32_t SETTORI_KERNEL_FR[7] = {0x140000, 0x142000, 0x144000, 0x146000,
                                                       0x148000, 0x14C000, 0x150000};
inline constexpr std::uint32_t INDIRIZZO_KERNEL_FR = 0x00030000;
inline constexpr std::uint32_t LUNGHEZZA_KERNEL_FR = 0x3000;

class CChipFrSim {
 public:
  using Traccia = std::function<void(std::int64_t, const std::string&)>;

  CChipFrSim() = default;
  explicit CChipFrSim(ConfigFr c) : config(std::move(c)) {}

  ConfigFr config;

  // Reset of a chip without a resident boot: bootstrap with the mode line, else the check answer only.
  void Reset(bool conRts, std::int64_t ms, const std::string& nome, const Traccia& t);
  // Bytes that reached the chip's UART at its own baud rate.
  std::vector<UscitaFr> DalPc(const std::uint8_t* dati, std::size_t n, std::int64_t ms, CFlashSim& flash,
                              const std::string& nome, const Traccia& t);
  std::uint32_t Baud() const { return stato_ == StatoFr::Kernel ? config.baudKernel : config.baudBootstrap; }
  StatoFr Stato() const { return stato_; }
  const char* NomeStato() const;

  // CancellaChip through the resident boot: the chip is busy, the flash is
  // erased once the time has passed (an earlier reset interrupts it).
  void AvviaCancellazione(std::int64_t ms, const std::string& nome, const Traccia& t);
  // Completes a chip erase whose time has passed; returns true if it did.
  bool Aggiorna(std::int64_t ms, CFlashSim& flash, const std::string& nome, const Traccia& t);
  // A reset during the erase: the erase is lost and the boot still there.
  void InterrompiCancellazione(std::int64_t ms, const std::string& nome, const Traccia& t);
  bool CancellazioneInCorso() const { return stato_ == StatoFr::Cancellazione; }

  int AvviiKernel() const { return avviiKernel_; }
  // The "drop the connection" fault fired (read once: the flag clears).
  bool PrendiChiusura() {
    const bool c = chiudi_;
    chiudi_ = false;
    return c;
  }
  // Where the chip declares the waits its protocol sets the PC (not owned; null: none).
  void ImpostaMinimo(CMinimoLinea* m) { minimo_ = m; }
  // RAM bytes written through the bootstrap since start, as ranges.
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> IntervalliRam() const;

 private:
  enum class Fase {
    // bootstrap
    Attesa, Prefisso, Testa, Dati, Indirizzo,
    // kernel
    Prompt, Settore, Riga, Download, RecordTipo, RecordConteggio, RecordCorpo,
    LetturaIndirizzo, LetturaConteggio, Prog32Indirizzo, Prog32Dato,
  };
  enum class ComandoRomFr { Nessuno, Leggi, Scrivi, Chiama };

  GuastoFr* Guasto(TipoGuastoFr tipo, ParteFr parte = ParteFr::Tutto, std::int64_t indirizzo = -1);
  bool Muto(ParteFr parte, std::int64_t ms, const std::string& nome, const Traccia& t);
  // A request of this kind is complete and its reply follows in `u`: chooses
  // the faults of the common vocabulary aimed at it (applied by Altera).
  void Arrivo(const std::string& richiesta, const std::vector<UscitaFr>& u, std::int64_t ms, const std::string& nome,
              const Traccia& t);
  void Altera(std::vector<UscitaFr>& u, std::int64_t ms, const std::string& nome, const Traccia& t);
  void Bootstrap(std::uint8_t b, std::int64_t ms, std::vector<UscitaFr>& u, CFlashSim& flash, const std::string& nome,
                 const Traccia& t);
  void Kernel(std::uint8_t b, std::int64_t ms, std::vector<UscitaFr>& u, CFlashSim& flash, const std::string& nome,
              const Traccia& t);
  void Chiama(std::uint32_t indirizzo, std::int64_t ms, const std::string& nome, const Traccia& t);
  bool KernelCaricato(std::string& perche) const;
  void Rispondi(std::vector<UscitaFr>& u, const std::string& testo, std::uint32_t ritardoMs = 0);
  void Rispondi(std::vector<UscitaFr>& u, std::vector<std::uint8_t> byte, std::uint32_t ritardoMs = 0);

  std::string richiestaAttiva_;
  std::size_t inizioRisposta_ = 0;
  GuastoFr* silenzio_ = nullptr;
  GuastoFr* nack_ = nullptr;
  GuastoFr* controllo_ = nullptr;
  GuastoFr* bitRisposta_ = nullptr;
  GuastoFr* bitInvertito_ = nullptr;
  bool chiudi_ = false;
  // The PC's own wait of ms from its request now being received.
  void AttesaPc(double ms) {
    if (minimo_) minimo_->PausaDallaRichiesta(ms);
  }

  CMinimoLinea* minimo_ = nullptr;
  StatoFr stato_ = StatoFr::Fermo;
  Fase fase_ = Fase::Attesa;
  std::int64_t ultimoByteMs_ = 0;
  std::int64_t sordoFinoMs_ = 0;
  std::int64_t fineCancellazioneMs_ = 0;
  int avviiKernel_ = 0;

  // bootstrap command in progress
  ComandoRomFr comando_ = ComandoRomFr::Nessuno;
  std::vector<std::uint8_t> campi_;
  std::uint32_t indirizzoRom_ = 0;
  std::uint32_t lunghezzaRom_ = 0;
  std::uint32_t ricevutiRom_ = 0;
  std::uint16_t sommaRom_ = 0;
  std::map<std::uint32_t, std::uint8_t> ram_;  // written bytes; the rest reads 00

  // kernel command in progress
  std::string riga_;
  std::vector<std::uint8_t> record_;
  std::uint32_t conteggioRecord_ = 0;
  int crDownload_ = 0;
  std::uint32_t indirizzoKernel_ = 0;
};

}  // namespace bricola::sim
