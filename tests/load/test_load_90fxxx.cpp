// The resident-boot loader stepped against a scripted machine on the wire:
// what goes on the line, in which order, what the log says, what ends up in
// the board's flash, and how every kind of fault is retried or reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "comm/porta_seriale.h"
#include "load/load_90fxxx.h"
#include "load/protocollo_boot.h"
#include "jobs/verifica_boot.h"
#include "tests/load/scheda_finta.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using prova::Byte;
using prova::Guasto;

struct SModulo {
  std::string percorso;
  std::uint32_t inizio = 0;
  std::uint32_t fine = 0;
  std::uint16_t codice = 0x0010;
  std::uint32_t indirizzi[4] = {0, 0, 0, 0};
  int tipoModulo = 0;
  int tipoLoad = 3;
  int tipoMicro = 1;
  int velocita[2] = {38400, 19200};
};

class Load90Fxxx : public ::testing::Test {
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

  // A file of one module from the builder; the module's offsets as the analysis gives them.
  SModulo Modulo(prova::CImmagine& img, std::uint16_t codice) {
    SModulo m;
    m.percorso = cartella.File("modulo.bin");
    EXPECT_TRUE(img.Scrivi(m.percorso));
    m.fine = img.Posizione() - 4;
    m.codice = codice;
    return m;
  }
  SModulo ModuloDati(std::uint32_t indirizzo, const Byte& dati, std::uint16_t codice = 0x0010) {
    prova::CImmagine img;
    img.Dati(indirizzo, dati).Fine(codice);
    return Modulo(img, codice);
  }

  int Avvia(const SModulo& m, int opzioni = OPZ_BOOT_UNIVERSALE, int modo = 0) {
    int esito = -1;
    const int r = loader.Avvia(m.percorso, m.inizio, m.fine, m.codice, m.indirizzi, m.tipoModulo, m.tipoLoad,
                               m.tipoMicro, &interfaccia, modo, m.velocita, opzioni, &esito);
    EXPECT_EQ(esito, r ? RC_OK : loader.esito);
    return r;
  }

  // Steps the loader every 10 ms until it ends; the number of steps, or -1.
  int Esegui(int massimo = 100000) {
    for (int i = 0; i < massimo; ++i) {
      int aggiorna = 0;
      if (!loader.Passo(&aggiorna)) return i;
      orologio.adesso += loader.PeriodoTimer();
    }
    return -1;
  }

  std::vector<std::string> Registro() const {
    std::ifstream f(cartella.File("registro.txt"), std::ios::binary);
    std::vector<std::string> righe;
    std::string riga;
    while (std::getline(f, riga)) {
      if (!riga.empty() && riga.back() == '\r') riga.pop_back();
      righe.push_back(riga.size() > 20 ? riga.substr(20) : std::string());  // after the timestamp
    }
    return righe;
  }
  int Riga(const std::string& testo) const {
    const auto r = Registro();
    const auto it = std::find(r.begin(), r.end(), testo);
    return it == r.end() ? -1 : static_cast<int>(it - r.begin());
  }
  bool HaRiga(const std::string& testo) const { return Riga(testo) >= 0; }
  int ContaRighe(const std::string& testo) const {
    const auto r = Registro();
    return static_cast<int>(std::count(r.begin(), r.end(), testo));
  }
  std::string Righe() const {
    std::string s;
    for (const auto& r : Registro()) s += r + "\n";
    return s;
  }

