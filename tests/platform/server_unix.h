// A Unix-domain stream server on a thread of its own for the device tests: it
// accepts any number of connections and hands the bytes of each to a handler
// that says how many it took and what to answer.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bricola::prova {

class ServerUnix {
 public:
  using Byte = std::vector<std::uint8_t>;
  // (connection number from 1, bytes not taken yet, answer out) -> bytes taken
  // (0: wait for more); -1 closes the connection.
  using Gestore = std::function<long(int connessione, const Byte& arrivati, Byte& risposta)>;

  ServerUnix(std::string percorso, Gestore g) : percorso_(std::move(percorso)), gestore_(std::move(g)) {
    ::unlink(percorso_.c_str());
    ascolto_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, percorso_.c_str(), sizeof a.sun_path - 1);
    if (::bind(ascolto_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(ascolto_, 8) != 0) {
      ::close(ascolto_);
      ascolto_ = -1;
      return;
    }
    filo_ = std::thread([this] { Ciclo(); });
  }
  ~ServerUnix() {
    fine_ = true;
    if (filo_.joinable()) filo_.join();
    for (auto& c : connessioni_) ::close(c.fd);
    if (ascolto_ >= 0) ::close(ascolto_);
    ::unlink(percorso_.c_str());
  }
  ServerUnix(const ServerUnix&) = delete;
  ServerUnix& operator=(const ServerUnix&) = delete;

  bool Pronto() const { return ascolto_ >= 0; }
  std::string Punto() const { return "unix:" + percorso_; }
  int Accettate() const { return accettate_; }
  int Chiuse() const { return chiuse_; }
  // Every byte each connection sent, in order (index = connection number - 1).
  std::vector<Byte> Ricevuti() const {
    std::lock_guard<std::mutex> l(mutex_);
    return ricevuti_;
  }

 private:
  struct Connessione {
    int fd;
    int numero;
    Byte arrivati;
  };

  void Ciclo() {
    while (!fine_) {
      std::vector<pollfd> p{{ascolto_, POLLIN, 0}};
      for (const auto& c : connessioni_) p.push_back({c.fd, POLLIN, 0});
      if (::poll(p.data(), p.size(), 20) <= 0) continue;
      if (p[0].revents & POLLIN) {
        const int fd = ::accept4(ascolto_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          std::lock_guard<std::mutex> l(mutex_);
          ricevuti_.emplace_back();
          connessioni_.push_back({fd, ++accettate_, {}});
        }
      }
      for (std::size_t i = 1; i < p.size(); ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        Connessione& c = connessioni_[i - 1];
        std::uint8_t b[4096];
        const ssize_t n = ::recv(c.fd, b, sizeof b, 0);
        bool chiudi = n <= 0;
        if (n > 0) {
          {
            std::lock_guard<std::mutex> l(mutex_);
            ricevuti_[static_cast<std::size_t>(c.numero - 1)].insert(ricevuti_[static_cast<std::size_t>(c.numero - 1)].end(), b, b + n);
          }
          c.arrivati.insert(c.arrivati.end(), b, b + n);
          for (;;) {
            Byte risposta;
            const long presi = gestore_(c.numero, c.arrivati, risposta);
            if (presi < 0) {
              chiudi = true;
              break;
            }
            if (!risposta.empty()) (void)::send(c.fd, risposta.data(), risposta.size(), MSG_NOSIGNAL);
            if (presi == 0) break;
            c.arrivati.erase(c.arrivati.begin(), c.arrivati.begin() + presi);
          }
        }
        if (chiudi) {
          ::close(c.fd);
          c.fd = -1;
          ++chiuse_;
        }
      }
      std::erase_if(connessioni_, [](const Connessione& c) { return c.fd < 0; });
    }
  }

  std::string percorso_;
  Gestore gestore_;
  int ascolto_ = -1;
  std::thread filo_;
  std::atomic<bool> fine_{false};
  std::atomic<int> accettate_{0};
  std::atomic<int> chiuse_{0};
  std::vector<Connessione> connessioni_;
  mutable std::mutex mutex_;
  std::vector<Byte> ricevuti_;
};

inline std::string PercorsoTemporaneo(const std::string& nome) {
  const char* t = std::getenv("TMPDIR");
  return std::string(t && *t ? t : "/tmp") + "/bricola_" + std::to_string(::getpid()) + "_" + nome;
}

}  // namespace bricola::prova
