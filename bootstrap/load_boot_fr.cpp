#include "bootstrap/load_boot_fr.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/esiti.h"

namespace bricola {

namespace {

constexpr int kTentativiCheck = 100000;  // 50 ms each: in practice until the board answers
constexpr int kTentativiSonda = 3;
constexpr int kTentativiLoader = 3;  // the kernel check and its sync share them
constexpr int kTentativiFirma = 100000;
constexpr int kTentativiKernel = 5;

constexpr int kEcoRomMs = 20;
constexpr int kGraziaEcoMs = 80;  // more for an echo not yet there after the window
constexpr int kSondaMs = 200;
constexpr int kChunkMs = 1000;
constexpr int kChiamataMs = 200;
constexpr int kCheckLoaderMs = 100;
constexpr int kMaxChunkKernel = 256;
constexpr int kVelocitaBoot = 38400;  // a resident boot listens here after a reset
constexpr std::uint8_t kMicroBootFr = 8;

// The probe: 1 byte 0xFF written at 0x0000BFF4, then 4 bytes read there.
constexpr std::uint8_t kSondaScrittura[7] = {0xF4, 0xBF, 0x00, 0x00, 0x01, 0x00, 0xFF};
constexpr std::uint8_t kSondaLettura[6] = {0xF4, 0xBF, 0x00, 0x00, 0x04, 0x00};
constexpr std::uint8_t kChiamataKernel[4] = {0x00, 0x00, 0x03, 0x00};  // 0x00030000, low byte first

// The kernel's replies (lengths in bytes) and time limits.
constexpr const char* kInizioBlank = " checking ...";
constexpr int kBlankRispostaK = 31, kBlankMsK = 3000;
constexpr const char* kEraseInit = "\r\n sector : ";
constexpr int kEraseInitRisposta = 12, kEraseMsK = 3000;
constexpr const char* kCodaErase = "h erasing...\r\n OK \r\n";
constexpr int kEraseRispostaK = 64;
constexpr const char* kWriteInit = "\r\n data ...\r\n";
constexpr int kWriteInitRisposta = 13, kWriteMsK = 1000;
constexpr const char* kModoWrite = "HEXDWL";
constexpr int kQuitMs = 100, kCrQuit = 7, kPausaCrMs = 100;
constexpr const char* kIndirizzo = "\r\nADDR:";
constexpr int kInitRisposta = 7, kInitMs = 300;
constexpr const char* kLunghezza = "\r\nLEN:";
constexpr int kReadAddrRisposta = 14, kAddrMs = 300, kReadMsK = 1000;
constexpr const char* kDato = "\r\nDATA:";
constexpr int kProg32AddrRisposta = 15, kProg32Ms = 1000;
constexpr const char* kProg32Ok = "\r\n OK \r\n>";
constexpr int kProg32DatoRisposta = 17;
constexpr int kPausaDopoBlankMs = 200;

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kCr = '\r';

// Header of a dump: the echoed count (3) and 54 characters.
constexpr int kIntestazioneDump = 57;
constexpr int kPrefissoRigaDump = 11;

const char kCifre[] = "0123456789abcdef";

std::string Esadecimale(std::uint32_t v, int cifre) {
  std::string s(static_cast<std::size_t>(cifre), '0');
  for (int i = cifre - 1; i >= 0; --i) {
    s[static_cast<std::size_t>(i)] = kCifre[v & 15];
    v >>= 4;
  }
  return s;
}

}  // namespace

// --- the kernel's text protocol ------------------------------------------------------------

int RecordS2(std::uint32_t a, const std::uint8_t* dati, int n, std::uint8_t* record) {
  record[0] = 'S';
  record[1] = '2';
  record[2] = static_cast<std::uint8_t>(n + 4);
  record[3] = static_cast<std::uint8_t>(a >> 16);
  record[4] = static_cast<std::uint8_t>(a >> 8);
  record[5] = static_cast<std::uint8_t>(a);
  std::copy(dati, dati + n, record + 6);
  unsigned somma = 0;
  for (int i = 2; i < 6 + n; ++i) somma += record[i];
  record[6 + n] = static_cast<std::uint8_t>(~somma);
  return n + 7;
}

int LunghezzaDump(int r) { return 3 * r + 13 * ((r + 15) / 16) + 58; }

bool UgualeTesto(const std::uint8_t* dati, const char* t, int n) {
  return std::memcmp(dati, t, static_cast<std::size_t>(n)) == 0;
}

int ValoriBlank(const std::uint8_t* risposta, int n, int valori[6]) {
  const int inizio = static_cast<int>(std::strlen(kInizioBlank));
  if (n < inizio || !UgualeTesto(risposta, kInizioBlank, inizio)) return 1;
  const std::string resto(reinterpret_cast<const char*>(risposta) + inizio, static_cast<std::size_t>(n - inizio));
  if (std::sscanf(resto.c_str(), "%d\r\n%d\r\n%d\r\n%d\r\n%d\r\n%d\r\n", &valori[0], &valori[1], &valori[2],
                  &valori[3], &valori[4], &valori[5]) != 6) {
    return 2;
  }
  return 0;
}

bool IntestazioneDumpValida(const std::uint8_t* dump, int n) {
  return n >= kIntestazioneDump && UgualeTesto(dump + 52, "\n\r\n\r\n", 5);
}

bool EstraiDatiLetti(const std::uint8_t* dump, int n, int r, std::uint8_t* valori, std::string* rigaErrore) {
  const auto fallisci = [&](std::string riga) {
    if (rigaErrore) *rigaErrore = std::move(riga);
    return false;
  };
  int p = kIntestazioneDump;
  int presi = 0;
  while (presi < r) {
    const int inRiga = std::min(r - presi, 16);
    for (int k = 0; k < inRiga; ++k) {
      const int posizione = kPrefissoRigaDump + 3 * k;
      const int da = p + posizione;
      char testo[4] = {0, 0, 0, 0};
      for (int c = 0; c < 3 && da + c < n; ++c) testo[c] = static_cast<char>(dump[da + c]);
      unsigned int v = 0;
      if (da + 2 >= n || std::sscanf(testo, "%02x ", &v) != 1) {
        return fallisci(FormattaInteri("EstraiDatiLetti: sscanf %d %d", {presi, posizione}));
      }
      if (v > 255) return fallisci("EstraiDatiLetti: valore");
      valori[presi++] = static_cast<std::uint8_t>(v);
    }
    const int fine = p + kPrefissoRigaDump + 3 * inRiga;
    if (fine >= n || dump[fine] != '\r') return fallisci("EstraiDatiLetti: CR mancante");
    if (fine + 1 >= n || dump[fine + 1] != '\n') return fallisci("EstraiDatiLetti: LF mancante");
    p = fine + 2;
  }
  if (p >= n || dump[p] != '>') return fallisci("EstraiDatiLetti: prompt mancante");
  return true;
}

// --- start and end ------------------------------------------------------------------------------

namespace {

std::vector<SPezzoRam> Pezzi(std::size_t lunghezzaKernel, const std::vector<std::uint32_t>& indirizzi,
                             const std::vector<std::size_t>& lunghezze) {
  std::vector<SPezzoRam> p;
  for (std::size_t i = 0; i < indirizzi.size(); ++i) {
    p.push_back({indirizzi[i], static_cast<std::uint32_t>(i == 0 ? lunghezzaKernel : lunghezze[i])});
  }
  return p;
}

}  // namespace

CLoad91FxxxBoot::CLoad91FxxxBoot(const char* file, std::size_t lunghezza, std::vector<SSegmento> s,
                                 std::vector<std::uint32_t> settori)
    : CLoadBootstrap(Dialetto::Fr, file, lunghezza,
                     [&] {
                       std::vector<std::uint32_t> ind;
                       std::vector<std::size_t> lun;
                       for (const auto& x : s) {
                         ind.push_back(x.indirizzo);
                         lun.push_back(x.dati.size());
                       }
                       return Pezzi(lunghezza, ind, lun);
                     }(),
                     P_FINE),
      segmenti(std::move(s)),
      tabellaSettori(std::move(settori)),
      numeroSettori(static_cast<int>(tabellaSettori.size()) - 1) {}

int CLoad91FxxxBoot::ControllaKernel(int* esitoControllo) {
  return LeggiCaricatore(fileCaricatore, lunghezzaCaricatore, &immagine, this, esitoControllo);
}

int CLoad91FxxxBoot::Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
                           std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo, int, int,
                           CInterfaccia* linea, int, const int* velocita, int opzioni, int* esitoAvvio) {
  velocitaAvvio = velocita ? velocita[0] : 9600;
  velocitaCaricatore = velocita ? velocita[1] : 115200;
  SModuloBoot modulo;
  if (!ApriModuloBoot(percorso, inizio, fine, codice, indirizzi, tipoModulo, linea, &modulo, esitoAvvio)) return 0;
  inizioModulo = inizio;
  blocchiModulo = modulo.blocchi;
  restoBlocco = modulo.resto;
  indirizzoFlash = modulo.indirizzo;
  const int contati = modulo.byteDati;
  const bool viaBoot = (opzioni & OPZ_VIA_BOOT) != 0;
  lineaLibera = 0;
  if (!ImpulsoIniziale(viaBoot ? kVelocitaBoot : velocitaAvvio, 40, false)) {
    return RifiutaAvvio(RC_PORT_ACCESS, esitoAvvio, "errore generazione impulso iniziale");
  }
  byteTotali += contati;
  byteRimanenti = byteTotali;
  byteFatti = byteRipetuti = 0;
  tentativi = viaBoot ? kTentativiFirma : kTentativiCheck;
  offsetPezzo = 0;
  settoreCorrente = numeroSettori;
  bloccoCorrente = 0;
  modoScrittura = false;
  recordInviato = false;
  writeInitInviato = false;
  tempoInizio = tempoUltimo = Secondi();
  esito = RC_OK;
  if (viaBoot) {
    passoCorrente = P_INVIO_GET_FIRMA;
    fase = ST_CHECK_BOOT;
    return 1;
  }
  fase = ST_WAIT_LINK;
  // A check that cannot be written ends the job on its first step, so that
  // the board reset into its bootstrap is released again.
  InvioCheck465();
  return 1;
}

