// File access: the abstract file every image reader and loader talks to, the
// disk file, a memory-backed file, the byte-order helpers and the directory
// functions used when packed trees are unpacked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bricola {

// Positions, sizes and lengths are 32-bit: files over 4 GB are not supported.
class CFileTemplate {
 public:
  CFileTemplate() = default;
  // Closes nothing: whoever opens a file closes it.
  virtual ~CFileTemplate() = default;
  CFileTemplate(const CFileTemplate&) = delete;
  CFileTemplate& operator=(const CFileTemplate&) = delete;

  virtual int Esiste(const std::string& percorso) = 0;
  virtual int ApriLettura(const std::string& percorso) = 0;
  virtual int ApriAggiunta(const std::string& percorso) = 0;
  virtual int Crea(const std::string& percorso) = 0;
  virtual std::uint32_t Dimensione() = 0;
  virtual int Riavvolgi() = 0;
  virtual int Posiziona(std::uint32_t posizione) = 0;
  virtual int Sposta(std::int32_t delta) = 0;
  virtual int PosizionaDaFine(std::int32_t delta) = 0;
  // 1 only when exactly n bytes were read: a short read is a failure.
  virtual int Leggi(void* buffer, std::uint32_t n) = 0;
  // 1 only when exactly n bytes were written.
  virtual int Scrivi(const void* buffer, std::uint32_t n) = 0;
  virtual int Chiudi() = 0;
};

// A file on the local disk. Closed when constructed; may be opened, closed and
// reopened any number of times. The destructor closes a file left open.
class CFileWin : public CFileTemplate {
 public:
  CFileWin() = default;
  ~CFileWin() override;

  int Esiste(const std::string& percorso) override;
  int ApriLettura(const std::string& percorso) override;
  // Read and write, created when missing, positioned at the end.
  int ApriAggiunta(const std::string& percorso) override;
  // Created or truncated, read and write.
  int Crea(const std::string& percorso) override;
  std::uint32_t Dimensione() override;
  int Riavvolgi() override;
  // Seeking past the end is allowed; a following Leggi then fails.
  int Posiziona(std::uint32_t posizione) override;
  int Sposta(std::int32_t delta) override;
  // Refuses (0, position unchanged) when the result would be negative.
  int PosizionaDaFine(std::int32_t delta) override;
  int Leggi(void* buffer, std::uint32_t n) override;
  int Scrivi(const void* buffer, std::uint32_t n) override;
  int Chiudi() override;

  // One read of up to n bytes; letti gets the count (0 at end of file).
  // 1 unless the read itself failed.
  int LeggiParziale(void* buffer, std::uint32_t n, std::uint32_t& letti);
  std::uint32_t Posizione();
  bool Aperto() const { return handle != nullptr; }

 private:
  enum class Ultima { nessuna, lettura, scrittura };
  // stdio needs a seek between a read and a write on the same stream.
  void Alterna(Ultima prossima);

  std::FILE* handle = nullptr;
  Ultima ultima = Ultima::nessuna;
};

// A file held in memory: a byte vector with a position. Useful where an image
// is built or checked without touching the disk (tests, fuzzing, the demo).
// With an empty name every path opens it; otherwise only that name does.
class CFileMemoria : public CFileTemplate {
 public:
  CFileMemoria() = default;
  explicit CFileMemoria(std::vector<std::uint8_t> contenuto, std::string nomeFile = {});

  void ImpostaContenuto(std::vector<std::uint8_t> contenuto);
  void ImpostaContenuto(const std::uint8_t* dati, std::size_t n);
  const std::vector<std::uint8_t>& Contenuto() const { return dati; }
  void ImpostaNome(std::string nomeFile) { nome = std::move(nomeFile); }
  bool Aperto() const { return aperto; }
  // How many times ApriLettura/ApriAggiunta/Crea succeeded and bytes read so far.
  int Aperture() const { return aperture; }
  std::uint64_t ByteLetti() const { return byteLetti; }

  int Esiste(const std::string& percorso) override;
  int ApriLettura(const std::string& percorso) override;
  int ApriAggiunta(const std::string& percorso) override;
  int Crea(const std::string& percorso) override;
  std::uint32_t Dimensione() override;
  int Riavvolgi() override;
  int Posiziona(std::uint32_t posizione) override;
  int Sposta(std::int32_t delta) override;
  int PosizionaDaFine(std::int32_t delta) override;
  int Leggi(void* buffer, std::uint32_t n) override;
  int Scrivi(const void* buffer, std::uint32_t n) override;
  int Chiudi() override;

  std::uint32_t Posizione() const { return static_cast<std::uint32_t>(posizione); }

 private:
  bool NomeValido(const std::string& percorso) const;

  std::vector<std::uint8_t> dati;
  std::string nome;
  std::uint64_t posizione = 0;
  bool aperto = false;
  int aperture = 0;
  std::uint64_t byteLetti = 0;
};

// Byte order. Every file, wire and device format is read and written with these.
inline std::uint16_t LeggiU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LeggiU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void ScriviU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Scrivi24(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
}
inline void ScriviU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}
// Big-endian u16: the module code and CRC of image files.
inline std::uint16_t LeggiU16BE(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline void ScriviU16BE(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

// Directories and paths. Image content may carry backslash separators; here
// both '\' and '/' separate, and the paths produced use '/'.
inline constexpr char kSeparatore = '/';

// 1 when the path names an existing directory (a file gives 0).
int EsisteCartella(const std::string& percorso);
// Creates one directory; its parent must exist.
int CreaCartella(const std::string& percorso);
// Walks the path from its second character; at each separator creates the
// prefix when it is not a directory yet; the first failure ends with 0. With
// ancheUltimo the whole path is created too. Only directories are created.
int CreaPercorso(const std::string& percorso, bool ancheUltimo);
// Drops each backslash directly followed by '/', then makes every separator '/'.
void NormalizzaSeparatori(std::string& percorso);
// NormalizzaSeparatori, then CreaPercorso with ancheUltimo set.
int CreaCartellaCompleta(std::string percorso);

}  // namespace bricola
