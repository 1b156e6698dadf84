// The simulator's own frame rules and flash model.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/flash_sim.h"
#include "sim/protocollo_sim.h"

namespace bricola::sim {
namespace {

using Byte = std::vector<std::uint8_t>;

TEST(ProtocolloSim, RequestCheckMatchesTheWireExamples) {
  Byte abc = {0x61, 0x62, 0x63};
  AggiungiControlloRichiesta(abc);
  EXPECT_EQ(abc, (Byte{0x61, 0x62, 0x63, 0x51, 0x00, 0x10}));

  // Requests as the wire shows them: the hash over the whole frame is 0.
  for (const Byte& r : {Byte{0xF3, 0x60, 0x03, 0x18}, Byte{0xFE, 0xC0, 0x03, 0x1C}, Byte{0xFB, 0x60, 0x03, 0x1C},
                        Byte{0xF4, 0x80, 0x03, 0x18}, Byte{0xFA, 0x82, 0x04, 0xFF, 0x01, 0x00}}) {
    EXPECT_EQ(HashRuota5(r), 0) << Esadecimale(r.data(), r.size());
  }
  Byte f3 = {0xF3};
  AggiungiControlloRichiesta(f3);
  EXPECT_EQ(f3, (Byte{0xF3, 0x60, 0x03, 0x18}));
}

TEST(ProtocolloSim, ReplyCheckIsLowByteFirst) {
  EXPECT_TRUE(RispostaValida({0xF3, 0x34, 0x12, 0x91, 0xCA}, 0xF3));
  EXPECT_FALSE(RispostaValida({0xF3, 0x34, 0x12, 0xCA, 0x91}, 0xF3));
  EXPECT_FALSE(RispostaValida({0xF3, 0x34, 0x12, 0x91, 0xCA}, 0xFB));
  Byte lunBuf = {0xFE, 0x80};
  AggiungiControlloRisposta(lunBuf);
  EXPECT_EQ(lunBuf, (Byte{0xFE, 0x80, 0x40, 0x1F}));
  // The Blank check covers the frame from its second byte.
  Byte blank = {0xEC, 0xFF};
  AggiungiControlloRisposta(blank);
  EXPECT_EQ(blank, (Byte{0xEC, 0xFF, 0x7F, 0x1D}));
}

struct CasoLunghezza {
  Byte inizio;
  int lunghezza3;  // with 3-byte addresses
  int lunghezza4;  // with 4-byte addresses
};

TEST(ProtocolloSim, RequestLengthsByCommandAndAddressWidth) {
  const std::vector<CasoLunghezza> casi = {
      {{0xF3}, 4, 4},        {{0xFB}, 4, 4},        {{0xF7, 0x03}, 5, 5},  {{0xF7, 0x04}, 5, 5},
      {{0xF7, 0x05}, 6, 6},  {{0xFA}, 6, 6},        {{0xFC}, 4, 4},        {{0xF7, 0x00}, 5, 5},
      {{0xFE}, 4, 4},        {{0xF8}, 10, 11},      {{0xF7, 0x06}, 8, 9},  {{0xEC}, 10, 12},
      {{0xEE}, 7, 8},        {{0xF2}, 9, 10},       {{0xF7, 0x02}, 11, 11}, {{0xF4}, 4, 4},
  };
  for (const auto& c : casi) {
    const std::string nome = Esadecimale(c.inizio.data(), c.inizio.size());
    EXPECT_EQ(LunghezzaRichiesta(c.inizio.data(), c.inizio.size(), 3), c.lunghezza3) << nome;
    EXPECT_EQ(LunghezzaRichiesta(c.inizio.data(), c.inizio.size(), 4), c.lunghezza4) << nome;
  }
  // Write: 4 data bytes give 13 bytes with 3-byte addresses, 14 with 4.
  const Byte w3 = {0xED, 0x00, 0xFF, 0x00, 0x04, 0x00};
  EXPECT_EQ(LunghezzaRichiesta(w3.data(), w3.size(), 3), 13);
  const Byte w4 = {0xED, 0x00, 0xFF, 0x00, 0x00, 0x04, 0x00};
  EXPECT_EQ(LunghezzaRichiesta(w4.data(), w4.size(), 4), 14);
  EXPECT_EQ(LunghezzaRichiesta(w3.data(), 3, 3), 0) << "length field not yet seen";
  const Byte f7 = {0xF7};
  EXPECT_EQ(LunghezzaRichiesta(f7.data(), 1, 3), 0);
  const Byte ignoto = {0x42};
  EXPECT_LT(LunghezzaRichiesta(ignoto.data(), 1, 3), 0);
  const Byte f7Ignoto = {0xF7, 0x42};
  EXPECT_LT(LunghezzaRichiesta(f7Ignoto.data(), 2, 3), 0);
}

// Every named sector list adds up as the flash maps say.
TEST(FlashSim, NamedSectorListsFillTheirChips) {
  struct Caso {
    const char* nome;
    std::uint32_t dimensione;
    std::size_t settori;
  };
  const std::vector<Caso> casi = {
      {"F256", 0x40000, 7},    {"F512", 0x80000, 14},   {"F64", 0x10000, 4},   {"F64x8", 0x80000, 8},
      {"F128x4", 0x80000, 4},  {"E64x16", 0x100000, 16}, {"ETop", 0x200000, 35}, {"EBottom", 0x200000, 35},
      {"EBottom", 0x40000, 7}, {"P64", 0x8000, 512},     {"P16", 0x10, 1},
  };
  for (const auto& c : casi) {
    std::vector<SerieSettori> serie;
    ASSERT_TRUE(SerieDaNome(c.nome, serie)) << c.nome;
    CFlashSim f;
    ASSERT_TRUE(f.AggiungiRegione(0x400000, c.dimensione, serie)) << c.nome;
    EXPECT_EQ(f.NumeroSettori(), c.settori) << c.nome;
    // No hole: the first and the last byte both have a sector.
    EXPECT_NE(f.TrovaSettore(0x400000), nullptr) << c.nome;
    EXPECT_NE(f.TrovaSettore(0x400000 + c.dimensione - 1), nullptr) << c.nome;
    EXPECT_EQ(f.TrovaSettore(0x400000 + c.dimensione), nullptr) << c.nome;
  }
  std::vector<SerieSettori> serie;
  EXPECT_FALSE(SerieDaNome("F999", serie));
}

TEST(FlashSim, PresetsLayOutTheBoardsFlash) {
  CFlashSim m256;
  ASSERT_TRUE(m256.CaricaPreset("M256"));
  const Settore* s = m256.TrovaSettore(0xFC8000);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->inizio, 0xFC0000u);
  EXPECT_EQ(s->Fine(), 0xFD0000u);
  s = m256.TrovaSettore(0xFFFFFF);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->inizio, 0xFFC000u);
  EXPECT_TRUE(s->protetto) << "the boot's sector";
  EXPECT_EQ(m256.TrovaSettore(0x400000), nullptr) << "no external chip unless the machine file adds one";

