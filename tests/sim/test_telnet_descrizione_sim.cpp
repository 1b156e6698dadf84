// Telnet / RFC 2217 server logic without sockets, and the machine file.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/rfc2217.h"
#include "sim/descrizione_sim.h"
#include "sim/telnet_sim.h"

namespace bricola::sim {
namespace {

namespace r = bricola::rfc2217;
using Byte = std::vector<std::uint8_t>;

Byte Sb(std::uint8_t cmd, Byte valore) {
  Byte b = {r::IAC, r::SB, r::OPT_COM_PORT, cmd};
  for (std::uint8_t v : valore) {
    b.push_back(v);
    if (v == r::IAC) b.push_back(r::IAC);
  }
  b.push_back(r::IAC);
  b.push_back(r::SE);
  return b;
}

Byte Baud(std::uint32_t b) {
  return {static_cast<std::uint8_t>(b >> 24), static_cast<std::uint8_t>(b >> 16), static_cast<std::uint8_t>(b >> 8),
          static_cast<std::uint8_t>(b)};
}

class TelnetSim : public ::testing::Test {
 protected:
  TelnetSim() : macchina(DescrizionePredefinita().schede), telnet(macchina) {}
  // Feeds bytes; returns the Telnet answers and collects the line data in `dati`.
  Byte Client(const Byte& b) {
    Byte risposte;
    std::vector<Uscita> uscite;
    telnet.DalClient(b.data(), b.size(), ms, risposte, uscite);
    for (const auto& u : uscite) dati.insert(dati.end(), u.byte.begin(), u.byte.end());
    ms += 1;
    return risposte;
  }
  CMacchinaSim macchina;
  CTelnetSim telnet;
  Byte dati;
  std::int64_t ms = 1000;
};

TEST_F(TelnetSim, NegotiationOffersAndDoesNotLoop) {
  const Byte apertura = telnet.Apertura();
  const Byte atteso = {r::IAC, r::WILL, r::OPT_BINARY, r::IAC, r::DO, r::OPT_BINARY,
                       r::IAC, r::WILL, r::OPT_SUPPRESS_GO_AHEAD, r::IAC, r::DO, r::OPT_SUPPRESS_GO_AHEAD,
                       r::IAC, r::DO, r::OPT_COM_PORT};
  EXPECT_EQ(apertura, atteso);
  // The client agrees to what we asked: nothing more to say.
  EXPECT_TRUE(Client({r::IAC, r::DO, r::OPT_BINARY, r::IAC, r::WILL, r::OPT_BINARY, r::IAC, r::WILL, r::OPT_COM_PORT,
                      r::IAC, r::DO, r::OPT_SUPPRESS_GO_AHEAD, r::IAC, r::WILL, r::OPT_SUPPRESS_GO_AHEAD})
                  .empty());
  EXPECT_TRUE(telnet.BinarioDalClient());
  EXPECT_TRUE(telnet.ComPortAttivo());
  // Repeating an agreement is not answered either (no negotiation loop).
  EXPECT_TRUE(Client({r::IAC, r::DO, r::OPT_BINARY}).empty());
  // Options we do not have are refused once.
  EXPECT_EQ(Client({r::IAC, r::DO, r::OPT_ECHO}), (Byte{r::IAC, r::WONT, r::OPT_ECHO}));
  EXPECT_EQ(Client({r::IAC, r::WILL, 99}), (Byte{r::IAC, r::DONT, 99}));
  EXPECT_TRUE(Client({r::IAC, r::DONT, r::OPT_ECHO}).empty());
  // The client may also ask the server side to speak COM-PORT-OPTION.
  EXPECT_EQ(Client({r::IAC, r::DO, r::OPT_COM_PORT}), (Byte{r::IAC, r::WILL, r::OPT_COM_PORT}));
  // Switching binary off is acknowledged.
  EXPECT_EQ(Client({r::IAC, r::WONT, r::OPT_BINARY}), (Byte{r::IAC, r::DONT, r::OPT_BINARY}));
}

TEST_F(TelnetSim, ComPortCommandsGetTheRfcAnswers) {
  EXPECT_EQ(Client(Sb(r::SET_BAUDRATE, Baud(115200))), Sb(101, Baud(115200)));
  EXPECT_EQ(macchina.BaudLinea(), 115200u);
  EXPECT_EQ(Client(Sb(r::SET_BAUDRATE, Baud(0))), Sb(101, Baud(115200))) << "0 asks the current value";
  // A value holding 255 is escaped inside the answer.
  EXPECT_EQ(Client(Sb(r::SET_BAUDRATE, Baud(255))), Sb(101, Baud(255)));
  EXPECT_EQ(Client(Sb(r::SET_DATASIZE, {8})), Sb(102, {8}));
  EXPECT_EQ(Client(Sb(r::SET_PARITY, {r::PARITY_NONE})), Sb(103, {r::PARITY_NONE}));
  EXPECT_EQ(Client(Sb(r::SET_STOPSIZE, {r::STOPSIZE_2})), Sb(104, {r::STOPSIZE_2}));
  EXPECT_EQ(Client(Sb(r::SET_STOPSIZE, {r::STOPSIZE_REQUEST})), Sb(104, {r::STOPSIZE_2}));
  EXPECT_EQ(Client(Sb(r::SET_CONTROL, {r::CONTROL_RTS_ON})), Sb(105, {r::CONTROL_RTS_ON}));
  EXPECT_TRUE(macchina.Rts());
  EXPECT_EQ(Client(Sb(r::SET_CONTROL, {r::CONTROL_RTS_REQUEST})), Sb(105, {r::CONTROL_RTS_ON}));
  EXPECT_EQ(Client(Sb(r::SET_CONTROL, {r::CONTROL_DTR_REQUEST})), Sb(105, {r::CONTROL_DTR_OFF}));
  EXPECT_EQ(Client(Sb(r::SET_CONTROL, {r::CONTROL_FLOW_NONE})), Sb(105, {r::CONTROL_FLOW_NONE}));
  EXPECT_EQ(Client(Sb(r::SET_LINESTATE_MASK, {0x10})), Sb(110, {0x10}));
  // Asking to watch the modem lines answers the mask and the current state.
  Byte modem = Sb(111, {0xF0});
  const Byte notifica = Sb(107, {0xB0});
  modem.insert(modem.end(), notifica.begin(), notifica.end());
  EXPECT_EQ(Client(Sb(r::SET_MODEMSTATE_MASK, {0xF0})), modem);
  const char* f = CTelnetSim::FIRMA;
  EXPECT_EQ(Client(Sb(r::SIGNATURE, {})), Sb(100, Byte(f, f + std::string(f).size())));
  EXPECT_TRUE(Client(Sb(r::SIGNATURE, {'p', 'c'})).empty()) << "the client's own signature needs no answer";

  std::vector<std::uint8_t> svuotati;
  telnet.alSvuota = [&](std::uint8_t q) { svuotati.push_back(q); };
  EXPECT_EQ(Client(Sb(r::PURGE_DATA, {r::PURGE_BOTH})), Sb(112, {r::PURGE_BOTH}));
  EXPECT_EQ(svuotati, Byte{r::PURGE_BOTH});
}

TEST_F(TelnetSim, DtrPulseThroughSetControlResetsTheBoard) {
  macchina.Scheda(0).modo = ModoScheda::Applicazione;
  Client(Sb(r::SET_CONTROL, {r::CONTROL_DTR_ON}));
  Client(Sb(r::SET_CONTROL, {r::CONTROL_DTR_OFF}));
  EXPECT_EQ(macchina.Scheda(0).modo, ModoScheda::Boot);
  EXPECT_EQ(macchina.Scheda(0).reset, 1);
  Client({0xF3, 0x60, 0x03, 0x18});
  EXPECT_EQ(dati, (Byte{0xF3, 0x34, 0x12, 0x91, 0xCA}));
}

TEST_F(TelnetSim, DataAndCommandsKeepTheirOrder) {
  // The request before the baud change is answered; the one after it is lost.
  Byte b = {0xF3, 0x60, 0x03, 0x18};
  const Byte baud = Sb(r::SET_BAUDRATE, Baud(9600));
  b.insert(b.end(), baud.begin(), baud.end());
  b.insert(b.end(), {0xF3, 0x60, 0x03, 0x18});
  Client(b);
  EXPECT_EQ(dati, (Byte{0xF3, 0x34, 0x12, 0x91, 0xCA}));
}

TEST_F(TelnetSim, EscapedDataAndSplitSequences) {
  // IAC IAC is one data byte FF: not a command of the boot, so "not handled".
  Client({r::IAC});
  Client({r::IAC});
  Byte nonGestito = {0xF7, 0xFF};
  AggiungiControlloRisposta(nonGestito);
  EXPECT_EQ(dati, nonGestito);
  dati.clear();
  ms += 500;
  // A sub-negotiation cut into single bytes still works.
  Byte risposte;
  for (std::uint8_t x : Sb(r::SET_BAUDRATE, Baud(19200))) {
    const Byte parte = Client({x});
    risposte.insert(risposte.end(), parte.begin(), parte.end());
  }
  EXPECT_EQ(risposte, Sb(101, Baud(19200)));
  // Line data toward the client are escaped.
  Byte uscita;
  const Byte grezzi = {0xEC, 0xEC, 0xFF, 0x7F, 0x1D};
  CTelnetSim::Escapa(grezzi.data(), grezzi.size(), uscita);
  EXPECT_EQ(uscita, (Byte{0xEC, 0xEC, 0xFF, 0xFF, 0x7F, 0x1D}));
}

// Whatever a client sends, the server and the boards stay consistent: seeded
// random streams of data, Telnet commands and valid requests mixed together.
TEST(TelnetSimRobustezza, RandomStreamsDoNotBreakTheMachine) {
  DescrizioneMacchina d;
  std::string errore;
  ASSERT_TRUE(LeggiFileDescrizione(BRICOLA_SIM_DEMO, d, errore)) << errore;
  CMacchinaSim m(std::move(d.schede), d.linea);
  CTelnetSim t(m);
  std::uint32_t x = 12345;
  auto caso = [&] {
    x = x * 1664525u + 1013904223u;
    return x >> 8;
  };
  const std::vector<Byte> pezzi = {
      {r::IAC}, {r::IAC, r::SB, r::OPT_COM_PORT}, {r::IAC, r::SE}, {r::IAC, r::DO}, {r::IAC, r::WILL},
      {0xF3, 0x60, 0x03, 0x18}, {0xFA, 0x82, 0x04, 0xFF, 0x01, 0x00}, {0xED, 0x00, 0x00, 0xFC, 0xFF, 0xFF},
      {0xF7}, {0xF8, 0x00, 0x00, 0x40}, {r::SET_CONTROL, r::CONTROL_DTR_ON}, {r::SET_BAUDRATE, 0, 0, 0x96, 0}};
  std::int64_t ms = 0;
  for (int i = 0; i < 20000; ++i) {
    Byte b;
    if (caso() % 3 == 0) {
      b = pezzi[caso() % pezzi.size()];
    } else {
      b.resize(caso() % 16);
      for (auto& v : b) v = static_cast<std::uint8_t>(caso());
    }
    Byte risposte;
    std::vector<Uscita> uscite;
    t.DalClient(b.data(), b.size(), ms, risposte, uscite);
    for (const auto& u : uscite) ASSERT_FALSE(u.byte.empty());
    ms += caso() % 150;
  }
  // After all that, a reset and a clean request still work.
  Byte risposte;
  std::vector<Uscita> uscite;
  ms += 1000;
  const Byte pulito = {r::IAC, r::SE, r::IAC, r::SB, r::OPT_COM_PORT, r::SET_CONTROL, r::CONTROL_DTR_ON, r::IAC, r::SE,
                       r::IAC, r::SB, r::OPT_COM_PORT, r::SET_CONTROL, r::CONTROL_RTS_OFF, r::IAC, r::SE,
                       r::IAC, r::SB, r::OPT_COM_PORT, r::SET_CONTROL, r::CONTROL_DTR_OFF, r::IAC, r::SE,
                       r::IAC, r::SB, r::OPT_COM_PORT, r::SET_BAUDRATE, 0, 0, 0x96, 0, r::IAC, r::SE,
                       r::IAC, r::SB, r::OPT_COM_PORT, r::SET_DATASIZE, 8, r::IAC, r::SE,
                       r::IAC, r::SB, r::OPT_COM_PORT, r::SET_PARITY, r::PARITY_NONE, r::IAC, r::SE};
  // A pending sub-negotiation may swallow the first SE: send the settings twice.
  t.DalClient(pulito.data(), pulito.size(), ms, risposte, uscite);
  t.DalClient(pulito.data(), pulito.size(), ms, risposte, uscite);
  uscite.clear();
  ms += 1000;
  const Byte firma = {0xF3, 0x60, 0x03, 0x18};
  t.DalClient(firma.data(), firma.size(), ms, risposte, uscite);
  ASSERT_EQ(uscite.size(), 1u);
  EXPECT_EQ(uscite[0].byte, (Byte{0xF3, 0x34, 0x12, 0x91, 0xCA}));
}

TEST(DescrizioneSim, DemoMachineLoads) {
  DescrizioneMacchina d;
  std::string errore;
  ASSERT_TRUE(LeggiFileDescrizione(BRICOLA_SIM_DEMO, d, errore)) << errore;
  ASSERT_EQ(d.schede.size(), 3u);
  EXPECT_EQ(d.schede[0].config.codice, 0x1234);
  EXPECT_EQ(d.schede[0].config.versione, 0x68);
  EXPECT_EQ(d.schede[0].BufferByte(), 512u);
  EXPECT_EQ(d.schede[0].flash.Leggi(0xFC0000), 0xDE);
  EXPECT_NE(d.schede[0].flash.TrovaChip(0x400000), nullptr);
  EXPECT_EQ(d.schede[1].config.indirizzoCan, 0x0482);
  EXPECT_EQ(d.schede[2].config.codice, 0xFFFF);
  EXPECT_TRUE(d.schede[2].config.inApplicazione);
}

TEST(DescrizioneSim, EveryFieldOfAFullBoard) {
  const char* testo = R"({
    "linea": {"byteErrati": "spazzatura", "pausaMassimaMs": 50, "seme": 9, "chiudiDopoByte": 1000},
    "schede": [{
      "nome": "x", "codice": 4660, "versione": "0x55", "tipoMicro": 9, "velocitaMassima": "0xFF",
      "codiceBuffer": 128, "indirizzoCan": "0x10", "modoDati": false, "avvio": "applicazione",
      "flash": {
        "regioni": [{"inizio": "0x0", "dimensione": "0x20000", "settori": [{"dimensione": "0x4000", "numero": 2}, {"dimensione": "0x8000", "numero": -1}]}],
        "areaBoot": {"inizio": "0x1C000", "fine": "0x20000"},
        "areaVettori": {"inizio": "0x1BF00", "fine": "0x1C000"},
        "protetti": ["0x4000"],
        "allineamento": 4,
        "contenuto": [{"indirizzo": "0x100", "riempi": "0x00", "lunghezza": 16}, {"indirizzo": "0x200", "dati": "0102"}]
      },
      "ritardiMs": {"Erase": 250},
      "guasti": [{"tipo": "stato", "comando": "Write", "volte": 3, "stato": "0xFC"},
                 {"tipo": "silenzio"}]
    }]})";
  DescrizioneMacchina d;
  std::string errore;
  ASSERT_TRUE(LeggiDescrizione(testo, ".", d, errore)) << errore;
  EXPECT_TRUE(d.linea.spazzatura);
  EXPECT_EQ(d.linea.pausaMassimaMs, 50u);
  EXPECT_EQ(d.linea.chiudiDopoByte, 1000u);
  const CSchedaSim& s = d.schede[0];
  EXPECT_EQ(s.ByteIndirizzo(), 4);
  EXPECT_EQ(s.config.velocitaMassima, 0xFF);
  EXPECT_FALSE(s.config.modoDati);
  EXPECT_EQ(s.config.ritardiMs[static_cast<std::size_t>(Comando::Erase)], 250u);
  ASSERT_EQ(s.config.guasti.size(), 2u);
  EXPECT_EQ(s.config.guasti[0].stato, 0xFC);
  EXPECT_TRUE(s.config.guasti[1].tuttiIComandi);
  EXPECT_EQ(s.flash.NumeroSettori(), 5u);
  EXPECT_TRUE(s.flash.TrovaSettore(0x4000)->protetto);
  EXPECT_EQ(s.flash.Leggi(0x10F), 0x00);
  EXPECT_EQ(s.flash.Leggi(0x201), 0x02);
}

