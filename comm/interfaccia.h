// The byte-stream contract between a job's loaders and its target.
#pragma once

#include <cstdint>

#include "platform/sveglia.h"

namespace bricola {

// Opaque handle of an open line; kHandleNonValido while closed.
using HandleLinea = std::intptr_t;
inline constexpr HandleLinea kHandleNonValido = -1;

class CInterfaccia {
 public:
  CInterfaccia() = default;
  // Does not close the line: whoever opened it closes it.
  virtual ~CInterfaccia() = default;
  CInterfaccia(const CInterfaccia&) = delete;
  CInterfaccia& operator=(const CInterfaccia&) = delete;

  // 1 opened, 0 failed (result code through esito).
  virtual int ApriLinea(int porta, int baud, int flagLinee, int* esito) = 0;
  // ApriLinea again with the parameters of the last ApriLinea.
  virtual int RiapriLinea(int* esito) = 0;
  // 1 closed, 0 nothing to close or failure.
  virtual int ChiudiLinea() = 0;
  // Bytes written, -1 on error.
  virtual int ScriviLinea(const std::uint8_t* dati, int lunghezza) = 0;
  // Bytes taken from what has arrived, 0 if none. Never blocks.
  virtual int LeggiLinea(std::uint8_t* destinazione, int lunghezza) = 0;
  // Discards the port's pending input.
  virtual int SvuotaLinea() = 0;
  // Which remote board the next requests address; no interface of ours uses it.
  virtual void ImpostaDestinatario(int base, int indirizzo) {}
  // Arms reception of up to `conteggio` bytes.
  virtual void AttendiRisposta(int conteggio, int timeoutMs) {}

  // The wake-up of whoever steps the job (not owned; null: none). An interface
  // that receives in the background signals it when what the last
  // AttendiRisposta armed is complete (the count has come, or the reply has
  // closed), and forgets an older signal at each new arming. The stepping
  // thread still waits at most its step period: the wake-up only shortens the
  // wait. Set it while the line is closed.
  void ImpostaSveglia(CSveglia* nuova) { sveglia = nuova; }
  CSveglia* Sveglia() const { return sveglia; }

  // The OS handle of the open line; loaders keep a copy for line changes.
  HandleLinea handle = kHandleNonValido;

 protected:
  CSveglia* sveglia = nullptr;
};

}  // namespace bricola
