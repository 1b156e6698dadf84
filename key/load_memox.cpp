#include "key/load_memox.h"

#include <algorithm>

#include "base/esiti.h"

namespace bricola {

std::uint16_t CLoadMemox::DimensionePagina() const {
  return memox.Dispositivo() ? memox.Dispositivo()->DimensionePagina() : 0;
}

std::uint32_t CLoadMemox::NumeroPagine() const {
  return memox.Dispositivo() ? memox.Dispositivo()->NumeroPagine() : 0;
}

int CLoadMemox::Fallisci(int codice) {
  esito = codice;
  fase = ST_FAILED;
  statoScrittura = SCRITTURA_FERMA;
  return 0;
}

void CLoadMemox::Aggiorna(int* aggiorna, bool sempre) {
  const int adesso = Secondi();
  if (sempre || adesso != secondoVisto || statoScrittura == SCRITTURA_FERMA) {
    tempoUltimo = adesso;
    secondoVisto = adesso;
    if (aggiorna) *aggiorna = 1;
  }
}

int CLoadMemox::Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine, std::uint16_t,
                      const std::uint32_t*, int tipoModulo, int tipoLoad, int, CInterfaccia*, int, const int*, int,
                      int* esitoOut) {
  const auto rifiuta = [&](int codice) {
    Fallisci(codice);
    *esitoOut = codice;
    return 0;
  };
  statoScrittura = SCRITTURA_FERMA;
  if (!memox.LeggiDirectory()) return rifiuta(RC_BLOCK_READ);
  int voce = 0;
  std::uint16_t pagina = 0;
  if (!memox.TrovaSpazio(&voce, &pagina)) {
    Registra("la chiave e' piena");
    return rifiuta(RC_FLASH_FULL);
  }
  if (fileModulo.Aperto()) fileModulo.Chiudi();
  if (!fileModulo.ApriLettura(percorso)) {
    Registra("errore apertura file");
    return rifiuta(RC_FILE_OPEN);
  }
  fileModulo.Posiziona(inizio);
  // The module's records through the 4 closing bytes of its end record.
  byteTotali = byteRimanenti = static_cast<int>(fine - inizio + 4);
  byteFatti = 0;
  byteRipetuti = 0;
  tentativi = 0;
  tempoInizio = tempoUltimo = Secondi();
  secondoVisto = tempoInizio;
  if (!memox.CreaVoce(voce, pagina, ClasseVoce(tipoModulo), CodiceLoad(tipoLoad),
                      static_cast<std::uint32_t>(byteTotali))) {
    fileModulo.Chiudi();
    Registra("la chiave e' piena");
    return rifiuta(RC_FLASH_FULL);
  }
  paginaCorrente = pagina;
  statoScrittura = SCRITTURA_PAGINE;
  esito = RC_OK;
  fase = ST_SEND_MODULE;
  *esitoOut = RC_OK;
  return 1;
}

int CLoadMemox::Passo(int* aggiorna) {
  if (aggiorna) *aggiorna = 0;
  CMemoxInterfaccia* d = memox.Dispositivo();
  int risultato = 0;
  switch (statoScrittura) {
    case SCRITTURA_PAGINE: {
      const std::uint32_t p = DimensionePagina();
      if (tentativi == 0) {
        lunghezzaPezzo = std::min<std::uint32_t>(static_cast<std::uint32_t>(byteRimanenti), p);
        if (lunghezzaPezzo > kBuffer) {
          risultato = Fallisci(RC_INTERNAL);
          break;
        }
        // An image file that shrank under the load cannot give its module.
        if (!fileModulo.Leggi(buffer, lunghezzaPezzo)) {
          Registra("errore lettura file");
          risultato = Fallisci(RC_MODULE_CORRUPT);
          break;
        }
      }
      if (d && d->ScriviPagina(paginaCorrente, 0, buffer, static_cast<std::uint16_t>(lunghezzaPezzo))) {
        byteRimanenti -= static_cast<int>(lunghezzaPezzo);
        byteFatti += static_cast<int>(lunghezzaPezzo);
        ++paginaCorrente;
        tentativi = 0;
        fase = ST_SEND_MODULE;
        if (byteRimanenti <= 0) statoScrittura = SCRITTURA_DIRECTORY;
        Aggiorna(aggiorna, true);
        risultato = 1;
      } else {
        ++tentativi;
        byteRipetuti += static_cast<int>(lunghezzaPezzo);
        if (tentativi >= kTentativi) {
          RegistraValore("scrittura pagina %d fallita", paginaCorrente);
          risultato = Fallisci(RC_BLOCK_WRITE);
        } else {
          RegistraValore("scrittura pagina %d altro tentativo", paginaCorrente);
          risultato = 1;
        }
      }
      break;
    }
    case SCRITTURA_DIRECTORY:
      if (memox.ScriviDirectory()) {
        esito = RC_OK;
        fase = ST_DONE;
        statoScrittura = SCRITTURA_FERMA;
        risultato = 0;
      } else {
        ++tentativi;
        if (tentativi >= kTentativi) {
          Registra("scrittura directory fallita");
          risultato = Fallisci(RC_BLOCK_WRITE);
        } else {
          Registra("scrittura directory altro tentativo");
          risultato = 1;
        }
      }
      break;
    default:
      risultato = 0;
      break;
  }
  Aggiorna(aggiorna, false);
  return risultato;
}

