// bricola-sim serving only its key and driver device on Unix sockets, for the
// tests that go through the real socket seam.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bricola::prova {

class SimDispositivi {
 public:
  // `argomenti`: the device options (--key, --driver, --devices ...); the
  // socket and dump paths are added here.
  explicit SimDispositivi(const std::string& nome, std::vector<std::string> argomenti) {
    const char* t = std::getenv("TMPDIR");
    base_ = std::string(t && *t ? t : "/tmp") + "/bricola_sim_" + std::to_string(::getpid()) + "_" + nome;
    usb_ = base_ + ".usb";
    lpt_ = base_ + ".lpt";
    dump_ = base_ + ".dump.json";
    chiave_ = base_ + ".key";
    ::unlink(chiave_.c_str());
    ::unlink(dump_.c_str());
    std::vector<std::string> a = {BRICOLA_SIM_EXE, "--usb", usb_, "--lpt", lpt_, "--dump", dump_, "--key", chiave_};
    a.insert(a.end(), argomenti.begin(), argomenti.end());
    int tubo[2];
    if (::pipe(tubo) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(tubo[1], 1);
      ::close(tubo[0]);
      ::close(tubo[1]);
      std::vector<char*> argv;
      for (auto& s : a) argv.push_back(s.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(tubo[1]);
    // Ready once both socket lines are out.
    std::string uscita;
    for (int i = 0; i < 500 && uscita.find("lpt ") == std::string::npos; ++i) {
      pollfd p{tubo[0], POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char b[256];
      const ssize_t n = ::read(tubo[0], b, sizeof b);
      if (n <= 0) break;
      uscita.append(b, static_cast<std::size_t>(n));
    }
    ::close(tubo[0]);
    pronto_ = uscita.find("lpt ") != std::string::npos;
  }
  ~SimDispositivi() {
    Ferma();
    ::unlink(chiave_.c_str());
    ::unlink(dump_.c_str());
  }
  SimDispositivi(const SimDispositivi&) = delete;
  SimDispositivi& operator=(const SimDispositivi&) = delete;

  bool Pronto() const { return pronto_; }
  std::string Usb() const { return "unix:" + usb_; }
  std::string Lpt() const { return "unix:" + lpt_; }
  const std::string& FileChiave() const { return chiave_; }

  // Stops the simulator; its dump (every request it got) is then readable.
  void Ferma() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int st = 0;
    ::waitpid(pid_, &st, 0);
    pid_ = -1;
  }
  std::string Dump() const {
    std::ifstream f(dump_);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  std::vector<std::uint8_t> Chiave() const {
    std::ifstream f(chiave_, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  // Writes a --devices file and returns its path.
  static std::string FileDispositivi(const std::string& nome, const std::string& json) {
    const char* t = std::getenv("TMPDIR");
    const std::string p = std::string(t && *t ? t : "/tmp") + "/bricola_sim_" + std::to_string(::getpid()) + "_" + nome + ".json";
    std::ofstream(p) << json;
    return p;
  }

 private:
  std::string base_, usb_, lpt_, dump_, chiave_;
  pid_t pid_ = -1;
  bool pronto_ = false;
};

}  // namespace bricola::prova
