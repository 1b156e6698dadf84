#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "image/file.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using prova::CCartellaTemporanea;

class FileWin : public ::testing::Test {
 protected:
  std::string Scrivi(const std::string& nome, const std::vector<std::uint8_t>& contenuto) {
    const std::string p = cartella.File(nome);
    EXPECT_TRUE(prova::ScriviFile(p, contenuto));
    return p;
  }
  CCartellaTemporanea cartella;
  CFileWin file;
};

TEST_F(FileWin, ShortReadIsAFailureAndStillMovesThePosition) {
  const std::string p = Scrivi("cinque", {1, 2, 3, 4, 5});
  ASSERT_EQ(file.ApriLettura(p), 1);
  EXPECT_EQ(file.Dimensione(), 5u);
  std::uint8_t b[8] = {};
  EXPECT_EQ(file.Leggi(b, 8), 0);
  EXPECT_EQ(file.Posizione(), 5u);
  EXPECT_EQ(b[4], 5);
  EXPECT_EQ(file.Riavvolgi(), 1);
  EXPECT_EQ(file.Leggi(b, 5), 1);
  EXPECT_EQ(file.Chiudi(), 1);
  EXPECT_EQ(file.Chiudi(), 0);  // nothing left to close
}

TEST_F(FileWin, PosizionaDaFineRefusesANegativePosition) {
  const std::string p = Scrivi("tre", {7, 8, 9});
  ASSERT_EQ(file.ApriLettura(p), 1);
  ASSERT_EQ(file.Posiziona(1), 1);
  EXPECT_EQ(file.PosizionaDaFine(-4), 0);
  EXPECT_EQ(file.Posizione(), 1u);
  EXPECT_EQ(file.PosizionaDaFine(-3), 1);
  EXPECT_EQ(file.Posizione(), 0u);
  EXPECT_EQ(file.PosizionaDaFine(-1), 1);
  std::uint8_t b = 0;
  EXPECT_EQ(file.Leggi(&b, 1), 1);
  EXPECT_EQ(b, 9);
}

TEST_F(FileWin, SeekPastTheEndIsAllowedAndTheReadThenFails) {
  const std::string p = Scrivi("due", {1, 2});
  ASSERT_EQ(file.ApriLettura(p), 1);
  EXPECT_EQ(file.Posiziona(100), 1);
  std::uint8_t b = 0;
  EXPECT_EQ(file.Leggi(&b, 1), 0);
  EXPECT_EQ(file.Posiziona(0), 1);
  EXPECT_EQ(file.Sposta(1), 1);
  EXPECT_EQ(file.Leggi(&b, 1), 1);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(file.Sposta(-2), 1);
  EXPECT_EQ(file.Posizione(), 0u);
}

