// The process-wide serial port: one open line, every call on it serialised by
// the port lock, which each call waits for at most `attesaLock` ms.
#include "comm/porta_seriale.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/linea_seriale.h"

namespace bricola {
namespace {

constexpr int kAttesaLockChiusa = 100;
constexpr int kMargineLock = 100;  // attesaLock = read total constant + this
// "Return at once with what is there" (read interval all ones, no total time).
constexpr int kIntervalloMassimo = -1;

struct TimeoutLettura {
  int intervallo = kIntervalloMassimo;
  int moltiplicatore = 0;
  int costante = 0;
};

// The port lock: taken with a bounded wait, released by whoever took it, and
// handed over in the order of arrival. The receive thread reads in short slices
// and asks for the lock again right after each one; without the queue it could
// win every time and a write would never get its turn.
class LockPorta {
 public:
  bool Prendi(int ms) {
    std::unique_lock<std::mutex> l(m_);
    const std::uint64_t turno = prossimo_++;
    coda_.push_back(turno);
    const bool preso = cv_.wait_for(l, std::chrono::milliseconds(ms > 0 ? ms : 0),
                                    [&] { return !preso_ && coda_.front() == turno; });
    if (!preso) {
      // Gives up its place; the one behind may be first now.
      coda_.erase(std::find(coda_.begin(), coda_.end(), turno));
      l.unlock();
      cv_.notify_all();
      return false;
    }
    coda_.pop_front();
    preso_ = true;
    return true;
  }
  void Rilascia() {
    {
      std::lock_guard<std::mutex> l(m_);
      preso_ = false;
    }
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::uint64_t> coda_;
  std::uint64_t prossimo_ = 0;
  bool preso_ = false;
};

// Holds the port lock for one scope when it could be taken.
class ConLock {
 public:
  ConLock(LockPorta& lock, int ms) : lock_(lock), preso_(lock.Prendi(ms)) {}
  ~ConLock() {
    if (preso_) lock_.Rilascia();
  }
  ConLock(const ConLock&) = delete;
  ConLock& operator=(const ConLock&) = delete;
  bool Preso() const { return preso_; }

 private:
  LockPorta& lock_;
  bool preso_;
};

struct StatoPorta {
  // Guards the fields below (held only for short moments, never across I/O).
  std::mutex guardia;
  HandleLinea handle = kHandleNonValido;
  std::shared_ptr<LineaSeriale> linea;
  TimeoutLettura timeout;
  TimeoutLettura timeoutSalvati;
  HandleLinea prossimoHandle = 1;
  ApritorePorta apritore;

