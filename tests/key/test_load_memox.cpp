// The key loader against the in-memory key: a module written page by page and
// then the directory, retries, the limits, and the key read back into a disk file.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/esiti.h"
#include "key/load_memox.h"
#include "memox_finta.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using prova::Byte;
using prova::CMemoxFinta;

class LoadMemox : public ::testing::Test {
 protected:
  void SetUp() override {
    immagine = cartella.File("image.bin");
    contenuto = prova::Schema(3000, 7);
    ASSERT_TRUE(prova::ScriviFile(immagine, contenuto));
    loader.ImpostaDispositivo(&chiave);
    loader.ImpostaFileRegistro(cartella.File("log.txt"));
  }

  // Starts a module of n bytes (fine - inizio + 4) taken from offset inizio.
  int Avvia(std::uint32_t inizio, std::uint32_t n, int tipoModulo = 0, int tipoLoad = 3) {
    esito = -1;
    return loader.Avvia(immagine, inizio, inizio + n - 4, 0x1234, nullptr, tipoModulo, tipoLoad, 0, nullptr, 0,
                        nullptr, 0, &esito);
  }
  // Steps to the end; the number of steps.
  int Esegui() {
    int passi = 0;
    int aggiorna = 0;
    while (loader.Passo(&aggiorna)) {
      if (++passi > 100000) break;
    }
    return passi + 1;
  }
  std::string Registro() {
    const Byte b = prova::LeggiFile(cartella.File("log.txt"));
    return std::string(b.begin(), b.end());
  }

  prova::CCartellaTemporanea cartella;
  std::string immagine;
  Byte contenuto;
  CMemoxFinta chiave;
  CLoadMemox loader;
  int esito = -1;
};

TEST_F(LoadMemox, A1000ByteModuleTakesFourPagesThenOneDirectoryWrite) {
  ASSERT_TRUE(Avvia(100, 1000, 2, 0));
  EXPECT_EQ(esito, RC_OK);
  EXPECT_EQ(loader.fase, ST_SEND_MODULE);
  EXPECT_EQ(loader.byteTotali, 1000);
  // Avvia already recorded the entry on the key.
  EXPECT_EQ(chiave.Byte(0, 0, 8), (std::vector<std::uint8_t>{0x33, 0xCC, 1, 0, 0x32, 0xE8, 0x03, 0}));
  chiave.operazioni.clear();
  EXPECT_EQ(Esegui(), 5);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.esito, RC_OK);
  EXPECT_EQ(loader.byteFatti, 1000);
  EXPECT_EQ(loader.byteRipetuti, 0);
  const auto scritture = chiave.Di('S');
  ASSERT_EQ(scritture.size(), 5u);
  const int lunghezze[] = {264, 264, 264, 208, 264};
  const int pagine[] = {1, 2, 3, 4, 0};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(scritture[static_cast<std::size_t>(i)].pagina, pagine[i]) << i;
    EXPECT_EQ(scritture[static_cast<std::size_t>(i)].lunghezza, lunghezze[i]) << i;
  }
  EXPECT_EQ(chiave.Byte(1, 0, 1000), Byte(contenuto.begin() + 100, contenuto.begin() + 1100));
  loader.Termina();
}

TEST_F(LoadMemox, APageWriteThatFailsTwiceIsRetriedAndCounted) {
  chiave.scritturaFallita[2] = 2;
  ASSERT_TRUE(Avvia(0, 1000));
  Esegui();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.byteRipetuti, 2 * 264);
  EXPECT_EQ(loader.byteFatti, 1000);
  EXPECT_EQ(chiave.Byte(1, 0, 1000), Byte(contenuto.begin(), contenuto.begin() + 1000));
  EXPECT_NE(Registro().find("scrittura pagina 2 altro tentativo"), std::string::npos);
}

