// Port map, port codes and the opener the map installs.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "app/impostazioni.h"
#include "app/porte.h"
#include "cartella_prova.h"
#include "comm/int_seriale.h"
#include "comm/porta_seriale.h"
#include "platform/dispositivi.h"
#include "platform/rfc2217.h"
#include "tests/comm/server_prova.h"

namespace bricola {
namespace {

// A CMainProc over given COM and LPT numbers.
CMainProc ConPorte(const std::vector<int>& com, const std::vector<int>& lpt) {
  CMainProc p;
  p.sorgentePorte = [com, lpt] {
    MappaPorte m;
    for (int n : com) m.com[n] = "/dev/prova" + std::to_string(n);
    for (int n : lpt) m.lpt[n] = "/dev/parport" + std::to_string(n);
    return m;
  };
  p.EnumeraPorte();
  return p;
}

TEST(CodicePorta, CommandLineValues) {
  struct Caso {
    const char* testo;
    int salvato;
    int codice, tipo, numero;
  };
  // COM 1, 3, 4 and LPT 1, 2.
  const Caso casi[] = {
      {"3", 0, 1, 1, 2},        // COM3 is the second of the list
      {"1", 2, 0, 1, 0},
      {"4", 0, 2, 1, 3},
      {"5", 2, 0, 1, 0},        // no COM5: the first COM port
      {"51", 0, 50, 2, 0},      // LPT1
      {"52", 0, 51, 2, 1},      // LPT2
      {"55", 0, 50, 2, 0},      // no fifth LPT: LPT1
      {"60", 0, 50, 2, 0},      // a = 59: the tenth LPT, missing
      {"61", 0, 60, 3, 0},      // the USB key
      {"62", 2, 0, 1, 0},       // not a PIC from the command line: COM lookup fails
      {"0", 2, 0, 1, 0},
      {"-4", 2, 0, 1, 0},
      {"", 2, 2, 1, 3},         // empty: the stored code
      {"abc", 2, 2, 1, 3},      // not a number: the stored code
      {"-", 2, 2, 1, 3},
      {" 3", 0, 1, 1, 2},       // read like "%d"
      {"3x", 0, 1, 1, 2},
      {"+4", 0, 2, 1, 3},
      {"99999999999", 2, 0, 1, 0},
  };
  for (const auto& c : casi) {
    CMainProc p = ConPorte({4, 1, 3}, {2, 1});
    p.ScegliPorta(c.testo, c.salvato);
    EXPECT_EQ(p.codicePorta, c.codice) << "-C '" << c.testo << "'";
    EXPECT_EQ(p.TipoInterfaccia(), c.tipo) << "-C '" << c.testo << "'";
    EXPECT_EQ(p.NumeroPorta(), c.numero) << "-C '" << c.testo << "'";
  }
}

TEST(CodicePorta, StoredCodes) {
  struct Caso {
    int salvato, codice, tipo, numero;
  };
  // Four COM ports (2, 5, 6, 9) and LPT 1, 2.
  const Caso casi[] = {
      {0, 0, 1, 1},   {3, 3, 1, 8},     {7, 0, 1, 1},      {4, 0, 1, 1},  {-1, 0, 1, 1},
      {49, 0, 1, 1},  {50, 50, 2, 0},   {51, 51, 2, 1},    {52, 50, 2, 0}, {59, 50, 2, 0},
      {60, 60, 3, 0}, {61, 61, 4, 0},   {75, 75, 4, 14},   {200, 200, 4, 139},
  };
  for (const auto& c : casi) {
    CMainProc p = ConPorte({9, 2, 6, 5}, {1, 2});
    p.ScegliPorta("", c.salvato);
    EXPECT_EQ(p.codicePorta, c.codice) << c.salvato;
    EXPECT_EQ(p.TipoInterfaccia(), c.tipo) << c.salvato;
    EXPECT_EQ(p.NumeroPorta(), c.numero) << c.salvato;
  }
}

TEST(CodicePorta, ListsAreSortedAndCapped) {
  CMainProc p = ConPorte({7, 2, 4}, {});
  ASSERT_EQ(p.numeroCom, 3);
  EXPECT_EQ(std::vector<int>(p.porteCom, p.porteCom + 3), (std::vector<int>{2, 4, 7}));
  EXPECT_EQ(p.numeroLpt, 0);

  std::vector<int> tanti;
  for (int n = 99; n >= 1; --n) tanti.push_back(n);
  CMainProc q = ConPorte(tanti, tanti);
  EXPECT_EQ(q.numeroCom, CMainProc::kMaxCom);
  EXPECT_EQ(q.porteCom[0], 1);
  EXPECT_EQ(q.porteCom[49], 50);
  EXPECT_EQ(q.numeroLpt, CMainProc::kMaxLpt);
  EXPECT_EQ(q.porteLpt[9], 10);
}

TEST(CodicePorta, SettersPredicatesAndLimit) {
  CMainProc p = ConPorte({1, 2, 3, 4}, {3});
  EXPECT_EQ(p.codicePorta, 0);
  p.ImpostaSeriale(6);
  EXPECT_TRUE(p.Seriale());
  p.LimitaSeriale();
  EXPECT_EQ(p.codicePorta, 3);
  p.ImpostaSeriale(2);
  p.LimitaSeriale();
  EXPECT_EQ(p.codicePorta, 2);
  p.ImpostaParallela(0);
  EXPECT_EQ(p.codicePorta, 50);
  EXPECT_TRUE(p.Parallela() && p.Chiave() && !p.Seriale());
  EXPECT_EQ(p.NumeroPorta(), 2);  // LPT3
  p.ImpostaUsb();
  EXPECT_TRUE(p.Usb() && p.Chiave() && !p.Pic());
  p.codicePorta = 61;
  EXPECT_TRUE(p.Pic() && !p.Chiave());
}

TEST(CodicePorta, EmptyListsNameNoPortAndNothingIsOpened) {
  CMainProc p = ConPorte({}, {});
  p.ScegliPorta("3", 0);
  EXPECT_EQ(p.codicePorta, 0);
  EXPECT_EQ(p.TipoInterfaccia(), 1);
  EXPECT_EQ(p.NumeroPorta(), -1);
  p.ScegliPorta("51", 0);
  EXPECT_EQ(p.codicePorta, 50);
  EXPECT_EQ(p.NumeroPorta(), -1);
  p.ImpostaSeriale(0);
  CIntSeriale interfaccia;
  int esito = 0;
  EXPECT_EQ(interfaccia.ApriLinea(p.NumeroPorta(), 38400, 1, &esito), 0);
  EXPECT_EQ(esito, RC_PORT_OPEN);
  EXPECT_EQ(interfaccia.handle, kHandleNonValido);
}

TEST(CodicePorta, RefreshTellsWhetherTheCountsChanged) {
  std::vector<int> com = {1, 3};
  std::vector<int> lpt = {};
  CMainProc p;
  p.sorgentePorte = [&] {
    MappaPorte m;
    for (int n : com) m.com[n] = "x";
    for (int n : lpt) m.lpt[n] = "y";
    return m;
  };
  p.EnumeraPorte();
  EXPECT_FALSE(p.AggiornaPorte());
  com = {1, 4};  // same count, another port
  EXPECT_FALSE(p.AggiornaPorte());
  EXPECT_EQ(p.porteCom[1], 4);
  com = {1, 4, 5};
  EXPECT_TRUE(p.AggiornaPorte());
  lpt = {1};
  EXPECT_TRUE(p.AggiornaPorte());
}

TEST(MappaPorte, FixedNumbersOfFoundDevices) {
  const std::pair<const char*, int> casi[] = {
      {"/dev/ttyS0", 1},      {"/dev/ttyS9", 10},     {"/dev/ttyS10", 0},    {"/dev/ttyUSB0", 11},
      {"/dev/ttyUSB19", 30},  {"/dev/ttyUSB20", 0},   {"/dev/ttyACM0", 31},  {"/dev/ttyACM19", 50},
      {"/dev/ttyACM20", 0},   {"/dev/ttyAMA0", 0},    {"/dev/ttyUSB", 0},    {"/dev/ttyUSBx", 0},
      {"/dev/ttyS-1", 0},     {"/dev/rfcomm0", 0},    {"ttyUSB2", 13},
  };
  for (auto [percorso, numero] : casi) EXPECT_EQ(NumeroComDispositivo(percorso), numero) << percorso;
}

TEST(MappaPorte, ExplicitEntriesWinAndOtherDevicesTakeFreeNumbersFrom51) {
  MappaPorte esplicite;
  esplicite.com[11] = "rfc2217://10.0.0.5:4001";  // takes ttyUSB0's number
  esplicite.com[5] = "/dev/ttyUSB3";              // named here, not again at COM14
  esplicite.com[51] = "/dev/ttyXR0";
  esplicite.com[0] = "/dev/zero";                 // out of range: ignored
  esplicite.com[100] = "/dev/null";
  esplicite.lpt[1] = "/dev/parport0";
  const std::vector<std::string> trovati = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB3", "/dev/ttyS0",
                                            "/dev/ttyAMA0", "/dev/rfcomm0", "/dev/ttyUSB1", "/dev/ttyXR0"};
  const MappaPorte m = ComponiMappaPorte(esplicite, trovati);
  const std::map<int, std::string> attesa = {
      {1, "/dev/ttyS0"},   {5, "/dev/ttyUSB3"},  {11, "rfc2217://10.0.0.5:4001"}, {12, "/dev/ttyUSB1"},
      {51, "/dev/ttyXR0"}, {52, "/dev/rfcomm0"}, {53, "/dev/ttyAMA0"},
  };
  EXPECT_EQ(m.com, attesa);
  EXPECT_EQ(m.lpt, (std::map<int, std::string>{{1, "/dev/parport0"}}));
}

TEST(MappaPorte, OtherDevicesStopAt99) {
  MappaPorte esplicite;
  std::vector<std::string> trovati;
  for (int i = 0; i < 60; ++i) trovati.push_back("/dev/ttyXR" + std::to_string(100 + i));
  const MappaPorte m = ComponiMappaPorte(esplicite, trovati);
  EXPECT_EQ(m.com.size(), 49u);
  EXPECT_EQ(m.com.begin()->first, 51);
  EXPECT_EQ(m.com.rbegin()->first, 99);
}

class PorteImpostate : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* x = std::getenv("XDG_CONFIG_HOME");
    if (x != nullptr) vecchio = x;
    aveva = x != nullptr;
    ::setenv("XDG_CONFIG_HOME", cartella.Percorso().c_str(), 1);
    ImpostaNomeProgramma("bricola");
    std::filesystem::create_directories(cartella.File("Corvanti"));
  }
  void TearDown() override {
    if (aveva) {
      ::setenv("XDG_CONFIG_HOME", vecchio.c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    ImpostaApritorePorta(nullptr);
  }
  void Scrivi(const std::string& testo) { std::ofstream(PercorsoImpostazioni()) << testo; }

  prova::CartellaProva cartella;
  std::string vecchio;
  bool aveva = false;
};

TEST_F(PorteImpostate, PortsSectionEntries) {
  Scrivi(
      "[Settings]\nPorta=3\n\n[Ports]\nCOM3=rfc2217://127.0.0.1:4000\ncom12 = /dev/ttyUSB7\nCOM0=/dev/a\n"
      "COM100=/dev/b\nCOMx=/dev/c\nCOM5=\nLPT1=/dev/parport0\nLpt2=/dev/parport1\nAUX1=/dev/d\n");
  const MappaPorte m = LeggiPorteImpostate(PercorsoImpostazioni());
  EXPECT_EQ(m.com, (std::map<int, std::string>{{3, "rfc2217://127.0.0.1:4000"}, {12, "/dev/ttyUSB7"}}));
  EXPECT_EQ(m.lpt, (std::map<int, std::string>{{1, "/dev/parport0"}, {2, "/dev/parport1"}}));
  EXPECT_TRUE(LeggiPorteImpostate(cartella.File("mancante.ini")).com.empty());
}

TEST_F(PorteImpostate, KeyAndDriverEndpointsReachTheDeviceLayer) {
  Scrivi(
      "[Ports]\nusb = unix:/run/memox.sock\nLPT1=unix:/run/lpt1.sock\nLPT3=unix:/run/lpt3.sock\n"
      "PIC0=unix:/run/pic0.sock\npic7=unix:/run/pic7.sock\nPIC100=unix:/x\nPICx=unix:/y\nPIC2=\n");
  const MappaPorte m = LeggiPorteImpostate(PercorsoImpostazioni());
  EXPECT_EQ(m.usb, "unix:/run/memox.sock");
  EXPECT_EQ(m.pic, (std::map<int, std::string>{{0, "unix:/run/pic0.sock"}, {7, "unix:/run/pic7.sock"}}));

  CMainProc p;
  p.sorgentePorte = [] { return ComponiMappaPorte(LeggiPorteImpostate(PercorsoImpostazioni()), {}); };
  p.EnumeraPorte();
  // An LPT port exists because its entry is set.
  ASSERT_EQ(p.numeroLpt, 2);
  EXPECT_EQ(p.porteLpt[0], 1);
  EXPECT_EQ(p.porteLpt[1], 3);
  p.ScegliPorta("52", 0);
  EXPECT_EQ(p.TipoInterfaccia(), CMainProc::kTipoParallela);
  EXPECT_EQ(p.NumeroPorta(), 2);  // device index of LPT3
  const PuntiDispositivi punti = PuntiDispositiviAttuali();
  EXPECT_EQ(punti.usb, "unix:/run/memox.sock");
  EXPECT_EQ(punti.lpt, (std::map<int, std::string>{{1, "unix:/run/lpt1.sock"}, {3, "unix:/run/lpt3.sock"}}));
  EXPECT_EQ(punti.pic, m.pic);

  // Without USB= the key is the real one through hidapi.
  Scrivi("[Ports]\nLPT1=unix:/run/lpt1.sock\n");
  p.EnumeraPorte();
  EXPECT_EQ(PuntiDispositiviAttuali().usb, "hid");
  EXPECT_TRUE(PuntiDispositiviAttuali().pic.empty());
  ImpostaPuntiDispositivi({});
}

TEST_F(PorteImpostate, ComNumberReachesTheNetworkPortOfTheSettingsFile) {
  prova::ServerRfc2217 server;
  server.Avvia();
  Scrivi("[Ports]\nCOM3=rfc2217://127.0.0.1:" + std::to_string(server.Porta()) + "\n");
  CMainProc p;
  p.EnumeraPorte();
  EXPECT_EQ(p.DestinazioneCom(3), "rfc2217://127.0.0.1:" + std::to_string(server.Porta()));
  p.ScegliPorta("3", 0);
  ASSERT_EQ(p.TipoInterfaccia(), 1);
  ASSERT_EQ(p.NumeroPorta(), 2);
  CIntSeriale interfaccia;
  int esito = -1;
  ASSERT_EQ(interfaccia.ApriLinea(p.NumeroPorta(), 38400, 0, &esito), 1);
  EXPECT_EQ(esito, RC_OK);
  EXPECT_TRUE(server.AttendiNegoziazione(rfc2217::WILL, rfc2217::OPT_COM_PORT));
  EXPECT_EQ(DtrAlto(interfaccia.handle), 0);
  EXPECT_EQ(DtrBasso(interfaccia.handle), 0);
  EXPECT_EQ(ImpostaBaud(interfaccia.handle, 115200), 0);
  const auto sotto = server.Sottonegoziazioni();
  ASSERT_GE(sotto.size(), 3u);
  const std::vector<std::vector<std::uint8_t>> ultime(sotto.end() - 3, sotto.end());
  EXPECT_EQ(ultime, (std::vector<std::vector<std::uint8_t>>{{44, 5, 8}, {44, 5, 9}, {44, 1, 0x00, 0x01, 0xC2, 0x00}}));
  EXPECT_EQ(interfaccia.ChiudiLinea(), 1);
}

TEST_F(PorteImpostate, ComNumberReachesAPseudoTerminal) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  Scrivi(std::string("[Ports]\nCOM7=") + ::ptsname(master) + "\n");
  CMainProc p;
  p.EnumeraPorte();
  p.ScegliPorta("7", 0);
  ASSERT_EQ(p.NumeroPorta(), 6);
  CIntSeriale interfaccia;
  int esito = -1;
  ASSERT_EQ(interfaccia.ApriLinea(p.NumeroPorta(), 9600, 1, &esito), 1);
  const std::uint8_t richiesta[] = {0x55, 0xFF};
  ASSERT_EQ(interfaccia.ScriviLinea(richiesta, 2), 2);
  std::uint8_t b[2] = {};
  ASSERT_EQ(::read(master, b, 2), 2);
  EXPECT_EQ(b[1], 0xFF);
  interfaccia.AttendiRisposta(1, 1000);
  ASSERT_EQ(::write(master, "\x06", 1), 1);
  int presi = 0;
  for (int i = 0; i < 200 && presi == 0; ++i) {
    presi = interfaccia.LeggiLinea(b, 1);
    ::usleep(5000);
  }
  EXPECT_EQ(presi, 1);
  EXPECT_EQ(b[0], 0x06);
  // A pseudo-terminal has no modem lines: the reset pulse is a failed line change.
  EXPECT_EQ(DtrAlto(interfaccia.handle), -1);
  interfaccia.ChiudiLinea();
  ::close(master);
}

TEST_F(PorteImpostate, LogListsEveryNumberWithItsDevice) {
  Scrivi("[Ports]\nCOM3=rfc2217://127.0.0.1:4000\nLPT2=/dev/parport1\n");
  CMainProc p;
  p.sorgentePorte = [] { return ComponiMappaPorte(LeggiPorteImpostate(PercorsoImpostazioni()), {"/dev/ttyUSB0"}); };
  p.EnumeraPorte();
  p.ImpostaFileRegistro(cartella.File("registro.txt"));
  p.RegistraPorte();
  const std::string registro = prova::LeggiTutto(cartella.File("registro.txt"));
  EXPECT_NE(registro.find("porte COM: 2"), std::string::npos) << registro;
  EXPECT_NE(registro.find("COM3 = rfc2217://127.0.0.1:4000"), std::string::npos) << registro;
  EXPECT_NE(registro.find("COM11 = /dev/ttyUSB0"), std::string::npos) << registro;
  EXPECT_NE(registro.find("porte LPT: 1"), std::string::npos) << registro;
  EXPECT_NE(registro.find("LPT2 = /dev/parport1"), std::string::npos) << registro;
}

}  // namespace
}  // namespace bricola
