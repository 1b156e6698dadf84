#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "image/memoria.h"

namespace bricola {
namespace {

std::uint64_t Somma(const SSettore* lista, std::uint32_t numero) {
  std::uint64_t s = 0;
  for (std::uint32_t i = 0; i < numero; ++i) {
    if (lista[i].ripetizioni > 0) s += static_cast<std::uint64_t>(lista[i].ripetizioni) * lista[i].dimensione;
  }
  return s;
}

struct SMappaNominata {
  const char* nome;
  const SMappa* mappa;
  std::uint32_t regioni;
};

const SMappaNominata kMappe[] = {
    {"M256", &kMappaM256, 6}, {"M64", &kMappaM64, 1},     {"MPIC", &kMappaMPIC, 2},   {"M512", &kMappaM512, 8},
    {"M512x", &kMappaM512x, 4}, {"M512r", &kMappaM512r, 2}, {"MAuto", &kMappaMAuto, 1},
};

TEST(Mappe, SelfCheck) {
  for (const auto& m : kMappe) {
    SCOPED_TRACE(m.nome);
    ASSERT_EQ(m.mappa->numRegioni, m.regioni);
    for (std::uint32_t i = 0; i < m.mappa->numRegioni; ++i) {
      const SRegione& r = m.mappa->regioni[i];
      EXPECT_LT(r.inizio, r.fine);
      for (std::uint32_t k = 0; k < i; ++k) {
        const SRegione& altra = m.mappa->regioni[k];
        EXPECT_TRUE(r.fine <= altra.inizio || r.inizio >= altra.fine) << "regions " << k << " and " << i << " overlap";
      }
      if (r.interna != 0) {
        // The micro's own flash: the sectors cover the region exactly.
        EXPECT_EQ(Somma(r.listaA, r.numListaA), std::uint64_t{r.fine} - r.inizio);
        EXPECT_EQ(r.listaA, r.listaB);
      }
      EXPECT_EQ(r.dati == nullptr, r.lunghezzaDati == 0u);
    }
  }
  EXPECT_EQ(Somma(kListaF256.voci, kListaF256.numero), 0x40000u);
  EXPECT_EQ(Somma(kListaF512.voci, kListaF512.numero), 0x80000u);
  EXPECT_EQ(Somma(kListaP64.voci, kListaP64.numero), 0x8000u);
  EXPECT_EQ(kMappaMPIC.regioni[0].mascheraAllineamento, 7);
  EXPECT_EQ(kMappaMPIC.regioni[1].senzaCancellazione, 1u);
  ASSERT_EQ(kMappaMPIC.regioni[1].lunghezzaDati, 16u);
  EXPECT_EQ(kMappaMPIC.regioni[1].dati[1], 0xD8);
  EXPECT_EQ(kMappaMPIC.regioni[1].dati[6], 0x85);
}

TEST(Mappe, ChosenByLoadKind) {
  EXPECT_EQ(&MappaPerTipoLoad(4), &kMappaM64);
  EXPECT_EQ(&MappaPerTipoLoad(5), &kMappaMPIC);
  EXPECT_EQ(&MappaPerTipoLoad(7), &kMappaM512);
  EXPECT_EQ(&MappaPerTipoLoad(9), &kMappaM512x);
  EXPECT_EQ(&MappaPerTipoLoad(11), &kMappaM512r);
  for (int t : {0, 1, 2, 3, 6, 8, 10, 12, 13}) EXPECT_EQ(&MappaPerTipoLoad(t), &kMappaM256) << t;
}

class Memoria256 : public ::testing::Test {
 protected:
  void SetUp() override { mem.ImpostaMappa(kMappaM256); }

  // ProssimoSettore at `a`; -1 when out of the map.
  int Prossimo(std::uint32_t a, std::uint32_t* inizio = nullptr, std::uint32_t* fine = nullptr) {
    std::uint32_t s = 0, e = 0;
    bool fuori = false;
    const int r = mem.ProssimoSettore(a, false, s, e, fuori);
    if (inizio) *inizio = s;
    if (fine) *fine = e;
    return fuori ? -1 : r;
  }

