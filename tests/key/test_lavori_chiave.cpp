// The key interface, the read job and the load onto a key, all on the
// in-memory key: recognition outcomes, listing, reading one, all or the
// selected files, emptying, and a load read back into an image file.
#include <gtest/gtest.h>

#include "base/esiti.h"
#include "jobs/caricamento.h"
#include "jobs/lettura.h"
#include "key/int_parallela.h"
#include "memox_finta.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using prova::Byte;
using prova::CImmagine;
using prova::CMemoxFinta;

TEST(IntParallela, RecognitionOutcomes) {
  struct {
    const char* nome;
    bool apriFallisce, tipoLeggibile;
    std::uint8_t tipo;
    bool esteso;
    int atteso;
    std::uint16_t pagina;
    std::uint32_t pagine;
  } const casi[] = {
      {"device cannot be opened", true, true, 0x24, true, RC_PORT_OPEN, 0, 0},
      {"type unreadable", false, false, 0x24, true, RC_KEY_NOT_FOUND, 0, 0},
      {"no memory", false, true, 0xFF, true, RC_KEY_ABSENT, 0, 0},
      {"memory not answering", false, true, 0x00, true, RC_KEY_FAULT, 0, 0},
      {"unknown density", false, true, 0x28, true, RC_KEY_UNKNOWN, 0, 0},
      {"264 x 4096 on a basic driver", false, true, 0x24, false, RC_OK, 264, 4096},
      {"ready bit beside the density", false, true, 0xA4, false, RC_OK, 264, 4096},
      {"528 x 4096 on an extended driver", false, true, 0x2C, true, RC_OK, 528, 4096},
      {"528 x 8192 on an extended driver", false, true, 0x34, true, RC_OK, 528, 8192},
      {"528 x 4096 on a basic driver", false, true, 0x2C, false, RC_KEY_DRIVER, 0, 0},
      {"528 x 8192 on a basic driver", false, true, 0x34, false, RC_KEY_DRIVER, 0, 0},
  };
  for (const auto& c : casi) {
    CMemoxFinta chiave(264, 4096, c.tipo);
    chiave.apriFallisce = c.apriFallisce;
    chiave.tipoLeggibile = c.tipoLeggibile;
    chiave.esteso = c.esteso;
    CIntParallela i;
    i.ImpostaDispositivoChiave(&chiave);
    int esito = -1;
    EXPECT_EQ(i.ApriLinea(2, 38400, 0, &esito), c.atteso == RC_OK ? 1 : 0) << c.nome;
    EXPECT_EQ(esito, c.atteso) << c.nome;
    EXPECT_EQ(chiave.portaAperta, 2) << c.nome;
    // A failure leaves the device closed; nothing is erased without svuota.
    EXPECT_EQ(chiave.aperta, c.atteso == RC_OK) << c.nome;
    EXPECT_TRUE(chiave.Di('C').empty()) << c.nome;
    if (c.atteso == RC_OK) {
      EXPECT_EQ(chiave.DimensionePagina(), c.pagina) << c.nome;
      EXPECT_EQ(chiave.NumeroPagine(), c.pagine) << c.nome;
      EXPECT_EQ(i.ChiudiLinea(), 1);
      EXPECT_FALSE(chiave.aperta);
    }
  }
  CIntParallela senza;
  int esito = -1;
  EXPECT_FALSE(senza.ApriLinea(0, 0, 0, &esito));
  EXPECT_EQ(esito, RC_PORT_OPEN);
}

TEST(IntParallela, OpeningToLoadEmptiesTheDirectoryPage) {
  CMemoxFinta chiave;
  CIntParallela i;
  i.ImpostaDispositivoChiave(&chiave);
  chiave.Pagina(0)[0] = 0x33;
  int esito = -1;
  ASSERT_TRUE(i.ApriLinea(0, 0, 1, &esito));
  ASSERT_EQ(chiave.Di('C').size(), 1u);
  EXPECT_EQ(chiave.Di('C')[0].pagina, 0);
  EXPECT_EQ(chiave.Pagina(0)[0], 0xFF);
  i.ChiudiLinea();
  chiave.cancellazioneFallita[0] = -1;
  EXPECT_FALSE(i.ApriLinea(0, 0, 1, &esito));
  EXPECT_EQ(esito, RC_BLOCK_WRITE);
  EXPECT_FALSE(chiave.aperta);
  // Other operations carry no bytes.
  std::uint8_t b[4] = {};
  EXPECT_EQ(i.ScriviLinea(b, 4), -1);
  EXPECT_EQ(i.LeggiLinea(b, 4), -1);
  EXPECT_EQ(i.SvuotaLinea(), -1);
}

TEST(IntFileSystem, AnswersConstants) {
  CIntFileSystem i;
  int esito = 77;
  std::uint8_t b[100] = {};
  EXPECT_EQ(i.ApriLinea(0, 0, 0, &esito), 1);
  EXPECT_EQ(esito, 77);
  EXPECT_EQ(i.ScriviLinea(b, 100), 100);
  EXPECT_EQ(i.LeggiLinea(b, 100), 100);
  EXPECT_EQ(i.SvuotaLinea(), 0);
  EXPECT_EQ(i.ChiudiLinea(), 1);
}

