// The boot check: asks a board's resident boot (the local board, or a remote
// board by CAN address) for its machine code and boot version.
#pragma once

#include <cstdint>
#include <string>

#include "base/registro.h"
#include "comm/int_seriale.h"
#include "load/load_90fxxx.h"

namespace bricola {

// Version text of a boot: "3.1" for version 0, "2.x" for FF (also a boot
// that never told its version), else "major.minor" from the two nibbles.
std::string TestoVersioneBoot(std::uint8_t versione);

class CVerificaBoot : public CFileRegistro {
 public:
  CVerificaBoot() = default;

  void ImpostaPorta(int n) { porta = n; }
  // The wake-up of whoever steps the job (not owned): the line signals it when
  // a reply a step armed has come. Set it while no job runs.
  void ImpostaSveglia(CSveglia* sveglia) { seriale.ImpostaSveglia(sveglia); }
  // Log path of the job and of its loader.
  void ImpostaRegistro(const std::string& percorso);
  // Opens the port at 38400 bit/s and starts the check of the board at
  // indirizzo (0 or less: the local board). 1 started; 0 with the code.
  int Avvia(int indirizzo, int* periodoTimer, int* fase, int* esito);
  // 1 running; 0 finished: then codiceMacchina and versione are set when the
  // board gave its machine code (fase ST_DONE), versione "?.?" otherwise.
  int Passo(int* aggiorna, int* fase, int* esito, std::uint16_t* codiceMacchina,
            std::string* versione);
  int Ferma(int* esito);
  int InCorso() const { return inCorso; }

  CIntSeriale seriale;
  CLoad90Fxxx loader;
  int porta = 0;
  int inCorso = 0;
};

}  // namespace bricola
