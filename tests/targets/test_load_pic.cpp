// The PIC loader against a scripted board behind a fake driver layer: the
// order of the driver requests, what ends in the board's memory, and every
// failure code.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "image/analisi.h"
#include "targets/load_pic.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using prova::Byte;
using prova::CImmagine;

constexpr std::uint8_t kNonImplementati[16] = {0xFF, 0xD8, 0xF0, 0xF0, 0xFF, 0xFE, 0x85, 0xFF,
                                               0xF0, 0x3F, 0xF0, 0x1F, 0xF0, 0xBF, 0xFF, 0xFF};

std::string Voce(const char* tipo, std::uint32_t a, int n = -1) {
  char b[48];
  if (n < 0) std::snprintf(b, sizeof b, "%s %06x", tipo, a);
  else std::snprintf(b, sizeof b, "%s %06x %d", tipo, a, n);
  return b;
}

// A PIC board: 32 KiB of flash (programming only clears bits), configuration
// bytes whose unimplemented bits read 0, the data area with code and signature.
class CPicFinta : public CDriverPic {
 public:
  CPicFinta() : flash(0x8000, 0xFF), dati(0x100, 0xFF) {
    for (int i = 0; i < 16; ++i) config[i] = static_cast<std::uint8_t>(~kNonImplementati[i]);
  }

  int ComandoPic(std::uint32_t v) override {
    richieste.push_back(Voce("comando", v));
    if (cancellazioneFallita.count(v)) return 0;
    if (v < 0x8000 && v % 64 == 0) {
      std::fill_n(flash.begin() + v, 64, 0xFF);
    } else if (v == 0x300000) {
      for (int i = 0; i < 16; ++i) config[i] = static_cast<std::uint8_t>(~kNonImplementati[i]);
    } else {
      return 0;
    }
    return 1;
  }
  int LeggiPic(std::uint32_t a, std::uint8_t* b, int n) override {
    richieste.push_back(Voce("leggi", a, n));
    if (letturaFallita.count(a) || ++letture == letturaFallitaNumero) return 0;
    for (int i = 0; i < n; ++i) {
      const std::uint8_t* p = Byte_(a + static_cast<std::uint32_t>(i));
      if (!p) return 0;
      b[i] = *p;
    }
    return 1;
  }
  int ScriviPic(std::uint32_t a, const std::uint8_t* d, int n) override {
    richieste.push_back(Voce("scrivi", a, n));
    if (scritturaFallita.count(a)) return 0;
    for (int i = 0; i < n; ++i) {
      const std::uint32_t x = a + static_cast<std::uint32_t>(i);
      std::uint8_t* p = Byte_(x);
      if (!p) return 0;
      const auto errato = bitErrati.count(x) ? bitErrati[x] : 0;
      if (x < 0x8000) *p = static_cast<std::uint8_t>((*p & d[i]) ^ errato);
      else if (x >= 0x300000 && x < 0x300010) *p = static_cast<std::uint8_t>((d[i] & ~kNonImplementati[x - 0x300000]) ^ errato);
      else *p = d[i];
    }
    return 1;
  }

  std::uint16_t Codice() const { return static_cast<std::uint16_t>(dati[0xFC] | dati[0xFD] << 8); }
  void ImpostaCodice(std::uint16_t c) {
    dati[0xFC] = static_cast<std::uint8_t>(c);
    dati[0xFD] = static_cast<std::uint8_t>(c >> 8);
  }
  std::uint8_t Firma() const { return dati[0xFF]; }
  // The requests of one kind ("leggi", "scrivi", "comando").
  std::vector<std::string> Di(const std::string& tipo) const {
    std::vector<std::string> r;
    for (const auto& v : richieste)
      if (v.rfind(tipo + " ", 0) == 0) r.push_back(v);
    return r;
  }

  Byte flash;
  std::uint8_t config[16];
  Byte dati;
  std::vector<std::string> richieste;
  std::set<std::uint32_t> cancellazioneFallita, scritturaFallita, letturaFallita;
  std::map<std::uint32_t, std::uint8_t> bitErrati;
  int letture = 0;
  int letturaFallitaNumero = -1;  // this read (1 = the first) fails

 private:
  std::uint8_t* Byte_(std::uint32_t a) {
    if (a < 0x8000) return &flash[a];
    if (a >= 0x300000 && a < 0x300010) return &config[a - 0x300000];
    if (a >= 0xF00000 && a < 0xF00100) return &dati[a - 0xF00000];
    return nullptr;
  }
};

Byte Dati(std::size_t n, std::uint8_t seme) {
  Byte b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seme + i * 13);
  return b;
}

