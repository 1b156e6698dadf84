// The board backup job and the verify-only load over the real serial
// interface (receive thread included), with the scripted machine behind a port
// back-end in memory: the file written, what a failure or a stop leaves on
// disk, and the comparison that writes nothing.
#include "jobs/lettura_flash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/esiti.h"
#include "comm/porta_seriale.h"
#include "image/analisi.h"
#include "jobs/caricamento.h"
#include "platform/linea_seriale.h"
#include "tests/load/scheda_finta.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using prova::Byte;

class COrologioSenzaAttese : public COrologio {
 public:
  std::int64_t Millisecondi() override { return OrologioDiSistema().Millisecondi() + saltati; }
  void Dormi(int ms) override { saltati += ms; }
  std::int64_t saltati = 0;
};

struct SMacchina {
  std::mutex mutex;
  prova::CSchedaFinta scheda{OrologioDiSistema()};
  int baud = 0;
  bool dtr = false;
  int aperture = 0;
};

class CLineaMacchina final : public LineaSeriale {
 public:
  CLineaMacchina(std::shared_ptr<SMacchina> m, int baud) : macchina(std::move(m)) {
    std::lock_guard<std::mutex> g(macchina->mutex);
    macchina->baud = baud;
    ++macchina->aperture;
  }
  int Scrivi(const std::uint8_t* dati, int n) override {
    std::lock_guard<std::mutex> g(macchina->mutex);
    macchina->scheda.Ricevi(dati, n, macchina->baud);
    return n;
  }
  int Leggi(std::uint8_t* buffer, int n, int timeoutMs) override {
    const auto fine = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int presi = 0;
    for (;;) {
      {
        std::lock_guard<std::mutex> g(macchina->mutex);
        presi += macchina->scheda.Prendi(buffer + presi, n - presi);
      }
      if (presi == n || std::chrono::steady_clock::now() >= fine) return presi;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  bool ImpostaBaud(int baud) override {
    std::lock_guard<std::mutex> g(macchina->mutex);
    macchina->baud = baud;
    return true;
  }
  bool ImpostaBitStop(int) override { return true; }
  bool ImpostaDtr(bool alto) override {
    std::lock_guard<std::mutex> g(macchina->mutex);
    if (macchina->dtr && !alto) macchina->scheda.Reset();
    macchina->dtr = alto;
    return true;
  }
  bool ImpostaRts(bool) override { return true; }
  bool SvuotaIngresso() override {
    std::lock_guard<std::mutex> g(macchina->mutex);
    macchina->scheda.Svuota();
    return true;
  }

 private:
  std::shared_ptr<SMacchina> macchina;
};

Byte LeggiFile(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  return Byte(std::istreambuf_iterator<char>(f), {});
}

class LetturaFlash : public ::testing::Test {
 protected:
  void SetUp() override {
    ImpostaApritorePorta([this](int numero, int baud, bool, bool) -> std::unique_ptr<LineaSeriale> {
      if (numero != 3) return nullptr;
      return std::make_unique<CLineaMacchina>(macchina, baud);
    });
    lettura.ImpostaPorta(2);
    lettura.ImpostaRegistro(cartella.File("registro.txt"));
    macchina->scheda.locale.codice = 0x1234;  // not in the model table
  }
  void TearDown() override {
    int esito = 0;
    lettura.Ferma(&esito);
    ImpostaApritorePorta(nullptr);
  }
  void Riempi(prova::SScheda& b, std::uint32_t da, const Byte& dati) {
    std::lock_guard<std::mutex> g(macchina->mutex);
    for (std::size_t i = 0; i < dati.size(); ++i) b.flash[da + static_cast<std::uint32_t>(i)] = dati[i];
  }
  // Runs the read to its end (at most 30 s of real time); the code.
  int Esegui(int* fase) {
    int esito = 0, aggiorna = 0;
    std::uint32_t fatti = 0, totale = 0;
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (lettura.Passo(&aggiorna, fase, &esito, &fatti, &totale)) {
      if (fatti > totale) return -2;
      if (std::chrono::steady_clock::now() > limite) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ultimiFatti = fatti;
    return esito;
  }
  std::vector<CProgDescr> Analizza(const std::string& p, int* n) {
    std::vector<CProgDescr> d(kMaxModuli);
    CAnalisiFile analisi;
    int validi = 0, inutilizzabile = 0, grezzo = 0, errore = 0;
    EXPECT_EQ(analisi.AnalizzaFile(p, d.data(), kMaxModuli, *n, validi, inutilizzabile, grezzo, errore), 1);
    EXPECT_EQ(validi, 1);
    return d;
  }
  // The data records of a file, module after module: address and payload.
  static std::vector<std::pair<std::uint32_t, Byte>> Record(const Byte& f) {
    std::vector<std::pair<std::uint32_t, Byte>> r;
    std::size_t p = 0;
    while (p + 8 <= f.size()) {
      const std::uint32_t l = LeggiU32(f.data() + p);
      if (l == 0xFFFFFFFF) {
        const std::uint16_t tipo = LeggiU16(f.data() + p + 4);
        p += tipo == 0xFFFF ? 12 : LeggiU16(f.data() + p + 6);
        continue;
      }
      r.emplace_back(LeggiU32(f.data() + p + 4), Byte(f.begin() + static_cast<std::ptrdiff_t>(p + 8),
                                                      f.begin() + static_cast<std::ptrdiff_t>(p + 8 + l)));
      p += 8 + l;
    }
    return r;
  }

  std::shared_ptr<SMacchina> macchina = std::make_shared<SMacchina>();
  prova::CCartellaTemporanea cartella;
  CLetturaFlash lettura;
  std::uint32_t ultimiFatti = 0;
};

TEST(IntervalliMappa, LeRegioniDiOgniMappaInOrdine) {
  struct SCaso {
    const char* nome;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> attesi;
  };
  const std::vector<SCaso> casi = {
      {"M256",
       {{0x400000, 0x600000}, {0x600000, 0x800000}, {0x800000, 0xA00000}, {0xA00000, 0xC00000},
        {0xC00000, 0xE00000}, {0xFC0000, 0x1000000}}},
      {"M64", {{0xFF0000, 0x1000000}}},
      {"MPIC", {{0x0, 0x8000}, {0x300000, 0x300010}}},
      {"M512",
       {{0x200000, 0x300000}, {0x300000, 0x400000}, {0x400000, 0x600000}, {0x600000, 0x800000},
        {0x800000, 0xA00000}, {0xA00000, 0xC00000}, {0xC00000, 0xE00000}, {0xF80000, 0x1000000}}},
      {"M512x", {{0x200000, 0x300000}, {0x300000, 0x400000}, {0x400000, 0x600000}, {0xF80000, 0x1000000}}},
      {"M512r", {{0x80000, 0x100000}, {0x400000, 0x600000}}},
  };
  for (const SCaso& c : casi) {
    std::vector<SIntervalloFlash> r;
    ASSERT_TRUE(IntervalliMappa(c.nome, &r)) << c.nome;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> visti;
    for (const auto& i : r) visti.emplace_back(i.inizio, i.fine);
    EXPECT_EQ(visti, c.attesi) << c.nome;
  }
  std::vector<SIntervalloFlash> r{{1, 2}};
  for (const char* nome : {"m256", "MAuto", "", "M256 "}) {
    EXPECT_FALSE(IntervalliMappa(nome, &r)) << nome;
  }
  EXPECT_EQ(r.size(), 1u);  // untouched
}

TEST_F(LetturaFlash, UnModuloPerIntervalloSenzaISettoriVuotiAiBordi) {
  // F256 sectors: 0xFC0000 and 0xFE0000 hold something, 0xFD0000 between
  // them and the small top sectors are blank; the range at 0x400000 is blank.
  // The range at 0xFFC000 starts inside the top sector.
  const Byte a = prova::Schema(0x300, 3);
  Riempi(macchina->scheda.locale, 0xFC0000, a);
  Riempi(macchina->scheda.locale, 0xFE8000, {0x00});
  Riempi(macchina->scheda.locale, 0x402345, {0x11});
  const std::string uscita = cartella.File("copia.bin");
  int periodo = 0, fase = 0, esito = -1;
  ASSERT_EQ(lettura.Avvia(0, {{0x400000, 0x410000}, {0x410000, 0x420000}, {0xFC0000, 0x1000000}}, uscita, &periodo,
                          &fase, &esito),
            1);
  EXPECT_EQ(periodo, 10);
  EXPECT_EQ(lettura.InCorso(), 1);
  EXPECT_EQ(Esegui(&fase), RC_OK);
  EXPECT_EQ(fase, ST_DONE);
  EXPECT_EQ(ultimiFatti, 0x60000u);
  EXPECT_EQ(lettura.InCorso(), 0);
  EXPECT_EQ(lettura.CodiceMacchina(), 0x1234);
  EXPECT_EQ(lettura.VersioneBoot(), "6.0");

  const Byte f = LeggiFile(uscita);
  const auto r = Record(f);
  ASSERT_EQ(r.size(), 2u);
  // 0x400000: the map knows no sector there before the chip is asked about,
  // so blank runs are cut in blocks of 0x2000.
  EXPECT_EQ(r[0].first, 0x402000u);
  ASSERT_EQ(r[0].second.size(), 0x2000u);
  EXPECT_EQ(r[0].second[0x345], 0x11);
  // From the first to the last sector that is not blank, the blank one between kept.
  EXPECT_EQ(r[1].first, 0xFC0000u);
  ASSERT_EQ(r[1].second.size(), 0x30000u);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), r[1].second.begin()));
  EXPECT_EQ(r[1].second[0x28000], 0x00);
  EXPECT_TRUE(std::all_of(r[1].second.begin() + 0x10000, r[1].second.begin() + 0x20000,
                          [](std::uint8_t b) { return b == 0xFF; }));

