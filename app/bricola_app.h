// The application: reads the command line, fixes the log path and runs one mode.
#pragma once

#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace bricola {

struct OraLocale;

enum class ModoAvvio { kBatch, kUso, kFinestra };

// The usage text: 20 lines, each ended by CR LF.
extern const std::string_view kTestoUso;

// The log file of a run started on `data`: <cartella>/BricolaLog<yyyymmdd>.txt.
std::string PercorsoRegistro(std::string_view cartella, const OraLocale& data);

class CBricolaApp {
 public:
  // Parses the arguments (program name excluded) and copies what the modes need.
  void LeggiArgomenti(std::span<const std::string> argomenti);
  // -B wins over -?/-H, which win over the window.
  ModoAvvio Modo() const;
  // Runs the chosen mode; the usage goes to `uscita`, complaints to `errori`.
  // Returns the process exit status: the batch result in batch mode, 0 after the
  // usage, non-zero when the window cannot be shown.
  int EseguiModo(std::ostream& uscita, std::ostream& errori);

  // Both steps at once.
  int Esegui(std::span<const std::string> argomenti, std::ostream& uscita, std::ostream& errori);

  std::string nomeFile;          // confirmed image file name, empty when none
  std::string portaTesto;        // -C value as typed
  std::string percorsoRegistro;  // empty: no log
  bool caricaSubito = false;
  bool leggiSubito = false;
  bool cancellaChiave = false;
  bool esciAllaFine = false;
  int esitoBatch = 0;
  // Standard error is a terminal: batch mode then redraws a progress line on
  // `errori` while the job runs. Its final line is written in any case.
  bool erroriSuTerminale = false;

 private:
  int EseguiBatch(std::ostream& uscita, std::ostream& errori);

  bool batch = false;
  bool aiuto = false;
};

}  // namespace bricola
