#include "app/strumento.h"

#include <cstdio>
#include <istream>
#include <ostream>

#include "app/bricola_app.h"
#include "app/impostazioni.h"
#include "bootstrap/caricatori_ram.h"
#include "base/esiti.h"
#include "base/testi.h"
#include "platform/interruzione.h"
#include "platform/linea_seriale.h"
#include "platform/sistema.h"
#include "platform/sveglia.h"

#ifndef BRICOLA_VERSIONE_STRUMENTO
#define BRICOLA_VERSIONE_STRUMENTO "0"
#endif

namespace bricola {

namespace {

constexpr const char* kInizioRiga = "\r\x1b[K";
constexpr int kIntervalloRigaMs = 250;
constexpr int kTestoCollegamentoInterrotto = 259;

struct SVoceComando {
  const char* nome;
  ComandoStrumento comando;
  const char* riassunto;
};

constexpr SVoceComando kComandi[] = {
    {"ports", ComandoPorte, "list the COM, LPT, USB-key and PIC ports and whether each opens now"},
    {"info", ComandoInfo, "show the modules of an image file as the window lists them"},
    {"boot-check", ComandoVerificaBoot, "boot version and machine code of the local or a remote board"},
    {"micro-check", ComandoVerificaMicro, "identify the microcontroller of the board on the cable"},
    {"micro-erase", ComandoCancellaMicro, "erase the whole flash of an MB90F345 (needs --yes)"},
    {"read-flash", ComandoLeggiFlash, "back up a board's flash into an image file the load accepts"},
    {"verify", ComandoVerifica, "compare a board's flash with an image file, writing nothing"},
};

constexpr std::string_view kUsoGenerale =
    "Usage: bricola-tool COMMAND [OPTIONS] [ARGUMENTS]\n"
    "       bricola-tool COMMAND --help\n"
    "       bricola-tool --help | --version\n"
    "\n"
    "The technician's command line of Bricola: each command runs one job of the\n"
    "service tool and ends with its result code as exit status.\n"
    "\n"
    "Commands:\n";

constexpr std::string_view kUsoGeneraleCoda =
    "\n"
    "Options (-C and --wait for the commands that talk to a board):\n"
    "  -C N          port, as bricola's -C: N is COMN, 50+N the Memox on LPTN, 61 the\n"
    "                Memox on USB; without -C the port stored as Porta in bricola's\n"
    "                settings file\n"
    "  -L            write the troubleshooting log (the same file as bricola's)\n"
    "  --wait S      board commands: stop the job and end with 28 when it makes no\n"
    "                progress for S seconds (a board that does not answer); 30\n"
    "  --json        print the result as one JSON object on standard output\n"
    "  --help        show the command's usage\n"
    "\n"
    "Exit status: the result code of the job (0 success); 72 for a command line that\n"
    "cannot be understood; 128 + the signal's number when SIGINT or SIGTERM stopped\n"
    "the job (130, 143).\n";

bool Terminatore(unsigned char c) { return c < 0x20; }

}  // namespace

// --- options ------------------------------------------------------------------

bool LeggiOpzioni(std::span<const std::string> argomenti, std::span<const SOpzione> ammesse, SArgomenti& r,
                  std::string& errore) {
  r = SArgomenti{};
  auto aggiungi = [&r](const SOpzione& o, std::string valore) -> bool {
    auto& v = r.opzioni[o.lunga];
    if (!o.ripetibile) v.clear();
    v.push_back(std::move(valore));
    return true;
  };
  bool soloPosizionali = false;
  for (std::size_t i = 0; i < argomenti.size(); ++i) {
    const std::string& a = argomenti[i];
    if (soloPosizionali || a.size() < 2 || a[0] != '-') {
      r.posizionali.push_back(a);
      continue;
    }
    if (a == "--") {
      soloPosizionali = true;
      continue;
    }
    const SOpzione* trovata = nullptr;
    std::optional<std::string> valore;
    std::string mostrata;
    if (a[1] == '-') {
      std::string nome = a.substr(2);
      const auto uguale = nome.find('=');
      if (uguale != std::string::npos) {
        valore = nome.substr(uguale + 1);
        nome.resize(uguale);
      }
      mostrata = "--" + nome;
      for (const auto& o : ammesse)
        if (o.lunga == nome) trovata = &o;
      if (!trovata) {
        errore = "unknown option " + mostrata;
        return false;
      }
      if (!trovata->valore && valore) {
        errore = "option " + mostrata + " takes no value";
        return false;
      }
    } else {
      mostrata = std::string("-") + a[1];
      for (const auto& o : ammesse)
        if (o.corta != 0 && o.corta == a[1]) trovata = &o;
      if (!trovata) {
        errore = "unknown option " + mostrata;
        return false;
      }
      if (a.size() > 2) {
        if (!trovata->valore) {
          errore = "unknown option " + a;
          return false;
        }
        valore = a.substr(2);
      }
    }
    if (trovata->valore && !valore) {
      if (i + 1 >= argomenti.size()) {
        errore = "option " + mostrata + " needs a value";
        return false;
      }
      valore = argomenti[++i];
    }
    aggiungi(*trovata, valore.value_or(std::string()));
  }
  return true;
}

std::optional<std::uint32_t> NumeroEsadecimale(std::string_view t) {
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t.remove_prefix(2);
  if (t.empty() || t.size() > 8) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : t) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  return v;
}

