// An MB91F465 board driven as the PC drives it: resets with and without the
// boot-mode line, the ROM bootstrap's prefixed commands, the kernel download
// and call, the kernel's text commands and the chip erase of its resident boot.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "sim/descrizione_sim.h"
#include "sim/macchina_sim.h"

namespace bricola::sim {
namespace {

using Byte = std::vector<std::uint8_t>;

Byte Testo(const std::string& s) { return Byte(s.begin(), s.end()); }
std::string Stringa(const Byte& b) { return std::string(b.begin(), b.end()); }

Byte Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

Byte Unisci(std::initializer_list<Byte> parti) {
  Byte r;
  for (const auto& p : parti) r.insert(r.end(), p.begin(), p.end());
  return r;
}

// 'S' '2', count, 24-bit address high first, data, one's complement of the sum from the count on.
Byte RecordS2(std::uint32_t a, const Byte& dati) {
  Byte r{'S', '2', static_cast<std::uint8_t>(dati.size() + 4), static_cast<std::uint8_t>(a >> 16),
         static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)};
  r.insert(r.end(), dati.begin(), dati.end());
  std::uint8_t somma = 0;
  for (std::size_t i = 2; i < r.size(); ++i) somma = static_cast<std::uint8_t>(somma + r[i]);
  r.push_back(static_cast<std::uint8_t>(~somma));
  return r;
}

struct Segmento {
  std::uint32_t indirizzo;
  Byte dati;
};

// The kernel (any bytes of the right length run) and the seven short segments it needs.
std::vector<Segmento> SegmentiKernel(std::uint32_t seme = 7) {
  Byte kernel(0x3000);
  for (auto& b : kernel) {
    seme = seme * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seme >> 16);
  }
  return {{0x00030000, kernel},   {0x0002FFFE, {0x00, 0xD0}}, {0x0002FFF1, {0x00}}, {0x0002FFF5, {0x00}},
          {0x0002FFF9, {0x00}},   {0x00000680, {0x00}},       {0x00000681, {0xFF}}, {0x0003FFF0, {0x00, 0x00}}};
}

std::uint16_t Somma(const Byte& d) {
  std::uint16_t s = 0;
  for (auto b : d) s = static_cast<std::uint16_t>(s + b);
  return s;
}

class FrSim : public ::testing::Test {
 protected:
  void Costruisci(ConfigFr fr, const std::string& preset = "M465") {
    ConfigScheda c;
    c.nome = "fr";
    c.tipoMicro = MICRO_FR;
    c.codice = 0x4321;
    CFlashSim f;
    f.CaricaPreset(preset);
    CSchedaSim s(c, std::move(f));
    const bool boot = fr.bootResidente;
    s.fr.emplace(std::move(fr));
    if (!boot) {
      s.modo = ModoScheda::Bootstrap;
      s.fr->Reset(false, 0, "fr", [](std::int64_t, const std::string&) {});
    }
    std::vector<CSchedaSim> v;
    v.push_back(std::move(s));
    macchina = std::make_unique<CMacchinaSim>(std::move(v));
    macchina->ImpostaTrascrizione(&trascrizione);
  }
  ConfigFr Vuoto() {
    ConfigFr c;
    c.bootResidente = false;
    return c;
  }
  void SetUp() override { Costruisci(Vuoto()); }

