// The batch runner: starts the one operation the command line asks for and steps it
// on a worker thread until it ends; the application polls it with Stato.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

#include "app/avanzamento.h"
#include "app/porte.h"
#include "jobs/caricamento.h"
#include "jobs/lettura.h"
#include "platform/sveglia.h"

namespace bricola {

// What the command line gives the runner.
struct RichiestaBatch {
  std::string portaTesto;        // -C value as typed (empty: the stored port)
  std::string fileImmagine;      // confirmed file name (empty: the stored file)
  std::string percorsoRegistro;  // empty: no log
  bool caricaSubito = false;     // -S
  bool leggiSubito = false;      // -R
  bool cancellaChiave = false;   // -E
  // Where a read with the file name "DIR" lists the key's modules (null: nowhere).
  std::ostream* elenco = nullptr;
};

// The name that asks a read to list the key instead of copying it.
inline constexpr const char* kFileElenco = "DIR";

class CBatchProc : public CMainProc {
 public:
  // One step of the running operation: returns true while it runs and leaves its
  // phase and result code in the out-parameters.
  using Passo = std::function<bool(int& fase, int& esito)>;

  CBatchProc() = default;
  CBatchProc(const CBatchProc&) = delete;
  CBatchProc& operator=(const CBatchProc&) = delete;
  ~CBatchProc() override;  // stops and joins the worker

  // Starts the operation the flags ask for: -S load, else -R read, else -E erase the
  // key. Returns 0 when the operation is running on the worker, otherwise the
  // result code of the whole batch run (RC_NO_OPERATION when nothing was asked for).
  int Avvia(const RichiestaBatch& richiesta);

  // Worker still running, phase and result code of its last step.
  void Stato(bool& inCorso, int& fase, int& esito) const;

  // Asks the worker to stop before its next step and waits for it.
  void Ferma();

  // The signal (SIGINT, SIGTERM) that stopped the job; 0 when none did. The
  // worker looks for one before every step and stops the job through its
  // stop step.
  int Interruzione() const { return segnaleArresto.load(); }

  // Polls the runner every 100 ms until its worker has ended; the last result code.
  static int AttendiFine(const CBatchProc& runner);
  // The same, redrawing the progress display after each poll.
  static int AttendiFine(CBatchProc& runner, CAvanzamento& avanzamento);

  // The running load's figures for the progress display; false when no load
  // was started or its figures could not be had in time. Any thread.
  bool Avanzamento(SAvanzamento& a);

  // The stored settings "Porta" and "File" as read by the last start, and the
  // image file of the job.
  int portaSalvata = 0;
  std::string fileSalvato;
  std::string fileImmagine;
  // Ends the worker's wait between two steps early (a reply the step armed has
  // come, a stop). Declared before the operations, whose lines signal it, so
  // that it outlives them.
  CSveglia sveglia;
  // The load operation.
  CCaricamento caricamento;
  // The read of the key (also its listing and emptying).
  CLettura lettura;

 protected:
  // Starts the worker: it calls `passo` every `periodoMs` milliseconds until the step
  // reports the end or a stop is asked. RC_TIMER_CREATE when no thread can be made.
  int AvviaWorker(Passo passo, int periodoMs);

 private:
  // Starts the load of fileImmagine on the chosen port; 0 when it runs on the
  // worker, else the batch result.
  int AvviaCaricamento();
  // The read of every key file into fileImmagine (or, for "DIR", the listing);
  // 0 when it runs on the worker, else the batch result.
  int AvviaLettura(std::ostream* elenco);
  // Empties the key at once; the batch result.
  int CancellaChiave();
  void Ciclo(Passo passo);
  // Stops the running job on a signal (worker thread).
  void Interrompi(int segnale);

  bool leggendo = false;   // the worker steps the read (else the load)
  bool caricando = false;  // a load was started
  std::int64_t inizioMs = 0;         // start of the batch run
  int moduloVisto = -1;              // module of the last progress picture
  std::int64_t inizioModuloMs = 0;   // when that module was first seen

  // Signalled by the worker as it ends: the main thread's poll then ends early.
  mutable CSveglia fineWorker;
  std::thread thread;
  std::atomic<bool> inCorso{false};
  std::atomic<bool> richiestaStop{false};
  int periodo = 1000;
  std::atomic<int> esito{0};
  std::atomic<int> fase{0};
  std::atomic<int> segnaleArresto{0};
};

}  // namespace bricola
