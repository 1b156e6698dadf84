// The simulated machine driven directly with hand-built frames, as a PC sends them.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <vector>

#include "sim/descrizione_sim.h"
#include "sim/macchina_sim.h"

namespace bricola::sim {
namespace {

using Byte = std::vector<std::uint8_t>;

Byte ConControllo(Byte r) {
  AggiungiControlloRichiesta(r);
  return r;
}

Byte Risposta(Byte r) {
  AggiungiControlloRisposta(r);
  return r;
}

// Blank and Erase: one extra copy of the command byte before the checked frame.
Byte Doppia(std::uint8_t cmd, std::uint8_t stato) {
  Byte r = Risposta({cmd, stato});
  r.insert(r.begin(), cmd);
  return r;
}

CSchedaSim Scheda(const char* nome, std::uint16_t codice, std::uint16_t can, std::uint8_t versione = 0x68,
                  std::uint8_t micro = 1) {
  ConfigScheda c;
  c.nome = nome;
  c.codice = codice;
  c.indirizzoCan = can;
  c.versione = versione;
  c.tipoMicro = micro;
  c.codiceBuffer = 0xA0;  // 512 bytes
  CFlashSim f;
  f.CaricaPreset("M256");
  f.AggiungiRegione(0x000000, 0x20000, {{0x10000, 2}});
  f.ImpostaAllineamento(2);
  return CSchedaSim(c, std::move(f));
}

class MacchinaSim : public ::testing::Test {
 protected:
  void Costruisci(std::vector<CSchedaSim> schede, OpzioniLinea op = {}) {
    macchina = std::make_unique<CMacchinaSim>(std::move(schede), op);
    macchina->ImpostaTrascrizione(&trascrizione);
  }
  void SetUp() override {
    std::vector<CSchedaSim> s;
    s.push_back(Scheda("locale", 0x1234, 0x0100));
    s.push_back(Scheda("remota", 0x2001, 0x0482, 0x67));
    s.push_back(Scheda("micro9", 0x3001, 0x0490, 0x68, 9));
    Costruisci(std::move(s));
  }
  // Raw bytes from the PC at the current time; everything the boards send back.
  Byte Grezzo(const Byte& b) {
    Byte r;
    for (const auto& u : macchina->DalPc(b.data(), b.size(), ms)) r.insert(r.end(), u.byte.begin(), u.byte.end());
    ms += 1;
    return r;
  }
  Byte Invia(const Byte& campi) { return Grezzo(ConControllo(campi)); }
  void ImpulsoDtr(bool conRts = false) {
    macchina->ImpostaRts(conRts, ms);
    macchina->ImpostaDtr(true, ms);
    ms += 600;
    macchina->ImpostaDtr(false, ms);
    ms += 400;
  }