  // Everything the board sends back for these bytes, and the pauses before each part.
  Byte Grezzo(const Byte& b, std::vector<std::uint32_t>* ritardi = nullptr) {
    Byte r;
    for (const auto& u : macchina->DalPc(b.data(), b.size(), ms)) {
      r.insert(r.end(), u.byte.begin(), u.byte.end());
      if (ritardi) ritardi->push_back(u.ritardoMs);
    }
    ms += 1;
    return r;
  }
  Byte Kernel(const std::string& s, std::vector<std::uint32_t>* ritardi = nullptr) { return Grezzo(Testo(s), ritardi); }
  void Reset(bool conRts, std::uint32_t baud) {
    macchina->ImpostaBaud(baud, ms);
    macchina->ImpostaRts(conRts, ms);
    macchina->ImpostaDtr(true, ms);
    ms += 600;
    macchina->ImpostaDtr(false, ms);
    ms += 40;
  }
  // A bootstrap command: prefix with its echoes, then the rest.
  Byte Comando(std::uint8_t cmd, const Byte& resto) {
    EXPECT_EQ(Grezzo({0x01}), Byte{0xF1});
    EXPECT_EQ(Grezzo({cmd}), Byte{static_cast<std::uint8_t>(0x80 | cmd)});
    return Grezzo(resto);
  }
  Byte ScriviSegmento(const Segmento& s) {
    // Header and the first chunk, then the rest in 256-byte chunks, as a PC sends them.
    Byte primo = Unisci({Le32(s.indirizzo), {static_cast<std::uint8_t>(s.dati.size()),
                                             static_cast<std::uint8_t>(s.dati.size() >> 8)}});
    Byte risposta;
    for (std::size_t off = 0; off < s.dati.size(); off += 256) {
      Byte pezzo(s.dati.begin() + static_cast<std::ptrdiff_t>(off),
                 s.dati.begin() + static_cast<std::ptrdiff_t>(std::min(s.dati.size(), off + 256)));
      if (off == 0) {
        EXPECT_EQ(Grezzo({0x01}), Byte{0xF1});
        EXPECT_EQ(Grezzo({0x03}), Byte{0x83});
        pezzo.insert(pezzo.begin(), primo.begin(), primo.end());
      }
      const Byte r = Grezzo(pezzo);
      if (off + 256 < s.dati.size()) {
        EXPECT_TRUE(r.empty()) << "no answer before the segment is complete";
      }
      risposta.insert(risposta.end(), r.begin(), r.end());
    }
    return risposta;
  }
  // Reset into the bootstrap, load the kernel, call it, wait for it to listen, sync.
  void AvviaKernel() {
    Reset(true, 9600);
    ASSERT_EQ(Grezzo({'V'}), Byte{'F'});
    for (const auto& s : SegmentiKernel()) {
      const std::uint16_t somma = Somma(s.dati);
      ASSERT_EQ(ScriviSegmento(s), (Byte{static_cast<std::uint8_t>(somma), static_cast<std::uint8_t>(somma >> 8)}));
    }
    ASSERT_TRUE(Comando(0x04, Le32(0x00030000)).empty());
    ms += 200;
    macchina->ImpostaBaud(115200, ms);
    ASSERT_EQ(Kernel("V"), Testo("F"));
    ASSERT_EQ(Kernel("R\r"), Testo(" >"));
  }
  CFlashSim& Flash() { return macchina->Scheda(0).flash; }

  std::ostringstream testoTrascrizione;
  CTrascrizione trascrizione{&testoTrascrizione, 0};
  std::unique_ptr<CMacchinaSim> macchina;
  std::int64_t ms = 1000;
};

TEST_F(FrSim, BlankChipAnswersTheCheckAndEntersItsBootstrapOnlyWithRts) {
  // Power-on and a reset without RTS: the FR check is answered, nothing else.
  EXPECT_TRUE(Grezzo({'V'}).empty()) << "the line starts at 38400";
  macchina->ImpostaBaud(9600, ms);
  EXPECT_EQ(Grezzo({'V'}), Byte{'F'});
  Reset(false, 9600);
  EXPECT_EQ(Grezzo({'V'}), Byte{'F'});
  EXPECT_TRUE(Grezzo({0x01}).empty()) << "no bootstrap commands without the mode line";
  // At another baud rate nothing arrives.
  Reset(true, 38400);
  EXPECT_TRUE(Grezzo({'V'}).empty());
  Reset(true, 9600);
  EXPECT_EQ(Grezzo({'V'}), Byte{'F'});
  EXPECT_EQ(Grezzo({0x01}), Byte{0xF1});
  EXPECT_EQ(Grezzo({0x03}), Byte{0x83});
  const std::string t = testoTrascrizione.str();
  EXPECT_NE(t.find("linea rts 1"), std::string::npos);
  EXPECT_NE(t.find("reset fr: bootstrap ROM FR a 9600"), std::string::npos);
  EXPECT_NE(t.find("-> fr bootstrap: 56"), std::string::npos);
  EXPECT_NE(t.find("<- fr bootstrap: 46"), std::string::npos);
}

