// CCaricamento: the load job. It analyses an image file into module
// descriptors, keeps the selection, opens the interface of the chosen port and,
// module after module, picks the loader that fits, starts it, steps it on every
// tick and chains to the next selected module when one ends well. The first
// failure ends the job. Every interface and loader is a member, built once with
// the job and reused for every module.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/registro.h"
#include "bootstrap/load_boot_f2mc.h"
#include "bootstrap/load_boot_fr.h"
#include "bootstrap/load_check_micro.h"
#include "comm/int_file_system.h"
#include "comm/int_pic.h"
#include "comm/int_seriale.h"
#include "image/analisi.h"
#include "key/int_parallela.h"
#include "key/load_memox.h"
#include "key/load_tree.h"
#include "key/memox_interfaccia.h"
#include "key/memox_parallela.h"
#include "key/memox_usb.h"
#include "load/load.h"
#include "load/load_90fxxx.h"
#include "targets/load_68331.h"
#include "targets/load_pic.h"

namespace bricola {

// Interface types (tipoInterfaccia).
enum : int {
  INTERFACCIA_SERIALE = 1,
  INTERFACCIA_CHIAVE_PARALLELA = 2,
  INTERFACCIA_CHIAVE_USB = 3,
  INTERFACCIA_PIC = 4,
  INTERFACCIA_MODO_2 = 5,  // taken as serial, with modo 2
  INTERFACCIA_ALBERO = 6,  // directory tree, set only by the job itself
};

// Connection modes (modo).
enum : int {
  MODO_LOCALE = 0,
  MODO_REMOTO = 1,
  MODO_2 = 2,
};

// What InfoModulo tells about one module.
struct SInfoModulo {
  int selezionato = 0;
  int tipoLoad = 0;
  int tipoModulo = 0;
  int tipoContenuto = 0;
  std::uint32_t indirizzo = 0;
  std::uint32_t indirizzoSecondario = 0;
  std::uint32_t lunghezza = 0;  // fine - inizio
  std::uint32_t lunghezzaDati = 0;
  std::uint16_t codice = 0;
  std::string nome;  // the header's name, else the model table's
  std::array<std::uint8_t, 128> datiUtente{};
};

// Fills info from module m of an analysed image (the model table's name in
// lingua when the module has no header; the name cut to capacitaNome - 1
// characters when capacitaNome > 0). 0 with esito for a module with a bad CRC
// (RC_MODULE_CORRUPT) or otherwise not valid (RC_MODULE_INVALID).
int CompilaInfoModulo(const CProgDescr& m, int selezionato, int lingua, SInfoModulo& info, int* esito,
                      int capacitaNome);

// A lock that is waited for at most a given time. Built on a plain mutex and a
// condition variable, so every tool that checks threads sees its ordering.
class CMutexAttesa {
 public:
  // true when taken within ms milliseconds.
  bool Prendi(int ms);
  void Rilascia();

 private:
  std::mutex mutex;
  std::condition_variable libero;
  bool preso = false;
};

class CCaricamento : public CFileRegistro {
 public:
  static constexpr int kVelocitaApertura = 38400;  // every interface opens at this speed
  static constexpr int kAttesaMutexMs = 1000;      // longest wait for the progress mutex
  static constexpr std::size_t kMaxPercorso = 260;

  CCaricamento();
  ~CCaricamento() override;
  CCaricamento(const CCaricamento&) = delete;
  CCaricamento& operator=(const CCaricamento&) = delete;

  // Analyses the file into the descriptors and preselects the valid modules
  // that do not ask to stay unticked. 0 with errore (ERRORE_* of the analysis)
  // on failure.
  int Analizza(const std::string& file, int* errore);
  // Replaces the selection (one flag per module). 0 when the file cannot be
  // loaded at all or for more than 100 flags.
  int SelezionaModuli(const int* flags, int conteggio);

  int NumModuli() const { return numModuli; }
  int IndiceModulo() const { return indiceModulo; }
  int SelezioneValida() const { return selezioneValida; }
  int QualcunoBootSel() const { return qualcunoBootSel; }
  int InCorso() const { return inCorso; }
  // The phase of the pre-loader when there is one, else of the main loader.
  int FaseCorrente() const;

