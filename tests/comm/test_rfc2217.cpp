// The RFC 2217 client against an in-test access server that records every byte.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "platform/rfc2217.h"
#include "platform/linee.h"
#include "server_prova.h"

namespace bricola {
namespace {

namespace t = rfc2217;
using Byte = std::vector<std::uint8_t>;

// A short answer wait keeps the tests of missing answers quick.
constexpr int kAttesaMs = 300;

class Rfc2217Client : public ::testing::Test {
 protected:
  std::unique_ptr<LineaSeriale> Apri(int baud = 9600, bool dtr = false, bool rts = false) {
    server.Avvia();
    return ApriLineaRfc2217("127.0.0.1", server.Porta(), baud, dtr, rts, kAttesaMs);
  }

  // The COM-PORT-OPTION subnegotiations the server received, without the option byte.
  std::vector<Byte> Richieste() {
    std::vector<Byte> r;
    for (auto& s : server.Sottonegoziazioni()) {
      if (!s.empty() && s[0] == t::OPT_COM_PORT) r.emplace_back(s.begin() + 1, s.end());
    }
    return r;
  }

  Byte LeggiTutto(LineaSeriale& linea, int n, int timeoutMs = 2000) {
    Byte b(static_cast<std::size_t>(n));
    int letti = 0;
    const auto fine = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (letti < n && std::chrono::steady_clock::now() < fine) {
      int r = linea.Leggi(b.data() + letti, n - letti, 100);
      if (r < 0) break;
      letti += r;
    }
    b.resize(static_cast<std::size_t>(letti));
    return b;
  }