  std::ostringstream testoTrascrizione;
  CTrascrizione trascrizione{&testoTrascrizione, 0};
  std::unique_ptr<CMacchinaSim> macchina;
  std::int64_t ms = 1000;
};

TEST_F(MacchinaSim, GetFirmaOnTheWire) {
  const Byte r = Grezzo({0xF3, 0x60, 0x03, 0x18});
  EXPECT_EQ(r, (Byte{0xF3, 0x34, 0x12, 0x91, 0xCA}));
  EXPECT_TRUE(RispostaValida(r, 0xF3));
  EXPECT_NE(testoTrascrizione.str().find("-> locale GetFirma: f3 60 03 18"), std::string::npos);
  EXPECT_NE(testoTrascrizione.str().find("<- locale GetFirma: f3 34 12 91 ca"), std::string::npos);
}

TEST_F(MacchinaSim, IdentificationReplies) {
  EXPECT_EQ(Grezzo({0xFB, 0x60, 0x03, 0x1C}), Risposta({0xFB, 0x68}));
  EXPECT_EQ(Invia({0xF7, 0x03}), Risposta({0xF7, 0x01}));
  EXPECT_EQ(Invia({0xF7, 0x04}), Risposta({0xF7, 0x01}));
  EXPECT_EQ(Grezzo({0xFE, 0xC0, 0x03, 0x1C}), Risposta({0xFE, 0xA0}));
  EXPECT_EQ(Grezzo({0xF4, 0x80, 0x03, 0x18}), Risposta({0xF4, 0x00}));
  EXPECT_TRUE(macchina->Scheda(0).fineRicevuto);
}

TEST_F(MacchinaSim, SetRemotoForwardsToTheAddressedBoard) {
  EXPECT_EQ(Grezzo({0xFA, 0x82, 0x04, 0xFF, 0x01, 0x00}), Risposta({0xFA, 0x00}));
  EXPECT_EQ(macchina->Destinatario(), 1u);
  EXPECT_EQ(Invia({0xF3}), Risposta({0xF3, 0x01, 0x20})) << "the remote board's machine code";
  EXPECT_EQ(Invia({0xFB}), Risposta({0xFB, 0x67}));
  EXPECT_EQ(Invia({0xFC}), Risposta({0xFC, 0x00})) << "a remote board reboots into its boot";
  EXPECT_EQ(macchina->Scheda(1).reset, 1);

  // Unknown address: NACK, the target stays.
  EXPECT_EQ(Invia({0xFA, 0x99, 0x09}), Byte{0xF9});
  EXPECT_EQ(macchina->Destinatario(), 1u);
  // Address 0 and the local board's own address both mean the local board,
  // which ignores the reboot.
  for (std::uint16_t a : {0x0000, 0x0100}) {
    EXPECT_EQ(Invia({0xFA, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8)}), Risposta({0xFA, 0x00}));
    EXPECT_EQ(Invia({0xFC}), Risposta({0xFC, 0xFE}));
  }
}

TEST_F(MacchinaSim, WriteBlankEraseReadOnTheLocalBoard) {
  const Byte scrittura = ConControllo({0xED, 0x00, 0xFF, 0x00, 0x04, 0x00, 0x11, 0x22, 0x33, 0x44});
  ASSERT_EQ(scrittura.size(), 13u);
  // The sector is blank: the doubled first byte, FF, and the check over EC FF.
  EXPECT_EQ(Invia({0xEC, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0x00}), (Byte{0xEC, 0xEC, 0xFF, 0x7F, 0x1D}));
  EXPECT_EQ(Grezzo(scrittura), Risposta({0xED, 0x00}));
  EXPECT_EQ(macchina->Scheda(0).flash.Leggi(0x00FF02), 0x33);
  EXPECT_EQ(Invia({0xF2, 0x00, 0xFF, 0x00, 0x05, 0x00}), Risposta({0xF2, 0x11, 0x22, 0x33, 0x44, 0xFF}));
  // Not blank any more.
  Byte blank = Invia({0xEC, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0x00});
  EXPECT_EQ(blank, Doppia(0xEC, 0x00));
  EXPECT_TRUE(RispostaValida(Byte(blank.begin() + 1, blank.end()), 0xEC));
  // Erase the sector, with the doubled first byte, then it is blank again.
  EXPECT_EQ(Invia({0xEE, 0x34, 0x12, 0x00}), (Byte{0xEE, 0xEE, 0x00, 0xC0, 0x1D}));
  EXPECT_EQ(Invia({0xEC, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0x00}), (Byte{0xEC, 0xEC, 0xFF, 0x7F, 0x1D}));
}

TEST_F(MacchinaSim, ProtectedSectorsBootAreaAndWriteErrors) {
  // The boot's top sector: Erase FD, Write FD.
  EXPECT_EQ(Invia({0xEE, 0x00, 0xC0, 0xFF}), Doppia(0xEE, 0xFD));
  EXPECT_EQ(Invia({0xED, 0x00, 0xC0, 0xFF, 0x02, 0x00, 0x00, 0x00}), Risposta({0xED, 0xFD}));
  // Outside the flash, odd length, a 1 over a 0: status 01.
  EXPECT_EQ(Invia({0xED, 0x00, 0x00, 0x50, 0x02, 0x00, 0x00, 0x00}), Risposta({0xED, 0x01}));
  EXPECT_EQ(Invia({0xED, 0x00, 0x00, 0xFC, 0x01, 0x00, 0x00}), Risposta({0xED, 0x01}));
  EXPECT_EQ(Invia({0xED, 0x00, 0x00, 0xFC, 0x02, 0x00, 0x0F, 0x0F}), Risposta({0xED, 0x00}));
  EXPECT_EQ(Invia({0xED, 0x00, 0x00, 0xFC, 0x02, 0x00, 0xF0, 0xF0}), Risposta({0xED, 0x01}));
  EXPECT_EQ(Invia({0xEE, 0x00, 0x00, 0x50}), Doppia(0xEE, 0x01));
}

TEST_F(MacchinaSim, FourByteAddressesOnMicroType9) {
  ASSERT_EQ(Invia({0xFA, 0x90, 0x04}), Risposta({0xFA, 0x00}));
  EXPECT_EQ(Invia({0xF7, 0x03}), Risposta({0xF7, 0x09}));
  const Byte scrittura = ConControllo({0xED, 0x00, 0xFF, 0x00, 0x00, 0x04, 0x00, 0x11, 0x22, 0x33, 0x44});
  ASSERT_EQ(scrittura.size(), 14u);
  EXPECT_EQ(Grezzo(scrittura), Risposta({0xED, 0x00}));
  EXPECT_EQ(macchina->Scheda(2).flash.Leggi(0x00FF03), 0x44);
  EXPECT_EQ(macchina->Scheda(0).flash.Leggi(0x00FF03), 0xFF);
  EXPECT_EQ(Invia({0xF2, 0x00, 0xFF, 0x00, 0x00, 0x02, 0x00}), Risposta({0xF2, 0x11, 0x22}));
}

TEST_F(MacchinaSim, BadCheckNacksAndUnknownCommandIsNotHandled) {
  EXPECT_EQ(Grezzo({0xF3, 0x60, 0x03, 0x19}), Byte{0xF9});
  EXPECT_EQ(Grezzo({0x42, 0x01, 0x02}), Risposta({0xF7, 0xFF}));
  // The rest of the unknown request's burst is dropped; after a pause the board listens again.
  ms += 200;
  EXPECT_EQ(Grezzo({0xF3, 0x60, 0x03, 0x18}), (Byte{0xF3, 0x34, 0x12, 0x91, 0xCA}));
  EXPECT_EQ(Invia({0xF7, 0x42}), Risposta({0xF7, 0xFF}));
}

TEST_F(MacchinaSim, CommandsNewerThanTheBootAreNotHandled) {
  std::vector<CSchedaSim> s;
  s.push_back(Scheda("vecchio", 0x0013, 0, 0x52));
  Costruisci(std::move(s));
  const Byte nonGestito = Risposta({0xF7, 0xFF});
  EXPECT_EQ(Invia({0xF7, 0x03}), nonGestito);
  EXPECT_EQ(Invia({0xF7, 0x04}), nonGestito);
  EXPECT_EQ(Invia({0xF7, 0x05, 0x01}), nonGestito);
  EXPECT_EQ(Invia({0xF7, 0x06, 0x00, 0x00, 0xFC}), nonGestito);
  EXPECT_EQ(macchina->BaudLocale(), 38400u);
}

TEST_F(MacchinaSim, SpeedSwitchHappensAfterTheReply) {
  EXPECT_EQ(Invia({0xF7, 0x05, 0x01}), Risposta({0xF7, 0x00})) << "the reply still leaves at 38400";
  EXPECT_EQ(macchina->BaudLocale(), 115200u);
  // The PC has not followed yet: its request is lost.
  EXPECT_TRUE(Invia({0xF3}).empty());
  macchina->ImpostaBaud(115200, ms);
  EXPECT_EQ(Invia({0xF3}), (Byte{0xF3, 0x34, 0x12, 0x91, 0xCA}));
  // A DTR reset brings the boot back to 38400.
  ImpulsoDtr();
  EXPECT_EQ(macchina->BaudLocale(), 38400u);
  EXPECT_TRUE(Invia({0xF3}).empty());
  macchina->ImpostaBaud(38400, ms);
  EXPECT_EQ(Invia({0xF3}).size(), 5u);
}

TEST_F(MacchinaSim, BootWithoutFastSpeedRefusesIt) {
  macchina->Scheda(0).config.velocitaMassima = 0xFF;
  EXPECT_EQ(Invia({0xF7, 0x04}), Risposta({0xF7, 0xFF}));
  EXPECT_EQ(Invia({0xF7, 0x05, 0x01}), Risposta({0xF7, 0x01}));
  EXPECT_EQ(macchina->BaudLocale(), 38400u);
}

TEST_F(MacchinaSim, ByteAtTheWrongBaudIsLost) {
  // The first two bytes arrive, the third is sent at 9600 and lost, the last
  // comes back at 38400: the board holds F3 60 18 and waits for one more.
  EXPECT_TRUE(Grezzo({0xF3, 0x60}).empty());
  macchina->ImpostaBaud(9600, ms);
  EXPECT_TRUE(Grezzo({0x03}).empty());
  macchina->ImpostaBaud(38400, ms);
  EXPECT_TRUE(Grezzo({0x18}).empty());
  EXPECT_NE(testoTrascrizione.str().find("persi 1 byte dal pc: linea a 9600, scheda a 38400"), std::string::npos);
  // After the PC's timeout the half request is dropped and a retry works.
  ms += 1000;
  EXPECT_EQ(Grezzo({0xF3, 0x60, 0x03, 0x18}), (Byte{0xF3, 0x34, 0x12, 0x91, 0xCA}));
  EXPECT_NE(testoTrascrizione.str().find("richiesta incompleta scartata: f3 60 18"), std::string::npos);
  // A whole request at the wrong baud, or with another frame format, gets nothing at all.
  macchina->ImpostaBaud(57600, ms);
  EXPECT_TRUE(Grezzo({0xF3, 0x60, 0x03, 0x18}).empty());
  macchina->ImpostaBaud(38400, ms);
  macchina->ImpostaParita(3, ms);
  EXPECT_TRUE(Grezzo({0xF3, 0x60, 0x03, 0x18}).empty());
  macchina->ImpostaParita(1, ms);
  macchina->ImpostaBitStop(2, ms);
  ms += 1000;
  EXPECT_EQ(Grezzo({0xF3, 0x60, 0x03, 0x18}).size(), 5u) << "a second stop bit does not matter";
}

TEST_F(MacchinaSim, WrongBaudAsGarbageIsReproducible) {
  auto prova = [&] {
    std::vector<CSchedaSim> s;
    s.push_back(Scheda("locale", 0x1234, 0));
    OpzioniLinea op;
    op.spazzatura = true;
    op.seme = 7;
    Costruisci(std::move(s), op);
    macchina->ImpostaBaud(9600, ms);
    Byte r = Grezzo({0xF3, 0x60, 0x03, 0x18});
    ms += 1000;
    macchina->ImpostaBaud(38400, ms);
    const Byte dopo = Grezzo({0xF3, 0x60, 0x03, 0x18});
    r.insert(r.end(), dopo.begin(), dopo.end());
    return r;
  };
  const Byte prima = prova();
  EXPECT_EQ(prima, prova());
  ASSERT_GE(prima.size(), 5u);
  EXPECT_EQ(Byte(prima.end() - 5, prima.end()), (Byte{0xF3, 0x34, 0x12, 0x91, 0xCA}))
      << "the board recovers after the garbage";
}

TEST_F(MacchinaSim, DtrPulseResetsIntoTheBootAndRtsSelectsTheRomBootstrap) {
  macchina->Scheda(0).modo = ModoScheda::Applicazione;
  EXPECT_TRUE(Invia({0xF3}).empty()) << "the application does not speak the boot protocol";
  // Asserting DTR alone changes nothing; the reset comes with its end.
  macchina->ImpostaDtr(true, ms);
  EXPECT_TRUE(Invia({0xF3}).empty());
  ms += 600;
  macchina->ImpostaDtr(false, ms);
  EXPECT_EQ(Invia({0xF3}).size(), 5u);
  EXPECT_EQ(macchina->Scheda(0).reset, 1);

  ASSERT_EQ(Invia({0xFA, 0x82, 0x04}), Risposta({0xFA, 0x00}));
  ImpulsoDtr();
  EXPECT_EQ(macchina->Destinatario(), 0u) << "after a reset the local board is addressed";

  ImpulsoDtr(true);
  EXPECT_EQ(macchina->Scheda(0).modo, ModoScheda::Bootstrap);
  EXPECT_TRUE(Invia({0xF3}).empty());
  ImpulsoDtr(false);
  EXPECT_EQ(Invia({0xF3}).size(), 5u);
}

TEST_F(MacchinaSim, RemoteBoardInItsApplicationOnlyAnswersReboot) {
  macchina->Scheda(1).modo = ModoScheda::Applicazione;
  ASSERT_EQ(Invia({0xFA, 0x82, 0x04}), Risposta({0xFA, 0x00}));
  EXPECT_TRUE(Invia({0xF3}).empty());
  EXPECT_EQ(Invia({0xFC}), Risposta({0xFC, 0x00}));
  EXPECT_EQ(Invia({0xF3}), Risposta({0xF3, 0x01, 0x20}));
}

TEST_F(MacchinaSim, LunBufSizeCodesAndPacketLimits) {
  struct Caso {
    std::uint8_t codice;
    std::uint32_t byte;
  };
  for (const Caso& c : {Caso{0x80, 128}, Caso{0x81, 16}, Caso{0xFF, 2032}, Caso{0x40, 64}, Caso{0xA0, 512}}) {
    CSchedaSim s;
    s.config.codiceBuffer = c.codice;
    EXPECT_EQ(s.BufferByte(), c.byte) << static_cast<int>(c.codice);
  }
  macchina->Scheda(0).config.codiceBuffer = 0x80;  // 128 bytes
  EXPECT_EQ(Invia({0xFE}), (Byte{0xFE, 0x80, 0x40, 0x1F}));
  // 116 data bytes make a 125-byte Write: fits. 120 make 129: refused.
  Byte w = {0xED, 0x00, 0x00, 0xFC, 116, 0x00};
  w.resize(w.size() + 116, 0xA5);
  EXPECT_EQ(Invia(w), Risposta({0xED, 0x00}));
  Byte troppo = {0xED, 0x00, 0x00, 0xFD, 120, 0x00};
  troppo.resize(troppo.size() + 120, 0xA5);
  EXPECT_EQ(Invia(troppo), Byte{0xF9});
  EXPECT_EQ(Invia({0xF2, 0x00, 0x00, 0xFC, 125, 0x00}).size(), 128u);
  EXPECT_EQ(Invia({0xF2, 0x00, 0x00, 0xFC, 126, 0x00}), Byte{0xF9});
}

TEST_F(MacchinaSim, ModoDatiAndCodiceBindingAUniversalBoot) {
  EXPECT_EQ(Invia({0xF7, 0x00}), Risposta({0xF7, 0x00}));
  EXPECT_TRUE(macchina->Scheda(0).modoDatiAttivo);
  macchina->Scheda(1).config.modoDati = false;
  ASSERT_EQ(Invia({0xFA, 0x82, 0x04}), Risposta({0xFA, 0x00}));
  EXPECT_EQ(Invia({0xF7, 0x00}), Risposta({0xF7, 0x01}));

  // The remote board is universal: Codice binds it to the machine code and CAN address.
  macchina->Scheda(1).config.codice = 0xFFFF;
  EXPECT_EQ(Invia({0xF3}), Risposta({0xF3, 0xFF, 0xFF}));
  EXPECT_EQ(Invia({0xF7, 0x02, 0x34, 0x12, 0x85, 0x04, 0x00, 0x00}), Risposta({0xF7, 0x00}));
  EXPECT_EQ(Invia({0xF3}), Risposta({0xF3, 0x34, 0x12}));
  EXPECT_EQ(macchina->Scheda(1).config.indirizzoCan, 0x0485);
  // Once bound, another machine code is refused.
  EXPECT_EQ(Invia({0xF7, 0x02, 0x35, 0x12, 0x85, 0x04, 0x00, 0x00}), Risposta({0xF7, 0x01}));
  EXPECT_EQ(Invia({0xFA, 0x85, 0x04}), Risposta({0xFA, 0x00})) << "reachable at its new address";
  EXPECT_EQ(Invia({0xFA, 0x82, 0x04}), Byte{0xF9}) << "no longer at the old one";
}

TEST_F(MacchinaSim, FlashTypeAndFlashBlocco) {
  std::vector<SerieSettori> etop;
  SerieDaNome("ETop", etop);
  ChipEsterno chip;
  chip.base = 0x600000;
  ASSERT_TRUE(macchina->Scheda(0).flash.AggiungiChip(chip, etop));
  const Byte q = Invia({0xF8, 0x00, 0x00, 0x60, 32, 0x00, 45});
  ASSERT_EQ(q.size(), 48u);
  EXPECT_TRUE(RispostaValida(q, 0xF8));
  EXPECT_EQ((Byte{q[1], q[2], q[3]}), (Byte{'Q', 'R', 'Y'}));
  EXPECT_EQ(q[24], 21) << "2 MB";
  const Byte p = Invia({0xF8, 0x00, 0x00, 0x60, 128, 0x00, 32});
  ASSERT_EQ(p.size(), 35u);
  EXPECT_EQ((Byte{p[1], p[2], p[3]}), (Byte{'P', 'R', 'I'}));

  // The block around an address is its sector; no flash gives start = end.
  Byte b = Invia({0xF7, 0x06, 0x00, 0x80, 0xFC});
  ASSERT_EQ(b.size(), 13u);
  EXPECT_TRUE(RispostaValida(b, 0xF7));
  EXPECT_EQ((Byte(b.begin() + 1, b.begin() + 9)), (Byte{0x00, 0x00, 0xFC, 0x00, 0x00, 0x00, 0xFD, 0x00}));
  b = Invia({0xF7, 0x06, 0x00, 0x00, 0x30});
  ASSERT_EQ(b.size(), 13u);
  EXPECT_EQ((Byte(b.begin() + 1, b.begin() + 9)), Byte(8, 0x00));
  b = Invia({0xF7, 0x06, 0x34, 0x12, 0x7F});
  // ETop on 2 MB: 31 sectors of 64 KB up to 0x7F0000, then a 32 KB sector.
  EXPECT_EQ((Byte(b.begin() + 1, b.begin() + 9)), (Byte{0x00, 0x00, 0x7F, 0x00, 0x00, 0x80, 0x7F, 0x00}));
}

class GuastiSim : public MacchinaSim {
 protected:
  void Aggiungi(TipoGuasto tipo, Comando c, int volte) {
    Guasto g;
    g.tipo = tipo;
    g.comando = c;
    g.volte = volte;
    macchina->Scheda(0).config.guasti.push_back(g);
  }
};

TEST_F(GuastiSim, NackAndCorruptedCheckForTheFirstRequests) {
  Aggiungi(TipoGuasto::Nack, Comando::GetFirma, 2);
  Aggiungi(TipoGuasto::Controllo, Comando::GetVersione, 1);
  EXPECT_EQ(Invia({0xF3}), Byte{0xF9});
  EXPECT_EQ(Invia({0xF3}), Byte{0xF9});
  EXPECT_EQ(Invia({0xF3}).size(), 5u);
  const Byte corrotta = Invia({0xFB});
  ASSERT_EQ(corrotta.size(), 4u);
  EXPECT_FALSE(RispostaValida(corrotta, 0xFB));
  EXPECT_TRUE(RispostaValida(Invia({0xFB}), 0xFB));
}

TEST_F(GuastiSim, SilenceNotHandledAndStatus) {
  Aggiungi(TipoGuasto::Silenzio, Comando::LunBuf, -1);
  Aggiungi(TipoGuasto::NonGestito, Comando::Read, 1);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Invia({0xFE}).empty());
  EXPECT_EQ(Invia({0xF2, 0x00, 0x00, 0xFC, 46, 0x00}), Risposta({0xF7, 0xFF}));
  EXPECT_EQ(Invia({0xF2, 0x00, 0x00, 0xFC, 46, 0x00}).size(), 49u);