TEST_F(LoadMemox, TheFifthFailureEndsTheLoad) {
  struct {
    const char* nome;
    std::uint16_t pagina;
  } const casi[] = {{"a file page", 3}, {"the directory", 0}};
  for (const auto& c : casi) {
    CMemoxFinta k;
    CLoadMemox l;
    l.ImpostaDispositivo(&k);
    int e = -1;
    ASSERT_TRUE(l.Avvia(immagine, 0, 996, 0, nullptr, 0, 3, 0, nullptr, 0, nullptr, 0, &e)) << c.nome;
    k.scritturaFallita[c.pagina] = -1;
    k.operazioni.clear();
    int aggiorna = 0;
    int passi = 0;
    while (l.Passo(&aggiorna)) ++passi;
    EXPECT_EQ(l.fase, ST_FAILED) << c.nome;
    EXPECT_EQ(l.esito, RC_BLOCK_WRITE) << c.nome;
    int tentativi = 0;
    for (const auto& o : k.Di('S')) tentativi += o.pagina == c.pagina;
    EXPECT_EQ(tentativi, 5) << c.nome;
    l.Termina();
  }
}

TEST_F(LoadMemox, StartRefusals) {
  // Directory unreadable.
  chiave.letturaFallita[0] = 1;
  EXPECT_FALSE(Avvia(0, 100));
  EXPECT_EQ(esito, RC_BLOCK_READ);
  EXPECT_EQ(loader.fase, ST_FAILED);
  // Image file missing.
  esito = -1;
  EXPECT_FALSE(loader.Avvia(cartella.File("none.bin"), 0, 96, 0, nullptr, 0, 3, 0, nullptr, 0, nullptr, 0, &esito));
  EXPECT_EQ(esito, RC_FILE_OPEN);
  EXPECT_NE(Registro().find("errore apertura file"), std::string::npos);
  // A module longer than the key.
  EXPECT_FALSE(Avvia(0, 264 * 4095 + 1));
  EXPECT_EQ(esito, RC_FLASH_FULL);
  EXPECT_NE(Registro().find("la chiave e' piena"), std::string::npos);
  EXPECT_EQ(loader.StatoScrittura(), CLoadMemox::SCRITTURA_FERMA);
}

TEST_F(LoadMemox, AFullDirectoryIsAFullKey) {
  for (int i = 0; i < 65; ++i) {
    ASSERT_TRUE(Avvia(static_cast<std::uint32_t>(i), 20)) << i;
    Esegui();
    ASSERT_EQ(loader.fase, ST_DONE) << i;
    loader.Termina();
  }
  EXPECT_FALSE(Avvia(0, 20));
  EXPECT_EQ(esito, RC_FLASH_FULL);
  EXPECT_EQ(loader.ContaFileChiave(), 65);
  EXPECT_EQ(loader.SlotFile(), 66);
  EXPECT_FALSE(loader.FileValido(32));  // the link
  EXPECT_TRUE(loader.FileValido(33));
}

class LetturaMemox : public LoadMemox {
 protected:
  // Loads modules of these lengths one after another.
  void Carica(const std::vector<std::uint32_t>& lunghezze) {
    std::uint32_t inizio = 0;
    for (const std::uint32_t n : lunghezze) {
      ASSERT_TRUE(Avvia(inizio, n));
      Esegui();
      ASSERT_EQ(loader.fase, ST_DONE);
      loader.Termina();
      inizio += 10;
    }
  }
  // Reads every file into the disk file.
  int LeggiTutto(const std::string& uscita) {
    int e = -1;
    if (!loader.PreparaLettura(uscita, &e)) return e;
    for (int i = 0; i < loader.FileSullaChiave(); ++i) {
      if (!loader.AvviaLettura(uscita, i, &e)) return e;
      int aggiorna = 0;
      while (loader.PassoLettura(&aggiorna)) {
      }
      loader.TerminaLettura();
      if (loader.fase != ST_DONE) return loader.esito;
    }
    return RC_OK;
  }
};

