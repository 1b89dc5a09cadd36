#include "ui/window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDropEvent>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QValidator>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>

#include "runtime/picture.h"
#include "ui/icons.h"
#include "ui/list_format.h"
#include "ui/list_view.h"
#include "ui/menu_text.h"
#include "ui/services.h"
#include "ui/text.h"

namespace ui {

// --------------------------------------------------------------------------
// Internal state. Widgets and queued calls hold it weakly: a window that is
// gone simply drops what still arrives for it.

struct Window::State : std::enable_shared_from_this<Window::State> {
  Window* owner = nullptr;
  const WindowDef* def = nullptr;
  QPointer<QWidget> widget;
  std::vector<QPointer<QWidget>> controls;  // [0] unused: the window is `widget`
  std::vector<UseVariable> vars;
  std::vector<runtime::PictureDescriptor> pictures;
  std::vector<int> option_of;          // Radio: its Option's control number
  std::vector<std::int32_t> radio_value;  // Radio: what its Option's variable holds while it is chosen
  std::vector<int> spin_shown;            // Spin: the value last shown or taken
  std::vector<std::pair<int, std::int32_t>> alerts;
  std::vector<std::int32_t> colors;
  QPointer<QTimer> timer;
  std::vector<QPointer<QTimer>> edit_quiet;  // kEditEvents: the wait for a pause in the typing
  // The window that was active when this one first showed: it gets the
  // keys back when this one closes while active (with no window manager,
  // nobody else would give them back).
  QPointer<QWidget> opener;

  std::vector<char> hidden;             // hidden by the definition or the procedure
  std::vector<int> tab_of;              // on a sheet's tab: that Tab's number, else 0
  std::vector<int> sheet_of;            // Tab: its Sheet's number
  QPointer<QLabel> status_bar;
  std::string status_text;              // the window's own
  std::vector<std::string> dropped;     // the files of the last drop
  int focused = 0;                      // the control that had the focus last
  int deferred_focus = 0;               // select() asked for while a button was held down

  std::deque<Event> queue;
  std::deque<Event> sweep;              // the events of accepting all, before the queue
  bool accepting = false;
  bool busy = false;                    // a busy pointer shown for the current event
  Event current;
  Event last_mouse;
  std::coroutine_handle<> waiter;
  bool resume_scheduled = false;
  bool open = true;
  bool ended = false;
  bool close_pending = false;
  bool shown_once = false;
  bool start_hidden = false;
  // The window whose procedure opened this one (it was running then): a
  // modal window blocks that one alone.
  std::weak_ptr<State> opened_by;
  QFont font;
  DialogBase base;

