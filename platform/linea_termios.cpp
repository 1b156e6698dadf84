// Local terminal devices through POSIX termios: the paths libserialport refuses,
// pseudo-terminals above all.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/linee.h"

namespace bricola {
namespace {

// Same bound as the write total timeout of the port layer.
constexpr int kTimeoutScritturaMs = 5000;

struct VelocitaTermios {
  int baud;
  speed_t codice;
};

constexpr VelocitaTermios kVelocita[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
};

bool CodiceVelocita(int baud, speed_t* codice) {
  for (const auto& v : kVelocita) {
    if (v.baud == baud) {
      *codice = v.codice;
      return true;
    }
  }
  return false;
}

std::int64_t AdessoMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class LineaTermios final : public LineaSeriale {
 public:
  explicit LineaTermios(int fd) : fd_(fd) {}
  ~LineaTermios() override {
    if (fd_ >= 0) {
      ::ioctl(fd_, TIOCNXCL);
      ::close(fd_);
    }
  }
  LineaTermios(const LineaTermios&) = delete;
  LineaTermios& operator=(const LineaTermios&) = delete;

  bool Configura(int baud, bool dtr, bool rts) {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return false;
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t codice;
    if (!CodiceVelocita(baud, &codice)) return false;
    if (::cfsetispeed(&t, codice) != 0 || ::cfsetospeed(&t, codice) != 0) return false;
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) return false;
    // A device without modem lines (a pseudo-terminal) still opens; only an
    // explicit line change reports the missing lines.
    ImpostaLinea(TIOCM_DTR, dtr);
    ImpostaLinea(TIOCM_RTS, rts);
    return true;
  }

  int Scrivi(const std::uint8_t* dati, int lunghezza) override {
    if (lunghezza < 0 || (lunghezza > 0 && dati == nullptr)) return -1;
    const std::int64_t scadenza = AdessoMs() + kTimeoutScritturaMs;
    int scritti = 0;
    while (scritti < lunghezza) {
      ssize_t n = ::write(fd_, dati + scritti, static_cast<std::size_t>(lunghezza - scritti));
      if (n > 0) {
        scritti += static_cast<int>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
      const std::int64_t resto = scadenza - AdessoMs();
      if (resto <= 0) break;
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(resto)) < 0 && errno != EINTR) return -1;
      if (p.revents & (POLLERR | POLLNVAL)) return -1;
    }
    return scritti;
  }

  int Leggi(std::uint8_t* buffer, int lunghezza, int timeoutMs) override {
    if (lunghezza < 0 || (lunghezza > 0 && buffer == nullptr)) return -1;
    const std::int64_t scadenza = AdessoMs() + (timeoutMs > 0 ? timeoutMs : 0);
    int letti = 0;
    bool agganciata = false;  // poll reported a hang-up or an error
    while (letti < lunghezza) {
      ssize_t n = ::read(fd_, buffer + letti, static_cast<std::size_t>(lunghezza - letti));
      if (n > 0) {
        letti += static_cast<int>(n);
        continue;
      }
      // In raw mode without VMIN a read with nothing there gives 0 (or EAGAIN);
      // after a hang-up (the other side of a pty closed, an adapter pulled out)
      // it gives 0 or EIO for ever, and poll says so.
      if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) || agganciata) {
        return letti > 0 ? letti : -1;
      }
      const std::int64_t resto = scadenza - AdessoMs();
      if (resto <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(resto)) < 0 && errno != EINTR) return letti > 0 ? letti : -1;
      if (p.revents & POLLNVAL) return -1;
      agganciata = (p.revents & (POLLHUP | POLLERR)) != 0;
    }
    return letti;
  }

  bool ImpostaBaud(int baud) override {
    speed_t codice;
    if (!CodiceVelocita(baud, &codice)) return false;
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return false;
    if (::cfsetispeed(&t, codice) != 0 || ::cfsetospeed(&t, codice) != 0) return false;
    return ::tcsetattr(fd_, TCSANOW, &t) == 0;
  }

  bool ImpostaBitStop(int n) override {
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return false;
    if (n == 2) {
      t.c_cflag |= CSTOPB;
    } else {
      t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    }
    return ::tcsetattr(fd_, TCSANOW, &t) == 0;
  }

  bool ImpostaDtr(bool alto) override { return ImpostaLinea(TIOCM_DTR, alto); }
  bool ImpostaRts(bool alto) override { return ImpostaLinea(TIOCM_RTS, alto); }
  bool SvuotaIngresso() override { return ::tcflush(fd_, TCIFLUSH) == 0; }

 private:
  bool ImpostaLinea(int bit, bool alto) {
    return ::ioctl(fd_, alto ? TIOCMBIS : TIOCMBIC, &bit) == 0;
  }

  int fd_;
};

}  // namespace

std::unique_ptr<LineaSeriale> ApriLineaTermios(const std::string& percorso, int baud, bool dtr, bool rts) {
  int fd = ::open(percorso.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (!::isatty(fd)) {
    ::close(fd);
    return nullptr;
  }
  // Exclusive like a COM port: a second open of the device fails while we hold
  // it (TIOCEXCL does not stop a privileged opener, the lock does).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  ::ioctl(fd, TIOCEXCL);
  auto linea = std::make_unique<LineaTermios>(fd);
  if (!linea->Configura(baud, dtr, rts)) return nullptr;
  return linea;
}

}  // namespace bricola