TEST_F(FrSim, ProbeWriteAndReadOfTheBootstrap) {
  Reset(true, 9600);
  // Write one byte FF at 0000BFF4: the answer is the 16-bit sum, low byte first.
  EXPECT_EQ(Comando(0x03, {0xF4, 0xBF, 0x00, 0x00, 0x01, 0x00, 0xFF}), (Byte{0xFF, 0x00}));
  // Read four bytes there: the data, then their sum.
  const Byte r = Comando(0x02, {0xF4, 0xBF, 0x00, 0x00, 0x04, 0x00});
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[0], 0xFF);
  EXPECT_EQ(r[4] | r[5] << 8, r[0] + r[1] + r[2] + r[3]);
  // A prefix whose second byte names no command is dropped without an echo.
  EXPECT_EQ(Grezzo({0x01}), Byte{0xF1});
  EXPECT_TRUE(Grezzo({0x07}).empty());
  EXPECT_EQ(Grezzo({'V'}), Byte{'F'}) << "back at the start";
}

TEST_F(FrSim, PrefixEchoesComeAfterTheChipsEchoTime) {
  ConfigFr c = Vuoto();
  c.ecoMs = 4;
  Costruisci(c);
  Reset(true, 9600);
  std::vector<std::uint32_t> ritardi;
  EXPECT_EQ(Grezzo({0x01}, &ritardi), Byte{0xF1});
  EXPECT_EQ(Grezzo({0x02}, &ritardi), Byte{0x82});
  EXPECT_EQ(ritardi, (std::vector<std::uint32_t>{4, 4}));
}

TEST_F(FrSim, HalfReceivedBootstrapCommandIsDroppedAfterASilence) {
  Reset(true, 9600);
  EXPECT_EQ(Grezzo({0x01}), Byte{0xF1});
  EXPECT_EQ(Grezzo({0x03}), Byte{0x83});
  Grezzo({0xF4, 0xBF});
  ms += 200;
  // The retry of a probe starts again from the prefix.
  EXPECT_EQ(Comando(0x03, {0xF4, 0xBF, 0x00, 0x00, 0x01, 0x00, 0xFF}), (Byte{0xFF, 0x00}));
}

TEST_F(FrSim, KernelDownloadCallAndSync) {
  AvviaKernel();
  EXPECT_EQ(macchina->Scheda(0).fr->Stato(), StatoFr::Kernel);
  EXPECT_EQ(macchina->BaudLocale(), 115200u);
  const std::string t = testoTrascrizione.str();
  EXPECT_NE(t.find("scrittura RAM 00030000, 12288 byte"), std::string::npos);
  EXPECT_NE(t.find("kernel avviato su fr: 115200 bit/s"), std::string::npos);
  EXPECT_NE(t.find("fr ora a 115200"), std::string::npos);
}

TEST_F(FrSim, KernelIsDeafRightAfterTheCallAndOnlyHearsItsOwnBaud) {
  ConfigFr c = Vuoto();
  c.avvioKernelMs = 150;
  Costruisci(c);
  Reset(true, 9600);
  for (const auto& s : SegmentiKernel()) ScriviSegmento(s);
  Comando(0x04, Le32(0x00030000));
  EXPECT_TRUE(Grezzo({'V'}).empty()) << "still at 9600 on the PC side";
  macchina->ImpostaBaud(115200, ms);
  EXPECT_TRUE(Kernel("V").empty()) << "the kernel is still starting";
  ms += 150;
  EXPECT_EQ(Kernel("V"), Testo("F"));
}

