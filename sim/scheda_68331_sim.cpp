#include "sim/scheda_68331_sim.h"

#include <algorithm>
#include <cstdio>

namespace bricola::sim {

namespace {

std::string Hex(const std::vector<std::uint8_t>& v) {
  std::string s;
  char b[4];
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::snprintf(b, sizeof b, i ? " %02x" : "%02x", v[i]);
    s += b;
  }
  return s;
}

std::string Hex4(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%04x", static_cast<unsigned>(v));
  return b;
}

std::uint32_t Be(const std::uint8_t* p, int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

void PushBe(std::vector<std::uint8_t>& v, std::uint32_t x, int n) {
  for (int i = n - 1; i >= 0; --i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

constexpr std::size_t MAX_ANOMALIE = 1000;

}  // namespace

std::uint8_t Checksum68331(const std::uint8_t* b, std::size_t n) {
  unsigned s = 0;
  for (std::size_t k = 0; k < n; ++k) s += static_cast<unsigned>(k) + b[k];
  return static_cast<std::uint8_t>(s);
}

std::vector<std::uint8_t> Pacchetto68331(const std::vector<std::uint8_t>& messaggio) {
  std::vector<std::uint8_t> p;
  p.reserve(messaggio.size() + 3);
  PushBe(p, static_cast<std::uint32_t>(messaggio.size()), 2);
  p.insert(p.end(), messaggio.begin(), messaggio.end());
  p.push_back(Checksum68331(p.data(), p.size()));
  return p;
}

std::vector<std::uint8_t> Trama68331(const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> t{DELIMITATORE_68331, DELIMITATORE_68331};
  for (std::uint8_t b : payload) {
    t.push_back(b);
    if (b == DELIMITATORE_68331) t.push_back(RIEMPIMENTO_68331);
  }
  t.push_back(DELIMITATORE_68331);
  t.push_back(DELIMITATORE_68331);
  return t;
}

EsitoPacchetto68331 AprePacchetto68331(const std::vector<std::uint8_t>& payload, std::vector<std::uint8_t>& messaggio) {
  if (payload.size() < 3) return EsitoPacchetto68331::Corto;
  const std::uint32_t n = Be(payload.data(), 2);
  if (n + 3 != payload.size()) return EsitoPacchetto68331::Lunghezza;
  if (Checksum68331(payload.data(), payload.size() - 1) != payload.back()) return EsitoPacchetto68331::Checksum;
  messaggio.assign(payload.begin() + 2, payload.end() - 1);
  return EsitoPacchetto68331::Ok;
}

bool CRicevitoreTrame68331::Byte(std::uint8_t b, Trama& t) {
  const auto aggiungi = [&](std::uint8_t x) {
    if (payload_.size() < MAX_TRAMA_68331) {
      payload_.push_back(x);
    } else if (difetto_.empty()) {
      difetto_ = "oltre " + std::to_string(MAX_TRAMA_68331) + " byte";
    }
  };
  switch (stato_) {
    case Stato::Fuori:
      if (b == DELIMITATORE_68331) {
        stato_ = Stato::Fuori47;
      } else {
        ++fuoriTrama_;
      }
      return false;
    case Stato::Fuori47:
      if (b == DELIMITATORE_68331) {
        stato_ = Stato::Dentro;
        payload_.clear();
        difetto_.clear();
        grezzo_.assign(2, DELIMITATORE_68331);
      } else {
        fuoriTrama_ += 2;
        stato_ = Stato::Fuori;
      }
      return false;
    case Stato::Dentro:
      grezzo_.push_back(b);
      if (b == DELIMITATORE_68331) stato_ = Stato::Dentro47;
      else aggiungi(b);
      return false;
    case Stato::Dentro47:
      grezzo_.push_back(b);
      if (b == RIEMPIMENTO_68331) {
        aggiungi(DELIMITATORE_68331);
        stato_ = Stato::Dentro;
        return false;
      }
      if (b == DELIMITATORE_68331) {
        if (payload_.empty() && difetto_.empty()) {
          // 47 47 47 47: the opening delimiter written twice; the frame has not begun yet.
          stato_ = Stato::Dentro;
          return false;
        }
        t.payload.swap(payload_);
        t.grezzo.swap(grezzo_);
        t.difetto.swap(difetto_);
        payload_.clear();
        grezzo_.clear();
        difetto_.clear();
        stato_ = Stato::Fuori;
        return true;
      }
      if (difetto_.empty()) {
        char d[64];
        std::snprintf(d, sizeof d, "47 seguito da %02x invece di b8 o 47", b);
        difetto_ = d;
      }
      stato_ = Stato::Dentro;
      return false;
  }
  return false;
}

std::vector<std::uint8_t> CRicevitoreTrame68331::Interrompi() {
  std::vector<std::uint8_t> g;
  if (InTrama()) g.swap(grezzo_);
  payload_.clear();
  grezzo_.clear();
  difetto_.clear();
  stato_ = Stato::Fuori;
  return g;
}

void CScheda68331Sim::Anomalia(const std::string& testo, const Traccia& traccia) {
  if (anomalie_.size() < MAX_ANOMALIE) anomalie_.push_back(testo);
  traccia("anomalia " + config.nome + ": " + testo);
}

Guasto68331* CScheda68331Sim::GuastoPer(TipoGuasto68331 t, std::int64_t indice) {
  for (auto& g : config.guasti) {
    if (g.tipo != t || g.usati >= g.volte || !g.richiesta.empty()) continue;
    if (g.pacchetto == -1 || g.pacchetto == indice) return &g;
  }
  return nullptr;
}

Guasto68331* CScheda68331Sim::GuastoRichiesta(const std::string& richiesta, const Traccia& traccia) {
  (void)traccia;
  Guasto68331* scelto = nullptr;
  for (auto& g : config.guasti) {
    if (g.richiesta.empty() || (g.richiesta != "*" && g.richiesta != richiesta)) continue;
    if (g.visti++ < g.dopo) continue;
    if (g.volte >= 0 && g.usati >= g.volte) continue;
    if (!scelto) scelto = &g;
  }
  return scelto;
}

void CScheda68331Sim::Guasta(std::vector<std::uint8_t>& p, const Traccia& traccia) {
  Guasto68331* g = rispostaGuasta_;
  if (!g || p.empty() || (g->volte >= 0 && g->usati >= g->volte)) return;
  ++g->usati;
  std::size_t dove = p.size() - 1;
  int bit = 0;
  if (g->tipo == TipoGuasto68331::BitRisposta) {
    const long long n = static_cast<long long>(p.size());
    const long long i = g->posizione < 0 ? n + g->posizione : g->posizione;
    dove = static_cast<std::size_t>(std::clamp<long long>(i, 0, n - 1));
    bit = g->bit & 7;
  }
  p[dove] = static_cast<std::uint8_t>(p[dove] ^ (1u << bit));
  traccia("guasto " + std::string(g->tipo == TipoGuasto68331::Controllo ? "controllo" : "bitRisposta") + " " +
          config.nome + ": risposta a " + g->richiesta + ", byte " + std::to_string(dove) + " bit " +
          std::to_string(bit) + " (" + std::to_string(g->usati) + ")");
}

std::uint32_t CScheda68331Sim::UltimoPacchetto() const {
  const Trasferimento68331& t = trasferimenti_.back();
  return t.lunghezza == 0 ? 0 : (t.lunghezza - 1) / t.dimensionePacchetto;
}

std::uint32_t CScheda68331Sim::AttesiIn(std::uint32_t indice) const {
  const Trasferimento68331& t = trasferimenti_.back();
  const std::uint64_t da = static_cast<std::uint64_t>(indice) * t.dimensionePacchetto;
  if (da >= t.lunghezza) return 0;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(t.dimensionePacchetto, t.lunghezza - da));
}

void CScheda68331Sim::Reset(const Traccia& traccia) {
  ++reset;
  if (stato_ != Stato::Attesa) traccia(config.nome + ": trasferimento interrotto dal reset");
  Termina("reset");
  ricevitore_.Interrompi();
}

void CScheda68331Sim::Termina(const char* esito) {
  if (stato_ != Stato::Attesa && !trasferimenti_.empty()) trasferimenti_.back().esito = esito;
  stato_ = Stato::Attesa;
  scadenza_ = -1;
  irregolare_ = Irregolare::No;
  ripetendo_ = false;
}

std::vector<Emissione68331> CScheda68331Sim::DalPc(const std::uint8_t* d, std::size_t n, std::int64_t ms,
                                                   const Traccia& traccia) {
  std::vector<Emissione68331> out;
  const std::size_t fuoriPrima = ricevitore_.FuoriTrama();
  for (std::size_t i = 0; i < n; ++i) {
    if (chiudi_) break;  // the line is gone: the rest of the burst never arrives
    if (ricevitore_.InTrama() && ms - ultimoByteMs_ > static_cast<std::int64_t>(config.pausaMassimaMs)) {
      const auto g = ricevitore_.Interrompi();
      traccia("-> " + config.nome + " trama incompleta scartata dopo una pausa: " + Hex(g));
    }
    ultimoByteMs_ = ms;
    CRicevitoreTrame68331::Trama t;
    if (!ricevitore_.Byte(d[i], t)) continue;
    if (!t.difetto.empty()) {
      traccia("-> " + config.nome + " trama scartata (" + t.difetto + "): " + Hex(t.grezzo));
      Anomalia("trama scartata: " + t.difetto, traccia);
      if (stato_ != Stato::Attesa) Sollecita("trama scartata", ms, traccia, out);
      continue;
    }
    std::vector<std::uint8_t> m;
    const EsitoPacchetto68331 e = AprePacchetto68331(t.payload, m);
    if (e != EsitoPacchetto68331::Ok) {
      const char* perche = e == EsitoPacchetto68331::Corto       ? "pacchetto di meno di 3 byte"
                           : e == EsitoPacchetto68331::Lunghezza ? "lunghezza errata"
                                                                 : "checksum errato";
      traccia("-> " + config.nome + " trama scartata (" + perche + "): " + Hex(t.grezzo));
      Anomalia(std::string("trama scartata: ") + perche, traccia);
      if (stato_ != Stato::Attesa) Sollecita("trama scartata", ms, traccia, out);
      continue;
    }
    Messaggio(m, t.grezzo, ms, traccia, out);
  }
  if (const std::size_t fuori = ricevitore_.FuoriTrama() - fuoriPrima) {
    traccia("-> " + config.nome + " " + std::to_string(fuori) + " byte fuori da una trama ignorati");
    Anomalia(std::to_string(fuori) + " byte fuori da una trama", traccia);
  }
  return out;
}

void CScheda68331Sim::Messaggio(const std::vector<std::uint8_t>& m, const std::vector<std::uint8_t>& grezzo,
                                std::int64_t ms, const Traccia& traccia, std::vector<Emissione68331>& out) {
  const std::string freccia = "-> " + config.nome + " ";
  if (m.empty()) {
    traccia(freccia + "pacchetto vuoto: " + Hex(grezzo));
    Anomalia("pacchetto senza messaggio", traccia);
    return;
  }
  switch (m[0]) {
    case MSG_AVVIO_68331: {
      if (m.size() != 7) {
        traccia(freccia + "Z avvio di " + std::to_string(m.size()) + " byte: " + Hex(grezzo));
        Anomalia("avvio di " + std::to_string(m.size()) + " byte (attesi 7)", traccia);
        return;
      }
      const std::uint32_t totale = Be(&m[1], 4);
      const auto dimensione = static_cast<std::uint16_t>(Be(&m[5], 2));
      traccia(freccia + "Z avvio lunghezza " + std::to_string(totale) + " pacchetto " + std::to_string(dimensione) +
              ": " + Hex(grezzo));
      rispostaGuasta_ = nullptr;
      if (Guasto68331* g = GuastoRichiesta("avvio", traccia)) {
        if (g->tipo == TipoGuasto68331::Controllo || g->tipo == TipoGuasto68331::BitRisposta) {
          rispostaGuasta_ = g;
        } else {
          // No refusal of a start request exists: a nack leaves it unanswered too.
          ++g->usati;
          if (g->tipo == TipoGuasto68331::Chiusura) chiudi_ = true;
          traccia("guasto " + std::string(g->tipo == TipoGuasto68331::Chiusura ? "chiusura" : g->tipo == TipoGuasto68331::Nack ? "nack" : "silenzio") +
                  " " + config.nome + ": avvio ignorato (" + std::to_string(g->usati) + ")");
          return;
        }
      }
      Avvio(totale, dimensione, ms, traccia, out);
      return;
    }
    case MSG_DATI_68331: {
      if (m.size() < TESTA_DATI_68331) {
        traccia(freccia + "P dati di " + std::to_string(m.size()) + " byte: " + Hex(grezzo));
        Anomalia("pacchetto dati di " + std::to_string(m.size()) + " byte, meno della testa", traccia);
        return;
      }
      const auto codice = static_cast<std::uint16_t>(Be(&m[1], 2));
      const std::uint32_t indice = Be(&m[3], 4);
      const std::size_t n = m.size() - TESTA_DATI_68331;
      traccia(freccia + "P dati codice " + Hex4(codice) + " pacchetto " + std::to_string(indice) + ", " +
              std::to_string(n) + " byte: " + Hex(grezzo));
      rispostaGuasta_ = nullptr;
      if (Guasto68331* g = GuastoRichiesta("dati", traccia)) {
        if (g->tipo == TipoGuasto68331::Controllo || g->tipo == TipoGuasto68331::BitRisposta) {
          rispostaGuasta_ = g;
        } else {
          ++g->usati;
          const char* nome = g->tipo == TipoGuasto68331::Chiusura ? "chiusura" : g->tipo == TipoGuasto68331::Nack ? "nack" : "silenzio";
          traccia("guasto " + std::string(nome) + " " + config.nome + ": pacchetto " + std::to_string(indice) +
                  (g->tipo == TipoGuasto68331::Nack ? " rifiutato (" : " ignorato (") + std::to_string(g->usati) + ")");
          if (g->tipo == TipoGuasto68331::Chiusura) chiudi_ = true;
          // A refused packet is asked for again, as a packet the board could not take.
          if (g->tipo == TipoGuasto68331::Nack && stato_ != Stato::Attesa) Sollecita("pacchetto rifiutato", ms, traccia, out);
          return;
        }
      }
      Dati(codice, indice, m.data() + TESTA_DATI_68331, n, ms, traccia, out);
      return;
    }
    default: {
      char b[8];
      std::snprintf(b, sizeof b, "%02x", m[0]);
      traccia(freccia + "messaggio " + b + " sconosciuto: " + Hex(grezzo));
      Anomalia(std::string("messaggio ") + b + " sconosciuto", traccia);
      return;
    }
  }
}

void CScheda68331Sim::Avvio(std::uint32_t totale, std::uint16_t dimensione, std::int64_t ms, const Traccia& traccia,
                            std::vector<Emissione68331>& out) {
  for (auto& g : config.guasti) {
    if (g.tipo == TipoGuasto68331::Silenzio && g.richiesta.empty() && g.pacchetto == -1 && g.usati < g.volte) {
      ++g.usati;
      traccia("guasto silenzio " + config.nome + ": avvio ignorato (" + std::to_string(g.usati) + ")");
      return;
    }
  }
  if (dimensione == 0 || dimensione > MAX_DATI_PACCHETTO_68331 - TESTA_DATI_68331) {
    Anomalia("dimensione del pacchetto " + std::to_string(dimensione) + " inutilizzabile", traccia);
    return;
  }
  if (totale > config.dimensioneMemoria) {
    traccia(config.nome + ": modulo di " + std::to_string(totale) + " byte oltre la memoria di " +
            std::to_string(config.dimensioneMemoria) + ": avvio ignorato");
    return;
  }
  if (stato_ != Stato::Attesa) {
    traccia(config.nome + ": nuovo avvio, il trasferimento ricomincia");
    Termina("ricominciato");
  }
  Trasferimento68331 t;
  t.lunghezza = totale;
  t.dimensionePacchetto = dimensione;
  t.dati.reserve(totale);
  trasferimenti_.push_back(std::move(t));
  chiesti_.clear();
  ricevuti_.clear();
  ripetendo_ = false;
  oltreFineRimasti_ = 0;
  stato_ = Stato::Dati;
  if (totale == 0) {
    Fine(traccia, out);
    return;
  }
  Chiedi(0, true, ms, traccia, out);
}

void CScheda68331Sim::Chiedi(std::uint32_t indice, bool nuovo, std::int64_t ms, const Traccia& traccia,
                             std::vector<Emissione68331>& out) {
  atteso_ = indice;
  if (nuovo) tentativiRimasti_ = config.tentativi;
  if (stato_ == Stato::OltreFine && indice > UltimoPacchetto() + 1) {
    perche_ = "pacchetto oltre la fine";
    Richiesta(indice, Irregolare::Rifiutare, 0, "oltre la fine, da rifiutare", 1, ms, traccia, out);
    return;
  }
  if (stato_ == Stato::Dati) {
    Guasto68331* g = GuastoPer(TipoGuasto68331::FuoriSequenza, indice);
    const auto altro = static_cast<std::uint32_t>(g && g->richiesto >= 0 ? g->richiesto : indice + 1ll);
    // Asking for this packet or for the one before (a repetition) would be in order.
    if (g && altro != indice && altro + 1 != indice) {
      ++g->usati;
      perche_ = "fuori sequenza: chiesto " + std::to_string(altro) + " invece di " + std::to_string(indice);
      Richiesta(altro, Irregolare::Rifiutare, 0, "guasto fuori sequenza, atteso " + std::to_string(indice), 1, ms,
                traccia, out);
      return;
    }
  }
  for (auto tipo : {TipoGuasto68331::Controllo, TipoGuasto68331::Lunghezza}) {
    if (Guasto68331* g = GuastoPer(tipo, indice)) {
      ++g->usati;
      const bool controllo = tipo == TipoGuasto68331::Controllo;
      perche_ = controllo ? "checksum errato" : "lunghezza errata";
      Richiesta(indice, Irregolare::Scartare, controllo ? 1 : 2,
                controllo ? "guasto controllo" : "guasto lunghezza", 1, ms, traccia, out);
      return;
    }
  }
  if (Guasto68331* g = GuastoPer(TipoGuasto68331::Raffica, indice)) {
    ++g->usati;
    Richiesta(indice, Irregolare::No, 0, "guasto raffica, " + std::to_string(g->copie) + " copie", g->copie, ms,
              traccia, out);
    return;
  }
  Richiesta(indice, Irregolare::No, 0, nuovo ? "" : "di nuovo", 1, ms, traccia, out);
}

void CScheda68331Sim::Richiesta(std::uint32_t indice, Irregolare irr, int difetto, const std::string& nota, int copie,
                                std::int64_t ms, const Traccia& traccia, std::vector<Emissione68331>& out) {
  std::vector<std::uint8_t> m{MSG_RICHIESTA_68331};
  PushBe(m, config.codice, 2);
  PushBe(m, indice, 4);
  std::vector<std::uint8_t> p = Pacchetto68331(m);
  if (difetto == 1) p.back() = static_cast<std::uint8_t>(p.back() + 1);
  if (difetto == 2) p[1] = static_cast<std::uint8_t>(p[1] + 1);
  Guasta(p, traccia);
  const std::vector<std::uint8_t> t = Trama68331(p);
  irregolare_ = irr;
  richiesto_ = indice;
  copie = std::max(copie, 1);
  if (irr == Irregolare::No) chiesti_[indice] += copie;
  traccia("<- " + config.nome + " G richiesta codice " + Hex4(config.codice) + " pacchetto " +
          std::to_string(indice) + (nota.empty() ? "" : " (" + nota + ")") + ": " + Hex(t));
  for (int i = 0; i < copie; ++i) out.push_back({t, i == 0 ? config.ritardoMs : 0});
  scadenza_ = ms + config.ritardoMs + config.attesaMs;
}

void CScheda68331Sim::Fine(const Traccia& traccia, std::vector<Emissione68331>& out) {
  std::vector<std::uint8_t> p = Pacchetto68331({MSG_FINE_68331});
  Guasta(p, traccia);
  const std::vector<std::uint8_t> t = Trama68331(p);
  traccia("<- " + config.nome + " X fine: " + Hex(t));
  out.push_back({t, config.ritardoMs});
  Termina("completo");
}

void CScheda68331Sim::Sollecita(const std::string& motivo, std::int64_t ms, const Traccia& traccia,
                                std::vector<Emissione68331>& out) {
  if (tentativiRimasti_ > 0) {
    --tentativiRimasti_;
    traccia(config.nome + ": " + motivo + ", chiede di nuovo il pacchetto " + std::to_string(atteso_));
    Chiedi(atteso_, false, ms, traccia, out);
    return;
  }
  traccia(config.nome + ": " + motivo + " e tentativi esauriti: trasferimento abbandonato");
  Termina("abbandonato");
}

std::vector<Emissione68331> CScheda68331Sim::Tempo(std::int64_t ms, const Traccia& traccia) {
  std::vector<Emissione68331> out;
  if (scadenza_ < 0 || ms < scadenza_) return out;
  scadenza_ = -1;
  if (stato_ == Stato::Attesa) return out;
  if (irregolare_ == Irregolare::Rifiutare && stato_ == Stato::OltreFine) {
    // The PC rightly gave up: nothing more will come.
    traccia(config.nome + ": nessuna risposta alla richiesta oltre la fine: trasferimento chiuso");
    Termina("abbandonato");
    return out;
  }
  Sollecita("nessuna risposta in " + std::to_string(config.attesaMs) + " ms", ms, traccia, out);
  return out;
}

void CScheda68331Sim::Dati(std::uint16_t codice, std::uint32_t indice, const std::uint8_t* d, std::size_t n,
                           std::int64_t ms, const Traccia& traccia, std::vector<Emissione68331>& out) {
  if (stato_ == Stato::Attesa) {
    Anomalia("pacchetto " + std::to_string(indice) + " fuori da un trasferimento", traccia);
    return;
  }
  Trasferimento68331& tr = trasferimenti_.back();
  const int volte = ++ricevuti_[indice];
  if (volte > chiesti_[indice]) {
    if (irregolare_ != Irregolare::No && indice == richiesto_) {
      Anomalia("il pc ha risposto alla richiesta del pacchetto " + std::to_string(indice) + " che doveva " +
                   (irregolare_ == Irregolare::Scartare ? "scartare" : "rifiutare") + " (" + perche_ + ")",
               traccia);
    } else {
      Anomalia("pacchetto " + std::to_string(indice) + " non richiesto", traccia);
    }
    if (indice != atteso_) return;
  }
  if (indice != atteso_) {
    // An answer to an earlier copy of a request: it must repeat what came first.
    if (indice == indiceUltimo_ && tr.pacchetti > 0) {
      if (!std::equal(d, d + n, copiaUltimo_.begin(), copiaUltimo_.end()))
        Anomalia("la copia del pacchetto " + std::to_string(indice) + " differisce dall'originale", traccia);
      ++tr.ripetuti;
      traccia(config.nome + ": copia del pacchetto " + std::to_string(indice) + " gia' ricevuto");
    }
    return;
  }
  if (codice != config.codice && codice != 0xFFFF) {
    Anomalia("pacchetto " + std::to_string(indice) + " per il codice macchina " + Hex4(codice) + " (la scheda e' " +
                 Hex4(config.codice) + ")",
             traccia);
    Sollecita("pacchetto rifiutato", ms, traccia, out);
    return;
  }
  if (ripetendo_) {
    if (!std::equal(d, d + n, copiaUltimo_.begin(), copiaUltimo_.end()))
      Anomalia("la ripetizione del pacchetto " + std::to_string(indice) + " differisce dall'originale", traccia);
    ++tr.ripetuti;
    ripetendo_ = false;
    if (Guasto68331* g = GuastoPer(TipoGuasto68331::Ripetizione, indice)) {
      ++g->usati;
      ripetendo_ = true;
      tentativiRimasti_ = config.tentativi;
      Richiesta(indice, Irregolare::No, 0, "guasto ripetizione", 1, ms, traccia, out);
      return;
    }
    Avanza(indice, ms, traccia, out);
    return;
  }
  const std::uint32_t attesi = AttesiIn(indice);
  if (n != attesi) {
    Anomalia("pacchetto " + std::to_string(indice) + " di " + std::to_string(n) + " byte (attesi " +
                 std::to_string(attesi) + ")",
             traccia);
    Sollecita("pacchetto rifiutato", ms, traccia, out);
    return;
  }
  tr.dati.insert(tr.dati.end(), d, d + n);
  ++tr.pacchetti;
  if (n == 0) tr.pacchettoVuoto = true;
  copiaUltimo_.assign(d, d + n);
  indiceUltimo_ = indice;
  irregolare_ = Irregolare::No;
  scadenza_ = -1;

  for (auto& g : config.guasti) {
    if (g.tipo == TipoGuasto68331::Silenzio && g.richiesta.empty() && g.pacchetto == static_cast<std::int64_t>(indice) &&
        g.usati < g.volte) {
      ++g.usati;
      traccia("guasto silenzio " + config.nome + ": nessuna richiesta dopo il pacchetto " + std::to_string(indice));
      Termina("abbandonato");
      return;
    }
  }
  if (Guasto68331* g = GuastoPer(TipoGuasto68331::Ripetizione, indice)) {
    ++g->usati;
    ripetendo_ = true;
    tentativiRimasti_ = config.tentativi;
    Richiesta(indice, Irregolare::No, 0, "guasto ripetizione", 1, ms, traccia, out);
    return;
  }
  Avanza(indice, ms, traccia, out);
}

void CScheda68331Sim::Avanza(std::uint32_t indice, std::int64_t ms, const Traccia& traccia,
                             std::vector<Emissione68331>& out) {
  Trasferimento68331& tr = trasferimenti_.back();
  if (stato_ == Stato::Dati && tr.dati.size() < tr.lunghezza) {
    Chiedi(indice + 1, true, ms, traccia, out);
    return;
  }
  if (stato_ == Stato::Dati) {
    for (auto& g : config.guasti) {
      if (g.tipo == TipoGuasto68331::OltreFine && g.usati < g.volte) {
        ++g.usati;
        stato_ = Stato::OltreFine;
        oltreFineRimasti_ = g.richieste;
        traccia("guasto oltre la fine " + config.nome + ": " + std::to_string(g.richieste) +
                " richieste dopo l'ultimo pacchetto");
        break;
      }
    }
  }
  if (stato_ == Stato::OltreFine && oltreFineRimasti_ > 0) {
    --oltreFineRimasti_;
    Chiedi(indice + 1, true, ms, traccia, out);
    return;
  }
  Fine(traccia, out);
}

}  // namespace bricola::sim
