// The simulated 68331 board: its link layer against hand-written frames, and
// whole transfers driven by a small PC written here from the link's rules (it
// answers the board's requests as a correct tool must), with every fault the
// board can inject.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/descrizione_sim.h"
#include "sim/macchina_sim.h"
#include "sim/scheda_68331_sim.h"

namespace bricola::sim {
namespace {

using Byte = std::vector<std::uint8_t>;

Byte Hex(const std::string& s) {
  Byte r;
  std::istringstream in(s);
  unsigned v;
  while (in >> std::hex >> v) r.push_back(static_cast<std::uint8_t>(v));
  return r;
}

// ---- link layer ----------------------------------------------------------

TEST(Link68331, PacchettiETrameDegliEsempi) {
  // The start request of a 4096-byte module with 128-byte packets.
  const Byte avvio = Pacchetto68331(Hex("5a 00 00 10 00 00 80"));
  EXPECT_EQ(avvio, Hex("00 07 5a 00 00 10 00 00 80 15"));
  EXPECT_EQ(Trama68331(avvio), Hex("47 47 00 07 5a 00 00 10 00 00 80 15 47 47"));
  // A payload holding a 47: stuffed with B8.
  EXPECT_EQ(Trama68331(Hex("00 03 47 41 42 d7")), Hex("47 47 00 03 47 b8 41 42 d7 47 47"));
  EXPECT_EQ(Pacchetto68331(Hex("47 41 42")), Hex("00 03 47 41 42 d7"));
  // The board's own messages: a request (its first byte is itself a 47) and the end.
  EXPECT_EQ(Trama68331(Pacchetto68331(Hex("47 12 a0 00 00 00 05"))),
            Hex("47 47 00 07 47 b8 12 a0 00 00 00 05 29 47 47"));
  EXPECT_EQ(Trama68331(Pacchetto68331({MSG_FINE_68331})), Hex("47 47 00 01 58 5c 47 47"));
}

TEST(Link68331, ChecksumPesaLaPosizioneDiOgniByte) {
  // (k + byte k) summed: the same bytes in another order give another sum.
  EXPECT_EQ(Checksum68331(Hex("00 07 5a 00 00 10 00 00 80").data(), 9), 0x15);
  EXPECT_NE(Checksum68331(Hex("01 02").data(), 2), Checksum68331(Hex("02 01").data(), 2) + 1);
  const Byte dueCento(200, 0xFF);  // wraps modulo 256
  unsigned atteso = 0;
  for (unsigned k = 0; k < 200; ++k) atteso += k + 0xFF;
  EXPECT_EQ(Checksum68331(dueCento.data(), dueCento.size()), static_cast<std::uint8_t>(atteso));
}

TEST(Link68331, OgniByteCheNeHaBisognoERiempitoEIlRicevitoreLoRiporta) {
  // Every byte value once, plus runs of 47 at the start, the middle and the end.
  Byte payload{0x47, 0x47};
  for (int v = 0; v < 250; ++v) payload.push_back(static_cast<std::uint8_t>(v));
  payload.push_back(0x47);
  payload.push_back(0x47);
  payload.resize(MAX_TRAMA_68331 - 1);
  payload.push_back(0x47);
  const Byte t = Trama68331(payload);
  std::size_t stuffati = 0;
  for (std::size_t i = 2; i + 2 < t.size(); ++i) {
    if (t[i] == 0x47) {
      ASSERT_EQ(t[i + 1], 0xB8) << "at " << i;
      ++stuffati;
      ++i;
    }
  }
  EXPECT_EQ(stuffati, static_cast<std::size_t>(std::count(payload.begin(), payload.end(), 0x47)));
  EXPECT_EQ(t.size(), payload.size() + stuffati + 4);

  CRicevitoreTrame68331 r;
  CRicevitoreTrame68331::Trama fatta;
  int fine = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (r.Byte(t[i], fatta)) {
      ++fine;
      EXPECT_EQ(i, t.size() - 1);
    }
  }
  ASSERT_EQ(fine, 1);
  EXPECT_EQ(fatta.difetto, "");
  EXPECT_EQ(fatta.payload, payload);
  EXPECT_EQ(fatta.grezzo, t);
}

TEST(Link68331, RicevitoreSevero) {
  struct Caso {
    const char* nome;
    Byte linea;
    bool difetto;
    Byte payload;
    std::size_t fuori;
  };
  Byte lunga{0x47, 0x47};
  lunga.insert(lunga.end(), MAX_TRAMA_68331 + 1, 0x11);
  lunga.push_back(0x47);
  lunga.push_back(0x47);
  const Caso casi[] = {
      {"due trame di fila", Hex("47 47 00 01 58 5c 47 47 47 47 00 01 58 5c 47 47"), false, Hex("00 01 58 5c"), 0},
      {"delimitatore d'apertura doppio", Hex("47 47 47 47 00 01 58 5c 47 47"), false, Hex("00 01 58 5c"), 0},
      {"47 seguito da un byte qualsiasi", Hex("47 47 00 03 47 00 41 42 47 47"), true, {}, 0},
      {"trama oltre 256 byte", lunga, true, {}, 0},
      {"rumore prima della trama", Hex("00 47 13 47 47 00 01 58 5c 47 47"), false, Hex("00 01 58 5c"), 3},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.nome);
    CRicevitoreTrame68331 r;
    std::vector<CRicevitoreTrame68331::Trama> trame;
    CRicevitoreTrame68331::Trama t;
    for (std::uint8_t b : c.linea) {
      if (r.Byte(b, t)) trame.push_back(t);
    }
    ASSERT_FALSE(trame.empty());
    EXPECT_EQ(!trame.back().difetto.empty(), c.difetto) << trame.back().difetto;
    if (!c.difetto) {
      EXPECT_EQ(trame.back().payload, c.payload);
    }
    EXPECT_EQ(r.FuoriTrama(), c.fuori);
    EXPECT_FALSE(r.InTrama());
  }
}