TEST_F(FrSim, KernelHangsWithoutItsShortSegmentsOrWhenCalledElsewhere) {
  // A short segment with another value: the call leads nowhere.
  Reset(true, 9600);
  auto segmenti = SegmentiKernel();
  segmenti[6].dati = {0x00};
  for (const auto& s : segmenti) ScriviSegmento(s);
  Comando(0x04, Le32(0x00030000));
  ms += 200;
  macchina->ImpostaBaud(115200, ms);
  EXPECT_TRUE(Kernel("V").empty());
  macchina->ImpostaBaud(9600, ms);
  EXPECT_TRUE(Grezzo({'V'}).empty());
  EXPECT_NE(testoTrascrizione.str().find("cella 00000681 = 00, attesa ff"), std::string::npos);

  // Called at another address: silent until the next reset.
  Reset(true, 9600);
  for (const auto& s : SegmentiKernel()) ScriviSegmento(s);
  Comando(0x04, Le32(0x00030004));
  EXPECT_TRUE(Grezzo({'V'}).empty());
  Reset(true, 9600);
  EXPECT_EQ(Grezzo({'V'}), Byte{'F'});
}

TEST_F(FrSim, BlankCheckAndSectorErase) {
  AvviaKernel();
  EXPECT_EQ(Stringa(Kernel("b")), " checking ...1\r\n1\r\n1\r\n1\r\n1\r\n1\r\n");
  const std::uint8_t dato[2] = {0x12, 0x34};
  Flash().Carica(0x14C100, dato, 2);
  Flash().Carica(0x140000, dato, 1);
  const Byte blank = Kernel("b");
  ASSERT_EQ(blank.size(), 31u);
  EXPECT_EQ(Stringa(blank), " checking ...0\r\n1\r\n1\r\n1\r\n1\r\n0\r\n");

  EXPECT_EQ(Stringa(Kernel("s")), "\r\n sector : ");
  const std::string erase = Stringa(Kernel("05\r"));
  ASSERT_EQ(erase.size(), 64u);
  EXPECT_EQ(erase.substr(44), "h erasing...\r\n OK \r\n");
  EXPECT_EQ(Flash().Leggi(0x14C100), 0xFF);
  EXPECT_EQ(Flash().SettoriCancellati(), (std::vector<std::uint32_t>{0x14C000}));
  // Sector 4, byte for byte.
  EXPECT_EQ(Stringa(Kernel("s")), "\r\n sector : ");
  EXPECT_EQ(Stringa(Kernel("04\r")),
            "04\r\n address=00148000\r\n Low erasing...\r\n High erasing...\r\n OK \r\n");
  EXPECT_EQ(Stringa(Kernel("b")), " checking ...0\r\n1\r\n1\r\n1\r\n1\r\n1\r\n");
}

TEST_F(FrSim, EraseTakesItsTimeBetweenTheHalves) {
  ConfigFr c = Vuoto();
  c.eraseMs = 400;
  c.blankMs = 30;
  Costruisci(c);
  AvviaKernel();
  std::vector<std::uint32_t> ritardi;
  Kernel("b", &ritardi);
  EXPECT_EQ(ritardi, (std::vector<std::uint32_t>{30}));
  Kernel("s");
  ritardi.clear();
  Kernel("04", &ritardi);
  ritardi.clear();
  Kernel("\r", &ritardi);
  EXPECT_EQ(ritardi, (std::vector<std::uint32_t>{0, 200, 200}));
}