bool LeggiIntervallo(std::string_view testo, std::uint32_t& inizio, std::uint32_t& fine) {
  const auto due = testo.find(':');
  if (due == std::string_view::npos) return false;
  const auto a = NumeroEsadecimale(testo.substr(0, due));
  const auto b = NumeroEsadecimale(testo.substr(due + 1));
  if (!a || !b || *b <= *a) return false;
  inizio = *a;
  fine = *b;
  return true;
}

// --- JSON ---------------------------------------------------------------------

std::string JsonTesto(std::string_view t) {
  std::string s = "\"";
  for (std::size_t i = 0; i < t.size();) {
    const unsigned char c = static_cast<unsigned char>(t[i]);
    if (c == '"' || c == '\\') {
      s += '\\';
      s += static_cast<char>(c);
      ++i;
    } else if (Terminatore(c) || c == 0x7F) {
      char e[8];
      std::snprintf(e, sizeof e, "\\u%04x", c);
      s += e;
      ++i;
    } else if (c < 0x80) {
      s += static_cast<char>(c);
      ++i;
    } else {
      // A well-formed UTF-8 sequence passes; anything else becomes U+FFFD.
      int n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
      bool buona = n != 0 && i + n <= t.size() && c >= 0xC2 && c <= 0xF4;
      for (int k = 1; buona && k < n; ++k)
        buona = (static_cast<unsigned char>(t[i + k]) & 0xC0) == 0x80;
      if (buona) {
        s.append(t.substr(i, n));
        i += n;
      } else {
        s += "\xEF\xBF\xBD";
        ++i;
      }
    }
  }
  s += '"';
  return s;
}

std::string Esadecimale(std::uint32_t valore, int cifre) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%0*X", cifre, valore);
  return b;
}

CJsonOggetto& CJsonOggetto::Numero(std::string_view k, long long v) {
  membri.emplace_back(std::string(k), std::to_string(v));
  return *this;
}
CJsonOggetto& CJsonOggetto::Testo(std::string_view k, std::string_view v) {
  membri.emplace_back(std::string(k), JsonTesto(v));
  return *this;
}
CJsonOggetto& CJsonOggetto::Booleano(std::string_view k, bool v) {
  membri.emplace_back(std::string(k), v ? "true" : "false");
  return *this;
}
CJsonOggetto& CJsonOggetto::Nullo(std::string_view k) {
  membri.emplace_back(std::string(k), "null");
  return *this;
}
CJsonOggetto& CJsonOggetto::Grezzo(std::string_view k, std::string v) {
  membri.emplace_back(std::string(k), std::move(v));
  return *this;
}
std::string CJsonOggetto::Json() const {
  std::string s = "{";
  for (std::size_t i = 0; i < membri.size(); ++i) {
    if (i) s += ", ";
    s += JsonTesto(membri[i].first);
    s += ": ";
    s += membri[i].second;
  }
  return s + "}";
}

std::string JsonLista(const std::vector<std::string>& v) {
  std::string s = "[";
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) s += ", ";
    s += v[i];
  }
  return s + "]";
}

std::string MessaggioEsito(int esito) {
  std::string_view t = TestoDiEsito(esito, kInglese);
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
  if (t.empty()) return esito == RC_OK ? "ok" : "result " + std::to_string(esito);
  return std::string(t);
}

CJsonOggetto OggettoRisultato(std::string_view comando, int esito) {
  CJsonOggetto o;
  o.Testo("command", comando).Numero("result", esito).Testo("message", MessaggioEsito(esito));
  return o;
}

// --- running a job ------------------------------------------------------------

