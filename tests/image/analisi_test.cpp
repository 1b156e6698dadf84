#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/analisi.h"
#include "image/crc.h"
#include "image/modelli.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using prova::Byte;
using prova::CImmagine;
using prova::SIntestazione;

struct SEsito {
  int risultato = -1;
  int numModuli = -1;
  int tuttiValidi = -1;
  int inutilizzabile = -1;
  int grezzo = -1;
  int errore = -1;
};

class Analisi : public ::testing::Test {
 protected:
  Analisi() : descrittori(kMaxModuli) {}

  // Writes the bytes to a disk file and analyses it.
  SEsito Analizza(const Byte& contenuto) {
    const std::string p = cartella.File("immagine.bin");
    EXPECT_TRUE(prova::ScriviFile(p, contenuto));
    return AnalizzaPercorso(p);
  }
  SEsito Analizza(const CImmagine& img) { return Analizza(img.Contenuto()); }

  SEsito AnalizzaPercorso(const std::string& p) {
    SEsito e;
    e.risultato = analisi.AnalizzaFile(p, descrittori.data(), kMaxModuli, e.numModuli, e.tuttiValidi,
                                       e.inutilizzabile, e.grezzo, e.errore);
    return e;
  }

  const CProgDescr& D(int i) const { return descrittori[static_cast<std::size_t>(i)]; }

  prova::CCartellaTemporanea cartella;
  CAnalisiFile analisi;
  std::vector<CProgDescr> descrittori;
};

// The smallest useful file: one data record of 4 bytes for 0xFC0000 and an end record.
const Byte kFile24 = {0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFC, 0x00, 0x01, 0x02, 0x03, 0x04,
                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x6B, 0xCD, 0x00, 0x10};

TEST_F(Analisi, TheSmallestFileIsOneValidModule) {
  CImmagine img;
  img.Dati(0xFC0000, {1, 2, 3, 4}).Fine(0x0010);
  ASSERT_EQ(img.Contenuto(), kFile24);  // the builder writes exactly these bytes

  const SEsito e = Analizza(kFile24);
  EXPECT_EQ(e.risultato, 1);
  EXPECT_EQ(e.errore, 0);
  EXPECT_EQ(e.numModuli, 1);
  EXPECT_EQ(e.tuttiValidi, 1);
  EXPECT_EQ(e.inutilizzabile, 0);
  EXPECT_EQ(e.grezzo, 0);
  const CProgDescr& d = D(0);
  EXPECT_EQ(d.codice, 0x0010);
  EXPECT_EQ(d.inizio, 0u);
  EXPECT_EQ(d.fine, 20u);
  EXPECT_EQ(d.lunghezzaDati, 4u);
  EXPECT_FALSE(d.conIntestazione);
  EXPECT_FALSE(d.conIndirizzo);
  EXPECT_EQ(d.indiceModello, 3);
  EXPECT_EQ(d.tipoLoad, 3);
  EXPECT_EQ(d.TipoLoad(), 3);
  EXPECT_EQ(d.TipoMicro(), 1);
  EXPECT_EQ(d.TipoModulo(), MODULO_PROG);
  EXPECT_FALSE(d.ModuloBoot());
  EXPECT_TRUE(d.CaricabileRemoto());
  EXPECT_FALSE(d.NonSelezionato());
  int a = 0, b = 0;
  d.Velocita(a, b);
  EXPECT_EQ(a, 38400);
  EXPECT_EQ(b, 19200);
  EXPECT_EQ(d.indirizzo, 0u);
  EXPECT_EQ(d.indirizzoPredefinito, 0x482u);
  EXPECT_EQ(d.indirizzoSecondarioPredefinito, 0x485u);
  EXPECT_EQ(d.stato, STATO_VALIDO);
  EXPECT_EQ(d.IndiceNome(), 3);
  EXPECT_FALSE(d.descrizione.has_value());
}

TEST_F(Analisi, AnyChangedPayloadByteBreaksTheCrc) {
  for (std::size_t i = 8; i < 12; ++i) {
    Byte f = kFile24;
    f[i] ^= 0x40;
    const SEsito e = Analizza(f);
    SCOPED_TRACE(i);
    EXPECT_EQ(e.risultato, 1);
    EXPECT_EQ(e.numModuli, 1);
    EXPECT_EQ(D(0).stato, STATO_CRC);
    EXPECT_EQ(e.tuttiValidi, 0);
    EXPECT_EQ(e.inutilizzabile, 0);
    // The defaults are only given to a valid module.
    EXPECT_EQ(D(0).indirizzoPredefinito, 0u);
  }
  // With CRC checking off the module passes.
  analisi.ImpostaVerificaCrc(false);
  Byte f = kFile24;
  f[9] = 0;
  EXPECT_EQ(Analizza(f).tuttiValidi, 1);
  EXPECT_EQ(D(0).stato, STATO_VALIDO);
}

