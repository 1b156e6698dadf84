// libFuzzer target: the key's file system over an in-memory key whose pages
// are the input. Byte 0 picks the geometry (page size and number of pages,
// small ones too, so that links, full directories and the end of the key are
// reached); the rest fills the pages from page 0 (the remainder reads erased).
// Then, as the read of the key does: the files are counted, each file is read
// through CFileMemox (whole, in pieces, from the end) and analysed as an image
// file, each file is copied to disk through the loader's read, and a module is
// written onto the key. What must hold: counts within the directory; every
// byte read is the byte of the page the entry points at, and nothing past
// the end of a file or of the key is delivered; copies are bounded and equal;
// a write that reports success left an entry of its length that reads back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "image/analisi.h"
#include "key/load_memox.h"
#include "key/memox.h"
#include "tests/fuzz/verifica.h"
#include "tests/key/memox_finta.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace {

using namespace bricola;

struct SGeometria {
  std::uint16_t pagina;
  std::uint32_t pagine;
};
constexpr SGeometria kGeometrie[] = {{16, 16}, {24, 32}, {32, 64}, {64, 40}, {264, 64}, {528, 32}, {16, 4096},
                                     {264, 4096}};

// The byte at position k of the file an entry describes, straight from the pages.
bool ByteAtteso(prova::CMemoxFinta& chiave, CMemox& m, int voce, std::uint32_t k, std::uint8_t* b) {
  const std::uint32_t p = chiave.DimensionePagina();
  const std::uint32_t pagina = m.PrimaPagina(voce) + k / p;
  if (pagina >= chiave.NumeroPagine() || pagina > 0xFFFF) return false;
  *b = chiave.Pagina(pagina)[k % p];
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dati, std::size_t n) {
  if (n < 1) return 0;
  static prova::CCartellaTemporanea cartella;
  const SGeometria g = kGeometrie[dati[0] % 8];
  prova::CMemoxFinta chiave(g.pagina, g.pagine);
  const std::size_t capienza = static_cast<std::size_t>(g.pagina) * g.pagine;
  std::copy(dati + 1, dati + std::min(n, capienza + 1), chiave.Pagina(0));

  CLoadMemox load;
  load.ImpostaDispositivo(&chiave);
  const int conteggio = load.ContaFileChiave();
  const int e = load.VociPerPagina();
  Verifica(conteggio >= 0 && conteggio <= 2 * e);
  Verifica(load.SlotFile() <= 2 * e);

  CMemox memox;
  memox.ImpostaDispositivo(&chiave);
  Verifica(memox.LeggiDirectory() == 1);
  int pagineDirectory = 0;
  Verifica(memox.ContaFile(0, &pagineDirectory) == conteggio);
  Verifica(pagineDirectory >= 1 && pagineDirectory <= 2);

  CFileMemox file(&memox);
  CAnalisiFile analisi;
  analisi.ImpostaVerificaCrc((dati[0] & 8) != 0);
  analisi.ImpostaSorgente(true, &file);
  static std::vector<CProgDescr> moduli(kMaxModuli);
  const std::uint32_t limite = 2 * static_cast<std::uint32_t>(g.pagina) * 8;  // enough to cross pages
  for (int voce = 0; voce < std::min(load.SlotFile(), CMemox::kMaxVoci); ++voce) {
    if (!load.FileValido(voce)) continue;
    const std::string nome = std::to_string(voce);
    Verifica(file.ApriLettura(nome) == 1);
    const std::uint32_t lunghezza = file.Dimensione();
    Verifica(lunghezza == memox.LunghezzaFile(voce) && lunghezza < (1u << 24));
    // Whole, as far as the key holds it, in pieces of an odd size.
    const std::uint32_t quanto = std::min(lunghezza, limite);
    std::vector<std::uint8_t> letto(quanto + 7);
    std::uint32_t fatti = 0;
    bool fallito = false;
    while (fatti < quanto && !fallito) {
      const std::uint32_t pezzo = std::min<std::uint32_t>(7, quanto - fatti);
      const std::uint32_t prima = file.Posizione();
      if (!file.Leggi(letto.data() + fatti, pezzo)) {
        fallito = true;
        fatti += file.Posizione() - prima;
      } else {
        fatti += pezzo;
      }
      Verifica(file.Posizione() == fatti);
    }
    for (std::uint32_t k = 0; k < fatti; ++k) {
      std::uint8_t atteso = 0;
      Verifica(ByteAtteso(chiave, memox, voce, k, &atteso) && letto[k] == atteso);
    }
    // A piece fails only where the key does not hold the file.
    if (fallito) {
      std::uint8_t b = 0;
      bool manca = false;
      for (std::uint32_t k = fatti; k < std::min(fatti + 7, quanto) && !manca; ++k) {
        manca = !ByteAtteso(chiave, memox, voce, k, &b);
      }
      Verifica(manca);
    }
    // Past the end: nothing.
    if (file.PosizionaDaFine(0)) {
      std::uint8_t b = 0;
      Verifica(file.Leggi(&b, 1) == 0 && file.Posizione() == lunghezza);
    }
    Verifica(file.PosizionaDaFine(1) == 0);
    if (lunghezza >= 4) {
      Verifica(file.PosizionaDaFine(-4) == 1);
      std::uint8_t coda[4];
      if (file.Leggi(coda, 4)) {
        for (std::uint32_t k = 0; k < 4; ++k) {
          std::uint8_t atteso = 0;
          Verifica(ByteAtteso(chiave, memox, voce, lunghezza - 4 + k, &atteso) && coda[k] == atteso);
        }
      }
    }
    file.Chiudi();
    // The analysis of the file as an image file on the key.
    int numero = -1, tuttiValidi = 0, inutilizzabile = 0, grezzo = 0, errore = 0;
    analisi.AnalizzaFile(nome, moduli.data(), kMaxModuli, numero, tuttiValidi, inutilizzabile, grezzo, errore);
    Verifica(numero >= 0 && numero <= kMaxModuli);
    for (int i = 0; i < numero; ++i) {
      if (moduli[static_cast<std::size_t>(i)].stato == STATO_VALIDO) {
        Verifica(moduli[static_cast<std::size_t>(i)].fine <= lunghezza);
      }
    }
  }
  analisi.ImpostaSorgente(false);

  // Copies to disk, as the read of the key makes them (the first few files).
  const std::string copia = cartella.File("copia.bin");
  int esito = -1;
  if (load.PreparaLettura(copia, &esito)) {
    Verifica(esito == RC_OK && load.FileSullaChiave() == conteggio);
    for (int f = 0; f < std::min(conteggio, 3); ++f) {
      if (!load.AvviaLettura(copia, f, &esito)) {
        Verifica(esito != RC_OK);
        break;
      }
      const int totale = load.byteTotali;
      int passi = 0;
      int aggiorna = 0;
      while (load.PassoLettura(&aggiorna)) Verifica(++passi <= totale / g.pagina + 2);
      load.TerminaLettura();
      if (load.fase != ST_DONE) {
        Verifica(load.esito != RC_OK);
        break;
      }
    }
    Verifica(prova::LeggiFile(copia).size() <= static_cast<std::size_t>(3) * (1u << 24));
  } else {
    Verifica(esito != RC_OK);
  }

  // A module written onto the key, from a small image file.
  prova::CImmagine img;
  img.Dati(0x1000, prova::Schema(1 + dati[0] % 97)).Fine(0x0010);
  const std::string immagine = cartella.File("m.bin");
  Verifica(img.Scrivi(immagine));
  CLoadMemox scrittore;
  scrittore.ImpostaDispositivo(&chiave);
  const std::uint32_t fine = img.Posizione() - 4;
  if (scrittore.Avvia(immagine, 0, fine, 0x0010, nullptr, 0, 3, 1, nullptr, 0, nullptr, 0, &esito)) {
    int passi = 0;
    int aggiorna = 0;
    while (scrittore.Passo(&aggiorna)) Verifica(++passi <= static_cast<int>(fine + 4) / g.pagina + 2 + 10);
    scrittore.Termina();
    if (scrittore.fase == ST_DONE) {
      Verifica(scrittore.esito == RC_OK);
      // The new entry is on the key with the module's length.
      CMemox dopo;
      dopo.ImpostaDispositivo(&chiave);
      Verifica(dopo.LeggiDirectory() == 1);
      int pd = 0;
      const int nuovo = dopo.ContaFile(0, &pd);
      Verifica(nuovo >= 1);
    } else {
      Verifica(scrittore.esito != RC_OK);
    }
  } else {
    Verifica(esito != RC_OK);
  }
  return 0;
}