  Byte Flash(const prova::SScheda& b, std::uint32_t da, std::size_t n) const {
    Byte r(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = b.Leggi(da + static_cast<std::uint32_t>(i));
    return r;
  }
  std::vector<Byte> Trame(std::uint16_t chiave) const {
    std::vector<Byte> t;
    for (const auto& r : scheda.richieste) {
      if (r.chiave == chiave && r.ascoltata) t.push_back(r.byte);
    }
    return t;
  }

  void FineOk() {
    EXPECT_EQ(loader.fase, ST_DONE) << Righe();
    EXPECT_EQ(loader.esito, RC_OK) << Righe();
    EXPECT_EQ(scheda.trameErrate, 0);
  }

  prova::CCartellaTemporanea cartella;
  prova::COrologioFinto orologio;
  std::shared_ptr<prova::SStatoLinea> linea = std::make_shared<prova::SStatoLinea>();
  prova::CSchedaFinta scheda{orologio};
  prova::CInterfacciaFinta interfaccia{scheda, *linea};
  CLoad90Fxxx loader;
};

using Seq = std::vector<std::uint16_t>;

// A sender's log line: the prefix and every request byte as " %02x".
std::string Dump(const std::string& prefisso, const CTrama& t) {
  std::string s = prefisso;
  char b[4];
  for (int i = 0; i < t.Lunghezza(); ++i) {
    std::snprintf(b, sizeof b, " %02x", t.Dati()[i]);
    s += b;
  }
  return s;
}
constexpr std::uint16_t kMicro = prova::kChiaveGetMicro;
constexpr std::uint16_t kVelMax = prova::kChiaveVelocitaMassima;
constexpr std::uint16_t kSetVel = prova::kChiaveSetVelocita;

// --- the normal sequence -----------------------------------------------------------

TEST_F(Load90Fxxx, SchedaLocaleSequenzaCompleta) {
  const Byte dati = prova::Schema(0x100);
  const SModulo m = ModuloDati(0xFC0000, dati);
  ASSERT_EQ(Avvia(m), 1);
  EXPECT_EQ(loader.fase, ST_WAIT_LINK);
  EXPECT_EQ(loader.byteTotali, 0x200);  // written, then read back
  ASSERT_GE(Esegui(), 0);
  FineOk();

  EXPECT_EQ(scheda.Sequenza(), (Seq{kGetFirma, kGetVersione, kVelMax, kSetVel, kSetRemoto, kGetFirma, kGetVersione,
                                    kMicro, kLunBuf, kBlank, kWrite, kRead, kFine}));
  EXPECT_EQ(Flash(scheda.locale, 0xFC0000, dati.size()), dati);
  EXPECT_EQ(loader.byteFatti, 0x200);
  EXPECT_EQ(loader.byteRipetuti, 0);

  // Wire details: SetRemoto to CAN address 0, a blank check of the whole first sector.
  EXPECT_EQ(Trame(kSetRemoto)[0], (Byte{0xFA, 0x00, 0x00, 0x7D, 0x00, 0x00}));
  const Byte blank = Trame(kBlank)[0];
  EXPECT_EQ(Byte(blank.begin(), blank.begin() + 7), (Byte{0xEC, 0x00, 0x00, 0xFC, 0xFE, 0xFF, 0xFC}));
  EXPECT_EQ(interfaccia.destinatari, (std::vector<std::pair<int, int>>{{1179, 0}}));

  // Line: start speed, DTR pulse of 600 ms with RTS untouched, then 115200.
  ASSERT_GE(linea->eventi.size(), 4u);
  EXPECT_EQ(linea->eventi[0].cosa, "baud");
  EXPECT_EQ(linea->eventi[0].valore, 38400);
  EXPECT_EQ(linea->eventi[1].cosa, "dtr");
  EXPECT_EQ(linea->eventi[1].valore, 1);
  EXPECT_EQ(linea->eventi[2].cosa, "dtr");
  EXPECT_EQ(linea->eventi[2].valore, 0);
  EXPECT_EQ(linea->eventi[2].ms - linea->eventi[1].ms, 600);
  EXPECT_EQ(linea->eventi[3].cosa, "baud");
  EXPECT_EQ(linea->eventi[3].valore, 115200);
  EXPECT_TRUE(std::none_of(linea->eventi.begin(), linea->eventi.end(), [](auto& e) { return e.cosa == "rts"; }));

  const std::vector<std::string> attese = {
      "velocita' 38400 bit/s", "cambio velocita' riuscito", "inizio impulso DTR", "fine impulso DTR",
      "TipoLoad 3", "InvioGetFirma: f3 60 03 18", "GetFirmaRicevi: ricevuto margine 990 tick",
      "InvioGetVersione: fb 60 03 1c", "versione boot locale 60", "versione boot 60",
      "codice velocita' massima 01", "nuova velocita' 115200 bit/s", "tentativo remoto 0000",
      "InvioSetRemoto: fa 00 00 7d 00 00", "ricevuto set remoto margine 990 tick", "set remoto completato",
      "trasferimento in locale", "distributore codice 0010", "micro boot 1, micro modulo 1 compatibili",
      "InvioLunBuf: fe c0 03 1c", "ricevuto LunBuf margine 1990 tick", "buffer remoto 1024, dati 1012 byte",
      "ricevuto blank margine 5990 tick", "invio 0100 dati a fc0000", "ricevuto write margine 2990 tick",
      "invio read fc0000 per 0100 dati", "ricevuto read 256 byte margine 990 tick", "InvioFine: f4 80 03 18",
      "FineRicevi: ricevuto margine 1990 tick", "traferimento completato"};
  int ultima = -1;
  for (const auto& riga : attese) {
    const int i = Riga(riga);
    EXPECT_GT(i, ultima) << "missing or out of order: " << riga << "\n" << Righe();
    if (i >= 0) ultima = i;
  }
}

TEST_F(Load90Fxxx, PacchettiDivisiSulConfineDiSettoreERilettiPerBuffer) {
  // 0x1800 bytes from 0xFCF000: the sector boundary at 0xFD0000 cuts a packet,
  // and both sectors are blank-checked once.
  const Byte dati = prova::Schema(0x1800, 3);
  const SModulo m = ModuloDati(0xFCF000, dati);
  scheda.locale.flash[0xFD0100] = 0x00;  // second sector not blank: erased
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_EQ(Flash(scheda.locale, 0xFCF000, dati.size()), dati);
  EXPECT_EQ(scheda.Conta(kBlank), 2);
  EXPECT_EQ(scheda.Conta(kErase), 1);
  std::vector<std::uint32_t> scritture;
  for (const Byte& w : Trame(kWrite)) {
    const std::uint32_t a = static_cast<std::uint32_t>(w[1] | (w[2] << 8) | (w[3] << 16));
    const int n = w[4] | (w[5] << 8);
    EXPECT_LE(n, 1012);
    EXPECT_TRUE(a >= 0xFD0000 || a + static_cast<std::uint32_t>(n) <= 0xFD0000) << std::hex << a;
    scritture.push_back(a);
  }
  EXPECT_NE(std::find(scritture.begin(), scritture.end(), 0xFD0000u), scritture.end());
  EXPECT_TRUE(HaRiga("BlankRicevi: risposta 00"));
  const Byte erase = Trame(kErase)[0];
  EXPECT_EQ(Byte(erase.begin(), erase.begin() + 4), (Byte{0xEE, 0x00, 0x00, 0xFD}));
}

TEST_F(Load90Fxxx, PacchettiTuttiFFNonSonoScrittiMaRiletti) {
  Byte dati(0x1000, 0xFF);
  std::fill(dati.begin() + 0xC00, dati.end(), 0x5A);
  const SModulo m = ModuloDati(0xFC0000, dati);
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_EQ(Flash(scheda.locale, 0xFC0000, dati.size()), dati);
  // 1012 bytes a packet: the first three packets (up to 0xBDC) are all FF.
  EXPECT_EQ(scheda.Conta(kWrite), 2);
  EXPECT_TRUE(HaRiga("invio dati fc0000 saltato"));
  EXPECT_TRUE(HaRiga("invio dati fc07e8 saltato"));
  EXPECT_EQ(loader.byteFatti, 0x2000);
}

TEST_F(Load90Fxxx, SvegliaDelBootMentreSiSaltanoPacchetti) {
  // The blank check of the second sector takes 5 s: the packets after it are
  // all FF, so a keep-alive LunBuf goes out before the next real write.
  Byte dati(0x10000 + 0x800, 0xFF);
  std::fill(dati.begin(), dati.begin() + 0x10, 0x01);
  std::fill(dati.end() - 0x10, dati.end(), 0x02);
  const SModulo m = ModuloDati(0xFC0000, dati);
  scheda.guasti.push_back({kBlank, 2, Guasto::Ritardo, 5000});
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("invio sveglia boot")) << Righe();
  const Seq s = scheda.Sequenza();
  const auto secondoBlank = std::find(std::find(s.begin(), s.end(), kBlank) + 1, s.end(), kBlank);
  ASSERT_NE(secondoBlank, s.end());
  EXPECT_EQ(*(secondoBlank + 1), kLunBuf);
  EXPECT_EQ(*(secondoBlank + 2), kWrite);
  EXPECT_EQ(Flash(scheda.locale, 0xFC0000, dati.size()), dati);
}

TEST_F(Load90Fxxx, OpzioneBuffer128EAllineamento) {
  const Byte dati = prova::Schema(37, 5);
  SModulo m = ModuloDati(0xFC0000, dati);
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_BUFFER_128), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("buffer remoto 128, dati 116 byte"));
  // 37 bytes go out as 38 (alignment mask 1), the last being FF.
  const Byte w = Trame(kWrite)[0];
  EXPECT_EQ(w[4] | (w[5] << 8), 38);
  EXPECT_EQ(w[6 + 37], 0xFF);
  EXPECT_TRUE(HaRiga("invio 0026 dati a fc0000"));
}

TEST_F(Load90Fxxx, ScritturaLentaUnByteAllaVolta) {
  const Byte dati = prova::Schema(16);
  const SModulo m = ModuloDati(0xFC0000, dati);
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA | OPZ_SCRITTURA_LENTA), 1);
  const std::int64_t prima = orologio.dormito;
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_EQ(Flash(scheda.locale, 0xFC0000, 16), dati);
  // 1 ms after every byte of the 25-byte Write (and only there), besides the fixed waits.
  EXPECT_EQ(orologio.dormito - prima, 25 + 50);  // + the settle after 115200
}

