// Image files written by the tool: what the analysis makes of them, and the
// replacement of a file on disk that never leaves half a file behind.
#include "image/scrittura.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "image/analisi.h"
#include "tests/support/cartella.h"

namespace bricola {
namespace {

using Byte = std::vector<std::uint8_t>;

Byte Leggi(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  return Byte(std::istreambuf_iterator<char>(f), {});
}

std::vector<std::string> Nomi(const std::string& cartella) {
  std::vector<std::string> n;
  for (const auto& e : std::filesystem::directory_iterator(cartella)) n.push_back(e.path().filename().string());
  std::sort(n.begin(), n.end());
  return n;
}

TEST(ComponiImmagine, UnRecordEFineComeLaFormaDelFile) {
  SModuloImmagine m;
  m.codice = 0x0010;
  m.record.push_back({0xFC0000, {0x01, 0x02, 0x03, 0x04}});
  EXPECT_EQ(ComponiImmagine(m), (Byte{0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFC, 0x00, 0x01, 0x02, 0x03, 0x04,
                                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x6B, 0xCD, 0x00, 0x10}));
}

TEST(ComponiImmagine, IndirizzoIntestazioneERecordLettiDallAnalisi) {
  prova::CCartellaTemporanea cartella;
  SModuloImmagine m;
  m.codice = 0x1234;  // not in the model table: the header makes it loadable
  m.indirizzoCan = 0x0482;
  m.conIntestazione = true;
  m.tipoMicro = 4;
  m.nome = "Copia flash 1234 CAN 0482";
  m.record.push_back({0xF80000, Byte(0x300, 0x5A)});
  m.record.push_back({0x400000, {0x00}});
  const std::string p = cartella.File("copia.bin");
  ASSERT_TRUE(SostituisciFile(p, ComponiImmagine(m)));

  CAnalisiFile analisi;
  std::vector<CProgDescr> d(kMaxModuli);
  int n = 0, validi = 0, inutilizzabile = 0, grezzo = 0, errore = 0;
  ASSERT_EQ(analisi.AnalizzaFile(p, d.data(), kMaxModuli, n, validi, inutilizzabile, grezzo, errore), 1);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(validi, 1);
  EXPECT_EQ(d[0].stato, STATO_VALIDO);
  EXPECT_EQ(d[0].codice, 0x1234);
  EXPECT_EQ(d[0].indirizzo, 0x0482u);
  EXPECT_EQ(d[0].indirizzoSecondario, 0u);
  EXPECT_TRUE(d[0].conIntestazione);
  EXPECT_EQ(d[0].tipoMicro, 4);
  EXPECT_EQ(d[0].TipoLoad(), 7);  // M512, the map of an MB90F549 board
  EXPECT_EQ(d[0].TipoModulo(), 0);
  EXPECT_TRUE(d[0].CaricabileRemoto());
  EXPECT_FALSE(d[0].NonSelezionato());
  EXPECT_EQ(d[0].nome, m.nome);
  EXPECT_EQ(d[0].lunghezzaDati, 0x301u);
  EXPECT_EQ(d[0].inizio, 0u);
  EXPECT_EQ(d[0].fine, static_cast<std::uint32_t>(Leggi(p).size() - 4));
}

TEST(SostituisciFile, SostituisceSenzaLasciareFileTemporanei) {
  prova::CCartellaTemporanea cartella;
  const std::string p = cartella.File("copia.bin");
  ASSERT_TRUE(SostituisciFile(p, Byte(10, 1)));
  ASSERT_TRUE(SostituisciFile(p, Byte{7, 8, 9}));
  EXPECT_EQ(Leggi(p), (Byte{7, 8, 9}));
  EXPECT_EQ(Nomi(cartella.Percorso()), (std::vector<std::string>{"copia.bin"}));
}

TEST(SostituisciFile, UnaCartellaOUnPercorsoImpossibileNonToccanoNulla) {
  prova::CCartellaTemporanea cartella;
  const std::string vecchio = cartella.File("vecchio.bin");
  ASSERT_TRUE(SostituisciFile(vecchio, Byte{1, 2, 3}));
  std::filesystem::create_directory(cartella.File("cartella"));
  EXPECT_FALSE(SostituisciFile(cartella.File("cartella"), Byte{4}));
  EXPECT_FALSE(SostituisciFile(cartella.File("manca/copia.bin"), Byte{4}));
  EXPECT_FALSE(SostituisciFile(vecchio + "/sotto.bin", Byte{4}));  // below a file
  EXPECT_FALSE(SostituisciFile("", Byte{4}));
  EXPECT_EQ(Leggi(vecchio), (Byte{1, 2, 3}));
  EXPECT_EQ(Nomi(cartella.Percorso()), (std::vector<std::string>{"cartella", "vecchio.bin"}));
  EXPECT_TRUE(std::filesystem::is_empty(cartella.File("cartella")));
}

}  // namespace
}  // namespace bricola