  prova::ServerRfc2217 server;
};

TEST_F(Rfc2217Client, OpenNegotiatesOptionsAndConfigures8N1WithLines) {
  auto linea = Apri(38400, true, false);
  ASSERT_NE(linea, nullptr);
  // The client offers COM-PORT-OPTION and binary and go-ahead suppression both ways.
  for (auto [c, o] : {std::pair{t::WILL, t::OPT_COM_PORT}, {t::WILL, t::OPT_BINARY}, {t::DO, t::OPT_BINARY},
                      {t::WILL, t::OPT_SUPPRESS_GO_AHEAD}, {t::DO, t::OPT_SUPPRESS_GO_AHEAD}}) {
    EXPECT_TRUE(server.AttendiNegoziazione(c, o, 0)) << int(c) << " " << int(o);
  }
  const std::vector<Byte> attese = {
      {t::SET_BAUDRATE, 0x00, 0x00, 0x96, 0x00},  // 38400 big-endian
      {t::SET_DATASIZE, 8},
      {t::SET_PARITY, t::PARITY_NONE},
      {t::SET_STOPSIZE, t::STOPSIZE_1},
      {t::SET_CONTROL, t::CONTROL_FLOW_NONE},
      {t::SET_CONTROL, t::CONTROL_DTR_ON},
      {t::SET_CONTROL, t::CONTROL_RTS_OFF},
  };
  EXPECT_EQ(Richieste(), attese);
}

TEST_F(Rfc2217Client, ServerThatAsksFirstGetsNoSecondAnswer) {
  // The server opens the negotiation itself and stays silent on our requests.
  server.rispondeNegoziazione = false;
  server.saluto = {t::IAC, t::DO,   t::OPT_COM_PORT, t::IAC, t::WILL, t::OPT_BINARY, t::IAC, t::DO, t::OPT_BINARY,
                   t::IAC, t::WILL, t::OPT_SUPPRESS_GO_AHEAD};
  auto linea = Apri();
  ASSERT_NE(linea, nullptr);
  std::map<std::pair<std::uint8_t, std::uint8_t>, int> conteggi;
  for (auto n : server.Negoziazioni()) ++conteggi[n];
  // Each of our requests went out once: the server's own requests found them pending.
  for (auto [c, o] : {std::pair{t::WILL, t::OPT_COM_PORT}, {t::WILL, t::OPT_BINARY}, {t::DO, t::OPT_BINARY},
                      {t::DO, t::OPT_SUPPRESS_GO_AHEAD}}) {
    EXPECT_EQ((conteggi[{c, o}]), 1) << int(c) << " " << int(o);
  }
}

TEST_F(Rfc2217Client, LineChangesGoOnTheWireByteExact) {
  auto linea = Apri();
  ASSERT_NE(linea, nullptr);
  const std::size_t prima = server.Grezzi().size();
  ASSERT_TRUE(linea->ImpostaBaud(115200));
  ASSERT_TRUE(linea->ImpostaBitStop(2));
  ASSERT_TRUE(linea->ImpostaDtr(true));
  ASSERT_TRUE(linea->ImpostaDtr(false));
  ASSERT_TRUE(linea->ImpostaRts(true));
  ASSERT_TRUE(linea->ImpostaRts(false));
  ASSERT_TRUE(linea->ImpostaBitStop(1));
  ASSERT_TRUE(linea->SvuotaIngresso());
  const Byte grezzi = server.Grezzi();
  const Byte atteso = {
      0xFF, 0xFA, 44, 1, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0,  // baud 115200
      0xFF, 0xFA, 44, 4, 2, 0xFF, 0xF0,                      // two stop bits
      0xFF, 0xFA, 44, 5, 8, 0xFF, 0xF0,                      // DTR on
      0xFF, 0xFA, 44, 5, 9, 0xFF, 0xF0,                      // DTR off
      0xFF, 0xFA, 44, 5, 11, 0xFF, 0xF0,                     // RTS on
      0xFF, 0xFA, 44, 5, 12, 0xFF, 0xF0,                     // RTS off
      0xFF, 0xFA, 44, 4, 1, 0xFF, 0xF0,                      // one stop bit
      0xFF, 0xFA, 44, 12, 1, 0xFF, 0xF0,                     // purge the receive buffer
  };
  EXPECT_EQ(Byte(grezzi.begin() + static_cast<long>(prima), grezzi.end()), atteso);
}

TEST_F(Rfc2217Client, IacInsideSubnegotiationValueIsDoubledAndAnswerUnescaped) {
  auto linea = Apri();
  ASSERT_NE(linea, nullptr);
  const std::size_t prima = server.Grezzi().size();
  // 0x00FF00FF: two bytes 255 in the value.
  ASSERT_TRUE(linea->ImpostaBaud(0x00FF00FF));
  const Byte grezzi = server.Grezzi();
  const Byte atteso = {0xFF, 0xFA, 44, 1, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xF0};
  EXPECT_EQ(Byte(grezzi.begin() + static_cast<long>(prima), grezzi.end()), atteso);
}

TEST_F(Rfc2217Client, DataTravelsBothWaysWithEveryByteValue) {
  auto linea = Apri();
  ASSERT_NE(linea, nullptr);
  Byte tutti;
  for (int r = 0; r < 3; ++r)
    for (int i = 0; i < 256; ++i) tutti.push_back(static_cast<std::uint8_t>(i));
  tutti.insert(tutti.end(), {0xFF, 0xFF, 0xFF, 0xF0, 0xFA, 0xFF});
  const std::size_t prima = server.Grezzi().size();
  ASSERT_EQ(linea->Scrivi(tutti.data(), static_cast<int>(tutti.size())), static_cast<int>(tutti.size()));
  ASSERT_TRUE(server.AttendiDati(tutti.size()));
  EXPECT_EQ(server.Dati(), tutti);
  // On the wire every 255 is doubled and nothing else is added.
  Byte atteso;
  for (auto b : tutti) {
    atteso.push_back(b);
    if (b == 0xFF) atteso.push_back(b);
  }
  const Byte grezzi = server.Grezzi();
  EXPECT_EQ(Byte(grezzi.begin() + static_cast<long>(prima), grezzi.end()), atteso);
  // The echo comes back whole, undoubled.
  EXPECT_EQ(LeggiTutto(*linea, static_cast<int>(tutti.size())), tutti);
}

TEST_F(Rfc2217Client, NotificationsAndStrayCommandsBetweenDataLoseNoByte) {
  server.eco = false;
  auto linea = Apri();
  ASSERT_NE(linea, nullptr);
  // Data mixed with NOP, GA, a modem state and a line state notification, a
  // flow control suspend, an offer of ECHO, and an escaped 255 split across
  // two segments.
  const std::vector<Byte> pezzi = {
      {0x10, 0xFF, t::NOP, 0x11},
      {0xFF, t::SB, 44, 107, 0x30, 0xFF, t::SE, 0x12},
      {0xFF, t::GA, 0x13, 0xFF, t::SB, 44, 106, 0x60, 0xFF, t::SE},
      {0xFF, t::WILL, t::OPT_ECHO, 0x14, 0xFF},
      {0xFF, 0x15, 0xFF, t::SB, 44, 108, 0xFF, t::SE, 0xFF, t::SB, 44, 109, 0xFF, t::SE, 0x16},
      {0xFF, t::SB, 44, 107, 0xFF, 0xFF, 0xFF, t::SE, 0xFF, t::NOP, 0xFF, t::SE, 0x17},
  };
  for (const auto& p : pezzi) {
    server.InviaGrezzo(p);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const Byte atteso = {0x10, 0x11, 0x12, 0x13, 0x14, 0xFF, 0x15, 0x16, 0x17};
  EXPECT_EQ(LeggiTutto(*linea, static_cast<int>(atteso.size())), atteso);
  // ECHO would change the byte stream: refused.
  EXPECT_TRUE(server.AttendiNegoziazione(t::DONT, t::OPT_ECHO));
  // Nothing more is there.
  std::uint8_t b;
  EXPECT_EQ(linea->Leggi(&b, 1, 50), 0);
  // And the line still answers line changes after all that.
  EXPECT_TRUE(linea->ImpostaBaud(19200));
}

TEST_F(Rfc2217Client, RandomStreamOfDataAndCommandsInRandomSegments) {
  server.eco = false;
  auto linea = Apri();
  ASSERT_NE(linea, nullptr);
  std::mt19937 caso(20261210);  // fixed seed: the same stream every run
  Byte dati;
  Byte flusso;
  auto byteCaso = [&] { return static_cast<std::uint8_t>(caso() % 4 == 0 ? 0xFF : caso() & 0xFF); };
  for (int i = 0; i < 20000; ++i) {
    const std::uint8_t b = byteCaso();
    dati.push_back(b);
    flusso.push_back(b);
    if (b == 0xFF) flusso.push_back(b);
    switch (caso() % 40) {
      case 0: flusso.insert(flusso.end(), {0xFF, t::NOP}); break;
      case 1: flusso.insert(flusso.end(), {0xFF, t::GA}); break;
      case 2: {  // a modem or line state notification, its value possibly 255
        const std::uint8_t v = byteCaso();
        flusso.insert(flusso.end(), {0xFF, t::SB, 44, static_cast<std::uint8_t>(106 + caso() % 2), v});
        if (v == 0xFF) flusso.push_back(v);
        flusso.insert(flusso.end(), {0xFF, t::SE});
        break;
      }
      case 3: flusso.insert(flusso.end(), {0xFF, t::WILL, t::OPT_ECHO}); break;
      case 4: flusso.insert(flusso.end(), {0xFF, t::DO, 24}); break;  // terminal type: refused
      case 5: flusso.insert(flusso.end(), {0xFF, t::SB, 24, 1, 0xFF, t::SE}); break;  // another option's subnegotiation
      default: break;
    }
  }
  std::thread invio([&] {
    std::size_t i = 0;
    while (i < flusso.size()) {
      const std::size_t n = std::min<std::size_t>(1 + caso() % 700, flusso.size() - i);
      server.InviaGrezzo(Byte(flusso.begin() + static_cast<long>(i), flusso.begin() + static_cast<long>(i + n)));
      i += n;
      if (caso() % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const Byte ricevuti = LeggiTutto(*linea, static_cast<int>(dati.size()), 10000);
  invio.join();
  EXPECT_EQ(ricevuti.size(), dati.size());
  EXPECT_TRUE(ricevuti == dati);
  std::uint8_t b;
  EXPECT_EQ(linea->Leggi(&b, 1, 50), 0);
  EXPECT_TRUE(linea->ImpostaBaud(57600));
}

TEST_F(Rfc2217Client, DataArrivingWhileALineChangeWaitsIsKept) {
  server.eco = false;
  auto linea = Apri();
  ASSERT_NE(linea, nullptr);
  server.muti = {t::SET_BAUDRATE};
  const std::size_t prima = server.Sottonegoziazioni().size();
  auto cambio = std::async(std::launch::async, [&] { return linea->ImpostaBaud(19200); });
  ASSERT_TRUE(server.AttendiSottonegoziazioni(prima + 1, 1000));
  // Data, then the answer (19200 = 00 00 4B 00), then more data, in one segment.
  server.InviaGrezzo({0x21, 0xFF, 0xFF, 0x22, 0xFF, t::SB, 44, 101, 0x00, 0x00, 0x4B, 0x00, 0xFF, t::SE, 0x23});
  EXPECT_TRUE(cambio.get());
  EXPECT_EQ(LeggiTutto(*linea, 4), (Byte{0x21, 0xFF, 0x22, 0x23}));
}

TEST_F(Rfc2217Client, ReadReturnsAtItsTimeoutWithWhatCame) {
  server.eco = false;
  auto linea = Apri();
  ASSERT_NE(linea, nullptr);
  server.InviaGrezzo({1, 2});
  Byte b(5);
  const auto inizio = std::chrono::steady_clock::now();
  const int r = linea->Leggi(b.data(), 5, 200);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inizio).count();
  EXPECT_EQ(r, 2);
  EXPECT_GE(ms, 190);
  EXPECT_LT(ms, 1500);
  // A zero timeout gives what is there at once.
  EXPECT_EQ(linea->Leggi(b.data(), 5, 0), 0);
}

// Each line change that the server leaves unanswered, or answers with another
// value, fails; the line goes on working for the others.
class Rfc2217Risposte : public Rfc2217Client, public ::testing::WithParamInterface<std::pair<std::uint8_t, bool>> {};

TEST_P(Rfc2217Risposte, MissingOrDifferentAnswerIsAFailedChange) {
  const auto [sottocomando, muto] = GetParam();
  auto linea = Apri();
  ASSERT_NE(linea, nullptr);
  (muto ? server.muti : server.alterati).insert(sottocomando);
  bool ok = true;
  const auto inizio = std::chrono::steady_clock::now();
  switch (sottocomando) {
    case t::SET_BAUDRATE: ok = linea->ImpostaBaud(57600); break;
    case t::SET_STOPSIZE: ok = linea->ImpostaBitStop(2); break;
    case t::SET_CONTROL: ok = linea->ImpostaDtr(true) && linea->ImpostaRts(true); break;
    case t::PURGE_DATA: ok = linea->SvuotaIngresso(); break;
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inizio).count();
  EXPECT_FALSE(ok);
  EXPECT_LT(ms, kAttesaMs + 1000);  // bounded by the answer wait
  if (sottocomando != t::SET_BAUDRATE) {
    EXPECT_TRUE(linea->ImpostaBaud(9600));
  }
  if (sottocomando != t::SET_CONTROL) {
    EXPECT_TRUE(linea->ImpostaDtr(false));
  }
}

INSTANTIATE_TEST_SUITE_P(Casi, Rfc2217Risposte,
                         ::testing::Values(std::pair{t::SET_BAUDRATE, true}, std::pair{t::SET_BAUDRATE, false},
                                           std::pair{t::SET_STOPSIZE, true}, std::pair{t::SET_STOPSIZE, false},
                                           std::pair{t::SET_CONTROL, true}, std::pair{t::SET_CONTROL, false},
                                           std::pair{t::PURGE_DATA, true}, std::pair{t::PURGE_DATA, false}));

TEST_F(Rfc2217Client, PurgeDiscardsWhatHadArrived) {
  server.eco = false;
  auto linea = Apri();
  ASSERT_NE(linea, nullptr);
  server.InviaGrezzo({1, 2, 3});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(linea->SvuotaIngresso());
  std::uint8_t b[4];
  EXPECT_EQ(linea->Leggi(b, 4, 30), 0);
  server.InviaGrezzo({4});
  EXPECT_EQ(linea->Leggi(b, 1, 1000), 1);
  EXPECT_EQ(b[0], 4);
}

TEST_F(Rfc2217Client, ServerRefusingComPortOptionFailsTheOpen) {
  server.accettaComPort = false;
  EXPECT_EQ(Apri(), nullptr);
}

TEST_F(Rfc2217Client, SilentServerFailsTheOpenInBoundedTime) {
  server.rispondeNegoziazione = false;
  server.muti = {t::SET_BAUDRATE};
  const auto inizio = std::chrono::steady_clock::now();
  EXPECT_EQ(Apri(), nullptr);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inizio).count();
  EXPECT_LT(ms, 3 * kAttesaMs + 1000);
}

TEST_F(Rfc2217Client, ClosedConnectionGivesTheRestThenAnError) {
  server.eco = false;
  auto linea = Apri();
  ASSERT_NE(linea, nullptr);
  server.InviaGrezzo({7, 8});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.ChiudiClient();
  std::uint8_t b[4];
  EXPECT_EQ(linea->Leggi(b, 4, 500), 2);
  EXPECT_EQ(linea->Leggi(b, 4, 500), -1);
  EXPECT_FALSE(linea->ImpostaBaud(9600));
}

TEST(Rfc2217Apertura, NobodyListeningFails) {
  // A port that was free a moment ago.
  int porta;
  {
    prova::ServerRfc2217 s;
    porta = s.Porta();
  }
  EXPECT_EQ(ApriLineaRfc2217("127.0.0.1", porta, 9600, false, false, kAttesaMs), nullptr);
}

TEST(Rfc2217Url, ParsesHostAndPort) {
  struct Caso {
    const char* url;
    bool valido;
    const char* host;
    int porta;
  };
  const Caso casi[] = {
      {"rfc2217://127.0.0.1:4000", true, "127.0.0.1", 4000},
      {"RFC2217://board-7.lan:2217/", true, "board-7.lan", 2217},
      {"rfc2217://[::1]:7000", true, "::1", 7000},
      {"rfc2217://host:65535", true, "host", 65535},
      {"rfc2217://host:65536", false, "", 0},
      {"rfc2217://host:0", false, "", 0},
      {"rfc2217://host", false, "", 0},
      {"rfc2217://:4000", false, "", 0},
      {"rfc2217://host:40x0", false, "", 0},
      {"rfc2217://::1:7000", false, "", 0},
      {"rfc2217://host:4000/path", false, "", 0},
      {"telnet://host:4000", false, "", 0},
      {"/dev/ttyUSB0", false, "", 0},
      {"", false, "", 0},
  };
  for (const auto& c : casi) {
    std::string host;
    int porta = 0;
    EXPECT_EQ(AnalizzaUrlRfc2217(c.url, &host, &porta), c.valido) << c.url;
    if (c.valido) {
      EXPECT_EQ(host, c.host) << c.url;
      EXPECT_EQ(porta, c.porta) << c.url;
    }
  }
}

}  // namespace
}  // namespace bricola