TEST_F(Analisi, FilesThatCannotBeReadAtAll) {
  struct {
    const char* nome;
    Byte contenuto;
  } casi[] = {
      {"empty", {}},
      {"one byte", {0x10}},
      {"three bytes, not raw", {0x00, 0x00, 0x10}},
      {"4-byte file of a record code (a trailer closing nothing)", {0x12, 0x34, 0x00, 0x10}},
      {"4-byte file of a boot code", {0x00, 0x00, 0x00, 0x30}},
      {"head cut short", {0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10}},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.nome);
    const SEsito e = Analizza(c.contenuto);
    EXPECT_EQ(e.risultato, 0);
    EXPECT_EQ(e.errore, ERRORE_FORMATO);
    EXPECT_EQ(e.numModuli, 0);
    EXPECT_EQ(e.inutilizzabile, 1);
    EXPECT_EQ(e.tuttiValidi, 0);
  }
  const SEsito e = AnalizzaPercorso(cartella.File("non-esiste.bin"));
  EXPECT_EQ(e.risultato, 0);
  EXPECT_EQ(e.errore, ERRORE_APERTURA);
  EXPECT_EQ(e.inutilizzabile, 1);
  EXPECT_EQ(AnalizzaPercorso(cartella.Percorso()).errore, ERRORE_APERTURA);
}

// Malformed records: the scan stops with errore 3, the modules completed
// before stay listed and validated.
TEST_F(Analisi, MalformedRecordsFailWithErrore3) {
  struct SCaso {
    const char* nome;
    CImmagine coda;  // what follows one good module
  };
  std::vector<SCaso> casi;
  casi.push_back({"end record right after an end record", CImmagine().Fine(0x0010)});
  casi.push_back({"typed record with dimensione 0", CImmagine().Tipizzato(0x0007, 0).Riempi(0, 4, 1).Fine(0x10)});
  casi.push_back({"typed record with dimensione 7", CImmagine().Tipizzato(0x1234, 7).Riempi(0, 4, 1).Fine(0x10)});
  casi.push_back({"reserved record past the end", CImmagine().Tipizzato(0x0009, 0xFFF0).Riempi(0, 4, 1).Fine(0x10)});
  casi.push_back({"payload past the end", CImmagine().DatiFalsati(0x7FFFFFF0, 0, {1, 2, 3}).Fine(0x10)});
  casi.push_back({"payload up to the very end", CImmagine().DatiFalsati(16, 0, {}).Fine(0x10)});
  casi.push_back({"header cut short", CImmagine().Tipizzato(kTipoIntestazione, 142, Byte(20, 0x10))});
  casi.push_back({"address pair cut short", CImmagine().Riempi(0, 4, 1).Tipizzato(kTipoCoppiaIndirizzi, 16, {1, 2})});
  casi.push_back({"user data cut short", CImmagine().Riempi(0, 4, 1).Tipizzato(kTipoDatiUtente, 40, Byte(30, 0x10))});
  casi.push_back({"end record cut short", CImmagine().Riempi(0, 4, 1).Tipizzato(kTipoFine, 0xFFFF, {0x12})});
  casi.push_back({"module never closed", CImmagine().Riempi(0, 4, 1).Indirizzo(0x400)});
  casi.push_back({"trailer right after an end record", CImmagine().TrailerCrc(0x0010, 0)});
  casi.push_back({"tail of 6 bytes", CImmagine().Grezzi({1, 2, 3, 4, 5, 6})});
  for (auto& c : casi) {
    SCOPED_TRACE(c.nome);
    CImmagine img;
    img.Dati(0xFC0000, {1, 2, 3, 4}).Fine(0x0010).Grezzi(c.coda.Contenuto());
    const SEsito e = Analizza(img);
    EXPECT_EQ(e.risultato, 0);
    EXPECT_EQ(e.errore, ERRORE_FORMATO);
    EXPECT_EQ(e.numModuli, 1);
    EXPECT_EQ(e.inutilizzabile, 0);
    EXPECT_EQ(e.tuttiValidi, 0);
    EXPECT_EQ(D(0).stato, STATO_VALIDO);
    EXPECT_EQ(D(0).codice, 0x0010);
  }
}

TEST_F(Analisi, FailureBeforeTheFirstModuleMakesTheFileUnusable) {
  const SEsito e = Analizza(CImmagine().Fine(0x0010));  // an end record standing first
  EXPECT_EQ(e.risultato, 0);
  EXPECT_EQ(e.errore, ERRORE_FORMATO);
  EXPECT_EQ(e.numModuli, 0);
  EXPECT_EQ(e.inutilizzabile, 1);
}

