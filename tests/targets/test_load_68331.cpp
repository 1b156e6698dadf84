// The 68331 loader: its link layer (framing, stuffing, packets, the two rings)
// and the transfer against a scripted board on a fake port line.
#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

#include "base/esiti.h"
#include "comm/porta_seriale.h"
#include "platform/linea_seriale.h"
#include "targets/load_68331.h"
#include "tests/load/scheda_finta.h"
#include "tests/support/cartella.h"

namespace bricola {
namespace {

using prova::Byte;
using C = CCollegamento68331;

// --- the port line: what the loader writes, and what the board has sent ----------------

struct SLinea {
  std::mutex m;
  Byte scritto;
  std::deque<std::uint8_t> daLeggere;
  int baud = 0;
  bool baudGuasto = false;
  bool scritturaGuasta = false;
  bool letturaGuasta = false;
};

class CLineaFinta : public LineaSeriale {
 public:
  explicit CLineaFinta(std::shared_ptr<SLinea> l) : linea(std::move(l)) {}
  int Scrivi(const std::uint8_t* d, int n) override {
    std::lock_guard<std::mutex> g(linea->m);
    if (linea->scritturaGuasta) return -1;
    linea->scritto.insert(linea->scritto.end(), d, d + n);
    return n;
  }
  int Leggi(std::uint8_t* b, int n, int) override {
    std::lock_guard<std::mutex> g(linea->m);
    if (linea->letturaGuasta) return -1;
    int k = 0;
    while (k < n && !linea->daLeggere.empty()) {
      b[k++] = linea->daLeggere.front();
      linea->daLeggere.pop_front();
    }
    return k;
  }
  bool ImpostaBaud(int b) override {
    if (linea->baudGuasto) return false;
    linea->baud = b;
    return true;
  }
  bool ImpostaBitStop(int) override { return true; }
  bool ImpostaDtr(bool) override { return true; }
  bool ImpostaRts(bool) override { return true; }
  bool SvuotaIngresso() override { return true; }

