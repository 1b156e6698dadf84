// A running bricola-sim driven over a real socket by a raw RFC 2217 client
// written here, sharing nothing with the tool's own client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/rfc2217.h"
#include "sim/protocollo_sim.h"

namespace bricola::sim {
namespace {

namespace r = bricola::rfc2217;
using Byte = std::vector<std::uint8_t>;

std::string FileTemporaneo(const std::string& nome) {
  const char* t = std::getenv("TMPDIR");
  return std::string(t && *t ? t : "/tmp") + "/bricola_sim_" + std::to_string(::getpid()) + "_" + nome;
}

std::string Leggi(const std::string& percorso) {
  std::ifstream f(percorso);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// bricola-sim as a child process; the first line it prints is kept.
class CProcessoSim {
 public:
  explicit CProcessoSim(const std::vector<std::string>& argomenti) {
    int tubo[2];
    if (::pipe(tubo) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(tubo[1], 1);
      ::close(tubo[0]);
      ::close(tubo[1]);
      std::vector<char*> argv;
      std::string exe = BRICOLA_SIM_EXE;
      argv.push_back(exe.data());
      std::vector<std::string> copia = argomenti;
      for (auto& a : copia) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(exe.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(tubo[1]);
    uscita_ = tubo[0];
    // First line of stdout, within 10 s.
    char c;
    pollfd p{uscita_, POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0 && ::read(uscita_, &c, 1) == 1 && c != '\n') riga += c;
  }
  ~CProcessoSim() {
    if (pid_ > 0 && !terminato_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (uscita_ >= 0) ::close(uscita_);
  }
  int Porta() const {
    const auto d = riga.rfind(':');
    return d == std::string::npos ? 0 : std::atoi(riga.c_str() + d + 1);
  }
  // Waits for the end; the exit status, or -1 after the time limit.
  int Attendi(int ms) {
    for (int i = 0; i < ms / 10; ++i) {
      int stato = 0;
      if (::waitpid(pid_, &stato, WNOHANG) == pid_) {
        terminato_ = true;
        return WIFEXITED(stato) ? WEXITSTATUS(stato) : 128;
      }
      ::usleep(10000);
    }
    return -1;
  }
  void Segnale(int s) { ::kill(pid_, s); }

  std::string riga;

 private:
  pid_t pid_ = -1;
  int uscita_ = -1;
  bool terminato_ = false;
};

// Just enough of a Telnet client: separates line data from the server's
// commands and answers.
class CClientGrezzo {
 public:
  explicit CClientGrezzo(int porta) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(porta));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    connesso = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~CClientGrezzo() { Chiudi(); }
  void Chiudi() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void Invia(const Byte& b) { ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }
  void InviaDati(const Byte& b) {
    Byte e;
    for (auto x : b) {
      e.push_back(x);
      if (x == r::IAC) e.push_back(r::IAC);
    }
    Invia(e);
  }
  void ComPort(std::uint8_t cmd, const Byte& v) {
    Byte b = {r::IAC, r::SB, r::OPT_COM_PORT, cmd};
    b.insert(b.end(), v.begin(), v.end());
    b.insert(b.end(), {r::IAC, r::SE});
    Invia(b);
  }
  // Reads until `n` line-data bytes arrived or `ms` passed; returns the data bytes.
  Byte Dati(std::size_t n, int ms = 2000) {
    const auto fine = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (dati.size() < n) {
      const auto resto = std::chrono::duration_cast<std::chrono::milliseconds>(fine - std::chrono::steady_clock::now()).count();
      if (resto <= 0 || !Ricevi(static_cast<int>(resto))) break;
    }
    Byte r;
    const std::size_t k = std::min(n, dati.size());
    r.assign(dati.begin(), dati.begin() + static_cast<std::ptrdiff_t>(k));
    dati.erase(dati.begin(), dati.begin() + static_cast<std::ptrdiff_t>(k));
    return r;
  }
  // Waits until the server's answer to a COM-PORT command is seen.
  Byte AttendiRisposta(std::uint8_t cmd, int ms = 2000) {
    const auto fine = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      for (std::size_t i = 0; i < sottonegoziazioni.size(); ++i) {
        if (sottonegoziazioni[i].size() >= 2 && sottonegoziazioni[i][1] == cmd + r::SERVER_OFFSET) {
          Byte v(sottonegoziazioni[i].begin() + 2, sottonegoziazioni[i].end());
          sottonegoziazioni.erase(sottonegoziazioni.begin() + static_cast<std::ptrdiff_t>(i));
          return v;
        }
      }
      const auto resto = std::chrono::duration_cast<std::chrono::milliseconds>(fine - std::chrono::steady_clock::now()).count();
      if (resto <= 0 || !Ricevi(static_cast<int>(resto))) return {};
    }
  }
  // True when the server closed the connection.
  bool Chiuso(int ms = 2000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    std::uint8_t b[256];
    return ::recv(fd_, b, sizeof b, 0) == 0;
  }

  bool connesso = false;
  Byte grezzi;  // every byte received, as it came
  Byte dati;
  std::vector<Byte> negoziazioni;  // {verb, option}
  std::vector<Byte> sottonegoziazioni;

 private:
  bool Ricevi(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    std::uint8_t b[4096];
    const ssize_t n = ::recv(fd_, b, sizeof b, 0);
    if (n <= 0) return false;
    for (ssize_t i = 0; i < n; ++i) Decodifica(b[i]);
    return true;
  }
  void Decodifica(std::uint8_t c) {
    grezzi.push_back(c);
    switch (stato_) {
      case 0:
        if (c == r::IAC) stato_ = 1;
        else dati.push_back(c);
        break;
      case 1:
        if (c == r::IAC) {
          dati.push_back(c);
          stato_ = 0;
        } else if (c == r::SB) {
          sb_.clear();
          stato_ = 3;
        } else if (c >= r::WILL) {
          verbo_ = c;
          stato_ = 2;
        } else {
          stato_ = 0;
        }
        break;
      case 2:
        negoziazioni.push_back({verbo_, c});
        stato_ = 0;
        break;
      case 3:
        if (c == r::IAC) stato_ = 4;
        else sb_.push_back(c);
        break;
      case 4:
        if (c == r::SE) {
          sottonegoziazioni.push_back(sb_);
          stato_ = 0;
        } else {
          sb_.push_back(c);
          stato_ = 3;
        }
        break;
    }
  }
  int fd_ = -1;
  int stato_ = 0;
  std::uint8_t verbo_ = 0;
  Byte sb_;
};

Byte ConControllo(Byte b) {
  AggiungiControlloRichiesta(b);
  return b;
}

class ServerSim : public ::testing::Test {
 protected:
  void SetUp() override {
    dump = FileTemporaneo("dump.json");
    trascrizione = FileTemporaneo("trascrizione.txt");
    std::remove(dump.c_str());
    std::remove(trascrizione.c_str());
  }
  void TearDown() override {
    std::remove(dump.c_str());
    std::remove(trascrizione.c_str());
  }
  std::string dump;
  std::string trascrizione;
};

TEST_F(ServerSim, RawRfc2217ConversationResetAndDump) {
  CProcessoSim sim({"--machine", BRICOLA_SIM_DEMO, "--listen", "127.0.0.1:0", "--once", "--dump", dump, "--transcript",
                    trascrizione});
  ASSERT_EQ(sim.riga.rfind("listening on 127.0.0.1:", 0), 0u) << sim.riga;
  ASSERT_GT(sim.Porta(), 0);
  CClientGrezzo c(sim.Porta());
  ASSERT_TRUE(c.connesso);
  c.Invia({r::IAC, r::WILL, r::OPT_COM_PORT, r::IAC, r::WILL, r::OPT_BINARY, r::IAC, r::DO, r::OPT_BINARY});
  c.ComPort(r::SET_BAUDRATE, {0x00, 0x00, 0x96, 0x00});
  EXPECT_EQ(c.AttendiRisposta(r::SET_BAUDRATE), (Byte{0x00, 0x00, 0x96, 0x00}));
  // The server offered binary mode and asked for the COM-PORT option.
  const Byte doCom = {r::DO, r::OPT_COM_PORT};
  EXPECT_NE(std::find(c.negoziazioni.begin(), c.negoziazioni.end(), doCom), c.negoziazioni.end());

  // The DTR pulse of the tool: asserted, then cleared, with RTS cleared.
  c.ComPort(r::SET_CONTROL, {r::CONTROL_RTS_OFF});
  EXPECT_EQ(c.AttendiRisposta(r::SET_CONTROL), Byte{r::CONTROL_RTS_OFF});
  c.ComPort(r::SET_CONTROL, {r::CONTROL_DTR_ON});
  EXPECT_EQ(c.AttendiRisposta(r::SET_CONTROL), Byte{r::CONTROL_DTR_ON});
  c.ComPort(r::SET_CONTROL, {r::CONTROL_DTR_OFF});
  EXPECT_EQ(c.AttendiRisposta(r::SET_CONTROL), Byte{r::CONTROL_DTR_OFF});
  c.ComPort(r::PURGE_DATA, {r::PURGE_BOTH});
  EXPECT_EQ(c.AttendiRisposta(r::PURGE_DATA), Byte{r::PURGE_BOTH});

  c.InviaDati({0xF3, 0x60, 0x03, 0x18});
  EXPECT_EQ(c.Dati(5), (Byte{0xF3, 0x34, 0x12, 0x91, 0xCA}));

  // A Blank reply carries FF: on the wire it is doubled.
  c.grezzi.clear();
  c.InviaDati(ConControllo({0xEC, 0x00, 0x00, 0xFD, 0xFE, 0xFF, 0xFD}));
  EXPECT_EQ(c.Dati(5), (Byte{0xEC, 0xEC, 0xFF, 0x7F, 0x1D}));
  EXPECT_EQ(c.grezzi, (Byte{0xEC, 0xEC, 0xFF, 0xFF, 0x7F, 0x1D}));

  // A Write whose data hold FF travels escaped and lands whole.
  c.InviaDati(ConControllo({0xED, 0x00, 0x00, 0xFD, 0x04, 0x00, 0x11, 0xFF, 0x33, 0x44}));
  Byte ok = {0xED, 0x00};
  AggiungiControlloRisposta(ok);
  EXPECT_EQ(c.Dati(4), ok);

  // To the remote board at 0482 and back.
  c.InviaDati({0xFA, 0x82, 0x04, 0xFF, 0x01, 0x00});
  Byte fa = {0xFA, 0x00};
  AggiungiControlloRisposta(fa);
  EXPECT_EQ(c.Dati(4), fa);
  c.InviaDati({0xF3, 0x60, 0x03, 0x18});
  Byte firma = {0xF3, 0x01, 0x20};
  AggiungiControlloRisposta(firma);
  EXPECT_EQ(c.Dati(5), firma);

  c.Chiudi();
  ASSERT_EQ(sim.Attendi(5000), 0) << "--once ends with the client";

  const auto j = nlohmann::json::parse(Leggi(dump));
  ASSERT_EQ(j["schede"].size(), 3u);
  const auto& controllo = j["schede"][0];
  EXPECT_EQ(controllo["reset"], 1);
  ASSERT_EQ(controllo["scritti"].size(), 1u);
  EXPECT_EQ(controllo["scritti"][0]["indirizzo"], 0xFD0000);
  EXPECT_EQ(controllo["scritti"][0]["dati"], "11ff3344");

  const std::string t = Leggi(trascrizione);
  for (const char* riga : {"linea baud 38400", "linea dtr 1", "linea dtr 0", "reset controllo: boot residente a 38400",
                           "linea purge 3", "-> controllo GetFirma: f3 60 03 18", "<- controllo GetFirma: f3 34 12 91 ca",
                           "-> pagamenti GetFirma: f3 60 03 18"}) {
    EXPECT_NE(t.find(riga), std::string::npos) << riga << "\n" << t;
  }
}

TEST_F(ServerSim, OneClientAtATimeAndDumpOnSignal) {
  CProcessoSim sim({"--machine", BRICOLA_SIM_DEMO, "--listen", "127.0.0.1:0", "--dump", dump});
  ASSERT_GT(sim.Porta(), 0);
  CClientGrezzo primo(sim.Porta());
  ASSERT_TRUE(primo.connesso);
  primo.ComPort(r::SIGNATURE, {});
  const Byte firma = primo.AttendiRisposta(r::SIGNATURE);
  EXPECT_EQ(std::string(firma.begin(), firma.end()), "bricola-sim");

  CClientGrezzo secondo(sim.Porta());
  EXPECT_TRUE(secondo.Chiuso()) << "a second client is turned away";

  primo.InviaDati({0xF3, 0x60, 0x03, 0x18});
  EXPECT_EQ(primo.Dati(5).size(), 5u) << "the first client is still served";

  sim.Segnale(SIGUSR1);
  for (int i = 0; i < 200 && Leggi(dump).empty(); ++i) ::usleep(10000);
  EXPECT_NE(Leggi(dump).find("\"controllo\""), std::string::npos);
  std::remove(dump.c_str());
  sim.Segnale(SIGTERM);
  EXPECT_EQ(sim.Attendi(5000), 0);
  EXPECT_NE(Leggi(dump).find("\"schede\""), std::string::npos) << "dump written at exit";
}

TEST_F(ServerSim, OnceToleratesAQuickReopen) {
  CProcessoSim sim({"--listen", "127.0.0.1:0", "--once"});
  ASSERT_GT(sim.Porta(), 0);
  {
    CClientGrezzo c(sim.Porta());
    c.InviaDati({0xF3, 0x60, 0x03, 0x18});
    EXPECT_EQ(c.Dati(5).size(), 5u);
  }
  // The tool reopens its port after a bad reply: close, 50 ms, open.
  ::usleep(50000);
  CClientGrezzo c(sim.Porta());
  ASSERT_TRUE(c.connesso);
  c.InviaDati({0xF3, 0x60, 0x03, 0x18});
  EXPECT_EQ(c.Dati(5).size(), 5u);
  c.Chiudi();
  EXPECT_EQ(sim.Attendi(5000), 0);
}

TEST_F(ServerSim, ConnectionDropFault) {
  const std::string macchina = FileTemporaneo("caduta.json");
  {
    std::ofstream f(macchina);
    f << R"({"linea": {"chiudiDopoByte": 6}, "schede": [{"codice": "0x1234"}]})";
  }
  CProcessoSim sim({"--machine", macchina, "--listen", "127.0.0.1:0"});
  ASSERT_GT(sim.Porta(), 0);
  {
    CClientGrezzo c(sim.Porta());
    c.InviaDati({0xF3, 0x60, 0x03, 0x18});
    EXPECT_EQ(c.Dati(5).size(), 5u);
    c.InviaDati({0xF3, 0x60, 0x03, 0x18});
    EXPECT_TRUE(c.Chiuso()) << "dropped after 6 bytes";
  }
  CClientGrezzo c(sim.Porta());
  c.InviaDati({0xF3, 0x60, 0x03, 0x18});
  EXPECT_EQ(c.Dati(5).size(), 5u) << "a new connection works";
  std::remove(macchina.c_str());
}

TEST_F(ServerSim, PacedRepliesTakeTheirLineTime) {
  CProcessoSim sim({"--listen", "127.0.0.1:0", "--paced"});
  ASSERT_GT(sim.Porta(), 0);
  CClientGrezzo c(sim.Porta());
  c.ComPort(r::SET_BAUDRATE, {0x00, 0x00, 0x04, 0xB0});  // 1200 bit/s
  c.AttendiRisposta(r::SET_BAUDRATE);
  c.InviaDati({0xF3, 0x60, 0x03, 0x18});
  // The default machine runs at 38400: at 1200 the request is lost.
  EXPECT_TRUE(c.Dati(5, 300).empty());
  c.ComPort(r::SET_BAUDRATE, {0x00, 0x00, 0x96, 0x00});
  c.AttendiRisposta(r::SET_BAUDRATE);
  const auto t0 = std::chrono::steady_clock::now();
  c.InviaDati({0xF3, 0x60, 0x03, 0x18});
  EXPECT_EQ(c.Dati(5).size(), 5u);
  const auto durata = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(durata, 2000) << "9 bytes at 38400 bit/s take 2.3 ms";
}

TEST_F(ServerSim, PseudoTerminal) {
  const std::string collegamento = FileTemporaneo("pty");
  CProcessoSim sim({"--pty", "--pty-link", collegamento});
  ASSERT_EQ(sim.riga.rfind("pty /dev/", 0), 0u) << sim.riga;
  const int fd = ::open(collegamento.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::cfsetispeed(&t, B38400);
  ::cfsetospeed(&t, B38400);
  ::tcsetattr(fd, TCSANOW, &t);
  const Byte firma = {0xF3, 0x60, 0x03, 0x18};
  ASSERT_EQ(::write(fd, firma.data(), firma.size()), 4);
  Byte r;
  pollfd p{fd, POLLIN, 0};
  while (r.size() < 5 && ::poll(&p, 1, 2000) > 0) {
    std::uint8_t b[16];
    const ssize_t n = ::read(fd, b, sizeof b);
    if (n <= 0) break;
    r.insert(r.end(), b, b + n);
  }
  EXPECT_EQ(r, (Byte{0xF3, 0x34, 0x12, 0x91, 0xCA}));
  ::close(fd);
  sim.Segnale(SIGTERM);
  EXPECT_EQ(sim.Attendi(5000), 0);
}

}  // namespace
}  // namespace bricola::sim