TEST_F(Analisi, RecordFileOfARawCapableCodeIsScannedNotTakenAsRaw) {
  CImmagine img;
  img.Riempi(0x100000, 0, 0).Dati(0x2000, {9, 8, 7, 6, 5}).Fine(0x0001);
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 1);
  EXPECT_EQ(e.grezzo, 0);
  ASSERT_EQ(e.numModuli, 1);
  EXPECT_EQ(D(0).stato, STATO_VALIDO);
  // Load kind 0: the module is the payload of its first data record with one.
  EXPECT_EQ(D(0).TipoLoad(), 0);
  EXPECT_EQ(D(0).inizio, 8u + 8u);
  EXPECT_EQ(D(0).fine, 8u + 8u + 5u);
}

TEST_F(Analisi, LoadKind0WalkFollowsTheScanNotTheLengthFields) {
  // A header record whose dimensione field is wrong: the scan reads 142 bytes
  // for it, and so does the walk to the first payload.
  Byte corpo(134, 0);  // tipoMicro 0: load kind 0
  CImmagine img;
  img.Tipizzato(kTipoIntestazione, 130, corpo).Dati(0x100, {1, 2, 3}).Fine(0x0010);
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 1);
  ASSERT_EQ(e.numModuli, 1);
  EXPECT_EQ(D(0).TipoLoad(), 0);
  EXPECT_EQ(D(0).stato, STATO_VALIDO);
  EXPECT_EQ(D(0).inizio, 150u);
  EXPECT_EQ(D(0).fine, 153u);
}

TEST_F(Analisi, RawImages) {
  const Byte contenuto = prova::Schema(3000, 5);
  {
    const SEsito e = Analizza(prova::ImmagineGrezza(contenuto, 0x0002));
    EXPECT_EQ(e.risultato, 1);
    EXPECT_EQ(e.grezzo, 1);
    EXPECT_EQ(e.tuttiValidi, 1);
    EXPECT_EQ(e.inutilizzabile, 0);
    ASSERT_EQ(e.numModuli, 1);
    EXPECT_EQ(D(0).codice, 0x0002);
    EXPECT_EQ(D(0).inizio, 0u);
    EXPECT_EQ(D(0).fine, 3000u);
    EXPECT_EQ(D(0).lunghezzaDati, 3000u);
    EXPECT_EQ(D(0).indiceModello, 2);
    EXPECT_EQ(D(0).stato, STATO_VALIDO);
  }
  {
    const Byte errata = prova::ImmagineGrezzaCrc(contenuto, 0x0002, 0x1111);
    SEsito e = Analizza(errata);
    EXPECT_EQ(e.risultato, 1);
    EXPECT_EQ(e.grezzo, 1);
    EXPECT_EQ(e.numModuli, 1);
    EXPECT_EQ(D(0).stato, STATO_CRC);
    EXPECT_EQ(D(0).indiceModello, 0);
    EXPECT_EQ(e.tuttiValidi, 0);
    EXPECT_EQ(e.inutilizzabile, 1);
    analisi.ImpostaVerificaCrc(false);
    e = Analizza(errata);
    EXPECT_EQ(e.tuttiValidi, 1);
    EXPECT_EQ(e.inutilizzabile, 0);
    EXPECT_EQ(D(0).stato, STATO_VALIDO);
    analisi.ImpostaVerificaCrc(true);
  }
  {
    // 4 bytes: no content, the CRC of nothing is 0.
    SEsito e = Analizza(Byte{0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(e.risultato, 1);
    EXPECT_EQ(e.grezzo, 1);
    EXPECT_EQ(D(0).fine, 0u);
    EXPECT_EQ(D(0).stato, STATO_VALIDO);
    e = Analizza(Byte{0x12, 0x34, 0x00, 0x00});
    EXPECT_EQ(D(0).stato, STATO_CRC);
    EXPECT_EQ(e.inutilizzabile, 1);
    // Too short to hold a CRC and a code.
    e = Analizza(Byte{0x00, 0x01});
    EXPECT_EQ(e.risultato, 0);
    EXPECT_EQ(e.errore, ERRORE_FORMATO);
  }
}

TEST_F(Analisi, FourByteTrailerClosesARecordFile) {
  struct {
    std::uint16_t codice;
    std::uint16_t atteso;
  } casi[] = {{0x0030, 0xFF30}, {0x0031, 0xFF31}, {0x0010, 0x0010}, {0x0032, 0x0032}};
  for (const auto& c : casi) {
    SCOPED_TRACE(c.codice);
    CImmagine img;
    img.Dati(0xFF0000, prova::Schema(40)).Dati(0xFF0100, {1, 2, 3}).Trailer(c.codice);
    const SEsito e = Analizza(img);
    EXPECT_EQ(e.risultato, 1);
    ASSERT_EQ(e.numModuli, 1);
    EXPECT_EQ(e.grezzo, 0);
    EXPECT_EQ(D(0).codice, c.atteso);
    EXPECT_EQ(D(0).fine, 48u + 11u);
    EXPECT_EQ(D(0).lunghezzaDati, 48u + 11u);  // the trailer offset, not the payload sum
    EXPECT_EQ(D(0).stato, STATO_VALIDO);
    EXPECT_EQ(D(0).indiceModello, TrovaModello(c.atteso));
  }
  // The trailer's CRC is checked: 0x12 0x34 0x00 0x30.
  CImmagine img;
  img.Dati(0xFF0000, {5, 6, 7, 8}).TrailerCrc(0x0030, 0x1234);
  ASSERT_NE(CCrc::Calcola(img.Contenuto().data(), 12), 0x1234);
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 1);
  EXPECT_EQ(D(0).codice, 0xFF30);
  EXPECT_EQ(D(0).stato, STATO_CRC);
  Byte giusto = img.Contenuto();
  const std::uint16_t crc = CCrc::Calcola(giusto.data(), 12);
  giusto[12] = static_cast<std::uint8_t>(crc >> 8);
  giusto[13] = static_cast<std::uint8_t>(crc);
  Analizza(giusto);
  EXPECT_EQ(D(0).stato, STATO_VALIDO);
  EXPECT_TRUE(D(0).ModuloBoot());
  EXPECT_EQ(D(0).TipoLoad(), 2);
}

TEST_F(Analisi, TrailerAfterCompleteModulesClosesTheLastOne) {
  CImmagine img;
  img.Dati(0xFC0000, {1}).Fine(0x0011).Dati(0xFF0000, {2, 3}).Trailer(0x0031);
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 1);
  ASSERT_EQ(e.numModuli, 2);
  EXPECT_EQ(D(1).codice, 0xFF31);
  EXPECT_EQ(D(1).inizio, 21u);
  EXPECT_EQ(D(1).stato, STATO_VALIDO);
}

