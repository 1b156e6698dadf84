// The micro erase: the whole flash of an MB90F345 erased through its ROM
// bootstrap. The prompts around it (power the board off, then on) are the
// controller's: Avvia asserts the mode line with the board unpowered, and
// Passo is called only once the user has powered it.
#pragma once

#include <string>

#include "base/registro.h"
#include "bootstrap/load_clear_micro.h"
#include "comm/int_seriale.h"

namespace bricola {

class CCancellaMicro : public CFileRegistro {
 public:
  static constexpr int kVelocitaApertura = 9600;

  CCancellaMicro() = default;

  void ImpostaPorta(int n) { porta = n; }
  // The wake-up of whoever steps the job (not owned): the line signals it when
  // a reply a step armed has come. Set it while no job runs.
  void ImpostaSveglia(CSveglia* sveglia) { seriale.ImpostaSveglia(sveglia); }
  void ImpostaRegistro(const std::string& percorso);
  // Opens the port and sets the line for the erase. 1 started; 0 with the code.
  int Avvia(int* periodoTimer, int* fase, int* esito);
  // 1 running; 0 finished (ST_DONE when the chip was erased).
  int Passo(int* aggiorna, int* fase, int* esito);
  int Ferma(int* esito);
  int Progresso(int* totali, int* fatti, int* secondi) const;
  int InCorso() const { return inCorso; }

  CIntSeriale seriale;
  CLoadClearMicro loader;
  int porta = 0;
  int inCorso = 0;
};

}  // namespace bricola
