#include "app/linea_comando.h"

#include <cctype>

namespace bricola {

void CInfoLineaComando::ParseParam(std::string_view testo, bool interruttore, bool ultimo) {
  if (!interruttore && nomeFile.empty()) nomeFile = std::string(testo);
  if (ultimo && !nomeFile.empty()) fileConfermato = true;
}

void CParLineaComando::ParseParam(std::string_view testo, bool interruttore, bool ultimo) {
  if (!interruttore) {
    if (attesaValore) {
      // The value of -C or -M: consumed here, never a file name.
      (destinazioneValore == kPortaTesto ? portaTesto : valoreM) = std::string(testo);
      attesaValore = false;
      return;
    }
    CInfoLineaComando::ParseParam(testo, interruttore, ultimo);
    return;
  }

  const char lettera =
      testo.empty() ? '\0'
                    : static_cast<char>(std::toupper(static_cast<unsigned char>(testo.front())));
  attesaValore = false;
  switch (lettera) {
    case '?':
    case 'H': aiuto = true; break;
    case 'B': batch = true; break;
    case 'C':
      destinazioneValore = kPortaTesto;
      attesaValore = true;
      break;
    case 'E': cancellaChiave = true; break;
    case 'L': registro = true; break;
    case 'M':
      destinazioneValore = kValoreM;
      attesaValore = true;
      break;
    case 'R': leggiSubito = true; break;
    case 'S': caricaSubito = true; break;
    case 'X': esciAllaFine = true; break;
    default: break;
  }
  CInfoLineaComando::ParseParam(testo, interruttore, ultimo);
}

bool EInterruttore(std::string_view argomento) {
  if (argomento.empty()) return false;
  if (argomento.front() == '-') return true;
  if (argomento.front() == '/') return argomento.find('/', 1) == std::string_view::npos;
  return false;
}

void LeggiLineaComando(CInfoLineaComando& info, std::span<const std::string> argomenti) {
  for (std::size_t i = 0; i < argomenti.size(); ++i) {
    const std::string& a = argomenti[i];
    const bool interruttore = EInterruttore(a);
    const std::string_view testo = interruttore ? std::string_view(a).substr(1) : std::string_view(a);
    info.ParseParam(testo, interruttore, i + 1 == argomenti.size());
  }
}

}  // namespace bricola