TEST_F(Analisi, AddressRecordIsLeftOutOfTheCrc) {
  CImmagine img;
  img.Indirizzo(0x0481).Dati(0xFC0000, prova::Schema(100)).Fine(0x0019);
  SEsito e = Analizza(img);
  EXPECT_EQ(e.tuttiValidi, 1);
  EXPECT_TRUE(D(0).conIndirizzo);
  EXPECT_EQ(D(0).indirizzo, 0x481u);
  EXPECT_EQ(D(0).indirizzoSecondario, 0u);
  EXPECT_EQ(D(0).indirizzoPredefinito, 0x481u);
  // Without the address record the CRC still holds.
  const Byte senza(img.Contenuto().begin() + 8, img.Contenuto().end());
  e = Analizza(senza);
  EXPECT_EQ(e.tuttiValidi, 1);
  EXPECT_FALSE(D(0).conIndirizzo);
  EXPECT_EQ(D(0).indirizzo, 0u);
}

TEST_F(Analisi, AddressPairAndUserData) {
  Byte primi(32), secondi(32);
  for (int i = 0; i < 32; ++i) {
    primi[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    secondi[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(100 + i);
  }
  CImmagine img;
  img.CoppiaIndirizzi(0x12345, 0x6789A).DatiUtente(primi).Riempi(0xFC0000, 64, 0xAA).DatiUtente(secondi).Fine(0x0010);
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.tuttiValidi, 1);
  EXPECT_EQ(D(0).indirizzo, 0x12345u);
  EXPECT_EQ(D(0).indirizzoSecondario, 0x6789Au);
  EXPECT_FALSE(D(0).conIndirizzo);
  EXPECT_EQ(D(0).datiUtente[0], 100);
  EXPECT_EQ(D(0).datiUtente[31], 131);
  EXPECT_EQ(D(0).datiUtente[32], 0);
  EXPECT_EQ(D(0).datiUtente[127], 0);
  // The four addresses form one group.
  CProgDescr& d = descrittori[0];
  EXPECT_EQ(d.Indirizzi()[0], 0x12345u);
  EXPECT_EQ(d.Indirizzi()[1], 0x6789Au);
  EXPECT_EQ(d.Indirizzi()[2], 0x482u);
  EXPECT_EQ(d.Indirizzi()[3], 0x485u);
}

TEST_F(Analisi, HeaderRecordGivesTheModuleItsOwnFields) {
  SIntestazione h;
  h.tipoMicro = 4;
  h.tipoModulo = MODULO_DATA;
  h.caricabileRemoto = true;
  h.nonSelezionato = true;
  h.nome = "Modulo \xE8";  // one byte per character: 0xE8 is the letter e grave
  CImmagine img;
  img.Intestazione(h).Riempi(0xF80000, 256, 0x11).Fine(0x0011);
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 1);
  EXPECT_EQ(e.tuttiValidi, 1);
  const CProgDescr& d = D(0);
  EXPECT_TRUE(d.conIntestazione);
  EXPECT_EQ(d.indiceModello, 0);
  EXPECT_EQ(d.tipoMicro, 4);
  EXPECT_EQ(d.TipoLoad(), 7);
  EXPECT_EQ(d.TipoModulo(), MODULO_DATA);
  EXPECT_FALSE(d.ModuloBoot());
  EXPECT_TRUE(d.CaricabileRemoto());
  EXPECT_TRUE(d.NonSelezionato());
  int a = 0, b = 0;
  d.Velocita(a, b);
  EXPECT_EQ(a, 38400);
  EXPECT_EQ(b, 38400);
  EXPECT_EQ(d.nome, "Modulo \xC3\xA8");
  // Defaults still come from the code's row.
  EXPECT_EQ(d.indirizzoPredefinito, 0x480u);
}