  Guasto stato;
  stato.tipo = TipoGuasto::Stato;
  stato.comando = Comando::Reboot;
  stato.stato = 0x05;
  macchina->Scheda(1).config.guasti.push_back(stato);
  Guasto blank = stato;
  blank.comando = Comando::Blank;
  blank.stato = 0x00;
  blank.volte = 1;
  macchina->Scheda(1).config.guasti.push_back(blank);
  ASSERT_EQ(Invia({0xFA, 0x82, 0x04}), Risposta({0xFA, 0x00}));
  EXPECT_EQ(Invia({0xFC}), Risposta({0xFC, 0x05}));
  // A forced status on Blank keeps the doubled byte and a valid check.
  const Byte b = Invia({0xEC, 0x00, 0x00, 0xFC, 0xFE, 0xFF, 0xFC});
  EXPECT_EQ(b, Doppia(0xEC, 0x00));
}

TEST_F(GuastiSim, FlippedBitIsCaughtByReadBack) {
  Guasto g;
  g.tipo = TipoGuasto::BitInvertito;
  g.comando = Comando::Write;
  g.volte = 1;
  g.posizione = 1;
  g.bit = 4;
  macchina->Scheda(0).config.guasti.push_back(g);
  EXPECT_EQ(Invia({0xED, 0x00, 0x00, 0xFC, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04}), Risposta({0xED, 0x00}));
  EXPECT_EQ(Invia({0xF2, 0x00, 0x00, 0xFC, 0x04, 0x00}), Risposta({0xF2, 0x01, 0x12, 0x03, 0x04}));
}

