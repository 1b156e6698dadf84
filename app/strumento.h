// bricola-tool: the technician's command line. One program, one command per
// run (ports, info, boot-check, micro-check, micro-erase, read-flash, verify);
// each command only parses its options and drives the same jobs the window
// and batch mode run. Results go to standard output (text, or one JSON object
// with --json), progress and complaints to standard error; the exit status is
// the job's result code.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/avanzamento.h"
#include "app/porte.h"

namespace bricola {

class CSveglia;

// Exit status of a command line that cannot be understood (unknown option,
// missing or malformed argument): "no operation", since nothing was done.
inline constexpr int kEsitoUso = 72;  // RC_NO_OPERATION
// A job stopped by SIGINT or SIGTERM exits with 128 plus the signal's number.
inline constexpr int kEsitoSegnaleBase = 128;

// What every command gets from the program.
struct SContestoStrumento {
  std::ostream* uscita = nullptr;  // results
  std::ostream* errori = nullptr;  // progress, usage, complaints
  bool erroriSuTerminale = false;  // progress line redrawn on standard error
  bool ingressoSuTerminale = false;  // a technician may answer on standard input
  std::istream* ingresso = nullptr;
  // The program stops its job on SIGINT and SIGTERM.
  bool gestisciInterruzione = false;
};

// --- options ------------------------------------------------------------------

// One option a command accepts.
struct SOpzione {
  std::string lunga;    // "can" for --can
  char corta = 0;       // 'C' for -C; 0 for none
  bool valore = false;  // takes an argument
  bool ripetibile = false;
};

// A parsed command line: options by long name (every value of a repeatable
// one, in order), then the plain arguments.
struct SArgomenti {
  std::map<std::string, std::vector<std::string>> opzioni;
  std::vector<std::string> posizionali;
  bool Ha(const std::string& nome) const { return opzioni.count(nome) != 0; }
  const std::string& Valore(const std::string& nome) const { return opzioni.at(nome).back(); }
};

// GNU style: --name value, --name=value, -C value, -Cvalue, -- ends the
// options. false with the complaint in `errore` for an unknown option, a
// missing value or a value given to a flag.
bool LeggiOpzioni(std::span<const std::string> argomenti, std::span<const SOpzione> ammesse, SArgomenti& risultato,
                  std::string& errore);

// A hexadecimal number with or without 0x, at most 32 bits.
std::optional<std::uint32_t> NumeroEsadecimale(std::string_view testo);
// "START:END" in hexadecimal, END exclusive and above START.
bool LeggiIntervallo(std::string_view testo, std::uint32_t& inizio, std::uint32_t& fine);

// --- JSON ---------------------------------------------------------------------

// A JSON string literal of UTF-8 text (control characters escaped; invalid
// bytes written as U+FFFD).
std::string JsonTesto(std::string_view testo);
// "0x1234" with at least `cifre` hexadecimal digits, upper case.
std::string Esadecimale(std::uint32_t valore, int cifre);

// One JSON object; members in the order they were added.
class CJsonOggetto {
 public:
  CJsonOggetto& Numero(std::string_view chiave, long long valore);
  CJsonOggetto& Testo(std::string_view chiave, std::string_view valore);
  CJsonOggetto& Booleano(std::string_view chiave, bool valore);
  CJsonOggetto& Nullo(std::string_view chiave);
  // An already written JSON value (object, array).
  CJsonOggetto& Grezzo(std::string_view chiave, std::string valoreJson);
  std::string Json() const;