std::string RigaStato(const SStatoLavoro& s, std::int64_t ms, long long fattiInizio) {
  std::string_view fase = TestoDiFase(s.fase, kInglese);
  while (!fase.empty() && fase.back() == ' ') fase.remove_suffix(1);
  while (!fase.empty() && fase.front() == ' ') fase.remove_prefix(1);
  std::string riga(fase);
  char b[160];
  if (s.modulo > 0) {
    std::snprintf(b, sizeof b, "%smodule %d", riga.empty() ? "" : "  ", s.modulo);
    riga += b;
  }
  if (s.fatti >= 0) {
    const long long fatti = s.fatti - fattiInizio;
    const long long velocita = ms >= 1000 && fatti > 0 ? fatti * 1000 / ms : 0;
    std::snprintf(b, sizeof b, "%s%lld/%lld bytes  %lld bytes/s", riga.empty() ? "" : "  ", s.fatti, s.totali,
                  velocita);
    riga += b;
  }
  const long long sec = ms / 1000;
  std::snprintf(b, sizeof b, "%s%02lld:%02lld:%02lld", riga.empty() ? "" : "  ", sec / 3600, (sec % 3600) / 60,
                sec % 60);
  riga += b;
  return riga;
}

SFineLavoro EseguiLavoro(const SContestoStrumento& c, SLavoro& lavoro, int faseIniziale) {
  SFineLavoro fine;
  fine.fase = faseIniziale;
  const std::int64_t inizio = MillisecondiMonotoni();
  std::int64_t ultimaRiga = 0;
  bool riga = false;
  // The last change of the job's phase or byte count.
  SStatoLavoro visto;
  visto.fase = faseIniziale;
  std::int64_t ultimoCambio = inizio;
  (void)AlzaPrioritaThread();
  for (;;) {
    if (const int segnale = SegnaleInterruzione()) {
      // The job ends through its own stop step: line closed, a board in its
      // bootstrap released, nothing half written left behind.
      if (lavoro.registro) lavoro.registro->RegistraConcat("interruzione dal segnale ", NomeSegnale(segnale));
      if (lavoro.ferma) lavoro.ferma();
      fine.segnale = segnale;
      fine.fase = ST_FAILED;
      break;
    }
    int fase = fine.fase;
    int esito = fine.esito;
    const bool continua = lavoro.passo(fase, esito);
    fine.fase = fase;
    fine.esito = esito;
    if (!continua) break;
    const std::int64_t adesso = MillisecondiMonotoni();
    SStatoLavoro s;
    if (lavoro.stato) lavoro.stato(s);
    s.fase = fase;
    if (s.fase != visto.fase || s.fatti != visto.fatti || s.modulo != visto.modulo) {
      visto = s;
      ultimoCambio = adesso;
    } else if (lavoro.attesaMassimaMs > 0 && adesso - ultimoCambio >= lavoro.attesaMassimaMs) {
      if (lavoro.registro) {
        lavoro.registro->RegistraValore("nessun avanzamento da %lld ms, arresto", adesso - ultimoCambio);
      }
      if (lavoro.ferma) lavoro.ferma();
      fine.fase = ST_FAILED;
      fine.esito = RC_REPLY_TIMEOUT;
      break;
    }
    if (c.erroriSuTerminale && c.errori && (!riga || adesso - ultimaRiga >= kIntervalloRigaMs)) {
      *c.errori << kInizioRiga << RigaStato(s, adesso - inizio, 0);
      c.errori->flush();
      riga = true;
      ultimaRiga = adesso;
    }
    if (lavoro.sveglia) {
      lavoro.sveglia->Attendi(lavoro.periodoMs);
    } else {
      Dormi(lavoro.periodoMs);
    }
  }
  if (riga) {
    *c.errori << kInizioRiga;
    c.errori->flush();
  }
  return fine;
}

int EsitoFinale(const SContestoStrumento& c, std::string_view comando, const SFineLavoro& fine) {
  if (fine.segnale) {
    *c.errori << "bricola-tool " << comando << ": " << Testo(kTestoCollegamentoInterrotto + kInglese) << '\n';
    c.errori->flush();
    return kEsitoSegnaleBase + fine.segnale;
  }
  if (fine.esito != RC_OK) {
    *c.errori << "bricola-tool " << comando << ": " << MessaggioEsito(fine.esito) << " (" << fine.esito << ")\n";
    c.errori->flush();
  }
  return fine.esito;
}

CJsonOggetto OggettoFine(std::string_view comando, const SFineLavoro& fine) {
  if (!fine.segnale) return OggettoRisultato(comando, fine.esito);
  CJsonOggetto o;
  o.Testo("command", comando)
      .Numero("result", kEsitoSegnaleBase + fine.segnale)
      .Testo("message", Testo(kTestoCollegamentoInterrotto + kInglese));
  return o;
}

// --- shared by the commands ---------------------------------------------------

std::vector<SOpzione> OpzioniComuni(bool conPorta) {
  std::vector<SOpzione> o = {{"help", 'h', false, false}, {"json", 0, false, false}, {"log", 'L', false, false}};
  if (conPorta) {
    o.push_back({"port", 'C', true, false});
    o.push_back({"wait", 0, true, false});
  }
  return o;
}

