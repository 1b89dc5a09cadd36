// What the browse windows share: one list of a browse kept filled, a page at
// a time, from a read-only view of a data file, and the small things their
// update forms have in common.
//
// A BrowseList never holds more rows than its page list shows. Every row is
// the record's cells as the caller's `make_row` gives them, then a mark cell
// and the record's position string in the view (always the last cell), so
// that a row is found again after any refill by its position alone:
//
//   BrowseList tables(window, kTablesList, view, "TransTables",
//                     {.make_row = ..., .key_cell = 1, .set_key = ..., .nocase = true});
//   tables.fill_top();
//   ... on a page event of the list:  tables.page_event(window.event(), window.thumb_position());
//   ... on Locate:                    tables.locate_typed(window.typed_char());
//
// Filling (the view placed at the top, the end, a kept row's position or a
// located value) reads at most a page of rows, plus the rows in front of
// the place that keep a kept row where it stood on the screen. Moving past
// either end of the page reads on from the end row's position string (the
// first record read is skipped when it is that row), adding each record at
// that end and dropping one at the other end once the page is full. So the
// list goes through the whole file, and records that other programs add or
// delete meanwhile show or vanish on the next read, each record once.
//
// A read that fails with anything but 33 ("Record Not Available") shows
// message 35 ("Record Retrieval Error") with the file's label; the call
// returns false and failed() stays true: the window is to close.
//
// The highlight is set by the list, never given as NewSelection: after a
// call that may have moved it the procedure follows it itself (the tables
// list refilling the characters, say).
//
// UI thread only; the window, the view and the functions must outlive the
// list.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "files/view/view.h"
#include "ui/task.h"
#include "ui/window.h"

namespace app {

class BrowseList {
 public:
  struct Shape {
    // The cells of the record the view has just read into the record
    // buffer, in queue order (the mark and the position are added).
    std::function<std::vector<std::string>()> make_row;
    // The cell that holds the key text typing locates by (the name, the
    // character, the command).
    std::size_t key_cell = 0;
    // Puts a located text into the key's fields of the record buffer.
    std::function<void(std::string_view)> set_key;
    // The key compares without regard to case.
    bool nocase = false;
  };

  BrowseList(ui::Window& window, int control, files::view::View& view, std::string label, Shape shape);

  // Fills a page from the first record of the view, highlighting it.
  bool fill_top();
  // Fills a page that ends with the last record, highlighting it.
  bool fill_bottom();
  // Fills a page around the record of `position`, keeping it at the row
  // it holds now when it is on the page (else at the first row) and
  // highlighted. A record that has gone gives its neighbour in key order.
  // A blank position fills from the top.
  bool fill_at(const std::string& position);
  // The same for the highlighted row (from the top when there is none):
  // what regaining the focus or a change of size does.
  bool refresh();

  // Answers a page event of the list (ScrollUp/Down, PageUp/Down,
  // ScrollTop/Bottom, ScrollDrag with the thumb's position). False for a
  // failed read; other events are ignored (true).
  bool page_event(std::int32_t event, int thumb);

  // Locating by typing `byte` (ANSI): when the highlighted row's key text
  // begins with it, ignoring case, the highlight moves one row down; when
  // the row then highlighted does not begin with it, the list is filled
  // from the first record whose key is at or after the character.
  bool locate_typed(int byte);

  // Moves the highlight by `rows` (negative: up), reading past the page's
  // ends as needed.
  bool move(int rows);

  int row_count() const;
  // 1-based; 0 when no row is highlighted.
  int highlighted() const;
  // The highlighted row's cells; empty when none.
  std::vector<std::string> highlighted_row() const;
  // Its position string; empty when none.
  std::string highlighted_position() const;
  // Highlights row `row` (1-based) as the user would have; no event.
  void highlight(int row);

  bool failed() const { return failed_; }
  files::view::View& view() { return view_; }
  int control() const { return control_; }

  // The position string the view gives the record now in the record
  // buffer: the record is read by `primary` (the buffer's key value), and
  // its place taken in the view's key. Empty when it cannot be read (the
  // buffer is then as the read left it).
  std::string position_of_buffer(files::KeyDescriptor& primary);

 private:
  using Row = std::vector<std::string>;

  int page() const;
  // Shows the page in the list and highlights row `row` (1-based; 0 none).
  void show(int row);
  // Places the view by `place` (first, reset, locate) and reads forward
  // into an empty list, then completes the page from the front, so that
  // `front_rows` rows stand in front of the first record read when the
  // file has them. Returns the index of the first record read forward
  // (-1: none).
  bool fill_forward(const std::function<int()>& place, int front_rows, int* first_read);
  // Reads up to n records after the last row (or before the first), adding
  // each and dropping one at the other end once the page is full. *read and
  // *dropped count them.
  bool read_after(int n, int* read, int* dropped);
  bool read_before(int n, int* read, int* dropped);
  Row row_from_buffer() const;
  int index_of(const std::string& position) const;
  bool fail_read();
  // The scroll thumb: where the highlighted row's key lies between the
  // view's first and last records.
  void learn_ends();
  void place_thumb();
  bool drag_to(int percent);

  ui::Window& window_;
  int control_;
  files::view::View& view_;
  std::string label_;
  Shape shape_;
  bool failed_ = false;
  std::deque<Row> page_;   // the page as read
  std::deque<Row> shown_;  // the rows the list shows now
  // The view's first and last records, as of the last full fill: their
  // positions and key texts.
  std::string first_position_, last_position_;
  std::string first_key_, last_key_;
};

// Before a browse calls its update form: the request set, the navigation
// request cleared. (A form that set one would have the browse move and
// call it again; none of this program's forms does, so each call is one.)
void prepare_form_call(std::int32_t request);

// True when the blank-padded field holds only blanks.
bool blank(std::string_view field);

}  // namespace app
