// bricola-sim: a simulated vending machine reachable as a network serial port
// (RFC 2217) or as a pseudo-terminal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <thread>

#include "sim/descrizione_sim.h"
#include "sim/dispositivi_sim.h"
#include "sim/macchina_sim.h"
#include "sim/minimo_sim.h"
#include "sim/telnet_sim.h"

namespace {

using namespace bricola::sim;

volatile sig_atomic_t fermati = 0;
volatile sig_atomic_t dumpRichiesto = 0;

void SuSegnaleFine(int) { fermati = 1; }
void SuSegnaleDump(int) { dumpRichiesto = 1; }

const char* const USO =
    "uso: bricola-sim [--machine FILE] (--listen HOST:PORT | --pty [--pty-link PATH])\n"
    "                 [--once] [--paced] [--dump FILE] [--transcript FILE]\n"
    "  --machine FILE     descrizione della macchina (JSON); senza: una scheda M256\n"
    "  --listen HOST:PORT server RFC 2217 (porta 0: una porta libera, stampata su stdout)\n"
    "  --pty              serve la macchina su uno pseudo-terminale (stampa \"pty PERCORSO\")\n"
    "  --pty-link PATH    collegamento simbolico allo pseudo-terminale\n"
    "  --once             termina quando il client si disconnette\n"
    "  --paced            tempi reali della linea (10 bit per byte alla velocita' corrente)\n"
    "  --dump FILE        stato delle flash in JSON all'uscita e su SIGUSR1\n"
    "  --transcript FILE  trascrizione con tempi di eventi di linea e frame\n"
    "dispositivi (anche senza linea seriale):\n"
    "  --usb PATH         chiave USB su un socket Unix\n"
    "  --lpt PATH         dispositivo del driver parallelo (chiave e interfaccia PIC) su un socket Unix\n"
    "  --pic PATH         lo stesso dispositivo del driver, con una scheda PIC dietro\n"
    "  --key FILE         file delle pagine della chiave (creato cancellato se manca)\n"
    "  --key-page-size S  byte per pagina (264)\n"
    "  --key-pages N      numero di pagine (4096)\n"
    "  --driver base|esteso  insieme di richieste del driver (esteso)\n"
    "  --devices FILE     chiave, driver, scheda PIC e guasti (JSON)\n";

std::int64_t AdessoMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The same clock in fractions of a millisecond: a paced line hands each byte
// over when it is due, not at the next whole millisecond.
double AdessoMsPreciso() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Opzioni {
  std::string macchina;
  std::string ascolto;
  bool pty = false;
  std::string ptyLink;
  bool unaVolta = false;
  bool cadenzato = false;
  std::string dump;
  std::string trascrizione;
  std::string dispositivi;
  std::string chiave;
  std::string dimensionePagina;
  std::string numeroPagine;
  std::string driver;
  OpzioniDispositivi percorsi;
};

bool LeggiArgomenti(int argc, char** argv, Opzioni& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto valore = [&](std::string& dove) {
      if (i + 1 >= argc) return false;
      dove = argv[++i];
      return true;
    };
    if (a == "--machine") {
      if (!valore(o.macchina)) return false;
    } else if (a == "--listen") {
      if (!valore(o.ascolto)) return false;
    } else if (a == "--pty") {
      o.pty = true;
    } else if (a == "--pty-link") {
      if (!valore(o.ptyLink)) return false;
    } else if (a == "--once") {
      o.unaVolta = true;
    } else if (a == "--paced") {
      o.cadenzato = true;
    } else if (a == "--dump") {
      if (!valore(o.dump)) return false;
    } else if (a == "--transcript") {
      if (!valore(o.trascrizione)) return false;
    } else if (a == "--devices") {
      if (!valore(o.dispositivi)) return false;
    } else if (a == "--key") {
      if (!valore(o.chiave)) return false;
    } else if (a == "--key-page-size") {
      if (!valore(o.dimensionePagina)) return false;
    } else if (a == "--key-pages") {
      if (!valore(o.numeroPagine)) return false;
    } else if (a == "--driver") {
      if (!valore(o.driver) || (o.driver != "base" && o.driver != "esteso")) return false;
    } else if (a == "--usb") {
      if (!valore(o.percorsi.usb)) return false;
    } else if (a == "--lpt") {
      if (!valore(o.percorsi.lpt)) return false;
    } else if (a == "--pic") {
      if (!valore(o.percorsi.picPercorso)) return false;
    } else {
      return false;
    }
  }
  if (!o.pty && o.ascolto.empty()) return o.percorsi.Servono();
  return o.pty != !o.ascolto.empty();
}

