#include "sim/dispositivi_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "sim/protocollo_sim.h"

namespace bricola::sim {

namespace {

using json = nlohmann::json;

struct ErroreDispositivi {
  std::string testo;
};
[[noreturn]] void Errore(const std::string& t) { throw ErroreDispositivi{t}; }

std::uint64_t Numero(const json& v, const std::string& campo, std::uint64_t massimo) {
  std::uint64_t n = 0;
  bool ok = false;
  if (v.is_number_unsigned() || (v.is_number_integer() && v.get<std::int64_t>() >= 0)) {
    n = v.get<std::uint64_t>();
    ok = true;
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    try {
      std::size_t usati = 0;
      n = std::stoull(s, &usati, 0);
      ok = usati == s.size() && !s.empty();
    } catch (...) {
    }
  }
  if (!ok) Errore("campo \"" + campo + "\": numero non valido " + v.dump());
  if (n > massimo) Errore("campo \"" + campo + "\": valore oltre " + std::to_string(massimo));
  return n;
}

void Campi(const json& o, const std::set<std::string>& noti, const std::string& dove) {
  if (!o.is_object()) Errore(dove + ": atteso un oggetto");
  for (auto it = o.begin(); it != o.end(); ++it)
    if (!noti.count(it.key())) Errore(dove + ": campo sconosciuto \"" + it.key() + "\"");
}

bool Booleano(const json& o, const char* campo) {
  if (!o.contains(campo)) return false;
  if (!o.at(campo).is_boolean()) Errore(std::string("campo \"") + campo + "\": atteso true o false");
  return o.at(campo).get<bool>();
}

// true, or a list of numbers.
InsiemeGuasti Insieme(const json& v, const std::string& campo) {
  InsiemeGuasti g;
  if (v.is_boolean()) {
    g.tutti = v.get<bool>();
  } else if (v.is_array()) {
    for (const auto& e : v) g.valori.insert(static_cast<std::uint32_t>(Numero(e, campo, 0xFFFFFFFF)));
  } else {
    Errore("campo \"" + campo + "\": attesi true o una lista");
  }
  return g;
}

std::vector<std::uint8_t> Esadecimali(const std::string& t) {
  std::string cifre;
  for (char ch : t) {
    if (std::isxdigit(static_cast<unsigned char>(ch))) cifre += ch;
    else if (!std::isspace(static_cast<unsigned char>(ch)) && ch != ':' && ch != ',') Errore("dati esadecimali non validi");
  }
  if (cifre.size() % 2) Errore("dati esadecimali di lunghezza dispari");
  std::vector<std::uint8_t> r;
  for (std::size_t i = 0; i < cifre.size(); i += 2) r.push_back(static_cast<std::uint8_t>(std::stoul(cifre.substr(i, 2), nullptr, 16)));
  return r;
}

std::string Hex(const std::uint8_t* d, std::size_t n) {
  static const char* cifre = "0123456789abcdef";
  std::string s;
  s.reserve(n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    s += cifre[d[i] >> 4];
    s += cifre[d[i] & 15];
  }
  return s;
}

std::int64_t AdessoMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::uint32_t U32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
void Metti32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

bool Invia(int fd, const std::vector<std::uint8_t>& b) {
  std::size_t fatti = 0;
  while (fatti < b.size()) {
    const ssize_t k = ::send(fd, b.data() + fatti, b.size() - fatti, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    if (k <= 0) return false;
    fatti += static_cast<std::size_t>(k);
  }
  return true;
}

// The longest driver input accepted; a larger one closes the connection.
constexpr std::uint32_t INGRESSO_MASSIMO = 65536;

}  // namespace

bool LeggiDispositivi(const std::string& testo, const std::string& cartella, OpzioniDispositivi& o,
                      std::string& errore) {
  try {
    const json j = json::parse(testo, nullptr, true, true);
    Campi(j, {"chiave", "driver", "pic", "commento"}, "dispositivi");
    if (j.contains("chiave")) {
      const json& c = j.at("chiave");
      Campi(c, {"file", "dimensionePagina", "numeroPagine", "guasti"}, "chiave");
      if (c.contains("file")) {
        if (!c.at("file").is_string()) Errore("chiave: \"file\" vuole un percorso");
        std::string f = c.at("file").get<std::string>();
        if (!f.empty() && f[0] != '/' && !cartella.empty()) f = cartella + "/" + f;
        o.chiave.file = f;
      }
      if (c.contains("dimensionePagina")) o.chiave.dimensionePagina = static_cast<std::uint32_t>(Numero(c.at("dimensionePagina"), "dimensionePagina", 4096));
      if (c.contains("numeroPagine")) o.chiave.numeroPagine = static_cast<std::uint32_t>(Numero(c.at("numeroPagine"), "numeroPagine", 65536));
      if (c.contains("guasti")) {
        const json& g = c.at("guasti");
        Campi(g, {"assente", "nessunaRisposta", "modoRifiutato", "tipo", "scritturaFallita", "cancellazioneFallita", "nonPronto", "bloccataDopo"},
              "chiave.guasti");
        GuastiChiave& k = o.chiave.guasti;
        k.assente = Booleano(g, "assente");
        k.nessunaRisposta = Booleano(g, "nessunaRisposta");
        k.modoRifiutato = Booleano(g, "modoRifiutato");
        if (g.contains("tipo")) k.tipo = static_cast<int>(Numero(g.at("tipo"), "tipo", 255));
        if (g.contains("scritturaFallita")) k.scritturaFallita = Insieme(g.at("scritturaFallita"), "scritturaFallita");
        if (g.contains("cancellazioneFallita")) k.cancellazioneFallita = Insieme(g.at("cancellazioneFallita"), "cancellazioneFallita");
        if (g.contains("nonPronto")) {
          if (g.at("nonPronto") == "sempre") k.nonProntoSempre = true;
          else k.nonPronto = static_cast<int>(Numero(g.at("nonPronto"), "nonPronto", 1000000));
        }
        if (g.contains("bloccataDopo")) k.bloccataDopo = static_cast<int>(Numero(g.at("bloccataDopo"), "bloccataDopo", 1000000));
      }
    }
    if (j.contains("driver")) {
      const json& d = j.at("driver");
      Campi(d, {"esteso"}, "driver");
      if (d.contains("esteso")) o.driver.esteso = Booleano(d, "esteso");
    }
    if (j.contains("pic")) {
      const json& p = j.at("pic");
      Campi(p, {"codice", "firma", "contenuto", "guasti"}, "pic");
      o.conPic = true;
      if (p.contains("codice")) o.pic.codice = static_cast<std::uint16_t>(Numero(p.at("codice"), "codice", 0xFFFF));
      if (p.contains("firma")) o.pic.firma = static_cast<std::uint8_t>(Numero(p.at("firma"), "firma", 0xFF));
      if (p.contains("contenuto")) {
        if (!p.at("contenuto").is_array()) Errore("pic: \"contenuto\" vuole una lista");
        for (const auto& e : p.at("contenuto")) {
          Campi(e, {"indirizzo", "dati"}, "pic.contenuto");
          if (!e.contains("dati") || !e.at("dati").is_string()) Errore("pic.contenuto: \"dati\" vuole byte esadecimali");
          o.pic.contenuto.emplace_back(static_cast<std::uint32_t>(Numero(e.value("indirizzo", json(0)), "indirizzo", 0xFFFFFFFF)),
                                       Esadecimali(e.at("dati").get<std::string>()));
        }
      }
      if (p.contains("guasti")) {
        const json& g = p.at("guasti");
        Campi(g, {"modoRifiutato", "cancellazioneFallita", "scritturaFallita", "bitErrati", "rispostaCorta", "richieste"},
              "pic.guasti");
        GuastiPic& k = o.pic.guasti;
        k.modoRifiutato = Booleano(g, "modoRifiutato");
        if (g.contains("cancellazioneFallita")) k.cancellazioneFallita = Insieme(g.at("cancellazioneFallita"), "cancellazioneFallita");
        if (g.contains("scritturaFallita")) k.scritturaFallita = Insieme(g.at("scritturaFallita"), "scritturaFallita");
        if (g.contains("bitErrati")) {
          for (const auto& e : g.at("bitErrati")) {
            Campi(e, {"indirizzo", "bit"}, "pic.guasti.bitErrati");
            k.bitErrati[static_cast<std::uint32_t>(Numero(e.value("indirizzo", json(0)), "indirizzo", 0xFFFFFFFF))] =
                static_cast<std::uint8_t>(Numero(e.value("bit", json(1)), "bit", 0xFF));
          }
        }
        if (g.contains("rispostaCorta")) {
          for (const auto& e : g.at("rispostaCorta")) {
            const std::string r = e.is_string() ? e.get<std::string>() : "";
            if (r != "modo" && r != "comando" && r != "leggi" && r != "scrivi")
              Errore("pic.guasti.rispostaCorta: richiesta sconosciuta " + e.dump());
            k.rispostaCorta.insert(r);
          }
        }
        if (g.contains("richieste")) {
          if (!g.at("richieste").is_array()) Errore("pic.guasti.richieste: vuole una lista");
          for (const auto& e : g.at("richieste")) {
            Campi(e, {"tipo", "richiesta", "volte", "dopo", "posizione", "bit"}, "pic.guasti.richieste");
            GuastoRichiestaPic r;
            r.tipo = e.value("tipo", std::string());
            if (r.tipo != "silenzio" && r.tipo != "nack" && r.tipo != "bitRisposta" && r.tipo != "bitInvertito" &&
                r.tipo != "chiusura")
              Errore("pic.guasti.richieste: tipo sconosciuto \"" + r.tipo + "\"");
            r.richiesta = e.value("richiesta", std::string("*"));
            if (r.richiesta != "modo" && r.richiesta != "comando" && r.richiesta != "leggi" && r.richiesta != "scrivi" &&
                r.richiesta != "*")
              Errore("pic.guasti.richieste: richiesta sconosciuta \"" + r.richiesta + "\"");
            if (r.tipo == "bitInvertito" && r.richiesta != "scrivi")
              Errore("pic.guasti.richieste: bitInvertito vale solo per scrivi");
            if (e.contains("volte")) r.volte = static_cast<int>(Numero(e.at("volte"), "volte", 1000000));
            if (e.contains("dopo")) r.dopo = static_cast<int>(Numero(e.at("dopo"), "dopo", 1000000));
            if (e.contains("posizione")) {
              if (!e.at("posizione").is_number_integer()) Errore("pic.guasti.richieste: posizione vuole un intero");
              r.posizione = e.at("posizione").get<int>();
            }
            if (e.contains("bit")) r.bit = static_cast<int>(Numero(e.at("bit"), "bit", 7));
            k.richieste.push_back(r);
          }
        }
      }
    }
  } catch (const ErroreDispositivi& e) {
    errore = e.testo;
    return false;
  } catch (const json::exception& e) {
    errore = e.what();
    return false;
  }
  return true;
}

bool LeggiFileDispositivi(const std::string& percorso, OpzioniDispositivi& o, std::string& errore) {
  std::ifstream f(percorso);
  if (!f) {
    errore = "impossibile leggere il file";
    return false;
  }
  std::stringstream s;
  s << f.rdbuf();
  const auto barra = percorso.rfind('/');
  return LeggiDispositivi(s.str(), barra == std::string::npos ? "." : percorso.substr(0, barra), o, errore);
}

bool CDispositiviSim::Prepara(const OpzioniDispositivi& o, CTrascrizione* trascrizione, std::string& errore) {
  trascrizione_ = trascrizione;
  if (!chiave_.Apri(o.chiave, errore)) return false;
  if (o.conPic || !o.picPercorso.empty()) pic_ = std::make_unique<CPicSim>(o.pic);
  guastiPic_ = o.pic.guasti.richieste;
  usbSim_ = std::make_unique<CUsbSim>(chiave_);
  driverSim_ = std::make_unique<CDriverSim>(o.driver, &chiave_, pic_.get());
  if (!o.usb.empty() && !Ascolta(o.usb, Tipo::Usb, "usb", errore)) return false;
  if (!o.lpt.empty() && !Ascolta(o.lpt, Tipo::Driver, "lpt", errore)) return false;
  if (!o.picPercorso.empty() && !Ascolta(o.picPercorso, Tipo::Driver, "pic", errore)) return false;
  return true;
}

bool CDispositiviSim::Ascolta(const std::string& percorso, Tipo tipo, const std::string& nome, std::string& errore) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (percorso.size() >= sizeof a.sun_path) {
    errore = percorso + ": percorso troppo lungo per un socket";
    return false;
  }
  std::memcpy(a.sun_path, percorso.c_str(), percorso.size() + 1);
  ::unlink(percorso.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0) {
    errore = percorso + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  ascolti_.push_back({fd, tipo, nome, percorso});
  return true;
}

void CDispositiviSim::Avvia() {
  if (ascolti_.empty() || filo_.joinable()) return;
  ferma_ = false;
  filo_ = std::thread([this] { Ciclo(); });
}

void CDispositiviSim::Ferma() {
  ferma_ = true;
  if (filo_.joinable()) filo_.join();
  for (auto& c : connessioni_) ::close(c.fd);
  connessioni_.clear();
  for (auto& a : ascolti_) {
    ::close(a.fd);
    ::unlink(a.percorso.c_str());
  }
  ascolti_.clear();
}

void CDispositiviSim::Registra(const Connessione& c, json voce, const std::string& grezzo) {
  voce["n"] = richieste_.size();
  voce["dispositivo"] = c.nome;
  richieste_.push_back(voce);
  if (trascrizione_) trascrizione_->Riga(AdessoMs(), c.nome + " " + voce.dump() + (grezzo.empty() ? "" : " " + grezzo));
}

void CDispositiviSim::Ciclo() {
  while (!ferma_) {
    std::vector<pollfd> p;
    for (const auto& a : ascolti_) p.push_back({a.fd, POLLIN, 0});
    for (const auto& c : connessioni_) p.push_back({c.fd, POLLIN, 0});
    const int k = ::poll(p.data(), p.size(), 100);
    if (k <= 0) continue;
    std::lock_guard<std::mutex> blocco(mutex_);
    for (std::size_t i = 0; i < ascolti_.size(); ++i) {
      if (!(p[i].revents & POLLIN)) continue;
      const int fd = ::accept4(ascolti_[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      Connessione c;
      c.fd = fd;
      c.tipo = ascolti_[i].tipo;
      c.nome = ascolti_[i].nome + "#" + std::to_string(++numeroConnessioni_);
      if (c.tipo == Tipo::Usb) usbSim_->Apertura();
      Registra(c, {{"evento", "apertura"}}, "");
      connessioni_.push_back(std::move(c));
    }
    const std::size_t primaConnessione = ascolti_.size();
    std::vector<int> daChiudere;
    for (std::size_t i = primaConnessione; i < p.size(); ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Connessione& c = connessioni_[i - primaConnessione];
      std::uint8_t b[8192];
      const ssize_t n = ::recv(c.fd, b, sizeof b, 0);
      if (n <= 0 || (c.arrivo.insert(c.arrivo.end(), b, b + n), !Elabora(c))) daChiudere.push_back(c.fd);
    }
    for (int fd : daChiudere) {
      for (auto it = connessioni_.begin(); it != connessioni_.end(); ++it) {
        if (it->fd != fd) continue;
        json voce = {{"evento", "chiusura"}};
        if (it->tipo == Tipo::Usb) usbSim_->Chiusura();
        if (it->driver.modoPic) voce["modoPicAttivo"] = true;
        Registra(*it, voce, "");
        ::close(fd);
        connessioni_.erase(it);
        break;
      }
    }
  }
}

bool CDispositiviSim::Elabora(Connessione& c) {
  for (;;) {
    auto& a = c.arrivo;
    if (c.tipo == Tipo::Usb) {
      if (a.size() < 34) return true;
      const std::uint8_t op = a[0];
      std::vector<std::uint8_t> risposta;
      EventoUsb e;
      json voce;
      if (op == 'S') {
        const bool ok = usbSim_->Imposta(c.usb, &a[1], e);
        risposta.push_back(ok ? 1 : 0);
        voce = {{"richiesta", "setFeature"}, {"esito", ok ? 1 : 0}};
        Registra(c, voce, "S " + Hex(&a[1], 33) + " -> " + (ok ? "1" : "0"));
        if (!e.richiesta.empty()) {
          json r = {{"richiesta", e.richiesta}, {"stato", e.stato}};
          if (e.conPagina) r["pagina"] = e.pagina;
          if (e.richiesta == "modo") r["modo"] = e.pagina;
          Registra(c, r, "");
        }
      } else if (op == 'G') {
        std::uint8_t report[33] = {};
        const bool ok = usbSim_->Ottieni(c.usb, report, e);
        risposta.push_back(ok ? 1 : 0);
        if (ok) risposta.insert(risposta.end(), report, report + 33);
        voce = {{"richiesta", "getFeature"}, {"esito", ok ? 1 : 0}, {"risposta", e.risposta}};
        Registra(c, voce, std::string("G -> ") + (ok ? "1 " + Hex(report, 33) : "0"));
      } else {
        Registra(c, {{"errore", "operazione sconosciuta"}, {"operazione", op}}, "");
        return false;
      }
      a.erase(a.begin(), a.begin() + 34);
      if (!Invia(c.fd, risposta)) return false;
    } else {
      if (a.size() < 8) return true;
      const std::uint32_t codice = U32(&a[0]);
      const std::uint32_t lunghezza = U32(&a[4]);
      if (lunghezza > INGRESSO_MASSIMO) {
        Registra(c, {{"errore", "ingresso troppo lungo"}, {"codice", codice}, {"lunghezzaIngresso", lunghezza}}, "");
        return false;
      }
      if (a.size() < 12 + std::size_t{lunghezza}) return true;
      const std::vector<std::uint8_t> ingresso(a.begin() + 8, a.begin() + 8 + lunghezza);
      const std::uint32_t capacita = U32(&a[8 + lunghezza]);
      a.erase(a.begin(), a.begin() + 12 + lunghezza);
      std::vector<std::uint8_t> uscita;
      json voce;
      const char* nomePic = codice == codice::PIC_MODO      ? "modo"
                            : codice == codice::PIC_COMANDO ? "comando"
                            : codice == codice::PIC_LEGGI   ? "leggi"
                            : codice == codice::PIC_SCRIVI  ? "scrivi"
                                                            : nullptr;
      GuastoRichiestaPic* g = nullptr;
      if (nomePic && pic_) {
        for (auto& x : guastiPic_) {
          if (x.richiesta != "*" && x.richiesta != nomePic) continue;
          if (x.visti++ < x.dopo || (x.volte >= 0 && x.usati >= x.volte)) continue;
          if (!g) g = &x;
        }
      }
      std::vector<std::uint8_t> dati = ingresso;
      if (g) {
        ++g->usati;
        std::string nota;
        if (g->tipo == "bitInvertito" && dati.size() > 7) {
          const std::size_t n = dati.size() - 7;
          const long long i = g->posizione < 0 ? static_cast<long long>(n) + g->posizione : g->posizione;
          const std::size_t k = 7 + static_cast<std::size_t>(std::clamp<long long>(i, 0, static_cast<long long>(n) - 1));
          dati[k] = static_cast<std::uint8_t>(dati[k] ^ (1u << g->bit));
          nota = ", byte " + std::to_string(k - 7) + " bit " + std::to_string(g->bit);
        }
        if (trascrizione_)
          trascrizione_->Riga(AdessoMs(), "guasto " + g->tipo + " " + c.nome + ": " + nomePic + nota + " (" +
                                              std::to_string(g->usati) + ")");
        if (g->tipo == "chiusura") {
          Registra(c, {{"guasto", "chiusura"}, {"richiesta", nomePic}}, "");
          return false;
        }
        if (g->tipo == "silenzio") {
          Registra(c, {{"guasto", "silenzio"}, {"richiesta", nomePic}}, "");
          continue;
        }
      }
      bool ok;
      if (g && g->tipo == "nack") {
        voce = {{"richiesta", nomePic}, {"guasto", "nack"}};
        ok = false;
      } else {
        // A stored bit flipped: the board takes the spoiled data as it came.
        ok = driverSim_->Richiesta(c.driver, codice, g && g->tipo == "bitInvertito" ? dati : ingresso, capacita, uscita,
                                   voce);
        if (g && g->tipo == "bitInvertito") voce["guasto"] = "bitInvertito";
      }
      if (ok && g && g->tipo == "bitRisposta" && !uscita.empty()) {
        const long long n = static_cast<long long>(uscita.size());
        const long long i = g->posizione < 0 ? n + g->posizione : g->posizione;
        const std::size_t k = static_cast<std::size_t>(std::clamp<long long>(i, 0, n - 1));
        uscita[k] = static_cast<std::uint8_t>(uscita[k] ^ (1u << g->bit));
        voce["guasto"] = "bitRisposta";
      }
      char testoCodice[16];
      std::snprintf(testoCodice, sizeof testoCodice, "%08X", codice);
      voce["codice"] = testoCodice;
      voce["esito"] = ok ? 1 : 0;
      voce["lunghezzaUscita"] = uscita.size();
      Registra(c, voce, "in " + Hex(ingresso.data(), ingresso.size()) + " cap " + std::to_string(capacita) + " -> " +
                            (ok ? "1" : "0") + " out " + Hex(uscita.data(), uscita.size()));
      std::vector<std::uint8_t> risposta;
      Metti32(risposta, ok ? 1 : 0);
      Metti32(risposta, static_cast<std::uint32_t>(uscita.size()));
      risposta.insert(risposta.end(), uscita.begin(), uscita.end());
      if (!Invia(c.fd, risposta)) return false;
    }
  }
}

json CDispositiviSim::Stato() const {
  std::lock_guard<std::mutex> blocco(mutex_);
  json j = json::object();
  if (!chiave_.File().empty()) {
    j["chiave"] = {{"file", chiave_.File()},
                   {"dimensionePagina", chiave_.DimensionePagina()},
                   {"numeroPagine", chiave_.NumeroPagine()},
                   {"pagineNonVuote", chiave_.PagineNonVuote()},
                   {"pagineScritte", chiave_.PagineScritte()},
                   {"pagineCancellate", chiave_.PagineCancellate()},
                   {"cancellazioniTotali", chiave_.CancellazioniTotali()}};
  }
  if (pic_) {
    json nonVuoti = json::array();
    const auto& f = pic_->Flash();
    for (std::uint32_t i = 0; i < f.size();) {
      if (f[i] == 0xFF) {
        ++i;
        continue;
      }
      std::uint32_t fine = i;
      // Ranges end at the first run of 8 blank bytes.
      for (std::uint32_t vuoti = 0; fine < f.size() && vuoti < 8; ++fine) vuoti = f[fine] == 0xFF ? vuoti + 1 : 0;
      while (fine > i && f[fine - 1] == 0xFF) --fine;
      nonVuoti.push_back({{"inizio", i}, {"fine", fine}, {"dati", Hex(f.data() + i, fine - i)}});
      i = fine;
    }
    char codice[8], firma[4];
    std::snprintf(codice, sizeof codice, "%04X", pic_->Codice());
    std::snprintf(firma, sizeof firma, "%02X", pic_->Firma());
    j["pic"] = {{"codice", codice},
                {"firma", firma},
                {"configurazione", Hex(pic_->Configurazione().data(), 16)},
                {"nonVuoti", nonVuoti},
                {"cancellazioni", pic_->Cancellazioni()},
                {"scrittureSuNonCancellato", pic_->ScrittureSuNonCancellato()}};
  }
  j["richieste"] = richieste_;
  return j;
}

}  // namespace bricola::sim
