#include "targets/load_68331.h"

#include <algorithm>

#include "base/esiti.h"
#include "comm/porta_seriale.h"

namespace bricola {

namespace {

std::uint32_t LeggiU32BE(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

void ScriviU32BE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

// A board that floods the line must not hold a step forever: at most this
// many port reads per step (the rest waits for the next step).
constexpr int kMaxLetture = 20;

// A request of the board: G, machine code, packet index.
constexpr int kLunghezzaRichiesta = 7;

}  // namespace

// --- link layer --------------------------------------------------------------------

std::uint8_t CCollegamento68331::Checksum(const std::uint8_t* dati, int n) {
  unsigned somma = 0;
  for (int k = 0; k < n; ++k) somma += static_cast<unsigned>(k) + dati[k];
  return static_cast<std::uint8_t>(somma);
}

std::vector<std::uint8_t> CCollegamento68331::Trama(const std::uint8_t* payload, int n) {
  std::vector<std::uint8_t> t;
  if (n < 0 || n > kMaxTrama) return t;
  t.reserve(static_cast<std::size_t>(2 * n + 4));
  t.push_back(kDelimitatore);
  t.push_back(kDelimitatore);
  for (int i = 0; i < n; ++i) {
    t.push_back(payload[i]);
    if (payload[i] == kDelimitatore) t.push_back(kRiempimento);
  }
  t.push_back(kDelimitatore);
  t.push_back(kDelimitatore);
  return t;
}

std::vector<std::uint8_t> CCollegamento68331::Pacchetto(const std::uint8_t* dati, int n) {
  std::vector<std::uint8_t> p;
  if (n < 0 || n > kMaxPacchetto) return p;
  p.resize(static_cast<std::size_t>(n) + 3);
  ScriviU16BE(p.data(), static_cast<std::uint16_t>(n));
  std::copy(dati, dati + n, p.begin() + 2);
  p[static_cast<std::size_t>(n) + 2] = Checksum(p.data(), n + 2);
  return p;
}

void CCollegamento68331::AzzeraCollegamento() {
  statoTrama = 0;
  corrente.lunghezza = 0;
  troppoLunga = false;
  primaTrama = 0;
  numeroTrame = 0;
  overflowTrame = 0;
  primoPacchetto = 0;
  numeroPacchetti = 0;
  overflowPacchetti = 0;
}

int CCollegamento68331::InviaTrama(const std::uint8_t* payload, int n) {
  if (n < 0 || n > kMaxTrama) return 0;
  const std::vector<std::uint8_t> t = Trama(payload, n);
  const int scritti = ScriviPorta(handle, t.data(), static_cast<int>(t.size()));
  return scritti == static_cast<int>(t.size()) ? 1 : 0;
}

int CCollegamento68331::InviaPacchetto(const std::uint8_t* dati, int n) {
  if (n < 0 || n > kMaxPacchetto) return 0;
  const std::vector<std::uint8_t> p = Pacchetto(dati, n);
  return InviaTrama(p.data(), static_cast<int>(p.size()));
}

void CCollegamento68331::ChiudiTrama() {
  // A frame longer than a slot cannot hold a packet: it is dropped whole.
  if (!troppoLunga) {
    if (numeroTrame == kMaxInCoda) {
      primaTrama = (primaTrama + 1) % kSlot;
      --numeroTrame;
      overflowTrame = 1;
    }
    trame[static_cast<std::size_t>((primaTrama + numeroTrame) % kSlot)] = corrente;
    ++numeroTrame;
  }
  corrente.lunghezza = 0;
  troppoLunga = false;
}

void CCollegamento68331::Assembla(const std::uint8_t* dati, int n) {
  const auto aggiungi = [this](std::uint8_t b) {
    if (corrente.lunghezza < kMaxTrama) {
      corrente.dati[corrente.lunghezza++] = b;
    } else {
      troppoLunga = true;
    }
  };
  for (int i = 0; i < n; ++i) {
    const std::uint8_t b = dati[i];
    switch (statoTrama) {
      case 0:
        if (b == kDelimitatore) statoTrama = 1;
        break;
      case 1:
        if (b == kDelimitatore) {
          statoTrama = 2;
          corrente.lunghezza = 0;
          troppoLunga = false;
        } else {
          statoTrama = 0;
        }
        break;
      case 2:
        if (b == kDelimitatore) {
          statoTrama = 3;
        } else {
          aggiungi(b);
        }
        break;
      default:
        statoTrama = 2;
        if (b != kDelimitatore) {
          // A 47 inside the payload; the stuffing byte after it is dropped.
          aggiungi(kDelimitatore);
        } else if (corrente.lunghezza > 0 || troppoLunga) {
          ChiudiTrama();
        }
        break;
    }
  }
}

void CCollegamento68331::FrameInPacchetti() {
  while (numeroTrame > 0) {
    const SSlotTrama& t = trame[static_cast<std::size_t>(primaTrama)];
    primaTrama = (primaTrama + 1) % kSlot;
    --numeroTrame;
    if (t.lunghezza <= 2) continue;
    SSlotPacchetto p;
    const int n = LeggiU16BE(t.dati.data());
    if (n + 3 != t.lunghezza) {
      p.stato = PACCHETTO_LUNGHEZZA;
    } else if (Checksum(t.dati.data(), t.lunghezza - 1) != t.dati[t.lunghezza - 1u]) {
      p.stato = PACCHETTO_CHECKSUM;
    } else {
      p.stato = PACCHETTO_BUONO;
      p.lunghezza = static_cast<std::uint16_t>(n);
      std::copy(t.dati.begin() + 2, t.dati.begin() + 2 + n, p.dati.begin());
    }
    if (numeroPacchetti == kMaxInCoda) {
      primoPacchetto = (primoPacchetto + 1) % kSlot;
      --numeroPacchetti;
      overflowPacchetti = 1;
    }
    pacchetti[static_cast<std::size_t>((primoPacchetto + numeroPacchetti) % kSlot)] = p;
    ++numeroPacchetti;
  }
}

void CCollegamento68331::RiceviTrame() {
  std::uint8_t buffer[kLetturaPorta];
  for (int letture = 0; letture < kMaxLetture; ++letture) {
    const int n = LeggiPorta(handle, buffer, kLetturaPorta);
    // A failed read leaves the frames kept so far for the next step.
    if (n < 0) return;
    if (n == 0) break;
    Assembla(buffer, n);
  }
  FrameInPacchetti();
}

int CCollegamento68331::PrendiPacchetto(std::uint8_t* buffer, int capacita, int* overflow, int* stato) {
  *overflow = overflowPacchetti;
  overflowPacchetti = 0;
  if (numeroPacchetti == 0) {
    *stato = -1;
    return 0;
  }
  const SSlotPacchetto& p = pacchetti[static_cast<std::size_t>(primoPacchetto)];
  primoPacchetto = (primoPacchetto + 1) % kSlot;
  --numeroPacchetti;
  *stato = p.stato;
  const int n = std::min<int>(p.lunghezza, std::max(capacita, 0));
  std::copy(p.dati.begin(), p.dati.begin() + n, buffer);
  return n;
}

// --- loader ----------------------------------------------------------------------------

std::vector<std::uint8_t> CLoad68331::MessaggioAvvio(std::uint32_t totale, std::uint16_t dimensione) {
  std::vector<std::uint8_t> m(7);
  m[0] = kMsgAvvio;
  ScriviU32BE(&m[1], totale);
  ScriviU16BE(&m[5], dimensione);
  return m;
}

int CLoad68331::Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
                      std::uint16_t codice, const std::uint32_t*, int tipoModulo, int, int,
                      CInterfaccia* interfaccia, int, const int* velocita, int, int* esitoAvvio) {
  const auto rifiuta = [&](int codiceEsito) {
    stato = 2;
    fase = ST_FAILED;
    esito = codiceEsito;
    *esitoAvvio = codiceEsito;
    return 0;
  };
  if (tipoModulo != 0) return rifiuta(RC_MODULE_TYPE);
  collegamento.AzzeraCollegamento();
  if (!fileModulo.ApriLettura(percorso)) {
    Registra("errore apertura file");
    return rifiuta(RC_FILE_OPEN);
  }
  codiceMacchina = codice;
  fileModulo.Posiziona(inizio);
  handlePorta = interfaccia ? interfaccia->handle : kHandleNonValido;
  collegamento.ImpostaPorta(handlePorta);

  // The line goes to the module's speed before the first request, so the
  // board never sees the start request at another speed.
  const int baud = velocita ? velocita[0] : 0;
  if (ImpostaBaud(handlePorta, baud) != 0) {
    RegistraValore("errore impostazione velocita' %d bit/s", baud);
    fileModulo.Chiudi();
    return rifiuta(RC_PORT_ACCESS);
  }
  RegistraValore("velocita' %d bit/s", baud);
  orologio->Dormi(50);

  byteTotali = byteRimanenti = static_cast<int>(fine - inizio);
  byteFatti = 0;
  byteRipetuti = 0;
  indicePacchetto = 0;
  lunghezzaPacchetto = 0;
  tempoInizio = tempoUltimo = 0;
  contatore68331 = kDimensionePacchetto;
  RegistraValore("modulo 68331 di %d byte", byteTotali);
  // One that does not go out is tried again a second later; a second failure ends the job.
  (void)InviaAvvio();
  stato = 0;
  esito = RC_OK;
  fase = ST_WAIT_LINK;
  prossimoAvvio = orologio->Millisecondi() + kRipetizioneAvvioMs;
  *esitoAvvio = RC_OK;
  return 1;
}

int CLoad68331::InviaAvvio() {
  const std::vector<std::uint8_t> m =
      MessaggioAvvio(static_cast<std::uint32_t>(byteTotali), static_cast<std::uint16_t>(contatore68331));
  RegistraByte("InvioAvvio:", m.data(), static_cast<int>(m.size()));
  if (!collegamento.InviaPacchetto(m.data(), static_cast<int>(m.size()))) {
    Registra("InvioAvvio: invio non riuscito");
    return 0;
  }
  return 1;
}

int CLoad68331::Passo(int* aggiorna) {
  *aggiorna = 0;
  collegamento.RiceviTrame();
  int risultato = 1;
  switch (stato) {
    case 0:
      risultato = PassoPrimaRichiesta();
      break;
    case 1:
      risultato = PassoInvio(aggiorna);
      break;
    default:
      break;
  }
  if (!risultato) *aggiorna = 1;
  return risultato;
}

int CLoad68331::Termina() {
  fileModulo.Chiudi();
  return 1;
}

int CLoad68331::Fallisci(int codice) {
  stato = 2;
  esito = codice;
  fase = ST_FAILED;
  return 0;
}

int CLoad68331::Finito() {
  stato = 2;
  esito = RC_OK;
  fase = ST_DONE;
  Registra("trasferimento completato");
  return 0;
}

int CLoad68331::PassoPrimaRichiesta() {
  std::uint8_t m[CCollegamento68331::kMaxTrama];
  int overflow = 0;
  int statoPacchetto = 0;
  const int n = collegamento.PrendiPacchetto(m, sizeof m, &overflow, &statoPacchetto);
  if (overflow) {
    Registra("overrun ricezione");
    return Fallisci(RC_OVERRUN);
  }
  if (n == 0) {
    if (orologio->Millisecondi() >= prossimoAvvio) {
      Registra("nessuna richiesta dalla scheda, nuovo avvio");
      // The job waits for a silent board without end, but not for a line
      // that no longer takes a byte: that wait could never end.
      if (!InviaAvvio()) return Fallisci(RC_PACKET_SEND);
      esito = RC_OK;
      fase = ST_WAIT_LINK;
      prossimoAvvio = orologio->Millisecondi() + kRipetizioneAvvioMs;
    }
    return 1;
  }
  if (m[0] == kMsgFine) {
    // The board may close only what it has received whole.
    if (byteRimanenti != 0) {
      Registra("fine dalla scheda prima di ogni pacchetto");
      return Fallisci(RC_UNEXPECTED_REPLY);
    }
    return Finito();
  }
  if (m[0] != kMsgRichiesta || n < kLunghezzaRichiesta) return 1;
  tempoInizio = tempoUltimo = Secondi();
  const std::uint16_t codice = LeggiU16BE(&m[1]);
  const std::uint32_t indice = LeggiU32BE(&m[3]);
  if (codiceMacchina != 0xFFFF && codice != codiceMacchina) {
    RegistraValore("distributore errato %04x", codice);
    return Fallisci(RC_PROGRAM_INCOMPATIBLE);
  }
  RegistraValore("richiesta pacchetto %ld", indice);
  if (indice == static_cast<std::uint32_t>(indicePacchetto)) return InviaPacchettoDati(indicePacchetto, true);
  if (byteRimanenti == 0) {
    RegistraValore("pacchetto oltre fine file %ld", indice);
    return Fallisci(RC_PACKET_PAST_END);
  }
  RegistraValore("pacchetto fuori sequenza %ld", indice);
  return Fallisci(RC_PACKET_SEQUENCE);
}

int CLoad68331::PassoInvio(int* aggiorna) {
  std::uint8_t m[CCollegamento68331::kMaxTrama];
  int overflow = 0;
  int statoPacchetto = 0;
  const int n = collegamento.PrendiPacchetto(m, sizeof m, &overflow, &statoPacchetto);
  if (overflow) {
    Registra("overrun ricezione");
    return Fallisci(RC_OVERRUN);
  }
  if (n > 0 && m[0] == kMsgRichiesta && n >= kLunghezzaRichiesta) {
    const std::uint32_t indice = LeggiU32BE(&m[3]);
    if (indice == static_cast<std::uint32_t>(indicePacchetto)) {
      RegistraValore("ripetizione pacchetto %ld", indice);
      byteRipetuti += lunghezzaPacchetto;
      if (!collegamento.InviaPacchetto(pacchetto.data(), kTesta + lunghezzaPacchetto)) {
        Registra("errore invio pacchetto");
        return Fallisci(RC_PACKET_SEND);
      }
      ImpostaScadenza(kAttesaRichiestaMs);
    } else if (byteRimanenti == 0) {
      RegistraValore("pacchetto oltre fine file %ld", indice);
      return Fallisci(RC_PACKET_PAST_END);
    } else if (indice == static_cast<std::uint32_t>(indicePacchetto) + 1) {
      ++indicePacchetto;
      byteFatti += lunghezzaPacchetto;
      byteRimanenti -= lunghezzaPacchetto;
      if (!InviaPacchettoDati(indicePacchetto, false)) return 0;
    } else {
      RegistraValore("pacchetto fuori sequenza %ld", indice);
      return Fallisci(RC_PACKET_SEQUENCE);
    }
  } else if (n > 0 && m[0] == kMsgFine) {
    byteRimanenti -= lunghezzaPacchetto;
    byteFatti += lunghezzaPacchetto;
    if (byteRimanenti != 0) {
      // Success only when every byte of the module went out.
      RegistraValore("fine dalla scheda con %d byte ancora da inviare", byteRimanenti);
      return Fallisci(RC_UNEXPECTED_REPLY);
    }
    return Finito();
  } else if (Scaduto()) {
    // The board asks again by itself about every second; this long a silence
    // means it has given the transfer up.
    RegistraValore("nessuna richiesta dalla scheda dopo il pacchetto %ld", indicePacchetto);
    return Fallisci(RC_REPLY_TIMEOUT);
  }
  if (Secondi() != tempoUltimo || stato == 2) {
    tempoUltimo = Secondi();
    *aggiorna = 1;
  }
  return 1;
}

int CLoad68331::InviaPacchettoDati(int n, bool primo) {
  lunghezzaPacchetto = static_cast<std::uint16_t>(
      std::max(0, std::min<int>(contatore68331, byteRimanenti)));
  if (lunghezzaPacchetto > 0 && !fileModulo.Leggi(pacchetto.data() + kTesta, lunghezzaPacchetto)) {
    Registra("errore lettura modulo");
    return Fallisci(RC_MODULE_CORRUPT);
  }
  pacchetto[0] = kMsgDati;
  ScriviU16BE(&pacchetto[1], codiceMacchina);
  ScriviU32BE(&pacchetto[3], static_cast<std::uint32_t>(n));
  RegistraValori("invio pacchetto %ld, %d byte", n, lunghezzaPacchetto);
  if (!collegamento.InviaPacchetto(pacchetto.data(), kTesta + lunghezzaPacchetto)) {
    Registra("errore invio pacchetto");
    return Fallisci(RC_PACKET_SEND);
  }
  ImpostaScadenza(kAttesaRichiestaMs);
  if (primo) {
    stato = 1;
    esito = RC_OK;
    fase = ST_LINKED;
  }
  return 1;
}

}  // namespace bricola
