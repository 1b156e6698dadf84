// The resident boot's request/reply protocol: command bytes, status bytes,
// time limits, reply lengths and the frame builders. A request is the command
// bytes, its fields (little-endian) and 3 check bytes; a reply is the echo of
// the first command byte, its fields and 2 check bytes.
#pragma once

#include <array>
#include <cstdint>

namespace bricola {

// Command bytes.
inline constexpr std::uint8_t kGetFirma = 0xF3;
inline constexpr std::uint8_t kGetVersione = 0xFB;
inline constexpr std::uint8_t kComandoEsteso = 0xF7;  // first byte of the two-byte commands
inline constexpr std::uint8_t kSetRemoto = 0xFA;
inline constexpr std::uint8_t kReboot = 0xFC;
inline constexpr std::uint8_t kLunBuf = 0xFE;
inline constexpr std::uint8_t kFlashType = 0xF8;
inline constexpr std::uint8_t kBlank = 0xEC;
inline constexpr std::uint8_t kErase = 0xEE;
inline constexpr std::uint8_t kWrite = 0xED;
inline constexpr std::uint8_t kRead = 0xF2;
inline constexpr std::uint8_t kFine = 0xF4;
// Second byte of the two-byte commands (after kComandoEsteso).
inline constexpr std::uint8_t kModoDati = 0x00;
inline constexpr std::uint8_t kCodice = 0x02;
inline constexpr std::uint8_t kGetMicro = 0x03;
inline constexpr std::uint8_t kGetVelocitaMassima = 0x04;
inline constexpr std::uint8_t kSetVelocita = 0x05;
inline constexpr std::uint8_t kFlashBlocco = 0x06;

// Short answers that replace a reply.
inline constexpr std::uint8_t kNack = 0xF9;         // the single byte F9
inline constexpr std::uint8_t kNonGestito = 0xFF;   // F7 FF + 2 check bytes
inline constexpr int kLunghezzaNonGestito = 4;

// Status bytes (0 is success for every command).
inline constexpr std::uint8_t kStatoOk = 0x00;
inline constexpr std::uint8_t kBlankVuoto = 0xFF;
inline constexpr std::uint8_t kEraseProtetto = 0xFD;
inline constexpr std::uint8_t kWriteAreaVettori = 0xFC;
inline constexpr std::uint8_t kWriteAreaBoot = 0xFD;
inline constexpr std::uint8_t kRebootIgnorato = 0xFE;
// Speed codes of GetVelocitaMassima / SetVelocita.
inline constexpr std::uint8_t kVelocita115200 = 0x01;
inline constexpr std::uint8_t kVelocitaDefault = 0xFF;  // the boot stays at 38400
inline constexpr int kBaudAlto = 115200;
// Micro type that answers GetMicro with "cannot forward over the link".
inline constexpr std::uint8_t kMicroNonInoltrato = 0xFF;
// Micro type whose address fields are 4 bytes wide.
inline constexpr int kMicroIndirizzo32 = 9;

// Boot versions that change the sequence.
inline constexpr int kVersioneConMicro = 0x53;     // from here the boot knows GetMicro
inline constexpr int kVersioneConVelocita = 0x55;  // from here speed negotiation
inline constexpr int kVersioneMappaAuto = 0x68;    // both sides from here: automatic map

// External flash queries.
inline constexpr std::uint32_t kBaseFlashEsterna = 0x400000;
inline constexpr std::uint16_t kOffsetQuery = 32;
inline constexpr std::uint8_t kConteggioQuery = 45;
inline constexpr std::uint16_t kOffsetSpec = 128;
inline constexpr std::uint8_t kConteggioSpec = 32;

// Room of a request frame: the largest Write (7-byte header, 2050 data bytes, check).
inline constexpr int kMaxDatiWrite = 2050;
inline constexpr int kMaxTrama = 7 + kMaxDatiWrite + 3;
inline constexpr int kMaxRisposta = 2048;

// A request frame being built. Every builder below returns a closed frame
// (check bytes appended).
class CTrama {
 public:
  CTrama& Byte(std::uint8_t v);
  CTrama& U16(std::uint16_t v);
  CTrama& U32(std::uint32_t v);
  // 3 bytes, or 4 when largo (a boot of micro type 9).
  CTrama& Indirizzo(std::uint32_t v, bool largo);
  CTrama& Dati(const std::uint8_t* dati, int n);
  // Appends the 3 check bytes.
  CTrama& Chiudi();

  const std::uint8_t* Dati() const { return byte.data(); }
  int Lunghezza() const { return n; }

 private:
  std::array<std::uint8_t, kMaxTrama> byte{};
  int n = 0;
};

CTrama TramaGetFirma();
CTrama TramaGetVersione();
CTrama TramaGetMicro();
CTrama TramaGetVelocitaMassima();
CTrama TramaSetVelocita(std::uint8_t codiceVelocita);
CTrama TramaSetRemoto(std::uint16_t indirizzoCan);
CTrama TramaReboot();
CTrama TramaModoDati();
CTrama TramaLunBuf();
CTrama TramaFlashType(std::uint32_t base, std::uint16_t offset, std::uint8_t conteggio, bool largo);
CTrama TramaFlashBlocco(std::uint32_t indirizzo, bool largo);
CTrama TramaBlank(std::uint32_t primo, std::uint32_t ultimo, bool largo);
CTrama TramaErase(std::uint32_t indirizzo, bool largo);
CTrama TramaWrite(std::uint32_t indirizzo, const std::uint8_t* dati, int n, bool largo);
CTrama TramaRead(std::uint32_t indirizzo, std::uint16_t n, bool largo);
CTrama TramaCodice(std::uint16_t codiceMacchina, std::uint32_t indirizzoCan);
CTrama TramaFine();

// Buffer size code of LunBuf: up to 128 the size itself, above (v - 128) x 16.
int DimensioneBufferRemoto(std::uint8_t codice);
// Micro type of a boot that knows no GetMicro, from its machine code.
int TipoMicroDaCodice(std::uint16_t codiceMacchina);
// Whether a boot of micro type tipoBoot accepts a module of micro type tipoModulo.
bool MicroCompatibili(int tipoBoot, int tipoModulo);

// The requests of the loader, with everything that is fixed per request: the
// first reply byte, the time limit, the reply length (0: depends on the
// request) and the log texts of its sender, of its retries and of its replies.
enum class Richiesta : int {
  GetFirma, GetVersione, GetMicro, GetVelocitaMassima, SetVelocita, SetRemoto, Reboot,
  ModoDati, LunBuf, FlashType, FlashSpec, FlashBlocco, Blank, Erase, Write, Read, Codice,
  Fine, Numero
};

struct SRichiesta {
  std::uint8_t primo;        // first byte of the reply
  int timeoutMs;
  int lunghezzaRisposta;     // 0: FlashType, FlashSpec and Read (count + 3)
  const char* invio;         // log prefix of the request's hex dump (null: own line)
  const char* ricevuto;      // margin line
  const char* errata;        // reply failing its check
  const char* prefisso;      // prefix of ClassificaIncompleta
  const char* tentativo;     // retry line
  const char* fineTentativi; // final line
};

const SRichiesta& Descrizione(Richiesta r);

}  // namespace bricola
