// Network serial ports: a Telnet client speaking the COM-PORT-OPTION of RFC 2217.
//
// One reader thread owns the receiving side of the socket: it separates the
// data bytes (kept in order, IAC IAC undone) from Telnet commands, answers
// option negotiation, and records the server's answers to line changes. The
// calls of LineaSeriale only write to the socket and wait on what the reader
// has stored, so a notification or a stray command in the middle of the data
// never costs a data byte.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/rfc2217.h"
#include "platform/linee.h"

namespace bricola {
namespace {

namespace t = rfc2217;

constexpr int kTimeoutConnessioneMs = 3000;
// Same bound as the write total timeout of the port layer.
constexpr int kTimeoutScritturaMs = 5000;
// Received data nobody has taken yet; beyond this the reader stops reading the
// socket (TCP holds the rest back) until the line is read or purged.
constexpr std::size_t kMaxIngresso = 1 << 20;

using Orologio = std::chrono::steady_clock;

// Telnet option state of one side (RFC 1143, without the "want no" states: this
// client never switches an agreed option off).
enum class StatoOpzione : std::uint8_t { No, Chiesta, Si };

class LineaRfc2217 final : public LineaSeriale {
 public:
  LineaRfc2217(int sock, int attesaRispostaMs) : sock_(sock), attesaMs_(attesaRispostaMs) {}

  ~LineaRfc2217() override {
    ::shutdown(sock_, SHUT_RDWR);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fine_ = true;  // also frees a reader waiting for room in the queue
    }
    cv_.notify_all();
    if (lettore_.joinable()) lettore_.join();
    ::close(sock_);
  }
  LineaRfc2217(const LineaRfc2217&) = delete;
  LineaRfc2217& operator=(const LineaRfc2217&) = delete;

  // Option negotiation, then 8N1 without flow control at the given speed and
  // lines. False when the server does not agree to COM-PORT-OPTION in time or
  // refuses one of the settings.
  bool Avvia(int baud, bool dtr, bool rts) {
    // We send binary data and take binary data, without go-aheads, and we are
    // the client side of the COM port option. The states are set before the
    // reader starts: a server that asks first finds our requests pending and
    // gets no second answer.
    noi_[t::OPT_BINARY] = noi_[t::OPT_SUPPRESS_GO_AHEAD] = noi_[t::OPT_COM_PORT] = StatoOpzione::Chiesta;
    loro_[t::OPT_BINARY] = loro_[t::OPT_SUPPRESS_GO_AHEAD] = StatoOpzione::Chiesta;
    lettore_ = std::thread([this] { CicloLettura(); });
    const std::uint8_t richieste[] = {
        t::IAC, t::WILL, t::OPT_COM_PORT,          t::IAC, t::WILL, t::OPT_BINARY,
        t::IAC, t::DO,   t::OPT_BINARY,            t::IAC, t::WILL, t::OPT_SUPPRESS_GO_AHEAD,
        t::IAC, t::DO,   t::OPT_SUPPRESS_GO_AHEAD,
    };
    if (!InviaGrezzo(richieste, sizeof richieste)) return false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const auto scadenza = Orologio::now() + std::chrono::milliseconds(attesaMs_);
      // The server's DO COM-PORT-OPTION is the agreement; some servers only
      // offer WILL, and their answers to the settings below decide then.
      cv_.wait_until(lock, scadenza, [this] {
        return fine_ || noi_[t::OPT_COM_PORT] != StatoOpzione::Chiesta || loro_[t::OPT_COM_PORT] == StatoOpzione::Si;
      });
      if (fine_) return false;
      if (noi_[t::OPT_COM_PORT] != StatoOpzione::Si && loro_[t::OPT_COM_PORT] != StatoOpzione::Si) return false;
    }
    return ImpostaBaud(baud) && Comando(t::SET_DATASIZE, 8) && Comando(t::SET_PARITY, t::PARITY_NONE) &&
           ImpostaBitStop(1) && Comando(t::SET_CONTROL, t::CONTROL_FLOW_NONE) && ImpostaDtr(dtr) && ImpostaRts(rts);
  }

