// Test-side builder of image files. Every fixture of the tests is made with it:
//
//   CImmagine img;
//   img.Dati(0xFC0000, {1, 2, 3, 4}).Fine(0x0010);           // one module, right CRC
//   img.Indirizzo(0x482).Intestazione({.tipoMicro = 1, .nome = "app"})
//      .Riempi(0x400000, 0x1000, 0xAA).Fine(0x0011);          // a second module
//   img.Scrivi(percorso);   or   prova::Byte b = img.Contenuto();
//
// Records are appended in call order; Fine/Trailer close the module begun
// since the previous one, with the CRC the analysis expects (from the module's
// first record, or 8 bytes later when the module has an address record, up to
// and including the first 8 bytes of the end record). The ...Crc forms write
// a given CRC instead, to make corrupt files.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bricola::prova {

using Byte = std::vector<std::uint8_t>;

// Fields of a header record (type 0x0001).
struct SIntestazione {
  int tipoMicro = 0;
  int tipoModulo = 0;
  bool caricabileRemoto = false;
  bool nonSelezionato = false;
  std::string nome;  // one byte per character (Latin-1), at most 128
};

// Header fields that give a load kind (0..13): micro selector and class (the
// load kinds 1, 2, 6, 8, 10 and 12 are boot modules). tipoLoad out of range: {}.
SIntestazione IntestazionePerTipoLoad(int tipoLoad, const std::string& nome = {});

// One entry of a packed directory tree: a directory, or a file with its content.
struct SVoceAlbero {
  std::string percorso;  // relative path, as stored (separators are kept as given)
  bool cartella = false;
  Byte contenuto;        // files only
};

class CImmagine {
 public:
  // Data record: lunghezza, indirizzo, payload.
  CImmagine& Dati(std::uint32_t indirizzo, const Byte& payload);
  // Data record of `lunghezza` bytes all equal to `valore`.
  CImmagine& Riempi(std::uint32_t indirizzo, std::uint32_t lunghezza, std::uint8_t valore);
  // Data record of `lunghezza` bytes of a repeatable pattern (seme picks it).
  CImmagine& Sequenza(std::uint32_t indirizzo, std::uint32_t lunghezza, std::uint32_t seme = 1);
  // Data record whose length field says `lunghezzaDichiarata` but carries `payload`.
  CImmagine& DatiFalsati(std::uint32_t lunghezzaDichiarata, std::uint32_t indirizzo, const Byte& payload);
  // Address record (type 0x0000) with a u16 CAN address.
  CImmagine& Indirizzo(std::uint16_t indirizzo);
  // Header record (type 0x0001).
  CImmagine& Intestazione(const SIntestazione& h);
  // Address pair record (type 0x0002).
  CImmagine& CoppiaIndirizzi(std::uint32_t primario, std::uint32_t secondario);
  // User data record (type 0x0003); shorter data is zero-padded to 32 bytes.
  CImmagine& DatiUtente(const Byte& dati);
  // Any typed record: tipo, a dimensione field and a body (dimensione need not match).
  CImmagine& Tipizzato(std::uint16_t tipo, std::uint16_t dimensione, const Byte& corpo = {});
  // Reserved typed record with a consistent dimensione (8 + body).
  CImmagine& Riservato(std::uint16_t tipo, const Byte& corpo);
  // Data record whose payload is a description block with this text.
  CImmagine& Descrizione(std::uint32_t indirizzo, const std::string& testo, int tipoContenuto = 0);
  // Data record whose payload is a packed directory tree (description text =
  // default directory name, then the entries).
  CImmagine& Albero(std::uint32_t indirizzo, const std::string& cartella, const std::vector<SVoceAlbero>& voci,
                    int tipoContenuto = 0);
  // Data record carrying "Tarvolinx Fonts"/"Tarvolinx Image" then `resto` bytes.
  CImmagine& Font(std::uint32_t indirizzo, std::uint32_t resto = 16);
  CImmagine& Figura(std::uint32_t indirizzo, std::uint32_t resto = 16);

  // End record with the right CRC; closes the module.
  CImmagine& Fine(std::uint16_t codice);
  CImmagine& FineCrc(std::uint16_t codice, std::uint16_t crc);
  // 4-byte trailer (CRC, code) with the right CRC; closes the module.
  CImmagine& Trailer(std::uint16_t codice);
  CImmagine& TrailerCrc(std::uint16_t codice, std::uint16_t crc);
  // Arbitrary bytes, as they are (count towards the module being built).
  CImmagine& Grezzi(const Byte& b);

  // CRC of the current module's bytes so far (what a Trailer written now carries).
  std::uint16_t CrcModulo() const;
  // Offset at which the next record starts; offset of the current module's first record.
  std::uint32_t Posizione() const { return static_cast<std::uint32_t>(byte.size()); }
  std::uint32_t InizioModulo() const { return inizioModulo; }

  const prova::Byte& Contenuto() const { return byte; }
  bool Scrivi(const std::string& percorso) const;

 private:
  void Chiudi();

  prova::Byte byte;
  std::uint32_t inizioModulo = 0;
  bool conIndirizzo = false;
};

// Raw image: content, then CRC of the content and the code (both big-endian).
Byte ImmagineGrezza(const Byte& contenuto, std::uint16_t codice);
Byte ImmagineGrezzaCrc(const Byte& contenuto, std::uint16_t codice, std::uint16_t crc);

// Payload of a description block: 12-byte head, an optional description text
// entry, then the entries (names and file contents enciphered).
Byte BloccoDescrizione(int tipoContenuto, const std::optional<std::string>& testo,
                       const std::vector<SVoceAlbero>& voci = {});
// One entry: kind (0 file, 1 description, 2 directory), UTF-8 text stored as
// enciphered UTF-16LE with its NUL, and for files the enciphered content.
Byte VoceBlocco(int tipo, const std::string& testo, const Byte& contenuto = {});
// UTF-8 to UTF-16LE with a terminating NUL unit.
Byte Utf16(const std::string& testo);

// The repeatable pattern used by Sequenza.
Byte Schema(std::uint32_t lunghezza, std::uint32_t seme = 1);

// Convenience: a file of one application module for `codice` whose payload
// lands at `indirizzo` (split into records of at most `pezzo` bytes).
Byte ImmagineApplicazione(std::uint16_t codice, std::uint32_t indirizzo, const Byte& dati,
                          std::uint32_t pezzo = 0x10000);

bool ScriviFile(const std::string& percorso, const Byte& contenuto);
Byte LeggiFile(const std::string& percorso);

}  // namespace bricola::prova