  // 1 with the module's figures, else 0 with esito (RC_NO_SUCH_MODULE,
  // RC_MODULE_CORRUPT, RC_MODULE_INVALID). The name is cut to capacitaNome - 1
  // characters when capacitaNome is above 0.
  int InfoModulo(int i, SInfoModulo& info, int* esito, int capacitaNome = 0) const;
  // The same, with the module's description (empty when it has none).
  int InfoModulo(int i, SInfoModulo& info, std::string& descrizione, int* esito,
                 int capacitaNome = 0) const;

  // Port number and interface type of the next job, and the connection mode.
  // The dialling mode, telephone numbers and identification codes of a remote
  // connection are kept for the modem link and not used by the load.
  int ImpostaInterfaccia(int porta, int tipo, int remoto, int valore,
                         std::string_view telefonoMittente = {},
                         std::string_view telefonoDestinatario = {},
                         std::string_view codiceMittente = {},
                         std::string_view codiceDestinatario = {});
  // Log path of the job and of the loaders that log.
  void ImpostaRegistro(std::string_view percorso);
  // The wake-up of the thread that steps the job (not owned; null: none): the
  // job's interfaces signal it when a reply a step armed has come. Set it
  // while no job runs.
  void ImpostaSveglia(CSveglia* sveglia);

  // On a key port: whether the key has room for the selection (RC_KEY_TOO_SMALL
  // when not). Other ports: 1.
  int ChiaveCapiente(int* esito);
  // On a key port: whether the key holds content. Other ports: 0.
  int ChiaveConContenuto();

  // Starts the job with the first selected module. 1 started (timer period
  // and first phase given), 0 refused with esito.
  int Avvia(int* periodoTimer, int* fase, int* esito);
  // One tick. 1 running, 0 finished (fase ST_DONE on success). erroreModulo
  // is set when the current module ended in error; aggiorna when the
  // statistics should be redrawn.
  int Passo(int* aggiorna, int* erroreModulo, int* fase, int* esito);
  // Stops a running job and closes its interface; RC_NOT_RUNNING when idle.
  int Ferma(int* esito);
  // The progress figures of the loader now running, copied under the
  // progress mutex. 0 when the mutex did not come within 1000 ms (outputs
  // untouched). Safe to call from another thread than the one stepping the job.
  int Progresso(int* moduloAvviato, int* totali, int* fatti, int* ripetuti, int* secondi);

  // Verify only: 1 before Avvia, and every resident-boot module is read back
  // and compared with the board without Blank, Erase or Write going on the
  // wire (ModoDati, LunBuf, Read and Fine do); a selection holding a module of
  // another load kind, or a port that is not serial, is refused by Avvia with
  // RC_MODULE_TYPE before the line is touched.
  void ImpostaSoloVerifica(int si) { soloVerifica = si ? 1 : 0; }
  // 1 and the flash address of the first byte that differed, after a job that
  // ended with RC_FLASH_WRITE because a byte read back differed; 0 otherwise.
  int PrimoIndirizzoDiverso(std::uint32_t* indirizzo) const;

  // Write verification: read back after writing; only where the micro needs it;
  // no micro identification before an MB91F465 boot module.
  int verificaScrittura = 1;
  int verificaOttimizzata = 0;
  int senzaPreverifica = 0;

  // Sources of option bits 3, 4 and 5 of the loaders (never set by the job).
  int velocitaFissa = 0;
  int scritturaLenta = 0;
  int buffer128 = 0;

  // The resident-boot loader (tests give it a clock of their own).
  CLoad90Fxxx& LoaderBoot() { return load90Fxxx; }
  // The ROM-bootstrap loaders and the micro identification (the same, for tests).
  CLoadBootstrap& LoaderBootstrap(int tipoLoad);
  CLoadCheckMicro& LoaderCheckMicro() { return loadCheckMicro; }
  // The key and directory-tree loaders (the same, for tests).
  CLoadMemox& LoaderMemox() { return loadMemox; }
  CLoadTree& LoaderTree() { return loadTree; }
  // The key devices of the two kinds (not owned; tests give devices of their own).
  void ImpostaDispositiviChiave(CMemoxInterfaccia* usb, CMemoxInterfaccia* parallela);

 private:
  // The figures Progresso hands out, refreshed after every start and step.
  struct SProgresso {
    int moduloAvviato = 0;
    int totali = 0;
    int fatti = 0;
    int ripetuti = 0;
    int secondi = 0;
  };