  int Scrivi(const std::uint8_t* dati, int lunghezza) override {
    if (lunghezza < 0 || (lunghezza > 0 && dati == nullptr)) return -1;
    std::vector<std::uint8_t> uscita;
    uscita.reserve(static_cast<std::size_t>(lunghezza) + 16);
    for (int i = 0; i < lunghezza; ++i) {
      uscita.push_back(dati[i]);
      if (dati[i] == t::IAC) uscita.push_back(t::IAC);  // a data byte 255 travels doubled
    }
    return InviaGrezzo(uscita.data(), uscita.size()) ? lunghezza : -1;
  }

  int Leggi(std::uint8_t* buffer, int lunghezza, int timeoutMs) override {
    if (lunghezza < 0 || (lunghezza > 0 && buffer == nullptr)) return -1;
    std::unique_lock<std::mutex> lock(mutex_);
    const auto scadenza = Orologio::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    const auto voluti = static_cast<std::size_t>(lunghezza);
    // The reader wakes this wait only once enough data have come (or for
    // anything that is not plain data), not for every piece of a long reply.
    datiVoluti_ = voluti;
    cv_.wait_until(lock, scadenza, [&] { return ingresso_.size() >= voluti || chiusa_; });
    datiVoluti_ = 0;
    const std::size_t n = std::min(voluti, ingresso_.size());
    if (n == 0 && chiusa_) return -1;
    for (std::size_t i = 0; i < n; ++i) {
      buffer[i] = ingresso_.front();
      ingresso_.pop_front();
    }
    if (n > 0) cv_.notify_all();  // room for a reader held back by a full queue
    return static_cast<int>(n);
  }

