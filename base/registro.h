// The troubleshooting log: one timestamped line per call, appended to the
// file chosen at start-up. With an empty path nothing is written.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace bricola {

struct OraLocale;

class CFileRegistro {
 public:
  static constexpr std::size_t kMaxPercorso = 260;  // characters kept of the path
  static constexpr std::size_t kMaxTesto = 1023;    // characters kept of one line's text

  CFileRegistro() = default;
  virtual ~CFileRegistro() = default;

  // Copies at most kMaxPercorso characters of the path (UTF-8 text; characters are
  // counted as UTF-16 units and a character is never split).
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

// The pieces of a log line, shared by every writer with the same line format.

// Applies a printf-style format to integer values: each d, i, u, x, X or c conversion
// (flags - 0 + space #, width, precision, length modifiers hh h l ll j z t) takes the
// next value, converted first to the type its length modifier names (no modifier: int,
// h: short, hh: char, l and longer: 64 bits), as printf would read it. "%%" gives "%".
// A conversion of any other kind, or one with no value left, is copied as written.
std::string FormattaInteri(std::string_view formato, std::initializer_list<long long> valori);

// The bytes a text becomes in the log: the UTF-8 text decoded to UTF-16 units, each
// unit written as its low eight bits (a character beyond the BMP is two units, so two
// bytes); a byte that is not valid UTF-8 is kept as it is. At most
// CFileRegistro::kMaxTesto bytes: a longer text is cut, never split inside a character.
std::string TestoPerRegistro(std::string_view testo);

// One whole line: "dd/mm/yyyy hh:mm:ss " + TestoPerRegistro(testo) + CR LF.
std::string RigaRegistro(const OraLocale& ora, std::string_view testo);

// Appends one line with the current local time to the file at `percorso`; an empty
// path writes nothing. A line that cannot be written (file locked by another writer,
// unreachable directory) is lost silently.
void ScriviRigaRegistro(const std::string& percorso, std::string_view testo);

}  // namespace bricola