  void CalcolaRiepiloghi();
  // The key device of the interface type to the key interface and the key loader.
  void DaiDispositivoChiave();
  void ScegliInterfaccia();
  void InterfacciaPerModulo();
  // The loader for the current module on the current interface: the main
  // loader, and the pre-loader (the micro check before an MB91F465 boot). Null when no loader
  // of this build serves the module.
  CLoad* ScegliLoader(const CProgDescr& modulo);
  // Starts the current module. 1 started (or, on a remote connection, held),
  // 0 with esito. boot: the module is a boot module.
  int AvviaModulo(int senzaReset, CLoad* loader, int identificato, int* periodoTimer, int* boot,
                  int* esito);
  int TerminaLoader(CLoad* loader, int* esito);
  // One tick of the micro identification before a boot module, and the start
  // of the module's writer once the micro is the expected one.
  int PassoPreLoader(int* aggiorna, int* erroreModulo, int* fase, int* esito);
  void ChiudiInterfaccia();
  // Verify only: whether every selected module goes to the resident-boot loader.
  bool SoloBootResidente() const;
  // The next selected module after indiceModulo; -1 when none is left.
  int ProssimoSelezionato(int da) const;
  // Copies the running loader's figures into progresso (mutex held by the caller).
  void CopiaProgresso();
  // The same, taking the mutex (skipped when it does not come in time).
  void AggiornaProgresso();

  int porta = 0;
  int tipoInterfaccia = INTERFACCIA_SERIALE;
  int tipoPrecedente = 0;
  int modo = MODO_LOCALE;
  int valore = 0;
  int aperturaPropria = 0;
  int interfacciaAperta = 0;  // the job opened the interface of its non-tree modules

  // Interfaces. The key, PIC and directory-tree interfaces join here.
  CIntSeriale intSeriale;
  CMemoxUsb memoxUsb;
  CMemoxParallela memoxParallela;
  CMemoxInterfaccia* dispositivoUsb = &memoxUsb;
  CMemoxInterfaccia* dispositivoParallela = &memoxParallela;
  CIntParallela intParallela;
  CIntFileSystem intFileSystem;
  CIntPic intPic;

  // Loaders. The ROM bootstrap, 68331, key, PIC and directory-tree loaders,
  // and the micro identification that precedes an MB91F465 boot module, join here.
  CLoad90Fxxx load90Fxxx;
  CLoad90F549Boot load90F549Boot;
  CLoad90F497Boot load90F497Boot;
  CLoad90F345Boot load90F345Boot;
  CLoad96F338Boot load96F338Boot;
  CLoad91F465Boot load91F465Boot;
  CLoadCheckMicro loadCheckMicro;
  CLoadMemox loadMemox;
  CLoadTree loadTree;
  CLoad68331 load68331;
  CLoadPic loadPic;  // keeps an empty log path: it does not log

  CInterfaccia* interfacciaCorrente = nullptr;
  CLoad* loaderCorrente = nullptr;
  CLoad* preLoader = nullptr;
  std::uint8_t microAtteso = 0xFF;
  int loaderAvviato = 0;  // loaderCorrente (or the pre-loader) was started for the current module

  CMutexAttesa mutexProgresso;
  SProgresso progresso;  // guarded by mutexProgresso

  int indiceModulo = 0;
  int moduloAvviato = 0;
  int inCorso = 0;
  int seguenteSenzaReset = 0;

  std::string percorsoImmagine;
  CAnalisiFile analisi;
  std::array<CProgDescr, kMaxModuli> moduli;
  std::array<int, kMaxModuli> selezione{};
  std::array<const char*, kMaxModuli> nomi{};
  int opzioneNome = 0;
  std::uint32_t indirizziModulo[4] = {0, 0, 0, 0};
  int velocitaModulo[2] = {0, 0};

  int soloVerifica = 0;
  int diversoTrovato = 0;
  std::uint32_t primoDiverso = 0;

  int numModuli = 0;
  int tuttiValidi = 0;
  int inutilizzabile = 1;
  int selezioneValida = 0;
  int qualcunoBootSel = 0;
  int qualcunoNonRemotoSel = 0;
};

}  // namespace bricola
