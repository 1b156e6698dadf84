#include "platform/accodamento.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace bricola {

bool AccodaEsclusivo(const std::string& percorso, std::string_view dati) {
  if (percorso.empty()) return false;
  int fd = ::open(percorso.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // Another writer (this process or another bricola on the same bench) holds the
  // file only for the length of one append: wait for it, but no longer than
  // kAttesaMassimaMs, so that a stuck writer cannot stall a protocol step.
  const auto limite = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAttesaMassimaMs);
  auto pausa = std::chrono::microseconds(200);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= limite) {
      ::close(fd);
      return false;
    }
    std::this_thread::sleep_for(pausa);
    if (pausa < std::chrono::milliseconds(2)) pausa *= 2;
  }
  bool riuscito = true;
  const char* p = dati.data();
  std::size_t resto = dati.size();
  while (resto > 0) {
    ssize_t scritti = ::write(fd, p, resto);
    if (scritti < 0) {
      if (errno == EINTR) continue;
      riuscito = false;
      break;
    }
    p += scritti;
    resto -= static_cast<std::size_t>(scritti);
  }
  ::close(fd);  // also releases the lock
  return riuscito;
}

}  // namespace bricola
