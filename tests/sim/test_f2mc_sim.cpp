// An F2MC board driven as the PC drives it: the reset into the ROM bootstrap,
// the F2MC-16LX and F2MC-16FX bootstrap dialects with the byte examples of
// their frames, the RAM loaders recognised by their pieces and the boot
// protocol they answer, the micro query, the powered-late and powered-by-hand
// boards, the faults and the anomalies noted for the examiner.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/descrizione_sim.h"
#include "sim/macchina_sim.h"

namespace bricola::sim {
namespace {

using Byte = std::vector<std::uint8_t>;

Byte Pattern(std::size_t n, std::uint32_t seme) {
  Byte b(n);
  for (auto& v : b) {
    seme = seme * 1103515245u + 12345u;
    v = static_cast<std::uint8_t>(seme >> 16);
  }
  return b;
}

// F2MC-16LX block: 00, address high, low, 00, n, data, low byte of the sum.
Byte BloccoLx(std::uint16_t a, const Byte& d) {
  Byte r{0x00, static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a), 0x00,
         static_cast<std::uint8_t>(d.size())};
  r.insert(r.end(), d.begin(), d.end());
  std::uint8_t s = 0;
  for (auto b : r) s = static_cast<std::uint8_t>(s + b);
  r.push_back(s);
  return r;
}

std::uint8_t Piega(const Byte& d, std::size_t n) {
  std::uint32_t s = 0;
  for (std::size_t i = 0; i < n; ++i) s += d[i];
  while (s >= 256) s = ((s >> 16) & 0xFF) + ((s >> 8) & 0xFF) + (s & 0xFF);
  return static_cast<std::uint8_t>(0xFF - s);
}

// F2MC-16FX block: 12, address low, high, 00, n (256 as 00), header check, data, frame check.
Byte BloccoFx(std::uint16_t a, const Byte& d) {
  Byte r{0x12, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8), 0x00,
         static_cast<std::uint8_t>(d.size() & 0xFF)};
  r.push_back(Piega(r, 5));
  r.insert(r.end(), d.begin(), d.end());
  r.push_back(Piega(r, r.size()));
  return r;
}

Byte Richiesta(Byte r) {
  AggiungiControlloRichiesta(r);
  return r;
}

Byte Ind3(std::uint32_t a) {
  return {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a >> 16)};
}

Byte Unisci(std::initializer_list<Byte> parti) {
  Byte r;
  for (const auto& p : parti) r.insert(r.end(), p.begin(), p.end());
  return r;
}

class F2mcSim : public ::testing::Test {
 protected:
  void Macchina(const std::string& f2mc, const std::string& flash = "") {
    DescrizioneMacchina d;
    std::string errore;
    const std::string testo = "{\"schede\": [{\"nome\": \"m\", \"f2mc\": " + f2mc +
                              (flash.empty() ? std::string() : ", \"flash\": " + flash) + "}]}";
    ASSERT_TRUE(LeggiDescrizione(testo, ".", d, errore)) << errore;
    m = std::make_unique<CMacchinaSim>(std::move(d.schede));
    trascrizione = std::make_unique<CTrascrizione>(&testoTrascrizione, 0);
    m->ImpostaTrascrizione(trascrizione.get());
  }
  CChipF2mcSim& Chip() { return *m->Scheda(0).f2mc; }

  // The reset of the ROM-bootstrap writers: DTR, RTS, DTR cleared.
  void ResetBootstrap(std::uint32_t baud) {
    m->ImpostaBaud(baud, ora);
    m->ImpostaDtr(true, ora);
    m->ImpostaRts(true, ora += 27);
    m->ImpostaDtr(false, ora += 600);
    ora += 400;
  }
  Byte Invia(const Byte& b) {
    ora += 10;
    Byte r;
    for (const auto& u : m->DalPc(b.data(), b.size(), ora)) r.insert(r.end(), u.byte.begin(), u.byte.end());
    return r;
  }
  // Sends a loader's pieces (16LX blocks of up to 255 bytes), checking each acknowledge.
  void PezziLx(const std::vector<std::pair<std::uint16_t, std::size_t>>& pezzi) {
    ASSERT_EQ(Invia({0x18}), Byte{0x11});
    std::uint32_t seme = 1;
    for (const auto& [a, n] : pezzi) {
      const Byte d = Pattern(n, seme++);
      for (std::size_t k = 0; k < n; k += 255) {
        const Byte parte(d.begin() + static_cast<std::ptrdiff_t>(k),
                         d.begin() + static_cast<std::ptrdiff_t>(std::min(n, k + 255)));
        ASSERT_EQ(Invia(BloccoLx(static_cast<std::uint16_t>(a + k), parte)), Byte{0x01});
      }
    }
  }
  void Esegui(std::uint32_t baud) {
    EXPECT_EQ(Invia({0x40, 0x00, 0x00, 0x00, 0x00}), Byte{});
    ora += 200;
    m->ImpostaBaud(baud, ora);
    ora += 50;
  }

