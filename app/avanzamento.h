// The progress display of batch mode. On a terminal, standard error carries one
// line that is redrawn while the job runs (phase, module, bytes done of total,
// speed, elapsed time), at most a few times a second; at the end, on a terminal
// or not, one final line with the outcome in English.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace bricola {

// One picture of a running job.
struct SAvanzamento {
  int fase = 0;           // phase code
  int modulo = 0;         // 1-based number of the module being loaded (0: none yet)
  int fatti = 0;          // bytes done of the module
  int totali = 0;         // bytes of the module
  std::int64_t millisecondiModulo = 0;  // time since the module started (for the speed)
  int secondiTotali = 0;                // seconds since the job started
};

// "loading module  module 1  4096/262144 bytes  2890 bytes/s  00:00:04".
// The speed is the module's bytes done over its time, 0 in its first second.
std::string RigaAvanzamento(const SAvanzamento& a);

// The final line (English): the text of a failed result code; the success text
// ("upload complete") after a job that ended well.
std::string RigaFinale(int fase, int esito);

class CAvanzamento {
 public:
  static constexpr int kIntervalloMs = 250;  // shortest time between two redraws

  // terminale: the stream is a terminal (redraws allowed).
  CAvanzamento(std::ostream& flusso, bool suTerminale) : uscita(flusso), terminale(suTerminale) {}

  // Redraws the line when on a terminal and kIntervalloMs have passed since the
  // last redraw (adessoMs: any monotonic millisecond clock). True when drawn.
  bool Aggiorna(const SAvanzamento& a, std::int64_t adessoMs);
  // Clears the progress line (if one was drawn) and writes the final line.
  void Fine(int fase, int esito);
  // The same with a final line of the caller's.
  void FineTesto(std::string_view testo);

 private:
  std::ostream& uscita;
  bool terminale;
  bool disegnata = false;
  std::int64_t ultimoMs = 0;
};

}  // namespace bricola
