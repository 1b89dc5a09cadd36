// The list box of the window engine (window.h): a one-level tree view laid
// out and drawn from a list format (list_format.h), holding the rows the
// procedure gives it. Internal to ui/; procedures reach it through Window.
//
// Drawing of the format: a column's width and indent are horizontal dialog
// units; the indent keeps the text off the side it is justified to (the
// left for "L" and "C", the right for "R" and "D"). "|" draws a line down
// the column's right edge, "_" one under each cell. "M" lets the user
// resize the column, every other column keeps its width ("F" or nothing);
// the last column takes what room is left. Headers show with their own
// justification.
//
// A page list (paged) holds only the rows of one page, which the procedure
// keeps filled: it reports how many rows fit (page_rows), and the keys,
// wheel and scroll bar that would move past the page arrive as events
// through `notify` instead of scrolling: Up on the first row ScrollUp, Down
// on the last ScrollDown, PgUp/PgDn PageUp/PageDown, Home/End (with or
// without Ctrl) ScrollTop/ScrollBottom, the wheel ScrollUp/ScrollDown per
// notch, the bar's arrows and page areas the same, and a thumb dropped
// after a drag ScrollDrag with its position 0..100. The bar stands just
// right of the view, outside its geometry; the procedure places its thumb
// (set_thumb).
//
// Typing a character 33..255 of the single-byte set (no Ctrl, no Alt)
// gives Locate with that byte. A page list does nothing else with it; a
// plain list also moves the highlight to the next row (after the
// highlighted one, round to the first) whose value cell begins with it,
// ignoring case.
//
// The highlight stays on its row while rows are added, dropped or
// replaced around it; dropping the highlighted row leaves none.
#pragma once

#include <QPointer>
#include <QScrollBar>
#include <QTreeWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ui/dialog_units.h"
#include "ui/list_format.h"
#include "ui/window.h"

namespace ui {

class ListView final : public QTreeWidget {
 public:
  // `code` an event code of engine_codes.h, `value` what it carries
  // (Locate: the byte; ScrollDrag: the position).
  using Notify = std::function<void(std::int32_t code, int value)>;

  ListView(QWidget* parent, ListFormat format, DialogBase base, bool paged, Notify notify);
  ~ListView() override;

  bool paged() const { return paged_; }
  // The rows that fit in the view without scrolling (whole rows only).
  int page_rows() const;

  // The rows; cells beyond the format's columns are kept, not shown.
  using Row = std::vector<std::string>;
  void set_rows(std::vector<Row> rows);  // no row highlighted afterwards
  void add_row(Row row, ListEnd end);
  void drop_row(ListEnd end);
  // `row` 0-based; false when out of range.
  bool replace_row(int row, Row cells);
  int row_count() const { return static_cast<int>(rows_.size()); }
  const Row* row(int index) const;  // nullptr out of range
  // 0-based, -1 for none.
  int current_row() const;
  void set_current_row(int row);  // out of range: none; emits no signal

  // The cell (0-based) that is the row's value: what typing looks for.
  void set_value_column(int column) { value_column_ = column; }
  int value_column() const { return value_column_; }

  void set_thumb(int percent);  // page lists: 0..100, clamped
  int thumb() const;
  QScrollBar* page_bar() const { return bar_.data(); }

  // The bar comes and goes with the view.
  void setVisible(bool visible) override;

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void keyboardSearch(const QString&) override {}  // typing is ours (Locate)
  void wheelEvent(QWheelEvent* e) override;
  void moveEvent(QMoveEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void changeEvent(QEvent* e) override;

 private:
  void show_cells(QTreeWidgetItem* item, const Row& row) const;
  void locate(QChar typed);
  void place_bar();
  int row_height() const;

  ListFormat format_;
  std::vector<const ListColumn*> columns_;
  DialogBase base_;
  bool paged_;
  Notify notify_;
  std::vector<Row> rows_;
  QPointer<QScrollBar> bar_;
  int value_column_ = 0;
  int thumb_ = 0;
  int wheel_ = 0;  // eighths of a degree not yet worth a notch
};

}  // namespace ui