int CLoadMemox::Termina() {
  statoScrittura = SCRITTURA_FERMA;
  if (fileModulo.Aperto()) fileModulo.Chiudi();
  return 1;
}

// --- reading the key back ------------------------------------------------------------

int CLoadMemox::ContaFileChiave() {
  vociPerPagina = memox.VociPerPagina();
  pagineDirectory = 0;
  if (!memox.LeggiDirectory()) return 0;
  return memox.ContaFile(0, &pagineDirectory);
}

int CLoadMemox::PreparaLettura(const std::string& percorso, int* esitoOut) {
  if (!memox.LeggiDirectory()) {
    *esitoOut = RC_BLOCK_READ;
    return 0;
  }
  const int conteggio = ContaFileChiave();
  if (conteggio == 0) {
    *esitoOut = RC_KEY_EMPTY;
    return 0;
  }
  if (fileDisco.Aperto()) fileDisco.Chiudi();
  if (!fileDisco.Crea(percorso)) {
    *esitoOut = RC_FILE_CREATE;
    return 0;
  }
  fileDisco.Chiudi();
  fileSullaChiave = conteggio;
  *esitoOut = RC_OK;
  return 1;
}

int CLoadMemox::AvviaLettura(const std::string& percorso, int numeroFile, int* esitoOut) {
  const auto rifiuta = [&](int codice) {
    esito = codice;
    fase = ST_FAILED;
    *esitoOut = codice;
    return 0;
  };
  if (ContaFileChiave() != fileSullaChiave) return rifiuta(RC_KEY_ABSENT);
  const int e = vociPerPagina;
  int trovata = -1;
  int contati = 0;
  const auto prova = [&](int i) {
    if (trovata >= 0 || !FileValido(i)) return;
    if (contati == numeroFile) trovata = i;
    ++contati;
  };
  for (int i = 0; i < e && trovata < 0; ++i) {
    if (memox.Collegamento(i)) {
      for (int j = e; j < 2 * e; ++j) prova(j);
    } else {
      prova(i);
    }
  }
  if (e == 0 || trovata < 0) return rifiuta(RC_INTERNAL);
  byteTotali = byteRimanenti = static_cast<int>(memox.LunghezzaFile(trovata));
  byteFatti = 0;
  byteRipetuti = 0;
  paginaCorrente = memox.PrimaPagina(trovata);
  if (fileDisco.Aperto()) fileDisco.Chiudi();
  if (!fileDisco.ApriAggiunta(percorso)) return rifiuta(RC_FILE_OPEN);
  Registra("file aperto");
  fileDisco.PosizionaDaFine(0);
  tempoInizio = tempoUltimo = Secondi();
  secondoVisto = tempoInizio;
  esito = RC_OK;
  fase = ST_WAIT_LINK;
  *esitoOut = RC_OK;
  return 1;
}

int CLoadMemox::PassoLettura(int* aggiorna) {
  if (aggiorna) *aggiorna = 0;
  const std::uint32_t p = DimensionePagina();
  CMemoxInterfaccia* d = memox.Dispositivo();
  if (byteRimanenti > 0) {
    lunghezzaPezzo = std::min<std::uint32_t>(static_cast<std::uint32_t>(byteRimanenti), p);
    if (p > kBuffer || !d) return Fallisci(RC_INTERNAL);
    if (!d->LeggiPagina(paginaCorrente, 0, buffer, static_cast<std::uint16_t>(p))) {
      RegistraValore("lettura pagina %d fallita", paginaCorrente);
      return Fallisci(RC_BLOCK_READ);
    }
    // A disk that refuses the bytes must not leave a short file looking complete.
    if (!fileDisco.Scrivi(buffer, lunghezzaPezzo)) {
      Registra("errore scrittura file");
      return Fallisci(RC_FILE_CREATE);
    }
    ++paginaCorrente;
    byteRimanenti -= static_cast<int>(lunghezzaPezzo);
    byteFatti += static_cast<int>(lunghezzaPezzo);
    fase = ST_LINKED;
  }
  Aggiorna(aggiorna, false);
  if (byteRimanenti > 0) return 1;
  tempoUltimo = Secondi();
  if (aggiorna) *aggiorna = 1;
  esito = RC_OK;
  fase = ST_DONE;
  return 0;
}

void CLoadMemox::TerminaLettura() {
  Registra("file chiuso");
  if (fileDisco.Aperto()) fileDisco.Chiudi();
}

int CLoadMemox::SvuotaChiave(int* esitoOut) {
  if (!memox.SvuotaChiave()) {
    *esitoOut = RC_KEY_ERASE;
    return 0;
  }
  *esitoOut = RC_OK;
  return 1;
}

}  // namespace bricola
