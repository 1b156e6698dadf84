// The troubleshooting log: one timestamped line per call, appended to the
// file chosen at start-up. With an empty path nothing is written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bricola {

class CFileRegistro {
 public:
  static constexpr std::size_t kMaxPercorso = 260;  // characters kept of the path
  static constexpr std::size_t kMaxTesto = 1023;    // characters kept of one line's text

  CFileRegistro() = default;
  virtual ~CFileRegistro() = default;

  // Copies at most kMaxPercorso characters of the path (UTF-8 text).
  void ImpostaFileRegistro(std::string_view percorso);
  const std::string& FileRegistro() const { return percorsoRegistro; }

  // The formatting forms take printf-style formats as they stand in the log vocabulary
  // ("margine %ld tick", "invio %04lx dati a %06lx"): each conversion takes the next
  // value whatever its length modifier, so the formats need no care about argument types.
  void Registra(std::string_view testo) const;
  void RegistraValore(const char* formato, long long valore) const;
  void RegistraValori(const char* formato, long long valore1, long long valore2) const;
  void RegistraConcat(std::string_view prefisso, std::string_view testo) const;
  void RegistraPrefissoValore(std::string_view prefisso, const char* formato, long long valore) const;
  void RegistraByte(std::string_view formato, const std::uint8_t* dati, int conteggio) const;
  void RegistraPrefissoByte(std::string_view prefisso, std::string_view formato,
                            const std::uint8_t* dati, int conteggio) const;

 protected:
  std::string percorsoRegistro;
};

}  // namespace bricola
