// CLettura: the jobs on the Memox key other than the load. It reads the
// modules stored on the key back into one image file on disk (all files, one
// file, or the selected ones), lists the key's content as module descriptors,
// and empties the key.
#pragma once

#include <array>
#include <string>

#include "base/registro.h"
#include "image/analisi.h"
#include "jobs/caricamento.h"
#include "key/int_parallela.h"
#include "key/load_memox.h"
#include "key/memox.h"
#include "key/memox_parallela.h"
#include "key/memox_usb.h"

namespace bricola {

class CLettura : public CFileRegistro {
 public:
  CLettura();
  ~CLettura() override;
  CLettura(const CLettura&) = delete;
  CLettura& operator=(const CLettura&) = delete;

  // Port number and kind of key (usb set: the USB key, else the parallel one).
  int ImpostaInterfaccia(int porta, int usb);
  // Log path of the job and of its key loader.
  void ImpostaRegistro(const std::string& percorso);
  // The key devices of the two kinds (not owned; tests give devices of their own).
  void ImpostaDispositiviChiave(CMemoxInterfaccia* usb, CMemoxInterfaccia* parallela);

  // Lists the key's content into the descriptors (ModuliElencati, InfoModulo).
  int LeggiContenuto(int* esito);
  // Empties the key (erases its directory page). 0 with the code.
  int CancellaChiave(int* esito);
  // Erases the whole key through the device (RC_KEY_ERASE when it cannot).
  int CancellaTuttaChiave(int* esito);

  // As the load's InfoModulo, over the descriptors of the last listing.
  int InfoModulo(int i, SInfoModulo& info, int* esito, int capacitaNome = 0) const;
  int InfoModulo(int i, SInfoModulo& info, std::string& descrizione, int* esito, int capacitaNome = 0) const;
  // The selection used by a read of the selected files (modo 2).
  int SelezionaModuli(const int* flags, int conteggio);
  int ModuliElencati() const { return moduliElencati; }
  int IndiceCorrente() const { return indice; }
  int InCorso() const { return inCorso; }
  int NumeroFile() const { return numeroFile; }

  // Reads key files into the disk file at percorso (created anew): from file
  // primo only that file (modo 0), every file (modo 1), or the selected files
  // from primo on (modo 2). 1 started (timer period, first phase), 0 with the code.
  int Avvia(const std::string& percorso, int primo, int modo, int* periodoTimer, int* fase, int* esito);
  // One tick: 1 running, 0 finished (fase ST_DONE on success; erroreModulo
  // when the current file failed).
  int Passo(int* aggiorna, int* erroreModulo, int* fase, int* esito);
  int Ferma(int* esito);
  int Progresso(int* moduloAvviato, int* totali, int* fatti, int* secondi) const;

  CLoadMemox& LoaderMemox() { return loadMemox; }
  CIntParallela& Interfaccia() { return intParallela; }

 private:
  int ScansioneContenuto(int* conteggio, int* esito);
  // The next file to read after da (only selected ones with soloSelezionati).
  int Prossimo(int da) const;
  void DaiDispositivo();

  CMemoxUsb memoxUsb;
  CMemoxParallela memoxParallela;
  CMemoxInterfaccia* dispositivoUsb = &memoxUsb;
  CMemoxInterfaccia* dispositivoParallela = &memoxParallela;
  CIntParallela intParallela;
  CLoadMemox loadMemox;
  CFileMemox fileMemox;
  int numeroFile = 0;
  int porta = 0;
  int usb = 0;
  int inCorso = 0;
  int indice = 0;
  int moduloAvviato = 0;
  int indiceFine = 0;
  std::string fileDisco;
  int moduliElencati = 0;
  int soloSelezionati = 0;
  std::array<int, kMaxModuli> selezione{};
  std::array<CProgDescr, kMaxModuli> moduli;
  CAnalisiFile analisi;
  int lingua = 0;
};

}  // namespace bricola
