// RAM-loader image files for tests: every image the ROM-bootstrap loaders
// read, with its name and length, filled with a pattern from a seed (tests
// never ship target code).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bricola::prova {

struct SFileCaricatore {
  const char* nome;
  std::size_t lunghezza;
};
// The six images: mb90f549.bin, mb90f497.bin, mb90f345.bin, checkmicro.bin,
// mb96f338.bin, mb91f465-kernel.bin.
const std::vector<SFileCaricatore>& FileCaricatori();
// The content of one image from a seed (the same seed and name give the same bytes).
std::vector<std::uint8_t> ContenutoCaricatore(const std::string& nome, std::size_t lunghezza,
                                              std::uint32_t seme);
// Writes all six into cartella (created if missing). false on a write error.
bool ScriviCaricatori(const std::string& cartella, std::uint32_t seme = 1);

}  // namespace bricola::prova
