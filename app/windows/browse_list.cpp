#include "app/windows/browse_list.h"

#include <QWidget>
#include <algorithm>
#include <array>

#include "app/data/globals.h"
#include "app/data/standard_messages.h"
#include "files/driver/error_state.h"
#include "files/driver/file_ops.h"
#include "runtime/char_tables.h"
#include "ui/engine_codes.h"
#include "ui/services.h"
#include "ui/text.h"

namespace app {
namespace {

using files::ERRORCODE;
constexpr int kRecordNotAvailable = 33;

// The thumb reads a key as a number made of its first bytes past the part
// that the view's first and last keys share, by collating weight.
constexpr std::size_t kThumbBytes = 3;

std::uint8_t weight_of(std::uint8_t c, bool nocase) {
  const runtime::CharTables& t = runtime::char_tables();
  return t.ansi_weight(nocase ? t.fold_case(c) : c);
}

std::size_t common_prefix(std::string_view a, std::string_view b) {
  std::size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  return n;
}

double key_number(std::string_view key, std::size_t from, bool nocase) {
  double v = 0;
  for (std::size_t i = 0; i < kThumbBytes; ++i) {
    const std::size_t at = from + i;
    const auto c = static_cast<std::uint8_t>(at < key.size() ? key[at] : ' ');
    v = v * 256 + weight_of(c, nocase);
  }
  return v;
}

bool same_letter(int a, int b) {
  const QString x = ui::to_qstring(std::string(1, static_cast<char>(a)));
  const QString y = ui::to_qstring(std::string(1, static_cast<char>(b)));
  return x.compare(y, Qt::CaseInsensitive) == 0;
}

}  // namespace

BrowseList::BrowseList(ui::Window& window, int control, files::view::View& view, std::string label, Shape shape)
    : window_(window), control_(control), view_(view), label_(std::move(label)), shape_(std::move(shape)) {}

int BrowseList::page() const { return std::max(1, window_.list_page_size(control_)); }

int BrowseList::row_count() const { return static_cast<int>(page_.size()); }

int BrowseList::highlighted() const {
  const int row = std::atoi(window_.property(control_, ui::props::kSelected).c_str());
  return row >= 1 && row <= row_count() ? row : 0;
}

std::vector<std::string> BrowseList::highlighted_row() const {
  const int row = highlighted();
  return row ? page_[static_cast<std::size_t>(row - 1)] : std::vector<std::string>{};
}

std::string BrowseList::highlighted_position() const {
  const std::vector<std::string> row = highlighted_row();
  return row.empty() ? std::string() : row.back();
}

void BrowseList::highlight(int row) {
  window_.set_property(control_, ui::props::kSelected, std::to_string(row));
  place_thumb();
}

void BrowseList::show(int row) {
  // Only what changed is redone: a scroll adds and drops at the ends, and
  // rows that stay keep their items, so that a refill between the two
  // clicks of a double click (the window's focus coming back with the
  // first) does not lose it.
  const auto position_at = [](const std::deque<Row>& rows, std::size_t i) -> const std::string& {
    return rows[i].back();
  };
  if (!shown_.empty() && !page_.empty()) {
    const std::string& first = position_at(page_, 0);
    for (std::size_t k = 1; k < shown_.size(); ++k) {
      if (position_at(shown_, k) != first) continue;
      for (std::size_t i = 0; i < k; ++i) {  // scrolled down by k
        window_.list_drop(control_, ui::ListEnd::Front);
        shown_.pop_front();
      }
      break;
    }
    const std::string& was_first = position_at(shown_, 0);
    for (std::size_t k = 1; k < page_.size(); ++k) {
      if (position_at(page_, k) != was_first) continue;
      for (std::size_t i = k; i-- > 0;) {  // scrolled up by k
        window_.list_add(control_, page_[i], ui::ListEnd::Front);
        shown_.push_front(page_[i]);
      }
      break;
    }
  }
  const std::size_t common = std::min(shown_.size(), page_.size());
  for (std::size_t r = 0; r < common; ++r) {
    if (shown_[r] == page_[r]) continue;
    window_.list_replace(control_, static_cast<int>(r) + 1, page_[r]);
    shown_[r] = page_[r];
  }
  while (shown_.size() > page_.size()) {
    window_.list_drop(control_, ui::ListEnd::Back);
    shown_.pop_back();
  }
  for (std::size_t r = shown_.size(); r < page_.size(); ++r) {
    window_.list_add(control_, page_[r], ui::ListEnd::Back);
    shown_.push_back(page_[r]);
  }
  highlight(row);
}

BrowseList::Row BrowseList::row_from_buffer() const {
  Row row = shape_.make_row();
  row.emplace_back();  // the mark
  row.push_back(view_.position());
  return row;
}

int BrowseList::index_of(const std::string& position) const {
  if (position.empty()) return -1;
  for (std::size_t r = 0; r < page_.size(); ++r) {
    if (page_[r].back() == position) return static_cast<int>(r);
  }
  return -1;
}

bool BrowseList::fail_read() {
  failed_ = true;
  standard_message(msg::kRecordRetrievalError, label_);
  return false;
}

bool BrowseList::read_after(int n, int* read, int* dropped) {
  *read = 0;
  *dropped = 0;
  if (n <= 0 || page_.empty()) return true;
  const std::string from = page_.back().back();
  if (const int rc = view_.reset(from); rc != 0) return rc == kRecordNotAvailable || fail_read();
  while (*read < n) {
    const int rc = view_.next();
    if (rc == kRecordNotAvailable) break;
    if (rc != 0) return fail_read();
    if (view_.position() == from) continue;
    if (row_count() >= page()) {
      page_.pop_front();
      ++*dropped;
    }
    page_.push_back(row_from_buffer());
    ++*read;
  }
  return true;
}

bool BrowseList::read_before(int n, int* read, int* dropped) {
  *read = 0;
  *dropped = 0;
  if (n <= 0 || page_.empty()) return true;
  const std::string from = page_.front().back();
  if (const int rc = view_.reset(from); rc != 0) return rc == kRecordNotAvailable || fail_read();
  while (*read < n) {
    const int rc = view_.previous();
    if (rc == kRecordNotAvailable) break;
    if (rc != 0) return fail_read();
    if (view_.position() == from) continue;
    if (row_count() >= page()) {
      page_.pop_back();
      ++*dropped;
    }
    page_.push_front(row_from_buffer());
    ++*read;
  }
  return true;
}

bool BrowseList::fill_forward(const std::function<int()>& place, int front_rows, int* first_read) {
  ui::BusyCursor busy;
  *first_read = -1;
  page_.clear();
  const int rc = place();
  if (rc != 0 && rc != kRecordNotAvailable) return fail_read();
  const int size = page();
  if (rc == 0) {
    while (row_count() < size) {
      const int r = view_.next();
      if (r == kRecordNotAvailable) break;
      if (r != 0) return fail_read();
      page_.push_back(row_from_buffer());
    }
  }
  if (row_count() == 0) return true;
  *first_read = 0;
  int read = 0;
  int dropped = 0;
  if (!read_before(std::max(front_rows, size - row_count()), &read, &dropped)) return false;
  *first_read = read;
  return true;
}

bool BrowseList::fill_top() {
  int first = -1;
  if (!fill_forward([this] { return view_.first(); }, 0, &first)) return false;
  learn_ends();
  show(row_count() > 0 ? 1 : 0);
  return true;
}

bool BrowseList::fill_bottom() {
  ui::BusyCursor busy;
  page_.clear();
  const int rc = view_.last();
  if (rc != 0 && rc != kRecordNotAvailable) return fail_read();
  const int size = page();
  while (rc == 0 && row_count() < size) {
    const int r = view_.previous();
    if (r == kRecordNotAvailable) break;
    if (r != 0) return fail_read();
    page_.push_front(row_from_buffer());
  }
  learn_ends();
  show(row_count());
  return true;
}

bool BrowseList::fill_at(const std::string& position) {
  if (position.empty()) return fill_top();
  const int kept_row = std::max(0, index_of(position));
  int first = -1;
  if (!fill_forward([&] { return view_.reset(position); }, kept_row, &first)) return false;
  if (first < 0) return fill_bottom();  // nothing at or after it: the end of the file
  learn_ends();
  const int found = index_of(position);
  show((found >= 0 ? found : first) + 1);
  return true;
}

bool BrowseList::refresh() { return fill_at(highlighted_position()); }

bool BrowseList::move(int rows) {
  const int count = row_count();
  if (count == 0 || rows == 0) return true;
  const int from = std::max(1, highlighted()) - 1;
  int target = from + rows;
  if (target >= count) {
    int read = 0, dropped = 0;
    if (!read_after(target - (count - 1), &read, &dropped)) return false;
    target -= dropped;
  } else if (target < 0) {
    int read = 0, dropped = 0;
    if (!read_before(-target, &read, &dropped)) return false;
    target += read;
  }
  show(std::clamp(target, 0, row_count() - 1) + 1);
  return true;
}

bool BrowseList::page_event(std::int32_t event, int thumb) {
  using namespace ui::events;
  const int count = row_count();
  switch (event) {
    case kScrollUp: return move(-1);
    case kScrollDown: return move(1);
    case kPageDown: {
      if (count == 0) return true;
      // A page of new rows; the highlight keeps its place on the screen, or
      // goes to the last row when the file ends first.
      const int from = std::max(1, highlighted()) - 1;
      int read = 0, dropped = 0;
      if (!read_after(page(), &read, &dropped)) return false;
      show(std::min(from + page() - dropped, row_count() - 1) + 1);
      return true;
    }
    case kPageUp: {
      if (count == 0) return true;
      const int from = std::max(1, highlighted()) - 1;
      int read = 0, dropped = 0;
      if (!read_before(page(), &read, &dropped)) return false;
      show(std::max(from + read - page(), 0) + 1);
      return true;
    }
    case kScrollTop: return fill_top();
    case kScrollBottom: return fill_bottom();
    case kScrollDrag: return drag_to(thumb);
    default: return true;
  }
}

bool BrowseList::locate_typed(int byte) {
  if (byte < 33 || byte > 255 || row_count() == 0) return true;
  const auto begins = [&](int row) {
    const Row& cells = page_[static_cast<std::size_t>(row - 1)];
    if (shape_.key_cell >= cells.size() || cells[shape_.key_cell].empty()) return false;
    return same_letter(static_cast<std::uint8_t>(cells[shape_.key_cell][0]), byte);
  };
  if (const int row = highlighted(); row && begins(row)) {
    if (!move(1)) return false;
    if (begins(highlighted())) return true;
  }
  shape_.set_key(std::string(1, static_cast<char>(byte)));
  int first = -1;
  if (!fill_forward([this] { return view_.locate(); }, 0, &first)) return false;
  if (first < 0) return fill_bottom();
  learn_ends();
  show(first + 1);
  return true;
}

bool BrowseList::drag_to(int percent) {
  if (percent <= 0) return fill_top();
  if (percent >= 100) return fill_bottom();
  learn_ends();
  if (first_key_.empty() && last_key_.empty()) return fill_top();
  const std::size_t from = common_prefix(first_key_, last_key_);
  const double a = key_number(first_key_, from, shape_.nocase);
  const double b = key_number(last_key_, from, shape_.nocase);
  auto target = static_cast<std::uint32_t>(a + (b - a) * percent / 100.0);
  std::array<std::uint8_t, 256> byte_of{};
  for (int c = 0; c < 256; ++c) byte_of[weight_of(static_cast<std::uint8_t>(c), false)] = static_cast<std::uint8_t>(c);
  std::string key = first_key_.substr(0, from);
  std::string tail(kThumbBytes, ' ');
  for (std::size_t i = kThumbBytes; i-- > 0; target >>= 8) tail[i] = static_cast<char>(byte_of[target & 0xFF]);
  key += tail;
  shape_.set_key(key);
  int first = -1;
  if (!fill_forward([this] { return view_.locate(); }, 0, &first)) return false;
  if (first < 0) return fill_bottom();
  show(first + 1);
  return true;
}

void BrowseList::learn_ends() {
  first_position_.clear();
  last_position_.clear();
  first_key_.clear();
  last_key_.clear();
  const auto key_text = [this] {
    const Row row = shape_.make_row();
    return shape_.key_cell < row.size() ? row[shape_.key_cell] : std::string();
  };
  if (view_.first() == 0 && view_.next() == 0) {
    first_position_ = view_.position();
    first_key_ = key_text();
  }
  if (view_.last() == 0 && view_.previous() == 0) {
    last_position_ = view_.position();
    last_key_ = key_text();
  }
  files::clear_error();  // the ends are a hint; a failed read here shows in the next fill
}

void BrowseList::place_thumb() {
  const std::string at = highlighted_position();
  int percent = 0;
  if (at.empty() || at == first_position_) {
    percent = 0;
  } else if (at == last_position_) {
    percent = 100;
  } else {
    const std::vector<std::string> row = highlighted_row();
    const std::string key = shape_.key_cell < row.size() ? row[shape_.key_cell] : std::string();
    const std::size_t from = common_prefix(first_key_, last_key_);
    const double a = key_number(first_key_, from, shape_.nocase);
    const double b = key_number(last_key_, from, shape_.nocase);
    const double x = key_number(key, from, shape_.nocase);
    percent = b > a ? std::clamp(static_cast<int>((x - a) * 100 / (b - a)), 1, 99) : 50;
  }
  window_.set_list_thumb(control_, percent);
}

std::string BrowseList::position_of_buffer(files::KeyDescriptor& primary) {
  files::FileDescriptor& file = view_.file();
  files::get(file, primary);
  if (ERRORCODE() != 0) return {};
  const std::string at = files::position(view_.key());
  if (ERRORCODE() != 0) return {};
  return files::view::View::view_position(at).value_or(std::string());
}

void prepare_form_call(std::int32_t request) {
  navigation_request = 0;
  global_request = request;
}

bool blank(std::string_view field) {
  return std::all_of(field.begin(), field.end(), [](char c) { return c == ' ' || c == '\0'; });
}

}  // namespace app