TEST_F(Load90Fxxx, MappaPicAllineamentoERiletturaConMaschera) {
  struct SCaso {
    std::uint32_t alterato;  // a byte the board stores with bit 4 flipped
    int esito;
  };
  // Bit 4 is a don't-care bit of configuration bytes 1 and 2, not of byte 6.
  for (const SCaso c : {SCaso{0xFFFFFFFF, RC_OK}, SCaso{0x300001, RC_OK}, SCaso{0x300002, RC_OK},
                        SCaso{0x300006, RC_FLASH_WRITE}}) {
    SCOPED_TRACE(c.alterato);
    scheda.Ricomincia();
    scheda.locale.flash.clear();
    scheda.locale.micro = 3;
    scheda.locale.indirizzoAlterato = c.alterato;
    prova::CImmagine img;
    img.Dati(0x000100, prova::Schema(37, 3)).Dati(0x300000, Byte(16, 0x00)).Fine(0x0010);
    SModulo m = Modulo(img, 0x0010);
    m.tipoLoad = 5;
    m.tipoMicro = 3;
    ASSERT_EQ(Avvia(m), 1);
    ASSERT_GE(Esegui(), 0);
    EXPECT_EQ(loader.esito, c.esito) << Righe();
    // 37 bytes go out as 40 (alignment mask 7); the configuration bytes need no blank check.
    const auto w = Trame(kWrite);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0][4] | (w[0][5] << 8), 40);
    EXPECT_EQ(Byte(w[0].begin() + 6 + 37, w[0].begin() + 6 + 40), Byte(3, 0xFF));
    EXPECT_EQ(scheda.Conta(kBlank), 1);
    loader.Termina();
  }
}

TEST_F(Load90Fxxx, SettoreAllIndirizzoZeroControllatoECancellato) {
  // The first sector of the PIC map starts at address 0.
  scheda.locale.micro = 3;
  scheda.locale.flash[0x000010] = 0x00;
  const Byte dati = prova::Schema(0x40, 4);
  SModulo m = ModuloDati(0x000000, dati);
  m.tipoLoad = 5;
  m.tipoMicro = 3;
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  const Byte b = Trame(kBlank).at(0);
  EXPECT_EQ(Byte(b.begin(), b.begin() + 7), (Byte{0xEC, 0x00, 0x00, 0x00, 0x3E, 0x00, 0x00}));
  EXPECT_EQ(scheda.Conta(kErase), 1);
  EXPECT_EQ(Flash(scheda.locale, 0, dati.size()), dati);
}

TEST_F(Load90Fxxx, RecordCheTornanoInUnSettoreGiaScritto) {
  // The third record goes back into the first sector: it must not be erased again.
  scheda.locale.flash[0xFC8000] = 0x00;  // the first sector needs erasing
  prova::CImmagine img;
  img.Dati(0xFC0000, prova::Schema(16, 1)).Dati(0xFD0000, prova::Schema(16, 2)).Dati(0xFC0100, prova::Schema(16, 3))
      .Fine(0x0010);
  const SModulo m = Modulo(img, 0x0010);
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_EQ(scheda.Conta(kBlank), 2);
  EXPECT_EQ(scheda.Conta(kErase), 1);
  EXPECT_EQ(Flash(scheda.locale, 0xFC0000, 16), prova::Schema(16, 1));
  EXPECT_EQ(Flash(scheda.locale, 0xFD0000, 16), prova::Schema(16, 2));
  EXPECT_EQ(Flash(scheda.locale, 0xFC0100, 16), prova::Schema(16, 3));
}

// --- speeds and boot versions ---------------------------------------------------------

TEST_F(Load90Fxxx, VelocitaAlternataFinoAllaRispostaDellaScheda) {
  SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  m.velocita[0] = 9600;
  m.velocita[1] = 38400;
  scheda.baudBoot = 38400;
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  // The first GetFirma went out at 9600 and was lost; the second at 38400.
  ASSERT_GE(scheda.richieste.size(), 2u);
  EXPECT_EQ(scheda.richieste[0].baud, 9600);
  EXPECT_FALSE(scheda.richieste[0].ascoltata);
  EXPECT_EQ(scheda.richieste[1].baud, 38400);
  EXPECT_TRUE(scheda.richieste[1].ascoltata);
  EXPECT_TRUE(HaRiga("GetFirmaRicevi: timeout, ricevuti 0 caratteri"));
  EXPECT_TRUE(HaRiga("nuova velocita' 38400 bit/s"));
  EXPECT_TRUE(HaRiga("richiesta firma tentativo"));
}

TEST_F(Load90Fxxx, SchedaMutaRestaInAttesaAlternandoVelocita) {
  SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  m.velocita[0] = 9600;
  m.velocita[1] = 19200;
  ASSERT_EQ(Avvia(m), 1);
  EXPECT_EQ(Esegui(1000), -1);  // 10 s: still waiting
  EXPECT_EQ(loader.fase, ST_WAIT_LINK);
  std::vector<int> baud;
  for (const auto& r : scheda.richieste) baud.push_back(r.baud);
  ASSERT_GE(baud.size(), 9u);
  for (std::size_t i = 0; i < baud.size(); ++i) EXPECT_EQ(baud[i], i % 2 ? 19200 : 9600) << i;
  EXPECT_EQ(ContaRighe("richiesta firma tentativo"), static_cast<int>(baud.size()) - 1);
}

TEST_F(Load90Fxxx, VersioniDelBootCambianoLaSequenza) {
  struct SCaso {
    std::uint8_t versione;
    Seq attesa;
  };
  const std::vector<SCaso> casi = {
      {0x54, {kGetFirma, kGetVersione, kSetRemoto, kGetFirma, kGetVersione, kMicro, kLunBuf, kBlank, kWrite, kFine}},
      {0x52, {kGetFirma, kGetVersione, kSetRemoto, kGetFirma, kGetVersione, kLunBuf, kBlank, kWrite, kFine}},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.versione);
    scheda.Ricomincia();
    scheda.locale.flash.clear();
    scheda.locale.versione = c.versione;
    const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
    ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
    ASSERT_GE(Esegui(), 0);
    FineOk();
    EXPECT_EQ(scheda.Sequenza(), c.attesa);
    EXPECT_FALSE(std::any_of(linea->eventi.begin(), linea->eventi.end(),
                             [](auto& e) { return e.cosa == "baud" && e.valore == 115200; }));
    loader.Termina();
  }
  EXPECT_TRUE(HaRiga("tipo micro legacy 01"));
}

TEST_F(Load90Fxxx, VelocitaFissaConOpzione3) {
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA | OPZ_VELOCITA_FISSA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_EQ(scheda.Conta(kVelMax), 0);
}

TEST_F(Load90Fxxx, VelocitaMassimaDefaultResta38400) {
  scheda.codiceVelocita = 0xFF;
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("velocita' massima default: 38400 bit/s"));
  EXPECT_EQ(scheda.Conta(kSetVel), 0);
}

// --- start refusals ---------------------------------------------------------------------

