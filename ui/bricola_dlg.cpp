#include "ui/bricola_dlg.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/icona.h"
#include "ui/lista_programmi.h"

namespace bricola {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The button texts with their mnemonics.
QString ConMnemonico(const std::string& testo) {
  if (testo == "Load") return "&Load";
  if (testo == "Read") return "&Read";
  if (testo == "Clear") return "&Clear";
  if (testo == "Check") return "C&heck";
  if (testo == "Micro") return "M&icro";
  if (testo == "Stop") return "S&top";
  return Q(testo);
}

// A value field of the statistics: right-aligned, its label as its description.
QLabel* Valore(const QString& etichetta) {
  auto* v = new QLabel;
  v->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  v->setMinimumWidth(90);
  v->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  v->setAccessibleDescription(etichetta);
  v->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return v;
}

}  // namespace

CBricolaDlg::CBricolaDlg(QWidget* padre) : QDialog(padre) {
  timer.setTimerType(Qt::PreciseTimer);
  connect(&timer, &QTimer::timeout, this, [this] { SuTimer(idTimer); });
  Costruisci();
}

CBricolaDlg::~CBricolaDlg() {
  // Hiding the window moves the focus: no widget may call into it any more.
  for (QObject* figlio : findChildren<QObject*>()) QObject::disconnect(figlio, nullptr, this, nullptr);
  QObject::disconnect(&timer, nullptr, this, nullptr);
  // No line may post an early tick to a window going away.
  FermaAvvisi();
  // A window destroyed without being closed still writes its settings.
  Termina();
}

