#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image/cifra.h"
#include "image/crc.h"

namespace bricola {
namespace {

std::uint16_t CrcDi(const std::string& s) {
  return CCrc::Calcola(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

TEST(Crc, CheckValuesOfTheDefinition) {
  EXPECT_EQ(CrcDi("abc"), 0xA449);
  EXPECT_EQ(CrcDi(std::string(1, '\x01')), 0x0100);
  EXPECT_EQ(CrcDi(""), 0x0000);
  // Not the usual CRC-16/BUYPASS (byte into the high bits) of the same polynomial.
  EXPECT_NE(CrcDi("123456789"), 0xFEE8);
  const std::uint8_t uno = 0x01;
  EXPECT_EQ(CrcBitPerBit(0, &uno, 1), 0x0100);
}

TEST(Crc, TableFormEqualsBitByBitOnRandomDataAndAnySplit) {
  std::mt19937 gen(1234);
  for (int prova = 0; prova < 200; ++prova) {
    std::vector<std::uint8_t> dati(gen() % 700);
    for (auto& b : dati) b = static_cast<std::uint8_t>(gen());
    const std::uint16_t riferimento = CrcBitPerBit(0, dati.data(), dati.size());
    ASSERT_EQ(CCrc::Calcola(dati.data(), dati.size()), riferimento);
    // Fed in two pieces it gives the same register.
    const std::size_t taglio = dati.empty() ? 0 : gen() % dati.size();
    CCrc crc;
    crc.Aggiorna(dati.data(), taglio);
    crc.Aggiorna(dati.data() + taglio, dati.size() - taglio);
    ASSERT_EQ(crc.Valore(), riferimento);
  }
}

TEST(Crc, AzzeraStartsOver) {
  CCrc crc;
  crc.Aggiorna(reinterpret_cast<const std::uint8_t*>("xyz"), 3);
  crc.Azzera();
  EXPECT_EQ(crc.Valore(), 0);
  crc.Aggiorna(reinterpret_cast<const std::uint8_t*>("abc"), 3);
  EXPECT_EQ(crc.Valore(), 0xA449);
}

TEST(Cifra, GeneratorIsStandardMt19937ForAnySeed) {
  for (std::uint32_t seme : {0u, 1u, 5489u, 0x5E3A1C72u ^ 10u, 0xFFFFFFFFu}) {
    std::mt19937 riferimento(seme);
    CCifra cifra(seme);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(cifra.Estrai(), riferimento()) << "seme " << seme << " i " << i;
  }
}

TEST(Cifra, EachOutputServesFourBytesLowByteFirstAndEveryCallStartsFresh) {
  const std::uint32_t seme = CCifra::Seme(6, CCifra::kChiaveDescrizione);
  std::mt19937 riferimento(seme);
  const std::uint32_t w1 = riferimento();
  const std::uint32_t w2 = riferimento();
  const std::uint32_t w3 = riferimento();

  std::uint8_t b[6] = {};
  CCifra cifra(seme);
  cifra.Applica(b, 6);  // two outputs
  for (int i = 0; i < 4; ++i) EXPECT_EQ(b[i], static_cast<std::uint8_t>(w1 >> (8 * i)));
  EXPECT_EQ(b[4], static_cast<std::uint8_t>(w2));
  EXPECT_EQ(b[5], static_cast<std::uint8_t>(w2 >> 8));
  // The next call does not use the rest of w2.
  std::uint8_t c = 0;
  cifra.Applica(&c, 1);
  EXPECT_EQ(c, static_cast<std::uint8_t>(w3));
}

TEST(Cifra, RoundTripAndPiecewiseEquality) {
  std::vector<std::uint8_t> originale(1000);
  for (std::size_t i = 0; i < originale.size(); ++i) originale[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const std::uint32_t seme = CCifra::Seme(1000, CCifra::kChiaveContenuto);

  std::vector<std::uint8_t> intero = originale;
  CCifra(seme).Applica(intero.data(), intero.size());
  EXPECT_NE(intero, originale);

  std::vector<std::uint8_t> pezzi = originale;
  CCifra cifra(seme);
  cifra.Applica(pezzi.data(), 512);
  cifra.Applica(pezzi.data() + 512, 488);
  EXPECT_EQ(pezzi, intero);

  CCifra(seme).Applica(intero.data(), intero.size());
  EXPECT_EQ(intero, originale);

  // Pieces that are not multiples of 4 differ: every call starts on a fresh output.
  std::vector<std::uint8_t> storti = originale;
  CCifra cifra2(seme);
  cifra2.Applica(storti.data(), 510);
  cifra2.Applica(storti.data() + 510, 490);
  CCifra(seme).Applica(storti.data(), storti.size());
  EXPECT_NE(storti, originale);
}

TEST(Cifra, KeysDifferPerUse) {
  std::uint8_t a[8] = {}, b[8] = {}, c[8] = {};
  ApplicaCifra(a, 8, CCifra::kChiaveDescrizione);
  ApplicaCifra(b, 8, CCifra::kChiaveNome);
  ApplicaCifra(c, 8, CCifra::kChiaveContenuto);
  EXPECT_NE(std::memcmp(a, b, 8), 0);
  EXPECT_NE(std::memcmp(b, c, 8), 0);
  std::mt19937 riferimento(8u ^ 0x6B19D4A3u);
  const std::uint32_t w = riferimento();
  EXPECT_EQ(b[0], static_cast<std::uint8_t>(w));
}

}  // namespace
}  // namespace bricola