// The devices' options: the --devices file, then the command line over it.
bool OpzioniDeiDispositivi(const Opzioni& o, OpzioniDispositivi& d) {
  std::string errore;
  if (!o.dispositivi.empty() && !LeggiFileDispositivi(o.dispositivi, d, errore)) {
    std::fprintf(stderr, "bricola-sim: %s: %s\n", o.dispositivi.c_str(), errore.c_str());
    return false;
  }
  d.usb = o.percorsi.usb;
  d.lpt = o.percorsi.lpt;
  d.picPercorso = o.percorsi.picPercorso;
  if (!o.chiave.empty()) d.chiave.file = o.chiave;
  auto numero = [](const std::string& t, std::uint32_t& dove) {
    if (t.empty()) return true;
    char* fine = nullptr;
    const unsigned long v = std::strtoul(t.c_str(), &fine, 0);
    if (*fine || v == 0) return false;
    dove = static_cast<std::uint32_t>(v);
    return true;
  };
  if (!numero(o.dimensionePagina, d.chiave.dimensionePagina) || !numero(o.numeroPagine, d.chiave.numeroPagine)) {
    std::fprintf(stderr, "bricola-sim: geometria della chiave non valida\n");
    return false;
  }
  if (!o.driver.empty()) d.driver.esteso = o.driver == "esteso";
  return true;
}

CDispositiviSim* dispositiviAttivi = nullptr;
// The least time the serial line needed, for the dump.
CMinimoLinea minimoLinea;


// Bytes on their way to the PC, each with the time it leaves the board's UART.
class CCodaUscita {
 public:
  explicit CCodaUscita(bool cadenzata) : cadenzata_(cadenzata) {}

  // Request bytes take their line time before the board has them all.
  void Ricevuti(std::size_t n, std::uint32_t baud, double adesso) {
    if (!cadenzata_) return;
    rxLibera_ = std::max(rxLibera_, adesso) + static_cast<double>(n) * TempoByte(baud);
  }
  void Aggiungi(const Uscita& u, std::uint32_t baud, double adesso) {
    double t = std::max({adesso, rxLibera_, txLibera_}) + u.ritardoMs;
    for (std::uint8_t b : u.byte) {
      if (cadenzata_) t += TempoByte(baud);
      coda_.push_back({t, b});
    }
    txLibera_ = t;
  }
  // Server time at which the last byte queued so far has left the board, and
  // at which the last byte from the PC has reached it.
  double TxLiberaMs() const { return txLibera_; }
  double RxLiberaMs() const { return rxLibera_; }
  // A purge on the PC empties what has reached its side; bytes the board has
  // not sent yet (a reply it is still working on) still come afterwards.
  void Svuota(double adesso) {
    while (!coda_.empty() && coda_.front().tempo <= adesso) coda_.pop_front();
  }
  void Svuota() { coda_.clear(); }
  bool Vuota() const { return coda_.empty(); }
  // Takes the bytes due by now.
  void Pronti(double adesso, std::vector<std::uint8_t>& b) {
    while (!coda_.empty() && coda_.front().tempo <= adesso) {
      b.push_back(coda_.front().byte);
      coda_.pop_front();
    }
  }
  // Milliseconds until the next byte is due (-1 none).
  int Attesa(double adesso) const {
    if (coda_.empty()) return -1;
    return std::max(0, static_cast<int>(std::ceil(coda_.front().tempo - adesso)));
  }
  // The same to the fraction of a millisecond, for handing bytes over in
  // batches of about a millisecond (as a UART's FIFO does), except that the
  // last byte queued goes out as soon as it is due: the reader waits for it.
  double AttesaPrecisa(double adesso) const {
    if (coda_.empty()) return -1;
    const double prossimo = coda_.front().tempo - adesso;
    const double ultimo = coda_.back().tempo - adesso;
    return std::max({0.0, prossimo, std::min(1.0, ultimo)});
  }

