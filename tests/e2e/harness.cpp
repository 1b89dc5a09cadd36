#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

// Last: Xlib's macros (None, Bool, Status) would clash with the headers above.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

Display* dpy(void* x) { return static_cast<Display*>(x); }

void pause_for(std::chrono::milliseconds d) { std::this_thread::sleep_for(d); }

// Ends a child we started: asked first, then forced.
void end_child(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    pause_for(10ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& env,
            int keep_fd = -1, const std::string& log = {}, const std::string& folder = {}) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  for (const auto& [name, value] : env) {
    if (value.empty()) ::unsetenv(name.c_str());
    else ::setenv(name.c_str(), value.c_str(), 1);
  }
  if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(126);
  const int null = ::open("/dev/null", O_RDWR);
  ::dup2(null, 0);
  const int out = log.empty() ? null : ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ::dup2(out, 1);
  ::dup2(out, 2);
  for (int fd = 3; fd < 1024; ++fd) {
    if (fd != keep_fd) ::close(fd);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

bool has_manager(Display* d) {
  const Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, left = 0;
  unsigned char* data = nullptr;
  const int rc = XGetWindowProperty(d, DefaultRootWindow(d), check, 0, 1, False, XA_WINDOW, &type, &format, &count,
                                    &left, &data);
  if (data) XFree(data);
  return rc == Success && count == 1;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

// --- Desktop ---------------------------------------------------------------

Desktop::~Desktop() { stop(); }

void Desktop::stop() {
  if (x_) XCloseDisplay(dpy(x_));
  x_ = nullptr;
  end_child(manager_);
  end_child(server_);
}

bool Desktop::start(Manager manager, std::string* why) {
  int fds[2];
  if (::pipe(fds) != 0) {
    *why = "no pipe";
    return false;
  }
  // The server picks a free display and names it on the pipe once it
  // accepts connections.
  server_ = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                   "-noreset"},
                  {}, fds[1]);
  ::close(fds[1]);
  std::string number;
  const auto deadline = Clock::now() + 60s;
  while (Clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 100) != 1) continue;
    char c = 0;
    if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  ::close(fds[0]);
  if (number.empty()) {
    *why = "Xvfb did not start (is the package xvfb installed?)";
    return false;
  }
  display_ = ":" + number;
  x_ = XOpenDisplay(display_.c_str());
  if (!x_) {
    *why = "cannot open display " + display_;
    return false;
  }
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(dpy(x_), &event, &error, &major, &minor)) {
    *why = "the X server has no XTEST";
    return false;
  }
  if (manager == Manager::Openbox) {
    manager_ = spawn({"openbox", "--sm-disable"}, {{"DISPLAY", display_}});
    const auto until = Clock::now() + 60s;
    while (!has_manager(dpy(x_)) && Clock::now() < until) pause_for(20ms);
    if (!has_manager(dpy(x_))) {
      *why = "openbox did not take the screen (is the package openbox installed?)";
      return false;
    }
  }
  // The pointer starts away from where any window opens.
  move_pointer(1000, 740);
  return true;
}

void Desktop::move_pointer(int x, int y) {
  XTestFakeMotionEvent(dpy(x_), -1, x, y, CurrentTime);
  XSync(dpy(x_), False);
}

void Desktop::fake_button(int button, bool down) {
  XTestFakeButtonEvent(dpy(x_), static_cast<unsigned>(button), down ? True : False, CurrentTime);
  XSync(dpy(x_), False);
  ++sent_;
}

void Desktop::click(int x, int y, int button) {
  move_pointer(x, y);
  fake_button(button, true);
  pause_for(100ms);
  fake_button(button, false);
}

void Desktop::fake_key(unsigned keycode, bool down) {
  XTestFakeKeyEvent(dpy(x_), keycode, down ? True : False, CurrentTime);
  XSync(dpy(x_), False);
  if (down) ++sent_;
}

void Desktop::key(const std::string& combination) {
  std::vector<unsigned> held;
  std::string rest = combination;
  for (std::size_t plus; (plus = rest.find('+')) != std::string::npos && plus + 1 < rest.size();) {
    const std::string mod = rest.substr(0, plus);
    rest = rest.substr(plus + 1);
    const char* name = mod == "ctrl" ? "Control_L" : mod == "shift" ? "Shift_L" : mod == "alt" ? "Alt_L" : nullptr;
    EXPECT_NE(name, nullptr) << "unknown modifier in " << combination;
    if (name) held.push_back(XKeysymToKeycode(dpy(x_), XStringToKeysym(name)));
  }
  const KeySym sym = XStringToKeysym(rest.c_str());
  const unsigned code = sym == NoSymbol ? 0 : XKeysymToKeycode(dpy(x_), sym);
  EXPECT_NE(code, 0u) << "no key for " << combination;
  if (code == 0) return;
  for (unsigned m : held) fake_key(m, true);
  fake_key(code, true);
  pause_for(20ms);
  fake_key(code, false);
  for (auto m = held.rbegin(); m != held.rend(); ++m) fake_key(*m, false);
  pause_for(10ms);
}