  std::unique_ptr<CMacchinaSim> m;
  std::ostringstream testoTrascrizione;
  std::unique_ptr<CTrascrizione> trascrizione;
  std::int64_t ora = 1000;
};

TEST_F(F2mcSim, SixteenLxBootstrapAnswersCheckBlocksAndRunsTheMb90f549Loader) {
  Macchina("{\"micro\": \"Q\"}");
  // Without the mode line the flash's resident boot runs at 38400.
  m->ImpostaDtr(true, ora);
  m->ImpostaDtr(false, ora += 600);
  EXPECT_EQ(m->Scheda(0).modo, ModoScheda::Boot);
  ResetBootstrap(4800);
  EXPECT_EQ(m->Scheda(0).modo, ModoScheda::Bootstrap);
  EXPECT_EQ(m->BaudLocale(), 4800u);
  // A block before any check is not taken; the check is answered every time.
  EXPECT_EQ(Invia(BloccoLx(0x0251, {1, 2, 3})), Byte{});
  EXPECT_EQ(Invia({0x18}), Byte{0x11});
  // Sum over every byte before it: 00 02 51 00 03 01 02 03 -> 0x5C.
  EXPECT_EQ(BloccoLx(0x0251, {1, 2, 3}).back(), 0x5C);
  Byte errato = BloccoLx(0x0251, {1, 2, 3});
  errato.back() ^= 1;
  EXPECT_EQ(Invia(errato), Byte{0x00});
  PezziLx({{0x0251, 1534}, {0x0990, 198}});
  Esegui(9600);
  EXPECT_EQ(Chip().Caricatore(), CaricatoreF2mc::Mb90F549);
  EXPECT_EQ(m->BaudLocale(), 9600u);
  const Byte r = Invia(Richiesta({0xFE}));
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[1], 0x80);
  EXPECT_TRUE(RispostaValida(r, 0xFE));
  const auto ram = Chip().IntervalliRam();
  ASSERT_EQ(ram.size(), 2u);
  EXPECT_EQ(ram[0].first, 0x0251u);
  EXPECT_EQ(ram[0].second, Pattern(1534, 1));
  EXPECT_EQ(ram[1].second, Pattern(198, 2));
}

TEST_F(F2mcSim, LoaderByItsPiecesAndSpeed) {
  struct Caso {
    const char* micro;
    std::vector<std::pair<std::uint16_t, std::size_t>> pezzi;
    CaricatoreF2mc atteso;
    std::uint32_t baud;
  };
  const std::vector<Caso> casi = {
      {"S", {{0x0190, 1732}}, CaricatoreF2mc::Mb90F497, 9600},
      {"R", {{0x0190, 1757}}, CaricatoreF2mc::Mb90F345, 38400},
      {"Q", {{0x0990, 198}, {0x0190, 556}}, CaricatoreF2mc::MicroQuery, 9600},
      {"Q", {{0x0190, 1000}}, CaricatoreF2mc::Ignoto, 4800},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(NomeCaricatore(c.atteso));
    Macchina(std::string("{\"micro\": \"") + c.micro + "\"}");
    ResetBootstrap(4800);
    PezziLx(c.pezzi);
    Esegui(c.baud);
    EXPECT_EQ(Chip().Caricatore(), c.atteso);
    if (c.atteso == CaricatoreF2mc::Ignoto) {
      EXPECT_EQ(Chip().Stato(), StatoF2mc::Fermo);
      EXPECT_EQ(Invia({0x18}), Byte{});
    } else {
      EXPECT_EQ(m->BaudLocale(), c.baud);
    }
  }
}

TEST_F(F2mcSim, MicroQueryLoaderAnswersTheBoardsLetter) {
  for (const char* micro : {"Q", "R", "S"}) {
    Macchina(std::string("{\"micro\": \"") + micro + "\"}");
    ResetBootstrap(4800);
    PezziLx({{0x0990, 198}, {0x0190, 556}});
    Esegui(9600);
    EXPECT_EQ(Invia({0xA5}), (Byte{0xA6, static_cast<std::uint8_t>(micro[0])}));
  }
}

