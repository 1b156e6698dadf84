// The serial (COM) interface: a board's resident boot and the ROM bootstraps
// are reached through it. A receive thread makes the blocking reads a loader
// arms with AttendiRisposta and stores what arrives; the loader takes it with
// LeggiLinea on its steps and never waits on the line itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "comm/interfaccia.h"

namespace bricola {

class CIntSeriale : public CInterfaccia {
 public:
  static constexpr int kDimensioneBuffer = 10240;

  CIntSeriale();
  // Whoever opened the line closes it; a line still open here is closed all
  // the same, since its receive thread could not outlive the object.
  ~CIntSeriale() override;

  int ApriLinea(int porta, int baud, int flagLinee, int* esito) override;
  int RiapriLinea(int* esito) override;
  int ChiudiLinea() override;
  int ScriviLinea(const std::uint8_t* dati, int lunghezza) override;
  int LeggiLinea(std::uint8_t* destinazione, int lunghezza) override;
  int SvuotaLinea() override;
  void AttendiRisposta(int conteggio, int timeoutMs) override;

  // Bytes received and not yet taken.
  int ByteRicevuti() const;

  int numeroPorta = 0;  // 0-based: the device is COM(numeroPorta + 1)
  int velocitaLinea = 0;
  int lineeAttive = 0;
  std::atomic<int> fermaThread{0};
  // Arming of the receive thread (written under mutexEvento).
  int byteRichiesti = 0;
  int timeoutRichiesto = 0;
  // Read total timeout now set on the port (receive thread only).
  int timeoutCorrente = 0;

 private:
  // Works on its own copy of the handle: ChiudiLinea may clear `handle` meanwhile.
  void ThreadRicezione(HandleLinea linea);
  bool AttendiEvento();
  void SvegliaPasso(unsigned armato);
  bool ArmaturaInAttesa();
  void SegnalaEvento();

  std::thread threadRicezione;
  // The receive event: auto-reset, not signalled at creation; invalid while closed.
  std::mutex mutexEvento;
  std::condition_variable cvEvento;
  bool eventoValido = false;
  bool eventoSegnalato = false;
  bool threadFinito = false;
  unsigned armamento = 0;  // raised by every AttendiRisposta (under mutexEvento)

  // bufferRicezione and byteInBuffer: appended by the receive thread, taken by
  // LeggiLinea, never both at once.
  mutable std::mutex mutexBuffer;
  std::uint8_t bufferRicezione[kDimensioneBuffer] = {};
  int byteInBuffer = 0;
};

}  // namespace bricola