class LoadPic : public ::testing::Test {
 protected:
  void SetUp() override { loader.ImpostaDriver(&pic); }
  void TearDown() override { loader.Termina(); }

  // Writes the image and starts the loader on its first module.
  int Avvia(const CImmagine& img, int opzioni = OPZ_BOOT_UNIVERSALE, int tipoLoad = -1, int tipoModulo = -1,
            int codice = -1) {
    const std::string p = cartella.File("pic.bin");
    EXPECT_TRUE(img.Scrivi(p));
    CAnalisiFile analisi;
    int numero = 0, tutti = 0, inutile = 0, grezzo = 0, errore = 0;
    EXPECT_EQ(analisi.AnalizzaFile(p, moduli, 4, numero, tutti, inutile, grezzo, errore), 1);
    EXPECT_GE(numero, 1);
    const CProgDescr& m = moduli[0];
    esitoAvvio = -1;
    return loader.Avvia(p, m.inizio, m.fine, codice >= 0 ? static_cast<std::uint16_t>(codice) : m.codice,
                        indirizzi, tipoModulo >= 0 ? tipoModulo : m.TipoModulo(),
                        tipoLoad >= 0 ? tipoLoad : m.TipoLoad(), m.TipoMicro(), nullptr, 0, velocita, opzioni,
                        &esitoAvvio);
  }
  // Steps to the end; the number of steps.
  int Corri(int massimo = 100000) {
    int passi = 0, aggiorna = 0;
    while (loader.Passo(&aggiorna)) {
      if (++passi > massimo) {
        ADD_FAILURE() << "the loader never ends";
        break;
      }
    }
    return passi;
  }
  static CImmagine App(std::uint32_t indirizzo, const Byte& dati, std::uint16_t codice = 0x1020) {
    CImmagine img;
    img.Intestazione(prova::IntestazionePerTipoLoad(5)).Dati(indirizzo, dati).Fine(codice);
    return img;
  }
  void AssertFlash(std::uint32_t a, const Byte& d) {
    EXPECT_EQ(Byte(pic.flash.begin() + a, pic.flash.begin() + a + static_cast<long>(d.size())), d);
  }

  prova::CCartellaTemporanea cartella;
  CPicFinta pic;
  CLoadPic loader;
  CProgDescr moduli[4];
  std::uint32_t indirizzi[4] = {};
  int velocita[2] = {38400, 19200};
  int esitoAvvio = -1;
};

TEST_F(LoadPic, ApplicationOntoAUniversalBoard) {
  const Byte d = Dati(100, 1);
  ASSERT_EQ(Avvia(App(0x000100, d)), 1);
  EXPECT_EQ(esitoAvvio, RC_OK);
  EXPECT_EQ(loader.byteTotali, 200);  // written, then read back
  EXPECT_EQ(loader.fase, ST_WAIT_LINK);
  Corri();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.esito, RC_OK);
  EXPECT_EQ(loader.byteFatti, 200);
  EXPECT_EQ(loader.byteRimanenti, 0);
  AssertFlash(0x100, d);
  EXPECT_EQ(pic.flash[0x100 + 100], 0xFF);
  EXPECT_EQ(pic.Codice(), 0xFFFF);
  EXPECT_EQ(pic.Firma(), 0x28);

  std::vector<std::string> attese{Voce("leggi", 0xF000FC, 2), Voce("scrivi", 0xF000FF, 1),
                                  Voce("leggi", 0x000100, 64)};
  for (std::uint32_t a = 0x100; a < 0x100 + 104; a += 8) {
    // Each sector is blank-checked when its first packet comes.
    if (a == 0x140) attese.push_back(Voce("leggi", 0x000140, 64));
    attese.push_back(Voce("scrivi", a, 8));
  }
  attese.push_back(Voce("leggi", 0x000100, 64));
  attese.push_back(Voce("leggi", 0x000140, 36));
  attese.push_back(Voce("scrivi", 0xF000FF, 1));
  EXPECT_EQ(pic.richieste, attese);
}

TEST_F(LoadPic, BootModuleClearsTheCodeWithoutReadingIt) {
  pic.ImpostaCodice(0x1234);
  CImmagine img;
  img.Intestazione({.tipoMicro = 3, .tipoModulo = 1, .caricabileRemoto = false, .nonSelezionato = false, .nome = {}}).Dati(0x000200, Dati(16, 2)).Fine(0x1020);
  ASSERT_EQ(Avvia(img), 1);
  Corri();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(pic.Codice(), 0xFFFF);
  EXPECT_EQ(pic.Firma(), 0x61);
  ASSERT_GE(pic.richieste.size(), 2u);
  EXPECT_EQ(pic.richieste[0], Voce("scrivi", 0xF000FC, 2));
  EXPECT_EQ(pic.richieste[1], Voce("scrivi", 0xF000FF, 1));
  EXPECT_EQ(pic.Di("leggi").front(), Voce("leggi", 0x000200, 64));
  EXPECT_EQ(pic.richieste.back(), Voce("leggi", 0x000200, 16));
}