TEST(Link68331, AperturaDelPacchetto) {
  Byte m;
  EXPECT_EQ(AprePacchetto68331(Hex("00 03 47 41 42 d7"), m), EsitoPacchetto68331::Ok);
  EXPECT_EQ(m, Hex("47 41 42"));
  EXPECT_EQ(AprePacchetto68331(Hex("00 03 47 41 42 d8"), m), EsitoPacchetto68331::Checksum);
  EXPECT_EQ(AprePacchetto68331(Hex("00 04 47 41 42 d7"), m), EsitoPacchetto68331::Lunghezza);
  EXPECT_EQ(AprePacchetto68331(Hex("00 00"), m), EsitoPacchetto68331::Corto);
  EXPECT_EQ(AprePacchetto68331(Hex("00 00 00"), m), EsitoPacchetto68331::Checksum);
  EXPECT_EQ(AprePacchetto68331(Hex("00 00 01"), m), EsitoPacchetto68331::Ok);
  EXPECT_TRUE(m.empty());
}

// ---- the board in a machine ------------------------------------------------

// The PC end of a transfer, as the link requires it: one start request, then
// it answers the board's requests; a request for the packet just sent repeats
// it, the next index gets the next packet (empty once the module is out), a
// wrong machine code, an index past the end or out of order end the transfer.
struct PcDiProva {
  Byte immagine;
  std::uint16_t codice = 0x0001;
  std::uint16_t dimensione = 128;
  bool ignoraControllo = false;  // a faulty PC that does not check what it receives
  int esito = -1;                // -1 running, 0 done, 24 wrong code, 25 past the end, 26 out of order
  bool primo = true;
  std::uint32_t indice = 0, lunghezza = 0, fatti = 0, rimanenti = 0, ripetuti = 0;
  Byte ultimo;

  Byte Avvio() {
    rimanenti = static_cast<std::uint32_t>(immagine.size());
    Byte m{0x5A};
    for (int i = 3; i >= 0; --i) m.push_back(static_cast<std::uint8_t>(rimanenti >> (8 * i)));
    m.push_back(static_cast<std::uint8_t>(dimensione >> 8));
    m.push_back(static_cast<std::uint8_t>(dimensione));
    return Trama68331(Pacchetto68331(m));
  }
  Byte Pacchetto(std::uint32_t n) {
    lunghezza = std::min<std::uint32_t>(dimensione, rimanenti);
    Byte m{0x50, static_cast<std::uint8_t>(codice >> 8), static_cast<std::uint8_t>(codice)};
    for (int i = 3; i >= 0; --i) m.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    m.insert(m.end(), immagine.begin() + fatti, immagine.begin() + fatti + lunghezza);
    ultimo = Trama68331(Pacchetto68331(m));
    return ultimo;
  }
  // Frames from the board; what the PC sends back.
  Byte Ricevi(const Byte& linea) {
    Byte fuori;
    Byte payload;
    int stato = 0;
    for (std::uint8_t b : linea) {
      // A lenient receiver: a byte after a 47 stands for a 47; 47 47 closes.
      if (stato == 0) stato = b == 0x47 ? 1 : 0;
      else if (stato == 1) stato = b == 0x47 ? 2 : 0;
      else if (stato == 2) {
        if (b == 0x47) stato = 3;
        else payload.push_back(b);
      } else {
        stato = 2;
        if (b != 0x47) {
          payload.push_back(0x47);
        } else if (!payload.empty()) {
          Messaggio(payload, fuori);
          payload.clear();
        }
      }
    }
    return fuori;
  }
  void Messaggio(const Byte& p, Byte& fuori) {
    if (esito >= 0 || p.size() < 3) return;
    Byte m;
    if (ignoraControllo) m.assign(p.begin() + 2, p.end() - 1);
    else if (AprePacchetto68331(p, m) != EsitoPacchetto68331::Ok) return;
    if (m.empty()) return;
    if (m[0] == 0x58) {
      if (!primo) {
        rimanenti -= lunghezza;
        fatti += lunghezza;
      }
      esito = 0;
      return;
    }
    if (m[0] != 0x47 || m.size() < 7) return;
    const std::uint16_t cod = static_cast<std::uint16_t>(m[1] << 8 | m[2]);
    const std::uint32_t n = static_cast<std::uint32_t>(m[3]) << 24 | m[4] << 16 | m[5] << 8 | m[6];
    if (primo) {
      if (codice != 0xFFFF && cod != codice) {
        esito = 24;
      } else if (n != indice) {
        esito = rimanenti == 0 ? 25 : 26;
      } else {
        primo = false;
        const Byte b = Pacchetto(n);
        fuori.insert(fuori.end(), b.begin(), b.end());
      }
      return;
    }
    if (n == indice) {
      ripetuti += lunghezza;
      fuori.insert(fuori.end(), ultimo.begin(), ultimo.end());
    } else if (rimanenti == 0) {
      esito = 25;
    } else if (n == indice + 1) {
      ++indice;
      fatti += lunghezza;
      rimanenti -= lunghezza;
      const Byte b = Pacchetto(indice);
      fuori.insert(fuori.end(), b.begin(), b.end());
    } else {
      esito = 26;
    }
  }
};