  CMemoria mem;
};

TEST_F(Memoria256, SectorOfAnAddressAndLengthInSector) {
  std::uint32_t s = 0, e = 0, n = 99;
  const std::uint8_t* dati = reinterpret_cast<const std::uint8_t*>(&n);
  ASSERT_EQ(mem.TrovaSettore(0xFC8000, s, e, dati, n), 1);
  EXPECT_EQ(s, 0xFC0000u);
  EXPECT_EQ(e, 0xFD0000u);
  EXPECT_EQ(dati, nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(mem.LunghezzaNelSettore(0x200, 0xFCFF00, dati, n), 0x100);
  EXPECT_EQ(mem.LunghezzaNelSettore(0x100, 0xFCFF00, dati, n), 0x100);
  EXPECT_EQ(mem.LunghezzaNelSettore(0x10, 0xFC0000, dati, n), 0x10);
  // The small sectors at the top: 0x8000, 0x2000, 0x2000, 0x4000.
  ASSERT_EQ(mem.TrovaSettore(0xFFA000, s, e, dati, n), 1);
  EXPECT_EQ(s, 0xFFA000u);
  EXPECT_EQ(e, 0xFFC000u);
  ASSERT_EQ(mem.TrovaSettore(0xFFFFFF, s, e, dati, n), 1);
  EXPECT_EQ(s, 0xFFC000u);
  EXPECT_EQ(e, 0x1000000u);
  EXPECT_EQ(mem.TrovaSettore(0x100000, s, e, dati, n), 0);
  // A packet running past the end of the map fits nowhere.
  EXPECT_EQ(mem.LunghezzaNelSettore(0x20, 0xFFFFF0, dati, n), 0);
  EXPECT_EQ(mem.MascheraAllineamento(), 1);
  EXPECT_TRUE(mem.PrimaRegioneNonLineare());
}

TEST_F(Memoria256, EachSectorIsHandedOutOnceWhileWritingInOrder) {
  std::uint32_t s = 0, e = 0;
  EXPECT_EQ(Prossimo(0xFC0010, &s, &e), 1);
  EXPECT_EQ(s, 0xFC0000u);
  EXPECT_EQ(e, 0xFD0000u);
  EXPECT_EQ(mem.UltimoSettore(), 0xFC0000u);
  EXPECT_EQ(Prossimo(0xFC0020), 0);
  EXPECT_EQ(Prossimo(0xFCFFFF), 0);
  EXPECT_EQ(Prossimo(0xFD0000, &s), 1);
  EXPECT_EQ(s, 0xFD0000u);
  EXPECT_EQ(Prossimo(0xFD0001), 0);
  // With senzaCancellazione nothing is handed out.
  std::uint32_t a = 0, b = 0;
  bool fuori = true;
  EXPECT_EQ(mem.ProssimoSettore(0xFE0000, true, a, b, fuori), 0);
  EXPECT_FALSE(fuori);
  EXPECT_EQ(mem.UltimoSettore(), 0xFD0000u);
}

TEST_F(Memoria256, AddressesOutsideEveryRegion) {
  EXPECT_EQ(Prossimo(0x100), -1);
  std::uint32_t inizio = 0;
  bool senza = true, fuori = false;
  EXPECT_EQ(mem.RegioneDaIdentificare(0x100, inizio, senza, fuori), 1);
  EXPECT_TRUE(fuori);
  EXPECT_EQ(mem.RegioneDaIdentificare(0xE00000, inizio, senza, fuori), 1);
  EXPECT_TRUE(fuori);
}

TEST_F(Memoria256, KnownChipIsSelectedWithoutAskingTheBoard) {
  std::uint32_t inizio = 0x1234;
  bool senza = true, fuori = true;
  EXPECT_EQ(mem.RegioneDaIdentificare(0x400100, inizio, senza, fuori), 0);
  EXPECT_FALSE(fuori);
  EXPECT_FALSE(senza);
  EXPECT_EQ(mem.regioneAttiva, 1);
  EXPECT_EQ(mem.settoriAttivi, kListaEBottom.voci);
  EXPECT_EQ(mem.ripetizioni, 31u);  // (0x200000 - 0x10000) / 0x10000
  // EBottom: 0x4000, 0x2000, 0x2000, 0x8000, then 64 KB sectors.
  std::uint32_t s = 0, e = 0;
  EXPECT_EQ(Prossimo(0x400100, &s, &e), 1);
  EXPECT_EQ(s, 0x400000u);
  EXPECT_EQ(e, 0x404000u);
  EXPECT_EQ(Prossimo(0x409000, &s, &e), 1);
  EXPECT_EQ(s, 0x408000u);
  EXPECT_EQ(e, 0x410000u);
  EXPECT_EQ(Prossimo(0x5FFFFF, &s, &e), 1);
  EXPECT_EQ(s, 0x5F0000u);
  EXPECT_EQ(e, 0x600000u);
  // The micro's own flash is still found while an external chip is active.
  EXPECT_EQ(Prossimo(0xFC0000, &s), 1);
  EXPECT_EQ(s, 0xFC0000u);
}

TEST_F(Memoria256, UnknownChipIsAskedForUntilSelected) {
  std::uint32_t inizio = 0;
  bool senza = true, fuori = true;
  EXPECT_EQ(mem.RegioneDaIdentificare(0x612345, inizio, senza, fuori), 1);
  EXPECT_FALSE(fuori);
  EXPECT_EQ(inizio, 0x600000u);
  EXPECT_EQ(mem.RegioneDaIdentificare(0x6F0000, inizio, senza, fuori), 1);
  EXPECT_EQ(inizio, 0x600000u);
  // The board reports a 1 MB chip; list A (ETop) with the repeating entry first.
  ASSERT_EQ(mem.SelezionaRegione(0x600000, 0x100000, true), 1);
  EXPECT_EQ(mem.ripetizioni, 15u);
  EXPECT_EQ(mem.RegioneDaIdentificare(0x612345, inizio, senza, fuori), 0);
  std::uint32_t s = 0, e = 0;
  EXPECT_EQ(Prossimo(0x612345, &s, &e), 1);
  EXPECT_EQ(s, 0x610000u);
  EXPECT_EQ(e, 0x620000u);
  EXPECT_EQ(Prossimo(0x6F9000, &s, &e), 1);  // top: 0x8000, 0x2000, 0x2000, 0x4000
  EXPECT_EQ(s, 0x6F8000u);
  EXPECT_EQ(e, 0x6FA000u);
  EXPECT_EQ(Prossimo(0x700000), -1);  // beyond the chip: not in the active list
  EXPECT_EQ(mem.SelezionaRegione(0x650000, 0x100000, true), 0);  // no region starts there
}

TEST_F(Memoria256, ImpostaMappaResetsTheState) {
  ASSERT_EQ(Prossimo(0xFC0000), 1);
  ASSERT_EQ(mem.SelezionaRegione(0x600000, 0x200000, true), 1);
  mem.ImpostaLineare(0x1000, 0x100);
  mem.ImpostaMappa(kMappaM256);
  EXPECT_EQ(mem.UltimoSettore(), 0u);
  EXPECT_FALSE(mem.lineare);
  EXPECT_EQ(mem.regioneAttiva, -1);
  EXPECT_EQ(mem.settoriAttivi, nullptr);
  EXPECT_EQ(Prossimo(0xFC0000), 1);
}

TEST(Memoria, SelezionaRegioneSplitsWhatTheFixedEntriesLeave) {
  struct {
    std::uint32_t dimensione;
    std::uint32_t attese;
  } casi[] = {{0x200000, 31}, {0x10000, 0}, {0x8000, 0}, {0x80000, 7}, {0x18000, 0}, {0x20000, 1}};
  CMemoria mem;
  mem.ImpostaMappa(kMappaM256);
  for (const auto& c : casi) {
    ASSERT_EQ(mem.SelezionaRegione(0x600000, c.dimensione, true), 1);
    EXPECT_EQ(mem.ripetizioni, c.attese) << std::hex << c.dimensione;
  }
  // A list without a repeating entry divides by 1.
  mem.ImpostaMappa(kMappaM512);
  ASSERT_EQ(mem.SelezionaRegione(0x200000, 0x180000, true), 1);
  EXPECT_EQ(mem.ripetizioni, 0x80000u);
}

TEST(Memoria, SectorAtAddressZeroIsNotHandedOutFirst) {
  CMemoria mem;
  mem.ImpostaMappa(kMappaMPIC);
  std::uint32_t s = 1, e = 1;
  bool fuori = true;
  EXPECT_EQ(mem.ProssimoSettore(0x10, false, s, e, fuori), 0);
  EXPECT_FALSE(fuori);
  EXPECT_EQ(mem.ProssimoSettore(0x40, false, s, e, fuori), 1);
  EXPECT_EQ(s, 0x40u);
  EXPECT_EQ(e, 0x80u);
  EXPECT_EQ(mem.MascheraAllineamento(), 7);
  // The configuration block comes with its data.
  const std::uint8_t* dati = nullptr;
  std::uint32_t n = 0;
  ASSERT_EQ(mem.TrovaSettore(0x300004, s, e, dati, n), 1);
  EXPECT_EQ(s, 0x300000u);
  EXPECT_EQ(e, 0x300010u);
  EXPECT_EQ(n, 16u);
  ASSERT_NE(dati, nullptr);
  EXPECT_EQ(dati[0], 0xFF);
  std::uint32_t inizio = 0;
  bool senza = false;
  EXPECT_EQ(mem.RegioneDaIdentificare(0x300000, inizio, senza, fuori), 0);
  EXPECT_TRUE(senza);
}

TEST(Memoria, LinearWindowOfABoardThatDescribesItsMemory) {
  CMemoria mem;
  mem.ImpostaMappa(kMappaMAuto);
  EXPECT_FALSE(mem.PrimaRegioneNonLineare());
  std::uint32_t inizio = 0;
  bool senza = true, fuori = true;
  EXPECT_EQ(mem.RegioneDaIdentificare(0x123456, inizio, senza, fuori), 1);
  EXPECT_EQ(inizio, 0xFFFFFFFFu);
  EXPECT_FALSE(fuori);
  mem.ImpostaLineare(0x120000, 0x10000);
  EXPECT_EQ(mem.RegioneDaIdentificare(0x123456, inizio, senza, fuori), 0);
  EXPECT_EQ(mem.RegioneDaIdentificare(0x130000, inizio, senza, fuori), 1);

  const std::uint8_t* dati = nullptr;
  std::uint32_t n = 0;
  EXPECT_EQ(mem.LunghezzaNelSettore(0x100, 0x11FFFF, dati, n), 0);
  EXPECT_EQ(mem.LunghezzaNelSettore(0x100, 0x120000, dati, n), 0x100);
  EXPECT_EQ(mem.LunghezzaNelSettore(0x100, 0x12FF80, dati, n), 0x80);
  EXPECT_EQ(mem.LunghezzaNelSettore(0x80, 0x12FF80, dati, n), 0x80);

  std::uint32_t s = 0, e = 0;
  EXPECT_EQ(mem.ProssimoSettore(0x120000, false, s, e, fuori), 1);
  EXPECT_EQ(s, 0x120000u);
  EXPECT_EQ(e, 0x130000u);
  EXPECT_EQ(mem.ProssimoSettore(0x120100, false, s, e, fuori), 0);
  mem.ImpostaLineare(0x130000, 0x10000);
  EXPECT_EQ(mem.ProssimoSettore(0x130000, true, s, e, fuori), 0);
  EXPECT_EQ(mem.ProssimoSettore(0x130000, false, s, e, fuori), 1);
  EXPECT_EQ(mem.UltimoSettore(), 0x130000u);
}

TEST(Memoria, ExternalChipsOfM512AreAskedFor) {
  CMemoria mem;
  mem.ImpostaMappa(kMappaM512);
  std::uint32_t inizio = 0;
  bool senza = true, fuori = true;
  EXPECT_EQ(mem.RegioneDaIdentificare(0x310000, inizio, senza, fuori), 1);
  EXPECT_EQ(inizio, 0x300000u);
  ASSERT_EQ(mem.SelezionaRegione(0x300000, 0x100000, true), 1);
  std::uint32_t s = 0, e = 0;
  EXPECT_EQ(mem.ProssimoSettore(0x3FFFFF, false, s, e, fuori), 1);
  EXPECT_EQ(s, 0x3F0000u);
  // The micro's 512 KB: F512 from 0xF80000.
  const std::uint8_t* dati = nullptr;
  std::uint32_t n = 0;
  ASSERT_EQ(mem.TrovaSettore(0xFBE000, s, e, dati, n), 1);
  EXPECT_EQ(s, 0xFBC000u);
  EXPECT_EQ(e, 0xFC0000u);
  ASSERT_EQ(mem.TrovaSettore(0xFC0000, s, e, dati, n), 1);
  EXPECT_EQ(e, 0xFD0000u);
}

}  // namespace
}  // namespace bricola
