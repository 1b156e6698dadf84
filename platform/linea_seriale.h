// One open serial line, whatever carries it: a local device (libserialport or
// termios) or a network serial port (RFC 2217). All calls are blocking and
// bounded; they return false (or -1) on failure.
#pragma once

#include <cstdint>

namespace bricola {

class LineaSeriale {
 public:
  virtual ~LineaSeriale() = default;
  // Bytes written or -1.
  virtual int Scrivi(const std::uint8_t* dati, int lunghezza) = 0;
  // Waits up to timeoutMs for up to `lunghezza` bytes; returns as soon as all
  // have come or the time is over. Bytes read (0 at the timeout) or -1.
  virtual int Leggi(std::uint8_t* buffer, int lunghezza, int timeoutMs) = 0;
  virtual bool ImpostaBaud(int baud) = 0;
  virtual bool ImpostaBitStop(int n) = 0;
  virtual bool ImpostaDtr(bool alto) = 0;
  virtual bool ImpostaRts(bool alto) = 0;
  virtual bool SvuotaIngresso() = 0;
};

// Raises the calling thread's scheduling priority where the system allows it
// (a receive thread must not miss a board's reply). False when it was refused.
bool AlzaPrioritaThread();

}  // namespace bricola
