#include "ui/list_view.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QWheelEvent>
#include <algorithm>
#include <cstdlib>

#include "runtime/picture.h"
#include "ui/engine_codes.h"
#include "ui/text.h"

namespace ui {
namespace {

Qt::Alignment alignment_of(Justification j) {
  switch (j) {
    case Justification::Right:
    case Justification::Decimal: return Qt::AlignRight | Qt::AlignVCenter;
    case Justification::Centre: return Qt::AlignHCenter | Qt::AlignVCenter;
    case Justification::Left: break;
  }
  return Qt::AlignLeft | Qt::AlignVCenter;
}

// Rows as tight as the font allows, all alike, so that a page's size is
// known before any row is laid out.
int row_height_for(const QFontMetrics& fm) { return fm.height() + 4; }

// Draws a cell as its column says: the text kept off its side by the
// indent, clipped rather than elided (a cut value reads as the list boxes
// of old showed it), the border and underline lines.
class FormatDelegate final : public QStyledItemDelegate {
 public:
  FormatDelegate(QObject* parent, const std::vector<const ListColumn*>* columns, DialogBase base)
      : QStyledItemDelegate(parent), columns_(columns), base_(base) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(row_height_for(option.fontMetrics));
    return s;
  }

  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* w = opt.widget;
    const QStyle* style = w ? w->style() : QApplication::style();
    const QString text = opt.text;
    opt.text.clear();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, p, w);  // background, highlight, focus
    opt.text = text;

    const auto c = static_cast<std::size_t>(index.column());
    const ListColumn* column = c < columns_->size() ? (*columns_)[c] : nullptr;
    QRect r = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, w);
    if (column) {
      const int indent = du_to_px_x(column->indent, base_);
      const bool right = column->justification == Justification::Right ||
                         column->justification == Justification::Decimal;
      r.adjust(right ? 0 : indent, 0, right ? -indent : 0, 0);
    }
    const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled)  ? QPalette::Disabled
                                       : !(opt.state & QStyle::State_Active) ? QPalette::Inactive
                                                                             : QPalette::Normal;
    p->save();
    p->setClipRect(r.intersected(option.rect));
    p->setFont(opt.font);
    p->setPen(opt.palette.color(group, (opt.state & QStyle::State_Selected) ? QPalette::HighlightedText
                                                                            : QPalette::Text));
    p->drawText(r, static_cast<int>(opt.displayAlignment) | Qt::TextSingleLine, text);
    p->restore();
    if (column && (column->right_border || column->underline)) {
      p->save();
      p->setPen(opt.palette.color(group, QPalette::Mid));
      if (column->right_border) p->drawLine(option.rect.topRight(), option.rect.bottomRight());
      if (column->underline) p->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
      p->restore();
    }
  }

 private:
  const std::vector<const ListColumn*>* columns_;
  DialogBase base_;
};

}  // namespace