  void push(Event e);
  void schedule_resume();
  QWidget* control(int n) const {
    if (n == 0) return widget.data();
    if (n < 1 || n >= static_cast<int>(controls.size())) return nullptr;
    return controls[static_cast<std::size_t>(n)].data();
  }
  int number_of(const QWidget* w) const {
    for (std::size_t i = 1; i < controls.size(); ++i) {
      if (controls[i].data() == w) return static_cast<int>(i);
    }
    return -1;
  }
  ListView* list(int n) const { return dynamic_cast<ListView*>(control(n)); }
  // A button of this window held down (by the mouse or the space bar).
  bool button_held() const {
    for (std::size_t i = 1; i < controls.size(); ++i) {
      if (auto* b = qobject_cast<QAbstractButton*>(controls[i].data()); b && b->isDown()) return true;
    }
    return false;
  }
  // The button was let go: the focus move it held back happens once the
  // release has done its work (the click is out).
  void release_deferred_focus();
  // Modal to the window of opened_by (else to the program), or not modal.
  void make_modal(bool modal);
  // This window was activated: a modal window it waits for that is
  // minimised comes back, or the user would face a window that answers
  // nothing and no sign why.
  void bring_back_modal();
  const ControlDef* control_def(int n) const {
    if (n < 1 || static_cast<std::size_t>(n) > def->controls.size()) return nullptr;
    return &def->controls[static_cast<std::size_t>(n - 1)];
  }
  void display(int n);
  // The user changed the text of control n: Edited once it rests.
  void edited(int n) {
    if (QTimer* t = edit_quiet[static_cast<std::size_t>(n)]) t->start();
  }
  void drop_edited(int n) {
    if (QTimer* t = edit_quiet[static_cast<std::size_t>(n)]) t->stop();
  }
  // Reads a changed entry back into its use variable (Accepted) or refuses
  // it (Rejected); false when refused.
  bool accept_entry(int n);
  // The same for a spin box: a value outside its range is refused.
  bool accept_spin(int n);
  struct TypedValue {
    double number = 0;
    std::string text;
  };
  // What the entry or spin box shows now, read as leaving it would; no
  // value when it would be refused.
  std::optional<TypedValue> read_entry(int n) const;
  std::optional<int> read_spin(int n) const;
  void store(int n, const TypedValue& value);
  void start_accept_all();
  void stop_accept_all();
  // Shows or hides control n as the procedure and the sheets say.
  void apply_visibility(int n);
  void show_status(int focused);
  void place_status_bar();
  // A list's highlighted row changed: its cell goes to a string variable.
  void take_list_value(int n);
  // Takes the value being typed into control n, as leaving it would; false
  // when the value was refused.
  bool commit(int n);
  // Enter in control n: presses n itself when it is a button, else the
  // window's default button. False when there is nothing to press.
  bool press_default(int n);
  // Escape: presses the cancel button; false when there is none to press.
  bool press_cancel();
  Event with_mouse(std::int32_t code, int control) const {
    Event e = last_mouse;
    e.code = code;
    e.control = control;
    e.key = 0;
    e.value = 0;
    return e;
  }
};

namespace {

std::vector<Window*>& registry() {
  static std::vector<Window*> windows;
  return windows;
}

// The context of every queued resumption. Owned by the application, so
// nothing runs after it is gone.
QObject* dispatcher() {
  static QPointer<QObject> d;
  if (!d) d = new QObject(QCoreApplication::instance());
  return d.data();
}

// The window whose procedure runs now (resumed from its next_event(), until
// it waits again); none between events.
std::weak_ptr<Window::State>& running() {
  static std::weak_ptr<Window::State> w;
  return w;
}

// ProcedureHold: how many there are, and the procedures whose resumption
// came meanwhile.
int g_holds = 0;
std::vector<std::weak_ptr<Window::State>>& held_resumptions() {
  static std::vector<std::weak_ptr<Window::State>> held;
  return held;
}

// The events a page list's procedure answers by reading rows.
bool is_page_event(std::int32_t code) {
  return (code >= events::kScrollUp && code <= events::kLocate) || code == events::kScrollDrag;
}

bool mergeable(std::int32_t code) {
  return code == events::kMouseMove || code == events::kMoved || code == events::kSized ||
         code == events::kTimer || code == events::kColumnResize || code == events::kEdited;
}

QColor qcolor(std::int32_t bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

bool is_generic_face(std::string_view face) {
  // The faces the definitions of old name for "the dialog font".
  return face == "MS Sans Serif" || face == "MS Shell Dlg" || face == "Small Fonts" || face == "System";
}

QFont make_font(const FontSpec& spec, const QFont& base) {
  QFont f = base;
  if (!spec.face.empty()) {
    if (is_generic_face(spec.face)) {
      f.setFamily(QApplication::font().family());
    } else {
      f.setFamilies({to_qstring(spec.face)});
      f.setStyleHint(QFont::SansSerif);  // a face the system lacks falls back to a sans
    }
  }
  if (spec.points > 0) f.setPointSize(spec.points);
  if (spec.bold) f.setBold(true);
  return f;
}

DialogBase base_of(const QFont& font) {
  const QFontMetrics fm(font);
  // The average width of the 52 letters, rounded, as dialog units have
  // always been measured; a font's own "average" figure varies too much.
  const int letters = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return DialogBase{(letters / 26 + 1) / 2, fm.height()};
}

bool truthy(std::string_view v) {
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  return !v.empty() && v != "0";
}

int to_int(std::string_view v, int fallback) {
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  int out = 0;
  const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
  if (ec != std::errc() || ptr == v.data()) return fallback;
  return out;
}

std::string number_text(double v) {
  if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15) {
    return std::to_string(static_cast<long long>(v));
  }
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// What a Text shows of its bytes (the system's, as a file holds them): a
// control character other than the line end and the tab as its picture
// (U+2400 up), so that the text shows it rather than hiding it or acting
// on it.
QString text_shown(std::string_view bytes) {
  QString text = from_system_bytes(bytes);
  for (QChar& c : text) {
    const char16_t u = c.unicode();
    if (u == 0x7F) {
      c = QChar(0x2421);
    } else if (u < 0x20 && u != u'\n' && u != u'\t') {
      c = QChar(static_cast<char16_t>(0x2400 + u));
    }
  }
  return text;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// --------------------------------------------------------------------------
// Widgets

class WindowWidget final : public QWidget {
 public:
  WindowWidget(std::weak_ptr<Window::State> s, Qt::WindowFlags flags) : QWidget(nullptr, flags), s_(std::move(s)) {}
  std::shared_ptr<Window::State> state() const { return s_.lock(); }

 protected:
  void closeEvent(QCloseEvent* e) override {
    e->ignore();  // the procedure decides
    if (auto s = s_.lock()) s->push(s->with_mouse(events::kCloseWindow, 0));
  }
  void changeEvent(QEvent* e) override {
    QWidget::changeEvent(e);
    auto s = s_.lock();
    if (!s) return;
    if (e->type() == QEvent::WindowStateChange) {
      const Qt::WindowStates old = static_cast<QWindowStateChangeEvent*>(e)->oldState();
      const Qt::WindowStates now = windowState();
      if ((now & Qt::WindowMinimized) && !(old & Qt::WindowMinimized)) {
        s->push(s->with_mouse(events::kIconized, 0));
      } else if ((now & Qt::WindowMaximized) && !(old & Qt::WindowMaximized)) {
        s->push(s->with_mouse(events::kMaximized, 0));
      } else if (!(now & (Qt::WindowMinimized | Qt::WindowMaximized)) &&
                 (old & (Qt::WindowMinimized | Qt::WindowMaximized))) {
        s->push(s->with_mouse(events::kRestored, 0));
      }
    } else if (e->type() == QEvent::ActivationChange && s->shown_once) {
      if (isActiveWindow()) s->bring_back_modal();
      s->push(s->with_mouse(isActiveWindow() ? events::kGainFocus : events::kLoseFocus, 0));
    }
  }
  void moveEvent(QMoveEvent* e) override {
    QWidget::moveEvent(e);
    if (auto s = s_.lock(); s && isVisible()) s->push(s->with_mouse(events::kMoved, 0));
  }
  void resizeEvent(QResizeEvent* e) override {
    QWidget::resizeEvent(e);
    auto s = s_.lock();
    if (!s) return;
    s->place_status_bar();
    if (isVisible()) s->push(s->with_mouse(events::kSized, 0));
  }

 private:
  std::weak_ptr<Window::State> s_;
};

// Notes where the mouse is at every mouse event in any of our windows, so
// that every event carries the position of the mouse when it happened, not
// of the last one that a control chose to report.
class MouseTracker final : public QObject {
 public:
  using QObject::QObject;

  static void install() {
    static QPointer<MouseTracker> tracker;
    if (!tracker) {
      tracker = new MouseTracker(QCoreApplication::instance());
      QCoreApplication::instance()->installEventFilter(tracker);
    }
  }

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    QPointF local;
    switch (e->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::MouseMove: local = static_cast<QMouseEvent*>(e)->position(); break;
      case QEvent::Enter: local = static_cast<QEnterEvent*>(e)->position(); break;
      default: return false;
    }
    if (!o->isWidgetType()) return false;
    auto* w = static_cast<QWidget*>(o);
    auto* top = dynamic_cast<WindowWidget*>(w->window());
    if (!top) return false;
    if (auto s = top->state()) {
      const QPoint at = w->mapTo(top, local.toPoint());
      s->last_mouse.mouse_x = at.x();
      s->last_mouse.mouse_y = at.y();
    }
    return false;
  }
};

class RegionWidget final : public QWidget {
 public:
  RegionWidget(QWidget* parent, std::weak_ptr<Window::State> s, int number)
      : QWidget(parent), s_(std::move(s)), number_(number) {
    setAttribute(Qt::WA_Hover, false);
  }

 protected:
  void mousePressEvent(QMouseEvent* e) override { emit_event(events::kAccepted, e->position()); }
  void mouseReleaseEvent(QMouseEvent* e) override { emit_event(events::kMouseUp, e->position()); }
  void mouseMoveEvent(QMouseEvent* e) override { emit_event(events::kMouseMove, e->position()); }
  void enterEvent(QEnterEvent* e) override { emit_event(events::kMouseIn, e->position()); }
  void leaveEvent(QEvent*) override { emit_event(events::kMouseOut, mapFromGlobal(QCursor::pos()).toPointF()); }

 private:
  void emit_event(std::int32_t code, QPointF local) {
    auto s = s_.lock();
    if (!s || !s->widget) return;
    const QPoint at = mapTo(s->widget.data(), local.toPoint());
    s->last_mouse.mouse_x = at.x();
    s->last_mouse.mouse_y = at.y();
    s->push(s->with_mouse(code, number_));
  }

  std::weak_ptr<Window::State> s_;
  int number_;
};

// Entries take only what the program's character set can hold: anything
// else would be stored as "?" without a word.
class AnsiValidator final : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    for (QChar ch : input) {
      if (ansi_byte(ch) < 0) return Invalid;
    }
    return Acceptable;
  }
};

// A spin box whose arrows keep to its range but whose typing does not: a
// typed value outside the range is the engine's to refuse (Rejected), not
// the widget's to clamp silently.
class SpinWidget final : public QSpinBox {
 public:
  SpinWidget(QWidget* parent, int low, int high) : QSpinBox(parent), low_(low), high_(high) {
    setRange(-kTypable, kTypable);
    setValue(low);
  }
  int low() const { return low_; }
  int high() const { return high_; }
  void stepBy(int steps) override {
    const long long v = std::clamp<long long>(static_cast<long long>(value()) + steps, low_, high_);
    setValue(static_cast<int>(v));
    selectAll();
  }

 protected:
  StepEnabled stepEnabled() const override {
    StepEnabled e = StepNone;
    if (value() > low_) e |= StepDownEnabled;
    if (value() < high_) e |= StepUpEnabled;
    return e;
  }

 private:
  static constexpr int kTypable = 999'999'999;
  int low_, high_;
};

// Focus and keys of every control, and of the window itself (number 0).
class ControlFilter final : public QObject {
 public:
  ControlFilter(QObject* parent, std::weak_ptr<Window::State> s, int number)
      : QObject(parent), s_(std::move(s)), number_(number) {}

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    auto s = s_.lock();
    if (!s || !s->open) return false;
    if (e->type() == QEvent::DragEnter || e->type() == QEvent::DragMove || e->type() == QEvent::Drop) {
      return take_files(*s, static_cast<QDropEvent*>(e));
    }
    if (e->type() == QEvent::FocusIn && number_ > 0) {
      s->show_status(number_);
      s->push(s->with_mouse(events::kSelected, number_));
      return false;
    }
    if ((e->type() == QEvent::MouseButtonRelease || e->type() == QEvent::KeyRelease) && s->deferred_focus != 0) {
      s->release_deferred_focus();
      return false;
    }
    if (e->type() != QEvent::KeyPress) return false;
    const auto* k = static_cast<QKeyEvent*>(e);
    const std::int32_t key = key_code_from_qt(k->key(), static_cast<int>(k->modifiers()));
    if (key == 0) return false;
    if (const ControlDef* d = s->control_def(number_); d && d->key == key && d->key_presses > 0) {
      // As a click on the button would: the typed value first.
      auto* button = qobject_cast<QAbstractButton*>(s->control(d->key_presses));
      if (s->commit(number_)) {
        if (button) button->click();
        else s->push(s->with_mouse(events::kAccepted, d->key_presses));
      }
      return true;
    }
    for (const auto& [control, armed] : s->alerts) {
      if (armed == key && (control == 0 || control == number_)) {
        Event ev = s->with_mouse(events::kAlertKey, number_);
        ev.key = key;
        s->push(ev);
        return true;
      }
    }
    if (key == keys::kEnter) return s->press_default(number_);
    if (key == keys::kEsc) return s->press_cancel();
    return false;
  }

