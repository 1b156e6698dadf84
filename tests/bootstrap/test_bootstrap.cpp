// The ROM-bootstrap loaders stepped against a scripted micro on a fake clock:
// the bytes of the three dialects, the RAM-loader files, the sector walk of
// the boot writers, the micro check's probes and the chip erase, with their
// retries, final lines and result codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "bootstrap/bootstrap.h"
#include "bootstrap/caricatori_ram.h"
#include "bootstrap/load_boot_f2mc.h"
#include "bootstrap/load_check_micro.h"
#include "bootstrap/load_clear_micro.h"
#include "comm/porta_seriale.h"
#include "tests/bootstrap/micro_finto.h"
#include "tests/load/scheda_finta.h"
#include "tests/support/caricatori.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using prova::Byte;
using prova::Famiglia;

const std::vector<std::uint32_t> kSettori549 = {0xFC0000, 0xFD0000, 0xFE0000, 0xFF0000,
                                                0xFF8000, 0xFFA000, 0xFFC000, 0x1000000};
const std::vector<std::uint32_t> kSettori338 = {0xDF0000, 0xDF2000, 0xDF4000, 0xDF6000, 0xDF8000};

// --- frames -----------------------------------------------------------------------------

TEST(FrameBootstrap, BloccoF2mc16LxPortaIndirizzoAltoPrimaELaSomma) {
  const std::uint8_t dati[3] = {0x10, 0x20, 0x30};
  std::uint8_t t[16];
  ASSERT_EQ(TramaBlocco16Lx(0x0251, dati, 3, t), 9);
  EXPECT_EQ(Byte(t, t + 9), (Byte{0x00, 0x02, 0x51, 0x00, 0x03, 0x10, 0x20, 0x30,
                                  static_cast<std::uint8_t>(0x02 + 0x51 + 0x03 + 0x60)}));
}

TEST(FrameBootstrap, BloccoF2mc16FxDi256ByteHaLunghezzaZeroEControlliPiegati) {
  Byte dati(256, 0xFF);
  std::uint8_t t[kMaxTramaBlocco];
  ASSERT_EQ(TramaBlocco16Fx(0x7900, dati.data(), 256, t), 263);
  EXPECT_EQ(t[0], 0x12);
  EXPECT_EQ(t[1], 0x00);
  EXPECT_EQ(t[2], 0x79);
  EXPECT_EQ(t[4], 0x00);
  // Header: 12 + 00 + 79 + 00 + 00 = 0x8B, check 0xFF - 0x8B.
  EXPECT_EQ(t[5], 0xFF - 0x8B);
  // The folded sum of the whole frame before the check.
  EXPECT_EQ(t[262], ControlloPiegato(t, 262));
  // Folding: 0x8B + 0x74 + 256 x 0xFF = 0xFFFF -> FF + FF = 0x1FE -> 01 + FE = 0xFF.
  EXPECT_EQ(SommaPiegata(t, 262), 0xFF);
  EXPECT_EQ(t[262], 0x00);
}

TEST(FrameBootstrap, EsecuzioneF2mc16FxEChipErase) {
  EXPECT_EQ(Byte(kEsegui16Fx, kEsegui16Fx + 5), (Byte{0x9F, 0x20, 0x7A, 0x00, 0xC5}));
  EXPECT_EQ(ControlloPiegato(kEsegui16Fx, 4), 0xC5);
  const CTrama t = TramaEraseChip();
  ASSERT_EQ(t.Lunghezza(), 7);
  EXPECT_EQ(Byte(t.Dati(), t.Dati() + 4), (Byte{0xEF, 0x00, 0x00, 0xF8}));
  EXPECT_EQ(HashRuota5(t.Dati(), 7), 0);
}

// --- RAM-loader files ------------------------------------------------------------------------

