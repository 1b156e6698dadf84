// The MB91F465 boot writer: the S2 record, the kernel's replies and hex dumps
// as the loader reads them, and the step machine against a scripted FR chip on
// a fake clock (bootstrap prefixes with their echoes, segment sums, kernel text
// commands), where its faults show.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "bootstrap/caricatori_ram.h"
#include "bootstrap/load_boot_fr.h"
#include "comm/porta_seriale.h"
#include "tests/load/scheda_finta.h"
#include "tests/support/caricatori.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using prova::Byte;

Byte Testo(const std::string& s) { return Byte(s.begin(), s.end()); }

// The dump the kernel answers to a read of the values at `a`.
std::string Dump(std::uint32_t a, const Byte& v) {
  char b[64];
  std::snprintf(b, sizeof b, "%03zX\r\n\r\n Reading %03zXh bytes from address %08X : \r\n\r\n\r\n", v.size(),
                v.size(), static_cast<unsigned>(a));
  std::string r = b;
  for (std::size_t i = 0; i < v.size(); i += 16) {
    std::snprintf(b, sizeof b, "%08X : ", static_cast<unsigned>(a + i));
    r += b;
    for (std::size_t k = i; k < v.size() && k < i + 16; ++k) {
      std::snprintf(b, sizeof b, "%02X ", v[k]);
      r += b;
    }
    r += "\r\n";
  }
  return r + ">";
}

// --- the kernel's protocol ------------------------------------------------------------

TEST(ProtocolloKernelFr, RecordS2BinarioConSommaComplementata) {
  const std::uint8_t dati[3] = {0x10, 0x20, 0x30};
  std::uint8_t r[16];
  ASSERT_EQ(RecordS2(0x14BFF1, dati, 3, r), 10);
  // Count 7, address high first, data, ~(07 + 14 + BF + F1 + 10 + 20 + 30) = ~0x2B (of 0x22B).
  EXPECT_EQ(Byte(r, r + 10), (Byte{'S', '2', 0x07, 0x14, 0xBF, 0xF1, 0x10, 0x20, 0x30, 0xD4}));
  const Byte sedici(16, 0xAB);
  std::uint8_t lungo[32];
  ASSERT_EQ(RecordS2(0x148000, sedici.data(), 16, lungo), 23);
  EXPECT_EQ(lungo[2], 20);
}

TEST(ProtocolloKernelFr, LunghezzaDelDump) {
  EXPECT_EQ(LunghezzaDump(64), 302);  // the largest reply: the buffer holds it and a zero
  EXPECT_EQ(LunghezzaDump(1), 3 + 13 + 58);
  EXPECT_EQ(LunghezzaDump(17), 51 + 26 + 58);
  EXPECT_EQ(static_cast<int>(Dump(0x148000, Byte(64, 0x5A)).size()), 302);
  EXPECT_EQ(static_cast<int>(Dump(0x14BFF1, Byte(15, 0x00)).size()), LunghezzaDump(15));
}

TEST(ProtocolloKernelFr, ValoriDelBlankCheck) {
  int v[6] = {};
  const Byte buona = Testo(" checking ...1\r\n1\r\n1\r\n1\r\n0\r\n1\r\n");
  ASSERT_EQ(buona.size(), 31u);
  EXPECT_EQ(ValoriBlank(buona.data(), 31, v), 0);
  EXPECT_EQ(v[4], 0);  // table sector 0 (0x148000) is the fifth value
  EXPECT_EQ(v[5], 1);
  const Byte inizio = Testo(" checking ..,1\r\n1\r\n1\r\n1\r\n0\r\n1\r\n");
  EXPECT_EQ(ValoriBlank(inizio.data(), 31, v), 1);
  const Byte valori = Testo(" checking ...1\r\n1\r\n1\r\nx\r\n0\r\n1\r\n");
  EXPECT_EQ(ValoriBlank(valori.data(), 31, v), 2);
}

