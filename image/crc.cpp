#include "image/crc.h"

#include <array>

namespace bricola {

namespace {

constexpr std::uint16_t kPolinomio = 0x8005;

// Each byte is XORed into the low 8 bits and then 8 bits are shifted out at
// the top. The bits that leave during those 8 shifts are the register's high
// byte (feedback only reaches bit 15 after more than 8 shifts), so
//   r = registro ^ b;  registro = (r << 8) ^ T[r >> 8]
// where T[h] is the effect of shifting h << 8 eight times.
constexpr std::array<std::uint16_t, 256> CostruisciTabella() {
  std::array<std::uint16_t, 256> t{};
  for (unsigned h = 0; h < 256; ++h) {
    std::uint16_t r = static_cast<std::uint16_t>(h << 8);
    for (int i = 0; i < 8; ++i) {
      r = (r & 0x8000) ? static_cast<std::uint16_t>((r << 1) ^ kPolinomio)
                       : static_cast<std::uint16_t>(r << 1);
    }
    t[h] = r;
  }
  return t;
}

constexpr std::array<std::uint16_t, 256> kTabella = CostruisciTabella();

}  // namespace

std::uint16_t CrcBitPerBit(std::uint16_t registro, const std::uint8_t* dati, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    registro = static_cast<std::uint16_t>(registro ^ dati[i]);
    for (int b = 0; b < 8; ++b) {
      if (registro & 0x8000) {
        registro = static_cast<std::uint16_t>((registro << 1) ^ kPolinomio);
      } else {
        registro = static_cast<std::uint16_t>(registro << 1);
      }
    }
  }
  return registro;
}

void CCrc::Aggiorna(const std::uint8_t* dati, std::size_t n) {
  std::uint32_t r = registro;
  for (std::size_t i = 0; i < n; ++i) {
    r ^= dati[i];
    r = ((r << 8) & 0xFFFF) ^ kTabella[r >> 8];
  }
  registro = static_cast<std::uint16_t>(r);
}

std::uint16_t CCrc::Calcola(const std::uint8_t* dati, std::size_t n) {
  CCrc crc;
  crc.Aggiorna(dati, n);
  return crc.Valore();
}

}  // namespace bricola