bool LeggiAttesa(const SArgomenti& a, int& millisecondi) {
  millisecondi = kAttesaPredefinitaS * 1000;
  if (!a.Ha("wait")) return true;
  const std::string& v = a.Valore("wait");
  if (v.empty() || v.size() > 4) return false;
  int n = 0;
  for (char ch : v) {
    if (ch < '0' || ch > '9') return false;
    n = n * 10 + (ch - '0');
  }
  if (n < 1 || n > 3600) return false;
  millisecondi = n * 1000;
  return true;
}

int ErroreUso(std::string_view nome, std::string_view uso, const SContestoStrumento& c,
              std::string_view complaint) {
  *c.errori << "bricola-tool " << nome << ": " << complaint << "\n" << uso;
  c.errori->flush();
  return kEsitoUso;
}

std::optional<int> PreparaComando(std::string_view nome, std::string_view uso,
                                  std::span<const std::string> argomenti, std::span<const SOpzione> ammesse,
                                  const SContestoStrumento& c, SArgomenti& r) {
  std::string errore;
  if (!LeggiOpzioni(argomenti, ammesse, r, errore)) return ErroreUso(nome, uso, c, errore);
  if (r.Ha("help")) {
    *c.uscita << uso;
    c.uscita->flush();
    return 0;
  }
  if (r.Ha("port")) {
    // The value as bricola's -C reads it, but a value that is no number at all
    // is refused here rather than silently taken as the stored port.
    const std::string& v = r.Valore("port");
    std::size_t i = 0;
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) ++i;
    bool cifre = i < v.size();
    for (; i < v.size(); ++i) cifre = cifre && v[i] >= '0' && v[i] <= '9';
    if (!cifre) return ErroreUso(nome, uso, c, "-C needs a port number, not '" + v + "'");
  }
  int attesa = 0;
  if (!LeggiAttesa(r, attesa)) {
    return ErroreUso(nome, uso, c, "--wait needs a number of seconds from 1 to 3600, not '" + r.Valore("wait") + "'");
  }
  return std::nullopt;
}

std::string RegistroStrumento(const SArgomenti& a) {
  if (!a.Ha("log")) return {};
  std::string cartella = CartellaTemporanea();
  if (cartella.empty() || cartella.size() > 512) cartella = "/tmp";
  return PercorsoRegistro(cartella, OraAttuale());
}

void ScegliPortaStrumento(const SArgomenti& a, SPortaScelta& s) {
  s.porte.EnumeraPorte();
  s.portaSalvata = LeggiImpostazioneIntero(kValorePorta, 0);
  s.porte.ScegliPorta(a.Ha("port") ? a.Valore("port") : std::string(), s.portaSalvata);
}

std::string NomePorta(const CMainProc& p) {
  if (p.Usb()) return "USB";
  if (p.Pic()) return "PIC" + std::to_string(p.codicePorta - CMainProc::kCodicePic);
  const int n = p.NumeroPorta();
  if (p.Parallela()) return n < 0 ? "LPT?" : "LPT" + std::to_string(n + 1);
  return n < 0 ? "COM?" : "COM" + std::to_string(n + 1);
}

// --- the program --------------------------------------------------------------

int EseguiStrumento(std::span<const std::string> argomenti, const SContestoStrumento& c) {
  auto usoGenerale = [&](std::ostream& o) {
    o << kUsoGenerale;
    for (const auto& v : kComandi) {
      char riga[160];
      std::snprintf(riga, sizeof riga, "  %-13s %s\n", v.nome, v.riassunto);
      o << riga;
    }
    o << kUsoGeneraleCoda;
    o.flush();
  };
  if (argomenti.empty()) {
    *c.errori << "bricola-tool: no command given\n";
    usoGenerale(*c.errori);
    return kEsitoUso;
  }
  const std::string& primo = argomenti[0];
  if (primo == "--help" || primo == "-h" || primo == "help") {
    usoGenerale(*c.uscita);
    return 0;
  }
  if (primo == "--version") {
    *c.uscita << "bricola-tool " << BRICOLA_VERSIONE_STRUMENTO << '\n';
    c.uscita->flush();
    return 0;
  }
  for (const auto& v : kComandi) {
    if (primo == v.nome) {
      // Settings and ports are bricola's: the same [Ports], the same stored port.
      ImpostaAziendaImpostazioni("Corvanti");
      ImpostaNomeProgramma("bricola");
      // Where the ROM-bootstrap loaders find their RAM-loader images.
      ImpostaCartellaCaricatori(LeggiImpostazioneSezione(kSezioneBootstrap, kValoreCartellaBootstrap, ""));
      if (c.gestisciInterruzione) InstallaGestoreInterruzione();
      return v.comando(argomenti.subspan(1), c);
    }
  }
  *c.errori << "bricola-tool: unknown command '" << primo << "'\n";
  usoGenerale(*c.errori);
  return kEsitoUso;
}

}  // namespace bricola
