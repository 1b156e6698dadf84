// CLetturaFlash: the board backup. It reads ranges of a board's flash through
// the board's resident boot (the local board, or a remote one by CAN address)
// with `Read`, chunked as the load's read-back is (46 bytes on a remote board),
// and writes an image file that the load accepts: one data record per range,
// the sectors that read all FF left out, and the end record with the CRC and
// the board's machine code from `GetFirma`. Loading that file back restores
// the board. The output file is written only once everything has been read:
// a failed or stopped read leaves no file behind (and an existing file as it
// was).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/registro.h"
#include "comm/int_seriale.h"

namespace bricola {

class CSveglia;

// One range of flash addresses; fine is exclusive.
struct SIntervalloFlash {
  std::uint32_t inizio = 0;
  std::uint32_t fine = 0;
};

// The ranges of a built-in flash map by its name ("M256", "M64", "MPIC",
// "M512", "M512x", "M512r"; case as written). false for an unknown name.
bool IntervalliMappa(const std::string& nome, std::vector<SIntervalloFlash>* intervalli);

class CLetturaFlash : public CFileRegistro {
 public:
  CLetturaFlash();
  ~CLetturaFlash();

  void ImpostaPorta(int n);
  // The wake-up of whoever steps the job (not owned). Set it while no job runs.
  void ImpostaSveglia(CSveglia* sveglia);
  // Log path of the job and of its loader.
  void ImpostaRegistro(const std::string& percorso);
  // Opens the port and starts reading intervalli (sorted, not overlapping,
  // none empty, at least one: otherwise 0 with RC_NO_MODULES before the line
  // is touched) from the board at indirizzo (0 or less: the local board) into
  // fileUscita. 1 started; 0 with the code.
  int Avvia(int indirizzo, const std::vector<SIntervalloFlash>& intervalli,
            const std::string& fileUscita, int* periodoTimer, int* fase, int* esito);
  // 1 running; 0 finished (esito 0 when the file was written). fatti and
  // totale count flash bytes, for the progress display.
  int Passo(int* aggiorna, int* fase, int* esito, std::uint32_t* fatti, std::uint32_t* totale);
  // Stops a running read through the loader's stop step (line closed, no file).
  int Ferma(int* esito);
  int InCorso() const;
  // After a finished read: the board's machine code (from GetFirma) and its
  // boot version text as the boot check gives it.
  std::uint16_t CodiceMacchina() const;
  std::string VersioneBoot() const;

 private:
  struct Stato;
  Stato* stato;
};

}  // namespace bricola
