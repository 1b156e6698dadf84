// Result codes and phase codes shared by every job, interface and loader.
// Codes travel as plain integers; 0 (RC_OK) is success.
#pragma once

namespace bricola {

// Result codes.
enum : int {
  RC_OK = 0,
  RC_FILE_OPEN = 1,
  RC_NO_MEMORY = 2,
  RC_FILE_CORRUPT = 3,
  RC_NO_SUCH_MODULE = 4,
  RC_MODULE_INVALID = 5,
  RC_FILE_UNLOADABLE = 6,
  RC_NO_MODULES = 7,
  RC_NO_MODULE_SELECTED = 8,
  RC_REMOTE_NOT_ALLOWED = 9,
  RC_PORT_OPEN = 11,
  RC_INTERNAL = 12,
  RC_NOT_REMOTE = 13,
  RC_MACHINE_MISMATCH = 14,
  RC_PORT_SEND = 15,
  RC_MODULE_CORRUPT = 16,
  RC_TIMER_CREATE = 17,
  RC_NOT_RUNNING = 19,
  RC_ALREADY_RUNNING = 20,
  RC_PACKET_SEND = 21,
  RC_SERIAL_SEND = 22,
  RC_OVERRUN = 23,
  RC_PROGRAM_INCOMPATIBLE = 24,
  RC_PACKET_PAST_END = 25,
  RC_PACKET_SEQUENCE = 26,
  RC_UNEXPECTED_REPLY = 27,
  RC_REPLY_TIMEOUT = 28,
  RC_REPLY_CRC = 29,
  RC_BLOCK_ERASE = 30,
  RC_BLOCK_WRITE = 31,
  RC_FLASH_WRITE = 32,
  RC_BOOT_AREA = 33,
  RC_REMOTE_LOAD = 34,
  RC_NACK = 35,
  RC_KEY_NOT_FOUND = 36,
  RC_REMOTE_UNREACHABLE = 37,
  RC_REBOOT = 38,
  RC_FLASH_FULL = 40,
  RC_MODULE_TYPE = 41,
  RC_BOOT_NO_DATA = 42,
  RC_NO_CAN_ADDRESS = 43,
  RC_READ_UNSUPPORTED = 44,
  RC_BLOCK_READ = 45,
  RC_KEY_EMPTY = 46,
  RC_FILE_CREATE = 47,
  RC_FLASH_MISSING = 48,
  RC_EXTFLASH_ABSENT = 49,
  RC_EXTFLASH_INFO = 50,
  RC_EXTFLASH_UNKNOWN = 51,
  RC_EXTFLASH_BOOT_WRITE = 52,
  RC_EXTFLASH_BOOT_READ = 53,
  RC_KEY_ERASE = 54,
  RC_FILE_EXISTS = 55,
  RC_KEY_ABSENT = 62,
  RC_KEY_UNKNOWN = 63,
  RC_KEY_DRIVER = 64,
  RC_KEY_FAULT = 65,
  RC_BOARD_INCOMPATIBLE = 66,
  RC_KEY_TOO_SMALL = 67,
  RC_PORT_ACCESS = 68,
  RC_FLASH_SPEC = 69,
  RC_BLOCK_SPEC = 70,
  RC_MICRO_UNKNOWN = 71,
  RC_NO_OPERATION = 72,
};

// Phase codes (the `fase` of jobs and loaders). ST_DONE at the end means success.
enum : int {
  ST_NONE = 0,
  ST_WAIT_LINK = 1,
  ST_SEND_LOADER = 2,
  ST_LINKED = 3,
  ST_DONE = 4,
  ST_LINK_LOST = 5,
  ST_FAILED = 6,
  ST_CHECK_MICRO = 7,
  ST_CHECK_TRANSFER = 8,
  ST_SEND_MODULE = 9,
  ST_ERASING = 10,
  ST_CHECK_BOOT = 11,
};

// Result code -> text identifier of the string table (Italian; +456 for English).
int TestoEsito(int esito);
// Phase code -> text identifier of the string table.
int TestoFase(int fase);

}  // namespace bricola
