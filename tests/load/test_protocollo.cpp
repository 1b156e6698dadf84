// Frames of the resident boot protocol against the wire examples, the frame
// checks, the field decoders and the record walk of the loader base.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "load/load.h"
#include "load/protocollo_boot.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using Byte = std::vector<std::uint8_t>;

Byte Di(const CTrama& t) { return Byte(t.Dati(), t.Dati() + t.Lunghezza()); }

struct SEsempioTrama {
  const char* nome;
  CTrama trama;
  Byte attesi;  // empty: only the length and the check are asserted
  int lunghezza;
};

TEST(TrameBoot, RichiesteComeSulFilo) {
  const Byte dati{0x11, 0x22, 0x33, 0x44};
  const std::vector<SEsempioTrama> esempi = {
      {"GetFirma", TramaGetFirma(), {0xF3, 0x60, 0x03, 0x18}, 4},
      {"LunBuf", TramaLunBuf(), {0xFE, 0xC0, 0x03, 0x1C}, 4},
      {"GetVersione", TramaGetVersione(), {0xFB, 0x60, 0x03, 0x1C}, 4},
      {"Fine", TramaFine(), {0xF4, 0x80, 0x03, 0x18}, 4},
      {"SetRemoto 0482", TramaSetRemoto(0x0482), {0xFA, 0x82, 0x04, 0xFF, 0x01, 0x00}, 6},
      {"GetMicro", TramaGetMicro(), {}, 5},
      {"GetVelocitaMassima", TramaGetVelocitaMassima(), {}, 5},
      {"SetVelocita", TramaSetVelocita(1), {}, 6},
      {"Reboot", TramaReboot(), {}, 4},
      {"ModoDati", TramaModoDati(), {}, 5},
      {"FlashType 3", TramaFlashType(0x400000, 32, 45, false), {}, 10},
      {"FlashType 4", TramaFlashType(0x400000, 32, 45, true), {}, 11},
      {"FlashBlocco 3", TramaFlashBlocco(0x123456, false), {}, 8},
      {"FlashBlocco 4", TramaFlashBlocco(0x123456, true), {}, 9},
      {"Blank 3", TramaBlank(0xFC0000, 0xFCFFFE, false), {}, 10},
      {"Blank 4", TramaBlank(0xFC0000, 0xFCFFFE, true), {}, 12},
      {"Erase 3", TramaErase(0xFC0000, false), {}, 7},
      {"Erase 4", TramaErase(0xFC0000, true), {}, 8},
      {"Write 3", TramaWrite(0x00FF00, dati.data(), 4, false), {}, 13},
      {"Write 4", TramaWrite(0x00FF00, dati.data(), 4, true), {}, 14},
      {"Read 3", TramaRead(0xFC0000, 46, false), {}, 9},
      {"Read 4", TramaRead(0xFC0000, 46, true), {}, 10},
      {"Codice", TramaCodice(0x0010, 0x0482), {}, 11},
  };
  for (const auto& e : esempi) {
    SCOPED_TRACE(e.nome);
    const Byte b = Di(e.trama);
    EXPECT_EQ(static_cast<int>(b.size()), e.lunghezza);
    if (!e.attesi.empty()) {
      EXPECT_EQ(b, e.attesi);
    }
    // What a boot checks: the hash over the whole request is 0.
    EXPECT_EQ(HashRuota5(b.data(), static_cast<int>(b.size())), 0);
  }
}

TEST(TrameBoot, CampiDelleRichiesteInLittleEndian) {
  const Byte dati{0x11, 0x22, 0x33, 0x44};
  Byte w = Di(TramaWrite(0x00FF00, dati.data(), 4, false));
  EXPECT_EQ(Byte(w.begin(), w.begin() + 10), (Byte{0xED, 0x00, 0xFF, 0x00, 0x04, 0x00, 0x11, 0x22, 0x33, 0x44}));
  w = Di(TramaWrite(0x00FF00, dati.data(), 4, true));
  EXPECT_EQ(Byte(w.begin(), w.begin() + 11), (Byte{0xED, 0x00, 0xFF, 0x00, 0x00, 0x04, 0x00, 0x11, 0x22, 0x33, 0x44}));
  const Byte c = Di(TramaCodice(0x1234, 0x0482));
  EXPECT_EQ(Byte(c.begin(), c.begin() + 8), (Byte{0xF7, 0x02, 0x34, 0x12, 0x82, 0x04, 0x00, 0x00}));
  const Byte ft = Di(TramaFlashType(0x600000, 128, 32, false));
  EXPECT_EQ(Byte(ft.begin(), ft.begin() + 7), (Byte{0xF8, 0x00, 0x00, 0x60, 0x80, 0x00, 0x20}));
  const Byte bl = Di(TramaBlank(0xFC0000, 0xFCFFFE, false));
  EXPECT_EQ(Byte(bl.begin(), bl.begin() + 7), (Byte{0xEC, 0x00, 0x00, 0xFC, 0xFE, 0xFF, 0xFC}));
}

