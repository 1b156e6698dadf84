// The logic of the main window, free of any toolkit: the controller that runs
// one job at a time from the window's single timer, the enables of the
// buttons, the module list with its ticks, the recent files, the port list and
// the statistics. CFinestraProc does everything but drawing; the window class
// derives from it and gives the few display operations it asks for.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "app/impostazioni.h"
#include "app/porte.h"
#include "jobs/cancella_micro.h"
#include "jobs/caricamento.h"
#include "jobs/verifica_boot.h"
#include "jobs/verifica_micro.h"

#include "jobs/lettura.h"
#include "platform/sveglia.h"

namespace bricola {

// Window timers: one runs at a time.
inline constexpr int kTimerCaricamento = 1;
inline constexpr int kTimerVerificaBoot = 2;
inline constexpr int kTimerLettura = 3;
inline constexpr int kTimerVerificaMicro = 4;
inline constexpr int kTimerStandard = 5;  // the port watch
inline constexpr int kTimerCancellaMicro = 6;
inline constexpr int kPeriodoStandard = 5000;

inline constexpr int kFileRecenti = CImpostazioni::kFileRecenti;
using FileRecenti = std::array<std::string, kFileRecenti>;

// Puts a name at the head of the recent files: a name already in the list
// (compared without case) moves up, the others shift down; the last entry falls
// off when the list is full and the name is new.
void MettiInTesta(FileRecenti& recenti, const std::string& nome);
// The non-empty entries in order: the drop-down list.
std::vector<std::string> VociRecenti(const FileRecenti& recenti);
// The folder part of a path (up to its last separator), empty when it has none.
std::string CartellaDi(const std::string& percorso);
// The short name of a module class in the list ("????" for an unknown one).
const char* NomeClasseModulo(int tipoModulo);
// Case-insensitive equality of two file names (ASCII letters).
bool StessoFile(const std::string& a, const std::string& b);

// The port list: "Com%d" per COM port in Cavo mode; "Usb" then "Lpt%d" per
// LPT port in Memox mode.
std::vector<std::string> VociPorte(const CMainProc& porte, bool cavo);
// The entry of the port code (a serial code is first limited to the list);
// -1 when none fits (a PIC code).
int VoceDelCodice(CMainProc& porte);
// The port code of an entry of the list.
void CodiceDallaVoce(CMainProc& porte, bool cavo, int voce);

// The statistics fields as the window shows them.
struct SStatistiche {
  std::string tempo;
  std::string complessivi;
  std::string trasferiti;
  std::string rimanenti;
  std::string ritrasmessi;
  std::optional<std::string> velocita;     // unset: leave the field as it is
  std::optional<std::string> progressivo;  // unset: the job has no module number
  int scala = 1;                           // divisor of the progress bar
  int massimo = 0;                         // bar range 0..massimo
  int posizione = 0;
};
// modulo < 0: no module number. ultimiSecondi is the elapsed time at the last
// speed write for this job kind (updated when the speed is written).
SStatistiche CalcolaStatistiche(int modulo, long totali, long fatti, long ripetuti, int secondi,
                                int& ultimiSecondi);

enum class StatoLavoro { kInattivo, kCaricamento, kLettura, kVerificaBoot, kCancellaMicro, kVerificaMicro };

// Texts and enables of the buttons for a job state.
struct SComandi {
  std::string testoLoad = "Load", testoRead = "Read", testoClear = "Clear", testoCheck = "Check",
              testoMicro = "Micro";
  bool load = false, read = false, clear = false, check = false, micro = false;
  bool altri = false;       // Esci, file field, browse, tick buttons, mode radios, port list, verify mode
  bool gruppoBoot = false;  // the Boot group (address field, reset length)
};
// chiave / seriale: the port kind; caricabile: the ticked set can be loaded.
SComandi StatoComandi(StatoLavoro stato, bool chiave, bool seriale, bool caricabile);

// One row of the module list: its seven column texts and its tick.
struct SRiga {
  std::array<std::string, 7> testi;
  bool spunta = false;
};

// What the command line and the settings give the window at start.
struct SAvvioFinestra {
  std::string portaTesto;
  std::string nomeFile;
  std::string percorsoRegistro;
  bool caricaSubito = false;
  bool leggiSubito = false;
  bool cancellaChiave = false;
  bool esciAllaFine = false;
};

class CFinestraProc : public CMainProc {
 public:
  CFinestraProc();
  ~CFinestraProc() override;
  CFinestraProc(const CFinestraProc&) = delete;
  CFinestraProc& operator=(const CFinestraProc&) = delete;

  // Start-up: ports, settings, port list, module list and the job of -S/-R/-E;
  // then the standard timer when none runs.
  void Inizializza(const SAvvioFinestra& avvio);
  // The window goes away: settings that changed are written, the timer killed.
  void Termina();

  // Commands.
  void PremiLoad();
  void PremiRead();
  void PremiClear();
  void PremiCheck();
  void PremiMicro();
  void SpuntaTutti(bool spunta);
  // A press on row i: only a press on its tick image (suTick) toggles it.
  void CliccaRiga(int i, bool suTick);
  // The file field's selection changed or it lost the focus.
  void FileScelto();
  void FuocoFilePerso();
  void Sfoglia();
  void PremiCavo();
  void PremiMemox();
  void PortaScelta(int voce);
  void SceltaModoVerifica(int modo);
  // A close request (Esci or the title bar). While a job runs, asks first and
  // stops it through its stop step. True when the window may close.
  bool RichiestaChiusura();
  // A timer message.
  void SuTimer(int id);
  // The running job's line has what its last step armed (posted by the window
  // to itself after PassoPronto): the next tick runs now, and the timer starts
  // its period again from it. Nothing while a tick is running (a message box
  // is open) or when a newer request made the signal stale.
  void SuPassoPronto();

