// The RFC 2217 client against an independent peer: pyserial's access server
// over its loop:// port, run by /usr/bin/python3.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/int_seriale.h"
#include "comm/porta_seriale.h"
#include "platform/linee.h"

namespace bricola {
namespace {

using Byte = std::vector<std::uint8_t>;

// Runs the script and collects its output lines.
class ServerPyserial {
 public:
  ServerPyserial() {
    int uscita[2];
    int ingresso[2];
    if (::pipe2(uscita, O_CLOEXEC) != 0 || ::pipe2(ingresso, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(uscita[1], 1);
      ::dup2(ingresso[0], 0);
      ::execl("/usr/bin/python3", "python3", BRICOLA_SERVER_PYSERIAL, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(uscita[1]);
    ::close(ingresso[0]);
    lettura_ = uscita[0];
    scrittura_ = ingresso[1];
    lettore_ = std::thread([this] { Leggi(); });
  }

  ~ServerPyserial() {
    if (scrittura_ >= 0) ::close(scrittura_);  // the script ends when its stdin closes
    if (pid_ > 0) {
      for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
          pid_ = -1;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
      }
    }
    if (lettore_.joinable()) lettore_.join();
    if (lettura_ >= 0) ::close(lettura_);
  }

  // Waits for a line that begins with `inizio`; gives its rest, or "\x01" when none came.
  std::string Attendi(const std::string& inizio, int ms = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string trovata = "\x01";
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (std::size_t i = consumate_; i < righe_.size(); ++i) {
        if (righe_[i].rfind(inizio, 0) == 0) {
          trovata = righe_[i].substr(inizio.size());
          consumate_ = i + 1;
          return true;
        }
      }
      return fine_;
    });
    return trovata;
  }

