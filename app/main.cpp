#include <iostream>
#include <string>
#include <vector>

#include "app/bricola_app.h"
#include "app/impostazioni.h"
#include "platform/terminale.h"

int main(int argc, char** argv) {
  std::vector<std::string> argomenti;
  // The settings file is named after the program as it was started.
  if (argc > 0 && argv[0] != nullptr) bricola::ImpostaNomeProgramma(argv[0]);
  for (int i = 1; i < argc; ++i) argomenti.emplace_back(argv[i]);
  bricola::CBricolaApp app;
  app.erroriSuTerminale = bricola::ErroriSuTerminale();
  app.gestisciInterruzione = true;
  // The exit status is the result code of the batch run (0 on success).
  return app.Esegui(argomenti, std::cout, std::cerr);
}