 private:
  std::shared_ptr<SLinea> linea;
};

// An interface that only carries the port handle (the loader speaks to the port itself).
class CIntPorta : public CInterfaccia {
 public:
  int ApriLinea(int, int, int, int*) override { return 1; }
  int RiapriLinea(int*) override { return 1; }
  int ChiudiLinea() override { return 1; }
  int ScriviLinea(const std::uint8_t*, int) override { return -1; }
  int LeggiLinea(std::uint8_t*, int) override { return 0; }
  int SvuotaLinea() override { return 0; }
};

Byte Trama(const Byte& payload) { return C::Trama(payload.data(), static_cast<int>(payload.size())); }
Byte Pacchetto(const Byte& dati) { return C::Pacchetto(dati.data(), static_cast<int>(dati.size())); }

// The frames of a byte stream as the board would cut them (payloads unstuffed).
std::vector<Byte> Trame(const Byte& filo) {
  std::vector<Byte> r;
  std::size_t i = 0;
  while (i + 1 < filo.size()) {
    if (filo[i] != 0x47 || filo[i + 1] != 0x47) {
      ++i;
      continue;
    }
    i += 2;
    Byte p;
    while (i + 1 < filo.size() && !(filo[i] == 0x47 && filo[i + 1] == 0x47)) {
      if (filo[i] == 0x47 && filo[i + 1] == 0xB8) {
        p.push_back(0x47);
        i += 2;
      } else {
        p.push_back(filo[i++]);
      }
    }
    i += 2;
    r.push_back(p);
  }
  return r;
}

// --- framing -------------------------------------------------------------------------------

TEST(Framing68331, StartRequestOfA4096ByteModule) {
  const Byte m = CLoad68331::MessaggioAvvio(4096, 128);
  const Byte p = Pacchetto(m);
  EXPECT_EQ(p, (Byte{0x00, 0x07, 0x5A, 0x00, 0x00, 0x10, 0x00, 0x00, 0x80, 0x15}));
  Byte attesa{0x47, 0x47};
  attesa.insert(attesa.end(), p.begin(), p.end());
  attesa.insert(attesa.end(), {0x47, 0x47});
  EXPECT_EQ(Trama(p), attesa);
}

TEST(Framing68331, PayloadWithA47IsStuffed) {
  EXPECT_EQ(Trama({0x00, 0x03, 0x47, 0x41, 0x42, 0xD7}),
            (Byte{0x47, 0x47, 0x00, 0x03, 0x47, 0xB8, 0x41, 0x42, 0xD7, 0x47, 0x47}));
  // Every 47 of the payload, the length and the checksum included.
  EXPECT_EQ(Trama({0x47, 0x47}), (Byte{0x47, 0x47, 0x47, 0xB8, 0x47, 0xB8, 0x47, 0x47}));
}

TEST(Framing68331, LimitsOfFramesAndPackets) {
  EXPECT_TRUE(C::Trama(Byte(257).data(), 257).empty());
  EXPECT_EQ(C::Trama(Byte(256).data(), 256).size(), 260u);
  EXPECT_TRUE(C::Pacchetto(Byte(254).data(), 254).empty());
  EXPECT_EQ(C::Pacchetto(Byte(253).data(), 253).size(), 256u);
}

class Assemblatore68331 : public ::testing::Test {
 protected:
  void Dai(const Byte& b) {
    c.Assembla(b.data(), static_cast<int>(b.size()));
    c.FrameInPacchetti();
  }
  // (data, status) of the next packet; status -1 when none.
  std::pair<Byte, int> Prendi(int* overflow = nullptr) {
    Byte b(256);
    int ov = 0, st = 0;
    const int n = c.PrendiPacchetto(b.data(), 256, &ov, &st);
    if (overflow) *overflow = ov;
    b.resize(static_cast<std::size_t>(n));
    return {b, st};
  }
  C c;
};

TEST_F(Assemblatore68331, StuffedFramesComeBackAsTheirPackets) {
  const Byte m{0x47, 0x00, 0x47, 0x00, 0x00, 0x00, 0x47};
  Byte filo = Trama(Pacchetto(m));
  const Byte seconda = Trama(Pacchetto({0x58}));
  filo.insert(filo.end(), seconda.begin(), seconda.end());
  // Split anywhere, even between a 47 and its stuffing byte.
  c.Assembla(filo.data(), 5);
  c.Assembla(filo.data() + 5, static_cast<int>(filo.size()) - 5);
  c.FrameInPacchetti();
  EXPECT_EQ(Prendi(), std::make_pair(m, 0));
  EXPECT_EQ(Prendi(), std::make_pair(Byte{0x58}, 0));
  EXPECT_EQ(Prendi().second, -1);
}

TEST_F(Assemblatore68331, FaultyFramesKeepOnlyTheirStatus) {
  Byte lunghezza = Pacchetto({0x47, 1, 2, 3, 4, 5, 6});
  lunghezza[1] = 8;
  Byte controllo = Pacchetto({0x47, 1, 2, 3, 4, 5, 6});
  controllo.back() ^= 1;
  Dai(Trama(lunghezza));
  Dai(Trama(controllo));
  Dai(Trama({0x00, 0x01}));  // two bytes: not a packet at all
  EXPECT_EQ(Prendi(), std::make_pair(Byte{}, 2));
  EXPECT_EQ(Prendi(), std::make_pair(Byte{}, 3));
  EXPECT_EQ(Prendi().second, -1);
}

TEST_F(Assemblatore68331, AnyByteAfterA47InsideAFrameStandsForThe47) {
  Byte p = Pacchetto({0x47, 0, 1, 0, 0, 0, 2});
  Byte filo = Trama(p);
  // The stuffing byte of the first 47 replaced by another.
  ASSERT_EQ(filo[5], 0xB8);
  filo[5] = 0x11;
  Dai(filo);
  EXPECT_EQ(Prendi().first, (Byte{0x47, 0, 1, 0, 0, 0, 2}));
}

TEST_F(Assemblatore68331, BytesOutsideFramesAndOverlongFramesAreDropped) {
  Byte filo{0x12, 0x47, 0x13};  // noise before the first frame
  Byte lungo{0x47, 0x47};
  lungo.insert(lungo.end(), 300, 0x01);
  lungo.insert(lungo.end(), {0x47, 0x47});
  filo.insert(filo.end(), lungo.begin(), lungo.end());
  const Byte buona = Trama(Pacchetto({0x58}));
  filo.insert(filo.end(), buona.begin(), buona.end());
  Dai(filo);
  EXPECT_EQ(Prendi(), std::make_pair(Byte{0x58}, 0));
  EXPECT_EQ(Prendi().second, -1);
}

TEST_F(Assemblatore68331, RingsKeepThreeAndThePacketRingReportsItsOverflow) {
  Byte quattro;
  for (std::uint8_t i = 0; i < 4; ++i) {
    const Byte t = Trama(Pacchetto({0x47, 0, 1, 0, 0, 0, i}));
    quattro.insert(quattro.end(), t.begin(), t.end());
  }
  // Four frames in one read: the frame ring keeps the newest three.
  Dai(quattro);
  int overflow = 1;
  EXPECT_EQ(Prendi(&overflow).first.back(), 1);
  EXPECT_EQ(overflow, 0);
  // Two packets wait; two more make the packet ring drop its oldest.
  Dai(Trama(Pacchetto({0x47, 0, 1, 0, 0, 0, 4})));
  Dai(Trama(Pacchetto({0x47, 0, 1, 0, 0, 0, 5})));
  EXPECT_EQ(Prendi(&overflow).first.back(), 3);
  EXPECT_EQ(overflow, 1);
  EXPECT_EQ(Prendi(&overflow).first.back(), 4);
  EXPECT_EQ(overflow, 0);
}

// --- the loader against a scripted board ---------------------------------------------------------

class Load68331 : public ::testing::Test {
 protected:
  void SetUp() override {
    linea = std::make_shared<SLinea>();
    ImpostaApritorePorta([l = linea](int, int baud, bool, bool) -> std::unique_ptr<LineaSeriale> {
      l->baud = baud;
      return std::make_unique<CLineaFinta>(l);
    });
    interfaccia.handle = ApriPorta(3, 38400, false, false);
    ASSERT_NE(interfaccia.handle, kHandleNonValido);
    loader.ImpostaOrologio(&orologio);
  }
  void TearDown() override {
    loader.Termina();
    ChiudiPorta(interfaccia.handle);
    ImpostaApritorePorta(nullptr);
  }

