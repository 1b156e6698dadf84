#include <gtest/gtest.h>

#include <set>
#include <string>

#include "image/modelli.h"

namespace bricola {
namespace {

TEST(Modelli, LookupsOfTheTable) {
  EXPECT_EQ(TrovaModello(0x0017), 105);
  EXPECT_EQ(TrovaModello(0x0037), 128);
  EXPECT_EQ(IndiceNome(0x0037), 105);
  EXPECT_EQ(IndiceNome(0x0017), 105);
  EXPECT_EQ(TrovaModello(0xFF30), 126);
  EXPECT_EQ(IndiceNome(0xFF30), 128);
  EXPECT_EQ(TrovaModello(0x0030), 114);
  EXPECT_EQ(TrovaModello(0x0003), kNumModelli);
  EXPECT_FALSE(IndiceNome(0x0003).has_value());
  EXPECT_FALSE(NomeDaCodice(0, 0x0003).has_value());
  EXPECT_FALSE(NomeDaCodice(1, 0x0003).has_value());
  EXPECT_EQ(TrovaModello(0x0000), 0);
  EXPECT_EQ(TrovaModello(0x1000), 43);
  EXPECT_EQ(TrovaModello(0xFF31), 129);
}

TEST(Modelli, RowsAsGiven) {
  struct {
    int riga;
    SModello atteso;
  } casi[] = {
      {0, {0x0000, 0, 1, 0, 0, 0x000, 0x000, 38400, 38400, 0, 0}},
      {3, {0x0010, 0, 0, 1, 3, 0x482, 0x485, 38400, 19200, 3, 1}},
      {33, {0x0082, 0, 0, 1, 33, 0x48B, 0x485, 38400, 38400, 7, 4}},
      {83, {0x0098, 0, 0, 0, 83, 0x495, 0x498, 38400, 38400, 9, 6}},
      {97, {0x00A4, 0, 0, 0, 97, 0x410, 0x40F, 38400, 38400, 11, 8}},
      {103, {0x00B6, 0, 0, 0, 103, 0x418, 0x417, 38400, 38400, 13, 9}},
      {104, {0x0013, 0, 0, 1, 104, 0x300, 0x000, 38400, 38400, 4, 2}},
      {113, {0x1025, 0, 0, 0, 113, 0x704, 0x000, 38400, 19200, 5, 3}},
      {126, {0xFF30, 1, 0, 0, 128, 0x000, 0x000, 4800, 9600, 2, 1}},
      {127, {0x0033, 1, 0, 0, 126, 0x000, 0x000, 4800, 9600, 1, 2}},
      {129, {0xFF31, 1, 0, 0, 129, 0x000, 0x000, 4800, 9600, 1, 2}},
  };
  for (const auto& c : casi) {
    const SModello& m = Modello(c.riga);
    SCOPED_TRACE(c.riga);
    EXPECT_EQ(m.codice, c.atteso.codice);
    EXPECT_EQ(m.boot, c.atteso.boot);
    EXPECT_EQ(m.grezzo, c.atteso.grezzo);
    EXPECT_EQ(m.remoto, c.atteso.remoto);
    EXPECT_EQ(m.nome, c.atteso.nome);
    EXPECT_EQ(m.indirizzo, c.atteso.indirizzo);
    EXPECT_EQ(m.indirizzoSecondario, c.atteso.indirizzoSecondario);
    EXPECT_EQ(m.velocitaAvvio, c.atteso.velocitaAvvio);
    EXPECT_EQ(m.velocitaAlternativa, c.atteso.velocitaAlternativa);
    EXPECT_EQ(m.tipoLoad, c.atteso.tipoLoad);
    EXPECT_EQ(m.tipoMicro, c.atteso.tipoMicro);
    // The column queries read the same row.
    EXPECT_EQ(ModelloBoot(c.riga), c.atteso.boot);
    EXPECT_EQ(ModelloGrezzo(c.riga), c.atteso.grezzo);
    EXPECT_EQ(ModelloRemoto(c.riga), c.atteso.remoto);
    EXPECT_EQ(ModelloIndirizzo(c.riga), c.atteso.indirizzo);
    EXPECT_EQ(ModelloIndirizzoSecondario(c.riga), c.atteso.indirizzoSecondario);
    EXPECT_EQ(ModelloVelocitaAvvio(c.riga), c.atteso.velocitaAvvio);
    EXPECT_EQ(ModelloVelocitaAlternativa(c.riga), c.atteso.velocitaAlternativa);
    EXPECT_EQ(ModelloTipoLoad(c.riga), c.atteso.tipoLoad);
    EXPECT_EQ(ModelloTipoMicro(c.riga), c.atteso.tipoMicro);
  }
  // Unknown rows answer 0.
  EXPECT_EQ(ModelloTipoLoad(kNumModelli), 0);
  EXPECT_EQ(ModelloIndirizzo(-1), 0u);
}

// Row groups: codes unique, columns consistent within each group.
TEST(Modelli, SelfCheck) {
  std::set<std::uint16_t> codici;
  for (int r = 0; r < kNumModelli; ++r) {
    const SModello& m = Modello(r);
    SCOPED_TRACE(r);
    EXPECT_TRUE(codici.insert(m.codice).second) << "duplicate code";
    EXPECT_EQ(TrovaModello(m.codice), r);
    EXPECT_GE(m.nome, 0);
    EXPECT_LT(m.nome, kNumNomiModello);
    EXPECT_GE(m.tipoLoad, 0);
    EXPECT_LE(m.tipoLoad, 13);
    EXPECT_LE(m.tipoMicro, 9);
    EXPECT_EQ(m.boot != 0, r >= 114);
    EXPECT_EQ(m.grezzo != 0, r <= 2);
    if (m.boot) {
      EXPECT_EQ(m.indirizzo, 0u);
      EXPECT_TRUE(m.tipoLoad == 1 || m.tipoLoad == 2);
    }
    if (r != 128 && r != 126 && r != 127) {
      EXPECT_EQ(m.nome, r);
    }
  }
}

TEST(Modelli, NamesInBothLanguages) {
  std::set<std::string> italiani, inglesi;
  for (int i = 0; i < kNumNomiModello; ++i) {
    const std::string it(NomeModello(0, i));
    const std::string en(NomeModello(1, i));
    SCOPED_TRACE(i);
    EXPECT_FALSE(it.empty());
    EXPECT_FALSE(en.empty());
    EXPECT_TRUE(italiani.insert(it).second);
    EXPECT_TRUE(inglesi.insert(en).second);
    // The names of the boot rows (114 to 129) begin with the word Boot.
    EXPECT_EQ(it.rfind("Boot ", 0) == 0, i >= 114);
    EXPECT_EQ(en.rfind("Boot ", 0) == 0, i >= 114);
  }
  EXPECT_EQ(NomeModello(5, 3), NomeModello(1, 3));  // any nonzero lingua is English
  EXPECT_TRUE(NomeModello(0, kNumNomiModello).empty());
  EXPECT_TRUE(NomeModello(0, -1).empty());
  EXPECT_EQ(NomeDaCodice(0, 0xFF30).value(), NomeModello(0, 128));
  EXPECT_EQ(NomeDaCodice(1, 0x0037).value(), NomeModello(1, 105));
}

}  // namespace
}  // namespace bricola
