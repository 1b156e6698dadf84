#include "key/memox.h"

#include <algorithm>
#include <limits>

namespace bricola {

namespace {
constexpr std::size_t kMaxPagina = 2048;  // largest page the directory code handles
}

CMemox::CMemox() {
  for (auto& v : directory) v.fill(0xFF);
}

std::uint16_t CMemox::DimensionePaginaChiave() const {
  return dispositivo ? dispositivo->DimensionePagina() : 0;
}

int CMemox::VociPerPagina() const {
  // Two directory pages must fit the in-memory directory.
  return std::min<int>(DimensionePaginaChiave() / kByteVoce, kMaxVoci / 2);
}

int CMemox::LeggiDirectory() {
  const int e = VociPerPagina();
  if (!dispositivo || e <= 0) return 0;
  std::uint8_t pagina[kMaxPagina];
  const auto n = static_cast<std::uint16_t>(e * kByteVoce);
  if (!dispositivo->LeggiPagina(0, 0, pagina, n)) return 0;
  for (int i = 0; i < e; ++i) {
    std::copy_n(pagina + i * kByteVoce, kByteVoce, directory[static_cast<std::size_t>(i)].begin());
  }
  return 1;
}

int CMemox::CaricaContinuazione(int voce) {
  const int e = VociPerPagina();
  if (!dispositivo || e <= 0 || !Collegamento(voce)) return 0;
  std::uint8_t pagina[kMaxPagina];
  const auto n = static_cast<std::uint16_t>(e * kByteVoce);
  if (!dispositivo->LeggiPagina(PrimaPagina(voce), 0, pagina, n)) return 0;
  for (int i = 0; i < e; ++i) {
    std::copy_n(pagina + i * kByteVoce, kByteVoce, directory[static_cast<std::size_t>(e + i)].begin());
  }
  return 1;
}

int CMemox::ScriviDirectory() {
  const int e = VociPerPagina();
  if (!dispositivo || e <= 0) return 0;
  std::uint8_t pagina[kMaxPagina];
  const auto n = static_cast<std::uint16_t>(e * kByteVoce);
  for (int i = 0; i < e; ++i) {
    std::copy_n(directory[static_cast<std::size_t>(i)].begin(), kByteVoce, pagina + i * kByteVoce);
  }
  if (!dispositivo->ScriviPagina(0, 0, pagina, n)) return 0;
  for (int i = 0; i < e; ++i) {
    if (!Collegamento(i)) continue;
    for (int j = 0; j < e; ++j) {
      std::copy_n(directory[static_cast<std::size_t>(e + j)].begin(), kByteVoce, pagina + j * kByteVoce);
    }
    return dispositivo->ScriviPagina(PrimaPagina(i), 0, pagina, n);
  }
  return 1;
}

int CMemox::CancellaContinuazione(int voce) {
  if (!dispositivo || !Collegamento(voce)) return 0;
  return dispositivo->CancellaPagina(PrimaPagina(voce));
}

int CMemox::CreaVoce(int voce, std::uint16_t primaPagina, std::uint8_t nibbleBasso, std::uint8_t nibbleAlto,
                     std::uint32_t lunghezza) {
  if (!dispositivo || !Valida(voce)) return 0;
  const std::uint32_t n = dispositivo->NumeroPagine();
  const std::uint64_t p = DimensionePaginaChiave();
  if (primaPagina >= n) return 0;
  if (p * (n - primaPagina) < lunghezza) return 0;
  std::uint8_t dati[kByteVoce];
  ScriviU16(dati, kMarcatore);
  ScriviU16(dati + 2, primaPagina);
  dati[4] = static_cast<std::uint8_t>(((nibbleAlto & 0xF) << 4) | (nibbleBasso & 0xF));
  Scrivi24(dati + 5, lunghezza);
  return RegistraVoce(voce, dati);
}

int CMemox::RegistraVoce(int voce, const std::uint8_t* dati) {
  if (!dispositivo || !Valida(voce)) return 0;
  std::copy_n(dati, kByteVoce, directory[static_cast<std::size_t>(voce)].begin());
  const int e = VociPerPagina();
  if (e <= 0) return 0;
  std::uint16_t pagina = 0;
  if (!PaginaDellaVoce(voce, &pagina)) return 0;
  std::uint8_t buffer[kMaxPagina];
  const std::uint16_t p = DimensionePaginaChiave();
  if (!dispositivo->LeggiIntervallo(pagina, 0, buffer, p)) return 0;
  std::copy_n(dati, kByteVoce, buffer + (voce % e) * kByteVoce);
  return dispositivo->ScriviPagina(pagina, 0, buffer, p);
}

int CMemox::PaginaDellaVoce(int voce, std::uint16_t* pagina) {
  const int e = VociPerPagina();
  if (!dispositivo || e <= 0 || voce < 0) return 0;
  std::uint8_t buffer[kMaxPagina];
  const auto n = static_cast<std::uint16_t>(e * kByteVoce);
  // Each page on the way leads to the next by its first link; a key whose
  // links loop cannot hold the entry.
  for (int giri = 0; voce >= e; ++giri) {
    if (giri > kMaxVoci) return 0;
    if (!dispositivo->LeggiIntervallo(*pagina, 0, buffer, n)) return 0;
    int trovata = -1;
    for (int i = 0; i < e && trovata < 0; ++i) {
      const std::uint8_t* v = buffer + i * kByteVoce;
      if (LeggiU16(v) == kMarcatore && (v[4] & 0xF) == kNibbleCollegamento) trovata = i;
    }
    if (trovata < 0) return 0;
    *pagina = LeggiU16(buffer + trovata * kByteVoce + 2);
    voce -= e;
  }
  return 1;
}

int CMemox::SvuotaChiave() {
  if (!dispositivo) return 0;
  return dispositivo->CancellaPagina(0);
}

bool CMemox::InUso(int voce) const {
  return Valida(voce) && LeggiU16(Voce(voce)) == kMarcatore;
}

bool CMemox::Collegamento(int voce) const {
  return InUso(voce) && (Voce(voce)[4] & 0xF) == kNibbleCollegamento;
}

std::uint32_t CMemox::LunghezzaFile(int voce) const {
  if (!InUso(voce)) return 0;
  const std::uint8_t* v = Voce(voce);
  return static_cast<std::uint32_t>(v[5]) | (static_cast<std::uint32_t>(v[6]) << 8) |
         (static_cast<std::uint32_t>(v[7]) << 16);
}

std::uint16_t CMemox::PrimaPagina(int voce) const { return InUso(voce) ? LeggiU16(Voce(voce) + 2) : 0xFFFF; }

std::uint8_t CMemox::NibbleBasso(int voce) const { return InUso(voce) ? (Voce(voce)[4] & 0xF) : 0; }

std::uint8_t CMemox::NibbleAlto(int voce) const { return InUso(voce) ? (Voce(voce)[4] >> 4) : 0; }

std::uint32_t CMemox::PaginaDopo(int voce, std::uint32_t pagina) const {
  const std::uint32_t p = DimensionePaginaChiave();
  if (p == 0) return pagina;
  return pagina + (LunghezzaFile(voce) + p - 1) / p;
}

std::uint32_t CMemox::LeggiFile(int voce, std::uint32_t posizione, std::uint8_t* buffer, std::uint32_t n) {
  const std::uint32_t lunghezza = LunghezzaFile(voce);
  const std::uint32_t p = DimensionePaginaChiave();
  if (!dispositivo || p == 0 || !InUso(voce) || posizione >= lunghezza) return 0;
  const std::uint32_t totale = std::min(n, lunghezza - posizione);
  std::uint32_t pagina = PrimaPagina(voce) + posizione / p;
  std::uint32_t offset = posizione % p;
  std::uint32_t fatti = 0;
  while (fatti < totale) {
    const std::uint32_t pezzo = std::min(totale - fatti, p - offset);
    if (pagina > std::numeric_limits<std::uint16_t>::max()) break;
    if (!dispositivo->LeggiIntervallo(static_cast<std::uint16_t>(pagina), static_cast<std::uint16_t>(offset),
                                      buffer + fatti, static_cast<std::uint16_t>(pezzo))) {
      break;
    }
    fatti += pezzo;
    ++pagina;
    offset = 0;
  }
  return fatti;
}

int CMemox::ContaFile(int primaVoce, int* pagineDirectory) {
  const int e = VociPerPagina();
  if (pagineDirectory) ++*pagineDirectory;
  int conteggio = 0;
  for (int i = primaVoce; i < primaVoce + e; ++i) {
    if (!InUso(i)) continue;
    if (Collegamento(i)) {
      // Only page 0 links to a continuation page; a link found further on
      // leads nowhere the directory can hold.
      if (primaVoce == 0 && CaricaContinuazione(i)) conteggio += ContaFile(primaVoce + e, pagineDirectory);
    } else {
      ++conteggio;
    }
  }
  return conteggio;
}

int CMemox::TrovaSpazio(int* voce, std::uint16_t* pagina) {
  const int e = VociPerPagina();
  if (!dispositivo || e < 2) return 0;
  std::uint32_t prossima = 1;
  int i = 0;
  while (i < e - 1 && InUso(i)) {
    prossima = PaginaDopo(i, prossima);
    ++i;
  }
  if (i < e - 1) {
    if (prossima > std::numeric_limits<std::uint16_t>::max()) return 0;
    *voce = i;
    *pagina = static_cast<std::uint16_t>(prossima);
    return 1;
  }
  // Page 0 is full: its last entry links to the continuation page, which
  // takes the next page and starts erased.
  const int link = e - 1;
  if (!InUso(link)) {
    if (prossima > std::numeric_limits<std::uint16_t>::max()) return 0;
    if (!CreaVoce(link, static_cast<std::uint16_t>(prossima), kNibbleCollegamento, 0,
                  DimensionePaginaChiave())) {
      return 0;
    }
    if (!CancellaContinuazione(link)) return 0;
  } else if (!Collegamento(link)) {
    return 0;
  }
  prossima += 1;
  if (!CaricaContinuazione(link)) return 0;
  i = e;
  while (i < 2 * e && InUso(i)) {
    prossima = PaginaDopo(i, prossima);
    ++i;
  }
  if (i >= 2 * e || prossima > std::numeric_limits<std::uint16_t>::max()) return 0;
  *voce = i;
  *pagina = static_cast<std::uint16_t>(prossima);
  return 1;
}

std::uint8_t CodiceLoad(int tipoLoad) {
  if (tipoLoad == 0) return 3;
  if (tipoLoad == 3 || tipoLoad < 0 || tipoLoad > 13) return 0;
  return static_cast<std::uint8_t>(tipoLoad);
}

std::uint8_t ClasseVoce(int tipoModulo) {
  return (tipoModulo >= 0 && tipoModulo <= 7) ? static_cast<std::uint8_t>(tipoModulo) : CMemox::kClasseAltro;
}

bool CapienzaSufficiente(const std::vector<std::uint32_t>& lunghezze, std::uint32_t dimensionePagina,
                         std::uint32_t numeroPagine, int vociPerPagina) {
  if (dimensionePagina == 0 || vociPerPagina <= 0) return false;
  const std::size_t numero = lunghezze.size();
  if (numero > static_cast<std::size_t>(2 * vociPerPagina - 1)) return false;
  std::uint64_t pagine = 1;
  for (const std::uint32_t l : lunghezze) pagine += (static_cast<std::uint64_t>(l) + dimensionePagina - 1) / dimensionePagina;
  if (numero > static_cast<std::size_t>(vociPerPagina - 1)) pagine += 1;
  return numeroPagine >= pagine;
}

// --- CFileMemox -------------------------------------------------------------------

int CFileMemox::Indice(const std::string& percorso) {
  if (percorso.empty() || percorso.size() > 9) return -1;
  int v = 0;
  for (const char c : percorso) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

int CFileMemox::Esiste(const std::string& percorso) {
  const int i = Indice(percorso);
  return (memox && i >= 0 && memox->InUso(i)) ? 1 : 0;
}

int CFileMemox::ApriLettura(const std::string& percorso) {
  if (!Esiste(percorso)) return 0;
  voce = Indice(percorso);
  posizione = 0;
  return 1;
}

std::uint32_t CFileMemox::Dimensione() { return memox ? memox->LunghezzaFile(voce) : 0; }

int CFileMemox::Riavvolgi() {
  posizione = 0;
  return 1;
}

int CFileMemox::Posiziona(std::uint32_t p) {
  posizione = p;
  return 1;
}

int CFileMemox::Sposta(std::int32_t delta) {
  posizione = static_cast<std::uint32_t>(static_cast<std::int64_t>(posizione) + delta);
  return 1;
}

int CFileMemox::PosizionaDaFine(std::int32_t delta) {
  const std::int64_t p = static_cast<std::int64_t>(Dimensione()) + delta;
  if (p < 0 || p > static_cast<std::int64_t>(Dimensione())) return 0;
  posizione = static_cast<std::uint32_t>(p);
  return 1;
}

int CFileMemox::Leggi(void* buffer, std::uint32_t n) {
  if (!memox) return 0;
  const std::uint32_t letti = memox->LeggiFile(voce, posizione, static_cast<std::uint8_t*>(buffer), n);
  posizione += letti;
  return letti == n ? 1 : 0;
}

}  // namespace bricola