  Byte Modulo(int n) {
    Byte b(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 7 + 3);
    std::ofstream f(cartella.File("m.bin"), std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), n);
    return b;
  }
  int Avvia(int n, std::uint16_t codice = 0x12A0, int tipoModulo = 0) {
    const int velocita[2] = {19200, 38400};
    const std::uint32_t indirizzi[4] = {0, 0, 0, 0};
    int e = -1;
    const int r = loader.Avvia(cartella.File("m.bin"), 0, static_cast<std::uint32_t>(n), codice, indirizzi,
                               tipoModulo, 0, 0, &interfaccia, 0, velocita, 0, &e);
    esitoAvvio = e;
    return r;
  }
  void Scheda(const Byte& messaggio) {
    const Byte t = Trama(Pacchetto(messaggio));
    std::lock_guard<std::mutex> g(linea->m);
    linea->daLeggere.insert(linea->daLeggere.end(), t.begin(), t.end());
  }
  void Chiedi(std::uint32_t indice, std::uint16_t codice = 0x12A0) {
    Scheda({0x47, static_cast<std::uint8_t>(codice >> 8), static_cast<std::uint8_t>(codice),
            static_cast<std::uint8_t>(indice >> 24), static_cast<std::uint8_t>(indice >> 16),
            static_cast<std::uint8_t>(indice >> 8), static_cast<std::uint8_t>(indice)});
  }
  int Passo(int periodo = CLoad68331::kPeriodo) {
    int aggiorna = 0;
    orologio.adesso += periodo;
    return loader.Passo(&aggiorna);
  }
  // The packets the loader has written since the last call.
  std::vector<Byte> Inviati() {
    std::lock_guard<std::mutex> g(linea->m);
    std::vector<Byte> r;
    for (const Byte& t : Trame(linea->scritto)) {
      EXPECT_GE(t.size(), 3u);
      EXPECT_EQ(t.size(), static_cast<std::size_t>((t[0] << 8 | t[1]) + 3));
      EXPECT_EQ(t.back(), C::Checksum(t.data(), static_cast<int>(t.size()) - 1));
      r.emplace_back(t.begin() + 2, t.end() - 1);
    }
    linea->scritto.clear();
    return r;
  }
  static Byte Dati(std::uint16_t codice, std::uint32_t indice, const Byte& modulo, std::size_t da, std::size_t n) {
    Byte m{0x50, static_cast<std::uint8_t>(codice >> 8), static_cast<std::uint8_t>(codice),
           static_cast<std::uint8_t>(indice >> 24), static_cast<std::uint8_t>(indice >> 16),
           static_cast<std::uint8_t>(indice >> 8), static_cast<std::uint8_t>(indice)};
    m.insert(m.end(), modulo.begin() + static_cast<long>(da), modulo.begin() + static_cast<long>(da + n));
    return m;
  }

