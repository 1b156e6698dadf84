#include "key/load_tree.h"

#include <cctype>
#include <vector>

#include "base/esiti.h"
#include "image/analisi.h"
#include "image/cifra.h"

namespace bricola {

namespace {

constexpr std::uint32_t kTestaRecord = 8;
constexpr std::uint32_t kTestaBlocco = 12;
constexpr std::uint32_t kTestaVoce = 16;

enum : std::uint8_t { VOCE_FILE = 0, VOCE_DESCRIZIONE = 1, VOCE_CARTELLA = 2 };

}  // namespace

std::optional<std::string> PercorsoRelativoSicuro(const std::string& nome) {
  std::string n = nome;
  NormalizzaSeparatori(n);
  if (!n.empty() && n[0] == kSeparatore) return std::nullopt;
  // A drive letter ("C:\...", "C:x") names a place of its own, not one below the target.
  if (n.size() >= 2 && std::isalpha(static_cast<unsigned char>(n[0])) && n[1] == ':') return std::nullopt;
  std::vector<std::string> parti;
  std::size_t inizio = 0;
  while (inizio <= n.size()) {
    std::size_t fine = n.find(kSeparatore, inizio);
    if (fine == std::string::npos) fine = n.size();
    const std::string parte = n.substr(inizio, fine - inizio);
    if (parte == "..") {
      if (parti.empty()) return std::nullopt;
      parti.pop_back();
    } else if (!parte.empty() && parte != ".") {
      parti.push_back(parte);
    }
    inizio = fine + 1;
  }
  std::string r;
  for (const std::string& p : parti) {
    if (!r.empty()) r.push_back(kSeparatore);
    r += p;
  }
  return r;
}

int CLoadTree::Fallisci(int codice) {
  esito = codice;
  fase = ST_FAILED;
  finito = true;
  return 0;
}

void CLoadTree::ImpostaNome(const char* nome) {
  if (nome) {
    nomeDestinazione = std::string(nome);
  } else {
    nomeDestinazione.reset();
  }
}

std::string CLoadTree::CartellaDestinazione() const {
  if (nomeDestinazione && !nomeDestinazione->empty()) return *nomeDestinazione;
  return cartellaPredefinita;
}

bool CLoadTree::ApriAlbero(std::uint32_t inizio, std::uint32_t fine) {
  std::uint8_t testa[kTestaVoce];
  if (!fileModulo.Posiziona(inizio)) return false;
  // The tree is the payload of the module's first data record; a header,
  // address or user data record standing before it is passed over. The
  // analysis of a module of load kind 0 already points at the payload itself
  // (inizio at the block head, fine at its end).
  bool primo = true;
  for (;;) {
    if (!fileModulo.Leggi(testa, kTestaRecord)) return false;
    if (LeggiU32(testa) != kMarcaTipizzato) break;
    const std::uint16_t tipo = LeggiU16(testa + 4);
    const std::uint16_t dimensione = LeggiU16(testa + 6);
    if (primo && tipo == kTipoDescrizione) {
      if (fine < inizio + kTestaBlocco || !fileModulo.Posiziona(inizio)) return false;
      fineDati = fine;
      break;
    }
    primo = false;
    if (tipo == kTipoFine) return false;
    if (tipo == kTipoIndirizzo) continue;
    if (dimensione < kTestaRecord || !fileModulo.Sposta(dimensione - kTestaRecord)) return false;
  }
  if (LeggiU32(testa) != kMarcaTipizzato) {
    const std::uint32_t lunghezza = LeggiU32(testa);
    fineDati = fileModulo.Posizione() + lunghezza;
    if (lunghezza < kTestaBlocco) return false;
  }
  if (!fileModulo.Leggi(testa, kTestaBlocco)) return false;
  if (LeggiU32(testa) != kMarcaTipizzato || LeggiU16(testa + 4) != kTipoDescrizione || testa[8] != 0) return false;
  cartellaPredefinita.clear();
  conDescrizione = false;
  for (;;) {
    const std::uint32_t posizione = fileModulo.Posizione();
    if (posizione == fineDati) return true;
    if (posizione > fineDati) return false;
    if (!fileModulo.Leggi(testa, kTestaVoce)) return false;
    if (LeggiU32(testa) != kMarcaTipizzato || LeggiU16(testa + 4) != kTipoVoce) return false;
    const std::uint16_t n = LeggiU16(testa + 10);
    if (LeggiU16(testa + 6) != n + kTestaVoce) return false;
    const std::uint8_t tipo = testa[8];
    if (tipo == VOCE_FILE || tipo == VOCE_CARTELLA) return fileModulo.Posiziona(posizione) != 0;
    if (tipo != VOCE_DESCRIZIONE) return false;
    std::vector<std::uint8_t> testo(n);
    if (n && !fileModulo.Leggi(testo.data(), n)) return false;
    const std::uint32_t contenuto = LeggiU32(testa + 12);
    if (contenuto && !fileModulo.Sposta(static_cast<std::int32_t>(contenuto))) return false;
    if (!conDescrizione) {
      ApplicaCifra(testo.data(), testo.size(), CCifra::kChiaveDescrizione);
      cartellaPredefinita = TestoDaUtf16(testo.data(), testo.size() / 2);
      conDescrizione = true;
    }
  }
}

int CLoadTree::Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine, std::uint16_t,
                     const std::uint32_t*, int tipoModulo, int, int, CInterfaccia*, int, const int*, int,
                     int* esitoOut) {
  const auto rifiuta = [&](int codice) {
    Fallisci(codice);
    *esitoOut = codice;
    return 0;
  };
  if (tipoModulo != MODULO_MMI) return rifiuta(RC_MODULE_TYPE);
  if (fileModulo.Aperto()) fileModulo.Chiudi();
  if (!fileModulo.ApriLettura(percorso)) {
    Registra("errore apertura file");
    return rifiuta(RC_FILE_OPEN);
  }
  if (!ApriAlbero(inizio, fine)) {
    fileModulo.Chiudi();
    Registra("errore scansione blocchi file");
    return rifiuta(RC_MODULE_CORRUPT);
  }
  // A tree with no directory of its own, and none given, has nowhere to go:
  // an empty name would put it at the root of the file system.
  if (CartellaDestinazione().empty()) {
    fileModulo.Chiudi();
    Registra("cartella di destinazione mancante");
    return rifiuta(RC_MODULE_CORRUPT);
  }
  const std::uint32_t posizione = fileModulo.Posizione();
  byteTotali = posizione < fineDati ? static_cast<int>(fineDati - posizione) : 0;
  byteRimanenti = byteTotali;
  byteFatti = 0;
  byteRipetuti = 0;
  finito = false;
  esito = RC_OK;
  fase = ST_WAIT_LINK;
  tempoInizio = tempoUltimo = Secondi();
  *esitoOut = RC_OK;
  return 1;
}

