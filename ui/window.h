// Windows opened from their definitions (window_definition.h) and run by a
// procedure's event loop:
//
//   ui::Window window(kMyWindow);
//   window.use(3, &name);                       // use variables, by control
//   while (co_await window.next_event()) {
//     switch (window.event()) { ... }           // act on (event, field)
//   }
//   save_placement(...); window.close();
//
// The window opens hidden; the first next_event() shows it, so that the
// procedure can restore its placement before the user sees it. OpenWindow
// is always its first event.
//
// Units: the definitions are in dialog units of the window's font; every
// position, size and mouse coordinate at this interface (set_position, the
// position properties, mouse_x/mouse_y) is in pixels. Window positions are
// the screen position of the window's client area, control positions are
// relative to it. du_x()/du_y() convert a definition's units.
//
// Ending the loop: next_event() returns false once the window is closed, or
// on the call after a CloseWindow or CloseDown event unless the procedure
// called keep_open() while handling it. The widget stays until close() (or
// the Window's destruction), so the procedure can still save its placement.
//
// Rejected is answered by the engine itself before the procedure sees it:
// a beep, the control redisplayed and selected again. An entry's typed text
// is Rejected when its picture cannot read it, a spin box's when the number
// lies outside the spin's range; the use variable keeps its value.
//
// Edited follows the typing in an Entry or Spin with kEditEvents: it comes
// once the text has rested for kEditQuiet milliseconds after the user's last
// change (a spin's arrows count as typing), so a word typed fast gives one.
// Nothing is taken: the use variable keeps its value until the text is
// accepted (Accepted, or Rejected as above); typed_value() reads what is
// typed. An Accepted or Rejected of the control, or a display() of it, drops
// its Edited still to come; a change by the procedure gives none.
//
// Keys every window knows: Enter presses the focused button, or else the
// window's default button (kDefaultButton; not when disabled or hidden),
// after taking the value being typed, as leaving the entry would (a refused
// value stops the press). A control's own key (ControlDef::key, such as
// Ctrl+Down on an entry) presses its button the same way. Armed keys
// (alert()) come first. Escape presses the window's cancel button
// (kCancelButton; not when disabled or hidden) without taking the value
// being typed, as a click on it would; a window without one ignores it.
// Entries refuse, with a beep, characters that the program's single-byte
// character set cannot hold, and typing beyond the width of their number
// or text picture (a "@s20" entry takes 20 characters).
//
// Events come in through the Qt event loop and are handed to the procedure
// from a queued call, never from inside a widget's own handler; a procedure
// that is busy (in a message box, or waiting for a procedure it called)
// finds them queued when it asks again. Consecutive MouseMove, Moved,
// Sized, Timer and ColumnResize events of one control are merged into the
// latest. Every event carries the mouse position of the last mouse event in
// the window before it (mouse_x()/mouse_y()).
//
// Sheets: a Sheet control with its Tab controls after it; the controls
// after a Tab that lie within the sheet's rectangle are on that tab and
// show only while it is in front. select() on such a control (or on a Tab)
// brings its tab to the front; property "selected" on the sheet reads and
// sets the tab in front (1-based); a change of tab gives NewSelection on
// the sheet. "hide" on a control on a tab keeps it hidden whichever tab is
// in front.
//
// Not thread-safe: the UI thread only. Needs a QApplication.
#pragma once

#include <climits>
#include <coroutine>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ui/dialog_units.h"
#include "ui/engine_codes.h"
#include "ui/window_definition.h"

class QWidget;

namespace ui {

struct Event {
  std::int32_t code = events::kNone;
  int control = 0;
  std::int32_t key = 0;  // AlertKey: the key code
  int mouse_x = 0;       // the mouse relative to the window's client area
  int mouse_y = 0;       // at the last mouse event before this one, pixels
  // Locate: the typed character's byte (ANSI, 33..255); ScrollDrag: where
  // the thumb was dropped, 0..100; 0 for every other event.
  std::int32_t value = 0;
};

// An end of a list's rows.
enum class ListEnd : std::uint8_t { Front, Back };

// The variable a control shows and edits; the window does not own it and
// it must outlive the window.
//   String, Entry: std::string (ANSI) or a number, through the picture; a
//           string entry shows its value without trailing blanks, leading
//           blanks kept. An Entry with kFileName: std::string of the
//           system's bytes, shown and taken as they are (no picture)
//   Check: std::int32_t, 1 ticked and 0 not
//   Spin: std::int32_t (or double)
//   Progress: std::int32_t, 0..100; display() paints it at once, so that a
//           procedure busy in a loop of its own shows its progress
//   Option: std::int32_t (the chosen radio's declared value, with_value(),
//           or else its 1-based position; a value that no radio has shows
//           none chosen) or std::string (the chosen radio's text without
//           its "&" marks)
//   Text: std::string, its lines separated by "\n", in the system's bytes
//           (text.h), not ANSI: a Text shows what files hold; a control
//           character shows as its picture (U+2400 up); display() keeps the
//           scroll position when the text did not change
//   List: std::string: whenever the highlighted row changes (the user, or
//           the "selected" property), that row's cell of the value column
//           (set_list_value_column(), 1 by default) as it was given, before
//           any picture
using UseVariable = std::variant<std::monostate, std::string*, std::int32_t*, double*>;

// The key code (engine_codes.h) of a Qt key with its modifiers; 0 for a
// key that has none.
std::int32_t key_code_from_qt(int qt_key, int qt_modifiers);

class Window {
 public:
  static constexpr int kUnchanged = INT_MIN;