  // The language offset of the texts (0 Italian, 456 English).
  int lingua = 0;
  // The text of an identifier in the window's language.
  std::string T(int id) const;

  // State, readable by the window and by tests.
  StatoLavoro Stato() const { return stato; }
  const std::vector<SRiga>& Righe() const { return righe; }
  const FileRecenti& Recenti() const { return impostazioni.fileRecenti; }
  int TimerAttivo() const { return timerAttivo; }
  bool Occupato() const { return occupato; }
  bool ModoCavo() const { return cavo; }
  bool SceltaModoVisibile() const { return sceltaModo; }
  int ModoVerifica() const { return modoVerifica; }
  int ScalaProgresso() const { return scalaProgresso; }
  bool ElencoChiave() const { return elencoChiave; }
  const CImpostazioni& Impostazioni() const { return impostazioni; }

  // Signalled by the running job's serial line when what the last step armed
  // has come (its count, or its read time is over). Declared before the
  // jobs, whose lines signal it, so that it outlives them.
  CSveglia sveglia;
  // The jobs, held for the life of the window.
  CCaricamento caricamento;
  CVerificaBoot verificaBoot;
  CVerificaMicro verificaMicro;
  CCancellaMicro cancellaMicro;
  CLettura lettura;

 protected:
  // Called on the line's receive thread when the wake-up is signalled: the
  // window posts itself a call of SuPassoPronto (it must not block or touch
  // the jobs here). The default does nothing: the ticks keep their period.
  virtual void PassoPronto() {}
  // Stops the calls of PassoPronto; once it returns none is running.
  void FermaAvvisi() { sveglia.ImpostaAvviso(nullptr); }

  // Display operations of the window.
  virtual bool CreaTimer(int id, int millisecondi) = 0;
  virtual void DistruggiTimer(int id) = 0;
  // Yes/No (okAnnulla false) or OK/Cancel, exclamation icon: true for Yes/OK.
  virtual bool Chiedi(const std::string& testo, bool okAnnulla) = 0;
  // OK box, exclamation icon.
  virtual void Avvisa(const std::string& testo) = 0;
  virtual void Suona() = 0;
  virtual void MostraStato(const std::string& testo) = 0;
  virtual void MostraStatistiche(const SStatistiche& s) = 0;
  virtual void MostraComandi(const SComandi& c) = 0;
  virtual void MostraFileRecenti(const std::vector<std::string>& voci) = 0;
  virtual void MostraModuli(const std::vector<SRiga>& righe) = 0;
  virtual void MostraAvviso(const std::string& testo) = 0;
  // The port list, its chosen entry (-1 none), the mode and whether the mode
  // buttons are shown.
  virtual void MostraPorte(const std::vector<std::string>& voci, int scelta, bool modoCavo,
                           bool conScelta) = 0;
  virtual void MostraIndirizzo(const std::string& testo) = 0;
  virtual void MostraModoVerifica(int modo) = 0;
  virtual std::string TestoFile() = 0;
  virtual std::string TestoIndirizzo() = 0;
  // The micro check's reset length field and its RTS box.
  virtual std::string TestoReset() { return {}; }
  virtual bool ResetConRts() { return false; }
  // The file-open dialog starting in `cartella`; empty when cancelled.
  virtual std::string ScegliFile(const std::string& cartella) = 0;
  virtual void CursoreAttesa(bool attesa) = 0;
  virtual void ChiudiFinestra() = 0;

  // The file name exactly "DIR" lists the key.
  static bool NomeElenco(const std::string& f) { return f == "DIR"; }

 private:
  bool ImpostaTimer(int id, int periodo);
  void RipristinaTimerStandard();
  void MostraErrore(int codice);
  void AggiornaComandi();
  void AggiornaSelezione();
  void RiempiRecenti();
  void RiempiPorte();
  void CostruisciElenco(const std::string& f);
  void AggiornaStatistiche(int tipo, bool finale);
  void FileInTesta(const std::string& nome);
  // The job's start gave its period: its timer, or the failure path.
  bool AvviaTimerLavoro(int id, int periodo, int fase, StatoLavoro nuovo);
  void FermaLavoro();
  int FermaOperazione(StatoLavoro s);

  void TickCaricamento();
  void TickLettura();
  void TickVerificaBoot();
  void TickCancellaMicro();
  void TickVerificaMicro();
  void FineTick(int tipoStatistiche, bool finito, int fase, int esito, std::string testo,
                bool statistiche, bool conFiltro, int erroreModulo, int numeroModulo, bool chiudibile);

  SAvvioFinestra avvio;
  CImpostazioni impostazioni;
  CImpostazioni impostazioniIniziali;
  std::string fileElencato;
  bool elencoChiave = false;
  std::vector<SRiga> righe;
  int modoVerifica = 1;
  bool chiusura = false;
  bool cavo = true;
  bool sceltaModo = false;
  int timerAttivo = 0;
  int periodoTimer = 0;  // of timerAttivo
  bool occupato = false;
  int scalaProgresso = 1;
  int ultimiSecondi[3] = {-1, -1, -1};  // load, read, micro erase
  StatoLavoro stato = StatoLavoro::kInattivo;
  bool inizializzata = false;
  bool terminata = false;
};

}  // namespace bricola