TEST(ProtocolloKernelFr, EstraiDatiLettiEOgniRigaDiErrore) {
  Byte valori(20);
  for (std::size_t i = 0; i < valori.size(); ++i) valori[i] = static_cast<std::uint8_t>(0xE0 + i * 3);
  const std::string buono = Dump(0x148000, valori);
  std::uint8_t letti[64];
  std::string riga;
  const auto estrai = [&](std::string d) {
    riga.clear();
    return EstraiDatiLetti(reinterpret_cast<const std::uint8_t*>(d.data()), static_cast<int>(d.size()), 20, letti,
                           &riga);
  };
  ASSERT_TRUE(IntestazioneDumpValida(reinterpret_cast<const std::uint8_t*>(buono.data()), 302));
  ASSERT_TRUE(estrai(buono)) << riga;
  EXPECT_EQ(Byte(letti, letti + 20), valori);

  // Positions: header 57, line 1 values from 57 + 11, its CR at 57 + 11 + 48,
  // line 2 from 57 + 61 (4 values), its CR at 118 + 11 + 12, then '>'.
  struct {
    std::size_t posizione;
    char carattere;
    const char* riga;
  } casi[] = {
      {57 + 11 + 3 * 5, 'g', "EstraiDatiLetti: sscanf 5 26"},
      {118 + 11, 'z', "EstraiDatiLetti: sscanf 16 11"},
      {57 + 11 + 48, ' ', "EstraiDatiLetti: CR mancante"},
      {57 + 11 + 49, '\r', "EstraiDatiLetti: LF mancante"},
      {118 + 11 + 12, 'x', "EstraiDatiLetti: CR mancante"},
      {118 + 11 + 14, '?', "EstraiDatiLetti: prompt mancante"},
  };
  for (const auto& c : casi) {
    std::string d = buono;
    d[c.posizione] = c.carattere;
    EXPECT_FALSE(estrai(d)) << c.riga;
    EXPECT_EQ(riga, c.riga);
  }
  // A value that scans but is no byte.
  std::string negativo = buono;
  negativo[57 + 11] = '-';
  negativo[57 + 12] = '1';
  EXPECT_FALSE(estrai(negativo));
  EXPECT_EQ(riga, "EstraiDatiLetti: valore");
  // The header's checked characters.
  std::string intestazione = buono;
  intestazione[54] = 'x';
  EXPECT_FALSE(IntestazioneDumpValida(reinterpret_cast<const std::uint8_t*>(intestazione.data()), 302));
}

// --- a scripted MB91F465 ----------------------------------------------------------------

// The FR chip behind the cable: its ROM bootstrap (check, prefixed write, read
// and call) and, once called, the kernel's text commands. Replies are
// immediate; faults are set as fields.
class CChipFr {
 public:
  // Faults.
  std::uint8_t ecoPrefisso = 0xF1;           // the echo of the prefix byte 01
  std::uint32_t sommaErrataA = 0xFFFFFFFF;   // the write to this address answers a wrong sum
  std::string codaErase = " OK \r\n";        // the end of the erase reply
  std::uint32_t alteratoA = 0xFFFFFFFF;      // this flash byte reads back changed
  int dumpRotti = 0;                         // so many dumps with a bad value first
  int ritardoEcoMs = 0;                      // the prefix echoes show this late (a slow line)
  COrologio* orologio = nullptr;

  // What happened.
  std::map<std::uint32_t, std::uint8_t> ram, flash;  // flash: absent = FF
  Byte dalPc;                                         // every byte in order
  std::vector<int> scrittureLinea;                    // length of each write of the PC
  std::vector<std::string> comandi;                   // kernel commands, one per line of the PC
  int chiamate = 0, erase = 0;

  void Reset() {
    stato = Stato::Bootstrap;
    ingresso.clear();
  }
  void Ricevi(const std::uint8_t* d, int n) {
    scrittureLinea.push_back(n);
    dalPc.insert(dalPc.end(), d, d + n);
    ingresso.insert(ingresso.end(), d, d + n);
    if (stato == Stato::Bootstrap) Bootstrap();
    else if (stato == Stato::Kernel) Kernel();
  }
  int Prendi(std::uint8_t* d, int n) {
    if (orologio && orologio->Millisecondi() < pronto) return 0;
    const int k = std::min<int>(n, static_cast<int>(uscita.size()));
    std::copy(uscita.begin(), uscita.begin() + k, d);
    uscita.erase(uscita.begin(), uscita.begin() + k);
    return k;
  }
  void Svuota() { uscita.clear(); }
  std::uint8_t Flash(std::uint32_t a) const {
    const auto it = flash.find(a);
    return it == flash.end() ? 0xFF : it->second;
  }