// Two-module image, the load of it onto a key, and the read job on that key.
class LavoriChiave : public ::testing::Test {
 protected:
  void SetUp() override {
    CImmagine img;
    img.Intestazione({.tipoMicro = 1, .nome = "app"}).Sequenza(0xFC0000, 1000, 1).Fine(0x0010);
    img.Indirizzo(0x482).Sequenza(0x400000, 3000, 2).Fine(0x0011);
    img.Intestazione({.tipoMicro = 1, .nonSelezionato = true, .nome = "unticked"}).Sequenza(0xFC0000, 10, 3).Fine(0x0010);
    immagine = cartella.File("image.bin");
    ASSERT_TRUE(img.Scrivi(immagine));
    caricamento.ImpostaRegistro(cartella.File("log.txt"));
    lettura.ImpostaRegistro(cartella.File("log.txt"));
  }

  // Loads the preselected modules of the image onto the USB key.
  int Carica() {
    caricamento.ImpostaInterfaccia(0, INTERFACCIA_CHIAVE_USB, 0, 0);
    caricamento.ImpostaDispositiviChiave(&chiave, nullptr);
    int errore = 0;
    if (!caricamento.Analizza(immagine, &errore)) return -errore;
    int esito = RC_OK;
    if (!caricamento.ChiaveCapiente(&esito)) return esito;
    int fase = 0;
    if (!caricamento.Avvia(&periodo, &fase, &esito)) return esito;
    int aggiorna = 0, erroreModulo = 0;
    while (caricamento.Passo(&aggiorna, &erroreModulo, &fase, &esito)) {
    }
    EXPECT_EQ(fase, esito == RC_OK ? ST_DONE : ST_FAILED);
    return esito;
  }
  // Reads the key with the read job: primo, modo as Avvia takes them.
  int Leggi(const std::string& uscita, int primo, int modo) {
    lettura.ImpostaDispositiviChiave(&chiave, nullptr);
    lettura.ImpostaInterfaccia(0, 1);
    int periodoLettura = 0, fase = 0, esito = RC_OK;
    if (!lettura.Avvia(uscita, primo, modo, &periodoLettura, &fase, &esito)) return esito;
    EXPECT_EQ(periodoLettura, 1);
    int aggiorna = 0, erroreModulo = 0;
    while (lettura.Passo(&aggiorna, &erroreModulo, &fase, &esito)) {
    }
    return fase == ST_DONE ? RC_OK : esito;
  }
  Byte Modulo(int i) {
    const Byte tutto = prova::LeggiFile(immagine);
    CAnalisiFile a;
    std::array<CProgDescr, kMaxModuli> d;
    int n = 0, tv = 0, inut = 0, grezzo = 0, errore = 0;
    EXPECT_TRUE(a.AnalizzaFile(immagine, d.data(), kMaxModuli, n, tv, inut, grezzo, errore));
    const CProgDescr& m = d[static_cast<std::size_t>(i)];
    return Byte(tutto.begin() + m.inizio, tutto.begin() + m.fine + 4);
  }

  prova::CCartellaTemporanea cartella;
  std::string immagine;
  CMemoxFinta chiave;
  CCaricamento caricamento;
  CLettura lettura;
  int periodo = 0;  // the step period the load started with
};

TEST_F(LavoriChiave, TheSelectedModulesLoadedAndReadBackIntoOneImageFile) {
  chiave.Pagina(0)[0] = 0x33;  // whatever the key held is forgotten
  chiave.Pagina(0)[1] = 0xCC;
  ASSERT_EQ(Carica(), RC_OK);
  EXPECT_EQ(periodo, 1);
  EXPECT_EQ(caricamento.ChiaveConContenuto(), 1);
  const std::string uscita = cartella.File("out.bin");
  ASSERT_EQ(Leggi(uscita, 0, 1), RC_OK);
  Byte atteso = Modulo(0);
  const Byte secondo = Modulo(1);
  atteso.insert(atteso.end(), secondo.begin(), secondo.end());
  EXPECT_EQ(prova::LeggiFile(uscita), atteso);
  EXPECT_FALSE(chiave.aperta);

  // The listing analyses the key's files as image files.
  int esito = -1;
  ASSERT_TRUE(lettura.LeggiContenuto(&esito));
  EXPECT_EQ(esito, RC_OK);
  ASSERT_EQ(lettura.ModuliElencati(), 2);
  SInfoModulo info;
  ASSERT_TRUE(lettura.InfoModulo(0, info, &esito));
  EXPECT_EQ(info.codice, 0x0010);
  EXPECT_EQ(info.nome, "app");
  EXPECT_EQ(info.selezionato, 1);
  ASSERT_TRUE(lettura.InfoModulo(1, info, &esito));
  EXPECT_EQ(info.codice, 0x0011);
  EXPECT_EQ(info.indirizzo, 0x482u);
  EXPECT_FALSE(lettura.InfoModulo(2, info, &esito));
  EXPECT_EQ(esito, RC_NO_SUCH_MODULE);
  EXPECT_FALSE(chiave.aperta);
}