 private:
  std::vector<std::pair<std::string, std::string>> membri;
};
std::string JsonLista(const std::vector<std::string>& valoriJson);

// The English user text of a result code, trimmed; "ok" for 0 (whose text is blank).
std::string MessaggioEsito(int esito);
// The object every --json answer starts with: "command", "result", "message".
CJsonOggetto OggettoRisultato(std::string_view comando, int esito);

// --- running a job ------------------------------------------------------------

// What the progress line shows of a running job.
struct SStatoLavoro {
  int fase = 0;
  int modulo = 0;             // 1-based module number; 0: the job has no modules
  long long fatti = -1;       // bytes done; below 0: the job counts no bytes
  long long totali = 0;
};

// One job as the front-ends step it.
struct SLavoro {
  std::function<bool(int& fase, int& esito)> passo;  // true while it runs
  std::function<void()> ferma;                       // its stop step
  std::function<void(SStatoLavoro&)> stato;          // figures for the progress line (may be empty)
  int periodoMs = 10;
  CSveglia* sveglia = nullptr;                       // ends the wait between steps early
  const CFileRegistro* registro = nullptr;           // where an interruption is logged
  // The longest time the job may go on without its phase or its byte count
  // changing (a board that never answers: the resident boot's signature
  // request is repeated practically without end); then it is stopped through
  // its stop step and ends with RC_REPLY_TIMEOUT. 0: no limit.
  int attesaMassimaMs = 0;
};

// The result of a stepped job.
struct SFineLavoro {
  int fase = 0;
  int esito = 0;
  int segnale = 0;  // SIGINT or SIGTERM stopped it
};

// Steps the job until it ends or a signal asks it to stop (then its stop step
// runs). The progress line is drawn on a terminal's standard error and cleared
// at the end.
SFineLavoro EseguiLavoro(const SContestoStrumento& contesto, SLavoro& lavoro, int faseIniziale);

// The progress line of a job ("reading module  module 1  4096/65536 bytes
// 2048 bytes/s  00:00:02"; without byte figures only the phase and the time).
std::string RigaStato(const SStatoLavoro& s, std::int64_t millisecondi, long long fattiInizio);

// --- the program --------------------------------------------------------------

// Runs one command line (program name excluded); the exit status.
int EseguiStrumento(std::span<const std::string> argomenti, const SContestoStrumento& contesto);

// The commands; each receives the arguments after its name.
using ComandoStrumento = int (*)(std::span<const std::string> argomenti, const SContestoStrumento& contesto);
int ComandoPorte(std::span<const std::string> argomenti, const SContestoStrumento& contesto);
int ComandoInfo(std::span<const std::string> argomenti, const SContestoStrumento& contesto);
int ComandoVerificaBoot(std::span<const std::string> argomenti, const SContestoStrumento& contesto);
int ComandoVerificaMicro(std::span<const std::string> argomenti, const SContestoStrumento& contesto);
int ComandoCancellaMicro(std::span<const std::string> argomenti, const SContestoStrumento& contesto);
int ComandoLeggiFlash(std::span<const std::string> argomenti, const SContestoStrumento& contesto);
int ComandoVerifica(std::span<const std::string> argomenti, const SContestoStrumento& contesto);

// --- shared by the commands ---------------------------------------------------

// The default of --wait, in seconds.
inline constexpr int kAttesaPredefinitaS = 30;
// --wait SECONDS of a board command (kAttesaPredefinitaS without it); false for
// a value that is not a whole number from 1 to 3600.
bool LeggiAttesa(const SArgomenti& a, int& millisecondi);

// The common options -C, -L, --json, --help (each command adds its own).
std::vector<SOpzione> OpzioniComuni(bool conPorta);

// Parses a command's line; on a complaint writes it and the usage on standard
// error and gives kEsitoUso; with --help writes the usage on standard output
// and gives 0. Otherwise nullopt: go on.
std::optional<int> PreparaComando(std::string_view nome, std::string_view uso,
                                  std::span<const std::string> argomenti, std::span<const SOpzione> ammesse,
                                  const SContestoStrumento& contesto, SArgomenti& risultato);
// Writes a complaint and the usage on standard error; kEsitoUso.
int ErroreUso(std::string_view nome, std::string_view uso, const SContestoStrumento& contesto,
              std::string_view complaint);

// The log path of -L (the same file as bricola's); empty without it.
std::string RegistroStrumento(const SArgomenti& a);

// The ports of the machine, enumerated, and the one -C (or the stored "Porta")
// chooses.
struct SPortaScelta {
  CMainProc porte;
  int portaSalvata = 0;
};
void ScegliPortaStrumento(const SArgomenti& a, SPortaScelta& scelta);
// "COM3", "LPT1", "USB", "PIC0" for the chosen code.
std::string NomePorta(const CMainProc& porte);

// The end of a command that ran a job: the failure's text (or "link
// interrupted") on standard error, the exit status.
int EsitoFinale(const SContestoStrumento& contesto, std::string_view comando, const SFineLavoro& fine);
// The --json answer's head for a stepped job: its result code, or for a job a
// signal stopped the exit status (130, 143) and "link interrupted".
CJsonOggetto OggettoFine(std::string_view comando, const SFineLavoro& fine);

}  // namespace bricola
