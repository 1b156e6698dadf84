// CListaProgrammi: the module list. A report-style list of seven columns whose
// first column is each row's tick (a check box the user toggles with the mouse
// or the space bar); rows are never selected, and a press anywhere but on a
// tick does nothing.
#pragma once

#include <QTreeWidget>
#include <functional>
#include <string>
#include <vector>

#include "app/finestra.h"

namespace bricola {

class CListaProgrammi : public QTreeWidget {
 public:
  explicit CListaProgrammi(QWidget* padre = nullptr);

  // Headers (the texts 302 to 304 plus the language offset) and the callback
  // called with the row whose tick the user toggled.
  void ImpostaColonne(int lingua, std::function<void(int riga)> selezione);
  // Shows the rows: texts rewritten and ticks set; rows inserted or deleted
  // only when their number changes.
  void Mostra(const std::vector<SRiga>& righe);
  void CancellaTutto() { clear(); }
  bool Spuntata(int riga) const;
  // Where a row's tick is drawn, in viewport coordinates (empty for no row).
  QRect RettangoloSpunta(int riga) const;

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  void Larghezze();
  std::function<void(int)> suSelezione;
  bool riempiendo = false;
};

}  // namespace bricola