void Desktop::type(const std::string& text) {
  const unsigned shift = XKeysymToKeycode(dpy(x_), XK_Shift_L);
  for (char c : text) {
    const KeySym sym = c == ' ' ? XK_space : c == '\n' ? XK_Return : static_cast<KeySym>(static_cast<unsigned char>(c));
    const unsigned code = XKeysymToKeycode(dpy(x_), sym);
    ASSERT_NE(code, 0u) << "no key types '" << c << "'";
    const bool shifted = XkbKeycodeToKeysym(dpy(x_), static_cast<KeyCode>(code), 0, 0) != sym;
    if (shifted) fake_key(shift, true);
    fake_key(code, true);
    fake_key(code, false);
    if (shifted) fake_key(shift, false);
    pause_for(10ms);
  }
}

bool Desktop::screenshot(const std::string& png_path) {
  if (!x_) return false;
  Display* d = dpy(x_);
  const Window root = DefaultRootWindow(d);
  XWindowAttributes a{};
  XGetWindowAttributes(d, root, &a);
  XImage* image = XGetImage(d, root, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height), AllPlanes,
                            ZPixmap);
  if (!image) return false;
  QImage out(a.width, a.height, QImage::Format_RGB32);
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) out.setPixel(x, y, static_cast<QRgb>(XGetPixel(image, x, y)) | 0xFF000000u);
  }
  XDestroyImage(image);
  return out.save(QString::fromStdString(png_path), "PNG");
}

// --- Compositor ------------------------------------------------------------

Compositor::~Compositor() { end_child(pid_); }

bool Compositor::start(const std::string& runtime_dir, std::string* why) {
  runtime_dir_ = runtime_dir;
  ::chmod(runtime_dir.c_str(), 0700);
  socket_ = "markfit-e2e";
  const std::string log = runtime_dir + "/weston.log";
  pid_ = spawn({"weston", "--backend=headless-backend.so", "--socket=" + socket_, "--xwayland", "--idle-time=0",
                "--log=" + log},
               {{"XDG_RUNTIME_DIR", runtime_dir}, {"WAYLAND_DISPLAY", ""}, {"DISPLAY", ""}});
  const std::string marker = "xserver listening on display ";
  const auto deadline = Clock::now() + 60s;
  while (Clock::now() < deadline) {
    const std::string text = read_file(log);
    if (const std::size_t at = text.find(marker); at != std::string::npos && ::access((runtime_dir + "/" + socket_).c_str(), F_OK) == 0) {
      std::size_t end = at + marker.size();
      while (end < text.size() && (text[end] == ':' || std::isdigit(static_cast<unsigned char>(text[end])))) ++end;
      x_display_ = text.substr(at + marker.size(), end - at - marker.size());
      return true;
    }
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    pause_for(20ms);
  }
  *why = "weston (headless, with XWayland) did not start (are the packages weston and xwayland installed?): " +
         read_file(log);
  return false;
}

// --- Program ---------------------------------------------------------------

Program::~Program() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void Program::start(const std::string& folder, const std::string& display, const Environment& environment) {
  folder_ = folder;
  status_.reset();
  ::unlink((folder + "/map.json").c_str());
  Environment all = {{"DISPLAY", display},
                     {"QT_QPA_PLATFORM", ""},  // unset: the program chooses, as on a desktop
                     {"WAYLAND_DISPLAY", ""},
                     {"MARKFIT_CONTROL_MAP", folder + "/map.json"},
                     {"MARKFIT_PROFILE", folder + "/profile.ini"},
                     {"XDG_CONFIG_HOME", folder + "/config"}};
  // Leaks are the unit tests' business: the system libraries of a real
  // desktop session (D-Bus, fontconfig) keep blocks whose stacks cannot
  // always be unwound, and their reports would turn a good exit into 1 at
  // random. Everything else the sanitizers check stays on.
  const char* asan = std::getenv("ASAN_OPTIONS");
  all.emplace_back("ASAN_OPTIONS", std::string(asan && *asan ? asan : "abort_on_error=1") + ":detect_leaks=0");
  all.insert(all.end(), environment.begin(), environment.end());
  pid_ = spawn({MARKFIT_PROGRAM}, all, -1, folder + "/markfit.log", folder);
}