TEST_F(F2mcSim, SixteenFxBootstrapChecksCalibratesFoldsAndExecutes) {
  Macchina("{\"micro\": \"T\"}");
  ResetBootstrap(19200);
  // 16LX bytes mean nothing to it.
  EXPECT_EQ(Invia({0x18}), Byte{});
  EXPECT_EQ(Invia({0x00, 0x55, 0x66, 0x77, 0x88}), Byte{'F'});
  // Blocks before calibrate off are not taken.
  EXPECT_EQ(Invia(BloccoFx(0x7900, Pattern(16, 1))), Byte{});
  EXPECT_EQ(Invia({0x00, 0x55, 0x87, 0x00, 0x78}), Byte{'i'});
  // The folded check: 12 00 79 00 00 -> 0x8B folded 0x8B -> check 0x74; a 256-byte block carries 00.
  const Byte d = Pattern(1732, 9);
  const Byte primo = BloccoFx(0x7900, Byte(d.begin(), d.begin() + 256));
  EXPECT_EQ(primo[4], 0x00);
  EXPECT_EQ(primo[5], 0x74);
  Byte guasto = primo;
  guasto.back() ^= 0x10;
  EXPECT_EQ(Invia(guasto), Byte{'<'});
  for (std::size_t k = 0; k < d.size(); k += 256) {
    const Byte parte(d.begin() + static_cast<std::ptrdiff_t>(k),
                     d.begin() + static_cast<std::ptrdiff_t>(std::min(d.size(), k + 256)));
    ASSERT_EQ(Invia(BloccoFx(static_cast<std::uint16_t>(0x7900 + k), parte)), Byte{'i'});
  }
  // The execute is acknowledged at the bootstrap speed, then the loader runs at 38400.
  EXPECT_EQ(Invia({0x9F, 0x20, 0x7A, 0x00, 0xC5}), Byte{'i'});
  EXPECT_EQ(Chip().Caricatore(), CaricatoreF2mc::Mb96F338);
  EXPECT_EQ(m->BaudLocale(), 38400u);
  m->ImpostaBaud(38400, ora += 200);
  EXPECT_EQ(Invia(Richiesta({0xFE})).size(), 4u);
  EXPECT_EQ(Chip().IntervalliRam()[0].second, d);
}

class F2mcCaricatore : public F2mcSim {
 protected:
  void Avvia(const std::string& f2mc, const std::string& flash = "") {
    Macchina(f2mc, flash);
    ResetBootstrap(4800);
    PezziLx({{0x0251, 1534}, {0x0990, 198}});
    Esegui(9600);
  }
  Byte Blank(std::uint32_t da, std::uint32_t a) { return Invia(Richiesta(Unisci({{0xEC}, Ind3(da), Ind3(a)}))); }
  Byte Erase(std::uint32_t a) { return Invia(Richiesta(Unisci({{0xEE}, Ind3(a)}))); }
  Byte Write(std::uint32_t a, const Byte& d) {
    return Invia(Richiesta(Unisci({{0xED}, Ind3(a),
                                   {static_cast<std::uint8_t>(d.size()), static_cast<std::uint8_t>(d.size() >> 8)},
                                   d})));
  }
  Byte Read(std::uint32_t a, std::uint16_t n) {
    return Invia(Richiesta(Unisci({{0xF2}, Ind3(a), {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)}})));
  }
};

TEST_F(F2mcCaricatore, BlankEraseWriteReadOfTheWritersLoader) {
  Avvia("{\"micro\": \"Q\"}",
        "{\"regioni\": [{\"inizio\": \"0xFC0000\", \"dimensione\": \"0x40000\", \"settori\": \"F256\"}],"
        " \"contenuto\": [{\"indirizzo\": \"0xFFA010\", \"dati\": \"00\"}], \"allineamento\": 1}");
  // Blank: EC, then the frame EC result check; the end is the sector's last word.
  Byte r = Blank(0xFF8000, 0xFF9FFE);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0], 0xEC);
  EXPECT_EQ(r[2], 0xFF);
  EXPECT_TRUE(RispostaValida(Byte(r.begin() + 1, r.end()), 0xEC));
  EXPECT_EQ(Blank(0xFFA000, 0xFFBFFE)[2], 0x00);
  r = Erase(0xFFA000);
  EXPECT_EQ(r[2], 0x00);
  EXPECT_TRUE(RispostaValida(Byte(r.begin() + 1, r.end()), 0xEE));
  const Byte d = Pattern(51, 3);
  r = Write(0xFFA001, d);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[1], 0x00);
  EXPECT_TRUE(RispostaValida(r, 0xED));
  r = Read(0xFFA001, 51);
  ASSERT_EQ(r.size(), 54u);
  EXPECT_EQ(Byte(r.begin() + 1, r.end() - 2), d);
  EXPECT_TRUE(RispostaValida(r, 0xF2));
  EXPECT_EQ(Chip().Anomalie(), std::vector<std::string>{});
  ASSERT_EQ(Chip().Scritture().size(), 1u);
  EXPECT_EQ(Chip().Scritture()[0].indirizzo, 0xFFA001u);
  // A request whose check is wrong gets F9.
  Byte guasta = Richiesta({0xFE});
  guasta.back() ^= 1;
  EXPECT_EQ(Invia(guasta), Byte{0xF9});
  // The MB90F549 loader does not know the chip erase.
  EXPECT_EQ(Invia(Richiesta(Unisci({{0xEF}, Ind3(0xF80000)}))), Byte{});
}