 private:
  // Files from a file manager, on a window that takes them; anything else
  // dragged is the control's own business.
  bool take_files(Window::State& s, QDropEvent* e) const {
    if (!(s.def->flags & kAcceptFiles) || !e->mimeData() || !e->mimeData()->hasUrls()) return false;
    std::vector<std::string> files;
    for (const QUrl& url : e->mimeData()->urls()) {
      // The path's bytes from its encoded form: a name that is no UTF-8
      // comes through as it is, not as replacement marks.
      if (!url.isLocalFile() || !(url.host().isEmpty() || url.host() == QLatin1String("localhost"))) continue;
      const QByteArray path = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
      if (!path.isEmpty()) files.push_back(path.toStdString());
    }
    if (files.empty()) return false;
    e->acceptProposedAction();
    if (e->type() == QEvent::Drop) {
      s.dropped = std::move(files);
      s.push(s.with_mouse(events::kDrop, number_));
    }
    return true;
  }

  std::weak_ptr<Window::State> s_;
  int number_;
};

}  // namespace

// --------------------------------------------------------------------------

std::int32_t key_code_from_qt(int qt_key, int qt_modifiers) {
  std::int32_t base = 0;
  if (qt_key >= Qt::Key_A && qt_key <= Qt::Key_Z) base = keys::kLetterA + (qt_key - Qt::Key_A);
  else if (qt_key >= Qt::Key_0 && qt_key <= Qt::Key_9) base = keys::kDigit0 + (qt_key - Qt::Key_0);
  else if (qt_key >= Qt::Key_F1 && qt_key <= Qt::Key_F12) base = keys::kF1 + (qt_key - Qt::Key_F1);
  else {
    switch (qt_key) {
      case Qt::Key_Backspace: base = keys::kBackspace; break;
      case Qt::Key_Tab:
      case Qt::Key_Backtab: base = keys::kTab; break;
      case Qt::Key_Return:
      case Qt::Key_Enter: base = keys::kEnter; break;
      case Qt::Key_Pause: base = keys::kPause; break;
      case Qt::Key_Escape: base = keys::kEsc; break;
      case Qt::Key_Space: base = keys::kSpace; break;
      case Qt::Key_PageUp: base = keys::kPgUp; break;
      case Qt::Key_PageDown: base = keys::kPgDn; break;
      case Qt::Key_End: base = keys::kEnd; break;
      case Qt::Key_Home: base = keys::kHome; break;
      case Qt::Key_Left: base = keys::kLeft; break;
      case Qt::Key_Up: base = keys::kUp; break;
      case Qt::Key_Right: base = keys::kRight; break;
      case Qt::Key_Down: base = keys::kDown; break;
      case Qt::Key_Insert: base = keys::kInsert; break;
      case Qt::Key_Delete: base = keys::kDelete; break;
      case Qt::Key_Apostrophe: base = keys::kQuote; break;
      default: return 0;
    }
  }
  if (qt_modifiers & Qt::ShiftModifier) base |= keys::kShift;
  if (qt_modifiers & Qt::ControlModifier) base |= keys::kCtrl;
  if (qt_modifiers & Qt::AltModifier) base |= keys::kAlt;
  if (qt_key == Qt::Key_Backtab) base |= keys::kShift;
  return base;
}

void Window::State::push(Event e) {
  if (!open) return;
  if (!queue.empty() && mergeable(e.code) && queue.back().code == e.code && queue.back().control == e.control) {
    queue.back() = e;
  } else {
    queue.push_back(e);
  }
  schedule_resume();
}

void Window::State::schedule_resume() {
  if (!waiter || resume_scheduled) return;
  resume_scheduled = true;
  QMetaObject::invokeMethod(
      dispatcher(),
      [weak = weak_from_this()] {
        const std::shared_ptr<State> s = weak.lock();
        if (!s) return;
        if (g_holds > 0) {  // comes again when the hold ends
          held_resumptions().push_back(s);
          return;
        }
        s->resume_scheduled = false;
        if (std::coroutine_handle<> h = std::exchange(s->waiter, {})) h.resume();
      },
      Qt::QueuedConnection);
}

void Window::State::release_deferred_focus() {
  QMetaObject::invokeMethod(
      dispatcher(),
      [weak = weak_from_this()] {
        const std::shared_ptr<State> s = weak.lock();
        if (!s || !s->open || !s->owner) return;
        if (const int control = std::exchange(s->deferred_focus, 0); control != 0) s->owner->select(control);
      },
      Qt::QueuedConnection);
}

void Window::State::make_modal(bool modal) {
  if (!widget) return;
  if (!modal) {
    widget->setWindowModality(Qt::NonModal);
    return;
  }
  const std::shared_ptr<State> o = opened_by.lock();
  if (o && o->open && o->widget) {
    // A window of its own still, kept with the one it blocks.
    widget->setParent(o->widget.data(), widget->windowFlags());
    widget->setWindowModality(Qt::WindowModal);
  } else {
    widget->setWindowModality(Qt::ApplicationModal);
  }
}

void Window::State::bring_back_modal() {
  for (Window* w : registry()) {
    const std::shared_ptr<State>& t = w->s_;
    if (t.get() == this || !t->widget || !t->widget->isMinimized()) continue;
    const Qt::WindowModality m = t->widget->windowModality();
    if (m == Qt::ApplicationModal || (m == Qt::WindowModal && t->opened_by.lock().get() == this)) {
      t->widget->showNormal();
      t->widget->raise();
      t->widget->activateWindow();
    }
  }
}

void Window::State::display(int n) {
  QWidget* w = control(n);
  const ControlDef* d = control_def(n);
  if (!w || !d) return;
  const UseVariable& var = vars[static_cast<std::size_t>(n)];
  const runtime::PictureDescriptor& pic = pictures[static_cast<std::size_t>(n)];
  drop_edited(n);
  const auto shown = [&]() -> std::string {
    if (const auto* p = std::get_if<std::string*>(&var)) {
      return pic.valid() ? runtime::format_picture(pic, std::string_view(**p)) : **p;
    }
    double v = 0;
    if (const auto* p = std::get_if<std::int32_t*>(&var)) v = **p;
    else if (const auto* p = std::get_if<double*>(&var)) v = **p;
    else return {};
    return pic.valid() ? runtime::format_picture(pic, v) : number_text(v);
  };
  const auto int_value = [&]() -> int {
    if (const auto* p = std::get_if<std::int32_t*>(&var)) return **p;
    if (const auto* p = std::get_if<double*>(&var)) return static_cast<int>(std::lround(**p));
    if (const auto* p = std::get_if<std::string*>(&var)) return to_int(**p, 0);
    return 0;
  };
  if (std::holds_alternative<std::monostate>(var)) {
    if (d->kind == ControlKind::Spin) {  // Rejected: back to the value it had
      auto* spin = static_cast<QSpinBox*>(w);
      const QSignalBlocker block(spin);
      spin->setValue(spin_shown[static_cast<std::size_t>(n)]);
    }
    return;
  }
  switch (d->kind) {
    case ControlKind::String:
      static_cast<QLabel*>(w)->setText(to_qstring(shown()));
      break;
    case ControlKind::Entry: {
      auto* edit = static_cast<QLineEdit*>(w);
      // A text's leading blanks are part of it; a number's are only the
      // picture's fill.
      const bool is_text = pic.valid() ? pic.kind == runtime::PictureKind::string
                                       : std::holds_alternative<std::string*>(var);
      if (d->flags & kFileName) {
        const auto* name = std::get_if<std::string*>(&var);
        edit->setText(name ? from_system_bytes(clip(**name)) : QString());
        edit->setModified(false);
        break;
      }
      const std::string text = shown();
      edit->setText(to_qstring(is_text ? clip(text) : trim(text)));
      edit->setModified(false);
      break;
    }
    case ControlKind::Spin: {
      auto* spin = static_cast<QSpinBox*>(w);
      const QSignalBlocker block(spin);
      spin->setValue(int_value());
      spin_shown[static_cast<std::size_t>(n)] = spin->value();
      break;
    }
    case ControlKind::Check:
      static_cast<QCheckBox*>(w)->setChecked(int_value() != 0);
      break;
    case ControlKind::Text: {
      auto* text = static_cast<QPlainTextEdit*>(w);
      const QString shown_text = text_shown(shown());
      if (text->toPlainText() != shown_text) text->setPlainText(shown_text);
      break;
    }
    case ControlKind::Progress: {
      auto* bar = static_cast<QProgressBar*>(w);
      bar->setValue(std::clamp(int_value(), 0, 100));
      // A procedure that shows progress is busy in a loop of its own and
      // gives the event loop no turn to paint.
      if (bar->isVisible()) bar->repaint();
      break;
    }
    case ControlKind::Option: {
      const std::string* as_text = nullptr;
      if (const auto* p = std::get_if<std::string*>(&var)) as_text = *p;
      const int chosen = as_text ? 0 : int_value();
      for (std::size_t r = 1; r < controls.size(); ++r) {
        if (option_of[r] != n || !controls[r]) continue;
        auto* radio = static_cast<QRadioButton*>(controls[r].data());
        const bool on = as_text ? menu_label(control_def(static_cast<int>(r))->text) == trim(*as_text)
                                : radio_value[r] == chosen;
        // An exclusive group never lets its last chosen radio go; "none
        // chosen" must be shown too.
        QButtonGroup* group = radio->group();
        if (group) group->setExclusive(false);
        radio->setChecked(on);
        if (group) group->setExclusive(true);
      }
      break;
    }
    default:
      break;
  }
}