 private:
  static double TempoByte(std::uint32_t baud) { return baud ? 10000.0 / baud : 0.0; }
  struct Voce {
    double tempo;
    std::uint8_t byte;
  };
  bool cadenzata_;
  std::deque<Voce> coda_;
  double rxLibera_ = 0;
  double txLibera_ = 0;
};

// What the boards send goes on the line: queued with its time, and counted.
void Accoda(CCodaUscita& coda, const Uscita& u, std::uint32_t baud, double adesso) {
  coda.Aggiungi(u, baud, adesso);
  minimoLinea.VersoPc(u.byte.size(), baud, u.ritardoMs);
  minimoLinea.LineaOccupataFino(coda.TxLiberaMs());
}

// Shortens a poll timeout so that a board timer that falls due is served on time.
int FinoAllaScadenza(const CMacchinaSim& m, int attesa) {
  const std::int64_t scadenza = m.ProssimaScadenza();
  if (scadenza < 0) return attesa;
  return static_cast<int>(std::clamp<std::int64_t>(scadenza - AdessoMs(), 0, attesa));
}

bool ScriviTutto(int fd, const std::uint8_t* b, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::send(fd, b, n, MSG_NOSIGNAL);
    if (k < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
        continue;
      }
      return false;
    }
    b += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

void Dump(const CMacchinaSim& m, const std::string& percorso) {
  if (percorso.empty()) return;
  const std::string temporaneo = percorso + ".tmp";
  {
    std::ofstream f(temporaneo, std::ios::trunc);
    if (!f) {
      std::fprintf(stderr, "bricola-sim: impossibile scrivere %s\n", percorso.c_str());
      return;
    }
    if (dispositiviAttivi) {
      std::ostringstream macchina;
      ScriviDump(m, macchina);
      nlohmann::json j = nlohmann::json::parse(macchina.str());
      j["dispositivi"] = dispositiviAttivi->Stato();
      j["minimoLinea"] = minimoLinea.Stato();
      f << j.dump(2) << '\n';
    } else {
      std::ostringstream macchina;
      ScriviDump(m, macchina);
      nlohmann::json j = nlohmann::json::parse(macchina.str());
      j["minimoLinea"] = minimoLinea.Stato();
      f << j.dump(2) << '\n';
    }
  }
  // Readers never see a half-written dump.
  std::rename(temporaneo.c_str(), percorso.c_str());
}

