#include "bootstrap/caricatori_ram.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

#include "base/esiti.h"

#ifndef BRICOLA_CARTELLA_CARICATORI
#define BRICOLA_CARTELLA_CARICATORI "/usr/local/share/bricola/bootstrap"
#endif

namespace bricola {

namespace {

struct SCartella {
  std::mutex mutex;
  std::string percorso;
};

SCartella& LaCartella() {
  static SCartella c;
  return c;
}

// A little more than the longest image: a longer file is reported by the
// length found, without reading it whole.
constexpr std::uintmax_t kLetturaMassima = 1 << 20;

}  // namespace

void ImpostaCartellaCaricatori(std::string_view cartella) {
  SCartella& c = LaCartella();
  std::lock_guard<std::mutex> l(c.mutex);
  c.percorso.assign(cartella);
}

std::string CartellaCaricatoriPredefinita() { return BRICOLA_CARTELLA_CARICATORI; }

std::string CartellaCaricatori() {
  SCartella& c = LaCartella();
  std::lock_guard<std::mutex> l(c.mutex);
  return c.percorso.empty() ? CartellaCaricatoriPredefinita() : c.percorso;
}

std::string PercorsoCaricatore(std::string_view nome) {
  return (std::filesystem::path(CartellaCaricatori()) / std::filesystem::path(nome)).string();
}

int LeggiCaricatore(std::string_view nome, std::size_t lunghezza, std::vector<std::uint8_t>* dati,
                    const CFileRegistro* registro, int* esito) {
  const std::string percorso = PercorsoCaricatore(nome);
  const auto rifiuta = [&](const std::string& riga, int codice) {
    if (registro) registro->Registra(riga);
    dati->clear();
    *esito = codice;
    return 0;
  };
  std::error_code e;
  const auto stato = std::filesystem::status(percorso, e);
  if (e || !std::filesystem::is_regular_file(stato)) {
    return rifiuta("immagine caricatore " + percorso + " non trovata", RC_FILE_OPEN);
  }
  const std::uintmax_t trovata = std::filesystem::file_size(percorso, e);
  if (e) return rifiuta("immagine caricatore " + percorso + " illeggibile", RC_FILE_OPEN);
  if (trovata != lunghezza) {
    return rifiuta("immagine caricatore " + percorso + ": lunghezza " + std::to_string(trovata) +
                       " byte invece di " + std::to_string(lunghezza),
                   RC_FILE_CORRUPT);
  }
  std::ifstream f(percorso, std::ios::binary);
  dati->assign(lunghezza, 0);
  if (lunghezza > kLetturaMassima || !f ||
      !f.read(reinterpret_cast<char*>(dati->data()), static_cast<std::streamsize>(lunghezza)) ||
      f.peek() != std::char_traits<char>::eof()) {
    // The file changed under us or cannot be read: nothing of it is sent.
    return rifiuta("immagine caricatore " + percorso + " illeggibile", RC_FILE_OPEN);
  }
  *esito = RC_OK;
  return 1;
}

}  // namespace bricola