  // Opens the window (hidden) from `def`, which must outlive the window.
  explicit Window(const WindowDef& def);
  ~Window();  // closes the window when still open
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  class [[nodiscard]] NextEvent {
   public:
    bool await_ready() const;
    void await_suspend(std::coroutine_handle<> waiter);
    bool await_resume();

   private:
    friend class Window;
    explicit NextEvent(Window* w) : window_(w) {}
    Window* window_;
  };
  // Waits for the next event and makes it current; false when the loop is
  // over (see the top of this file).
  NextEvent next_event();

  // The current event.
  std::int32_t event() const;
  int field() const;
  std::int32_t keycode() const;
  int mouse_x() const;
  int mouse_y() const;
  // Locate: the byte of the character typed; ScrollDrag: the thumb's
  // position 0..100 (both read Event::value).
  int typed_char() const;
  int thumb_position() const;

  // Vetoes the end of the loop that the current CloseWindow or CloseDown
  // would bring.
  void keep_open();

  void use(int control, UseVariable variable);
  // Moves the focus to the control. While a button of the window is held
  // down (mouse or space bar), the move waits until it is let go and its
  // click has been given: a button that loses the focus loses its press,
  // and a procedure answering Selected (which the press brings) by moving
  // the focus would otherwise swallow the click. The last move asked for
  // meanwhile wins.
  void select(int control);
  // Redraws the control from its use variable; 0 redraws every control.
  void display(int control = 0);
  // Queues an event for this window.
  void post(std::int32_t code, int control = 0);

  // Properties by number (engine_codes.h), values as text. Unknown numbers
  // and controls read "" and ignore writes.
  void set_property(int control, std::int32_t property, std::string_view value);
  std::string property(int control, std::int32_t property) const;

  // Pixels; kUnchanged keeps a value.
  void set_position(int control, int x, int y, int width = kUnchanged, int height = kUnchanged);

  // Makes this opening of the window modal (or not), as the kModal flag
  // does; only before the window is shown (its first event).
  void set_modal(bool modal);

  void set_text(int control, std::string_view text);
  std::string text(int control) const;

  static constexpr int kEditQuiet = 200;  // milliseconds: see Edited above
  // Entry and Spin: what the control shows now, read as accepting it would
  // (through its picture, a spin's range), as its use variable would take it
  // (a number as decimal text, a file name in the system's bytes); nothing
  // is taken. No value when accepting would refuse it, or for another kind
  // of control.
  std::optional<std::string> typed_value(int control) const;

  // Arms a key: pressing it while `control` (0: any control) has the focus
  // gives AlertKey with that control and keycode(). The mouse keys
  // keys::kMouseLeft2 (double click) and keys::kMouseRight (right click)
  // are armed the same way on lists.
  void alert(std::int32_t key, int control = 0);

  // The rows of a list: each row's cells in column order, as values that the
  // column pictures format (numbers as decimal text). Cells beyond the
  // format's columns are kept with the row but not shown (a record's
  // position, its id). Replacing the rows leaves no row highlighted.
  // Property "selected" reads the highlighted row (1-based; 0 for none) and
  // sets it; a number that names no row (row count + 1) highlights none.
  void set_list_rows(int control, std::vector<std::vector<std::string>> rows);
  int list_row_count(int control) const;
  // The cell (1-based; 1 unless set) that is a row's value: what a list's
  // string variable takes from the highlighted row, and what typing in a
  // plain list looks for.
  void set_list_value_column(int control, int column);

