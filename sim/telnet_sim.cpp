#include "sim/telnet_sim.h"

#include <cstring>

#include "platform/rfc2217.h"

namespace bricola::sim {

namespace r = bricola::rfc2217;

namespace {

// The simulated cable always shows carrier, DSR and CTS.
constexpr std::uint8_t STATO_MODEM = 0x80 | 0x20 | 0x10;
constexpr std::uint8_t CR = 13;
constexpr std::uint8_t NUL = 0;
constexpr std::size_t MAX_SOTTONEGOZIAZIONE = 1024;

}  // namespace

CTelnetSim::CTelnetSim(CMacchinaSim& macchina) : macchina_(macchina) {}

CTelnetSim::Opzione CTelnetSim::Indice(std::uint8_t opzione) {
  switch (opzione) {
    case r::OPT_BINARY: return OPZ_BIN;
    case r::OPT_SUPPRESS_GO_AHEAD: return OPZ_SGA;
    case r::OPT_COM_PORT: return OPZ_COM;
    default: return OPZ_NESSUNA;
  }
}

std::vector<std::uint8_t> CTelnetSim::Apertura() {
  std::vector<std::uint8_t> o;
  for (std::uint8_t opz : {r::OPT_BINARY, r::OPT_SUPPRESS_GO_AHEAD}) {
    o.insert(o.end(), {r::IAC, r::WILL, opz, r::IAC, r::DO, opz});
  }
  localeChiesto_[OPZ_BIN] = remotoChiesto_[OPZ_BIN] = true;
  localeChiesto_[OPZ_SGA] = remotoChiesto_[OPZ_SGA] = true;
  // The client is the one that WILL speak COM-PORT-OPTION; the server asks it to.
  o.insert(o.end(), {r::IAC, r::DO, r::OPT_COM_PORT});
  remotoChiesto_[OPZ_COM] = true;
  return o;
}

void CTelnetSim::Escapa(const std::uint8_t* b, std::size_t n, std::vector<std::uint8_t>& uscita) {
  for (std::size_t i = 0; i < n; ++i) {
    uscita.push_back(b[i]);
    if (b[i] == r::IAC) uscita.push_back(r::IAC);
  }
}

void CTelnetSim::PassaDati(std::int64_t ms, std::vector<Uscita>& dati) {
  if (daPassare_.empty()) return;
  byteDati_ += daPassare_.size();
  auto uscite = macchina_.DalPc(daPassare_.data(), daPassare_.size(), ms);
  daPassare_.clear();
  for (auto& u : uscite) dati.push_back(std::move(u));
}

void CTelnetSim::DalClient(const std::uint8_t* b, std::size_t n, std::int64_t ms, std::vector<std::uint8_t>& risposte,
                           std::vector<Uscita>& dati) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = b[i];
    switch (stato_) {
      case Stato::Dati:
        if (c == r::IAC) {
          stato_ = Stato::Iac;
        } else if (crPrecedente_ && c == NUL && !remoto_[OPZ_BIN]) {
          // NVT: CR NUL stands for a bare CR outside binary mode.
          crPrecedente_ = false;
        } else {
          daPassare_.push_back(c);
          crPrecedente_ = c == CR;
        }
        break;
      case Stato::Iac:
        crPrecedente_ = false;
        if (c == r::IAC) {
          daPassare_.push_back(r::IAC);
          stato_ = Stato::Dati;
        } else if (c == r::WILL || c == r::WONT || c == r::DO || c == r::DONT) {
          verbo_ = c;
          stato_ = Stato::Verbo;
        } else if (c == r::SB) {
          sb_.clear();
          stato_ = Stato::Sb;
        } else {
          stato_ = Stato::Dati;  // NOP, GA, AYT and the like carry nothing for the line
        }
        break;
      case Stato::Verbo:
        Negoziazione(verbo_, c, risposte);
        stato_ = Stato::Dati;
        break;
      case Stato::Sb:
        if (c == r::IAC) stato_ = Stato::SbIac;
        else if (sb_.size() < MAX_SOTTONEGOZIAZIONE) sb_.push_back(c);  // a runaway one cannot eat memory
        break;
      case Stato::SbIac:
        if (c == r::IAC) {
          sb_.push_back(r::IAC);
          stato_ = Stato::Sb;
        } else if (c == r::SE) {
          // Line data that came before the command reach the board at the old settings.
          PassaDati(ms, dati);
          Sottonegoziazione(ms, risposte);
          stato_ = Stato::Dati;
        } else {
          // Malformed: IAC followed by something else inside SB; drop the sub-negotiation.
          stato_ = Stato::Dati;
        }
        break;
    }
  }
  PassaDati(ms, dati);
}

void CTelnetSim::Negoziazione(std::uint8_t verbo, std::uint8_t opzione, std::vector<std::uint8_t>& risposte) {
  const Opzione k = Indice(opzione);
  auto invia = [&](std::uint8_t v) { risposte.insert(risposte.end(), {r::IAC, v, opzione}); };
  if (verbo == r::DO || verbo == r::DONT) {
    const bool vuole = verbo == r::DO;
    if (k == OPZ_NESSUNA) {
      if (vuole) invia(r::WONT);
      return;
    }
    const bool chiesto = localeChiesto_[k];
    localeChiesto_[k] = false;
    if (locale_[k] == vuole) return;  // nothing changes: no answer, no loop
    locale_[k] = vuole;
    if (!chiesto) invia(vuole ? r::WILL : r::WONT);
  } else {
    const bool vuole = verbo == r::WILL;
    if (k == OPZ_NESSUNA) {
      if (vuole) invia(r::DONT);
      return;
    }
    const bool chiesto = remotoChiesto_[k];
    remotoChiesto_[k] = false;
    if (remoto_[k] == vuole) return;
    remoto_[k] = vuole;
    if (!chiesto) invia(vuole ? r::DO : r::DONT);
  }
}

