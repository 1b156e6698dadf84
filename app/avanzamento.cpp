#include "app/avanzamento.h"

#include <cstdio>
#include <string_view>

#include "base/esiti.h"
#include "base/testi.h"

namespace bricola {

namespace {

// Return to the start of the line and clear it (VT100, understood by every
// terminal emulator in use).
constexpr const char* kInizioRiga = "\r\x1b[K";

std::string_view Pulito(const char* testo) {
  std::string_view t(testo);
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
  return t;
}

}  // namespace

std::string RigaAvanzamento(const SAvanzamento& a) {
  const long long velocita =
      a.millisecondiModulo >= 1000 ? static_cast<long long>(a.fatti) * 1000 / a.millisecondiModulo : 0;
  const int s = a.secondiTotali < 0 ? 0 : a.secondiTotali;
  char coda[160];
  std::snprintf(coda, sizeof coda, "module %d  %d/%d bytes  %lld bytes/s  %02d:%02d:%02d", a.modulo,
                a.fatti, a.totali, velocita, s / 3600, (s % 3600) / 60, s % 60);
  std::string riga(Pulito(TestoDiFase(a.fase, kInglese)));
  if (!riga.empty()) riga += "  ";
  riga += coda;
  return riga;
}

std::string RigaFinale(int fase, int esito) {
  if (esito != RC_OK) return std::string(TestoDiEsito(esito, kInglese));
  // A job that ends well (or an operation without steps that succeeded) shows
  // the success text; a failure without a code of its own shows its phase.
  if (fase == ST_DONE || fase == ST_NONE) return std::string(TestoDiFase(ST_DONE, kInglese));
  return std::string(TestoDiFase(fase, kInglese));
}

bool CAvanzamento::Aggiorna(const SAvanzamento& a, std::int64_t adessoMs) {
  if (!terminale) return false;
  if (disegnata && adessoMs - ultimoMs < kIntervalloMs) return false;
  uscita << kInizioRiga << RigaAvanzamento(a);
  uscita.flush();
  disegnata = true;
  ultimoMs = adessoMs;
  return true;
}

void CAvanzamento::Fine(int fase, int esito) { FineTesto(RigaFinale(fase, esito)); }

void CAvanzamento::FineTesto(std::string_view testo) {
  if (disegnata) uscita << kInizioRiga;
  uscita << testo << '\n';
  uscita.flush();
  disegnata = false;
}

}  // namespace bricola
