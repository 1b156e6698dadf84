#include "image/crc.h"

#include <array>

namespace bricola {

namespace {

constexpr std::uint16_t kPolinomio = 0x8005;

// Each byte is XORed into the low 8 bits and then 8 bits are shifted out at
// the top. The bits that leave during those 8 shifts are the register's high
// byte (feedback only reaches bit 15 after more than 8 shifts), so one byte is
//   registro = ((basso ^ b) << 8) ^ T[alto]
// where T[h] is the effect of shifting h << 8 eight times. The byte itself
// lands unchanged in the high half, and everything is linear, so eight bytes
// at once are
//   Z8[alto] ^ Z7[basso ^ b0] ^ Z6[b1] ^ ... ^ Z1[b6] ^ (b7 << 8)
// with Zk[h] the register h << 8 after k bytes of zeros (Z1 = T).
using Tabella = std::array<std::uint16_t, 256>;

constexpr std::uint16_t PassoZero(std::uint16_t r, const Tabella& t) {
  return static_cast<std::uint16_t>(((r & 0xFF) << 8) ^ t[r >> 8]);
}

constexpr std::array<Tabella, 9> CostruisciTabelle() {
  std::array<Tabella, 9> z{};
  for (unsigned h = 0; h < 256; ++h) {
    std::uint16_t r = static_cast<std::uint16_t>(h << 8);
    for (int i = 0; i < 8; ++i) {
      r = (r & 0x8000) ? static_cast<std::uint16_t>((r << 1) ^ kPolinomio) : static_cast<std::uint16_t>(r << 1);
    }
    z[1][h] = r;
    z[0][h] = static_cast<std::uint16_t>(h << 8);
  }
  for (int k = 2; k <= 8; ++k) {
    for (unsigned h = 0; h < 256; ++h) z[k][h] = PassoZero(z[k - 1][h], z[1]);
  }
  return z;
}

constexpr std::array<Tabella, 9> kZ = CostruisciTabelle();

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
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint8_t* b = dati + i;
    r = kZ[8][r >> 8] ^ kZ[7][(r & 0xFF) ^ b[0]] ^ kZ[6][b[1]] ^ kZ[5][b[2]] ^ kZ[4][b[3]] ^ kZ[3][b[4]] ^
        kZ[2][b[5]] ^ kZ[1][b[6]] ^ (static_cast<std::uint32_t>(b[7]) << 8);
  }
  for (; i < n; ++i) r = ((((r & 0xFF) ^ dati[i]) << 8) ^ kZ[1][r >> 8]) & 0xFFFF;
  registro = static_cast<std::uint16_t>(r);
}

std::uint16_t CCrc::Calcola(const std::uint8_t* dati, std::size_t n) {
  CCrc crc;
  crc.Aggiorna(dati, n);
  return crc.Valore();
}

}  // namespace bricola
