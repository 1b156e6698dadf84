// The resident-boot loader's read mode (the board backup) and its verify-only
// load, stepped against the scripted machine: what goes on the wire, what the
// reader is handed, and what a difference reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "comm/porta_seriale.h"
#include "load/load_90fxxx.h"
#include "load/protocollo_boot.h"
#include "tests/load/scheda_finta.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using prova::Byte;
using prova::Guasto;
using Seq = std::vector<std::uint16_t>;

constexpr std::uint16_t kMicro = prova::kChiaveGetMicro;
constexpr std::uint16_t kVelMax = prova::kChiaveVelocitaMassima;
constexpr std::uint16_t kSetVel = prova::kChiaveSetVelocita;
constexpr std::uint16_t kModoDati = prova::kChiaveModoDati;
constexpr std::uint16_t kCodice = prova::kChiaveCodice;

// Keeps every piece as it came, and checks they come in address order.
class CRaccoltaProva : public CRicevitoreLettura {
 public:
  bool DatiLetti(std::uint32_t indirizzo, const std::uint8_t* dati, int n) override {
    if (!pezzi.empty() && indirizzo < pezzi.back().first) fuoriOrdine = true;
    pezzi.emplace_back(indirizzo, Byte(dati, dati + n));
    return !rifiuta;
  }
  Byte Da(std::uint32_t inizio, std::size_t n) const {
    std::map<std::uint32_t, std::uint8_t> m;
    for (const auto& [a, b] : pezzi) {
      for (std::size_t i = 0; i < b.size(); ++i) m[a + static_cast<std::uint32_t>(i)] = b[i];
    }
    Byte r;
    for (std::size_t i = 0; i < n; ++i) {
      auto it = m.find(inizio + static_cast<std::uint32_t>(i));
      if (it == m.end()) break;
      r.push_back(it->second);
    }
    return r;
  }
  std::size_t Totale() const {
    std::size_t t = 0;
    for (const auto& p : pezzi) t += p.second.size();
    return t;
  }
  std::vector<std::pair<std::uint32_t, Byte>> pezzi;
  bool fuoriOrdine = false;
  bool rifiuta = false;
};

class Lettura90Fxxx : public ::testing::Test {
 protected:
  void SetUp() override {
    linea->orologio = &orologio;
    linea->resetScheda = [this] { scheda.Reset(); };
    prova::InstallaLineaFinta(linea);
    int esito = 0;
    ASSERT_EQ(interfaccia.ApriLinea(2, 38400, 0, &esito), 1);
    loader.ImpostaOrologio(&orologio);
    loader.ImpostaFileRegistro(cartella.File("registro.txt"));
  }
  void TearDown() override {
    loader.Termina();
    interfaccia.ChiudiLinea();
    ImpostaApritorePorta(nullptr);
  }

  int AvviaLettura(int indirizzo, const std::vector<SIntervalloLettura>& intervalli) {
    int esito = -1;
    const int r = loader.AvviaLettura(indirizzo, intervalli, &raccolta, &interfaccia, &esito);
    EXPECT_EQ(esito, r ? RC_OK : loader.esito);
    return r;
  }
  int Esegui(int massimo = 200000) {
    for (int i = 0; i < massimo; ++i) {
      int aggiorna = 0;
      if (!loader.Passo(&aggiorna)) return i;
      orologio.adesso += loader.PeriodoTimer();
    }
    return -1;
  }
  std::vector<Byte> Trame(std::uint16_t chiave) const {
    std::vector<Byte> t;
    for (const auto& r : scheda.richieste) {
      if (r.chiave == chiave && r.ascoltata) t.push_back(r.byte);
    }
    return t;
  }
  // Length fields of the Read requests (3-byte addresses).
  std::vector<int> LunghezzeRead() const {
    std::vector<int> n;
    for (const Byte& t : Trame(kRead)) n.push_back(t[4] | (t[5] << 8));
    return n;
  }
  bool Scrive() const {
    return scheda.Conta(kBlank) + scheda.Conta(kErase) + scheda.Conta(kWrite) + scheda.Conta(kCodice) > 0;
  }
  void Riempi(prova::SScheda& b, std::uint32_t da, const Byte& dati) {
    for (std::size_t i = 0; i < dati.size(); ++i) b.flash[da + static_cast<std::uint32_t>(i)] = dati[i];
  }

