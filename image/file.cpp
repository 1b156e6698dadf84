#include "image/file.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>

namespace bricola {

namespace {
constexpr std::uint64_t kMassimo = std::numeric_limits<std::uint32_t>::max();
}  // namespace

// ---------------------------------------------------------------- CFileWin

CFileWin::~CFileWin() {
  if (handle) std::fclose(handle);
}

int CFileWin::Esiste(const std::string& percorso) {
  std::FILE* f = std::fopen(percorso.c_str(), "rb");
  if (!f) return 0;
  std::fclose(f);
  // A directory opens for reading on POSIX but is no file.
  std::error_code ec;
  return std::filesystem::is_directory(std::filesystem::path(percorso), ec) ? 0 : 1;
}

int CFileWin::ApriLettura(const std::string& percorso) {
  if (handle) Chiudi();
  std::error_code ec;
  if (std::filesystem::is_directory(std::filesystem::path(percorso), ec)) return 0;
  handle = std::fopen(percorso.c_str(), "rb");
  ultima = Ultima::nessuna;
  return handle ? 1 : 0;
}

int CFileWin::ApriAggiunta(const std::string& percorso) {
  if (handle) Chiudi();
  std::error_code ec;
  if (std::filesystem::is_directory(std::filesystem::path(percorso), ec)) return 0;
  handle = std::fopen(percorso.c_str(), "r+b");
  if (!handle && errno == ENOENT) handle = std::fopen(percorso.c_str(), "w+b");
  ultima = Ultima::nessuna;
  if (!handle) return 0;
  if (!PosizionaDaFine(0)) {
    Chiudi();
    return 0;
  }
  return 1;
}

int CFileWin::Crea(const std::string& percorso) {
  if (handle) Chiudi();
  handle = std::fopen(percorso.c_str(), "w+b");
  ultima = Ultima::nessuna;
  return handle ? 1 : 0;
}

std::uint32_t CFileWin::Dimensione() {
  if (!handle) return 0;
  const long attuale = std::ftell(handle);
  if (attuale < 0 || std::fseek(handle, 0, SEEK_END) != 0) return 0;
  const long fine = std::ftell(handle);
  std::fseek(handle, attuale, SEEK_SET);
  ultima = Ultima::nessuna;
  if (fine < 0) return 0;
  return static_cast<std::uint64_t>(fine) > kMassimo ? static_cast<std::uint32_t>(kMassimo)
                                                      : static_cast<std::uint32_t>(fine);
}

int CFileWin::Riavvolgi() { return Posiziona(0); }

int CFileWin::Posiziona(std::uint32_t posizione) {
  if (!handle) return 0;
  ultima = Ultima::nessuna;
  return std::fseek(handle, static_cast<long>(posizione), SEEK_SET) == 0 ? 1 : 0;
}

int CFileWin::Sposta(std::int32_t delta) {
  if (!handle) return 0;
  ultima = Ultima::nessuna;
  return std::fseek(handle, delta, SEEK_CUR) == 0 ? 1 : 0;
}

int CFileWin::PosizionaDaFine(std::int32_t delta) {
  if (!handle) return 0;
  const std::int64_t destinazione = static_cast<std::int64_t>(Dimensione()) + delta;
  if (destinazione < 0 || destinazione > static_cast<std::int64_t>(kMassimo)) return 0;
  return Posiziona(static_cast<std::uint32_t>(destinazione));
}

void CFileWin::Alterna(Ultima prossima) {
  if (ultima != Ultima::nessuna && ultima != prossima) std::fseek(handle, 0, SEEK_CUR);
  ultima = prossima;
}

int CFileWin::Leggi(void* buffer, std::uint32_t n) {
  if (!handle) return 0;
  if (n == 0) return 1;
  Alterna(Ultima::lettura);
  return std::fread(buffer, 1, n, handle) == n ? 1 : 0;
}

int CFileWin::Scrivi(const void* buffer, std::uint32_t n) {
  if (!handle) return 0;
  if (n == 0) return 1;
  Alterna(Ultima::scrittura);
  return std::fwrite(buffer, 1, n, handle) == n ? 1 : 0;
}

int CFileWin::Chiudi() {
  if (!handle) return 0;
  const int esito = std::fclose(handle) == 0 ? 1 : 0;
  handle = nullptr;
  ultima = Ultima::nessuna;
  return esito;
}

int CFileWin::LeggiParziale(void* buffer, std::uint32_t n, std::uint32_t& letti) {
  letti = 0;
  if (!handle) return 0;
  if (n == 0) return 1;
  Alterna(Ultima::lettura);
  const std::size_t r = std::fread(buffer, 1, n, handle);
  letti = static_cast<std::uint32_t>(r);
  return std::ferror(handle) ? 0 : 1;
}

std::uint32_t CFileWin::Posizione() {
  if (!handle) return 0;
  const long p = std::ftell(handle);
  return p < 0 ? 0 : static_cast<std::uint32_t>(p);
}

// ------------------------------------------------------------- CFileMemoria

CFileMemoria::CFileMemoria(std::vector<std::uint8_t> contenuto, std::string nomeFile)
    : dati(std::move(contenuto)), nome(std::move(nomeFile)) {}

void CFileMemoria::ImpostaContenuto(std::vector<std::uint8_t> contenuto) {
  dati = std::move(contenuto);
  posizione = 0;
}

void CFileMemoria::ImpostaContenuto(const std::uint8_t* p, std::size_t n) {
  dati.assign(p, p + n);
  posizione = 0;
}

bool CFileMemoria::NomeValido(const std::string& percorso) const {
  return nome.empty() || percorso == nome;
}

int CFileMemoria::Esiste(const std::string& percorso) { return NomeValido(percorso) ? 1 : 0; }

int CFileMemoria::ApriLettura(const std::string& percorso) {
  if (!NomeValido(percorso)) return 0;
  aperto = true;
  posizione = 0;
  ++aperture;
  return 1;
}

int CFileMemoria::ApriAggiunta(const std::string& percorso) {
  if (!NomeValido(percorso)) return 0;
  aperto = true;
  posizione = dati.size();
  ++aperture;
  return 1;
}

int CFileMemoria::Crea(const std::string& percorso) {
  if (!NomeValido(percorso)) return 0;
  dati.clear();
  aperto = true;
  posizione = 0;
  ++aperture;
  return 1;
}

std::uint32_t CFileMemoria::Dimensione() {
  if (!aperto) return 0;
  return dati.size() > kMassimo ? static_cast<std::uint32_t>(kMassimo)
                                : static_cast<std::uint32_t>(dati.size());
}

int CFileMemoria::Riavvolgi() { return Posiziona(0); }

int CFileMemoria::Posiziona(std::uint32_t p) {
  if (!aperto) return 0;
  posizione = p;
  return 1;
}

int CFileMemoria::Sposta(std::int32_t delta) {
  if (!aperto) return 0;
  const std::int64_t destinazione = static_cast<std::int64_t>(posizione) + delta;
  if (destinazione < 0) return 0;
  posizione = static_cast<std::uint64_t>(destinazione);
  return 1;
}

int CFileMemoria::PosizionaDaFine(std::int32_t delta) {
  if (!aperto) return 0;
  const std::int64_t destinazione = static_cast<std::int64_t>(dati.size()) + delta;
  if (destinazione < 0 || destinazione > static_cast<std::int64_t>(kMassimo)) return 0;
  posizione = static_cast<std::uint64_t>(destinazione);
  return 1;
}

int CFileMemoria::Leggi(void* buffer, std::uint32_t n) {
  if (!aperto) return 0;
  if (n == 0) return 1;
  const std::uint64_t disponibili = posizione < dati.size() ? dati.size() - posizione : 0;
  const std::uint64_t copiati = disponibili < n ? disponibili : n;
  if (copiati) {
    std::copy_n(dati.data() + posizione, copiati, static_cast<std::uint8_t*>(buffer));
  }
  posizione += copiati;
  byteLetti += copiati;
  return copiati == n ? 1 : 0;
}

int CFileMemoria::Scrivi(const void* buffer, std::uint32_t n) {
  if (!aperto) return 0;
  if (n == 0) return 1;
  if (posizione + n > kMassimo) return 0;
  if (posizione + n > dati.size()) dati.resize(posizione + n);
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  std::copy(p, p + n, dati.begin() + static_cast<std::ptrdiff_t>(posizione));
  posizione += n;
  return 1;
}

int CFileMemoria::Chiudi() {
  if (!aperto) return 0;
  aperto = false;
  return 1;
}

// ----------------------------------------------------- directories and paths

namespace {
bool Separatore(char c) { return c == '\\' || c == '/'; }
}  // namespace

int EsisteCartella(const std::string& percorso) {
  if (percorso.empty()) return 0;
  std::error_code ec;
  return std::filesystem::is_directory(std::filesystem::path(percorso), ec) ? 1 : 0;
}

int CreaCartella(const std::string& percorso) {
  if (percorso.empty()) return 0;
  std::error_code ec;
  return std::filesystem::create_directory(std::filesystem::path(percorso), ec) ? 1 : 0;
}

int CreaPercorso(const std::string& percorso, bool ancheUltimo) {
  // Each prefix ending before a separator is a directory to have; the path
  // itself is left as it is (prefixes are copies).
  for (std::size_t i = 1; i < percorso.size(); ++i) {
    if (!Separatore(percorso[i])) continue;
    std::string prefisso = percorso.substr(0, i);
    for (char& c : prefisso) {
      if (c == '\\') c = kSeparatore;
    }
    if (Separatore(prefisso.back())) continue;  // "a//b": nothing between the two
    if (!EsisteCartella(prefisso) && !CreaCartella(prefisso)) return 0;
  }
  if (ancheUltimo && !percorso.empty()) {
    std::string tutto = percorso;
    for (char& c : tutto) {
      if (c == '\\') c = kSeparatore;
    }
    if (!EsisteCartella(tutto) && !CreaCartella(tutto)) return 0;
  }
  return 1;
}

void NormalizzaSeparatori(std::string& percorso) {
  std::string risultato;
  risultato.reserve(percorso.size());
  for (std::size_t i = 0; i < percorso.size(); ++i) {
    if (percorso[i] == '\\' && i + 1 < percorso.size() && percorso[i + 1] == '/') continue;
    risultato.push_back(Separatore(percorso[i]) ? kSeparatore : percorso[i]);
  }
  percorso = std::move(risultato);
}

int CreaCartellaCompleta(std::string percorso) {
  NormalizzaSeparatori(percorso);
  return CreaPercorso(percorso, true);
}

}  // namespace bricola
