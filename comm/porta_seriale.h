// Process-wide serial port layer: one port open at a time, every call on it
// serialised by the port lock. Functions return 0 on success and -1 on failure
// unless stated otherwise. The Fujitsu loaders use it directly for baud rate,
// stop bits and the DTR/RTS pulses that reset a board.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "comm/interfaccia.h"

namespace bricola {

class LineaSeriale;  // back-end of one open port (platform/linea_seriale.h)

// Opens COM<numero> (1..99): 8N1, no flow control, DTR and RTS as asked.
// Returns kHandleNonValido on any failure, also while another port is open.
// Every open gets a new handle, so a handle kept from before a close never
// reaches the port opened after it.
HandleLinea ApriPorta(int numero, int baud, bool dtr, bool rts);
int ChiudiPorta(HandleLinea handle);
int ScriviPorta(HandleLinea handle, const std::uint8_t* dati, int lunghezza);  // count or -1
int LeggiPorta(HandleLinea handle, std::uint8_t* buffer, int lunghezza);      // count or -1
int ImpostaBaud(HandleLinea handle, int baud);
int ImpostaBitStop(HandleLinea handle, int n);
int DtrAlto(HandleLinea handle);
int DtrBasso(HandleLinea handle);
int RtsAlto(HandleLinea handle);
int RtsBasso(HandleLinea handle);
// Returns the read total constant that was set before.
int ImpostaTimeoutLettura(HandleLinea handle, int intervallo, int moltiplicatore, int costante);
int SvuotaPorta(HandleLinea handle);  // purges the input only
// How long every port call now waits for the port lock, in ms: 100 while no
// port is open, else the read total constant plus 100.
int AttesaLockPorta();

// How a COM number becomes an open back-end (the port map of the application
// installs it; tests install fakes). Returns null when the port cannot be opened.
using ApritorePorta = std::function<std::unique_ptr<LineaSeriale>(int numero, int baud, bool dtr, bool rts)>;
void ImpostaApritorePorta(ApritorePorta apritore);

}  // namespace bricola