TEST_F(FrSim, HexDownloadWritesS2RecordsAndQuitsOnTheEighthCarriageReturn) {
  AvviaKernel();
  EXPECT_EQ(Stringa(Kernel("n")), "\r\n data ...\r\n");
  EXPECT_EQ(Stringa(Kernel("HEXDWL\r")), "HEXDWL");
  const Byte dati{0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C};
  EXPECT_EQ(Grezzo(RecordS2(0x148000, dati)), Byte{0x06});
  for (std::size_t i = 0; i < dati.size(); ++i) EXPECT_EQ(Flash().Leggi(0x148000 + static_cast<std::uint32_t>(i)), dati[i]);
  // Into the second sector, split over two writes of the PC.
  const Byte rec = RecordS2(0x14C000, {0x55, 0xAA});
  EXPECT_TRUE(Grezzo(Byte(rec.begin(), rec.begin() + 4)).empty());
  EXPECT_EQ(Grezzo(Byte(rec.begin() + 4, rec.end())), Byte{0x06});
  // A record with a wrong check is refused and nothing is written.
  Byte rotto = RecordS2(0x148100, {0x00, 0x00});
  rotto.back() ^= 1;
  EXPECT_EQ(Grezzo(rotto), Byte{0x15});
  EXPECT_EQ(Flash().Leggi(0x148100), 0xFF);
  // A record outside the flash, and one that would need bits set again.
  EXPECT_EQ(Grezzo(RecordS2(0x200000, {0x00})), Byte{0x15});
  EXPECT_EQ(Grezzo(RecordS2(0x148000, {0xFF})), Byte{0x15});
  // Seven carriage returns say nothing; the eighth ends the mode with the prompt.
  for (int i = 0; i < 7; ++i) EXPECT_TRUE(Kernel("\r").empty()) << i;
  EXPECT_EQ(Kernel("\r"), Testo(">"));
  EXPECT_EQ(Stringa(Kernel("b")), " checking ...1\r\n1\r\n1\r\n1\r\n0\r\n0\r\n");
}

TEST_F(FrSim, ReadDumpHasTheShapeThePcCounts) {
  AvviaKernel();
  Byte dati(40);
  for (std::size_t i = 0; i < dati.size(); ++i) dati[i] = static_cast<std::uint8_t>(i * 7);
  Flash().Carica(0x148010, dati.data(), dati.size());
  struct Caso {
    std::uint32_t conteggio;
    const char* cifre;
  };
  for (const Caso& c : {Caso{40, "028"}, Caso{16, "010"}, Caso{64, "040"}, Caso{1, "001"}}) {
    SCOPED_TRACE(c.cifre);
    EXPECT_EQ(Stringa(Kernel("r")), "\r\nADDR:");
    EXPECT_EQ(Stringa(Kernel("00148010")), "00148010\r\nLEN:");
    const std::string d = Stringa(Kernel(c.cifre));
    const std::size_t righe = (c.conteggio + 15) / 16;
    ASSERT_EQ(d.size(), 3 * c.conteggio + 13 * righe + 58);
    EXPECT_EQ(d.substr(0, 3), c.cifre);
    EXPECT_EQ(d.substr(52, 5), "\n\r\n\r\n");
    EXPECT_EQ(d.back(), '>');
    // Values from character 11 of each line, "%02x " each, CR LF after the line.
    std::size_t pos = 57;
    std::uint32_t letti = 0;
    for (std::size_t r = 0; r < righe; ++r) {
      pos += 11;
      for (std::uint32_t k = 0; k < 16 && letti < c.conteggio; ++k, ++letti) {
        unsigned v = 0;
        ASSERT_EQ(std::sscanf(d.c_str() + pos, "%02x ", &v), 1);
        const std::uint8_t atteso = letti < dati.size() ? dati[letti] : 0xFF;
        EXPECT_EQ(v, atteso) << letti;
        EXPECT_EQ(d[pos + 2], ' ');
        pos += 3;
      }
      EXPECT_EQ(d.substr(pos, 2), "\r\n");
      pos += 2;
    }
    EXPECT_EQ(pos, d.size() - 1);
  }
}

