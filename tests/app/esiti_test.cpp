#include "base/esiti.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "base/testi.h"

namespace bricola {
namespace {

// code, named constant, text identifier, Italian text, English text
struct RigaCodice {
  int codice;
  int costante;
  int identificativo;
  const char* italiano;
  const char* inglese;
};

const RigaCodice kRigheEsito[] = {
    {0, RC_OK, 280, " ", " "},
    {1, RC_FILE_OPEN, 279, "Impossibile aprire il file specificato", "Error opening file"},
    {2, RC_NO_MEMORY, 376, "memoria insufficiente per caricare il modulo", "insufficient memory to load the module"},
    {3, RC_FILE_CORRUPT, 275, "File di programma corrotto", "Module corrupted"},
    {4, RC_NO_SUCH_MODULE, 336, "Errore indeterminato", "Unknown error"},
    {5, RC_MODULE_INVALID, 336, "Errore indeterminato", "Unknown error"},
    {6, RC_FILE_UNLOADABLE, 357, "Il file è corrotto e non può essere caricato", "The file is corrupted and can't be loaded"},
    {7, RC_NO_MODULES, 336, "Errore indeterminato", "Unknown error"},
    {8, RC_NO_MODULE_SELECTED, 309, "Nessun programma selezionato", "No program selected"},
    {9, RC_REMOTE_NOT_ALLOWED, 336, "Errore indeterminato", "Unknown error"},
    {11, RC_PORT_OPEN, 277, "Impossibile aprire la porta specificata", "Port open error"},
    {12, RC_INTERNAL, 267, "errore interno al programma", "internal error"},
    {13, RC_NOT_REMOTE, 306, "Impossibile caricare questo programma remotamente", "Can't load this program remotely"},
    {14, RC_MACHINE_MISMATCH, 278, "Distributore selezionato incompatibile con il file specificato", "Selected file and dispenser at not compatible"},
    {15, RC_PORT_SEND, 276, "Impossibile trasmettere sulla seriale specificata", "Sending data impossible"},
    {16, RC_MODULE_CORRUPT, 298, "Modulo corrotto", "Program module corrupted"},
    {17, RC_TIMER_CREATE, 258, "Impossibile creare il timer di comunicazione", "Impossible to create the communication timer"},
    {19, RC_NOT_RUNNING, 336, "Errore indeterminato", "Unknown error"},
    {20, RC_ALREADY_RUNNING, 336, "Errore indeterminato", "Unknown error"},
    {21, RC_PACKET_SEND, 270, "errore: invio pacchetto", "error: sending packet"},
    {22, RC_SERIAL_SEND, 269, "errore: invio su seriale", "error: serial write"},
    {23, RC_OVERRUN, 274, "overrun", "overrun"},
    {24, RC_PROGRAM_INCOMPATIBLE, 268, "programma incompatibile con il distributore", "program and dispenser are not compatible"},
    {25, RC_PACKET_PAST_END, 257, "pacchetto oltre fine file", "beyond end packet"},
    {26, RC_PACKET_SEQUENCE, 271, "pacchetto fuori sequenza", "packet out of sequence"},
    {27, RC_UNEXPECTED_REPLY, 266, "errore: risposta inattesa", "error: bad answer"},
    {28, RC_REPLY_TIMEOUT, 265, "errore: timeout su attesa risposta", "error: timeout waiting answer"},
    {29, RC_REPLY_CRC, 264, "errore: crc risposta errato", "error: bad answer crc"},
    {30, RC_BLOCK_ERASE, 263, "errore: impossibile cancellare il blocco", "error: erase block"},
    {31, RC_BLOCK_WRITE, 262, "errore: impossibile scrivere il blocco", "error: write block"},
    {32, RC_FLASH_WRITE, 261, "errore: scrittura flash non riuscita", "error: write to flash"},
    {33, RC_BOOT_AREA, 295, "errore: tentativo scrittura in area boot", "error: write to boot area"},
    {34, RC_REMOTE_LOAD, 307, "errore: caricamento remoto non riuscito", "error: remote loading failed"},
    {35, RC_NACK, 297, "errore: nack", "error: nack"},
    {36, RC_KEY_NOT_FOUND, 329, "Memox non trovata", "Can't find Memox"},
    {37, RC_REMOTE_UNREACHABLE, 330, "La scheda remota selezionata non è raggiungibile", "Can't find remote card"},
    {38, RC_REBOOT, 311, "errore: reboot non riuscito", "error: reboot failed"},
    {40, RC_FLASH_FULL, 334, "Memoria flash esaurita", "No free flash memory "},
    {41, RC_MODULE_TYPE, 335, "Tipo modulo non caricabile", "Bad module type"},
    {42, RC_BOOT_NO_DATA, 338, "Il boot presente non può caricare moduli dati", "The boot cannot load data modules"},
    {43, RC_NO_CAN_ADDRESS, 339, "Impossibile caricare un applicativo senza indirizzo CAN con un boot universale", "Can't load an application without CAN address by an universal boot"},
    {44, RC_READ_UNSUPPORTED, 342, "Impossibile leggere il contenuto tramite l'interfaccia selezionata", "Can't read by the selected interface"},
    {45, RC_BLOCK_READ, 344, "errore: impossibile leggere il blocco", "error: read block"},
    {46, RC_KEY_EMPTY, 345, "La chiave è vuota", "The key is empty"},
    {47, RC_FILE_CREATE, 346, "Impossibile creare il file", "Errore creating file"},
    {48, RC_FLASH_MISSING, 347, "Tentativo di scrittura su flash inesistente", "Write to a not existing flash "},
    {49, RC_EXTFLASH_ABSENT, 348, "Flash esterna non presente", "External flash not present"},
    {50, RC_EXTFLASH_INFO, 349, "Informazioni sulla flash esterna non accessibili", "Can't get information about external flash"},
    {51, RC_EXTFLASH_UNKNOWN, 350, "Flash esterna sconosciuta", "External flash unknown"},
    {52, RC_EXTFLASH_BOOT_WRITE, 351, "Impossibile scrivere un boot sulla memoria esterna", "Can't write boot to external memory"},
    {53, RC_EXTFLASH_BOOT_READ, 352, "Impossibile leggere un boot dalla memoria esterna", "Can't read boot from external memory"},
    {54, RC_KEY_ERASE, 354, "Errore durante la cancellazione", "Error erasing key"},
    {55, RC_FILE_EXISTS, 356, "Il file esiste già", "The file already exists"},
    {62, RC_KEY_ABSENT, 329, "Memox non trovata", "Can't find Memox"},
    {63, RC_KEY_UNKNOWN, 358, "Memox sconosciuta", "Unknown Memox"},
    {64, RC_KEY_DRIVER, 359, "Memox accessibile dopo un aggiornamento del driver", "You need to upgrade the driver if you want to use this Memox"},
    {65, RC_KEY_FAULT, 360, "Memox guasta o alimentazione insufficiente", "Memox damaged or low power supply"},
    {66, RC_BOARD_INCOMPATIBLE, 375, "programma incompatibile con la scheda elettronica", "Program and electronic card are not compatible"},
    {67, RC_KEY_TOO_SMALL, 361, "Capacità Memox non sufficiente", "Memox too small"},
    {68, RC_PORT_ACCESS, 366, "Errore di accesso alla seriale specificata", "Port management error"},
    {69, RC_FLASH_SPEC, 377, "impossibile leggere le specifiche della flash", "unable to read the memory specification"},
    {70, RC_BLOCK_SPEC, 378, "impossibile leggere le specifiche dei blocchi", "unable to read block specification"},
    {71, RC_MICRO_UNKNOWN, 371, "Riconoscimento microcontrollore fallito", "Micro identification failed"},
    {72, RC_NO_OPERATION, 336, "Errore indeterminato", "Unknown error"},
};

const RigaCodice kRigheFase[] = {
    {1, ST_WAIT_LINK, 260, "attesa collegamento", "waiting link"},
    {2, ST_SEND_LOADER, 325, "trasferimento caricatore", "sending loader"},
    {3, ST_LINKED, 272, "collegamento stabilito", "link active"},
    {4, ST_DONE, 273, "trasferimento completato", "upload complete"},
    {5, ST_LINK_LOST, 259, "collegamento interrotto", "link interrupted"},
    {6, ST_FAILED, 365, "trasferimento fallito", "failure"},
    {7, ST_CHECK_MICRO, 362, "verifica microcontrollore", "checking micro"},
    {8, ST_CHECK_TRANSFER, 363, "verifica trasferimento", "load checking"},
    {9, ST_SEND_MODULE, 364, "trasferimento modulo", "loading module"},
    {10, ST_ERASING, 379, "cancellazione microcontrollore in corso, attendere ...", "microcontroller erasing in progress, please wait ..."},
    {11, ST_CHECK_BOOT, 380, "verifica presenza boot", "check boot presence"},
};

TEST(CodiciEsito, EveryRowGivesItsIdentifierAndBothTexts) {
  for (const RigaCodice& r : kRigheEsito) {
    SCOPED_TRACE("result code " + std::to_string(r.codice));
    EXPECT_EQ(r.costante, r.codice);
    EXPECT_EQ(TestoEsito(r.codice), r.identificativo);
    EXPECT_STREQ(Testo(r.identificativo), r.italiano);
    EXPECT_STREQ(Testo(r.identificativo + kInglese), r.inglese);
    EXPECT_STREQ(TestoDiEsito(r.codice), r.italiano);
    EXPECT_STREQ(TestoDiEsito(r.codice, kInglese), r.inglese);
  }
}

TEST(CodiciEsito, CodesWithoutARowAreUnknownError) {
  std::set<int> elencati;
  for (const RigaCodice& r : kRigheEsito) elencati.insert(r.codice);
  for (int codice : {-1, 10, 18, 39, 56, 61, 73, 200, 255, 100000}) {
    ASSERT_EQ(elencati.count(codice), 0u);
    EXPECT_EQ(TestoEsito(codice), 336) << codice;
    EXPECT_STREQ(TestoDiEsito(codice), "Errore indeterminato");
    EXPECT_STREQ(TestoDiEsito(codice, kInglese), "Unknown error");
  }
}

TEST(CodiciEsito, KeyNotFoundAndKeyAbsentShareOneText) {
  EXPECT_EQ(TestoEsito(RC_KEY_NOT_FOUND), TestoEsito(RC_KEY_ABSENT));
  EXPECT_STREQ(TestoDiEsito(36), "Memox non trovata");
  EXPECT_STREQ(TestoDiEsito(62), "Memox non trovata");
}

TEST(CodiciEsito, SuccessIsASingleBlank) {
  EXPECT_STREQ(TestoDiEsito(RC_OK), " ");
  EXPECT_STREQ(TestoDiEsito(RC_OK, kInglese), " ");
}

TEST(CodiciFase, EveryRowGivesItsIdentifierAndBothTexts) {
  for (const RigaCodice& r : kRigheFase) {
    SCOPED_TRACE("phase " + std::to_string(r.codice));
    EXPECT_EQ(r.costante, r.codice);
    EXPECT_EQ(TestoFase(r.codice), r.identificativo);
    EXPECT_STREQ(Testo(r.identificativo), r.italiano);
    EXPECT_STREQ(Testo(r.identificativo + kInglese), r.inglese);
    EXPECT_STREQ(TestoDiFase(r.codice), r.italiano);
    EXPECT_STREQ(TestoDiFase(r.codice, kInglese), r.inglese);
  }
}

TEST(CodiciFase, UnlistedPhasesGiveTheBlankThatNeverOverwritesTheStatusLine) {
  EXPECT_EQ(ST_NONE, 0);
  for (int fase : {0, 12, 13, -1, 255}) {
    EXPECT_EQ(TestoFase(fase), 280) << fase;
    EXPECT_STREQ(TestoDiFase(fase), " ");
  }
}

TEST(CodiciFase, DoneIsTheSuccessPhase) {
  EXPECT_EQ(ST_DONE, 4);
  EXPECT_STREQ(TestoDiFase(ST_DONE), "trasferimento completato");
}

// Texts of the window and its dialogs, looked up by identifier.
TEST(TabellaTesti, WindowAndDialogTexts) {
  struct {
    int id;
    const char* italiano;
  } const casi[] = {
      {256, "Distributore sconosciuto"},
      {259, "collegamento interrotto"},
      {267, "errore interno al programma"},
      {273, "trasferimento completato"},
      {282, "Informazioni su Bricola"},
      {283, "Trasferimento"},
      {284, "Statistiche"},
      {285, "Cavo"},
      {286, "Selezione file"},
      {287, "Esci"},
      {288, "Stato"},
      {289, "Tempo"},
      {290, "Velocità effettiva"},
      {291, "Trasferiti"},
      {292, "Ritrasmessi"},
      {293, "Complessivi"},
      {294, "Rimanenti"},
      {298, "Modulo corrotto"},
      {301, "Progr. corrente"},
      {302, "Modulo"},
      {303, "Tipo"},
      {304, "Lungh."},
      {305, "File non accessibile"},
      {308, "Attenzione: per caricare questo file bisogna utilizzare un cavo a cinque fili!"},
      {332, "Versione boot %s, codice distributore %04X%s"},
      {337, "Memox"},
      {340, "Seleziona tutto"},
      {341, "Deseleziona tutto"},
      {343, "Il file esiste già. Vuoi sovrascriverlo?"},
      {353, "Vuoi veramente cancellare il contenuto della chiave?"},
      {355, "Vuoi veramente sovrascrivere il contenuto della chiave?"},
      {373, "Alimentare la scheda, attendere 5 secondi e fare click su OK"},
      {374, "microcontrollore cancellato"},
      {381, "La procedura di cancellazione è disponibile esclusivamente per il microcontrollore 90F345"},
  };
  for (const auto& c : casi) {
    EXPECT_STREQ(Testo(c.id), c.italiano) << c.id;
    EXPECT_STRNE(Testo(c.id + kInglese), "") << "no English twin for " << c.id;
  }
  EXPECT_STRNE(Testo(372), "");  // the "switch the board off" prompt of the micro erase
}

TEST(TabellaTesti, TrailingBlanksAreKept) {
  EXPECT_STREQ(Testo(334 + kInglese), "No free flash memory ");
  EXPECT_STREQ(Testo(347 + kInglese), "Write to a not existing flash ");
}

TEST(TabellaTesti, UnknownIdentifierGivesEmptyText) {
  for (int id : {0, 1, 255, 299, 455, 456, 10000, -5}) {
    ASSERT_NE(Testo(id), nullptr);
    EXPECT_STREQ(Testo(id), "") << id;
  }
}

// Every Italian text has exactly one English twin and the identifiers are unique.
TEST(TabellaTesti, EveryItalianTextHasItsEnglishTwin) {
  int n = 0;
  const VoceTesto* voci = TabellaTesti(n);
  ASSERT_GT(n, 0);
  std::set<int> italiani, inglesi;
  for (int i = 0; i < n; ++i) {
    ASSERT_NE(voci[i].testo, nullptr);
    EXPECT_GT(std::strlen(voci[i].testo), 0u) << voci[i].identificativo;
    const int id = voci[i].identificativo;
    auto& insieme = id >= kInglese + 256 ? inglesi : italiani;
    EXPECT_TRUE(insieme.insert(id >= kInglese + 256 ? id - kInglese : id).second) << "duplicate " << id;
  }
  EXPECT_EQ(italiani, inglesi);
}

}  // namespace
}  // namespace bricola
