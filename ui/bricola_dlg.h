// CBricolaDlg: the main window. It binds the widgets to the window logic of
// CFinestraProc (which derives from CMainProc and holds the jobs) and gives
// it the display operations: timer, message boxes, beep, texts and enables.
#pragma once

#include <QDialog>
#include <QTimer>
#include <atomic>

#include "app/finestra.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QToolButton;

namespace bricola {

class CListaProgrammi;

class CBricolaDlg : public QDialog, public CFinestraProc {
 public:
  explicit CBricolaDlg(QWidget* padre = nullptr);
  ~CBricolaDlg() override;

  // Start-up with what the command line gives (a job of -S, -R or -E included).
  void Avvia(const SAvvioFinestra& avvio);

  // The widgets, by their role (the tests reach them too).
  QGroupBox* gruppoFile = nullptr;
  QComboBox* campoFile = nullptr;
  QToolButton* sfoglia = nullptr;
  CListaProgrammi* lista = nullptr;
  QPushButton* selezionaTutto = nullptr;
  QPushButton* deselezionaTutto = nullptr;
  QLabel* avvisoCavo = nullptr;
  QGroupBox* gruppoTrasferimento = nullptr;
  QRadioButton* cavo = nullptr;
  QRadioButton* memox = nullptr;
  QListWidget* porte = nullptr;
  QGroupBox* gruppoVerifica = nullptr;
  QRadioButton* verifica[3] = {};
  QPushButton* clear = nullptr;
  QPushButton* read = nullptr;
  QPushButton* load = nullptr;
  QGroupBox* gruppoStatistiche = nullptr;
  QLabel* tempo = nullptr;
  QLabel* complessivi = nullptr;
  QLabel* trasferiti = nullptr;
  QLabel* velocita = nullptr;
  QLabel* rimanenti = nullptr;
  QLabel* ritrasmessi = nullptr;
  QGroupBox* gruppoBoot = nullptr;
  QLineEdit* indirizzo = nullptr;
  QPushButton* check = nullptr;
  QLineEdit* reset = nullptr;
  QCheckBox* rts = nullptr;
  QPushButton* micro = nullptr;
  QProgressBar* progresso = nullptr;
  QLabel* progressivo = nullptr;
  QLabel* statoLinea = nullptr;
  QToolButton* informazioni = nullptr;
  QPushButton* esci = nullptr;

  void MostraInformazioni();

 protected:
  // The line's receive thread: posts the early tick to the window's thread.
  void PassoPronto() override;
  // Display operations of the window logic.
  bool CreaTimer(int id, int millisecondi) override;
  void DistruggiTimer(int id) override;
  bool Chiedi(const std::string& testo, bool okAnnulla) override;
  void Avvisa(const std::string& testo) override;
  void Suona() override;
  void MostraStato(const std::string& testo) override;
  void MostraStatistiche(const SStatistiche& s) override;
  void MostraComandi(const SComandi& c) override;
  void MostraFileRecenti(const std::vector<std::string>& voci) override;
  void MostraModuli(const std::vector<SRiga>& righe) override;
  void MostraAvviso(const std::string& testo) override;
  void MostraPorte(const std::vector<std::string>& voci, int scelta, bool modoCavo, bool conScelta) override;
  void MostraIndirizzo(const std::string& testo) override;
  void MostraModoVerifica(int modo) override;
  std::string TestoFile() override;
  std::string TestoIndirizzo() override;
  std::string TestoReset() override;
  bool ResetConRts() override;
  std::string ScegliFile(const std::string& cartella) override;
  void CursoreAttesa(bool attesa) override;
  void ChiudiFinestra() override;

  // Esci, the Escape key and the title bar's close box all come here.
  void reject() override;

 private:
  void Costruisci();
  QTimer timer;
  int idTimer = 0;
  // An early tick is posted and has not run yet: one at a time in the queue.
  std::atomic<bool> avvisoInCoda{false};
  bool riempiendo = false;
  int attese = 0;
};

}  // namespace bricola
