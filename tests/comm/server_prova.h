// A small RFC 2217 access server for the tests of the network serial client:
// it keeps every byte the client sent, answers option negotiation and line
// changes (or, when told, stays silent or answers something else), echoes the
// data, and can push any raw bytes to the client.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/rfc2217.h"

namespace bricola::prova {

class ServerRfc2217 {
 public:
  // What the server does with the client's requests.
  bool accettaComPort = true;       // DO COM-PORT-OPTION (else DONT)
  bool rispondeNegoziazione = true;  // answers DO/WILL at all
  bool eco = true;                   // sends every data byte back
  std::set<std::uint8_t> muti;       // sub-commands left unanswered
  std::set<std::uint8_t> alterati;   // sub-commands answered with another value
  std::vector<std::uint8_t> saluto;  // raw bytes sent as soon as the client connects

  ServerRfc2217() {
    ascolto_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int uno = 1;
    ::setsockopt(ascolto_, SOL_SOCKET, SO_REUSEADDR, &uno, sizeof uno);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(ascolto_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(ascolto_, 4);
    socklen_t l = sizeof a;
    ::getsockname(ascolto_, reinterpret_cast<sockaddr*>(&a), &l);
    porta_ = ntohs(a.sin_port);
  }

  ~ServerRfc2217() {
    fine_ = true;
    ::shutdown(ascolto_, SHUT_RDWR);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
    }
    if (thread_.joinable()) thread_.join();
    if (client_ >= 0) ::close(client_);
    ::close(ascolto_);
  }

  int Porta() const { return porta_; }

  // Starts serving one client (call after setting the behaviour fields).
  void Avvia() { thread_ = std::thread([this] { Servi(); }); }

  void InviaGrezzo(const std::vector<std::uint8_t>& byte) {
    std::lock_guard<std::mutex> lock(mutexScrittura_);
    if (client_ >= 0) ::send(client_, byte.data(), byte.size(), MSG_NOSIGNAL);
  }

  void ChiudiClient() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
  }

  std::vector<std::uint8_t> Grezzi() {
    std::lock_guard<std::mutex> lock(mutex_);
    return grezzi_;
  }
  std::vector<std::uint8_t> Dati() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dati_;
  }
  std::vector<std::vector<std::uint8_t>> Sottonegoziazioni() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sotto_;
  }
  // (command, option) pairs of the client's negotiation, in order.
  std::vector<std::pair<std::uint8_t, std::uint8_t>> Negoziazioni() {
    std::lock_guard<std::mutex> lock(mutex_);
    return negoziazioni_;
  }

  // Waits until `condizione` holds on the server's state, up to ms.
  template <typename F>
  bool Attendi(F condizione, int ms = 2000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return condizione(); });
  }
  bool AttendiDati(std::size_t n, int ms = 2000) {
    return Attendi([&] { return dati_.size() >= n; }, ms);
  }
  bool AttendiSottonegoziazioni(std::size_t n, int ms = 2000) {
    return Attendi([&] { return sotto_.size() >= n; }, ms);
  }
  bool AttendiNegoziazione(std::uint8_t comando, std::uint8_t opzione, int ms = 2000) {
    return Attendi([&] {
      for (auto& n : negoziazioni_)
        if (n.first == comando && n.second == opzione) return true;
      return false;
    }, ms);
  }

 private:
  void Invia(std::initializer_list<std::uint8_t> byte) { InviaGrezzo(std::vector<std::uint8_t>(byte)); }

  void Servi() {
    namespace t = rfc2217;
    int c = ::accept4(ascolto_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    int uno = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      client_ = c;
    }
    if (!saluto.empty()) InviaGrezzo(saluto);
    enum { kDati, kIac, kOpz, kSb, kSbIac } stato = kDati;
    std::uint8_t comando = 0;
    std::vector<std::uint8_t> sb;
    std::uint8_t blocco[1024];
    while (!fine_) {
      ssize_t n = ::recv(c, blocco, sizeof blocco, 0);
      if (n <= 0) break;
      std::vector<std::uint8_t> indietro;
      std::vector<std::uint8_t> risposte;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        for (ssize_t i = 0; i < n; ++i) {
          const std::uint8_t b = blocco[i];
          grezzi_.push_back(b);
          switch (stato) {
            case kDati:
              if (b == t::IAC) {
                stato = kIac;
              } else {
                dati_.push_back(b);
                indietro.push_back(b);
              }
              break;
            case kIac:
              stato = kDati;
              if (b == t::IAC) {
                dati_.push_back(b);
                indietro.push_back(b);
                indietro.push_back(b);
              } else if (b >= t::WILL && b <= t::DONT) {
                comando = b;
                stato = kOpz;
              } else if (b == t::SB) {
                sb.clear();
                stato = kSb;
              }
              break;
            case kOpz: {
              negoziazioni_.emplace_back(comando, b);
              stato = kDati;
              if (!rispondeNegoziazione) break;
              if (comando == t::WILL) {
                const bool si = b != t::OPT_COM_PORT || accettaComPort;
                risposte.insert(risposte.end(), {t::IAC, si ? t::DO : t::DONT, b});
              } else if (comando == t::DO) {
                const bool si = b == t::OPT_BINARY || b == t::OPT_SUPPRESS_GO_AHEAD;
                risposte.insert(risposte.end(), {t::IAC, si ? t::WILL : t::WONT, b});
              }
              break;
            }
            case kSb:
              if (b == t::IAC) {
                stato = kSbIac;
              } else {
                sb.push_back(b);
              }
              break;
            case kSbIac:
              if (b == t::IAC) {
                sb.push_back(b);
                stato = kSb;
              } else {
                stato = kDati;
                sotto_.push_back(sb);
                if (sb.size() >= 2 && sb[0] == t::OPT_COM_PORT && !muti.count(sb[1])) {
                  std::vector<std::uint8_t> valore(sb.begin() + 2, sb.end());
                  if (alterati.count(sb[1]) && !valore.empty()) valore.back() ^= 1;
                  risposte.insert(risposte.end(), {t::IAC, t::SB, t::OPT_COM_PORT,
                                                   static_cast<std::uint8_t>(sb[1] + t::SERVER_OFFSET)});
                  for (auto v : valore) {
                    risposte.push_back(v);
                    if (v == t::IAC) risposte.push_back(v);
                  }
                  risposte.insert(risposte.end(), {t::IAC, t::SE});
                }
              }
              break;
          }
        }
      }
      cv_.notify_all();
      if (!risposte.empty()) InviaGrezzo(risposte);
      if (eco && !indietro.empty()) InviaGrezzo(indietro);
    }
    cv_.notify_all();
  }

  int ascolto_ = -1;
  int client_ = -1;
  int porta_ = 0;
  std::atomic<bool> fine_{false};
  std::thread thread_;
  std::mutex mutexScrittura_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::uint8_t> grezzi_;
  std::vector<std::uint8_t> dati_;
  std::vector<std::vector<std::uint8_t>> sotto_;
  std::vector<std::pair<std::uint8_t, std::uint8_t>> negoziazioni_;
};

}  // namespace bricola::prova
