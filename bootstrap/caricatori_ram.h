// The RAM-loader images of the ROM-bootstrap loaders: target code for the
// microcontroller's RAM, supplied by the board maker as one file per image
// (its pieces concatenated in sending order) and read at run time from one
// directory. The directory is set once at start-up from the settings
// ([Bootstrap] Directory=); without it the installed data directory
// <prefix>/share/bricola/bootstrap is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/registro.h"

namespace bricola {

// File names and lengths of the images.
inline constexpr const char* kCaricatore90F549 = "mb90f549.bin";
inline constexpr std::size_t kLunghezza90F549 = 1732;  // 1534 + 198
inline constexpr const char* kCaricatore90F497 = "mb90f497.bin";
inline constexpr std::size_t kLunghezza90F497 = 1732;
inline constexpr const char* kCaricatore90F345 = "mb90f345.bin";  // also the chip-erase loader
inline constexpr std::size_t kLunghezza90F345 = 1757;
inline constexpr const char* kCaricatoreCheckMicro = "checkmicro.bin";
inline constexpr std::size_t kLunghezzaCheckMicro = 754;  // 198 + 556
inline constexpr const char* kCaricatore96F338 = "mb96f338.bin";
inline constexpr std::size_t kLunghezza96F338 = 1732;
inline constexpr const char* kCaricatore91F465 = "mb91f465-kernel.bin";
inline constexpr std::size_t kLunghezza91F465 = 12288;

// The directory the images are read from. An empty text restores the
// installed default. Safe to call from any thread.
void ImpostaCartellaCaricatori(std::string_view cartella);
std::string CartellaCaricatori();
// The installed data directory (<prefix>/share/bricola/bootstrap).
std::string CartellaCaricatoriPredefinita();
// The full path of an image in the directory now in use.
std::string PercorsoCaricatore(std::string_view nome);

// Reads image `nome`, which must be exactly `lunghezza` bytes long, into `dati`.
// 1 read; 0 with esito RC_FILE_OPEN (missing or unreadable) or RC_FILE_CORRUPT
// (another length), after a log line through `registro` (may be null) that
// names the file and the length found.
int LeggiCaricatore(std::string_view nome, std::size_t lunghezza, std::vector<std::uint8_t>* dati,
                    const CFileRegistro* registro, int* esito);

}  // namespace bricola
