// The key on USB against a scripted HID key: the bytes of every request, how
// replies are taken, the not-ready and repeat rules, and the checks that fail
// before anything reaches the key.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "key/memox_usb.h"
#include "tests/key/finti.h"

namespace bricola {
namespace {

using prova::Byte;
using prova::MettiBe32;
using prova::StatoHid;

// A 32-byte reply with its status word.
Byte Stato(std::uint32_t stato) {
  Byte r(32, 0);
  MettiBe32(r, 0, stato);
  return r;
}

Byte Identita(std::uint32_t stato, std::uint32_t pagina, std::uint32_t pagine) {
  Byte r = Stato(stato);
  MettiBe32(r, 4, 0x00010004);
  MettiBe32(r, 8, pagina);
  MettiBe32(r, 12, pagine);
  return r;
}

// A request of `n` bytes: the words, then the given bytes, zero to the end.
Byte Richiesta(std::size_t n, std::initializer_list<std::uint32_t> parole, const Byte& coda = {}) {
  Byte r(n, 0);
  std::size_t i = 0;
  for (std::uint32_t p : parole) {
    MettiBe32(r, i, p);
    i += 4;
  }
  std::copy(coda.begin(), coda.end(), r.begin() + static_cast<long>(i));
  return r;
}

const Byte kModo = {0x3C, 0x91, 0x7A, 0x0E, 0x55, 0xD2, 0x18, 0x6B};
const Byte kCancellaPagina = {0x9F, 0x24, 0xC3, 0x71, 0x0B, 0x8E, 0x46, 0xD5};
const Byte kCancellaTutto = {0x62, 0xE7, 0x1D, 0xA9, 0x34, 0xF0, 0x8B, 0x5C};
const Byte kNonPronto(kMemoxNonPronto, kMemoxNonPronto + 32);

class MemoxUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    ImpostaApritoreChiaveUsb([this]() -> std::unique_ptr<DispositivoHid> {
      ++richiesteApertura;
      if (!presente) return nullptr;
      return std::make_unique<prova::HidFinto>(stato);
    });
  }
  void TearDown() override { ImpostaApritoreChiaveUsb(nullptr); }

  // Opens the key (mode select answered with success) and forgets that exchange.
  void Apri(std::uint16_t dimensione = 264) {
    stato->Risposta(Stato(0));
    ASSERT_EQ(chiave.Apri(0), 1);
    chiave.ImpostaDimensionePagina(dimensione);
    stato->impostati.clear();
    stato->lettureFatte = 0;
    stato->ordine.clear();
  }

  std::shared_ptr<StatoHid> stato = std::make_shared<StatoHid>();
  bool presente = true;
  int richiesteApertura = 0;
  CMemoxUsb chiave;
};

TEST_F(MemoxUsb, OpenSelectsMode2AndARefusalClosesTheKey) {
  stato->Risposta(Stato(0));
  ASSERT_EQ(chiave.Apri(0), 1);
  EXPECT_TRUE(chiave.Aperta());
  EXPECT_EQ(stato->Richieste(), Richiesta(32, {4, 2}, kModo));
  EXPECT_EQ(stato->lettureFatte, 1);
  for (int id : stato->idReport) EXPECT_EQ(id, 0);
  EXPECT_EQ(chiave.Chiudi(), 1);
  EXPECT_EQ(stato->chiusure, 1);
  EXPECT_EQ(chiave.Chiudi(), 0);

  stato->Risposta(Stato(0x21));
  EXPECT_EQ(chiave.Apri(0), 0);
  EXPECT_FALSE(chiave.Aperta());
  EXPECT_EQ(stato->aperture, stato->chiusure);

  stato->Fallita();
  stato->Fallita();
  EXPECT_EQ(chiave.Apri(0), 0);
  EXPECT_EQ(stato->aperture, stato->chiusure);

  // Only index 0 names the USB key; a missing key fails the open.
  const int prima = richiesteApertura;
  EXPECT_EQ(chiave.Apri(1), 0);
  EXPECT_EQ(chiave.Apri(-1), 0);
  EXPECT_EQ(richiesteApertura, prima);
  presente = false;
  EXPECT_EQ(chiave.Apri(0), 0);
  EXPECT_TRUE(chiave.DriverEsteso());
}