  bool ImpostaBaud(int baud) override {
    if (baud <= 0) return false;
    const auto b = static_cast<std::uint32_t>(baud);
    const std::uint8_t valore[4] = {static_cast<std::uint8_t>(b >> 24), static_cast<std::uint8_t>(b >> 16),
                                    static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)};
    return Richiesta(t::SET_BAUDRATE, valore, sizeof valore);
  }

  bool ImpostaBitStop(int n) override { return Comando(t::SET_STOPSIZE, n == 2 ? t::STOPSIZE_2 : t::STOPSIZE_1); }
  bool ImpostaDtr(bool alto) override { return Comando(t::SET_CONTROL, alto ? t::CONTROL_DTR_ON : t::CONTROL_DTR_OFF); }
  bool ImpostaRts(bool alto) override { return Comando(t::SET_CONTROL, alto ? t::CONTROL_RTS_ON : t::CONTROL_RTS_OFF); }

  bool SvuotaIngresso() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ingresso_.clear();
    }
    cv_.notify_all();
    if (!Comando(t::PURGE_DATA, t::PURGE_RECEIVE)) return false;
    // What the server sent before it purged its own buffer is just as stale.
    std::lock_guard<std::mutex> lock(mutex_);
    ingresso_.clear();
    cv_.notify_all();
    return true;
  }

 private:
  struct Risposta {
    std::uint64_t numero = 0;  // answers received so far for this sub-command
    std::vector<std::uint8_t> valore;
  };

  bool Comando(std::uint8_t sottocomando, std::uint8_t valore) { return Richiesta(sottocomando, &valore, 1); }

  // Sends IAC SB COM-PORT-OPTION <sottocomando> <valore> IAC SE and waits for
  // the server's answer (the sub-command plus 100). The change holds only when
  // the answer carries the value asked for.
  bool Richiesta(std::uint8_t sottocomando, const std::uint8_t* valore, std::size_t lunghezza) {
    std::vector<std::uint8_t> uscita = {t::IAC, t::SB, t::OPT_COM_PORT, sottocomando};
    for (std::size_t i = 0; i < lunghezza; ++i) {
      uscita.push_back(valore[i]);
      if (valore[i] == t::IAC) uscita.push_back(t::IAC);
    }
    uscita.push_back(t::IAC);
    uscita.push_back(t::SE);

    std::uint64_t prima;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (chiusa_) return false;
      prima = risposte_[sottocomando].numero;
    }
    if (!InviaGrezzo(uscita.data(), uscita.size())) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    const auto scadenza = Orologio::now() + std::chrono::milliseconds(attesaMs_);
    if (!cv_.wait_until(lock, scadenza, [&] { return chiusa_ || risposte_[sottocomando].numero != prima; })) {
      return false;  // no answer in time: the change did not happen as far as we know
    }
    if (risposte_[sottocomando].numero == prima) return false;
    const auto& risposta = risposte_[sottocomando].valore;
    return risposta.size() == lunghezza && std::equal(risposta.begin(), risposta.end(), valore);
  }

  // Writes bytes already in wire form; all or nothing within the write bound.
  bool InviaGrezzo(const std::uint8_t* dati, std::size_t lunghezza) {
    std::lock_guard<std::mutex> lock(mutexScrittura_);
    const auto scadenza = Orologio::now() + std::chrono::milliseconds(kTimeoutScritturaMs);
    std::size_t inviati = 0;
    while (inviati < lunghezza) {
      ssize_t n = ::send(sock_, dati + inviati, lunghezza - inviati, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        inviati += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      const auto resto =
          std::chrono::duration_cast<std::chrono::milliseconds>(scadenza - Orologio::now()).count();
      if (resto <= 0) return false;
      pollfd p{sock_, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(resto)) < 0 && errno != EINTR) return false;
    }
    return true;
  }

  void CicloLettura() {
    std::array<std::uint8_t, 4096> blocco{};
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return fine_ || ingresso_.size() < kMaxIngresso; });
        if (fine_) break;
      }
      ssize_t n = ::recv(sock_, blocco.data(), blocco.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::vector<std::uint8_t> risposteTelnet;
      bool sveglia = true;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t prima = ingresso_.size();
        const bool soloDati = statoRx_ == Rx::Dati;
        for (ssize_t i = 0; i < n; ++i) Analizza(blocco[static_cast<std::size_t>(i)], &risposteTelnet);
        // A block of plain data that leaves a waiting read still short wakes
        // nobody: every other waiter waits for a Telnet answer.
        const bool tuttiDati = soloDati && statoRx_ == Rx::Dati && ingresso_.size() - prima == static_cast<std::size_t>(n);
        if (tuttiDati && datiVoluti_ > 0 && ingresso_.size() < datiVoluti_) sveglia = false;
      }
      if (sveglia) cv_.notify_all();
      if (!risposteTelnet.empty()) InviaGrezzo(risposteTelnet.data(), risposteTelnet.size());
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      chiusa_ = true;
    }
    cv_.notify_all();
  }

  // Telnet receive state machine, one byte at a time (mutex_ held). Answers to
  // option negotiation are collected in `uscita` and sent after the lock.
  void Analizza(std::uint8_t b, std::vector<std::uint8_t>* uscita) {
    switch (statoRx_) {
      case Rx::Dati:
        if (b == t::IAC) {
          statoRx_ = Rx::Iac;
        } else {
          ingresso_.push_back(b);
        }
        break;
      case Rx::Iac:
        statoRx_ = Rx::Dati;
        if (b == t::IAC) {
          ingresso_.push_back(b);
        } else if (b == t::WILL || b == t::WONT || b == t::DO || b == t::DONT) {
          comandoOpzione_ = b;
          statoRx_ = Rx::Opzione;
        } else if (b == t::SB) {
          sotto_.clear();
          statoRx_ = Rx::Sotto;
        }
        // NOP, GA, a stray SE and every other command carry nothing for us.
        break;
      case Rx::Opzione:
        Negozia(comandoOpzione_, b, uscita);
        statoRx_ = Rx::Dati;
        break;
      case Rx::Sotto:
        if (b == t::IAC) {
          statoRx_ = Rx::SottoIac;
        } else if (sotto_.size() < 256) {
          sotto_.push_back(b);
        }
        break;
      case Rx::SottoIac:
        if (b == t::IAC) {
          if (sotto_.size() < 256) sotto_.push_back(b);
          statoRx_ = Rx::Sotto;
        } else if (b == t::SE) {
          Sottonegoziazione();
          statoRx_ = Rx::Dati;
        } else {
          // IAC and a command inside a subnegotiation: the peer ended it badly.
          // Drop it and read the command as if it came outside.
          sotto_.clear();
          statoRx_ = Rx::Iac;
          Analizza(b, uscita);
        }
        break;
    }
  }

  static bool Vogliamo(std::uint8_t opzione) {
    return opzione == t::OPT_BINARY || opzione == t::OPT_SUPPRESS_GO_AHEAD || opzione == t::OPT_COM_PORT;
  }

  void Negozia(std::uint8_t comando, std::uint8_t opzione, std::vector<std::uint8_t>* uscita) {
    auto invia = [&](std::uint8_t risposta) {
      uscita->insert(uscita->end(), {t::IAC, risposta, opzione});
    };
    if (comando == t::DO || comando == t::DONT) {
      StatoOpzione& s = noi_[opzione];
      if (comando == t::DO) {
        if (!Vogliamo(opzione)) {
          invia(t::WONT);
        } else if (s == StatoOpzione::No) {
          s = StatoOpzione::Si;
          invia(t::WILL);
        } else {
          s = StatoOpzione::Si;
        }
      } else {
        if (s == StatoOpzione::Si) invia(t::WONT);
        s = StatoOpzione::No;
      }
    } else {
      StatoOpzione& s = loro_[opzione];
      if (comando == t::WILL) {
        // ECHO and anything else would alter the byte stream: refused.
        if (!Vogliamo(opzione)) {
          invia(t::DONT);
        } else if (s == StatoOpzione::No) {
          s = StatoOpzione::Si;
          invia(t::DO);
        } else {
          s = StatoOpzione::Si;
        }
      } else {
        if (s == StatoOpzione::Si) invia(t::DONT);
        s = StatoOpzione::No;
      }
    }
  }

  void Sottonegoziazione() {
    if (sotto_.size() < 2 || sotto_[0] != t::OPT_COM_PORT) return;
    const std::uint8_t codice = sotto_[1];
    // Answers to our requests; line and modem state notifications and flow
    // control suspend/resume are not needed by a flashing tool and are ignored.
    if (codice >= t::SERVER_OFFSET && codice <= t::SERVER_OFFSET + t::PURGE_DATA) {
      Risposta& r = risposte_[codice - t::SERVER_OFFSET];
      r.valore.assign(sotto_.begin() + 2, sotto_.end());
      ++r.numero;
    }
  }

  enum class Rx : std::uint8_t { Dati, Iac, Opzione, Sotto, SottoIac };

  const int sock_;
  const int attesaMs_;
  std::thread lettore_;
  std::mutex mutexScrittura_;  // one writer at a time on the socket

  std::mutex mutex_;  // everything below
  std::condition_variable cv_;
  std::deque<std::uint8_t> ingresso_;
  std::size_t datiVoluti_ = 0;  // bytes a Leggi now waits for (0: none waits)
  bool chiusa_ = false;  // the connection ended (reader gone)
  bool fine_ = false;    // the object is being destroyed
  std::array<StatoOpzione, 256> noi_{};
  std::array<StatoOpzione, 256> loro_{};
  std::array<Risposta, t::PURGE_DATA + 1> risposte_{};
  Rx statoRx_ = Rx::Dati;
  std::uint8_t comandoOpzione_ = 0;
  std::vector<std::uint8_t> sotto_;
};

