// The key's file system: one directory page at page 0, an optional
// continuation directory page, and the files in consecutive pages behind them.
//
// A directory page holds P / 8 entries of 8 bytes (little-endian):
//   0..1 marker 0xCC33 (the entry is in use; anything else, 0xFFFF when erased, is free)
//   2..3 first page of the file
//   4    low nibble: module class (0..7, 14 for any other) or 0xF for a link;
//        high nibble: load code
//   5..7 file length in bytes
// The last entry of page 0 never holds a file: once page 0 is full it becomes
// the link to the continuation page, so a key holds at most 2E - 1 files.
// Files are never deleted one by one: the key is emptied as a whole by erasing
// page 0, so files are allocated one after another without holes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "image/file.h"
#include "key/memox_interfaccia.h"

namespace bricola {

class CMemox {
 public:
  static constexpr int kMaxVoci = 400;            // room of the in-memory directory
  static constexpr int kByteVoce = 8;
  static constexpr std::uint16_t kMarcatore = 0xCC33;
  static constexpr std::uint8_t kNibbleCollegamento = 0xF;
  static constexpr std::uint8_t kClasseAltro = 14;

  CMemox();
  CMemox(const CMemox&) = delete;
  CMemox& operator=(const CMemox&) = delete;

  // The key device the pages are read from and written to (not owned).
  void ImpostaDispositivo(CMemoxInterfaccia* d) { dispositivo = d; }
  CMemoxInterfaccia* Dispositivo() const { return dispositivo; }

  // Page 0 into entries 0 .. E-1. 0 (memory untouched) when the read fails.
  int LeggiDirectory();
  // When the entry is a link, its page into entries E .. 2E-1; otherwise 0.
  int CaricaContinuazione(int voce);
  // Entries 0 .. E-1 to page 0, then, when page 0 holds a link, entries
  // E .. 2E-1 to the link's page.
  int ScriviDirectory();
  // Erases the page a link entry points to; 0 for any other entry.
  int CancellaContinuazione(int voce);
  // Builds an entry and records it (memory and key). Refuses a first page not
  // below N and a length that would not fit between it and the end of the key.
  int CreaVoce(int voce, std::uint16_t primaPagina, std::uint8_t nibbleBasso, std::uint8_t nibbleAlto,
               std::uint32_t lunghezza);
  // Stores the entry in memory, then rewrites the key page that holds it.
  int RegistraVoce(int voce, const std::uint8_t* dati);
  // The key page that holds an entry, following the link of each page from
  // `pagina` (start with 0). 0 when a page on the way cannot be read or has no link.
  int PaginaDellaVoce(int voce, std::uint16_t* pagina);
  // Erases page 0: every entry then reads free and the key is empty.
  int SvuotaChiave();

  // Queries by entry index (an index outside the directory is never in use).
  bool InUso(int voce) const;
  bool Collegamento(int voce) const;
  std::uint32_t LunghezzaFile(int voce) const;
  std::uint16_t PrimaPagina(int voce) const;
  std::uint8_t NibbleBasso(int voce) const;
  std::uint8_t NibbleAlto(int voce) const;
  // page + the pages the entry's file takes.
  std::uint32_t PaginaDopo(int voce, std::uint32_t pagina) const;
  // E: entries per directory page (0 without a device).
  int VociPerPagina() const;
  // The 8 bytes of an entry as they stand in memory.
  const std::uint8_t* Voce(int voce) const { return directory[static_cast<std::size_t>(voce)].data(); }

  // Up to n bytes of a file from a position, page by page. The bytes actually
  // delivered (a failed page read ends the read).
  std::uint32_t LeggiFile(int voce, std::uint32_t posizione, std::uint8_t* buffer, std::uint32_t n);
  // Files from primaVoce over one directory page, following a link of page 0
  // into the continuation page. Adds one to *pagineDirectory for each page visited.
  int ContaFile(int primaVoce, int* pagineDirectory);

  // Room for one more file, with the directory loaded: the free entry and the
  // first page of the file. Turns the last entry of page 0 into the link (and
  // erases the continuation page) when page 0 is full. 0: the key is full.
  int TrovaSpazio(int* voce, std::uint16_t* pagina);

 private:
  std::uint16_t DimensionePaginaChiave() const;
  bool Valida(int voce) const { return voce >= 0 && voce < kMaxVoci; }

  std::array<std::array<std::uint8_t, kByteVoce>, kMaxVoci> directory{};
  CMemoxInterfaccia* dispositivo = nullptr;
};

// The load code a directory entry stores for a module's load kind: kinds 0 and
// 3 trade places, kinds above 13 (and below 0) are stored as 0.
std::uint8_t CodiceLoad(int tipoLoad);
// The class nibble of a module class: 0..7 as they are, 14 for any other.
std::uint8_t ClasseVoce(int tipoModulo);
// Whether files of these lengths (bytes each) fit on an empty key of page size
// P, N pages and E entries per directory page.
bool CapienzaSufficiente(const std::vector<std::uint32_t>& lunghezze, std::uint32_t dimensionePagina,
                         std::uint32_t numeroPagine, int vociPerPagina);

// One file of the key through the file abstraction, read-only: a path is the
// decimal index of a directory entry.
class CFileMemox : public CFileTemplate {
 public:
  CFileMemox() = default;
  explicit CFileMemox(CMemox* m) : memox(m) {}
  void ImpostaMemox(CMemox* m) { memox = m; }

  int Esiste(const std::string& percorso) override;
  int ApriLettura(const std::string& percorso) override;
  int ApriAggiunta(const std::string&) override { return 0; }
  int Crea(const std::string&) override { return 0; }
  std::uint32_t Dimensione() override;
  int Riavvolgi() override;
  int Posiziona(std::uint32_t p) override;
  int Sposta(std::int32_t delta) override;
  int PosizionaDaFine(std::int32_t delta) override;
  int Leggi(void* buffer, std::uint32_t n) override;
  int Scrivi(const void*, std::uint32_t) override { return 0; }
  int Chiudi() override { return 1; }

  std::uint32_t Posizione() const { return posizione; }

 private:
  // The entry a path names; -1 when it is not a decimal number.
  static int Indice(const std::string& percorso);

  CMemox* memox = nullptr;
  int voce = -1;
  std::uint32_t posizione = 0;
};

}  // namespace bricola
