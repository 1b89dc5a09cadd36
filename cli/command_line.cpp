#include "cli/command_line.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include <CLI/CLI.hpp>

#ifndef MARKFIT_VERSION
#define MARKFIT_VERSION "1.04"
#endif

namespace cli {
namespace {

constexpr std::size_t kWidth = 79;          // help lines end before column 80
constexpr std::size_t kOptionColumn = 24;   // where an option's description starts
constexpr std::size_t kCommandIndent = 6;   // a sub-command's description under its usage

// Greedy word wrap of `text` into lines of at most `width` characters, each
// indented by `indent` blanks; a line break in `text` is kept.
std::string wrapped(const std::string& text, std::size_t indent, std::size_t width) {
  std::string out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() <= width) {  // kept as written, inner blanks and all
      out += line.empty() ? "\n" : std::string(indent, ' ') + line + "\n";
      continue;
    }
    std::string current;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      if (!current.empty() && current.size() + 1 + word.size() > width) {
        out += std::string(indent, ' ') + current + "\n";
        current.clear();
      }
      current += (current.empty() ? "" : " ") + word;
    }
    out += current.empty() ? "\n" : std::string(indent, ' ') + current + "\n";
  }
  return out;
}

// A word more than a command takes.
class UnexpectedArgument : public CLI::ParseError {
 public:
  explicit UnexpectedArgument(const std::string& message)
      : CLI::ParseError("UnexpectedArgument", message, CLI::ExitCodes::ExtrasError) {}
};

bool is_hidden(const CLI::Option* o) { return o->get_group().empty(); }
bool is_flag(const CLI::Option* o) { return o->get_items_expected_max() == 0; }
bool is_help_or_version(const CLI::App* app, const CLI::Option* o) {
  return o == app->get_help_ptr() || o == app->get_version_ptr();
}

// "-o, --output FILE", with room for a short name when there is none.
std::string option_names(const CLI::Option* o) {
  std::string names;
  for (const std::string& s : o->get_snames()) names += (names.empty() ? "-" : ", -") + s;
  names = names.empty() ? "    " : names + ", ";
  bool first = true;
  for (const std::string& l : o->get_lnames()) {
    names += (first ? "--" : ", --") + l;
    first = false;
  }
  if (names.size() >= 2 && names.compare(names.size() - 2, 2, ", ") == 0) names.resize(names.size() - 2);
  if (!is_flag(o)) names += " " + o->get_type_name();
  return names;
}

// The options of `app` the help lists, --help and --version last.
std::vector<const CLI::Option*> listed_options(const CLI::App* app) {
  std::vector<const CLI::Option*> own = app->get_options(
      [app](const CLI::Option* o) { return !o->get_positional() && !is_hidden(o) && !is_help_or_version(app, o); });
  for (const CLI::Option* o : {app->get_help_ptr(), app->get_version_ptr()}) {
    if (o != nullptr) own.push_back(o);
  }
  return own;
}

std::vector<const CLI::Option*> positionals(const CLI::App* app) {
  return app->get_options([](const CLI::Option* o) { return o->get_positional(); });
}

std::vector<const CLI::App*> commands_of(const CLI::App* app) {
  return app->get_subcommands([](const CLI::App* s) { return !s->get_group().empty(); });
}

std::string positional_text(const CLI::Option* o) {
  return o->get_option_text().empty() ? "[" + o->get_name() + "]" : o->get_option_text();
}

// A sub-command in its parent's list: "dump FILE[\!TABLE] [--owner PASSWORD] [--json]".
std::string command_usage(const CLI::App* sub) {
  std::string usage = sub->get_name();
  for (const CLI::Option* p : positionals(sub)) usage += " " + positional_text(p);
  for (const CLI::Option* o : listed_options(sub)) {
    if (is_help_or_version(sub, o)) continue;
    std::string name = o->get_lnames().empty() ? "-" + o->get_snames().front() : "--" + o->get_lnames().front();
    if (!is_flag(o)) name += " " + o->get_type_name();
    usage += " [" + name + "]";
  }
  return usage;
}