  prova::CCartellaTemporanea cartella;
  prova::COrologioFinto orologio;
  std::shared_ptr<prova::SStatoLinea> linea = std::make_shared<prova::SStatoLinea>();
  prova::CSchedaFinta scheda{orologio};
  prova::CInterfacciaFinta interfaccia{scheda, *linea};
  CLoad90Fxxx loader;
  CRaccoltaProva raccolta;
};

// --- read mode ------------------------------------------------------------------------

TEST_F(Lettura90Fxxx, SchedaLocaleLettaNelBufferMenoDodiciSenzaScrivere) {
  const Byte interna = prova::Schema(0x900, 5);
  const Byte esterna = prova::Schema(0x30, 9);
  Riempi(scheda.locale, 0xFC0000, interna);
  Riempi(scheda.locale, 0x600010, esterna);
  ASSERT_EQ(AvviaLettura(0, {{0x600000, 0x600100}, {0xFC0000, 0xFC0900}}), 1);
  EXPECT_EQ(loader.byteTotali, 0xA00);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.esito, RC_OK);
  EXPECT_EQ(scheda.trameErrate, 0);

  EXPECT_EQ(scheda.Sequenza(), (Seq{kGetFirma, kGetVersione, kVelMax, kSetVel, kSetRemoto, kGetFirma, kGetVersione,
                                    kMicro, kLunBuf, kRead, kRead, kRead, kRead, kFine}));
  // Buffer of 1024 bytes: 1012 per read; a range's last piece is what is left.
  EXPECT_EQ(LunghezzeRead(), (std::vector<int>{0x100, 1012, 1012, 0x900 - 2024}));
  EXPECT_FALSE(raccolta.fuoriOrdine);
  EXPECT_EQ(raccolta.Totale(), 0xA00u);
  EXPECT_EQ(raccolta.Da(0xFC0000, 0x900), interna);
  Byte atteso(0x100, 0xFF);
  std::copy(esterna.begin(), esterna.end(), atteso.begin() + 0x10);
  EXPECT_EQ(raccolta.Da(0x600000, 0x100), atteso);
  EXPECT_EQ(loader.byteFatti, 0xA00);
  // No chip is asked about, nothing is blank-checked, erased or written.
  EXPECT_FALSE(Scrive());
  EXPECT_EQ(scheda.Conta(kFlashType), 0);
  EXPECT_EQ(scheda.Conta(kModoDati), 0);
}

TEST_F(Lettura90Fxxx, SchedaRemotaLettaA46Byte) {
  prova::SScheda& remota = scheda.remote[0x0482];
  remota.codice = 0x2001;
  const Byte dati = prova::Schema(100, 2);
  Riempi(remota, 0xFC0000, dati);
  ASSERT_EQ(AvviaLettura(0x0482, {{0xFC0000, 0xFC0000 + 100}}), 1);
  int aggiorna = 0;
  while (loader.PassoCorrente() != CLoad90Fxxx::P_READ && loader.Passo(&aggiorna)) orologio.adesso += 10;
  EXPECT_EQ(loader.fase, ST_SEND_MODULE);  // the flash on its way to the PC
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.CodiceScheda(), 0x2001);
  EXPECT_EQ(Trame(kSetRemoto)[0][1], 0x82);
  EXPECT_EQ(scheda.Conta(kReboot), 1);
  EXPECT_EQ(LunghezzeRead(), (std::vector<int>{46, 46, 8}));
  EXPECT_EQ(raccolta.Da(0xFC0000, 100), dati);
  EXPECT_FALSE(Scrive());
}

TEST_F(Lettura90Fxxx, BootUniversaleLettoELasciatoUniversale) {
  // The load would bind such a boot with Codice; a read leaves it alone.
  prova::SScheda& remota = scheda.remote[0x0483];
  remota.codice = 0xFFFF;
  ASSERT_EQ(AvviaLettura(0x0483, {{0xFC0000, 0xFC0010}}), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.CodiceScheda(), 0xFFFF);
  EXPECT_EQ(scheda.Conta(kCodice), 0);
  EXPECT_EQ(remota.codice, 0xFFFF);
}