  int n = 0;
  const auto d = Analizza(uscita, &n);
  ASSERT_EQ(n, 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(d[i].stato, STATO_VALIDO);
    EXPECT_EQ(d[i].codice, 0x1234);
    EXPECT_EQ(d[i].indirizzo, 0u);  // the local board: no CAN address
    EXPECT_TRUE(d[i].conIntestazione);
    EXPECT_EQ(d[i].tipoMicro, 1);
    EXPECT_EQ(d[i].TipoLoad(), 3);
    EXPECT_EQ(d[i].lunghezzaDati, r[static_cast<std::size_t>(i)].second.size());
  }
  EXPECT_EQ(d[0].nome, "Copia flash 1234 400000-410000");
  EXPECT_EQ(d[1].nome, "Copia flash 1234 FC0000-1000000");
  // No request that changes the board went on the line.
  for (std::uint16_t c : {std::uint16_t{kBlank}, std::uint16_t{kErase}, std::uint16_t{kWrite}, prova::kChiaveCodice}) {
    EXPECT_EQ(macchina->scheda.Conta(c), 0);
  }
  EXPECT_EQ(macchina->scheda.Sequenza().back(), kFine);
}

TEST_F(LetturaFlash, TuttoVuotoNessunFile) {
  const std::string uscita = cartella.File("copia.bin");
  int periodo = 0, fase = 0, esito = -1;
  ASSERT_EQ(lettura.Avvia(0, {{0xFF0000, 0xFF1000}}, uscita, &periodo, &fase, &esito), 1);
  EXPECT_EQ(Esegui(&fase), RC_NO_MODULES);
  EXPECT_EQ(fase, ST_FAILED);
  EXPECT_EQ(lettura.CodiceMacchina(), 0x1234);
  EXPECT_FALSE(std::filesystem::exists(uscita));
}