TEST_F(LavoriChiave, OneFileOrTheSelectedOnes) {
  ASSERT_EQ(Carica(), RC_OK);
  const std::string uscita = cartella.File("out.bin");
  ASSERT_EQ(Leggi(uscita, 1, 0), RC_OK);
  EXPECT_EQ(prova::LeggiFile(uscita), Modulo(1));
  EXPECT_EQ(lettura.IndiceCorrente(), 2);

  const int soloIlPrimo[] = {1, 0};
  ASSERT_TRUE(lettura.SelezionaModuli(soloIlPrimo, 2));
  ASSERT_EQ(Leggi(uscita, 0, 2), RC_OK);
  EXPECT_EQ(prova::LeggiFile(uscita), Modulo(0));

  const int nessuno[] = {0, 0};
  ASSERT_TRUE(lettura.SelezionaModuli(nessuno, 2));
  EXPECT_EQ(Leggi(uscita, 0, 2), RC_NO_MODULE_SELECTED);
  EXPECT_FALSE(chiave.aperta);
}

TEST_F(LavoriChiave, AnEmptyKeyListsNothingAndCannotBeRead) {
  const std::string uscita = cartella.File("out.bin");
  ASSERT_TRUE(prova::ScriviFile(uscita, Byte{7}));
  EXPECT_EQ(Leggi(uscita, 0, 1), RC_KEY_EMPTY);
  EXPECT_EQ(prova::LeggiFile(uscita), Byte{7});
  int esito = -1;
  lettura.ImpostaInterfaccia(0, 1);
  ASSERT_TRUE(lettura.LeggiContenuto(&esito));
  EXPECT_EQ(lettura.ModuliElencati(), 0);
}

TEST_F(LavoriChiave, EmptyingTheKey) {
  ASSERT_EQ(Carica(), RC_OK);
  lettura.ImpostaDispositiviChiave(&chiave, nullptr);
  lettura.ImpostaInterfaccia(0, 1);
  int esito = -1;
  ASSERT_TRUE(lettura.CancellaChiave(&esito));
  EXPECT_EQ(caricamento.ChiaveConContenuto(), 0);
  chiave.cancellazioneFallita[0] = -1;
  EXPECT_FALSE(lettura.CancellaChiave(&esito));
  EXPECT_EQ(esito, RC_KEY_ERASE);
  EXPECT_FALSE(chiave.aperta);
  chiave.cancellaTuttoRiesce = false;
  EXPECT_FALSE(lettura.CancellaTuttaChiave(&esito));
  EXPECT_EQ(esito, RC_KEY_ERASE);
}

TEST_F(LavoriChiave, AKeyTooSmallForTheSelectionIsRefusedBeforeAnythingIsWritten) {
  CImmagine img;
  img.Sequenza(0x400000, 264 * 4095, 5).Fine(0x0011);
  ASSERT_TRUE(img.Scrivi(immagine));
  EXPECT_EQ(Carica(), RC_KEY_TOO_SMALL);
  EXPECT_TRUE(chiave.Di('S').empty());
  EXPECT_FALSE(chiave.aperta);
}

TEST_F(LavoriChiave, AKeyThatCannotBeRecognisedStopsTheLoadWithItsCode) {
  chiave.tipoChiave = 0xFF;
  EXPECT_EQ(Carica(), RC_KEY_ABSENT);
  chiave.tipoChiave = 0x2C;
  chiave.esteso = false;
  EXPECT_EQ(Carica(), RC_KEY_DRIVER);
}

TEST_F(LavoriChiave, APackedTreeGoesToDiskEvenOnAKeyPort) {
  CImmagine img;
  prova::SIntestazione h;
  h.tipoModulo = MODULO_MMI;
  img.Intestazione(h).Albero(0, cartella.File("albero"), {{"f.txt", false, {1, 2}}}).Fine(0x0010);
  img.Intestazione({.tipoMicro = 1, .nome = "app"}).Sequenza(0xFC0000, 100, 1).Fine(0x0010);
  ASSERT_TRUE(img.Scrivi(immagine));
  ASSERT_EQ(Carica(), RC_OK);
  EXPECT_EQ(periodo, 10);
  EXPECT_EQ(prova::LeggiFile(cartella.File("albero/f.txt")), (Byte{1, 2}));
  // The key was opened by the fit test, then again (its directory page
  // erased) for the module after the tree.
  EXPECT_EQ(chiave.aperture, 2);
  ASSERT_EQ(chiave.Di('C').size(), 1u);
  EXPECT_FALSE(chiave.aperta);
  EXPECT_EQ(caricamento.LoaderMemox().ContaFileChiave(), 1);
}

}  // namespace
}  // namespace bricola