TEST_F(LoadPic, StoredCodeOfTheBoard) {
  struct Caso {
    std::uint16_t scheda;
    int fase, esito;
  };
  for (const Caso& k : {Caso{0xFFFF, ST_DONE, RC_OK}, Caso{0x1021, ST_DONE, RC_OK},
                        Caso{0x1020, ST_FAILED, RC_PROGRAM_INCOMPATIBLE}}) {
    pic = CPicFinta();
    pic.ImpostaCodice(k.scheda);
    ASSERT_EQ(Avvia(App(0x000400, Dati(8, 3), 0x1021)), 1);
    Corri();
    EXPECT_EQ(loader.fase, k.fase) << k.scheda;
    EXPECT_EQ(loader.esito, k.esito) << k.scheda;
    // The code is never rewritten by an application module.
    EXPECT_EQ(pic.Codice(), k.scheda);
    if (k.esito == RC_PROGRAM_INCOMPATIBLE) {
      // Nothing is written, not even the signature.
      EXPECT_EQ(pic.richieste, (std::vector<std::string>{Voce("leggi", 0xF000FC, 2)}));
      EXPECT_EQ(pic.Firma(), 0xFF);
    }
    loader.Termina();
  }
}

TEST_F(LoadPic, ThirteenBytesAreTwoPaddedPackets) {
  const Byte d = Dati(13, 4);
  ASSERT_EQ(Avvia(App(0x000100, d)), 1);
  Corri();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(pic.Di("scrivi"), (std::vector<std::string>{Voce("scrivi", 0xF000FF, 1), Voce("scrivi", 0x000100, 8),
                                                        Voce("scrivi", 0x000108, 8), Voce("scrivi", 0xF000FF, 1)}));
  AssertFlash(0x100, d);
  AssertFlash(0x10D, Byte(3, 0xFF));
}

TEST_F(LoadPic, PacketsAreCutAtSectorBoundaries) {
  const Byte d = Dati(8, 5);
  ASSERT_EQ(Avvia(App(0x00003C, d), OPZ_SENZA_RILETTURA), 1);
  Corri();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(pic.richieste,
            (std::vector<std::string>{Voce("leggi", 0xF000FC, 2), Voce("scrivi", 0xF000FF, 1),
                                      Voce("leggi", 0x000000, 64), Voce("scrivi", 0x00003C, 8),
                                      Voce("leggi", 0x000040, 64), Voce("scrivi", 0x000040, 8),
                                      Voce("scrivi", 0xF000FF, 1)}));
  AssertFlash(0x3C, d);
}

TEST_F(LoadPic, EachSectorIsErasedOnceWhenNotBlankTheOneAtZeroIncluded) {
  // An old program at 0 and 0x40: both sectors hold data before the load.
  std::fill_n(pic.flash.begin(), 0x80, 0x00);
  const Byte d = Dati(0x70, 6);
  ASSERT_EQ(Avvia(App(0x000000, d)), 1);
  Corri();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.esito, RC_OK);
  EXPECT_EQ(pic.Di("comando"), (std::vector<std::string>{Voce("comando", 0x000000), Voce("comando", 0x000040)}));
  AssertFlash(0, d);
  AssertFlash(0x70, Byte(0x10, 0xFF));
  // A blank sector is checked, not erased.
  pic = CPicFinta();
  ASSERT_EQ(Avvia(App(0x000000, d)), 1);
  Corri();
  EXPECT_TRUE(pic.Di("comando").empty());
  EXPECT_EQ(pic.Di("leggi")[1], Voce("leggi", 0x000000, 64));
  AssertFlash(0, d);
}

TEST_F(LoadPic, PacketsOfAllFFAreSkippedButCounted) {
  Byte d(24, 0xFF);
  d[20] = 0x12;
  ASSERT_EQ(Avvia(App(0x000800, d), OPZ_SENZA_RILETTURA), 1);
  EXPECT_EQ(loader.byteTotali, 24);
  Corri();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.byteFatti, 24);
  EXPECT_EQ(pic.Di("scrivi"), (std::vector<std::string>{Voce("scrivi", 0xF000FF, 1), Voce("scrivi", 0x000810, 8),
                                                        Voce("scrivi", 0xF000FF, 1)}));
  AssertFlash(0x800, d);
}