TEST(FileCaricatori, LunghezzaEsattaMancanteOCorta) {
  prova::CCartellaTemporanea cartella;
  ImpostaCartellaCaricatori(cartella.Percorso());
  std::vector<std::uint8_t> b;
  int esito = -1;
  EXPECT_EQ(LeggiCaricatore(kCaricatore90F549, kLunghezza90F549, &b, nullptr, &esito), 0);
  EXPECT_EQ(esito, RC_FILE_OPEN);
  ASSERT_TRUE(prova::ScriviCaricatori(cartella.Percorso(), 7));
  EXPECT_EQ(LeggiCaricatore(kCaricatore90F549, kLunghezza90F549, &b, nullptr, &esito), 1);
  EXPECT_EQ(esito, RC_OK);
  EXPECT_EQ(b, prova::ContenutoCaricatore(kCaricatore90F549, kLunghezza90F549, 7));
  std::filesystem::resize_file(cartella.File(kCaricatore90F549), 1731);
  EXPECT_EQ(LeggiCaricatore(kCaricatore90F549, kLunghezza90F549, &b, nullptr, &esito), 0);
  EXPECT_EQ(esito, RC_FILE_CORRUPT);
  ImpostaCartellaCaricatori("");
  EXPECT_EQ(CartellaCaricatori(), CartellaCaricatoriPredefinita());
  EXPECT_NE(CartellaCaricatoriPredefinita().find("share/bricola/bootstrap"), std::string::npos);
}

// --- the fixture ------------------------------------------------------------------------------

struct SModulo {
  std::string percorso;
  std::uint32_t inizio = 0;
  std::uint32_t fine = 0;
  std::uint16_t codice = 0x0030;
  std::uint32_t indirizzi[4] = {0, 0, 0, 0};
  int tipoModulo = 1;
  int velocita[2] = {4800, 9600};
};

class Bootstrap : public ::testing::Test {
 protected:
  void SetUp() override {
    linea->orologio = &orologio;
    linea->resetScheda = [this] { micro.Reset(linea->rts); };
    prova::InstallaLineaFinta(linea);
    ASSERT_TRUE(prova::ScriviCaricatori(cartella.File("ram"), 3));
    ImpostaCartellaCaricatori(cartella.File("ram"));
    int esito = 0;
    ASSERT_EQ(interfaccia.ApriLinea(2, 9600, 0, &esito), 1);
  }
  void TearDown() override {
    interfaccia.ChiudiLinea();
    ImpostaApritorePorta(nullptr);
    ImpostaCartellaCaricatori("");
  }

  template <class L>
  void Prepara(L& l) {
    l.ImpostaOrologio(&orologio);
    l.ImpostaFileRegistro(cartella.File("registro.txt"));
  }

  SModulo Modulo(prova::CImmagine& img, std::uint16_t codice, int v0 = 4800, int v1 = 9600) {
    SModulo m;
    m.percorso = cartella.File("modulo.bin");
    EXPECT_TRUE(img.Scrivi(m.percorso));
    m.fine = img.Posizione() - 4;
    m.codice = codice;
    m.velocita[0] = v0;
    m.velocita[1] = v1;
    return m;
  }

  int Avvia(CLoad& l, const SModulo& m, int* esito) {
    return l.Avvia(m.percorso, m.inizio, m.fine, m.codice, m.indirizzi, m.tipoModulo, 2, 1,
                   &interfaccia, 0, m.velocita, OPZ_BOOT_UNIVERSALE, esito);
  }

  int Esegui(CLoad& l, int massimo = 2000000) {
    for (int i = 0; i < massimo; ++i) {
      int aggiorna = 0;
      if (!l.Passo(&aggiorna)) return i;
      orologio.adesso += l.PeriodoTimer();
    }
    return -1;
  }