  for (const char* nome : {"M64", "M512", "M512x", "M512r", "MPIC"}) {
    CFlashSim f;
    EXPECT_TRUE(f.CaricaPreset(nome)) << nome;
  }
  CFlashSim f;
  EXPECT_FALSE(f.CaricaPreset("MAuto"));
}

class FlashNor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(flash.CaricaPreset("M256"));
    flash.ImpostaAllineamento(2);
  }
  CFlashSim flash;
};

TEST_F(FlashNor, WritesOnlyClearBits) {
  const Byte f0 = {0xF0, 0xF0};
  const Byte zeroF = {0x0F, 0x0F};
  EXPECT_TRUE(flash.Vuoto(0xFC0000, 0xFD0000));
  EXPECT_EQ(flash.Scrivi(0xFC0000, f0.data(), 2), EsitoFlash::Ok);
  EXPECT_EQ(flash.Leggi(0xFC0000), 0xF0);
  // Programming 0F over F0 cannot raise the high bits: the cell ends at 00.
  EXPECT_EQ(flash.Scrivi(0xFC0000, zeroF.data(), 2), EsitoFlash::BitNonAzzerabili);
  EXPECT_EQ(flash.Leggi(0xFC0000), 0x00);
  // Clearing more bits of a programmed cell is allowed.
  const Byte zero = {0x00, 0x00};
  EXPECT_EQ(flash.Scrivi(0xFC0000, zero.data(), 2), EsitoFlash::Ok);
  EXPECT_FALSE(flash.Vuoto(0xFC0000, 0xFC0002));
}

TEST_F(FlashNor, EraseWorksOnTheWholeSectorOnly) {
  const Byte d = {0x12, 0x34};
  ASSERT_EQ(flash.Scrivi(0xFCFFFE, d.data(), 2), EsitoFlash::Ok);
  ASSERT_EQ(flash.Scrivi(0xFD0000, d.data(), 2), EsitoFlash::Ok);
  EXPECT_EQ(flash.Cancella(0xFC1234), EsitoFlash::Ok);
  EXPECT_EQ(flash.Leggi(0xFCFFFE), 0xFF);
  EXPECT_EQ(flash.Leggi(0xFD0000), 0x12) << "the next sector keeps its data";
  EXPECT_EQ(flash.SettoriCancellati(), (std::vector<std::uint32_t>{0xFC0000}));
}

