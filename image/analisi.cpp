#include "image/analisi.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "image/cifra.h"
#include "image/crc.h"
#include "image/modelli.h"

namespace bricola {

namespace {

constexpr std::uint32_t kTestaRecord = 8;
constexpr std::uint32_t kTestaBlocco = 12;  // head of a description block
constexpr std::uint32_t kTestaVoce = 16;    // head of one entry of a block
constexpr std::uint32_t kPezzoCrc = 512;

// Entry kind of a description text inside a description block (0 file, 2 directory).
constexpr std::uint8_t kVoceDescrizione = 1;

void AggiungiUtf8(std::string& s, std::uint32_t c) {
  if (c < 0x80) {
    s.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (c >> 6)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    s.push_back(static_cast<char>(0xE0 | (c >> 12)));
    s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xF0 | (c >> 18)));
    s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// UTF-16LE units up to the first NUL, as UTF-8; a lone surrogate becomes U+FFFD.
std::string DaUtf16(const std::uint8_t* p, std::size_t unita) {
  std::string s;
  for (std::size_t i = 0; i < unita; ++i) {
    std::uint32_t c = LeggiU16(p + 2 * i);
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < unita) {
      const std::uint32_t basso = LeggiU16(p + 2 * (i + 1));
      if (basso >= 0xDC00 && basso <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (basso - 0xDC00);
        ++i;
        AggiungiUtf8(s, c);
        continue;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    AggiungiUtf8(s, c);
  }
  return s;
}

// One byte per character, each the code point of the same value, up to the first NUL.
std::string DaLatin1(const std::uint8_t* p, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n && p[i]; ++i) AggiungiUtf8(s, p[i]);
  return s;
}

std::uint16_t CodiceTrailer(std::uint16_t codice) {
  // A bare trailer for the boot codes 0x0030 and 0x0031 names their own rows.
  if (codice == 0x0030) return 0xFF30;
  if (codice == 0x0031) return 0xFF31;
  return codice;
}

// Fills the fields a module without a header record takes from its model row.
void CampiDaModello(CProgDescr& d, int riga) {
  d.tipoLoad = ModelloTipoLoad(riga);
  d.tipoMicro = ModelloTipoMicro(riga);
  d.tipoModulo = ModelloBoot(riga) ? MODULO_BOOT : MODULO_PROG;
  d.caricabileRemoto = ModelloRemoto(riga) != 0;
  d.nonSelezionato = false;
  d.velocita[0] = ModelloVelocitaAvvio(riga);
  d.velocita[1] = ModelloVelocitaAlternativa(riga);
}

// The state of one record scan.
class CScansione {
 public:
  CScansione(CFileTemplate& f, std::uint32_t dimensioneFile, CProgDescr* d, int capacita)
      : file(f), dimensione(dimensioneFile), descrittori(d), capienza(capacita) {}

  // ERRORE_NESSUNO when the scan completed.
  int Esegui();
  int Completati() const { return completati; }

 private:
  CProgDescr& Corrente() { return descrittori[completati]; }
  bool LeggiA(std::uint64_t posizione, std::uint8_t* buffer, std::uint32_t n);
  int RecordDati(const std::uint8_t* testa);
  int RecordTipizzato(const std::uint8_t* testa);
  void GuardaContenuto(std::uint32_t lunghezza);
  void LeggiDescrizione(std::uint32_t lunghezza, CProgDescr& d);
  void ChiudiModulo(std::uint32_t fine, std::uint16_t codice);

