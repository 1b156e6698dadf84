// How a device path or a network address becomes an open LineaSeriale, and
// which serial devices the machine has.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linea_seriale.h"

namespace bricola {

// Serial devices that libserialport finds ("/dev/ttyUSB0", ...), in its order.
std::vector<std::string> EnumeraDispositiviSeriali();

// Every opener configures the line as 8 data bits, no parity, 1 stop bit, no
// flow control, DTR and RTS as asked, and returns null when that fails.

// A local device through libserialport; null also when libserialport refuses
// the path (it does so for pseudo-terminals).
std::unique_ptr<LineaSeriale> ApriLineaLibserialport(const std::string& percorso, int baud, bool dtr, bool rts);
// A local terminal device through POSIX termios; used for the paths that
// libserialport refuses (socat ports, sniffers, `bricola-sim --pty`). On a
// device without modem lines DTR and RTS at open are skipped, later changes fail.
std::unique_ptr<LineaSeriale> ApriLineaTermios(const std::string& percorso, int baud, bool dtr, bool rts);
// libserialport first, termios when libserialport refuses the device.
std::unique_ptr<LineaSeriale> ApriLineaLocale(const std::string& percorso, int baud, bool dtr, bool rts);

// A network serial port (RFC 2217 access server) at host:porta. Each line
// change waits up to attesaRispostaMs for the server's confirmation; a missing
// or different answer is a failed change. Null when the connection or the
// option negotiation fails.
inline constexpr int kAttesaRispostaRfc2217Ms = 1000;
std::unique_ptr<LineaSeriale> ApriLineaRfc2217(const std::string& host, int porta, int baud, bool dtr, bool rts,
                                               int attesaRispostaMs = kAttesaRispostaRfc2217Ms);

// "rfc2217://host:port" (host may be a name, an IPv4 address or an IPv6 address
// in brackets; port 1..65535). False for anything else.
bool AnalizzaUrlRfc2217(std::string_view url, std::string* host, int* porta);

// An "rfc2217://" URL through ApriLineaRfc2217, anything else through ApriLineaLocale.
std::unique_ptr<LineaSeriale> ApriLinea(const std::string& destinazione, int baud, bool dtr, bool rts);

}  // namespace bricola