TEST_F(Analisi, HeaderSelectorTable) {
  struct {
    int micro;
    bool boot;
    int tipoLoad, avvio, alternativa;  // tipoLoad -1: invalid
  } casi[] = {
      {0, true, 0, 38400, 38400},   {0, false, 0, 38400, 38400},   {1, true, 2, 4800, 9600},
      {1, false, 3, 38400, 19200},  {2, true, 1, 4800, 9600},      {2, false, 4, 38400, 19200},
      {3, true, 5, 38400, 19200},   {3, false, 5, 38400, 19200},   {4, true, 6, 4800, 38400},
      {4, false, 7, 38400, 38400},  {5, true, -1, 0, 0},           {5, false, 3, 38400, 19200},
      {6, true, 8, 19200, 38400},   {6, false, 9, 38400, 38400},   {7, true, -1, 0, 0},
      {7, false, 7, 38400, 38400},  {8, true, 10, 9600, 115200},   {8, false, 11, 38400, 38400},
      {9, true, 12, 9600, 115200},  {9, false, 13, 38400, 38400},  {10, false, -1, 0, 0},
      {10, true, -1, 0, 0},         {0xFFFF, false, -1, 0, 0},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(testing::Message() << "micro " << c.micro << " boot " << c.boot);
    SIntestazione h;
    h.tipoMicro = c.micro;
    h.tipoModulo = c.boot ? MODULO_BOOT : MODULO_PROG;
    CImmagine img;
    img.Intestazione(h).Riempi(0xFF0000, 16, 0).Fine(0x0033);
    const SEsito e = Analizza(img);
    if (c.tipoLoad < 0) {
      EXPECT_EQ(e.risultato, 0);
      EXPECT_EQ(e.errore, ERRORE_SELETTORE);
      EXPECT_EQ(e.numModuli, 0);
      EXPECT_EQ(e.inutilizzabile, 1);
      continue;
    }
    EXPECT_EQ(e.risultato, 1);
    EXPECT_EQ(D(0).TipoLoad(), c.tipoLoad);
    EXPECT_EQ(D(0).ModuloBoot(), c.boot);
    int a = 0, b = 0;
    D(0).Velocita(a, b);
    EXPECT_EQ(a, c.avvio);
    EXPECT_EQ(b, c.alternativa);
  }
}

TEST_F(Analisi, InvalidSelectorInALaterModuleKeepsTheEarlierOnes) {
  SIntestazione h;
  h.tipoMicro = 7;
  h.tipoModulo = MODULO_BOOT;
  CImmagine img;
  img.Dati(0xFC0000, {1, 2}).Fine(0x0010).Intestazione(h).Riempi(0, 4, 0).Fine(0x0030);
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 0);
  EXPECT_EQ(e.errore, ERRORE_SELETTORE);
  EXPECT_EQ(e.numModuli, 1);
  EXPECT_EQ(e.inutilizzabile, 0);
  EXPECT_EQ(D(0).stato, STATO_VALIDO);
}

TEST_F(Analisi, HundredModulesAtMost) {
  CImmagine img;
  for (int i = 0; i < 101; ++i) img.Dati(0xFC0000, {static_cast<std::uint8_t>(i)}).Fine(0x0010);
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 1);
  EXPECT_EQ(e.errore, 0);
  EXPECT_EQ(e.numModuli, 100);
  EXPECT_EQ(e.tuttiValidi, 1);
  EXPECT_EQ(D(99).inizio, 99u * 21u);
  EXPECT_EQ(D(99).stato, STATO_VALIDO);
}

