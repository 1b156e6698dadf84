// The resident boot protocol as a board sees it: command bytes, request
// lengths, the request check and the reply check. Written from the board's
// side on purpose: the simulated machine must not share the tool's own code,
// so that it catches the tool's mistakes instead of repeating them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bricola::sim {

// The commands a resident boot understands.
enum class Comando {
  GetFirma,
  GetVersione,
  GetMicro,
  GetVelocitaMassima,
  SetVelocita,
  SetRemoto,
  Reboot,
  ModoDati,
  LunBuf,
  FlashType,
  FlashBlocco,
  Blank,
  Erase,
  Write,
  Read,
  Codice,
  Fine,
  CancellaChip,  // resident boot of an MB91F465: erase the whole chip
  Sconosciuto,
};
inline constexpr int NUM_COMANDI = static_cast<int>(Comando::Sconosciuto) + 1;

// First bytes of the requests (and of the replies, which echo them).
inline constexpr std::uint8_t CMD_GET_FIRMA = 0xF3;
inline constexpr std::uint8_t CMD_GET_VERSIONE = 0xFB;
inline constexpr std::uint8_t CMD_ESTESO = 0xF7;  // followed by a sub-command byte
inline constexpr std::uint8_t CMD_SET_REMOTO = 0xFA;
inline constexpr std::uint8_t CMD_REBOOT = 0xFC;
inline constexpr std::uint8_t CMD_LUN_BUF = 0xFE;
inline constexpr std::uint8_t CMD_FLASH_TYPE = 0xF8;
inline constexpr std::uint8_t CMD_BLANK = 0xEC;
inline constexpr std::uint8_t CMD_ERASE = 0xEE;
inline constexpr std::uint8_t CMD_WRITE = 0xED;
inline constexpr std::uint8_t CMD_READ = 0xF2;
inline constexpr std::uint8_t CMD_FINE = 0xF4;
inline constexpr std::uint8_t CMD_CANCELLA_CHIP = 0xEF;  // MB91F465 boots: EF 00 + check, no answer
inline constexpr std::uint32_t LUNGHEZZA_CANCELLA_CHIP = 5;

// Sub-commands after CMD_ESTESO.
inline constexpr std::uint8_t SUB_MODO_DATI = 0x00;
inline constexpr std::uint8_t SUB_CODICE = 0x02;
inline constexpr std::uint8_t SUB_GET_MICRO = 0x03;
inline constexpr std::uint8_t SUB_GET_VELOCITA_MASSIMA = 0x04;
inline constexpr std::uint8_t SUB_SET_VELOCITA = 0x05;
inline constexpr std::uint8_t SUB_FLASH_BLOCCO = 0x06;

// Short answers.
inline constexpr std::uint8_t NACK = 0xF9;
inline constexpr std::uint8_t NON_GESTITO = 0xFF;  // second byte of F7 FF + check

// Status bytes.
inline constexpr std::uint8_t STATO_OK = 0x00;
inline constexpr std::uint8_t STATO_ERRORE = 0x01;
inline constexpr std::uint8_t STATO_VUOTO = 0xFF;           // Blank: the range is erased
inline constexpr std::uint8_t STATO_NON_VUOTO = 0x00;       // Blank: something is programmed
inline constexpr std::uint8_t STATO_PROTETTO = 0xFD;        // Erase: protected sector
inline constexpr std::uint8_t STATO_AREA_BOOT = 0xFD;       // Write: reaches the boot's own area
inline constexpr std::uint8_t STATO_AREA_VETTORI = 0xFC;    // Write: interrupt vector area
inline constexpr std::uint8_t STATO_REBOOT_IGNORATO = 0xFE; // Reboot: the local board was addressed

// Boot versions from which a command exists.
inline constexpr std::uint8_t VERSIONE_GET_MICRO = 0x53;
inline constexpr std::uint8_t VERSIONE_VELOCITA = 0x55;
inline constexpr std::uint8_t VERSIONE_FLASH_BLOCCO = 0x68;

// Micro type of an MB91F465 board (its boot knows CancellaChip).
inline constexpr std::uint8_t MICRO_FR = 8;
// Micro type whose boot uses 4-byte addresses.
inline constexpr std::uint8_t MICRO_INDIRIZZI_32 = 9;

inline constexpr std::uint32_t BAUD_BOOT = 38400;
inline constexpr std::uint32_t BAUD_VELOCE = 115200;

// h = (h rotated left by 5 within 16 bits) XOR b, from h = 0.
std::uint16_t HashRuota5(const std::uint8_t* dati, std::size_t n);
inline std::uint16_t HashRuota5(const std::vector<std::uint8_t>& v) { return HashRuota5(v.data(), v.size()); }

// Appends the three check bytes that make the hash of a request 0 (what a
// PC sends; used by the tests and by diagnostics).
void AggiungiControlloRichiesta(std::vector<std::uint8_t>& richiesta);
// Appends the two reply check bytes (hash of everything before, low byte first).
void AggiungiControlloRisposta(std::vector<std::uint8_t>& risposta);
// The reply check as the PC judges it: first byte and the trailing hash.
bool RispostaValida(const std::vector<std::uint8_t>& risposta, std::uint8_t primo);

// Length of the request that starts with the bytes seen so far:
// > 0 the total length in bytes; 0 more bytes are needed to tell;
// < 0 the first bytes name no command this boot family knows.
int LunghezzaRichiesta(const std::uint8_t* dati, std::size_t n, int byteIndirizzo);
// The command named by a request's first bytes (at least 2 for F7).
Comando ComandoDi(const std::uint8_t* dati, std::size_t n);
const char* NomeComando(Comando c);
// "GetFirma" -> Comando::GetFirma; "*" and unknown names -> Sconosciuto, ok false for unknown.
Comando ComandoDaNome(const std::string& nome, bool& ok);

std::string Esadecimale(const std::uint8_t* dati, std::size_t n);  // "f3 60 03 18"

}  // namespace bricola::sim
