#include "sim/flash_sim.h"

#include <array>
#include <bit>

namespace bricola::sim {

namespace {

struct VoceSerie {
  const char* nome;
  std::vector<SerieSettori> serie;
};

const std::vector<VoceSerie>& TabellaSerie() {
  static const std::vector<VoceSerie> tabella = {
      {"F256", {{0x10000, 3}, {0x8000, 1}, {0x2000, 2}, {0x4000, 1}}},
      {"F512", {{0x10000, 3}, {0x8000, 1}, {0x2000, 2}, {0x4000, 1}, {0x10000, 3}, {0x8000, 1}, {0x2000, 2}, {0x4000, 1}}},
      {"F64", {{0x8000, 1}, {0x2000, 2}, {0x4000, 1}}},
      {"F64x8", {{0x10000, 8}}},
      {"F128x4", {{0x20000, 4}}},
      {"E64x16", {{0x10000, 16}}},
      {"ETop", {{0x10000, -1}, {0x8000, 1}, {0x2000, 1}, {0x2000, 1}, {0x4000, 1}}},
      {"EBottom", {{0x4000, 1}, {0x2000, 1}, {0x2000, 1}, {0x8000, 1}, {0x10000, -1}}},
      {"P64", {{0x40, 512}}},
      {"P16", {{0x10, 1}}},
  };
  return tabella;
}

// CFI query table of a chip, indexed by CFI word address.
std::vector<std::uint8_t> TabellaCfi(const ChipEsterno& c) {
  std::vector<std::uint8_t> t(0x60, 0xFF);
  t[0x10] = 'Q';
  t[0x11] = 'R';
  t[0x12] = 'Y';
  t[0x13] = static_cast<std::uint8_t>(c.setComandi & 0xFF);
  t[0x14] = static_cast<std::uint8_t>(c.setComandi >> 8);
  t[0x15] = 0x40;  // extended (primary vendor) table at word 0x40
  t[0x16] = 0x00;
  t[0x17] = t[0x18] = t[0x19] = t[0x1A] = 0x00;
  // Voltages and typical/maximum timeouts of a 3 V part.
  const std::array<std::uint8_t, 12> tempi = {0x27, 0x36, 0x00, 0x00, 0x04, 0x00, 0x0A, 0x00, 0x05, 0x00, 0x04, 0x00};
  for (std::size_t i = 0; i < tempi.size(); ++i) t[0x1B + i] = tempi[i];
  t[0x27] = static_cast<std::uint8_t>(std::countr_zero(c.dimensione ? c.dimensione : 1u));
  t[0x28] = 0x02;  // x8/x16 interface
  t[0x29] = 0x00;
  t[0x2A] = t[0x2B] = 0x00;
  t[0x2C] = 0x02;  // two erase block regions
  t[0x40] = 'P';
  t[0x41] = 'R';
  t[0x42] = 'I';
  t[0x43] = '1';
  t[0x44] = '1';
  for (int i = 0x45; i < 0x4F; ++i) t[static_cast<std::size_t>(i)] = 0x00;
  t[0x4F] = c.infoPri;
  return t;
}

}  // namespace

bool SerieDaNome(const std::string& nome, std::vector<SerieSettori>& serie) {
  for (const auto& v : TabellaSerie()) {
    if (nome == v.nome) {
      serie = v.serie;
      return true;
    }
  }
  return false;
}

bool CFlashSim::Interseca(std::pair<std::uint32_t, std::uint32_t> area, std::uint32_t inizio, std::uint64_t fine) {
  return area.first < area.second && inizio < area.second && fine > area.first;
}

bool CFlashSim::Sovrappone(std::uint32_t inizio, std::uint64_t fine) const {
  for (const auto& [a, s] : settori_) {
    if (a < fine && s.Fine() > inizio) return true;
  }
  return false;
}

bool CFlashSim::AggiungiRegione(std::uint32_t inizio, std::uint32_t dimensione, const std::vector<SerieSettori>& serie,
                                bool sovrascrivibile) {
  // Sectors of the run with repeat -1 take what the fixed runs leave.
  std::uint64_t fissi = 0;
  for (const auto& s : serie) {
    if (s.dimensione == 0) return false;
    if (s.numero > 0) fissi += static_cast<std::uint64_t>(s.dimensione) * static_cast<std::uint64_t>(s.numero);
  }
  if (fissi > dimensione) return false;
  const std::uint64_t fine = static_cast<std::uint64_t>(inizio) + dimensione;
  if (fine > 0x100000000ULL || Sovrappone(inizio, fine)) return false;
  std::uint64_t cursore = inizio;
  for (const auto& s : serie) {
    std::uint64_t numero = s.numero >= 0 ? static_cast<std::uint64_t>(s.numero) : (dimensione - fissi) / s.dimensione;
    for (std::uint64_t i = 0; i < numero; ++i) {
      if (cursore + s.dimensione > fine) return false;
      Settore st;
      st.inizio = static_cast<std::uint32_t>(cursore);
      st.dimensione = s.dimensione;
      st.sovrascrivibile = sovrascrivibile;
      settori_[st.inizio] = st;
      cursore += s.dimensione;
    }
  }
  return true;
}

bool CFlashSim::AggiungiChip(const ChipEsterno& chip, const std::vector<SerieSettori>& serie) {
  if (!AggiungiRegione(chip.base, chip.dimensione, serie)) return false;
  chip_.push_back(chip);
  return true;
}

bool CFlashSim::CaricaPreset(const std::string& nome) {
  struct Preset {
    const char* nome;
    std::uint32_t inizio, dimensione;
    const char* serie;
  };
  static const std::array<Preset, 5> interni = {{
      {"M256", 0xFC0000, 0x40000, "F256"},
      {"M64", 0xFF0000, 0x10000, "F64"},
      {"M512", 0xF80000, 0x80000, "F512"},
      {"M512x", 0xF80000, 0x80000, "F64x8"},
      {"M512r", 0x80000, 0x80000, "F128x4"},
  }};
  std::vector<SerieSettori> serie;
  for (const auto& p : interni) {
    if (nome != p.nome) continue;
    SerieDaNome(p.serie, serie);
    if (!AggiungiRegione(p.inizio, p.dimensione, serie)) return false;
    // The boot lives in the top sector of the microcontroller's flash.
    const Settore* alto = TrovaSettore(p.inizio + p.dimensione - 1);
    ImpostaAreaBoot(alto->inizio, alto->Fine());
    Proteggi(alto->inizio);
    return true;
  }
  if (nome == "M465") {
    // MB91F465: the application flash the resident boot writes, and the
    // small sectors of the boot flash; the boot itself is in the two upper ones.
    SerieDaNome("F128x4", serie);
    if (!AggiungiRegione(0x80000, 0x80000, serie)) return false;
    if (!AggiungiRegione(0x140000, 0x10000, {{0x2000, 4}, {0x4000, 2}})) return false;
    ImpostaAreaBoot(0x148000, 0x150000);
    return true;
  }
  if (nome == "MPIC") {
    SerieDaNome("P64", serie);
    if (!AggiungiRegione(0x0, 0x8000, serie)) return false;
    SerieDaNome("P16", serie);
    return AggiungiRegione(0x300000, 0x10, serie, true);
  }
  return false;
}

bool CFlashSim::Proteggi(std::uint32_t indirizzo) {
  auto it = settori_.upper_bound(indirizzo);
  if (it == settori_.begin()) return false;
  --it;
  if (indirizzo >= it->second.Fine()) return false;
  it->second.protetto = true;
  return true;
}

const Settore* CFlashSim::TrovaSettore(std::uint32_t indirizzo) const {
  auto it = settori_.upper_bound(indirizzo);
  if (it == settori_.begin()) return nullptr;
  --it;
  return indirizzo < it->second.Fine() ? &it->second : nullptr;
}

const ChipEsterno* CFlashSim::TrovaChip(std::uint32_t base) const {
  for (const auto& c : chip_) {
    if (c.base == base) return &c;
  }
  return nullptr;
}

CFlashSim::Contenuto& CFlashSim::Dati(const Settore& s) {
  auto& c = contenuto_[s.inizio];
  if (c.byte.empty()) {
    c.byte.assign(s.dimensione, 0xFF);
    c.scritto.assign(s.dimensione, false);
  }
  return c;
}

std::uint8_t CFlashSim::Leggi(std::uint32_t indirizzo) const {
  const Settore* s = TrovaSettore(indirizzo);
  if (!s) return 0xFF;
  auto it = contenuto_.find(s->inizio);
  if (it == contenuto_.end()) return 0xFF;
  return it->second.byte[indirizzo - s->inizio];
}

bool CFlashSim::Vuoto(std::uint32_t primo, std::uint64_t fine) const {
  for (std::uint64_t a = primo; a < fine;) {
    const Settore* s = TrovaSettore(static_cast<std::uint32_t>(a));
    if (!s) return false;
    const std::uint64_t fineQui = std::min<std::uint64_t>(fine, s->Fine());
    auto it = contenuto_.find(s->inizio);
    if (it != contenuto_.end()) {
      for (std::uint64_t b = a; b < fineQui; ++b) {
        if (it->second.byte[b - s->inizio] != 0xFF) return false;
      }
    }
    a = fineQui;
  }
  return true;
}

EsitoFlash CFlashSim::Cancella(std::uint32_t indirizzo) {
  const Settore* s = TrovaSettore(indirizzo);
  if (!s) return EsitoFlash::FuoriMappa;
  if (s->protetto || Interseca(areaBoot_, s->inizio, s->Fine())) return EsitoFlash::Protetto;
  auto it = contenuto_.find(s->inizio);
  if (it != contenuto_.end()) it->second.byte.assign(s->dimensione, 0xFF);
  cancellati_.push_back(s->inizio);
  return EsitoFlash::Ok;
}

EsitoFlash CFlashSim::CancellaDiretto(std::uint32_t indirizzo) {
  const Settore* s = TrovaSettore(indirizzo);
  if (!s) return EsitoFlash::FuoriMappa;
  auto it = contenuto_.find(s->inizio);
  if (it != contenuto_.end()) it->second.byte.assign(s->dimensione, 0xFF);
  cancellati_.push_back(s->inizio);
  return EsitoFlash::Ok;
}

void CFlashSim::CancellaTutto() {
  for (const auto& [inizio, s] : settori_) CancellaDiretto(inizio);
}

EsitoFlash CFlashSim::Scrivi(std::uint32_t indirizzo, const std::uint8_t* dati, std::size_t n) {
  const std::uint64_t fine = static_cast<std::uint64_t>(indirizzo) + n;
  if (n % allineamento_ != 0) return EsitoFlash::Disallineato;
  if (Interseca(areaBoot_, indirizzo, fine)) return EsitoFlash::AreaBoot;
  return ScriviDiretto(indirizzo, dati, n);
}

EsitoFlash CFlashSim::ScriviDiretto(std::uint32_t indirizzo, const std::uint8_t* dati, std::size_t n) {
  const std::uint64_t fine = static_cast<std::uint64_t>(indirizzo) + n;
  for (std::uint64_t a = indirizzo; a < fine;) {
    const Settore* s = TrovaSettore(static_cast<std::uint32_t>(a));
    if (!s) return EsitoFlash::FuoriMappa;
    a = s->Fine();
  }
  bool bitNonAzzerabili = false;
  for (std::size_t i = 0; i < n; ++i) {
    const auto a = static_cast<std::uint32_t>(indirizzo + i);
    const Settore* s = TrovaSettore(a);
    Contenuto& c = Dati(*s);
    const std::size_t k = a - s->inizio;
    const std::uint8_t nuovo = s->sovrascrivibile ? dati[i] : static_cast<std::uint8_t>(c.byte[k] & dati[i]);
    if (nuovo != dati[i]) bitNonAzzerabili = true;
    c.byte[k] = nuovo;
    c.scritto[k] = true;
  }
  if (bitNonAzzerabili) return EsitoFlash::BitNonAzzerabili;
  if (Interseca(areaVettori_, indirizzo, fine)) return EsitoFlash::AreaVettori;
  return EsitoFlash::Ok;
}

bool CFlashSim::Carica(std::uint32_t indirizzo, const std::uint8_t* dati, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const auto a = static_cast<std::uint32_t>(indirizzo + i);
    const Settore* s = TrovaSettore(a);
    if (!s) return false;
    Dati(*s).byte[a - s->inizio] = dati[i];
  }
  return true;
}