void CTelnetSim::Rispondi(std::uint8_t comando, const std::vector<std::uint8_t>& valore,
                          std::vector<std::uint8_t>& risposte) {
  risposte.insert(risposte.end(), {r::IAC, r::SB, r::OPT_COM_PORT, static_cast<std::uint8_t>(comando + r::SERVER_OFFSET)});
  Escapa(valore.data(), valore.size(), risposte);
  risposte.insert(risposte.end(), {r::IAC, r::SE});
}

void CTelnetSim::Sottonegoziazione(std::int64_t ms, std::vector<std::uint8_t>& risposte) {
  if (sb_.size() < 2 || sb_[0] != r::OPT_COM_PORT) return;
  const std::uint8_t cmd = sb_[1];
  const std::vector<std::uint8_t> v(sb_.begin() + 2, sb_.end());
  const std::uint8_t v0 = v.empty() ? 0 : v[0];
  switch (cmd) {
    case r::SIGNATURE:
      if (v.empty()) {
        const char* f = FIRMA;
        Rispondi(cmd, std::vector<std::uint8_t>(f, f + std::strlen(f)), risposte);
      }
      break;
    case r::SET_BAUDRATE: {
      if (v.size() < 4) break;
      const std::uint32_t baud = (std::uint32_t{v[0]} << 24) | (std::uint32_t{v[1]} << 16) | (std::uint32_t{v[2]} << 8) | v[3];
      if (baud != 0) macchina_.ImpostaBaud(baud, ms);
      const std::uint32_t b = macchina_.BaudLinea();
      Rispondi(cmd, {static_cast<std::uint8_t>(b >> 24), static_cast<std::uint8_t>(b >> 16),
                     static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)},
               risposte);
      break;
    }
    case r::SET_DATASIZE:
      if (v0 >= 5 && v0 <= 8) macchina_.ImpostaBitDati(v0, ms);
      Rispondi(cmd, {macchina_.BitDati()}, risposte);
      break;
    case r::SET_PARITY:
      if (v0 >= r::PARITY_NONE && v0 <= r::PARITY_SPACE) macchina_.ImpostaParita(v0, ms);
      Rispondi(cmd, {macchina_.Parita()}, risposte);
      break;
    case r::SET_STOPSIZE:
      if (v0 >= r::STOPSIZE_1 && v0 <= r::STOPSIZE_1_5) macchina_.ImpostaBitStop(v0, ms);
      Rispondi(cmd, {macchina_.BitStop()}, risposte);
      break;
    case r::SET_CONTROL: {
      std::uint8_t risposta = v0;
      switch (v0) {
        case r::CONTROL_FLOW_REQUEST: risposta = flusso_; break;
        case r::CONTROL_FLOW_NONE:
        case r::CONTROL_FLOW_XONXOFF:
        case r::CONTROL_FLOW_HARDWARE: flusso_ = v0; break;
        case r::CONTROL_BREAK_REQUEST: risposta = breakAttivo_ ? r::CONTROL_BREAK_ON : r::CONTROL_BREAK_OFF; break;
        case r::CONTROL_BREAK_ON:
        case r::CONTROL_BREAK_OFF: breakAttivo_ = v0 == r::CONTROL_BREAK_ON; break;
        case r::CONTROL_DTR_REQUEST: risposta = macchina_.Dtr() ? r::CONTROL_DTR_ON : r::CONTROL_DTR_OFF; break;
        case r::CONTROL_DTR_ON:
        case r::CONTROL_DTR_OFF: macchina_.ImpostaDtr(v0 == r::CONTROL_DTR_ON, ms); break;
        case r::CONTROL_RTS_REQUEST: risposta = macchina_.Rts() ? r::CONTROL_RTS_ON : r::CONTROL_RTS_OFF; break;
        case r::CONTROL_RTS_ON:
        case r::CONTROL_RTS_OFF: macchina_.ImpostaRts(v0 == r::CONTROL_RTS_ON, ms); break;
        case 13: risposta = 14; break;  // inbound flow control: none
        default: break;                 // other inbound flow settings: accepted as asked
      }
      Rispondi(cmd, {risposta}, risposte);
      break;
    }
    case r::NOTIFY_LINESTATE:
      Rispondi(cmd, {0}, risposte);
      break;
    case r::NOTIFY_MODEMSTATE:
      Rispondi(cmd, {static_cast<std::uint8_t>(STATO_MODEM & mascheraModem_)}, risposte);
      break;
    case r::FLOWCONTROL_SUSPEND:
      sospeso_ = true;
      break;
    case r::FLOWCONTROL_RESUME:
      sospeso_ = false;
      break;
    case r::SET_LINESTATE_MASK:
      mascheraLinea_ = v0;
      Rispondi(cmd, {v0}, risposte);
      break;
    case r::SET_MODEMSTATE_MASK:
      mascheraModem_ = v0;
      Rispondi(cmd, {v0}, risposte);
      // Tell the client the current state of the lines it asked to watch.
      if (STATO_MODEM & mascheraModem_) Rispondi(r::NOTIFY_MODEMSTATE, {static_cast<std::uint8_t>(STATO_MODEM & mascheraModem_)}, risposte);
      break;
    case r::PURGE_DATA:
      if (v0 >= r::PURGE_RECEIVE && v0 <= r::PURGE_BOTH) {
        macchina_.Svuota(v0, ms);
        if (alSvuota) alSvuota(v0);
      }
      Rispondi(cmd, {v0}, risposte);
      break;
    default:
      break;
  }
}

}  // namespace bricola::sim
