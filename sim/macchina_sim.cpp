#include "sim/macchina_sim.h"

#include <cstdio>
#include <utility>

namespace bricola::sim {

namespace {

std::uint32_t Le(const std::vector<std::uint8_t>& r, std::size_t pos, int n) {
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | r[pos + static_cast<std::size_t>(i)];
  return v;
}

void PushLe(std::vector<std::uint8_t>& r, std::uint32_t v, int n) {
  for (int i = 0; i < n; ++i) r.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::string Hex4(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%04x", static_cast<unsigned>(v));
  return b;
}

std::uint8_t StatoScrittura(EsitoFlash e) {
  switch (e) {
    case EsitoFlash::Ok: return STATO_OK;
    case EsitoFlash::AreaVettori: return STATO_AREA_VETTORI;
    case EsitoFlash::AreaBoot: return STATO_AREA_BOOT;
    default: return STATO_ERRORE;
  }
}

const char* TestoEsito(EsitoFlash e) {
  switch (e) {
    case EsitoFlash::Ok: return "ok";
    case EsitoFlash::FuoriMappa: return "indirizzo fuori dalla flash";
    case EsitoFlash::Protetto: return "settore protetto";
    case EsitoFlash::AreaBoot: return "area del boot";
    case EsitoFlash::AreaVettori: return "area vettori";
    case EsitoFlash::BitNonAzzerabili: return "bit da riportare a 1 senza cancellazione";
    case EsitoFlash::Disallineato: return "lunghezza non allineata";
  }
  return "?";
}

// A minimal reply: echo of the command byte, the fields, the check.
std::vector<std::uint8_t> Risposta(std::uint8_t primo, std::initializer_list<std::uint8_t> campi) {
  std::vector<std::uint8_t> r;
  r.reserve(campi.size() + 3);
  r.push_back(primo);
  for (std::uint8_t c : campi) r.push_back(c);
  AggiungiControlloRisposta(r);
  return r;
}

std::vector<std::uint8_t> RispostaNonGestito() { return Risposta(CMD_ESTESO, {NON_GESTITO}); }

bool HaStato(Comando c) {
  switch (c) {
    case Comando::SetVelocita:
    case Comando::SetRemoto:
    case Comando::Reboot:
    case Comando::ModoDati:
    case Comando::Blank:
    case Comando::Erase:
    case Comando::Write:
    case Comando::Codice:
    case Comando::Fine:
      return true;
    default:
      return false;
  }
}

}  // namespace

void CTrascrizione::Riga(std::int64_t ms, const std::string& testo) {
  if (!uscita_) return;
  std::lock_guard<std::mutex> blocco(mutex_);
  char t[32];
  const std::int64_t d = ms - origine_;
  std::snprintf(t, sizeof t, "%lld.%03lld ", static_cast<long long>(d / 1000), static_cast<long long>(d % 1000));
  *uscita_ << t << testo << '\n';
  uscita_->flush();
}

void CTrascrizione::Frame(std::int64_t ms, const char* verso, const std::string& scheda, Comando c,
                          const std::uint8_t* d, std::size_t n) {
  Riga(ms, std::string(verso) + " " + scheda + " " + NomeComando(c) + ": " + Esadecimale(d, n));
}

CSchedaSim::CSchedaSim(ConfigScheda c, CFlashSim f) : config(std::move(c)), flash(std::move(f)) {
  modo = config.inApplicazione ? ModoScheda::Applicazione : ModoScheda::Boot;
}

CSchedaSim::CSchedaSim(Config68331 c) {
  config.nome = c.nome;
  config.codice = c.codice;
  s68331.emplace(std::move(c));
}

CMacchinaSim::CMacchinaSim(std::vector<CSchedaSim> schede, OpzioniLinea opzioni)
    : schede_(std::move(schede)), opzioni_(opzioni), statoSpazzatura_(opzioni.seme ? opzioni.seme : 1) {
  if (schede_.empty()) schede_.emplace_back();
  if (schede_[0].s68331) baudLocale_ = schede_[0].s68331->config.baud;
}

void CMacchinaSim::Traccia(std::int64_t ms, const std::string& testo) {
  if (trascrizione_) trascrizione_->Riga(ms, testo);
}

bool CMacchinaSim::LineaCompatibile() const {
  // The boot's UART runs 8 data bits, no parity; a second stop bit is harmless.
  return baudLinea_ == baudLocale_ && bitDati_ == 8 && parita_ == 1;
}

std::uint8_t CMacchinaSim::Spazzatura() {
  statoSpazzatura_ = statoSpazzatura_ * 1103515245u + 12345u;
  return static_cast<std::uint8_t>(statoSpazzatura_ >> 16);
}

void CMacchinaSim::ImpostaMinimo(CMinimoLinea* m) {
  minimo_ = m;
  for (auto& s : schede_) {
    if (s.fr) s.fr->ImpostaMinimo(m);
    if (s.f2mc) s.f2mc->ImpostaMinimo(m);
  }
}

void CMacchinaSim::ImpostaBaud(std::uint32_t baud, std::int64_t ms) {
  baudLinea_ = baud;
  if (minimo_) minimo_->CambioVelocita(static_cast<double>(ms));
  Traccia(ms, "linea baud " + std::to_string(baud));
}

void CMacchinaSim::ImpostaBitDati(std::uint8_t bit, std::int64_t ms) {
  bitDati_ = bit;
  Traccia(ms, "linea bit dati " + std::to_string(bit));
}

void CMacchinaSim::ImpostaParita(std::uint8_t parita, std::int64_t ms) {
  parita_ = parita;
  Traccia(ms, "linea parita " + std::to_string(parita));
}

void CMacchinaSim::ImpostaBitStop(std::uint8_t stop, std::int64_t ms) {
  bitStop_ = stop;
  Traccia(ms, "linea bit stop " + std::to_string(stop));
}

void CMacchinaSim::ImpostaRts(bool attivo, std::int64_t ms) {
  rts_ = attivo;
  rilascio_.rts = attivo;
  if (minimo_) minimo_->Rts(attivo, static_cast<double>(ms));
  Traccia(ms, std::string("linea rts ") + (attivo ? "1" : "0"));
  CSchedaSim& s = schede_[0];
  if (attivo && s.f2mc && s.f2mc->Spento()) {
    // The technician powers the board once the mode line is held: it leaves
    // its power-on reset into the ROM bootstrap.
    Traccia(ms, "accensione " + s.config.nome + " con RTS attivo");
    s.f2mc->Accendi();
    ResetLocale(ms);
  }
}

void CMacchinaSim::ImpostaDtr(bool attivo, std::int64_t ms) {
  AggiornaFr(ms);
  const bool fronte = dtr_ && !attivo;
  dtr_ = attivo;
  rilascio_.dtr = attivo;
  if (fronte) {
    ++(rts_ ? rilascio_.resetConRts : rilascio_.resetSenzaRts);
    rilascio_.ultimoResetConRts = rts_;
    rilascio_.ultimoResetDopoDati = true;
  }
  Traccia(ms, std::string("linea dtr ") + (attivo ? "1" : "0"));
  if (minimo_) minimo_->Dtr(attivo, static_cast<double>(ms));
  // The reset line follows the end of the DTR pulse.
  if (fronte) {
    ResetLocale(ms);
    if (minimo_) minimo_->Pausa(PausaAvvio());
  }
}

double CMacchinaSim::PausaAvvio() const {
  const CSchedaSim& s = schede_[0];
  if (s.s68331) return 0;  // it waits for the start request at once
  if (s.f2mc) return s.f2mc->Famiglia() == FamigliaF2mc::Fx ? 450 : 400;
  if (s.fr && !s.fr->config.bootResidente) return 40;
  return 400;  // a resident boot starts
}

void CMacchinaSim::ResetLocale(std::int64_t ms) {
  CSchedaSim& s = schede_[0];
  if (s.s68331) {
    // No boot, no bootstrap: the board restarts and waits for a start request.
    ++s.reset;
    s.s68331->Reset([&](const std::string& t) { Traccia(ms, t); });
    baudLocale_ = s.s68331->config.baud;
    Traccia(ms, "reset " + s.config.nome + ": in attesa dell'avvio a " + std::to_string(baudLocale_));
    return;
  }
  if (s.f2mc && s.f2mc->Spento()) {
    Traccia(ms, "reset ignorato: " + s.config.nome + " spenta");
    return;
  }
  ++s.reset;
  s.modoDatiAttivo = false;
  ingresso_.clear();
  scarta_ = false;
  destinatario_ = 0;
  baudDopoRisposta_ = 0;
  baudLocale_ = BAUD_BOOT;
  if (s.fr) {
    s.fr->InterrompiCancellazione(ms, s.config.nome, [this](std::int64_t t, const std::string& x) { Traccia(t, x); });
    if (!s.fr->config.bootResidente) {
      // No boot in the flash: the chip's own ROM decides, by the mode line.
      s.modo = ModoScheda::Bootstrap;
      s.fr->Reset(rts_, ms, s.config.nome, [this](std::int64_t t, const std::string& x) { Traccia(t, x); });
      baudLocale_ = s.fr->Baud();
      return;
    }
    // The resident boot runs after any reset, whatever the mode line says.
    s.modo = ModoScheda::Boot;
    Traccia(ms, "reset " + s.config.nome + ": boot residente a 38400" + (rts_ ? " (RTS attivo, il boot parte comunque)" : ""));
    return;
  }
  if (s.f2mc) {
    s.f2mc->Reset(rts_, ms, s.config.nome, [this](std::int64_t t, const std::string& x) { Traccia(t, x); });
    // Without the mode line the flash's resident boot runs (if there is one).
    s.modo = rts_ || !s.f2mc->config.bootResidente ? ModoScheda::Bootstrap : ModoScheda::Boot;
    baudLocale_ = s.modo == ModoScheda::Bootstrap ? s.f2mc->Baud() : BAUD_BOOT;
    return;
  }
  if (rts_) {
    // RTS drives the boot-mode pin: the microcontroller starts its ROM bootstrap.
    s.modo = ModoScheda::Bootstrap;
    Traccia(ms, "reset " + s.config.nome + ": bootstrap ROM");
  } else {
    s.modo = ModoScheda::Boot;
    Traccia(ms, "reset " + s.config.nome + ": boot residente a 38400");
  }
}

void CMacchinaSim::Svuota(std::uint8_t quale, std::int64_t ms) {
  Traccia(ms, "linea purge " + std::to_string(quale));
}

void CMacchinaSim::NuovaConnessione(std::int64_t ms) {
  baudLinea_ = BAUD_BOOT;
  bitDati_ = 8;
  parita_ = 1;
  bitStop_ = 1;
  dtr_ = false;
  rts_ = false;
  ingresso_.clear();
  scarta_ = false;
  Traccia(ms, "connessione");
}

void CMacchinaSim::Invia(std::vector<std::uint8_t> byte, std::uint32_t ritardoMs, std::vector<Uscita>& uscite,
                         std::int64_t ms) {
  if (byte.empty()) return;
  if (!LineaCompatibile()) {
    if (!opzioni_.spazzatura) {
      Traccia(ms, "persi " + std::to_string(byte.size()) + " byte verso il pc: linea a " + std::to_string(baudLinea_) +
                      ", scheda a " + std::to_string(baudLocale_));
      return;
    }
    for (auto& b : byte) b = Spazzatura();
    Traccia(ms, "spazzatura verso il pc: " + Esadecimale(byte.data(), byte.size()));
  }
  uscite.push_back({std::move(byte), ritardoMs});
}

std::vector<Uscita> CMacchinaSim::DalPc(const std::uint8_t* dati, std::size_t n, std::int64_t ms) {
  std::vector<Uscita> uscite;
  if (chiudi_) return uscite;
  if (opzioni_.chiudiDopoByte) {
    const std::uint64_t resto = opzioni_.chiudiDopoByte - byteRicevuti_;
    if (n >= resto) {
      n = static_cast<std::size_t>(resto);
      chiudi_ = true;
    }
  }
  byteRicevuti_ += n;
  if (n) rilascio_.ultimoResetDopoDati = false;
  if (schede_[0].s68331) {
    auto u = DalPc68331(std::vector<std::uint8_t>(dati, dati + n), ms);
    if (chiudi_) Traccia(ms, "guasto: connessione chiusa dopo " + std::to_string(byteRicevuti_) + " byte");
    return u;
  }

  CSchedaSim& locale = schede_[0];
  AggiornaFr(ms);
  if (locale.modo == ModoScheda::Bootstrap && locale.fr) {
    DalPcFr(dati, n, ms, uscite);
    if (chiudi_) Traccia(ms, "guasto: connessione chiusa dopo " + std::to_string(byteRicevuti_) + " byte");
    return uscite;
  }
  if (locale.modo == ModoScheda::Bootstrap && locale.f2mc) {
    DalPcF2mc(dati, n, ms, uscite);
    if (chiudi_) Traccia(ms, "guasto: connessione chiusa dopo " + std::to_string(byteRicevuti_) + " byte");
    return uscite;
  }
  if (locale.modo != ModoScheda::Boot) {
    if (n) {
      Traccia(ms, "ignorati " + std::to_string(n) + " byte: " + locale.config.nome +
                      (locale.modo == ModoScheda::Bootstrap ? " in bootstrap ROM" : " in applicazione"));
    }
    if (chiudi_) Traccia(ms, "guasto: connessione chiusa dopo " + std::to_string(byteRicevuti_) + " byte");
    return uscite;
  }

  std::vector<std::uint8_t> ricevuti(dati, dati + n);
  if (!LineaCompatibile() && n) {
    if (!opzioni_.spazzatura) {
      Traccia(ms, "persi " + std::to_string(n) + " byte dal pc: linea a " + std::to_string(baudLinea_) + ", scheda a " +
                      std::to_string(baudLocale_));
      ricevuti.clear();
    } else {
      for (auto& b : ricevuti) b = Spazzatura();
      Traccia(ms, "spazzatura dal pc: " + Esadecimale(ricevuti.data(), ricevuti.size()));
    }
  }

  for (std::uint8_t b : ricevuti) {
    const bool pausa = ms - ultimoByteMs_ > static_cast<std::int64_t>(opzioni_.pausaMassimaMs);
    ultimoByteMs_ = ms;
    if (scarta_) {
      if (!pausa) continue;
      scarta_ = false;
    }
    if (!ingresso_.empty() && pausa) {
      Traccia(ms, "richiesta incompleta scartata: " + Esadecimale(ingresso_.data(), ingresso_.size()));
      ingresso_.clear();
    }
    ingresso_.push_back(b);
    const CSchedaSim& bersaglio = schede_[destinatario_];
    const int lunghezza = ingresso_[0] == CMD_CANCELLA_CHIP && bersaglio.fr
                              ? static_cast<int>(LUNGHEZZA_CANCELLA_CHIP)
                              : LunghezzaRichiesta(ingresso_.data(), ingresso_.size(), bersaglio.ByteIndirizzo());
    if (lunghezza < 0) {
      // A request this boot does not know: its length is unknown too, so the
      // rest of the burst is dropped and the board answers "not handled".
      Traccia(ms, "richiesta sconosciuta: " + Esadecimale(ingresso_.data(), ingresso_.size()));
      ingresso_.clear();
      scarta_ = true;
      Invia(RispostaNonGestito(), 0, uscite, ms);
      continue;
    }
    if (lunghezza > 0 && ingresso_.size() == static_cast<std::size_t>(lunghezza)) {
      std::vector<std::uint8_t> richiesta;
      richiesta.swap(ingresso_);
      EseguiRichiesta(richiesta, ms, uscite);
      if (chiudi_) break;  // the line is gone: the rest of the burst never arrives
    }
  }
  if (chiudi_) Traccia(ms, "guasto: connessione chiusa dopo " + std::to_string(byteRicevuti_) + " byte");
  return uscite;
}

std::vector<Uscita> CMacchinaSim::DalPc68331(const std::vector<std::uint8_t>& dati, std::int64_t ms) {
  std::vector<Uscita> uscite;
  std::vector<std::uint8_t> ricevuti = dati;
  if (!LineaCompatibile() && !ricevuti.empty()) {
    if (!opzioni_.spazzatura) {
      Traccia(ms, "persi " + std::to_string(ricevuti.size()) + " byte dal pc: linea a " + std::to_string(baudLinea_) +
                      ", scheda a " + std::to_string(baudLocale_));
      return uscite;
    }
    for (auto& b : ricevuti) b = Spazzatura();
    Traccia(ms, "spazzatura dal pc: " + Esadecimale(ricevuti.data(), ricevuti.size()));
  }
  auto traccia = [&](const std::string& t) { Traccia(ms, t); };
  Invia68331(schede_[0].s68331->DalPc(ricevuti.data(), ricevuti.size(), ms, traccia), uscite, ms);
  if (schede_[0].s68331->PrendiChiusura()) chiudi_ = true;
  return uscite;
}

void CMacchinaSim::Invia68331(std::vector<Emissione68331> e, std::vector<Uscita>& uscite, std::int64_t ms) {
  for (auto& x : e) Invia(std::move(x.byte), x.ritardoMs, uscite, ms);
}

std::int64_t CMacchinaSim::ProssimaScadenza() const {
  return schede_[0].s68331 ? schede_[0].s68331->ProssimaScadenza() : -1;
}

std::vector<Uscita> CMacchinaSim::Scadenze(std::int64_t ms) {
  std::vector<Uscita> uscite;
  if (!schede_[0].s68331) return uscite;
  auto traccia = [&](const std::string& t) { Traccia(ms, t); };
  Invia68331(schede_[0].s68331->Tempo(ms, traccia), uscite, ms);
  return uscite;
}

void CMacchinaSim::EseguiRichiesta(const std::vector<std::uint8_t>& r, std::int64_t ms, std::vector<Uscita>& uscite) {
  const Comando c = ComandoDi(r.data(), r.size());
  // The serial line and the addressing belong to the local board; everything
  // else goes to the board addressed by the last SetRemoto.
  const bool soloLocale = c == Comando::SetRemoto || c == Comando::GetVelocitaMassima || c == Comando::SetVelocita;
  CSchedaSim& s = soloLocale ? schede_[0] : schede_[destinatario_];
  const std::string& nome = s.config.nome;
  if (trascrizione_) trascrizione_->Frame(ms, "->", nome, c, r.data(), r.size());

  auto rispondi = [&](std::vector<std::uint8_t> risposta) {
    if (risposta.empty()) return;
    if (trascrizione_) trascrizione_->Frame(ms, "<-", nome, c, risposta.data(), risposta.size());
    Invia(std::move(risposta), s.config.ritardiMs[static_cast<std::size_t>(c)], uscite, ms);
  };

  if (HashRuota5(r) != 0) {
    Traccia(ms, "controllo errato");
    rispondi({NACK});
    return;
  }
  if (s.modo != ModoScheda::Boot) {
    // A remote board running its application only understands the reboot into its boot.
    if (c == Comando::Reboot && s.modo == ModoScheda::Applicazione && &s != &schede_[0]) {
      s.modo = ModoScheda::Boot;
      s.modoDatiAttivo = false;
      ++s.reset;
      rispondi(Risposta(CMD_REBOOT, {STATO_OK}));
      Traccia(ms, "reboot " + nome + ": boot residente");
    } else {
      Traccia(ms, nome + " non in boot: nessuna risposta");
    }
    return;
  }

  // Faults of this command on this board, each consuming one of its uses.
  Guasto* silenzio = nullptr;
  Guasto* nack = nullptr;
  Guasto* nonGestito = nullptr;
  Guasto* controllo = nullptr;
  Guasto* stato = nullptr;
  Guasto* inverti = nullptr;
  Guasto* bitRisposta = nullptr;
  Guasto* chiusura = nullptr;
  for (auto& g : s.config.guasti) {
    if (!g.tuttiIComandi && g.comando != c) continue;
    if (g.saltati < g.dopo) {
      // Counted among the matching requests, let through untouched.
      ++g.saltati;
      continue;
    }
    if (g.volte >= 0 && g.usati >= g.volte) continue;
    Guasto** posto = nullptr;
    switch (g.tipo) {
      case TipoGuasto::Silenzio: posto = &silenzio; break;
      case TipoGuasto::Nack: posto = &nack; break;
      case TipoGuasto::NonGestito: posto = &nonGestito; break;
      case TipoGuasto::Controllo: posto = &controllo; break;
      case TipoGuasto::Stato: posto = &stato; break;
      case TipoGuasto::BitInvertito: posto = &inverti; break;
      case TipoGuasto::BitRisposta: posto = &bitRisposta; break;
      case TipoGuasto::Chiusura: posto = &chiusura; break;
    }
    if (*posto == nullptr) *posto = &g;
  }
  auto usa = [&](Guasto* g, const char* testo) {
    ++g->usati;
    Traccia(ms, std::string("guasto ") + testo + " " + nome + " " + NomeComando(c) + " (" + std::to_string(g->usati) +
                    ")");
  };
  if (chiusura) {
    usa(chiusura, "chiusura");
    chiudi_ = true;
    return;
  }
  if (silenzio) {
    usa(silenzio, "silenzio");
    return;
  }
  if (nack) {
    usa(nack, "nack");
    rispondi({NACK});
    return;
  }
  if (nonGestito) {
    usa(nonGestito, "non gestito");
    rispondi(RispostaNonGestito());
    return;
  }
  if (inverti && c == Comando::Write) usa(inverti, "bit invertito");
  else inverti = nullptr;

  std::vector<std::uint8_t> risposta = Rispondi(s, c, r, inverti, ms);
  if (risposta.size() > 1) {
    if (stato && HaStato(c)) {
      usa(stato, "stato");
      const std::size_t pos = (c == Comando::Blank || c == Comando::Erase) ? 2 : 1;
      risposta[pos] = stato->stato;
      risposta.resize(risposta.size() - 2);
      if (pos == 2) {
        // The check of Blank and Erase covers the frame from its second byte.
        std::vector<std::uint8_t> coda(risposta.begin() + 1, risposta.end());
        AggiungiControlloRisposta(coda);
        risposta.push_back(coda[coda.size() - 2]);
        risposta.push_back(coda[coda.size() - 1]);
      } else {
        AggiungiControlloRisposta(risposta);
      }
    }
    if (controllo) {
      usa(controllo, "controllo");
      risposta.back() ^= 0x01;
    }
  }
  if (bitRisposta && !risposta.empty()) {
    usa(bitRisposta, "bit risposta");
    const std::size_t pos = std::min<std::size_t>(bitRisposta->posizione, risposta.size() - 1);
    risposta[pos] ^= static_cast<std::uint8_t>(1u << bitRisposta->bit);
  }
  rispondi(std::move(risposta));

  if (baudDopoRisposta_) {
    // The boot switches its UART once the reply has left at the old speed.
    baudLocale_ = baudDopoRisposta_;
    baudDopoRisposta_ = 0;
    Traccia(ms, schede_[0].config.nome + " ora a " + std::to_string(baudLocale_));
  }
}

std::vector<std::uint8_t> CMacchinaSim::Rispondi(CSchedaSim& s, Comando c, const std::vector<std::uint8_t>& r,
                                                 Guasto* inverti, std::int64_t ms) {
  const ConfigScheda& cfg = s.config;
  const int a = s.ByteIndirizzo();
  const std::uint8_t versione = cfg.versione;
  switch (c) {
    case Comando::GetFirma:
      return Risposta(CMD_GET_FIRMA,
                      {static_cast<std::uint8_t>(cfg.codice & 0xFF), static_cast<std::uint8_t>(cfg.codice >> 8)});
    case Comando::GetVersione:
      return Risposta(CMD_GET_VERSIONE, {versione});
    case Comando::GetMicro:
      if (versione < VERSIONE_GET_MICRO) return RispostaNonGestito();
      return Risposta(CMD_ESTESO, {cfg.tipoMicro});
    case Comando::GetVelocitaMassima:
      if (versione < VERSIONE_VELOCITA) return RispostaNonGestito();
      return Risposta(CMD_ESTESO, {cfg.velocitaMassima});
    case Comando::SetVelocita: {
      if (versione < VERSIONE_VELOCITA) return RispostaNonGestito();
      const std::uint8_t codice = r[2];
      if (codice == 1 && cfg.velocitaMassima == 1) {
        baudDopoRisposta_ = BAUD_VELOCE;
      } else if (codice == 0 || codice == 0xFF) {
        baudDopoRisposta_ = BAUD_BOOT;
      } else {
        return Risposta(CMD_ESTESO, {STATO_ERRORE});
      }
      return Risposta(CMD_ESTESO, {STATO_OK});
    }
    case Comando::SetRemoto: {
      const auto indirizzo = static_cast<std::uint16_t>(Le(r, 1, 2));
      if (indirizzo == 0 || indirizzo == schede_[0].config.indirizzoCan) {
        destinatario_ = 0;
      } else {
        std::size_t trovata = 0;
        for (std::size_t i = 1; i < schede_.size(); ++i) {
          if (schede_[i].config.indirizzoCan == indirizzo) {
            trovata = i;
            break;
          }
        }
        if (trovata == 0) {
          Traccia(ms, "indirizzo CAN " + Hex4(indirizzo) + " sconosciuto");
          return {NACK};
        }
        destinatario_ = trovata;
      }
      Traccia(ms, "destinatario " + schede_[destinatario_].config.nome);
      return Risposta(CMD_SET_REMOTO, {STATO_OK});
    }
    case Comando::Reboot:
      if (&s == &schede_[0]) return Risposta(CMD_REBOOT, {STATO_REBOOT_IGNORATO});
      s.modoDatiAttivo = false;
      ++s.reset;
      Traccia(ms, "reboot " + cfg.nome + ": boot residente");
      // The restarted boot needs half a second before the next request.
      if (minimo_) minimo_->PausaDopoRisposta(500);
      return Risposta(CMD_REBOOT, {STATO_OK});
    case Comando::ModoDati:
      if (!cfg.modoDati) return Risposta(CMD_ESTESO, {STATO_ERRORE});
      s.modoDatiAttivo = true;
      return Risposta(CMD_ESTESO, {STATO_OK});
    case Comando::LunBuf:
      return Risposta(CMD_LUN_BUF, {cfg.codiceBuffer});
    case Comando::FlashType: {
      const std::uint32_t base = Le(r, 1, a);
      const auto offset = static_cast<std::uint16_t>(Le(r, 1 + static_cast<std::size_t>(a), 2));
      const std::uint8_t conteggio = r[3 + static_cast<std::size_t>(a)];
      std::vector<std::uint8_t> risposta{CMD_FLASH_TYPE};
      const auto id = s.flash.DatiIdentificazione(base, offset, conteggio);
      risposta.insert(risposta.end(), id.begin(), id.end());
      AggiungiControlloRisposta(risposta);
      return risposta;
    }
    case Comando::FlashBlocco: {
      if (versione < VERSIONE_FLASH_BLOCCO) return RispostaNonGestito();
      const std::uint32_t indirizzo = Le(r, 2, a);
      const Settore* st = s.flash.TrovaSettore(indirizzo);
      std::vector<std::uint8_t> risposta{CMD_ESTESO};
      PushLe(risposta, st ? st->inizio : 0, 4);
      PushLe(risposta, st ? st->Fine() : 0, 4);
      risposta.push_back(0);
      risposta.push_back(0);
      AggiungiControlloRisposta(risposta);
      return risposta;
    }
    case Comando::Blank: {
      const std::uint32_t primo = Le(r, 1, a);
      const std::uint32_t ultimo = Le(r, 1 + static_cast<std::size_t>(a), a);
      // The last address names the last 16-bit word of the range.
      const std::uint64_t fine = std::max<std::uint64_t>(ultimo, primo) + 2;
      const bool vuoto = s.flash.Vuoto(primo, fine);
      std::vector<std::uint8_t> risposta{CMD_BLANK, vuoto ? STATO_VUOTO : STATO_NON_VUOTO};
      AggiungiControlloRisposta(risposta);
      risposta.insert(risposta.begin(), CMD_BLANK);
      return risposta;
    }
    case Comando::Erase: {
      const std::uint32_t indirizzo = Le(r, 1, a);
      const EsitoFlash e = s.flash.Cancella(indirizzo);
      if (e != EsitoFlash::Ok) Traccia(ms, std::string("erase rifiutato: ") + TestoEsito(e));
      const std::uint8_t st = e == EsitoFlash::Ok ? STATO_OK : e == EsitoFlash::Protetto ? STATO_PROTETTO : STATO_ERRORE;
      std::vector<std::uint8_t> risposta{CMD_ERASE, st};
      AggiungiControlloRisposta(risposta);
      risposta.insert(risposta.begin(), CMD_ERASE);
      return risposta;
    }
    case Comando::Write: {
      if (r.size() > s.BufferByte()) {
        Traccia(ms, "write di " + std::to_string(r.size()) + " byte oltre il buffer di " +
                        std::to_string(s.BufferByte()));
        return {NACK};
      }
      const std::uint32_t indirizzo = Le(r, 1, a);
      const std::size_t testa = 3 + static_cast<std::size_t>(a);
      std::vector<std::uint8_t> dati(r.begin() + static_cast<std::ptrdiff_t>(testa), r.end() - 3);
      if (inverti && !dati.empty()) dati[inverti->posizione % dati.size()] ^= static_cast<std::uint8_t>(1u << (inverti->bit & 7));
      const EsitoFlash e = s.flash.Scrivi(indirizzo, dati.data(), dati.size());
      if (e != EsitoFlash::Ok) Traccia(ms, std::string("write: ") + TestoEsito(e));
      return Risposta(CMD_WRITE, {StatoScrittura(e)});
    }
    case Comando::Read: {
      const std::uint32_t indirizzo = Le(r, 1, a);
      const std::uint32_t n = Le(r, 1 + static_cast<std::size_t>(a), 2);
      if (n + 3 > s.BufferByte()) {
        Traccia(ms, "read di " + std::to_string(n) + " byte oltre il buffer di " + std::to_string(s.BufferByte()));
        return {NACK};
      }
      std::vector<std::uint8_t> risposta{CMD_READ};
      for (std::uint32_t i = 0; i < n; ++i) risposta.push_back(s.flash.Leggi(indirizzo + i));
      AggiungiControlloRisposta(risposta);
      return risposta;
    }
    case Comando::Codice: {
      const auto codice = static_cast<std::uint16_t>(Le(r, 2, 2));
      const std::uint32_t can = Le(r, 4, 4);
      if (cfg.codice != 0xFFFF && cfg.codice != codice) {
        Traccia(ms, "codice " + Hex4(codice) + " rifiutato: boot legato a " + Hex4(cfg.codice));
        return Risposta(CMD_ESTESO, {STATO_ERRORE});
      }
      s.config.codice = codice;
      s.config.indirizzoCan = static_cast<std::uint16_t>(can);
      Traccia(ms, cfg.nome + " legato al codice " + Hex4(codice) + " indirizzo " + Hex4(can));
      return Risposta(CMD_ESTESO, {STATO_OK});
    }
    case Comando::Fine:
      s.fineRicevuto = true;
      return Risposta(CMD_FINE, {STATO_OK});
    case Comando::CancellaChip:
      if (!s.fr || r[1] != 0x00) return RispostaNonGestito();
      // No answer: the boot hands over to the erase and is gone with it.
      s.modo = ModoScheda::Bootstrap;
      s.fr->AvviaCancellazione(ms, cfg.nome, [this](std::int64_t t, const std::string& x) { Traccia(t, x); });
      return {};
    case Comando::Sconosciuto:
      break;
  }
  return RispostaNonGestito();
}

void CMacchinaSim::AggiornaFr(std::int64_t ms) {
  for (auto& s : schede_) {
    if (s.fr) s.fr->Aggiorna(ms, s.flash, s.config.nome, [this](std::int64_t t, const std::string& x) { Traccia(t, x); });
  }
}

void CMacchinaSim::DalPcFr(const std::uint8_t* dati, std::size_t n, std::int64_t ms, std::vector<Uscita>& uscite) {
  CSchedaSim& s = schede_[0];
  baudLocale_ = s.fr->Baud();
  std::vector<std::uint8_t> ricevuti(dati, dati + n);
  if (!LineaCompatibile() && n) {
    if (!opzioni_.spazzatura) {
      Traccia(ms, "persi " + std::to_string(n) + " byte dal pc: linea a " + std::to_string(baudLinea_) + ", scheda a " +
                      std::to_string(baudLocale_));
      return;
    }
    for (auto& b : ricevuti) b = Spazzatura();
    Traccia(ms, "spazzatura dal pc: " + Esadecimale(ricevuti.data(), ricevuti.size()));
  }
  auto risposte = s.fr->DalPc(ricevuti.data(), ricevuti.size(), ms, s.flash, s.config.nome,
                              [this](std::int64_t t, const std::string& x) { Traccia(t, x); });
  for (auto& u : risposte) {
    if (u.byte.empty()) continue;
    Invia(std::move(u.byte), u.ritardoMs, uscite, ms);
  }
  if (s.fr->PrendiChiusura()) chiudi_ = true;
  // After a call the kernel runs its UART at its own speed.
  if (baudLocale_ != s.fr->Baud()) {
    baudLocale_ = s.fr->Baud();
    Traccia(ms, s.config.nome + " ora a " + std::to_string(baudLocale_));
  }
}

void CMacchinaSim::DalPcF2mc(const std::uint8_t* dati, std::size_t n, std::int64_t ms, std::vector<Uscita>& uscite) {
  CSchedaSim& s = schede_[0];
  baudLocale_ = s.f2mc->Baud();
  std::vector<std::uint8_t> ricevuti(dati, dati + n);
  if (!LineaCompatibile() && n) {
    if (!opzioni_.spazzatura) {
      Traccia(ms, "persi " + std::to_string(n) + " byte dal pc: linea a " + std::to_string(baudLinea_) + ", scheda a " +
                      std::to_string(baudLocale_));
      return;
    }
    for (auto& b : ricevuti) b = Spazzatura();
    Traccia(ms, "spazzatura dal pc: " + Esadecimale(ricevuti.data(), ricevuti.size()));
  }
  auto risposte = s.f2mc->DalPc(ricevuti.data(), ricevuti.size(), ms, s.flash, s.config.nome,
                                [this](std::int64_t t, const std::string& x) { Traccia(t, x); });
  // The answers leave at the speed in force when they were made (a 16FX
  // execute is acknowledged before the loader reprograms the UART).
  for (auto& u : risposte) Invia(std::move(u.byte), u.ritardoMs, uscite, ms);
  if (s.f2mc->PrendiChiusura()) chiudi_ = true;
  if (baudLocale_ != s.f2mc->Baud()) {
    baudLocale_ = s.f2mc->Baud();
    Traccia(ms, s.config.nome + " ora a " + std::to_string(baudLocale_));
  }
}

}  // namespace bricola::sim