  std::vector<std::string> Registro() const {
    std::ifstream f(cartella.File("registro.txt"), std::ios::binary);
    std::vector<std::string> righe;
    std::string riga;
    while (std::getline(f, riga)) {
      if (!riga.empty() && riga.back() == '\r') riga.pop_back();
      righe.push_back(riga.size() > 20 ? riga.substr(20) : std::string());
    }
    return righe;
  }
  int Conta(const std::string& t) const {
    const auto r = Registro();
    return static_cast<int>(std::count(r.begin(), r.end(), t));
  }
  bool HaRiga(const std::string& t) const { return Conta(t) > 0; }
  bool RigaCon(const std::string& t) const {
    for (const auto& r : Registro()) {
      if (r.find(t) != std::string::npos) return true;
    }
    return false;
  }
  std::string Righe() const {
    std::string t;
    for (const auto& r : Registro()) t += r + "\n";
    return t;
  }
  std::vector<std::string> Eventi() const {
    std::vector<std::string> e;
    for (const auto& x : linea->eventi) e.push_back(x.cosa + "=" + std::to_string(x.valore));
    return e;
  }
  Byte Flash(std::uint32_t da, std::size_t n) const {
    Byte r(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = micro.Flash(da + static_cast<std::uint32_t>(i));
    return r;
  }

  prova::CCartellaTemporanea cartella;
  prova::COrologioFinto orologio;
  std::shared_ptr<prova::SStatoLinea> linea = std::make_shared<prova::SStatoLinea>();
  prova::CMicroFinto micro{orologio};
  prova::CInterfacciaMicro interfaccia{micro, *linea};
};

// --- MB90F549 ---------------------------------------------------------------------------------

TEST_F(Bootstrap, Mb90F549ScriveVerificaECancellaLaFirma) {
  micro.settori = kSettori549;
  micro.flash[0xFFA010] = 0x00;  // sector 5 not blank
  prova::CImmagine img;
  const Byte dati = prova::Schema(0x8000, 5);
  Byte conFf = dati;
  std::fill(conFf.begin() + 0x100, conFf.begin() + 0x200, 0xFF);  // chunks of FF inside
  img.Intestazione(prova::IntestazionePerTipoLoad(2)).Dati(0xFF8000, conFf).Fine(0x0030);
  SModulo m = Modulo(img, 0x0030);
  CLoad90F549Boot l;
  Prepara(l);
  int esito = -1;
  ASSERT_EQ(Avvia(l, m, &esito), 1);
  EXPECT_EQ(esito, RC_OK);
  // Reset into the bootstrap: baud, DTR up, RTS 27 ms later, DTR down 600 ms later.
  EXPECT_EQ(Eventi(), (std::vector<std::string>{"baud=4800", "dtr=1", "rts=1", "dtr=0"}));
  EXPECT_EQ(linea->eventi[2].ms - linea->eventi[1].ms, 27);
  EXPECT_EQ(linea->eventi[3].ms - linea->eventi[2].ms, 600);
  EXPECT_EQ(l.byteTotali, 1732 + 2 * 0x8000);
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.fase, ST_DONE) << l.esito;
  EXPECT_EQ(l.esito, RC_OK);
  // The 1534-byte piece to 0x0251 first, then 198 bytes to 0x0990, in blocks of 255.
  ASSERT_FALSE(micro.blocchi.empty());
  EXPECT_EQ(micro.blocchi.front().indirizzo, 0x0251);
  EXPECT_EQ(micro.blocchi.front().lunghezza, 255);
  EXPECT_EQ(micro.blocchi.back().indirizzo, 0x0990 + 0);
  EXPECT_EQ(micro.blocchi.back().lunghezza, 198);
  const Byte immagine = prova::ContenutoCaricatore("mb90f549.bin", 1732, 3);
  for (int i = 0; i < 1534; ++i) ASSERT_EQ(micro.ram[0x0251 + static_cast<std::uint32_t>(i)], immagine[static_cast<std::size_t>(i)]);
  for (int i = 0; i < 198; ++i) ASSERT_EQ(micro.ram[0x0990 + static_cast<std::uint32_t>(i)], immagine[1534 + static_cast<std::size_t>(i)]);
  // Sectors 4, 5 and 6 blank-checked as entered; only 5 erased by the walk; then 0xFF0000.
  EXPECT_EQ(micro.blank, (std::vector<std::uint32_t>{0xFF8000, 0xFFA000, 0xFFC000}));
  EXPECT_EQ(micro.erase, (std::vector<std::uint32_t>{0xFFA000, 0xFF0000}));
  EXPECT_EQ(Flash(0xFF8000, 0x8000), conFf);
  // LunBuf 0x40: chunks of at most 52 bytes; the FF chunks are not sent.
  EXPECT_EQ(*std::max_element(micro.lunghezzeScritture.begin(), micro.lunghezzeScritture.end()), 52);
  EXPECT_TRUE(RigaCon("saltato"));
  EXPECT_TRUE(std::none_of(micro.scritture.begin(), micro.scritture.end(),
                           [](std::uint32_t a) { return a >= 0xFF8100 && a + 52 <= 0xFF8200; }));
  EXPECT_TRUE(HaRiga("traferimento completato"));
  EXPECT_EQ(l.byteFatti, l.byteTotali);
  // Release: RTS down, DTR pulse without RTS; the board restarts from flash.
  linea->eventi.clear();
  l.Termina();
  EXPECT_EQ(Eventi(), (std::vector<std::string>{"rts=0", "dtr=1", "dtr=0"}));
}

