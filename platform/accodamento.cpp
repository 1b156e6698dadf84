#include "platform/accodamento.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace bricola {

bool AccodaEsclusivo(const std::string& percorso, std::string_view dati) {
  if (percorso.empty()) return false;
  int fd = ::open(percorso.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // Another writer holding the file makes us drop our record, never wait for it:
  // a log line must not stall a protocol step.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
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