TEST_F(MemoxUsb, IdentifyTurnsTheReplyIntoATypeCode) {
  struct Caso {
    Byte risposta;
    int esito;
    int tipo;
  };
  const Caso casi[] = {
      {Identita(0, 264, 4096), 1, 0x24},  {Identita(0, 528, 4096), 1, 0x2C}, {Identita(0, 528, 8192), 1, 0x34},
      {Identita(0, 264, 8192), 1, 0x28},  {Identita(0, 512, 4096), 1, 0x28}, {Identita(0, 0, 0), 1, 0x28},
      {Identita(0x10, 264, 4096), 1, 0xFF},  // no memory in the key
      {Identita(0x01, 264, 4096), 0, -1},    {Identita(0x11, 264, 4096), 0, -1},
  };
  Apri();
  for (const auto& c : casi) {
    stato->impostati.clear();
    stato->Risposta(c.risposta);
    std::uint8_t tipo = 0x5A;
    EXPECT_EQ(chiave.LeggiTipo(&tipo), c.esito);
    if (c.esito) {
      EXPECT_EQ(tipo, c.tipo);
    }
    EXPECT_EQ(stato->Richieste(), Richiesta(32, {3}));
  }
}

TEST_F(MemoxUsb, RecognitionOfEachKind) {
  struct Caso {
    Byte risposta;
    int kind;
    std::uint16_t dimensione;
    std::uint32_t pagine;
  };
  const Caso casi[] = {
      {Identita(0x10, 0, 0), kChiaveAssente, 264, 4096},
      {Identita(0, 264, 4096), kChiave264x4096, 264, 4096},
      {Identita(0, 528, 4096), kChiave528x4096, 528, 4096},
      {Identita(0, 528, 8192), kChiave528x8192, 528, 8192},
      {Identita(0, 1056, 8192), kChiaveSconosciuta, 264, 4096},
  };
  for (const auto& c : casi) {
    CMemoxUsb k;
    stato->Risposta(Stato(0));
    ASSERT_EQ(k.Apri(0), 1);
    stato->Risposta(c.risposta);
    int kind = -1;
    ASSERT_EQ(k.RiconosciChiave(&kind), 1);
    EXPECT_EQ(kind, c.kind);
    EXPECT_EQ(k.DimensionePagina(), c.dimensione);
    EXPECT_EQ(k.NumeroPagine(), c.pagine);
  }
  // A failed identify is no recognition at all.
  CMemoxUsb k;
  stato->Risposta(Stato(0));
  ASSERT_EQ(k.Apri(0), 1);
  stato->Risposta(Identita(0x02, 264, 4096));
  int kind = -1;
  EXPECT_EQ(k.RiconosciChiave(&kind), 0);
}

// One page operation: the request it must send, the reply it gets, the outcome.
struct CasoPagina {
  const char* nome;
  std::uint16_t dimensione;
  std::function<int(CMemoxUsb&, Byte& letto)> operazione;
  Byte richiesta;
  Byte risposta;
  int esito;
  Byte letto;  // what a read must have copied
};

Byte Pagina(std::size_t n, std::uint8_t seme) {
  Byte b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seme + i * 7);
  return b;
}

Byte RispostaLettura(std::uint32_t stato, std::uint16_t dimensione, const Byte& pagina) {
  Byte r((dimensione + 4 + 31) / 32 * 32, 0);
  MettiBe32(r, 0, stato);
  std::copy(pagina.begin(), pagina.end(), r.begin() + 4);
  return r;
}

