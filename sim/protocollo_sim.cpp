#include "sim/protocollo_sim.h"

#include <array>
#include <cstdio>

namespace bricola::sim {

namespace {

std::uint16_t Ruota5(std::uint16_t h) { return static_cast<std::uint16_t>((h << 5) | (h >> 11)); }

struct VoceNome {
  Comando comando;
  const char* nome;
};

constexpr std::array<VoceNome, NUM_COMANDI> NOMI = {{
    {Comando::GetFirma, "GetFirma"},
    {Comando::GetVersione, "GetVersione"},
    {Comando::GetMicro, "GetMicro"},
    {Comando::GetVelocitaMassima, "GetVelocitaMassima"},
    {Comando::SetVelocita, "SetVelocita"},
    {Comando::SetRemoto, "SetRemoto"},
    {Comando::Reboot, "Reboot"},
    {Comando::ModoDati, "ModoDati"},
    {Comando::LunBuf, "LunBuf"},
    {Comando::FlashType, "FlashType"},
    {Comando::FlashBlocco, "FlashBlocco"},
    {Comando::Blank, "Blank"},
    {Comando::Erase, "Erase"},
    {Comando::Write, "Write"},
    {Comando::Read, "Read"},
    {Comando::Codice, "Codice"},
    {Comando::Fine, "Fine"},
    {Comando::CancellaChip, "CancellaChip"},
    {Comando::Sconosciuto, "Sconosciuto"},
}};

}  // namespace

std::uint16_t HashRuota5(const std::uint8_t* dati, std::size_t n) {
  std::uint16_t h = 0;
  for (std::size_t i = 0; i < n; ++i) h = static_cast<std::uint16_t>(Ruota5(h) ^ dati[i]);
  return h;
}

void AggiungiControlloRichiesta(std::vector<std::uint8_t>& richiesta) {
  // Three bytes, each chosen so that it clears the low byte of the running hash:
  // after the third the hash of the whole request is 0.
  std::uint16_t h = HashRuota5(richiesta);
  for (int i = 0; i < 3; ++i) {
    const std::uint16_t t = Ruota5(h);
    const auto c = static_cast<std::uint8_t>(t & 0xFF);
    richiesta.push_back(c);
    h = static_cast<std::uint16_t>(t ^ c);
  }
}

void AggiungiControlloRisposta(std::vector<std::uint8_t>& risposta) {
  const std::uint16_t h = HashRuota5(risposta);
  risposta.push_back(static_cast<std::uint8_t>(h & 0xFF));
  risposta.push_back(static_cast<std::uint8_t>(h >> 8));
}

bool RispostaValida(const std::vector<std::uint8_t>& r, std::uint8_t primo) {
  if (r.size() < 3 || r[0] != primo) return false;
  const std::uint16_t h = HashRuota5(r.data(), r.size() - 2);
  return r[r.size() - 2] == (h & 0xFF) && r[r.size() - 1] == (h >> 8);
}

int LunghezzaRichiesta(const std::uint8_t* d, std::size_t n, int a) {
  if (n == 0) return 0;
  switch (d[0]) {
    case CMD_GET_FIRMA:
    case CMD_GET_VERSIONE:
    case CMD_REBOOT:
    case CMD_LUN_BUF:
    case CMD_FINE:
      return 4;
    case CMD_SET_REMOTO:
      return 6;
    case CMD_FLASH_TYPE:
      return 7 + a;  // command, base, offset u16, count u8, check
    case CMD_BLANK:
      return 4 + 2 * a;
    case CMD_ERASE:
      return 4 + a;
    case CMD_READ:
      return 6 + a;
    case CMD_WRITE: {
      const std::size_t testa = 1 + static_cast<std::size_t>(a) + 2;
      if (n < testa) return 0;
      const int lunghezza = d[1 + a] | (d[2 + a] << 8);
      return 6 + a + lunghezza;
    }
    case CMD_ESTESO:
      if (n < 2) return 0;
      switch (d[1]) {
        case SUB_MODO_DATI:
        case SUB_GET_MICRO:
        case SUB_GET_VELOCITA_MASSIMA:
          return 5;
        case SUB_SET_VELOCITA:
          return 6;
        case SUB_CODICE:
          return 11;
        case SUB_FLASH_BLOCCO:
          return 5 + a;
        default:
          return -1;
      }
    default:
      return -1;
  }
}

Comando ComandoDi(const std::uint8_t* d, std::size_t n) {
  if (n == 0) return Comando::Sconosciuto;
  switch (d[0]) {
    case CMD_GET_FIRMA: return Comando::GetFirma;
    case CMD_GET_VERSIONE: return Comando::GetVersione;
    case CMD_REBOOT: return Comando::Reboot;
    case CMD_LUN_BUF: return Comando::LunBuf;
    case CMD_FINE: return Comando::Fine;
    case CMD_CANCELLA_CHIP: return Comando::CancellaChip;
    case CMD_SET_REMOTO: return Comando::SetRemoto;
    case CMD_FLASH_TYPE: return Comando::FlashType;
    case CMD_BLANK: return Comando::Blank;
    case CMD_ERASE: return Comando::Erase;
    case CMD_READ: return Comando::Read;
    case CMD_WRITE: return Comando::Write;
    case CMD_ESTESO:
      if (n < 2) return Comando::Sconosciuto;
      switch (d[1]) {
        case SUB_MODO_DATI: return Comando::ModoDati;
        case SUB_GET_MICRO: return Comando::GetMicro;
        case SUB_GET_VELOCITA_MASSIMA: return Comando::GetVelocitaMassima;
        case SUB_SET_VELOCITA: return Comando::SetVelocita;
        case SUB_CODICE: return Comando::Codice;
        case SUB_FLASH_BLOCCO: return Comando::FlashBlocco;
        default: return Comando::Sconosciuto;
      }
    default:
      return Comando::Sconosciuto;
  }
}

const char* NomeComando(Comando c) { return NOMI[static_cast<std::size_t>(c)].nome; }

Comando ComandoDaNome(const std::string& nome, bool& ok) {
  for (const auto& v : NOMI) {
    if (nome == v.nome && v.comando != Comando::Sconosciuto) {
      ok = true;
      return v.comando;
    }
  }
  ok = false;
  return Comando::Sconosciuto;
}

std::string Esadecimale(const std::uint8_t* d, std::size_t n) {
  std::string s;
  s.reserve(n * 3);
  char b[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", d[i]);
    if (i) s += ' ';
    s += b;
  }
  return s;
}

}  // namespace bricola::sim
