#include "app/impostazioni.h"

#include <pwd.h>
#include <unistd.h>

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

namespace bricola {
namespace {

constexpr std::string_view kSezione = "Settings/";

struct Radice {
  std::mutex mutex;
  std::string azienda = "Corvanti";
  std::string programma = "bricola";
};

Radice& LaRadice() {
  static Radice r;
  return r;
}

std::string CartellaConfigurazione() {
  // XDG: a relative XDG_CONFIG_HOME is to be ignored.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  std::string casa = (home != nullptr && home[0] != '\0') ? home : "";
  if (casa.empty()) {
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) casa = pw->pw_dir;
  }
  if (casa.empty()) casa = "/tmp";
  return casa + "/.config";
}

bool Utf8Valido(std::string_view t) {
  for (std::size_t i = 0; i < t.size();) {
    const auto b = static_cast<unsigned char>(t[i]);
    std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || (n == 2 && b < 0xC2) || i + n > t.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(t[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// Whether the settings file looks like what this program and a text editor
// write: UTF-8 text whose lines are blank, comments, "[section]" headers or
// "name=value" pairs. The INI reader accepts almost anything and would make
// values out of garbage; such a file is taken as corrupt instead.
bool RigheSane(const std::string& testo) {
  if (!Utf8Valido(testo)) return false;
  std::size_t inizio = 0;
  while (inizio <= testo.size()) {
    std::size_t fine = testo.find('\n', inizio);
    if (fine == std::string::npos) fine = testo.size();
    std::string_view riga(testo.data() + inizio, fine - inizio);
    inizio = fine + 1;
    for (char c : riga) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x20 && c != '\t' && c != '\r') return false;
    }
    while (!riga.empty() && (riga.front() == ' ' || riga.front() == '\t')) riga.remove_prefix(1);
    while (!riga.empty() && (riga.back() == ' ' || riga.back() == '\t' || riga.back() == '\r')) riga.remove_suffix(1);
    if (riga.empty() || riga.front() == ';' || riga.front() == '#') continue;
    if (riga.front() == '[') {
      if (riga.back() != ']' || riga.size() < 3) return false;
      continue;
    }
    const auto uguale = riga.find('=');
    if (uguale == std::string_view::npos || uguale == 0) return false;
  }
  return true;
}

// A missing file is a first run; a directory or a file that cannot be opened is unreadable.
enum class StatoFile { Mancante, Integro, Guasto, Illeggibile };

StatoFile EsaminaFile(const std::string& percorso) {
  std::error_code e;
  const auto tipo = std::filesystem::status(percorso, e).type();
  if (tipo == std::filesystem::file_type::not_found) return StatoFile::Mancante;
  if (e || tipo != std::filesystem::file_type::regular) return StatoFile::Illeggibile;
  std::ifstream f(percorso, std::ios::binary);
  if (!f) return StatoFile::Illeggibile;
  std::string testo;
  char blocco[4096];
  while (f.read(blocco, sizeof blocco) || f.gcount() > 0) testo.append(blocco, static_cast<std::size_t>(f.gcount()));
  if (f.bad()) return StatoFile::Illeggibile;
  return RigheSane(testo) ? StatoFile::Integro : StatoFile::Guasto;
}

QString Chiave(std::string_view nome) {
  // A name with a '/' already names its section.
  std::string k(nome.find('/') == std::string_view::npos ? kSezione : std::string_view{});
  k.append(nome);
  return QString::fromStdString(k);
}

// The stored text of a value, or false when there is none or the file cannot be
// read or parsed. A hand-written value with commas comes back from the INI
// reader as a list: it is joined again.
bool LeggiTesto(std::string_view nome, std::string* testo) {
  const std::string percorso = PercorsoImpostazioni();
  const StatoFile stato = EsaminaFile(percorso);
  if (stato != StatoFile::Integro) return false;
  QSettings s(QString::fromStdString(percorso), QSettings::IniFormat);
  const QVariant v = s.value(Chiave(nome));  // the file is read here; status() tells how it went
  if (s.status() != QSettings::NoError || !v.isValid()) return false;
  if (v.typeId() == QMetaType::QStringList) {
    *testo = v.toStringList().join(QStringLiteral(", ")).toStdString();
  } else if (v.canConvert<QString>()) {
    *testo = v.toString().toStdString();
  } else {
    return false;
  }
  return true;
}

bool Scrivi(std::string_view nome, const QVariant& valore) {
  const std::string percorso = PercorsoImpostazioni();
  const StatoFile stato = EsaminaFile(percorso);
  if (stato == StatoFile::Illeggibile) return false;
  if (stato == StatoFile::Guasto) {
    // The INI writer would rewrite a corrupt file from the little it made of
    // it. The file is kept aside, whole, as "<name>.ini.guasto", and the new
    // file holds only the values written from now on.
    std::error_code e;
    std::filesystem::rename(percorso, percorso + ".guasto", e);
    if (e) return false;
  }
  QSettings s(QString::fromStdString(percorso), QSettings::IniFormat);
  s.setValue(Chiave(nome), valore);
  s.sync();
  return s.status() == QSettings::NoError;
}

std::string NomeFile(int i) { return i == 0 ? std::string(kValoreFile) : std::string(kValoreFile) + std::to_string(i); }

}  // namespace

void ImpostaAziendaImpostazioni(std::string_view azienda) {
  std::lock_guard<std::mutex> lock(LaRadice().mutex);
  LaRadice().azienda = azienda;
}

void ImpostaNomeProgramma(std::string_view nome) {
  const auto barra = nome.find_last_of('/');
  if (barra != std::string_view::npos) nome.remove_prefix(barra + 1);
  if (nome.empty()) return;
  std::lock_guard<std::mutex> lock(LaRadice().mutex);
  LaRadice().programma = nome;
}

std::string PercorsoImpostazioni() {
  std::string azienda, programma;
  {
    std::lock_guard<std::mutex> lock(LaRadice().mutex);
    azienda = LaRadice().azienda;
    programma = LaRadice().programma;
  }
  return CartellaConfigurazione() + "/" + azienda + "/" + programma + ".ini";
}

int LeggiImpostazioneIntero(std::string_view nome, int predefinito) {
  std::string testo;
  if (!LeggiTesto(nome, &testo)) return predefinito;
  bool ok = false;
  const int valore = QString::fromStdString(testo).trimmed().toInt(&ok, 10);
  return ok ? valore : predefinito;
}

std::string LeggiImpostazioneStringa(std::string_view nome, std::string_view predefinito) {
  std::string testo;
  if (!LeggiTesto(nome, &testo)) return std::string(predefinito);
  return testo;
}

bool ScriviImpostazioneIntero(std::string_view nome, int valore) { return Scrivi(nome, QVariant(valore)); }

bool ScriviImpostazioneStringa(std::string_view nome, std::string_view valore) {
  return Scrivi(nome, QVariant(QString::fromStdString(std::string(valore))));
}

void CImpostazioni::Leggi() {
  porta = LeggiImpostazioneIntero(kValorePorta, 0);
  for (int i = 0; i < kFileRecenti; ++i) fileRecenti[static_cast<std::size_t>(i)] = LeggiImpostazioneStringa(NomeFile(i), "");
  indirizzoCan = LeggiImpostazioneStringa(kValoreIndirizzoCan, "");
  connessione = LeggiImpostazioneIntero(kValoreConnessione, 0);
  selezione = LeggiImpostazioneIntero(kValoreSelezione, 0);
  telefonoMittente = LeggiImpostazioneStringa(kValoreTelefonoMittente, "");
  telefonoDestinatario = LeggiImpostazioneStringa(kValoreTelefonoDestinatario, "");
  passwordConnessione = LeggiImpostazioneStringa(kValorePasswordConnessione, "");
  passwordBatteria = LeggiImpostazioneStringa(kValorePasswordBatteria, "");
}

void CImpostazioni::LeggiBatch() {
  porta = LeggiImpostazioneIntero(kValorePorta, 0);
  fileRecenti[0] = LeggiImpostazioneStringa(kValoreFile, "");
}

int CImpostazioni::ScriviCambiati(const CImpostazioni& iniziali) const {
  int scritti = 0;
  auto intero = [&](std::string_view nome, int attuale, int prima) {
    if (attuale != prima && ScriviImpostazioneIntero(nome, attuale)) ++scritti;
  };
  auto stringa = [&](std::string_view nome, const std::string& attuale, const std::string& prima) {
    if (attuale != prima && ScriviImpostazioneStringa(nome, attuale)) ++scritti;
  };
  intero(kValorePorta, porta, iniziali.porta);
  for (int i = 0; i < kFileRecenti; ++i) {
    const auto k = static_cast<std::size_t>(i);
    stringa(NomeFile(i), fileRecenti[k], iniziali.fileRecenti[k]);
  }
  intero(kValoreConnessione, connessione, iniziali.connessione);
  intero(kValoreSelezione, selezione, iniziali.selezione);
  stringa(kValoreTelefonoMittente, telefonoMittente, iniziali.telefonoMittente);
  stringa(kValoreTelefonoDestinatario, telefonoDestinatario, iniziali.telefonoDestinatario);
  stringa(kValorePasswordConnessione, passwordConnessione, iniziali.passwordConnessione);
  stringa(kValorePasswordBatteria, passwordBatteria, iniziali.passwordBatteria);
  stringa(kValoreIndirizzoCan, indirizzoCan, iniziali.indirizzoCan);
  return scritti;
}

std::string LeggiImpostazioneSezione(std::string_view sezione, std::string_view nome,
                                     std::string_view predefinito) {
  std::string chiave(sezione);
  chiave += '/';
  chiave.append(nome);
  std::string testo;
  if (!LeggiTesto(chiave, &testo)) return std::string(predefinito);
  return testo;
}

}  // namespace bricola