class HelpLayout : public CLI::FormatterBase {
 public:
  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode) const override {
    const std::vector<const CLI::App*> commands = commands_of(app);
    std::string out = "Usage: " + name;
    if (!listed_options(app).empty()) out += " [OPTIONS]";
    if (!commands.empty()) out += " COMMAND";
    for (const CLI::Option* p : positionals(app)) out += " " + positional_text(p);
    out += "\n";
    if (!app->get_description().empty()) out += "\n" + wrapped(app->get_description(), 0, kWidth);
    if (!commands.empty()) {
      out += "\nCommands:\n";
      for (const CLI::App* sub : commands) {
        out += "  " + command_usage(sub) + "\n";
        out += wrapped(sub->get_description(), kCommandIndent, kWidth - kCommandIndent);
      }
    }
    out += "\nOptions:\n";
    for (const CLI::Option* o : listed_options(app)) {
      std::string names = "  " + option_names(o);
      const std::string text = wrapped(o->get_description(), kOptionColumn, kWidth - kOptionColumn);
      if (names.size() + 1 < kOptionColumn) {
        names.resize(kOptionColumn, ' ');
        out += names + text.substr(std::min(text.size(), kOptionColumn));
      } else {
        out += names + "\n" + text;
      }
    }
    if (!app->get_footer().empty()) out += "\n" + with_newline(app->get_footer());
    return out;
  }

 private:
  static std::string with_newline(std::string s) {
    if (s.back() != '\n') s += '\n';
    return s;
  }
};

void share_behaviour(CLI::App& app) {
  app.set_help_flag("-h,--help", "show this text and exit");
  app.set_version_flag("--version", version_line(), "show the version and exit");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

// Optimal string alignment distance (an adjacent swap costs one).
std::size_t distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

std::vector<const CLI::App*> selected_chain(const CLI::App& root) {
  std::vector<const CLI::App*> chain{&root};
  for (;;) {
    const std::vector<CLI::App*> subs = chain.back()->get_subcommands();
    if (subs.empty()) return chain;
    chain.push_back(subs.front());
  }
}

std::vector<std::string> option_spellings(const CLI::App* app) {
  std::vector<std::string> names;
  for (const CLI::Option* o : app->get_options()) {
    for (const std::string& l : o->get_lnames()) names.push_back("--" + l);
    for (const std::string& s : o->get_snames()) names.push_back("-" + s);
  }
  return names;
}

std::string with_suggestion(std::string message, const std::string& word, const std::vector<std::string>& candidates) {
  const std::string guess = near_miss(word, candidates);
  if (!guess.empty()) message += "; did you mean '" + guess + "'?";
  return message;
}

// CLI11's error put in the words of our other messages.
std::string explained(const CLI::ParseError& e, const std::vector<const CLI::App*>& chain, const std::vector<std::string>& args,
                      const CLI::App** where) {
  *where = chain.back();
  if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
    for (const CLI::App* app : chain) {
      const std::vector<std::string> left = app->remaining(false);
      if (left.empty()) continue;
      *where = app;
      const std::string& word = left.front();
      if (word.size() > 1 && word[0] == '-') {
        const std::string name = word.substr(0, word.find('='));
        return with_suggestion("unknown option '" + word + "'", name, option_spellings(app));
      }
      const std::vector<const CLI::App*> commands = commands_of(app);
      if (!commands.empty() && app->get_subcommands().empty()) {
        std::vector<std::string> names;
        for (const CLI::App* c : commands) names.push_back(c->get_name());
        return with_suggestion("unknown command '" + word + "'", word, names);
      }
      return "unexpected argument '" + word + "'";
    }
  }
  const std::string what = e.what();
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr && what.find(" required ") != std::string::npos) {
    // "--output: 1 required TEXT missing": the option was last, or followed
    // by another option, with no value.
    std::string name = what.substr(0, what.find(':'));
    if (name.empty()) {
      // A hidden option has no name in CLI11's messages: the last option
      // word that wants a value is the one.
      for (auto it = args.rbegin(); it != args.rend() && name.empty(); ++it) {
        const std::string word = it->substr(0, it->find('='));
        for (const CLI::App* app : chain) {
          const CLI::Option* o = word.size() > 1 && word[0] == '-' ? app->get_option_no_throw(word) : nullptr;
          if (o != nullptr && !is_flag(o)) name = word;
        }
      }
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      if (const CLI::Option* o = (*it)->get_option_no_throw(name)) {
        *where = *it;
        std::string names;
        for (const std::string& s : o->get_snames()) names += (names.empty() ? "-" : "/-") + s;
        for (const std::string& l : o->get_lnames()) names += (names.empty() ? "--" : "/--") + l;
        return "option " + names + " needs a value (" + o->get_type_name() + ")";
      }
    }
  }
  return what;
}

}  // namespace

std::string version_line() { return std::string("markfit ") + MARKFIT_VERSION; }

