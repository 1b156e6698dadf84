// Image files: the module descriptor and the analysis that turns a file into
// a list of descriptors.
//
// A file is a sequence of records with no file header. A record whose first
// u32 is not 0xFFFFFFFF is a data record (u32 length, u32 address, payload);
// otherwise it is a typed record (u16 type, u16 total length): 0x0000 address,
// 0x0001 header, 0x0002 address pair, 0x0003 user data, 0xFFFF end record
// (CRC and module code big-endian), any other type skipped by its length. A
// module runs up to and including its end record. A file may instead end in a
// bare 4-byte trailer (CRC, code), or be one raw image whose last 4 bytes are
// the CRC and the code. A trailer that would close a module without records
// (right after an end record, or a 4-byte file that is not a raw image) is
// refused like an end record standing first: errore 3.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "image/file.h"

namespace bricola {

// Module classes (tipoModulo).
enum : int {
  MODULO_PROG = 0,
  MODULO_BOOT = 1,
  MODULO_DATA = 2,
  MODULO_SETUP = 3,
  MODULO_STAT = 4,
  MODULO_EXP = 5,
  MODULO_PROG1 = 6,
  MODULO_EVA = 7,
  MODULO_CORROTTO = 8,
  MODULO_MMI = 9,  // packed directory tree
};

// Content kinds (tipoContenuto) found by the marks in payloads.
enum : int {
  CONTENUTO_PROGRAMMA = 0,
  CONTENUTO_IMMAGINE = 1,
  CONTENUTO_FONT = 2,
};

// stato of a descriptor after validation.
enum : int {
  STATO_VALIDO = 0,
  STATO_CRC = 1,
  STATO_SCONOSCIUTO = 2,
  STATO_SENZA_DATI = 3,
};

// errore of AnalizzaFile.
enum : int {
  ERRORE_NESSUNO = 0,
  ERRORE_APERTURA = 1,
  ERRORE_FORMATO = 3,    // short read, malformed record, past the end, empty module
  ERRORE_SELETTORE = 4,  // header record with an invalid micro selector
};

// Record layout constants.
inline constexpr std::uint32_t kMarcaTipizzato = 0xFFFFFFFF;
inline constexpr std::uint16_t kTipoIndirizzo = 0x0000;
inline constexpr std::uint16_t kTipoIntestazione = 0x0001;
inline constexpr std::uint16_t kTipoCoppiaIndirizzi = 0x0002;
inline constexpr std::uint16_t kTipoDatiUtente = 0x0003;
inline constexpr std::uint16_t kTipoVoce = 0x0004;         // entry of a description block
inline constexpr std::uint16_t kTipoDescrizione = 0x0005;  // description block head
inline constexpr std::uint16_t kTipoFine = 0xFFFF;
inline constexpr std::uint32_t kLunghezzaIntestazione = 142;
inline constexpr std::uint32_t kLunghezzaCoppiaIndirizzi = 16;
inline constexpr std::uint32_t kLunghezzaDatiUtente = 40;
inline constexpr std::uint32_t kLunghezzaFine = 12;
inline constexpr std::uint32_t kLunghezzaNomeModulo = 128;
inline constexpr int kMaxModuli = 100;
// The 16-byte marks at the start of a payload.
inline constexpr char kMarcaFont[16] = "Tarvolinx Fonts";
inline constexpr char kMarcaImmagine[16] = "Tarvolinx Image";

// Label of a module class as the module list shows it ("Prog", ..., "????").
const char* EtichettaModulo(int tipoModulo);

// One module of an image file.
struct CProgDescr {
  std::uint16_t codice = 0;       // from the end record or trailer
  std::uint32_t inizio = 0;       // file offset of the first record (raw: 0)
  std::uint32_t fine = 0;         // file offset of the 4 closing bytes (CRC, code)
  bool conIndirizzo = false;      // contains an address record
  std::uint32_t lunghezzaDati = 0;
  // The four addresses are handed to loaders as one group, in this order.
  std::uint32_t indirizzo = 0;
  std::uint32_t indirizzoSecondario = 0;
  std::uint32_t indirizzoPredefinito = 0;
  std::uint32_t indirizzoSecondarioPredefinito = 0;
  int stato = STATO_VALIDO;
  bool conIntestazione = false;   // the five fields below come from a header record
  int indiceModello = 0;          // model table row of codice, 0 when unknown
  int tipoLoad = 0;
  int tipoModulo = 0;
  int tipoContenuto = 0;
  int tipoMicro = 0;
  bool caricabileRemoto = false;
  bool nonSelezionato = false;
  int velocita[2] = {0, 0};       // start baud rate, alternate baud rate
  std::string nome;               // from the header record (UTF-8)
  std::array<std::uint8_t, 128> datiUtente{};  // last user data record, rest zero
  std::optional<std::string> descrizione;      // of the last description block that had one

