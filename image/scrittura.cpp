#include "image/scrittura.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#include "image/analisi.h"
#include "image/crc.h"
#include "image/file.h"

namespace bricola {

namespace {

void AggiungiU16(std::vector<std::uint8_t>& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void AggiungiU32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void AggiungiTesta(std::vector<std::uint8_t>& b, std::uint16_t tipo, std::uint32_t dimensione) {
  AggiungiU32(b, kMarcaTipizzato);
  AggiungiU16(b, tipo);
  AggiungiU16(b, static_cast<std::uint16_t>(dimensione));
}

constexpr std::size_t kLunghezzaNome = kLunghezzaNomeModulo;

}  // namespace

std::vector<std::uint8_t> ComponiImmagine(const SModuloImmagine& m) {
  std::vector<std::uint8_t> b;
  if (m.indirizzoCan != 0) {
    AggiungiTesta(b, kTipoCoppiaIndirizzi, kLunghezzaCoppiaIndirizzi);
    AggiungiU32(b, m.indirizzoCan);
    AggiungiU32(b, m.indirizzoCanSecondario);
  }
  if (m.conIntestazione) {
    AggiungiTesta(b, kTipoIntestazione, kLunghezzaIntestazione);
    AggiungiU16(b, static_cast<std::uint16_t>(m.tipoMicro));
    b.push_back(static_cast<std::uint8_t>(m.tipoModulo));
    b.push_back(m.caricabileRemoto ? 1 : 0);
    b.push_back(0);  // ticked by default
    b.push_back(0);
    const std::size_t n = std::min(m.nome.size(), kLunghezzaNome);
    b.insert(b.end(), m.nome.begin(), m.nome.begin() + static_cast<std::ptrdiff_t>(n));
    b.insert(b.end(), kLunghezzaNome - n, 0);
  }
  for (const SRecordDati& r : m.record) {
    AggiungiU32(b, static_cast<std::uint32_t>(r.dati.size()));
    AggiungiU32(b, r.indirizzo);
    b.insert(b.end(), r.dati.begin(), r.dati.end());
  }
  AggiungiTesta(b, kTipoFine, 0xFFFF);
  CCrc crc;
  crc.Aggiorna(b.data(), b.size());
  const std::uint16_t valore = crc.Valore();
  b.push_back(static_cast<std::uint8_t>(valore >> 8));
  b.push_back(static_cast<std::uint8_t>(valore));
  b.push_back(static_cast<std::uint8_t>(m.codice >> 8));
  b.push_back(static_cast<std::uint8_t>(m.codice));
  return b;
}

bool SostituisciFile(const std::string& percorso, const std::vector<std::uint8_t>& contenuto) {
  if (percorso.empty() || contenuto.size() > 0xFFFFFFFFu) return false;
  namespace fs = std::filesystem;
  std::error_code ec;
  // A directory is never replaced by a file.
  if (fs::is_directory(fs::path(percorso), ec)) return false;
  // A name of its own beside the target, so the rename stays on one file system.
  std::random_device caso;
  char suffisso[16];
  const std::string base = percorso + ".parziale-";
  std::string temporaneo;
  for (int prova = 0; prova < 8; ++prova) {
    std::snprintf(suffisso, sizeof suffisso, "%08x", static_cast<unsigned>(caso()));
    temporaneo = base + suffisso;
    if (!fs::exists(fs::path(temporaneo), ec)) break;
  }
  CFileWin file;
  if (!file.Crea(temporaneo)) return false;
  const bool scritto = contenuto.empty() ||
                       file.Scrivi(contenuto.data(), static_cast<std::uint32_t>(contenuto.size()));
  const bool chiuso = file.Chiudi() != 0;
  if (!scritto || !chiuso) {
    fs::remove(fs::path(temporaneo), ec);
    return false;
  }
  fs::rename(fs::path(temporaneo), fs::path(percorso), ec);
  if (ec) {
    std::error_code ignora;
    fs::remove(fs::path(temporaneo), ignora);
    return false;
  }
  return true;
}

}  // namespace bricola
