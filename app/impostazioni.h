// The stored settings: an INI file per user and program,
// $XDG_CONFIG_HOME/Corvanti/<program base name>.ini (~/.config/... when
// XDG_CONFIG_HOME is not set), values in section [Settings]. A missing or
// unreadable value gives its default; a file that cannot be read or parsed
// gives the defaults and is written only when a value changed: it is then kept
// whole as "<name>.ini.guasto" and the new file holds the changed values.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace bricola {

// Set once at start-up: the company folder ("Corvanti") and the program name
// (any path; its base name is used).
void ImpostaAziendaImpostazioni(std::string_view azienda);
void ImpostaNomeProgramma(std::string_view nome);
// The settings file now in use.
std::string PercorsoImpostazioni();

// The only operations on settings: read with a default, write.
int LeggiImpostazioneIntero(std::string_view nome, int predefinito);
std::string LeggiImpostazioneStringa(std::string_view nome, std::string_view predefinito);
// A value of another section than [Settings] (read only).
std::string LeggiImpostazioneSezione(std::string_view sezione, std::string_view nome,
                                     std::string_view predefinito);
// The directory of the RAM-loader images of the ROM-bootstrap loaders.
inline constexpr std::string_view kSezioneBootstrap = "Bootstrap";
inline constexpr std::string_view kValoreCartellaBootstrap = "Directory";
bool ScriviImpostazioneIntero(std::string_view nome, int valore);
bool ScriviImpostazioneStringa(std::string_view nome, std::string_view valore);

// Value names of section [Settings].
inline constexpr std::string_view kValorePorta = "Porta";
inline constexpr std::string_view kValoreFile = "File";  // then "File1" to "File7"
inline constexpr std::string_view kValoreIndirizzoCan = "Indirizzo CAN";
inline constexpr std::string_view kValoreConnessione = "Connessione";
inline constexpr std::string_view kValoreSelezione = "Selezione";
inline constexpr std::string_view kValoreTelefonoMittente = "Telefono mittente";
inline constexpr std::string_view kValoreTelefonoDestinatario = "Telefono destinatario";
inline constexpr std::string_view kValorePasswordConnessione = "Password di connessione";
inline constexpr std::string_view kValorePasswordBatteria = "Password di batteria";

// Every value of the table. The window keeps two: as read at start and current,
// and at its end writes those that differ.
struct CImpostazioni {
  static constexpr int kFileRecenti = 8;

  int porta = 0;
  std::array<std::string, kFileRecenti> fileRecenti;  // "File", then "File1".."File7"
  std::string indirizzoCan;
  int connessione = 0;  // 1 = remote through a modem
  int selezione = 0;    // 0 tone, 1 pulse
  std::string telefonoMittente;
  std::string telefonoDestinatario;
  std::string passwordConnessione;
  std::string passwordBatteria;

  // Window start: every value.
  void Leggi();
  // Batch start: "Porta" and "File" only.
  void LeggiBatch();
  // Writes each value that differs from `iniziali` (strings compared exactly);
  // returns how many were written. Nothing changed, nothing written.
  int ScriviCambiati(const CImpostazioni& iniziali) const;
};

}  // namespace bricola