std::optional<Window::State::TypedValue> Window::State::read_entry(int n) const {
  auto* edit = static_cast<QLineEdit*>(control(n));
  if (control_def(n)->flags & kFileName) return TypedValue{0, to_system_bytes(edit->text())};
  const std::string typed = from_qstring(edit->text());
  const runtime::PictureDescriptor& pic = pictures[static_cast<std::size_t>(n)];
  TypedValue value{0, typed};
  if (pic.valid()) {
    std::optional<runtime::PictureValue> v = runtime::deformat_picture(pic, typed);
    if (!v) return std::nullopt;
    value.number = v->number;
    value.text = std::move(v->text);
  } else if (!std::holds_alternative<std::string*>(vars[static_cast<std::size_t>(n)])) {
    const std::string_view t = trim(typed);
    const auto r = std::from_chars(t.data(), t.data() + t.size(), value.number);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) {
      if (!t.empty()) return std::nullopt;
      value.number = 0;
    }
  }
  return value;
}

void Window::State::store(int n, const TypedValue& value) {
  UseVariable& var = vars[static_cast<std::size_t>(n)];
  if (auto* p = std::get_if<std::string*>(&var)) **p = value.text;
  else if (auto* p = std::get_if<std::int32_t*>(&var)) {
    **p = static_cast<std::int32_t>(std::clamp<double>(std::llround(value.number), INT32_MIN, INT32_MAX));
  } else if (auto* p = std::get_if<double*>(&var)) **p = value.number;
}

bool Window::State::accept_entry(int n) {
  auto* edit = static_cast<QLineEdit*>(control(n));
  drop_edited(n);
  if (!edit || !edit->isModified()) return true;
  edit->setModified(false);
  const std::optional<TypedValue> value = read_entry(n);
  if (!value) {
    push(with_mouse(events::kRejected, n));
    return false;
  }
  store(n, *value);
  push(with_mouse(events::kAccepted, n));
  return true;
}

std::optional<int> Window::State::read_spin(int n) const {
  auto* spin = static_cast<SpinWidget*>(control(n));
  spin->interpretText();
  const int v = spin->value();
  if (v < spin->low() || v > spin->high()) return std::nullopt;
  return v;
}

bool Window::State::accept_spin(int n) {
  auto* spin = static_cast<SpinWidget*>(control(n));
  drop_edited(n);
  if (!spin) return true;
  spin->interpretText();
  if (spin->value() == spin_shown[static_cast<std::size_t>(n)]) return true;
  const std::optional<int> v = read_spin(n);
  if (!v) {
    push(with_mouse(events::kRejected, n));
    return false;
  }
  spin_shown[static_cast<std::size_t>(n)] = *v;
  store(n, TypedValue{static_cast<double>(*v), std::to_string(*v)});
  push(with_mouse(events::kAccepted, n));
  return true;
}

void Window::State::start_accept_all() {
  sweep.clear();
  accepting = true;
  std::vector<int> typed;
  for (int n = 1; n < static_cast<int>(controls.size()); ++n) {
    const ControlDef* d = control_def(n);
    const QWidget* w = control(n);
    if (!w || !w->isEnabled() || hidden[static_cast<std::size_t>(n)]) continue;
    const bool entry = d->kind == ControlKind::Entry && !(d->flags & kReadOnly);
    if (!entry && d->kind != ControlKind::Spin) continue;
    // All or nothing: every value is read before any is taken.
    const bool readable = entry ? read_entry(n).has_value() : read_spin(n).has_value();
    if (!readable) {
      sweep.push_back(with_mouse(events::kRejected, n));
      schedule_resume();
      return;
    }
    typed.push_back(n);
  }
  for (int n : typed) {
    drop_edited(n);
    // Values not changed since they were shown stay as the procedure set
    // them: the text shown may be stale or cut by its picture.
    if (auto* edit = qobject_cast<QLineEdit*>(control(n))) {
      if (edit->isModified()) {
        edit->setModified(false);
        store(n, *read_entry(n));
      }
    } else if (const int v = *read_spin(n); v != spin_shown[static_cast<std::size_t>(n)]) {
      spin_shown[static_cast<std::size_t>(n)] = v;
      store(n, TypedValue{static_cast<double>(v), std::to_string(v)});
    }
    sweep.push_back(with_mouse(events::kAccepted, n));
  }
  sweep.push_back(with_mouse(events::kCompleted, 0));
  schedule_resume();
}

void Window::State::stop_accept_all() {
  accepting = false;
  sweep.clear();
}

void Window::State::apply_visibility(int n) {
  QWidget* w = control(n);
  if (!w) return;
  const ControlDef* d = control_def(n);
  if (d->kind == ControlKind::Tab) return;  // a page: the sheet shows it
  bool on_shown_tab = true;
  if (const int t = tab_of[static_cast<std::size_t>(n)]; t != 0) {
    auto* sheet = qobject_cast<QTabWidget*>(control(sheet_of[static_cast<std::size_t>(t)]));
    on_shown_tab = !sheet || sheet->currentWidget() == control(t);
  }
  w->setVisible(!hidden[static_cast<std::size_t>(n)] && on_shown_tab);
}

void Window::State::show_status(int n) {
  focused = n;
  if (!status_bar) return;
  const ControlDef* d = control_def(n);
  status_bar->setText(QLatin1Char(' ') + to_qstring(d && !d->status.empty() ? d->status : status_text));
}

void Window::State::place_status_bar() {
  if (!status_bar || !widget) return;
  status_bar->setGeometry(0, widget->height() - status_bar->height(), widget->width(), status_bar->height());
}

void Window::State::take_list_value(int n) {
  ListView* t = list(n);
  auto* var = std::get_if<std::string*>(&vars[static_cast<std::size_t>(n)]);
  if (!t || !var) return;
  const ListView::Row* cells = t->row(t->current_row());
  if (!cells) return;
  const auto column = static_cast<std::size_t>(t->value_column());
  **var = column < cells->size() ? (*cells)[column] : std::string();
}

bool Window::State::commit(int n) {
  const ControlDef* d = control_def(n);
  if (!d) return true;
  if (d->kind == ControlKind::Entry) return accept_entry(n);
  if (d->kind == ControlKind::Spin) return accept_spin(n);
  return true;
}

bool Window::State::press_default(int n) {
  int button = 0;
  if (const ControlDef* d = control_def(n); d && d->kind == ControlKind::Button) {
    button = n;
  } else {
    for (int i = 1; i < static_cast<int>(controls.size()); ++i) {
      const QWidget* w = control(i);
      if ((control_def(i)->flags & kDefaultButton) && w && w->isEnabled() && !w->isHidden()) {
        button = i;
        break;
      }
    }
  }
  if (button == 0) return false;
  // The value being typed counts before the press, and a refused one stops
  // it, as leaving the entry would.
  if (commit(n)) static_cast<QAbstractButton*>(control(button))->click();
  return true;
}