Byte Immagine(std::size_t n, unsigned seme = 7) {
  Byte b(n);
  std::uint32_t x = seme;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<std::uint8_t>(x >> 16);
  }
  return b;
}

class Scheda68331 : public ::testing::Test {
 protected:
  void Costruisci(Config68331 c) {
    std::vector<CSchedaSim> s;
    s.emplace_back(std::move(c));
    macchina = std::make_unique<CMacchinaSim>(std::move(s));
    macchina->ImpostaTrascrizione(&trascrizione);
  }
  void Costruisci(std::vector<Guasto68331> guasti = {}, std::uint16_t codice = 0x0001) {
    Config68331 c;
    c.nome = "cpu";
    c.codice = codice;
    c.guasti = std::move(guasti);
    Costruisci(std::move(c));
  }
  Byte Linea(const Byte& b) {
    Byte r;
    for (const auto& u : macchina->DalPc(b.data(), b.size(), ms)) r.insert(r.end(), u.byte.begin(), u.byte.end());
    ms += 1;
    return r;
  }
  // The board's timer: the time runs on to its next deadline.
  Byte Attendi() {
    const std::int64_t s = macchina->ProssimaScadenza();
    if (s < 0) return {};
    ms = s;
    Byte r;
    for (const auto& u : macchina->Scadenze(ms)) r.insert(r.end(), u.byte.begin(), u.byte.end());
    return r;
  }
  // A whole transfer; the board's timer runs whenever the line falls silent.
  void Trasferisci(PcDiProva& pc, int limiteAttese = 10) {
    Byte daScheda = Linea(pc.Avvio());
    for (int giri = 0; giri < 10000 && pc.esito < 0; ++giri) {
      if (daScheda.empty()) {
        if (limiteAttese-- == 0) return;
        if (macchina->ProssimaScadenza() >= 0) {
          daScheda = Attendi();
        } else if (pc.primo) {
          // Until the board's first request the PC repeats its start request every second.
          ms += 1000;
          daScheda = Linea(pc.Avvio());
        } else {
          return;
        }
        continue;
      }
      const Byte risposta = pc.Ricevi(daScheda);
      daScheda = risposta.empty() ? Byte{} : Linea(risposta);
    }
  }
  const CScheda68331Sim& Scheda() { return *macchina->Scheda(0).s68331; }
  const Trasferimento68331& Ultimo() { return Scheda().Trasferimenti().back(); }
  std::string Testo() { return testoTrascrizione.str(); }

  std::ostringstream testoTrascrizione;
  CTrascrizione trascrizione{&testoTrascrizione, 0};
  std::unique_ptr<CMacchinaSim> macchina;
  std::int64_t ms = 1000;
};

