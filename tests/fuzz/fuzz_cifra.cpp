// libFuzzer target: the image cipher. The input is a seed (4 bytes), a key
// choice (1 byte), a split point (2 bytes) and the bytes to encipher. The
// keystream must be the standard MT19937 one (checked against the library's
// generator), four bytes per output, low byte first; enciphering twice gives
// the input back; an item enciphered in pieces of whole outputs is the same as
// in one piece.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "image/cifra.h"

#define Verifica(condizione)                                                          \
  do {                                                                                \
    if (!(condizione)) {                                                              \
      std::fprintf(stderr, "invariant broken: %s (line %d)\n", #condizione, __LINE__); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dati, std::size_t n) {
  using namespace bricola;
  if (n < 7) return 0;
  const std::uint32_t seme = static_cast<std::uint32_t>(dati[0]) | static_cast<std::uint32_t>(dati[1]) << 8 |
                             static_cast<std::uint32_t>(dati[2]) << 16 | static_cast<std::uint32_t>(dati[3]) << 24;
  static constexpr std::uint32_t kChiavi[] = {CCifra::kChiaveDescrizione, CCifra::kChiaveNome,
                                              CCifra::kChiaveContenuto, 0};
  const std::uint32_t chiave = kChiavi[dati[4] % 4];
  const std::size_t taglio = static_cast<std::size_t>(dati[5] | dati[6] << 8);
  const std::vector<std::uint8_t> chiaro(dati + 7, dati + n);
  const std::size_t m = chiaro.size();

  // The keystream of a generator seeded with `seme`.
  std::vector<std::uint8_t> cifrato = chiaro;
  CCifra cifra(seme);
  cifra.Applica(cifrato.data(), m);
  std::mt19937 riferimento(seme);
  std::uint32_t w = 0;
  for (std::size_t i = 0; i < m; ++i) {
    if (i % 4 == 0) w = static_cast<std::uint32_t>(riferimento());
    Verifica(cifrato[i] == static_cast<std::uint8_t>(chiaro[i] ^ (w & 0xFF)));
    w >>= 8;
  }
  // The generator goes on where the stream stopped.
  Verifica(cifra.Estrai() == static_cast<std::uint32_t>(riferimento()));

  // In pieces: a first piece of whole outputs, then the rest.
  std::vector<std::uint8_t> aPezzi = chiaro;
  const std::size_t primo = std::min(m, taglio & ~std::size_t{3});
  CCifra aPassi(seme);
  aPassi.Applica(aPezzi.data(), primo);
  aPassi.Applica(aPezzi.data() + primo, m - primo);
  Verifica(aPezzi == cifrato);

  // The one-shot helper seeds with the length XOR the key; twice is the identity.
  std::vector<std::uint8_t> item = chiaro;
  ApplicaCifra(item.data(), m, chiave);
  std::vector<std::uint8_t> atteso = chiaro;
  CCifra perItem(CCifra::Seme(static_cast<std::uint32_t>(m), chiave));
  perItem.Applica(atteso.data(), m);
  Verifica(item == atteso);
  ApplicaCifra(item.data(), m, chiave);
  Verifica(item == chiaro);
  return 0;
}