  CFileTemplate& file;
  const std::uint64_t dimensione;
  CProgDescr* descrittori;
  const int capienza;
  std::uint64_t posizione = 0;
  int completati = 0;
  bool nuovoModulo = true;
  int contenuto = CONTENUTO_PROGRAMMA;
};

bool CScansione::LeggiA(std::uint64_t p, std::uint8_t* buffer, std::uint32_t n) {
  if (p + n > dimensione) return false;
  return file.Posiziona(static_cast<std::uint32_t>(p)) && file.Leggi(buffer, n);
}

int CScansione::Esegui() {
  while (posizione < dimensione && completati < capienza) {
    if (dimensione - posizione == 4) {
      // A bare trailer (CRC, code) closes the module being read. One that
      // directly follows an end record, or stands alone, would close a module
      // without records: such a file is refused like an empty module.
      if (nuovoModulo) return ERRORE_FORMATO;
      std::uint8_t coda[4];
      if (!LeggiA(posizione, coda, 4)) return ERRORE_FORMATO;
      CProgDescr& d = Corrente();
      d.lunghezzaDati = static_cast<std::uint32_t>(posizione);
      ChiudiModulo(static_cast<std::uint32_t>(posizione), CodiceTrailer(LeggiU16BE(coda + 2)));
      posizione = dimensione;
      return ERRORE_NESSUNO;
    }
    std::uint8_t testa[kTestaRecord];
    if (!LeggiA(posizione, testa, kTestaRecord)) return ERRORE_FORMATO;
    if (nuovoModulo) {
      Corrente().inizio = static_cast<std::uint32_t>(posizione);
      nuovoModulo = false;
    }
    posizione += kTestaRecord;
    const int errore = LeggiU32(testa) != kMarcaTipizzato ? RecordDati(testa) : RecordTipizzato(testa);
    if (errore != ERRORE_NESSUNO) return errore;
  }
  // A module begun and never closed: the file was cut short.
  if (!nuovoModulo && completati < capienza) return ERRORE_FORMATO;
  return ERRORE_NESSUNO;
}

int CScansione::RecordDati(const std::uint8_t* testa) {
  const std::uint32_t lunghezza = LeggiU32(testa);
  // The payload must end before the end of the file: something always follows it.
  if (posizione + lunghezza >= dimensione) return ERRORE_FORMATO;
  GuardaContenuto(lunghezza);
  CProgDescr& d = Corrente();
  d.lunghezzaDati += lunghezza;
  posizione += lunghezza;
  return ERRORE_NESSUNO;
}

// Classifies the module's content by the first bytes of a payload. Only the
// payload itself is looked at.
void CScansione::GuardaContenuto(std::uint32_t lunghezza) {
  std::uint8_t marca[16] = {};
  const std::uint32_t n = std::min<std::uint32_t>(lunghezza, sizeof marca);
  if (n == 0 || !LeggiA(posizione, marca, n)) {
    contenuto = CONTENUTO_PROGRAMMA;
    return;
  }
  if (n >= kTestaBlocco && LeggiU32(marca) == kMarcaTipizzato && LeggiU16(marca + 4) == kTipoDescrizione) {
    contenuto = marca[9];
    LeggiDescrizione(lunghezza, Corrente());
  } else if (n == 16 && std::memcmp(marca, kMarcaFont, 16) == 0) {
    contenuto = CONTENUTO_FONT;
  } else if (n == 16 && std::memcmp(marca, kMarcaImmagine, 16) == 0) {
    contenuto = CONTENUTO_IMMAGINE;
  } else {
    contenuto = CONTENUTO_PROGRAMMA;
  }
}

// The description text of a block: its first entry when that is a consistent
// text entry lying wholly inside the payload. Anything else costs only the text.
void CScansione::LeggiDescrizione(std::uint32_t lunghezza, CProgDescr& d) {
  d.descrizione.reset();
  if (lunghezza < kTestaBlocco + kTestaVoce) return;
  std::uint8_t voce[kTestaVoce];
  if (!LeggiA(posizione + kTestaBlocco, voce, kTestaVoce)) return;
  if (LeggiU32(voce) != kMarcaTipizzato || LeggiU16(voce + 4) != kTipoVoce) return;
  if (voce[8] != kVoceDescrizione) return;  // a file or directory entry first: no text
  const std::uint32_t lunghezzaTesto = LeggiU16(voce + 10);
  if (LeggiU16(voce + 6) != lunghezzaTesto + kTestaVoce || LeggiU32(voce + 12) != 0) return;
  if (kTestaBlocco + kTestaVoce + lunghezzaTesto > lunghezza) return;
  std::vector<std::uint8_t> testo(lunghezzaTesto);
  if (lunghezzaTesto && !LeggiA(posizione + kTestaBlocco + kTestaVoce, testo.data(), lunghezzaTesto)) return;
  CCifra cifra(CCifra::Seme(lunghezzaTesto, CCifra::kChiaveDescrizione));
  cifra.Applica(testo.data(), testo.size());
  d.descrizione = DaUtf16(testo.data(), testo.size() / 2);
}

int CScansione::RecordTipizzato(const std::uint8_t* testa) {
  const std::uint16_t tipo = LeggiU16(testa + 4);
  const std::uint16_t valore = LeggiU16(testa + 6);
  CProgDescr& d = Corrente();
  switch (tipo) {
    case kTipoIndirizzo:
      d.conIndirizzo = true;
      d.indirizzo = valore;
      d.indirizzoSecondario = 0;
      return ERRORE_NESSUNO;
    case kTipoIntestazione: {
      std::uint8_t r[kLunghezzaIntestazione];
      std::memcpy(r, testa, kTestaRecord);
      if (!LeggiA(posizione, r + kTestaRecord, kLunghezzaIntestazione - kTestaRecord)) return ERRORE_FORMATO;
      posizione += kLunghezzaIntestazione - kTestaRecord;
      d.conIntestazione = true;
      d.indiceModello = 0;
      d.tipoModulo = r[10];
      d.tipoContenuto = contenuto;
      d.tipoMicro = LeggiU16(r + 8);
      d.caricabileRemoto = r[11] != 0;
      d.nonSelezionato = r[12] != 0;
      d.nome = DaLatin1(r + 14, kLunghezzaNomeModulo);
      if (!SelettoreIntestazione(d.tipoMicro, d.tipoModulo == MODULO_BOOT, d.tipoLoad, d.velocita[0],
                                 d.velocita[1])) {
        return ERRORE_SELETTORE;
      }
      return ERRORE_NESSUNO;
    }
    case kTipoCoppiaIndirizzi: {
      std::uint8_t r[8];
      if (!LeggiA(posizione, r, sizeof r)) return ERRORE_FORMATO;
      posizione += sizeof r;
      d.indirizzo = LeggiU32(r);
      d.indirizzoSecondario = LeggiU32(r + 4);
      return ERRORE_NESSUNO;
    }
    case kTipoDatiUtente: {
      std::uint8_t r[32];
      if (!LeggiA(posizione, r, sizeof r)) return ERRORE_FORMATO;
      posizione += sizeof r;
      std::copy(r, r + sizeof r, d.datiUtente.begin());
      return ERRORE_NESSUNO;
    }
    case kTipoFine: {
      std::uint8_t r[4];
      if (!LeggiA(posizione, r, sizeof r)) return ERRORE_FORMATO;
      // An end record standing first would close an empty module.
      if (static_cast<std::uint64_t>(d.inizio) + kTestaRecord == posizione) return ERRORE_FORMATO;
      ChiudiModulo(static_cast<std::uint32_t>(posizione), LeggiU16BE(r + 2));
      posizione += sizeof r;
      return ERRORE_NESSUNO;
    }
    default:
      // Reserved: skipped by its length, which must cover at least its head
      // (otherwise the scan would never move on) and stay inside the file.
      if (valore < kTestaRecord) return ERRORE_FORMATO;
      if (posizione + (valore - kTestaRecord) > dimensione) return ERRORE_FORMATO;
      posizione += valore - kTestaRecord;
      return ERRORE_NESSUNO;
  }
}

void CScansione::ChiudiModulo(std::uint32_t fine, std::uint16_t codice) {
  CProgDescr& d = Corrente();
  d.fine = fine;
  d.codice = codice;
  if (!d.conIntestazione) d.tipoContenuto = contenuto;
  ++completati;
  nuovoModulo = true;
}

// Load kind 0 (raw program for the 68331 loader): the module is sent as the
// payload of its first data record with a payload. false when there is none.
bool PrimoPayload(CFileTemplate& file, std::uint32_t dimensioneFile, CProgDescr& d) {
  std::uint64_t p = d.inizio;
  while (p + kTestaRecord <= d.fine) {
    std::uint8_t testa[kTestaRecord];
    if (p + kTestaRecord > dimensioneFile || !file.Posiziona(static_cast<std::uint32_t>(p)) ||
        !file.Leggi(testa, kTestaRecord)) {
      return false;
    }
    if (LeggiU32(testa) == kMarcaTipizzato) {
      // Records are stepped over by the lengths the scan used, so the walk
      // follows the same record boundaries whatever a dimensione field says.
      const std::uint16_t tipo = LeggiU16(testa + 4);
      const std::uint16_t lunghezza = LeggiU16(testa + 6);
      switch (tipo) {
        case kTipoFine: return false;
        case kTipoIndirizzo: p += kTestaRecord; break;
        case kTipoIntestazione: p += kLunghezzaIntestazione; break;
        case kTipoCoppiaIndirizzi: p += kLunghezzaCoppiaIndirizzi; break;
        case kTipoDatiUtente: p += kLunghezzaDatiUtente; break;
        default:
          if (lunghezza < kTestaRecord) return false;
          p += lunghezza;
      }
      continue;
    }
    const std::uint32_t lunghezza = LeggiU32(testa);
    if (lunghezza == 0) {
      p += kTestaRecord;
      continue;
    }
    // The payload lies inside the module (the scan checked it against the file).
    if (p + kTestaRecord + lunghezza > d.fine) return false;
    d.inizio = static_cast<std::uint32_t>(p + kTestaRecord);
    d.fine = d.inizio + lunghezza;
    return true;
  }
  return false;
}

}  // namespace

std::string TestoDaUtf16(const std::uint8_t* dati, std::size_t unita) { return DaUtf16(dati, unita); }

const char* EtichettaModulo(int tipoModulo) {
  switch (tipoModulo) {
    case MODULO_PROG: return "Prog";
    case MODULO_BOOT: return "Boot";
    case MODULO_DATA: return "Data";
    case MODULO_SETUP: return "Setup";
    case MODULO_STAT: return "Stat";
    case MODULO_EXP: return "Exp";
    case MODULO_PROG1: return "Prog1";
    case MODULO_EVA: return "Eva";
    case MODULO_MMI: return "Mmi";
    default: return "????";
  }
}

bool SelettoreIntestazione(int tipoMicro, bool boot, int& tipoLoad, int& velocitaAvvio,
                           int& velocitaAlternativa) {
  struct SVoce {
    int tipoLoad, avvio, alternativa;  // tipoLoad -1: invalid
  };
  // By tipoMicro: boot module, other module.
  static constexpr SVoce kTabella[10][2] = {
      {{0, 38400, 38400}, {0, 38400, 38400}},
      {{2, 4800, 9600}, {3, 38400, 19200}},
      {{1, 4800, 9600}, {4, 38400, 19200}},
      {{5, 38400, 19200}, {5, 38400, 19200}},
      {{6, 4800, 38400}, {7, 38400, 38400}},
      {{-1, 0, 0}, {3, 38400, 19200}},
      {{8, 19200, 38400}, {9, 38400, 38400}},
      {{-1, 0, 0}, {7, 38400, 38400}},
      {{10, 9600, 115200}, {11, 38400, 38400}},
      {{12, 9600, 115200}, {13, 38400, 38400}},
  };
  if (tipoMicro < 0 || tipoMicro >= 10) return false;
  const SVoce& v = kTabella[tipoMicro][boot ? 0 : 1];
  if (v.tipoLoad < 0) return false;
  tipoLoad = v.tipoLoad;
  velocitaAvvio = v.avvio;
  velocitaAlternativa = v.alternativa;
  return true;
}

bool CrcIntervallo(CFileTemplate& file, std::uint32_t inizio, std::uint32_t fine, std::uint16_t& crc) {
  CCrc calcolo;
  if (fine < inizio || !file.Posiziona(inizio)) return false;
  std::uint8_t buffer[kPezzoCrc];
  for (std::uint32_t p = inizio; p < fine;) {
    const std::uint32_t n = std::min(fine - p, kPezzoCrc);
    if (!file.Leggi(buffer, n)) return false;
    calcolo.Aggiorna(buffer, n);
    p += n;
  }
  crc = calcolo.Valore();
  return true;
}

// ---------------------------------------------------------------- CProgDescr

int CProgDescr::TipoLoad() const {
  return conIntestazione ? tipoLoad : ModelloTipoLoad(TrovaModello(codice));
}

int CProgDescr::TipoMicro() const {
  return conIntestazione ? tipoMicro : ModelloTipoMicro(TrovaModello(codice));
}

int CProgDescr::TipoModulo() const {
  if (conIntestazione) return tipoModulo;
  return ModelloBoot(TrovaModello(codice)) ? MODULO_BOOT : MODULO_PROG;
}

bool CProgDescr::ModuloBoot() const {
  return conIntestazione ? tipoModulo == MODULO_BOOT : ModelloBoot(TrovaModello(codice)) != 0;
}

void CProgDescr::Velocita(int& avvio, int& alternativa) const {
  if (conIntestazione) {
    avvio = velocita[0];
    alternativa = velocita[1];
  } else {
    const int riga = TrovaModello(codice);
    avvio = ModelloVelocitaAvvio(riga);
    alternativa = ModelloVelocitaAlternativa(riga);
  }
}

bool CProgDescr::NonSelezionato() const { return conIntestazione && nonSelezionato; }

bool CProgDescr::CaricabileRemoto() const {
  return conIntestazione ? caricabileRemoto : ModelloRemoto(TrovaModello(codice)) != 0;
}

std::optional<int> CProgDescr::IndiceNome() const { return bricola::IndiceNome(codice); }

int CProgDescr::Descrizione(std::string& testo, int conteggio) const {
  if (conteggio <= 0) return 0;
  testo.clear();
  if (!descrizione) return 0;
  const std::string& s = *descrizione;
  int copiati = 0;
  std::size_t i = 0;
  while (i < s.size() && copiati < conteggio) {
    std::size_t dopo = i + 1;
    while (dopo < s.size() && (static_cast<unsigned char>(s[dopo]) & 0xC0) == 0x80) ++dopo;
    testo.append(s, i, dopo - i);
    i = dopo;
    ++copiati;
  }
  return copiati;
}

void CProgDescr::Azzera() { *this = CProgDescr{}; }

// -------------------------------------------------------------- CAnalisiFile

void CAnalisiFile::ImpostaSorgente(bool chiave, CFileTemplate* nuovoFileChiave) {
  if (nuovoFileChiave) fileChiave = nuovoFileChiave;
  corrente = (chiave && fileChiave) ? fileChiave : &fileDisco;
}

int CAnalisiFile::AnalizzaFile(const std::string& nomeFile, CProgDescr* descrittori, int capacita,
                               int& numModuli, int& tuttiValidi, int& inutilizzabile, int& grezzo,
                               int& errore) {
  numModuli = 0;
  tuttiValidi = 0;
  grezzo = 0;
  inutilizzabile = 1;
  errore = ERRORE_NESSUNO;
  if (!descrittori || capacita <= 0) {
    errore = ERRORE_FORMATO;  // nowhere to put even one module
    return 0;
  }
  CFileTemplate& file = *corrente;
  if (!file.ApriLettura(nomeFile)) {
    errore = ERRORE_APERTURA;
    return 0;
  }
  const std::uint32_t dimensione = file.Dimensione();
  const int esito = Analizza(file, dimensione, descrittori, capacita, numModuli, tuttiValidi,
                             inutilizzabile, grezzo, errore);
  file.Chiudi();
  return esito;
}

int CAnalisiFile::Analizza(CFileTemplate& file, std::uint32_t dimensione, CProgDescr* descrittori,
                           int capacita, int& numModuli, int& tuttiValidi, int& inutilizzabile,
                           int& grezzo, int& errore) {
  std::uint8_t coda[kLunghezzaFine];
  if (dimensione < 2 || !file.PosizionaDaFine(-2) || !file.Leggi(coda, 2)) {
    errore = ERRORE_FORMATO;
    return 0;
  }
  const std::uint16_t codiceFile = LeggiU16BE(coda);
  const int rigaFile = TrovaModello(codiceFile);

  // An end record closing the file (FFFFFFFF FFFF FFFF, CRC, code) rules out a raw image.
  bool fineRecord = false;
  if (dimensione >= kLunghezzaFine) {
    if (!file.PosizionaDaFine(-static_cast<std::int32_t>(kLunghezzaFine)) || !file.Leggi(coda, kLunghezzaFine)) {
      errore = ERRORE_FORMATO;
      return 0;
    }
    fineRecord = LeggiU32(coda) == kMarcaTipizzato && LeggiU16(coda + 4) == kTipoFine &&
                 LeggiU16(coda + 6) == kTipoFine;
  }

  for (int i = 0; i < capacita; ++i) descrittori[i].Azzera();

  if (rigaFile < kNumModelli && ModelloGrezzo(rigaFile) && !fineRecord) {
    return AnalizzaGrezzo(file, dimensione, codiceFile, rigaFile, descrittori[0], numModuli, tuttiValidi,
                          inutilizzabile, grezzo, errore);
  }

  CScansione scansione(file, dimensione, descrittori, capacita);
  errore = scansione.Esegui();
  const int completati = scansione.Completati();
  const bool riuscita = errore == ERRORE_NESSUNO;
  tuttiValidi = riuscita ? 1 : 0;
  inutilizzabile = (riuscita || completati > 0) ? 0 : 1;
  for (int i = 0; i < completati; ++i) {
    if (!Convalida(file, dimensione, descrittori[i])) tuttiValidi = 0;
  }
  numModuli = completati;
  return riuscita ? 1 : 0;
}

// The whole file is one module; its last 4 bytes are the CRC and the code.
int CAnalisiFile::AnalizzaGrezzo(CFileTemplate& file, std::uint32_t dimensione, std::uint16_t codice, int riga,
                                 CProgDescr& d, int& numModuli, int& tuttiValidi, int& inutilizzabile,
                                 int& grezzo, int& errore) {
  if (dimensione < 4) {
    errore = ERRORE_FORMATO;  // not even room for the CRC and the code
    return 0;
  }
  grezzo = 1;
  d.codice = codice;
  d.inizio = 0;
  d.fine = dimensione - 4;
  d.lunghezzaDati = d.fine;
  numModuli = 1;
  if (verificaCrc) {
    std::uint16_t calcolato = 0;
    std::uint8_t atteso[2];
    const bool letto = CrcIntervallo(file, 0, d.fine, calcolato) && file.Posiziona(d.fine) && file.Leggi(atteso, 2);
    if (!letto || calcolato != LeggiU16BE(atteso)) {
      d.stato = STATO_CRC;
      d.indiceModello = 0;
      tuttiValidi = 0;
      inutilizzabile = 1;
      return 1;
    }
  }
  d.indiceModello = riga;
  CampiDaModello(d, riga);
  d.stato = STATO_VALIDO;
  tuttiValidi = 1;
  inutilizzabile = 0;
  return 1;
}

// Validation of one completed module; false when it ends with stato 1 or 2.
bool CAnalisiFile::Convalida(CFileTemplate& file, std::uint32_t dimensione, CProgDescr& d) {
  const int riga = TrovaModello(d.codice);
  if (!d.conIntestazione) {
    if (riga >= kNumModelli) {
      d.indiceModello = 0;
      d.stato = STATO_SCONOSCIUTO;
      return false;
    }
    d.indiceModello = riga;
    CampiDaModello(d, riga);
  }
  if (verificaCrc) {
    const std::uint64_t inizioCrc = static_cast<std::uint64_t>(d.inizio) + (d.conIndirizzo ? kTestaRecord : 0);
    std::uint16_t calcolato = 0;
    std::uint8_t atteso[2];
    const bool letto = inizioCrc <= d.fine && static_cast<std::uint64_t>(d.fine) + 2 <= dimensione &&
                       CrcIntervallo(file, static_cast<std::uint32_t>(inizioCrc), d.fine, calcolato) &&
                       file.Posiziona(d.fine) && file.Leggi(atteso, 2);
    if (!letto || calcolato != LeggiU16BE(atteso)) {
      d.stato = STATO_CRC;
      return false;
    }
  }
  const int tipoLoad = d.conIntestazione ? d.tipoLoad : ModelloTipoLoad(riga);
  if (tipoLoad == 0 && !PrimoPayload(file, dimensione, d)) {
    d.stato = STATO_SENZA_DATI;
    return true;
  }
  d.stato = STATO_VALIDO;
  if (riga < kNumModelli) {
    d.indirizzoPredefinito = ModelloIndirizzo(riga);
    d.indirizzoSecondarioPredefinito = ModelloIndirizzoSecondario(riga);
  }
  return true;
}

bool CAnalisiFile::TuttiSelezionatiValidi(const CProgDescr* descrittori, int numero, const int* selezione) {
  for (int i = 0; i < numero; ++i) {
    if (selezione[i] && descrittori[i].stato != STATO_VALIDO) return false;
  }
  return true;
}

bool CAnalisiFile::QualcunoNonRemoto(const CProgDescr* descrittori, int numero, const int* selezione) {
  for (int i = 0; i < numero; ++i) {
    if (selezione[i] && !descrittori[i].CaricabileRemoto()) return true;
  }
  return false;
}

bool CAnalisiFile::QualcunoBoot(const CProgDescr* descrittori, int numero, const int* selezione) {
  for (int i = 0; i < numero; ++i) {
    if (selezione[i] && descrittori[i].ModuloBoot()) return true;
  }
  return false;
}

}  // namespace bricola
