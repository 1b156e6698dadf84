// The least line time the simulator reports in its dump.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/minimo_sim.h"

namespace bricola::sim {
namespace {

constexpr double kByte115200 = 10000.0 / 115200;  // ms per byte at 115200 bit/s

TEST(MinimoLinea, RequestAndReplyAddUpAtTheSpeedOfEachByte) {
  CMinimoLinea m;
  // 4 bytes out at 38400, 5 back; then 512 + 8 out at 115200, 4 back.
  m.DalPc(4, 38400, 1000, false);
  m.VersoPc(5, 38400, 0);
  m.DalPc(520, 115200, 1010, false);
  m.VersoPc(4, 115200, 0);
  EXPECT_NEAR(m.MinimoMs(), 9 * 10000.0 / 38400 + 524 * kByte115200, 1e-6);
  EXPECT_EQ(m.Stato()["byteDalPc"], 524);
  EXPECT_EQ(m.Stato()["byteVersoPc"], 9);
}

TEST(MinimoLinea, BytesSentWhileTheBoardTalksShareItsTime) {
  // Full duplex: what the PC sends while the board is still sending did not
  // wait for it, so only the longer direction counts.
  CMinimoLinea m;
  m.DalPc(10, 115200, 0, false);
  m.VersoPc(100, 115200, 0);
  m.DalPc(100, 115200, 1, true);
  EXPECT_NEAR(m.MinimoMs(), 110 * kByte115200, 1e-6);
}

TEST(MinimoLinea, ThePausesCountUpToTheSilenceThatFollowed) {
  const struct {
    double silenzio, attesa;
  } casi[] = {{200, 200}, {500, 500}, {800, 500}, {0, 0}};
  for (const auto& c : casi) {
    CMinimoLinea m;
    // The board declares the Reboot's half second while it handles the
    // request, before the server counts the request's bytes.
    m.PausaDopoRisposta(500);
    m.DalPc(4, 115200, 1000, false);
    m.VersoPc(4, 115200, 0);
    m.LineaOccupataFino(1001);
    m.DalPc(4, 115200, 1001 + c.silenzio, false);
    m.VersoPc(4, 115200, 0);
    EXPECT_NEAR(m.MinimoMs(), 16 * kByte115200 + c.attesa, 1e-6) << c.silenzio;
    EXPECT_EQ(m.Stato()["pausePrescritteMs"], c.attesa) << c.silenzio;
  }
}

TEST(MinimoLinea, TheResetPulseCountsAtMostItsPrescribedLength) {
  const struct {
    double tenuto;
    bool rts;
    double atteso;
  } casi[] = {{700, false, 600}, {300, false, 300}, {700, true, 627}, {600, true, 600}};
  for (const auto& c : casi) {
    CMinimoLinea m;
    m.Dtr(true, 0);
    if (c.rts) m.Rts(true, 27);
    m.Dtr(false, c.tenuto);
    m.Pausa(400);  // the boot's start
    m.DalPc(4, 38400, c.tenuto + 1000, false);
    EXPECT_NEAR(m.MinimoMs(), c.atteso + 400 + 4 * 10000.0 / 38400, 1e-6) << c.tenuto;
  }
}

constexpr double kByte9600 = 10000.0 / 9600;

TEST(MinimoLinea, AWaitCountedFromThePcsOwnSendEndsAtItsLengthOrAtTheRealSilence) {
  // An FR bootstrap command byte: the PC waits 20 ms from its send, the echo
  // came after 1 ms; what is left of the window counts, never more than the
  // silence that really followed.
  const struct {
    double prossimo, atteso;
  } casi[] = {{1030, 20}, {1010, 10}, {1001, 1.0 + 2 * kByte9600}};
  for (const auto& c : casi) {
    CMinimoLinea m;
    m.PausaDallaRichiesta(20);
    m.DalPc(1, 9600, 1000, false);
    m.LineaOccupataFino(1000 + kByte9600);
    m.VersoPc(1, 9600, 1);
    m.LineaOccupataFino(1000 + 2 * kByte9600 + 1);
    m.DalPc(1, 9600, c.prossimo, false);
    EXPECT_NEAR(m.MinimoMs(), std::max(c.atteso, 2 * kByte9600 + 1) + kByte9600, 1e-6) << c.prossimo;
  }
}

TEST(MinimoLinea, TheRestAfterABlankCheckCountsFromTheRequestThatFollowsIt) {
  // Blank check reply, then the PC's next request at once, then 200 ms from
  // that request before the one after.
  CMinimoLinea m;
  m.PausaDopoProssimaRichiesta(200);
  m.DalPc(1, 115200, 0, false);
  m.VersoPc(31, 115200, 0);
  m.LineaOccupataFino(32 * kByte115200);
  m.DalPc(1, 115200, 4, false);  // write init, 1 ms after the reply: not a prescribed wait
  m.VersoPc(13, 115200, 0);
  m.LineaOccupataFino(4 + 14 * kByte115200);
  m.DalPc(7, 115200, 205, false);
  EXPECT_NEAR(m.MinimoMs(), 32 * kByte115200 + 200 + 7 * kByte115200, 1e-6);
  EXPECT_NEAR(m.Stato()["pausePrescritteMs"].get<double>(), 200 - 14 * kByte115200, 0.06);

  // The PC sent nothing after the reply (its chunk was all FF): the silence
  // before its next request was the wait, and the request after is not held.
  CMinimoLinea n;
  n.PausaDopoProssimaRichiesta(200);
  n.DalPc(1, 115200, 0, false);
  n.VersoPc(31, 115200, 0);
  n.LineaOccupataFino(32 * kByte115200);
  n.DalPc(1, 115200, 203, false);
  n.VersoPc(13, 115200, 0);
  n.LineaOccupataFino(203 + 14 * kByte115200);
  n.DalPc(7, 115200, 204, false);
  EXPECT_NEAR(n.MinimoMs(), 32 * kByte115200 + 200 + 21 * kByte115200, 1e-6);
}

TEST(MinimoLinea, ASpeedChangeEndsTheWaitBeforeItAndThenSettles) {
  // The call of the FR kernel: 200 ms from the PC's send, then the speed
  // change and its 50 ms: one after the other, not overlapping.
  CMinimoLinea m;
  m.PausaDallaRichiesta(200);
  m.DalPc(4, 9600, 1000, false);
  m.LineaOccupataFino(1000 + 4 * kByte9600);
  m.CambioVelocita(1201);
  m.DalPc(1, 115200, 1252, false);
  EXPECT_NEAR(m.MinimoMs(), 200 + 50 + kByte115200, 1e-6);
}

TEST(MinimoLinea, TheBoardsOwnTimeBeforeAnAnswerCounts) {
  CMinimoLinea m;
  m.DalPc(8, 115200, 0, false);
  m.VersoPc(5, 115200, 40);  // a sector erase
  EXPECT_NEAR(m.MinimoMs(), 13 * kByte115200 + 40, 1e-6);
  EXPECT_EQ(m.Stato()["tempoSchedaMs"], 40);
}

}  // namespace
}  // namespace bricola::sim
