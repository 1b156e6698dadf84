// bricola-tool info: the modules of an image file as the window lists them,
// with what the load would do with each.
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <ostream>

#include "app/strumento.h"
#include "base/esiti.h"
#include "base/testi.h"
#include "image/analisi.h"
#include "jobs/caricamento.h"

namespace bricola {

namespace {

constexpr std::string_view kUso =
    "Usage: bricola-tool info [--json] [-L] IMAGE\n"
    "\n"
    "Analyses the image file IMAGE and shows its module table as the window lists\n"
    "it: number, name (or the machine model's name), class, data length, machine\n"
    "code, CAN address, load kind, micro type, CRC state and whether the load\n"
    "preselects the module; then the description texts, deciphered.\n"
    "\n"
    "Options:\n"
    "  --json   one JSON object on standard output\n"
    "  -L       write the troubleshooting log\n"
    "  --help   this text\n"
    "\n"
    "Exit status: 0 when the file was analysed (corrupt modules are shown as\n"
    "such); 1 the file cannot be opened; 3 the file is malformed (the modules\n"
    "before the fault are still shown); 72 for a command line that cannot be\n"
    "understood.\n";

// Which loader writes a module of a load kind.
const char* NomeTipoLoad(int tipoLoad) {
  switch (tipoLoad) {
    case 0: return "68331";
    case 1: return "MB90F497 bootstrap";
    case 2: return "MB90F549 bootstrap";
    case 6: return "MB90F345 bootstrap";
    case 8: return "MB96F338 bootstrap";
    case 10: return "MB91F465 bootstrap";
    default: return "resident boot";
  }
}

const char* StatoCrc(int stato) {
  switch (stato) {
    case STATO_VALIDO: return "ok";
    case 1: return "bad";
    case 3: return "ok";  // checked; the module has no data record
    default: return "not checked";  // unknown machine: not validated further
  }
}

const char* StatoModulo(int stato) {
  switch (stato) {
    case STATO_VALIDO: return "valid";
    case 1: return "corrupt";
    case 2: return "unknown machine";
    default: return "no data";
  }
}

std::string Risultato(int errore) {
  switch (errore) {
    case ERRORE_NESSUNO: return "ok";
    case ERRORE_APERTURA: return "the file cannot be opened";
    case ERRORE_SELETTORE: return "a header record carries an invalid micro selector";
    default: return "the file is malformed";
  }
}

}  // namespace

int ComandoInfo(std::span<const std::string> argomenti, const SContestoStrumento& c) {
  const auto ammesse = OpzioniComuni(false);
  SArgomenti a;
  if (auto fine = PreparaComando("info", kUso, argomenti, ammesse, c, a)) return *fine;
  if (a.posizionali.size() != 1) {
    return ErroreUso("info", kUso, c, a.posizionali.empty() ? "no image file given" : "more than one image file given");
  }
  const std::string& file = a.posizionali[0];

  // The load job analyses and preselects exactly as a load would; the
  // descriptors of a second analysis give the fields the job keeps to itself.
  auto lavoro = std::make_unique<CCaricamento>();
  CCaricamento& caricamento = *lavoro;
  caricamento.ImpostaRegistro(RegistroStrumento(a));
  int errore = ERRORE_NESSUNO;
  const bool analizzato = caricamento.Analizza(file, &errore) != 0;
  if (analizzato) errore = ERRORE_NESSUNO;
  auto descrittori = std::make_unique<std::array<CProgDescr, kMaxModuli>>();
  auto& moduli = *descrittori;
  CAnalisiFile analisi;
  int numero = 0, tuttiValidi = 0, inutilizzabile = 1, grezzo = 0, erroreAnalisi = 0;
  analisi.AnalizzaFile(file, moduli.data(), kMaxModuli, numero, tuttiValidi, inutilizzabile, grezzo,
                       erroreAnalisi);
  numero = std::min(numero, caricamento.NumModuli());

  int esito = RC_OK;
  if (!analizzato) esito = errore == ERRORE_APERTURA ? RC_FILE_OPEN : RC_FILE_CORRUPT;

  std::vector<std::string> righeJson;
  std::string testo;
  char riga[512];
  std::snprintf(riga, sizeof riga, "%3s  %-30s %-6s %8s %-5s %-5s %-4s %-5s %-11s %s\n", "#", "name", "class",
                "length", "code", "CAN", "load", "micro", "CRC", "selected");
  testo += riga;
  std::string descrizioni;
  int preselezionati = 0;
  for (int i = 0; i < numero; ++i) {
    const CProgDescr& m = moduli[static_cast<std::size_t>(i)];
    SInfoModulo info;
    std::string descrizione;
    int esitoModulo = RC_OK;
    const bool valido = caricamento.InfoModulo(i, info, descrizione, &esitoModulo) != 0;
    if (!valido) {
      // The job tells nothing more of an invalid module: its figures come from
      // the descriptor, its name from the model table when the code is known.
      CompilaInfoModulo(m, 0, kInglese, info, &esitoModulo, 0);
      info.selezionato = 0;
      info.codice = m.codice;
      info.tipoModulo = m.TipoModulo();
      info.tipoLoad = m.TipoLoad();
      info.lunghezzaDati = m.lunghezzaDati;
      info.lunghezza = m.fine - m.inizio;
      info.indirizzo = m.indirizzo;
      info.indirizzoSecondario = m.indirizzoSecondario;
      m.Descrizione(descrizione, 1 << 20);
    }
    if (info.selezionato) ++preselezionati;
    const std::uint32_t can = info.indirizzo;
    const std::string canTesto = can != 0 ? Esadecimale(can, 3).substr(2) : "-";
    std::snprintf(riga, sizeof riga, "%3d  %-30s %-6s %8u %04X  %-5s %-4d %-5d %-11s %s\n", i + 1,
                  info.nome.empty() ? "-" : info.nome.c_str(), EtichettaModulo(info.tipoModulo),
                  info.lunghezzaDati, info.codice, canTesto.c_str(), info.tipoLoad, m.TipoMicro(),
                  StatoCrc(m.stato), info.selezionato ? "yes" : "no");
    testo += riga;
    if (!descrizione.empty()) descrizioni += "module " + std::to_string(i + 1) + ": " + descrizione + "\n";

    CJsonOggetto o;
    o.Numero("number", i + 1)
        .Testo("name", info.nome)
        .Numero("class", info.tipoModulo)
        .Testo("class_name", EtichettaModulo(info.tipoModulo))
        .Numero("length", info.lunghezzaDati)
        .Numero("size", info.lunghezza)
        .Numero("code", info.codice)
        .Testo("code_hex", Esadecimale(info.codice, 4))
        .Numero("can_address", info.indirizzo)
        .Testo("can_address_hex", Esadecimale(info.indirizzo, 4))
        .Numero("can_address_secondary", info.indirizzoSecondario)
        .Testo("can_address_secondary_hex", Esadecimale(info.indirizzoSecondario, 4))
        .Numero("default_can_address", m.indirizzoPredefinito)
        .Testo("default_can_address_hex", Esadecimale(m.indirizzoPredefinito, 4))
        .Numero("load_kind", info.tipoLoad)
        .Testo("loader", NomeTipoLoad(info.tipoLoad))
        .Numero("micro_type", m.TipoMicro())
        .Numero("content", m.tipoContenuto)
        .Booleano("header", m.conIntestazione)
        .Booleano("remote_loadable", m.CaricabileRemoto())
        .Testo("crc", StatoCrc(m.stato))
        .Testo("state", StatoModulo(m.stato))
        .Booleano("preselected", info.selezionato != 0)
        .Numero("file_start", m.inizio)
        .Numero("file_end", m.fine);
    if (m.descrizione) o.Testo("description", descrizione);
    else o.Nullo("description");
    righeJson.push_back(o.Json());
  }

  if (a.Ha("json")) {
    CJsonOggetto r = OggettoRisultato("info", esito);
    r.Testo("file", file)
        .Testo("analysis", Risultato(errore))
        .Numero("analysis_error", errore)
        .Booleano("raw", grezzo != 0)
        .Booleano("all_valid", analizzato && tuttiValidi != 0)
        .Booleano("loadable", !inutilizzabile && caricamento.SelezioneValida() != 0 && preselezionati > 0)
        .Numero("module_count", numero)
        .Numero("preselected_count", preselezionati)
        .Grezzo("modules", JsonLista(righeJson));
    *c.uscita << r.Json() << '\n';
  } else {
    *c.uscita << "file: " << file << '\n'
              << "analysis: " << Risultato(errore) << (grezzo ? " (raw image)" : "") << '\n'
              << "modules: " << numero << ", preselected: " << preselezionati << '\n';
    if (numero > 0) *c.uscita << testo;
    if (!descrizioni.empty()) *c.uscita << "descriptions:\n" << descrizioni;
  }
  c.uscita->flush();
  if (esito != RC_OK) {
    *c.errori << "bricola-tool info: " << MessaggioEsito(esito) << " (" << esito << ")\n";
    c.errori->flush();
  }
  return esito;
}

}  // namespace bricola