TEST_F(LetturaMemox, EveryFileIsAppendedInDirectoryOrder) {
  Carica({1000, 264, 40});
  const std::string uscita = cartella.File("out.bin");
  ASSERT_TRUE(prova::ScriviFile(uscita, Byte(5000, 0xEE)));  // truncated by the read
  ASSERT_EQ(LeggiTutto(uscita), RC_OK);
  Byte atteso(contenuto.begin(), contenuto.begin() + 1000);
  atteso.insert(atteso.end(), contenuto.begin() + 10, contenuto.begin() + 10 + 264);
  atteso.insert(atteso.end(), contenuto.begin() + 20, contenuto.begin() + 20 + 40);
  EXPECT_EQ(prova::LeggiFile(uscita), atteso);
  // Whole pages are read with LeggiPagina.
  for (const auto& o : chiave.Di('L')) EXPECT_EQ(o.lunghezza, 264);
  EXPECT_NE(Registro().find("file aperto"), std::string::npos);
  EXPECT_NE(Registro().find("file chiuso"), std::string::npos);
}

TEST_F(LetturaMemox, FilesBehindTheLinkAreReadToo) {
  std::vector<std::uint32_t> l(40, 30);
  l[35] = 600;
  Carica(l);
  const std::string uscita = cartella.File("out.bin");
  ASSERT_EQ(LeggiTutto(uscita), RC_OK);
  EXPECT_EQ(prova::LeggiFile(uscita).size(), 39u * 30u + 600u);
}

TEST_F(LetturaMemox, AnEmptyKeyLeavesAnExistingFileAlone) {
  const std::string uscita = cartella.File("out.bin");
  ASSERT_TRUE(prova::ScriviFile(uscita, Byte{1, 2, 3}));
  EXPECT_EQ(LeggiTutto(uscita), RC_KEY_EMPTY);
  EXPECT_EQ(prova::LeggiFile(uscita), (Byte{1, 2, 3}));
  EXPECT_EQ(loader.ContaFileChiave(), 0);
}

TEST_F(LetturaMemox, ReadFailures) {
  Carica({1000});
  const std::string uscita = cartella.File("out.bin");
  int e = -1;
  // The disk file cannot be created.
  EXPECT_FALSE(loader.PreparaLettura(cartella.File("no/such/dir/out.bin"), &e));
  EXPECT_EQ(e, RC_FILE_CREATE);
  // The directory cannot be read.
  chiave.letturaFallita[0] = 1;
  EXPECT_FALSE(loader.PreparaLettura(uscita, &e));
  EXPECT_EQ(e, RC_BLOCK_READ);
  // The key changed between preparing and reading.
  ASSERT_TRUE(loader.PreparaLettura(uscita, &e));
  chiave.CancellaPagina(0);
  EXPECT_FALSE(loader.AvviaLettura(uscita, 0, &e));
  EXPECT_EQ(e, RC_KEY_ABSENT);
  // A page that cannot be read.
  Carica({1000});
  ASSERT_TRUE(loader.PreparaLettura(uscita, &e));
  EXPECT_FALSE(loader.AvviaLettura(uscita, 1, &e));  // there is no second file
  EXPECT_EQ(e, RC_INTERNAL);
  ASSERT_TRUE(loader.AvviaLettura(uscita, 0, &e));
  chiave.letturaFallita[3] = -1;
  int aggiorna = 0;
  while (loader.PassoLettura(&aggiorna)) {
  }
  EXPECT_EQ(loader.fase, ST_FAILED);
  EXPECT_EQ(loader.esito, RC_BLOCK_READ);
  loader.TerminaLettura();
}

TEST_F(LetturaMemox, EmptyingErasesPage0) {
  Carica({100, 100});
  int e = -1;
  ASSERT_TRUE(loader.SvuotaChiave(&e));
  EXPECT_EQ(loader.ContaFileChiave(), 0);
  chiave.cancellazioneFallita[0] = -1;
  EXPECT_FALSE(loader.SvuotaChiave(&e));
  EXPECT_EQ(e, RC_KEY_ERASE);
}

}  // namespace
}  // namespace bricola