TEST_F(Load90Fxxx, RifiutiAllAvvio) {
  {
    SModulo m = ModuloDati(0xFC0000, prova::Schema(8), 0x0010);
    m.codice = 0x0011;  // the descriptor disagrees with the module's closing code
    EXPECT_EQ(Avvia(m), 0);
    EXPECT_EQ(loader.esito, RC_MACHINE_MISMATCH);
    EXPECT_EQ(loader.fase, ST_FAILED);
    EXPECT_TRUE(HaRiga("errore codice file"));
  }
  {
    SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
    m.tipoModulo = 1;
    EXPECT_EQ(Avvia(m), 0);
    EXPECT_EQ(loader.esito, RC_MODULE_TYPE);
  }
  {
    SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
    m.percorso = cartella.File("manca.bin");
    EXPECT_EQ(Avvia(m), 0);
    EXPECT_EQ(loader.esito, RC_FILE_OPEN);
    EXPECT_TRUE(HaRiga("errore apertura file"));
  }
  {
    prova::CImmagine img;
    img.Dati(0xFC0000, {1, 2}).Tipizzato(0x0042, 4).Fine(0x0010);
    const SModulo m = Modulo(img, 0x0010);
    EXPECT_EQ(Avvia(m), 0);
    EXPECT_EQ(loader.esito, RC_MODULE_CORRUPT);
    EXPECT_TRUE(HaRiga("errore scansione blocchi programma"));
  }
  {
    const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
    linea->baudGuasto = true;
    EXPECT_EQ(Avvia(m), 0);
    EXPECT_EQ(loader.esito, RC_PORT_ACCESS);
    EXPECT_TRUE(HaRiga("errore generazione impulso iniziale"));
    linea->baudGuasto = false;
  }
  // Nothing reached the line.
  EXPECT_TRUE(scheda.richieste.empty());
}

TEST_F(Load90Fxxx, SchedaDiUnAltraMacchina) {
  scheda.locale.codice = 0x0020;
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8), 0x0010);
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_PROGRAM_INCOMPATIBLE);
  EXPECT_EQ(loader.fase, ST_FAILED);
  EXPECT_TRUE(HaRiga("distributore errato 0020"));
  EXPECT_EQ(scheda.Conta(kWrite), 0);
  EXPECT_EQ(scheda.Conta(kBlank), 0);
}

TEST_F(Load90Fxxx, MicroNonCompatibile) {
  scheda.locale.micro = 2;
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_BOARD_INCOMPATIBLE);
  EXPECT_TRUE(HaRiga("micro boot 2, micro modulo 1 non compatibili"));
}

// --- retries and faults ----------------------------------------------------------------

TEST_F(Load90Fxxx, ControlloErratoRiprovato) {
  struct SCaso {
    std::uint16_t chiave;
    const char* rigaErrata;
    const char* rigaTentativo;
  };
  const std::vector<SCaso> casi = {
      {kWrite, "WriteRicevi: risposta errata", "write altro tentativo"},
      {kRead, "ReadRicevi: risposta errata", "read altro tentativo"},
      {kBlank, "BlankRicevi: risposta errata", "blank nuovo tentativo"},
      {kLunBuf, "LunBuf: risposta errata", "LunBuf nuovo tentativo"},
      {kSetRemoto, "SetRemotoRicevi: risposta errata  fa 00 a5 01", "set remoto tentativo"},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.rigaErrata);
    scheda.Ricomincia();
    scheda.locale.flash.clear();
    scheda.guasti = {{c.chiave, 1, Guasto::Controllo}};
    const Byte dati = prova::Schema(0x40, 9);
    const SModulo m = ModuloDati(0xFC0000, dati);
    ASSERT_EQ(Avvia(m), 1);
    ASSERT_GE(Esegui(), 0);
    FineOk();
    EXPECT_EQ(Flash(scheda.locale, 0xFC0000, dati.size()), dati);
    EXPECT_EQ(scheda.Conta(c.chiave), c.chiave == kSetRemoto ? 2 : 2);
    EXPECT_TRUE(HaRiga(c.rigaTentativo)) << Righe();
    loader.Termina();
  }
  EXPECT_TRUE(HaRiga("WriteRicevi: risposta errata"));
  EXPECT_TRUE(HaRiga("ReadRicevi: risposta errata"));
}

TEST_F(Load90Fxxx, ScritturaRipetutaContaIByteRipetuti) {
  scheda.guasti = {{kWrite, 1, Guasto::Controllo}};
  const Byte dati = prova::Schema(0x40);
  const SModulo m = ModuloDati(0xFC0000, dati);
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_EQ(loader.byteRipetuti, 0x40);
  const auto w = Trame(kWrite);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0], w[1]);  // the same packet, from the same file bytes
}

TEST_F(Load90Fxxx, FirmaErrataRiapreLInterfaccia) {
  scheda.guasti = {{kGetFirma, 1, Guasto::Controllo}};
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_EQ(interfaccia.riaperture, 1);
  EXPECT_TRUE(HaRiga("riapertura interfaccia"));
  EXPECT_TRUE(HaRiga("richiesta firma tentativo"));
  const auto r = Registro();
  EXPECT_TRUE(std::any_of(r.begin(), r.end(), [](const std::string& s) {
    return s.rfind("GetFirmaRicevi: risposta errata  f3 10 00", 0) == 0;
  })) << Righe();
}

TEST_F(Load90Fxxx, ControlloErratoFinoAllUltimoTentativo) {
  for (int i = 1; i <= 5; ++i) scheda.guasti.push_back({kWrite, i, Guasto::Controllo});
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(0x40));
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_REPLY_CRC);
  EXPECT_EQ(loader.fase, ST_FAILED);
  EXPECT_EQ(scheda.Conta(kWrite), 5);
  EXPECT_EQ(ContaRighe("write altro tentativo"), 4);
  EXPECT_TRUE(HaRiga("write errore definitivo"));
  EXPECT_EQ(scheda.Conta(kFine), 0);
}

TEST_F(Load90Fxxx, NackRiprovatoOFatale) {
  {
    scheda.guasti = {{kBlank, 1, Guasto::Nack}};
    const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
    ASSERT_EQ(Avvia(m), 1);
    ASSERT_GE(Esegui(), 0);
    FineOk();
    EXPECT_TRUE(HaRiga("BlankRicevi: errore per nack"));
    EXPECT_TRUE(HaRiga("blank nuovo tentativo"));
    loader.Termina();
  }
  {
    // A data module on a boot that does not know the data mode.
    scheda.Ricomincia();
    scheda.guasti = {{prova::kChiaveModoDati, 1, Guasto::Nack}};
    SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
    m.tipoModulo = 2;
    ASSERT_EQ(Avvia(m), 1);
    ASSERT_GE(Esegui(), 0);
    EXPECT_EQ(loader.esito, RC_BOOT_NO_DATA);
    EXPECT_TRUE(HaRiga("ModoDati: errore per nack"));
    EXPECT_TRUE(HaRiga("ModoDati: non riconosciuto"));
    loader.Termina();
  }
  {
    // SetRemoto: three NACKs are retried, the fourth ends the load.
    scheda.Ricomincia();
    scheda.guasti.clear();
    for (int i = 1; i <= 4; ++i) scheda.guasti.push_back({kSetRemoto, i, Guasto::Nack});
    const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
    ASSERT_EQ(Avvia(m), 1);
    ASSERT_GE(Esegui(), 0);
    EXPECT_EQ(loader.esito, RC_REMOTE_LOAD);
    EXPECT_EQ(scheda.Conta(kSetRemoto), 4);
    EXPECT_EQ(ContaRighe("InvioSetRemoto: nuovo tentativo per nack"), 3);
    EXPECT_TRUE(HaRiga("InvioSetRemoto: raggiunto numero max nack"));
  }
}

