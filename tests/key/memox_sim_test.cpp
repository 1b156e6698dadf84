// The key's devices through the real Unix-socket seam against bricola-sim's
// emulated key and driver: pages written, read back and erased in the key's
// file, recognition of each geometry and fault, both driver request sets.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "key/memox_parallela.h"
#include "key/memox_usb.h"
#include "platform/dispositivi.h"
#include "tests/key/sim_dispositivi.h"

namespace bricola {
namespace {

using Byte = std::vector<std::uint8_t>;
using prova::SimDispositivi;

Byte Motivo(std::size_t n, std::uint8_t seme) {
  Byte b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seme + i * 13 + (i >> 8));
  return b;
}

Byte PaginaNelFile(const Byte& file, std::size_t dimensione, std::size_t pagina) {
  if (file.size() < (pagina + 1) * dimensione) return {};
  return Byte(file.begin() + static_cast<long>(pagina * dimensione),
              file.begin() + static_cast<long>((pagina + 1) * dimensione));
}

// The requests the key or the driver got, by name, in order ("apertura" and
// "chiusura" of connections and the raw feature reports left out).
std::vector<std::string> Richieste(const std::string& dump, const std::string& dispositivo) {
  std::vector<std::string> r;
  const auto j = nlohmann::json::parse(dump, nullptr, false);
  if (j.is_discarded()) return {"dump illeggibile"};
  if (!j.contains("dispositivi")) return {"dump senza dispositivi"};
  for (const auto& v : j["dispositivi"].value("richieste", nlohmann::json::array())) {
    if (!v.contains("richiesta") || v.value("dispositivo", "").rfind(dispositivo, 0) != 0) continue;
    const std::string n = v["richiesta"].get<std::string>();
    if (n == "setFeature" || n == "getFeature") continue;
    r.push_back(n);
  }
  return r;
}

class MemoxSim : public ::testing::Test {
 protected:
  void TearDown() override {
    ImpostaPuntiDispositivi({});
    DriverMemox().Ripristina();
  }
  // Starts the simulator and points the device layer at it.
  std::unique_ptr<SimDispositivi> Avvia(const std::string& nome, std::vector<std::string> argomenti) {
    auto s = std::make_unique<SimDispositivi>(nome, std::move(argomenti));
    EXPECT_TRUE(s->Pronto());
    ImpostaPuntiDispositivi({s->Usb(), {{1, s->Lpt()}}, {}});
    return s;
  }
  std::string Dispositivi(const std::string& nome, const std::string& json) {
    return SimDispositivi::FileDispositivi(nome, json);
  }
};

TEST_F(MemoxSim, UsbKeyPagesWrittenReadBackAndErased) {
  auto sim = Avvia("usb264", {});
  ASSERT_TRUE(sim->Pronto());
  CMemoxUsb k;
  ASSERT_EQ(k.Apri(0), 1);
  int kind = -1;
  ASSERT_EQ(k.RiconosciChiave(&kind), 1);
  EXPECT_EQ(kind, kChiave264x4096);
  const Byte p5 = Motivo(264, 5), p4095 = Motivo(264, 77);
  ASSERT_EQ(k.ScriviPagina(5, 0, p5.data(), 264), 1);
  ASSERT_EQ(k.ScriviPagina(4095, 0, p4095.data(), 264), 1);
  Byte letto(264);
  ASSERT_EQ(k.LeggiPagina(5, 0, letto.data(), 264), 1);
  EXPECT_EQ(letto, p5);
  Byte parte(50);
  ASSERT_EQ(k.LeggiIntervallo(4095, 214, parte.data(), 50), 1);
  EXPECT_EQ(parte, Byte(p4095.begin() + 214, p4095.end()));
  // A short write: the rest of the page is zeros.
  ASSERT_EQ(k.ScriviPagina(6, 0, p5.data(), 3), 1);
  ASSERT_EQ(k.LeggiPagina(6, 0, letto.data(), 264), 1);
  Byte atteso(264, 0);
  std::copy(p5.begin(), p5.begin() + 3, atteso.begin());
  EXPECT_EQ(letto, atteso);
  ASSERT_EQ(k.CancellaPagina(5), 1);
  ASSERT_EQ(k.LeggiPagina(5, 0, letto.data(), 264), 1);
  EXPECT_EQ(letto, Byte(264, 0xFF));
  EXPECT_EQ(k.Chiudi(), 1);
  sim->Ferma();
  const Byte file = sim->Chiave();
  ASSERT_EQ(file.size(), 264u * 4096u);
  EXPECT_EQ(PaginaNelFile(file, 264, 4095), p4095);
  EXPECT_EQ(PaginaNelFile(file, 264, 5), Byte(264, 0xFF));
  EXPECT_EQ(Richieste(sim->Dump(), "usb"),
            (std::vector<std::string>{"modo", "identifica", "scriviPagina", "scriviPagina", "leggiPagina",
                                      "leggiPagina", "scriviPagina", "leggiPagina", "cancellaPagina", "leggiPagina"}));
}

TEST_F(MemoxSim, UsbKeyOf528BytePagesAndTheWholeKeyErase) {
  auto sim = Avvia("usb528", {"--key-page-size", "528", "--key-pages", "8192"});
  ASSERT_TRUE(sim->Pronto());
  CMemoxUsb k;
  ASSERT_EQ(k.Apri(0), 1);
  int kind = -1;
  ASSERT_EQ(k.RiconosciChiave(&kind), 1);
  EXPECT_EQ(kind, kChiave528x8192);
  EXPECT_EQ(k.DimensionePagina(), 528);
  const Byte p = Motivo(528, 9);
  ASSERT_EQ(k.ScriviPagina(8191, 0, p.data(), 528), 1);
  Byte letto(528);
  ASSERT_EQ(k.LeggiPagina(8191, 0, letto.data(), 528), 1);
  EXPECT_EQ(letto, p);
  // The whole-key erase goes on a connection of its own while the key stays open.
  ASSERT_EQ(k.CancellaTutto(), 1);
  ASSERT_EQ(k.LeggiPagina(8191, 0, letto.data(), 528), 1);
  EXPECT_EQ(letto, Byte(528, 0xFF));
  k.Chiudi();
  sim->Ferma();
  EXPECT_EQ(sim->Chiave(), Byte(528u * 8192u, 0xFF));
  EXPECT_EQ(Richieste(sim->Dump(), "usb"), (std::vector<std::string>{"modo", "identifica", "scriviPagina",
                                                                     "leggiPagina", "cancellaTutto", "leggiPagina"}));
}

TEST_F(MemoxSim, UsbKeyFaults) {
  struct Caso {
    const char* nome;
    const char* guasti;
    int apre;
    int riconosce;
    int kind;
  };
  const Caso casi[] = {
      {"no memory", R"({"assente": true})", 1, 1, kChiaveAssente},
      {"mode refused", R"({"modoRifiutato": true})", 0, 0, -1},
      {"no answer", R"({"nessunaRisposta": true})", 0, 0, -1},
      {"not ready three times", R"({"nonPronto": 3})", 1, 1, kChiave264x4096},
      {"every reply first not ready", R"({"nonPronto": "sempre"})", 1, 1, kChiave264x4096},
      {"never ready", R"({"nonPronto": 1000000})", 0, 0, -1},
  };
  int i = 0;
  for (const auto& c : casi) {
    SCOPED_TRACE(c.nome);
    const std::string nome = "usbguasto" + std::to_string(i++);
    auto sim = Avvia(nome, {"--devices", Dispositivi(nome, std::string(R"({"chiave": {"guasti": )") + c.guasti + "}}")});
    ASSERT_TRUE(sim->Pronto());
    CMemoxUsb k;
    ASSERT_EQ(k.Apri(0), c.apre);
    if (!c.apre) continue;
    int kind = -1;
    EXPECT_EQ(k.RiconosciChiave(&kind), c.riconosce);
    EXPECT_EQ(kind, c.kind);
  }
}

TEST_F(MemoxSim, UsbPageWriteAndEraseRefused) {
  auto sim = Avvia("usbpagine", {"--devices", Dispositivi("usbpagine",
                                                          R"({"chiave": {"guasti": {"scritturaFallita": [5],
                                                              "cancellazioneFallita": [0]}}})")});
  ASSERT_TRUE(sim->Pronto());
  CMemoxUsb k;
  ASSERT_EQ(k.Apri(0), 1);
  int kind = -1;
  ASSERT_EQ(k.RiconosciChiave(&kind), 1);
  const Byte p = Motivo(264, 1);
  EXPECT_EQ(k.ScriviPagina(5, 0, p.data(), 264), 0);
  EXPECT_EQ(k.ScriviPagina(6, 0, p.data(), 264), 1);
  EXPECT_EQ(k.CancellaPagina(0), 0);
  EXPECT_EQ(k.CancellaPagina(1), 1);
  EXPECT_EQ(k.CancellaTutto(), 0);
  // Beyond the key's last page the key answers a status.
  Byte letto(264);
  EXPECT_EQ(k.LeggiPagina(4096, 0, letto.data(), 264), 0);
}