std::vector<std::uint8_t> CFlashSim::DatiIdentificazione(std::uint32_t base, std::uint16_t offset,
                                                         std::uint8_t conteggio) const {
  std::vector<std::uint8_t> r(conteggio, 0xFF);
  const ChipEsterno* c = TrovaChip(base);
  if (!c) return r;
  if (c->tipo == TipoChip::Atm) {
    const std::array<std::uint8_t, 5> id = {'A', 'T', 'M', c->produttore, c->dispositivo};
    for (std::size_t i = 0; i < r.size() && i < id.size(); ++i) r[i] = id[i];
    return r;
  }
  // The boot reads the chip in 16-bit mode and returns one byte per CFI word:
  // byte offset 32 is CFI word 0x10, where "QRY" starts.
  const auto tabella = TabellaCfi(*c);
  for (std::size_t i = 0; i < r.size(); ++i) {
    const std::size_t w = offset / 2 + i;
    if (w < tabella.size()) r[i] = tabella[w];
  }
  return r;
}

std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> CFlashSim::IntervalliScritti() const {
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> r;
  std::uint64_t prossimo = 0;  // address right after the last byte appended
  for (const auto& [inizio, c] : contenuto_) {
    for (std::size_t k = 0; k < c.byte.size(); ++k) {
      if (!c.scritto[k]) continue;
      const std::uint64_t a = inizio + k;
      if (r.empty() || a != prossimo) r.emplace_back(static_cast<std::uint32_t>(a), std::vector<std::uint8_t>{});
      r.back().second.push_back(c.byte[k]);
      prossimo = a + 1;
    }
  }
  return r;
}

std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> CFlashSim::IntervalliNonVuoti() const {
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> r;
  std::uint64_t prossimo = 0;
  for (const auto& [inizio, c] : contenuto_) {
    for (std::size_t k = 0; k < c.byte.size(); ++k) {
      if (c.byte[k] == 0xFF) continue;
      const std::uint64_t a = inizio + k;
      if (r.empty() || a != prossimo) r.emplace_back(static_cast<std::uint32_t>(a), std::vector<std::uint8_t>{});
      r.back().second.push_back(c.byte[k]);
      prossimo = a + 1;
    }
  }
  return r;
}

}  // namespace bricola::sim