TEST_F(Load90Fxxx, ModoDatiPerUnModuloDati) {
  prova::CImmagine img;
  img.Dati(0xFC0100, prova::Schema(0x20)).Fine(0xFFFF);
  SModulo m = Modulo(img, 0xFFFF);
  m.tipoModulo = 2;
  scheda.locale.flash[0xFC0000] = 0x00;  // not blank outside the module: nobody cares
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  const Seq s = scheda.Sequenza();
  EXPECT_NE(std::find(s.begin(), s.end(), prova::kChiaveModoDati), s.end());
  // The blank check covers only the module's own bytes.
  const Byte b = Trame(kBlank)[0];
  EXPECT_EQ(Byte(b.begin(), b.begin() + 7), (Byte{0xEC, 0x00, 0x01, 0xFC, 0x1E, 0x01, 0xFC}));
  EXPECT_EQ(scheda.Conta(kErase), 0);
}

TEST_F(Load90Fxxx, ModuloUniversaleNonDati) {
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8), 0xFFFF);
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, 39);
  EXPECT_TRUE(HaRiga("impossibile caricare un modulo universale non di tipo Data"));
}

TEST_F(Load90Fxxx, ComandoNonGestitoAllaScadenza) {
  scheda.guasti = {{kRead, 1, Guasto::NonGestito}};
  const Byte dati = prova::Schema(46);
  const SModulo m = ModuloDati(0xFC0000, dati);
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("ReadRicevi: errore per comando non gestito"));
  EXPECT_TRUE(HaRiga("read altro tentativo"));
  EXPECT_EQ(scheda.Conta(kRead), 2);
}

TEST_F(Load90Fxxx, TimeoutConByteParziali) {
  scheda.guasti = {{kLunBuf, 1, Guasto::Parziale, 2}};
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("LunBuf: timeout, ricevuti 2 caratteri"));
  EXPECT_TRUE(HaRiga("LunBuf nuovo tentativo"));
}

// Faults that meet on one reply: a reply cut to nothing stays nothing whatever
// else spoils it, and a Read, which has no status byte, is left whole by a
// status fault. The board's double must survive them for the loader to be
// tested against them.
TEST_F(Load90Fxxx, GuastiSullaStessaRisposta) {
  scheda.guasti = {{kBlank, 1, Guasto::Parziale, 0},
                   {kBlank, 1, Guasto::Controllo},
                   {kBlank, 1, Guasto::InizioErrato},
                   {kRead, 1, Guasto::Stato, 0x01}};
  const Byte dati = prova::Schema(8);
  const SModulo m = ModuloDati(0xFC0000, dati);
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("BlankRicevi: timeout, ricevuti 0 caratteri")) << Righe();
  EXPECT_EQ(scheda.Conta(kBlank), 2);
  EXPECT_EQ(scheda.Conta(kRead), 1);
  EXPECT_EQ(Flash(scheda.locale, 0xFC0000, dati.size()), dati);
}

TEST_F(Load90Fxxx, FineSenzaRispostaNonRiprova) {
  scheda.guasti = {{kFine, 1, Guasto::Parziale, 3}};
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_REPLY_TIMEOUT);
  EXPECT_TRUE(HaRiga("FineRicevi: timeout, ricevuti 3 caratteri"));
  EXPECT_EQ(scheda.Conta(kFine), 1);
}

TEST_F(Load90Fxxx, BlankConInizioErrato) {
  scheda.guasti = {{kBlank, 1, Guasto::InizioErrato}};
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("BlankRicevi: inizio risposta errato"));
  // The retried Blank covers the same sector again.
  const auto b = Trame(kBlank);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[0], b[1]);
}

TEST_F(Load90Fxxx, SettoreProtettoRegistratoELaScritturaProsegue) {
  scheda.locale.flash[0xFC0000] = 0x00;
  scheda.locale.protetti.insert(0xFC0000);
  const SModulo m = ModuloDati(0xFC0010, prova::Schema(16), 0x0010);
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("EraseRicevi: tentativo cancellazione blocco protetto"));
  EXPECT_EQ(scheda.Conta(kWrite), 1);
}

TEST_F(Load90Fxxx, EraseFallitoRiprovatoConLoStessoSettore) {
  scheda.locale.flash[0xFC0000] = 0x00;
  scheda.guasti = {{kErase, 1, Guasto::Stato, 0x01}};
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(16));
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("EraseRicevi: impossibile cancellare il blocco (01)"));
  EXPECT_TRUE(HaRiga("erase nuovo tentativo"));
  const auto e = Trame(kErase);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0], e[1]);
}

TEST_F(Load90Fxxx, StatiDellaScrittura) {
  struct SCaso {
    int stato;
    int esito;
    const char* riga;
    int scritture;
  };
  const std::vector<SCaso> casi = {
      {0xFD, RC_BOOT_AREA, "programma troppo lungo", 1},
      {0xFC, RC_OK, "scrittura area vettori", 1},
      {0x05, RC_OK, "impossibile scrivere i dati risposta 05", 2},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.riga);
    scheda.Ricomincia();
    scheda.locale.flash.clear();
    scheda.guasti = {{kWrite, 1, Guasto::Stato, c.stato}};
    const SModulo m = ModuloDati(0xFC0000, prova::Schema(16));
    ASSERT_EQ(Avvia(m), 1);
    ASSERT_GE(Esegui(), 0);
    EXPECT_EQ(loader.esito, c.esito);
    EXPECT_EQ(loader.fase, c.esito == RC_OK ? ST_DONE : ST_FAILED);
    EXPECT_TRUE(HaRiga(c.riga));
    EXPECT_EQ(scheda.Conta(kWrite), c.scritture);
    loader.Termina();
  }
}

TEST_F(Load90Fxxx, RiletturaDiversaDalModulo) {
  scheda.locale.indirizzoAlterato = 0xFC0021;
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(0x40));
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_FLASH_WRITE);
  EXPECT_EQ(loader.fase, ST_FAILED);
  EXPECT_TRUE(HaRiga("contenuto della flash non corrispondente"));
  EXPECT_EQ(scheda.Conta(kFine), 0);
}