TEST_F(Scheda68331, TrasferimentoNormaleInPacchettiDa128) {
  Costruisci();
  PcDiProva pc;
  pc.immagine = Immagine(300);
  Trasferisci(pc);
  EXPECT_EQ(pc.esito, 0);
  EXPECT_EQ(pc.fatti, 300u);
  EXPECT_EQ(pc.ripetuti, 0u);
  EXPECT_EQ(Ultimo().dati, pc.immagine);
  EXPECT_EQ(Ultimo().esito, "completo");
  EXPECT_EQ(Ultimo().pacchetti, 3u);
  EXPECT_EQ(Ultimo().dimensionePacchetto, 128);
  EXPECT_TRUE(Scheda().Anomalie().empty()) << Scheda().Anomalie()[0];
  EXPECT_FALSE(Scheda().InTrasferimento());
  EXPECT_EQ(macchina->ProssimaScadenza(), -1);
  // The transcript: every frame, in order, decoded and raw.
  const std::string t = Testo();
  const std::string righe[] = {
      "-> cpu Z avvio lunghezza 300 pacchetto 128: 47 47 00 07 5a 00 00 01 2c 00 80 32 47 47",
      "<- cpu G richiesta codice 0001 pacchetto 0: 47 47 00 07 47 b8 00 01 00 00 00 00 73 47 47",
      "-> cpu P dati codice 0001 pacchetto 0, 128 byte: 47 47 00 87 50 00 01 00 00 00 00",
      "<- cpu G richiesta codice 0001 pacchetto 1: ",
      "-> cpu P dati codice 0001 pacchetto 1, 128 byte: ",
      "<- cpu G richiesta codice 0001 pacchetto 2: ",
      "-> cpu P dati codice 0001 pacchetto 2, 44 byte: ",
      "<- cpu X fine: 47 47 00 01 58 5c 47 47",
  };
  std::size_t pos = 0;
  for (const auto& r : righe) {
    const std::size_t trovata = t.find(r, pos);
    ASSERT_NE(trovata, std::string::npos) << r << "\n" << t;
    pos = trovata + r.size();
  }
}

TEST_F(Scheda68331, DimensioniAiBordi) {
  struct Caso {
    std::size_t lunghezza;
    std::uint32_t pacchetti;
  };
  for (const Caso c : {Caso{0, 0}, Caso{1, 1}, Caso{127, 1}, Caso{128, 1}, Caso{129, 2}, Caso{4096, 32}}) {
    SCOPED_TRACE(c.lunghezza);
    Costruisci();
    PcDiProva pc;
    pc.immagine = Immagine(c.lunghezza, static_cast<unsigned>(c.lunghezza));
    Trasferisci(pc);
    EXPECT_EQ(pc.esito, 0);
    EXPECT_EQ(Ultimo().dati, pc.immagine);
    EXPECT_EQ(Ultimo().pacchetti, c.pacchetti);
    EXPECT_EQ(Ultimo().esito, "completo");
    EXPECT_TRUE(Scheda().Anomalie().empty());
  }
}

TEST_F(Scheda68331, GuastiCheIlPcDeveSopportareOdEsitoCheDeveDare) {
  using T = TipoGuasto68331;
  struct Caso {
    const char* nome;
    Guasto68331 guasto;
    std::uint16_t codicePc;
    int esito;
    std::uint32_t ripetutiPc;
    std::uint32_t ripetutiScheda;
    const char* inTrascrizione;
  };
  auto g = [](T t, std::int64_t pacchetto, int volte = 1) {
    Guasto68331 r;
    r.tipo = t;
    r.pacchetto = pacchetto;
    r.volte = volte;
    return r;
  };
  Guasto68331 fuori0 = g(T::FuoriSequenza, 0);
  Guasto68331 indietro = g(T::FuoriSequenza, 2);
  indietro.richiesto = 0;
  Guasto68331 oltre1 = g(T::OltreFine, -1);
  oltre1.richieste = 1;
  Guasto68331 raffica = g(T::Raffica, 1);
  raffica.copie = 2;
  const Caso casi[] = {
      {"nessuno", {g(T::Silenzio, -1, 0)}, 0x0001, 0, 0, 0, "X fine"},
      {"ripetizione di un pacchetto intero", g(T::Ripetizione, 1), 0x0001, 0, 128, 1, "pacchetto 1 (guasto ripetizione)"},
      {"ripetizione doppia dell'ultimo", g(T::Ripetizione, 2, 2), 0x0001, 0, 88, 2, "pacchetto 2 (guasto ripetizione)"},
      {"richiesta con checksum errato", g(T::Controllo, 1, 2), 0x0001, 0, 0, 0, "pacchetto 1 (guasto controllo)"},
      {"richiesta con lunghezza errata", g(T::Lunghezza, 0), 0x0001, 0, 0, 0, "pacchetto 0 (guasto lunghezza)"},
      {"richiesta in raffica", raffica, 0x0001, 0, 128, 1, "guasto raffica, 2 copie"},
      {"avvio ignorato due volte", g(T::Silenzio, -1, 2), 0x0001, 0, 0, 0, "avvio ignorato (2)"},
      {"pc universale", g(T::Silenzio, -1, 0), 0xFFFF, 0, 0, 0, "P dati codice ffff"},
      {"pacchetto vuoto dopo la fine", oltre1, 0x0001, 0, 0, 0, "pacchetto 3, 0 byte"},
      {"fuori sequenza in avanti", g(T::FuoriSequenza, 1), 0x0001, 26, 0, 0, "pacchetto 2 (guasto fuori sequenza"},
      {"fuori sequenza alla prima richiesta", fuori0, 0x0001, 26, 0, 0, "pacchetto 1 (guasto fuori sequenza"},
      {"fuori sequenza all'indietro", indietro, 0x0001, 26, 0, 0, "pacchetto 0 (guasto fuori sequenza"},
      {"oltre la fine", g(T::OltreFine, -1), 0x0001, 25, 0, 0, "pacchetto 4 (oltre la fine"},
      {"scheda di un'altra macchina", g(T::Silenzio, -1, 0), 0x0002, 24, 0, 0, "G richiesta codice 0001"},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.nome);
    testoTrascrizione.str("");
    Costruisci({c.guasto});
    PcDiProva pc;
    pc.codice = c.codicePc;
    pc.immagine = Immagine(300);
    Trasferisci(pc);
    EXPECT_EQ(pc.esito, c.esito) << Testo();
    EXPECT_EQ(pc.ripetuti, c.ripetutiPc);
    EXPECT_NE(Testo().find(c.inTrascrizione), std::string::npos) << Testo();
    EXPECT_TRUE(Scheda().Anomalie().empty()) << Scheda().Anomalie()[0];
    if (c.esito == 0) {
      EXPECT_EQ(Ultimo().dati, pc.immagine);
      EXPECT_EQ(Ultimo().esito, "completo");
      EXPECT_EQ(Ultimo().ripetuti, c.ripetutiScheda);
    }
  }
}

