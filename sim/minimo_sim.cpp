#include "sim/minimo_sim.h"

#include <algorithm>
#include <cmath>

namespace bricola::sim {

void CMinimoLinea::Inizia(double ms) {
  if (iniziato_) return;
  iniziato_ = true;
  // The ideal clock runs on the server's: its origin is the first event.
  inizio_ = rx_ = tx_ = ms;
  lineaRealeFino_ = ms;
}

void CMinimoLinea::ChiudiPausa(double ms) {
  if (pausaAttesa_ <= 0) return;
  const double silenzio = std::max(0.0, ms - lineaRealeFino_);
  const double p = std::min(pausaAttesa_, silenzio);
  pausaAttesa_ = 0;
  pauseMs_ += p;
  rx_ = tx_ = Fine() + p;
}

void CMinimoLinea::DalPc(std::uint64_t n, std::uint32_t baud, double ms, bool schedaInTrasmissione) {
  if (n == 0) return;
  Inizia(ms);
  const bool pausa = pausaAttesa_ > 0;
  ChiudiPausa(ms);
  const double t = TempoByte(baud) * static_cast<double>(n);
  // Bytes sent while the board still talks did not wait for it.
  const double da = (schedaInTrasmissione && !pausa) ? rx_ : Fine();
  rx_ = da + t;
  byteDalPc_ += n;
  lineaDalPcMs_ += t;
  LineaOccupataFino(std::max(ms, lineaRealeFino_) + t);
  if (pausaDopo_ > 0) {
    pausaAttesa_ = std::max(pausaAttesa_, pausaDopo_);
    pausaDopo_ = 0;
  }
}

void CMinimoLinea::VersoPc(std::uint64_t n, std::uint32_t baud, std::uint32_t ritardoMs) {
  if (!iniziato_) return;  // a board talking before anything happened on the line
  const double t = TempoByte(baud) * static_cast<double>(n);
  // The board answers once it has what it answers to, after its own time.
  tx_ = Fine() + ritardoMs + t;
  byteVersoPc_ += n;
  lineaVersoPcMs_ += t;
  schedaMs_ += ritardoMs;
}

void CMinimoLinea::Dtr(bool attivo, double ms) {
  Inizia(ms);
  if (attivo && !dtrAlto_) {
    ChiudiPausa(ms);
    dtrAlto_ = true;
    dtrDa_ = ms;
    rtsNellImpulso_ = false;
  } else if (!attivo && dtrAlto_) {
    dtrAlto_ = false;
    const double prescritto = kImpulsoResetMs + (rtsNellImpulso_ ? kRitardoRtsMs : 0);
    const double p = std::min(prescritto, std::max(0.0, ms - dtrDa_));
    pauseMs_ += p;
    rx_ = tx_ = Fine() + p;
    LineaOccupataFino(ms);
  }
}

void CMinimoLinea::Rts(bool attivo, double ms) {
  (void)ms;
  if (attivo && dtrAlto_) rtsNellImpulso_ = true;
}

void CMinimoLinea::Pausa(double ms) { pausaAttesa_ = std::max(pausaAttesa_, ms); }

void CMinimoLinea::PausaDopoRisposta(double ms) { pausaDopo_ = std::max(pausaDopo_, ms); }

nlohmann::json CMinimoLinea::Stato() const {
  auto arrotonda = [](double v) { return std::round(v * 10.0) / 10.0; };
  nlohmann::json j;
  j["byteDalPc"] = byteDalPc_;
  j["byteVersoPc"] = byteVersoPc_;
  j["lineaDalPcMs"] = arrotonda(lineaDalPcMs_);
  j["lineaVersoPcMs"] = arrotonda(lineaVersoPcMs_);
  j["pausePrescritteMs"] = arrotonda(pauseMs_);
  j["tempoSchedaMs"] = arrotonda(schedaMs_);
  j["minimoMs"] = arrotonda(iniziato_ ? MinimoMs() : 0.0);
  return j;
}

}  // namespace bricola::sim
