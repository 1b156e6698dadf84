#include "base/esiti.h"

#include <cstddef>

namespace bricola {

namespace {

constexpr int kTestoIndeterminato = 336;  // "Errore indeterminato"
constexpr int kTestoVuoto = 280;          // " "

struct Voce {
  int codice;
  int testo;
};

// Result codes that have a text of their own; every other code (including the
// ones operations return without a specific message) reads "Errore indeterminato".
constexpr Voce kTestiEsito[] = {
    {RC_OK, 280},
    {RC_FILE_OPEN, 279},
    {RC_NO_MEMORY, 376},
    {RC_FILE_CORRUPT, 275},
    {RC_FILE_UNLOADABLE, 357},
    {RC_NO_MODULE_SELECTED, 309},
    {RC_PORT_OPEN, 277},
    {RC_INTERNAL, 267},
    {RC_NOT_REMOTE, 306},
    {RC_MACHINE_MISMATCH, 278},
    {RC_PORT_SEND, 276},
    {RC_MODULE_CORRUPT, 298},
    {RC_TIMER_CREATE, 258},
    {RC_PACKET_SEND, 270},
    {RC_SERIAL_SEND, 269},
    {RC_OVERRUN, 274},
    {RC_PROGRAM_INCOMPATIBLE, 268},
    {RC_PACKET_PAST_END, 257},
    {RC_PACKET_SEQUENCE, 271},
    {RC_UNEXPECTED_REPLY, 266},
    {RC_REPLY_TIMEOUT, 265},
    {RC_REPLY_CRC, 264},
    {RC_BLOCK_ERASE, 263},
    {RC_BLOCK_WRITE, 262},
    {RC_FLASH_WRITE, 261},
    {RC_BOOT_AREA, 295},
    {RC_REMOTE_LOAD, 307},
    {RC_NACK, 297},
    {RC_KEY_NOT_FOUND, 329},
    {RC_REMOTE_UNREACHABLE, 330},
    {RC_REBOOT, 311},
    {RC_FLASH_FULL, 334},
    {RC_MODULE_TYPE, 335},
    {RC_BOOT_NO_DATA, 338},
    {RC_NO_CAN_ADDRESS, 339},
    {RC_READ_UNSUPPORTED, 342},
    {RC_BLOCK_READ, 344},
    {RC_KEY_EMPTY, 345},
    {RC_FILE_CREATE, 346},
    {RC_FLASH_MISSING, 347},
    {RC_EXTFLASH_ABSENT, 348},
    {RC_EXTFLASH_INFO, 349},
    {RC_EXTFLASH_UNKNOWN, 350},
    {RC_EXTFLASH_BOOT_WRITE, 351},
    {RC_EXTFLASH_BOOT_READ, 352},
    {RC_KEY_ERASE, 354},
    {RC_FILE_EXISTS, 356},
    {RC_KEY_ABSENT, 329},
    {RC_KEY_UNKNOWN, 358},
    {RC_KEY_DRIVER, 359},
    {RC_KEY_FAULT, 360},
    {RC_BOARD_INCOMPATIBLE, 375},
    {RC_KEY_TOO_SMALL, 361},
    {RC_PORT_ACCESS, 366},
    {RC_FLASH_SPEC, 377},
    {RC_BLOCK_SPEC, 378},
    {RC_MICRO_UNKNOWN, 371},
};

constexpr Voce kTestiFase[] = {
    {ST_WAIT_LINK, 260},      {ST_SEND_LOADER, 325}, {ST_LINKED, 272},
    {ST_DONE, 273},           {ST_LINK_LOST, 259},   {ST_FAILED, 365},
    {ST_CHECK_MICRO, 362},    {ST_CHECK_TRANSFER, 363}, {ST_SEND_MODULE, 364},
    {ST_ERASING, 379},        {ST_CHECK_BOOT, 380},
};

template <std::size_t N>
int Cerca(const Voce (&tabella)[N], int codice, int predefinito) {
  for (const Voce& v : tabella) {
    if (v.codice == codice) return v.testo;
  }
  return predefinito;
}

}  // namespace

int TestoEsito(int esito) { return Cerca(kTestiEsito, esito, kTestoIndeterminato); }

int TestoFase(int fase) { return Cerca(kTestiFase, fase, kTestoVuoto); }

}  // namespace bricola