  // The four addresses as one group (indirizzo, secondary, default, default secondary).
  std::uint32_t* Indirizzi() { return &indirizzo; }

  // Queries. Without a header record they answer from the model table row.
  int TipoLoad() const;
  int TipoMicro() const;
  int TipoModulo() const;
  bool ModuloBoot() const;
  // Start and alternate baud rate.
  void Velocita(int& avvio, int& alternativa) const;
  bool NonSelezionato() const;
  bool CaricabileRemoto() const;
  // Name index of codice in the model table; none when unknown.
  std::optional<int> IndiceNome() const;
  // Copies at most `conteggio` characters of the description into testo and
  // returns how many it copied: an empty text and 0 without a description;
  // with conteggio 0 testo is left untouched.
  int Descrizione(std::string& testo, int conteggio) const;
  // Back to the state of a fresh descriptor (frees the description).
  void Azzera();
};

class CAnalisiFile {
 public:
  CAnalisiFile() = default;
  CAnalisiFile(const CAnalisiFile&) = delete;
  CAnalisiFile& operator=(const CAnalisiFile&) = delete;

  // 1: the file was analysed; numModuli descriptors are filled, each with its
  // stato. 0: failed with errore (ERRORE_*); descriptors completed before the
  // failure are still filled and counted. tuttiValidi: nothing failed and no
  // module has stato 1 or 2. inutilizzabile: a raw image with a bad CRC, or a
  // scan that failed before completing its first module. grezzo: a raw image.
  int AnalizzaFile(const std::string& nomeFile, CProgDescr* descrittori, int capacita,
                   int& numModuli, int& tuttiValidi, int& inutilizzabile, int& grezzo,
                   int& errore);

  void ImpostaVerificaCrc(bool verifica) { verificaCrc = verifica; }
  bool VerificaCrc() const { return verificaCrc; }
  // With chiave set, the key file object becomes the current source (a file
  // name is then whatever that object understands: the decimal index of a key
  // file). The key layer owns the object and passes it here; a null pointer
  // keeps the one given before. Without chiave, back to the disk file.
  void ImpostaSorgente(bool chiave, CFileTemplate* fileChiave = nullptr);
  CFileTemplate& FileCorrente() { return *corrente; }

  // Selection queries (selezione: one int per descriptor, nonzero = selected).
  static bool TuttiSelezionatiValidi(const CProgDescr* descrittori, int numero, const int* selezione);
  static bool QualcunoNonRemoto(const CProgDescr* descrittori, int numero, const int* selezione);
  static bool QualcunoBoot(const CProgDescr* descrittori, int numero, const int* selezione);

 private:
  int Analizza(CFileTemplate& file, std::uint32_t dimensione, CProgDescr* descrittori, int capacita,
               int& numModuli, int& tuttiValidi, int& inutilizzabile, int& grezzo, int& errore);
  int AnalizzaGrezzo(CFileTemplate& file, std::uint32_t dimensione, std::uint16_t codice, int riga,
                     CProgDescr& d, int& numModuli, int& tuttiValidi, int& inutilizzabile, int& grezzo,
                     int& errore);
  bool Convalida(CFileTemplate& file, std::uint32_t dimensione, CProgDescr& d);

  bool verificaCrc = true;
  CFileWin fileDisco;
  CFileTemplate* fileChiave = nullptr;
  CFileTemplate* corrente = &fileDisco;
};

// Load kind and baud rates of a header record's micro selector; false for an
// invalid combination.
bool SelettoreIntestazione(int tipoMicro, bool boot, int& tipoLoad, int& velocitaAvvio,
                           int& velocitaAlternativa);

// CRC of the file range [inizio, fine), read in pieces of at most 512 bytes.
// false when a read fails.
// UTF-16LE units up to the first NUL, as UTF-8; a lone surrogate becomes U+FFFD.
std::string TestoDaUtf16(const std::uint8_t* dati, std::size_t unita);

bool CrcIntervallo(CFileTemplate& file, std::uint32_t inizio, std::uint32_t fine, std::uint16_t& crc);

}  // namespace bricola