TEST_F(FrSim, Prog32ProgramsTheWordInFileOrder) {
  AvviaKernel();
  EXPECT_EQ(Stringa(Kernel("p")), "\r\nADDR:");
  EXPECT_EQ(Stringa(Kernel("0014fffc")), "0014fffc\r\nDATA:");
  std::vector<std::uint32_t> ritardi;
  EXPECT_EQ(Stringa(Kernel("12345678")), "12345678\r\n OK \r\n>");
  EXPECT_EQ(Flash().Leggi(0x14FFFC), 0x12);
  EXPECT_EQ(Flash().Leggi(0x14FFFF), 0x78);
  // The same word again needs bits set: refused, with a reply of the same length.
  Kernel("p");
  Kernel("0014fffc");
  EXPECT_EQ(Stringa(Kernel("ffffffff")), "ffffffff\r\n NG \r\n>");
  // A word address that is not a multiple of 4.
  Kernel("p");
  Kernel("0014fff2");
  EXPECT_EQ(Stringa(Kernel("00000000")), "00000000\r\n NG \r\n>");
}

TEST_F(FrSim, FaultsOfTheBootstrapAndTheKernel) {
  ConfigFr c = Vuoto();
  GuastoFr somma;
  somma.tipo = TipoGuastoFr::SommaErrata;
  somma.volte = 1;
  GuastoFr sync;
  sync.tipo = TipoGuastoFr::SyncTardivo;
  sync.ritardoMs = 300;
  sync.volte = 1;
  GuastoFr byteErrato;
  byteErrato.tipo = TipoGuastoFr::ByteErrato;
  byteErrato.posizione = 1;
  byteErrato.bit = 0;
  byteErrato.volte = 1;
  c.guasti = {somma, sync, byteErrato};
  Costruisci(c);
  Reset(true, 9600);
  // The first write answers a wrong sum; the next ones are right.
  EXPECT_NE(Comando(0x03, {0xF4, 0xBF, 0x00, 0x00, 0x01, 0x00, 0xFF}), (Byte{0xFF, 0x00}));
  EXPECT_EQ(Comando(0x03, {0xF4, 0xBF, 0x00, 0x00, 0x01, 0x00, 0xFF}), (Byte{0xFF, 0x00}));
  for (const auto& s : SegmentiKernel()) ScriviSegmento(s);
  Comando(0x04, Le32(0x00030000));
  ms += 200;
  macchina->ImpostaBaud(115200, ms);
  EXPECT_EQ(Kernel("V"), Testo("F"));
  // Late sync: the prompt comes 300 ms later and the kernel hears nothing meanwhile.
  std::vector<std::uint32_t> ritardi;
  EXPECT_EQ(Kernel("R\r", &ritardi), Testo(" >"));
  EXPECT_EQ(ritardi, (std::vector<std::uint32_t>{300}));
  ms += 100;
  EXPECT_TRUE(Kernel("R\r").empty());
  ms += 200;
  EXPECT_EQ(Kernel("R\r"), Testo(" >"));
  // A byte stored wrong is still acknowledged.
  Kernel("n");
  Kernel("HEXDWL\r");
  EXPECT_EQ(Grezzo(RecordS2(0x148000, {0x10, 0x20, 0x30, 0x40})), Byte{0x06});
  EXPECT_EQ(Flash().Leggi(0x148001), 0x21);
  EXPECT_EQ(Flash().Leggi(0x148002), 0x30);
}