TEST_F(F2mcCaricatore, WhatACorrectPcNeverDoesIsAnAnomaly) {
  Avvia("{\"micro\": \"Q\", \"bufferCaricatore\": 64}");
  Blank(0xFF8000, 0xFF9FFE);
  // Across the sector end, into the sector never checked, all FF, over the buffer.
  Write(0xFF9FFF, {1, 2});
  Write(0xFF9000, Byte(8, 0xFF));
  EXPECT_EQ(Write(0xFF8000, Pattern(60, 1)), Byte{0xF9});
  Blank(0xFF8000, 0xFF8FFE);
  const auto& a = Chip().Anomalie();
  ASSERT_EQ(a.size(), 5u);
  EXPECT_NE(a[0].find("oltre la fine del settore ff8000"), std::string::npos) << a[0];
  EXPECT_NE(a[1].find("nel settore ffa000 mai verificato"), std::string::npos) << a[1];
  EXPECT_NE(a[2].find("soli FF"), std::string::npos) << a[2];
  EXPECT_NE(a[3].find("oltre il buffer di 64"), std::string::npos) << a[3];
  EXPECT_NE(a[4].find("non e' un settore intero"), std::string::npos) << a[4];
}

TEST_F(F2mcCaricatore, FaultsProtectedSectorWrongByteAndChangedStatus) {
  Avvia("{\"micro\": \"Q\", \"guasti\": [{\"tipo\": \"byteErrato\", \"indirizzo\": \"0xFFC002\", \"bit\": 0},"
        " {\"tipo\": \"stato\", \"parte\": \"Blank\", \"stato\": \"0x00\", \"volte\": 1}]}",
        "{\"mappa\": \"M256\", \"allineamento\": 1}");
  // The preset protects its top sector: the loader cannot erase it.
  EXPECT_EQ(Blank(0xFFC000, 0xFFFFFE)[2], 0x00);  // blank, but the fault says not
  EXPECT_NE(Erase(0xFFC000)[2], 0x00);
  EXPECT_EQ(Erase(0xFFA000)[2], 0x00);
  const Byte d{0x10, 0x20, 0x30, 0x40};
  EXPECT_EQ(Write(0xFFC000, d)[1], 0x00);
  const Byte r = Read(0xFFC000, 4);
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(Byte(r.begin() + 1, r.end() - 2), (Byte{0x10, 0x20, 0x31, 0x40}));
}

TEST_F(F2mcSim, Mb90f345LoaderErasesTheChip) {
  Macchina("{\"micro\": \"R\", \"cancellazioneChipMs\": 500}",
           "{\"mappa\": \"M512\", \"contenuto\": [{\"indirizzo\": \"0xF80000\", \"dati\": \"01 02\"}]}");
  // The preset's protected top sector makes the erase fail first.
  ResetBootstrap(4800);
  PezziLx({{0x0190, 1757}});
  Esegui(38400);
  ora += 10;
  const Byte q = Richiesta(Unisci({{0xEF}, Ind3(0xF80000)}));
  EXPECT_EQ(q.size(), 7u);
  auto u = m->DalPc(q.data(), q.size(), ora);
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0].ritardoMs, 500u);
  EXPECT_NE(u[0].byte[2], 0x00);
  EXPECT_EQ(m->Scheda(0).flash.Leggi(0xF80000), 0x01);

  Macchina("{\"micro\": \"R\"}");
  m->Scheda(0).flash.Carica(0xF80000, Byte{0x01}.data(), 1);
  ResetBootstrap(4800);
  PezziLx({{0x0190, 1757}});
  Esegui(38400);
  const Byte r = Invia(q);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[2], 0x00);
  EXPECT_TRUE(RispostaValida(Byte(r.begin() + 1, r.end()), 0xEF));
  EXPECT_EQ(m->Scheda(0).flash.Leggi(0xF80000), 0xFF);
}

