#include <iostream>
#include <string>
#include <vector>

#include "app/bricola_app.h"
#include "app/impostazioni.h"
#include "platform/terminale.h"
#include "ui/desktop.h"

int main(int argc, char** argv) {
  std::vector<std::string> argomenti;
  // The settings file is named after the program as it was started.
  if (argc > 0 && argv[0] != nullptr) bricola::ImpostaNomeProgramma(argv[0]);
  for (int i = 1; i < argc; ++i) argomenti.emplace_back(argv[i]);
  bricola::CBricolaApp app;
  app.erroriSuTerminale = bricola::ErroriSuTerminale();
  app.gestisciInterruzione = true;
  // The toolkit is started only for the usage box and the window: batch mode
  // never touches a display.
  app.desktop = bricola::DesktopQt(argc, argv);
  // Batch mode: the result code of the run (0 on success).
  return app.Esegui(argomenti, std::cout, std::cerr);
}