 private:
  enum class Stato { Spento, Bootstrap, Kernel };
  void Ritarda() {
    if (orologio) pronto = orologio->Millisecondi() + ritardoEcoMs;
  }
  std::int64_t pronto = 0;
  void Rispondi(const Byte& b) { uscita.insert(uscita.end(), b.begin(), b.end()); }
  void Rispondi(const std::string& s) { Rispondi(Testo(s)); }
  static std::uint32_t Le(const Byte& b, std::size_t i, int n) {
    std::uint32_t v = 0;
    for (int k = n - 1; k >= 0; --k) v = (v << 8) | b[i + static_cast<std::size_t>(k)];
    return v;
  }

  void Bootstrap() {
    while (!ingresso.empty()) {
      const std::uint8_t b = ingresso[0];
      if (b == 'V') {
        ingresso.erase(ingresso.begin());
        Rispondi("F");
      } else if (b == 0x01) {
        if (!prefisso) {
          prefisso = true;
          ingresso.erase(ingresso.begin());
          Rispondi(Byte{ecoPrefisso});
          Ritarda();
          continue;
        }
        return;
      } else if (prefisso && (b == 0x02 || b == 0x03 || b == 0x04)) {
        comando = b;
        prefisso = false;
        ingresso.erase(ingresso.begin());
        Rispondi(Byte{static_cast<std::uint8_t>(0x80 | b)});
        Ritarda();
      } else if (comando == 0x04) {
        if (ingresso.size() < 4) return;
        ++chiamate;
        comando = 0;
        if (Le(ingresso, 0, 4) == 0x30000) stato = Stato::Kernel;
        ingresso.erase(ingresso.begin(), ingresso.begin() + 4);
        return;
      } else if (comando == 0x02 || comando == 0x03) {
        if (ingresso.size() < 6) return;
        const std::uint32_t a = Le(ingresso, 0, 4);
        const std::uint32_t l = Le(ingresso, 4, 2);
        if (comando == 0x02) {
          Byte r;
          std::uint16_t s = 0;
          for (std::uint32_t i = 0; i < l; ++i) {
            const std::uint8_t v = ram.count(a + i) ? ram[a + i] : 0;
            r.push_back(v);
            s = static_cast<std::uint16_t>(s + v);
          }
          r.push_back(static_cast<std::uint8_t>(s));
          r.push_back(static_cast<std::uint8_t>(s >> 8));
          ingresso.erase(ingresso.begin(), ingresso.begin() + 6);
          comando = 0;
          Rispondi(r);
          continue;
        }
        if (ingresso.size() < 6 + l) return;
        std::uint16_t s = 0;
        for (std::uint32_t i = 0; i < l; ++i) {
          ram[a + i] = ingresso[6 + i];
          s = static_cast<std::uint16_t>(s + ingresso[6 + i]);
        }
        if (a == sommaErrataA) s = static_cast<std::uint16_t>(s + 1);
        ingresso.erase(ingresso.begin(), ingresso.begin() + 6 + l);
        comando = 0;
        Rispondi(Byte{static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(s >> 8)});
      } else {
        ingresso.erase(ingresso.begin());
      }
    }
  }