void CBricolaDlg::Costruisci() {
  setWindowTitle("Bricola");
  setWindowIcon(IconaBricola());
  setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint);

  // File selection.
  gruppoFile = new QGroupBox(Q(T(286)));
  campoFile = new QComboBox;
  campoFile->setEditable(true);
  campoFile->setInsertPolicy(QComboBox::NoInsert);
  campoFile->setMinimumContentsLength(50);
  campoFile->setAccessibleName(Q(T(286)));
  sfoglia = new QToolButton;
  sfoglia->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  sfoglia->setText("...");
  sfoglia->setAccessibleName(lingua ? "Browse" : "Sfoglia");
  sfoglia->setToolTip(sfoglia->accessibleName());
  lista = new CListaProgrammi;
  lista->setAccessibleName(lingua ? "Modules" : "Moduli");
  lista->setMinimumSize(620, 180);
  selezionaTutto = new QPushButton(Q(T(340)));
  deselezionaTutto = new QPushButton(Q(T(341)));
  selezionaTutto->setText("&" + selezionaTutto->text());
  deselezionaTutto->setText("&" + deselezionaTutto->text());
  avvisoCavo = new QLabel;
  avvisoCavo->setStyleSheet("color: red;");
  avvisoCavo->setWordWrap(true);
  {
    auto* g = new QGridLayout(gruppoFile);
    g->addWidget(campoFile, 0, 0, 1, 3);
    g->addWidget(sfoglia, 0, 3);
    g->addWidget(lista, 1, 0, 1, 4);
    g->addWidget(selezionaTutto, 2, 0);
    g->addWidget(deselezionaTutto, 2, 1);
    g->addWidget(avvisoCavo, 2, 2, 1, 2);
  }

  // Transfer.
  gruppoTrasferimento = new QGroupBox(Q(T(283)));
  cavo = new QRadioButton(Q(T(285)).insert(1, QChar('&')));
  memox = new QRadioButton("&" + Q(T(337)));
  cavo->setAccessibleName(Q(T(285)));
  memox->setAccessibleName(Q(T(337)));
  cavo->hide();
  memox->hide();
  auto* gruppoModo = new QButtonGroup(this);
  gruppoModo->addButton(cavo);
  gruppoModo->addButton(memox);
  porte = new QListWidget;
  porte->setAccessibleName(lingua ? "Port" : "Porta");
  porte->setMaximumHeight(90);
  gruppoVerifica = new QGroupBox(lingua ? "Verify" : "Verifica");
  const char* modi[3] = {"S\xC3\xAC", "Ott.", "No"};
  auto* gruppoModiVerifica = new QButtonGroup(this);
  {
    auto* v = new QHBoxLayout(gruppoVerifica);
    for (int i = 0; i < 3; ++i) {
      verifica[i] = new QRadioButton(QString::fromUtf8(modi[i]));
      gruppoModiVerifica->addButton(verifica[i], i);
      v->addWidget(verifica[i]);
    }
  }
  clear = new QPushButton("&Clear");
  read = new QPushButton("&Read");
  load = new QPushButton("&Load");
  load->setDefault(true);
  load->setAutoDefault(true);
  clear->setAutoDefault(false);
  read->setAutoDefault(false);
  {
    auto* g = new QGridLayout(gruppoTrasferimento);
    g->addWidget(cavo, 0, 0);
    g->addWidget(memox, 1, 0);
    g->addWidget(porte, 0, 1, 3, 1);
    g->addWidget(gruppoVerifica, 3, 0, 1, 2);
    auto* b = new QHBoxLayout;
    b->addWidget(clear);
    b->addWidget(read);
    b->addWidget(load);
    g->addLayout(b, 4, 0, 1, 2);
  }

  // Statistics.
  gruppoStatistiche = new QGroupBox(Q(T(284)));
  {
    auto* g = new QGridLayout(gruppoStatistiche);
    struct Riga {
      int testo;
      QLabel** valore;
      const char* unita;
    } campi[] = {{289, &tempo, ""},         {293, &complessivi, "byte"}, {291, &trasferiti, "byte"},
                 {290, &velocita, "byte/s"}, {294, &rimanenti, "byte"},   {292, &ritrasmessi, "byte"}};
    int r = 0;
    for (auto& riga : campi) {
      auto* etichetta = new QLabel(Q(T(riga.testo)));
      *riga.valore = Valore(etichetta->text());
      g->addWidget(etichetta, r, 0);
      g->addWidget(*riga.valore, r, 1);
      g->addWidget(new QLabel(riga.unita), r, 2);
      ++r;
    }
  }

  // Boot check (and the micro check with its reset pulse).
  gruppoBoot = new QGroupBox("Boot");
  indirizzo = new QLineEdit;
  indirizzo->setMaxLength(8);
  indirizzo->setAccessibleName("Indirizzo");
  auto* etichettaIndirizzo = new QLabel("I&ndirizzo");
  etichettaIndirizzo->setBuddy(indirizzo);
  check = new QPushButton("C&heck");
  check->setAutoDefault(false);
  reset = new QLineEdit;
  reset->setValidator(new QIntValidator(0, 60000, reset));
  reset->setAccessibleName(lingua ? "Reset (ms)" : "Reset (ms)");
  reset->setMaximumWidth(70);
  auto* etichettaReset = new QLabel("Reset (ms)");
  etichettaReset->setBuddy(reset);
  rts = new QCheckBox("RTS");
  micro = new QPushButton("M&icro");
  micro->setAutoDefault(false);
  {
    auto* g = new QGridLayout(gruppoBoot);
    g->addWidget(etichettaIndirizzo, 0, 0);
    g->addWidget(indirizzo, 0, 1);
    g->addWidget(check, 0, 2);
    g->addWidget(etichettaReset, 1, 0);
    g->addWidget(reset, 1, 1);
    auto* m = new QHBoxLayout;
    m->addWidget(rts);
    m->addWidget(micro);
    g->addLayout(m, 1, 2);
  }

  progresso = new QProgressBar;
  progresso->setAccessibleName(lingua ? "Progress" : "Avanzamento");
  progresso->setTextVisible(false);
  progresso->setRange(0, 1);
  progresso->setValue(0);
  auto* etichettaProgressivo = new QLabel(Q(T(301)));
  progressivo = Valore(etichettaProgressivo->text());
  progressivo->setMinimumWidth(40);
  auto* etichettaStato = new QLabel(Q(T(288)));
  statoLinea = new QLabel;
  statoLinea->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  statoLinea->setAccessibleDescription(etichettaStato->text());
  statoLinea->setMinimumWidth(420);
  statoLinea->setTextInteractionFlags(Qt::TextSelectableByMouse);
  informazioni = new QToolButton;
  informazioni->setText("?");
  informazioni->setAccessibleName(Q(T(282)));
  informazioni->setToolTip(Q(T(282)));
  esci = new QPushButton("&" + Q(T(287)));
  esci->setAutoDefault(false);
  esci->setAccessibleName(Q(T(287)));

  auto* principale = new QGridLayout(this);
  principale->addWidget(gruppoFile, 0, 0, 1, 3);
  principale->addWidget(gruppoTrasferimento, 1, 0);
  principale->addWidget(gruppoStatistiche, 1, 1);
  principale->addWidget(gruppoBoot, 1, 2);
  auto* basso = new QGridLayout;
  basso->addWidget(progresso, 0, 0, 1, 4);
  basso->addWidget(etichettaProgressivo, 1, 0);
  basso->addWidget(progressivo, 1, 1);
  basso->addWidget(etichettaStato, 2, 0);
  basso->addWidget(statoLinea, 2, 1, 1, 2);
  basso->setColumnStretch(2, 1);
  auto* uscita = new QHBoxLayout;
  uscita->addWidget(informazioni);
  uscita->addWidget(esci);
  basso->addLayout(uscita, 2, 3);
  principale->addLayout(basso, 2, 0, 1, 3);
  principale->setSizeConstraint(QLayout::SetFixedSize);

  // Tab order: top to bottom, left to right.
  QWidget* ordine[] = {campoFile, sfoglia,    lista,    selezionaTutto, deselezionaTutto, cavo,  memox, porte,
                       verifica[0], verifica[1], verifica[2], clear, read, load, indirizzo, check, reset, rts,
                       micro, informazioni, esci};
  for (std::size_t i = 1; i < std::size(ordine); ++i) setTabOrder(ordine[i - 1], ordine[i]);

  // Commands.
  connect(load, &QPushButton::clicked, this, [this] { PremiLoad(); });
  connect(read, &QPushButton::clicked, this, [this] { PremiRead(); });
  connect(clear, &QPushButton::clicked, this, [this] { PremiClear(); });
  connect(check, &QPushButton::clicked, this, [this] { PremiCheck(); });
  connect(micro, &QPushButton::clicked, this, [this] { PremiMicro(); });
  connect(selezionaTutto, &QPushButton::clicked, this, [this] { SpuntaTutti(true); });
  connect(deselezionaTutto, &QPushButton::clicked, this, [this] { SpuntaTutti(false); });
  connect(sfoglia, &QToolButton::clicked, this, [this] { Sfoglia(); });
  connect(campoFile, &QComboBox::activated, this, [this](int) {
    if (!riempiendo) FileScelto();
  });
  connect(campoFile->lineEdit(), &QLineEdit::editingFinished, this, [this] {
    if (!riempiendo) FuocoFilePerso();
  });
  connect(cavo, &QRadioButton::clicked, this, [this] { PremiCavo(); });
  connect(memox, &QRadioButton::clicked, this, [this] { PremiMemox(); });
  connect(porte, &QListWidget::currentRowChanged, this, [this](int riga) {
    if (!riempiendo) PortaScelta(riga);
  });
  connect(gruppoModiVerifica, &QButtonGroup::idClicked, this, [this](int id) { SceltaModoVerifica(id); });
  connect(esci, &QPushButton::clicked, this, [this] { close(); });
  connect(informazioni, &QToolButton::clicked, this, [this] { MostraInformazioni(); });
  auto* f1 = new QShortcut(QKeySequence::HelpContents, this);
  connect(f1, &QShortcut::activated, this, [this] { MostraInformazioni(); });
  lista->ImpostaColonne(lingua, [this](int riga) { CliccaRiga(riga, true); });
}

