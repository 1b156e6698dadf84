#include "ui/lista_programmi.h"

#include <QHeaderView>
#include <QResizeEvent>
#include <QStyle>
#include <QStyleOptionViewItem>

#include "base/testi.h"

namespace bricola {

namespace {
constexpr int kColonne = 7;
// Widths in per cent of the list's width, and alignments.
constexpr int kLarghezze[kColonne] = {4, 5, 55, 8, 10, 7, 7};
constexpr Qt::Alignment kAllineamenti[kColonne] = {Qt::AlignHCenter, Qt::AlignHCenter, Qt::AlignLeft,
                                                   Qt::AlignHCenter, Qt::AlignRight,   Qt::AlignHCenter,
                                                   Qt::AlignHCenter};
}  // namespace

CListaProgrammi::CListaProgrammi(QWidget* padre) : QTreeWidget(padre) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::NoSelection);
  setAllColumnsShowFocus(true);
  setColumnCount(kColonne);
  header()->setStretchLastSection(false);
  header()->setSectionsMovable(false);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int colonna) {
    if (riempiendo || colonna != 0 || !suSelezione) return;
    suSelezione(indexOfTopLevelItem(item));
  });
}

void CListaProgrammi::ImpostaColonne(int lingua, std::function<void(int riga)> selezione) {
  suSelezione = std::move(selezione);
  QStringList titoli{"", "Nr.", QString::fromUtf8(Testo(302 + lingua)), QString::fromUtf8(Testo(303 + lingua)),
                     QString::fromUtf8(Testo(304 + lingua)), "Code", "Rem."};
  setHeaderLabels(titoli);
  for (int c = 0; c < kColonne; ++c) headerItem()->setTextAlignment(c, kAllineamenti[c] | Qt::AlignVCenter);
  Larghezze();
}

void CListaProgrammi::Mostra(const std::vector<SRiga>& righe) {
  riempiendo = true;
  if (topLevelItemCount() != static_cast<int>(righe.size())) {
    clear();
    for (std::size_t i = 0; i < righe.size(); ++i) {
      auto* item = new QTreeWidgetItem(this);
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
      for (int c = 0; c < kColonne; ++c) item->setTextAlignment(c, kAllineamenti[c] | Qt::AlignVCenter);
    }
  }
  for (std::size_t i = 0; i < righe.size(); ++i) {
    QTreeWidgetItem* item = topLevelItem(static_cast<int>(i));
    for (int c = 1; c < kColonne; ++c) item->setText(c, QString::fromStdString(righe[i].testi[c]));
    item->setCheckState(0, righe[i].spunta ? Qt::Checked : Qt::Unchecked);
    // What a screen reader says for the tick cell.
    item->setData(0, Qt::AccessibleTextRole, QString::fromStdString(righe[i].testi[2]));
  }
  riempiendo = false;
}

bool CListaProgrammi::Spuntata(int riga) const {
  const QTreeWidgetItem* item = topLevelItem(riga);
  return item != nullptr && item->checkState(0) == Qt::Checked;
}

QRect CListaProgrammi::RettangoloSpunta(int riga) const {
  QTreeWidgetItem* item = topLevelItem(riga);
  if (item == nullptr) return {};
  const QModelIndex indice = indexFromItem(item, 0);
  QStyleOptionViewItem opzioni;
  initViewItemOption(&opzioni);
  opzioni.rect = visualRect(indice);
  opzioni.index = indice;
  opzioni.features |= QStyleOptionViewItem::HasCheckIndicator;
  return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opzioni, this);
}

void CListaProgrammi::resizeEvent(QResizeEvent* e) {
  QTreeWidget::resizeEvent(e);
  Larghezze();
}

void CListaProgrammi::Larghezze() {
  const int w = viewport()->width();
  for (int c = 0; c < kColonne; ++c) setColumnWidth(c, std::max(18, w * kLarghezze[c] / 100));
}

}  // namespace bricola
