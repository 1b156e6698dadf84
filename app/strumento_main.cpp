#include <iostream>
#include <string>
#include <vector>

#include "app/strumento.h"
#include "platform/terminale.h"

int main(int argc, char** argv) {
  std::vector<std::string> argomenti;
  for (int i = 1; i < argc; ++i) argomenti.emplace_back(argv[i]);
  bricola::SContestoStrumento contesto;
  contesto.uscita = &std::cout;
  contesto.errori = &std::cerr;
  contesto.ingresso = &std::cin;
  contesto.erroriSuTerminale = bricola::ErroriSuTerminale();
  contesto.ingressoSuTerminale = bricola::IngressoSuTerminale();
  contesto.gestisciInterruzione = true;
  // The exit status is the result code of the command's job.
  return bricola::EseguiStrumento(argomenti, contesto);
}