CLoadTree::Voce CLoadTree::EstraiVoce(std::uint32_t* contenuto) {
  *contenuto = 0;
  const std::uint32_t posizione = fileModulo.Posizione();
  if (posizione == fineDati) return Voce::fineAlbero;
  if (posizione > fineDati) return Voce::errore;
  std::uint8_t testa[kTestaVoce];
  if (!fileModulo.Leggi(testa, kTestaVoce)) return Voce::errore;
  if (LeggiU32(testa) != kMarcaTipizzato || LeggiU16(testa + 4) != kTipoVoce) return Voce::errore;
  const std::uint16_t n = LeggiU16(testa + 10);
  const std::uint32_t lunghezza = LeggiU32(testa + 12);
  const std::uint8_t tipo = testa[8];
  if (LeggiU16(testa + 6) != n + kTestaVoce) return Voce::errore;
  // An entry that runs past the tree would take bytes of the records behind it.
  const std::uint64_t fineVoce = static_cast<std::uint64_t>(posizione) + kTestaVoce + n +
                                 (tipo == VOCE_CARTELLA ? 0 : lunghezza);
  if (fineVoce > fineDati) return Voce::errore;
  std::vector<std::uint8_t> testo(n);
  if (n && !fileModulo.Leggi(testo.data(), n)) return Voce::errore;
  ApplicaCifra(testo.data(), testo.size(), CCifra::kChiaveNome);
  std::string nome = TestoDaUtf16(testo.data(), testo.size() / 2);
  NormalizzaSeparatori(nome);

  const std::optional<std::string> relativo = PercorsoRelativoSicuro(nome);
  if (!relativo) {
    RegistraConcat("voce fuori dalla cartella di destinazione rifiutata: ", nome);
    return Voce::errore;
  }
  std::string cartella = CartellaDestinazione();
  NormalizzaSeparatori(cartella);
  if (cartella.empty()) cartella.push_back(kSeparatore);
  if (cartella.back() != kSeparatore) cartella.push_back(kSeparatore);
  const std::string percorso = cartella + *relativo;
  if (stampaNomi) {
    std::fprintf(uscitaNomi, "%s\n", nome.c_str());
    std::fflush(uscitaNomi);
  }
  if (!CreaPercorso(percorso, false)) return Voce::errore;
  if (tipo == VOCE_CARTELLA) {
    if (!EsisteCartella(percorso) && !CreaCartella(percorso)) return Voce::errore;
    return Voce::fatta;
  }
  if (fileUscita.Aperto()) fileUscita.Chiudi();
  if (!fileUscita.Crea(percorso)) return Voce::errore;
  CCifra cifra(CCifra::Seme(lunghezza, CCifra::kChiaveContenuto));
  std::uint8_t pezzo[kPezzo];
  for (std::uint32_t fatti = 0; fatti < lunghezza;) {
    const std::uint32_t k = std::min(kPezzo, lunghezza - fatti);
    if (!fileModulo.Leggi(pezzo, k)) {
      fileUscita.Chiudi();
      return Voce::errore;
    }
    cifra.Applica(pezzo, k);
    if (!fileUscita.Scrivi(pezzo, k)) {
      fileUscita.Chiudi();
      return Voce::errore;
    }
    fatti += k;
  }
  if (!fileUscita.Chiudi()) return Voce::errore;
  *contenuto = lunghezza;
  return Voce::fatta;
}

