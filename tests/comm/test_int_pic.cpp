// The PIC driver layer and CIntPic against a scripted driver device: the
// request layouts, the limits checked before any request, the exact output
// lengths and status, and mode on and off around the open.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "comm/int_pic.h"
#include "platform/dispositivi.h"

namespace bricola {
namespace {

using Byte = std::vector<std::uint8_t>;

struct SRichiesta {
  std::uint32_t codice;
  Byte ingresso;
  std::uint32_t capacita;
};

// What the test sees of the device; it outlives a close.
struct SStato {
  std::vector<SRichiesta> richieste;
  int aperture = 0;
  int chiusure = 0;
  std::vector<int> porte;
  bool modoRifiutato = false;
  bool risultatoFallito = false;  // the device answers result 0
  int accorcia = 0;               // output bytes missing from every reply
  std::uint32_t stato = 0;        // status carried in every reply
  Byte dati;                      // data of a read reply
};

class CDriverFinto final : public DispositivoDriver {
 public:
  explicit CDriverFinto(std::shared_ptr<SStato> s) : stato(std::move(s)) {}
  ~CDriverFinto() override { ++stato->chiusure; }
  bool Richiesta(std::uint32_t codice, std::span<const std::uint8_t> in, std::uint32_t capacita,
                 Byte& out) override {
    stato->richieste.push_back({codice, Byte(in.begin(), in.end()), capacita});
    const std::size_t lunghezza = codice == kCodicePicLeggi ? 516 : 4;
    out.assign(lunghezza, 0);
    const std::size_t pos = codice == kCodicePicLeggi ? 512 : 0;
    std::uint32_t st = stato->stato;
    if (codice == kCodicePicModo && in.size() == 2 && in[0] == 1 && stato->modoRifiutato) st = 0x31;
    for (int k = 0; k < 4; ++k) out[pos + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(st >> (8 * k));
    if (codice == kCodicePicLeggi) std::copy(stato->dati.begin(), stato->dati.end(), out.begin());
    out.resize(out.size() - static_cast<std::size_t>(stato->accorcia));
    return !stato->risultatoFallito;
  }

 private:
  std::shared_ptr<SStato> stato;
};

class IntPic : public ::testing::Test {
 protected:
  void SetUp() override {
    s = std::make_shared<SStato>();
    ImpostaApritoreDriverPic([st = s](int k) -> std::unique_ptr<DispositivoDriver> {
      st->porte.push_back(k);
      if (k > 3) return nullptr;
      ++st->aperture;
      return std::make_unique<CDriverFinto>(st);
    });
  }
  void TearDown() override {
    ChiudiPic();
    ImpostaApritoreDriverPic(nullptr);
  }
  std::shared_ptr<SStato> s;
};

TEST_F(IntPic, ModeOnAtOpenAndModeOffBeforeClose) {
  CIntPic pic;
  int esito = 0;
  ASSERT_EQ(pic.ApriLinea(2, 38400, 0, &esito), 1);
  EXPECT_EQ(esito, 0);
  EXPECT_EQ(s->porte, (std::vector<int>{2}));
  EXPECT_TRUE(PicAperto());
  EXPECT_EQ(pic.ScriviLinea(nullptr, 0), -1);
  EXPECT_EQ(pic.LeggiLinea(nullptr, 0), -1);
  EXPECT_EQ(pic.SvuotaLinea(), -1);
  EXPECT_EQ(pic.ChiudiLinea(), 1);
  EXPECT_FALSE(PicAperto());
  ASSERT_EQ(s->richieste.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(s->richieste[i].codice, 0xE2E96054u);
    EXPECT_EQ(s->richieste[i].ingresso, (Byte{static_cast<std::uint8_t>(i == 0 ? 1 : 0), 0}));
    EXPECT_EQ(s->richieste[i].capacita, 4u);
  }
  EXPECT_EQ(s->chiusure, 1);
  // Nothing left to close.
  EXPECT_EQ(pic.ChiudiLinea(), 0);
  EXPECT_EQ(s->richieste.size(), 2u);
  // Reopened on the port of the last open.
  ASSERT_EQ(pic.RiapriLinea(&esito), 1);
  EXPECT_EQ(s->porte, (std::vector<int>{2, 2}));
}

TEST_F(IntPic, RefusedModeOnClosesWithoutModeOff) {
  s->modoRifiutato = true;
  CIntPic pic;
  int esito = 0;
  EXPECT_EQ(pic.ApriLinea(0, 38400, 0, &esito), 0);
  EXPECT_EQ(esito, RC_PORT_OPEN);
  EXPECT_FALSE(PicAperto());
  EXPECT_EQ(s->richieste.size(), 1u);
  EXPECT_EQ(s->chiusure, 1);
  // No device behind the interface.
  EXPECT_EQ(pic.ApriLinea(7, 38400, 0, &esito), 0);
  EXPECT_EQ(esito, RC_PORT_OPEN);
  EXPECT_EQ(s->aperture, 1);
}

TEST_F(IntPic, RequestLayouts) {
  ASSERT_EQ(ApriPic(0), 1);
  s->dati = {0x11, 0x22, 0x33};
  EXPECT_EQ(ComandoPic(0x300000), 1);
  std::uint8_t letti[3] = {};
  EXPECT_EQ(LeggiPic(0xF000FC, letti, 2), 1);
  EXPECT_EQ(letti[0], 0x11);
  EXPECT_EQ(letti[1], 0x22);
  EXPECT_EQ(letti[2], 0x00);  // only the bytes asked for are copied
  const std::uint8_t dati[3] = {0xA1, 0xA2, 0xA3};
  EXPECT_EQ(ScriviPic(0x000108, dati, 3), 1);
  ASSERT_EQ(s->richieste.size(), 4u);

  EXPECT_EQ(s->richieste[1].codice, 0xE2E96060u);
  EXPECT_EQ(s->richieste[1].ingresso, (Byte{0x00, 0x00, 0x30, 0x00, 0x01}));
  EXPECT_EQ(s->richieste[1].capacita, 4u);

  EXPECT_EQ(s->richieste[2].codice, 0xE2E96058u);
  EXPECT_EQ(s->richieste[2].ingresso, (Byte{0xFC, 0x00, 0xF0, 0x00, 0x02, 0x00}));
  EXPECT_EQ(s->richieste[2].capacita, 516u);

  EXPECT_EQ(s->richieste[3].codice, 0xE2E9605Cu);
  const Byte& w = s->richieste[3].ingresso;
  ASSERT_EQ(w.size(), 519u);
  EXPECT_EQ(Byte(w.begin(), w.begin() + 10), (Byte{0x01, 0x08, 0x01, 0x00, 0x00, 0x03, 0x00, 0xA1, 0xA2, 0xA3}));
  EXPECT_EQ(std::count(w.begin() + 10, w.end(), 0), 509);
  EXPECT_EQ(s->richieste[3].capacita, 4u);
}

TEST_F(IntPic, LengthsOverTheLimitsNeverReachTheDriver) {
  ASSERT_EQ(ApriPic(0), 1);
  std::vector<std::uint8_t> b(600);
  EXPECT_EQ(LeggiPic(0, b.data(), 513), 0);
  EXPECT_EQ(ScriviPic(0, b.data(), 265), 0);
  EXPECT_EQ(LeggiPic(0, b.data(), -1), 0);
  EXPECT_EQ(s->richieste.size(), 1u);  // the mode on only
  EXPECT_EQ(LeggiPic(0, b.data(), 512), 1);
  EXPECT_EQ(ScriviPic(0, b.data(), 264), 1);
  EXPECT_EQ(s->richieste.size(), 3u);
}

TEST_F(IntPic, ShortRepliesStatusAndFailedResultsAreFailures) {
  ASSERT_EQ(ApriPic(0), 1);
  std::uint8_t b[8];
  const auto tutte = [&] {
    return ComandoPic(0x40) + LeggiPic(0, b, 8) + ScriviPic(0, b, 8);
  };
  EXPECT_EQ(tutte(), 3);
  s->accorcia = 2;
  EXPECT_EQ(tutte(), 0);
  s->accorcia = 0;
  s->stato = 0x35;
  EXPECT_EQ(tutte(), 0);
  s->stato = 0;
  s->risultatoFallito = true;
  EXPECT_EQ(tutte(), 0);
  // A mode off that fails still closes the device.
  EXPECT_EQ(ChiudiPic(), 0);
  EXPECT_FALSE(PicAperto());
  EXPECT_EQ(s->chiusure, 1);
  // Nothing goes out on a closed layer.
  const std::size_t prima = s->richieste.size();
  s->risultatoFallito = false;
  EXPECT_EQ(tutte(), 0);
  EXPECT_EQ(s->richieste.size(), prima);
}

}  // namespace
}  // namespace bricola
