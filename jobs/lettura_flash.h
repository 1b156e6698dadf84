// CLetturaFlash: the board backup. It reads ranges of a board's flash through
// the board's resident boot (the local board, or a remote one by CAN address)
// with `Read`, chunked as the load's read-back is (46 bytes on a remote board),
// and writes an image file that the load accepts: one data record per range,
// the sectors that read all FF left out, and the end record with the CRC and
// the board's machine code from `GetFirma`. Loading that file back restores
// the board. The output file is written only once everything has been read:
// a failed or stopped read leaves no file behind (and an existing file as it
// was).
//
// The read: a DTR reset, the local boot found (GetFirma, GetVersione, five
// attempts over about five seconds, alternating 38400 and 19200 bit/s), the
// line raised to 115200 bit/s when the boot offers it, SetRemoto (and Reboot
// for a remote board), GetFirma, GetVersione, GetMicro and LunBuf of the
// target, then Read in pieces of the board's buffer less 12 bytes (local) or
// 46 bytes (remote), range after range, and Fine. Nothing is blank-checked,
// erased or written, a universal boot is not bound (no Codice), and no flash
// chip is asked about (no FlashType, no FlashBlocco): a range in an external
// region is read as it stands, whatever the board answers there; a region
// with no chip fitted reads FF on boards whose bus floats high, and is then
// left out like any blank range.
//
// The file: one module per range that is not wholly blank, in range order.
// Each module is, in this order: an address pair record (type 0x0002: the CAN
// address read from, secondary 0) for a remote board only; a header record
// (type 0x0001: micro selector = the micro type the target's boot reported,
// class 0 Prog, loadable remotely, ticked, name "Copia flash CCCC
// SSSSSS-EEEEEE" or "Copia flash CCCC CAN AAAA SSSSSS-EEEEEE") when that type
// is 1 to 9 (otherwise no header, and the model table row of the code
// decides how the file loads); one data record from the start of the range's
// first sector that is not all FF to the end of its last such sector; the
// end record with the module's CRC and the board's machine code. Sectors are
// those of the flash map the load of the file will use (the header's load
// kind, else the model row's) where the map knows them without asking the
// board (the micro's own flash), else aligned blocks of 0x2000 bytes. Blank
// sectors at a range's edges are left out (a restore leaves them as the
// target has them); blank sectors between others stay in the record as FF,
// so the load blank-checks and erases them and a restore over a board that
// holds something else gives back the backed-up contents there too. A read in
// which every range is blank writes no file and ends with RC_NO_MODULES.
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
  // fileUscita. Also refused before the line is touched: more than 256 MiB in
  // all (RC_NO_MEMORY), and an output that cannot be a file (empty, a
  // directory, or in a directory that does not exist: RC_FILE_CREATE).
  // 1 started; 0 with the code.
  int Avvia(int indirizzo, const std::vector<SIntervalloFlash>& intervalli,
            const std::string& fileUscita, int* periodoTimer, int* fase, int* esito);
  // 1 running; 0 finished (esito 0 when the file was written; RC_FILE_CREATE
  // when it could not be; the loader's code when the read failed). fatti and
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