void CBricolaDlg::Avvia(const SAvvioFinestra& richiesta) {
  // The window is shown before a job of the command line starts, so that its
  // questions and messages have a parent on the screen.
  show();
  Inizializza(richiesta);
}

void CBricolaDlg::reject() {
  if (!RichiestaChiusura()) return;
  Termina();
  QDialog::reject();
}

void CBricolaDlg::MostraInformazioni() {
  QMessageBox box(this);
  box.setWindowTitle(Q(T(282)));
  box.setIconPixmap(DisegnaIcona(48));
  box.setText(QString("Bricola %1").arg(BRICOLA_VERSIONE));
  box.setInformativeText(QString::fromUtf8("Copyright \xC2\xA9 2026 Corvanti"));
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
}

// --- display operations -------------------------------------------------------

void CBricolaDlg::PassoPronto() {
  if (avvisoInCoda.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        avvisoInCoda = false;
        SuPassoPronto();
      },
      Qt::QueuedConnection);
}

bool CBricolaDlg::CreaTimer(int id, int millisecondi) {
  idTimer = id;
  timer.start(std::max(1, millisecondi));
  return timer.isActive();
}

void CBricolaDlg::DistruggiTimer(int) {
  timer.stop();
  idTimer = 0;
}

bool CBricolaDlg::Chiedi(const std::string& testo, bool okAnnulla) {
  QMessageBox box(QMessageBox::Warning, "Bricola", Q(testo),
                  okAnnulla ? (QMessageBox::Ok | QMessageBox::Cancel) : (QMessageBox::Yes | QMessageBox::No), this);
  // The harmless answer is the default one.
  box.setDefaultButton(okAnnulla ? QMessageBox::Cancel : QMessageBox::No);
  const int r = box.exec();
  return r == QMessageBox::Ok || r == QMessageBox::Yes;
}

