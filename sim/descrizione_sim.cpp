#include "sim/descrizione_sim.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

namespace bricola::sim {

namespace {

using json = nlohmann::json;

struct ErroreDescrizione {
  std::string testo;
};

[[noreturn]] void Errore(const std::string& testo) { throw ErroreDescrizione{testo}; }

// The 68331 board (its own fields and faults) and its dump entry.
CSchedaSim LeggiScheda68331(const json& s, std::size_t indice);
json Dump68331(const CSchedaSim& s);

// A number as JSON integer or as a string, decimal or "0x" hexadecimal.
std::uint64_t Numero(const json& v, const std::string& campo) {
  if (v.is_number_unsigned() || (v.is_number_integer() && v.get<std::int64_t>() >= 0)) return v.get<std::uint64_t>();
  if (v.is_string()) {
    const std::string s = v.get<std::string>();
    try {
      std::size_t usati = 0;
      const std::uint64_t n = std::stoull(s, &usati, 0);
      if (usati == s.size()) return n;
    } catch (...) {
    }
  }
  Errore("campo \"" + campo + "\": numero non valido " + v.dump());
}

template <typename T>
T NumeroMax(const json& o, const char* campo, T predefinito, std::uint64_t massimo) {
  if (!o.contains(campo)) return predefinito;
  const std::uint64_t n = Numero(o.at(campo), campo);
  if (n > massimo) Errore(std::string("campo \"") + campo + "\": valore oltre " + std::to_string(massimo));
  return static_cast<T>(n);
}

void ControllaCampi(const json& o, const std::set<std::string>& noti, const std::string& dove) {
  if (!o.is_object()) Errore(dove + ": atteso un oggetto");
  for (auto it = o.begin(); it != o.end(); ++it) {
    if (!noti.count(it.key())) Errore(dove + ": campo sconosciuto \"" + it.key() + "\"");
  }
}

std::vector<std::uint8_t> Byte(const std::string& testo) {
  std::vector<std::uint8_t> r;
  std::string cifre;
  for (char ch : testo) {
    if (std::isxdigit(static_cast<unsigned char>(ch))) cifre += ch;
    else if (ch != ' ' && ch != ':' && ch != ',' && ch != '\n' && ch != '\t') Errore("dati esadecimali non validi");
  }
  if (cifre.size() % 2) Errore("dati esadecimali di lunghezza dispari");
  for (std::size_t i = 0; i < cifre.size(); i += 2) r.push_back(static_cast<std::uint8_t>(std::stoul(cifre.substr(i, 2), nullptr, 16)));
  return r;
}

std::vector<SerieSettori> Serie(const json& v) {
  std::vector<SerieSettori> serie;
  if (v.is_string()) {
    if (!SerieDaNome(v.get<std::string>(), serie)) Errore("settori: lista sconosciuta " + v.dump());
    return serie;
  }
  if (!v.is_array()) Errore("settori: attesi un nome o una lista");
  for (const auto& e : v) {
    ControllaCampi(e, {"dimensione", "numero"}, "settori");
    SerieSettori s;
    s.dimensione = NumeroMax<std::uint32_t>(e, "dimensione", 0, 0xFFFFFFFF);
    if (e.contains("numero")) {
      const json& n = e.at("numero");
      s.numero = n.is_number_integer() && n.get<std::int64_t>() == -1 ? -1 : static_cast<int>(Numero(n, "numero"));
    }
    if (s.dimensione == 0) Errore("settori: dimensione nulla");
    serie.push_back(s);
  }
  return serie;
}

std::pair<std::uint32_t, std::uint32_t> Area(const json& v, const char* nome) {
  ControllaCampi(v, {"inizio", "fine"}, nome);
  return {NumeroMax<std::uint32_t>(v, "inizio", 0, 0xFFFFFFFF), NumeroMax<std::uint32_t>(v, "fine", 0, 0xFFFFFFFF)};
}

CFlashSim LeggiFlash(const json& f, const std::string& cartella) {
  ControllaCampi(f, {"mappa", "regioni", "areaBoot", "areaVettori", "protetti", "esterne", "contenuto", "allineamento"},
                 "flash");
  CFlashSim flash;
  if (f.contains("mappa") && !flash.CaricaPreset(f.at("mappa").get<std::string>()))
    Errore("flash: mappa sconosciuta " + f.at("mappa").dump());
  for (const auto& r : f.value("regioni", json::array())) {
    ControllaCampi(r, {"inizio", "dimensione", "settori", "sovrascrivibile"}, "regioni");
    const auto inizio = NumeroMax<std::uint32_t>(r, "inizio", 0, 0xFFFFFFFF);
    const auto dimensione = NumeroMax<std::uint32_t>(r, "dimensione", 0, 0xFFFFFFFF);
    if (!r.contains("settori")) Errore("regioni: mancano i settori");
    if (!flash.AggiungiRegione(inizio, dimensione, Serie(r.at("settori")), r.value("sovrascrivibile", false)))
      Errore("regioni: settori sovrapposti o oltre la regione a " + std::to_string(inizio));
  }
  for (const auto& e : f.value("esterne", json::array())) {
    ControllaCampi(e, {"base", "tipo", "dimensione", "settori", "setComandi", "infoPri", "produttore", "dispositivo"},
                   "esterne");
    ChipEsterno c;
    c.base = NumeroMax<std::uint32_t>(e, "base", 0, 0xFFFFFFFF);
    const std::string tipo = e.value("tipo", std::string("cfi"));
    if (tipo == "cfi") c.tipo = TipoChip::Cfi;
    else if (tipo == "atm") c.tipo = TipoChip::Atm;
    else Errore("esterne: tipo sconosciuto " + tipo);
    c.dimensione = NumeroMax<std::uint32_t>(e, "dimensione", c.tipo == TipoChip::Atm ? 0x40000u : 0x200000u, 0x80000000);
    if (c.dimensione == 0 || (c.dimensione & (c.dimensione - 1))) Errore("esterne: la dimensione deve essere una potenza di 2");
    c.setComandi = NumeroMax<std::uint16_t>(e, "setComandi", c.setComandi, 0xFFFF);
    c.infoPri = NumeroMax<std::uint8_t>(e, "infoPri", c.infoPri, 0xFF);
    c.produttore = NumeroMax<std::uint8_t>(e, "produttore", c.produttore, 0xFF);
    c.dispositivo = NumeroMax<std::uint8_t>(e, "dispositivo", c.dispositivo, 0xFF);
    const json settori = e.value("settori", json(c.tipo == TipoChip::Atm ? "EBottom" : "ETop"));
    if (!flash.AggiungiChip(c, Serie(settori))) Errore("esterne: settori non validi per il chip a " + std::to_string(c.base));
  }
  if (f.contains("areaBoot")) {
    const auto a = Area(f.at("areaBoot"), "areaBoot");
    flash.ImpostaAreaBoot(a.first, a.second);
  }
  if (f.contains("areaVettori")) {
    const auto a = Area(f.at("areaVettori"), "areaVettori");
    flash.ImpostaAreaVettori(a.first, a.second);
  }
  flash.ImpostaAllineamento(NumeroMax<std::uint32_t>(f, "allineamento", 2, 0x10000));
  for (const auto& p : f.value("protetti", json::array())) {
    if (!flash.Proteggi(static_cast<std::uint32_t>(Numero(p, "protetti")))) Errore("protetti: nessun settore a " + p.dump());
  }
  for (const auto& c : f.value("contenuto", json::array())) {
    ControllaCampi(c, {"indirizzo", "dati", "riempi", "lunghezza", "file"}, "contenuto");
    const auto indirizzo = NumeroMax<std::uint32_t>(c, "indirizzo", 0, 0xFFFFFFFF);
    std::vector<std::uint8_t> dati;
    if (c.contains("dati")) {
      dati = Byte(c.at("dati").get<std::string>());
    } else if (c.contains("riempi")) {
      dati.assign(NumeroMax<std::size_t>(c, "lunghezza", 0, 0x10000000), NumeroMax<std::uint8_t>(c, "riempi", 0xFF, 0xFF));
    } else if (c.contains("file")) {
      std::string percorso = c.at("file").get<std::string>();
      if (!percorso.empty() && percorso[0] != '/' && !cartella.empty()) percorso = cartella + "/" + percorso;
      std::ifstream in(percorso, std::ios::binary);
      if (!in) Errore("contenuto: impossibile leggere " + percorso);
      dati.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (c.contains("lunghezza")) dati.resize(std::min(dati.size(), NumeroMax<std::size_t>(c, "lunghezza", 0, 0x10000000)));
    } else {
      Errore("contenuto: servono \"dati\", \"riempi\" o \"file\"");
    }
    if (!flash.Carica(indirizzo, dati.data(), dati.size())) Errore("contenuto: indirizzi fuori dalla flash a " + std::to_string(indirizzo));
  }
  return flash;
}

Guasto LeggiGuasto(const json& g) {
  ControllaCampi(g, {"tipo", "comando", "richiesta", "volte", "dopo", "stato", "posizione", "bit"}, "guasti");
  Guasto r;
  static const std::vector<std::pair<std::string, TipoGuasto>> tipi = {
      {"silenzio", TipoGuasto::Silenzio},     {"nack", TipoGuasto::Nack},
      {"controllo", TipoGuasto::Controllo},   {"nonGestito", TipoGuasto::NonGestito},
      {"bitInvertito", TipoGuasto::BitInvertito}, {"stato", TipoGuasto::Stato},
      {"bitRisposta", TipoGuasto::BitRisposta},   {"chiusura", TipoGuasto::Chiusura},
  };
  const std::string tipo = g.value("tipo", std::string());
  bool trovato = false;
  for (const auto& [nome, t] : tipi) {
    if (nome == tipo) {
      r.tipo = t;
      trovato = true;
    }
  }
  if (!trovato) Errore("guasti: tipo sconosciuto \"" + tipo + "\"");
  if (g.contains("comando") && g.contains("richiesta")) Errore("guasti: \"comando\" e \"richiesta\" insieme");
  const std::string comando = g.value("comando", g.value("richiesta", std::string("*")));
  if (comando == "*") {
    r.tuttiIComandi = true;
  } else {
    bool ok = false;
    r.comando = ComandoDaNome(comando, ok);
    if (!ok) Errore("guasti: comando sconosciuto \"" + comando + "\"");
  }
  if (g.contains("volte")) {
    const json& v = g.at("volte");
    r.volte = v.is_number_integer() && v.get<std::int64_t>() < 0 ? -1 : static_cast<int>(Numero(v, "volte"));
  }
  r.dopo = static_cast<int>(NumeroMax<std::uint32_t>(g, "dopo", 0, 0x7FFFFFFF));
  r.stato = NumeroMax<std::uint8_t>(g, "stato", r.stato, 0xFF);
  r.posizione = NumeroMax<std::uint32_t>(g, "posizione", r.tipo == TipoGuasto::BitRisposta ? 1 : 0, 0xFFFFFFFF);
  r.bit = NumeroMax<std::uint8_t>(g, "bit", 0, 7);
  return r;
}

GuastoFr LeggiGuastoFr(const json& g) {
  ControllaCampi(g, {"tipo", "parte", "richiesta", "volte", "dopo", "ritardoMs", "posizione", "bit", "indirizzo"},
                 "fr.guasti");
  GuastoFr r;
  static const std::vector<std::pair<std::string, TipoGuastoFr>> tipi = {
      {"silenzio", TipoGuastoFr::Silenzio},   {"sommaErrata", TipoGuastoFr::SommaErrata},
      {"syncTardivo", TipoGuastoFr::SyncTardivo}, {"byteErrato", TipoGuastoFr::ByteErrato},
      {"nak", TipoGuastoFr::Nak},
      {"nack", TipoGuastoFr::Nack},               {"controllo", TipoGuastoFr::Controllo},
      {"bitRisposta", TipoGuastoFr::BitRisposta}, {"bitInvertito", TipoGuastoFr::BitInvertito},
      {"chiusura", TipoGuastoFr::Chiusura},
  };
  static const std::set<std::string> richieste = {
      "*",         "check",  "scrivi",   "leggi",      "chiama",     "checkKernel", "sync",
      "blank",     "eraseInit", "erase", "writeInit",  "writeMode",  "record",      "quit",
      "readInit",  "readAddr", "readNum", "prog32Init", "prog32Addr", "prog32Dato"};
  static const std::vector<std::pair<std::string, ParteFr>> parti = {
      {"*", ParteFr::Tutto},       {"check", ParteFr::Check},   {"scrivi", ParteFr::Scrivi},
      {"leggi", ParteFr::Leggi},   {"kernel", ParteFr::Kernel},
  };
  const std::string tipo = g.value("tipo", std::string());
  bool trovato = false;
  for (const auto& [nome, t] : tipi) {
    if (nome == tipo) {
      r.tipo = t;
      trovato = true;
    }
  }
  if (!trovato) Errore("fr.guasti: tipo sconosciuto \"" + tipo + "\"");
  const std::string parte = g.value("parte", std::string("*"));
  trovato = false;
  for (const auto& [nome, p] : parti) {
    if (nome == parte) {
      r.parte = p;
      trovato = true;
    }
  }
  if (!trovato) Errore("fr.guasti: parte sconosciuta \"" + parte + "\"");
  const bool comune = r.tipo == TipoGuastoFr::Nack || r.tipo == TipoGuastoFr::Controllo ||
                      r.tipo == TipoGuastoFr::BitRisposta || r.tipo == TipoGuastoFr::BitInvertito ||
                      r.tipo == TipoGuastoFr::Chiusura;
  if (g.contains("richiesta")) {
    if (g.contains("parte")) Errore("fr.guasti: \"parte\" e \"richiesta\" insieme");
    r.richiesta = g.at("richiesta").get<std::string>();
    if (!richieste.count(r.richiesta)) Errore("fr.guasti: richiesta sconosciuta \"" + r.richiesta + "\"");
  } else if (comune) {
    r.richiesta = "*";
  }
  if (g.contains("dopo") && r.richiesta.empty()) Errore("fr.guasti: dopo vale con \"richiesta\"");
  r.dopo = static_cast<int>(NumeroMax<std::uint32_t>(g, "dopo", 0, 0x7FFFFFFF));
  if (r.tipo == TipoGuastoFr::BitRisposta && g.contains("posizione") && g.at("posizione").is_number_integer() &&
      g.at("posizione").get<std::int64_t>() < 0) {
    r.posizioneRisposta = g.at("posizione").get<std::int64_t>();
  } else if (r.tipo == TipoGuastoFr::BitRisposta) {
    r.posizioneRisposta = NumeroMax<std::uint32_t>(g, "posizione", 1, 0xFFFFFFFF);
  }
  if (g.contains("volte")) {
    const json& v = g.at("volte");
    r.volte = v.is_number_integer() && v.get<std::int64_t>() < 0 ? -1 : static_cast<int>(Numero(v, "volte"));
  }
  r.ritardoMs = NumeroMax<std::uint32_t>(g, "ritardoMs", r.ritardoMs, 600000);
  if (r.tipo != TipoGuastoFr::BitRisposta) r.posizione = NumeroMax<std::uint32_t>(g, "posizione", 0, 0xFFFFFFFF);
  r.bit = NumeroMax<std::uint8_t>(g, "bit", 0, 7);
  if (g.contains("indirizzo")) {
    if (r.tipo != TipoGuastoFr::SommaErrata) Errore("fr.guasti: indirizzo vale solo per sommaErrata");
    r.conIndirizzo = true;
    r.indirizzo = NumeroMax<std::uint32_t>(g, "indirizzo", 0, 0xFFFFFFFF);
  }
  return r;
}

ConfigFr LeggiFr(const json& f) {
  ControllaCampi(f,
                 {"bootResidente", "baudBootstrap", "baudKernel", "avvioKernelMs", "cancellazioneChipMs",
                  "pausaBootstrapMs", "ritardiMs", "guasti"},
                 "fr");
  ConfigFr c;
  c.bootResidente = f.value("bootResidente", c.bootResidente);
  c.baudBootstrap = NumeroMax<std::uint32_t>(f, "baudBootstrap", c.baudBootstrap, 4000000);
  c.baudKernel = NumeroMax<std::uint32_t>(f, "baudKernel", c.baudKernel, 4000000);
  c.avvioKernelMs = NumeroMax<std::uint32_t>(f, "avvioKernelMs", c.avvioKernelMs, 600000);
  c.cancellazioneChipMs = NumeroMax<std::uint32_t>(f, "cancellazioneChipMs", c.cancellazioneChipMs, 600000);
  c.pausaBootstrapMs = NumeroMax<std::uint32_t>(f, "pausaBootstrapMs", c.pausaBootstrapMs, 600000);
  if (f.contains("ritardiMs")) {
    const json& r = f.at("ritardiMs");
    ControllaCampi(r, {"eco", "blank", "erase", "prog32"}, "fr.ritardiMs");
    c.ecoMs = NumeroMax<std::uint32_t>(r, "eco", c.ecoMs, 600000);
    c.blankMs = NumeroMax<std::uint32_t>(r, "blank", c.blankMs, 600000);
    c.eraseMs = NumeroMax<std::uint32_t>(r, "erase", c.eraseMs, 600000);
    c.prog32Ms = NumeroMax<std::uint32_t>(r, "prog32", c.prog32Ms, 600000);
  }
  for (const auto& g : f.value("guasti", json::array())) c.guasti.push_back(LeggiGuastoFr(g));
  return c;
}

GuastoF2mc LeggiGuastoF2mc(const json& g) {
  ControllaCampi(g, {"tipo", "parte", "richiesta", "blocco", "risposta", "indirizzo", "bit", "stato", "volte", "dopo",
                     "posizione"},
                 "f2mc.guasti");
  GuastoF2mc r;
  static const std::vector<std::pair<std::string, TipoGuastoF2mc>> tipi = {
      {"bloccoErrato", TipoGuastoF2mc::BloccoErrato}, {"byteErrato", TipoGuastoF2mc::ByteErrato},
      {"silenzio", TipoGuastoF2mc::Silenzio},         {"stato", TipoGuastoF2mc::Stato},
      {"nack", TipoGuastoF2mc::Nack},                 {"controllo", TipoGuastoF2mc::Controllo},
      {"bitRisposta", TipoGuastoF2mc::BitRisposta},   {"bitInvertito", TipoGuastoF2mc::BitInvertito},
      {"chiusura", TipoGuastoF2mc::Chiusura},
  };
  static const std::set<std::string> parti = {"*",    "check",     "calibrazione", "blocco", "esecuzione",
                                              "micro", "LunBuf",   "Blank",        "Erase",  "Write",
                                              "Read",  "GetFirma", "GetMicro",     "EraseChip"};
  const std::string tipo = g.value("tipo", std::string());
  bool trovato = false;
  for (const auto& [nome, t] : tipi) {
    if (nome == tipo) {
      r.tipo = t;
      trovato = true;
    }
  }
  if (!trovato) Errore("f2mc.guasti: tipo sconosciuto \"" + tipo + "\"");
  if (g.contains("parte") && g.contains("richiesta")) Errore("f2mc.guasti: \"parte\" e \"richiesta\" insieme");
  r.parte = g.value("parte", g.value("richiesta", std::string("*")));
  r.dopo = static_cast<int>(NumeroMax<std::uint32_t>(g, "dopo", 0, 0x7FFFFFFF));
  r.posizione = NumeroMax<std::uint32_t>(g, "posizione", r.tipo == TipoGuastoF2mc::BitRisposta ? 1 : 0, 0xFFFFFFFF);
  if (!parti.count(r.parte)) Errore("f2mc.guasti: parte sconosciuta \"" + r.parte + "\"");
  if (g.contains("blocco")) r.blocco = static_cast<int>(NumeroMax<std::uint32_t>(g, "blocco", 0, 100000));
  r.risposta = NumeroMax<std::uint8_t>(g, "risposta", r.risposta, 0xFF);
  r.indirizzo = NumeroMax<std::uint32_t>(g, "indirizzo", 0, 0xFFFFFFFF);
  r.bit = NumeroMax<std::uint8_t>(g, "bit", 0, 7);
  r.stato = NumeroMax<std::uint8_t>(g, "stato", r.stato, 0xFF);
  if (g.contains("volte")) {
    const json& v = g.at("volte");
    r.volte = v.is_number_integer() && v.get<std::int64_t>() < 0 ? -1 : static_cast<int>(Numero(v, "volte"));
  }
  return r;
}

ConfigF2mc LeggiF2mc(const json& f) {
  ControllaCampi(f,
                 {"micro", "baudBootstrap", "baudCaricatore", "bufferCaricatore", "bootResidente", "accensione",
                  "accesaDopoMs", "avvioCaricatoreMs", "cancellazioneChipMs", "pausaMs", "rispostaCheck", "guasti"},
                 "f2mc");
  ConfigF2mc c;
  const std::string micro = f.value("micro", std::string("Q"));
  if (micro.size() != 1 || std::string("QRST").find(micro[0]) == std::string::npos)
    Errore("f2mc: micro deve essere Q (MB90F549), R (MB90F345), S (MB90F497) o T (MB96F338); un MB91F465 e' \"fr\"");
  c.micro = micro[0];
  c.baudBootstrap = NumeroMax<std::uint32_t>(f, "baudBootstrap", c.baudBootstrap, 4000000);
  c.baudCaricatore = NumeroMax<std::uint32_t>(f, "baudCaricatore", c.baudCaricatore, 4000000);
  c.bufferCaricatore = NumeroMax<std::uint8_t>(f, "bufferCaricatore", c.bufferCaricatore, 0xFF);
  if (c.bufferCaricatore < 16) Errore("f2mc: bufferCaricatore troppo piccolo");
  c.bootResidente = f.value("bootResidente", c.bootResidente);
  const std::string accensione = f.value("accensione", std::string("reset"));
  if (accensione != "reset" && accensione != "rts") Errore("f2mc: accensione deve essere reset o rts");
  c.accensioneConRts = accensione == "rts";
  c.accesaDopoMs = NumeroMax<std::uint32_t>(f, "accesaDopoMs", c.accesaDopoMs, 600000);
  c.avvioCaricatoreMs = NumeroMax<std::uint32_t>(f, "avvioCaricatoreMs", c.avvioCaricatoreMs, 600000);
  c.cancellazioneChipMs = NumeroMax<std::uint32_t>(f, "cancellazioneChipMs", c.cancellazioneChipMs, 600000);
  c.pausaMs = NumeroMax<std::uint32_t>(f, "pausaMs", c.pausaMs, 600000);
  if (f.contains("rispostaCheck")) {
    const std::string r = f.at("rispostaCheck").get<std::string>();
    if (r != "F" && r != "Z") Errore("f2mc: rispostaCheck deve essere F o Z");
    c.rispostaCheckFx = static_cast<std::uint8_t>(r[0]);
  }
  for (const auto& g : f.value("guasti", json::array())) c.guasti.push_back(LeggiGuastoF2mc(g));
  return c;
}

// The flash of each F2MC micro as the chip has it.
CFlashSim FlashF2mc(char micro) {
  CFlashSim flash;
  std::vector<SerieSettori> serie;
  switch (micro) {
    case 'Q':  // MB90F549: 256 KB from FC0000
      SerieDaNome("F256", serie);
      flash.AggiungiRegione(0xFC0000, 0x40000, serie);
      break;
    case 'S':  // MB90F497: 64 KB from FF0000
      SerieDaNome("F64", serie);
      flash.AggiungiRegione(0xFF0000, 0x10000, serie);
      break;
    case 'R':  // MB90F345: 512 KB from F80000
      SerieDaNome("F512", serie);
      flash.AggiungiRegione(0xF80000, 0x80000, serie);
      break;
    case 'T':  // MB96F338: the small sectors at DF0000 and the main flash up to FFFFFF
      flash.AggiungiRegione(0xDF0000, 0x8000, {{0x2000, 4}});
      SerieDaNome("F64x8", serie);
      flash.AggiungiRegione(0xF80000, 0x80000, serie);
      break;
    default:
      break;
  }
  flash.ImpostaAllineamento(1);
  return flash;
}

CSchedaSim LeggiScheda(const json& s, const std::string& cartella, std::size_t indice) {
  if (s.is_object() && s.contains("tipo")) {
    const json& tipo = s.at("tipo");
    if (tipo == "68331") return LeggiScheda68331(s, indice);
    if (tipo != "boot") Errore("scheda: tipo sconosciuto " + tipo.dump() + " (boot o 68331)");
    json senzaTipo = s;
    senzaTipo.erase("tipo");
    return LeggiScheda(senzaTipo, cartella, indice);
  }
  ControllaCampi(s,
                 {"nome", "codice", "versione", "tipoMicro", "velocitaMassima", "codiceBuffer", "indirizzoCan",
                  "modoDati", "avvio", "flash", "ritardiMs", "guasti", "fr", "f2mc"},
                 "scheda");
  ConfigScheda c;
  c.nome = s.value("nome", indice == 0 ? std::string("locale") : "scheda" + std::to_string(indice));
  c.codice = NumeroMax<std::uint16_t>(s, "codice", c.codice, 0xFFFF);
  c.versione = NumeroMax<std::uint8_t>(s, "versione", c.versione, 0xFF);
  std::optional<ConfigF2mc> f2mc;
  if (s.contains("f2mc")) {
    if (s.contains("fr")) Errore("scheda: \"fr\" e \"f2mc\" insieme");
    if (indice != 0) Errore("\"f2mc\" solo per la scheda sul cavo (la prima)");
    f2mc = LeggiF2mc(s.at("f2mc"));
  }
  const std::uint8_t microPredefinito =
      s.contains("fr") ? MICRO_FR : f2mc ? CChipF2mcSim(*f2mc).TipoMicro() : c.tipoMicro;
  c.tipoMicro = NumeroMax<std::uint8_t>(s, "tipoMicro", microPredefinito, 0xFF);
  if (s.contains("fr") && c.tipoMicro != MICRO_FR) Errore("scheda " + c.nome + ": \"fr\" vuole tipoMicro 8");
  c.velocitaMassima = NumeroMax<std::uint8_t>(s, "velocitaMassima", c.velocitaMassima, 0xFF);
  c.codiceBuffer = NumeroMax<std::uint8_t>(s, "codiceBuffer", c.codiceBuffer, 0xFF);
  if (c.codiceBuffer < 16) Errore("scheda " + c.nome + ": codiceBuffer troppo piccolo");
  c.indirizzoCan = NumeroMax<std::uint16_t>(s, "indirizzoCan", c.indirizzoCan, 0xFFFF);
  c.modoDati = s.value("modoDati", true);
  const std::string avvio = s.value("avvio", std::string("boot"));
  if (avvio != "boot" && avvio != "applicazione") Errore("scheda " + c.nome + ": avvio deve essere boot o applicazione");
  c.inApplicazione = avvio == "applicazione";
  if (s.contains("ritardiMs")) {
    const json& r = s.at("ritardiMs");
    if (!r.is_object()) Errore("ritardiMs: atteso un oggetto");
    for (auto it = r.begin(); it != r.end(); ++it) {
      bool ok = false;
      const Comando cmd = ComandoDaNome(it.key(), ok);
      if (!ok) Errore("ritardiMs: comando sconosciuto \"" + it.key() + "\"");
      c.ritardiMs[static_cast<std::size_t>(cmd)] = static_cast<std::uint32_t>(Numero(it.value(), it.key()));
    }
  }
  for (const auto& g : s.value("guasti", json::array())) c.guasti.push_back(LeggiGuasto(g));
  const bool fr = c.tipoMicro == MICRO_FR;
  CFlashSim flash;
  if (s.contains("flash")) {
    flash = LeggiFlash(s.at("flash"), cartella);
  } else if (f2mc) {
    flash = FlashF2mc(f2mc->micro);
  } else {
    flash.CaricaPreset(fr ? "M465" : "M256");
    flash.ImpostaAllineamento(2);
  }
  CSchedaSim scheda(std::move(c), std::move(flash));
  if (f2mc) {
    scheda.f2mc.emplace(std::move(*f2mc));
    // Off (powered by hand later) or running its flash: the resident boot, or nothing.
    if (scheda.f2mc->Spento() || !scheda.f2mc->config.bootResidente) scheda.modo = ModoScheda::Bootstrap;
    if (scheda.config.inApplicazione) Errore("scheda " + scheda.config.nome + ": con \"f2mc\" l'avvio e' boot");
  }
  // Micro type 8 is an MB91F465: its ROM bootstrap comes with it.
  if (fr) scheda.fr.emplace(s.contains("fr") ? LeggiFr(s.at("fr")) : ConfigFr{});
  if (fr && !scheda.fr->config.bootResidente && scheda.config.inApplicazione)
    Errore("scheda " + scheda.config.nome + ": senza boot residente l'avvio non puo' essere applicazione");
  if (fr && !scheda.fr->config.bootResidente) {
    // Powered up blank: the chip's ROM answers the check only.
    scheda.modo = ModoScheda::Bootstrap;
    scheda.fr->Reset(false, 0, scheda.config.nome, [](std::int64_t, const std::string&) {});
  }
  return scheda;
}

json Intervalli(const std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>>& v) {
  json a = json::array();
  for (const auto& [inizio, dati] : v) {
    std::string hex;
    static const char* cifre = "0123456789abcdef";
    for (std::uint8_t b : dati) {
      hex += cifre[b >> 4];
      hex += cifre[b & 15];
    }
    a.push_back({{"indirizzo", inizio}, {"lunghezza", dati.size()}, {"dati", hex}});
  }
  return a;
}

Guasto68331 LeggiGuasto68331(const json& g) {
  ControllaCampi(g, {"tipo", "pacchetto", "volte", "richiesto", "richieste", "copie", "richiesta", "dopo", "posizione", "bit"},
                 "guasti");
  static const std::vector<std::pair<std::string, TipoGuasto68331>> tipi = {
      {"ripetizione", TipoGuasto68331::Ripetizione}, {"controllo", TipoGuasto68331::Controllo},
      {"lunghezza", TipoGuasto68331::Lunghezza},     {"fuoriSequenza", TipoGuasto68331::FuoriSequenza},
      {"oltreFine", TipoGuasto68331::OltreFine},     {"silenzio", TipoGuasto68331::Silenzio},
      {"raffica", TipoGuasto68331::Raffica},         {"nack", TipoGuasto68331::Nack},
      {"bitRisposta", TipoGuasto68331::BitRisposta}, {"chiusura", TipoGuasto68331::Chiusura},
  };
  Guasto68331 r;
  const std::string tipo = g.value("tipo", std::string());
  bool trovato = false;
  for (const auto& [nome, t] : tipi) {
    if (nome == tipo) {
      r.tipo = t;
      trovato = true;
    }
  }
  if (!trovato) Errore("guasti: tipo sconosciuto \"" + tipo + "\" per una scheda 68331");
  const bool comune = r.tipo == TipoGuasto68331::Nack || r.tipo == TipoGuasto68331::BitRisposta ||
                      r.tipo == TipoGuasto68331::Chiusura;
  if (g.contains("richiesta")) {
    r.richiesta = g.at("richiesta").get<std::string>();
    if (r.richiesta != "avvio" && r.richiesta != "dati" && r.richiesta != "*")
      Errore("guasti: richiesta \"" + r.richiesta + "\" sconosciuta per una scheda 68331 (avvio, dati o *)");
    if (g.contains("pacchetto") || g.contains("richiesto") || g.contains("richieste") || g.contains("copie"))
      Errore("guasti: un guasto per richiesta non prende pacchetto, richiesto, richieste o copie");
    if (r.tipo != TipoGuasto68331::Silenzio && r.tipo != TipoGuasto68331::Controllo && !comune)
      Errore("guasti: il tipo \"" + tipo + "\" non prende una richiesta");
    r.volte = -1;  // every matching request unless told
    r.dopo = NumeroMax<int>(g, "dopo", 0, 1000000);
    r.posizione = g.value("posizione", r.posizione);
    r.bit = NumeroMax<int>(g, "bit", r.bit, 7);
  } else if (comune) {
    Errore("guasti: il tipo \"" + tipo + "\" vuole una richiesta (avvio, dati o *)");
  } else if (g.contains("dopo") || g.contains("posizione") || g.contains("bit")) {
    Errore("guasti: dopo, posizione e bit solo con una richiesta");
  }
  if (g.contains("pacchetto")) r.pacchetto = static_cast<std::int64_t>(NumeroMax<std::uint32_t>(g, "pacchetto", 0, 0xFFFFFFFF));
  if (g.contains("richiesto")) r.richiesto = static_cast<std::int64_t>(NumeroMax<std::uint32_t>(g, "richiesto", 0, 0xFFFFFFFF));
  r.volte = NumeroMax<int>(g, "volte", r.volte, 1000000);
  r.richieste = NumeroMax<int>(g, "richieste", r.richieste, 1000);
  r.copie = NumeroMax<int>(g, "copie", r.copie, 1000);
  if (r.copie < 1) Errore("guasti: copie deve essere almeno 1");
  if (r.tipo == TipoGuasto68331::FuoriSequenza && r.pacchetto >= 0 && r.richiesto >= 0 &&
      (r.richiesto == r.pacchetto || r.richiesto + 1 == r.pacchetto))
    Errore("guasti: richiesto " + std::to_string(r.richiesto) + " per il pacchetto " + std::to_string(r.pacchetto) +
           " non e' fuori sequenza (sarebbe la richiesta giusta o una ripetizione)");
  return r;
}

// A 68331 board: its link and memory, none of a resident boot's fields.
CSchedaSim LeggiScheda68331(const json& s, std::size_t indice) {
  ControllaCampi(s, {"tipo", "nome", "codice", "baud", "memoria", "attesaMs", "tentativi", "ritardoMs", "guasti"},
                 "scheda 68331");
  if (indice != 0) Errore("una scheda 68331 deve essere la prima e unica della macchina (sul cavo)");
  Config68331 c;
  c.nome = s.value("nome", std::string("scheda68331"));
  c.codice = NumeroMax<std::uint16_t>(s, "codice", c.codice, 0xFFFF);
  c.baud = NumeroMax<std::uint32_t>(s, "baud", c.baud, 4000000);
  if (c.baud == 0) Errore("scheda " + c.nome + ": baud nullo");
  if (s.contains("memoria")) {
    const json& m = s.at("memoria");
    ControllaCampi(m, {"inizio", "dimensione"}, "memoria");
    c.inizioMemoria = NumeroMax<std::uint32_t>(m, "inizio", c.inizioMemoria, 0xFFFFFFFF);
    c.dimensioneMemoria = NumeroMax<std::uint32_t>(m, "dimensione", c.dimensioneMemoria, 0x10000000);
  }
  c.attesaMs = NumeroMax<std::uint32_t>(s, "attesaMs", c.attesaMs, 600000);
  if (c.attesaMs == 0) Errore("scheda " + c.nome + ": attesaMs nullo");
  c.tentativi = NumeroMax<int>(s, "tentativi", c.tentativi, 1000);
  c.ritardoMs = NumeroMax<std::uint32_t>(s, "ritardoMs", c.ritardoMs, 600000);
  for (const auto& g : s.value("guasti", json::array())) c.guasti.push_back(LeggiGuasto68331(g));
  return CSchedaSim(std::move(c));
}

json Dump68331(const CSchedaSim& s) {
  const CScheda68331Sim& b = *s.s68331;
  json trasferimenti = json::array();
  for (const auto& t : b.Trasferimenti()) {
    trasferimenti.push_back({{"lunghezza", t.lunghezza},
                             {"dimensionePacchetto", t.dimensionePacchetto},
                             {"ricevuti", t.dati.size()},
                             {"pacchetti", t.pacchetti},
                             {"ripetuti", t.ripetuti},
                             {"pacchettoVuoto", t.pacchettoVuoto},
                             {"esito", t.esito}});
  }
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> scritti;
  if (!b.Trasferimenti().empty() && !b.Trasferimenti().back().dati.empty())
    scritti.emplace_back(b.config.inizioMemoria, b.Trasferimenti().back().dati);
  return {{"nome", b.config.nome},
          {"tipo", "68331"},
          {"codice", b.config.codice},
          {"baud", b.config.baud},
          {"reset", b.reset},
          {"inTrasferimento", b.InTrasferimento()},
          {"trasferimenti", trasferimenti},
          {"scritti", Intervalli(scritti)},
          {"anomalie", b.Anomalie()}};
}

}  // namespace

bool LeggiDescrizione(const std::string& testo, const std::string& cartella, DescrizioneMacchina& d,
                      std::string& errore) {
  try {
    const json j = json::parse(testo, nullptr, true, true);
    ControllaCampi(j, {"linea", "schede"}, "macchina");
    DescrizioneMacchina r;
    if (j.contains("linea")) {
      const json& l = j.at("linea");
      ControllaCampi(l, {"byteErrati", "pausaMassimaMs", "seme", "chiudiDopoByte"}, "linea");
      const std::string errati = l.value("byteErrati", std::string("persi"));
      if (errati != "persi" && errati != "spazzatura") Errore("linea: byteErrati deve essere persi o spazzatura");
      r.linea.spazzatura = errati == "spazzatura";
      r.linea.pausaMassimaMs = NumeroMax<std::uint32_t>(l, "pausaMassimaMs", r.linea.pausaMassimaMs, 60000);
      r.linea.seme = NumeroMax<std::uint32_t>(l, "seme", r.linea.seme, 0xFFFFFFFF);
      r.linea.chiudiDopoByte = NumeroMax<std::uint64_t>(l, "chiudiDopoByte", 0, ~0ULL);
    }
    if (!j.contains("schede") || !j.at("schede").is_array() || j.at("schede").empty())
      Errore("macchina: serve almeno una scheda in \"schede\"");
    std::set<std::uint16_t> indirizzi;
    for (std::size_t i = 0; i < j.at("schede").size(); ++i) {
      r.schede.push_back(LeggiScheda(j.at("schede")[i], cartella, i));
      const std::uint16_t can = r.schede.back().config.indirizzoCan;
      if (i > 0 && can == 0) Errore("scheda " + r.schede.back().config.nome + ": una scheda remota serve un indirizzoCan");
      if (can != 0 && !indirizzi.insert(can).second) Errore("indirizzoCan ripetuto: " + std::to_string(can));
    }
    if (r.schede.size() > 1 && r.schede[0].s68331) Errore("una scheda 68331 deve essere l'unica della macchina");
    d = std::move(r);
    return true;
  } catch (const ErroreDescrizione& e) {
    errore = e.testo;
  } catch (const std::exception& e) {
    errore = e.what();
  }
  return false;
}

bool LeggiFileDescrizione(const std::string& percorso, DescrizioneMacchina& d, std::string& errore) {
  std::ifstream in(percorso);
  if (!in) {
    errore = "impossibile aprire " + percorso;
    return false;
  }
  std::stringstream testo;
  testo << in.rdbuf();
  const auto barra = percorso.find_last_of('/');
  const std::string cartella = barra == std::string::npos ? "." : percorso.substr(0, barra);
  return LeggiDescrizione(testo.str(), cartella, d, errore);
}

DescrizioneMacchina DescrizionePredefinita() {
  DescrizioneMacchina d;
  CFlashSim flash;
  flash.CaricaPreset("M256");
  flash.ImpostaAllineamento(2);
  d.schede.emplace_back(ConfigScheda{}, std::move(flash));
  return d;
}

void ScriviDump(const CMacchinaSim& m, std::ostream& uscita) {
  json schede = json::array();
  for (std::size_t i = 0; i < m.NumeroSchede(); ++i) {
    const CSchedaSim& s = m.Scheda(i);
    if (s.s68331) {
      schede.push_back(Dump68331(s));
      continue;
    }
    const char* modo = s.modo == ModoScheda::Boot ? "boot" : s.modo == ModoScheda::Applicazione ? "applicazione" : "bootstrap";
    schede.push_back({
        {"nome", s.config.nome},
        {"codice", s.config.codice},
        {"indirizzoCan", s.config.indirizzoCan},
        {"modo", modo},
        {"reset", s.reset},
        {"modoDati", s.modoDatiAttivo},
        {"fineRicevuto", s.fineRicevuto},
        {"settoriCancellati", s.flash.SettoriCancellati()},
        {"scritti", Intervalli(s.flash.IntervalliScritti())},
        {"nonVuoti", Intervalli(s.flash.IntervalliNonVuoti())},
    });
    if (s.f2mc) {
      json scritture = json::array();
      for (const auto& w : s.f2mc->Scritture()) scritture.push_back({w.indirizzo, w.lunghezza});
      schede.back()["f2mc"] = {
          {"micro", std::string(1, s.f2mc->config.micro)},
          {"stato", s.f2mc->NomeStato()},
          {"caricatore", NomeCaricatore(s.f2mc->Caricatore())},
          {"blocchi", s.f2mc->Blocchi()},
          {"ram", Intervalli(s.f2mc->IntervalliRam())},
          {"scritture", scritture},
          {"anomalie", s.f2mc->Anomalie()},
      };
    }
    if (s.fr) {
      schede.back()["fr"] = {
          {"stato", s.modo == ModoScheda::Bootstrap ? s.fr->NomeStato() : "boot"},
          {"bootResidente", s.fr->config.bootResidente},
          {"avviiKernel", s.fr->AvviiKernel()},
          {"ram", Intervalli(s.fr->IntervalliRam())},
      };
    }
  }
  const auto& r = m.Rilascio();
  const json linea = {{"dtr", r.dtr},
                      {"rts", r.rts},
                      {"resetConRts", r.resetConRts},
                      {"resetSenzaRts", r.resetSenzaRts},
                      {"ultimoResetConRts", r.ultimoResetConRts},
                      {"ultimoResetDopoDati", r.ultimoResetDopoDati}};
  const json j = {{"baudLinea", m.BaudLinea()}, {"baudScheda", m.BaudLocale()}, {"linea", linea}, {"schede", schede}};
  uscita << j.dump(2) << '\n';
}

}  // namespace bricola::sim