int CLoad91FxxxBoot::Termina() {
  fileModulo.Chiudi();
  if (!lineaToccata) return 1;
  lineaToccata = false;
  Registra("inizio impulso finale DTR");
  const int r = ImpulsoDtrStandard(0);
  Registra("fine impulso finale DTR");
  return r;
}

int CLoad91FxxxBoot::Passo(int* aggiorna) {
  *aggiorna = 0;
  aggiornaCorrente = aggiorna;
  int continua = 1;
  switch (passoCorrente) {
    case P_CHECK_465: continua = Check465Ricevi(); break;
    case P_INVIO_WRITE_CHECK: continua = InvioWriteCheck(); break;
    case P_WRITE_CHECK: continua = WriteCheckRicevi(); break;
    case P_INVIO_READ_CHECK: continua = InvioReadCheck(); break;
    case P_READ_CHECK: continua = ReadCheckRicevi(aggiorna); break;
    case P_SEGMENTO: continua = SegmentoRicevi(aggiorna); break;
    case P_CAMBIO_VELOCITA: continua = CambioVelocita(); break;
    case P_INVIO_CHECK_LOADER: continua = InvioCheckLoader(); break;
    case P_CHECK_LOADER: continua = CheckLoaderRicevi(); break;
    case P_SYNC_LOADER: continua = SyncLoaderRicevi(); break;
    case P_BLANK: continua = BlankRicevi(); break;
    case P_ERASE_INIT: continua = EraseInitRicevi(); break;
    case P_ERASE_SECT: continua = EraseSectRicevi(); break;
    case P_WRITE_INIT: continua = WriteInitRicevi(); break;
    case P_WRITE_MODE: continua = WriteModeRicevi(); break;
    case P_WRITE: continua = WriteRicevi(); break;
    case P_WRITE_QUIT: continua = WriteQuitRicevi(false); break;
    case P_WRITE_FINE: continua = WriteQuitRicevi(true); break;
    case P_READ_INIT: continua = ReadInitRicevi(); break;
    case P_READ_ADDR: continua = ReadAddrRicevi(); break;
    case P_READ_DATI: continua = ReadDatiRicevi(); break;
    case P_PROG32_INIT: continua = Prog32InitRicevi(); break;
    case P_PROG32_ADDR: continua = Prog32AddrRicevi(); break;
    case P_PROG32_DATO: continua = Prog32DatoRicevi(); break;
    case P_INVIO_GET_FIRMA: continua = InvioGetFirma(); break;
    case P_GET_FIRMA: continua = GetFirmaRicevi(); break;
    case P_MICRO: continua = MicroRicevi(); break;
    case P_ATTESA_CANCELLAZIONE: continua = AttesaCancellazione(); break;
    default: break;  // the end step
  }
  if (!continua) *aggiorna = 1;
  aggiornaCorrente = nullptr;
  return continua;
}

int CLoad91FxxxBoot::Settore(std::uint32_t a) const {
  if (a < tabellaSettori.front()) return -1;
  for (int i = 0; i < numeroSettori; ++i) {
    if (a < tabellaSettori[static_cast<std::size_t>(i) + 1]) return i;
  }
  return -1;
}

// --- the line -----------------------------------------------------------------------------------

void CLoad91FxxxBoot::ContaSullaLinea(int n) {
  const std::int64_t adesso = Orologio().Millisecondi();
  const int baud = baudCorrente > 0 ? baudCorrente : 9600;
  lineaLibera = std::max(lineaLibera, adesso) + (static_cast<std::int64_t>(n) * 10000 + baud - 1) / baud;
}