TEST_F(LetturaFlash, SchedaRemotaPortaIlSuoIndirizzoCan) {
  prova::SScheda& remota = macchina->scheda.remote[0x0482];
  remota.codice = 0x0010;
  remota.micro = 4;
  Riempi(remota, 0xF80000, prova::Schema(200, 9));
  const std::string uscita = cartella.File("remota.bin");
  int periodo = 0, fase = 0, esito = -1;
  ASSERT_EQ(lettura.Avvia(0x0482, {{0xF80000, 0xF80000 + 200}}, uscita, &periodo, &fase, &esito), 1);
  EXPECT_EQ(Esegui(&fase), RC_OK);
  int n = 0;
  const auto d = Analizza(uscita, &n);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(d[0].codice, 0x0010);
  EXPECT_EQ(d[0].indirizzo, 0x0482u);
  EXPECT_EQ(d[0].tipoMicro, 4);
  EXPECT_EQ(d[0].TipoLoad(), 7);
  EXPECT_EQ(d[0].nome, "Copia flash 0010 CAN 0482 F80000-F800C8");
  const auto r = Record(LeggiFile(uscita));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].second, prova::Schema(200, 9));
}

TEST_F(LetturaFlash, LetturaFallitaLasciaIlFileDiPrima) {
  const std::string uscita = cartella.File("copia.bin");
  { std::ofstream(uscita, std::ios::binary) << "vecchio"; }
  for (int i = 1; i <= 5; ++i) macchina->scheda.guasti.push_back({kRead, i + 1, prova::Guasto::Controllo});
  int periodo = 0, fase = 0, esito = -1;
  ASSERT_EQ(lettura.Avvia(0, {{0xFC0000, 0xFC1000}}, uscita, &periodo, &fase, &esito), 1);
  EXPECT_EQ(Esegui(&fase), RC_REPLY_CRC);
  EXPECT_EQ(fase, ST_FAILED);
  EXPECT_EQ(lettura.InCorso(), 0);
  EXPECT_EQ(LeggiFile(uscita), (Byte{'v', 'e', 'c', 'c', 'h', 'i', 'o'}));
  std::vector<std::string> nomi;
  for (const auto& e : std::filesystem::directory_iterator(cartella.Percorso())) nomi.push_back(e.path().filename());
  std::sort(nomi.begin(), nomi.end());
  EXPECT_EQ(nomi, (std::vector<std::string>{"copia.bin", "registro.txt"}));
}