TEST_F(Scheda68331, RichiestaScartataDalPcRipetutaAlloScadere) {
  Guasto68331 g;
  g.tipo = TipoGuasto68331::Controllo;
  g.pacchetto = 1;
  Costruisci({g});
  PcDiProva pc;
  pc.immagine = Immagine(300);
  Byte b = Linea(pc.Avvio());
  b = Linea(pc.Ricevi(b));  // packet 0 -> the corrupted request for 1
  EXPECT_TRUE(pc.Ricevi(b).empty());
  const std::int64_t prima = ms;
  b = Attendi();
  EXPECT_EQ(ms - prima, 1000 - 1);  // attesaMs after the request went out
  EXPECT_EQ(b, Trama68331(Pacchetto68331(Hex("47 00 01 00 00 00 01"))));
  EXPECT_NE(Testo().find("nessuna risposta in 1000 ms, chiede di nuovo il pacchetto 1"), std::string::npos);
}

TEST_F(Scheda68331, SilenzioEsauriscePoiAbbandona) {
  Costruisci();
  PcDiProva pc;
  pc.immagine = Immagine(300);
  Byte b = Linea(pc.Avvio());
  ASSERT_FALSE(b.empty());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Attendi(), b) << i;  // tentativi 3
  EXPECT_TRUE(Attendi().empty());
  EXPECT_EQ(Ultimo().esito, "abbandonato");
  EXPECT_FALSE(Scheda().InTrasferimento());
  // A new start request begins again.
  EXPECT_EQ(Linea(pc.Avvio()), b);
  EXPECT_EQ(Scheda().Trasferimenti().size(), 2u);
}

TEST_F(Scheda68331, SilenzioDopoUnPacchetto) {
  Guasto68331 g;
  g.tipo = TipoGuasto68331::Silenzio;
  g.pacchetto = 1;
  Costruisci({g});
  PcDiProva pc;
  pc.immagine = Immagine(300);
  Trasferisci(pc);
  EXPECT_EQ(pc.esito, -1);
  EXPECT_EQ(pc.indice, 1u);
  EXPECT_EQ(Ultimo().esito, "abbandonato");
  EXPECT_EQ(Ultimo().dati.size(), 256u);
  EXPECT_EQ(macchina->ProssimaScadenza(), -1);
}

