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
#include <utility>

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
    // A CR ends a line as LF does (the INI reader takes it so), CR LF included.
    std::size_t fine = testo.find_first_of("\r\n", inizio);
    if (fine == std::string::npos) fine = testo.size();
    std::string_view riga(testo.data() + inizio, fine - inizio);
    inizio = fine + 1;
    for (char c : riga) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x20 && c != '\t') return false;
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
    // Qt's INI reader takes '"' in a name as the start of a quoted text and
    // ';' as the start of a comment: the line then has no '=' for it, a format
    // error after which it reads nothing and reports every write as failed.
    if (riga.substr(0, uguale).find_first_of("\";") != std::string_view::npos) return false;
  }
  return true;
}

// A missing file is a first run; a directory or a file that cannot be opened is unreadable.
enum class StatoFile { Mancante, Integro, Guasto, Illeggibile };

StatoFile EsaminaFile(const std::string& percorso, std::string* contenuto = nullptr) {
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
  const bool sano = RigheSane(testo);
  if (contenuto != nullptr) *contenuto = std::move(testo);
  return sano ? StatoFile::Integro : StatoFile::Guasto;
}

// Qt's INI reader takes only ';' for a comment: a '#' comment line is a format
// error to it, after which no value can be read and every write reports a
// failure. The text with each '#' that starts a comment line turned into ';'
// (the same file to this program); false when there is no such line.
bool CommentiPerQt(std::string& testo) {
  bool cambiato = false;
  bool inizioRiga = true;
  for (char& c : testo) {
    if (inizioRiga && c == '#') {
      c = ';';
      cambiato = true;
    }
    if (c == '\n' || c == '\r') {
      inizioRiga = true;
    } else if (c != ' ' && c != '\t') {
      inizioRiga = false;
    }
  }
  return cambiato;
}

// Writes `testo` into a new file beside `percorso` (or, when that folder is
// not writable, in the temporary folder); its path, empty on failure.
std::string FileAccanto(const std::string& percorso, const std::string& testo) {
  std::error_code e;
  const std::string temporanea = std::filesystem::temp_directory_path(e).string();
  for (std::string modello : {percorso + ".XXXXXX", temporanea + "/bricola-ini.XXXXXX"}) {
    const int fd = ::mkstemp(modello.data());
    if (fd < 0) continue;
    std::size_t scritti = 0;
    while (scritti < testo.size()) {
      const ssize_t n = ::write(fd, testo.data() + scritti, testo.size() - scritti);
      if (n <= 0) break;
      scritti += static_cast<std::size_t>(n);
    }
    const bool ok = ::close(fd) == 0 && scritti == testo.size();
    if (ok) return modello;
    std::filesystem::remove(modello, e);
  }
  return {};
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
  std::string contenuto;
  const StatoFile stato = EsaminaFile(percorso, &contenuto);
  if (stato != StatoFile::Integro) return false;
  // A file with '#' comments is read from a copy with ';' comments (the file
  // itself is left as it is).
  std::string copia;
  if (CommentiPerQt(contenuto)) {
    copia = FileAccanto(percorso, contenuto);
    if (copia.empty()) return false;
  }
  QVariant v;
  QSettings::Status esito;
  {
    QSettings s(QString::fromStdString(copia.empty() ? percorso : copia), QSettings::IniFormat);
    v = s.value(Chiave(nome));  // the file is read here; status() tells how it went
    esito = s.status();
  }
  if (!copia.empty()) {
    std::error_code e;
    std::filesystem::remove(copia, e);
  }
  if (esito != QSettings::NoError || !v.isValid()) return false;
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
  std::string contenuto;
  const StatoFile stato = EsaminaFile(percorso, &contenuto);
  if (stato == StatoFile::Illeggibile) return false;
  if (stato == StatoFile::Integro && CommentiPerQt(contenuto)) {
    // The INI writer drops every comment anyway; its reader must not stumble
    // on the '#' ones first.
    std::ofstream f(percorso, std::ios::binary | std::ios::trunc);
    f << contenuto;
    f.close();
    if (!f) return false;
  }
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
