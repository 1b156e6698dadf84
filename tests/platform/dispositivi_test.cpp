// The driver device and the USB key over Unix-domain sockets: the bytes on the
// socket, the answers taken apart, broken answers, and which endpoint each
// opener reaches.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/dispositivi.h"
#include "tests/platform/server_unix.h"

namespace bricola {
namespace {

using Byte = std::vector<std::uint8_t>;
using prova::PercorsoTemporaneo;
using prova::ServerUnix;

std::uint32_t Le32(const Byte& b, std::size_t i) {
  return b[i] | (std::uint32_t{b[i + 1]} << 8) | (std::uint32_t{b[i + 2]} << 16) | (std::uint32_t{b[i + 3]} << 24);
}
void AccodaLe32(Byte& b, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

// A driver device whose answer to each request comes from `risposta`.
struct DriverProva {
  struct Richiesta {
    std::uint32_t codice;
    Byte ingresso;
    std::uint32_t capacita;
  };
  std::function<Byte(int connessione, const Richiesta&)> risposta;
  std::mutex mutex;
  std::vector<std::pair<int, Richiesta>> richieste;

  ServerUnix::Gestore Gestore() {
    return [this](int c, const Byte& a, Byte& out) -> long {
      if (a.size() < 8) return 0;
      const std::uint32_t n = Le32(a, 4);
      if (a.size() < 12 + n) return 0;
      Richiesta r{Le32(a, 0), Byte(a.begin() + 8, a.begin() + 8 + n), Le32(a, 8 + n)};
      {
        std::lock_guard<std::mutex> l(mutex);
        richieste.emplace_back(c, r);
      }
      out = risposta(c, r);
      if (out.empty()) return -1;  // close without answering
      return static_cast<long>(12 + n);
    };
  }
};

Byte Risposta(std::uint32_t esito, const Byte& uscita) {
  Byte b;
  AccodaLe32(b, esito);
  AccodaLe32(b, static_cast<std::uint32_t>(uscita.size()));
  b.insert(b.end(), uscita.begin(), uscita.end());
  return b;
}

class Dispositivi : public ::testing::Test {
 protected:
  void TearDown() override {
    ImpostaPuntiDispositivi({});
    ImpostaApritoreDriver(nullptr);
    ImpostaApritoreDriverPic(nullptr);
    ImpostaApritoreChiaveUsb(nullptr);
  }
};

TEST_F(Dispositivi, DriverRequestGoesOutLittleEndianAndItsAnswerComesBack) {
  DriverProva d;
  d.risposta = [](int, const DriverProva::Richiesta& r) {
    Byte uscita(r.capacita, 0);
    uscita[0] = 0xAB;
    uscita[r.capacita - 1] = 0xCD;
    return Risposta(1, uscita);
  };
  ServerUnix server(PercorsoTemporaneo("drv"), d.Gestore());
  ASSERT_TRUE(server.Pronto());
  auto dev = ApriDriverPunto(server.Punto());
  ASSERT_NE(dev, nullptr);
  const Byte ingresso = {5, 0, 1, 0, 2, 0};
  Byte uscita;
  ASSERT_TRUE(dev->Richiesta(0xE2E9601C, ingresso, 268, uscita));
  ASSERT_EQ(uscita.size(), 268u);
  EXPECT_EQ(uscita[0], 0xAB);
  EXPECT_EQ(uscita[267], 0xCD);
  // A request with no input.
  ASSERT_TRUE(dev->Richiesta(0xE2E9600C, {}, 5, uscita));
  EXPECT_EQ(uscita.size(), 5u);
  dev.reset();
  const auto ricevuti = server.Ricevuti();
  ASSERT_EQ(ricevuti.size(), 1u);
  EXPECT_EQ(ricevuti[0], (Byte{0x1C, 0x60, 0xE9, 0xE2, 6, 0, 0, 0, 5, 0, 1, 0, 2, 0, 0x0C, 0x01, 0, 0,  //
                               0x0C, 0x60, 0xE9, 0xE2, 0, 0, 0, 0, 5, 0, 0, 0}));
}

TEST_F(Dispositivi, DriverFailureResultOutputBeyondCapacityAndLostDevice) {
  DriverProva d;
  d.risposta = [](int, const DriverProva::Richiesta& r) -> Byte {
    switch (r.codice) {
      case 1: return Risposta(0, {7, 7, 7, 7});           // refused, with an output
      case 2: return Risposta(1, Byte(r.capacita + 1, 0));  // more than the room given
      case 3: return Risposta(2, {});                        // neither success nor failure
      default: return {};                                    // the device goes away
    }
  };
  ServerUnix server(PercorsoTemporaneo("drv"), d.Gestore());
  auto dev = ApriDriverPunto(server.Punto());
  ASSERT_NE(dev, nullptr);
  Byte uscita;
  EXPECT_FALSE(dev->Richiesta(1, {}, 4, uscita));
  EXPECT_EQ(uscita, (Byte{7, 7, 7, 7}));
  EXPECT_FALSE(dev->Richiesta(2, {}, 4, uscita));
  // The stream stays in step after an oversized output.
  EXPECT_FALSE(dev->Richiesta(1, {}, 4, uscita));
  EXPECT_EQ(uscita, (Byte{7, 7, 7, 7}));
  EXPECT_FALSE(dev->Richiesta(3, {}, 4, uscita));
  EXPECT_FALSE(dev->Richiesta(9, {}, 4, uscita));
  EXPECT_TRUE(uscita.empty());
  // Once the device is gone every request fails at once.
  EXPECT_FALSE(dev->Richiesta(1, {}, 4, uscita));
  EXPECT_EQ(d.richieste.size(), 5u);
}

TEST_F(Dispositivi, EachOpenIsAConnectionAndTwoMayBeOpenAtOnce) {
  DriverProva d;
  d.risposta = [](int c, const DriverProva::Richiesta&) { return Risposta(1, {static_cast<std::uint8_t>(c)}); };
  ServerUnix server(PercorsoTemporaneo("drv"), d.Gestore());
  ImpostaPuntiDispositivi({"hid", {{2, server.Punto()}}, {}});
  auto chiave = ApriDriver(1);
  auto pic = ApriDriverPic(1);  // no PIC1 entry: the device of LPT2
  ASSERT_NE(chiave, nullptr);
  ASSERT_NE(pic, nullptr);
  Byte a, b;
  ASSERT_TRUE(chiave->Richiesta(10, {}, 1, a));
  ASSERT_TRUE(pic->Richiesta(11, {}, 1, b));
  ASSERT_TRUE(chiave->Richiesta(12, {}, 1, a));
  EXPECT_EQ(a, Byte{1});
  EXPECT_EQ(b, Byte{2});
  EXPECT_EQ(server.Accettate(), 2);
  pic.reset();
  ASSERT_TRUE(chiave->Richiesta(13, {}, 1, a));
  EXPECT_EQ(a, Byte{1});
}

TEST_F(Dispositivi, WhichEndpointEachOpenerReaches) {
  DriverProva lpt1, lpt3, pic3;
  lpt1.risposta = [](int, const DriverProva::Richiesta&) { return Risposta(1, {1}); };
  lpt3.risposta = [](int, const DriverProva::Richiesta&) { return Risposta(1, {3}); };
  pic3.risposta = [](int, const DriverProva::Richiesta&) { return Risposta(1, {0x33}); };
  ServerUnix s1(PercorsoTemporaneo("lpt1"), lpt1.Gestore());
  ServerUnix s3(PercorsoTemporaneo("lpt3"), lpt3.Gestore());
  ServerUnix sp(PercorsoTemporaneo("pic3"), pic3.Gestore());
  ImpostaPuntiDispositivi({"hid", {{1, s1.Punto()}, {3, s3.Punto()}, {4, "/dev/parport3"}}, {{2, sp.Punto()}}});
  auto uno = [](std::unique_ptr<DispositivoDriver> d) -> int {
    if (!d) return -1;
    Byte u;
    return d->Richiesta(0, {}, 1, u) ? u.at(0) : -2;
  };
  EXPECT_EQ(uno(ApriDriver(0)), 1);     // LPT1
  EXPECT_EQ(uno(ApriDriver(2)), 3);     // LPT3
  EXPECT_EQ(uno(ApriDriver(1)), -1);    // no LPT2
  EXPECT_EQ(uno(ApriDriver(3)), -1);    // LPT4 is not an endpoint this build reaches
  EXPECT_EQ(uno(ApriDriver(-1)), -1);
  EXPECT_EQ(uno(ApriDriverPic(0)), 1);  // PIC interface 0: LPT1's device
  EXPECT_EQ(uno(ApriDriverPic(2)), 0x33);  // its own PIC2 entry
  EXPECT_EQ(uno(ApriDriverPic(1)), -1);
  // Nothing listening there.
  EXPECT_EQ(ApriDriverPunto("unix:" + PercorsoTemporaneo("nessuno")), nullptr);
  EXPECT_EQ(ApriDriverPunto(""), nullptr);
  EXPECT_EQ(ApriDriverPunto("unix:"), nullptr);

  // A hook on ApriDriver also serves the PIC interfaces without their own entry.
  int chiesto = -5;
  ImpostaApritoreDriver([&](int indice) {
    chiesto = indice;
    return ApriDriverPunto(s3.Punto());
  });
  EXPECT_EQ(uno(ApriDriverPic(0)), 3);
  EXPECT_EQ(chiesto, 0);
  EXPECT_EQ(uno(ApriDriverPic(2)), 0x33);
  ImpostaApritoreDriverPic([&](int k) {
    chiesto = 100 + k;
    return nullptr;
  });
  EXPECT_EQ(uno(ApriDriverPic(2)), -1);
  EXPECT_EQ(chiesto, 102);
}

// A USB key: set-feature pieces are kept, get-feature answers come from `risposte`.
struct ChiaveProva {
  std::mutex mutex;
  std::vector<Byte> impostati;
  std::vector<Byte> risposte;  // for each get: 1 + 33 bytes, or just {0} / {0 + 33 bytes}
  std::size_t prossima = 0;

  ServerUnix::Gestore Gestore() {
    return [this](int, const Byte& a, Byte& out) -> long {
      if (a.size() < 34) return 0;
      std::lock_guard<std::mutex> l(mutex);
      if (a[0] == 'S') {
        impostati.emplace_back(a.begin() + 1, a.begin() + 34);
        out = {1};
      } else if (a[0] == 'G') {
        out = prossima < risposte.size() ? risposte[prossima++] : Byte{0};
      } else {
        return -1;
      }
      return 34;
    };
  }
};

Byte Report(std::uint8_t riempimento) {
  Byte r(1 + kLunghezzaReport, riempimento);
  r[0] = 1;  // success
  r[1] = 0;  // report ID
  return r;
}

TEST_F(Dispositivi, UsbFeatureReportsOverTheSocket) {
  ChiaveProva k;
  Byte fallitaConReport(1 + kLunghezzaReport, 0xEE);
  fallitaConReport[0] = 0;
  k.risposte = {Report(0x11), {0}, Report(0x22), fallitaConReport, Report(0x33)};
  ServerUnix server(PercorsoTemporaneo("usb"), k.Gestore());
  ImpostaPuntiDispositivi({server.Punto(), {}, {}});
  auto usb = ApriChiaveUsb();
  ASSERT_NE(usb, nullptr);
  Byte report(kLunghezzaReport, 0);
  for (std::size_t i = 1; i < report.size(); ++i) report[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(usb->ImpostaFeature(report.data()));
  Byte letto(kLunghezzaReport, 0);
  ASSERT_TRUE(usb->LeggiFeature(letto.data()));
  const Byte primo = Report(0x11);
  EXPECT_EQ(letto, Byte(primo.begin() + 1, primo.end()));
  EXPECT_FALSE(usb->LeggiFeature(letto.data()));  // a failure without a report
  ASSERT_TRUE(usb->LeggiFeature(letto.data()));
  EXPECT_EQ(letto[5], 0x22);
  EXPECT_FALSE(usb->LeggiFeature(letto.data()));  // a failure that carries a report anyway
  ASSERT_TRUE(usb->LeggiFeature(letto.data()));
  EXPECT_EQ(letto[5], 0x33);
  usb.reset();

  const auto ricevuti = server.Ricevuti();
  ASSERT_EQ(ricevuti.size(), 1u);
  const Byte& r = ricevuti[0];
  ASSERT_EQ(r.size(), 6u * 34u);
  EXPECT_EQ(r[0], 'S');
  EXPECT_EQ(Byte(r.begin() + 1, r.begin() + 34), report);
  for (std::size_t i = 1; i < 6; ++i) {
    EXPECT_EQ(r[i * 34], 'G');
    EXPECT_EQ(Byte(r.begin() + static_cast<long>(i * 34 + 1), r.begin() + static_cast<long>(i * 34 + 34)),
              Byte(kLunghezzaReport, 0));
  }
}

TEST_F(Dispositivi, UsbEndpointChoice) {
  // Nothing at the endpoint: the key cannot be opened.
  ImpostaPuntiDispositivi({"unix:" + PercorsoTemporaneo("nessuno"), {}, {}});
  EXPECT_EQ(ApriChiaveUsb(), nullptr);
  ImpostaPuntiDispositivi({"seriale:/dev/ttyS0", {}, {}});
  EXPECT_EQ(ApriChiaveUsb(), nullptr);
  bool chiamato = false;
  ImpostaApritoreChiaveUsb([&] {
    chiamato = true;
    return nullptr;
  });
  EXPECT_EQ(ApriChiaveUsb(), nullptr);
  EXPECT_TRUE(chiamato);
}

}  // namespace
}  // namespace bricola