// What a faulty PC does is noted by the board, which then asks again.
TEST_F(Scheda68331, AnomalieDelPc) {
  auto dati = [](std::uint16_t codice, std::uint32_t n, const Byte& d) {
    Byte m{0x50, static_cast<std::uint8_t>(codice >> 8), static_cast<std::uint8_t>(codice), 0, 0, 0,
           static_cast<std::uint8_t>(n)};
    m.insert(m.end(), d.begin(), d.end());
    return Trama68331(Pacchetto68331(m));
  };
  const Byte richiesta0 = Trama68331(Pacchetto68331(Hex("47 00 01 00 00 00 00")));
  const Byte avvio = Trama68331(Pacchetto68331(Hex("5a 00 00 01 2c 00 80")));
  Byte cattivoChecksum = dati(1, 0, Byte(128, 0x11));
  cattivoChecksum[cattivoChecksum.size() - 3] ^= 1;
  Byte cattivoRiempimento = dati(1, 0, Byte(128, 0x47));
  cattivoRiempimento[12] = 0x00;
  struct Caso {
    const char* nome;
    Byte daPc;
    const char* anomalia;
    bool chiedeDiNuovo;
  };
  const Caso casi[] = {
      {"pacchetto corto", dati(1, 0, Byte(127, 0x11)), "pacchetto 0 di 127 byte (attesi 128)", true},
      {"altro codice macchina", dati(2, 0, Byte(128, 0x11)), "per il codice macchina 0002", true},
      {"checksum errato", cattivoChecksum, "trama scartata: checksum errato", true},
      {"riempimento errato", cattivoRiempimento, "trama scartata: 47 seguito da 00", true},
      {"pacchetto non richiesto", dati(1, 1, Byte(128, 0x11)), "pacchetto 1 non richiesto", false},
      {"byte fuori trama", Hex("00 01 02"), "3 byte fuori da una trama", false},
      {"messaggio sconosciuto", Trama68331(Pacchetto68331(Hex("41 42"))), "messaggio 41 sconosciuto", false},
      {"avvio malformato", Trama68331(Pacchetto68331(Hex("5a 00 00 01"))), "avvio di 4 byte (attesi 7)", false},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.nome);
    Costruisci();
    ASSERT_EQ(Linea(avvio), richiesta0);
    const Byte b = Linea(c.daPc);
    ASSERT_EQ(Scheda().Anomalie().size(), 1u) << Testo();
    EXPECT_NE(Scheda().Anomalie()[0].find(c.anomalia), std::string::npos) << Scheda().Anomalie()[0];
    EXPECT_EQ(b, c.chiedeDiNuovo ? richiesta0 : Byte{});
    EXPECT_TRUE(Ultimo().dati.empty());
  }
}

TEST_F(Scheda68331, PcCheRispondeAUnaRichiestaDaScartareORifiutare) {
  Guasto68331 g;
  g.tipo = TipoGuasto68331::Controllo;
  g.pacchetto = 1;
  Costruisci({g});
  PcDiProva pc;
  pc.ignoraControllo = true;  // takes the spoiled request for a good one
  pc.immagine = Immagine(300);
  Trasferisci(pc);
  ASSERT_EQ(Scheda().Anomalie().size(), 1u) << Testo();
  EXPECT_EQ(Scheda().Anomalie()[0],
            "il pc ha risposto alla richiesta del pacchetto 1 che doveva scartare (checksum errato)");

  // A PC that sends whatever packet is asked for, in or out of order.
  g.tipo = TipoGuasto68331::FuoriSequenza;
  Costruisci({g});
  PcDiProva pc2;
  pc2.immagine = Immagine(300);
  Byte b = Linea(pc2.Avvio());
  b = Linea(pc2.Ricevi(b));
  ASSERT_EQ(b, Trama68331(Pacchetto68331(Hex("47 00 01 00 00 00 02"))));
  pc2.fatti = pc2.rimanenti = 128;
  EXPECT_TRUE(Linea(pc2.Pacchetto(2)).empty());
  ASSERT_EQ(Scheda().Anomalie().size(), 1u) << Testo();
  EXPECT_EQ(Scheda().Anomalie()[0],
            "il pc ha risposto alla richiesta del pacchetto 2 che doveva rifiutare (fuori sequenza: chiesto 2 invece "
            "di 1)");
  EXPECT_EQ(Ultimo().dati.size(), 128u);  // packet 2 is not taken for packet 1
}

TEST_F(Scheda68331, RipetizioneDiversaDallOriginale) {
  Guasto68331 g;
  g.tipo = TipoGuasto68331::Ripetizione;
  g.pacchetto = 0;
  Costruisci({g});
  PcDiProva pc;
  pc.immagine = Immagine(300);
  Byte b = Linea(pc.Avvio());
  const Byte p0 = pc.Ricevi(b);
  b = Linea(p0);
  ASSERT_EQ(b, Trama68331(Pacchetto68331(Hex("47 00 01 00 00 00 00"))));  // packet 0 again
  // The repetition comes with one data byte changed (and a good checksum).
  Byte msg{0x50, 0x00, 0x01, 0, 0, 0, 0};
  msg.insert(msg.end(), pc.immagine.begin(), pc.immagine.begin() + 128);
  msg[7 + 5] ^= 0x80;
  b = Linea(Trama68331(Pacchetto68331(msg)));
  ASSERT_EQ(Scheda().Anomalie().size(), 1u);
  EXPECT_NE(Scheda().Anomalie()[0].find("la ripetizione del pacchetto 0 differisce"), std::string::npos);
  EXPECT_EQ(b, Trama68331(Pacchetto68331(Hex("47 00 01 00 00 00 01"))));
}