TEST_F(MemoxUsb, PageRequestsAndTheirReplies) {
  const Byte p264 = Pagina(264, 3);
  const Byte p528 = Pagina(528, 9);
  auto scrittura = [](std::size_t n, std::uint32_t pagina, const Byte& dati) { return Richiesta(n, {0x20, pagina}, dati); };
  const CasoPagina casi[] = {
      {"erase", 264, [](CMemoxUsb& k, Byte&) { return k.CancellaPagina(0x1234); },
       Richiesta(32, {0x10, 0x1234}, kCancellaPagina), Stato(0), 1, {}},
      {"erase refused", 264, [](CMemoxUsb& k, Byte&) { return k.CancellaPagina(7); },
       Richiesta(32, {0x10, 7}, kCancellaPagina), Stato(6), 0, {}},
      {"write 264", 264, [&](CMemoxUsb& k, Byte&) { return k.ScriviPagina(4095, 0, p264.data(), 264); },
       scrittura(288, 4095, p264), Stato(0), 1, {}},
      {"write short: the rest of the page is zeros", 264,
       [&](CMemoxUsb& k, Byte&) { return k.ScriviPagina(2, 0, p264.data(), 10); },
       scrittura(288, 2, Byte(p264.begin(), p264.begin() + 10)), Stato(0), 1, {}},
      {"write 528", 528, [&](CMemoxUsb& k, Byte&) { return k.ScriviPagina(8191, 0, p528.data(), 528); },
       scrittura(544, 8191, p528), Stato(0), 1, {}},
      {"write refused", 264, [&](CMemoxUsb& k, Byte&) { return k.ScriviPagina(1, 0, p264.data(), 264); },
       scrittura(288, 1, p264), Stato(5), 0, {}},
      {"read page", 264,
       [](CMemoxUsb& k, Byte& l) { l.assign(20, 0); return k.LeggiPagina(3, 10, l.data(), 20); },
       Richiesta(32, {0x30, 3}), RispostaLettura(0, 264, p264), 1, Byte(p264.begin() + 10, p264.begin() + 30)},
      {"read range to the page end", 264,
       [](CMemoxUsb& k, Byte& l) { l.assign(64, 0); return k.LeggiIntervallo(9, 200, l.data(), 64); },
       Richiesta(32, {0x30, 9}), RispostaLettura(0, 264, p264), 1, Byte(p264.begin() + 200, p264.end())},
      {"read 528", 528,
       [](CMemoxUsb& k, Byte& l) { l.assign(528, 0); return k.LeggiPagina(8000, 0, l.data(), 528); },
       Richiesta(32, {0x30, 8000}), RispostaLettura(0, 528, p528), 1, p528},
      {"read refused", 264,
       [](CMemoxUsb& k, Byte& l) { l.assign(4, 0); return k.LeggiIntervallo(3, 0, l.data(), 4); },
       Richiesta(32, {0x30, 3}), RispostaLettura(2, 264, p264), 0, {}},
  };
  for (const auto& c : casi) {
    SCOPED_TRACE(c.nome);
    CMemoxUsb k;
    stato->Risposta(Stato(0));
    ASSERT_EQ(k.Apri(0), 1);
    k.ImpostaDimensionePagina(c.dimensione);
    stato->impostati.clear();
    stato->lettureFatte = 0;
    stato->Risposta(c.risposta);
    Byte letto;
    EXPECT_EQ(c.operazione(k, letto), c.esito);
    EXPECT_EQ(stato->Richieste(), c.richiesta);
    EXPECT_EQ(stato->lettureFatte, static_cast<int>(c.risposta.size() / 32));
    EXPECT_TRUE(stato->letture.empty());
    if (c.esito && !c.letto.empty()) {
      EXPECT_EQ(letto, c.letto);
    }
  }
}