TEST(DescrizioneSim, MistakesAreReportedNotIgnored) {
  const std::vector<std::pair<const char*, const char*>> casi = {
      {R"({"schede": []})", "almeno una scheda"},
      {R"({"schede": [{"codce": 1}]})", "campo sconosciuto \"codce\""},
      {R"({"schede": [{"guasti": [{"tipo": "nack", "comando": "Scrivi"}]}]})", "comando sconosciuto"},
      {R"({"schede": [{"guasti": [{"tipo": "fulmine"}]}]})", "tipo sconosciuto"},
      {R"({"schede": [{}, {"indirizzoCan": 5}, {"indirizzoCan": 5}]})", "ripetuto"},
      {R"({"schede": [{}, {}]})", "indirizzoCan"},
      {R"({"schede": [{"codice": "0x12345"}]})", "oltre"},
      {R"({"schede": [{"flash": {"mappa": "M999"}}]})", "mappa sconosciuta"},
      {R"({"schede": [{"flash": {"mappa": "M256", "contenuto": [{"indirizzo": 0, "dati": "00"}]}}]})", "fuori"},
      {R"({"schede": [{"flash": {"esterne": [{"base": "0x400000", "dimensione": "0x30000"}]}}]})", "potenza di 2"},
      {R"({"schede": [)", "parse"},
  };
  for (const auto& [testo, frammento] : casi) {
    DescrizioneMacchina d;
    std::string errore;
    EXPECT_FALSE(LeggiDescrizione(testo, ".", d, errore)) << testo;
    EXPECT_NE(errore.find(frammento), std::string::npos) << testo << " -> " << errore;
  }
}

}  // namespace
}  // namespace bricola::sim
