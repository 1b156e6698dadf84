// Flash maps of the target boards: regions divided into erase sectors, and
// the questions a writer asks while streaming a module (which sector holds an
// address, whether a sector still has to be erased, how much of a packet fits
// before the next sector boundary, whether the chip must be asked about).
#pragma once

#include <cstdint>

namespace bricola {

// One run of equal sectors; ripetizioni -1 means as many as fit in the region.
struct SSettore {
  std::uint32_t dimensione;
  std::int16_t ripetizioni;
};

// Region kinds (for regions that are not interna).
enum : std::uint32_t {
  REGIONE_NOTA = 0,         // chip known, its list selected automatically
  REGIONE_DA_CHIEDERE = 1,  // the board must say which chip is there
  REGIONE_LINEARE = 2,      // the board gives a linear window
};

struct SRegione {
  std::uint32_t inizio;       // first address
  std::uint32_t fine;         // first address after the region
  std::uint32_t interna;      // sectors known in advance (the micro's own flash)
  std::uint32_t numListaA;
  const SSettore* listaA;     // used when the selector is set
  std::uint32_t numListaB;
  const SSettore* listaB;     // used when the selector is clear
  std::uint32_t senzaCancellazione;
  std::uint32_t tipo;         // REGIONE_*
  std::uint32_t selettore;    // 1 list A, 0 list B
  std::uint16_t mascheraAllineamento;  // read from a map's first region only
  const std::uint8_t* dati;   // handed to the writer with a sector of this region
  std::uint32_t lunghezzaDati;
};

struct SMappa {
  std::uint32_t numRegioni;
  const SRegione* regioni;
};

// Built-in maps.
extern const SMappa kMappaM256;
extern const SMappa kMappaM64;
extern const SMappa kMappaMPIC;
extern const SMappa kMappaM512;
extern const SMappa kMappaM512x;
extern const SMappa kMappaM512r;
extern const SMappa kMappaMAuto;

// Built-in sector lists (count and entries), for tests and writers.
struct SListaSettori {
  std::uint32_t numero;
  const SSettore* voci;
};
extern const SListaSettori kListaF256, kListaF512, kListaF64, kListaF64x8, kListaF128x4,
    kListaE64x16, kListaETop, kListaEBottom, kListaP64, kListaP16;

// The map the resident-boot loader uses for a load kind:
// 4 M64, 5 MPIC, 7 M512, 9 M512x, 11 M512r, any other M256.
const SMappa& MappaPerTipoLoad(int tipoLoad);

class CMemoria {
 public:
  CMemoria() = default;
  virtual ~CMemoria() = default;

  // Loads a map (not copied: built-in constant tables) and resets the state.
  void ImpostaMappa(std::uint32_t numero, const SRegione* tabella);
  void ImpostaMappa(const SMappa& mappa) { ImpostaMappa(mappa.numRegioni, mappa.regioni); }
  // Linear mode on, window [inizio, inizio + lunghezza).
  void ImpostaLineare(std::uint32_t inizio, std::uint32_t lunghezza);
  // Linear mode off; makes the region starting at inizioRegione active with
  // list A or B and works out how many sectors the -1 entry stands for.
  int SelezionaRegione(std::uint32_t inizioRegione, std::uint32_t dimensioneFlash, bool usaListaA);
  int TrovaSettore(std::uint32_t indirizzo, std::uint32_t& inizio, std::uint32_t& fine,
                   const std::uint8_t*& dati, std::uint32_t& lunghezzaDati) const;
  // How many of `lunghezza` bytes at `indirizzo` fit before a sector (or window) boundary.
  std::uint16_t LunghezzaNelSettore(std::uint16_t lunghezza, std::uint32_t indirizzo,
                                    const std::uint8_t*& dati, std::uint32_t& lunghezzaDati) const;
  // 1 when writing at the address enters a sector still to be erased: [inizio, fine).
  int ProssimoSettore(std::uint32_t indirizzo, bool senzaCancellazione, std::uint32_t& inizio,
                      std::uint32_t& fine, bool& fuoriMappa);
  // 1 when the board must be asked about the flash behind the address (or the
  // address is in no region, fuoriMappa). inizioRegione: the region start, or
  // 0xFFFFFFFF to ask for the linear block around the address.
  int RegioneDaIdentificare(std::uint32_t indirizzo, std::uint32_t& inizioRegione,
                            bool& senzaCancellazione, bool& fuoriMappa);
  std::uint32_t UltimoSettore() const { return ultimoSettore; }
  std::uint16_t MascheraAllineamento() const;
  bool PrimaRegioneNonLineare() const;

  std::uint32_t ultimoSettore = 0;
  bool lineare = false;
  std::uint32_t inizioLineare = 0;
  std::uint32_t fineLineare = 0;
  std::uint32_t numRegioni = 0;
  const SRegione* regioni = nullptr;
  std::uint32_t numSettoriAttivi = 0;
  const SSettore* settoriAttivi = nullptr;
  int regioneAttiva = -1;
  std::uint32_t ripetizioni = 0;
};

}  // namespace bricola
