#include "tests/support/immagine.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "image/analisi.h"
#include "image/cifra.h"
#include "image/crc.h"
#include "image/file.h"

namespace bricola::prova {

namespace {

void U16(Byte& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void U32(Byte& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void U16BE(Byte& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}

void Accoda(Byte& b, const Byte& altro) { b.insert(b.end(), altro.begin(), altro.end()); }

Byte Marca(const char (&marca)[16], std::uint32_t resto) {
  Byte p(marca, marca + 16);
  const Byte coda = Schema(resto, 7);
  Accoda(p, coda);
  return p;
}

}  // namespace

Byte Schema(std::uint32_t lunghezza, std::uint32_t seme) {
  Byte b(lunghezza);
  std::uint32_t x = seme * 2654435761u + 12345u;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<std::uint8_t>(x >> 16);
  }
  return b;
}

Byte Utf16(const std::string& testo) {
  Byte b;
  for (std::size_t i = 0; i < testo.size();) {
    const auto c0 = static_cast<unsigned char>(testo[i]);
    std::uint32_t c = c0;
    std::size_t n = 1;
    if (c0 >= 0xF0 && i + 3 < testo.size()) {
      c = ((c0 & 0x07u) << 18) | ((testo[i + 1] & 0x3Fu) << 12) | ((testo[i + 2] & 0x3Fu) << 6) | (testo[i + 3] & 0x3Fu);
      n = 4;
    } else if (c0 >= 0xE0 && i + 2 < testo.size()) {
      c = ((c0 & 0x0Fu) << 12) | ((testo[i + 1] & 0x3Fu) << 6) | (testo[i + 2] & 0x3Fu);
      n = 3;
    } else if (c0 >= 0xC0 && i + 1 < testo.size()) {
      c = ((c0 & 0x1Fu) << 6) | (testo[i + 1] & 0x3Fu);
      n = 2;
    }
    i += n;
    if (c >= 0x10000) {
      c -= 0x10000;
      U16(b, static_cast<std::uint16_t>(0xD800 + (c >> 10)));
      U16(b, static_cast<std::uint16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      U16(b, static_cast<std::uint16_t>(c));
    }
  }
  U16(b, 0);
  return b;
}

Byte VoceBlocco(int tipo, const std::string& testo, const Byte& contenuto) {
  Byte t = Utf16(testo);
  const std::uint32_t chiave = tipo == 1 ? CCifra::kChiaveDescrizione : CCifra::kChiaveNome;
  ApplicaCifra(t.data(), t.size(), chiave);
  Byte v;
  U32(v, kMarcaTipizzato);
  U16(v, kTipoVoce);
  U16(v, static_cast<std::uint16_t>(t.size() + 16));
  v.push_back(static_cast<std::uint8_t>(tipo));
  v.push_back(0);
  U16(v, static_cast<std::uint16_t>(t.size()));
  U32(v, tipo == 0 ? static_cast<std::uint32_t>(contenuto.size()) : 0);
  Accoda(v, t);
  if (tipo == 0) {
    Byte c = contenuto;
    ApplicaCifra(c.data(), c.size(), CCifra::kChiaveContenuto);
    Accoda(v, c);
  }
  return v;
}

Byte BloccoDescrizione(int tipoContenuto, const std::optional<std::string>& testo,
                       const std::vector<SVoceAlbero>& voci) {
  Byte b;
  U32(b, kMarcaTipizzato);
  U16(b, kTipoDescrizione);
  U16(b, 0);
  b.push_back(0);  // format
  b.push_back(static_cast<std::uint8_t>(tipoContenuto));
  U16(b, 0);
  if (testo) Accoda(b, VoceBlocco(1, *testo));
  for (const SVoceAlbero& v : voci) Accoda(b, VoceBlocco(v.cartella ? 2 : 0, v.percorso, v.contenuto));
  return b;
}

SIntestazione IntestazionePerTipoLoad(int tipoLoad, const std::string& nome) {
  static constexpr int kMicro[14] = {0, 2, 1, 1, 2, 3, 4, 4, 6, 6, 8, 8, 9, 9};
  static constexpr bool kBoot[14] = {false, true, true, false, false, false, true,
                                     false, true, false, true, false, true, false};
  SIntestazione h;
  h.nome = nome;
  if (tipoLoad < 0 || tipoLoad > 13) return h;
  h.tipoMicro = kMicro[tipoLoad];
  h.tipoModulo = kBoot[tipoLoad] ? 1 : 0;
  return h;
}

// ------------------------------------------------------------------ CImmagine

CImmagine& CImmagine::Dati(std::uint32_t indirizzo, const prova::Byte& payload) {
  return DatiFalsati(static_cast<std::uint32_t>(payload.size()), indirizzo, payload);
}

CImmagine& CImmagine::DatiFalsati(std::uint32_t lunghezzaDichiarata, std::uint32_t indirizzo,
                                  const prova::Byte& payload) {
  U32(byte, lunghezzaDichiarata);
  U32(byte, indirizzo);
  Accoda(byte, payload);
  return *this;
}

CImmagine& CImmagine::Riempi(std::uint32_t indirizzo, std::uint32_t lunghezza, std::uint8_t valore) {
  return Dati(indirizzo, prova::Byte(lunghezza, valore));
}

CImmagine& CImmagine::Sequenza(std::uint32_t indirizzo, std::uint32_t lunghezza, std::uint32_t seme) {
  return Dati(indirizzo, Schema(lunghezza, seme));
}

CImmagine& CImmagine::Indirizzo(std::uint16_t indirizzo) {
  conIndirizzo = true;
  return Tipizzato(kTipoIndirizzo, indirizzo);
}

CImmagine& CImmagine::Intestazione(const SIntestazione& h) {
  prova::Byte corpo;
  U16(corpo, static_cast<std::uint16_t>(h.tipoMicro));
  corpo.push_back(static_cast<std::uint8_t>(h.tipoModulo));
  corpo.push_back(h.caricabileRemoto ? 1 : 0);
  corpo.push_back(h.nonSelezionato ? 1 : 0);
  corpo.push_back(0);
  prova::Byte nome(kLunghezzaNomeModulo, 0);
  std::copy_n(h.nome.begin(), std::min<std::size_t>(h.nome.size(), nome.size()), nome.begin());
  Accoda(corpo, nome);
  return Tipizzato(kTipoIntestazione, kLunghezzaIntestazione, corpo);
}

CImmagine& CImmagine::CoppiaIndirizzi(std::uint32_t primario, std::uint32_t secondario) {
  prova::Byte corpo;
  U32(corpo, primario);
  U32(corpo, secondario);
  return Tipizzato(kTipoCoppiaIndirizzi, kLunghezzaCoppiaIndirizzi, corpo);
}

CImmagine& CImmagine::DatiUtente(const prova::Byte& dati) {
  prova::Byte corpo = dati;
  corpo.resize(32, 0);
  return Tipizzato(kTipoDatiUtente, kLunghezzaDatiUtente, corpo);
}

CImmagine& CImmagine::Tipizzato(std::uint16_t tipo, std::uint16_t dimensione, const prova::Byte& corpo) {
  U32(byte, kMarcaTipizzato);
  U16(byte, tipo);
  U16(byte, dimensione);
  Accoda(byte, corpo);
  return *this;
}

CImmagine& CImmagine::Riservato(std::uint16_t tipo, const prova::Byte& corpo) {
  return Tipizzato(tipo, static_cast<std::uint16_t>(8 + corpo.size()), corpo);
}

CImmagine& CImmagine::Descrizione(std::uint32_t indirizzo, const std::string& testo, int tipoContenuto) {
  return Dati(indirizzo, BloccoDescrizione(tipoContenuto, testo));
}

CImmagine& CImmagine::Albero(std::uint32_t indirizzo, const std::string& cartella,
                             const std::vector<SVoceAlbero>& voci, int tipoContenuto) {
  return Dati(indirizzo, BloccoDescrizione(tipoContenuto, cartella, voci));
}

CImmagine& CImmagine::Font(std::uint32_t indirizzo, std::uint32_t resto) {
  return Dati(indirizzo, Marca(kMarcaFont, resto));
}

CImmagine& CImmagine::Figura(std::uint32_t indirizzo, std::uint32_t resto) {
  return Dati(indirizzo, Marca(kMarcaImmagine, resto));
}

std::uint16_t CImmagine::CrcModulo() const {
  // Covers the end record's first 8 bytes, which are always FF.
  const std::size_t inizio = std::min<std::size_t>(inizioModulo + (conIndirizzo ? 8u : 0u), byte.size());
  CCrc crc;
  crc.Aggiorna(byte.data() + inizio, byte.size() - inizio);
  return crc.Valore();
}

CImmagine& CImmagine::Fine(std::uint16_t codice) {
  U32(byte, kMarcaTipizzato);
  U16(byte, kTipoFine);
  U16(byte, kTipoFine);
  const std::uint16_t crc = CrcModulo();
  U16BE(byte, crc);
  U16BE(byte, codice);
  Chiudi();
  return *this;
}

CImmagine& CImmagine::FineCrc(std::uint16_t codice, std::uint16_t crc) {
  U32(byte, kMarcaTipizzato);
  U16(byte, kTipoFine);
  U16(byte, kTipoFine);
  U16BE(byte, crc);
  U16BE(byte, codice);
  Chiudi();
  return *this;
}

CImmagine& CImmagine::Trailer(std::uint16_t codice) { return TrailerCrc(codice, CrcModulo()); }

CImmagine& CImmagine::TrailerCrc(std::uint16_t codice, std::uint16_t crc) {
  U16BE(byte, crc);
  U16BE(byte, codice);
  Chiudi();
  return *this;
}

CImmagine& CImmagine::Grezzi(const prova::Byte& b) {
  Accoda(byte, b);
  return *this;
}

void CImmagine::Chiudi() {
  inizioModulo = static_cast<std::uint32_t>(byte.size());
  conIndirizzo = false;
}

bool CImmagine::Scrivi(const std::string& percorso) const { return ScriviFile(percorso, byte); }

// ----------------------------------------------------------------- the rest

Byte ImmagineGrezza(const Byte& contenuto, std::uint16_t codice) {
  return ImmagineGrezzaCrc(contenuto, codice, CCrc::Calcola(contenuto.data(), contenuto.size()));
}

Byte ImmagineGrezzaCrc(const Byte& contenuto, std::uint16_t codice, std::uint16_t crc) {
  Byte b = contenuto;
  U16BE(b, crc);
  U16BE(b, codice);
  return b;
}

Byte ImmagineApplicazione(std::uint16_t codice, std::uint32_t indirizzo, const Byte& dati, std::uint32_t pezzo) {
  CImmagine img;
  if (pezzo == 0) pezzo = static_cast<std::uint32_t>(std::max<std::size_t>(dati.size(), 1));
  for (std::size_t p = 0; p < dati.size(); p += pezzo) {
    const std::size_t n = std::min<std::size_t>(pezzo, dati.size() - p);
    img.Dati(indirizzo + static_cast<std::uint32_t>(p),
             Byte(dati.begin() + static_cast<std::ptrdiff_t>(p), dati.begin() + static_cast<std::ptrdiff_t>(p + n)));
  }
  img.Fine(codice);
  return img.Contenuto();
}

bool ScriviFile(const std::string& percorso, const Byte& contenuto) {
  std::ofstream f(percorso, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f.write(reinterpret_cast<const char*>(contenuto.data()), static_cast<std::streamsize>(contenuto.size()));
  return static_cast<bool>(f);
}

Byte LeggiFile(const std::string& percorso) {
  std::ifstream f(percorso, std::ios::binary);
  return Byte(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace bricola::prova
