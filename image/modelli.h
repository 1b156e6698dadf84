// The machine model table: what the tool knows about each machine code when a
// module does not say it itself (boot or not, raw image allowed, remote load
// allowed, display name, default CAN addresses, baud rates, load kind, micro).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace bricola {

struct SModello {
  std::uint16_t codice;
  int boot;                 // modules of this code are boot programs
  int grezzo;               // a file ending in this code may be a raw image
  int remoto;               // may be loaded over a remote connection
  int nome;                 // index into the name lists
  std::uint32_t indirizzo;            // default primary CAN address (0 none)
  std::uint32_t indirizzoSecondario;  // default secondary address (0 none)
  int velocitaAvvio;        // baud rate the load starts with
  int velocitaAlternativa;  // second baud rate offered to the loader
  int tipoLoad;             // 0..13
  int tipoMicro;            // 0..9
};

inline constexpr int kNumModelli = 130;
inline constexpr int kNumNomiModello = 130;

// The row itself; riga must be below kNumModelli.
const SModello& Modello(int riga);

// Row index of the code (linear search, first match), kNumModelli when unknown.
int TrovaModello(std::uint16_t codice);
// Name index of the code's row; none for an unknown code.
std::optional<int> IndiceNome(std::uint16_t codice);
// Display name: lingua 0 Italian, any other English. Empty for an index out of range.
std::string_view NomeModello(int lingua, int indiceNome);
// NomeModello of the code's row; none for an unknown code.
std::optional<std::string_view> NomeDaCodice(int lingua, std::uint16_t codice);

// Column queries by row; a row out of range (kNumModelli: unknown) gives 0.
int ModelloBoot(int riga);
int ModelloGrezzo(int riga);
int ModelloRemoto(int riga);
std::uint32_t ModelloIndirizzo(int riga);
std::uint32_t ModelloIndirizzoSecondario(int riga);
int ModelloVelocitaAvvio(int riga);
int ModelloVelocitaAlternativa(int riga);
int ModelloTipoLoad(int riga);
int ModelloTipoMicro(int riga);

}  // namespace bricola