int CLoad91FxxxBoot::RaccogliRisposta(int n) {
  if (!Raccogli(n)) return 0;
  // A whole reply means the chip had the whole request: the line is free.
  lineaLibera = 0;
  return 1;
}

void CLoad91FxxxBoot::ScadenzaDopoLinea(int ms) {
  // Where the port's write returns only once the bytes are out this is the
  // plain deadline; where it returns at once the reply cannot come before the
  // line has carried the request.
  const std::int64_t adesso = Orologio().Millisecondi();
  ImpostaScadenza(ms + static_cast<int>(std::max<std::int64_t>(0, lineaLibera - adesso)));
}

int CLoad91FxxxBoot::InviaKernel(const std::uint8_t* dati, int n, int lunghezzaRisposta, int timeoutMs) {
  ContaSullaLinea(n);
  // The reply is awaited for its time once the line has carried the request;
  // the receive thread reads for three quarters of what it is given, so the
  // line's time is added as four thirds.
  const std::int64_t inCoda = std::max<std::int64_t>(0, lineaLibera - Orologio().Millisecondi());
  const int inviato =
      InviaRichiesta(dati, n, lunghezzaRisposta, timeoutMs + static_cast<int>((inCoda * 4 + 2) / 3), 0);
  ScadenzaDopoLinea(timeoutMs);
  return inviato;
}

int CLoad91FxxxBoot::InviaKernel(const char* testo, int lunghezzaRisposta, int timeoutMs) {
  return InviaKernel(reinterpret_cast<const std::uint8_t*>(testo), static_cast<int>(std::strlen(testo)),
                     lunghezzaRisposta, timeoutMs);
}

int CLoad91FxxxBoot::ComandoRom(ComandoRomFr c) {
  static constexpr std::uint8_t kComandi[3] = {0x02, 0x03, 0x04};
  const std::uint8_t invio[2] = {0x01, kComandi[c]};
  const std::uint8_t eco[2] = {0xF1, static_cast<std::uint8_t>(0x80 | kComandi[c])};
  for (int k = 0; k < 2; ++k) {
    if (!InviaRichiesta(&invio[k], 1, 1, kEcoRomMs, 0)) return 0;
    ImpostaScadenza(kEcoRomMs);
    // The bootstrap echoes each byte; the whole window is waited either way,
    // so the echo is taken once it is over (the receive thread keeps it).
    while (!Scaduto()) Orologio().Dormi(static_cast<int>(std::max<long>(1, Margine())));
    RiceviRisposta(risposta, 1);
    if (byteRicevuti < 1) {
      // The chip echoes within the window; a line that carries the bytes over
      // a network (RFC 2217) and a busy machine can add more than that on the
      // way back. An echo still missing is awaited a little longer, until the
      // receive thread says it has come; a wrong one fails at once all the same.
      interfaccia->AttendiRisposta(1, kGraziaEcoMs);
      ImpostaScadenza(kGraziaEcoMs);
      while (byteRicevuti < 1 && !Scaduto()) {
        Orologio().AttendiSveglia(interfaccia->Sveglia(), static_cast<int>(std::max<long>(1, Margine())));
        RiceviRisposta(risposta, 1);
      }
    }
    if (byteRicevuti < 1) return 0;
    if (risposta[0] != eco[k]) {
      RegistraValori("start comando inatteso %02x alla posizione %d", risposta[0], k);
      return 0;
    }
  }
  return 1;
}

// --- bootstrap probe ----------------------------------------------------------------------------

int CLoad91FxxxBoot::InvioCheck465() {
  Registra("invio check 465");
  if (!InviaRichiesta(&kCheckFr, 1, 1, 50, 0)) return Fallisci(RC_PACKET_SEND);
  ImpostaScadenza(50);
  passoCorrente = P_CHECK_465;
  return 1;
}

int CLoad91FxxxBoot::Check465Ricevi() {
  int codice = RC_REPLY_TIMEOUT;
  if (RaccogliRisposta(1)) {
    if (risposta[0] == kCheckOkFr) {
      Registra("ricevuto check 465");
      tentativi = kTentativiSonda;
      passoCorrente = P_INVIO_WRITE_CHECK;
      esito = RC_OK;
      fase = ST_CHECK_BOOT;
      return 1;
    }
    RegistraValore("ricevuto errato [%02x]", risposta[0]);
    codice = RC_UNEXPECTED_REPLY;
  } else if (!Scaduto()) {
    return 1;
  }
  if (!Tentativo("check timeout provvisorio", "check timeout definitivo", codice)) return 0;
  return InvioCheck465();
}

int CLoad91FxxxBoot::InvioWriteCheck() {
  Registra("invio write check");
  if (!ComandoRom(ROM_SCRIVI)) {
    Registra("write check errore");
    return Fallisci(RC_PACKET_SEND);
  }
  if (!InviaRichiesta(kSondaScrittura, sizeof kSondaScrittura, 2, kSondaMs, 0)) {
    Registra("write check errore invio");
    return Fallisci(RC_PACKET_SEND);
  }
  sommaSegmento = 0x00FF;
  ImpostaScadenza(kSondaMs);
  passoCorrente = P_WRITE_CHECK;
  return 1;
}

int CLoad91FxxxBoot::WriteCheckRicevi() {
  int codice = RC_REPLY_TIMEOUT;
  if (RaccogliRisposta(2)) {
    if ((risposta[0] | (risposta[1] << 8)) == sommaSegmento) {
      Registra("ricevuto write check");
      tentativi = kTentativiSonda;
      passoCorrente = P_INVIO_READ_CHECK;
      esito = RC_OK;
      fase = ST_WAIT_LINK;
      return 1;
    }
    RegistraValore("ricevuto errato [%02x]", risposta[0]);
    codice = RC_UNEXPECTED_REPLY;
  } else if (!Scaduto()) {
    return 1;
  }
  if (!Tentativo("write check timeout provvisorio", "write check timeout definitivo", codice)) return 0;
  return InvioWriteCheck();
}

int CLoad91FxxxBoot::InvioReadCheck() {
  Registra("invio read check");
  if (!ComandoRom(ROM_LEGGI)) {
    Registra("read check errore");
    return Fallisci(RC_PACKET_SEND);
  }
  if (!InviaRichiesta(kSondaLettura, sizeof kSondaLettura, 6, kSondaMs, 0)) {
    Registra("read check errore invio");
    return Fallisci(RC_PACKET_SEND);
  }
  ImpostaScadenza(kSondaMs);
  passoCorrente = P_READ_CHECK;
  return 1;
}

int CLoad91FxxxBoot::ReadCheckRicevi(int* aggiorna) {
  int codice = RC_REPLY_TIMEOUT;
  if (RaccogliRisposta(6)) {
    const int somma = risposta[0] + risposta[1] + risposta[2] + risposta[3];
    if ((risposta[4] | (risposta[5] << 8)) == somma) {
      Registra("ricevuto read check");
      tentativi = 1;
      return InviaCaricatore(aggiorna);
    }
    RegistraValore("ricevuto errato [%02x]", risposta[0]);
    codice = RC_UNEXPECTED_REPLY;
  } else if (!Scaduto()) {
    return 1;
  }
  if (!Tentativo("read check timeout provvisorio", "read check timeout definitivo", codice)) return 0;
  return InvioReadCheck();
}

