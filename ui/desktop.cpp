#include "ui/desktop.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <cstdlib>
#include <memory>

#include "app/finestra.h"
#include "ui/bricola_dlg.h"
#include "ui/icona.h"

namespace bricola {

namespace {

bool Impostata(const char* nome) {
  const char* v = std::getenv(nome);
  return v != nullptr && *v != '\0';
}

// The application object for one mode's run (none when one exists already);
// it goes away with its holder, before the process's exit handlers run.
std::unique_ptr<QApplication> Applicazione(int& argc, char** argv) {
  if (QApplication::instance() != nullptr) return nullptr;
  auto app = std::make_unique<QApplication>(argc, argv);
  QApplication::setApplicationName("Bricola");
  QApplication::setOrganizationName("Corvanti");
  QApplication::setApplicationVersion(BRICOLA_VERSIONE);
  QApplication::setDesktopFileName("bricola");
  QApplication::setWindowIcon(IconaBricola());
  return app;
}

}  // namespace

bool DisplayDisponibile() {
  return Impostata("DISPLAY") || Impostata("WAYLAND_DISPLAY") || Impostata("QT_QPA_PLATFORM");
}

SDesktop DesktopQt(int& argc, char** argv) {
  SDesktop d;
  d.disponibile = [] { return DisplayDisponibile(); };
  d.mostraUso = [&argc, argv](std::string_view testo) {
    const auto app = Applicazione(argc, argv);
    QString t = QString::fromUtf8(testo.data(), static_cast<qsizetype>(testo.size()));
    t.remove(QChar('\r'));
    QMessageBox box(QMessageBox::Information, "Bricola", t, QMessageBox::Ok);
    // The usage lines are aligned in columns.
    box.setTextFormat(Qt::PlainText);
    box.setStyleSheet("QLabel { font-family: monospace; }");
    box.exec();
  };
  d.esegui = [&argc, argv](const SAvvioFinestra& avvio) {
    const auto app = Applicazione(argc, argv);
    {
      CBricolaDlg finestra;
      finestra.Avvia(avvio);
      finestra.exec();
    }
    return 0;
  };
  return d;
}

}  // namespace bricola
