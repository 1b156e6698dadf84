// Local lines: the termios back-end against a pseudo-terminal pair, and
// libserialport's enumeration and its refusal of pseudo-terminals.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linee.h"

namespace bricola {
namespace {

using Byte = std::vector<std::uint8_t>;

// The master side stands for the board; the slave is the port Bricola opens.
class Pty : public ::testing::Test {
 protected:
  void SetUp() override {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    slave = ::ptsname(master);
  }
  void TearDown() override {
    if (master >= 0) ::close(master);
  }

  Byte LeggiMaster(std::size_t n, int timeoutMs = 2000) {
    Byte b;
    const auto fine = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (b.size() < n && std::chrono::steady_clock::now() < fine) {
      pollfd p{master, POLLIN, 0};
      ::poll(&p, 1, 50);
      std::uint8_t blocco[512];
      ssize_t r = ::read(master, blocco, std::min(sizeof blocco, n - b.size()));
      if (r > 0) b.insert(b.end(), blocco, blocco + r);
    }
    return b;
  }

  termios StatoMaster() {
    termios t{};
    ::tcgetattr(master, &t);
    return t;
  }

  int master = -1;
  std::string slave;
};

TEST_F(Pty, LibserialportRefusesAPseudoTerminalAndTermiosTakesIt) {
  EXPECT_EQ(ApriLineaLibserialport(slave, 9600, false, false), nullptr);
  auto linea = ApriLineaLocale(slave, 9600, true, true);  // DTR/RTS skipped: a pty has none
  ASSERT_NE(linea, nullptr);
  // 8N1, raw, no flow control, at the asked speed.
  termios t = StatoMaster();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
}

TEST_F(Pty, DataBothWaysUnchanged) {
  auto linea = ApriLineaTermios(slave, 38400, false, false);
  ASSERT_NE(linea, nullptr);
  Byte tutti;
  for (int i = 0; i < 256; ++i) tutti.push_back(static_cast<std::uint8_t>(i));
  ASSERT_EQ(linea->Scrivi(tutti.data(), 256), 256);
  EXPECT_EQ(LeggiMaster(256), tutti);

  ASSERT_EQ(::write(master, tutti.data(), 256), 256);
  Byte letti(256);
  int n = 0;
  for (int i = 0; i < 20 && n < 256; ++i) {
    int r = linea->Leggi(letti.data() + n, 256 - n, 200);
    ASSERT_GE(r, 0);
    n += r;
  }
  EXPECT_EQ(letti, tutti);
}

TEST_F(Pty, ReadReturnsWhenAllHaveComeOrAtItsTimeout) {
  auto linea = ApriLineaTermios(slave, 9600, false, false);
  ASSERT_NE(linea, nullptr);
  std::uint8_t b[8];
  ASSERT_EQ(::write(master, "ab", 2), 2);
  auto inizio = std::chrono::steady_clock::now();
  EXPECT_EQ(linea->Leggi(b, 5, 250), 2);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inizio).count();
  EXPECT_GE(ms, 240);
  EXPECT_LT(ms, 2000);

  ASSERT_EQ(::write(master, "cdefg", 5), 5);
  inizio = std::chrono::steady_clock::now();
  EXPECT_EQ(linea->Leggi(b, 5, 5000), 5);
  ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inizio).count();
  EXPECT_LT(ms, 2000);  // did not wait for the timeout
  EXPECT_EQ(Byte(b, b + 5), (Byte{'c', 'd', 'e', 'f', 'g'}));
  EXPECT_EQ(linea->Leggi(b, 5, 0), 0);  // nothing there: at once
}

TEST_F(Pty, BaudAndStopBitsAreSeenOnTheOtherSide) {
  auto linea = ApriLineaTermios(slave, 9600, false, false);
  ASSERT_NE(linea, nullptr);
  const std::pair<int, speed_t> velocita[] = {{115200, B115200}, {38400, B38400}, {57600, B57600}, {1200, B1200}};
  for (auto [baud, codice] : velocita) {
    ASSERT_TRUE(linea->ImpostaBaud(baud)) << baud;
    termios t = StatoMaster();
    EXPECT_EQ(cfgetospeed(&t), codice) << baud;
    EXPECT_EQ(cfgetispeed(&t), codice) << baud;
  }
  EXPECT_FALSE(linea->ImpostaBaud(12345));  // not a speed termios knows
  ASSERT_TRUE(linea->ImpostaBitStop(2));
  EXPECT_NE(StatoMaster().c_cflag & CSTOPB, 0u);
  ASSERT_TRUE(linea->ImpostaBitStop(1));
  EXPECT_EQ(StatoMaster().c_cflag & CSTOPB, 0u);
}

TEST_F(Pty, ModemLinesOnAPtyFailCleanly) {
  auto linea = ApriLineaTermios(slave, 9600, true, true);
  ASSERT_NE(linea, nullptr);
  EXPECT_FALSE(linea->ImpostaDtr(true));
  EXPECT_FALSE(linea->ImpostaDtr(false));
  EXPECT_FALSE(linea->ImpostaRts(true));
  EXPECT_FALSE(linea->ImpostaRts(false));
  // The line itself still works.
  ASSERT_EQ(linea->Scrivi(reinterpret_cast<const std::uint8_t*>("x"), 1), 1);
  EXPECT_EQ(LeggiMaster(1), Byte{'x'});
}

TEST_F(Pty, PurgeDiscardsPendingInput) {
  auto linea = ApriLineaTermios(slave, 9600, false, false);
  ASSERT_NE(linea, nullptr);
  ASSERT_EQ(::write(master, "old", 3), 3);
  ::usleep(50000);  // let the bytes reach the slave's queue
  ASSERT_TRUE(linea->SvuotaIngresso());
  std::uint8_t b[4];
  EXPECT_EQ(linea->Leggi(b, 3, 50), 0);
  ASSERT_EQ(::write(master, "new", 3), 3);
  EXPECT_EQ(linea->Leggi(b, 3, 1000), 3);
}

TEST_F(Pty, SecondOpenOfTheSameDeviceIsRefused) {
  auto linea = ApriLineaTermios(slave, 9600, false, false);
  ASSERT_NE(linea, nullptr);
  EXPECT_EQ(ApriLineaTermios(slave, 9600, false, false), nullptr);
  linea.reset();
  EXPECT_NE(ApriLineaTermios(slave, 9600, false, false), nullptr);
}

TEST_F(Pty, OtherSideGoneIsAReadError) {
  auto linea = ApriLineaTermios(slave, 9600, false, false);
  ASSERT_NE(linea, nullptr);
  ::close(master);
  master = -1;
  std::uint8_t b[4];
  EXPECT_EQ(linea->Leggi(b, 4, 200), -1);
}

TEST(LineaLocale, PathsThatAreNoTerminalAreRefused) {
  EXPECT_EQ(ApriLineaLocale("/nonexistent/ttyUSB9", 9600, false, false), nullptr);
  EXPECT_EQ(ApriLineaLocale("/dev/null", 9600, false, false), nullptr);
  EXPECT_EQ(ApriLinea("/nonexistent/ttyUSB9", 9600, false, false), nullptr);
}

TEST(LineaLocale, EnumerationGivesDevicePaths) {
  // The machines running the tests have no adapter; whatever libserialport
  // lists must be device paths that the opener could take.
  for (const auto& nome : EnumeraDispositiviSeriali()) {
    EXPECT_EQ(nome.rfind("/dev/", 0), 0u) << nome;
  }
}

}  // namespace
}  // namespace bricola
