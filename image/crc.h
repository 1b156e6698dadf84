// CRC-16 of modules and raw images: polynomial 0x8005, initial value 0, no
// final XOR, most significant bit first, each input byte XORed into the LOW
// 8 bits of the register. "abc" gives 0xA449.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bricola {

class CCrc {
 public:
  void Azzera() { registro = 0; }
  void Aggiorna(const std::uint8_t* dati, std::size_t n);
  std::uint16_t Valore() const { return registro; }

  // The whole computation at once.
  static std::uint16_t Calcola(const std::uint8_t* dati, std::size_t n);

 private:
  std::uint16_t registro = 0;
};

// The definition, one bit at a time: the reference the fast form is checked against.
std::uint16_t CrcBitPerBit(std::uint16_t registro, const std::uint8_t* dati, std::size_t n);

}  // namespace bricola