TEST_F(FlashNor, BootAreaProtectionAndMapLimits) {
  const Byte d = {0x00, 0x00};
  EXPECT_EQ(flash.Cancella(0xFFC000), EsitoFlash::Protetto);
  EXPECT_EQ(flash.Scrivi(0xFFBFFE, d.data(), 2), EsitoFlash::Ok);
  const Byte quattro = {0, 0, 0, 0};
  EXPECT_EQ(flash.Scrivi(0xFFBFFE, quattro.data(), 4), EsitoFlash::AreaBoot) << "reaches into the boot";
  EXPECT_EQ(flash.Leggi(0xFFC000), 0xFF) << "a refused packet writes nothing";
  EXPECT_EQ(flash.Scrivi(0x100000, d.data(), 2), EsitoFlash::FuoriMappa);
  EXPECT_EQ(flash.Cancella(0x100000), EsitoFlash::FuoriMappa);
  EXPECT_EQ(flash.Scrivi(0xFC0000, d.data(), 1), EsitoFlash::Disallineato);
  EXPECT_FALSE(flash.Vuoto(0xFBFFFE, 0xFC0002)) << "bytes outside the map are not blank";

  ASSERT_TRUE(flash.Proteggi(0xFE0000));
  EXPECT_EQ(flash.Cancella(0xFE8000), EsitoFlash::Protetto);
  flash.ImpostaAreaVettori(0xFFB000, 0xFFC000);
  EXPECT_EQ(flash.Scrivi(0xFFB000, d.data(), 2), EsitoFlash::AreaVettori);
  EXPECT_EQ(flash.Leggi(0xFFB000), 0x00) << "vector area writes do happen";
}

TEST_F(FlashNor, DumpRangesFollowWhatThePcWrote) {
  const Byte d = {0x11, 0x22, 0x33, 0x44};
  const Byte iniziale = {0x55, 0x66};
  ASSERT_TRUE(flash.Carica(0xFD0000, iniziale.data(), 2));
  // Across a sector boundary, over the initial contents of the second sector.
  ASSERT_EQ(flash.Scrivi(0xFCFFFE, d.data(), 4), EsitoFlash::BitNonAzzerabili);
  const auto scritti = flash.IntervalliScritti();
  ASSERT_EQ(scritti.size(), 1u);
  EXPECT_EQ(scritti[0].first, 0xFCFFFEu);
  EXPECT_EQ(scritti[0].second, (Byte{0x11, 0x22, 0x33 & 0x55, 0x44 & 0x66}));
  const auto pieni = flash.IntervalliNonVuoti();
  ASSERT_EQ(pieni.size(), 1u);
  EXPECT_EQ(pieni[0].second.size(), 4u);
}

TEST(FlashSim, ExternalChipIdentification) {
  CFlashSim f;
  std::vector<SerieSettori> etop;
  ASSERT_TRUE(SerieDaNome("ETop", etop));
  ChipEsterno cfi;
  cfi.base = 0x600000;
  cfi.dimensione = 0x200000;
  cfi.infoPri = 0x03;
  ASSERT_TRUE(f.AggiungiChip(cfi, etop));
  // First query: offset 32, 45 bytes. Reply byte k+1 is data[k].
  const auto q = f.DatiIdentificazione(0x600000, 32, 45);
  ASSERT_EQ(q.size(), 45u);
  EXPECT_EQ(q[0], 'Q');
  EXPECT_EQ(q[1], 'R');
  EXPECT_EQ(q[2], 'Y');
  EXPECT_EQ(q[3] | (q[4] << 8), 0x0002) << "command set";
  EXPECT_EQ(q[5] | (q[6] << 8), 0x0040) << "extended table";
  EXPECT_EQ(1u << q[23], 0x200000u) << "size exponent at reply byte 24";
  const auto p = f.DatiIdentificazione(0x600000, 128, 32);
  EXPECT_EQ(p[0], 'P');
  EXPECT_EQ(p[1], 'R');
  EXPECT_EQ(p[2], 'I');
  EXPECT_EQ(p[15], 0x03) << "reply byte 16";

  std::vector<SerieSettori> ebottom;
  ASSERT_TRUE(SerieDaNome("EBottom", ebottom));
  ChipEsterno atm;
  atm.base = 0x800000;
  atm.dimensione = 0x40000;
  atm.tipo = TipoChip::Atm;
  ASSERT_TRUE(f.AggiungiChip(atm, ebottom));
  const auto a = f.DatiIdentificazione(0x800000, 32, 45);
  EXPECT_EQ((Byte{a[0], a[1], a[2], a[3], a[4]}), (Byte{'A', 'T', 'M', 0x1F, 0x63}));
  const auto nulla = f.DatiIdentificazione(0xA00000, 32, 45);
  EXPECT_EQ(nulla, Byte(45, 0xFF));
  // Chips may not overlap.
  EXPECT_FALSE(f.AggiungiChip(cfi, etop));
}

}  // namespace
}  // namespace bricola::sim