std::unique_ptr<CLI::App> make_command(const std::string& path, const std::string& description,
                                       const std::string& footer) {
  auto app = std::make_unique<CLI::App>(description, path);
  app->formatter(std::make_shared<HelpLayout>());
  share_behaviour(*app);
  if (!footer.empty()) app->footer(footer);
  return app;
}

CLI::App* add_command(CLI::App& parent, const std::string& name, const std::string& summary, const std::string& footer) {
  CLI::App* sub = parent.add_subcommand(name, summary);
  share_behaviour(*sub);
  sub->group("Commands");
  if (!footer.empty()) sub->footer(footer);
  return sub;
}

CLI::Option* add_value(CLI::App& app, const std::string& names, const std::string& value_name, const std::string& help,
                       std::optional<std::string>* to) {
  return app.add_option_function<std::string>(names, [to](const std::string& v) { *to = v; }, help)
      ->type_name(value_name);
}

CLI::Option* add_values(CLI::App& app, const std::string& names, const std::string& value_name,
                        const std::string& help, std::vector<std::string>* to) {
  auto take = [to](const std::vector<std::string>& values) { to->insert(to->end(), values.begin(), values.end()); };
  return app.add_option_function<std::vector<std::string>>(names, take, help)
      ->type_name(value_name)
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

CLI::Option* add_flag(CLI::App& app, const std::string& names, const std::string& help, bool* to) {
  return app.add_flag_callback(names, [to] { *to = true; }, help);
}

CLI::Option* add_arguments(CLI::App& app, const std::string& name, const std::string& help, std::vector<std::string>* to,
                           int most) {
  // CLI11 wants a plain word as the positional's name: "FILE" of "FILE[\!TABLE]".
  std::string word;
  for (char c : name) {
    if (c == '[' && word.empty()) continue;
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')) break;
    word += c;
  }
  auto take = [to, most](const std::vector<std::string>& words) {
    if (most >= 0 && words.size() > static_cast<std::size_t>(most)) {
      throw UnexpectedArgument("unexpected argument '" + words[static_cast<std::size_t>(most)] + "'");
    }
    *to = words;
  };
  CLI::Option* o = app.add_option_function<std::vector<std::string>>(word, take, help)->option_text(name);
  // Every further word is taken here and counted in `take`, so that a word
  // too many is reported as such rather than dropped.
  o->expected(0, CLI::detail::expected_max_vector_size)->allow_extra_args()->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  return o;
}

std::string command_path(const CLI::App& app) {
  std::string path = app.get_name();
  for (const CLI::App* p = app.get_parent(); p != nullptr; p = p->get_parent()) path = p->get_name() + " " + path;
  return path;
}

std::string usage_message(const CLI::App& app, const std::string& message) {
  const std::string path = command_path(app);
  return path + ": " + message + "\nTry '" + path + " --help'.\n";
}

Parsed parse(CLI::App& app, const std::vector<std::string>& args) {
  Parsed p;
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
    p.selected = selected_chain(app).back();
  } catch (const CLI::CallForHelp&) {
    p.done = true;
    p.out = app.help();
    p.selected = selected_chain(app).back();
  } catch (const CLI::CallForVersion& e) {
    p.done = true;
    p.out = std::string(e.what()) + "\n";
    p.selected = selected_chain(app).back();
  } catch (const CLI::ParseError& e) {
    const std::vector<const CLI::App*> chain = selected_chain(app);
    const CLI::App* where = nullptr;
    const std::string message = explained(e, chain, args, &where);
    p.done = true;
    p.status = kUsageStatus;
    p.err = usage_message(*where, message);
    p.selected = chain.back();
  }
  return p;
}

std::string near_miss(const std::string& word, const std::vector<std::string>& candidates) {
  const std::size_t dashes = std::min(word.find_first_not_of('-'), word.size());
  const std::size_t core = word.size() - dashes;
  if (core < 2) return {};
  // A beginning of exactly one candidate.
  std::string prefix_of;
  int prefixes = 0;
  for (const std::string& c : candidates) {
    if (c.size() > word.size() && c.compare(0, word.size(), word) == 0) {
      prefix_of = c;
      ++prefixes;
    }
  }
  if (prefixes == 1) return prefix_of;
  const std::size_t allowed = core >= 6 ? 2 : core >= 3 ? 1 : 0;
  std::string best;
  std::size_t best_distance = allowed + 1;
  for (const std::string& c : candidates) {
    const std::size_t d = distance(word, c);
    if (d < best_distance) {
      best = c;
      best_distance = d;
    }
  }
  return best;
}

}  // namespace cli
