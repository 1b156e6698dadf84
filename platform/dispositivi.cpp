// The key and driver devices behind Unix-domain sockets, and the table of
// where each device is.
#include "platform/dispositivi.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

namespace bricola {
namespace {

constexpr std::string_view kPrefissoUnix = "unix:";
// A driver output beyond this is taken as a broken answer, not read.
constexpr std::uint32_t kMassimaUscitaDriver = 1u << 20;
// A failed USB get may or may not carry its report: this long is waited for it.
constexpr int kAttesaReportDopoFallimentoMs = 20;

struct Stato {
  std::mutex mutex;
  PuntiDispositivi punti;
  std::function<std::unique_ptr<DispositivoDriver>(int)> apritoreDriver;
  std::function<std::unique_ptr<DispositivoDriver>(int)> apritoreDriverPic;
  std::function<std::unique_ptr<DispositivoHid>()> apritoreUsb;
};

Stato& LoStato() {
  static Stato s;
  return s;
}

using Orologio = std::chrono::steady_clock;

// A connected stream socket with bounded sends and receives.
class Presa {
 public:
  explicit Presa(int fd) : fd_(fd) {}
  ~Presa() { Chiudi(); }
  Presa(const Presa&) = delete;
  Presa& operator=(const Presa&) = delete;

  bool Aperta() const { return fd_ >= 0; }
  void Chiudi() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool Invia(const std::uint8_t* dati, std::size_t n) {
    if (fd_ < 0) return false;
    while (n > 0) {
      const ssize_t k = ::send(fd_, dati, n, MSG_NOSIGNAL);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) {
        Chiudi();
        return false;
      }
      dati += k;
      n -= static_cast<std::size_t>(k);
    }
    return true;
  }

  // Exactly n bytes within attesaMs; anything less breaks the connection.
  bool Ricevi(std::uint8_t* dati, std::size_t n, int attesaMs = kAttesaRispostaDispositivoMs) {
    if (fd_ < 0) return false;
    const auto scadenza = Orologio::now() + std::chrono::milliseconds(attesaMs);
    while (n > 0) {
      const auto resto = std::chrono::duration_cast<std::chrono::milliseconds>(scadenza - Orologio::now()).count();
      pollfd p{fd_, POLLIN, 0};
      const int r = resto > 0 ? ::poll(&p, 1, static_cast<int>(resto)) : 0;
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        Chiudi();
        return false;
      }
      const ssize_t k = ::recv(fd_, dati, n, 0);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) {
        Chiudi();
        return false;
      }
      dati += k;
      n -= static_cast<std::size_t>(k);
    }
    return true;
  }

  // Drops whatever has arrived unasked (a late part of an earlier answer).
  void Scarta() {
    if (fd_ < 0) return;
    std::uint8_t b[256];
    for (;;) {
      const ssize_t k = ::recv(fd_, b, sizeof b, MSG_DONTWAIT);
      if (k > 0) continue;
      if (k == 0) Chiudi();  // the other side has gone
      return;
    }
  }

 private:
  int fd_;
};

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
void AccodaLe32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

// The socket path of "unix:<path>", or false.
bool PercorsoUnix(const std::string& punto, std::string* percorso) {
  if (punto.size() <= kPrefissoUnix.size() || punto.compare(0, kPrefissoUnix.size(), kPrefissoUnix) != 0)
    return false;
  *percorso = punto.substr(kPrefissoUnix.size());
  return true;
}