TEST_F(F2mcSim, PoweredLateAndPoweredByHand) {
  Macchina("{\"micro\": \"Q\", \"accesaDopoMs\": 3000}");
  ResetBootstrap(4800);
  EXPECT_EQ(Invia({0x18}), Byte{});
  ora += 2000;
  EXPECT_EQ(Invia({0x18}), Byte{});
  ora += 2000;
  EXPECT_EQ(Invia({0x18}), Byte{0x11});

  // Off until the PC holds RTS: a DTR pulse does nothing, RTS powers it into the bootstrap.
  Macchina("{\"micro\": \"R\", \"accensione\": \"rts\", \"bootResidente\": false}");
  m->ImpostaBaud(4800, ora);
  m->ImpostaDtr(true, ora);
  m->ImpostaDtr(false, ora += 600);
  EXPECT_EQ(m->Scheda(0).reset, 0);
  EXPECT_EQ(Invia({0x18}), Byte{});
  m->ImpostaRts(true, ora += 10);
  EXPECT_EQ(Invia({0x18}), Byte{0x11});
  EXPECT_EQ(m->Scheda(0).reset, 1);
  // Released without the mode line and without a resident boot: silent.
  m->ImpostaRts(false, ora += 10);
  m->ImpostaDtr(true, ora);
  m->ImpostaDtr(false, ora += 600);
  m->ImpostaBaud(38400, ora);
  EXPECT_EQ(Invia(Richiesta({0xF3})), Byte{});
}

TEST_F(F2mcSim, WrongBlockAcknowledgeAndSilence) {
  Macchina("{\"micro\": \"Q\", \"guasti\": [{\"tipo\": \"bloccoErrato\", \"blocco\": 1, \"risposta\": \"0x55\"},"
           " {\"tipo\": \"silenzio\", \"parte\": \"check\", \"volte\": 1}]}");
  ResetBootstrap(4800);
  EXPECT_EQ(Invia({0x18}), Byte{});
  EXPECT_EQ(Invia({0x18}), Byte{0x11});
  EXPECT_EQ(Invia(BloccoLx(0x0251, Pattern(255, 1))), Byte{0x01});
  EXPECT_EQ(Invia(BloccoLx(0x0350, Pattern(255, 2))), Byte{0x55});
  EXPECT_EQ(Invia(BloccoLx(0x044F, Pattern(255, 3))), Byte{0x01});
}

TEST(F2mcDescrizione, MachineFileFieldsAndRefusals) {
  DescrizioneMacchina d;
  std::string e;
  ASSERT_TRUE(LeggiDescrizione("{\"schede\": [{\"f2mc\": {\"micro\": \"T\"}}]}", ".", d, e)) << e;
  // The MB96F338's own flash: the small sectors and the signature sector.
  EXPECT_NE(d.schede[0].flash.TrovaSettore(0xDF6000), nullptr);
  EXPECT_NE(d.schede[0].flash.TrovaSettore(0xFF0000), nullptr);
  EXPECT_EQ(d.schede[0].config.tipoMicro, 6);
  for (const char* cattivo : {"{\"micro\": \"U\"}", "{\"micro\": \"Q\", \"velocita\": 1}",
                              "{\"accensione\": \"mai\"}", "{\"rispostaCheck\": \"X\"}", "{\"guasti\": [{\"tipo\": \"boh\"}]}",
                              "{\"guasti\": [{\"tipo\": \"silenzio\", \"parte\": \"Fine\"}]}"}) {
    EXPECT_FALSE(LeggiDescrizione(std::string("{\"schede\": [{\"f2mc\": ") + cattivo + "}]}", ".", d, e)) << cattivo;
  }
  std::ostringstream dump;
  ASSERT_TRUE(LeggiDescrizione("{\"schede\": [{\"f2mc\": {\"micro\": \"S\"}}]}", ".", d, e)) << e;
  CMacchinaSim m(std::move(d.schede));
  ScriviDump(m, dump);
  EXPECT_NE(dump.str().find("\"caricatore\": \"nessuno\""), std::string::npos) << dump.str();
  EXPECT_NE(dump.str().find("\"anomalie\": []"), std::string::npos);
}

}  // namespace
}  // namespace bricola::sim