TEST_F(Lettura90Fxxx, RispostaGuastaRipetutaStessoPezzo) {
  const Byte dati = prova::Schema(0x40, 4);
  Riempi(scheda.locale, 0xFC0000, dati);
  scheda.guasti.push_back({kRead, 1, Guasto::Controllo});
  scheda.guasti.push_back({kRead, 2, Guasto::Silenzio});
  ASSERT_EQ(AvviaLettura(0, {{0xFC0000, 0xFC0040}}), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  const auto t = Trame(kRead);
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0], t[1]);
  EXPECT_EQ(t[0], t[2]);
  EXPECT_EQ(raccolta.pezzi.size(), 1u);  // the bad reply was not handed on
  EXPECT_EQ(raccolta.Da(0xFC0000, 0x40), dati);
  EXPECT_EQ(loader.byteRipetuti, 0x80);
}

TEST_F(Lettura90Fxxx, CinqueRisposteMancateFinisconoConTimeout) {
  for (int i = 1; i <= 5; ++i) scheda.guasti.push_back({kRead, i, Guasto::Silenzio});
  ASSERT_EQ(AvviaLettura(0, {{0xFC0000, 0xFC0040}}), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_FAILED);
  EXPECT_EQ(loader.esito, RC_REPLY_TIMEOUT);
  EXPECT_EQ(scheda.Conta(kRead), 5);
  EXPECT_EQ(scheda.Conta(kFine), 0);
  EXPECT_TRUE(raccolta.pezzi.empty());
}

TEST_F(Lettura90Fxxx, SchedaMutaFinisceDopoCinqueTentativi) {
  // The load waits practically for ever for the board to come up; a backup
  // gives up after five unanswered seconds, trying both start speeds.
  for (int i = 1; i <= 5; ++i) scheda.guasti.push_back({kGetFirma, i, Guasto::Silenzio});
  ASSERT_EQ(AvviaLettura(0, {{0xFC0000, 0xFC0040}}), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_FAILED);
  EXPECT_EQ(loader.esito, RC_REPLY_TIMEOUT);
  EXPECT_EQ(loader.FirmaRicevuta(), 0);
  EXPECT_EQ(scheda.Conta(kGetFirma), 3);  // the board listens at 38400 only
  EXPECT_EQ(scheda.richieste.size(), 5u);
  EXPECT_TRUE(raccolta.pezzi.empty());
}

TEST_F(Lettura90Fxxx, RicevitoreCheRifiutaFermaLaLettura) {
  raccolta.rifiuta = true;
  ASSERT_EQ(AvviaLettura(0, {{0xFC0000, 0xFC1000}}), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_FAILED);
  EXPECT_EQ(loader.esito, RC_NO_MEMORY);
  EXPECT_EQ(scheda.Conta(kRead), 1);
}

TEST_F(Lettura90Fxxx, IntervalliNonValidiRifiutatiSenzaToccareLaLinea) {
  const std::vector<std::vector<SIntervalloLettura>> casi = {
      {},                                            // none
      {{0xFC0000, 0xFC0000}},                        // empty
      {{0xFC0100, 0xFC0000}},                        // inverted
      {{0xFC0000, 0xFC0100}, {0xFC00FF, 0xFC0200}},  // overlapping
      {{0xFC0100, 0xFC0200}, {0xFC0000, 0xFC0080}},  // out of order
  };
  for (const auto& c : casi) {
    int esito = -1;
    EXPECT_EQ(loader.AvviaLettura(0, c, &raccolta, &interfaccia, &esito), 0);
    EXPECT_EQ(esito, RC_NO_MODULES);
  }
  EXPECT_TRUE(linea->eventi.empty());
  EXPECT_TRUE(scheda.richieste.empty());
}

TEST_F(Lettura90Fxxx, BootConIndirizziA4Byte) {
  scheda.locale.micro = 9;
  const Byte dati = prova::Schema(0x20, 6);
  Riempi(scheda.locale, 0x80000, dati);
  ASSERT_EQ(AvviaLettura(0, {{0x80000, 0x80020}}), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  const auto t = Trame(kRead);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].size(), 10u);  // F2, 4-byte address, length, check
  EXPECT_EQ(raccolta.Da(0x80000, 0x20), dati);
}

// --- verify only ------------------------------------------------------------------------

class Verifica90Fxxx : public Lettura90Fxxx {
 protected:
  int AvviaVerifica(const prova::CImmagine& img, std::uint16_t codice, int tipoModulo = 0) {
    percorso = cartella.File("modulo.bin");
    EXPECT_TRUE(img.Scrivi(percorso));
    const std::uint32_t fine = img.Posizione() - 4;
    const std::uint32_t indirizzi[4] = {0, 0, 0, 0};
    const int velocita[2] = {38400, 19200};
    int esito = -1;
    return loader.Avvia(percorso, 0, fine, codice, indirizzi, tipoModulo, 3, 1, &interfaccia, 0, velocita,
                        OPZ_BOOT_UNIVERSALE | OPZ_SOLO_VERIFICA, &esito);
  }
  std::string percorso;
};