// --- kernel transfer ------------------------------------------------------------------------------

const std::uint8_t* CLoad91FxxxBoot::DatiSegmento(int p) const {
  return p == 0 ? immagine.data() : segmenti[static_cast<std::size_t>(p)].dati.data();
}

bool CLoad91FxxxBoot::CaricatoreCompleto() const {
  return static_cast<std::size_t>(pezzo) + 1 >= segmenti.size() && offsetPezzo >= lunghezzaPezzo;
}

int CLoad91FxxxBoot::InviaCaricatore(int* aggiorna) {
  bool nuovo = false;
  if (offsetPezzo >= lunghezzaPezzo) {
    if (static_cast<std::size_t>(pezzo) + 1 >= segmenti.size()) {
      Registra("numero byte errato");
      return Fallisci(RC_INTERNAL);
    }
    ++pezzo;
    indirizzoRam = segmenti[static_cast<std::size_t>(pezzo)].indirizzo;
    lunghezzaPezzo = pezzi[static_cast<std::size_t>(pezzo)].lunghezza;
    offsetPezzo = 0;
    nuovo = true;
  }
  fase = nuovo ? ST_LINKED : ST_SEND_LOADER;
  if (offsetPezzo == 0 && !ComandoRom(ROM_SCRIVI)) {
    Registra("write errore");
    return Fallisci(RC_SERIAL_SEND);
  }
  const std::uint32_t c = std::min<std::uint32_t>(lunghezzaPezzo - offsetPezzo, kMaxChunkKernel);
  std::uint8_t trama[6 + kMaxChunkKernel];
  int n = 0;
  if (offsetPezzo == 0) {
    // Each segment opens with its address and length, both low byte first.
    trama[n++] = static_cast<std::uint8_t>(indirizzoRam);
    trama[n++] = static_cast<std::uint8_t>(indirizzoRam >> 8);
    trama[n++] = static_cast<std::uint8_t>(indirizzoRam >> 16);
    trama[n++] = static_cast<std::uint8_t>(indirizzoRam >> 24);
    trama[n++] = static_cast<std::uint8_t>(lunghezzaPezzo);
    trama[n++] = static_cast<std::uint8_t>(lunghezzaPezzo >> 8);
    sommaSegmento = 0;
  }
  const std::uint8_t* dati = DatiSegmento(pezzo) + offsetPezzo;
  for (std::uint32_t i = 0; i < c; ++i) {
    trama[n++] = dati[i];
    sommaSegmento = static_cast<std::uint16_t>(sommaSegmento + dati[i]);
  }
  lunghezzaChunk = c;
  RegistraValori("InvioBlocco: inizio %06lx, lung. %04x", indirizzoRam, c);
  if (!InviaKernel(trama, n, 2, kChunkMs)) {
    Registra("write errore invio");
    return Fallisci(RC_SERIAL_SEND);
  }
  AggiornaOgniSecondo(aggiorna);
  passoCorrente = P_SEGMENTO;
  return 1;
}

int CLoad91FxxxBoot::SegmentoRicevi(int* aggiorna) {
  const auto avanza = [&] {
    indirizzoRam += lunghezzaChunk;
    offsetPezzo += lunghezzaChunk;
    // Only the kernel itself counts in the progress figures.
    if (pezzo == 0) {
      byteFatti += static_cast<int>(lunghezzaChunk);
      byteRimanenti -= static_cast<int>(lunghezzaChunk);
    }
  };
  if (offsetPezzo + lunghezzaChunk < lunghezzaPezzo) {
    // Inside a segment nothing is acknowledged: the next chunk follows.
    avanza();
    tentativi = 1;
    return InviaCaricatore(aggiorna);
  }
  if (!RaccogliRisposta(2)) {
    if (!Scaduto()) return 1;
    Registra("dati timeout");
  } else if ((risposta[0] | (risposta[1] << 8)) == sommaSegmento) {
    Registra("ricevuto write");
    avanza();
    if (CaricatoreCompleto()) return Chiamata();
    tentativi = 1;
    return InviaCaricatore(aggiorna);
  } else {
    RegistraValore("ricevuto errato [%02x]", risposta[0]);
  }
  if (!Tentativo("dati nuovo tentativo", "dati fine tentativi", RC_REPLY_TIMEOUT)) return 0;
  // The sum covers the whole segment: it goes again from its start.
  byteRipetuti += static_cast<int>(offsetPezzo + lunghezzaChunk);
  offsetPezzo = 0;
  indirizzoRam = segmenti[static_cast<std::size_t>(pezzo)].indirizzo;
  if (aggiorna) *aggiorna = 1;
  return InviaCaricatore(aggiorna);
}

int CLoad91FxxxBoot::Chiamata() {
  if (!ComandoRom(ROM_CHIAMA)) {
    Registra("call errore");
    return Fallisci(RC_SERIAL_SEND);
  }
  ContaSullaLinea(4);
  if (ScriviGrezzo(kChiamataKernel, 4, 0) != 4) {
    Registra("call errore invio");
    return Fallisci(RC_PACKET_SEND);
  }
  ScadenzaDopoLinea(kChiamataMs);
  passoCorrente = P_CAMBIO_VELOCITA;
  return 1;
}

// --- kernel check and sync -------------------------------------------------------------------

int CLoad91FxxxBoot::CambioVelocita() {
  if (!Scaduto()) return 1;
  RegistraValore("velocita' %d bit/s", velocitaCaricatore);
  if (!ImpostaVelocita(velocitaCaricatore)) return Fallisci(RC_PORT_ACCESS);
  Registra("cambio velocita' riuscito");
  tentativi = kTentativiLoader;
  passoCorrente = P_INVIO_CHECK_LOADER;
  return 1;
}

int CLoad91FxxxBoot::InvioCheckLoader() {
  Registra("invio check loader");
  if (!InviaKernel(&kCheckFr, 1, 1, kCheckLoaderMs)) return Fallisci(RC_PACKET_SEND);
  passoCorrente = P_CHECK_LOADER;
  return 1;
}

int CLoad91FxxxBoot::RiprovaCheckLoader(int codice) {
  if (!Tentativo("check loader timeout provvisorio", "check loader timeout definitivo", codice)) return 0;
  return InvioCheckLoader();
}

int CLoad91FxxxBoot::CheckLoaderRicevi() {
  if (RaccogliRisposta(1)) {
    if (risposta[0] == kCheckOkFr) {
      Registra("ricevuto check loader");
      return InvioSync();
    }
    RegistraValore("ricevuto errato [%02x]", risposta[0]);
    return RiprovaCheckLoader(RC_UNEXPECTED_REPLY);
  }
  if (!Scaduto()) return 1;
  return RiprovaCheckLoader(RC_REPLY_TIMEOUT);
}