ListView::ListView(QWidget* parent, ListFormat format, DialogBase base, bool paged, Notify notify)
    : QTreeWidget(parent), format_(std::move(format)), base_(base), paged_(paged), notify_(std::move(notify)) {
  columns_ = list_columns(format_);
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setAllColumnsShowFocus(true);
  setContextMenuPolicy(Qt::CustomContextMenu);
  setItemDelegate(new FormatDelegate(this, &columns_, base_));

  setColumnCount(std::max<int>(1, static_cast<int>(columns_.size())));
  QStringList headers;
  bool any_header = false;
  for (const ListColumn* c : columns_) {
    headers << to_qstring(c->header);
    any_header = any_header || c->has_header;
  }
  setHeaderLabels(headers);
  setHeaderHidden(!any_header);
  QHeaderView* head = header();
  head->setSectionsMovable(false);
  for (std::size_t c = 0; c < columns_.size(); ++c) {
    const int n = static_cast<int>(c);
    setColumnWidth(n, du_to_px_x(std::abs(columns_[c]->width), base_));
    headerItem()->setTextAlignment(n, alignment_of(columns_[c]->header_justification_or_column()));
    head->setSectionResizeMode(n, columns_[c]->resizable && !columns_[c]->fixed ? QHeaderView::Interactive
                                                                               : QHeaderView::Fixed);
  }
  QObject::connect(head, &QHeaderView::sectionResized, this, [this] {
    // Only what the user does: the last column follows the view's width.
    if (QApplication::mouseButtons() & Qt::LeftButton) notify_(events::kColumnResize, 0);
  });

  if (paged_) {
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    bar_ = new QScrollBar(Qt::Vertical, parent);
    bar_->setRange(0, 100);
    bar_->setPageStep(10);
    bar_->setFocusPolicy(Qt::NoFocus);
    QObject::connect(bar_.data(), &QAbstractSlider::actionTriggered, this, [this](int action) {
      std::int32_t code = 0;
      switch (action) {
        case QAbstractSlider::SliderSingleStepAdd: code = events::kScrollDown; break;
        case QAbstractSlider::SliderSingleStepSub: code = events::kScrollUp; break;
        case QAbstractSlider::SliderPageStepAdd: code = events::kPageDown; break;
        case QAbstractSlider::SliderPageStepSub: code = events::kPageUp; break;
        case QAbstractSlider::SliderToMinimum: code = events::kScrollTop; break;
        case QAbstractSlider::SliderToMaximum: code = events::kScrollBottom; break;
        default: return;  // a drag: told when the thumb is dropped
      }
      // The thumb moves when the procedure has moved the page.
      bar_->setSliderPosition(thumb_);
      notify_(code, 0);
    });
    QObject::connect(bar_.data(), &QAbstractSlider::sliderReleased, this,
                     [this] { notify_(events::kScrollDrag, bar_->sliderPosition()); });
  }
}

ListView::~ListView() {
  if (bar_) delete bar_.data();
}

int ListView::row_height() const { return row_height_for(fontMetrics()); }

int ListView::page_rows() const {
  int h = height() - 2 * frameWidth();
  if (!header()->isHidden()) {
    h -= std::min(std::max(header()->minimumHeight(), header()->sizeHint().height()), header()->maximumHeight());
  }
  if (horizontalScrollBar()->isVisible()) h -= horizontalScrollBar()->height();
  return std::max(0, h / row_height());
}

void ListView::show_cells(QTreeWidgetItem* item, const Row& row) const {
  const std::size_t shown = std::min(row.size(), columns_.size());
  for (std::size_t c = 0; c < shown; ++c) {
    const ListColumn* column = columns_[c];
    const std::string text =
        column->picture.valid() ? runtime::format_picture(column->picture, std::string_view(row[c])) : row[c];
    item->setText(static_cast<int>(c), to_qstring(text));
    item->setTextAlignment(static_cast<int>(c), alignment_of(column->justification));
  }
  for (std::size_t c = shown; c < columns_.size(); ++c) item->setText(static_cast<int>(c), QString());
}

void ListView::set_rows(std::vector<Row> rows) {
  const QSignalBlocker block(this);
  clear();
  QList<QTreeWidgetItem*> items;
  for (const Row& row : rows) {
    auto* item = new QTreeWidgetItem;
    show_cells(item, row);
    items << item;
  }
  addTopLevelItems(items);
  rows_ = std::move(rows);
  set_current_row(-1);
}

void ListView::add_row(Row row, ListEnd end) {
  const QSignalBlocker block(this);
  auto* item = new QTreeWidgetItem;
  show_cells(item, row);
  if (end == ListEnd::Front) {
    insertTopLevelItem(0, item);
    rows_.insert(rows_.begin(), std::move(row));
  } else {
    addTopLevelItem(item);
    rows_.push_back(std::move(row));
  }
  if (paged_) verticalScrollBar()->setValue(0);
}

void ListView::drop_row(ListEnd end) {
  if (rows_.empty()) return;
  const QSignalBlocker block(this);
  const int index = end == ListEnd::Front ? 0 : row_count() - 1;
  const bool was_current = current_row() == index;
  delete takeTopLevelItem(index);
  rows_.erase(rows_.begin() + index);
  if (was_current) set_current_row(-1);
  if (paged_) verticalScrollBar()->setValue(0);
}