TEST_F(Load90Fxxx, RiletturaOttimizzataSoloDoveServe) {
  struct SCaso {
    std::uint8_t micro;
    int tipoMicroModulo;
    bool rilegge;
  };
  for (const SCaso c : {SCaso{1, 1, false}, SCaso{7, 7, true}, SCaso{5, 5, true}}) {
    SCOPED_TRACE(c.micro);
    scheda.Ricomincia();
    scheda.locale.micro = c.micro;
    SModulo m = ModuloDati(0xFC0000, prova::Schema(0x40));
    m.tipoMicro = c.tipoMicroModulo;
    ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_RILETTURA_OTTIMIZZATA), 1);
    EXPECT_EQ(loader.byteTotali, 0x40);
    ASSERT_GE(Esegui(), 0);
    FineOk();
    EXPECT_EQ(scheda.Conta(kRead) > 0, c.rilegge);
    EXPECT_EQ(loader.byteTotali, c.rilegge ? 0x80 : 0x40);
    EXPECT_EQ(loader.byteFatti, loader.byteTotali);
    loader.Termina();
  }
  EXPECT_TRUE(HaRiga("verifica scrittura necessaria"));
}

// --- remote boards and addresses -------------------------------------------------------

TEST_F(Load90Fxxx, SchedaRemotaPerIndirizzoCan) {
  scheda.locale.codice = 0x0001;
  scheda.remote[0x482] = prova::SScheda{};
  const Byte dati = prova::Schema(100, 4);
  prova::CImmagine img;
  img.Indirizzo(0x482).Dati(0xFC0000, dati).Fine(0x0010);
  SModulo m = Modulo(img, 0x0010);
  m.indirizzi[0] = 0x482;
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_EQ(scheda.Sequenza(), (Seq{kGetFirma, kGetVersione, kVelMax, kSetVel, kSetRemoto, kReboot, kGetFirma,
                                    kGetVersione, kMicro, kLunBuf, kBlank, kWrite, kRead, kRead, kRead, kFine}));
  EXPECT_EQ(Trame(kSetRemoto)[0], (Byte{0xFA, 0x82, 0x04, 0xFF, 0x01, 0x00}));
  EXPECT_EQ(Flash(scheda.remote[0x482], 0xFC0000, dati.size()), dati);
  EXPECT_EQ(Flash(scheda.locale, 0xFC0000, 4), Byte(4, 0xFF));
  EXPECT_TRUE(HaRiga("trasferimento in remoto"));
  EXPECT_TRUE(HaRiga("reboot completato"));
  EXPECT_TRUE(HaRiga("tentativo remoto 0482"));
  // Remote read-back packets carry at most 46 bytes.
  EXPECT_TRUE(HaRiga("invio read fc0000 per 002e dati"));
  EXPECT_TRUE(HaRiga("invio read fc005c per 0008 dati"));
  EXPECT_EQ(interfaccia.destinatari.back(), (std::pair<int, int>{1179, 0x482}));
}

TEST_F(Load90Fxxx, RebootRifiutatoProvaLIndirizzoSecondario) {
  scheda.locale.codice = 0x0001;
  scheda.remote[0x482] = prova::SScheda{};
  scheda.remote[0x482].statoReboot = 0x01;
  scheda.remote[0x485] = prova::SScheda{};
  prova::CImmagine img;
  img.CoppiaIndirizzi(0x482, 0x485).Dati(0xFC0000, prova::Schema(8)).Fine(0x0010);
  SModulo m = Modulo(img, 0x0010);
  m.indirizzi[0] = 0x482;
  m.indirizzi[1] = 0x485;
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("reboot non accettato risposta 01"));
  EXPECT_TRUE(HaRiga("tentativo remoto 0485"));
  const auto s = Trame(kSetRemoto);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[1][1] | (s[1][2] << 8), 0x485);
  EXPECT_EQ(Flash(scheda.remote[0x485], 0xFC0000, 8), prova::Schema(8));
}

TEST_F(Load90Fxxx, RebootRifiutatoSenzaAltriIndirizzi) {
  scheda.locale.codice = 0x0001;
  scheda.remote[0x482] = prova::SScheda{};
  scheda.remote[0x482].statoReboot = 0x01;
  SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  m.indirizzi[0] = 0x482;
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_REBOOT);
  EXPECT_EQ(scheda.Conta(kSetRemoto), 1);
}

TEST_F(Load90Fxxx, SchedaRemotaMutaPassaAllIndirizzoPredefinito) {
  scheda.locale.codice = 0x0001;
  scheda.remote[0x485] = prova::SScheda{};
  SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  m.indirizzi[0] = 0x482;  // nobody answers there
  m.indirizzi[3] = 0x485;  // the model table's default secondary address
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  // Ten unanswered GetFirma after the reboot, then the other address.
  EXPECT_EQ(ContaRighe("GetFirmaRicevi: timeout, ricevuti 0 caratteri"), 10);
  EXPECT_EQ(ContaRighe("richiesta firma tentativo"), 9);
  EXPECT_FALSE(HaRiga("richiesta firma fine tentativi"));
  EXPECT_TRUE(HaRiga("utilizzo indirizzo secondario predefinito 0485"));
  EXPECT_TRUE(HaRiga("tentativo remoto 0485"));
  const auto s = Trame(kSetRemoto);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[1][1] | (s[1][2] << 8), 0x485);
  EXPECT_EQ(Flash(scheda.remote[0x485], 0xFC0000, 8), prova::Schema(8));
}

TEST_F(Load90Fxxx, SchedaRemotaNonRaggiungibile) {
  scheda.locale.codice = 0x0001;
  scheda.nackPerIrraggiungibili = true;
  SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  m.indirizzi[0] = 0x482;
  m.indirizzi[3] = 0x485;
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  // A NACK is retried, but it does not move to another address.
  EXPECT_EQ(loader.esito, RC_REMOTE_UNREACHABLE);
  EXPECT_EQ(ContaRighe("GetFirmaRicevi: richiesta firma scheda remota non raggiungibile"), 10);
  EXPECT_TRUE(HaRiga("richiesta firma fine tentativi"));
  EXPECT_EQ(scheda.Conta(kSetRemoto), 1);
}

TEST_F(Load90Fxxx, ModuloSuccessivoSenzaReset) {
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  loader.Termina();
  scheda.Ricomincia();
  const std::size_t eventi = linea->eventi.size();
  const SModulo m2 = ModuloDati(0xFD0000, prova::Schema(8, 2));
  ASSERT_EQ(Avvia(m2, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA, 1), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_EQ(linea->eventi.size(), eventi);  // no baud change, no DTR pulse
  EXPECT_EQ(scheda.Sequenza().front(), kSetRemoto);
}

// --- universal boots --------------------------------------------------------------------

TEST_F(Load90Fxxx, BootUniversaleLegatoConCodice) {
  scheda.locale.codice = 0xFFFF;
  SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  m.indirizzi[2] = 0x482;  // default primary address
  ASSERT_EQ(Avvia(m, OPZ_SENZA_RILETTURA), 1);  // option bit 1 clear
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("utilizzo indirizzi predefiniti 0482 0000"));
  const Seq s = scheda.Sequenza();
  ASSERT_GE(s.size(), 2u);
  EXPECT_EQ(s[s.size() - 2], prova::kChiaveCodice);
  EXPECT_EQ(s.back(), kFine);
  const Byte c = Trame(prova::kChiaveCodice)[0];
  EXPECT_EQ(Byte(c.begin(), c.begin() + 8), (Byte{0xF7, 0x02, 0x10, 0x00, 0x82, 0x04, 0x00, 0x00}));
  EXPECT_EQ(scheda.locale.codiceScritto, 0x0010);
  EXPECT_EQ(scheda.locale.indirizzoScritto, 0x482u);
  EXPECT_TRUE(HaRiga(Dump("InvioCodice:", TramaCodice(0x0010, 0x0482)))) << Righe();
}