TEST_F(MemoxUsb, LengthsBeyondThePageFailWithoutARequest) {
  Apri(264);
  std::uint8_t b[600] = {};
  EXPECT_EQ(chiave.LeggiPagina(0, 200, b, 100), 0);
  EXPECT_EQ(chiave.LeggiIntervallo(0, 200, b, 65), 0);
  EXPECT_EQ(chiave.LeggiPagina(0, 0, b, 265), 0);
  EXPECT_EQ(chiave.ScriviPagina(0, 0, b, 265), 0);
  // The write request has no offset: data at another offset would land at the page start.
  EXPECT_EQ(chiave.ScriviPagina(0, 1, b, 10), 0);
  EXPECT_TRUE(stato->impostati.empty());
  EXPECT_EQ(stato->lettureFatte, 0);
  // The same read fits a 528-byte page.
  chiave.ImpostaDimensionePagina(528);
  stato->Risposta(RispostaLettura(0, 528, Pagina(528, 1)));
  EXPECT_EQ(chiave.LeggiPagina(0, 200, b, 100), 1);
}

TEST_F(MemoxUsb, EveryRequestOnAClosedKeyFailsAtOnce) {
  std::uint8_t b[264] = {};
  std::uint8_t tipo = 0;
  EXPECT_EQ(chiave.LeggiTipo(&tipo), 0);
  EXPECT_EQ(chiave.LeggiPagina(0, 0, b, 1), 0);
  EXPECT_EQ(chiave.LeggiIntervallo(0, 0, b, 1), 0);
  EXPECT_EQ(chiave.ScriviPagina(0, 0, b, 1), 0);
  EXPECT_EQ(chiave.CancellaPagina(0), 0);
  EXPECT_EQ(richiesteApertura, 0);
}

TEST_F(MemoxUsb, WholeKeyEraseOpensAHandleOfItsOwn) {
  stato->Risposta(Stato(0));
  EXPECT_EQ(chiave.CancellaTutto(), 1);
  EXPECT_EQ(stato->Richieste(), Richiesta(32, {0xF0}, kCancellaTutto));
  EXPECT_EQ(stato->aperture, 1);
  EXPECT_EQ(stato->chiusure, 1);
  EXPECT_FALSE(chiave.Aperta());

  // With the key open the erase still goes on its own handle, the open one stays.
  Apri();
  stato->Risposta(Stato(6));
  EXPECT_EQ(chiave.CancellaTutto(), 0);
  EXPECT_EQ(stato->aperture, 3);
  EXPECT_EQ(stato->chiusure, 2);
  EXPECT_TRUE(chiave.Aperta());
  presente = false;
  EXPECT_EQ(chiave.CancellaTutto(), 0);
}

// The exchange on its own: the script of reads and what must happen.
struct CasoScambio {
  const char* nome;
  std::size_t n, m;
  std::vector<StatoHid::Lettura> letture;
  int impostaFallisceDa;
  int esito;
  std::string ordine;  // S for a piece sent, G for a read
  Byte risposta;       // the first 32 bytes taken as the reply
};

