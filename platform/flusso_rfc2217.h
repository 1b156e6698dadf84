// The receiving side of a Telnet connection that speaks the COM-PORT-OPTION
// of RFC 2217, without the socket: bytes in, data bytes (IAC IAC undone) and
// the answers to option negotiation out, the server's answers to our
// COM-PORT requests kept by sub-command. The network line feeds it from its
// reader thread under its own lock; the class itself holds no lock.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/rfc2217.h"

namespace bricola {

// Telnet option state of one side (RFC 1143, without the "want no" states: this
// client never switches an agreed option off).
enum class StatoOpzione : std::uint8_t { No, Chiesta, Si };

class CFlussoRfc2217 {
 public:
  // Longest subnegotiation body kept; the rest of a longer one is dropped.
  static constexpr std::size_t kMaxSotto = 256;

  struct Risposta {
    std::uint64_t numero = 0;  // answers received so far for this sub-command
    std::vector<std::uint8_t> valore;
  };

  // What the client asks for when it starts: WILL and DO BINARY and
  // SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION (the requests themselves are the
  // caller's to send). Before the first byte, so that a server that asks first
  // finds them pending and gets no second answer.
  void ChiediOpzioni();

  // One received byte. A data byte is appended to `dati`; the answers to option
  // negotiation are appended to `uscita`, to be sent as they are.
  void Analizza(std::uint8_t b, std::deque<std::uint8_t>& dati, std::vector<std::uint8_t>& uscita);

  // Between two Telnet items (no command, option or subnegotiation open).
  bool TraIDati() const { return statoRx == Rx::Dati; }
  StatoOpzione Nostra(std::uint8_t opzione) const { return noi[opzione]; }
  StatoOpzione Loro(std::uint8_t opzione) const { return loro[opzione]; }
  // The last answer to a COM-PORT sub-command (client code, 0..PURGE_DATA).
  const Risposta& RispostaA(std::uint8_t sottocomando) const { return risposte[sottocomando]; }
  std::size_t LunghezzaSotto() const { return sotto.size(); }

 private:
  enum class Rx : std::uint8_t { Dati, Iac, Opzione, Sotto, SottoIac };

  static bool Vogliamo(std::uint8_t opzione);
  void Negozia(std::uint8_t comando, std::uint8_t opzione, std::vector<std::uint8_t>& uscita);
  void Sottonegoziazione();

  std::array<StatoOpzione, 256> noi{};
  std::array<StatoOpzione, 256> loro{};
  std::array<Risposta, rfc2217::PURGE_DATA + 1> risposte{};
  Rx statoRx = Rx::Dati;
  std::uint8_t comandoOpzione = 0;
  std::vector<std::uint8_t> sotto;
};

}  // namespace bricola