  void Kernel() {
    if (download) {
      Download();
      return;
    }
    comandi.push_back(std::string(ingresso.begin(), ingresso.end()));
    const std::string c(ingresso.begin(), ingresso.end());
    ingresso.clear();
    char b[64];
    if (attesa == 'r' || attesa == 'p') {
      indirizzo = static_cast<std::uint32_t>(std::stoul(c, nullptr, 16));
      Rispondi(c + (attesa == 'r' ? "\r\nLEN:" : "\r\nDATA:"));
      attesa = attesa == 'r' ? 'l' : 'd';
    } else if (attesa == 'l') {
      const std::size_t n = std::stoul(c, nullptr, 16);
      Byte v;
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t a = indirizzo + static_cast<std::uint32_t>(i);
        v.push_back(static_cast<std::uint8_t>(Flash(a) ^ (a == alteratoA ? 0x01 : 0x00)));
      }
      std::string d = Dump(indirizzo, v);
      if (dumpRotti > 0) {
        --dumpRotti;
        d[57 + 11] = 'q';
      }
      Rispondi(d);
      attesa = 0;
    } else if (attesa == 'd') {
      for (int k = 0; k < 4; ++k) flash[indirizzo + static_cast<std::uint32_t>(k)] =
          static_cast<std::uint8_t>(std::stoul(c.substr(static_cast<std::size_t>(2 * k), 2), nullptr, 16));
      Rispondi(c + "\r\n OK \r\n>");
      attesa = 0;
    } else if (attesa == 's') {
      const int settore = std::stoi(c);
      ++erase;
      const std::uint32_t da = settore == 4 ? 0x148000 : 0x14C000;
      for (auto it = flash.begin(); it != flash.end();)
        it = (it->first >= da && it->first < da + 0x4000) ? flash.erase(it) : std::next(it);
      std::snprintf(b, sizeof b, "%02d\r\n address=%08X\r\n Low erasing...\r\n High erasing...\r\n", settore,
                    static_cast<unsigned>(da));
      Rispondi(std::string(b) + codaErase);
      attesa = 0;
    } else if (attesa == 'n') {
      if (c == "HEXDWL\r") {
        Rispondi("HEXDWL");
        download = true;
        cr = 0;
      }
      attesa = 0;
    } else if (c == "V") {
      Rispondi("F");
    } else if (c == "R\r") {
      Rispondi(" >");
    } else if (c == "b") {
      std::string r = " checking ...";
      for (std::uint32_t s : {0x140000u, 0x142000u, 0x144000u, 0x146000u, 0x148000u, 0x14C000u}) {
        bool vuoto = true;
        for (const auto& [a, v] : flash) vuoto = vuoto && !(a >= s && a < s + (s >= 0x148000 ? 0x4000u : 0x2000u));
        r += vuoto ? "1\r\n" : "0\r\n";
      }
      Rispondi(r);
    } else if (c == "s") {
      Rispondi("\r\n sector : ");
      attesa = 's';
    } else if (c == "n") {
      Rispondi("\r\n data ...\r\n");
      attesa = 'n';
    } else if (c == "r" || c == "p") {
      Rispondi("\r\nADDR:");
      attesa = c[0];
    }
  }

  void Download() {
    while (!ingresso.empty()) {
      if (ingresso[0] == '\r') {
        ingresso.erase(ingresso.begin());
        comandi.push_back("\r");
        if (++cr == 8) {
          download = false;
          Rispondi(">");
        }
        continue;
      }
      cr = 0;
      if (ingresso.size() < 3 || ingresso.size() < 3u + ingresso[2]) return;
      const std::size_t l = ingresso[2] - 4u;
      const std::uint32_t a = static_cast<std::uint32_t>(ingresso[3] << 16 | ingresso[4] << 8 | ingresso[5]);
      comandi.push_back("S2");
      for (std::size_t i = 0; i < l; ++i) flash[a + static_cast<std::uint32_t>(i)] = ingresso[6 + i];
      ingresso.erase(ingresso.begin(), ingresso.begin() + static_cast<std::ptrdiff_t>(7 + l));
      Rispondi(Byte{0x06});
    }
  }

  Stato stato = Stato::Spento;
  Byte ingresso, uscita;
  bool prefisso = false;
  std::uint8_t comando = 0;
  bool download = false;
  int cr = 0;
  char attesa = 0;
  std::uint32_t indirizzo = 0;
};