TEST_F(Scheda68331, ResetNuovoAvvioELinea) {
  Costruisci();
  PcDiProva pc;
  pc.immagine = Immagine(300);
  const Byte avvio = pc.Avvio();
  Byte b = Linea(avvio);
  b = Linea(pc.Ricevi(b));
  // A start request in the middle begins again from packet 0.
  EXPECT_EQ(Linea(avvio), Trama68331(Pacchetto68331(Hex("47 00 01 00 00 00 00"))));
  EXPECT_EQ(Scheda().Trasferimenti()[0].esito, "ricominciato");
  // A DTR pulse resets the board: the transfer ends, later packets belong to none.
  macchina->ImpostaDtr(true, ms);
  macchina->ImpostaDtr(false, ms + 100);
  ms += 200;
  EXPECT_EQ(Ultimo().esito, "reset");
  EXPECT_EQ(Scheda().reset, 1);
  EXPECT_EQ(macchina->ProssimaScadenza(), -1);
  EXPECT_TRUE(Linea(pc.Pacchetto(0)).empty());
  EXPECT_NE(Scheda().Anomalie().back().find("fuori da un trasferimento"), std::string::npos);
  // At another baud rate nothing reaches the board.
  macchina->ImpostaBaud(19200, ms);
  EXPECT_TRUE(Linea(avvio).empty());
  EXPECT_NE(Testo().find("persi 14 byte dal pc: linea a 19200, scheda a 38400"), std::string::npos);
  macchina->ImpostaBaud(38400, ms);
  // A frame that arrives one byte at a time is the same frame.
  Byte r;
  for (std::uint8_t x : avvio) {
    const Byte y = Linea({x});
    r.insert(r.end(), y.begin(), y.end());
  }
  EXPECT_EQ(r, Trama68331(Pacchetto68331(Hex("47 00 01 00 00 00 00"))));
}

TEST_F(Scheda68331, TramaInterrottaDaUnaPausa) {
  Costruisci();
  const Byte avvio = Trama68331(Pacchetto68331(Hex("5a 00 00 01 2c 00 80")));
  Linea(Byte(avvio.begin(), avvio.begin() + 6));
  ms += 500;
  EXPECT_TRUE(Linea(Byte(avvio.begin() + 6, avvio.end())).empty());
  EXPECT_NE(Testo().find("trama incompleta scartata dopo una pausa"), std::string::npos);
  EXPECT_FALSE(Linea(avvio).empty());
}

// ---- machine file and dump ---------------------------------------------------

TEST(Descrizione68331, CampiEGuasti) {
  DescrizioneMacchina d;
  std::string errore;
  ASSERT_TRUE(LeggiDescrizione(R"({"schede": [{"tipo": "68331", "nome": "cpu", "codice": "0x0002", "baud": 19200,
      "memoria": {"inizio": "0x100000", "dimensione": 1000}, "attesaMs": 50, "tentativi": 1, "ritardoMs": 3,
      "guasti": [{"tipo": "fuoriSequenza", "pacchetto": 2, "richiesto": 9},
                 {"tipo": "oltreFine", "richieste": 1}, {"tipo": "raffica", "copie": 5, "volte": 2}]}]})",
                               ".", d, errore))
      << errore;
  ASSERT_EQ(d.schede.size(), 1u);
  ASSERT_TRUE(d.schede[0].s68331);
  const Config68331& c = d.schede[0].s68331->config;
  EXPECT_EQ(c.nome, "cpu");
  EXPECT_EQ(c.codice, 0x0002);
  EXPECT_EQ(c.baud, 19200u);
  EXPECT_EQ(c.inizioMemoria, 0x100000u);
  EXPECT_EQ(c.dimensioneMemoria, 1000u);
  EXPECT_EQ(c.attesaMs, 50u);
  EXPECT_EQ(c.tentativi, 1);
  EXPECT_EQ(c.ritardoMs, 3u);
  ASSERT_EQ(c.guasti.size(), 3u);
  EXPECT_EQ(c.guasti[0].tipo, TipoGuasto68331::FuoriSequenza);
  EXPECT_EQ(c.guasti[0].pacchetto, 2);
  EXPECT_EQ(c.guasti[0].richiesto, 9);
  EXPECT_EQ(c.guasti[1].richieste, 1);
  EXPECT_EQ(c.guasti[1].pacchetto, -1);
  EXPECT_EQ(c.guasti[2].copie, 5);
  EXPECT_EQ(c.guasti[2].volte, 2);

  const char* rifiutati[][2] = {
      {R"({"schede": [{"tipo": "68331", "versione": 1}]})", "campo sconosciuto \"versione\""},
      // The board reads back nothing: a stored bit flipped is not one of its faults.
      {R"({"schede": [{"tipo": "68331", "guasti": [{"tipo": "bitInvertito"}]}]})", "tipo sconosciuto \"bitInvertito\""},
      {R"({"schede": [{"tipo": "68331", "guasti": [{"tipo": "nack"}]}]})", "vuole una richiesta"},
      {R"({"schede": [{"tipo": "68331", "guasti": [{"tipo": "nack", "richiesta": "Write"}]}]})",
       "richiesta \"Write\" sconosciuta"},
      {R"({"schede": [{"tipo": "68331", "guasti": [{"tipo": "silenzio", "richiesta": "dati", "pacchetto": 2}]}]})",
       "non prende pacchetto"},
      {R"({"schede": [{"tipo": "68331", "guasti": [{"tipo": "ripetizione", "richiesta": "dati"}]}]})",
       "non prende una richiesta"},
      {R"({"schede": [{"tipo": "68331", "guasti": [{"tipo": "ripetizione", "comando": "Write"}]}]})",
       "campo sconosciuto \"comando\""},
      {R"({"schede": [{"nome": "a"}, {"tipo": "68331", "indirizzoCan": 5}]})", "campo sconosciuto \"indirizzoCan\""},
      {R"({"schede": [{"nome": "a"}, {"tipo": "68331"}]})", "deve essere la prima"},
      {R"({"schede": [{"tipo": "68331"}, {"nome": "b", "indirizzoCan": 5}]})", "l'unica della macchina"},
      {R"({"schede": [{"tipo": "pic"}]})", "tipo sconosciuto \"pic\""},
      {R"({"schede": [{"tipo": "68331", "guasti": [{"tipo": "fuoriSequenza", "pacchetto": 3, "richiesto": 2}]}]})",
       "richiesto"},
  };
  for (const auto& r : rifiutati) {
    SCOPED_TRACE(r[0]);
    std::string e;
    EXPECT_FALSE(LeggiDescrizione(r[0], ".", d, e));
    EXPECT_NE(e.find(r[1]), std::string::npos) << e;
  }
  // A resident-boot board may still say so.
  EXPECT_TRUE(LeggiDescrizione(R"({"schede": [{"tipo": "boot", "nome": "a"}]})", ".", d, errore)) << errore;
  EXPECT_FALSE(d.schede[0].s68331);
}