TEST_F(LoadPic, ConfigurationBytesAreErasedWrittenAndVerifiedThroughTheMasks) {
  Byte conf(16, 0xFF);
  conf[1] = 0x07;  // bits 0, 1, 2 set (implemented), bits 3, 4, 6, 7 not
  conf[6] = 0x0F;
  CImmagine img;
  img.Intestazione(prova::IntestazionePerTipoLoad(5)).Dati(0x000000, Dati(8, 7)).Dati(0x300000, conf).Fine(0x1020);
  ASSERT_EQ(Avvia(img), 1);
  Corri();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.esito, RC_OK);
  // The configuration block never reads blank (its unimplemented bits read 0).
  EXPECT_EQ(pic.Di("comando"), (std::vector<std::string>{Voce("comando", 0x300000)}));
  for (int i = 0; i < 16; ++i) EXPECT_EQ(pic.config[i], conf[i] & ~kNonImplementati[i]) << i;
  EXPECT_EQ(pic.Di("leggi").back(), Voce("leggi", 0x300000, 16));
}

TEST_F(LoadPic, ReadBackComparesOnlyImplementedConfigurationBits) {
  struct Caso {
    std::uint32_t indirizzo;
    std::uint8_t bit;
    int esito;
  };
  // Byte 1 (mask D8) compares bits 0, 1, 2 and 5 only; byte 0 (mask FF) none;
  // program flash every bit.
  for (const Caso& k : {Caso{0x300001, 0x01, RC_FLASH_WRITE}, Caso{0x300001, 0x20, RC_FLASH_WRITE},
                        Caso{0x300001, 0x08, RC_OK}, Caso{0x300000, 0x80, RC_OK}, Caso{0x000004, 0x80, RC_FLASH_WRITE}}) {
    pic = CPicFinta();
    pic.bitErrati[k.indirizzo] = k.bit;
    CImmagine img;
    img.Intestazione(prova::IntestazionePerTipoLoad(5)).Dati(0x000000, Dati(8, 8)).Dati(0x300000, Byte(16, 0x00))
        .Fine(0x1020);
    ASSERT_EQ(Avvia(img), 1);
    Corri();
    EXPECT_EQ(loader.esito, k.esito) << std::hex << k.indirizzo << " " << int(k.bit);
    // A failed job leaves the board marked as being written.
    EXPECT_EQ(pic.Firma(), k.esito == RC_OK ? 0x28 : 0x61);
    loader.Termina();
  }
}

TEST_F(LoadPic, AConfigurationRecordThatStartsInsideTheBlockUsesItsOwnMasks) {
  Byte conf(8, 0xFF);
  CImmagine img;
  img.Intestazione(prova::IntestazionePerTipoLoad(5)).Dati(0x300008, conf).Fine(0x1020);
  ASSERT_EQ(Avvia(img), 1);
  Corri();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.esito, RC_OK);
}

TEST_F(LoadPic, DriverFailuresAndTheirCodes) {
  struct Caso {
    const char* nome;
    void (*guasto)(CPicFinta&);
    int esito;
    std::uint8_t firma;
  };
  const Caso casi[] = {
      {"code read", [](CPicFinta& p) { p.letturaFallita.insert(0xF000FC); }, RC_PORT_SEND, 0xFF},
      {"first signature", [](CPicFinta& p) { p.scritturaFallita.insert(0xF000FF); }, RC_PORT_SEND, 0xFF},
      {"blank check", [](CPicFinta& p) { p.letturaFallita.insert(0x000040); }, RC_PORT_SEND, 0x61},
      {"erase", [](CPicFinta& p) {
         p.flash[0x50] = 0;
         p.cancellazioneFallita.insert(0x40);
       }, RC_BLOCK_ERASE, 0x61},
      {"packet write", [](CPicFinta& p) { p.scritturaFallita.insert(0x000048); }, RC_BLOCK_WRITE, 0x61},
      // Reads: the code, the blank checks of 0x40 and 0x80, then the read-back.
      {"read-back", [](CPicFinta& p) { p.letturaFallitaNumero = 4; }, RC_PORT_SEND, 0x61},
      {"stored wrong", [](CPicFinta& p) { p.bitErrati[0x90] = 0x04; }, RC_FLASH_WRITE, 0x61},
  };
  for (const Caso& k : casi) {
    pic = CPicFinta();
    k.guasto(pic);
    ASSERT_EQ(Avvia(App(0x000040, Dati(0x60, 9))), 1);
    Corri();
    EXPECT_EQ(loader.fase, ST_FAILED) << k.nome;
    EXPECT_EQ(loader.esito, k.esito) << k.nome;
    EXPECT_EQ(pic.Firma(), k.firma) << k.nome;
    EXPECT_EQ(loader.passo, CLoadPic::PASSO_FERMO);
    loader.Termina();
  }
}