int CLoad91FxxxBoot::InvioSync() {
  Registra("invio sync loader");
  if (!InviaKernel("R\r", 2, kCheckLoaderMs)) return Fallisci(RC_PACKET_SEND);
  passoCorrente = P_SYNC_LOADER;
  return 1;
}

int CLoad91FxxxBoot::RiprovaSync(int codice) {
  if (!Tentativo("sync loader timeout provvisorio", "sync loader timeout definitivo", codice)) return 0;
  return InvioSync();
}

int CLoad91FxxxBoot::SyncLoaderRicevi() {
  if (RaccogliRisposta(2)) {
    if (risposta[0] == ' ' && risposta[1] == '>') {
      Registra("ricevuto sync loader");
      return InvioBlankOWrite();
    }
    RegistraValori("ricevuti errati [%02x %02x]", risposta[0], risposta[1]);
    return RiprovaSync(RC_UNEXPECTED_REPLY);
  }
  if (!Scaduto()) return 1;
  return RiprovaSync(RC_REPLY_TIMEOUT);
}

// --- resident boot path -----------------------------------------------------------------------

int CLoad91FxxxBoot::InvioGetFirma() {
  if (!InviaTrama("InvioGetFirma:", TramaGetFirma(), kGetFirmaRisposta, kGetFirmaMs)) {
    return Fallisci(RC_SERIAL_SEND);
  }
  passoCorrente = P_GET_FIRMA;
  return 1;
}

int CLoad91FxxxBoot::RiprovaFirma(int codice) {
  if (!Tentativo("richiesta firma tentativo", "richiesta firma fine tentativi", codice)) return 0;
  return InvioGetFirma();
}

int CLoad91FxxxBoot::GetFirmaRicevi() {
  const int valutazione = ValutaFirmaBoot(RaccogliRisposta(kGetFirmaRisposta) != 0);
  if (valutazione == kRispostaAttesa) return 1;
  if (valutazione != kRispostaValida) return RiprovaFirma(valutazione);
  if (!InviaTrama("InvioGetMicro:", TramaGetMicro(), kGetMicroRisposta, kGetMicroMs)) {
    return Fallisci(RC_SERIAL_SEND);
  }
  passoCorrente = P_MICRO;
  esito = RC_OK;
  fase = ST_CHECK_BOOT;
  return 1;
}

int CLoad91FxxxBoot::MicroRicevi() {
  const int valutazione = ValutaMicroBoot(RaccogliRisposta(kGetMicroRisposta) != 0);
  if (valutazione == kRispostaAttesa) return 1;
  if (valutazione != kRispostaValida) return Fallisci(valutazione);
  if (risposta[1] != kMicroBootFr) return Fallisci(RC_BOARD_INCOMPATIBLE);
  // The boot hands over to the chip erase and answers no more.
  const CTrama t = TramaCancellaChip();
  RegistraByte("InvioCancellaChip:", t.Dati(), t.Lunghezza());
  if (ScriviGrezzo(t.Dati(), t.Lunghezza(), 0) != t.Lunghezza()) return Fallisci(RC_SERIAL_SEND);
  ImpostaScadenza(kCancellaChipMs);
  passoCorrente = P_ATTESA_CANCELLAZIONE;
  esito = RC_OK;
  fase = ST_ERASING;
  return 1;
}

int CLoad91FxxxBoot::AttesaCancellazione() {
  if (!Scaduto()) return 1;
  if (!ImpulsoIniziale(velocitaAvvio, 40, false)) {
    Registra("errore generazione impulso reset");
    return Fallisci(RC_PORT_ACCESS);
  }
  lineaLibera = 0;
  tentativi = kTentativiCheck;
  return InvioCheck465();
}

// --- write pass ---------------------------------------------------------------------------------

int CLoad91FxxxBoot::InvioBlank(std::uint32_t inizioSettore) {
  RegistraValore("InvioBlank: %06lx", inizioSettore);
  if (!InviaKernel("b", kBlankRispostaK, kBlankMsK)) return Fallisci(RC_SERIAL_SEND);
  passoCorrente = P_BLANK;
  return 1;
}

int CLoad91FxxxBoot::InvioBlankOWrite() {
  const int i = Settore(indirizzoFlash);
  if (i >= 0 && i != settoreCorrente) {
    settoreCorrente = i;
    if (modoScrittura) {
      // A new sector is blank-checked at the kernel's prompt: download mode goes first.
      modoScrittura = false;
      tentativi = kTentativiKernel;
      if (!InvioWriteQuit()) return 0;
      passoCorrente = P_WRITE_QUIT;
      return 1;
    }
    return InvioBlank(tabellaSettori[static_cast<std::size_t>(i)]);
  }
  return ScritturaInviata("InvioBlankOWrite: memoria inesistente");
}

int CLoad91FxxxBoot::ScritturaInviata(const char* rigaSenzaSettore) {
  const int r = InvioScrittura(false);
  if (r == 0) Registra(rigaSenzaSettore);
  if (r <= 0) return 0;
  esito = RC_OK;
  fase = ST_SEND_MODULE;
  passoCorrente = PassoDopoScrittura();
  return 1;
}

int CLoad91FxxxBoot::InvioScrittura(bool ripetizione) {
  std::uint32_t l = lunghezzaScrittura;
  if (!ripetizione) {
    l = std::min<std::uint32_t>(static_cast<std::uint32_t>(maxDatiRecord), restoBlocco);
    const int i = Settore(indirizzoFlash);
    // The chunk's last byte decides whether it crosses a sector end, so that
    // no record reaches into a sector that was not blank-checked.
    const int j = Settore(indirizzoFlash + l - 1);
    if (i < 0 || j < 0) {
      esito = RC_EXTFLASH_BOOT_WRITE;
      fase = ST_FAILED;
      passoCorrente = passoFine;
      return 0;
    }
    if (i != j) l = tabellaSettori[static_cast<std::size_t>(i) + 1] - indirizzoFlash;
    lunghezzaScrittura = static_cast<std::uint16_t>(l);
  } else if (!fileModulo.Sposta(-static_cast<std::int32_t>(l))) {
    Fallisci(RC_MODULE_CORRUPT);
    return -1;
  }
  if (!fileModulo.Leggi(datiScrittura, l)) {
    Fallisci(RC_MODULE_CORRUPT);
    return -1;
  }
  writeInitInviato = false;
  const bool daScrivere = std::any_of(datiScrittura, datiScrittura + l, [](std::uint8_t b) { return b != 0xFF; });
  if (!daScrivere) {
    // Erased flash already holds it; the verify pass still reads it back.
    RegistraValore("invio dati %06lx saltato", indirizzoFlash);
    recordInviato = false;
  } else if (modoScrittura) {
    if (!InvioRecordS2()) return -1;
  } else {
    Registra("invio write init");
    if (!InviaKernel("n", kWriteInitRisposta, kWriteMsK)) {
      Fallisci(RC_SERIAL_SEND);
      return -1;
    }
    recordInviato = false;
    writeInitInviato = true;
  }
  AggiornaOgniSecondo(aggiornaCorrente);
  if (!ripetizione) tentativi = kTentativiKernel;
  return 1;
}

