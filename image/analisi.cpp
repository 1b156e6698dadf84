#include "image/analisi.h"

namespace bricola {
// (being written)
const char* EtichettaModulo(int) { return "????"; }
int CProgDescr::TipoLoad() const { return tipoLoad; }
int CProgDescr::TipoMicro() const { return tipoMicro; }
int CProgDescr::TipoModulo() const { return tipoModulo; }
bool CProgDescr::ModuloBoot() const { return false; }
void CProgDescr::Velocita(int& a, int& b) const { a = velocita[0]; b = velocita[1]; }
bool CProgDescr::NonSelezionato() const { return nonSelezionato; }
bool CProgDescr::CaricabileRemoto() const { return caricabileRemoto; }
std::optional<int> CProgDescr::IndiceNome() const { return std::nullopt; }
int CProgDescr::Descrizione(std::string&, int) const { return 0; }
void CProgDescr::Azzera() { *this = CProgDescr{}; }
int CAnalisiFile::AnalizzaFile(const std::string&, CProgDescr*, int, int& numModuli, int& tuttiValidi,
                               int& inutilizzabile, int& grezzo, int& errore) {
  numModuli = 0; tuttiValidi = 0; inutilizzabile = 1; grezzo = 0; errore = ERRORE_APERTURA;
  return 0;
}
void CAnalisiFile::ImpostaSorgente(bool chiave, CFileTemplate* f) {
  if (f) fileChiave = f;
  corrente = (chiave && fileChiave) ? fileChiave : &fileDisco;
}
bool CAnalisiFile::TuttiSelezionatiValidi(const CProgDescr*, int, const int*) { return false; }
bool CAnalisiFile::QualcunoNonRemoto(const CProgDescr*, int, const int*) { return false; }
bool CAnalisiFile::QualcunoBoot(const CProgDescr*, int, const int*) { return false; }
bool SelettoreIntestazione(int, bool, int&, int&, int&) { return false; }
bool CrcIntervallo(CFileTemplate&, std::uint32_t, std::uint32_t, std::uint16_t&) { return false; }
}  // namespace bricola