bool ListView::replace_row(int index, Row cells) {
  if (index < 0 || index >= row_count()) return false;
  show_cells(topLevelItem(index), cells);
  rows_[static_cast<std::size_t>(index)] = std::move(cells);
  return true;
}

const ListView::Row* ListView::row(int index) const {
  if (index < 0 || index >= row_count()) return nullptr;
  return &rows_[static_cast<std::size_t>(index)];
}

int ListView::current_row() const {
  QTreeWidgetItem* item = currentItem();
  return item ? indexOfTopLevelItem(item) : -1;
}

void ListView::set_current_row(int index) {
  const QSignalBlocker block(this);
  if (index >= 0 && index < row_count()) {
    setCurrentItem(topLevelItem(index));
  } else {
    setCurrentItem(nullptr);
    clearSelection();
  }
}

void ListView::set_thumb(int percent) {
  thumb_ = std::clamp(percent, 0, 100);
  if (bar_) {
    const QSignalBlocker block(bar_.data());
    bar_->setValue(thumb_);
  }
}

int ListView::thumb() const { return thumb_; }

void ListView::keyPressEvent(QKeyEvent* e) {
  if (paged_) {
    const int row = current_row();
    std::int32_t code = 0;
    switch (e->key()) {
      case Qt::Key_Up: code = row <= 0 ? events::kScrollUp : 0; break;
      case Qt::Key_Down: code = row >= row_count() - 1 ? events::kScrollDown : 0; break;
      case Qt::Key_PageUp: code = events::kPageUp; break;
      case Qt::Key_PageDown: code = events::kPageDown; break;
      case Qt::Key_Home: code = events::kScrollTop; break;
      case Qt::Key_End: code = events::kScrollBottom; break;
      default: break;
    }
    if (code != 0) {
      e->accept();
      notify_(code, 0);
      return;
    }
  }
  const QString typed = e->text();
  if (typed.size() == 1 && typed[0].isPrint() &&
      !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
    const int byte = ansi_byte(typed[0]);
    if (byte >= 33) {
      e->accept();
      notify_(events::kLocate, byte);
      if (!paged_) locate(typed[0]);
      return;
    }
  }
  QTreeWidget::keyPressEvent(e);
}

void ListView::locate(QChar typed) {
  const QChar key = typed.toCaseFolded();
  const int n = row_count();
  const auto column = static_cast<std::size_t>(value_column_);
  for (int step = 1; step <= n; ++step) {
    const int r = (current_row() + step) % n;
    const Row& cells = rows_[static_cast<std::size_t>(r)];
    const QString text = column < cells.size() ? to_qstring(cells[column]) : QString();
    if (!text.isEmpty() && text[0].toCaseFolded() == key) {
      setCurrentItem(topLevelItem(r));  // the user's move: NewSelection
      return;
    }
  }
}

void ListView::wheelEvent(QWheelEvent* e) {
  if (!paged_) {
    QTreeWidget::wheelEvent(e);
    return;
  }
  e->accept();
  wheel_ += e->angleDelta().y();
  for (; wheel_ >= 120; wheel_ -= 120) notify_(events::kScrollUp, 0);
  for (; wheel_ <= -120; wheel_ += 120) notify_(events::kScrollDown, 0);
}

void ListView::place_bar() {
  if (!bar_) return;
  const QRect g = geometry();
  bar_->setGeometry(g.right() + 1, g.y(), bar_->sizeHint().width(), g.height());
}

void ListView::moveEvent(QMoveEvent* e) {
  QTreeWidget::moveEvent(e);
  place_bar();
}

void ListView::resizeEvent(QResizeEvent* e) {
  QTreeWidget::resizeEvent(e);
  place_bar();
}

void ListView::setVisible(bool visible) {
  QTreeWidget::setVisible(visible);
  if (bar_) bar_->setVisible(visible);
}

void ListView::changeEvent(QEvent* e) {
  QTreeWidget::changeEvent(e);
  if (bar_ && e->type() == QEvent::EnabledChange) bar_->setEnabled(isEnabled());
}

}  // namespace ui
