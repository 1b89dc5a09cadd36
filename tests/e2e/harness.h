// The end-to-end harness: a virtual X display of our own (Xvfb, with or
// without a window manager), input through the X server's XTEST extension
// as a person gives it (a click is a press held 100 ms, then a release;
// keys are typed one by one), the real markfit program, and what it shows
// read from its control map (ui/control_map.h), never guessed from pixels.
//
// Every wait is for a condition, with a time limit; a wait that runs out
// fails the test with what the program showed at that moment.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace e2e {

using Json = nlohmann::json;
using namespace std::chrono_literals;

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
  int cx() const { return x + w / 2; }
  int cy() const { return y + h / 2; }
};

// A virtual screen, its window manager and the input devices of the person
// in front of it.
class Desktop {
 public:
  enum class Manager { None, Openbox };

  Desktop() = default;
  ~Desktop();
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;

  // Starts the X server (and the window manager, once it has taken the
  // screen); false with `why` set when either cannot start.
  bool start(Manager manager, std::string* why);
  const std::string& display() const { return display_; }

  // A click of the left (1) or right (3) button at a screen point: the
  // pointer moves there, the button is pressed, held 100 ms, released.
  void click(int x, int y, int button = 1);
  void click(const Rect& r, int button = 1) { click(r.cx(), r.cy(), button); }
  void move_pointer(int x, int y);
  // A key by its X name ("Return", "Escape", "Tab", "Insert", "a"), with
  // modifiers held around it: "ctrl+Return", "shift+Tab", "ctrl+a".
  void key(const std::string& combination);
  // Types ASCII text a key at a time (shift where the letter needs it).
  void type(const std::string& text);
  // Key presses and button presses and releases sent so far: what the
  // program's control map counts as "input" once it has taken them all.
  long long sent() const { return sent_; }
  // The whole screen as a PNG; false when it could not be saved.
  bool screenshot(const std::string& png_path);

 private:
  void stop();
  void fake_key(unsigned keycode, bool down);
  void fake_button(int button, bool down);

  pid_t server_ = -1;
  pid_t manager_ = -1;
  void* x_ = nullptr;  // Display*
  std::string display_;
  long long sent_ = 0;
};

// A headless Wayland compositor (Weston) with its X server (XWayland),
// started on the first X connection.
class Compositor {
 public:
  Compositor() = default;
  ~Compositor();
  Compositor(const Compositor&) = delete;
  Compositor& operator=(const Compositor&) = delete;

  // False with `why` when Weston cannot start here.
  bool start(const std::string& runtime_dir, std::string* why);
  const std::string& wayland_display() const { return socket_; }  // relative to runtime_dir
  const std::string& x_display() const { return x_display_; }
  const std::string& runtime_dir() const { return runtime_dir_; }

 private:
  pid_t pid_ = -1;
  std::string runtime_dir_, socket_, x_display_;
};

// A program under test: markfit started in a folder of its own, on the
// desktop's display, keeping its control map there.
class Program {
 public:
  Program() = default;
  ~Program();  // kills it if it still runs
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // `environment`: variables set ("" unsets) after the ones the harness
  // sets itself (DISPLAY, the map, a private settings profile; no
  // QT_QPA_PLATFORM or WAYLAND_DISPLAY).
  using Environment = std::vector<std::pair<std::string, std::string>>;
  void start(const std::string& folder, const std::string& display, const Environment& environment = {});
  pid_t pid() const { return pid_; }
  bool running();
  void signal(int number);
  // The exit status (128 + the signal that ended it), or nullopt when it
  // did not end in time (it is then left running).
  std::optional<int> wait_exit(std::chrono::milliseconds limit);
  // The map as last written (null before the first); the program's log.
  Json map() const;
  std::string log() const;
  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// `markfit ksf dump --json` of a data file in `folder` (TRANSTAB.KSF, ...):
// the records of its one table, or nullopt when the dump failed (the
// reason in *why).
std::optional<std::vector<Json>> dump_records(const std::string& folder, const std::string& file,
                                              std::string* why);

// --- Reading the map -----------------------------------------------------

// A member of an object, or a null value; the items of an array, or none.
const Json& at(const Json& object, std::string_view name);
const Json::array_t& elements(const Json& array);
std::string str(const Json& string);  // "" for anything but a string
std::string text_of(const Json& object, std::string_view name);
long long number_of(const Json& object, std::string_view name);
bool flag_of(const Json& object, std::string_view name);
Rect rect_of(const Json& object);
// A text without the "&" that marks its mnemonic.
std::string plain(std::string text);

// The engine's window of that title on screen, by its map entry.
const Json* window_titled(const Json& map, std::string_view title);
const Json* window_named(const Json& map, std::string_view definition_name);
const Json* control_of(const Json& window, int n);
// A control whose text (without "&") is `text`.
const Json* control_texted(const Json& window, std::string_view text);
// A popup menu's item, a dialog's button, by text without "&".
const Json* popup_item(const Json& map, std::string_view text);
const Json* dialog_titled(const Json& map, std::string_view title);
const Json* dialog_button(const Json& dialog, std::string_view text);

// Thrown by a wait that failed, after recording the failure: the test
// stops there (GoogleTest reports the exception as part of it), rather than
// waiting out every later step too.
struct Stop {};

// How long one step may take: far more than it does on a machine loaded
// well beyond its cores, so that only a step that never comes fails.
inline constexpr std::chrono::milliseconds kStepLimit = 30s;

// Waits until `found` finds something in the program's map and returns a
// copy of it; on time-out (or when the program ends) it records a test
// failure naming `what` and throws Stop.
std::optional<Json> wait_for(Program& program, const std::string& what,
                             const std::function<const Json*(const Json& map)>& found,
                             std::chrono::milliseconds limit = kStepLimit);
// Waits until `holds` is true of the map; the same failure otherwise.
bool wait_until(Program& program, const std::string& what, const std::function<bool(const Json& map)>& holds,
                std::chrono::milliseconds limit = kStepLimit);

}  // namespace e2e