TEST_F(Verifica90Fxxx, SchedaUgualeSoloLettura) {
  scheda.locale.codice = 0x0010;
  const Byte a = prova::Schema(0x500, 7);
  const Byte b = prova::Schema(0x40, 8);
  Riempi(scheda.locale, 0xFC0000, a);
  Riempi(scheda.locale, 0x600100, b);  // a chip the map would ask about
  prova::CImmagine img;
  img.Dati(0xFC0000, a).Dati(0x600100, b).Fine(0x0010);
  ASSERT_EQ(AvviaVerifica(img, 0x0010), 1);
  EXPECT_EQ(loader.byteTotali, 0x540);  // read once, nothing written
  int aggiorna = 0;
  while (loader.PassoCorrente() != CLoad90Fxxx::P_READ && loader.Passo(&aggiorna)) orologio.adesso += 10;
  EXPECT_EQ(loader.fase, ST_CHECK_TRANSFER);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.esito, RC_OK);
  EXPECT_FALSE(Scrive());
  EXPECT_EQ(scheda.Conta(kFlashType), 0);
  EXPECT_EQ(scheda.Sequenza().back(), kFine);
  EXPECT_EQ(LunghezzeRead(), (std::vector<int>{1012, 0x500 - 1012, 0x40}));
  std::uint32_t dove = 0;
  EXPECT_EQ(loader.PrimoIndirizzoDiverso(&dove), 0);
}

TEST_F(Verifica90Fxxx, ByteDiversoDaIlSuoIndirizzo) {
  scheda.locale.codice = 0x0010;
  const Byte a = prova::Schema(0x800, 7);
  Riempi(scheda.locale, 0xFC0000, a);
  scheda.locale.flash[0xFC0456] ^= 0x01;
  prova::CImmagine img;
  img.Dati(0xFC0000, a).Fine(0x0010);
  ASSERT_EQ(AvviaVerifica(img, 0x0010), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_FAILED);
  EXPECT_EQ(loader.esito, RC_FLASH_WRITE);
  std::uint32_t dove = 0;
  ASSERT_EQ(loader.PrimoIndirizzoDiverso(&dove), 1);
  EXPECT_EQ(dove, 0xFC0456u);
  EXPECT_FALSE(Scrive());
  EXPECT_EQ(scheda.Conta(kFine), 0);
}

TEST_F(Verifica90Fxxx, ModuloDatiPassaDaModoDatiSenzaScrivere) {
  scheda.locale.codice = 0x0010;
  const Byte a = prova::Schema(0x20, 3);
  Riempi(scheda.locale, 0xFC0000, a);
  prova::CImmagine img;
  img.Dati(0xFC0000, a).Fine(0x0010);
  ASSERT_EQ(AvviaVerifica(img, 0x0010, 2), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(scheda.Conta(kModoDati), 1);
  EXPECT_FALSE(Scrive());
}

TEST_F(Verifica90Fxxx, UnCaricamentoNormaleDopoLaVerificaScriveDiNuovo) {
  // The mode belongs to one start: the next ordinary load writes.
  scheda.locale.codice = 0x0010;
  const Byte a = prova::Schema(0x20, 3);
  prova::CImmagine img;
  img.Dati(0xFC0000, a).Fine(0x0010);
  ASSERT_EQ(AvviaVerifica(img, 0x0010), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_FLASH_WRITE);
  loader.Termina();
  const std::uint32_t indirizzi[4] = {0, 0, 0, 0};
  const int velocita[2] = {38400, 19200};
  int esito = -1;
  ASSERT_EQ(loader.Avvia(percorso, 0, img.Posizione() - 4, 0x0010, indirizzi, 0, 3, 1, &interfaccia, 0, velocita,
                         OPZ_BOOT_UNIVERSALE, &esito),
            1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(scheda.Conta(kWrite), 1);
  std::uint32_t dove = 0;
  EXPECT_EQ(loader.PrimoIndirizzoDiverso(&dove), 0);
}

}  // namespace
}  // namespace bricola