TEST_F(FileWin, ApriAggiuntaCreatesAMissingFileEmptyAndAppendsToAnExistingOne) {
  const std::string nuovo = cartella.File("nuovo");
  ASSERT_EQ(file.ApriAggiunta(nuovo), 1);
  EXPECT_EQ(file.Dimensione(), 0u);
  EXPECT_EQ(file.Posizione(), 0u);
  EXPECT_EQ(file.Chiudi(), 1);
  EXPECT_TRUE(std::filesystem::exists(nuovo));

  const std::string p = Scrivi("esistente", {1, 2, 3});
  ASSERT_EQ(file.ApriAggiunta(p), 1);
  EXPECT_EQ(file.Posizione(), 3u);
  const std::uint8_t altri[2] = {4, 5};
  EXPECT_EQ(file.Scrivi(altri, 2), 1);
  // Read back through the same object after a write.
  EXPECT_EQ(file.Posiziona(2), 1);
  std::uint8_t b[3] = {};
  EXPECT_EQ(file.Leggi(b, 3), 1);
  EXPECT_EQ(b[0], 3);
  EXPECT_EQ(b[2], 5);
  EXPECT_EQ(file.Chiudi(), 1);
  EXPECT_EQ(prova::LeggiFile(p), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(FileWin, CreaTruncatesAndTheObjectCanBeReopened) {
  const std::string p = Scrivi("vecchio", {1, 2, 3, 4});
  for (int giro = 0; giro < 3; ++giro) {
    ASSERT_EQ(file.Crea(p), 1);
    EXPECT_EQ(file.Dimensione(), 0u);
    const std::uint8_t b[2] = {9, static_cast<std::uint8_t>(giro)};
    EXPECT_EQ(file.Scrivi(b, 2), 1);
    EXPECT_EQ(file.Chiudi(), 1);
    EXPECT_EQ(prova::LeggiFile(p), (std::vector<std::uint8_t>{9, static_cast<std::uint8_t>(giro)}));
  }
}

TEST_F(FileWin, EsisteAndFailures) {
  const std::string p = Scrivi("c'è", {1});
  EXPECT_EQ(file.Esiste(p), 1);
  EXPECT_FALSE(file.Aperto());
  EXPECT_EQ(file.Esiste(cartella.File("manca")), 0);
  EXPECT_EQ(file.Esiste(cartella.Percorso()), 0);  // a directory is not a file
  EXPECT_EQ(file.ApriLettura(cartella.File("manca")), 0);
  EXPECT_EQ(file.ApriLettura(cartella.Percorso()), 0);
  std::uint8_t b = 0;
  EXPECT_EQ(file.Leggi(&b, 1), 0);  // closed
  EXPECT_EQ(file.Dimensione(), 0u);
}

TEST_F(FileWin, LeggiParzialeReportsTheCountAndZeroAtTheEnd) {
  const std::string p = Scrivi("sette", {1, 2, 3, 4, 5, 6, 7});
  ASSERT_EQ(file.ApriLettura(p), 1);
  std::uint8_t b[5] = {};
  std::uint32_t letti = 99;
  EXPECT_EQ(file.LeggiParziale(b, 5, letti), 1);
  EXPECT_EQ(letti, 5u);
  EXPECT_EQ(file.LeggiParziale(b, 5, letti), 1);
  EXPECT_EQ(letti, 2u);
  EXPECT_EQ(b[1], 7);
  EXPECT_EQ(file.LeggiParziale(b, 5, letti), 1);
  EXPECT_EQ(letti, 0u);
}

TEST(FileMemoria, BehavesLikeADiskFile) {
  CFileMemoria f({1, 2, 3}, "nome");
  EXPECT_EQ(f.ApriLettura("altro"), 0);
  ASSERT_EQ(f.ApriLettura("nome"), 1);
  std::uint8_t b[4] = {};
  EXPECT_EQ(f.Leggi(b, 4), 0);
  EXPECT_EQ(f.Posizione(), 3u);
  EXPECT_EQ(f.PosizionaDaFine(-4), 0);
  EXPECT_EQ(f.Posizione(), 3u);
  EXPECT_EQ(f.PosizionaDaFine(-2), 1);
  EXPECT_EQ(f.Leggi(b, 2), 1);
  EXPECT_EQ(b[0], 2);
  EXPECT_EQ(f.Posiziona(10), 1);
  EXPECT_EQ(f.Leggi(b, 1), 0);
  EXPECT_EQ(f.Chiudi(), 1);
  EXPECT_EQ(f.Leggi(b, 1), 0);

  ASSERT_EQ(f.ApriAggiunta("nome"), 1);
  const std::uint8_t altri[2] = {4, 5};
  EXPECT_EQ(f.Scrivi(altri, 2), 1);
  EXPECT_EQ(f.Contenuto(), (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
  ASSERT_EQ(f.Crea("nome"), 1);
  EXPECT_EQ(f.Dimensione(), 0u);
}

TEST(OrdineByte, LittleEndianHelpersAndBigEndianFields) {
  std::uint8_t b[4] = {};
  ScriviU32(b, 0x11223344);
  EXPECT_EQ(b[0], 0x44);
  EXPECT_EQ(b[3], 0x11);
  EXPECT_EQ(LeggiU32(b), 0x11223344u);
  ScriviU16(b, 0xABCD);
  EXPECT_EQ(b[0], 0xCD);
  EXPECT_EQ(LeggiU16(b), 0xABCD);
  std::uint8_t t[4] = {0, 0, 0, 0xEE};
  Scrivi24(t, 0x123456);
  EXPECT_EQ(t[0], 0x56);
  EXPECT_EQ(t[2], 0x12);
  EXPECT_EQ(t[3], 0xEE);  // only three bytes written
  ScriviU16BE(b, 0x0010);
  EXPECT_EQ(b[0], 0x00);
  EXPECT_EQ(b[1], 0x10);
  EXPECT_EQ(LeggiU16BE(b), 0x0010);
  const std::uint8_t alto[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(LeggiU32(alto), 0xFFFFFFFFu);  // no sign extension
}

TEST(Percorsi, NormalizzaSeparatori) {
  struct {
    const char* ingresso;
    const char* atteso;
  } casi[] = {
      {"x\\/y/z", "x/y/z"},
      {"a\\b\\c", "a/b/c"},
      {"a/b", "a/b"},
      {"\\\\/", "//"},  // one pass: only the backslash next to the slash goes
      {"", ""},
  };
  for (const auto& c : casi) {
    std::string p = c.ingresso;
    NormalizzaSeparatori(p);
    EXPECT_EQ(p, c.atteso) << c.ingresso;
  }
}

TEST(Percorsi, CreaPercorsoCreatesEveryPrefixButTheLastUnlessAsked) {
  CCartellaTemporanea cartella;
  const std::string base = cartella.Percorso();
  const std::string percorso = base + "/out\\sub\\leaf";
  EXPECT_EQ(CreaPercorso(percorso, false), 1);
  EXPECT_EQ(EsisteCartella(base + "/out"), 1);
  EXPECT_EQ(EsisteCartella(base + "/out/sub"), 1);
  EXPECT_EQ(EsisteCartella(base + "/out/sub/leaf"), 0);
  EXPECT_EQ(percorso, base + "/out\\sub\\leaf");  // the argument is untouched
  EXPECT_EQ(CreaPercorso(percorso, true), 1);
  EXPECT_EQ(EsisteCartella(base + "/out/sub/leaf"), 1);
  // No directory with a backslash in its name was made.
  for (const auto& voce : std::filesystem::recursive_directory_iterator(base)) {
    EXPECT_EQ(voce.path().filename().string().find('\\'), std::string::npos);
  }
}

TEST(Percorsi, CreaPercorsoFailsWhenAFileStandsInTheWay) {
  CCartellaTemporanea cartella;
  ASSERT_TRUE(prova::ScriviFile(cartella.File("file"), {1}));
  EXPECT_EQ(CreaPercorso(cartella.File("file/sotto/x"), true), 0);
  EXPECT_EQ(EsisteCartella(cartella.File("file")), 0);
  EXPECT_EQ(CreaCartella(cartella.File("a/b")), 0);  // parent missing
  EXPECT_EQ(CreaCartella(cartella.File("a")), 1);
  EXPECT_EQ(CreaCartella(cartella.File("a")), 0);  // already there
}

TEST(Percorsi, CreaCartellaCompleta) {
  CCartellaTemporanea cartella;
  EXPECT_EQ(CreaCartellaCompleta(cartella.Percorso() + "/uno\\/due\\tre"), 1);
  EXPECT_EQ(EsisteCartella(cartella.File("uno/due/tre")), 1);
}

}  // namespace
}  // namespace bricola
