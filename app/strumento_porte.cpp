// bricola-tool ports: every port number the jobs can be given, with what is
// behind it and whether it can be opened now.
#include <cstdio>
#include <ostream>
#include <set>

#include "app/impostazioni.h"
#include "app/strumento.h"
#include "base/esiti.h"
#include "platform/dispositivi.h"
#include "platform/linee.h"

namespace bricola {

namespace {

constexpr std::string_view kUso =
    "Usage: bricola-tool ports [--json] [-L]\n"
    "\n"
    "Lists the ports as bricola's -C and the stored port (Porta) read them: each COM\n"
    "port (-C N), each LPT port with the Memox on it (-C 51 the first, -C 52 the\n"
    "second, ...), the Memox on USB (-C 61) and each PIC interface (stored port code\n"
    "61 and up), with the device, URL or endpoint behind it and whether it can be\n"
    "opened now. Ports come from [Ports] in bricola's settings file and from the\n"
    "serial devices found on the machine.\n"
    "\n"
    "Options:\n"
    "  --json   one JSON object on standard output\n"
    "  -L       write the troubleshooting log\n"
    "  --help   this text\n"
    "\n"
    "Exit status: 0; 72 for a command line that cannot be understood.\n";

// One port of the listing.
struct SVocePorta {
  std::string nome;       // "COM3"
  std::string tipo;       // "com", "lpt", "usb", "pic"
  int numero = 0;         // COM/LPT number, PIC interface index, 0 for USB
  int opzioneC = -1;      // the -C value that chooses it; -1 when none does
  int codice = 0;         // the stored port code (Porta) that chooses it
  std::string destinazione;
  bool apribile = false;
};

bool ComApribile(const std::string& destinazione) {
  // Opened with DTR and RTS cleared: no board is reset by the look.
  return !destinazione.empty() && ApriLinea(destinazione, 38400, false, false) != nullptr;
}

}  // namespace

int ComandoPorte(std::span<const std::string> argomenti, const SContestoStrumento& c) {
  const auto ammesse = OpzioniComuni(false);
  SArgomenti a;
  if (auto fine = PreparaComando("ports", kUso, argomenti, ammesse, c, a)) return *fine;
  if (!a.posizionali.empty()) return ErroreUso("ports", kUso, c, "unexpected argument '" + a.posizionali[0] + "'");

  SPortaScelta scelta;
  scelta.porte.ImpostaFileRegistro(RegistroStrumento(a));
  ScegliPortaStrumento(a, scelta);
  const CMainProc& p = scelta.porte;
  p.RegistraPorte();

  std::vector<SVocePorta> voci;
  for (int k = 0; k < p.numeroCom; ++k) {
    SVocePorta v;
    v.numero = p.porteCom[k];
    v.nome = "COM" + std::to_string(v.numero);
    v.tipo = "com";
    // -C N takes COMN, except the numbers that name the Memox.
    v.opzioneC = (v.numero >= 51 && v.numero <= 61) ? -1 : v.numero;
    v.codice = k;
    v.destinazione = p.DestinazioneCom(v.numero);
    v.apribile = ComApribile(v.destinazione);
    voci.push_back(std::move(v));
  }
  for (int k = 0; k < p.numeroLpt; ++k) {
    SVocePorta v;
    v.numero = p.porteLpt[k];
    v.nome = "LPT" + std::to_string(v.numero);
    v.tipo = "lpt";
    v.opzioneC = CMainProc::kCodiceLpt + 1 + k;
    v.codice = CMainProc::kCodiceLpt + k;
    v.destinazione = p.DestinazioneLpt(v.numero);
    v.apribile = ApriDriver(v.numero - 1) != nullptr;
    voci.push_back(std::move(v));
  }
  const PuntiDispositivi punti = PuntiDispositiviAttuali();
  {
    SVocePorta v;
    v.nome = "USB";
    v.tipo = "usb";
    v.opzioneC = CMainProc::kCodiceUsb + 1;
    v.codice = CMainProc::kCodiceUsb;
    v.destinazione = punti.usb.empty() ? std::string("hid") : punti.usb;
    v.apribile = ApriChiaveUsb() != nullptr;
    voci.push_back(std::move(v));
  }
  // PIC interface k: its own PIC<k> device, else the one of LPT<k+1>.
  std::set<int> pic;
  for (const auto& [k, d] : punti.pic) pic.insert(k);
  for (const auto& [n, d] : punti.lpt)
    if (n >= 1) pic.insert(n - 1);
  for (int k : pic) {
    SVocePorta v;
    v.numero = k;
    v.nome = "PIC" + std::to_string(k);
    v.tipo = "pic";
    v.codice = CMainProc::kCodicePic + k;
    auto it = punti.pic.find(k);
    if (it != punti.pic.end()) {
      v.destinazione = it->second;
    } else if (auto l = punti.lpt.find(k + 1); l != punti.lpt.end()) {
      v.destinazione = l->second;
    }
    v.apribile = ApriDriverPic(k) != nullptr;
    voci.push_back(std::move(v));
  }

  const std::string scelto = NomePorta(p);
  if (a.Ha("json")) {
    std::vector<std::string> lista;
    for (const auto& v : voci) {
      CJsonOggetto o;
      o.Testo("name", v.nome).Testo("kind", v.tipo).Numero("number", v.numero);
      if (v.opzioneC >= 0) o.Numero("c_option", v.opzioneC);
      else o.Nullo("c_option");
      o.Numero("port_code", v.codice).Testo("endpoint", v.destinazione).Booleano("can_open", v.apribile);
      lista.push_back(o.Json());
    }
    CJsonOggetto r = OggettoRisultato("ports", RC_OK);
    r.Testo("settings_file", PercorsoImpostazioni())
        .Numero("stored_port_code", scelta.portaSalvata)
        .Testo("stored_port", scelto)
        .Grezzo("ports", JsonLista(lista));
    *c.uscita << r.Json() << '\n';
  } else {
    char riga[256];
    std::snprintf(riga, sizeof riga, "%-6s %-4s %-6s %-6s %s\n", "port", "-C", "Porta", "opens", "device");
    *c.uscita << riga;
    for (const auto& v : voci) {
      const std::string opzione = v.opzioneC >= 0 ? std::to_string(v.opzioneC) : "-";
      std::snprintf(riga, sizeof riga, "%-6s %-4s %-6d %-6s ", v.nome.c_str(), opzione.c_str(), v.codice,
                    v.apribile ? "yes" : "no");
      *c.uscita << riga << v.destinazione << '\n';
    }
    *c.uscita << "stored port: Porta " << scelta.portaSalvata << " (" << scelto << ")\n";
    *c.uscita << "settings: " << PercorsoImpostazioni() << '\n';
  }
  c.uscita->flush();
  return RC_OK;
}

}  // namespace bricola
