// The simulated key, parallel-port driver and PIC board driven directly, by
// the request layouts the tool must use.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/chiave_sim.h"
#include "sim/driver_sim.h"
#include "sim/pic_sim.h"

namespace bricola::sim {
namespace {

using Byte = std::vector<std::uint8_t>;

std::string FileChiave(const std::string& nome) {
  const char* t = std::getenv("TMPDIR");
  const std::string p = std::string(t && *t ? t : "/tmp") + "/bricola_simdev_" + std::to_string(::getpid()) + "_" + nome;
  ::unlink(p.c_str());
  return p;
}

Byte Be(std::initializer_list<std::uint32_t> parole) {
  Byte b;
  for (auto w : parole)
    for (int k = 3; k >= 0; --k) b.push_back(static_cast<std::uint8_t>(w >> (8 * k)));
  return b;
}
std::uint32_t LeggiBe(const std::uint8_t* p) { return (p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }
std::uint32_t LeggiLe(const Byte& b, std::size_t i) { return b[i] | (b[i + 1] << 8) | (b[i + 2] << 16) | (std::uint32_t{b[i + 3]} << 24); }

class ChiaveUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    ConfigChiave c;
    c.file = FileChiave("usb.bin");
    std::string e;
    ASSERT_TRUE(chiave.Apri(c, e)) << e;
    usb.Apertura();
  }
  // One exchange: the request in 32-byte reports, then `risposta` bytes.
  Byte Scambio(Byte r, std::size_t risposta) {
    r.resize((r.size() + 31) / 32 * 32, 0);
    for (std::size_t i = 0; i < r.size(); i += 32) {
      std::uint8_t rep[33] = {0};
      std::copy(r.begin() + i, r.begin() + i + 32, rep + 1);
      EventoUsb e;
      EXPECT_TRUE(usb.Imposta(s, rep, e));
    }
    Byte out;
    for (std::size_t i = 0; i < risposta; i += 32) {
      std::uint8_t rep[33];
      EventoUsb e;
      EXPECT_TRUE(usb.Ottieni(s, rep, e));
      out.insert(out.end(), rep + 1, rep + 33);
    }
    return out;
  }
  void Modo() {
    Byte r = Be({4, 2});
    r.insert(r.end(), {0x3C, 0x91, 0x7A, 0x0E, 0x55, 0xD2, 0x18, 0x6B});
    ASSERT_EQ(LeggiBe(Scambio(r, 32).data()), 0u);
  }
  CChiaveSim chiave;
  CUsbSim usb{chiave};
  SessioneUsb s;
};

TEST_F(ChiaveUsb, IdentifyNeedsModeAndGivesGeometry) {
  EXPECT_EQ(LeggiBe(Scambio(Be({3}), 32).data()), stato::MODO_NON_SCELTO);
  Modo();
  const Byte r = Scambio(Be({3}), 32);
  EXPECT_EQ(LeggiBe(&r[0]), 0u);
  EXPECT_EQ(LeggiBe(&r[8]), 264u);
  EXPECT_EQ(LeggiBe(&r[12]), 4096u);
}

TEST_F(ChiaveUsb, WriteLandsAtPageStartAndReadsBack) {
  Modo();
  Byte w = Be({0x20, 7});
  for (int i = 0; i < 264; ++i) w.push_back(static_cast<std::uint8_t>(i));
  ASSERT_EQ(usb.LunghezzaRichiesta(0x20), 288u);
  w.resize(288, 0);
  EXPECT_EQ(LeggiBe(Scambio(w, 32).data()), 0u);
  const Byte r = Scambio(Be({0x30, 7}), 288);
  EXPECT_EQ(LeggiBe(&r[0]), 0u);
  for (int i = 0; i < 264; ++i) ASSERT_EQ(r[4 + i], static_cast<std::uint8_t>(i));
  EXPECT_EQ(chiave.PagineNonVuote(), 1u);
  // Erase needs its access code.
  EXPECT_EQ(LeggiBe(Scambio(Be({0x10, 7, 0, 0}), 32).data()), stato::CODICE_ACCESSO);
  Byte e = Be({0x10, 7});
  e.insert(e.end(), {0x9F, 0x24, 0xC3, 0x71, 0x0B, 0x8E, 0x46, 0xD5});
  EXPECT_EQ(LeggiBe(Scambio(e, 32).data()), 0u);
  EXPECT_EQ(chiave.PagineNonVuote(), 0u);
}

TEST_F(ChiaveUsb, NotReadyIsAnsweredBeforeTheReply) {
  Modo();
  chiave.Guasti().nonPronto = 1;
  const Byte r = Scambio(Be({3}), 32);
  EXPECT_EQ(Byte(r.begin(), r.end()), Byte(NON_PRONTO, NON_PRONTO + 32));
  std::uint8_t rep[33];
  EventoUsb e;
  ASSERT_TRUE(usb.Ottieni(s, rep, e));
  EXPECT_EQ(LeggiBe(rep + 9), 264u);
}

TEST_F(ChiaveUsb, AHungKeyAnswersOnlyNotReadyAfterItsReplies) {
  chiave.Guasti().bloccataDopo = 1;
  Modo();  // the one reply it still gives
  for (int i = 0; i < 3; ++i) {
    const Byte r = Scambio(Be({3}), 32);
    EXPECT_EQ(Byte(r.begin(), r.end()), Byte(NON_PRONTO, NON_PRONTO + 32)) << i;
  }
}

TEST(DriverSim, BasicAndExtendedSetsAndPic) {
  CChiaveSim chiave;
  ConfigChiave c;
  c.file = FileChiave("lpt.bin");
  c.dimensionePagina = 528;
  std::string e;
  ASSERT_TRUE(chiave.Apri(c, e)) << e;
  CPicSim pic;
  CDriverSim base({false}, &chiave, &pic), esteso({true}, &chiave, &pic);
  SessioneDriver s;
  Byte out;
  nlohmann::json v;
  ASSERT_TRUE(base.Richiesta(s, codice::IDENTIFICA, {}, 5, out, v));
  EXPECT_EQ(out[0] & 0x3C, 0x2C);
  EXPECT_FALSE(base.Richiesta(s, codice::ESTESO, {}, 8, out, v));
  ASSERT_TRUE(esteso.Richiesta(s, codice::ESTESO, {}, 8, out, v));
  EXPECT_EQ(LeggiLe(out, 0), 0u);
  // Extended write: page, offset, length, 1, page size, data.
  Byte w = {3, 0, 0, 0, 4, 0, 1, 0x10, 0x02, 0xDE, 0xAD, 0xBE, 0xEF};
  w.resize(528 + 9, 0);
  ASSERT_TRUE(esteso.Richiesta(s, codice::SCRIVI_ESTESO, w, 4, out, v));
  EXPECT_EQ(LeggiLe(out, 0), 0u);
  ASSERT_TRUE(esteso.Richiesta(s, codice::LEGGI_A_ESTESO, {3, 0, 0, 0, 4, 0}, 10, out, v));
  ASSERT_EQ(out.size(), 10u);
  EXPECT_EQ(Byte(out.begin() + 6, out.end()), (Byte{0xDE, 0xAD, 0xBE, 0xEF}));
  // An output room too small fails the request.
  EXPECT_FALSE(esteso.Richiesta(s, codice::LEGGI_A_ESTESO, {3, 0, 0, 0, 4, 0}, 9, out, v));
  // PIC: nothing before mode on; reads give 516 bytes.
  ASSERT_TRUE(esteso.Richiesta(s, codice::PIC_LEGGI, {0xFC, 0, 0xF0, 0, 2, 0}, 516, out, v));
  EXPECT_EQ(LeggiLe(out, 512), stato::PIC_MODO_SPENTO);
  ASSERT_TRUE(esteso.Richiesta(s, codice::PIC_MODO, {1, 0}, 4, out, v));
  EXPECT_EQ(LeggiLe(out, 0), 0u);
  ASSERT_TRUE(esteso.Richiesta(s, codice::PIC_LEGGI, {0xFC, 0, 0xF0, 0, 2, 0}, 516, out, v));
  ASSERT_EQ(out.size(), 516u);
  EXPECT_EQ(LeggiLe(out, 512), 0u);
  EXPECT_EQ(out[0], 0xFF);
}


TEST(DriverSim, FaultsOfKeyAndPic) {
  CChiaveSim chiave;
  ConfigChiave c;
  c.file = FileChiave("guasti.bin");
  c.guasti.scritturaFallita.valori = {2};
  c.guasti.cancellazioneFallita.tutti = true;
  std::string e;
  ASSERT_TRUE(chiave.Apri(c, e)) << e;
  ConfigPic cp;
  cp.guasti.rispostaCorta = {"leggi"};
  cp.guasti.bitErrati[0x108] = 0x01;
  cp.guasti.cancellazioneFallita.valori = {0x40};
  CPicSim pic(cp);
  CDriverSim d({true}, &chiave, &pic);
  SessioneDriver s;
  Byte out;
  nlohmann::json v;
  Byte w = {2, 0, 0, 0, 1, 0, 1, 0x00};
  w.resize(271, 0);
  ASSERT_TRUE(d.Richiesta(s, codice::SCRIVI, w, 4, out, v));
  EXPECT_EQ(LeggiLe(out, 0), stato::SCRITTURA_FALLITA);
  w[0] = 3;
  ASSERT_TRUE(d.Richiesta(s, codice::SCRIVI, w, 4, out, v));
  EXPECT_EQ(LeggiLe(out, 0), 0u);
  ASSERT_TRUE(d.Richiesta(s, codice::CANCELLA_PAGINA, {3, 0, 1}, 4, out, v));
  EXPECT_EQ(LeggiLe(out, 0), stato::CANCELLAZIONE_FALLITA);
  EXPECT_FALSE(d.Richiesta(s, codice::CANCELLA_PAGINA, {3, 0}, 4, out, v));  // input of the wrong length
  ASSERT_TRUE(d.Richiesta(s, codice::PIC_MODO, {1, 0}, 4, out, v));
  ASSERT_TRUE(d.Richiesta(s, codice::PIC_LEGGI, {0, 0, 0, 0, 8, 0}, 516, out, v));
  EXPECT_EQ(out.size(), 514u);  // short reply
  ASSERT_TRUE(d.Richiesta(s, codice::PIC_COMANDO, {0x40, 0, 0, 0, 1}, 4, out, v));
  EXPECT_EQ(LeggiLe(out, 0), stato::PIC_CANCELLAZIONE);
  Byte p(519, 0);
  p[0] = 1;
  p[1] = 0x08;
  p[2] = 0x01;
  p[5] = 1;
  p[7] = 0xA0;
  ASSERT_TRUE(d.Richiesta(s, codice::PIC_SCRIVI, p, 4, out, v));
  EXPECT_EQ(LeggiLe(out, 0), 0u);
  std::uint8_t r;
  ASSERT_EQ(pic.Leggi(0x108, 1, &r), 0u);
  EXPECT_EQ(r, 0xA1);  // a bit stored wrong
  ConfigPic rifiuta;
  rifiuta.guasti.modoRifiutato = true;
  CPicSim pic2(rifiuta);
  CDriverSim d2({true}, nullptr, &pic2);
  SessioneDriver s2;
  ASSERT_TRUE(d2.Richiesta(s2, codice::PIC_MODO, {1, 0}, 4, out, v));
  EXPECT_EQ(LeggiLe(out, 0), stato::PIC_MODO_RIFIUTATO);
  ASSERT_TRUE(d2.Richiesta(s2, codice::IDENTIFICA, {}, 5, out, v));
  EXPECT_EQ(out[0], 0xFF);  // no key plugged in
}

TEST(PicSim, FlashProgramsOnlyClearsBitsAndConfigMasksUnimplementedBits) {
  CPicSim pic;
  const std::uint8_t a[8] = {0x0F, 1, 2, 3, 4, 5, 6, 7};
  ASSERT_EQ(pic.Scrivi(0x40, a, 8), 0u);
  const std::uint8_t b[1] = {0xF0};
  ASSERT_EQ(pic.Scrivi(0x40, b, 1), 0u);
  std::uint8_t r[8];
  ASSERT_EQ(pic.Leggi(0x40, 8, r), 0u);
  EXPECT_EQ(r[0], 0x00);
  EXPECT_EQ(pic.ScrittureSuNonCancellato(), 1u);
  EXPECT_EQ(pic.Comando(0x41), stato::PIC_COMANDO);
  ASSERT_EQ(pic.Comando(0x40), 0u);
  ASSERT_EQ(pic.Leggi(0x40, 1, r), 0u);
  EXPECT_EQ(r[0], 0xFF);
  const std::uint8_t cfg[2] = {0xFF, 0xFF};
  ASSERT_EQ(pic.Scrivi(CPicSim::CONFIG, cfg, 2), 0u);
  ASSERT_EQ(pic.Leggi(CPicSim::CONFIG, 2, r), 0u);
  EXPECT_EQ(r[0], 0x00);
  EXPECT_EQ(r[1], 0x27);  // only bits 0, 1, 2 and 5 exist
  EXPECT_EQ(pic.Leggi(0x8000, 1, r), stato::PIC_INDIRIZZO);
}

}  // namespace
}  // namespace bricola::sim