TEST_F(Analisi, SmallerCapacityStopsEarlier) {
  CImmagine img;
  for (int i = 0; i < 5; ++i) img.Dati(0xFC0000, {1}).Fine(0x0010);
  std::vector<CProgDescr> pochi(3);
  int n = 0, tv = 0, inu = 0, gr = 0, err = 0;
  ASSERT_TRUE(prova::ScriviFile(cartella.File("cinque.bin"), img.Contenuto()));
  EXPECT_EQ(analisi.AnalizzaFile(cartella.File("cinque.bin"), pochi.data(), 3, n, tv, inu, gr, err), 1);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(analisi.AnalizzaFile(cartella.File("cinque.bin"), pochi.data(), 0, n, tv, inu, gr, err), 0);
  EXPECT_EQ(n, 0);
}

TEST_F(Analisi, UnknownCodeAndModuleWithoutData) {
  CImmagine img;
  img.Dati(0xFC0000, {1, 2}).Fine(0x0003)                   // not in the table
      .Riempi(0, 0, 0).Indirizzo(0x10).Riempi(0, 0, 0).Fine(0x0000);  // load kind 0, no payload
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 1);
  ASSERT_EQ(e.numModuli, 2);
  EXPECT_EQ(D(0).stato, STATO_SCONOSCIUTO);
  EXPECT_EQ(D(0).indiceModello, 0);
  EXPECT_EQ(D(1).stato, STATO_SENZA_DATI);
  EXPECT_EQ(e.tuttiValidi, 0);  // because of the unknown code
  const int tutti[2] = {1, 1}, secondo[2] = {0, 1}, nessuno[2] = {0, 0};
  EXPECT_FALSE(CAnalisiFile::TuttiSelezionatiValidi(descrittori.data(), 2, tutti));
  EXPECT_FALSE(CAnalisiFile::TuttiSelezionatiValidi(descrittori.data(), 2, secondo));
  EXPECT_TRUE(CAnalisiFile::TuttiSelezionatiValidi(descrittori.data(), 2, nessuno));
}

TEST_F(Analisi, ContentMarksAndDescriptions) {
  CImmagine img;
  img.Font(0xA00000).Fine(0x0010)
      .Figura(0xA00000).Fine(0x0010)
      .Descrizione(0x0, "Caff\xC3\xA8 \xE2\x98\x95 descrizione", 9).Riempi(0xFC0000, 8, 0).Fine(0x0010)
      .Riempi(0xFC0000, 15, 0).Fine(0x0010);
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 1);
  ASSERT_EQ(e.numModuli, 4);
  EXPECT_EQ(D(0).tipoContenuto, CONTENUTO_FONT);
  EXPECT_EQ(D(1).tipoContenuto, CONTENUTO_IMMAGINE);
  EXPECT_EQ(D(2).tipoContenuto, CONTENUTO_PROGRAMMA);  // the last payload decides
  ASSERT_TRUE(D(2).descrizione.has_value());
  EXPECT_EQ(*D(2).descrizione, "Caff\xC3\xA8 \xE2\x98\x95 descrizione");
  EXPECT_EQ(D(3).tipoContenuto, CONTENUTO_PROGRAMMA);
  EXPECT_FALSE(D(3).descrizione.has_value());
  // The marked payloads are ordinary data.
  EXPECT_EQ(D(0).lunghezzaDati, 32u);

  std::string testo = "x";
  EXPECT_EQ(D(2).Descrizione(testo, 4), 4);
  EXPECT_EQ(testo, "Caff");
  EXPECT_EQ(D(2).Descrizione(testo, 6), 6);
  EXPECT_EQ(testo, "Caff\xC3\xA8 ");  // counted in characters, never split
  EXPECT_EQ(D(2).Descrizione(testo, 1000), 19);
  testo = "invariato";
  EXPECT_EQ(D(2).Descrizione(testo, 0), 0);
  EXPECT_EQ(testo, "invariato");
  EXPECT_EQ(D(3).Descrizione(testo, 10), 0);
  EXPECT_EQ(testo, "");
}

