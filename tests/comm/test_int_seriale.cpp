// CIntSeriale and the process-wide port layer over a line in memory.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "base/esiti.h"
#include "comm/int_seriale.h"
#include "comm/porta_seriale.h"
#include "linea_finta.h"

namespace bricola {
namespace {

using Byte = std::vector<std::uint8_t>;
using Orologio = std::chrono::steady_clock;

long long MsDa(Orologio::time_point inizio) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Orologio::now() - inizio).count();
}

class IntSeriale : public ::testing::Test {
 protected:
  void SetUp() override { prova::InstallaLineaFinta(linea); }
  void TearDown() override {
    interfaccia.ChiudiLinea();
    ImpostaApritorePorta(nullptr);
  }

  void Apri(int porta = 2, int baud = 38400, int flag = 1) {
    int esito = -1;
    ASSERT_EQ(interfaccia.ApriLinea(porta, baud, flag, &esito), 1);
    ASSERT_EQ(esito, RC_OK);
  }

  // Takes bytes on "steps" until n have come or the time is over.
  Byte Raccogli(int n, int ms = 2000) {
    Byte b(static_cast<std::size_t>(n));
    int presi = 0;
    const auto inizio = Orologio::now();
    while (presi < n && MsDa(inizio) < ms) {
      presi += interfaccia.LeggiLinea(b.data() + presi, n - presi);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    b.resize(static_cast<std::size_t>(presi));
    return b;
  }

  std::shared_ptr<prova::StatoLineaFinta> linea = std::make_shared<prova::StatoLineaFinta>();
  CIntSeriale interfaccia;
};

TEST_F(IntSeriale, ArmingGivesThreeQuartersOfTheCallersTime) {
  const struct {
    int conteggio, timeout, atteso;
  } casi[] = {{4, 1000, 750}, {5, 6000, 4500}, {7, 3, 3}, {1, 1, 1}, {1, 2, 2}, {1, 5, 4}, {1, 0, 0}, {1, -10, 0}};
  for (const auto& c : casi) {
    interfaccia.AttendiRisposta(c.conteggio, c.timeout);
    EXPECT_EQ(interfaccia.byteRichiesti, c.conteggio);
    EXPECT_EQ(interfaccia.timeoutRichiesto, c.atteso) << c.timeout;
  }
}

TEST_F(IntSeriale, OpenTakesComOfIndexPlusOneWithLinesFollowingTheFlag) {
  Apri(2, 38400, 1);
  EXPECT_NE(interfaccia.handle, kHandleNonValido);
  interfaccia.ChiudiLinea();
  Apri(98, 115200, 0);
  EXPECT_EQ(interfaccia.ChiudiLinea(), 1);
  const auto e = linea->Eventi();
  ASSERT_GE(e.size(), 2u);
  EXPECT_EQ(e[0], "apri 3 38400 1 1");
  EXPECT_EQ(e[1], "apri 99 115200 0 0");
}

TEST_F(IntSeriale, PortsOutsideOneTo99OrRefusedFailWithPortOpen) {
  for (int indice : {-1, 99, 150}) {
    int esito = 0;
    EXPECT_EQ(interfaccia.ApriLinea(indice, 9600, 0, &esito), 0) << indice;
    EXPECT_EQ(esito, RC_PORT_OPEN);
    EXPECT_EQ(interfaccia.handle, kHandleNonValido);
  }
  prova::InstallaLineaFinta(linea, 5);
  int esito = 0;
  EXPECT_EQ(interfaccia.ApriLinea(3, 9600, 0, &esito), 0);  // COM4 refused by the opener
  EXPECT_EQ(esito, RC_PORT_OPEN);
  EXPECT_EQ(interfaccia.ChiudiLinea(), 0);  // nothing to close
  EXPECT_EQ(AttesaLockPorta(), 100);
}

TEST_F(IntSeriale, RequestAndReplyPattern) {
  Apri();
  linea->Arriva({0xAA});  // a stale byte, purged before the request
  EXPECT_EQ(interfaccia.SvuotaLinea(), 0);
  const Byte richiesta = {0x01, 0x02, 0xFF};
  EXPECT_EQ(interfaccia.ScriviLinea(richiesta.data(), 3), 3);
  EXPECT_EQ(linea->Scritti(), richiesta);
  interfaccia.AttendiRisposta(4, 1000);
  linea->Arriva({9, 8, 7, 6});
  EXPECT_EQ(Raccogli(4), (Byte{9, 8, 7, 6}));
}

TEST_F(IntSeriale, NothingIsReadWithoutArming) {
  Apri();
  linea->Arriva({1, 2, 3});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::uint8_t b[4];
  EXPECT_EQ(interfaccia.LeggiLinea(b, 4), 0);
  interfaccia.AttendiRisposta(3, 400);
  EXPECT_EQ(Raccogli(3), (Byte{1, 2, 3}));
}

TEST_F(IntSeriale, TakeGivesOnlyWhatHasArrivedAndEmptiesTheBuffer) {
  Apri();
  interfaccia.AttendiRisposta(3, 400);
  linea->Arriva({1, 2, 3});
  while (interfaccia.ByteRicevuti() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  std::uint8_t b[10] = {};
  EXPECT_EQ(interfaccia.LeggiLinea(b, 2), 2);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(interfaccia.LeggiLinea(b, 10), 1);  // more asked than there is
  EXPECT_EQ(b[0], 3);
  EXPECT_EQ(interfaccia.LeggiLinea(b, 10), 0);
  EXPECT_EQ(interfaccia.LeggiLinea(b, -5), 0);  // a negative length takes nothing
}

TEST_F(IntSeriale, OneReadPerArmingAReplyInTwoPiecesNeedsASecondArming) {
  Apri();
  interfaccia.AttendiRisposta(6, 200);  // a 150 ms read
  linea->Arriva({1, 2, 3});
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  linea->Arriva({4, 5, 6});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // The first read ended at its time with half the reply; the rest waits in the line.
  EXPECT_EQ(Raccogli(6, 100), (Byte{1, 2, 3}));
  interfaccia.AttendiRisposta(3, 400);
  EXPECT_EQ(Raccogli(3), (Byte{4, 5, 6}));
}

TEST_F(IntSeriale, AReadCoveringBothPiecesDeliversTheWholeReply) {
  Apri();
  interfaccia.AttendiRisposta(6, 2000);
  linea->Arriva({1, 2, 3});
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  linea->Arriva({4, 5, 6});
  EXPECT_EQ(Raccogli(6), (Byte{1, 2, 3, 4, 5, 6}));
}

TEST_F(IntSeriale, ArmingNeverAsksForMoreThanTheFreeRoom) {
  Apri();
  Byte molti(CIntSeriale::kDimensioneBuffer - 10, 0x55);
  linea->Arriva(molti);
  interfaccia.AttendiRisposta(static_cast<int>(molti.size()), 2000);
  const auto inizio = Orologio::now();
  while (interfaccia.ByteRicevuti() < static_cast<int>(molti.size()) && MsDa(inizio) < 3000)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  linea->Arriva(Byte(50, 0x66));
  interfaccia.AttendiRisposta(50, 400);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(interfaccia.ByteRicevuti(), CIntSeriale::kDimensioneBuffer);
  // Full: an arming reads nothing.
  interfaccia.AttendiRisposta(50, 400);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(interfaccia.ByteRicevuti(), CIntSeriale::kDimensioneBuffer);
  Byte b(CIntSeriale::kDimensioneBuffer);
  EXPECT_EQ(interfaccia.LeggiLinea(b.data(), static_cast<int>(b.size())), CIntSeriale::kDimensioneBuffer);
  EXPECT_EQ(b[molti.size() - 1], 0x55);
  EXPECT_EQ(b[molti.size()], 0x66);
}

TEST_F(IntSeriale, CloseEndsTheThreadPromptlyEvenDuringALongRead) {
  Apri();
  interfaccia.AttendiRisposta(5, 6000);  // a 4500 ms read in progress
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto inizio = Orologio::now();
  EXPECT_EQ(interfaccia.ChiudiLinea(), 1);
  EXPECT_LT(MsDa(inizio), 1000);
  EXPECT_EQ(interfaccia.handle, kHandleNonValido);
  EXPECT_EQ(AttesaLockPorta(), 100);
  EXPECT_TRUE(linea->chiusa);
  EXPECT_EQ(interfaccia.ChiudiLinea(), 0);
}

TEST_F(IntSeriale, WritesGetTheirTurnWhileALongReadIsArmed) {
  Apri();
  // A reply that does not come: the receive thread reads for 4500 ms, asking
  // for the port lock again after every slice. Each write still gets in.
  interfaccia.AttendiRisposta(5, 6000);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const Byte richiesta = {0xFA, 0x90, 0x04};
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(interfaccia.ScriviLinea(richiesta.data(), 3), 3) << i;
    EXPECT_EQ(DtrAlto(interfaccia.handle), 0) << i;
  }
  // And the read goes on after them: a late reply is still taken.
  linea->Arriva({1, 2, 3, 4, 5});
  EXPECT_EQ(Raccogli(5), (Byte{1, 2, 3, 4, 5}));
}

TEST_F(IntSeriale, ReopenUsesTheSavedParameters) {
  Apri(6, 57600, 0);
  ASSERT_EQ(interfaccia.ChiudiLinea(), 1);
  int esito = -1;
  ASSERT_EQ(interfaccia.RiapriLinea(&esito), 1);
  EXPECT_EQ(esito, RC_OK);
  const auto e = linea->Eventi();
  EXPECT_EQ(e.back(), "apri 7 57600 0 0");
  // The reopened line receives as before.
  interfaccia.AttendiRisposta(1, 400);
  linea->Arriva({0x42});
  EXPECT_EQ(Raccogli(1), Byte{0x42});
}

TEST_F(IntSeriale, OpeningAnOpenInterfaceClosesTheOldLineFirst) {
  Apri(0, 9600, 0);
  Apri(1, 19200, 0);
  EXPECT_EQ(linea->Eventi().back(), "apri 2 19200 0 0");
  interfaccia.AttendiRisposta(1, 400);
  linea->Arriva({0x33});
  EXPECT_EQ(Raccogli(1), Byte{0x33});
  EXPECT_EQ(interfaccia.ChiudiLinea(), 1);
  EXPECT_TRUE(linea->chiusa);
  // Nothing was left open: another open succeeds.
  Apri(0, 9600, 0);
}

TEST_F(IntSeriale, ReadErrorsGiveNoDataAndTheThreadGoesOn) {
  Apri();
  linea->guasta = true;
  interfaccia.AttendiRisposta(2, 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(interfaccia.ByteRicevuti(), 0);
  const std::uint8_t b = 1;
  EXPECT_EQ(interfaccia.ScriviLinea(&b, 1), -1);
  linea->guasta = false;
  interfaccia.AttendiRisposta(2, 400);
  linea->Arriva({5, 6});
  EXPECT_EQ(Raccogli(2), (Byte{5, 6}));
}

TEST_F(IntSeriale, DestroyingAnOpenInterfaceStopsItsThread) {
  {
    CIntSeriale locale;
    int esito = 0;
    ASSERT_EQ(locale.ApriLinea(0, 9600, 0, &esito), 1);
    locale.AttendiRisposta(10, 4000);
  }
  EXPECT_TRUE(linea->chiusa);
  EXPECT_EQ(AttesaLockPorta(), 100);
}

class PortaSerialeFinta : public ::testing::Test {
 protected:
  void SetUp() override { prova::InstallaLineaFinta(linea); }
  void TearDown() override {
    if (h != kHandleNonValido) ChiudiPorta(h);
    ImpostaApritorePorta(nullptr);
  }
  std::shared_ptr<prova::StatoLineaFinta> linea = std::make_shared<prova::StatoLineaFinta>();
  HandleLinea h = kHandleNonValido;
};

TEST_F(PortaSerialeFinta, LineChangesReachTheBackEndAndFailuresAreMinusOne) {
  h = ApriPorta(4, 9600, false, true);
  ASSERT_NE(h, kHandleNonValido);
  EXPECT_EQ(ImpostaBaud(h, 115200), 0);
  EXPECT_EQ(ImpostaBitStop(h, 2), 0);
  EXPECT_EQ(ImpostaBitStop(h, 7), 0);  // anything but 2 is one stop bit
  EXPECT_EQ(DtrAlto(h), 0);
  EXPECT_EQ(RtsAlto(h), 0);
  EXPECT_EQ(DtrBasso(h), 0);
  EXPECT_EQ(RtsBasso(h), 0);
  EXPECT_EQ(SvuotaPorta(h), 0);
  const std::vector<std::string> attesi = {"apri 4 9600 0 1", "baud 115200", "stop 2", "stop 1", "dtr 1",
                                           "rts 1",           "dtr 0",       "rts 0",  "svuota"};
  EXPECT_EQ(linea->Eventi(), attesi);
  linea->senzaModem = true;
  EXPECT_EQ(DtrAlto(h), -1);
  EXPECT_EQ(RtsBasso(h), -1);
}

TEST_F(PortaSerialeFinta, OnePortAtATimeAndStaleHandlesAreRefused) {
  h = ApriPorta(1, 9600, false, false);
  ASSERT_NE(h, kHandleNonValido);
  EXPECT_EQ(ApriPorta(2, 9600, false, false), kHandleNonValido);
  const HandleLinea vecchio = h;
  EXPECT_EQ(ChiudiPorta(h), 0);
  h = kHandleNonValido;
  EXPECT_EQ(ChiudiPorta(vecchio), -1);
  EXPECT_EQ(ChiudiPorta(kHandleNonValido), -1);
  h = ApriPorta(1, 9600, false, false);
  ASSERT_NE(h, kHandleNonValido);
  EXPECT_NE(h, vecchio);
  EXPECT_EQ(ImpostaBaud(vecchio, 9600), -1);  // the old handle does not reach the new port
  const std::uint8_t b = 0;
  EXPECT_EQ(ScriviPorta(vecchio, &b, 1), -1);
}

TEST_F(PortaSerialeFinta, ReadTimeoutsAndTheLockWait) {
  EXPECT_EQ(AttesaLockPorta(), 100);
  h = ApriPorta(1, 9600, false, false);
  ASSERT_NE(h, kHandleNonValido);
  EXPECT_EQ(AttesaLockPorta(), 100);
  std::uint8_t b[4];
  // At open a read gives what is there at once.
  EXPECT_EQ(LeggiPorta(h, b, 4), 0);
  EXPECT_EQ(ImpostaTimeoutLettura(h, 0, 0, 250), 0);
  EXPECT_EQ(AttesaLockPorta(), 350);
  EXPECT_EQ(ImpostaTimeoutLettura(h, 0, 10, 40), 250);  // returns the constant set before
  EXPECT_EQ(LeggiPorta(h, b, 4), 0);                     // 10 x 4 + 40 ms
  EXPECT_EQ(linea->timeoutLetture.back(), 80);
  EXPECT_EQ(ChiudiPorta(h), 0);
  h = kHandleNonValido;
  EXPECT_EQ(AttesaLockPorta(), 100);
  EXPECT_EQ(ImpostaTimeoutLettura(kHandleNonValido, 0, 0, 10), -1);
}

TEST_F(PortaSerialeFinta, AWriteWaitsForAReadInProgressWithinTheLockWait) {
  h = ApriPorta(1, 9600, false, false);
  ASSERT_NE(h, kHandleNonValido);
  ASSERT_EQ(ImpostaTimeoutLettura(h, 0, 0, 300), 0);
  std::thread lettore([&] {
    std::uint8_t b[4];
    LeggiPorta(h, b, 4);
  });
  while (linea->Letture() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::uint8_t b = 7;
  const auto inizio = Orologio::now();
  EXPECT_EQ(ScriviPorta(h, &b, 1), 1);  // the read holds the lock for 300 ms, the wait is 400
  EXPECT_GE(MsDa(inizio), 100);  // it waited for the read (300 ms from its start)
  lettore.join();
}

TEST(PortaSerialeSenzaApritore, NoOpenerMeansNoPort) {
  ImpostaApritorePorta(nullptr);
  EXPECT_EQ(ApriPorta(1, 9600, false, false), kHandleNonValido);
}

}  // namespace
}  // namespace bricola
