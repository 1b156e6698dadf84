// Telnet and RFC 2217 (COM-PORT-OPTION) wire constants. Shared by the network
// serial client and the simulated machine; each side has its own logic.
#pragma once

#include <cstdint>

namespace bricola::rfc2217 {

// Telnet commands (RFC 854).
inline constexpr std::uint8_t IAC = 255;
inline constexpr std::uint8_t DONT = 254;
inline constexpr std::uint8_t DO = 253;
inline constexpr std::uint8_t WONT = 252;
inline constexpr std::uint8_t WILL = 251;
inline constexpr std::uint8_t SB = 250;
inline constexpr std::uint8_t GA = 249;
inline constexpr std::uint8_t NOP = 241;
inline constexpr std::uint8_t SE = 240;

// Telnet options.
inline constexpr std::uint8_t OPT_BINARY = 0;            // RFC 856
inline constexpr std::uint8_t OPT_ECHO = 1;              // RFC 857
inline constexpr std::uint8_t OPT_SUPPRESS_GO_AHEAD = 3; // RFC 858
inline constexpr std::uint8_t OPT_COM_PORT = 44;         // RFC 2217

// COM-PORT-OPTION sub-commands, client to server. The server answers with the
// same code plus SERVER_OFFSET.
inline constexpr std::uint8_t SIGNATURE = 0;
inline constexpr std::uint8_t SET_BAUDRATE = 1;
inline constexpr std::uint8_t SET_DATASIZE = 2;
inline constexpr std::uint8_t SET_PARITY = 3;
inline constexpr std::uint8_t SET_STOPSIZE = 4;
inline constexpr std::uint8_t SET_CONTROL = 5;
inline constexpr std::uint8_t NOTIFY_LINESTATE = 6;
inline constexpr std::uint8_t NOTIFY_MODEMSTATE = 7;
inline constexpr std::uint8_t FLOWCONTROL_SUSPEND = 8;
inline constexpr std::uint8_t FLOWCONTROL_RESUME = 9;
inline constexpr std::uint8_t SET_LINESTATE_MASK = 10;
inline constexpr std::uint8_t SET_MODEMSTATE_MASK = 11;
inline constexpr std::uint8_t PURGE_DATA = 12;
inline constexpr std::uint8_t SERVER_OFFSET = 100;

// SET-PARITY values.
inline constexpr std::uint8_t PARITY_REQUEST = 0;
inline constexpr std::uint8_t PARITY_NONE = 1;
inline constexpr std::uint8_t PARITY_ODD = 2;
inline constexpr std::uint8_t PARITY_EVEN = 3;
inline constexpr std::uint8_t PARITY_MARK = 4;
inline constexpr std::uint8_t PARITY_SPACE = 5;

// SET-STOPSIZE values.
inline constexpr std::uint8_t STOPSIZE_REQUEST = 0;
inline constexpr std::uint8_t STOPSIZE_1 = 1;
inline constexpr std::uint8_t STOPSIZE_2 = 2;
inline constexpr std::uint8_t STOPSIZE_1_5 = 3;

// SET-CONTROL values.
inline constexpr std::uint8_t CONTROL_FLOW_REQUEST = 0;
inline constexpr std::uint8_t CONTROL_FLOW_NONE = 1;
inline constexpr std::uint8_t CONTROL_FLOW_XONXOFF = 2;
inline constexpr std::uint8_t CONTROL_FLOW_HARDWARE = 3;
inline constexpr std::uint8_t CONTROL_BREAK_REQUEST = 4;
inline constexpr std::uint8_t CONTROL_BREAK_ON = 5;
inline constexpr std::uint8_t CONTROL_BREAK_OFF = 6;
inline constexpr std::uint8_t CONTROL_DTR_REQUEST = 7;
inline constexpr std::uint8_t CONTROL_DTR_ON = 8;
inline constexpr std::uint8_t CONTROL_DTR_OFF = 9;
inline constexpr std::uint8_t CONTROL_RTS_REQUEST = 10;
inline constexpr std::uint8_t CONTROL_RTS_ON = 11;
inline constexpr std::uint8_t CONTROL_RTS_OFF = 12;

// PURGE-DATA values.
inline constexpr std::uint8_t PURGE_RECEIVE = 1;   // the access server's receive buffer
inline constexpr std::uint8_t PURGE_TRANSMIT = 2;  // the access server's transmit buffer
inline constexpr std::uint8_t PURGE_BOTH = 3;

}  // namespace bricola::rfc2217
