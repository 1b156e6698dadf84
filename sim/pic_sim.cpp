#include "sim/pic_sim.h"

#include <algorithm>
#include <cstring>

namespace bricola::sim {

const std::uint8_t CPicSim::NON_IMPLEMENTATI[16] = {0xFF, 0xD8, 0xF0, 0xF0, 0xFF, 0xFE, 0x85, 0xFF,
                                                    0xF0, 0x3F, 0xF0, 0x1F, 0xF0, 0xBF, 0xFF, 0xFF};

CPicSim::CPicSim(const ConfigPic& c)
    : guasti_(c.guasti), flash_(FLASH_FINE, 0xFF), config_(16), dati_(DATI_LUNGHEZZA, 0xFF) {
  for (int i = 0; i < 16; ++i) config_[i] = static_cast<std::uint8_t>(~NON_IMPLEMENTATI[i]);
  for (const auto& [indirizzo, byte] : c.contenuto) {
    for (std::size_t i = 0; i < byte.size(); ++i) {
      const std::uint64_t a = std::uint64_t{indirizzo} + i;
      if (a < FLASH_FINE) flash_[a] = byte[i];
      else if (a >= CONFIG && a < CONFIG + 16) config_[a - CONFIG] = static_cast<std::uint8_t>(byte[i] & ~NON_IMPLEMENTATI[a - CONFIG]);
    }
  }
  dati_[0xFC] = static_cast<std::uint8_t>(c.codice);
  dati_[0xFD] = static_cast<std::uint8_t>(c.codice >> 8);
  dati_[0xFF] = c.firma;
}

std::uint32_t CPicSim::Leggi(std::uint32_t a, std::uint32_t n, std::uint8_t* d) const {
  const std::uint64_t fine = std::uint64_t{a} + n;
  if (fine <= FLASH_FINE) std::memcpy(d, flash_.data() + a, n);
  else if (a >= CONFIG && fine <= CONFIG + 16) std::memcpy(d, config_.data() + (a - CONFIG), n);
  else if (a >= DATI && fine <= DATI + DATI_LUNGHEZZA) std::memcpy(d, dati_.data() + (a - DATI), n);
  else return stato::PIC_INDIRIZZO;
  return stato::OK;
}

std::uint32_t CPicSim::Scrivi(std::uint32_t a, const std::uint8_t* d, std::uint32_t n) {
  const std::uint64_t fine = std::uint64_t{a} + n;
  for (std::uint64_t x = a; x < fine; ++x) {
    if (guasti_.scritturaFallita.Contiene(static_cast<std::uint32_t>(x))) return stato::PIC_SCRITTURA;
  }
  auto errato = [&](std::uint64_t x) -> std::uint8_t {
    const auto it = guasti_.bitErrati.find(static_cast<std::uint32_t>(x));
    return it == guasti_.bitErrati.end() ? 0 : it->second;
  };
  if (fine <= FLASH_FINE) {
    // Programming only clears bits; setting one back takes an erase.
    for (std::uint32_t i = 0; i < n; ++i) {
      std::uint8_t& b = flash_[a + i];
      if ((b & d[i]) != d[i]) ++suNonCancellato_;
      b = static_cast<std::uint8_t>((b & d[i]) ^ errato(a + i));
    }
  } else if (a >= CONFIG && fine <= CONFIG + 16) {
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::uint32_t k = a - CONFIG + i;
      config_[k] = static_cast<std::uint8_t>((d[i] & ~NON_IMPLEMENTATI[k]) ^ errato(a + i));
    }
  } else if (a >= DATI && fine <= DATI + DATI_LUNGHEZZA) {
    for (std::uint32_t i = 0; i < n; ++i) dati_[a - DATI + i] = static_cast<std::uint8_t>(d[i] ^ errato(a + i));
  } else {
    return stato::PIC_INDIRIZZO;
  }
  return stato::OK;
}

std::uint32_t CPicSim::Comando(std::uint32_t v) {
  const bool riga = v < FLASH_FINE && v % RIGA == 0;
  if (!riga && v != CONFIG) return stato::PIC_COMANDO;
  if (guasti_.cancellazioneFallita.Contiene(v)) return stato::PIC_CANCELLAZIONE;
  if (riga) std::fill_n(flash_.begin() + v, RIGA, 0xFF);
  else
    for (int i = 0; i < 16; ++i) config_[i] = static_cast<std::uint8_t>(~NON_IMPLEMENTATI[i]);
  cancellazioni_.push_back(v);
  return stato::OK;
}

}  // namespace bricola::sim
