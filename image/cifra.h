// Keystream cipher of description texts, packed entry names and packed file
// contents: an MT19937 generator seeded with (item length XOR key constant),
// each output serving four bytes, low byte first. Enciphering and deciphering
// are the same operation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bricola {

class CCifra {
 public:
  // Key constants, one per use.
  static constexpr std::uint32_t kChiaveDescrizione = 0x5E3A1C72;  // module description text
  static constexpr std::uint32_t kChiaveNome = 0x6B19D4A3;         // packed entry name
  static constexpr std::uint32_t kChiaveContenuto = 0x0C4F8E21;    // packed file content

  CCifra() { Inizializza(0); }
  explicit CCifra(std::uint32_t seme) { Inizializza(seme); }

  void Inizializza(std::uint32_t seme);
  // XORs the next keystream bytes over n bytes. Every call starts on a fresh
  // output, so a call consumes ceil(n / 4) outputs.
  void Applica(std::uint8_t* buffer, std::size_t n);
  // The next raw 32-bit output of the generator.
  std::uint32_t Estrai();

  // Seed for an item: its length in bytes XOR the key constant of its use.
  static std::uint32_t Seme(std::uint32_t lunghezza, std::uint32_t chiave) { return lunghezza ^ chiave; }

 private:
  static constexpr int kN = 624;
  void Rigenera();

  std::uint32_t stato[kN] = {};
  int indice = kN;
};

// One-shot helper: enciphers (or deciphers) a whole item with a fresh generator.
void ApplicaCifra(std::uint8_t* buffer, std::size_t n, std::uint32_t chiave);

}  // namespace bricola
