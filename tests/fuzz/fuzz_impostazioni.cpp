// libFuzzer target: the settings file. The input is written as the settings
// file, then every value is read and one is written. Reading never changes the
// file; a file the program takes as corrupt gives every default and, on the
// first write, is kept whole aside (".guasto") while the new file holds the
// value written, which reads back.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/impostazioni.h"

#define Verifica(condizione)                                                          \
  do {                                                                                \
    if (!(condizione)) {                                                              \
      std::fprintf(stderr, "invariant broken: %s (line %d)\n", #condizione, __LINE__); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace {

std::string Leggi(const std::string& percorso) {
  std::ifstream f(percorso, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string Cartella() {
  static std::string cartella = [] {
    char modello[] = "/tmp/bricola-fuzz-ini-XXXXXX";
    const char* c = ::mkdtemp(modello);
    if (c == nullptr) std::abort();
    ::setenv("XDG_CONFIG_HOME", c, 1);
    bricola::ImpostaAziendaImpostazioni("Corvanti");
    bricola::ImpostaNomeProgramma("fuzz");
    std::filesystem::create_directories(std::string(c) + "/Corvanti");
    return std::string(c);
  }();
  return cartella;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dati, std::size_t n) {
  using namespace bricola;
  Cartella();
  const std::string percorso = PercorsoImpostazioni();
  const std::string guasto = percorso + ".guasto";
  std::filesystem::remove(guasto);
  const std::string contenuto(reinterpret_cast<const char*>(dati), n);
  {
    std::ofstream f(percorso, std::ios::binary | std::ios::trunc);
    f << contenuto;
  }

  CImpostazioni tutte;
  tutte.Leggi();
  const int porta = LeggiImpostazioneIntero(kValorePorta, -7);
  const std::string file = LeggiImpostazioneStringa(kValoreFile, "predefinito");
  const std::string cartella = LeggiImpostazioneSezione(kSezioneBootstrap, kValoreCartellaBootstrap, "nessuna");
  Verifica(Leggi(percorso) == contenuto);
  Verifica(!std::filesystem::exists(guasto));
  // Two reads give the same values.
  Verifica(LeggiImpostazioneIntero(kValorePorta, -7) == porta);
  Verifica(LeggiImpostazioneStringa(kValoreFile, "predefinito") == file);

  // A write, then the value reads back; a file taken as corrupt is kept whole.
  const bool corrotto = porta == -7 && file == "predefinito" && cartella == "nessuna";
  Verifica(ScriviImpostazioneIntero(kValorePorta, 42));
  Verifica(LeggiImpostazioneIntero(kValorePorta, -7) == 42);
  if (std::filesystem::exists(guasto)) {
    Verifica(corrotto);
    Verifica(Leggi(guasto) == contenuto);
  }
  return 0;
}