bool Window::State::press_cancel() {
  for (int i = 1; i < static_cast<int>(controls.size()); ++i) {
    auto* b = qobject_cast<QAbstractButton*>(control(i));
    if ((control_def(i)->flags & kCancelButton) && b && b->isEnabled() && !b->isHidden()) {
      b->click();
      return true;
    }
  }
  return false;
}

namespace {
// The wait for a pause in the typing of a control with kEditEvents: each
// change starts it again, and only its end gives Edited.
QTimer* quiet_timer(QWidget* control, const std::weak_ptr<Window::State>& weak, int number) {
  auto* timer = new QTimer(control);
  timer->setSingleShot(true);
  timer->setInterval(Window::kEditQuiet);
  QObject::connect(timer, &QTimer::timeout, control, [weak, number] {
    if (auto st = weak.lock()) st->push(st->with_mouse(events::kEdited, number));
  });
  return timer;
}
}  // namespace

// --------------------------------------------------------------------------

Window::Window(const WindowDef& def) : s_(std::make_shared<State>()) {
  State& s = *s_;
  s.owner = this;
  s.def = &def;
  const std::size_t n = def.controls.size() + 1;
  s.controls.resize(n);
  s.vars.resize(n);
  s.pictures.resize(n);
  s.option_of.assign(n, 0);
  s.radio_value.assign(n, 0);
  s.spin_shown.assign(n, 0);
  s.colors.assign(n, kColorNone);
  s.edit_quiet.resize(n);
  s.hidden.assign(n, 0);
  s.tab_of.assign(n, 0);
  s.sheet_of.assign(n, 0);

  Qt::WindowFlags flags = Qt::Window;
  if (def.flags & kNoCaption) {
    flags |= Qt::FramelessWindowHint;
  } else {
    flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (def.flags & kSystemMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (def.flags & kMinimizeBox) flags |= Qt::WindowMinimizeButtonHint;
    if (def.flags & kMaximizeBox) flags |= Qt::WindowMaximizeButtonHint;
  }
  if (def.flags & kAlwaysOnTop) flags |= Qt::WindowStaysOnTopHint;

  MouseTracker::install();
  auto* top = new WindowWidget(s_, flags);
  s.widget = top;
  top->setObjectName(to_qstring(def.name));
  top->setWindowTitle(to_qstring(def.caption));
  if (!def.icon.empty()) top->setWindowIcon(load_icon(def.icon));
  s.font = make_font(def.font, QApplication::font());
  top->setFont(s.font);
  s.base = base_of(s.font);
  top->installEventFilter(new ControlFilter(top, s_, 0));

  int option = 0;
  int radio_count = 0;
  QButtonGroup* group = nullptr;
  int sheet = 0;  // the sheet whose tab the controls are on, while they lie within it
  int tab = 0;
  for (std::size_t i = 1; i < n; ++i) {
    const ControlDef& d = def.controls[i - 1];
    const int number = static_cast<int>(i);
    QWidget* w = nullptr;
    const QString text = to_qstring(d.text);
    std::weak_ptr<State> weak = s_;
    if (sheet != 0 && d.kind != ControlKind::Tab) {
      const ControlDef& sd = def.controls[static_cast<std::size_t>(sheet - 1)];
      const bool within = d.x >= sd.x && d.y >= sd.y && d.x + std::max(d.w, 0) <= sd.x + sd.w &&
                          d.y + std::max(d.h, 0) <= sd.y + sd.h;
      if (within) s.tab_of[i] = tab;
      else sheet = tab = 0;
    }
    switch (d.kind) {
      case ControlKind::Sheet: {
        auto* sh = new QTabWidget(top);
        sheet = number;
        tab = 0;
        QObject::connect(sh, &QTabWidget::currentChanged, sh, [weak, number] {
          auto st = weak.lock();
          if (!st) return;
          for (std::size_t c = 1; c < st->controls.size(); ++c) {
            if (st->tab_of[c] != 0) st->apply_visibility(static_cast<int>(c));
          }
          st->push(st->with_mouse(events::kNewSelection, number));
        });
        w = sh;
        break;
      }
      case ControlKind::Tab: {
        w = new QWidget(top);
        if (sheet != 0) {
          tab = number;
          s.sheet_of[i] = sheet;
          auto* sh = static_cast<QTabWidget*>(s.controls[static_cast<std::size_t>(sheet)].data());
          const QSignalBlocker block(sh);
          sh->addTab(w, text);
        } else {
          w->setVisible(false);  // a tab of no sheet has nothing to show
        }
        break;
      }
      case ControlKind::Button: {
        auto* b = new QPushButton(text, top);
        if (!d.icon.empty()) b->setIcon((d.flags & kOwnIcon) ? builtin_icon(d.icon) : load_icon(d.icon));
        b->setFlat((d.flags & kFlat) != 0);
        b->setDefault((d.flags & kDefaultButton) != 0);
        b->setAutoDefault(false);
        QObject::connect(b, &QPushButton::clicked, b, [weak, number] {
          if (auto st = weak.lock()) st->push(st->with_mouse(events::kAccepted, number));
        });
        w = b;
        break;
      }
      case ControlKind::Prompt:
      case ControlKind::String: {
        auto* l = new QLabel(top);
        const bool buddy = d.kind == ControlKind::Prompt && i < def.controls.size();
        l->setText(buddy ? text : to_qstring(menu_label(d.text)));
        l->setTextFormat(Qt::PlainText);
        l->setAttribute(Qt::WA_TransparentForMouseEvents);
        Qt::Alignment a = Qt::AlignLeft;
        Qt::Alignment v = Qt::AlignTop;
        if (d.flags & kCentred) {
          a = Qt::AlignHCenter;
          v = Qt::AlignVCenter;  // a small text in a strip sits in its middle
        }
        if (d.flags & kRightAligned) a = Qt::AlignRight;
        l->setAlignment(a | v);
        w = l;
        break;
      }
      case ControlKind::Entry: {
        auto* e = new QLineEdit(top);
        e->setReadOnly((d.flags & kReadOnly) != 0);
        if (!(d.flags & kFileName)) e->setValidator(new AnsiValidator(e));
        QObject::connect(e, &QLineEdit::inputRejected, e, [] { beep(); });
        QObject::connect(e, &QLineEdit::editingFinished, e, [weak, number] {
          if (auto st = weak.lock()) st->accept_entry(number);
        });
        if (d.flags & kEditEvents) {  // the user's typing only: setText gives no textEdited
          s.edit_quiet[i] = quiet_timer(e, weak, number);
          QObject::connect(e, &QLineEdit::textEdited, e, [weak, number] {
            if (auto st = weak.lock()) st->edited(number);
          });
        }
        w = e;
        break;
      }
      case ControlKind::Spin: {
        auto* sp = new SpinWidget(top, d.range_low, std::max(d.range_low, d.range_high));
        s.spin_shown[i] = d.range_low;
        QObject::connect(sp, &QSpinBox::editingFinished, sp, [weak, number] {
          if (auto st = weak.lock()) st->accept_spin(number);
        });
        if (d.flags & kEditEvents) {  // display() blocks the signals of its own change
          s.edit_quiet[i] = quiet_timer(sp, weak, number);
          QObject::connect(sp, &QSpinBox::textChanged, sp, [weak, number] {
            if (auto st = weak.lock()) st->edited(number);
          });
        }
        w = sp;
        break;
      }
      case ControlKind::Check: {
        auto* c = new QCheckBox(text, top);
        QObject::connect(c, &QCheckBox::clicked, c, [weak, number](bool on) {
          auto st = weak.lock();
          if (!st) return;
          if (auto* p = std::get_if<std::int32_t*>(&st->vars[static_cast<std::size_t>(number)])) **p = on ? 1 : 0;
          st->push(st->with_mouse(events::kAccepted, number));
        });
        w = c;
        break;
      }
      case ControlKind::Option: {
        auto* g = new QGroupBox(to_qstring(menu_label(d.text)), top);
        g->setFocusPolicy(Qt::NoFocus);
        option = number;
        radio_count = 0;
        group = new QButtonGroup(g);
        w = g;
        break;
      }
      case ControlKind::Radio: {
        auto* r = new QRadioButton(text, top);
        s.option_of[i] = option;
        ++radio_count;
        s.radio_value[i] = d.value.value_or(radio_count);
        if (group) group->addButton(r);
        const int opt = option;
        const std::int32_t value = s.radio_value[i];
        QObject::connect(r, &QRadioButton::clicked, r, [weak, opt, value, number] {
          auto st = weak.lock();
          if (!st || opt == 0) return;
          UseVariable& var = st->vars[static_cast<std::size_t>(opt)];
          if (auto* p = std::get_if<std::int32_t*>(&var)) **p = value;
          else if (auto* p = std::get_if<std::string*>(&var)) **p = menu_label(st->control_def(number)->text);
          st->push(st->with_mouse(events::kAccepted, opt));
        });
        w = r;
        break;
      }
      case ControlKind::List: {
        ListFormatParse parsed = parse_list_format(d.format);
        auto* t = new ListView(top, std::move(parsed.format), s.base, (d.flags & kPageList) != 0,
                               [weak, number](std::int32_t code, int value) {
                                 auto st = weak.lock();
                                 if (!st) return;
                                 Event ev = st->with_mouse(code, number);
                                 ev.value = value;
                                 st->push(ev);
                               });
        QObject::connect(t, &QTreeWidget::currentItemChanged, t, [weak, number] {
          auto st = weak.lock();
          if (!st) return;
          st->take_list_value(number);
          st->push(st->with_mouse(events::kNewSelection, number));
        });
        const auto armed = [](const State& st, int control, std::int32_t key) {
          return std::any_of(st.alerts.begin(), st.alerts.end(), [&](const auto& a) {
            return a.second == key && (a.first == 0 || a.first == control);
          });
        };
        QObject::connect(t, &QTreeWidget::itemDoubleClicked, t, [weak, number, armed] {
          auto st = weak.lock();
          if (!st) return;
          if (armed(*st, number, keys::kMouseLeft2)) {
            Event ev = st->with_mouse(events::kAlertKey, number);
            ev.key = keys::kMouseLeft2;
            st->push(ev);
          } else {
            st->push(st->with_mouse(events::kAccepted, number));
          }
        });
        QObject::connect(t, &QTreeWidget::customContextMenuRequested, t, [weak, number, armed, t](const QPoint& p) {
          auto st = weak.lock();
          if (!st || !st->widget || !armed(*st, number, keys::kMouseRight)) return;
          const QPoint at = t->viewport()->mapTo(st->widget.data(), p);
          st->last_mouse.mouse_x = at.x();
          st->last_mouse.mouse_y = at.y();
          Event ev = st->with_mouse(events::kAlertKey, number);
          ev.key = keys::kMouseRight;
          st->push(ev);
        });
        w = t;
        break;
      }
      case ControlKind::Text: {
        auto* t = new QPlainTextEdit(top);
        t->setReadOnly(true);
        t->setLineWrapMode(QPlainTextEdit::NoWrap);
        t->setAcceptDrops(false);  // a drop is the window's
        t->viewport()->setAcceptDrops(false);
        w = t;
        break;
      }
      case ControlKind::Progress: {
        auto* p = new QProgressBar(top);
        p->setRange(0, 100);
        p->setTextVisible(false);
        w = p;
        break;
      }
      case ControlKind::Region: {
        auto* r = new RegionWidget(top, s_, number);
        if (d.pointer == Pointer::Hand) r->setCursor(Qt::PointingHandCursor);
        w = r;
        break;
      }
      case ControlKind::Image: {
        auto* l = new QLabel(top);
        l->setAttribute(Qt::WA_TransparentForMouseEvents);
        l->setAlignment(Qt::AlignCenter);
        w = l;
        break;
      }
      case ControlKind::Box: {
        if (d.text.empty() && d.h > 0 && d.h <= 2) {  // as thin as a line: drawn as one
          auto* line = new QFrame(top);
          line->setFrameShape(QFrame::HLine);
          line->setFrameShadow(QFrame::Sunken);
          w = line;
        } else {
          w = new QGroupBox(to_qstring(menu_label(d.text)), top);
        }
        w->setAttribute(Qt::WA_TransparentForMouseEvents);
        w->setFocusPolicy(Qt::NoFocus);
        break;
      }
    }
    w->setObjectName(QStringLiteral("control%1").arg(number));
    s.controls[i] = w;
    if (!d.format.empty() && d.kind != ControlKind::List) s.pictures[i] = runtime::compile_picture(d.format);
    if (auto* edit = qobject_cast<QLineEdit*>(w); edit && d.kind == ControlKind::Entry) {
      // What the field cannot hold is refused as it is typed, not cut
      // without a word when it is stored. Dates and times are typed in
      // more ways than their picture shows, so only their reading judges.
      const runtime::PictureDescriptor& pic = s.pictures[i];
      if (pic.kind == runtime::PictureKind::string || pic.kind == runtime::PictureKind::number) {
        edit->setMaxLength(pic.width);
      }
    }
    if (d.font != FontSpec{}) w->setFont(make_font(d.font, s.font));
    if (d.flags & kFixedPitch) {
      QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
      fixed.setPointSizeF(w->font().pointSizeF());
      w->setFont(fixed);
    }
    if (!d.tip.empty()) w->setToolTip(to_qstring(d.tip));
    if (d.color != kColorNone) {
      s.colors[i] = d.color;
      QPalette pal = w->palette();
      pal.setColor(QPalette::WindowText, qcolor(d.color));
      pal.setColor(QPalette::Text, qcolor(d.color));
      pal.setColor(QPalette::ButtonText, qcolor(d.color));
      w->setPalette(pal);
    }
    if (d.flags & kSkip) w->setFocusPolicy(Qt::ClickFocus);
    if (d.flags & kDisabled) w->setEnabled(false);

    // The size is what lies between the rounded edges, so that controls
    // that meet in units meet in pixels, and one that ends at the window's
    // edge (the toolbox's lower button) ends there, not a pixel beyond it.
    QSize size(du_to_px_x(d.x + d.w, s.base) - du_to_px_x(d.x, s.base),
               du_to_px_y(d.y + d.h, s.base) - du_to_px_y(d.y, s.base));
    if (d.w <= 0 || d.h <= 0) {
      const QSize hint = w->sizeHint();
      if (d.w <= 0) size.setWidth(hint.width());
      if (d.h <= 0) size.setHeight(hint.height());
    }
    // A tab's page is the sheet's to place; a page list's scroll bar stands
    // within the list's width, just right of the rows.
    if (d.kind != ControlKind::Tab) {
      if (auto* list = dynamic_cast<ListView*>(w); list && list->page_bar()) {
        size.rwidth() -= list->page_bar()->sizeHint().width();
      }
      w->setGeometry(du_to_px_x(d.x, s.base), du_to_px_y(d.y, s.base), size.width(), size.height());
    }
    if (d.kind == ControlKind::Button && !d.icon.empty()) {
      const int side = std::max(8, std::min(size.width(), size.height()) - 6);
      static_cast<QPushButton*>(w)->setIconSize(QSize(side, side));
    }
    if (d.kind == ControlKind::Image && !d.icon.empty()) {
      const int side = std::min(size.width(), size.height());
      const QIcon icon = (d.flags & kOwnIcon) ? builtin_icon(d.icon) : load_icon(d.icon);
      static_cast<QLabel*>(w)->setPixmap(icon.pixmap(QSize(side, side)));
    }
    w->installEventFilter(new ControlFilter(w, s_, number));
    s.hidden[i] = (d.flags & kHidden) != 0;
    s.apply_visibility(number);
  }
  // Prompts name the control after them: their access key moves there.
  for (std::size_t i = 1; i + 1 < n; ++i) {
    if (def.controls[i - 1].kind == ControlKind::Prompt) {
      static_cast<QLabel*>(s.controls[i].data())->setBuddy(s.controls[i + 1].data());
    }
  }

  QSize size(du_to_px_x(def.w, s.base), du_to_px_y(def.h, s.base));
  if (def.flags & kStatusBar) {
    auto* bar = new QLabel(top);
    bar->setObjectName(QStringLiteral("statusbar"));
    bar->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    bar->setTextFormat(Qt::PlainText);
    bar->setAttribute(Qt::WA_TransparentForMouseEvents);
    bar->setFixedHeight(QFontMetrics(s.font).height() + 6);
    s.status_bar = bar;
    size.rheight() += bar->height();
    s.place_status_bar();
  }
  if (def.flags & kResizable) {
    if (def.flags & kMinimumSize) {
      int shrink_w = 0, shrink_h = 0;
      for (const ControlDef& d : def.controls) {
        shrink_w = std::max(shrink_w, d.shrink_w);
        shrink_h = std::max(shrink_h, d.shrink_h);
      }
      top->setMinimumSize(size.width() - std::min(du_to_px_x(shrink_w, s.base), size.width() - 1),
                          size.height() - std::min(du_to_px_y(shrink_h, s.base), size.height() - 1));
    }
    top->resize(size);
  } else {
    top->setFixedSize(size);
  }
  s.opened_by = running();
  s.make_modal((def.flags & kModal) != 0);
  if (def.flags & kAcceptFiles) top->setAcceptDrops(true);
  QPoint at(du_to_px_x(def.x, s.base), du_to_px_y(def.y, s.base));
  if (def.flags & kCentre) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      at = screen->availableGeometry().center() - QPoint(size.width() / 2, size.height() / 2);
    }
  }
  top->move(at);

  registry().push_back(this);
  s.place_status_bar();
  s.push(Event{events::kOpenWindow, 0, 0, 0, 0, 0});
}

