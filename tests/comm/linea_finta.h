// A LineaSeriale in memory for the tests of the port layer and the serial
// interface: the test pushes the bytes "the board" sends and looks at what was
// written and which line changes were made.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm/porta_seriale.h"
#include "platform/linea_seriale.h"

namespace bricola::prova {

struct StatoLineaFinta {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::uint8_t> ingresso;
  std::vector<std::uint8_t> scritti;
  std::vector<std::string> eventi;  // "baud 115200", "dtr 1", "stop 2", "svuota", ...
  std::vector<int> timeoutLetture;  // the timeout of every read
  int letture = 0;
  std::atomic<bool> guasta{false};      // every call fails
  std::atomic<bool> senzaModem{false};  // DTR/RTS changes fail
  std::atomic<bool> chiusa{false};      // the back-end was destroyed

  void Arriva(const std::vector<std::uint8_t>& b) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ingresso.insert(ingresso.end(), b.begin(), b.end());
    }
    cv.notify_all();
  }
  std::vector<std::string> Eventi() {
    std::lock_guard<std::mutex> lock(mutex);
    return eventi;
  }
  std::vector<std::uint8_t> Scritti() {
    std::lock_guard<std::mutex> lock(mutex);
    return scritti;
  }
  int Letture() {
    std::lock_guard<std::mutex> lock(mutex);
    return letture;
  }
};

class LineaFinta final : public LineaSeriale {
 public:
  explicit LineaFinta(std::shared_ptr<StatoLineaFinta> s) : s_(std::move(s)) {}
  ~LineaFinta() override {
    std::lock_guard<std::mutex> lock(s_->mutex);
    s_->chiusa = true;
  }
  int Scrivi(const std::uint8_t* dati, int n) override {
    std::lock_guard<std::mutex> lock(s_->mutex);
    if (s_->guasta) return -1;
    s_->scritti.insert(s_->scritti.end(), dati, dati + n);
    return n;
  }
  int Leggi(std::uint8_t* b, int n, int timeoutMs) override {
    std::unique_lock<std::mutex> lock(s_->mutex);
    ++s_->letture;
    s_->timeoutLetture.push_back(timeoutMs);
    if (s_->guasta) return -1;
    s_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [&] { return s_->ingresso.size() >= static_cast<std::size_t>(n); });
    int k = 0;
    while (k < n && !s_->ingresso.empty()) {
      b[k++] = s_->ingresso.front();
      s_->ingresso.pop_front();
    }
    return k;
  }
  bool ImpostaBaud(int baud) override { return Evento("baud " + std::to_string(baud), true); }
  bool ImpostaBitStop(int n) override { return Evento("stop " + std::to_string(n), true); }
  bool ImpostaDtr(bool alto) override { return Evento(alto ? "dtr 1" : "dtr 0", !s_->senzaModem); }
  bool ImpostaRts(bool alto) override { return Evento(alto ? "rts 1" : "rts 0", !s_->senzaModem); }
  bool SvuotaIngresso() override {
    std::lock_guard<std::mutex> lock(s_->mutex);
    s_->ingresso.clear();
    s_->eventi.push_back("svuota");
    return !s_->guasta;
  }

 private:
  bool Evento(std::string e, bool ok) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    if (s_->guasta) return false;
    s_->eventi.push_back(std::move(e));
    return ok;
  }
  std::shared_ptr<StatoLineaFinta> s_;
};

// Installs an opener that gives a LineaFinta over `stato` for COM`numero`
// (every number when 0) and records each open as "apri <n> <baud> <dtr> <rts>".
inline void InstallaLineaFinta(std::shared_ptr<StatoLineaFinta> stato, int numero = 0) {
  ImpostaApritorePorta([stato, numero](int n, int baud, bool dtr, bool rts) -> std::unique_ptr<LineaSeriale> {
    {
      std::lock_guard<std::mutex> lock(stato->mutex);
      stato->eventi.push_back("apri " + std::to_string(n) + " " + std::to_string(baud) + " " +
                              std::to_string(dtr) + " " + std::to_string(rts));
      if (numero != 0 && n != numero) return nullptr;
      stato->chiusa = false;
    }
    return std::make_unique<LineaFinta>(stato);
  });
}

}  // namespace bricola::prova