TEST_F(Bootstrap, UnBlocoDispariCheSuperaLaFineSettoreVieneTagliato) {
  micro.settori = kSettori549;
  prova::CImmagine img;
  // 0xFF9FF1 + 16 bytes ends one byte past 0xFFA000 (sector 4 -> 5).
  const Byte dati = prova::Schema(16, 9);
  img.Dati(0xFF9FF1, dati).Fine(0x0030);
  SModulo m = Modulo(img, 0x0030);
  micro.lunBuf = 12 + 16;
  micro.flash[0xFFA000] = 0x00;  // the byte past the end holds something
  CLoad90F549Boot l;
  Prepara(l);
  int esito = 0;
  ASSERT_EQ(Avvia(l, m, &esito), 1);
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.fase, ST_DONE) << l.esito;
  // Cut at the sector end: 15 bytes, then 1 byte in sector 5 after its own blank check and erase.
  EXPECT_EQ(micro.scritture, (std::vector<std::uint32_t>{0xFF9FF1, 0xFFA000}));
  EXPECT_EQ(micro.lunghezzeScritture, (std::vector<int>{15, 1}));
  EXPECT_EQ(micro.blank, (std::vector<std::uint32_t>{0xFF8000, 0xFFA000}));
  EXPECT_EQ(micro.erase, (std::vector<std::uint32_t>{0xFFA000, 0xFF0000}));
  EXPECT_EQ(micro.letture, (std::vector<std::uint32_t>{0xFF9FF1, 0xFFA000}));
  EXPECT_EQ(Flash(0xFF9FF1, 16), dati);
}

TEST_F(Bootstrap, Mb90F497EMb90F345SoloSettoreAlto) {
  // Data only in the top sector: only it is blank-checked, and the signature
  // erase hits the sector below it (0xFFA000) on both chips.
  struct SCaso {
    const char* nome;
    std::vector<std::uint32_t> settori;
    std::uint16_t ram;
    int velocitaCaricatore;
  };
  const std::vector<SCaso> casi = {
      {"MB90F497", {0xFF0000, 0xFF8000, 0xFFA000, 0xFFC000, 0x1000000}, 0x0190, 9600},
      {"MB90F345", {0xF80000, 0xF90000, 0xFA0000, 0xFB0000, 0xFB8000, 0xFBA000, 0xFBC000, 0xFC0000,
                    0xFD0000, 0xFE0000, 0xFF0000, 0xFF8000, 0xFFA000, 0xFFC000, 0x1000000}, 0x0190, 38400},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.nome);
    micro = prova::CMicroFinto(orologio);
    micro.settori = c.settori;
    micro.baudCaricatore = c.velocitaCaricatore;
    micro.flash[0xFFC100] = 0x00;
    prova::CImmagine img;
    const Byte dati = prova::Schema(0x300, 6);
    img.Dati(0xFFC000, dati).Fine(0x0030);
    SModulo m = Modulo(img, 0x0030, 4800, c.velocitaCaricatore);
    std::unique_ptr<CLoad90FxxxBoot> l;
    if (c.settori.size() == 5) {
      l = std::make_unique<CLoad90F497Boot>();
    } else {
      l = std::make_unique<CLoad90F345Boot>();
    }
    Prepara(*l);
    int esito = 0;
    ASSERT_EQ(Avvia(*l, m, &esito), 1);
    EXPECT_EQ(l->byteTotali, (c.settori.size() == 5 ? 1732 : 1757) + 2 * 0x300);
    ASSERT_GE(Esegui(*l), 0);
    EXPECT_EQ(l->fase, ST_DONE) << l->esito;
    EXPECT_EQ(micro.blocchi.front().indirizzo, c.ram);
    EXPECT_EQ(micro.blank, (std::vector<std::uint32_t>{0xFFC000}));
    EXPECT_EQ(micro.erase, (std::vector<std::uint32_t>{0xFFC000, 0xFFA000}));
    EXPECT_EQ(Flash(0xFFC000, 0x300), dati);
    l->Termina();
  }
}