TEST_F(Load90Fxxx, BootUniversaleLasciatoUniversaleConOpzione1) {
  scheda.locale.codice = 0xFFFF;
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_EQ(scheda.Conta(prova::kChiaveCodice), 0);
  EXPECT_EQ(scheda.locale.codice, 0xFFFF);
}

TEST_F(Load90Fxxx, BootUniversaleSenzaIndirizzoCan) {
  scheda.locale.codice = 0xFFFF;
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m, OPZ_SENZA_RILETTURA), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_NO_CAN_ADDRESS);
  EXPECT_TRUE(HaRiga("impossibile caricare un applicativo senza indirizzo CAN con un boot universale"));
}

// --- external flash -----------------------------------------------------------------------

Byte IdCfi(int esponente) {
  Byte id(45, 0);
  id[0] = 'Q';
  id[1] = 'R';
  id[2] = 'Y';
  id[3] = 0x02;  // command set 0002
  id[5] = 0x40;  // extended table at 0040
  id[23] = static_cast<std::uint8_t>(esponente);
  return id;
}

TEST_F(Load90Fxxx, FlashEsternaTrovataConCfi) {
  scheda.locale.idFlash = IdCfi(21);  // 2 MB
  scheda.locale.specFlash = Byte(32, 0);
  scheda.locale.specFlash[0] = 'P';
  scheda.locale.specFlash[1] = 'R';
  scheda.locale.specFlash[2] = 'I';
  scheda.locale.specFlash[15] = 0x33;
  const Byte dati = prova::Schema(0x200, 6);
  const SModulo m = ModuloDati(0x600000, dati);
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("InvioFlashTypeOBlankOWrite: blocco 600000, memoria 600000"));
  EXPECT_TRUE(HaRiga(Dump("InvioFlashType:", TramaFlashType(0x600000, 32, 45, false))));
  EXPECT_TRUE(HaRiga("FlashType: command set 0002 address table 0040"));
  EXPECT_TRUE(HaRiga("FlashType: dimensione 200000 15"));
  EXPECT_TRUE(HaRiga("FlashSpec: 33"));
  const auto ft = Trame(kFlashType);
  ASSERT_EQ(ft.size(), 2u);
  EXPECT_EQ(Byte(ft[1].begin(), ft[1].begin() + 7), (Byte{0xF8, 0x00, 0x00, 0x60, 0x80, 0x00, 0x20}));
  // List A (ETop): the first sector of the chip is 64 KB.
  const Byte b = Trame(kBlank)[0];
  EXPECT_EQ(Byte(b.begin(), b.begin() + 7), (Byte{0xEC, 0x00, 0x00, 0x60, 0xFE, 0xFF, 0x60}));
  EXPECT_EQ(Flash(scheda.locale, 0x600000, dati.size()), dati);
}

TEST_F(Load90Fxxx, FlashEsternaTroppoPiccola) {
  scheda.locale.idFlash = IdCfi(16);  // 64 KB
  prova::CImmagine img;
  img.Riempi(0x60F000, 0x2000, 0x11).Fine(0x0010);
  const SModulo m = Modulo(img, 0x0010);
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_NO_MEMORY);
  EXPECT_EQ(loader.fase, ST_LINK_LOST);
  EXPECT_TRUE(HaRiga("FlashType: memoria insufficiente, fine flash 610000, fine blocco 611000"));
}

TEST_F(Load90Fxxx, FlashEsternaAtmelEAssente) {
  struct SCaso {
    Byte id;
    int esito;
    int fase;
    const char* riga;
  };
  const std::vector<SCaso> casi = {
      {{'A', 'T', 'M', 0x1F, 0x63}, RC_OK, ST_DONE, "FlashType: Atmel Manufacturer 1f DeviceCode 63"},
      {{'A', 'T', 'M', 0x00, 0x00}, RC_EXTFLASH_ABSENT, ST_LINK_LOST, "FlashType: flash non presente all'indirizzo 600000"},
      {{'A', 'T', 'M', 0x1F, 0x11}, RC_EXTFLASH_UNKNOWN, ST_LINK_LOST, "FlashType: flash non gestita DeviceCode 11"},
      {{'A', 'T', 'M', 0x33, 0x20}, RC_EXTFLASH_UNKNOWN, ST_LINK_LOST, "FlashType: flash non gestita Manufacturer 33"},
      {{0, 0, 0}, RC_EXTFLASH_ABSENT, ST_LINK_LOST, "FlashType: flash non presente all'indirizzo 600000"},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.riga);
    scheda.Ricomincia();
    scheda.locale.idFlash = c.id;
    scheda.locale.flash.clear();
    const SModulo m = ModuloDati(0x600000, prova::Schema(0x20));
    ASSERT_EQ(Avvia(m, OPZ_BOOT_UNIVERSALE | OPZ_SENZA_RILETTURA), 1);
    ASSERT_GE(Esegui(), 0);
    EXPECT_EQ(loader.esito, c.esito);
    EXPECT_EQ(loader.fase, c.fase);
    EXPECT_TRUE(HaRiga(c.riga)) << Righe();
    loader.Termina();
  }
  EXPECT_EQ(Flash(scheda.locale, 0x600000, 0x20), Byte(0x20, 0xFF));  // the last cases wrote nothing
}

TEST_F(Load90Fxxx, MappaAutomaticaConFlashBlocco) {
  scheda.locale.versione = 0x68;
  scheda.locale.bloccoInizio = 0x100000;
  scheda.locale.bloccoFine = 0x180000;
  const Byte dati = prova::Schema(0x80, 8);
  const SModulo m = ModuloDati(0x100100, dati);
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_TRUE(HaRiga("TipoLoad auto"));
  EXPECT_TRUE(HaRiga("InvioFlashTypeOBlankOWrite: blocco 100100, richiedi a boot"));
  const Byte b = Trame(kBlank)[0];
  // The whole block the board named is blank-checked.
  EXPECT_EQ(Byte(b.begin(), b.begin() + 7), (Byte{0xEC, 0x00, 0x00, 0x10, 0xFE, 0xFF, 0x17}));
  EXPECT_EQ(Flash(scheda.locale, 0x100100, dati.size()), dati);
}

