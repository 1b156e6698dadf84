// The key on the parallel port against a scripted driver device: the code,
// input and room of every request in both request sets, the exact output
// lengths and statuses, and the limits that fail without a request.
#include <gtest/gtest.h>

#include <functional>

#include "key/memox_parallela.h"
#include "tests/key/finti.h"

namespace bricola {
namespace {

using prova::Byte;
using prova::MettiLe32;
using prova::StatoDriver;

Byte Le16(std::initializer_list<std::uint16_t> v) {
  Byte b;
  for (auto x : v) {
    b.push_back(static_cast<std::uint8_t>(x));
    b.push_back(static_cast<std::uint8_t>(x >> 8));
  }
  return b;
}

Byte Con(Byte a, const Byte& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Byte Dati(std::size_t n, std::uint8_t seme) {
  Byte b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seme + i * 5);
  return b;
}

// An output of n bytes with `stato` at `pos` and `dati` at `da`.
Byte Uscita(std::size_t n, std::size_t pos, std::uint32_t stato, const Byte& dati = {}, std::size_t da = 0) {
  Byte u(n, 0);
  MettiLe32(u, pos, stato);
  std::copy(dati.begin(), dati.end(), u.begin() + static_cast<long>(da));
  return u;
}

class MemoxParallela : public ::testing::Test {
 protected:
  void SetUp() override {
    DriverMemox().Ripristina();
    ImpostaApritoreDriver([this](int indice) -> std::unique_ptr<DispositivoDriver> {
      stato->indiciAperti.push_back(indice);
      if (!presente) return nullptr;
      return std::make_unique<prova::DriverFinto>(stato);
    });
  }
  void TearDown() override {
    DriverMemox().Ripristina();
    ImpostaApritoreDriver(nullptr);
  }
  void Rispondi(Byte uscita, bool riesce = true) { stato->risposte.push_back({riesce, std::move(uscita)}); }
  // Opens and, when asked, switches to the extended set.
  void Apri(bool esteso, std::uint16_t dimensione) {
    ASSERT_EQ(chiave.Apri(2), 1);
    if (esteso) Rispondi(Byte(8, 0));
    else Rispondi({}, false);
    ASSERT_EQ(chiave.DriverEsteso(), esteso);
    chiave.ImpostaDimensionePagina(dimensione);
    stato->richieste.clear();
  }

