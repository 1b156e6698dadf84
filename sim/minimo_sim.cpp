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
  double dovuta = pausaAttesa_;
  if (fineAncorata_ > 0) dovuta = std::max(dovuta, fineAncorata_ - Fine());
  pausaAttesa_ = 0;
  fineAncorata_ = 0;
  if (dovuta <= 0) return;
  const double silenzio = std::max(0.0, ms - lineaRealeFino_);
  const double p = std::min(dovuta, silenzio);
  pauseMs_ += p;
  rx_ = tx_ = Fine() + p;
}

void CMinimoLinea::DalPc(std::uint64_t n, std::uint32_t baud, double ms, bool schedaInTrasmissione) {
  if (n == 0) return;
  Inizia(ms);
  if (prossimaAttesa_ > 0) {
    // The PC's first request after the board's answer: its wait starts with
    // it, unless the PC sent nothing and the silence before this was the wait.
    if (ms - lineaRealeFino_ >= prossimaAttesa_) {
      pausaAttesa_ = std::max(pausaAttesa_, prossimaAttesa_);
    } else {
      ancoraDopo_ = std::max(ancoraDopo_, prossimaAttesa_);
    }
    prossimaAttesa_ = 0;
  }
  const bool pausa = pausaAttesa_ > 0 || fineAncorata_ > 0;
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
  if (ancoraDopo_ > 0) {
    fineAncorata_ = std::max(fineAncorata_, da + ancoraDopo_);
    ancoraDopo_ = 0;
  }
  if (dopoProssima_ > 0) {
    prossimaAttesa_ = std::max(prossimaAttesa_, dopoProssima_);
    dopoProssima_ = 0;
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
    SenzaRichiesta();
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

void CMinimoLinea::PausaDallaRichiesta(double ms) { ancoraDopo_ = std::max(ancoraDopo_, ms); }

void CMinimoLinea::PausaDopoProssimaRichiesta(double ms) { dopoProssima_ = std::max(dopoProssima_, ms); }

void CMinimoLinea::CambioVelocita(double ms) {
  if (iniziato_) {
    // A speed change is the PC's own line event: what it waited for before
    // it ends here, and the settling follows.
    SenzaRichiesta();
    ChiudiPausa(ms);
    LineaOccupataFino(ms);
  }
  Pausa(kPausaBaudMs);
}

void CMinimoLinea::SenzaRichiesta() {
  // No request came after the board's answer: the wait ran until this event.
  if (prossimaAttesa_ <= 0) return;
  pausaAttesa_ = std::max(pausaAttesa_, prossimaAttesa_);
  prossimaAttesa_ = 0;
}

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
