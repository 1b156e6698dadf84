// A fresh temporary directory for one test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace bricola::prova {

class CartellaProva {
 public:
  CartellaProva() {
    std::string modello = (std::filesystem::temp_directory_path() / "bricola-prova-XXXXXX").string();
    if (::mkdtemp(modello.data()) != nullptr) percorso = modello;
  }
  ~CartellaProva() {
    std::error_code ec;
    if (!percorso.empty()) std::filesystem::remove_all(percorso, ec);
  }
  CartellaProva(const CartellaProva&) = delete;
  CartellaProva& operator=(const CartellaProva&) = delete;

  const std::string& Percorso() const { return percorso; }
  std::string File(const std::string& nome) const { return percorso + "/" + nome; }
  bool Vuota() const { return std::filesystem::is_empty(percorso); }

 private:
  std::string percorso;
};

inline std::string LeggiTutto(const std::string& percorso) {
  std::ifstream f(percorso, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace bricola::prova
