#include "sim/driver_sim.h"

#include <cstring>

namespace bricola::sim {

namespace {

std::uint32_t U16(const std::vector<std::uint8_t>& b, std::size_t i) { return b[i] | (std::uint32_t{b[i + 1]} << 8); }
std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t i) {
  return b[i] | (std::uint32_t{b[i + 1]} << 8) | (std::uint32_t{b[i + 2]} << 16) | (std::uint32_t{b[i + 3]} << 24);
}
void Metti32(std::vector<std::uint8_t>& b, std::size_t i, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

}  // namespace

bool CDriverSim::Richiesta(SessioneDriver& s, std::uint32_t codice, const std::vector<std::uint8_t>& in,
                           std::uint32_t capacita, std::vector<std::uint8_t>& out, nlohmann::json& voce) {
  out.clear();
  bool fatto = false;
  switch (codice) {
    case codice::PIC_MODO:
    case codice::PIC_COMANDO:
    case codice::PIC_LEGGI:
    case codice::PIC_SCRIVI:
      fatto = Pic(s, codice, in, out, voce);
      break;
    default:
      fatto = Chiave(codice, in, out, voce);
      break;
  }
  // Like the system's I/O manager: an output that does not fit is an error.
  if (fatto && out.size() > capacita) {
    voce["errore"] = "uscita oltre la capacita'";
    fatto = false;
  }
  if (!fatto) out.clear();
  return fatto;
}

bool CDriverSim::Chiave(std::uint32_t c, const std::vector<std::uint8_t>& in, std::vector<std::uint8_t>& out,
                        nlohmann::json& voce) {
  const bool base = c == codice::LEGGI_A || c == codice::LEGGI_B || c == codice::SCRIVI;
  const bool esteso = c == codice::LEGGI_A_ESTESO || c == codice::LEGGI_B_ESTESO || c == codice::SCRIVI_ESTESO ||
                      c == codice::ESTESO;
  const bool comune = c == codice::IDENTIFICA || c == codice::CANCELLA_PAGINA;
  if (!base && !esteso && !comune) {
    voce["richiesta"] = "sconosciuta";
    return false;
  }
  if (esteso && !config_.esteso) {
    voce["richiesta"] = c == codice::ESTESO ? "esteso" : "estesa";
    voce["errore"] = "driver di base";
    return false;
  }
  if (chiave_ && chiave_->Guasti().nessunaRisposta) {
    voce["errore"] = "la chiave non risponde";
    return false;
  }
  auto lunghezza = [&](std::size_t n) {
    if (in.size() == n) return true;
    voce["errore"] = "ingresso di " + std::to_string(in.size()) + " byte";
    return false;
  };
  const bool presente = chiave_ && chiave_->Presente();
  const std::uint32_t P = chiave_ ? chiave_->DimensionePagina() : 264;
  std::uint32_t st = stato::OK;
  switch (c) {
    case codice::IDENTIFICA:
      voce["richiesta"] = "identifica";
      if (!lunghezza(0)) return false;
      out.assign(5, 0);
      out[0] = chiave_ ? chiave_->TipoParallela() : 0xFF;
      voce["tipo"] = out[0];
      break;
    case codice::ESTESO:
      voce["richiesta"] = "esteso";
      if (!lunghezza(0)) return false;
      out.assign(8, 0);
      Metti32(out, 4, 2);  // release of the extended set
      break;
    case codice::CANCELLA_PAGINA:
      voce["richiesta"] = "cancellaPagina";
      if (!lunghezza(3)) return false;
      voce["pagina"] = U16(in, 0);
      out.assign(4, 0);
      st = in[2] != 1 ? stato::CAMPO_ERRATO : presente ? chiave_->CancellaPagina(U16(in, 0)) : stato::NESSUNA_MEMORIA;
      break;
    case codice::LEGGI_A:
    case codice::LEGGI_B:
    case codice::LEGGI_A_ESTESO:
    case codice::LEGGI_B_ESTESO: {
      voce["richiesta"] = c == codice::LEGGI_A ? "leggiA" : c == codice::LEGGI_B ? "leggiB"
                          : c == codice::LEGGI_A_ESTESO ? "leggiAEstesa" : "leggiBEstesa";
      if (!lunghezza(6)) return false;
      const std::uint32_t pagina = U16(in, 0), offset = U16(in, 2), n = U16(in, 4);
      voce["pagina"] = pagina;
      voce["offset"] = offset;
      voce["lunghezza"] = n;
      std::size_t dati = 0, posStato = 0;
      bool entro = true;
      if (c == codice::LEGGI_A) {
        out.assign(532, 0);
        posStato = 528;
        entro = n <= 528;
      } else if (c == codice::LEGGI_B) {
        out.assign(268, 0);
        posStato = 264;
        entro = n <= 264;
      } else {
        entro = n <= P && (c == codice::LEGGI_A_ESTESO || n + 6 <= 2048);
        if (!entro) {
          voce["errore"] = "lunghezza oltre il limite";
          return false;
        }
        out.assign(n + 6, 0);
        dati = 6;
      }
      if (!entro) st = stato::FUORI_LIMITI;
      else if (!presente) st = stato::NESSUNA_MEMORIA;
      else st = chiave_->Leggi(pagina, offset, n, out.data() + dati);
      Metti32(out, posStato, st);
      voce["stato"] = st;
      return true;
    }
    case codice::SCRIVI:
    case codice::SCRIVI_ESTESO: {
      const bool estesa = c == codice::SCRIVI_ESTESO;
      voce["richiesta"] = estesa ? "scriviEstesa" : "scrivi";
      if (!lunghezza(estesa ? P + 9 : 271)) return false;
      const std::uint32_t pagina = U16(in, 0), offset = U16(in, 2), n = U16(in, 4);
      voce["pagina"] = pagina;
      voce["offset"] = offset;
      voce["lunghezza"] = n;
      out.assign(4, 0);
      const std::size_t inizio = estesa ? 9 : 7;
      if (in[6] != 1) st = stato::CAMPO_ERRATO;
      else if (estesa && U16(in, 7) != P) {
        voce["dimensionePagina"] = U16(in, 7);
        st = stato::CAMPO_ERRATO;
      } else if (n > (estesa ? P : 264) || n + inizio > in.size()) st = stato::FUORI_LIMITI;
      else if (!presente) st = stato::NESSUNA_MEMORIA;
      else st = chiave_->Scrivi(pagina, offset, in.data() + inizio, n);
      break;
    }
    default:
      return false;
  }
  Metti32(out, c == codice::IDENTIFICA ? 1 : 0, st);
  voce["stato"] = st;
  return true;
}

bool CDriverSim::Pic(SessioneDriver& s, std::uint32_t c, const std::vector<std::uint8_t>& in,
                     std::vector<std::uint8_t>& out, nlohmann::json& voce) {
  auto lunghezza = [&](std::size_t n) {
    if (in.size() == n) return true;
    voce["errore"] = "ingresso di " + std::to_string(in.size()) + " byte";
    return false;
  };
  std::uint32_t st = stato::OK;
  std::size_t posStato = 0;
  std::string nome;
  switch (c) {
    case codice::PIC_MODO: {
      voce["richiesta"] = nome = "modo";
      if (!lunghezza(2)) return false;
      const std::uint32_t modo = U16(in, 0);
      voce["modo"] = modo;
      out.assign(4, 0);
      if (!pic_) st = stato::PIC_ASSENTE;
      else if (modo > 1) st = stato::CAMPO_ERRATO;
      else if (modo == 1 && pic_->Guasti().modoRifiutato) st = stato::PIC_MODO_RIFIUTATO;
      else s.modoPic = modo == 1;
      break;
    }
    case codice::PIC_COMANDO:
      voce["richiesta"] = nome = "comando";
      if (!lunghezza(5)) return false;
      voce["valore"] = U32(in, 0);
      out.assign(4, 0);
      if (!pic_) st = stato::PIC_ASSENTE;
      else if (!s.modoPic) st = stato::PIC_MODO_SPENTO;
      else if (in[4] != 1) st = stato::CAMPO_ERRATO;
      else st = pic_->Comando(U32(in, 0));
      break;
    case codice::PIC_LEGGI: {
      voce["richiesta"] = nome = "leggi";
      if (!lunghezza(6)) return false;
      const std::uint32_t a = U32(in, 0), n = U16(in, 4);
      voce["indirizzo"] = a;
      voce["lunghezza"] = n;
      out.assign(516, 0);
      posStato = 512;
      if (!pic_) st = stato::PIC_ASSENTE;
      else if (!s.modoPic) st = stato::PIC_MODO_SPENTO;
      else if (n > 512) st = stato::FUORI_LIMITI;
      else st = pic_->Leggi(a, n, out.data());
      break;
    }
    case codice::PIC_SCRIVI: {
      voce["richiesta"] = nome = "scrivi";
      if (!lunghezza(519)) return false;
      const std::uint32_t a = U32(in, 1), n = U16(in, 5);
      voce["indirizzo"] = a;
      voce["lunghezza"] = n;
      out.assign(4, 0);
      if (!pic_) st = stato::PIC_ASSENTE;
      else if (!s.modoPic) st = stato::PIC_MODO_SPENTO;
      else if (in[0] != 1) st = stato::CAMPO_ERRATO;
      else if (n > 264) st = stato::FUORI_LIMITI;
      else st = pic_->Scrivi(a, in.data() + 7, n);
      break;
    }
    default:
      return false;
  }
  Metti32(out, posStato, st);
  voce["stato"] = st;
  if (pic_ && pic_->Guasti().rispostaCorta.count(nome)) {
    out.resize(out.size() - 2);
    voce["rispostaCorta"] = true;
  }
  return true;
}

}  // namespace bricola::sim