TEST_F(MacchinaSim, ConnectionDropAfterNBytes) {
  std::vector<CSchedaSim> s;
  s.push_back(Scheda("locale", 0x1234, 0));
  OpzioniLinea op;
  op.chiudiDopoByte = 6;
  Costruisci(std::move(s), op);
  EXPECT_EQ(Grezzo({0xF3, 0x60, 0x03, 0x18}).size(), 5u);
  EXPECT_FALSE(macchina->ConnessioneDaChiudere());
  EXPECT_TRUE(Grezzo({0xF3, 0x60, 0x03, 0x18}).empty()) << "only 2 of these bytes arrived";
  EXPECT_TRUE(macchina->ConnessioneDaChiudere());
  macchina->ConnessioneChiusa();
  macchina->NuovaConnessione(ms);
  ms += 1000;
  EXPECT_EQ(Grezzo({0xF3, 0x60, 0x03, 0x18}).size(), 5u) << "the fault fires once";
}

TEST_F(MacchinaSim, DumpShowsWrittenRanges) {
  ASSERT_EQ(Invia({0xED, 0x00, 0xFF, 0x00, 0x04, 0x00, 0x11, 0x22, 0x33, 0x44}), Risposta({0xED, 0x00}));
  ASSERT_EQ(Invia({0xEE, 0x00, 0x00, 0xFD}), (Byte{0xEE, 0xEE, 0x00, 0xC0, 0x1D}));
  std::ostringstream dump;
  ScriviDump(*macchina, dump);
  const std::string j = dump.str();
  EXPECT_NE(j.find("\"dati\": \"11223344\""), std::string::npos) << j;
  EXPECT_NE(j.find("\"indirizzo\": 65280"), std::string::npos);
  EXPECT_NE(j.find("16580608"), std::string::npos) << "erased sector 0xFD0000";
}

}  // namespace
}  // namespace bricola::sim
