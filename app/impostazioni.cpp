#include "app/impostazioni.h"

#include <pwd.h>
#include <unistd.h>

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdlib>
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

QString Chiave(std::string_view nome) {
  std::string k(kSezione);
  k.append(nome);
  return QString::fromStdString(k);
}

// The stored text of a value, or false when there is none or the file cannot be
// read or parsed. A hand-written value with commas comes back from the INI
// reader as a list: it is joined again.
bool LeggiTesto(std::string_view nome, std::string* testo) {
  QSettings s(QString::fromStdString(PercorsoImpostazioni()), QSettings::IniFormat);
  if (s.status() != QSettings::NoError) return false;
  const QVariant v = s.value(Chiave(nome));
  if (!v.isValid()) return false;
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
  QSettings s(QString::fromStdString(PercorsoImpostazioni()), QSettings::IniFormat);
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

}  // namespace bricola