void CBricolaDlg::Avvisa(const std::string& testo) {
  QMessageBox box(QMessageBox::Warning, "Bricola", Q(testo), QMessageBox::Ok, this);
  box.exec();
}

void CBricolaDlg::Suona() { QApplication::beep(); }

void CBricolaDlg::MostraStato(const std::string& testo) {
  statoLinea->setText(Q(testo));
  statoLinea->setAccessibleName(Q(testo));
}

void CBricolaDlg::MostraStatistiche(const SStatistiche& s) {
  tempo->setText(Q(s.tempo));
  complessivi->setText(Q(s.complessivi));
  trasferiti->setText(Q(s.trasferiti));
  rimanenti->setText(Q(s.rimanenti));
  ritrasmessi->setText(Q(s.ritrasmessi));
  if (s.velocita) velocita->setText(Q(*s.velocita));
  if (s.progressivo) progressivo->setText(Q(*s.progressivo));
  progresso->setRange(0, std::max(1, s.massimo));
  progresso->setValue(s.posizione);
}

void CBricolaDlg::MostraComandi(const SComandi& c) {
  load->setText(ConMnemonico(c.testoLoad));
  read->setText(ConMnemonico(c.testoRead));
  clear->setText(ConMnemonico(c.testoClear));
  check->setText(ConMnemonico(c.testoCheck));
  micro->setText(ConMnemonico(c.testoMicro));
  load->setEnabled(c.load);
  load->setDefault(true);
  read->setEnabled(c.read);
  clear->setEnabled(c.clear);
  check->setEnabled(c.check);
  micro->setEnabled(c.micro);
  for (QWidget* w : std::initializer_list<QWidget*>{esci, campoFile, sfoglia, selezionaTutto, deselezionaTutto,
                                                    cavo, memox, porte, gruppoVerifica, lista}) {
    w->setEnabled(c.altri);
  }
  indirizzo->setEnabled(c.gruppoBoot);
  reset->setEnabled(c.gruppoBoot);
  rts->setEnabled(c.gruppoBoot);
  gruppoBoot->setEnabled(c.gruppoBoot || c.check || c.micro);
}

void CBricolaDlg::MostraFileRecenti(const std::vector<std::string>& voci) {
  riempiendo = true;
  campoFile->clear();
  for (const auto& v : voci) campoFile->addItem(Q(v));
  campoFile->setCurrentIndex(voci.empty() ? -1 : 0);
  campoFile->setEditText(voci.empty() ? QString() : Q(voci.front()));
  riempiendo = false;
}

void CBricolaDlg::MostraModuli(const std::vector<SRiga>& nuove) { lista->Mostra(nuove); }

void CBricolaDlg::MostraAvviso(const std::string& testo) {
  avvisoCavo->setText(Q(testo));
  avvisoCavo->setAccessibleName(Q(testo));
}

void CBricolaDlg::MostraPorte(const std::vector<std::string>& voci, int scelta, bool modoCavo, bool conScelta) {
  riempiendo = true;
  porte->clear();
  for (const auto& v : voci) porte->addItem(Q(v));
  porte->setCurrentRow(scelta);
  cavo->setVisible(conScelta);
  memox->setVisible(conScelta);
  cavo->setChecked(modoCavo);
  memox->setChecked(!modoCavo);
  riempiendo = false;
}

void CBricolaDlg::MostraIndirizzo(const std::string& testo) { indirizzo->setText(Q(testo)); }

void CBricolaDlg::MostraModoVerifica(int modo) {
  if (modo >= 0 && modo < 3) verifica[modo]->setChecked(true);
}

std::string CBricolaDlg::TestoFile() { return campoFile->currentText().toStdString(); }
std::string CBricolaDlg::TestoIndirizzo() { return indirizzo->text().toStdString(); }
std::string CBricolaDlg::TestoReset() { return reset->text().toStdString(); }
bool CBricolaDlg::ResetConRts() { return rts->isChecked(); }

std::string CBricolaDlg::ScegliFile(const std::string& cartella) {
  const QString inizio = cartella.empty() ? QDir::currentPath() : Q(cartella);
  const QString filtri = lingua ? "Binary images (*.bin);;All files (*)"
                                : "Immagini binarie (*.bin);;Tutti i file (*)";
  return QFileDialog::getOpenFileName(this, "Bricola", inizio, filtri).toStdString();
}

void CBricolaDlg::CursoreAttesa(bool attesa) {
  if (attesa) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++attese;
  } else if (attese > 0) {
    QApplication::restoreOverrideCursor();
    --attese;
  }
}

void CBricolaDlg::ChiudiFinestra() {
  QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
}

}  // namespace bricola