TEST_F(Bootstrap, SchedaAccesaTardiRipeteIlCheck) {
  micro.settori = kSettori549;
  micro.accensione = orologio.adesso + 7000;
  prova::CImmagine img;
  img.Dati(0xFFC000, prova::Schema(64, 2)).Fine(0x0030);
  SModulo m = Modulo(img, 0x0030);
  CLoad90F549Boot l;
  Prepara(l);
  int esito = 0;
  ASSERT_EQ(Avvia(l, m, &esito), 1);
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.fase, ST_DONE) << l.esito;
  EXPECT_GE(Conta("check timeout provvisorio"), 3);
  EXPECT_FALSE(HaRiga("check timeout definitivo"));
  EXPECT_EQ(micro.check, 1);
  // Only the top sector touched: the signature is the sector below it.
  EXPECT_EQ(micro.erase, (std::vector<std::uint32_t>{0xFFA000}));
}

struct SGuastoCaso {
  const char* nome;
  int esito;
  const char* riga;
};

TEST_F(Bootstrap, AckBloccoErratoFinisceCon27SenzaRinvio) {
  micro.settori = kSettori549;
  micro.bloccoGuasto = 2;
  micro.rispostaGuasta = 0x05;
  prova::CImmagine img;
  img.Dati(0xFFC000, prova::Schema(64, 2)).Fine(0x0030);
  SModulo m = Modulo(img, 0x0030);
  CLoad90F549Boot l;
  Prepara(l);
  int esito = 0;
  ASSERT_EQ(Avvia(l, m, &esito), 1);
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.fase, ST_FAILED);
  EXPECT_EQ(l.esito, RC_UNEXPECTED_REPLY);
  EXPECT_EQ(micro.blocchi.size(), 3u);
  EXPECT_TRUE(HaRiga("ricevuto dati errato [05]"));
  EXPECT_TRUE(HaRiga("dati fine tentativi"));
  linea->eventi.clear();
  l.Termina();  // released even after a failure
  EXPECT_EQ(Eventi(), (std::vector<std::string>{"rts=0", "dtr=1", "dtr=0"}));
}

TEST_F(Bootstrap, ErroriDelMotore) {
  struct SCaso {
    const char* nome;
    std::uint32_t indirizzo;
    std::function<void(prova::CMicroFinto&)> guasto;
    int esito;
    const char* riga;
  };
  const std::vector<SCaso> casi = {
      {"settore 0", 0xFC0100, [](prova::CMicroFinto&) {}, RC_EXTFLASH_BOOT_WRITE,
       "InvioBlankOWrite: memoria inesistente"},
      {"verifica", 0xFFC000, [](prova::CMicroFinto& x) { x.indirizzoAlterato = 0xFFC010; }, RC_FLASH_WRITE,
       "contenuto della flash non corrispondente"},
      {"erase", 0xFFC000,
       [](prova::CMicroFinto& x) {
         x.flash[0xFFC000] = 0;
         x.nonCancellabili.insert(0xFFC000);
       },
       RC_BLOCK_ERASE, "erase fine tentativi"},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.nome);
    micro = prova::CMicroFinto(orologio);
    micro.settori = kSettori549;
    c.guasto(micro);
    std::filesystem::remove(cartella.File("registro.txt"));
    prova::CImmagine img;
    img.Dati(c.indirizzo, prova::Schema(64, 2)).Fine(0x0030);
    SModulo m = Modulo(img, 0x0030);
    CLoad90F549Boot l;
    Prepara(l);
    int esito = 0;
    ASSERT_EQ(Avvia(l, m, &esito), 1);
    ASSERT_GE(Esegui(l), 0);
    EXPECT_EQ(l.fase, ST_FAILED);
    EXPECT_EQ(l.esito, c.esito);
    EXPECT_TRUE(HaRiga(c.riga));
    if (c.esito == RC_EXTFLASH_BOOT_WRITE) {
      EXPECT_TRUE(micro.scritture.empty());
    }
    if (c.esito == RC_BLOCK_ERASE) {
      EXPECT_EQ(micro.erase.size(), 5u);
      EXPECT_EQ(Conta("erase nuovo tentativo"), 4);
    }
    l.Termina();
  }
}