bool Program::running() {
  if (status_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
  status_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  return false;
}

void Program::signal(int number) {
  if (running()) ::kill(pid_, number);
}

std::optional<int> Program::wait_exit(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (running() && Clock::now() < deadline) pause_for(10ms);
  return status_;
}

Json Program::map() const {
  Json v = Json::parse(read_file(folder_ + "/map.json"), nullptr, false);
  return v.is_discarded() ? Json() : v;
}

std::string Program::log() const { return read_file(folder_ + "/markfit.log"); }

std::optional<std::vector<Json>> dump_records(const std::string& folder, const std::string& file, std::string* why) {
  const std::string out = folder + "/dump.json";
  const std::string err = folder + "/dump.err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(folder.c_str()) != 0) ::_exit(126);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ::execl(MARKFIT_PROGRAM, "markfit", "ksf", "dump", "--json", file.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *why = "markfit ksf dump --json " + file + " failed: " + read_file(err);
    return std::nullopt;
  }
  const Json v = Json::parse(read_file(out), nullptr, false);
  if (v.is_discarded()) {
    *why = "dump of " + file + " is no JSON";
    return std::nullopt;
  }
  const Json& tables = at(v, "tables");
  if (elements(tables).size() != 1) {
    *why = "dump of " + file + " has not one table";
    return std::nullopt;
  }
  return elements(at(elements(tables).front(), "records"));
}

// --- Reading the map -------------------------------------------------------

const Json& at(const Json& object, std::string_view name) {
  static const Json null;
  if (!object.is_object()) return null;
  const auto it = object.find(std::string(name));
  return it == object.end() ? null : *it;
}

const Json::array_t& elements(const Json& array) {
  static const Json::array_t none;
  return array.is_array() ? array.get_ref<const Json::array_t&>() : none;
}

std::string str(const Json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }

std::string text_of(const Json& object, std::string_view name) { return str(at(object, name)); }

long long number_of(const Json& object, std::string_view name) {
  const Json& v = at(object, name);
  return v.is_number_integer() ? v.get<long long>() : 0;
}

bool flag_of(const Json& object, std::string_view name) {
  const Json& v = at(object, name);
  return v.is_boolean() && v.get<bool>();
}

Rect rect_of(const Json& o) {
  return Rect{static_cast<int>(number_of(o, "x")), static_cast<int>(number_of(o, "y")),
              static_cast<int>(number_of(o, "w")), static_cast<int>(number_of(o, "h"))};
}

std::string plain(std::string text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

namespace {

const Json* find_in(const Json& array, const std::function<bool(const Json&)>& match) {
  for (const Json& item : elements(array)) {
    if (match(item)) return &item;
  }
  return nullptr;
}

}  // namespace

const Json* window_titled(const Json& map, std::string_view title) {
  return find_in(at(map, "windows"),
                 [&](const Json& w) { return flag_of(w, "visible") && text_of(w, "title") == title; });
}

const Json* window_named(const Json& map, std::string_view name) {
  return find_in(at(map, "windows"), [&](const Json& w) { return flag_of(w, "visible") && text_of(w, "name") == name; });
}

const Json* control_of(const Json& window, int n) {
  return find_in(at(window, "controls"), [&](const Json& c) { return number_of(c, "n") == n; });
}

const Json* control_texted(const Json& window, std::string_view text) {
  return find_in(at(window, "controls"), [&](const Json& c) { return plain(text_of(c, "text")) == text; });
}

const Json* popup_item(const Json& map, std::string_view text) {
  return find_in(at(at(map, "popup"), "items"), [&](const Json& i) { return plain(text_of(i, "text")) == text; });
}

const Json* dialog_titled(const Json& map, std::string_view title) {
  return find_in(at(map, "dialogs"), [&](const Json& d) { return text_of(d, "title") == title; });
}

const Json* dialog_button(const Json& dialog, std::string_view text) {
  return find_in(at(dialog, "buttons"), [&](const Json& b) { return plain(text_of(b, "text")) == text; });
}

std::optional<Json> wait_for(Program& program, const std::string& what,
                             const std::function<const Json*(const Json& map)>& found,
                             std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  Json map;
  for (;;) {
    map = program.map();
    if (const Json* hit = found(map)) return *hit;
    if (!program.running()) {
      ADD_FAILURE() << "the program ended while waiting for " << what << "\n" << program.log();
      throw Stop();
    }
    if (Clock::now() >= deadline) break;
    pause_for(20ms);
  }
  ADD_FAILURE() << "timed out waiting for " << what << "; the map:\n" << map.dump(2);
  throw Stop();
}

bool wait_until(Program& program, const std::string& what, const std::function<bool(const Json& map)>& holds,
                std::chrono::milliseconds limit) {
  static const Json yes = true;
  return wait_for(
             program, what, [&](const Json& map) { return holds(map) ? &yes : nullptr; }, limit)
      .has_value();
}

}  // namespace e2e
