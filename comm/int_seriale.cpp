#include "comm/int_seriale.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

#include "base/esiti.h"
#include "comm/porta_seriale.h"
#include "platform/linea_seriale.h"

namespace bricola {
namespace {

using Orologio = std::chrono::steady_clock;

// Read time set on the port before the first arming.
constexpr int kTimeoutIniziale = 10;
// Pause after a failed read or an arming without room, before waiting again.
constexpr int kPausaMs = 10;
// How long ChiudiLinea waits for the receive thread.
constexpr int kAttesaFineThreadMs = 1000;
// The read of one arming is made in slices of at most this length, so that a
// close never waits for a long read, a write waits at most one slice for the
// port lock, and bytes of a reply that is still incomplete reach the buffer
// within one slice (a line read waits for the whole count it is given). The
// arming still ends as one read: when its byte count has come, its time has
// passed, or a newer arming replaced it.
constexpr int kFettaLetturaMs = 5;

void Pausa(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

CIntSeriale::CIntSeriale() = default;

CIntSeriale::~CIntSeriale() {
  if (threadRicezione.joinable() || handle != kHandleNonValido) ChiudiLinea();
}

int CIntSeriale::ApriLinea(int porta, int baud, int flagLinee, int* esito) {
  // Opening an open interface would lose its port and thread: the old line is
  // closed first.
  if (threadRicezione.joinable() || handle != kHandleNonValido) ChiudiLinea();
  numeroPorta = porta;
  velocitaLinea = baud;
  lineeAttive = flagLinee;
  handle = ApriPorta(porta + 1, baud, flagLinee != 0, flagLinee != 0);
  if (handle == kHandleNonValido) {
    if (esito != nullptr) *esito = RC_PORT_OPEN;
    return 0;
  }
  fermaThread = 0;
  {
    std::lock_guard<std::mutex> lock(mutexEvento);
    eventoValido = true;
    eventoSegnalato = false;
    threadFinito = false;
    byteRichiesti = 0;
    timeoutRichiesto = 0;
  }
  try {
    threadRicezione = std::thread([this, h = handle] { ThreadRicezione(h); });
  } catch (const std::system_error&) {
    ChiudiLinea();
    if (esito != nullptr) *esito = RC_TIMER_CREATE;
    return 0;
  }
  if (esito != nullptr) *esito = RC_OK;
  return 1;
}

int CIntSeriale::RiapriLinea(int* esito) { return ApriLinea(numeroPorta, velocitaLinea, lineeAttive, esito); }

int CIntSeriale::ChiudiLinea() {
  if (threadRicezione.joinable()) {
    fermaThread = 1;
    SegnalaEvento();
    bool finito;
    {
      std::unique_lock<std::mutex> lock(mutexEvento);
      finito = cvEvento.wait_for(lock, std::chrono::milliseconds(kAttesaFineThreadMs), [this] { return threadFinito; });
    }
    if (finito) threadRicezione.join();
  }
  int esito = 0;
  if (handle != kHandleNonValido) {
    esito = ChiudiPorta(handle) == 0 ? 1 : 0;
    handle = kHandleNonValido;
  }
  if (threadRicezione.joinable()) {
    // The thread overran its 1000 ms; with the port closed its next port call
    // fails and it sees fermaThread, so this wait is short.
    threadRicezione.join();
  }
  std::lock_guard<std::mutex> lock(mutexEvento);
  eventoValido = false;
  eventoSegnalato = false;
  return esito;
}

int CIntSeriale::ScriviLinea(const std::uint8_t* dati, int lunghezza) { return ScriviPorta(handle, dati, lunghezza); }

int CIntSeriale::LeggiLinea(std::uint8_t* destinazione, int lunghezza) {
  if (lunghezza <= 0 || destinazione == nullptr) return 0;
  std::lock_guard<std::mutex> lock(mutexBuffer);
  const int n = std::min(lunghezza, byteInBuffer);
  if (n > 0) {
    std::memcpy(destinazione, bufferRicezione, static_cast<std::size_t>(n));
    std::memmove(bufferRicezione, bufferRicezione + n, static_cast<std::size_t>(byteInBuffer - n));
    byteInBuffer -= n;
  }
  return n;
}

int CIntSeriale::SvuotaLinea() {
  SvuotaPorta(handle);
  return 0;
}

void CIntSeriale::AttendiRisposta(int conteggio, int timeoutMs) {
  {
    std::lock_guard<std::mutex> lock(mutexEvento);
    // A signal of an earlier arming must not wake the step after this one.
    ++armamento;
    if (sveglia != nullptr) sveglia->Azzera();
    byteRichiesti = conteggio;
    const unsigned t = timeoutMs > 0 ? static_cast<unsigned>(timeoutMs) : 0u;
    // Three quarters of the caller's time, rounded up: the loader keeps the
    // last quarter to collect the bytes on its own steps.
    timeoutRichiesto = static_cast<int>(t - t / 4);
  }
  SegnalaEvento();
}

// The read of an arming has ended (its count has come or its time is over):
// the step waiting for it may run now. Not for an arming that a newer one has
// replaced meanwhile.
void CIntSeriale::SvegliaPasso(unsigned armato) {
  std::lock_guard<std::mutex> lock(mutexEvento);
  if (armato == armamento && sveglia != nullptr) sveglia->Segnala();
}

int CIntSeriale::ByteRicevuti() const {
  std::lock_guard<std::mutex> lock(mutexBuffer);
  return byteInBuffer;
}

void CIntSeriale::SegnalaEvento() {
  {
    std::lock_guard<std::mutex> lock(mutexEvento);
    if (!eventoValido) return;
    eventoSegnalato = true;
  }
  cvEvento.notify_all();
}

// A newer request was armed: the reply being read is no longer awaited.
bool CIntSeriale::ArmaturaInAttesa() {
  std::lock_guard<std::mutex> lock(mutexEvento);
  return eventoSegnalato;
}

// Waits without limit for the event and resets it; false if it became invalid.
bool CIntSeriale::AttendiEvento() {
  std::unique_lock<std::mutex> lock(mutexEvento);
  cvEvento.wait(lock, [this] { return eventoSegnalato || !eventoValido; });
  if (!eventoValido) return false;
  eventoSegnalato = false;
  return true;
}

void CIntSeriale::ThreadRicezione(HandleLinea linea) {
  // Replies are short and come fast; where the system refuses a higher
  // priority the thread still works, only less promptly under load.
  (void)AlzaPrioritaThread();
  ImpostaTimeoutLettura(linea, 0, 0, kTimeoutIniziale);
  timeoutCorrente = kTimeoutIniziale;
  {
    std::lock_guard<std::mutex> lock(mutexBuffer);
    byteInBuffer = 0;
  }
  std::uint8_t locale[kDimensioneBuffer];
  for (;;) {
    if (!AttendiEvento()) {
      Pausa(kPausaMs);
      if (fermaThread) break;
      continue;
    }
    if (fermaThread) break;
    int richiesti;
    int tempo;
    unsigned armato;
    {
      std::lock_guard<std::mutex> lock(mutexEvento);
      richiesti = byteRichiesti;
      tempo = timeoutRichiesto;
      armato = armamento;
    }
    int n;
    {
      std::lock_guard<std::mutex> lock(mutexBuffer);
      n = std::min(std::max(richiesti, 0), kDimensioneBuffer - byteInBuffer);
    }
    if (n <= 0) {
      Pausa(kPausaMs);
      continue;
    }
    const auto scadenza = Orologio::now() + std::chrono::milliseconds(tempo);
    int letti = 0;
    bool errore = false;
    do {
      const auto resto = std::chrono::duration_cast<std::chrono::milliseconds>(scadenza - Orologio::now()).count();
      const int fetta = static_cast<int>(std::clamp<long long>(resto, 0, kFettaLetturaMs));
      if (fetta != timeoutCorrente) {
        ImpostaTimeoutLettura(linea, 0, 0, fetta);
        timeoutCorrente = fetta;
      }
      const int r = LeggiPorta(linea, locale, n - letti);
      if (r < 0) {
        errore = true;
        break;
      }
      if (r > 0) {
        std::lock_guard<std::mutex> lock(mutexBuffer);
        const int spazio = kDimensioneBuffer - byteInBuffer;
        const int copia = std::min(r, spazio);
        std::memcpy(bufferRicezione + byteInBuffer, locale, static_cast<std::size_t>(copia));
        byteInBuffer += copia;
        letti += r;
      }
    } while (letti < n && Orologio::now() < scadenza && !fermaThread && !ArmaturaInAttesa());
    if (errore) Pausa(kPausaMs);
    else if (!fermaThread) SvegliaPasso(armato);
  }
  std::lock_guard<std::mutex> lock(mutexEvento);
  threadFinito = true;
  cvEvento.notify_all();
}

}  // namespace bricola