Window::~Window() {
  close();
  s_->owner = nullptr;
  if (s_->timer) delete s_->timer.data();
}

Window::NextEvent Window::next_event() {
  State& s = *s_;
  if (s.busy) {  // the procedure is done with the event it read a page for
    s.busy = false;
    QGuiApplication::restoreOverrideCursor();
  }
  if (!s.shown_once && s.open) {
    s.shown_once = true;
    s.opener = QApplication::activeWindow();
    if (!s.start_hidden && s.widget) s.widget->show();
  }
  return NextEvent(this);
}

bool Window::NextEvent::await_ready() const {
  const State& s = *window_->s_;
  return !s.open || s.ended || s.close_pending || !s.queue.empty() || !s.sweep.empty();
}

void Window::NextEvent::await_suspend(std::coroutine_handle<> waiter) {
  window_->s_->waiter = waiter;
  running().reset();
}

bool Window::NextEvent::await_resume() {
  State& s = *window_->s_;
  running() = window_->s_;
  if (s.close_pending) s.ended = true;
  s.close_pending = false;
  if (!s.open || s.ended || (s.queue.empty() && s.sweep.empty())) {
    s.current = Event{};
    return false;
  }
  if (!s.sweep.empty()) {
    s.current = s.sweep.front();
    s.sweep.pop_front();
    if (s.sweep.empty()) s.accepting = false;
  } else {
    s.current = s.queue.front();
    s.queue.pop_front();
  }
  const std::int32_t code = s.current.code;
  if (const ListView* list = s.list(s.current.control); list && list->paged() && is_page_event(code)) {
    s.busy = true;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  }
  if (code == events::kCloseWindow || code == events::kCloseDown) s.close_pending = true;
  if (code == events::kRejected) {
    beep();
    s.display(s.current.control);
    window_->select(s.current.control);
  }
  return true;
}