TEST_F(Analisi, ContentKindOfADescriptionBlockComesToTheHeader) {
  CImmagine img;
  img.Albero(0, "cartella", {{"a\\b.txt", false, {1, 2, 3}}, {"a", true, {}}}, 9);
  img.Intestazione({.tipoMicro = 1, .tipoModulo = MODULO_MMI, .caricabileRemoto = false, .nonSelezionato = false, .nome = "albero"}).Fine(0x0010);
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 1);
  EXPECT_EQ(D(0).tipoContenuto, 9);
  EXPECT_EQ(D(0).TipoModulo(), MODULO_MMI);
  EXPECT_EQ(D(0).descrizione.value_or(""), "cartella");
  EXPECT_STREQ(EtichettaModulo(D(0).TipoModulo()), "Mmi");
}

TEST_F(Analisi, GarbageDescriptionBlocksCostOnlyTheText) {
  const Byte buono = prova::BloccoDescrizione(3, std::string("testo"));
  std::vector<std::pair<const char*, Byte>> casi;
  auto guasto = [&](const char* nome, std::size_t pos, std::uint8_t v) {
    Byte b = buono;
    b[pos] = v;
    casi.emplace_back(nome, b);
  };
  guasto("entry mark", 12, 0x00);
  guasto("entry type", 16, 0x03);
  guasto("entry kind", 20, 0x07);
  guasto("length field", 18, 0x00);
  guasto("text length larger than the payload", 23, 0x40);
  guasto("nonzero content length", 24, 0x01);
  casi.emplace_back("head only", Byte(buono.begin(), buono.begin() + 12));
  casi.emplace_back("entry head cut", Byte(buono.begin(), buono.begin() + 20));
  casi.emplace_back("text cut", Byte(buono.begin(), buono.end() - 2));
  casi.emplace_back("file entry first", prova::BloccoDescrizione(3, std::nullopt, {{"f", false, {1}}}));
  for (const auto& [nome, blocco] : casi) {
    SCOPED_TRACE(nome);
    CImmagine img;
    img.Descrizione(0, "prima").Fine(0x0010).Dati(0, blocco).Riempi(0xFC0000, 4, 0).Fine(0x0010);
    const SEsito e = Analizza(img);
    EXPECT_EQ(e.risultato, 1);
    EXPECT_EQ(e.tuttiValidi, 1);
    ASSERT_EQ(e.numModuli, 2);
    EXPECT_EQ(D(0).descrizione.value_or(""), "prima");
    EXPECT_FALSE(D(1).descrizione.has_value());
  }
  // A later block with a text replaces an earlier one; one without a text clears it.
  CImmagine img;
  img.Descrizione(0, "uno").Descrizione(0, "due").Fine(0x0010)
      .Descrizione(0, "tre").Dati(0, prova::BloccoDescrizione(0, std::nullopt)).Fine(0x0010);
  Analizza(img);
  EXPECT_EQ(D(0).descrizione.value_or(""), "due");
  EXPECT_FALSE(D(1).descrizione.has_value());
}

TEST_F(Analisi, DescriptionsDoNotLeakFromThePreviousFile) {
  CImmagine con;
  con.Descrizione(0, "vecchia").Fine(0x0010).Descrizione(0, "altra").Fine(0x0010);
  Analizza(con);
  ASSERT_TRUE(D(0).descrizione.has_value());
  ASSERT_TRUE(D(1).descrizione.has_value());
  CImmagine senza;
  senza.Dati(0xFC0000, {1}).Fine(0x0010);
  Analizza(senza);
  EXPECT_FALSE(D(0).descrizione.has_value());
  EXPECT_FALSE(D(1).descrizione.has_value());
  EXPECT_EQ(D(1).codice, 0);
}

TEST_F(Analisi, ShortPayloadJustBeforeTheEnd) {
  CImmagine img;
  img.Dati(0xFC0000, prova::Schema(64)).Dati(0xFC0040, {0xFF, 0xFF}).Trailer(0x0010);
  SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 1);
  EXPECT_EQ(e.tuttiValidi, 1);
  // Payloads shorter than a mark are not mistaken for one by what follows them.
  CImmagine img2;
  img2.Dati(0xFC0000, {1, 2, 3, 4}).Riservato(0x0005, Byte(20, 0)).Fine(0x0010);
  e = Analizza(img2);
  EXPECT_EQ(e.risultato, 1);
  EXPECT_EQ(D(0).tipoContenuto, 0);
}

TEST_F(Analisi, ReservedRecordsAreSkipped) {
  CImmagine img;
  img.Riservato(0x0042, prova::Schema(30)).Riservato(0x1234, {}).Dati(0xFC0000, {1}).Fine(0x0010);
  const SEsito e = Analizza(img);
  EXPECT_EQ(e.risultato, 1);
  EXPECT_EQ(e.tuttiValidi, 1);
  EXPECT_EQ(D(0).lunghezzaDati, 1u);
}

