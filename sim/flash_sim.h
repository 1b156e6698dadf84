// The flash memory of one simulated board: NOR semantics (erased bytes read FF,
// programming only clears bits, erasing works on whole sectors), protected
// sectors, the boot's own area, the interrupt vector area, and external chips
// that answer identification queries. The sector tables here are the board's
// own; the tool keeps its own copy of what it believes they are.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace bricola::sim {

// A run of equal sectors; numero -1 = as many as fit in the remaining size.
struct SerieSettori {
  std::uint32_t dimensione = 0;
  int numero = 1;
};

// Identification form of an external chip.
enum class TipoChip { Cfi, Atm };

struct ChipEsterno {
  std::uint32_t base = 0;
  std::uint32_t dimensione = 0x200000;
  TipoChip tipo = TipoChip::Cfi;
  std::uint16_t setComandi = 0x0002;  // CFI primary command set
  std::uint8_t infoPri = 0x02;        // byte of the extended table the tool logs (boot block position)
  std::uint8_t produttore = 0x1F;     // ATM form: manufacturer
  std::uint8_t dispositivo = 0x63;    // ATM form: device code
};

enum class EsitoFlash {
  Ok,
  FuoriMappa,     // the address lies in no sector of the board
  Protetto,       // erase refused: protected sector
  AreaBoot,       // write refused: reaches the boot's own area
  AreaVettori,    // written, but into the interrupt vector area
  BitNonAzzerabili,  // the data need bits set that only an erase can set
  Disallineato,   // write length not a multiple of the board's write unit
};

struct Settore {
  std::uint32_t inizio = 0;
  std::uint32_t dimensione = 0;
  bool protetto = false;
  bool sovrascrivibile = false;  // configuration cells: a write replaces the bytes
  std::uint32_t Fine() const { return inizio + dimensione; }
};

// Named sector lists: "F256", "F512", "F64", "F64x8", "F128x4", "E64x16",
// "ETop", "EBottom", "P64", "P16". Returns false for an unknown name.
bool SerieDaNome(const std::string& nome, std::vector<SerieSettori>& serie);

class CFlashSim {
 public:
  // Lays out sectors from `inizio` for `dimensione` bytes following `serie`.
  // Returns false if the sectors overlap existing ones or do not fit.
  bool AggiungiRegione(std::uint32_t inizio, std::uint32_t dimensione, const std::vector<SerieSettori>& serie,
                       bool sovrascrivibile = false);
  bool AggiungiChip(const ChipEsterno& chip, const std::vector<SerieSettori>& serie);
  // Fills a built-in preset: "M256", "M64", "M512", "M512x", "M512r", "MPIC".
  // The internal flash of the preset gets its top sector as the boot area.
  bool CaricaPreset(const std::string& nome);

  void ImpostaAreaBoot(std::uint32_t inizio, std::uint32_t fine) { areaBoot_ = {inizio, fine}; }
  void ImpostaAreaVettori(std::uint32_t inizio, std::uint32_t fine) { areaVettori_ = {inizio, fine}; }
  void ImpostaAllineamento(std::uint32_t unita) { allineamento_ = unita ? unita : 1; }
  bool Proteggi(std::uint32_t indirizzo);  // the sector holding the address refuses erasing

  const Settore* TrovaSettore(std::uint32_t indirizzo) const;
  const ChipEsterno* TrovaChip(std::uint32_t base) const;
  std::size_t NumeroSettori() const { return settori_.size(); }

  std::uint8_t Leggi(std::uint32_t indirizzo) const;
  // True when every byte of [primo, fine) is FF. Bytes outside the map count as not blank.
  bool Vuoto(std::uint32_t primo, std::uint64_t fine) const;
  EsitoFlash Cancella(std::uint32_t indirizzo);
  // Programs n bytes: the result is old AND new (NOR flash). Refuses the whole
  // packet if it reaches the boot area or leaves the map.
  EsitoFlash Scrivi(std::uint32_t indirizzo, const std::uint8_t* dati, std::size_t n);
  // The microcontroller's own programming code (ROM bootstrap kernels): no
  // protected sectors and no boot area, only the NOR rules and the map.
  EsitoFlash CancellaDiretto(std::uint32_t indirizzo);
  EsitoFlash ScriviDiretto(std::uint32_t indirizzo, const std::uint8_t* dati, std::size_t n);
  // Chip erase: every sector, recorded as erased.
  void CancellaTutto();
  // Initial contents: sets bytes directly, without NOR rules; not tracked as written.
  bool Carica(std::uint32_t indirizzo, const std::uint8_t* dati, std::size_t n);

  // The identification bytes a FlashType query reads from the chip at `base`;
  // FF where nothing answers.
  std::vector<std::uint8_t> DatiIdentificazione(std::uint32_t base, std::uint16_t offset, std::uint8_t conteggio) const;

  // For dumps: ranges written by the PC since start (current contents), ranges
  // that are not FF now, and the sectors erased.
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> IntervalliScritti() const;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> IntervalliNonVuoti() const;
  const std::vector<std::uint32_t>& SettoriCancellati() const { return cancellati_; }

 private:
  struct Contenuto {
    std::vector<std::uint8_t> byte;   // the sector's bytes
    std::vector<bool> scritto;        // written by the PC since start
  };
  Contenuto& Dati(const Settore& s);
  bool Sovrappone(std::uint32_t inizio, std::uint64_t fine) const;
  static bool Interseca(std::pair<std::uint32_t, std::uint32_t> area, std::uint32_t inizio, std::uint64_t fine);

  std::map<std::uint32_t, Settore> settori_;      // by start address
  std::map<std::uint32_t, Contenuto> contenuto_;  // by sector start, allocated on first write
  std::vector<ChipEsterno> chip_;
  std::pair<std::uint32_t, std::uint32_t> areaBoot_{0, 0};
  std::pair<std::uint32_t, std::uint32_t> areaVettori_{0, 0};
  std::uint32_t allineamento_ = 1;
  std::vector<std::uint32_t> cancellati_;
};

}  // namespace bricola::sim
