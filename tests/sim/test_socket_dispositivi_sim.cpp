// bricola-sim serving only its devices, driven over the real Unix sockets by a
// raw client written here.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using Byte = std::vector<std::uint8_t>;

std::string Tmp(const std::string& n) {
  const char* t = std::getenv("TMPDIR");
  return std::string(t && *t ? t : "/tmp") + "/bsd_" + std::to_string(::getpid()) + "_" + n;
}

int Connetti(const std::string& p) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, p.c_str(), sizeof a.sun_path - 1);
  for (int i = 0; i < 200; ++i) {
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    ::usleep(10000);
  }
  ::close(fd);
  return -1;
}

bool Ricevi(int fd, std::uint8_t* b, std::size_t n) {
  while (n > 0) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 3000) <= 0) return false;
    const ssize_t k = ::recv(fd, b, n, 0);
    if (k <= 0) return false;
    b += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

void Le32(Byte& b, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

// One driver request; returns the result and fills the output.
std::uint32_t Richiesta(int fd, std::uint32_t codice, const Byte& in, std::uint32_t cap, Byte& out) {
  Byte r;
  Le32(r, codice);
  Le32(r, static_cast<std::uint32_t>(in.size()));
  r.insert(r.end(), in.begin(), in.end());
  Le32(r, cap);
  EXPECT_EQ(::send(fd, r.data(), r.size(), MSG_NOSIGNAL), static_cast<ssize_t>(r.size()));
  std::uint8_t h[8];
  if (!Ricevi(fd, h, 8)) return 99;
  const std::uint32_t n = h[4] | (h[5] << 8) | (h[6] << 16) | (std::uint32_t{h[7]} << 24);
  out.assign(n, 0);
  if (n && !Ricevi(fd, out.data(), n)) return 99;
  return h[0] | (h[1] << 8);
}

TEST(SocketDispositiviSim, KeyPageWrittenThroughAndRequestsInTheDump) {
  const std::string lpt = Tmp("lpt"), usb = Tmp("usb"), chiave = Tmp("k.bin"), dump = Tmp("d.json");
  ::unlink(chiave.c_str());
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int nulla = ::open("/dev/null", O_WRONLY);
    ::dup2(nulla, 1);
    ::execl(BRICOLA_SIM_EXE, BRICOLA_SIM_EXE, "--lpt", lpt.c_str(), "--usb", usb.c_str(), "--key", chiave.c_str(),
            "--driver", "base", "--dump", dump.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const int d = Connetti(lpt);
  ASSERT_GE(d, 0);
  Byte out;
  ASSERT_EQ(Richiesta(d, 0xE2E9600C, {}, 5, out), 1u);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0] & 0x3C, 0x24);
  EXPECT_EQ(Richiesta(d, 0xE2E960A4, {}, 8, out), 0u);  // basic driver
  Byte w = {5, 0, 0, 0, 3, 0, 1, 0xAA, 0xBB, 0xCC};
  w.resize(271, 0);
  ASSERT_EQ(Richiesta(d, 0xE2E96020, w, 4, out), 1u);
  ASSERT_EQ(out, Byte(4, 0));
  // Written through: the file holds the page already.
  {
    std::ifstream f(chiave, std::ios::binary);
    f.seekg(5 * 264);
    char b[4];
    f.read(b, 4);
    EXPECT_EQ(Byte(b, b + 4), (Byte{0xAA, 0xBB, 0xCC, 0xFF}));
  }
  ASSERT_EQ(Richiesta(d, 0xE2E9601C, {5, 0, 1, 0, 2, 0}, 268, out), 1u);
  ASSERT_EQ(out.size(), 268u);
  EXPECT_EQ(out[0], 0xBB);
  EXPECT_EQ(out[264], 0);
  // A USB exchange on a second connection: mode select.
  const int u = Connetti(usb);
  ASSERT_GE(u, 0);
  Byte s = {'S', 0, 0, 0, 0, 4, 0, 0, 0, 2, 0x3C, 0x91, 0x7A, 0x0E, 0x55, 0xD2, 0x18, 0x6B};
  s.resize(34, 0);
  ASSERT_EQ(::send(u, s.data(), s.size(), 0), 34);
  std::uint8_t a[34];
  ASSERT_TRUE(Ricevi(u, a, 1));
  EXPECT_EQ(a[0], 1);
  Byte g(34, 0);
  g[0] = 'G';
  ASSERT_EQ(::send(u, g.data(), g.size(), 0), 34);
  ASSERT_TRUE(Ricevi(u, a, 34));
  EXPECT_EQ(a[0], 1);
  EXPECT_EQ(a[5], 0);
  ::close(u);
  ::close(d);
  ::usleep(100000);
  ::kill(pid, SIGTERM);
  int st = 0;
  ::waitpid(pid, &st, 0);
  std::ifstream f(dump);
  std::stringstream t;
  t << f.rdbuf();
  const auto j = nlohmann::json::parse(t.str());
  const auto& r = j.at("dispositivi").at("richieste");
  std::vector<std::string> nomi;
  for (const auto& v : r) nomi.push_back(v.value("richiesta", v.value("evento", "")));
  const std::vector<std::string> attese = {"apertura", "identifica", "esteso", "scrivi", "leggiB", "apertura",
                                           "setFeature", "modo", "getFeature", "chiusura", "chiusura"};
  EXPECT_EQ(nomi, attese);
  EXPECT_EQ(j.at("dispositivi").at("chiave").at("pagineScritte"), 1);
  ::unlink(chiave.c_str());
  ::unlink(dump.c_str());
}

}  // namespace
