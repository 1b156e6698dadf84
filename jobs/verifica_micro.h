// The micro check: identifies the microcontroller of the board on the cable
// through its ROM bootstraps (or a resident boot), and the manual reset pulse.
#pragma once

#include <string>

#include "base/registro.h"
#include "bootstrap/load_check_micro.h"
#include "comm/int_seriale.h"

namespace bricola {

class CVerificaMicro : public CFileRegistro {
 public:
  static constexpr int kVelocitaApertura = 9600;

  CVerificaMicro() = default;

  void ImpostaPorta(int n) { porta = n; }
  // The wake-up of whoever steps the job (not owned): the line signals it when
  // a reply a step armed has come. Set it while no job runs.
  void ImpostaSveglia(CSveglia* sveglia) { seriale.ImpostaSveglia(sveglia); }
  // Log path of the job and of its loader.
  void ImpostaRegistro(const std::string& percorso);
  // A reset pulse of the given length, with or without RTS; runs to its end.
  // 1 done; 0 with the code.
  int GeneraReset(int conRts, int millisecondi, int* esito);
  // Opens the port and starts the probes. 1 started; 0 with the code.
  int Avvia(int* periodoTimer, int* fase, int* esito);
  // 1 running; 0 finished, always with ST_DONE: nome is the micro found
  // ("Fu9!F!!!" when none answered).
  int Passo(int* aggiorna, int* fase, int* esito, std::string* nome);
  int Ferma(int* esito);
  int InCorso() const { return inCorso; }

  CIntSeriale seriale;
  CLoadCheckMicro loader;
  int porta = 0;
  int inCorso = 0;
};

}  // namespace bricola