TEST_F(Bootstrap, ImmagineRamMancanteOCortaRifiutaSenzaToccareLaLinea) {
  micro.settori = kSettori549;
  prova::CImmagine img;
  img.Dati(0xFFC000, prova::Schema(64, 2)).Fine(0x0030);
  SModulo m = Modulo(img, 0x0030);
  std::filesystem::resize_file(cartella.File("ram/mb90f549.bin"), 1000);
  std::filesystem::remove(cartella.File("ram/mb96f338.bin"));
  {
    CLoad90F549Boot l;
    Prepara(l);
    int esito = 0;
    EXPECT_EQ(Avvia(l, m, &esito), 0);
    EXPECT_EQ(esito, RC_FILE_CORRUPT);
    EXPECT_TRUE(RigaCon("mb90f549.bin: lunghezza 1000 byte invece di 1732"));
    l.Termina();
  }
  {
    CLoad96F338Boot l;
    Prepara(l);
    int esito = 0;
    EXPECT_EQ(Avvia(l, m, &esito), 0);
    EXPECT_EQ(esito, RC_FILE_OPEN);
    EXPECT_TRUE(RigaCon("mb96f338.bin non trovata"));
    l.Termina();
  }
  EXPECT_TRUE(linea->eventi.empty());
  EXPECT_EQ(interfaccia.byteScritti, 0);
}

TEST_F(Bootstrap, ModuloConIndirizzoCanRifiutato) {
  prova::CImmagine img;
  img.Dati(0xFFC000, prova::Schema(64, 2)).Fine(0x0030);
  SModulo m = Modulo(img, 0x0030);
  m.indirizzi[0] = 0x480;
  CLoad90F497Boot l;
  Prepara(l);
  int esito = 0;
  EXPECT_EQ(Avvia(l, m, &esito), 0);
  EXPECT_EQ(esito, RC_NOT_REMOTE);
  EXPECT_TRUE(linea->eventi.empty());
}

// --- MB96F338 ---------------------------------------------------------------------------------

TEST_F(Bootstrap, Mb96F338ScriveIQuattroSettoriEChiudeConFf0000) {
  micro.famiglia = Famiglia::F2mc16Fx;
  micro.settori = kSettori338;
  micro.baudBootstrap = 19200;
  micro.baudCaricatore = 38400;
  micro.checkSbagliati = 1;
  micro.flash[0xDF2004] = 0x12;
  prova::CImmagine img;
  const Byte dati = prova::Schema(0x8000, 4);
  img.Dati(0xDF0000, dati).Fine(0x0030);
  SModulo m = Modulo(img, 0x0030, 19200, 38400);
  CLoad96F338Boot l;
  Prepara(l);
  int esito = 0;
  ASSERT_EQ(Avvia(l, m, &esito), 1);
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.fase, ST_DONE) << l.esito;
  EXPECT_TRUE(HaRiga("ricevuto checksum inviata errata"));
  EXPECT_TRUE(HaRiga("ricevuto calibrate"));
  EXPECT_TRUE(HaRiga("ricevuto esegui corretto"));
  // Six blocks of 256 and one of 196 to 0x7900 onwards.
  ASSERT_EQ(micro.blocchi.size(), 7u);
  EXPECT_EQ(micro.blocchi[0].indirizzo, 0x7900);
  EXPECT_EQ(micro.blocchi[0].lunghezza, 256);
  EXPECT_EQ(micro.blocchi[6].lunghezza, 196);
  EXPECT_EQ(micro.blank, (std::vector<std::uint32_t>{0xDF0000, 0xDF2000, 0xDF4000, 0xDF6000}));
  EXPECT_EQ(micro.erase, (std::vector<std::uint32_t>{0xDF2000, 0xFF0000}));
  EXPECT_EQ(Flash(0xDF0000, 0x8000), dati);
  linea->eventi.clear();
  l.Termina();
  EXPECT_EQ(Eventi(), (std::vector<std::string>{"rts=0", "dtr=1", "dtr=0"}));
}