// Connects with a bounded wait; the socket stays non-blocking only for the connect.
int Connetti(const std::string& host, int porta) {
  addrinfo suggerimenti{};
  suggerimenti.ai_family = AF_UNSPEC;
  suggerimenti.ai_socktype = SOCK_STREAM;
  addrinfo* risultati = nullptr;
  const std::string servizio = std::to_string(porta);
  if (::getaddrinfo(host.c_str(), servizio.c_str(), &suggerimenti, &risultati) != 0) return -1;
  int sock = -1;
  for (addrinfo* a = risultati; a != nullptr && sock < 0; a = a->ai_next) {
    int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (s < 0) continue;
    bool connesso = ::connect(s, a->ai_addr, a->ai_addrlen) == 0;
    if (!connesso && errno == EINPROGRESS) {
      pollfd p{s, POLLOUT, 0};
      int errore = 0;
      socklen_t l = sizeof errore;
      connesso = ::poll(&p, 1, kTimeoutConnessioneMs) == 1 &&
                 ::getsockopt(s, SOL_SOCKET, SO_ERROR, &errore, &l) == 0 && errore == 0;
    }
    if (!connesso) {
      ::close(s);
      continue;
    }
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) & ~O_NONBLOCK);
    // Requests are a few bytes each and a board answers at once: no Nagle delay.
    int uno = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
    sock = s;
  }
  ::freeaddrinfo(risultati);
  return sock;
}

}  // namespace