TEST(Descrizione68331, DumpConLaMemoriaRicevuta) {
  DescrizioneMacchina d;
  std::string errore;
  ASSERT_TRUE(LeggiDescrizione(
      R"({"schede": [{"tipo": "68331", "nome": "cpu", "codice": 1, "memoria": {"inizio": "0x2000"},
          "guasti": [{"tipo": "ripetizione", "pacchetto": 0}]}]})",
      ".", d, errore))
      << errore;
  CMacchinaSim m(std::move(d.schede));
  PcDiProva pc;
  pc.immagine = Immagine(200);
  std::int64_t ms = 0;
  Byte b;
  for (const auto& u : m.DalPc(pc.Avvio().data(), pc.Avvio().size(), ms)) b.insert(b.end(), u.byte.begin(), u.byte.end());
  while (!b.empty() && pc.esito < 0) {
    const Byte r = pc.Ricevi(b);
    b.clear();
    for (const auto& u : m.DalPc(r.data(), r.size(), ++ms)) b.insert(b.end(), u.byte.begin(), u.byte.end());
  }
  ASSERT_EQ(pc.esito, 0);
  std::ostringstream out;
  ScriviDump(m, out);
  const auto j = nlohmann::json::parse(out.str());
  const auto& s = j.at("schede").at(0);
  EXPECT_EQ(s.at("tipo"), "68331");
  EXPECT_EQ(s.at("nome"), "cpu");
  EXPECT_EQ(s.at("anomalie").size(), 0u);
  EXPECT_EQ(s.at("inTrasferimento"), false);
  ASSERT_EQ(s.at("scritti").size(), 1u);
  EXPECT_EQ(s.at("scritti")[0].at("indirizzo"), 0x2000);
  EXPECT_EQ(s.at("scritti")[0].at("lunghezza"), 200);
  std::string hex;
  char c[3];
  for (std::uint8_t x : pc.immagine) {
    std::snprintf(c, sizeof c, "%02x", x);
    hex += c;
  }
  EXPECT_EQ(s.at("scritti")[0].at("dati"), hex);
  const auto& t = s.at("trasferimenti").at(0);
  EXPECT_EQ(t.at("lunghezza"), 200);
  EXPECT_EQ(t.at("dimensionePacchetto"), 128);
  EXPECT_EQ(t.at("ricevuti"), 200);
  EXPECT_EQ(t.at("pacchetti"), 2);
  EXPECT_EQ(t.at("ripetuti"), 1);
  EXPECT_EQ(t.at("pacchettoVuoto"), false);
  EXPECT_EQ(t.at("esito"), "completo");
}

}  // namespace
}  // namespace bricola::sim
