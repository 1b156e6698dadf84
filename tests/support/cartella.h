// A scratch directory for one test, removed with everything in it at the end.
#pragma once

#include <string>

namespace bricola::prova {

class CCartellaTemporanea {
 public:
  CCartellaTemporanea();
  ~CCartellaTemporanea();
  CCartellaTemporanea(const CCartellaTemporanea&) = delete;
  CCartellaTemporanea& operator=(const CCartellaTemporanea&) = delete;

  const std::string& Percorso() const { return percorso; }
  // Percorso() + "/" + nome.
  std::string File(const std::string& nome) const;

 private:
  std::string percorso;
};

}  // namespace bricola::prova