int CLoad91FxxxBoot::InvioRecordS2() {
  std::uint8_t record[kMaxDatiRecordFr + 7];
  const int n = RecordS2(indirizzoFlash, datiScrittura, lunghezzaScrittura, record);
  RegistraValore("invio dati %06lx", indirizzoFlash);
  if (!InviaKernel(record, n, 1, kWriteMsK)) {
    Fallisci(RC_SERIAL_SEND);
    return 0;
  }
  modoScrittura = true;
  recordInviato = true;
  return 1;
}

int CLoad91FxxxBoot::InvioEraseInit() {
  Registra("InvioEraseInit");
  if (!InviaKernel("s", kEraseInitRisposta, kEraseMsK)) return Fallisci(RC_SERIAL_SEND);
  passoCorrente = P_ERASE_INIT;
  return 1;
}

int CLoad91FxxxBoot::BlankRicevi() {
  if (!RaccogliRisposta(kBlankRispostaK)) {
    if (!Scaduto()) return 1;
    RegistraValore("blank timeout, ricevuti %d caratteri", byteRicevuti);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto inizio blank margine %d tick");
  int valori[6] = {};
  const int lettura = ValoriBlank(risposta, kBlankRispostaK, valori);
  int continua = 1;
  if (lettura == 1) {
    Registra("BlankRicevi: inizio risposta errato");
    continua = Fallisci(RC_UNEXPECTED_REPLY);
  } else if (lettura == 2) {
    Registra("BlankRicevi: blocchi risposta errato");
    continua = Fallisci(RC_UNEXPECTED_REPLY);
  } else if (valori[settoreCorrente + 4] != 0) {
    // The kernel numbers the sectors from 4: a nonzero value is a blank sector.
    continua = ScritturaInviata("TrasfBlankRicevi: memoria inesistente");
  } else {
    continua = InvioEraseInit();
    tentativi = kTentativiKernel;
  }
  // The kernel needs a moment at its prompt after the check.
  Orologio().Dormi(kPausaDopoBlankMs);
  return continua;
}

int CLoad91FxxxBoot::RiprovaErase(int codice) {
  if (!Tentativo("erase nuovo tentativo", "erase fine tentativi", codice)) return 0;
  return InvioEraseInit();
}

int CLoad91FxxxBoot::EraseInitRicevi() {
  if (!RaccogliRisposta(kEraseInitRisposta)) {
    if (!Scaduto()) return 1;
    RegistraPrefissoValore("TrasfEraseInitRicevi: ", "timeout, ricevuti %d caratteri", byteRicevuti);
    return RiprovaErase(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto erase init margine %d tick");
  if (!UgualeTesto(risposta, kEraseInit, kEraseInitRisposta)) {
    Registra("TrasfEraseInitRicevi: risposta errata");
    return RiprovaErase(RC_BLOCK_ERASE);
  }
  char numero[8];
  std::snprintf(numero, sizeof numero, "%02d\r", (settoreCorrente + 4) % 100);
  RegistraByte("InvioEraseSect:", reinterpret_cast<const std::uint8_t*>(numero), 3);
  if (!InviaKernel(numero, kEraseRispostaK, kEraseMsK)) {
    Registra("TrasfEraseInitRicevi: memoria inesistente");
    return Fallisci(RC_SERIAL_SEND);
  }
  passoCorrente = P_ERASE_SECT;
  esito = RC_OK;
  fase = ST_SEND_MODULE;
  return 1;
}

int CLoad91FxxxBoot::EraseSectRicevi() {
  if (!RaccogliRisposta(kEraseRispostaK)) {
    if (!Scaduto()) return 1;
    RegistraPrefissoValore("EraseRicevi: ", "timeout, ricevuti %d caratteri", byteRicevuti);
    return RiprovaErase(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto erase margine %d tick");
  const int coda = static_cast<int>(std::strlen(kCodaErase));
  if (!UgualeTesto(risposta + kEraseRispostaK - coda, kCodaErase, coda)) {
    Registra("EraseRicevi: risposta errata");
    return RiprovaErase(RC_BLOCK_ERASE);
  }
  return ScritturaInviata("TrasfEraseRicevi: memoria inesistente");
}

int CLoad91FxxxBoot::WriteInitRicevi() {
  if (!RaccogliRisposta(kWriteInitRisposta)) {
    if (!Scaduto()) return 1;
    RegistraValore("write init timeout, ricevuti %d caratteri", byteRicevuti);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto inizio write margine %d tick");
  if (!UgualeTesto(risposta, kWriteInit, kWriteInitRisposta)) {
    Registra("WriteInitRicevi: inizio risposta errato");
    return Fallisci(RC_UNEXPECTED_REPLY);
  }
  Registra("invio write mode");
  if (!InviaKernel("HEXDWL\r", 6, kWriteMsK)) return Fallisci(RC_SERIAL_SEND);
  passoCorrente = P_WRITE_MODE;
  fase = ST_SEND_MODULE;
  return 1;
}

int CLoad91FxxxBoot::WriteModeRicevi() {
  if (!RaccogliRisposta(6)) {
    if (!Scaduto()) return 1;
    RegistraValore("write init timeout, ricevuti %d caratteri", byteRicevuti);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto mode write margine %d tick");
  if (!UgualeTesto(risposta, kModoWrite, 6)) {
    Registra("WriteModeRicevi: inizio risposta errato");
    return Fallisci(RC_UNEXPECTED_REPLY);
  }
  if (!InvioRecordS2()) return 0;
  passoCorrente = P_WRITE;
  fase = ST_SEND_MODULE;
  return 1;
}

int CLoad91FxxxBoot::RiprovaWrite(int codice) {
  if (!Tentativo("write altro tentativo", "write errore definitivo", codice)) return 0;
  byteRipetuti += lunghezzaScrittura;
  if (aggiornaCorrente) *aggiornaCorrente = 1;
  if (InvioScrittura(true) <= 0) return 0;
  passoCorrente = PassoDopoScrittura();
  return 1;
}

int CLoad91FxxxBoot::WriteRicevi() {
  if (!recordInviato) return TrasfWriteSuccessivo();
  if (!RaccogliRisposta(1)) {
    if (!Scaduto()) return 1;
    RegistraPrefissoValore("WriteRicevi: ", "timeout, ricevuti %d caratteri", byteRicevuti);
    return RiprovaWrite(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto write margine %d tick");
  if (risposta[0] != kAck) {
    Registra("WriteRicevi: risposta errata");
    return RiprovaWrite(RC_REPLY_CRC);
  }
  return TrasfWriteSuccessivo();
}

int CLoad91FxxxBoot::TrasfWriteSuccessivo() {
  indirizzoFlash += lunghezzaScrittura;
  restoBlocco -= lunghezzaScrittura;
  byteRimanenti -= lunghezzaScrittura;
  byteFatti += lunghezzaScrittura;
  if (restoBlocco == 0) {
    ++bloccoCorrente;
    if (bloccoCorrente >= blocchiModulo) return FinePassataScrittura();
    int lunghezza = 0;
    int indirizzo = 0;
    if (!ProssimoBlocco(&lunghezza, &indirizzo)) return Fallisci(RC_INTERNAL);
    restoBlocco = static_cast<std::uint32_t>(lunghezza);
    indirizzoFlash = static_cast<std::uint32_t>(indirizzo);
    // The module's last word is programmed on its own at the very end.
    if (UltimoRecordParola()) return FinePassataScrittura();
  }
  return InvioBlankOWrite();
}

int CLoad91FxxxBoot::FinePassataScrittura() {
  int lunghezza = 0;
  int indirizzo = 0;
  if (!fileModulo.Posiziona(inizioModulo) || !ProssimoBlocco(&lunghezza, &indirizzo)) {
    return Fallisci(RC_INTERNAL);
  }
  restoBlocco = static_cast<std::uint32_t>(lunghezza);
  indirizzoFlash = static_cast<std::uint32_t>(indirizzo);
  bloccoCorrente = 0;
  if (modoScrittura) {
    modoScrittura = false;
    tentativi = kTentativiKernel;
    if (!InvioWriteQuit()) return 0;
    passoCorrente = P_WRITE_FINE;
    return 1;
  }
  const int r = InvioLettura(false);
  if (r == 0) {
    Registra("TrasfWriteSuccessivo: memoria inesistente");
    return Fallisci(RC_EXTFLASH_BOOT_READ);
  }
  return r > 0 ? 1 : 0;
}

int CLoad91FxxxBoot::InvioWriteQuit() {
  Registra("invio write quit");
  // Download mode ends on a run of carriage returns.
  for (int i = 0; i < kCrQuit; ++i) {
    ContaSullaLinea(1);
    ScriviGrezzo(&kCr, 1, 0);
    Orologio().Dormi(kPausaCrMs);
  }
  if (!InviaKernel(&kCr, 1, 1, kQuitMs)) return Fallisci(RC_SERIAL_SEND);
  return 1;
}

int CLoad91FxxxBoot::RiprovaQuit(int codice) {
  if (!Tentativo("write quit altro tentativo", "write quit errore definitivo", codice)) return 0;
  return InvioWriteQuit();
}

int CLoad91FxxxBoot::WriteQuitRicevi(bool fine) {
  if (!RaccogliRisposta(1)) {
    if (!Scaduto()) return 1;
    RegistraValore(fine ? "write fine timeout, ricevuti %d caratteri" : "write quit timeout, ricevuti %d caratteri",
                   byteRicevuti);
    return RiprovaQuit(RC_REPLY_TIMEOUT);
  }
  RegistraMargine(fine ? "ricevuto fine write margine %d tick" : "ricevuto quit write margine %d tick");
  if (risposta[0] != '>') {
    RegistraValore(fine ? "write fine risposta inattesa %02x" : "write quit risposta inattesa %02x", risposta[0]);
    return RiprovaQuit(RC_UNEXPECTED_REPLY);
  }
  if (!fine) return InvioBlank(tabellaSettori[static_cast<std::size_t>(settoreCorrente)]);
  const int r = InvioLettura(false);
  if (r == 0) {
    Registra("TrasfWriteFineRicevi: memoria inesistente");
    return Fallisci(RC_EXTFLASH_BOOT_READ);
  }
  return r > 0 ? 1 : 0;
}

// --- verify pass and the last word ----------------------------------------------------------------

int CLoad91FxxxBoot::InvioLettura(bool ripetizione) {
  if (!ripetizione) {
    std::uint32_t r = std::min<std::uint32_t>(restoBlocco, kMaxLetturaFr);
    const int i = Settore(indirizzoFlash);
    const int j = Settore(indirizzoFlash + r - 1);
    if (i < 0 || j < 0) return 0;
    if (i != j) r = tabellaSettori[static_cast<std::size_t>(i) + 1] - indirizzoFlash;
    lunghezzaLettura = static_cast<std::uint16_t>(r);
    if (!fileModulo.Leggi(datiFile, r)) {
      Fallisci(RC_MODULE_CORRUPT);
      return -1;
    }
    tentativi = kTentativiKernel;
  }
  Registra("invio read init");
  if (!InviaKernel("r", kInitRisposta, kInitMs)) {
    Fallisci(RC_SERIAL_SEND);
    return -1;
  }
  AggiornaOgniSecondo(aggiornaCorrente);
  passoCorrente = P_READ_INIT;
  esito = RC_OK;
  fase = ST_CHECK_TRANSFER;
  return 1;
}

int CLoad91FxxxBoot::RiprovaRead(int codice) {
  if (!Tentativo("read altro tentativo", "read errore definitivo", codice)) return 0;
  byteRipetuti += lunghezzaLettura;
  if (aggiornaCorrente) *aggiornaCorrente = 1;
  return InvioLettura(true) > 0 ? 1 : 0;
}

int CLoad91FxxxBoot::ReadInitRicevi() {
  if (!RaccogliRisposta(kInitRisposta)) {
    if (!Scaduto()) return 1;
    RegistraValore("read init timeout, ricevuti %d caratteri", byteRicevuti);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto inizio read margine %d tick");
  if (!UgualeTesto(risposta, kIndirizzo, kInitRisposta)) {
    RegistraByte("ReadInitRicevi: risposta errata", risposta, kInitRisposta);
    RegistraByte("ReadInitRicevi: risposta attesa", reinterpret_cast<const std::uint8_t*>(kIndirizzo), kInitRisposta);
    return Fallisci(RC_UNEXPECTED_REPLY);
  }
  RegistraValore("InvioReadAddr: %08lx", indirizzoFlash);
  if (!InviaKernel(Esadecimale(indirizzoFlash, 8).c_str(), kReadAddrRisposta, kAddrMs)) {
    return Fallisci(RC_SERIAL_SEND);
  }
  passoCorrente = P_READ_ADDR;
  fase = ST_CHECK_TRANSFER;
  return 1;
}

int CLoad91FxxxBoot::ReadAddrRicevi() {
  if (!RaccogliRisposta(kReadAddrRisposta)) {
    if (!Scaduto()) return 1;
    RegistraValore("read addr timeout, ricevuti %d caratteri", byteRicevuti);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto addr read margine %d tick");
  if (!UgualeTesto(risposta + 8, kLunghezza, 6)) {
    static const char kAttesa[] = "????????\r\nLEN:";
    RegistraByte("ReadAddrRicevi: risposta errata", risposta, kReadAddrRisposta);
    RegistraByte("ReadAddrRicevi: risposta attesa", reinterpret_cast<const std::uint8_t*>(kAttesa), 14);
    return Fallisci(RC_UNEXPECTED_REPLY);
  }
  RegistraValore("InvioReadNum: %03x", lunghezzaLettura);
  if (!InviaKernel(Esadecimale(lunghezzaLettura, 3).c_str(), LunghezzaDump(lunghezzaLettura), kReadMsK)) {
    return Fallisci(RC_SERIAL_SEND);
  }
  passoCorrente = P_READ_DATI;
  fase = ST_CHECK_TRANSFER;
  return 1;
}

int CLoad91FxxxBoot::ReadDatiRicevi() {
  const int n = LunghezzaDump(lunghezzaLettura);
  if (!RaccogliRisposta(n)) {
    if (!Scaduto()) return 1;
    RegistraPrefissoValore("ReadRicevi: ", "timeout, ricevuti %d caratteri", byteRicevuti);
    RegistraValore("ReadRicevi: attesi %d", n);
    RegistraByte("ReadRicevi: risposta", risposta, std::min<int>(byteRicevuti, static_cast<int>(sizeof risposta)));
    return RiprovaRead(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto read margine %d tick");
  if (!IntestazioneDumpValida(risposta, n)) {
    Registra("ReadDatiRicevi: risposta malformata");
    return RiprovaRead(RC_UNEXPECTED_REPLY);
  }
  std::uint8_t letti[kMaxLetturaFr];
  std::string riga;
  if (!EstraiDatiLetti(risposta, n, lunghezzaLettura, letti, &riga)) {
    Registra(riga);
    Registra("ReadDatiRicevi: risposta malformata");
    RegistraByte("EstraiDatiLetti: risposta", risposta + kIntestazioneDump, n - kIntestazioneDump);
    return RiprovaRead(RC_REPLY_CRC);
  }
  if (!std::equal(datiFile, datiFile + lunghezzaLettura, letti)) {
    Registra("contenuto della flash non corrispondente");
    return Fallisci(RC_FLASH_WRITE);
  }
  return TrasfReadSuccessivo();
}

int CLoad91FxxxBoot::TrasfReadSuccessivo() {
  indirizzoFlash += lunghezzaLettura;
  restoBlocco -= lunghezzaLettura;
  byteRimanenti -= lunghezzaLettura;
  byteFatti += lunghezzaLettura;
  if (restoBlocco == 0) {
    ++bloccoCorrente;
    // Every record was written and verified, and none was left for the last word.
    if (bloccoCorrente >= blocchiModulo) return Fallisci(RC_FILE_UNLOADABLE);
    int lunghezza = 0;
    int indirizzo = 0;
    if (!ProssimoBlocco(&lunghezza, &indirizzo)) return Fallisci(RC_INTERNAL);
    restoBlocco = static_cast<std::uint32_t>(lunghezza);
    indirizzoFlash = static_cast<std::uint32_t>(indirizzo);
    if (UltimoRecordParola()) {
      Registra("invio Prog32 init");
      if (!InviaKernel("p", kInitRisposta, kInitMs)) return Fallisci(RC_SERIAL_SEND);
      AggiornaOgniSecondo(aggiornaCorrente);
      passoCorrente = P_PROG32_INIT;
      fase = ST_CHECK_TRANSFER;
      return 1;
    }
  }
  const int r = InvioLettura(false);
  if (r == 0) {
    Registra("TrasfReadSuccessivo: memoria inesistente");
    return Fallisci(RC_EXTFLASH_BOOT_READ);
  }
  return r > 0 ? 1 : 0;
}

int CLoad91FxxxBoot::Prog32InitRicevi() {
  if (!RaccogliRisposta(kInitRisposta)) {
    if (!Scaduto()) return 1;
    RegistraValore("prog32 init timeout, ricevuti %d caratteri", byteRicevuti);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto inizio prog32 margine %d tick");
  if (!UgualeTesto(risposta, kIndirizzo, kInitRisposta)) {
    Registra("Prog32InitRicevi: risposta errata");
    return Fallisci(RC_UNEXPECTED_REPLY);
  }
  RegistraValore("InvioProg32Addr: %08lx", indirizzoFlash);
  if (!InviaKernel(Esadecimale(indirizzoFlash, 8).c_str(), kProg32AddrRisposta, kAddrMs)) {
    return Fallisci(RC_SERIAL_SEND);
  }
  passoCorrente = P_PROG32_ADDR;
  fase = ST_CHECK_TRANSFER;
  return 1;
}

int CLoad91FxxxBoot::Prog32AddrRicevi() {
  if (!RaccogliRisposta(kProg32AddrRisposta)) {
    if (!Scaduto()) return 1;
    RegistraValore("prog32 addr timeout, ricevuti %d caratteri", byteRicevuti);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto addr prog32 margine %d tick");
  if (!UgualeTesto(risposta + 8, kDato, 7)) {
    Registra("Prog32AddrRicevi: risposta errata");
    return Fallisci(RC_UNEXPECTED_REPLY);
  }
  std::uint8_t parola[4];
  if (!fileModulo.Leggi(parola, 4)) return Fallisci(RC_MODULE_CORRUPT);
  std::string cifre;
  for (std::uint8_t b : parola) cifre += Esadecimale(b, 2);
  RegistraByte("InvioProg32Addr:", reinterpret_cast<const std::uint8_t*>(cifre.data()), 8);
  if (!InviaKernel(cifre.c_str(), kProg32DatoRisposta, kProg32Ms)) return Fallisci(RC_SERIAL_SEND);
  passoCorrente = P_PROG32_DATO;
  fase = ST_CHECK_TRANSFER;
  return 1;
}

int CLoad91FxxxBoot::Prog32DatoRicevi() {
  if (!RaccogliRisposta(kProg32DatoRisposta)) {
    if (!Scaduto()) return 1;
    RegistraValore("prog32 addr timeout, ricevuti %d caratteri", byteRicevuti);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  RegistraMargine("ricevuto dato prog32 margine %d tick");
  if (!UgualeTesto(risposta + 8, kProg32Ok, 9)) {
    Registra("Prog32DatoRicevi: risposta errata");
    return Fallisci(RC_UNEXPECTED_REPLY);
  }
  Registra("traferimento completato");
  if (aggiornaCorrente) *aggiornaCorrente = 1;
  return Riuscito();
}

// --- the MB91F465 ---------------------------------------------------------------------------------

CLoad91F465Boot::CLoad91F465Boot()
    : CLoad91FxxxBoot(kCaricatore91F465, kLunghezza91F465,
                      {{0x00030000, {}},
                       {0x0002FFFE, {0x00, 0xD0}},
                       {0x0002FFF1, {0x00}},
                       {0x0002FFF5, {0x00}},
                       {0x0002FFF9, {0x00}},
                       {0x00000680, {0x00}},
                       {0x00000681, {0xFF}},
                       {0x0003FFF0, {0x00, 0x00}}},
                      {0x148000, 0x14C000, 0x150000}) {}

}  // namespace bricola
