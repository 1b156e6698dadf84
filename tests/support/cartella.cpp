#include "tests/support/cartella.h"

#include <atomic>
#include <filesystem>
#include <random>

namespace bricola::prova {

CCartellaTemporanea::CCartellaTemporanea() {
  static std::atomic<unsigned> contatore{0};
  std::random_device casuale;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    const std::string nome = "bricola-prova-" + std::to_string(casuale()) + "-" + std::to_string(contatore++);
    std::error_code ec;
    if (std::filesystem::create_directory(base / nome, ec)) {
      percorso = (base / nome).string();
      return;
    }
  }
}

CCartellaTemporanea::~CCartellaTemporanea() {
  std::error_code ec;
  std::filesystem::remove_all(percorso, ec);
}

std::string CCartellaTemporanea::File(const std::string& nome) const { return percorso + "/" + nome; }

}  // namespace bricola::prova