TEST_F(MemoxSim, ParallelKeyOnABasicDriver) {
  auto sim = Avvia("lptbase", {"--driver", "base"});
  ASSERT_TRUE(sim->Pronto());
  CMemoxParallela k;
  ASSERT_EQ(k.Apri(0), 1);
  EXPECT_FALSE(k.DriverEsteso());
  int kind = -1;
  ASSERT_EQ(k.RiconosciChiave(&kind), 1);
  EXPECT_EQ(kind, kChiave264x4096);
  const Byte p = Motivo(264, 3);
  ASSERT_EQ(k.ScriviPagina(4095, 0, p.data(), 264), 1);
  Byte letto(264);
  ASSERT_EQ(k.LeggiPagina(4095, 0, letto.data(), 264), 1);
  EXPECT_EQ(letto, p);
  Byte parte(64);
  ASSERT_EQ(k.LeggiIntervallo(4095, 200, parte.data(), 64), 1);
  EXPECT_EQ(parte, Byte(p.begin() + 200, p.end()));
  ASSERT_EQ(k.ScriviPagina(17, 0, p.data(), 264), 1);
  ASSERT_EQ(k.CancellaPagina(17), 1);
  EXPECT_EQ(k.CancellaTutto(), 0);
  EXPECT_EQ(k.Chiudi(), 1);
  sim->Ferma();
  const Byte file = sim->Chiave();
  EXPECT_EQ(PaginaNelFile(file, 264, 4095), p);
  EXPECT_EQ(PaginaNelFile(file, 264, 17), Byte(264, 0xFF));
  EXPECT_EQ(Richieste(sim->Dump(), "lpt"),
            (std::vector<std::string>{"esteso", "identifica", "scrivi", "leggiB", "leggiA", "scrivi",
                                      "cancellaPagina"}));
}