class CInterfacciaFr : public CInterfaccia {
 public:
  explicit CInterfacciaFr(CChipFr& c) : chip(c) {}
  ~CInterfacciaFr() override { ChiudiLinea(); }
  int ApriLinea(int porta, int baud, int, int* esito) override {
    handle = ApriPorta(porta + 1, baud, false, false);
    *esito = handle == kHandleNonValido ? RC_PORT_OPEN : RC_OK;
    return handle == kHandleNonValido ? 0 : 1;
  }
  int RiapriLinea(int* esito) override { return ApriLinea(2, 9600, 0, esito); }
  int ChiudiLinea() override {
    if (handle == kHandleNonValido) return 0;
    ChiudiPorta(handle);
    handle = kHandleNonValido;
    return 1;
  }
  int ScriviLinea(const std::uint8_t* d, int n) override {
    chip.Ricevi(d, n);
    return n;
  }
  int LeggiLinea(std::uint8_t* d, int n) override { return chip.Prendi(d, n); }
  int SvuotaLinea() override {
    chip.Svuota();
    return 1;
  }
  void ImpostaDestinatario(int, int) override {}
  void AttendiRisposta(int, int) override {}

 private:
  CChipFr& chip;
};

class BootFr : public ::testing::Test {
 protected:
  void SetUp() override {
    linea->orologio = &orologio;
    linea->resetScheda = [this] { chip.Reset(); };
    prova::InstallaLineaFinta(linea);
    ASSERT_TRUE(prova::ScriviCaricatori(cartella.File("ram"), 4));
    ImpostaCartellaCaricatori(cartella.File("ram"));
    int esito = 0;
    ASSERT_EQ(interfaccia.ApriLinea(2, 9600, 0, &esito), 1);
    l.ImpostaOrologio(&orologio);
    chip.orologio = &orologio;
    l.ImpostaFileRegistro(cartella.File("registro.txt"));
  }
  void TearDown() override {
    interfaccia.ChiudiLinea();
    ImpostaApritorePorta(nullptr);
    ImpostaCartellaCaricatori("");
  }