int Connetti(const std::string& punto) {
  std::string percorso;
  if (!PercorsoUnix(punto, &percorso)) return -1;
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (percorso.size() >= sizeof a.sun_path) return -1;
  std::memcpy(a.sun_path, percorso.c_str(), percorso.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class DriverUnix final : public DispositivoDriver {
 public:
  explicit DriverUnix(int fd) : presa_(fd) {}

  bool Richiesta(std::uint32_t codice, std::span<const std::uint8_t> ingresso, std::uint32_t capacita,
                 std::vector<std::uint8_t>& uscita) override {
    uscita.clear();
    std::vector<std::uint8_t> r;
    r.reserve(12 + ingresso.size());
    AccodaLe32(r, codice);
    AccodaLe32(r, static_cast<std::uint32_t>(ingresso.size()));
    r.insert(r.end(), ingresso.begin(), ingresso.end());
    AccodaLe32(r, capacita);
    presa_.Scarta();
    if (!presa_.Invia(r.data(), r.size())) return false;
    std::uint8_t testa[8];
    if (!presa_.Ricevi(testa, sizeof testa)) return false;
    const std::uint32_t esito = Le32(testa);
    const std::uint32_t n = Le32(testa + 4);
    if (n > kMassimaUscitaDriver) {
      presa_.Chiudi();
      return false;
    }
    uscita.resize(n);
    if (n > 0 && !presa_.Ricevi(uscita.data(), n)) {
      uscita.clear();
      return false;
    }
    return esito == 1 && n <= capacita;
  }

 private:
  Presa presa_;
};

class HidUnix final : public DispositivoHid {
 public:
  explicit HidUnix(int fd) : presa_(fd) {}

  bool ImpostaFeature(const std::uint8_t* report) override {
    std::uint8_t r[1 + kLunghezzaReport];
    r[0] = 'S';
    std::memcpy(r + 1, report, kLunghezzaReport);
    presa_.Scarta();
    std::uint8_t esito = 0;
    return presa_.Invia(r, sizeof r) && presa_.Ricevi(&esito, 1) && esito == 1;
  }

  bool LeggiFeature(std::uint8_t* report) override {
    std::uint8_t r[1 + kLunghezzaReport] = {};
    r[0] = 'G';
    r[1] = report[0];
    presa_.Scarta();
    std::uint8_t esito = 0;
    if (!presa_.Invia(r, sizeof r) || !presa_.Ricevi(&esito, 1)) return false;
    if (esito != 1) {
      // A device may send a report with its failure: whatever of it arrives
      // within a short wait is dropped, the rest before the next request.
      const auto scadenza = Orologio::now() + std::chrono::milliseconds(kAttesaReportDopoFallimentoMs);
      while (presa_.Aperta() && Orologio::now() < scadenza) {
        presa_.Scarta();
        ::usleep(1000);
      }
      return false;
    }
    return presa_.Ricevi(report, kLunghezzaReport);
  }

 private:
  Presa presa_;
};

}  // namespace

void ImpostaPuntiDispositivi(PuntiDispositivi punti) {
  std::lock_guard<std::mutex> lock(LoStato().mutex);
  LoStato().punti = std::move(punti);
}

PuntiDispositivi PuntiDispositiviAttuali() {
  std::lock_guard<std::mutex> lock(LoStato().mutex);
  return LoStato().punti;
}

std::unique_ptr<DispositivoDriver> ApriDriverPunto(const std::string& punto) {
  const int fd = Connetti(punto);
  if (fd < 0) return nullptr;
  return std::make_unique<DriverUnix>(fd);
}

std::unique_ptr<DispositivoHid> ApriChiaveUsbPunto(const std::string& punto) {
  const int fd = Connetti(punto);
  if (fd < 0) return nullptr;
  return std::make_unique<HidUnix>(fd);
}

std::unique_ptr<DispositivoDriver> ApriDriver(int indice) {
  std::function<std::unique_ptr<DispositivoDriver>(int)> apritore;
  std::string punto;
  {
    std::lock_guard<std::mutex> lock(LoStato().mutex);
    apritore = LoStato().apritoreDriver;
    const auto it = LoStato().punti.lpt.find(indice + 1);
    if (it != LoStato().punti.lpt.end()) punto = it->second;
  }
  if (apritore) return apritore(indice);
  if (indice < 0 || punto.empty()) return nullptr;
  return ApriDriverPunto(punto);
}

std::unique_ptr<DispositivoDriver> ApriDriverPic(int k) {
  std::function<std::unique_ptr<DispositivoDriver>(int)> apritore;
  std::string punto;
  {
    std::lock_guard<std::mutex> lock(LoStato().mutex);
    apritore = LoStato().apritoreDriverPic;
    const auto it = LoStato().punti.pic.find(k);
    if (it != LoStato().punti.pic.end()) punto = it->second;
  }
  if (apritore) return apritore(k);
  if (k < 0) return nullptr;
  if (!punto.empty()) return ApriDriverPunto(punto);
  return ApriDriver(k);
}

std::unique_ptr<DispositivoHid> ApriChiaveUsb() {
  std::function<std::unique_ptr<DispositivoHid>()> apritore;
  std::string punto;
  {
    std::lock_guard<std::mutex> lock(LoStato().mutex);
    apritore = LoStato().apritoreUsb;
    punto = LoStato().punti.usb;
  }
  if (apritore) return apritore();
  if (punto.empty() || punto == "hid" || punto == "HID") return ApriChiaveHid();
  return ApriChiaveUsbPunto(punto);
}

void ImpostaApritoreDriver(std::function<std::unique_ptr<DispositivoDriver>(int indice)> apritore) {
  std::lock_guard<std::mutex> lock(LoStato().mutex);
  LoStato().apritoreDriver = std::move(apritore);
}

void ImpostaApritoreDriverPic(std::function<std::unique_ptr<DispositivoDriver>(int k)> apritore) {
  std::lock_guard<std::mutex> lock(LoStato().mutex);
  LoStato().apritoreDriverPic = std::move(apritore);
}

void ImpostaApritoreChiaveUsb(std::function<std::unique_ptr<DispositivoHid>()> apritore) {
  std::lock_guard<std::mutex> lock(LoStato().mutex);
  LoStato().apritoreUsb = std::move(apritore);
}

}  // namespace bricola