TEST_F(MemoxSim, ParallelKeyOf528BytePagesNeedsTheExtendedDriver) {
  {
    // A basic driver: the key is recognised, and the extended set is missing.
    auto sim = Avvia("lpt528base", {"--driver", "base", "--key-page-size", "528"});
    ASSERT_TRUE(sim->Pronto());
    CMemoxParallela k;
    ASSERT_EQ(k.Apri(0), 1);
    EXPECT_FALSE(k.DriverEsteso());
    int kind = -1;
    ASSERT_EQ(k.RiconosciChiave(&kind), 1);
    EXPECT_EQ(kind, kChiave528x4096);
    k.Chiudi();
  }
  auto sim = Avvia("lpt528", {"--driver", "esteso", "--key-page-size", "528"});
  ASSERT_TRUE(sim->Pronto());
  CMemoxParallela k;
  ASSERT_EQ(k.Apri(0), 1);
  EXPECT_TRUE(k.DriverEsteso());
  int kind = -1;
  ASSERT_EQ(k.RiconosciChiave(&kind), 1);
  EXPECT_EQ(kind, kChiave528x4096);
  EXPECT_EQ(k.DimensionePagina(), 528);
  const Byte p = Motivo(528, 11);
  ASSERT_EQ(k.ScriviPagina(4095, 0, p.data(), 528), 1);
  Byte letto(528);
  ASSERT_EQ(k.LeggiPagina(4095, 0, letto.data(), 528), 1);
  EXPECT_EQ(letto, p);
  Byte parte(28);
  ASSERT_EQ(k.LeggiIntervallo(4095, 500, parte.data(), 28), 1);
  EXPECT_EQ(parte, Byte(p.begin() + 500, p.end()));
  k.Chiudi();
  sim->Ferma();
  EXPECT_EQ(PaginaNelFile(sim->Chiave(), 528, 4095), p);
  EXPECT_EQ(Richieste(sim->Dump(), "lpt"),
            (std::vector<std::string>{"esteso", "identifica", "scriviEstesa", "leggiBEstesa", "leggiAEstesa"}));
}