int CLoadTree::Passo(int* aggiorna) {
  if (aggiorna) *aggiorna = 0;
  if (finito) return 0;
  if (aggiorna) *aggiorna = 1;
  tempoUltimo = Secondi();
  if (byteTotali == 0) {
    finito = true;
    if (!CreaCartellaCompleta(CartellaDestinazione())) return Fallisci(RC_BLOCK_WRITE);
    esito = RC_OK;
    fase = ST_DONE;
    return 0;
  }
  std::uint32_t contenuto = 0;
  switch (EstraiVoce(&contenuto)) {
    case Voce::fineAlbero:
      finito = true;
      esito = RC_OK;
      fase = ST_DONE;
      return 0;
    case Voce::errore:
      return Fallisci(RC_BLOCK_WRITE);
    case Voce::fatta:
      break;
  }
  byteRimanenti -= static_cast<int>(contenuto);
  byteFatti += static_cast<int>(contenuto);
  return 1;
}

int CLoadTree::Termina() {
  cartellaPredefinita.clear();
  conDescrizione = false;
  nomeDestinazione.reset();
  finito = true;
  if (fileUscita.Aperto()) fileUscita.Chiudi();
  if (fileModulo.Aperto()) fileModulo.Chiudi();
  return 1;
}

}  // namespace bricola