TEST_F(FrSim, AWrongSumCanBeAimedAtTheWriteOfOneAddress) {
  ConfigFr c = Vuoto();
  GuastoFr somma;
  somma.tipo = TipoGuastoFr::SommaErrata;
  somma.conIndirizzo = true;
  somma.indirizzo = 0x0002FFF1;
  c.guasti = {somma};
  Costruisci(c);
  Reset(true, 9600);
  // The probe and the segments before it are answered right; that one is not.
  EXPECT_EQ(Comando(0x03, {0xF4, 0xBF, 0x00, 0x00, 0x01, 0x00, 0xFF}), (Byte{0xFF, 0x00}));
  const auto segmenti = SegmentiKernel();
  const std::uint16_t s0 = Somma(segmenti[0].dati);
  EXPECT_EQ(ScriviSegmento(segmenti[0]), (Byte{static_cast<std::uint8_t>(s0), static_cast<std::uint8_t>(s0 >> 8)}));
  EXPECT_EQ(ScriviSegmento(segmenti[1]), (Byte{0xD0, 0x00}));
  EXPECT_NE(ScriviSegmento(segmenti[2]), (Byte{0x00, 0x00}));
  EXPECT_EQ(ScriviSegmento(segmenti[3]), (Byte{0x00, 0x00}));
}

TEST(FrSimDescrizione, AnAddressOnlyAimsAWrongSum) {
  const auto leggi = [](const std::string& guasto, DescrizioneMacchina& d, std::string& errore) {
    return LeggiDescrizione(R"({"schede": [{"tipoMicro": 8, "fr": {"guasti": [)" + guasto + "]}}]}", ".", d,
                            errore);
  };
  DescrizioneMacchina d;
  std::string errore;
  ASSERT_TRUE(leggi(R"({"tipo": "sommaErrata", "indirizzo": "0x2FFF1"})", d, errore)) << errore;
  ASSERT_EQ(d.schede.at(0).fr->config.guasti.size(), 1u);
  EXPECT_TRUE(d.schede.at(0).fr->config.guasti[0].conIndirizzo);
  EXPECT_EQ(d.schede.at(0).fr->config.guasti[0].indirizzo, 0x2FFF1u);
  EXPECT_FALSE(leggi(R"({"tipo": "nak", "indirizzo": "0x2FFF1"})", d, errore));
}

TEST_F(FrSim, ABoardThatNeverAnswers) {
  ConfigFr c = Vuoto();
  GuastoFr muto;
  muto.tipo = TipoGuastoFr::Silenzio;
  c.guasti = {muto};
  Costruisci(c);
  Reset(true, 9600);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Grezzo({'V'}).empty());
  EXPECT_TRUE(Grezzo({0x01}).empty()) << "not even an echo";
  Reset(false, 9600);
  EXPECT_TRUE(Grezzo({'V'}).empty());
}

TEST_F(FrSim, ResidentBootRunsAfterAnyResetUntilCancellaChip) {
  ConfigFr c;
  c.cancellazioneChipMs = 3000;
  Costruisci(c);
  const std::uint8_t boot[4] = {0x11, 0x22, 0x33, 0x44};
  Flash().Carica(0x148000, boot, 4);
  Flash().Carica(0x80000, boot, 4);
  // With RTS too the board answers its boot at 38400, not the FR check.
  Reset(true, 38400);
  Byte firma = Grezzo({0xF3, 0x60, 0x03, 0x18});
  ASSERT_EQ(firma.size(), 5u);
  EXPECT_EQ(firma[1] | firma[2] << 8, 0x4321);
  Byte micro{0xF7, 0x03};
  AggiungiControlloRichiesta(micro);
  EXPECT_EQ(Grezzo(micro)[1], MICRO_FR);
  Byte cancella{0xEF, 0x00};
  AggiungiControlloRichiesta(cancella);
  ASSERT_EQ(cancella.size(), 5u);

  // A reset before the erase is over leaves the chip as it was.
  EXPECT_TRUE(Grezzo(cancella).empty());
  ms += 1000;
  EXPECT_TRUE(Grezzo({0xF3, 0x60, 0x03, 0x18}).empty()) << "busy erasing";
  Reset(true, 38400);
  EXPECT_EQ(Grezzo({0xF3, 0x60, 0x03, 0x18}).size(), 5u);
  EXPECT_EQ(Flash().Leggi(0x148000), 0x11);
  EXPECT_NE(testoTrascrizione.str().find("interrotta dal reset"), std::string::npos);

  // Waiting it out: the chip is blank and behaves as a blank chip.
  EXPECT_TRUE(Grezzo(cancella).empty());
  ms += 10000;
  Reset(true, 9600);
  EXPECT_EQ(Grezzo({'V'}), Byte{'F'});
  EXPECT_EQ(Flash().Leggi(0x148000), 0xFF);
  EXPECT_EQ(Flash().Leggi(0x80000), 0xFF);
  EXPECT_FALSE(macchina->Scheda(0).fr->config.bootResidente);
  Reset(false, 9600);
  EXPECT_EQ(Grezzo({'V'}), Byte{'F'});
  EXPECT_TRUE(Grezzo({0x01}).empty());

  std::ostringstream dump;
  ScriviDump(*macchina, dump);
  EXPECT_NE(dump.str().find("\"bootResidente\": false"), std::string::npos);
}