TEST_F(Analisi, SelectionQueries) {
  CImmagine img;
  img.Dati(0xFC0000, {1}).Fine(0x0010)                                     // remote, not boot
      .Dati(0xFF0000, {1}).Fine(0x0030)                                    // boot row, not remote
      .Intestazione({.tipoMicro = 1, .tipoModulo = 0, .caricabileRemoto = false, .nonSelezionato = false, .nome = {}}).Riempi(0, 1, 0).Fine(0x0010);
  ASSERT_EQ(Analizza(img).numModuli, 3);
  const int primo[3] = {1, 0, 0}, secondo[3] = {0, 1, 0}, terzo[3] = {0, 0, 1};
  EXPECT_FALSE(CAnalisiFile::QualcunoNonRemoto(descrittori.data(), 3, primo));
  EXPECT_TRUE(CAnalisiFile::QualcunoNonRemoto(descrittori.data(), 3, secondo));
  EXPECT_TRUE(CAnalisiFile::QualcunoNonRemoto(descrittori.data(), 3, terzo));  // header byte 11 is 0
  EXPECT_FALSE(CAnalisiFile::QualcunoBoot(descrittori.data(), 3, primo));
  EXPECT_TRUE(CAnalisiFile::QualcunoBoot(descrittori.data(), 3, secondo));
  EXPECT_FALSE(CAnalisiFile::QualcunoBoot(descrittori.data(), 3, terzo));
  EXPECT_TRUE(CAnalisiFile::TuttiSelezionatiValidi(descrittori.data(), 3, secondo));
}

TEST(AnalisiSorgente, KeySourceAndFileClosedAfterEveryAnalysis) {
  CFileMemoria chiave;
  CImmagine img;
  img.Dati(0xFC0000, {1, 2, 3}).Fine(0x0010);
  chiave.ImpostaContenuto(img.Contenuto());
  chiave.ImpostaNome("3");
  CAnalisiFile analisi;
  std::vector<CProgDescr> d(kMaxModuli);
  int n = 0, tv = 0, inu = 0, gr = 0, err = 0;
  analisi.ImpostaSorgente(true, &chiave);
  EXPECT_EQ(&analisi.FileCorrente(), &chiave);
  EXPECT_EQ(analisi.AnalizzaFile("3", d.data(), kMaxModuli, n, tv, inu, gr, err), 1);
  EXPECT_EQ(n, 1);
  EXPECT_FALSE(chiave.Aperto());
  EXPECT_EQ(analisi.AnalizzaFile("4", d.data(), kMaxModuli, n, tv, inu, gr, err), 0);
  EXPECT_EQ(err, ERRORE_APERTURA);
  chiave.ImpostaContenuto(Byte{1, 2, 3, 4, 5});
  EXPECT_EQ(analisi.AnalizzaFile("3", d.data(), kMaxModuli, n, tv, inu, gr, err), 0);
  EXPECT_FALSE(chiave.Aperto());
  analisi.ImpostaSorgente(false);
  EXPECT_NE(&analisi.FileCorrente(), &chiave);
  analisi.ImpostaSorgente(true);  // the key object given before
  EXPECT_EQ(&analisi.FileCorrente(), &chiave);
}

TEST(AnalisiSorgente, PayloadsAreSkippedNotRead) {
  // 64 modules of 256 KB each, each in 4 records.
  CImmagine img;
  for (int m = 0; m < 64; ++m) {
    for (int r = 0; r < 4; ++r) img.Riempi(0x400000 + static_cast<std::uint32_t>(r) * 0x10000, 0x10000, 0x5A);
    img.Fine(0x0010);
  }
  CFileMemoria file(img.Contenuto());
  CAnalisiFile analisi;
  analisi.ImpostaSorgente(true, &file);
  analisi.ImpostaVerificaCrc(false);
  std::vector<CProgDescr> d(kMaxModuli);
  int n = 0, tv = 0, inu = 0, gr = 0, err = 0;
  ASSERT_EQ(analisi.AnalizzaFile("", d.data(), kMaxModuli, n, tv, inu, gr, err), 1);
  EXPECT_EQ(n, 64);
  EXPECT_EQ(tv, 1);
  // Record heads and the 16-byte peeks only.
  EXPECT_LT(file.ByteLetti(), 64u * 5u * 40u);
  // With CRC checking every byte is read once for the CRC, and little more.
  analisi.ImpostaVerificaCrc(true);
  const std::uint64_t prima = file.ByteLetti();
  ASSERT_EQ(analisi.AnalizzaFile("", d.data(), kMaxModuli, n, tv, inu, gr, err), 1);
  EXPECT_EQ(tv, 1);
  EXPECT_LT(file.ByteLetti() - prima, img.Contenuto().size() + 64u * 5u * 40u);
}

}  // namespace
}  // namespace bricola