TEST(ControlloTrame, AggiungiControlloSuEsempiNoti) {
  std::uint8_t abc[6] = {0x61, 0x62, 0x63};
  CLoadFujitsu::AggiungiControllo(abc, 3);
  EXPECT_EQ(Byte(abc + 3, abc + 6), (Byte{0x51, 0x00, 0x10}));
  std::uint8_t f3[4] = {0xF3};
  CLoadFujitsu::AggiungiControllo(f3, 1);
  EXPECT_EQ(Byte(f3, f3 + 4), (Byte{0xF3, 0x60, 0x03, 0x18}));
}

TEST(ControlloTrame, VerificaRisposta) {
  const Byte firma{0xF3, 0x34, 0x12, 0x91, 0xCA};
  EXPECT_EQ(HashRuota5(firma.data(), 3), 0xCA91);
  EXPECT_EQ(CLoadFujitsu::VerificaRisposta(firma.data(), 5, kGetFirma), 1);
  EXPECT_EQ(CLoadFujitsu::VerificaRisposta(firma.data(), 5, kGetVersione), 0);  // wrong echo
  Byte rovinata = firma;
  rovinata[4] ^= 1;
  EXPECT_EQ(CLoadFujitsu::VerificaRisposta(rovinata.data(), 5, kGetFirma), 0);
  rovinata = firma;
  rovinata[1] ^= 0x80;  // a data bit
  EXPECT_EQ(CLoadFujitsu::VerificaRisposta(rovinata.data(), 5, kGetFirma), 0);

  // Blank and Erase: the extra command byte is outside the check.
  const Byte blank{0xEC, 0xEC, 0xFF, 0x7F, 0x1D};
  EXPECT_EQ(CLoadFujitsu::VerificaRisposta(blank.data() + 1, 4, kBlank), 1);

  const Byte lunBuf{0xFE, 0x80, 0x40, 0x1F};
  ASSERT_EQ(CLoadFujitsu::VerificaRisposta(lunBuf.data(), 4, kLunBuf), 1);
  EXPECT_EQ(DimensioneBufferRemoto(lunBuf[1]), 128);
}

TEST(CampiBoot, DimensioneBufferRemoto) {
  const std::vector<std::pair<int, int>> casi = {{1, 1}, {100, 100}, {128, 128}, {129, 16}, {192, 1024}, {255, 2032}};
  for (auto [codice, byte] : casi) EXPECT_EQ(DimensioneBufferRemoto(static_cast<std::uint8_t>(codice)), byte) << codice;
}

TEST(CampiBoot, TipoMicroDaCodiceMacchina) {
  const std::vector<std::pair<int, int>> casi = {
      {0x0000, 0}, {0x0002, 0}, {0x0003, 1}, {0x0013, 2}, {0x0017, 2}, {0x001E, 2}, {0x0026, 2},
      {0x0014, 1}, {0x101F, 1}, {0x1020, 3}, {0x1025, 3}, {0x1026, 1}, {0xFFFF, 1}};
  for (auto [codice, tipo] : casi) EXPECT_EQ(TipoMicroDaCodice(static_cast<std::uint16_t>(codice)), tipo) << codice;
}

TEST(CampiBoot, CompatibilitaMicro) {
  // Boot type -> module types accepted (0..9).
  const std::vector<std::pair<int, std::vector<int>>> tabella = {
      {0, {0}}, {1, {1, 5, 7}}, {2, {2}}, {3, {3}}, {4, {4, 5, 7}},
      {6, {6, 7}}, {8, {7, 8}}, {9, {7, 9}}, {5, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {7, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}}, {0xFF, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}}};
  for (const auto& [boot, accettati] : tabella) {
    for (int modulo = 0; modulo <= 9; ++modulo) {
      const bool atteso = std::find(accettati.begin(), accettati.end(), modulo) != accettati.end();
      EXPECT_EQ(MicroCompatibili(boot, modulo), atteso) << "boot " << boot << " modulo " << modulo;
    }
  }
}

TEST(TabellaRichieste, OgniRichiestaHaTestiETempi) {
  for (int i = 0; i < static_cast<int>(Richiesta::Numero); ++i) {
    const SRichiesta& d = Descrizione(static_cast<Richiesta>(i));
    SCOPED_TRACE(i);
    EXPECT_GT(d.timeoutMs, 0);
    EXPECT_NE(d.ricevuto, nullptr);
    EXPECT_NE(d.errata, nullptr);
    EXPECT_NE(d.prefisso, nullptr);
    EXPECT_EQ(d.tentativo == nullptr, d.fineTentativi == nullptr);
  }
  EXPECT_EQ(Descrizione(Richiesta::Blank).timeoutMs, 6000);
  EXPECT_EQ(Descrizione(Richiesta::Erase).timeoutMs, 8000);
  EXPECT_EQ(Descrizione(Richiesta::Write).timeoutMs, 3000);
  EXPECT_EQ(Descrizione(Richiesta::Reboot).timeoutMs, 2000);
  EXPECT_EQ(Descrizione(Richiesta::LunBuf).timeoutMs, 2000);
}