  // The port lock; the object lives as long as the process, "valid" while a port is open.
  LockPorta lock;
  std::atomic<int> attesaLock{kAttesaLockChiusa};
};

StatoPorta& Stato() {
  static StatoPorta stato;
  return stato;
}

// One call on the open port: waits for the port lock, checks the handle, and
// hands the back-end to `operazione` while the lock is held. -1 when the lock
// does not come in time or the handle is not the open port's.
template <typename F>
int ConPorta(HandleLinea handle, F&& operazione) {
  StatoPorta& s = Stato();
  if (handle == kHandleNonValido) return -1;
  ConLock lock(s.lock, s.attesaLock.load());
  if (!lock.Preso()) return -1;
  std::shared_ptr<LineaSeriale> linea;
  TimeoutLettura timeout;
  {
    std::lock_guard<std::mutex> g(s.guardia);
    if (s.handle != handle || !s.linea) return -1;
    linea = s.linea;
    timeout = s.timeout;
  }
  return operazione(*linea, timeout);
}

int Esito(bool ok) { return ok ? 0 : -1; }

}  // namespace

void ImpostaApritorePorta(ApritorePorta apritore) {
  StatoPorta& s = Stato();
  std::lock_guard<std::mutex> g(s.guardia);
  s.apritore = std::move(apritore);
}

HandleLinea ApriPorta(int numero, int baud, bool dtr, bool rts) {
  StatoPorta& s = Stato();
  if (numero < 1 || numero > 99) return kHandleNonValido;
  ApritorePorta apritore;
  {
    std::lock_guard<std::mutex> g(s.guardia);
    // One port at a time for the whole process.
    if (s.linea || !s.apritore) return kHandleNonValido;
    apritore = s.apritore;
  }
  std::unique_ptr<LineaSeriale> linea = apritore(numero, baud, dtr, rts);
  if (!linea) return kHandleNonValido;
  std::lock_guard<std::mutex> g(s.guardia);
  if (s.linea) return kHandleNonValido;  // another thread opened one meanwhile
  s.linea = std::move(linea);
  s.handle = s.prossimoHandle++;
  // A fresh line answers a read at once with what is there.
  s.timeoutSalvati = TimeoutLettura{};
  s.timeout = TimeoutLettura{};
  s.attesaLock = s.timeout.costante + kMargineLock;
  return s.handle;
}

int ChiudiPorta(HandleLinea handle) {
  StatoPorta& s = Stato();
  if (handle == kHandleNonValido) return -1;
  // Let a call in progress end first so that the device is really closed when
  // this returns (a reopen right after must find it free). The calls are
  // bounded; should one overrun, the line is released when that call ends.
  ConLock lock(s.lock, s.attesaLock.load() + 5000);
  std::shared_ptr<LineaSeriale> linea;
  {
    std::lock_guard<std::mutex> g(s.guardia);
    if (s.handle != handle || !s.linea) return -1;
    s.timeout = s.timeoutSalvati;
    linea = std::move(s.linea);
    s.handle = kHandleNonValido;
    s.attesaLock = kAttesaLockChiusa;
  }
  linea.reset();
  return 0;
}

int ScriviPorta(HandleLinea handle, const std::uint8_t* dati, int lunghezza) {
  if (lunghezza < 0) return -1;
  return ConPorta(handle, [&](LineaSeriale& l, const TimeoutLettura&) { return l.Scrivi(dati, lunghezza); });
}

int LeggiPorta(HandleLinea handle, std::uint8_t* buffer, int lunghezza) {
  if (lunghezza < 0) return -1;
  return ConPorta(handle, [&](LineaSeriale& l, const TimeoutLettura& t) {
    // Total time = multiplier x length + constant; none means "what is there".
    // (A read without any bound is never made: the caller's thread could not
    // be stopped.)
    long long totale = static_cast<long long>(t.moltiplicatore) * lunghezza + t.costante;
    if (totale < 0) totale = 0;
    if (totale > 0x7fffffff) totale = 0x7fffffff;
    return l.Leggi(buffer, lunghezza, static_cast<int>(totale));
  });
}

int ImpostaBaud(HandleLinea handle, int baud) {
  return ConPorta(handle, [&](LineaSeriale& l, const TimeoutLettura&) { return Esito(l.ImpostaBaud(baud)); });
}

int ImpostaBitStop(HandleLinea handle, int n) {
  return ConPorta(handle, [&](LineaSeriale& l, const TimeoutLettura&) { return Esito(l.ImpostaBitStop(n == 2 ? 2 : 1)); });
}

int DtrAlto(HandleLinea handle) {
  return ConPorta(handle, [](LineaSeriale& l, const TimeoutLettura&) { return Esito(l.ImpostaDtr(true)); });
}

int DtrBasso(HandleLinea handle) {
  return ConPorta(handle, [](LineaSeriale& l, const TimeoutLettura&) { return Esito(l.ImpostaDtr(false)); });
}

int RtsAlto(HandleLinea handle) {
  return ConPorta(handle, [](LineaSeriale& l, const TimeoutLettura&) { return Esito(l.ImpostaRts(true)); });
}

int RtsBasso(HandleLinea handle) {
  return ConPorta(handle, [](LineaSeriale& l, const TimeoutLettura&) { return Esito(l.ImpostaRts(false)); });
}

int ImpostaTimeoutLettura(HandleLinea handle, int intervallo, int moltiplicatore, int costante) {
  StatoPorta& s = Stato();
  return ConPorta(handle, [&](LineaSeriale&, const TimeoutLettura&) {
    std::lock_guard<std::mutex> g(s.guardia);
    const int prima = s.timeout.costante;
    s.timeout = TimeoutLettura{intervallo, moltiplicatore, costante};
    s.attesaLock = (costante > 0 ? costante : 0) + kMargineLock;
    return prima;
  });
}

int SvuotaPorta(HandleLinea handle) {
  return ConPorta(handle, [](LineaSeriale& l, const TimeoutLettura&) { return Esito(l.SvuotaIngresso()); });
}

int AttesaLockPorta() { return Stato().attesaLock.load(); }

}  // namespace bricola
