#include "tests/support/caricatori.h"

#include <filesystem>
#include <fstream>

namespace bricola::prova {

const std::vector<SFileCaricatore>& FileCaricatori() {
  static const std::vector<SFileCaricatore> f = {
      {"mb90f549.bin", 1732}, {"mb90f497.bin", 1732}, {"mb90f345.bin", 1757},
      {"checkmicro.bin", 754}, {"mb96f338.bin", 1732}, {"mb91f465-kernel.bin", 12288}};
  return f;
}

std::vector<std::uint8_t> ContenutoCaricatore(const std::string& nome, std::size_t lunghezza,
                                              std::uint32_t seme) {
  // xorshift32 seeded by the seed and the name.
  std::uint32_t x = seme * 2654435761u + 0x9E3779B9u;
  for (char c : nome) x = (x ^ static_cast<std::uint8_t>(c)) * 16777619u;
  if (x == 0) x = 1;
  std::vector<std::uint8_t> b(lunghezza);
  for (auto& v : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = static_cast<std::uint8_t>(x >> 24);
  }
  return b;
}

bool ScriviCaricatori(const std::string& cartella, std::uint32_t seme) {
  std::error_code e;
  std::filesystem::create_directories(cartella, e);
  for (const auto& f : FileCaricatori()) {
    const auto b = ContenutoCaricatore(f.nome, f.lunghezza, seme);
    std::ofstream o(std::filesystem::path(cartella) / f.nome, std::ios::binary | std::ios::trunc);
    o.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!o) return false;
  }
  return true;
}

}  // namespace bricola::prova
