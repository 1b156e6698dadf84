#include "base/registro.h"

#include <cstdio>
#include <utility>

#include "platform/accodamento.h"
#include "platform/sistema.h"

namespace bricola {

namespace {

// One step of UTF-8 decoding. `lunghezza` is the number of bytes taken (1 for a byte
// that does not start a valid sequence, which then stands for itself), `codice` the
// code point.
struct Carattere {
  char32_t codice;
  std::size_t lunghezza;
  bool valido;
};

Carattere Decodifica(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return {b0, 1, true};
  std::size_t n = 0;
  char32_t cp = 0;
  char32_t minimo = 0;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2, cp = b0 & 0x1F, minimo = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, cp = b0 & 0x0F, minimo = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, cp = b0 & 0x07, minimo = 0x10000;
  } else {
    return {b0, 1, false};
  }
  if (i + n > s.size()) return {b0, 1, false};
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return {b0, 1, false};
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < minimo || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {b0, 1, false};
  return {cp, n, true};
}

// UTF-16 units of one decoded character (an invalid byte counts as one unit).
std::size_t UnitaUtf16(const Carattere& c) { return (c.valido && c.codice >= 0x10000) ? 2 : 1; }

// The first characters of `testo` that fit in `massimo` UTF-16 units.
std::string_view TagliaUtf16(std::string_view testo, std::size_t massimo) {
  std::size_t i = 0;
  std::size_t unita = 0;
  while (i < testo.size()) {
    const Carattere c = Decodifica(testo, i);
    if (unita + UnitaUtf16(c) > massimo) break;
    unita += UnitaUtf16(c);
    i += c.lunghezza;
  }
  return testo.substr(0, i);
}

void AccodaUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// --- integer formatting -------------------------------------------------------

enum class Lunghezza { kChar, kShort, kInt, kLungo };

struct Conversione {
  bool sinistra = false;  // '-'
  bool zeri = false;      // '0'
  bool segno = false;     // '+'
  bool spazio = false;    // ' '
  bool alternativa = false;  // '#'
  std::size_t larghezza = 0;
  bool conPrecisione = false;
  std::size_t precisione = 0;
  Lunghezza lunghezza = Lunghezza::kInt;
  char tipo = 0;
};

// Widths beyond one log line make no sense; this keeps "%999999999d" harmless.
constexpr std::size_t kMaxCampo = CFileRegistro::kMaxTesto;

std::size_t LeggiNumero(std::string_view f, std::size_t& i) {
  std::size_t n = 0;
  while (i < f.size() && f[i] >= '0' && f[i] <= '9') {
    n = n * 10 + static_cast<std::size_t>(f[i] - '0');
    if (n > kMaxCampo) n = kMaxCampo;
    ++i;
  }
  return n;
}

// Parses the conversion that starts after the '%' at position i and leaves `i` after
// its conversion character; false when that character is not one this formatter serves.
bool LeggiConversione(std::string_view f, std::size_t& i, Conversione& c) {
  for (; i < f.size(); ++i) {
    const char ch = f[i];
    if (ch == '-') c.sinistra = true;
    else if (ch == '0') c.zeri = true;
    else if (ch == '+') c.segno = true;
    else if (ch == ' ') c.spazio = true;
    else if (ch == '#') c.alternativa = true;
    else break;
  }
  c.larghezza = LeggiNumero(f, i);
  if (i < f.size() && f[i] == '.') {
    ++i;
    c.conPrecisione = true;
    c.precisione = LeggiNumero(f, i);
  }
  if (i < f.size() && f[i] == 'h') {
    ++i;
    c.lunghezza = Lunghezza::kShort;
    if (i < f.size() && f[i] == 'h') ++i, c.lunghezza = Lunghezza::kChar;
  } else if (i < f.size() && f[i] == 'l') {
    ++i;
    c.lunghezza = Lunghezza::kLungo;
    if (i < f.size() && f[i] == 'l') ++i;
  } else if (i < f.size() && (f[i] == 'j' || f[i] == 'z' || f[i] == 't')) {
    ++i;
    c.lunghezza = Lunghezza::kLungo;
  }
  if (i >= f.size()) return false;
  c.tipo = f[i++];
  switch (c.tipo) {
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'c':
      return true;
    default:
      return false;
  }
}

void Riempi(std::string& out, std::size_t n, char ch) { out.append(n, ch); }

void ApplicaConversione(std::string& out, const Conversione& c, long long valore) {
  std::string corpo;  // the digits, or the character
  std::string_view prefisso;  // sign or 0x
  if (c.tipo == 'c') {
    const auto ch = static_cast<unsigned char>(valore);
    if (ch != 0) AccodaUtf8(corpo, ch);
    const std::size_t spazi = c.larghezza > 1 ? c.larghezza - 1 : 0;
    if (!c.sinistra) Riempi(out, spazi, ' ');
    out += corpo;
    if (c.sinistra) Riempi(out, spazi, ' ');
    return;
  }

  unsigned long long assoluto = 0;
  if (c.tipo == 'd' || c.tipo == 'i') {
    long long v = valore;
    switch (c.lunghezza) {
      case Lunghezza::kChar: v = static_cast<signed char>(valore); break;
      case Lunghezza::kShort: v = static_cast<short>(valore); break;
      case Lunghezza::kInt: v = static_cast<int>(valore); break;
      case Lunghezza::kLungo: break;
    }
    if (v < 0) {
      prefisso = "-";
      assoluto = 0ULL - static_cast<unsigned long long>(v);
    } else {
      assoluto = static_cast<unsigned long long>(v);
      if (c.segno) prefisso = "+";
      else if (c.spazio) prefisso = " ";
    }
  } else {
    const auto u = static_cast<unsigned long long>(valore);
    switch (c.lunghezza) {
      case Lunghezza::kChar: assoluto = static_cast<unsigned char>(u); break;
      case Lunghezza::kShort: assoluto = static_cast<unsigned short>(u); break;
      case Lunghezza::kInt: assoluto = static_cast<unsigned int>(u); break;
      case Lunghezza::kLungo: assoluto = u; break;
    }
    if (c.alternativa && assoluto != 0 && c.tipo != 'u') prefisso = c.tipo == 'x' ? "0x" : "0X";
  }

  const unsigned base = (c.tipo == 'x' || c.tipo == 'X') ? 16 : 10;
  const char* cifre = c.tipo == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  for (unsigned long long v = assoluto; v != 0; v /= base) corpo.insert(corpo.begin(), cifre[v % base]);
  const std::size_t minimoCifre = c.conPrecisione ? c.precisione : 1;
  if (corpo.size() < minimoCifre) corpo.insert(0, minimoCifre - corpo.size(), '0');

  const std::size_t totale = prefisso.size() + corpo.size();
  const std::size_t pad = c.larghezza > totale ? c.larghezza - totale : 0;
  if (c.sinistra) {
    out += prefisso;
    out += corpo;
    Riempi(out, pad, ' ');
  } else if (c.zeri && !c.conPrecisione) {
    out += prefisso;
    Riempi(out, pad, '0');
    out += corpo;
  } else {
    Riempi(out, pad, ' ');
    out += prefisso;
    out += corpo;
  }
}

std::string ConByte(std::string testo, const std::uint8_t* dati, int conteggio) {
  if (dati == nullptr || conteggio <= 0) return testo;
  static constexpr char kCifre[] = "0123456789abcdef";
  // Bytes beyond what one line can hold would be cut anyway.
  const int massimo = static_cast<int>(CFileRegistro::kMaxTesto / 3 + 1);
  if (conteggio > massimo) conteggio = massimo;
  testo.reserve(testo.size() + 3 * static_cast<std::size_t>(conteggio));
  for (int k = 0; k < conteggio; ++k) {
    testo += ' ';
    testo += kCifre[dati[k] >> 4];
    testo += kCifre[dati[k] & 0x0F];
  }
  return testo;
}

std::string_view Formato(const char* formato) { return formato != nullptr ? formato : ""; }

}  // namespace

