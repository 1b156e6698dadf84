#include "platform/sveglia.h"

#include <chrono>
#include <utility>

namespace bricola {

void CSveglia::Segnala() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    segnalata = true;
  }
  cv.notify_one();
  std::lock_guard<std::mutex> lock(mutexAvviso);
  if (avvisoSegnale) avvisoSegnale();
}

void CSveglia::Azzera() {
  std::lock_guard<std::mutex> lock(mutex);
  segnalata = false;
}

bool CSveglia::Attendi(int ms) {
  std::unique_lock<std::mutex> lock(mutex);
  const bool presa =
      cv.wait_for(lock, std::chrono::milliseconds(ms > 0 ? ms : 0), [this] { return segnalata; });
  segnalata = false;
  return presa;
}

void CSveglia::ImpostaAvviso(std::function<void()> avviso) {
  std::lock_guard<std::mutex> lock(mutexAvviso);
  avvisoSegnale = std::move(avviso);
}

}  // namespace bricola