int ServiRete(CMacchinaSim& m, const Opzioni& o) {
  const auto duepunti = o.ascolto.rfind(':');
  if (duepunti == std::string::npos) {
    std::fprintf(stderr, "bricola-sim: --listen vuole HOST:PORT\n");
    return 2;
  }
  const std::string host = o.ascolto.substr(0, duepunti);
  const int porta = std::atoi(o.ascolto.c_str() + duepunti + 1);
  sockaddr_in ind{};
  ind.sin_family = AF_INET;
  ind.sin_port = htons(static_cast<std::uint16_t>(porta));
  if (::inet_pton(AF_INET, host.c_str(), &ind.sin_addr) != 1) {
    std::fprintf(stderr, "bricola-sim: indirizzo non valido %s\n", host.c_str());
    return 2;
  }
  const int ascolto = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int uno = 1;
  ::setsockopt(ascolto, SOL_SOCKET, SO_REUSEADDR, &uno, sizeof uno);
  if (ascolto < 0 || ::bind(ascolto, reinterpret_cast<sockaddr*>(&ind), sizeof ind) != 0 || ::listen(ascolto, 4) != 0) {
    std::fprintf(stderr, "bricola-sim: impossibile ascoltare su %s: %s\n", o.ascolto.c_str(), std::strerror(errno));
    return 1;
  }
  socklen_t lun = sizeof ind;
  ::getsockname(ascolto, reinterpret_cast<sockaddr*>(&ind), &lun);
  std::printf("listening on %s:%u\n", host.c_str(), static_cast<unsigned>(ntohs(ind.sin_port)));
  std::fflush(stdout);

  int client = -1;
  std::unique_ptr<CTelnetSim> telnet;
  CCodaUscita coda(o.cadenzato);
  auto chiudiClient = [&](const char* perche) {
    ::close(client);
    client = -1;
    telnet.reset();
    coda.Svuota();
    std::fprintf(stderr, "bricola-sim: client disconnesso (%s)\n", perche);
  };

  // With --once the server ends when the client has gone and has not come
  // back within a short grace: a tool that reopens its port (close, 50 ms,
  // open) keeps talking to the same machine.
  constexpr std::int64_t GRAZIA_MS = 500;
  std::int64_t finePrevista = -1;
  auto dopoChiusura = [&] {
    if (o.unaVolta) finePrevista = AdessoMs() + GRAZIA_MS;
  };
  while (!fermati) {
    if (dumpRichiesto) {
      dumpRichiesto = 0;
      Dump(m, o.dump);
    }
    if (finePrevista >= 0 && client < 0 && AdessoMs() >= finePrevista) break;
    const double adesso = AdessoMsPreciso();
    double attesa = FinoAllaScadenza(m, finePrevista >= 0 ? 20 : 200);
    if (client >= 0 && !telnet->Sospeso()) {
      const double a = coda.AttesaPrecisa(adesso);
      if (a >= 0) attesa = std::min(attesa, a);
    }
    pollfd p[2] = {{ascolto, POLLIN, 0}, {client, POLLIN, 0}};
    const auto ns = static_cast<long long>(attesa * 1e6);
    const timespec limite{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    const int k = ::ppoll(p, client >= 0 ? 2 : 1, &limite, nullptr);
    if (k < 0 && errno != EINTR) break;
    const std::int64_t ms = AdessoMs();
    const double msPreciso = AdessoMsPreciso();

    if (k > 0 && (p[0].revents & POLLIN)) {
      const int nuovo = ::accept4(ascolto, nullptr, nullptr, SOCK_CLOEXEC);
      if (nuovo >= 0 && client >= 0) {
        // One client at a time, like a real serial port.
        ::close(nuovo);
      } else if (nuovo >= 0) {
        client = nuovo;
        finePrevista = -1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
        m.NuovaConnessione(ms);
        telnet = std::make_unique<CTelnetSim>(m);
        telnet->alSvuota = [&coda](std::uint8_t quale) {
          if (quale & bricola::sim::CMacchinaSim::SVUOTA_VERSO_PC) coda.Svuota(AdessoMsPreciso());
        };
        const auto apertura = telnet->Apertura();
        if (!ScriviTutto(client, apertura.data(), apertura.size())) {
          chiudiClient("scrittura fallita");
          dopoChiusura();
        }
      }
    }
    if (client >= 0 && k > 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      std::uint8_t b[4096];
      const ssize_t n = ::recv(client, b, sizeof b, 0);
      if (n <= 0) {
        chiudiClient("fine connessione");
        dopoChiusura();
        continue;
      }
      std::vector<std::uint8_t> risposte;
      std::vector<Uscita> dati;
      const std::uint32_t baudArrivo = m.BaudLinea();
      const std::uint64_t primaDati = telnet->ByteDati();
      telnet->DalClient(b, static_cast<std::size_t>(n), ms, risposte, dati);
      // Only line data cross the simulated cable; Telnet commands do not.
      const std::uint64_t nDati = telnet->ByteDati() - primaDati;
      minimoLinea.DalPc(nDati, baudArrivo, msPreciso, !coda.Vuota());
      coda.Ricevuti(static_cast<std::size_t>(nDati), baudArrivo, msPreciso);
      if (nDati > 0) minimoLinea.LineaOccupataFino(coda.RxLiberaMs());
      for (const auto& u : dati) Accoda(coda, u, m.BaudLinea(), msPreciso);
      if (!risposte.empty() && !ScriviTutto(client, risposte.data(), risposte.size())) {
        chiudiClient("scrittura fallita");
        dopoChiusura();
        continue;
      }
    }
    {
      // The boards' own timers; what they send while no client is there is lost.
      const std::int64_t ora = AdessoMs();
      const auto dovute = m.Scadenze(ora);
      if (client >= 0)
        for (const auto& u : dovute) Accoda(coda, u, m.BaudLinea(), static_cast<double>(ora));
    }
    if (client >= 0 && !telnet->Sospeso()) {
      std::vector<std::uint8_t> pronti;
      coda.Pronti(AdessoMsPreciso(), pronti);
      if (!pronti.empty()) {
        std::vector<std::uint8_t> escapati;
        CTelnetSim::Escapa(pronti.data(), pronti.size(), escapati);
        if (!ScriviTutto(client, escapati.data(), escapati.size())) {
          chiudiClient("scrittura fallita");
          dopoChiusura();
          continue;
        }
      }
    }
    if (client >= 0 && m.ConnessioneDaChiudere() && coda.Vuota()) {
      chiudiClient("guasto: connessione interrotta");
      m.ConnessioneChiusa();
      dopoChiusura();
    }
  }
  if (client >= 0) ::close(client);
  ::close(ascolto);
  return 0;
}

std::uint32_t BaudDaTermios(speed_t v) {
  static const std::pair<speed_t, std::uint32_t> tabella[] = {
      {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},   {B19200, 19200},
      {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400},
  };
  for (const auto& [s, b] : tabella) {
    if (s == v) return b;
  }
  return 0;
}

int ServiPty(CMacchinaSim& m, const Opzioni& o) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    std::fprintf(stderr, "bricola-sim: pseudo-terminale non disponibile: %s\n", std::strerror(errno));
    return 1;
  }
  const std::string nome = ::ptsname(master);
  // Keeping the other side open ourselves means a client closing it is not an error here.
  const int schiavo = ::open(nome.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t{};
  ::tcgetattr(master, &t);
  ::cfmakeraw(&t);
  ::cfsetispeed(&t, B38400);
  ::cfsetospeed(&t, B38400);
  ::tcsetattr(master, TCSANOW, &t);
  if (!o.ptyLink.empty()) {
    ::unlink(o.ptyLink.c_str());
    if (::symlink(nome.c_str(), o.ptyLink.c_str()) != 0)
      std::fprintf(stderr, "bricola-sim: impossibile creare %s: %s\n", o.ptyLink.c_str(), std::strerror(errno));
  }
  if (m.Scheda(0).modo != ModoScheda::Boot)
    std::fprintf(stderr, "bricola-sim: %s parte nella sua applicazione e su uno pseudo-terminale nessun impulso DTR la riporta nel boot\n",
                 m.Scheda(0).config.nome.c_str());
  std::printf("pty %s\n", nome.c_str());
  std::fflush(stdout);
  m.NuovaConnessione(AdessoMs());

  CCodaUscita coda(o.cadenzato);
  std::uint32_t baudVisto = 38400;
  while (!fermati) {
    if (dumpRichiesto) {
      dumpRichiesto = 0;
      Dump(m, o.dump);
    }
    const auto adesso = static_cast<double>(AdessoMs());
    int attesa = 10;  // the baud rate can only be seen by looking at it
    const int a = coda.Attesa(adesso);
    if (a >= 0) attesa = std::min(attesa, a);
    attesa = FinoAllaScadenza(m, attesa);
    pollfd p{master, POLLIN, 0};
    const int k = ::poll(&p, 1, attesa);
    if (k < 0 && errno != EINTR) break;
    const std::int64_t ms = AdessoMs();
    termios tt{};
    if (::tcgetattr(master, &tt) == 0) {
      const std::uint32_t baud = BaudDaTermios(::cfgetospeed(&tt));
      if (baud && baud != baudVisto) {
        baudVisto = baud;
        m.ImpostaBaud(baud, ms);
      }
    }
    if (k > 0 && (p.revents & POLLIN)) {
      std::uint8_t b[4096];
      const ssize_t n = ::read(master, b, sizeof b);
      if (n > 0) {
        const std::uint32_t baudArrivo = m.BaudLinea();
        const auto uscite = m.DalPc(b, static_cast<std::size_t>(n), ms);
        minimoLinea.DalPc(static_cast<std::uint64_t>(n), baudArrivo, static_cast<double>(ms), !coda.Vuota());
        coda.Ricevuti(static_cast<std::size_t>(n), baudArrivo, static_cast<double>(ms));
        minimoLinea.LineaOccupataFino(coda.RxLiberaMs());
        for (const auto& u : uscite) Accoda(coda, u, m.BaudLinea(), static_cast<double>(ms));
      }
    }
    for (const auto& u : m.Scadenze(AdessoMs())) Accoda(coda, u, m.BaudLinea(), static_cast<double>(AdessoMs()));
    std::vector<std::uint8_t> pronti;
    coda.Pronti(static_cast<double>(AdessoMs()), pronti);
    if (!pronti.empty() && ::write(master, pronti.data(), pronti.size()) < 0) break;
  }
  if (!o.ptyLink.empty()) ::unlink(o.ptyLink.c_str());
  if (schiavo >= 0) ::close(schiavo);
  ::close(master);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Opzioni o;
  if (!LeggiArgomenti(argc, argv, o)) {
    std::fputs(USO, stderr);
    return 2;
  }
  DescrizioneMacchina d = DescrizionePredefinita();
  if (!o.macchina.empty()) {
    std::string errore;
    if (!LeggiFileDescrizione(o.macchina, d, errore)) {
      std::fprintf(stderr, "bricola-sim: %s: %s\n", o.macchina.c_str(), errore.c_str());
      return 2;
    }
  }
  std::ofstream fileTrascrizione;
  if (!o.trascrizione.empty()) {
    fileTrascrizione.open(o.trascrizione, std::ios::trunc);
    if (!fileTrascrizione) {
      std::fprintf(stderr, "bricola-sim: impossibile scrivere %s\n", o.trascrizione.c_str());
      return 1;
    }
  }
  CTrascrizione trascrizione(o.trascrizione.empty() ? nullptr : &fileTrascrizione, AdessoMs());
  CMacchinaSim m(std::move(d.schede), d.linea);
  m.ImpostaTrascrizione(&trascrizione);
  m.ImpostaMinimo(&minimoLinea);

  struct sigaction sa {};
  sa.sa_handler = SuSegnaleFine;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  sa.sa_handler = SuSegnaleDump;
  ::sigaction(SIGUSR1, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  OpzioniDispositivi od;
  if (!OpzioniDeiDispositivi(o, od)) return 2;
  CDispositiviSim dispositivi;
  if (od.Servono()) {
    std::string errore;
    if (!dispositivi.Prepara(od, &trascrizione, errore)) {
      std::fprintf(stderr, "bricola-sim: %s\n", errore.c_str());
      return 1;
    }
    dispositiviAttivi = &dispositivi;
    dispositivi.Avvia();
  }
  int esito = 0;
  if (o.pty) {
    esito = ServiPty(m, o);
  } else if (!o.ascolto.empty()) {
    esito = ServiRete(m, o);
  } else {
    // Devices only: their sockets are listening once these lines are out.
    if (!od.usb.empty()) std::printf("usb %s\n", od.usb.c_str());
    if (!od.lpt.empty()) std::printf("lpt %s\n", od.lpt.c_str());
    if (!od.picPercorso.empty()) std::printf("pic %s\n", od.picPercorso.c_str());
    std::fflush(stdout);
    while (!fermati) {
      if (dumpRichiesto) {
        dumpRichiesto = 0;
        Dump(m, o.dump);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  dispositivi.Ferma();
  Dump(m, o.dump);
  return esito;
}