TEST_F(LoadPic, TheLastSignatureFailing) {
  ASSERT_EQ(Avvia(App(0x000040, Dati(8, 10))), 1);
  int aggiorna = 0;
  while (loader.passo != CLoadPic::PASSO_FIRMA_FINE) ASSERT_EQ(loader.Passo(&aggiorna), 1);
  pic.scritturaFallita.insert(0xF000FF);
  EXPECT_EQ(loader.Passo(&aggiorna), 0);
  EXPECT_EQ(loader.esito, RC_PORT_SEND);
}

TEST_F(LoadPic, AnAddressOutsideTheMap) {
  ASSERT_EQ(Avvia(App(0x009000, Dati(8, 11))), 1);
  Corri();
  EXPECT_EQ(loader.fase, ST_FAILED);
  EXPECT_EQ(loader.esito, RC_FLASH_MISSING);
  // A record running past the flash's end is cut there, then refused.
  pic = CPicFinta();
  ASSERT_EQ(Avvia(App(0x007FF8, Dati(16, 12))), 1);
  Corri();
  EXPECT_EQ(loader.esito, RC_FLASH_MISSING);
  EXPECT_EQ(pic.Di("scrivi").back(), Voce("scrivi", 0x007FF8, 8));
}

TEST_F(LoadPic, WithoutReadBackEveryByteCountsOnce) {
  CImmagine img;
  img.Intestazione(prova::IntestazionePerTipoLoad(5)).Dati(0x000100, Dati(100, 13)).Dati(0x000400, Dati(28, 14))
      .Fine(0x1020);
  ASSERT_EQ(Avvia(img, OPZ_SENZA_RILETTURA), 1);
  EXPECT_EQ(loader.byteTotali, 128);
  Corri();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.byteFatti, 128);
  // Only the blank checks read the flash.
  EXPECT_EQ(pic.Di("leggi"), (std::vector<std::string>{Voce("leggi", 0xF000FC, 2), Voce("leggi", 0x000100, 64),
                                                       Voce("leggi", 0x000140, 64), Voce("leggi", 0x000400, 64)}));
  ASSERT_EQ(Avvia(img), 1);
  EXPECT_EQ(loader.byteTotali, 256);
}

TEST_F(LoadPic, StartRefusals) {
  struct Caso {
    const char* nome;
    int tipoLoad, tipoModulo, codice, esito;
  };
  for (const Caso& k : {Caso{"load kind 3", 3, 0, -1, RC_MODULE_TYPE}, Caso{"data class", 5, 2, -1, RC_MODULE_TYPE},
                        Caso{"other code", 5, 0, 0x1021, RC_MACHINE_MISMATCH}}) {
    EXPECT_EQ(Avvia(App(0x100, Dati(8, 1)), 0, k.tipoLoad, k.tipoModulo, k.codice), 0) << k.nome;
    EXPECT_EQ(esitoAvvio, k.esito) << k.nome;
    EXPECT_EQ(loader.fase, ST_FAILED) << k.nome;
  }
  int e = -1;
  EXPECT_EQ(loader.Avvia(cartella.File("manca.bin"), 0, 8, 0x1020, indirizzi, 0, 5, 3, nullptr, 0, velocita, 0, &e),
            0);
  EXPECT_EQ(e, RC_FILE_OPEN);
  // A kind other than 5 is refused before the file is even looked for.
  EXPECT_EQ(loader.Avvia(cartella.File("manca.bin"), 0, 8, 0x1020, indirizzi, 0, 3, 3, nullptr, 0, velocita, 0, &e),
            0);
  EXPECT_EQ(e, RC_MODULE_TYPE);
  EXPECT_TRUE(pic.richieste.empty());
}

TEST_F(LoadPic, AStepOutsideTheStepsIsAnInternalError) {
  ASSERT_EQ(Avvia(App(0x100, Dati(8, 1))), 1);
  loader.passo = 9;
  int aggiorna = 0;
  EXPECT_EQ(loader.Passo(&aggiorna), 0);
  EXPECT_EQ(loader.esito, RC_INTERNAL);
  EXPECT_EQ(loader.fase, ST_LINK_LOST);
  EXPECT_EQ(loader.passo, 0);
}

}  // namespace
}  // namespace bricola