 private:
  void Leggi() {
    std::string parziale;
    char blocco[512];
    for (;;) {
      ssize_t n = ::read(lettura_, blocco, sizeof blocco);
      if (n <= 0) break;
      std::lock_guard<std::mutex> lock(mutex_);
      parziale.append(blocco, static_cast<std::size_t>(n));
      std::size_t fine;
      while ((fine = parziale.find('\n')) != std::string::npos) {
        righe_.push_back(parziale.substr(0, fine));
        parziale.erase(0, fine + 1);
      }
      cv_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    fine_ = true;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  int lettura_ = -1;
  int scrittura_ = -1;
  std::thread lettore_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> righe_;
  std::size_t consumate_ = 0;
  bool fine_ = false;
};

class Rfc2217Pyserial : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string p = server.Attendi("PORT ", 10000);
    if (p == "\x01") {
      if (server.Attendi("NOSERIAL", 0) != "\x01") GTEST_SKIP() << "python3-serial is not installed";
      FAIL() << "the pyserial server did not start";
    }
    porta = std::stoi(p);
  }
  ServerPyserial server;
  int porta = 0;
};

TEST_F(Rfc2217Pyserial, DataEchoedWithEveryByteValueAndLineChangesSeenByTheServer) {
  auto linea = ApriLineaRfc2217("127.0.0.1", porta, 38400, true, true);
  ASSERT_NE(linea, nullptr);
  EXPECT_EQ(server.Attendi("LOG client accepts RFC 2217"), "");
  EXPECT_EQ(server.Attendi("LOG set baud rate: "), "38400");
  EXPECT_EQ(server.Attendi("LOG set data size: "), "8");
  EXPECT_EQ(server.Attendi("LOG set parity: "), "N");
  EXPECT_EQ(server.Attendi("LOG set stop bits: "), "1");
  EXPECT_EQ(server.Attendi("LOG changed flow control to "), "None");
  EXPECT_EQ(server.Attendi("LOG changed DTR to "), "active");
  EXPECT_EQ(server.Attendi("LOG changed RTS to "), "active");

  Byte tutti;
  for (int r = 0; r < 4; ++r)
    for (int i = 0; i < 256; ++i) tutti.push_back(static_cast<std::uint8_t>(r % 2 ? 255 - i : i));
  tutti.insert(tutti.end(), {0xFF, 0xFF, 0xFF, 0xFA, 0xF0});
  ASSERT_EQ(linea->Scrivi(tutti.data(), static_cast<int>(tutti.size())), static_cast<int>(tutti.size()));
  Byte eco(tutti.size());
  int n = 0;
  for (int i = 0; i < 50 && n < static_cast<int>(eco.size()); ++i) {
    int r = linea->Leggi(eco.data() + n, static_cast<int>(eco.size()) - n, 100);
    ASSERT_GE(r, 0);
    n += r;
  }
  EXPECT_EQ(eco, tutti);

  ASSERT_TRUE(linea->ImpostaBaud(115200));
  EXPECT_EQ(server.Attendi("LOG set baud rate: "), "115200");
  ASSERT_TRUE(linea->ImpostaBitStop(2));
  EXPECT_EQ(server.Attendi("LOG set stop bits: "), "2");
  ASSERT_TRUE(linea->ImpostaBitStop(1));
  EXPECT_EQ(server.Attendi("LOG set stop bits: "), "1");
  ASSERT_TRUE(linea->ImpostaDtr(false));
  EXPECT_EQ(server.Attendi("LOG changed DTR to "), "inactive");
  ASSERT_TRUE(linea->ImpostaRts(false));
  EXPECT_EQ(server.Attendi("LOG changed RTS to "), "inactive");
  ASSERT_TRUE(linea->ImpostaDtr(true));
  EXPECT_EQ(server.Attendi("LOG changed DTR to "), "active");
  ASSERT_TRUE(linea->SvuotaIngresso());
  EXPECT_EQ(server.Attendi("LOG purge in"), "");
}

TEST_F(Rfc2217Pyserial, SerialInterfaceDrivesAResetPulseAndBaudChangesOverTheNetwork) {
  const int p = porta;
  ImpostaApritorePorta([p](int numero, int baud, bool dtr, bool rts) -> std::unique_ptr<LineaSeriale> {
    if (numero != 3) return nullptr;
    return ApriLineaRfc2217("127.0.0.1", p, baud, dtr, rts);
  });
  CIntSeriale interfaccia;
  int esito = -1;
  ASSERT_EQ(interfaccia.ApriLinea(2, 38400, 0, &esito), 1);  // COM3
  EXPECT_EQ(server.Attendi("LOG set baud rate: "), "38400");
  EXPECT_EQ(server.Attendi("LOG changed DTR to "), "inactive");
  // The reset of a board: DTR up, RTS up, DTR down, then the faster speed.
  const HandleLinea h = interfaccia.handle;
  EXPECT_EQ(DtrAlto(h), 0);
  EXPECT_EQ(RtsAlto(h), 0);
  EXPECT_EQ(DtrBasso(h), 0);
  EXPECT_EQ(ImpostaBaud(h, 115200), 0);
  EXPECT_EQ(server.Attendi("LOG changed DTR to "), "active");
  EXPECT_EQ(server.Attendi("LOG changed RTS to "), "active");
  EXPECT_EQ(server.Attendi("LOG changed DTR to "), "inactive");
  EXPECT_EQ(server.Attendi("LOG set baud rate: "), "115200");

  // Request and reply through the receive thread; loop:// sends the request back.
  const Byte richiesta = {0x7E, 0xFF, 0x00, 0x81};
  interfaccia.SvuotaLinea();
  ASSERT_EQ(interfaccia.ScriviLinea(richiesta.data(), 4), 4);
  interfaccia.AttendiRisposta(4, 2000);
  Byte risposta(4);
  int presi = 0;
  for (int i = 0; i < 200 && presi < 4; ++i) {
    presi += interfaccia.LeggiLinea(risposta.data() + presi, 4 - presi);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(risposta, richiesta);
  EXPECT_EQ(interfaccia.ChiudiLinea(), 1);
  ImpostaApritorePorta(nullptr);
}

}  // namespace
}  // namespace bricola