TEST_F(LetturaFlash, FermataNonScriveNullaELiberaLaPorta) {
  const std::string uscita = cartella.File("copia.bin");
  int periodo = 0, fase = 0, esito = -1, aggiorna = 0;
  std::uint32_t fatti = 0, totale = 0;
  ASSERT_EQ(lettura.Avvia(0, {{0xFC0000, 0x1000000}}, uscita, &periodo, &fase, &esito), 1);
  while (fatti == 0 && lettura.Passo(&aggiorna, &fase, &esito, &fatti, &totale)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GT(fatti, 0u);
  EXPECT_LT(fatti, totale);
  EXPECT_EQ(lettura.Ferma(&esito), 1);
  EXPECT_EQ(esito, RC_OK);
  EXPECT_EQ(lettura.InCorso(), 0);
  EXPECT_FALSE(std::filesystem::exists(uscita));
  EXPECT_EQ(lettura.Ferma(&esito), 0);
  EXPECT_EQ(esito, RC_NOT_RUNNING);
  // The port was closed: a new read can open it.
  Riempi(macchina->scheda.locale, 0xFC0000, {1, 2, 3});
  ASSERT_EQ(lettura.Avvia(0, {{0xFC0000, 0xFC0010}}, uscita, &periodo, &fase, &esito), 1);
  EXPECT_EQ(lettura.Avvia(0, {{0xFC0000, 0xFC0010}}, uscita, &periodo, &fase, &esito), 0);
  EXPECT_EQ(esito, RC_ALREADY_RUNNING);
  EXPECT_EQ(Esegui(&fase), RC_OK);
  EXPECT_TRUE(std::filesystem::exists(uscita));
}

TEST_F(LetturaFlash, RifiutiPrimaDiToccareLaLinea) {
  struct SCaso {
    std::vector<SIntervalloFlash> intervalli;
    std::string uscita;
    int esito;
  };
  const std::string buona = cartella.File("copia.bin");
  const std::vector<SCaso> casi = {
      {{}, buona, RC_NO_MODULES},
      {{{0xFC0000, 0xFC0000}}, buona, RC_NO_MODULES},
      {{{0xFC0100, 0xFC0200}, {0xFC0000, 0xFC0080}}, buona, RC_NO_MODULES},
      {{{0xFC0000, 0xFC0100}, {0xFC0080, 0xFC0200}}, buona, RC_NO_MODULES},
      {{{0x0, 0x20000000}}, buona, RC_NO_MEMORY},
      {{{0xFC0000, 0xFC0100}}, "", RC_FILE_CREATE},
      {{{0xFC0000, 0xFC0100}}, cartella.Percorso(), RC_FILE_CREATE},
      {{{0xFC0000, 0xFC0100}}, cartella.File("manca/copia.bin"), RC_FILE_CREATE},
  };
  for (const SCaso& c : casi) {
    int periodo = 0, fase = 0, esito = -1;
    EXPECT_EQ(lettura.Avvia(0, c.intervalli, c.uscita, &periodo, &fase, &esito), 0) << c.uscita;
    EXPECT_EQ(esito, c.esito) << c.uscita;
    EXPECT_EQ(lettura.InCorso(), 0);
  }
  EXPECT_EQ(macchina->aperture, 0);
  lettura.ImpostaPorta(7);  // nothing behind COM8
  int periodo = 0, fase = 0, esito = -1;
  EXPECT_EQ(lettura.Avvia(0, {{0xFC0000, 0xFC0100}}, buona, &periodo, &fase, &esito), 0);
  EXPECT_EQ(esito, RC_PORT_OPEN);
}

// --- verify only -------------------------------------------------------------------

class SoloVerifica : public LetturaFlash {
 protected:
  void SetUp() override {
    LetturaFlash::SetUp();
    job.ImpostaRegistro(cartella.File("registro.txt"));
    job.ImpostaInterfaccia(2, INTERFACCIA_SERIALE, 0, 0);
    job.LoaderBoot().ImpostaOrologio(&orologio);
    job.ImpostaSoloVerifica(1);
    macchina->scheda.locale.codice = 0x0010;
  }
  void TearDown() override {
    int esito = 0;
    job.Ferma(&esito);
    LetturaFlash::TearDown();
  }
  std::string File(const prova::CImmagine& img) {
    const std::string p = cartella.File("fw.bin");
    EXPECT_TRUE(img.Scrivi(p));
    return p;
  }
  int Verifica(const std::string& p, int* fase) {
    int errore = 0;
    EXPECT_EQ(job.Analizza(p, &errore), 1);
    int periodo = 0, esito = -1;
    if (!job.Avvia(&periodo, fase, &esito)) return esito;
    int aggiorna = 0, erroreModulo = 0;
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (job.Passo(&aggiorna, &erroreModulo, fase, &esito)) {
      if (std::chrono::steady_clock::now() > limite) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return esito;
  }
  COrologioSenzaAttese orologio;
  CCaricamento job;
};

TEST_F(SoloVerifica, SchedaUgualeEPoiUnByteCambiato) {
  const Byte a = prova::Schema(0x700, 11);
  const Byte b = prova::Schema(0x20, 12);
  Riempi(macchina->scheda.locale, 0xFC0000, a);
  Riempi(macchina->scheda.locale, 0xFE0000, b);
  prova::CImmagine img;
  img.Dati(0xFC0000, a).Dati(0xFE0000, b).Fine(0x0010);
  const std::string p = File(img);
  int fase = 0;
  EXPECT_EQ(Verifica(p, &fase), RC_OK);
  EXPECT_EQ(fase, ST_DONE);
  std::uint32_t dove = 0;
  EXPECT_EQ(job.PrimoIndirizzoDiverso(&dove), 0);
  for (std::uint8_t c : {kBlank, kErase, kWrite}) EXPECT_EQ(macchina->scheda.Conta(c), 0);
  EXPECT_EQ(macchina->scheda.Conta(kRead), 3);

  Riempi(macchina->scheda.locale, 0xFE0011, {static_cast<std::uint8_t>(b[0x11] ^ 0x80)});
  macchina->scheda.Ricomincia();
  EXPECT_EQ(Verifica(p, &fase), RC_FLASH_WRITE);
  EXPECT_EQ(fase, ST_FAILED);
  ASSERT_EQ(job.PrimoIndirizzoDiverso(&dove), 1);
  EXPECT_EQ(dove, 0xFE0011u);
  for (std::uint8_t c : {kBlank, kErase, kWrite}) EXPECT_EQ(macchina->scheda.Conta(c), 0);
  // The flash keeps what it had: nothing was mended.
  std::lock_guard<std::mutex> g(macchina->mutex);
  EXPECT_EQ(macchina->scheda.locale.Leggi(0xFE0011), b[0x11] ^ 0x80);
}

TEST_F(SoloVerifica, AltriTipiDiLoadRifiutatiSenzaAprireLaPorta) {
  struct SCaso {
    int tipoMicro;
    int tipoModulo;
  };
  // A boot module (ROM bootstrap), a 68331 program, a packed tree.
  for (const SCaso c : {SCaso{1, 1}, SCaso{0, 0}, SCaso{1, 9}}) {
    prova::CImmagine img;
    prova::SIntestazione h;
    h.tipoMicro = c.tipoMicro;
    h.tipoModulo = c.tipoModulo;
    img.Intestazione(h).Dati(0xFC0000, {1, 2, 3, 4}).Fine(0x0010);
    int fase = 0;
    EXPECT_EQ(Verifica(File(img), &fase), RC_MODULE_TYPE) << c.tipoMicro << " " << c.tipoModulo;
  }
  EXPECT_EQ(macchina->aperture, 0);
  // On a key port nothing is verified either.
  prova::CImmagine img;
  img.Dati(0xFC0000, {1, 2, 3, 4}).Fine(0x0010);
  job.ImpostaInterfaccia(0, INTERFACCIA_CHIAVE_USB, 0, 0);
  int fase = 0;
  EXPECT_EQ(Verifica(File(img), &fase), RC_MODULE_TYPE);
  std::uint32_t dove = 0;
  EXPECT_EQ(job.PrimoIndirizzoDiverso(&dove), 0);
}

}  // namespace
}  // namespace bricola