  std::shared_ptr<StatoDriver> stato = std::make_shared<StatoDriver>();
  bool presente = true;
  CMemoxParallela chiave;
};

TEST_F(MemoxParallela, OpenAndCloseTheProcessWideHandle) {
  EXPECT_EQ(chiave.DimensionePagina(), 264);
  EXPECT_EQ(chiave.NumeroPagine(), 4096u);
  EXPECT_FALSE(DriverMemox().Aperto());
  EXPECT_FALSE(DriverMemox().Esteso());
  ASSERT_EQ(chiave.Apri(1), 1);
  EXPECT_EQ(stato->indiciAperti, std::vector<int>{1});
  // Another object sees the same driver handle.
  CMemoxParallela altra;
  EXPECT_TRUE(DriverMemox().Aperto());
  EXPECT_EQ(altra.Chiudi(), 1);
  EXPECT_FALSE(DriverMemox().Aperto());
  EXPECT_EQ(chiave.Chiudi(), 0);
  EXPECT_EQ(stato->chiusure, 1);
  // Opening again over an open handle closes the old one first.
  ASSERT_EQ(chiave.Apri(0), 1);
  ASSERT_EQ(chiave.Apri(0), 1);
  EXPECT_EQ(stato->chiusure, 2);
  presente = false;
  EXPECT_EQ(chiave.Apri(0), 0);
  EXPECT_FALSE(DriverMemox().Aperto());
  EXPECT_EQ(chiave.Apri(-1), 0);
  // Requests on a closed handle fail without reaching anything.
  std::uint8_t b[16];
  std::uint8_t tipo = 0;
  EXPECT_EQ(chiave.LeggiTipo(&tipo), 0);
  EXPECT_EQ(chiave.LeggiPagina(0, 0, b, 16), 0);
  EXPECT_FALSE(chiave.DriverEsteso());
  EXPECT_TRUE(stato->richieste.empty());
}

TEST_F(MemoxParallela, ExtendedSetQuerySelectsTheRequestSet) {
  struct Caso {
    bool riesce;
    Byte uscita;
    bool esteso;
  };
  const Caso casi[] = {
      {true, Byte(8, 0), true},
      {true, Uscita(8, 4, 2), true},         // bytes 4..7 say nothing that matters
      {false, {}, false},                    // a basic driver refuses the code
      {true, Uscita(8, 0, 1), false},        // a status other than 0
      {true, Byte(4, 0), false},             // not the 8 bytes of the layout
      {true, Byte(9, 0), false},
  };
  ASSERT_EQ(chiave.Apri(0), 1);
  for (const auto& c : casi) {
    stato->richieste.clear();
    Rispondi(c.uscita, c.riesce);
    EXPECT_EQ(chiave.DriverEsteso(), c.esteso);
    EXPECT_EQ(DriverMemox().Esteso(), c.esteso);
    ASSERT_EQ(stato->richieste.size(), 1u);
    EXPECT_EQ(stato->richieste[0].codice, 0xE2E960A4u);
    EXPECT_TRUE(stato->richieste[0].ingresso.empty());
    EXPECT_EQ(stato->richieste[0].capacita, 8u);
  }
}

TEST_F(MemoxParallela, IdentifyAndRecognition) {
  struct Caso {
    bool riesce;
    Byte uscita;
    int esito;
    int kind;
    std::uint16_t dimensione;
    std::uint32_t pagine;
  };
  auto tipo = [](std::uint8_t t, std::uint32_t st = 0) {
    Byte u = Uscita(5, 1, st);
    u[0] = t;
    return u;
  };
  const Caso casi[] = {
      {true, tipo(0xA4), 1, kChiave264x4096, 264, 4096},
      {true, tipo(0xAC), 1, kChiave528x4096, 528, 4096},
      {true, tipo(0xB4), 1, kChiave528x8192, 528, 8192},
      {true, tipo(0xFF), 1, kChiaveAssente, 264, 4096},
      {true, tipo(0x00), 1, kChiaveGuasta, 264, 4096},
      {true, tipo(0xBC), 1, kChiaveSconosciuta, 264, 4096},
      {true, tipo(0xA4, 3), 0, -1, 264, 4096},     // a status other than 0
      {true, Byte(4, 0xA4), 0, -1, 264, 4096},     // short output
      {true, Byte(6, 0), 0, -1, 264, 4096},
      {false, tipo(0xA4), 0, -1, 264, 4096},
  };
  for (const auto& c : casi) {
    DriverMemox().Ripristina();
    CMemoxParallela k;
    ASSERT_EQ(k.Apri(0), 1);
    stato->richieste.clear();
    Rispondi(c.uscita, c.riesce);
    int kind = -1;
    EXPECT_EQ(k.RiconosciChiave(&kind), c.esito);
    if (c.esito) {
      EXPECT_EQ(kind, c.kind);
    }
    EXPECT_EQ(k.DimensionePagina(), c.dimensione);
    EXPECT_EQ(k.NumeroPagine(), c.pagine);
    // The driver layer builds its requests with the page size found.
    EXPECT_EQ(DriverMemox().DimensionePagina(), c.dimensione);
    ASSERT_EQ(stato->richieste.size(), 1u);
    EXPECT_EQ(stato->richieste[0].codice, 0xE2E9600Cu);
    EXPECT_TRUE(stato->richieste[0].ingresso.empty());
    EXPECT_EQ(stato->richieste[0].capacita, 5u);
  }
}

// One request of the page operations: what goes out, what comes back, the outcome.
struct CasoRichiesta {
  const char* nome;
  bool esteso;
  std::uint16_t dimensione;
  std::function<int(CMemoxParallela&, Byte& letto)> operazione;
  std::uint32_t codice;
  Byte ingresso;
  std::uint32_t capacita;
  bool riesce;
  Byte uscita;
  int esito;
  Byte letto;
};

TEST_F(MemoxParallela, PageRequestsOfBothSets) {
  const Byte d10 = Dati(10, 1);
  const Byte d264 = Dati(264, 2);
  const Byte d528 = Dati(528, 3);
  auto leggi = [](std::uint16_t p, std::uint16_t o, std::uint16_t n, bool b) {
    return [=](CMemoxParallela& k, Byte& l) {
      l.assign(n, 0);
      return b ? k.LeggiPagina(p, o, l.data(), n) : k.LeggiIntervallo(p, o, l.data(), n);
    };
  };
  auto scrivi = [](std::uint16_t p, const Byte& d) {
    return [=](CMemoxParallela& k, Byte&) { return k.ScriviPagina(p, 0, d.data(), static_cast<std::uint16_t>(d.size())); };
  };
  auto cancella = [](std::uint16_t p) { return [=](CMemoxParallela& k, Byte&) { return k.CancellaPagina(p); }; };
  auto ingressoScrittura = [](std::uint16_t p, const Byte& d, std::size_t n) {
    Byte in = Con(Le16({p, 0, static_cast<std::uint16_t>(d.size())}), {1});
    in = Con(in, d);
    in.resize(n, 0);
    return in;
  };
  auto ingressoScritturaEstesa = [](std::uint16_t p, const Byte& d, std::uint16_t dim) {
    Byte in = Con(Le16({p, 0, static_cast<std::uint16_t>(d.size())}), {1});
    in = Con(in, Le16({dim}));
    in = Con(in, d);
    in.resize(dim + 9u, 0);
    return in;
  };
  const CasoRichiesta casi[] = {
      {"erase", false, 264, cancella(0x0102), 0xE2E9602C, {0x02, 0x01, 1}, 4, true, Byte(4, 0), 1, {}},
      {"erase refused", false, 264, cancella(5), 0xE2E9602C, {5, 0, 1}, 4, true, Uscita(4, 0, 6), 0, {}},
      {"erase, long output", true, 528, cancella(5), 0xE2E9602C, {5, 0, 1}, 4, true, Byte(5, 0), 0, {}},
      {"erase, failed request", false, 264, cancella(5), 0xE2E9602C, {5, 0, 1}, 4, false, Byte(4, 0), 0, {}},
      // basic set
      {"read A", false, 264, leggi(5, 3, 10, false), 0xE2E96018, Le16({5, 3, 10}), 532, true,
       Uscita(532, 528, 0, d10, 0), 1, d10},
      {"read A of 528", false, 264, leggi(4095, 0, 528, false), 0xE2E96018, Le16({4095, 0, 528}), 532, true,
       Uscita(532, 528, 0, d528, 0), 1, d528},
      {"read A refused", false, 264, leggi(5, 3, 10, false), 0xE2E96018, Le16({5, 3, 10}), 532, true,
       Uscita(532, 528, 2, d10, 0), 0, {}},
      {"read A, output one short", false, 264, leggi(5, 3, 10, false), 0xE2E96018, Le16({5, 3, 10}), 532, true,
       Byte(531, 0), 0, {}},
      {"read B", false, 264, leggi(7, 0, 264, true), 0xE2E9601C, Le16({7, 0, 264}), 268, true,
       Uscita(268, 264, 0, d264, 0), 1, d264},
      {"read B refused", false, 264, leggi(7, 0, 264, true), 0xE2E9601C, Le16({7, 0, 264}), 268, true,
       Uscita(268, 264, 0x10, d264, 0), 0, {}},
      {"write", false, 264, scrivi(9, d10), 0xE2E96020, ingressoScrittura(9, d10, 271), 4, true, Byte(4, 0), 1, {}},
      {"write 264", false, 264, scrivi(4000, d264), 0xE2E96020, ingressoScrittura(4000, d264, 271), 4, true,
       Byte(4, 0), 1, {}},
      {"write refused", false, 264, scrivi(9, d10), 0xE2E96020, ingressoScrittura(9, d10, 271), 4, true,
       Uscita(4, 0, 5), 0, {}},
      // extended set
      {"extended read A", true, 528, leggi(8191, 100, 428, false), 0xE2E96038, Le16({8191, 100, 428}), 434, true,
       Uscita(434, 0, 0, Byte(d528.begin(), d528.begin() + 428), 6), 1, Byte(d528.begin(), d528.begin() + 428)},
      {"extended read B", true, 528, leggi(3, 0, 528, true), 0xE2E96034, Le16({3, 0, 528}), 534, true,
       Uscita(534, 0, 0, d528, 6), 1, d528},
      {"extended read B refused", true, 528, leggi(3, 0, 528, true), 0xE2E96034, Le16({3, 0, 528}), 534, true,
       Uscita(534, 0, 7, d528, 6), 0, {}},
      {"extended read, basic-sized output", true, 528, leggi(3, 0, 10, true), 0xE2E96034, Le16({3, 0, 10}), 16,
       true, Uscita(268, 264, 0), 0, {}},
      {"extended write 528", true, 528, scrivi(12, d528), 0xE2E96030, ingressoScritturaEstesa(12, d528, 528), 4,
       true, Byte(4, 0), 1, {}},
      {"extended write short", true, 528, scrivi(12, d10), 0xE2E96030, ingressoScritturaEstesa(12, d10, 528), 4,
       true, Byte(4, 0), 1, {}},
      {"extended write on 264-byte pages", true, 264, scrivi(1, d264), 0xE2E96030,
       ingressoScritturaEstesa(1, d264, 264), 4, true, Byte(4, 0), 1, {}},
      {"extended write refused", true, 528, scrivi(12, d10), 0xE2E96030, ingressoScritturaEstesa(12, d10, 528), 4,
       true, Uscita(4, 0, 5), 0, {}},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.nome);
    DriverMemox().Ripristina();
    CMemoxParallela k;
    stato->risposte.clear();
    ASSERT_EQ(k.Apri(0), 1);
    stato->risposte.push_back({c.esteso, c.esteso ? Byte(8, 0) : Byte{}});
    ASSERT_EQ(k.DriverEsteso(), c.esteso);
    k.ImpostaDimensionePagina(c.dimensione);
    stato->richieste.clear();
    Rispondi(c.uscita, c.riesce);
    Byte letto;
    EXPECT_EQ(c.operazione(k, letto), c.esito);
    ASSERT_EQ(stato->richieste.size(), 1u);
    EXPECT_EQ(stato->richieste[0].codice, c.codice);
    EXPECT_EQ(stato->richieste[0].ingresso, c.ingresso);
    EXPECT_EQ(stato->richieste[0].capacita, c.capacita);
    if (c.esito && !c.letto.empty()) {
      EXPECT_EQ(letto, c.letto);
    }
  }
}

TEST_F(MemoxParallela, LengthsBeyondTheLimitsFailWithoutARequest) {
  struct Caso {
    const char* nome;
    bool esteso;
    std::uint16_t dimensione;
    std::function<int(CMemoxParallela&, std::uint8_t*)> operazione;
  };
  const Caso casi[] = {
      {"basic read A over 528", false, 528, [](CMemoxParallela& k, std::uint8_t* b) { return k.LeggiIntervallo(0, 0, b, 529); }},
      {"basic read B over 264", false, 528, [](CMemoxParallela& k, std::uint8_t* b) { return k.LeggiPagina(0, 0, b, 265); }},
      {"basic read B over the page", false, 200, [](CMemoxParallela& k, std::uint8_t* b) { return k.LeggiPagina(0, 0, b, 201); }},
      {"basic write over 264", false, 528, [](CMemoxParallela& k, std::uint8_t* b) { return k.ScriviPagina(0, 0, b, 265); }},
      {"basic write over the page", false, 200, [](CMemoxParallela& k, std::uint8_t* b) { return k.ScriviPagina(0, 0, b, 201); }},
      {"extended read A over the page", true, 528, [](CMemoxParallela& k, std::uint8_t* b) { return k.LeggiIntervallo(0, 0, b, 529); }},
      {"extended read B over the page", true, 528, [](CMemoxParallela& k, std::uint8_t* b) { return k.LeggiPagina(0, 0, b, 529); }},
      {"extended read B over 2048", true, 2048, [](CMemoxParallela& k, std::uint8_t* b) { return k.LeggiPagina(0, 0, b, 2043); }},
      {"extended write over the page", true, 528, [](CMemoxParallela& k, std::uint8_t* b) { return k.ScriviPagina(0, 0, b, 529); }},
      {"extended write over 2048", true, 2048, [](CMemoxParallela& k, std::uint8_t* b) { return k.ScriviPagina(0, 0, b, 2040); }},
      {"whole-key erase", true, 528, [](CMemoxParallela& k, std::uint8_t*) { return k.CancellaTutto(); }},
      {"whole-key erase, basic set", false, 264, [](CMemoxParallela& k, std::uint8_t*) { return k.CancellaTutto(); }},
  };
  std::vector<std::uint8_t> b(4096, 0);
  for (const auto& c : casi) {
    SCOPED_TRACE(c.nome);
    DriverMemox().Ripristina();
    stato->risposte.clear();
    Apri(c.esteso, c.dimensione);
    EXPECT_EQ(c.operazione(chiave, b.data()), 0);
    EXPECT_TRUE(stato->richieste.empty());
  }
  // Right at the limits the requests go.
  DriverMemox().Ripristina();
  Apri(true, 2048);
  Rispondi(Uscita(2048, 0, 0));
  EXPECT_EQ(chiave.LeggiPagina(0, 0, b.data(), 2042), 1);
  Rispondi(Byte(4, 0));
  EXPECT_EQ(chiave.ScriviPagina(0, 0, b.data(), 2039), 1);
  EXPECT_EQ(stato->richieste.size(), 2u);
}

TEST_F(MemoxParallela, ExtendedSetThenABasicDriverGoesBackToTheBasicRequests) {
  Apri(true, 528);
  Rispondi(Uscita(16, 0, 0));
  std::uint8_t b[16];
  ASSERT_EQ(chiave.LeggiPagina(1, 0, b, 10), 1);
  // The next open finds a basic driver: the same read is a basic one.
  Apri(false, 264);
  Rispondi(Uscita(268, 264, 0));
  ASSERT_EQ(chiave.LeggiPagina(1, 0, b, 10), 1);
  ASSERT_EQ(stato->richieste.size(), 1u);
  EXPECT_EQ(stato->richieste[0].codice, 0xE2E9601Cu);
}

}  // namespace
}  // namespace bricola