TEST_F(Load90Fxxx, FlashBloccoVuotoNessunaFlash) {
  scheda.locale.versione = 0x68;
  const SModulo m = ModuloDati(0x100100, prova::Schema(8));
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_EXTFLASH_ABSENT);
  EXPECT_EQ(loader.fase, ST_LINK_LOST);
  EXPECT_TRUE(HaRiga("FlashBlocco: flash non presente all'indirizzo 100100"));
}

TEST_F(Load90Fxxx, IndirizzoFuoriMappa) {
  const SModulo m = ModuloDati(0x000100, prova::Schema(8));
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_FLASH_MISSING);
  EXPECT_TRUE(HaRiga("InvioFlashTypeOBlankOWrite: memoria inesistente 000100"));
}

TEST_F(Load90Fxxx, InvioFallitoERC_SERIAL_SEND) {
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m), 1);
  interfaccia.scritturaGuasta = true;
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_SERIAL_SEND);
  EXPECT_EQ(loader.fase, ST_FAILED);
}

// --- the line ------------------------------------------------------------------------------

TEST_F(Load90Fxxx, ImpulsoDtrConRts) {
  loader.Collega(&interfaccia);
  ASSERT_EQ(loader.ImpulsoDtr(1, 600), 1);
  ASSERT_EQ(linea->eventi.size(), 3u);
  const auto& e = linea->eventi;
  EXPECT_EQ(e[0].cosa, "dtr");
  EXPECT_EQ(e[0].valore, 1);
  EXPECT_EQ(e[1].cosa, "rts");
  EXPECT_EQ(e[1].valore, 1);
  EXPECT_EQ(e[1].ms - e[0].ms, 27);
  EXPECT_EQ(e[2].cosa, "dtr");
  EXPECT_EQ(e[2].valore, 0);
  EXPECT_EQ(e[2].ms - e[0].ms, 627);  // RTS stays asserted
  EXPECT_EQ(loader.statoRts, 1);
  EXPECT_EQ(loader.statoDtr, 0);
}

TEST_F(Load90Fxxx, RiapriCollegamentoRipristinaLaVelocita) {
  loader.Collega(&interfaccia);
  ASSERT_EQ(loader.ImpostaVelocita(115200), 1);
  const HandleLinea prima = loader.handleLinea;
  ASSERT_EQ(loader.RiapriCollegamento(), 1);
  EXPECT_NE(loader.handleLinea, prima);
  EXPECT_EQ(loader.handleLinea, interfaccia.handle);
  EXPECT_EQ(linea->baud, 115200);  // reopened at 38400, then set back
  EXPECT_EQ(interfaccia.riaperture, 1);
}

TEST_F(Load90Fxxx, OgniRichiestaArmaLaRicezione) {
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  // Reply length and time limit of each request, in order.
  const std::vector<std::pair<int, int>> attese = {
      {5, 1000}, {4, 1000}, {4, 1000}, {4, 1000}, {4, 1000}, {5, 1000}, {4, 1000},
      {4, 1000}, {4, 2000}, {5, 6000}, {4, 3000}, {11, 1000}, {4, 2000}};
  EXPECT_EQ(interfaccia.attese, attese);
}

TEST_F(Load90Fxxx, BufferDellaSchedaTroppoPiccolo) {
  scheda.codiceBuffer = 12;
  const SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.esito, RC_FLASH_MISSING);
  EXPECT_TRUE(HaRiga("buffer remoto 12, dati 0 byte"));
  EXPECT_TRUE(HaRiga("InvioWriteSeServe: buffer disponibile troppo piccolo, serve 16"));
  EXPECT_EQ(scheda.Conta(kWrite), 0);
}

TEST_F(Load90Fxxx, BootConIndirizziA32Bit) {
  scheda.locale.micro = 9;
  SModulo m = ModuloDati(0xFC0000, prova::Schema(8));
  m.tipoMicro = 9;
  ASSERT_EQ(Avvia(m), 1);
  ASSERT_GE(Esegui(), 0);
  FineOk();
  EXPECT_EQ(Trame(kBlank)[0].size(), 12u);
  EXPECT_EQ(Trame(kWrite)[0].size(), 10u + 8u);
  EXPECT_EQ(Trame(kRead)[0].size(), 10u);
  EXPECT_EQ(Flash(scheda.locale, 0xFC0000, 8), prova::Schema(8));
}

// --- boot check ----------------------------------------------------------------------------

TEST_F(Load90Fxxx, VerificaBootSchedaLocale) {
  scheda.locale.codice = 0x1234;
  scheda.locale.versione = 0x31;
  int esito = -1;
  ASSERT_EQ(loader.AvviaVerificaBoot(0, &interfaccia, &esito), 1);
  EXPECT_EQ(esito, RC_OK);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.FirmaRicevuta(), 1);
  EXPECT_EQ(loader.CodiceScheda(), 0x1234);
  EXPECT_EQ(loader.VersioneBoot(), 0x31);
  // Straight to GetFirma: no SetRemoto, no Reboot; a version below 53 has no
  // GetMicro; a micro of type 1 may carry an external flash at 0x400000.
  EXPECT_EQ(scheda.Sequenza(), (Seq{kGetFirma, kGetVersione, kFlashType}));
  EXPECT_TRUE(HaRiga("distributore codice 1234"));
  EXPECT_TRUE(HaRiga("tipo micro legacy 01"));
  EXPECT_TRUE(HaRiga("FlashType: flash non presente all'indirizzo 400000"));
}

TEST_F(Load90Fxxx, VerificaBootSchedaRemotaConFlashEsterna) {
  scheda.remote[0x482] = prova::SScheda{};
  scheda.remote[0x482].codice = 0x0033;
  scheda.remote[0x482].versione = 0x60;
  scheda.remote[0x482].micro = 4;
  scheda.remote[0x482].idFlash = {'A', 'T', 'M', 0x1F, 0x63};
  int esito = -1;
  ASSERT_EQ(loader.AvviaVerificaBoot(0x482, &interfaccia, &esito), 1);
  ASSERT_GE(Esegui(), 0);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.CodiceScheda(), 0x0033);
  EXPECT_EQ(scheda.Sequenza(), (Seq{kSetRemoto, kReboot, kGetFirma, kGetVersione, kMicro, kFlashType}));
  EXPECT_TRUE(HaRiga("tipo micro 04"));
  EXPECT_TRUE(HaRiga("FlashType: Atmel Manufacturer 1f DeviceCode 63"));
  const Byte ft = Trame(kFlashType)[0];
  EXPECT_EQ(Byte(ft.begin(), ft.begin() + 7), (Byte{0xF8, 0x00, 0x00, 0x40, 0x20, 0x00, 0x2D}));
}

TEST(VersioneBoot, TestoDellaVersione) {
  const std::vector<std::pair<int, std::string>> casi = {
      {0x31, "3.1"}, {0x00, "3.1"}, {0xFF, "2.x"}, {0x60, "6.0"}, {0x5A, "5.10"}, {0x12, "1.2"}};
  for (const auto& [versione, testo] : casi) EXPECT_EQ(TestoVersioneBoot(static_cast<std::uint8_t>(versione)), testo);
}

}  // namespace
}  // namespace bricola