TEST_F(Bootstrap, Mb96F338BloccoRifiutatoConMinoreFinisceCon27) {
  micro.famiglia = Famiglia::F2mc16Fx;
  micro.settori = kSettori338;
  micro.baudBootstrap = 19200;
  micro.bloccoGuasto = 0;
  micro.rispostaGuasta = '<';
  prova::CImmagine img;
  img.Dati(0xDF0000, prova::Schema(64, 4)).Fine(0x0030);
  SModulo m = Modulo(img, 0x0030, 19200, 38400);
  CLoad96F338Boot l;
  Prepara(l);
  int esito = 0;
  ASSERT_EQ(Avvia(l, m, &esito), 1);
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.esito, RC_UNEXPECTED_REPLY);
  EXPECT_EQ(micro.blocchi.size(), 1u);
  EXPECT_TRUE(HaRiga("ricevuto checksum inviata errata"));
  EXPECT_TRUE(HaRiga("dati fine tentativi"));
}

TEST_F(Bootstrap, Mb96F338SenzaRispostaAlCheckFinisceDopoCinqueTentativi) {
  micro.famiglia = Famiglia::Muto;
  prova::CImmagine img;
  img.Dati(0xDF0000, prova::Schema(64, 4)).Fine(0x0030);
  SModulo m = Modulo(img, 0x0030, 19200, 38400);
  CLoad96F338Boot l;
  Prepara(l);
  int esito = 0;
  ASSERT_EQ(Avvia(l, m, &esito), 1);
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.esito, RC_REPLY_TIMEOUT);
  EXPECT_EQ(Conta("invio check"), 5);
  EXPECT_EQ(Conta("check timeout provvisorio"), 4);
  EXPECT_TRUE(HaRiga("check timeout definitivo"));
}

// --- micro check ------------------------------------------------------------------------------

TEST_F(Bootstrap, VerificaMicroDiOgniFamiglia) {
  struct SCaso {
    Famiglia famiglia;
    std::uint8_t codice;
    std::uint8_t atteso;
    bool daBoot;
  };
  const std::vector<SCaso> casi = {
      {Famiglia::Fr, 0, kMicro91F465, false},
      {Famiglia::F2mc16Fx, 0, kMicro96F338, false},
      {Famiglia::F2mc16Lx, 'Q', kMicro90F549, false},
      {Famiglia::F2mc16Lx, 'R', kMicro90F345, false},
      {Famiglia::BootResidente, 0, kMicro91F465, true},
      {Famiglia::Muto, 0, kMicroIgnoto, false},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(static_cast<int>(c.famiglia));
    micro = prova::CMicroFinto(orologio);
    micro.famiglia = c.famiglia;
    micro.codiceMicro = c.codice;
    if (c.famiglia == Famiglia::F2mc16Fx) micro.baudBootstrap = 19200;
    CLoadCheckMicro l;
    Prepara(l);
    int esito = -1;
    ASSERT_EQ(l.Avvia({}, 0, 0, 0, nullptr, 1, 3, 7, &interfaccia, 1, nullptr, 0, &esito), 1);
    ASSERT_GE(Esegui(l), 0);
    // A silent board: after every bootstrap the resident boot is asked, and
    // its silence ends the loader with 71 (the micro-check job shows "Fu9!F!!!").
    const bool muto = c.famiglia == Famiglia::Muto;
    EXPECT_EQ(l.fase, muto ? ST_FAILED : ST_DONE) << Righe();
    EXPECT_EQ(l.esito, muto ? RC_MICRO_UNKNOWN : RC_OK);
    std::uint8_t codice = 0;
    bool daBoot = false;
    l.CodiceMicro(&codice, &daBoot);
    EXPECT_EQ(codice, c.atteso);
    EXPECT_EQ(daBoot, c.daBoot);
    if (c.famiglia == Famiglia::F2mc16Lx) {
      // The identification loader: 198 bytes to 0x0990 first, then 556 to 0x0190.
      ASSERT_FALSE(micro.blocchi.empty());
      EXPECT_EQ(micro.blocchi.front().indirizzo, 0x0990);
      EXPECT_EQ(micro.blocchi.front().lunghezza, 198);
      EXPECT_EQ(micro.blocchi[1].indirizzo, 0x0190);
    }
    l.Termina();
  }
  EXPECT_STREQ(NomeMicro(0xFF), "Fu9!F!!!");
  EXPECT_STREQ(NomeMicro('S'), "Fu90F497");
}

