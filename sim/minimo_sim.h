// The least time the line needed: the board's own account of what a load
// could not have done faster. Every byte costs 10 bits at the speed in force
// when it crossed; the pauses a board must be given (the reset held, the
// boot's start after it, the settling after a speed change, the restart after
// a Reboot) count up to the time they really took, never more.
//
// The line is full duplex, so a byte toward the PC and a byte from it may share
// the same time. They are counted that way only where they really overlapped:
// bytes the PC sends while the board is still sending did not wait for the
// board; bytes the PC sends once the board is silent are taken as the answer
// to what the board sent last, and follow it. The board's answers always follow
// the bytes it has received. So for a request and reply protocol the minimum is
// the sum of both directions, and for a stream the longer of the two.
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

namespace bricola::sim {

class CMinimoLinea {
 public:
  // The pause after a speed change, before the next byte.
  static constexpr double kPausaBaudMs = 50;
  // The reset pulse: DTR held for 600 ms, 27 ms more when RTS rises during it.
  static constexpr double kImpulsoResetMs = 600;
  static constexpr double kRitardoRtsMs = 27;

  // n bytes from the PC at `baud`, arrived at ms (server clock); `schedaInTrasmissione`:
  // bytes toward the PC were still on their way then.
  void DalPc(std::uint64_t n, std::uint32_t baud, double ms, bool schedaInTrasmissione);
  // n bytes toward the PC at `baud`, after the board's own answer time.
  void VersoPc(std::uint64_t n, std::uint32_t baud, std::uint32_t ritardoMs);
  // Line events; DTR falling ends the reset pulse.
  void Dtr(bool attivo, double ms);
  void Rts(bool attivo, double ms);
  // The board needs `ms` before the PC's next byte (counted up to the real
  // silence that followed). Several pending pauses overlap: the longest counts.
  void Pausa(double ms);
  // The same for a pause that starts once the board has answered the request
  // now being received (it counts from the PC's next request on).
  void PausaDopoRisposta(double ms);
  // The PC keeps the line silent until `ms` after it began sending the
  // request now being received: a wait the protocol makes it count from its
  // own send (the echo window of a bootstrap command byte, the start of a
  // called program, the gap between the carriage returns that end a
  // download). Counted up to the silence that really followed.
  void PausaDallaRichiesta(double ms);
  // Once the board has answered the request now being received, the PC sends
  // its next request (or nothing) and then keeps silent until `ms` after it
  // began sending that one. When nothing was sent, the silence before the
  // PC's next bytes is that wait.
  void PausaDopoProssimaRichiesta(double ms);
  // The PC changed the line's speed at ms: a pause still pending ends there,
  // and the line settles kPausaBaudMs before the next byte.
  void CambioVelocita(double ms);
  // The real time the line was last busy (server clock): the end of the last
  // byte either way.
  void LineaOccupataFino(double ms) {
    if (ms > lineaRealeFino_) lineaRealeFino_ = ms;
  }

  double MinimoMs() const { return Fine() - inizio_; }
  nlohmann::json Stato() const;

 private:
  static double TempoByte(std::uint32_t baud) { return baud ? 10000.0 / baud : 0.0; }
  double Fine() const { return rx_ > tx_ ? rx_ : tx_; }
  void Inizia(double ms);
  // Ends a pending pause at real time ms: the ideal line then moves on by it.
  void ChiudiPausa(double ms);
  // A line event other than a request came while a wait waited for one.
  void SenzaRichiesta();

  bool iniziato_ = false;
  double inizio_ = 0;  // ideal clock at the first line event
  double rx_ = 0;      // ideal time the PC -> board direction is free
  double tx_ = 0;      // ideal time the board -> PC direction is free
  double lineaRealeFino_ = 0;
  double pausaAttesa_ = 0;  // pending pause (0 none)
  double pausaDopo_ = 0;    // pending once the current request is in
  // Ideal time before which the PC's next bytes cannot start (0 none), and
  // the wait that sets it once the current request is in.
  double fineAncorata_ = 0;
  double ancoraDopo_ = 0;
  // A wait that the PC's request after the board's answer starts (0 none):
  // declared during a request, armed once it is in.
  double dopoProssima_ = 0;
  double prossimaAttesa_ = 0;
  bool dtrAlto_ = false;
  double dtrDa_ = 0;
  bool rtsNellImpulso_ = false;

  std::uint64_t byteDalPc_ = 0;
  std::uint64_t byteVersoPc_ = 0;
  double lineaDalPcMs_ = 0;
  double lineaVersoPcMs_ = 0;
  double pauseMs_ = 0;
  double schedaMs_ = 0;
};

}  // namespace bricola::sim
