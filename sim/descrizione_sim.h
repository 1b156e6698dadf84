// The machine file (JSON with comments) and the flash dump of the simulated machine.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "sim/macchina_sim.h"

namespace bricola::sim {

struct DescrizioneMacchina {
  std::vector<CSchedaSim> schede;
  OpzioniLinea linea;
};

// Reads a machine description from JSON text. Relative "file" paths of
// initial contents are taken from `cartella`. On failure returns false and
// puts a one-line reason in `errore`.
bool LeggiDescrizione(const std::string& testo, const std::string& cartella, DescrizioneMacchina& d,
                      std::string& errore);
bool LeggiFileDescrizione(const std::string& percorso, DescrizioneMacchina& d, std::string& errore);
// One local board with the M256 map: what runs when no machine file is given.
DescrizioneMacchina DescrizionePredefinita();

// The state of every board as JSON: identity, boot state, erased sectors,
// ranges written by the PC and ranges that are not blank.
void ScriviDump(const CMacchinaSim& m, std::ostream& uscita);

}  // namespace bricola::sim