  // Starts the writer on a module of these records; runs it to its end.
  void Esegui(prova::CImmagine img) {
    const std::string percorso = cartella.File("modulo.bin");
    ASSERT_TRUE(img.Fine(0x4321).Scrivi(percorso));
    const std::uint32_t fine = img.Posizione() - 4;
    const std::uint32_t indirizzi[4] = {0, 0, 0, 0};
    const int velocita[2] = {9600, 115200};
    int esito = -1;
    ASSERT_EQ(l.Avvia(percorso, 0, fine, 0x4321, indirizzi, 1, 10, 8, &interfaccia, 0, velocita, 0, &esito), 1);
    for (int i = 0; i < 1000000; ++i) {
      int aggiorna = 0;
      if (!l.Passo(&aggiorna)) return;
      orologio.adesso += l.PeriodoTimer();
    }
    FAIL() << "the writer never ended";
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
  std::string Righe() const {
    std::string t;
    for (const auto& r : Registro()) t += r + "\n";
    return t;
  }
  int ContaComandi(const std::string& c) const {
    return static_cast<int>(std::count(chip.comandi.begin(), chip.comandi.end(), c));
  }

  prova::CCartellaTemporanea cartella;
  prova::COrologioFinto orologio;
  std::shared_ptr<prova::SStatoLinea> linea = std::make_shared<prova::SStatoLinea>();
  CChipFr chip;
  CInterfacciaFr interfaccia{chip};
  CLoad91F465Boot l;
};

const Byte kParola = {0xDE, 0xAD, 0xBE, 0xEF};

TEST_F(BootFr, KernelInBlocchiSenzaAttesaESoloLUltimoAttendeLaSomma) {
  const Byte dati = prova::Schema(64, 1);
  Esegui(prova::CImmagine().Intestazione(prova::IntestazionePerTipoLoad(10)).Dati(0x148000, dati)
             .Dati(0x14FFFC, kParola));
  ASSERT_EQ(l.fase, ST_DONE) << l.esito << "\n" << Righe();
  const Byte kernel = prova::ContenutoCaricatore(kCaricatore91F465, kLunghezza91F465, 4);
  for (std::uint32_t i = 0; i < 0x3000; ++i) ASSERT_EQ(chip.ram[0x30000 + i], kernel[i]) << i;
  EXPECT_EQ(chip.ram[0x2FFFF], 0xD0);
  EXPECT_EQ(chip.ram[0x681], 0xFF);
  EXPECT_EQ(chip.chiamate, 1);
  // 48 chunks of 256 bytes, the first with the 6-byte header; one write prefix
  // for the kernel and one for each short segment (each with its own header).
  EXPECT_EQ(Conta("ricevuto write"), 8);
  EXPECT_EQ(Conta("InvioBlocco: inizio 030000, lung. 0100"), 1);
  EXPECT_EQ(Conta("InvioBlocco: inizio 032f00, lung. 0100"), 1);
  EXPECT_EQ(std::count(chip.scrittureLinea.begin(), chip.scrittureLinea.end(), 262), 1);
  EXPECT_EQ(std::count(chip.scrittureLinea.begin(), chip.scrittureLinea.end(), 256), 47);
  // The module: S2 records, reads of 64, the last word by Prog32.
  for (std::uint32_t i = 0; i < 64; ++i) ASSERT_EQ(chip.Flash(0x148000 + i), dati[i]);
  for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(chip.Flash(0x14FFFC + i), kParola[i]);
  EXPECT_EQ(ContaComandi("S2"), 4);
  EXPECT_EQ(ContaComandi("040"), 1);
  EXPECT_EQ(ContaComandi("deadbeef"), 1);
  EXPECT_EQ(Conta("traferimento completato"), 1);
  EXPECT_EQ(l.byteFatti, 0x3000 + 2 * 64);
}

TEST_F(BootFr, EcoDelPrefissoErrataNonInviaIlSecondoByte) {
  chip.ecoPrefisso = 0xF0;
  const std::int64_t prima = orologio.adesso;
  Esegui(prova::CImmagine().Dati(0x148000, prova::Schema(16, 2)).Dati(0x14FFFC, kParola));
  EXPECT_EQ(l.fase, ST_FAILED);
  EXPECT_EQ(l.esito, RC_PACKET_SEND);
  EXPECT_EQ(Conta("start comando inatteso f0 alla posizione 0"), 1) << Righe();
  EXPECT_EQ(Conta("write check errore"), 1);
  // After the check only the prefix byte 01 went out, and it took its full 20 ms.
  ASSERT_GE(chip.dalPc.size(), 2u);
  EXPECT_EQ(Byte(chip.dalPc.begin(), chip.dalPc.end()), (Byte{'V', 0x01}));
  EXPECT_GE(orologio.adesso - prima, 600 + 27 + 40 + 20);
}

TEST_F(BootFr, EcoInRitardoVieneAttesoUnPoDiPiuMaNonSenzaFine) {
  // An echo 30 ms late (a network line) still counts ...
  chip.ritardoEcoMs = 30;
  Esegui(prova::CImmagine().Dati(0x148000, prova::Schema(16, 2)).Dati(0x14FFFC, kParola));
  EXPECT_EQ(l.fase, ST_DONE) << l.esito << "\n" << Righe();
}

TEST_F(BootFr, EcoCheNonArrivaFinisceCon21) {
  // ... one that does not come within 100 ms does not.
  chip.ritardoEcoMs = 150;
  Esegui(prova::CImmagine().Dati(0x148000, prova::Schema(16, 2)).Dati(0x14FFFC, kParola));
  EXPECT_EQ(l.esito, RC_PACKET_SEND);
  EXPECT_EQ(Conta("write check errore"), 1) << Righe();
  EXPECT_EQ(Byte(chip.dalPc.begin(), chip.dalPc.end()), (Byte{'V', 0x01}));
}

TEST_F(BootFr, SommaDiSegmentoErrataFinisceSenzaAltriSegmentiNeChiamata) {
  chip.sommaErrataA = 0x0002FFF5;
  Esegui(prova::CImmagine().Dati(0x148000, prova::Schema(16, 3)).Dati(0x14FFFC, kParola));
  EXPECT_EQ(l.esito, RC_REPLY_TIMEOUT);
  EXPECT_EQ(Conta("dati fine tentativi"), 1) << Righe();
  EXPECT_EQ(Conta("InvioBlocco: inizio 02fff9, lung. 0001"), 0);
  EXPECT_EQ(chip.chiamate, 0);
}

TEST_F(BootFr, UnPrimoBloccoTuttoFfDopoIlBlankNonAttendeUnWriteInit) {
  // The first chunk after the blank check is all FF: no write init is sent,
  // and none is waited for; the next chunk opens download mode.
  Byte dati(32, 0xFF);
  std::fill(dati.begin() + 16, dati.end(), 0x42);
  Esegui(prova::CImmagine().Dati(0x148000, dati).Dati(0x14FFFC, kParola));
  ASSERT_EQ(l.fase, ST_DONE) << l.esito << "\n" << Righe();
  EXPECT_EQ(Conta("invio dati 148000 saltato"), 1);
  EXPECT_EQ(Conta("invio write init"), 1);
  EXPECT_EQ(ContaComandi("S2"), 1);
  EXPECT_EQ(chip.Flash(0x148010), 0x42);
  EXPECT_EQ(ContaComandi("020"), 1);  // the verify pass reads the skipped chunk too
}

TEST_F(BootFr, EraseConRispostaErrataRiprovaCinqueVolteEFinisceCon30) {
  chip.flash[0x148100] = 0x00;
  chip.codaErase = " NG \r\n";
  Esegui(prova::CImmagine().Dati(0x148000, prova::Schema(16, 4)).Dati(0x14FFFC, kParola));
  EXPECT_EQ(l.esito, RC_BLOCK_ERASE);
  EXPECT_EQ(chip.erase, 5);
  EXPECT_EQ(Conta("EraseRicevi: risposta errata"), 5) << Righe();
  EXPECT_EQ(Conta("erase nuovo tentativo"), 4);
  EXPECT_EQ(Conta("erase fine tentativi"), 1);
  EXPECT_EQ(ContaComandi("S2"), 0);
}

TEST_F(BootFr, DumpMalformatoRiprovaLaLettura) {
  chip.dumpRotti = 2;
  Esegui(prova::CImmagine().Dati(0x148000, prova::Schema(16, 5)).Dati(0x14FFFC, kParola));
  ASSERT_EQ(l.fase, ST_DONE) << l.esito << "\n" << Righe();
  EXPECT_EQ(Conta("EstraiDatiLetti: sscanf 0 11"), 2);
  EXPECT_EQ(Conta("ReadDatiRicevi: risposta malformata"), 2);
  EXPECT_EQ(Conta("read altro tentativo"), 2);
  EXPECT_EQ(l.byteRipetuti, 2 * 16);
}

TEST_F(BootFr, ByteRilettoDiversoFinisceCon32SenzaProg32) {
  chip.alteratoA = 0x148005;
  Esegui(prova::CImmagine().Dati(0x148000, prova::Schema(16, 6)).Dati(0x14FFFC, kParola));
  EXPECT_EQ(l.esito, RC_FLASH_WRITE);
  EXPECT_EQ(Conta("contenuto della flash non corrispondente"), 1);
  EXPECT_EQ(ContaComandi("p"), 0);
}

TEST_F(BootFr, ModuloSenzaLUltimaParolaFinisceCon6DopoLaVerifica) {
  Esegui(prova::CImmagine().Dati(0x148000, prova::Schema(24, 7)));
  EXPECT_EQ(l.esito, RC_FILE_UNLOADABLE);
  EXPECT_EQ(l.fase, ST_FAILED);
  EXPECT_EQ(ContaComandi("018"), 1);
  EXPECT_EQ(ContaComandi("p"), 0);
}

TEST_F(BootFr, IndirizzoFuoriDaiSettoriFinisceCon52) {
  Esegui(prova::CImmagine().Dati(0x147FF0, prova::Schema(16, 8)).Dati(0x14FFFC, kParola));
  EXPECT_EQ(l.esito, RC_EXTFLASH_BOOT_WRITE);
  EXPECT_EQ(Conta("InvioBlankOWrite: memoria inesistente"), 1) << Righe();
  EXPECT_EQ(ContaComandi("b"), 0);
}

}  // namespace
}  // namespace bricola