TEST(MemoxUsbScambio, NotReadyAndRepeatRules) {
  const Byte a = Stato(0xA), b = Stato(0xB), c = Stato(0xC);
  const StatoHid::Lettura no{false, {}};
  auto si = [](const Byte& d) { return StatoHid::Lettura{true, d}; };
  const CasoScambio casi[] = {
      {"plain", 32, 32, {si(a)}, -1, 1, "SG", a},
      {"two-piece request, three-piece reply", 64, 96, {si(a), si(b), si(c)}, -1, 1, "SSGGG", a},
      {"a failed read is read again, then the whole exchange is repeated", 32, 32, {no, si(a), si(b)}, -1, 1,
       "SGGSG", b},
      {"two failed reads fail the exchange", 32, 32, {no, no, si(a)}, -1, 0, "SGG", {}},
      {"not ready: one more read, then the exchange once more", 32, 32, {si(kNonPronto), si(a), si(b)}, -1, 1,
       "SGGSG", b},
      {"not ready in both rounds: the pattern is the reply", 32, 32,
       {si(kNonPronto), si(kNonPronto), si(kNonPronto), si(kNonPronto)}, -1, 1, "SGGSGG", kNonPronto},
      {"not ready in the second round: its extra read is the reply", 32, 32,
       {si(kNonPronto), si(a), si(kNonPronto), si(b)}, -1, 1, "SGGSGG", b},
      {"a failed read in the second round is read again and no third round", 32, 32,
       {no, si(a), no, si(b)}, -1, 1, "SGGSGG", b},
      {"two failed reads in the second round", 32, 32, {no, si(a), no, no}, -1, 0, "SGGSGG", {}},
      {"the extra read after not ready fails", 32, 32, {si(kNonPronto), no}, -1, 0, "SGG", {}},
      {"a failed piece stops the sending, the reply is still read", 96, 32, {si(a)}, 1, 1, "SSG", a},
      {"a later piece of the reply fails", 32, 64, {si(a), no}, -1, 0, "SGG", {}},
      {"not ready, then a long reply", 32, 64, {si(kNonPronto), si(a), si(b), si(c)}, -1, 1, "SGGSGG", b},
      {"request not a multiple of 32", 33, 32, {si(a)}, -1, 0, "", {}},
      {"reply not a multiple of 32", 32, 48, {si(a)}, -1, 0, "", {}},
      {"empty request", 0, 32, {si(a)}, -1, 0, "", {}},
  };
  for (const auto& k : casi) {
    SCOPED_TRACE(k.nome);
    auto s = std::make_shared<StatoHid>();
    s->letture.assign(k.letture.begin(), k.letture.end());
    s->impostaFallisceDa = k.impostaFallisceDa;
    prova::HidFinto d(s);
    Byte richiesta(k.n);
    for (std::size_t i = 0; i < k.n; ++i) richiesta[i] = static_cast<std::uint8_t>(i);
    Byte risposta(k.m + 32, 0xEE);
    EXPECT_EQ(CMemoxUsb::Transazione(d, richiesta.data(), k.n, risposta.data(), k.m), k.esito);
    EXPECT_EQ(s->ordine, k.ordine);
    if (k.esito) {
      EXPECT_EQ(Byte(risposta.begin(), risposta.begin() + 32), k.risposta);
      EXPECT_EQ(risposta[k.m], 0xEE);  // nothing written past the reply
    }
    // Every piece that went out is the request's own, in order, round after round.
    for (std::size_t i = 0; i < s->impostati.size(); ++i) {
      const std::size_t pezzo = (i * 32) % std::max<std::size_t>(k.n, 32);
      EXPECT_EQ(s->impostati[i], Byte(richiesta.begin() + static_cast<long>(pezzo), richiesta.begin() + static_cast<long>(pezzo + 32)));
    }
  }
}

TEST_F(MemoxUsb, AKeyThatStaysNotReadyFailsTheStatusCheck) {
  Apri();
  for (int i = 0; i < 4; ++i) stato->Risposta(kNonPronto);
  std::uint8_t tipo = 0;
  EXPECT_EQ(chiave.LeggiTipo(&tipo), 0);
  EXPECT_EQ(stato->ordine, "SGGSGG");
  // Not ready once: the request goes twice and the second reply counts.
  stato->ordine.clear();
  stato->impostati.clear();
  stato->Risposta(kNonPronto);
  stato->Risposta(Stato(0x55));  // the late reply of the first round
  stato->Risposta(Stato(0));
  EXPECT_EQ(chiave.CancellaPagina(3), 1);
  const Byte una = Richiesta(32, {0x10, 3}, kCancellaPagina);
  Byte dueVolte = una;
  dueVolte.insert(dueVolte.end(), una.begin(), una.end());
  EXPECT_EQ(stato->Richieste(), dueVolte);
}

}  // namespace
}  // namespace bricola