TEST(FrSimDescrizione, MachineFileFieldsAndMistakes) {
  const std::string testo = R"({
    "schede": [{ "nome": "fr", "tipoMicro": 8,
      "fr": { "bootResidente": false, "baudBootstrap": 19200, "baudKernel": 57600, "avvioKernelMs": 5,
              "cancellazioneChipMs": 100, "pausaBootstrapMs": 300,
              "ritardiMs": { "eco": 2, "blank": 3, "erase": 4, "prog32": 5 },
              "guasti": [ { "tipo": "syncTardivo", "ritardoMs": 250, "volte": 1 },
                          { "tipo": "silenzio", "parte": "check", "volte": 2 },
                          { "tipo": "byteErrato", "posizione": 3, "bit": 7 },
                          { "tipo": "sommaErrata" }, { "tipo": "nak", "volte": 1 } ] } }]
  })";
  DescrizioneMacchina d;
  std::string errore;
  ASSERT_TRUE(LeggiDescrizione(testo, ".", d, errore)) << errore;
  const CSchedaSim& s = d.schede[0];
  ASSERT_TRUE(s.fr.has_value());
  EXPECT_FALSE(s.fr->config.bootResidente);
  EXPECT_EQ(s.fr->Baud(), 19200u);
  EXPECT_EQ(s.fr->config.baudKernel, 57600u);
  EXPECT_EQ(s.fr->config.eraseMs, 4u);
  ASSERT_EQ(s.fr->config.guasti.size(), 5u);
  EXPECT_EQ(s.fr->config.guasti[1].parte, ParteFr::Check);
  EXPECT_EQ(s.fr->config.guasti[2].bit, 7);
  EXPECT_EQ(s.modo, ModoScheda::Bootstrap) << "a blank chip powers up in its ROM";
  EXPECT_NE(s.flash.TrovaSettore(0x14C000), nullptr) << "M465 by default";

  // Micro type 8 alone is an FR board with its resident boot.
  ASSERT_TRUE(LeggiDescrizione(R"({"schede": [{"tipoMicro": 8}]})", ".", d, errore)) << errore;
  ASSERT_TRUE(d.schede[0].fr.has_value());
  EXPECT_TRUE(d.schede[0].fr->config.bootResidente);
  EXPECT_EQ(d.schede[0].modo, ModoScheda::Boot);

  for (const char* sbagliato : {
           R"({"schede": [{"tipoMicro": 1, "fr": {}}]})",
           R"({"schede": [{"fr": {"baudKernell": 1}}]})",
           R"({"schede": [{"fr": {"guasti": [{"tipo": "sommaSbagliata"}]}}]})",
           R"({"schede": [{"fr": {"guasti": [{"tipo": "silenzio", "parte": "bootstrap"}]}}]})",
           R"({"schede": [{"fr": {"ritardiMs": {"write": 1}}}]})",
       }) {
    EXPECT_FALSE(LeggiDescrizione(sbagliato, ".", d, errore)) << sbagliato;
    EXPECT_FALSE(errore.empty());
  }
}

}  // namespace
}  // namespace bricola::sim
