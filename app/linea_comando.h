// Reading the command line: switches, their values and the image file name.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace bricola {

// Generic command-line information: keeps the first plain argument as a file name and
// confirms it only when it handles the line's last argument itself.
class CInfoLineaComando {
 public:
  virtual ~CInfoLineaComando() = default;

  // Called once per argument, in order. `interruttore`: the argument is a switch (its
  // leading '-' or '/' already removed); `ultimo`: it is the line's last argument.
  virtual void ParseParam(std::string_view testo, bool interruttore, bool ultimo);

  // The file name, and whether it counts (see above).
  const std::string& NomeFile() const { return nomeFile; }
  bool FileConfermato() const { return fileConfermato; }

 protected:
  std::string nomeFile;
  bool fileConfermato = false;
};

// Bricola's switches. A switch is known by its first character, case-insensitive:
// ? or H help, B batch, C port value, E erase the key, L log, M value (ignored),
// R read, S load, X exit at the end. -C and -M take the next plain argument as
// their value; any other switch cancels a pending value.
class CParLineaComando : public CInfoLineaComando {
 public:
  enum Destinazione { kValoreM = 0, kPortaTesto = 1 };

  void ParseParam(std::string_view testo, bool interruttore, bool ultimo) override;

  std::string valoreM;
  std::string portaTesto;
  bool registro = false;
  bool aiuto = false;
  bool caricaSubito = false;
  bool leggiSubito = false;
  bool cancellaChiave = false;
  bool batch = false;
  bool esciAllaFine = false;
  bool attesaValore = false;
  int destinazioneValore = kValoreM;
};

// Whether a command-line argument is a switch. An argument beginning with '-' is one.
// One beginning with '/' is one only when it holds no other '/', so that absolute
// paths ("/home/tech/fw.bin") stay file names while "/C" and "/Batch" are switches.
bool EInterruttore(std::string_view argomento);

// Offers every argument (program name excluded) to `info` in order, switches without
// their leading character.
void LeggiLineaComando(CInfoLineaComando& info, std::span<const std::string> argomenti);

}  // namespace bricola