std::int32_t Window::event() const { return s_->current.code; }
int Window::field() const { return s_->current.control; }
std::int32_t Window::keycode() const { return s_->current.key; }
int Window::mouse_x() const { return s_->current.mouse_x; }
int Window::mouse_y() const { return s_->current.mouse_y; }
int Window::typed_char() const { return s_->current.code == events::kLocate ? s_->current.value : 0; }
int Window::thumb_position() const { return s_->current.code == events::kScrollDrag ? s_->current.value : 0; }
void Window::keep_open() { s_->close_pending = false; }

void Window::use(int control, UseVariable variable) {
  if (control < 1 || control >= static_cast<int>(s_->vars.size())) return;
  s_->vars[static_cast<std::size_t>(control)] = variable;
}

void Window::select(int control) {
  State& s = *s_;
  QWidget* w = s.control(control);
  if (!w || control <= 0) return;
  // A pushed button that loses the focus lets go of its press, and its
  // release then clicks nothing: a procedure that moves the focus on
  // Selected (which a press brings) would swallow every click that is held
  // for longer than its answer takes. The move waits for the release.
  if (s.button_held()) {
    s.deferred_focus = control;
    return;
  }
  s.deferred_focus = 0;
  // A control on a tab not shown brings its tab to the front first.
  const int tab = s.control_def(control)->kind == ControlKind::Tab ? control : s.tab_of[static_cast<std::size_t>(control)];
  if (tab != 0) {
    if (auto* sheet = qobject_cast<QTabWidget*>(s.control(s.sheet_of[static_cast<std::size_t>(tab)]))) {
      sheet->setCurrentWidget(s.control(tab));
    }
    if (tab == control) return;
  }
  w->setFocus(Qt::OtherFocusReason);
}

void Window::display(int control) {
  if (control != 0) {
    s_->display(control);
    return;
  }
  for (int i = 1; i < static_cast<int>(s_->controls.size()); ++i) s_->display(i);
}

void Window::post(std::int32_t code, int control) { s_->push(s_->with_mouse(code, control)); }

void Window::set_property(int control, std::int32_t property, std::string_view value) {
  State& s = *s_;
  QWidget* w = s.control(control);
  if (!w) return;
  const int number = to_int(value, 0);
  switch (property) {
    case props::kXPos: set_position(control, number, kUnchanged); break;
    case props::kYPos: set_position(control, kUnchanged, number); break;
    case props::kWidth: set_position(control, kUnchanged, kUnchanged, number, kUnchanged); break;
    case props::kHeight: set_position(control, kUnchanged, kUnchanged, kUnchanged, number); break;
    case props::kFontColor: {
      const std::int32_t color = value.empty() ? kColorNone : number;
      if (control > 0) s.colors[static_cast<std::size_t>(control)] = color;
      QPalette pal = w->palette();
      const QColor c = color == kColorNone ? QApplication::palette().color(QPalette::WindowText) : qcolor(color);
      pal.setColor(QPalette::WindowText, c);
      pal.setColor(QPalette::Text, c);
      pal.setColor(QPalette::ButtonText, c);
      w->setPalette(pal);
      break;
    }
    case props::kDisable: w->setEnabled(!truthy(value)); break;
    case props::kHide:
      if (control == 0) {
        if (!s.shown_once) s.start_hidden = truthy(value);
        else w->setVisible(!truthy(value));
      } else {
        s.hidden[static_cast<std::size_t>(control)] = truthy(value);
        s.apply_visibility(control);
      }
      break;
    case props::kIcon: {
      const QIcon icon = load_icon(value);
      if (control == 0) w->setWindowIcon(icon);
      else if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setIcon(icon);
      else if (auto* l = qobject_cast<QLabel*>(w)) l->setPixmap(icon.pixmap(l->size()));
      break;
    }
    case props::kIconize:
      if (control == 0) {
        const Qt::WindowStates st = w->windowState();
        w->setWindowState(truthy(value) ? (st | Qt::WindowMinimized) : (st & ~Qt::WindowMinimized));
      }
      break;
    case props::kMaximize:
      if (control == 0) {
        const Qt::WindowStates st = w->windowState();
        w->setWindowState(truthy(value) ? (st | Qt::WindowMaximized) : (st & ~Qt::WindowMaximized));
      }
      break;
    case props::kSelected:
      if (ListView* t = s.list(control)) {
        t->set_current_row(number - 1);
        s.take_list_value(control);
      } else if (auto* sheet = qobject_cast<QTabWidget*>(w); sheet && number >= 1 && number <= sheet->count()) {
        sheet->setCurrentIndex(number - 1);
      }
      break;
    case props::kAcceptAll:
      if (control != 0) break;
      if (truthy(value)) s.start_accept_all();
      else s.stop_accept_all();
      break;
    default:
      break;
  }
}