TEST_F(MemoxSim, ParallelKeyFaults) {
  struct Caso {
    const char* nome;
    const char* dispositivi;
    int riconosce;
    int kind;
  };
  const Caso casi[] = {
      {"no memory", R"({"chiave": {"guasti": {"assente": true}}})", 1, kChiaveAssente},
      {"memory not answering", R"({"chiave": {"guasti": {"tipo": 0}}})", 1, kChiaveGuasta},
      {"unknown density", R"({"chiave": {"guasti": {"tipo": 188}}})", 1, kChiaveSconosciuta},
      {"8192 pages", R"({"chiave": {"dimensionePagina": 528, "numeroPagine": 8192}})", 1, kChiave528x8192},
      {"no answer", R"({"chiave": {"guasti": {"nessunaRisposta": true}}})", 0, -1},
  };
  int i = 0;
  for (const auto& c : casi) {
    SCOPED_TRACE(c.nome);
    const std::string nome = "lptguasto" + std::to_string(i++);
    auto sim = Avvia(nome, {"--devices", Dispositivi(nome, c.dispositivi)});
    ASSERT_TRUE(sim->Pronto());
    CMemoxParallela k;
    ASSERT_EQ(k.Apri(0), 1);
    int kind = -1;
    EXPECT_EQ(k.RiconosciChiave(&kind), c.riconosce);
    EXPECT_EQ(kind, c.kind);
    k.Chiudi();
  }
  // Refused page writes and erases.
  auto sim = Avvia("lptpagine", {"--devices", Dispositivi("lptpagine", R"({"chiave": {"guasti": {
                                     "scritturaFallita": [5], "cancellazioneFallita": [0]}}})")});
  ASSERT_TRUE(sim->Pronto());
  CMemoxParallela k;
  ASSERT_EQ(k.Apri(0), 1);
  ASSERT_TRUE(k.DriverEsteso());
  int kind = -1;
  ASSERT_EQ(k.RiconosciChiave(&kind), 1);
  const Byte p = Motivo(264, 1);
  EXPECT_EQ(k.ScriviPagina(5, 0, p.data(), 264), 0);
  EXPECT_EQ(k.ScriviPagina(6, 0, p.data(), 264), 1);
  EXPECT_EQ(k.CancellaPagina(0), 0);
  EXPECT_EQ(k.CancellaPagina(1), 1);
}

TEST_F(MemoxSim, NoDeviceAtTheEndpoint) {
  ImpostaPuntiDispositivi({"unix:/nonexistent/usb", {{1, "unix:/nonexistent/lpt"}}, {}});
  CMemoxUsb u;
  EXPECT_EQ(u.Apri(0), 0);
  EXPECT_EQ(u.CancellaTutto(), 0);
  CMemoxParallela p;
  EXPECT_EQ(p.Apri(0), 0);
  EXPECT_EQ(p.Apri(1), 0);  // no LPT2
}

}  // namespace
}  // namespace bricola
