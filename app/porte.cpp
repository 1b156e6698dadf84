#include "app/porte.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <utility>

#include "app/impostazioni.h"
#include "comm/porta_seriale.h"
#include "platform/dispositivi.h"
#include "platform/linee.h"

namespace bricola {
namespace {

constexpr int kMaxNumeroPorta = 99;
constexpr int kPrimoComLibero = 51;

struct Famiglia {
  std::string_view prefisso;  // base name before the index
  int primo;                  // COM number of index 0
  int quanti;                 // indexes covered
};

constexpr Famiglia kFamiglie[] = {
    {"ttyS", 1, 10},
    {"ttyUSB", 11, 20},
    {"ttyACM", 31, 20},
};

std::string_view NomeBase(std::string_view percorso) {
  const auto barra = percorso.find_last_of('/');
  return barra == std::string_view::npos ? percorso : percorso.substr(barra + 1);
}

// Decimal digits only, value 0..999; -1 otherwise.
int Indice(std::string_view cifre) {
  if (cifre.empty() || cifre.size() > 3) return -1;
  int v = 0;
  for (char c : cifre) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

// The same device under two names (a /dev/serial/by-id link and its target).
std::string Canonico(const std::string& percorso) {
  std::error_code e;
  auto c = std::filesystem::weakly_canonical(percorso, e);
  return e ? percorso : c.string();
}

// Fills a list from a map: numbers ascending, at most `capacita`.
int RiempiLista(const std::map<int, std::string>& m, int* lista, int capacita) {
  int n = 0;
  for (const auto& [numero, destinazione] : m) {
    if (n == capacita) break;
    lista[n++] = numero;
  }
  return n;
}

std::string Destinazione(const std::map<int, std::string>& m, int numero) {
  auto it = m.find(numero);
  return it == m.end() ? std::string() : it->second;
}

}  // namespace

int NumeroComDispositivo(std::string_view percorso) {
  const std::string_view nome = NomeBase(percorso);
  for (const auto& f : kFamiglie) {
    if (nome.substr(0, f.prefisso.size()) != f.prefisso) continue;
    const int k = Indice(nome.substr(f.prefisso.size()));
    if (k >= 0 && k < f.quanti) return f.primo + k;
  }
  return 0;
}

MappaPorte ComponiMappaPorte(const MappaPorte& esplicite, const std::vector<std::string>& trovati) {
  MappaPorte m;
  for (const auto& [n, d] : esplicite.com)
    if (n >= 1 && n <= kMaxNumeroPorta && !d.empty()) m.com[n] = d;
  for (const auto& [n, d] : esplicite.lpt)
    if (n >= 1 && n <= kMaxNumeroPorta && !d.empty()) m.lpt[n] = d;

  m.usb = esplicite.usb.empty() ? std::string("hid") : esplicite.usb;
  for (const auto& [k, d] : esplicite.pic)
    if (k >= 0 && k <= kMaxNumeroPorta && !d.empty()) m.pic[k] = d;

  std::set<std::string> giaNominati;
  for (const auto& [n, d] : m.com) giaNominati.insert(Canonico(d));

  std::vector<std::string> altri;
  std::set<std::string> visti;
  for (const auto& d : trovati) {
    if (d.empty() || !visti.insert(d).second || giaNominati.count(Canonico(d))) continue;
    const int numero = NumeroComDispositivo(d);
    if (numero == 0) {
      altri.push_back(d);
    } else if (!m.com.count(numero)) {
      m.com[numero] = d;  // a number an explicit entry uses stays the entry's
    }
  }
  std::sort(altri.begin(), altri.end());
  int libero = kPrimoComLibero;
  for (const auto& d : altri) {
    while (libero <= kMaxNumeroPorta && m.com.count(libero)) ++libero;
    if (libero > kMaxNumeroPorta) break;
    m.com[libero++] = d;
  }
  return m;
}

MappaPorte LeggiPorteImpostate(const std::string& percorsoIni) {
  MappaPorte m;
  QSettings s(QString::fromStdString(percorsoIni), QSettings::IniFormat);
  s.beginGroup(QStringLiteral("Ports"));
  // From a file with a bad line the entries that could be read still count.
  if (s.childKeys().isEmpty() || s.status() == QSettings::AccessError) return m;
  for (const QString& chiave : s.childKeys()) {
    const std::string k = chiave.toUpper().toStdString();
    const QVariant v = s.value(chiave);
    const QString testo = v.typeId() == QMetaType::QStringList ? v.toStringList().join(QStringLiteral(","))
                                                              : v.toString();
    const std::string valore = testo.trimmed().toStdString();
    if (valore.empty()) continue;
    if (k == "USB") {
      m.usb = valore;
      continue;
    }
    std::map<int, std::string>* destinazione = nullptr;
    int primo = 1;
    if (k.rfind("COM", 0) == 0) destinazione = &m.com;
    if (k.rfind("LPT", 0) == 0) destinazione = &m.lpt;
    if (k.rfind("PIC", 0) == 0) {
      destinazione = &m.pic;
      primo = 0;
    }
    if (destinazione == nullptr) continue;
    const int n = Indice(std::string_view(k).substr(3));
    if (n < primo || n > kMaxNumeroPorta) continue;
    (*destinazione)[n] = valore;
  }
  return m;
}

MappaPorte MappaPorteAttuale() {
  return ComponiMappaPorte(LeggiPorteImpostate(PercorsoImpostazioni()), EnumeraDispositiviSeriali());
}

void CMainProc::EnumeraPorte() {
  mappa = sorgentePorte ? sorgentePorte() : MappaPorteAttuale();
  numeroCom = RiempiLista(mappa.com, porteCom, kMaxCom);
  numeroLpt = RiempiLista(mappa.lpt, porteLpt, kMaxLpt);
  PuntiDispositivi punti;
  punti.usb = mappa.usb.empty() ? std::string("hid") : mappa.usb;
  punti.lpt = mappa.lpt;
  punti.pic = mappa.pic;
  ImpostaPuntiDispositivi(std::move(punti));
  // The jobs open COM numbers; this map says what each one is.
  ImpostaApritorePorta([com = mappa.com](int numero, int baud, bool dtr, bool rts) -> std::unique_ptr<LineaSeriale> {
    auto it = com.find(numero);
    if (it == com.end()) return nullptr;
    return ApriLinea(it->second, baud, dtr, rts);
  });
}

bool CMainProc::AggiornaPorte() {
  const int com = numeroCom;
  const int lpt = numeroLpt;
  EnumeraPorte();
  return com != numeroCom || lpt != numeroLpt;
}

void CMainProc::ScegliPorta(std::string_view portaTesto, int codiceSalvato) {
  // -C is read as a decimal integer the way "%d" reads it: leading blanks, a
  // sign, digits, whatever follows ignored. No digits: the stored code.
  std::size_t i = 0;
  while (i < portaTesto.size() && (portaTesto[i] == ' ' || portaTesto[i] == '\t')) ++i;
  bool negativo = false;
  if (i < portaTesto.size() && (portaTesto[i] == '-' || portaTesto[i] == '+')) negativo = portaTesto[i++] == '-';
  long long n = 0;
  bool numero = false;
  for (; i < portaTesto.size() && portaTesto[i] >= '0' && portaTesto[i] <= '9'; ++i) {
    numero = true;
    if (n < 1000000) n = n * 10 + (portaTesto[i] - '0');
  }
  if (numero) {
    const long long a = (negativo ? -n : n) - 1;
    if (a == kCodiceUsb) {
      codicePorta = kCodiceUsb;
    } else if (a >= kCodiceLpt && a < kCodiceUsb) {
      codicePorta = (a - kCodiceLpt < numeroLpt) ? static_cast<int>(a) : kCodiceLpt;
    } else {
      codicePorta = 0;
      for (int k = 0; k < numeroCom; ++k) {
        if (porteCom[k] == a + 1) {
          codicePorta = k;
          break;
        }
      }
    }
    return;
  }
  const int s = codiceSalvato;
  if (s == kCodiceUsb) {
    codicePorta = kCodiceUsb;
  } else if (s >= kCodiceLpt && s < kCodiceUsb) {
    codicePorta = (s - kCodiceLpt < numeroLpt) ? s : kCodiceLpt;
  } else if (s >= kCodicePic) {
    codicePorta = s;
  } else {
    codicePorta = (s >= 0 && s < numeroCom) ? s : 0;
  }
}

int CMainProc::TipoInterfaccia() const {
  if (Usb()) return kTipoUsb;
  if (Parallela()) return kTipoParallela;
  if (Pic()) return kTipoPic;
  return kTipoSeriale;
}

int CMainProc::NumeroPorta() const {
  if (Usb()) return 0;
  if (Parallela()) {
    const int k = codicePorta - kCodiceLpt;
    return k < numeroLpt ? porteLpt[k] - 1 : -1;
  }
  if (Pic()) return codicePorta - kCodicePic;
  return (codicePorta >= 0 && codicePorta < numeroCom) ? porteCom[codicePorta] - 1 : -1;
}

void CMainProc::LimitaSeriale() {
  if (codicePorta >= numeroCom) codicePorta = numeroCom - 1;
}

std::string CMainProc::DestinazioneCom(int numero) const { return Destinazione(mappa.com, numero); }
std::string CMainProc::DestinazioneLpt(int numero) const { return Destinazione(mappa.lpt, numero); }

void CMainProc::RegistraPorte() const {
  RegistraValore("porte COM: %d", numeroCom);
  for (int k = 0; k < numeroCom; ++k) {
    RegistraConcat("COM" + std::to_string(porteCom[k]) + " = ", DestinazioneCom(porteCom[k]));
  }
  RegistraValore("porte LPT: %d", numeroLpt);
  for (int k = 0; k < numeroLpt; ++k) {
    RegistraConcat("LPT" + std::to_string(porteLpt[k]) + " = ", DestinazioneLpt(porteLpt[k]));
  }
}

void RegistraPorteAvvio(const std::string& percorsoRegistro) {
  if (percorsoRegistro.empty()) return;
  CMainProc porte;
  porte.ImpostaFileRegistro(percorsoRegistro);
  porte.EnumeraPorte();
  porte.RegistraPorte();
}

}  // namespace bricola
