#include "platform/flusso_rfc2217.h"

namespace bricola {

namespace t = rfc2217;

void CFlussoRfc2217::ChiediOpzioni() {
  noi[t::OPT_BINARY] = noi[t::OPT_SUPPRESS_GO_AHEAD] = noi[t::OPT_COM_PORT] = StatoOpzione::Chiesta;
  loro[t::OPT_BINARY] = loro[t::OPT_SUPPRESS_GO_AHEAD] = StatoOpzione::Chiesta;
}

void CFlussoRfc2217::Analizza(std::uint8_t b, std::deque<std::uint8_t>& dati, std::vector<std::uint8_t>& uscita) {
  switch (statoRx) {
    case Rx::Dati:
      if (b == t::IAC) {
        statoRx = Rx::Iac;
      } else {
        dati.push_back(b);
      }
      break;
    case Rx::Iac:
      statoRx = Rx::Dati;
      if (b == t::IAC) {
        dati.push_back(b);
      } else if (b == t::WILL || b == t::WONT || b == t::DO || b == t::DONT) {
        comandoOpzione = b;
        statoRx = Rx::Opzione;
      } else if (b == t::SB) {
        sotto.clear();
        statoRx = Rx::Sotto;
      }
      // NOP, GA, a stray SE and every other command carry nothing for us.
      break;
    case Rx::Opzione:
      Negozia(comandoOpzione, b, uscita);
      statoRx = Rx::Dati;
      break;
    case Rx::Sotto:
      if (b == t::IAC) {
        statoRx = Rx::SottoIac;
      } else if (sotto.size() < kMaxSotto) {
        sotto.push_back(b);
      }
      break;
    case Rx::SottoIac:
      if (b == t::IAC) {
        if (sotto.size() < kMaxSotto) sotto.push_back(b);
        statoRx = Rx::Sotto;
      } else if (b == t::SE) {
        Sottonegoziazione();
        statoRx = Rx::Dati;
      } else {
        // IAC and a command inside a subnegotiation: the peer ended it badly.
        // Drop it and read the command as if it came outside.
        sotto.clear();
        statoRx = Rx::Iac;
        Analizza(b, dati, uscita);
      }
      break;
  }
}

bool CFlussoRfc2217::Vogliamo(std::uint8_t opzione) {
  return opzione == t::OPT_BINARY || opzione == t::OPT_SUPPRESS_GO_AHEAD || opzione == t::OPT_COM_PORT;
}

void CFlussoRfc2217::Negozia(std::uint8_t comando, std::uint8_t opzione, std::vector<std::uint8_t>& uscita) {
  auto invia = [&](std::uint8_t risposta) { uscita.insert(uscita.end(), {t::IAC, risposta, opzione}); };
  if (comando == t::DO || comando == t::DONT) {
    StatoOpzione& s = noi[opzione];
    if (comando == t::DO) {
      if (!Vogliamo(opzione)) {
        invia(t::WONT);
      } else if (s == StatoOpzione::No) {
        s = StatoOpzione::Si;
        invia(t::WILL);
      } else {
        s = StatoOpzione::Si;
      }
    } else {
      if (s == StatoOpzione::Si) invia(t::WONT);
      s = StatoOpzione::No;
    }
  } else {
    StatoOpzione& s = loro[opzione];
    if (comando == t::WILL) {
      // ECHO and anything else would alter the byte stream: refused.
      if (!Vogliamo(opzione)) {
        invia(t::DONT);
      } else if (s == StatoOpzione::No) {
        s = StatoOpzione::Si;
        invia(t::DO);
      } else {
        s = StatoOpzione::Si;
      }
    } else {
      if (s == StatoOpzione::Si) invia(t::DONT);
      s = StatoOpzione::No;
    }
  }
}

void CFlussoRfc2217::Sottonegoziazione() {
  if (sotto.size() < 2 || sotto[0] != t::OPT_COM_PORT) return;
  const std::uint8_t codice = sotto[1];
  // Answers to our requests; line and modem state notifications and flow
  // control suspend/resume are not needed by a flashing tool and are ignored.
  if (codice >= t::SERVER_OFFSET && codice <= t::SERVER_OFFSET + t::PURGE_DATA) {
    Risposta& r = risposte[codice - t::SERVER_OFFSET];
    r.valore.assign(sotto.begin() + 2, sotto.end());
    ++r.numero;
  }
}

}  // namespace bricola
