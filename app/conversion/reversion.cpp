#include "app/conversion/reversion.h"

#include "app/conversion/text_input.h"

namespace conversion {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

Options without_limit(Options options) {
  options.max_line = 0;
  return options;
}

}  // namespace

std::string left_out_summary(const RevertReport& report) {
  if (report.left_out == 0) return {};
  return std::to_string(report.left_out) + (report.left_out == 1 ? " line does" : " lines do") +
         " not have the expected shape and " + (report.left_out == 1 ? "was" : "were") +
         " left out; first: line " + std::to_string(report.first_left_out) + " (" + report.first_problem + ")";
}

Reversion::Reversion(Options options) : options_(without_limit(std::move(options))), check_(options_) {}

bool Reversion::fail(const std::string& message, Report::Failure side) {
  report_.error = message;
  report_.failure = side;
  return false;
}

bool Reversion::open_input(const std::string& path) {
  report_ = RevertReport();
  input_ = path;
  input_ok_ = check_.open_input(path);
  report_.utf8 = check_.utf8();
  return input_ok_ || fail(check_.report().error, check_.report().failure);
}

bool Reversion::refuse_same_file(const std::string& output_path) {
  return check_.refuse_same_file(output_path) || fail(check_.report().error, check_.report().failure);
}

bool Reversion::run(const ReplacementTable& table, LineSink& sink, const ProgressFn& progress) {
  if (!input_ok_) return fail(report_.error.empty() ? "no input" : report_.error, Report::Failure::input);
  const bool utf8_mode = check_.utf8();
  const InputFacts& facts = check_.facts();
  LineReverter reverter(options_, table, utf8_mode);
  TextInput input;
  if (input.open(input_, facts, 0) != 0) {
    return fail("cannot read '" + input_ + "': " + input.error_text(), Report::Failure::input);
  }
  if (!sink.begin()) return fail(sink.error(), Report::Failure::output);

  const bool mark = utf8_mode && facts.bom;
  const std::uint64_t total = facts.size;
  int percent = 0;
  if (progress) progress(0);
  std::string first;
  InputLine line;
  std::uint64_t number = 0;
  std::string problem;
  while (input.next(&line)) {
    ++number;
    std::string_view bytes = line.bytes;
    if (number == 1 && mark && bytes.substr(0, 3) == kByteOrderMark) bytes.remove_prefix(3);
    std::string_view html;
    if (!reverter.revert(bytes, &html, &problem)) {
      if (report_.left_out++ == 0) {
        report_.first_left_out = number;
        report_.first_problem = problem;
      }
    } else {
      if (report_.lines == 0 && mark && sink.keeps_byte_order_mark()) {
        first.assign(kByteOrderMark);
        first.append(html);
        html = first;
      }
      if (!sink.write_line(html, number)) {
        const std::string error = sink.error();
        sink.abandon();
        return fail(error, Report::Failure::output);
      }
      ++report_.lines;
    }
    if (progress && total > 0) {
      const int now = static_cast<int>(input.consumed() * 100 / total);
      if (now > percent) {
        percent = now;
        progress(percent);
      }
    }
  }
  if (input.error() != 0) {
    sink.abandon();
    return fail("cannot read '" + input_ + "': " + input.error_text(), Report::Failure::input);
  }
  input.close();
  if (!sink.finish()) return fail(sink.error(), Report::Failure::output);
  if (progress && percent < 100) progress(100);
  return true;
}

}  // namespace conversion