std::string Window::property(int control, std::int32_t property) const {
  const State& s = *s_;
  QWidget* w = s.control(control);
  if (!w) return {};
  const QRect g = w->geometry();
  switch (property) {
    case props::kXPos: return std::to_string(g.x());
    case props::kYPos: return std::to_string(g.y());
    case props::kWidth: return std::to_string(g.width());
    case props::kHeight: return std::to_string(g.height());
    case props::kFontColor:
      return std::to_string(control == 0 ? kColorNone : s.colors[static_cast<std::size_t>(control)]);
    case props::kResize: return control == 0 && (s.def->flags & kResizable) ? "1" : "";
    case props::kDisable: return w->isEnabled() ? "" : "1";
    case props::kHide:
      if (control == 0) return (s.shown_once ? w->isHidden() : s.start_hidden) ? "1" : "";
      return s.hidden[static_cast<std::size_t>(control)] ? "1" : "";
    case props::kIconize: return control == 0 && w->isMinimized() ? "1" : "";
    case props::kMaximize: return control == 0 && (w->windowState() & Qt::WindowMaximized) ? "1" : "";
    case props::kSelected:
      if (const ListView* t = s.list(control)) return std::to_string(t->current_row() + 1);
      if (auto* sheet = qobject_cast<QTabWidget*>(w)) return std::to_string(sheet->currentIndex() + 1);
      return "0";
    case props::kHandle: return control == 0 ? std::to_string(static_cast<unsigned long long>(w->winId())) : "";
    case props::kAcceptAll: return control == 0 && s.accepting ? "1" : "";
    default: return {};
  }
}

void Window::set_position(int control, int x, int y, int width, int height) {
  QWidget* w = s_->control(control);
  if (!w) return;
  const QRect g = w->geometry();
  const QRect r(x == kUnchanged ? g.x() : x, y == kUnchanged ? g.y() : y,
                width == kUnchanged ? g.width() : std::max(0, width),
                height == kUnchanged ? g.height() : std::max(0, height));
  if (control == 0 && !(s_->def->flags & kResizable)) w->setFixedSize(r.size());
  w->setGeometry(r);
}

void Window::set_modal(bool modal) {
  if (QWidget* top = s_->control(0); top && !top->isVisible()) s_->make_modal(modal);
}

void Window::set_text(int control, std::string_view text) {
  QWidget* w = s_->control(control);
  if (!w) return;
  const QString t = to_qstring(text);
  if (control == 0) w->setWindowTitle(t);
  else if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(t);
  else if (auto* l = qobject_cast<QLabel*>(w)) l->setText(t);
  else if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(t);
  else if (auto* g = qobject_cast<QGroupBox*>(w)) g->setTitle(t);
}

bool Window::waiting() const { return static_cast<bool>(s_->waiter); }

int Window::pending_events() const {
  return static_cast<int>(s_->queue.size() + s_->sweep.size()) + (s_->deferred_focus != 0 ? 1 : 0);
}

std::optional<std::string> Window::typed_value(int control) const {
  const ControlDef* d = s_->control_def(control);
  if (!d || !s_->control(control)) return std::nullopt;
  if (d->kind == ControlKind::Spin) {
    // Read from the text, not through interpretText(), which would change
    // what is shown while the user types.
    auto* spin = static_cast<SpinWidget*>(s_->control(control));
    const std::string t(trim(from_qstring(spin->cleanText())));
    int v = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size() || v < spin->low() || v > spin->high()) return std::nullopt;
    return std::to_string(v);
  }
  if (d->kind != ControlKind::Entry) return std::nullopt;
  std::optional<State::TypedValue> v = s_->read_entry(control);
  if (!v) return std::nullopt;
  if (std::holds_alternative<std::string*>(s_->vars[static_cast<std::size_t>(control)])) return std::move(v->text);
  return number_text(v->number);
}

std::string Window::text(int control) const {
  QWidget* w = s_->control(control);
  if (!w) return {};
  if (control == 0) return from_qstring(w->windowTitle());
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return from_qstring(b->text());
  if (auto* l = qobject_cast<QLabel*>(w)) return from_qstring(l->text());
  if (auto* e = qobject_cast<QLineEdit*>(w)) return from_qstring(e->text());
  if (auto* g = qobject_cast<QGroupBox*>(w)) return from_qstring(g->title());
  return {};
}

const std::vector<std::string>& Window::dropped_files() const { return s_->dropped; }

void Window::alert(std::int32_t key, int control) { s_->alerts.emplace_back(control, key); }

void Window::set_list_rows(int control, std::vector<std::vector<std::string>> rows) {
  if (ListView* t = s_->list(control)) t->set_rows(std::move(rows));
}

void Window::set_list_value_column(int control, int column) {
  if (ListView* t = s_->list(control); t && column >= 1) t->set_value_column(column - 1);
}

int Window::list_row_count(int control) const {
  const ListView* t = s_->list(control);
  return t ? t->row_count() : 0;
}

int Window::list_page_size(int control) const {
  const ListView* t = s_->list(control);
  return t ? t->page_rows() : 0;
}

void Window::list_add(int control, std::vector<std::string> row, ListEnd end) {
  if (ListView* t = s_->list(control)) t->add_row(std::move(row), end);
}

void Window::list_drop(int control, ListEnd end) {
  if (ListView* t = s_->list(control)) t->drop_row(end);
}

bool Window::list_replace(int control, int row, std::vector<std::string> cells) {
  ListView* t = s_->list(control);
  return t && t->replace_row(row - 1, std::move(cells));
}

std::vector<std::string> Window::list_row(int control, int row) const {
  const ListView* t = s_->list(control);
  const ListView::Row* cells = t ? t->row(row - 1) : nullptr;
  return cells ? *cells : std::vector<std::string>();
}

void Window::set_list_thumb(int control, int percent) {
  if (ListView* t = s_->list(control)) t->set_thumb(percent);
}

void Window::set_timer(int hundredths) {
  State& s = *s_;
  if (hundredths <= 0) {
    if (s.timer) s.timer->stop();
    return;
  }
  if (!s.timer) {
    s.timer = new QTimer;
    QObject::connect(s.timer.data(), &QTimer::timeout, s.timer.data(), [weak = std::weak_ptr<State>(s_)] {
      if (auto st = weak.lock()) st->push(st->with_mouse(events::kTimer, 0));
    });
  }
  s.timer->start(hundredths * 10);
}

void Window::set_status_text(std::string_view text) {
  s_->status_text = std::string(text);
  s_->show_status(s_->focused);
}

std::string Window::status_text() const {
  if (!s_->status_bar) return {};
  std::string shown = from_qstring(s_->status_bar->text());
  if (!shown.empty()) shown.erase(0, 1);  // the margin
  return shown;
}

void Window::close() {
  State& s = *s_;
  if (!s.open) return;
  s.open = false;
  // The procedure goes back to the one that opened this window.
  if (running().lock() == s_) running() = s.opened_by;
  s.queue.clear();
  s.sweep.clear();
  s.accepting = false;
  if (s.busy) {
    s.busy = false;
    QGuiApplication::restoreOverrideCursor();
  }
  auto& reg = registry();
  reg.erase(std::remove(reg.begin(), reg.end(), this), reg.end());
  if (s.timer) s.timer->stop();
  if (s.widget) {
    const bool was_active = s.widget->isActiveWindow();
    s.widget->hide();
    s.widget->deleteLater();  // we may be inside one of its handlers
    s.widget = nullptr;
    if (was_active && s.opener && s.opener->isVisible() && !s.opener->isMinimized()) s.opener->activateWindow();
  }
  s.schedule_resume();
}

bool Window::is_open() const { return s_->open; }
int Window::du_x(int units) const { return du_to_px_x(units, s_->base); }
int Window::du_y(int units) const { return du_to_px_y(units, s_->base); }
DialogBase Window::dialog_base() const { return s_->base; }
int Window::control_count() const { return static_cast<int>(s_->def->controls.size()); }
const WindowDef& Window::definition() const { return *s_->def; }
QWidget* Window::widget(int control) const { return s_->open ? s_->control(control) : nullptr; }

std::vector<Window*> Window::open_windows() { return registry(); }

bool post_to_first_thread(std::int32_t code, int control) {
  const auto& reg = registry();
  if (reg.empty()) return false;
  reg.front()->post(code, control);
  return true;
}

ProcedureHold::ProcedureHold() { ++g_holds; }

ProcedureHold::~ProcedureHold() {
  if (--g_holds > 0) return;
  for (const std::weak_ptr<Window::State>& weak : std::exchange(held_resumptions(), {})) {
    if (const std::shared_ptr<Window::State> s = weak.lock()) {
      s->resume_scheduled = false;
      s->schedule_resume();
    }
  }
}

void paint_windows() {
  const ProcedureHold hold;
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void close_down_all() {
  for (Window* w : registry()) w->post(events::kCloseDown, 0);
}

}  // namespace ui