TEST_F(Bootstrap, VerificaMicro96FSenzaRispostaFinisceNonIdentificato) {
  micro.famiglia = Famiglia::Muto;
  CLoadCheckMicro l;
  Prepara(l);
  int esito = -1;
  ASSERT_EQ(l.Avvia({}, 0, 0, 0, nullptr, 1, 8, 6, &interfaccia, 0, nullptr, 0, &esito), 1);
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.fase, ST_DONE);
  EXPECT_EQ(l.esito, RC_OK);
  std::uint8_t codice = 0;
  bool daBoot = true;
  l.CodiceMicro(&codice, &daBoot);
  EXPECT_EQ(codice, kMicroIgnoto);
  EXPECT_EQ(Conta("invio check 338"), 5);
  EXPECT_TRUE(HaRiga("check 338 timeout definitivo"));
  EXPECT_EQ(Conta("invio check 465"), 0);
}

TEST_F(Bootstrap, VerificaMicroPrimaDiUnBoot91F465SenzaRispostaDa71) {
  micro.famiglia = Famiglia::Muto;
  CLoadCheckMicro l;
  Prepara(l);
  int esito = -1;
  ASSERT_EQ(l.Avvia({}, 0, 0, 0, nullptr, 1, 10, 8, &interfaccia, 0, nullptr, 0, &esito), 1);
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.fase, ST_FAILED);
  EXPECT_EQ(l.esito, RC_MICRO_UNKNOWN);
  EXPECT_EQ(Conta("check 465 timeout provvisorio"), 4);
  EXPECT_EQ(Conta("richiesta firma tentativi mancanti 2"), 1);
  EXPECT_TRUE(HaRiga("richiesta firma fine tentativi"));
}

TEST_F(Bootstrap, VerificaMicroBootResidenteConAltroMicroDa66) {
  micro.famiglia = Famiglia::BootResidente;
  micro.microBoot = 1;
  CLoadCheckMicro l;
  Prepara(l);
  int esito = -1;
  ASSERT_EQ(l.Avvia({}, 0, 0, 0, nullptr, 1, 10, 8, &interfaccia, 0, nullptr, 0, &esito), 1);
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.esito, RC_BOARD_INCOMPATIBLE);
}

// --- chip erase -------------------------------------------------------------------------------

TEST_F(Bootstrap, CancellazioneChip90F345) {
  micro.famiglia = Famiglia::F2mc16Lx;
  micro.baudCaricatore = 38400;
  micro.accensione = orologio.adesso + 3000;  // the user powers the board after Avvia
  micro.flash[0xF80000] = 0x11;
  {
    CLoadClearMicro l;
    Prepara(l);
    int esito = -1;
    EXPECT_EQ(l.Avvia({}, 0, 0, 0, nullptr, 1, 7, 2, &interfaccia, 1, nullptr, 0, &esito), 0);
    EXPECT_EQ(esito, RC_BOARD_INCOMPATIBLE);
    EXPECT_TRUE(linea->eventi.empty());
  }
  CLoadClearMicro l;
  Prepara(l);
  int esito = -1;
  ASSERT_EQ(l.Avvia({}, 0, 0, 0, nullptr, 1, 7, 4, &interfaccia, 1, nullptr, 0, &esito), 1);
  EXPECT_EQ(Eventi(), (std::vector<std::string>{"rts=0", "stop=1", "baud=4800", "rts=1"}));
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.fase, ST_DONE) << l.esito;
  EXPECT_TRUE(micro.chipCancellato);
  EXPECT_TRUE(micro.flash.empty());
  EXPECT_TRUE(RigaCon("InvioEraseChip: ef 00 00 f8"));
  linea->eventi.clear();
  l.Termina();
  EXPECT_EQ(Eventi(), (std::vector<std::string>{"rts=0"}));

  micro = prova::CMicroFinto(orologio);
  micro.baudCaricatore = 38400;
  micro.risultatoEraseChip = 1;
  ASSERT_EQ(l.Avvia({}, 0, 0, 0, nullptr, 1, 7, 4, &interfaccia, 1, nullptr, 0, &esito), 1);
  ASSERT_GE(Esegui(l), 0);
  EXPECT_EQ(l.esito, RC_BLOCK_ERASE);
  EXPECT_TRUE(HaRiga("EraseRicevi: impossibile cancellare il chip"));
  EXPECT_EQ(std::count(micro.comandi.begin(), micro.comandi.end(), 0xEF), 1);
}

}  // namespace
}  // namespace bricola
