#include "platform/interruzione.h"

#include <atomic>
#include <csignal>

#include <signal.h>

namespace bricola {

namespace {

// Read by any thread, written by the handler: it must be lock-free to be
// touched from a signal handler.
std::atomic<int> segnaleNotato{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void GestoreInterruzione(int segnale) {
  int atteso = 0;
  if (segnaleNotato.compare_exchange_strong(atteso, segnale)) return;
  // A second signal: the default action (the end of the process) at once.
  // Both calls are async-signal-safe; the raised signal is delivered when
  // the handler returns.
  ::signal(segnale, SIG_DFL);
  ::raise(segnale);
}

}  // namespace

bool InstallaGestoreInterruzione() {
  struct sigaction sa {};
  sa.sa_handler = GestoreInterruzione;
  sigemptyset(&sa.sa_mask);
  // Both signals are held back while the handler runs, so two at once never
  // race on the note.
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGTERM);
  sa.sa_flags = SA_RESTART;
  return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0;
}

int SegnaleInterruzione() { return segnaleNotato.load(); }

void NotaInterruzione(int segnale) {
  int atteso = 0;
  segnaleNotato.compare_exchange_strong(atteso, segnale);
}

void AzzeraInterruzione() { segnaleNotato.store(0); }

const char* NomeSegnale(int segnale) {
  switch (segnale) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "?";
  }
}

}  // namespace bricola