  prova::CCartellaTemporanea cartella;
  prova::COrologioFinto orologio;
  std::shared_ptr<SLinea> linea;
  CIntPorta interfaccia;
  CLoad68331 loader;
  int esitoAvvio = -1;
};

TEST_F(Load68331, A300ByteModuleGoesAsPacketsOf128_128And44) {
  const Byte modulo = Modulo(300);
  ASSERT_EQ(Avvia(300), 1);
  EXPECT_EQ(esitoAvvio, RC_OK);
  EXPECT_EQ(linea->baud, 19200);
  EXPECT_EQ(loader.fase, ST_WAIT_LINK);
  EXPECT_EQ(Inviati(), (std::vector<Byte>{CLoad68331::MessaggioAvvio(300, 128)}));

  Chiedi(0);
  EXPECT_EQ(Passo(), 1);
  EXPECT_EQ(loader.fase, ST_LINKED);
  Chiedi(1);
  EXPECT_EQ(Passo(), 1);
  Chiedi(2);
  EXPECT_EQ(Passo(), 1);
  EXPECT_EQ(Inviati(), (std::vector<Byte>{Dati(0x12A0, 0, modulo, 0, 128), Dati(0x12A0, 1, modulo, 128, 128),
                                          Dati(0x12A0, 2, modulo, 256, 44)}));
  EXPECT_EQ(loader.byteFatti, 256);
  Scheda({0x58});
  EXPECT_EQ(Passo(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.esito, RC_OK);
  EXPECT_EQ(loader.byteFatti, 300);
  EXPECT_EQ(loader.byteRimanenti, 0);
  EXPECT_EQ(loader.byteTotali, 300);
  // Ended: further steps do nothing.
  Chiedi(3);
  EXPECT_EQ(Passo(), 1);
  EXPECT_TRUE(Inviati().empty());
}

TEST_F(Load68331, ARepeatedRequestSendsTheSamePacketAgain) {
  const Byte modulo = Modulo(200);
  ASSERT_EQ(Avvia(200), 1);
  Inviati();
  Chiedi(0);
  Passo();
  Chiedi(1);
  Passo();
  Chiedi(1);
  Passo();
  Chiedi(1);
  Passo();
  const std::vector<Byte> inviati = Inviati();
  ASSERT_EQ(inviati.size(), 4u);
  EXPECT_EQ(inviati[1], Dati(0x12A0, 1, modulo, 128, 72));
  EXPECT_EQ(inviati[2], inviati[1]);
  EXPECT_EQ(inviati[3], inviati[1]);
  EXPECT_EQ(loader.byteRipetuti, 144);
  Scheda({0x58});
  EXPECT_EQ(Passo(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.byteFatti, 200);
}

TEST_F(Load68331, MachineCodeOfTheFirstRequest) {
  struct Caso {
    std::uint16_t modulo, scheda;
    int fase, esito;
  };
  for (const Caso& k : {Caso{0x12A0, 0x12A0, ST_LINKED, RC_OK}, Caso{0xFFFF, 0x0042, ST_LINKED, RC_OK},
                        Caso{0x12A0, 0x12A1, ST_FAILED, RC_PROGRAM_INCOMPATIBLE},
                        Caso{0x12A0, 0xA012, ST_FAILED, RC_PROGRAM_INCOMPATIBLE}}) {
    SCOPED_TRACE(k.scheda);
    Modulo(64);
    ASSERT_EQ(Avvia(64, k.modulo), 1);
    Inviati();
    Chiedi(0, k.scheda);
    EXPECT_EQ(Passo(), k.fase == ST_LINKED ? 1 : 0);
    EXPECT_EQ(loader.fase, k.fase);
    EXPECT_EQ(loader.esito, k.esito);
    const std::vector<Byte> inviati = Inviati();
    EXPECT_EQ(inviati.size(), k.fase == ST_LINKED ? 1u : 0u);
    // The data packet carries the module's code, whatever the board's.
    if (!inviati.empty()) {
      EXPECT_EQ(inviati[0][1] << 8 | inviati[0][2], k.modulo);
    }
    loader.Termina();
  }
}

TEST_F(Load68331, RequestsOutOfOrderEndTheTransfer) {
  struct Caso {
    std::vector<std::uint32_t> richieste;
    int esito;
  };
  // 300 bytes: packets 0, 1, 2, then the empty packet 3.
  for (const Caso& k : {Caso{{1}, RC_PACKET_SEQUENCE}, Caso{{0, 2}, RC_PACKET_SEQUENCE},
                        Caso{{0, 1, 0}, RC_PACKET_SEQUENCE}, Caso{{0, 1, 2, 3, 4}, RC_PACKET_PAST_END},
                        Caso{{0, 1, 2, 3, 9}, RC_PACKET_PAST_END}}) {
    Modulo(300);
    ASSERT_EQ(Avvia(300), 1);
    Inviati();
    int r = 1;
    for (std::uint32_t i : k.richieste) {
      ASSERT_EQ(r, 1);
      Chiedi(i);
      r = Passo();
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(loader.fase, ST_FAILED);
    EXPECT_EQ(loader.esito, k.esito);
    // Nothing answers the request that ended it.
    EXPECT_EQ(Inviati().size(), k.richieste.size() - 1);
    loader.Termina();
  }
}

TEST_F(Load68331, ThePacketPastTheEndIsEmpty) {
  const Byte modulo = Modulo(128);
  ASSERT_EQ(Avvia(128), 1);
  Inviati();
  Chiedi(0);
  Passo();
  Chiedi(1);
  EXPECT_EQ(Passo(), 1);
  const std::vector<Byte> inviati = Inviati();
  ASSERT_EQ(inviati.size(), 2u);
  EXPECT_EQ(inviati[1], Dati(0x12A0, 1, modulo, 0, 0));
  Scheda({0x58});
  EXPECT_EQ(Passo(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.byteFatti, 128);
}

TEST_F(Load68331, ASilentBoardKeepsGettingTheStartRequest) {
  Modulo(64);
  ASSERT_EQ(Avvia(64), 1);
  EXPECT_EQ(Inviati().size(), 1u);
  // Every second of the loader clock (100 steps of 10 ms), for as long as the
  // board is silent.
  std::vector<int> passi;
  for (int ciclo = 0; ciclo < 4; ++ciclo) {
    int n = 0;
    std::vector<Byte> inviati;
    while (inviati.empty() && n < 1000) {
      ASSERT_EQ(Passo(), 1);
      ++n;
      inviati = Inviati();
    }
    EXPECT_EQ(inviati, (std::vector<Byte>{CLoad68331::MessaggioAvvio(64, 128)}));
    passi.push_back(n);
  }
  EXPECT_EQ(passi, (std::vector<int>{100, 100, 100, 100}));
  // Minutes of silence before the first request still end in a transfer.
  orologio.adesso += 600'000;
  Chiedi(0);
  EXPECT_EQ(Passo(), 1);
  EXPECT_EQ(loader.fase, ST_LINKED);
}

TEST_F(Load68331, TheStartRequestKeepsItsSecondWhenStepsComeFaster) {
  // Steps that come early (a wake-up, a faster period) do not bring the
  // repetition forward: it is a second of the clock, not a number of steps.
  Modulo(64);
  for (int periodo : {1, 3, 10, 25}) {
    ASSERT_EQ(Avvia(64), 1);
    Inviati();
    const std::int64_t inizio = orologio.adesso;
    std::vector<std::int64_t> istanti;
    while (istanti.size() < 3 && orologio.adesso - inizio < 10'000) {
      ASSERT_EQ(Passo(periodo), 1);
      if (!Inviati().empty()) istanti.push_back(orologio.adesso - inizio);
    }
    ASSERT_EQ(istanti.size(), 3u) << periodo;
    // The first step at or past each whole second sends it.
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_GE(istanti[i] - (i ? istanti[i - 1] : 0), 1000) << periodo;
      EXPECT_LT(istanti[i] - (i ? istanti[i - 1] : 0), 1000 + periodo) << periodo;
    }
    loader.Termina();
  }
}

TEST_F(Load68331, ABoardThatFallsSilentAfterAPacketEndsTheJob) {
  Modulo(300);
  ASSERT_EQ(Avvia(300), 1);
  Chiedi(0);
  Passo();
  Chiedi(1);
  Passo();
  // A few seconds of silence are the board's own business (it asks again)...
  orologio.adesso += CLoad68331::kAttesaRichiestaMs - 1000;
  EXPECT_EQ(Passo(), 1);
  Chiedi(1);
  EXPECT_EQ(Passo(), 1);
  orologio.adesso += CLoad68331::kAttesaRichiestaMs - 1000;
  EXPECT_EQ(Passo(), 1);
  // ...a longer one means it gave up.
  orologio.adesso += 1000;
  EXPECT_EQ(Passo(), 0);
  EXPECT_EQ(loader.fase, ST_FAILED);
  EXPECT_EQ(loader.esito, RC_REPLY_TIMEOUT);
}

TEST_F(Load68331, SpoiledRequestsAreIgnored) {
  const Byte modulo = Modulo(64);
  ASSERT_EQ(Avvia(64), 1);
  Inviati();
  Byte p = Pacchetto({0x47, 0x12, 0xA0, 0, 0, 0, 0});
  p.back() ^= 0xFF;
  const Byte t = Trama(p);
  {
    std::lock_guard<std::mutex> g(linea->m);
    linea->daLeggere.insert(linea->daLeggere.end(), t.begin(), t.end());
  }
  EXPECT_EQ(Passo(), 1);
  Scheda({0x33, 1, 2});  // an unknown message
  EXPECT_EQ(Passo(), 1);
  Scheda({0x47, 0x12});  // a request too short to read
  EXPECT_EQ(Passo(), 1);
  EXPECT_TRUE(Inviati().empty());
  EXPECT_EQ(loader.fase, ST_WAIT_LINK);
  Chiedi(0);
  EXPECT_EQ(Passo(), 1);
  EXPECT_EQ(Inviati(), (std::vector<Byte>{Dati(0x12A0, 0, modulo, 0, 64)}));
}

TEST_F(Load68331, TheEndBeforeTheLastPacketIsNoSuccess) {
  Modulo(300);
  ASSERT_EQ(Avvia(300), 1);
  Scheda({0x58});
  EXPECT_EQ(Passo(), 0);
  EXPECT_EQ(loader.esito, RC_UNEXPECTED_REPLY);
  loader.Termina();

  ASSERT_EQ(Avvia(300), 1);
  Chiedi(0);
  Passo();
  Scheda({0x58});
  EXPECT_EQ(Passo(), 0);
  EXPECT_EQ(loader.fase, ST_FAILED);
  EXPECT_EQ(loader.esito, RC_UNEXPECTED_REPLY);
}

TEST_F(Load68331, AnEmptyModuleEndsAtTheBoardsEnd) {
  Modulo(0);
  ASSERT_EQ(Avvia(0), 1);
  EXPECT_EQ(Inviati(), (std::vector<Byte>{CLoad68331::MessaggioAvvio(0, 128)}));
  Scheda({0x58});
  EXPECT_EQ(Passo(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
}

TEST_F(Load68331, OverrunOfThePacketRing) {
  Modulo(300);
  ASSERT_EQ(Avvia(300), 1);
  Chiedi(0);
  Chiedi(0);
  Chiedi(0);
  EXPECT_EQ(Passo(), 1);  // one taken, two wait
  Chiedi(0);
  Chiedi(0);
  EXPECT_EQ(Passo(), 0);
  EXPECT_EQ(loader.esito, RC_OVERRUN);
}

TEST_F(Load68331, StartRefusals) {
  Modulo(64);
  EXPECT_EQ(Avvia(64, 0x12A0, 1), 0);
  EXPECT_EQ(esitoAvvio, RC_MODULE_TYPE);
  EXPECT_EQ(loader.fase, ST_FAILED);
  linea->baudGuasto = true;
  EXPECT_EQ(Avvia(64), 0);
  EXPECT_EQ(esitoAvvio, RC_PORT_ACCESS);
  linea->baudGuasto = false;
  // Nothing went out before the speed was set.
  EXPECT_TRUE(Inviati().empty());
  const int velocita[2] = {38400, 38400};
  const std::uint32_t indirizzi[4] = {};
  int e = -1;
  EXPECT_EQ(loader.Avvia(cartella.File("manca.bin"), 0, 64, 0x12A0, indirizzi, 0, 0, 0, &interfaccia, 0, velocita,
                         0, &e),
            0);
  EXPECT_EQ(e, RC_FILE_OPEN);
}

TEST_F(Load68331, AFailedSendEndsWithPacketSend) {
  Modulo(64);
  ASSERT_EQ(Avvia(64), 1);
  linea->scritturaGuasta = true;
  Chiedi(0);
  EXPECT_EQ(Passo(), 0);
  EXPECT_EQ(loader.esito, RC_PACKET_SEND);
}

}  // namespace
}  // namespace bricola
