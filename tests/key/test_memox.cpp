// The key's file system against the in-memory key: directory entries, the
// link entry and continuation page, room for new files, reading files and the
// key file object, and the fit test.
#include <gtest/gtest.h>

#include "image/file.h"
#include "key/memox.h"
#include "memox_finta.h"

namespace bricola {
namespace {

using prova::CMemoxFinta;

// Fills the directory with n files of the given lengths through TrovaSpazio and CreaVoce.
void RiempiDirectory(CMemox& m, int n, std::uint32_t lunghezza) {
  for (int k = 0; k < n; ++k) {
    ASSERT_TRUE(m.LeggiDirectory());
    int voce = -1;
    std::uint16_t pagina = 0;
    ASSERT_TRUE(m.TrovaSpazio(&voce, &pagina)) << k;
    ASSERT_TRUE(m.CreaVoce(voce, pagina, 2, 3, lunghezza)) << k;
    ASSERT_TRUE(m.ScriviDirectory()) << k;
  }
}

TEST(Memox, AnErasedKeyListsNothingAndOffersEntry0AtPage1) {
  CMemoxFinta chiave;
  CMemox m;
  m.ImpostaDispositivo(&chiave);
  ASSERT_TRUE(m.LeggiDirectory());
  int pagine = 0;
  EXPECT_EQ(m.ContaFile(0, &pagine), 0);
  EXPECT_EQ(pagine, 1);
  int voce = -1;
  std::uint16_t pagina = 0;
  ASSERT_TRUE(m.TrovaSpazio(&voce, &pagina));
  EXPECT_EQ(voce, 0);
  EXPECT_EQ(pagina, 1);
  // The directory page is read whole with LeggiPagina.
  ASSERT_FALSE(chiave.Di('L').empty());
  EXPECT_EQ(chiave.Di('L')[0].pagina, 0);
  EXPECT_EQ(chiave.Di('L')[0].lunghezza, 264);
}

TEST(Memox, AnEntryIsWrittenIntoItsPageAtOnce) {
  CMemoxFinta chiave;
  CMemox m;
  m.ImpostaDispositivo(&chiave);
  ASSERT_TRUE(m.LeggiDirectory());
  ASSERT_TRUE(m.CreaVoce(1, 0x0123, 14, 0xB, 0x0A0B0C));
  const std::vector<std::uint8_t> atteso = {0x33, 0xCC, 0x23, 0x01, 0xBE, 0x0C, 0x0B, 0x0A};
  EXPECT_EQ(chiave.Byte(0, 8, 8), atteso);
  // Only the entry's slot changed: the read page went back whole.
  EXPECT_EQ(chiave.Byte(0, 0, 8), std::vector<std::uint8_t>(8, 0xFF));
  EXPECT_EQ(chiave.Byte(0, 16, 8), std::vector<std::uint8_t>(8, 0xFF));
  EXPECT_TRUE(m.InUso(1));
  EXPECT_FALSE(m.Collegamento(1));
  EXPECT_EQ(m.LunghezzaFile(1), 0x0A0B0Cu);
  EXPECT_EQ(m.PrimaPagina(1), 0x0123);
  EXPECT_EQ(m.PrimaPagina(2), 0xFFFF);
  EXPECT_EQ(m.LunghezzaFile(2), 0u);
  EXPECT_FALSE(m.InUso(400));
  EXPECT_FALSE(m.InUso(-1));
}

TEST(Memox, CreaVoceRefusesWhatCannotFitBehindItsFirstPage) {
  CMemoxFinta chiave(264, 4096);
  CMemox m;
  m.ImpostaDispositivo(&chiave);
  ASSERT_TRUE(m.LeggiDirectory());
  EXPECT_FALSE(m.CreaVoce(0, 4096, 0, 0, 1));
  EXPECT_FALSE(m.CreaVoce(0, 4095, 0, 0, 265));
  EXPECT_TRUE(m.CreaVoce(0, 4095, 0, 0, 264));
  EXPECT_TRUE(chiave.Di('S').size() == 1);
}

TEST(Memox, FilesTakeWholePagesOneAfterAnother) {
  CMemoxFinta chiave;
  CMemox m;
  m.ImpostaDispositivo(&chiave);
  ASSERT_TRUE(m.LeggiDirectory());
  ASSERT_TRUE(m.CreaVoce(0, 1, 0, 0, 264));  // exactly one page
  ASSERT_TRUE(m.CreaVoce(1, 2, 0, 0, 265));  // one byte more: two pages
  EXPECT_EQ(m.PaginaDopo(0, 1), 2u);
  EXPECT_EQ(m.PaginaDopo(1, 2), 4u);
  int voce = -1;
  std::uint16_t pagina = 0;
  ASSERT_TRUE(m.TrovaSpazio(&voce, &pagina));
  EXPECT_EQ(voce, 2);
  EXPECT_EQ(pagina, 4);
}

TEST(Memox, The33rdFileMakesTheLinkEntryAndTheContinuationPage) {
  CMemoxFinta chiave;
  CMemox m;
  m.ImpostaDispositivo(&chiave);
  RiempiDirectory(m, 32, 100);  // entries 0..31, pages 1..32
  ASSERT_TRUE(m.LeggiDirectory());
  EXPECT_FALSE(m.InUso(32));
  // Some garbage where the continuation page will go: it must start erased.
  chiave.Pagina(33)[0] = 0x33;
  chiave.Pagina(33)[1] = 0xCC;
  int voce = -1;
  std::uint16_t pagina = 0;
  ASSERT_TRUE(m.TrovaSpazio(&voce, &pagina));
  EXPECT_EQ(voce, 33);
  EXPECT_EQ(pagina, 34);
  EXPECT_TRUE(m.Collegamento(32));
  EXPECT_EQ(m.PrimaPagina(32), 33);
  EXPECT_EQ(m.LunghezzaFile(32), 264u);
  EXPECT_EQ(m.NibbleAlto(32), 0);
  // The link is on the key already, the continuation page erased.
  EXPECT_EQ(chiave.Byte(0, 32 * 8, 8), (std::vector<std::uint8_t>{0x33, 0xCC, 33, 0, 0x0F, 0x08, 0x01, 0x00}));
  ASSERT_FALSE(chiave.Di('C').empty());
  EXPECT_EQ(chiave.Di('C').back().pagina, 33);
  ASSERT_TRUE(m.CreaVoce(voce, pagina, 1, 1, 10));
  // The new entry went to slot 0 of the continuation page.
  EXPECT_EQ(chiave.Byte(33, 0, 4), (std::vector<std::uint8_t>{0x33, 0xCC, 34, 0}));
  ASSERT_TRUE(m.ScriviDirectory());

  CMemox altra;
  altra.ImpostaDispositivo(&chiave);
  ASSERT_TRUE(altra.LeggiDirectory());
  int pagine = 0;
  EXPECT_EQ(altra.ContaFile(0, &pagine), 33);
  EXPECT_EQ(pagine, 2);
  EXPECT_EQ(altra.PrimaPagina(33), 34);
}

TEST(Memox, AKeyHoldsAtMost2EMinus1Files) {
  for (const std::uint16_t p : {264, 528}) {
    CMemoxFinta chiave(p, 4096, p == 264 ? 0x24 : 0x2C);
    CMemox m;
    m.ImpostaDispositivo(&chiave);
    const int e = p / 8;
    RiempiDirectory(m, 2 * e - 1, 10);
    ASSERT_TRUE(m.LeggiDirectory());
    int pagine = 0;
    EXPECT_EQ(m.ContaFile(0, &pagine), 2 * e - 1) << p;
    int voce = -1;
    std::uint16_t pagina = 0;
    EXPECT_FALSE(m.TrovaSpazio(&voce, &pagina)) << p;
  }
}

TEST(Memox, ContinuationEntriesAreFoundThroughTheLinkOfPage0) {
  CMemoxFinta chiave;
  CMemox m;
  m.ImpostaDispositivo(&chiave);
  RiempiDirectory(m, 34, 10);
  std::uint16_t pagina = 0;
  ASSERT_TRUE(m.PaginaDellaVoce(5, &pagina));
  EXPECT_EQ(pagina, 0);
  pagina = 0;
  ASSERT_TRUE(m.PaginaDellaVoce(34, &pagina));
  EXPECT_EQ(pagina, 33);
  // A key without a link has no page for a continuation entry.
  CMemoxFinta vuota;
  CMemox n;
  n.ImpostaDispositivo(&vuota);
  pagina = 0;
  EXPECT_FALSE(n.PaginaDellaVoce(40, &pagina));
}

TEST(Memox, LeggiFileGoesPageByPageFromThePosition) {
  CMemoxFinta chiave;
  CMemox m;
  m.ImpostaDispositivo(&chiave);
  ASSERT_TRUE(m.LeggiDirectory());
  ASSERT_TRUE(m.CreaVoce(0, 10, 0, 0, 600));
  for (int i = 0; i < 3 * 264; ++i) chiave.Pagina(10)[i] = static_cast<std::uint8_t>(i * 7);
  chiave.operazioni.clear();
  std::uint8_t b[600] = {};
  EXPECT_EQ(m.LeggiFile(0, 300, b, 1000), 300u);
  const auto letture = chiave.Di('I');
  ASSERT_EQ(letture.size(), 2u);
  EXPECT_EQ(letture[0].pagina, 11);
  EXPECT_EQ(letture[0].offset, 36);
  EXPECT_EQ(letture[0].lunghezza, 228);
  EXPECT_EQ(letture[1].pagina, 12);
  EXPECT_EQ(letture[1].offset, 0);
  EXPECT_EQ(letture[1].lunghezza, 72);
  EXPECT_EQ(b[0], static_cast<std::uint8_t>(300 * 7));
  EXPECT_EQ(m.LeggiFile(0, 600, b, 1), 0u);
  EXPECT_EQ(m.LeggiFile(1, 0, b, 1), 0u);
  // A failed page read ends the read; only the bytes before it count.
  chiave.letturaFallita[12] = -1;
  EXPECT_EQ(m.LeggiFile(0, 300, b, 300), 228u);
}

TEST(Memox, SvuotaChiaveErasesPage0) {
  CMemoxFinta chiave;
  CMemox m;
  m.ImpostaDispositivo(&chiave);
  RiempiDirectory(m, 3, 10);
  ASSERT_TRUE(m.SvuotaChiave());
  ASSERT_TRUE(m.LeggiDirectory());
  int pagine = 0;
  EXPECT_EQ(m.ContaFile(0, &pagine), 0);
  chiave.cancellazioneFallita[0] = -1;
  EXPECT_FALSE(m.SvuotaChiave());
}

TEST(Memox, AFailedDirectoryReadLeavesMemoryAsItWas) {
  CMemoxFinta chiave;
  CMemox m;
  m.ImpostaDispositivo(&chiave);
  RiempiDirectory(m, 2, 10);
  chiave.CancellaPagina(0);
  chiave.letturaFallita[0] = -1;
  EXPECT_FALSE(m.LeggiDirectory());
  EXPECT_TRUE(m.InUso(1));
}

TEST(Memox, LoadCodesAndClassNibbles) {
  EXPECT_EQ(CodiceLoad(0), 3);
  EXPECT_EQ(CodiceLoad(3), 0);
  for (int k : {1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}) EXPECT_EQ(CodiceLoad(k), k);
  EXPECT_EQ(CodiceLoad(14), 0);
  EXPECT_EQ(CodiceLoad(-1), 0);
  for (int c = 0; c <= 7; ++c) EXPECT_EQ(ClasseVoce(c), c);
  EXPECT_EQ(ClasseVoce(8), 14);
  EXPECT_EQ(ClasseVoce(9), 14);
}

TEST(Memox, FitTest) {
  struct {
    const char* nome;
    std::vector<std::uint32_t> lunghezze;
    std::uint32_t p, n;
    bool atteso;
  } const casi[] = {
      {"nothing", {}, 264, 4096, true},
      {"one page short of the whole key", {264 * 4095}, 264, 4096, true},
      {"one byte too many", {264 * 4095 + 1}, 264, 4096, false},
      {"32 files, no link", std::vector<std::uint32_t>(32, 264 * 127), 264, 4065, true},
      {"33 files need the continuation page", std::vector<std::uint32_t>(33, 264), 264, 34, false},
      {"33 files and the continuation page", std::vector<std::uint32_t>(33, 264), 264, 35, true},
      {"65 files", std::vector<std::uint32_t>(65, 10), 264, 4096, true},
      {"66 files", std::vector<std::uint32_t>(66, 10), 264, 4096, false},
      {"131 files on 528-byte pages", std::vector<std::uint32_t>(131, 10), 528, 4096, true},
      {"132 files on 528-byte pages", std::vector<std::uint32_t>(132, 10), 528, 4096, false},
  };
  for (const auto& c : casi) {
    EXPECT_EQ(CapienzaSufficiente(c.lunghezze, c.p, c.n, static_cast<int>(c.p / 8)), c.atteso) << c.nome;
  }
}

TEST(FileMemox, AKeyFileThroughTheFileAbstraction) {
  CMemoxFinta chiave;
  CMemox m;
  m.ImpostaDispositivo(&chiave);
  ASSERT_TRUE(m.LeggiDirectory());
  ASSERT_TRUE(m.CreaVoce(3, 5, 0, 0, 100));
  for (int i = 0; i < 100; ++i) chiave.Pagina(5)[i] = static_cast<std::uint8_t>(i);
  CFileMemox f(&m);
  EXPECT_TRUE(f.Esiste("3"));
  EXPECT_FALSE(f.Esiste("2"));
  EXPECT_FALSE(f.Esiste("x3"));
  EXPECT_FALSE(f.Esiste(""));
  EXPECT_FALSE(f.ApriLettura("4"));
  ASSERT_TRUE(f.ApriLettura("3"));
  EXPECT_EQ(f.Dimensione(), 100u);
  EXPECT_FALSE(f.Crea("3"));
  EXPECT_FALSE(f.ApriAggiunta("3"));
  EXPECT_FALSE(f.Scrivi("a", 1));
  ASSERT_TRUE(f.PosizionaDaFine(-4));
  EXPECT_EQ(f.Posizione(), 96u);
  EXPECT_FALSE(f.PosizionaDaFine(-101));
  EXPECT_FALSE(f.PosizionaDaFine(1));
  EXPECT_EQ(f.Posizione(), 96u);
  std::uint8_t b[8] = {};
  EXPECT_TRUE(f.Leggi(b, 4));
  EXPECT_EQ(b[0], 96);
  EXPECT_EQ(b[3], 99);
  f.Posiziona(98);
  EXPECT_FALSE(f.Leggi(b, 4));  // only 2 bytes left
  EXPECT_EQ(f.Posizione(), 100u);
  ASSERT_TRUE(f.Riavvolgi());
  ASSERT_TRUE(f.Sposta(10));
  EXPECT_TRUE(f.Leggi(b, 1));
  EXPECT_EQ(b[0], 10);
  EXPECT_TRUE(f.Chiudi());
}

}  // namespace
}  // namespace bricola