bool AnalizzaUrlRfc2217(std::string_view url, std::string* host, int* porta) {
  constexpr std::string_view kSchema = "rfc2217://";
  if (url.size() < kSchema.size()) return false;
  for (std::size_t i = 0; i < kSchema.size(); ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kSchema[i]) return false;
  }
  std::string_view resto = url.substr(kSchema.size());
  if (!resto.empty() && resto.back() == '/') resto.remove_suffix(1);
  std::string_view nome;
  std::string_view numero;
  if (!resto.empty() && resto.front() == '[') {
    const auto chiusa = resto.find(']');
    if (chiusa == std::string_view::npos || chiusa + 1 >= resto.size() || resto[chiusa + 1] != ':') return false;
    nome = resto.substr(1, chiusa - 1);
    numero = resto.substr(chiusa + 2);
  } else {
    const auto dueP = resto.rfind(':');
    if (dueP == std::string_view::npos) return false;
    nome = resto.substr(0, dueP);
    numero = resto.substr(dueP + 1);
    if (nome.find(':') != std::string_view::npos) return false;  // IPv6 needs brackets
  }
  if (nome.empty() || numero.empty() || numero.size() > 5) return false;
  for (char c : nome) {
    if (c == '/' || c == '?' || c == '#' || c == '@' || c == ' ' || c == '[' || c == ']') return false;
  }
  int valore = 0;
  for (char c : numero) {
    if (c < '0' || c > '9') return false;
    valore = valore * 10 + (c - '0');
  }
  if (valore < 1 || valore > 65535) return false;
  if (host != nullptr) host->assign(nome);
  if (porta != nullptr) *porta = valore;
  return true;
}

std::unique_ptr<LineaSeriale> ApriLineaRfc2217(const std::string& host, int porta, int baud, bool dtr, bool rts,
                                               int attesaRispostaMs) {
  if (porta < 1 || porta > 65535) return nullptr;
  const int sock = Connetti(host, porta);
  if (sock < 0) return nullptr;
  auto linea = std::make_unique<LineaRfc2217>(sock, attesaRispostaMs > 0 ? attesaRispostaMs : 1);
  if (!linea->Avvia(baud, dtr, rts)) return nullptr;
  return linea;
}

}  // namespace bricola