  // Page lists (kPageList): the procedure holds one page of rows, from a
  // file too large to hold whole, and keeps it filled as the user moves:
  //   * list_page_size(): how many whole rows the list shows now (it
  //     changes when the window is resized: Sized);
  //   * the keys, wheel and scroll bar that would take the highlight off
  //     the page arrive as events instead of scrolling anything: ScrollUp
  //     (Up on the first row, the wheel, the bar's arrow), ScrollDown (Down
  //     on the last row), PageUp and PageDown (PgUp, PgDn, the bar's page
  //     areas), ScrollTop and ScrollBottom (Home, End), ScrollDrag (the
  //     thumb dropped; thumb_position()). Moves within the page are the
  //     list's own: NewSelection;
  //   * while the procedure handles one of those events or Locate, the
  //     mouse pointer shows busy, until it asks for the next event; a fill
  //     of its own can show it with BusyCursor (services.h);
  //   * the thumb stays where set_list_thumb() puts it (0..100).
  // Every list, paged or not: typing a character 33..255 of the ANSI set
  // (no Ctrl or Alt) gives Locate with typed_char(); a plain list also
  // moves the highlight to the next row whose value cell begins with it
  // (ignoring case; round to the first), a page list does nothing else. Alt keys, Ctrl+Enter, Insert, Delete, the right button
  // (keys::kMouseRight) and a double click (keys::kMouseLeft2) give
  // AlertKey when armed (alert()); an unarmed double click on a row gives
  // Accepted. A right click highlights the row under the mouse first, and
  // the event's mouse_x()/mouse_y() are where it was clicked, so popup()
  // opens there.
  //
  // The row functions below work on any list. Rows are numbered from 1.
  // The highlight stays on its row while rows are added, dropped or
  // replaced around it (its number follows); dropping the highlighted row
  // leaves none highlighted. None of them gives NewSelection or changes a
  // bound variable.
  int list_page_size(int control) const;
  void list_add(int control, std::vector<std::string> row, ListEnd end = ListEnd::Back);
  void list_drop(int control, ListEnd end);
  // False when `row` names no row.
  bool list_replace(int control, int row, std::vector<std::string> cells);
  // Every cell of the row as it was given, hidden ones too; empty when
  // `row` names no row.
  std::vector<std::string> list_row(int control, int row) const;
  void set_list_thumb(int control, int percent);

  // The status bar's text (kStatusBar) for controls without their own.
  void set_status_text(std::string_view text);
  // What the status bar shows now.
  std::string status_text() const;

  // Accepting all entries at once (property props::kAcceptAll, "1"), as a
  // form does on OK: every Entry and Spin that is enabled, not read-only
  // and not hidden by the procedure, in control order, has its text read
  // through its picture (and a spin's range) as leaving it would, even
  // when it was not changed. The first that fails gets Rejected, with the
  // engine's answer to it, and the accept ends there. Otherwise each one's
  // value goes to its variable and the events come in control order:
  // Accepted for each, then Completed (control 0). The property reads "1"
  // from the start until Completed or Rejected is taken; setting it to "0"
  // meanwhile ends the accept and drops its events not yet taken. (A
  // window that gains the focus meanwhile should not redisplay.)

  // The files of the last drop (kAcceptFiles), as full paths in the
  // system's bytes; only local files are taken.
  const std::vector<std::string>& dropped_files() const;

  // Timer events every `hundredths` of a second; 0 stops them.
  void set_timer(int hundredths);

  // Closes the window now. The loop's next next_event() returns false.
  void close();
  bool is_open() const;

  int du_x(int units) const;
  int du_y(int units) const;
  DialogBase dialog_base() const;
  int control_count() const;
  const WindowDef& definition() const;

  // Events queued for the procedure and not yet taken, and a focus move
  // held back by a held button: 0 once it has caught up with everything
  // the user did (the control map tells drivers from outside when a window
  // is ready for their next input).
  int pending_events() const;
  // The procedure waits in next_event(), so what is pending reaches it at
  // the event loop's next turn; false while it is away (in a message box,
  // or in a window it opened), where events wait for that to end.
  bool waiting() const;

  // The Qt widgets, for tests and the screenshot run: 0 is the window.
  // nullptr once closed or for a control number out of range.
  QWidget* widget(int control = 0) const;

  // The windows still open, in the order they were opened.
  static std::vector<Window*> open_windows();

  struct State;  // internal

 private:
  std::shared_ptr<State> s_;
};

// Holds every procedure where it is: while a hold lasts no procedure is
// resumed; the events for its windows wait in their queues and come when
// the last hold ends. For the event loop run from inside an operation that
// must not be interleaved with another procedure's work (a question asked
// in the middle of a file operation, windows painted while it waits).
// Nests. UI thread only.
class ProcedureHold {
 public:
  ProcedureHold();
  ~ProcedureHold();
  ProcedureHold(const ProcedureHold&) = delete;
  ProcedureHold& operator=(const ProcedureHold&) = delete;
};

// Lets the windows be drawn while the program is busy in a wait of its own
// (another program's lock): what the window system asks for (exposure,
// size, paint) is done now; input and every procedure wait, held, until the
// program is back in its event loop.
void paint_windows();

// Queues an event for the program's first thread: the window opened first
// that is still open (the toolbox). False when no window is open.
bool post_to_first_thread(std::int32_t code, int control = 0);

// Posts CloseDown to every open window.
void close_down_all();

}  // namespace ui