// --- record walk -----------------------------------------------------------------

class CLoadProva : public CLoad {
 public:
  int PeriodoTimer() override { return 10; }
  int Avvia(const std::string&, std::uint32_t, std::uint32_t, std::uint16_t, const std::uint32_t*, int, int, int,
            CInterfaccia*, int, const int*, int, int*) override {
    return 0;
  }
  int Passo(int*) override { return 0; }
  int Termina() override { return fileModulo.Chiudi(); }
  int Apri(const std::string& p) { return fileModulo.ApriLettura(p); }
  Byte LeggiPayload(int n) {
    Byte b(static_cast<std::size_t>(n));
    if (!fileModulo.Leggi(b.data(), static_cast<std::uint32_t>(n))) b.clear();
    return b;
  }
};

TEST(RecordModulo, ContaBlocchiEProssimoBlocco) {
  prova::CCartellaTemporanea cartella;
  prova::CImmagine img;
  img.Indirizzo(0x482)
      .Intestazione({.tipoMicro = 1, .tipoModulo = 0, .nome = "app"})
      .Dati(0xFC0000, prova::Schema(100))
      .Dati(0xFD0000, {})  // no payload: not a block
      .DatiUtente({1, 2, 3})
      .Riservato(0x0042, {9, 9, 9, 9})
      .Dati(0xFE0000, prova::Schema(28, 2))
      .Fine(0x0010);
  const std::string percorso = cartella.File("m.bin");
  ASSERT_TRUE(img.Scrivi(percorso));
  const std::uint32_t fine = img.Posizione() - 4;

  CLoadProva l;
  ASSERT_TRUE(l.Apri(percorso));
  int totale = 0, blocchi = 0;
  ASSERT_EQ(l.ContaBlocchi(0, fine, 1, &totale, &blocchi), 1);
  EXPECT_EQ(totale, 128);
  EXPECT_EQ(blocchi, 2);
  ASSERT_EQ(l.ContaBlocchi(0, fine, 0, &totale, &blocchi), 1);
  EXPECT_EQ(totale, 256);
  EXPECT_EQ(blocchi, 2);

  ASSERT_EQ(l.ContaBlocchi(0, 0, 1, &totale, &blocchi), 1);  // nothing to walk
  EXPECT_EQ(totale, 0);

  // From the start, block by block: typed records and empty data records are stepped over.
  int lunghezza = 0, indirizzo = 0;
  l.Termina();
  ASSERT_TRUE(l.Apri(percorso));
  ASSERT_EQ(l.ProssimoBlocco(&lunghezza, &indirizzo), 1);
  EXPECT_EQ(lunghezza, 100);
  EXPECT_EQ(indirizzo, 0xFC0000);
  EXPECT_EQ(l.LeggiPayload(100), prova::Schema(100));
  ASSERT_EQ(l.ProssimoBlocco(&lunghezza, &indirizzo), 1);
  EXPECT_EQ(lunghezza, 28);
  EXPECT_EQ(indirizzo, 0xFE0000);
  EXPECT_EQ(l.LeggiPayload(28), prova::Schema(28, 2));
  EXPECT_EQ(l.ProssimoBlocco(&lunghezza, &indirizzo), 0);  // the end record
}

TEST(RecordModulo, RecordMalformatiFannoFallireLaScansione) {
  prova::CCartellaTemporanea cartella;
  struct SCaso {
    const char* nome;
    prova::CImmagine img;
  };
  std::vector<SCaso> casi;
  casi.push_back({"typed record shorter than its header", {}});
  casi.back().img.Dati(0xFC0000, {1, 2}).Tipizzato(0x0042, 4).Fine(0x0010);
  casi.push_back({"payload past the module end", {}});
  casi.back().img.DatiFalsati(0x1000, 0xFC0000, {1, 2, 3, 4}).Fine(0x0010);
  for (auto& c : casi) {
    SCOPED_TRACE(c.nome);
    const std::string percorso = cartella.File("m.bin");
    ASSERT_TRUE(c.img.Scrivi(percorso));
    CLoadProva l;
    ASSERT_TRUE(l.Apri(percorso));
    int totale = 0, blocchi = 0;
    EXPECT_EQ(l.ContaBlocchi(0, c.img.Posizione() - 4, 1, &totale, &blocchi), 0);
    l.Termina();
  }
}

}  // namespace
}  // namespace bricola
