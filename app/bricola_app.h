// The application: reads the command line, fixes the log path and runs one mode.
#pragma once

#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

namespace bricola {

struct OraLocale;
struct SAvvioFinestra;

// What a program with a desktop toolkit gives the application: whether a
// display can be reached, the usage box and the main window. Without them the
// usage goes to standard output and the window mode fails.
struct SDesktop {
  std::function<bool()> disponibile;
  std::function<void(std::string_view testo)> mostraUso;
  // Runs the window until it closes; the process exit status.
  std::function<int(const SAvvioFinestra& avvio)> esegui;
};

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
  // The desktop side (none in a build without the window).
  SDesktop desktop;
  // Standard error is a terminal: batch mode then redraws a progress line on
  // `errori` while the job runs. Its final line is written in any case.
  bool erroriSuTerminale = false;
  // Batch mode stops its job on SIGINT and SIGTERM (the program sets it; tests
  // leave the process's signals alone).
  bool gestisciInterruzione = false;

 private:
  int EseguiBatch(std::ostream& uscita, std::ostream& errori);

  bool batch = false;
  bool aiuto = false;
};

}  // namespace bricola