std::string FormattaInteri(std::string_view formato, std::initializer_list<long long> valori) {
  std::string out;
  const long long* prossimo = valori.begin();
  std::size_t i = 0;
  while (i < formato.size()) {
    const char ch = formato[i];
    if (ch != '%') {
      out += ch;
      ++i;
      continue;
    }
    if (i + 1 < formato.size() && formato[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    const std::size_t inizio = i;
    ++i;
    Conversione c;
    if (LeggiConversione(formato, i, c) && prossimo != valori.end()) {
      ApplicaConversione(out, c, *prossimo++);
    } else {
      // Not a conversion this formatter serves, or no value left for it: keep it
      // visible in the text instead of guessing.
      out.append(formato.substr(inizio, i - inizio));
    }
    if (out.size() > 4 * CFileRegistro::kMaxTesto) break;  // already far beyond one line
  }
  return out;
}

std::string TestoPerRegistro(std::string_view testo) {
  std::string out;
  std::size_t i = 0;
  while (i < testo.size()) {
    const Carattere c = Decodifica(testo, i);
    if (out.size() + UnitaUtf16(c) > CFileRegistro::kMaxTesto) break;
    if (!c.valido) {
      out += testo[i];
    } else if (c.codice < 0x10000) {
      out += static_cast<char>(c.codice & 0xFF);
    } else {
      const char32_t v = c.codice - 0x10000;
      out += static_cast<char>((0xD800 + (v >> 10)) & 0xFF);
      out += static_cast<char>((0xDC00 + (v & 0x3FF)) & 0xFF);
    }
    i += c.lunghezza;
  }
  return out;
}

std::string RigaRegistro(const OraLocale& ora, std::string_view testo) {
  char marca[64];
  std::snprintf(marca, sizeof marca, "%02d/%02d/%04d %02d:%02d:%02d ", ora.giorno, ora.mese,
                ora.anno, ora.ora, ora.minuto, ora.secondo);
  std::string riga = marca;
  riga += TestoPerRegistro(testo);
  riga += "\r\n";
  return riga;
}

void ScriviRigaRegistro(const std::string& percorso, std::string_view testo) {
  if (percorso.empty()) return;
  AccodaEsclusivo(percorso, RigaRegistro(OraAttuale(), testo));
}

void CFileRegistro::ImpostaFileRegistro(std::string_view percorso) {
  percorsoRegistro = std::string(TagliaUtf16(percorso, kMaxPercorso));
}

void CFileRegistro::Registra(std::string_view testo) const {
  ScriviRigaRegistro(percorsoRegistro, testo);
}

void CFileRegistro::RegistraValore(const char* formato, long long valore) const {
  if (percorsoRegistro.empty()) return;
  Registra(FormattaInteri(Formato(formato), {valore}));
}

void CFileRegistro::RegistraValori(const char* formato, long long valore1, long long valore2) const {
  if (percorsoRegistro.empty()) return;
  Registra(FormattaInteri(Formato(formato), {valore1, valore2}));
}

void CFileRegistro::RegistraConcat(std::string_view prefisso, std::string_view testo) const {
  if (percorsoRegistro.empty()) return;
  std::string riga(prefisso);
  riga += testo;
  Registra(riga);
}

void CFileRegistro::RegistraPrefissoValore(std::string_view prefisso, const char* formato,
                                           long long valore) const {
  if (percorsoRegistro.empty()) return;
  std::string riga(prefisso);
  riga += FormattaInteri(Formato(formato), {valore});
  Registra(riga);
}

void CFileRegistro::RegistraByte(std::string_view formato, const std::uint8_t* dati,
                                 int conteggio) const {
  if (percorsoRegistro.empty()) return;
  Registra(ConByte(std::string(formato), dati, conteggio));
}

void CFileRegistro::RegistraPrefissoByte(std::string_view prefisso, std::string_view formato,
                                         const std::uint8_t* dati, int conteggio) const {
  if (percorsoRegistro.empty()) return;
  std::string riga(prefisso);
  riga += formato;
  Registra(ConByte(std::move(riga), dati, conteggio));
}

}  // namespace bricola
