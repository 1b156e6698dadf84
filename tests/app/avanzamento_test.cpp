// The batch progress display: the line it draws, how often it redraws, and the
// final line, on a terminal and off one.
#include "app/avanzamento.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "base/esiti.h"

namespace bricola {
namespace {

TEST(RigaAvanzamento, PhaseModuleBytesSpeedAndElapsed) {
  SAvanzamento a;
  a.fase = ST_SEND_MODULE;
  a.modulo = 2;
  a.fatti = 23040;
  a.totali = 524288;
  a.millisecondiModulo = 2500;
  a.secondiTotali = 3725;
  EXPECT_EQ(RigaAvanzamento(a), "loading module  module 2  23040/524288 bytes  9216 bytes/s  01:02:05");

  // In the module's first second the speed shows 0; a phase without text is left out.
  a.fase = ST_NONE;
  a.millisecondiModulo = 999;
  a.secondiTotali = 0;
  EXPECT_EQ(RigaAvanzamento(a), "module 2  23040/524288 bytes  0 bytes/s  00:00:00");
}

TEST(RigaFinale, SuccessTextOrTheResultCodesEnglishText) {
  EXPECT_EQ(RigaFinale(ST_DONE, RC_OK), "upload complete");
  EXPECT_EQ(RigaFinale(ST_FAILED, RC_PROGRAM_INCOMPATIBLE), "program and dispenser are not compatible");
  EXPECT_EQ(RigaFinale(ST_FAILED, RC_FLASH_WRITE), "error: write to flash");
  // A start refusal has no phase.
  EXPECT_EQ(RigaFinale(ST_NONE, RC_FILE_OPEN), "Error opening file");
  EXPECT_EQ(RigaFinale(ST_NONE, RC_NO_OPERATION), "Unknown error");
  // The trailing blank of the table's text is kept.
  EXPECT_EQ(RigaFinale(ST_FAILED, RC_FLASH_FULL), "No free flash memory ");
  // A failure that carries no code must not read as a success.
  EXPECT_EQ(RigaFinale(ST_FAILED, RC_OK), "failure");
}

TEST(CAvanzamento, OnATerminalRedrawsOneLineAtMostFourTimesASecond) {
  std::ostringstream s;
  CAvanzamento v(s, true);
  SAvanzamento a;
  a.fase = ST_SEND_MODULE;
  a.modulo = 1;
  a.totali = 100;
  int disegni = 0;
  for (int ms = 1000; ms < 2000; ms += 100) {
    a.fatti = ms / 100;
    if (v.Aggiorna(a, ms)) ++disegni;
  }
  EXPECT_EQ(disegni, 4);  // at 1000, 1300, 1600, 1900 ms
  v.Fine(ST_DONE, RC_OK);
  const std::string testo = s.str();
  // Every redraw goes back to the start of the same line; no new line until the end.
  EXPECT_EQ(testo.find('\n'), testo.size() - 1);
  EXPECT_EQ(testo.substr(0, 4), "\r\x1b[K");
  const std::string fine = "\r\x1b[Kupload complete\n";
  EXPECT_EQ(testo.substr(testo.size() - fine.size()), fine);
}

TEST(CAvanzamento, OffATerminalOnlyTheFinalLine) {
  std::ostringstream s;
  CAvanzamento v(s, false);
  SAvanzamento a;
  a.fase = ST_SEND_MODULE;
  for (int ms = 0; ms < 3000; ms += 100) EXPECT_FALSE(v.Aggiorna(a, ms));
  v.Fine(ST_FAILED, RC_REPLY_TIMEOUT);
  EXPECT_EQ(s.str(), "error: timeout waiting answer\n");
}

}  // namespace
}  // namespace bricola
