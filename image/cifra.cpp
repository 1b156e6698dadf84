#include "image/cifra.h"

namespace bricola {

namespace {
constexpr int kM = 397;
constexpr std::uint32_t kMatrice = 0x9908B0DF;
constexpr std::uint32_t kAlto = 0x80000000;
constexpr std::uint32_t kBasso = 0x7FFFFFFF;
}  // namespace

void CCifra::Inizializza(std::uint32_t seme) {
  stato[0] = seme;
  for (int i = 1; i < kN; ++i) {
    stato[i] = 1812433253u * (stato[i - 1] ^ (stato[i - 1] >> 30)) + static_cast<std::uint32_t>(i);
  }
  indice = kN;  // the first draw regenerates the whole state
}

void CCifra::Rigenera() {
  for (int i = 0; i < kN; ++i) {
    const std::uint32_t y = (stato[i] & kAlto) | (stato[(i + 1) % kN] & kBasso);
    stato[i] = stato[(i + kM) % kN] ^ (y >> 1) ^ ((y & 1u) ? kMatrice : 0u);
  }
  indice = 0;
}

std::uint32_t CCifra::Estrai() {
  if (indice >= kN) Rigenera();
  std::uint32_t y = stato[indice++];
  y ^= y >> 11;
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  y ^= y >> 18;
  return y;
}

void CCifra::Applica(std::uint8_t* buffer, std::size_t n) {
  std::uint32_t w = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 4 == 0) w = Estrai();
    buffer[i] = static_cast<std::uint8_t>(buffer[i] ^ (w & 0xFF));
    w >>= 8;
  }
}

void ApplicaCifra(std::uint8_t* buffer, std::size_t n, std::uint32_t chiave) {
  CCifra cifra(CCifra::Seme(static_cast<std::uint32_t>(n), chiave));
  cifra.Applica(buffer, n);
}

}  // namespace bricola
