// Randomized model test: thousands of operations through the driver on
// tables with several keys, each outcome checked against an in-memory model
// that orders records by their values the way the keys promise (not by the
// engine's key encoding).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "files/kestrel/check.h"
#include "files/kestrel/pager.h"
#include "files/kestrel/tree.h"
#include "tests/files/kestrel/kestrel_fixture.h"

namespace files::kestrel_test {
namespace {

struct Row {
  std::int32_t id = 0;
  std::string name;   // up to 12, letters of both cases
  std::string code;   // CSTRING(8): up to 7, empty = blank (OPT)
  std::uint32_t day = 0;
  std::int32_t amount = 0;  // DECIMAL(7,2) in hundredths
  char fill = 'x';
  friend bool operator==(const Row&, const Row&) = default;
};

std::string be(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
  return s;
}

// Keys of the model table, in declaration order.
enum ModelKey { kId, kName, kCode, kDay, kAmount, kKeys };

// The order a key promises, as a byte string compared plainly: unique keys
// by value alone, the others by value and then record number.
std::optional<std::string> model_key(int key, const Row& r, std::uint32_t record) {
  switch (key) {
    case kId:
      return be(static_cast<std::uint32_t>(r.id) ^ 0x8000'0000u);
    case kName: {
      std::string v = r.name;
      v.resize(12, ' ');
      for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return v + be(record);
    }
    case kCode: {
      if (r.code.empty()) return std::nullopt;  // OPT: blank codes have no entry
      std::string v = r.code;
      v.resize(8, '\0');
      return v;
    }
    case kDay:
      return be(~r.day) + be(record);  // descending value, ascending record
    case kAmount:
      return be(static_cast<std::uint32_t>(r.amount) ^ 0x8000'0000u) + be(record);
    default:
      return be(record);  // record order
  }
}

bool unique_key(int key) { return key == kId || key == kCode; }

class Model {
 public:
  // 0 or 40, as ADD or PUT of `r` (for record `self`, 0 for a new one) must end.
  int conflict(const Row& r, std::uint32_t self) const {
    for (int k : {kId, kCode}) {
      const auto mk = model_key(k, r, 0);
      if (!mk) continue;
      auto it = order_[k].find(*mk);
      if (it != order_[k].end() && it->second != self) return 40;
    }
    return 0;
  }
  void put(std::uint32_t record, const Row& r) {
    erase(record);
    rows_[record] = r;
    for (int k = 0; k <= kKeys; ++k) {
      if (auto mk = model_key(k, r, record)) order_[k][*mk] = record;
    }
  }
  void erase(std::uint32_t record) {
    auto it = rows_.find(record);
    if (it == rows_.end()) return;
    for (int k = 0; k <= kKeys; ++k) {
      if (auto mk = model_key(k, it->second, record)) order_[k].erase(*mk);
    }
    rows_.erase(it);
  }
  const std::map<std::uint32_t, Row>& rows() const { return rows_; }
  // key kKeys stands for record order.
  const std::map<std::string, std::uint32_t>& order(int key) const { return order_[key]; }
  std::size_t entries(int key) const { return order_[key].size(); }

 private:
  std::map<std::uint32_t, Row> rows_;
  std::map<std::string, std::uint32_t> order_[kKeys + 1];
};

// DECIMAL(7,2): 4 bytes, sign nibble first (0xF negative), then 7 digits.
void put_decimal(std::uint8_t* p, std::int32_t v) {
  std::uint32_t m = static_cast<std::uint32_t>(v < 0 ? -v : v);
  std::uint8_t nibbles[8] = {};
  nibbles[0] = v < 0 ? 0xF : 0;
  for (int i = 7; i >= 1; --i) {
    nibbles[i] = static_cast<std::uint8_t>(m % 10);
    m /= 10;
  }
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(nibbles[2 * i] << 4 | nibbles[2 * i + 1]);
}

std::int32_t get_decimal(const std::uint8_t* p) {
  std::int32_t v = 0;
  for (int i = 1; i < 8; ++i) v = v * 10 + ((p[i / 2] >> (i % 2 ? 0 : 4)) & 0xF);
  return (p[0] >> 4) == 0xF ? -v : v;
}

struct ModelTable : Declared {
  ModelTable(std::string name, std::uint32_t filler, std::string owner) : Declared(std::move(name)) {
    if (!owner.empty()) fd.owner = TextSource(std::move(owner));
    id = field(FieldType::LONG, 4, "MOD:ID");
    name_f = field(FieldType::STRING, 12, "MOD:NAME");
    code = field(FieldType::CSTRING, 8, "MOD:CODE");
    day = field(FieldType::DATE, 4, "MOD:DAY");
    amount = field(FieldType::DECIMAL, 4, "MOD:AMOUNT", 7, 2);
    fill = field(FieldType::STRING, filler, "MOD:FILL");
    key("MOD:IDKEY", {{id, false}}, key_flag::PRIMARY);
    key("MOD:NAMEKEY", {{name_f, false}}, key_flag::DUP | key_flag::NOCASE);
    key("MOD:CODEKEY", {{code, false}}, key_flag::OPT);
    key("MOD:DAYKEY", {{day, true}}, key_flag::DUP);
    key("MOD:AMOUNTKEY", {{amount, false}}, key_flag::DUP);
    finish();
  }
  void write(const Row& r) {
    set_long(id, r.id);
    set_string(name_f, r.name);
    set_cstring(code, r.code);
    std::memcpy(at(day), &r.day, 4);
    put_decimal(at(amount), r.amount);
    std::memset(at(fill), r.fill, size(fill));
  }
  Row read() {
    Row r;
    r.id = get_long(id);
    r.name = get_string(name_f);
    r.code = get_cstring(code);
    std::memcpy(&r.day, at(day), 4);
    r.amount = get_decimal(at(amount));
    r.fill = static_cast<char>(*at(fill));
    return r;
  }
  int id, name_f, code, day, amount, fill;
};

class ModelRun {
 public:
  ModelRun(std::string name, std::uint32_t filler, std::string owner, std::uint32_t seed)
      : t(std::move(name), filler, std::move(owner)), rng(seed) {}

  std::uint32_t pick(std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); }

  Row random_row() {
    static const char letters[] = "aAbBcCd";
    Row r;
    r.id = static_cast<std::int32_t>(pick(id_range)) - static_cast<std::int32_t>(id_range / 2);
    const std::uint32_t len = 1 + pick(4);
    for (std::uint32_t i = 0; i < len; ++i) r.name += letters[pick(7)];
    if (pick(3) != 0) {
      const std::uint32_t cl = 1 + pick(code_length);
      for (std::uint32_t i = 0; i < cl; ++i) r.code += static_cast<char>('k' + pick(6));
    }
    r.day = 730000 + pick(50);
    r.amount = static_cast<std::int32_t>(pick(2001)) - 1000;
    r.fill = static_cast<char>('a' + pick(26));
    return r;
  }

  std::optional<std::uint32_t> random_record() {
    if (model.rows().empty()) return std::nullopt;
    auto it = model.rows().begin();
    std::advance(it, pick(static_cast<std::uint32_t>(std::min<std::size_t>(model.rows().size(), 64))));
    if (pick(2)) {
      it = model.rows().lower_bound(pick(model.rows().rbegin()->first + 1));
      if (it == model.rows().end()) it = model.rows().begin();
    }
    return it->first;
  }

  // Small value spaces make collisions (40) and duplicates common.
  std::uint32_t id_range = 4000;
  std::uint32_t code_length = 3;

  void add_one() {
    const Row r = random_row();
    t.write(r);
    add(t.fd);
    const int expected = model.conflict(r, 0);
    ASSERT_EQ(ERRORCODE(), expected) << ERROR();
    if (expected == 0) model.put(static_cast<std::uint32_t>(pointer(t.fd)), r);
  }

  void get_by_pointer(std::uint32_t record) {
    get(t.fd, record);
    ASSERT_EQ(ERRORCODE(), 0) << ERROR();
    ASSERT_EQ(t.read(), model.rows().at(record));
  }

  void put_one() {
    const auto record = random_record();
    if (!record) return;
    get_by_pointer(*record);
    Row r = t.read();
    const Row fresh = random_row();
    switch (pick(4)) {
      case 0: r.id = fresh.id; break;
      case 1: r.name = fresh.name; break;
      case 2: r.code = fresh.code; break;
      default: r.day = fresh.day; r.amount = fresh.amount; r.fill = fresh.fill; break;
    }
    t.write(r);
    put(t.fd);
    const int expected = model.conflict(r, *record);
    ASSERT_EQ(ERRORCODE(), expected) << ERROR();
    if (expected == 0) model.put(*record, r);
  }

  void delete_one() {
    const auto record = random_record();
    if (!record) return;
    get_by_pointer(*record);
    erase(t.fd);
    ASSERT_EQ(ERRORCODE(), 0) << ERROR();
    model.erase(*record);
  }

  void get_one() {
    const int k = static_cast<int>(pick(3));  // ID, NAME or CODE
    Row probe = random_row();
    if (auto record = random_record(); record && pick(2)) probe = model.rows().at(*record);
    t.write(probe);
    get(t.fd, t.k(k));
    // The first entry of the value in key order, if any.
    std::optional<std::uint32_t> want;
    if (auto mk = model_key(k, probe, 0)) {
      const auto& order = model.order(k);
      auto it = order.lower_bound(*mk);
      const std::size_t value_len = unique_key(k) ? mk->size() : mk->size() - 4;
      if (it != order.end() && it->first.compare(0, value_len, *mk, 0, value_len) == 0) want = it->second;
    }
    if (!want) {
      ASSERT_EQ(ERRORCODE(), 35);
      return;
    }
    ASSERT_EQ(ERRORCODE(), 0) << ERROR();
    ASSERT_EQ(static_cast<std::uint32_t>(pointer(t.fd)), *want);
    ASSERT_EQ(t.read(), model.rows().at(*want));
  }

  // Reads one record with NEXT or PREVIOUS and checks it against the model
  // cursor `at` (nullopt: from the ends), which it moves on.
  void step(int k, bool forward, std::optional<std::string>* at, bool* inclusive) {
    const auto& order = model.order(k);
    std::map<std::string, std::uint32_t>::const_iterator it;
    if (forward) {
      it = !*at ? order.begin() : (*inclusive ? order.lower_bound(**at) : order.upper_bound(**at));
    } else {
      it = !*at ? order.end() : (*inclusive ? order.upper_bound(**at) : order.lower_bound(**at));
      it = it == order.begin() ? order.end() : std::prev(it);
    }
    if (forward) {
      next(t.fd);
    } else {
      previous(t.fd);
    }
    if (it == order.end()) {
      ASSERT_EQ(ERRORCODE(), 33) << "key " << k;
      return;
    }
    ASSERT_EQ(ERRORCODE(), 0) << ERROR() << " key " << k;
    ASSERT_EQ(static_cast<std::uint32_t>(pointer(t.fd)), it->second) << "key " << k;
    ASSERT_EQ(t.read(), model.rows().at(it->second));
    *at = it->first;
    *inclusive = false;
  }

  void sequence() {
    const int k = static_cast<int>(pick(kKeys + 1));
    std::optional<std::string> at;
    bool inclusive = false;
    bool forward = pick(2) == 0;
    const std::uint32_t how = pick(3);
    if (how == 0 || model.rows().empty()) {
      if (k == kKeys) {
        set(t.fd);
      } else {
        set(t.k(k));
      }
    } else if (k == kKeys) {
      const std::uint32_t record = *random_record();
      set_pointer(t.fd, record);
      at = be(record);
      inclusive = true;
    } else if (how == 1) {
      // From a value: every entry of that value is met, both ways.
      const Row probe = model.rows().at(*random_record());
      t.write(probe);
      set(t.k(k), t.k(k));
      const std::uint32_t bound = forward ? 0 : 0xFFFF'FFFFu;
      if (auto mk = model_key(k, probe, bound)) {
        at = *mk;
      } else {
        at = std::string(8, '\0');  // a blank CSTRING value sorts before every code
      }
      inclusive = true;
    } else {
      // From a record's own entry.
      const std::uint32_t record = *random_record();
      set_pointer(t.k(k), record);
      const auto mk = model_key(k, model.rows().at(record), record);
      at = mk ? *mk : std::string(8, '\0');
      inclusive = true;
    }
    ASSERT_EQ(ERRORCODE(), 0) << ERROR();
    const std::uint32_t steps = 1 + pick(8);
    std::optional<std::string> saved_at;
    std::string saved_position;
    std::uint32_t saved_record = 0;
    for (std::uint32_t s = 0; s < steps; ++s) {
      if (s > 0 && pick(4) == 0) forward = !forward;
      ASSERT_NO_FATAL_FAILURE(step(k, forward, &at, &inclusive));
      if (ERRORCODE() != 0) return;
      if (saved_position.empty() && pick(3) == 0) {
        saved_position = k == kKeys ? position(t.fd) : position(t.k(k));
        ASSERT_EQ(ERRORCODE(), 0);
        saved_at = at;
        saved_record = static_cast<std::uint32_t>(pointer(t.fd));
      }
    }
    if (!saved_position.empty()) {
      // RESET puts the sequence back on the record POSITION named.
      if (k == kKeys) {
        reset(t.fd, saved_position);
      } else {
        reset(t.k(k), saved_position);
      }
      ASSERT_EQ(ERRORCODE(), 0);
      at = saved_at;
      inclusive = true;
      ASSERT_NO_FATAL_FAILURE(step(k, true, &at, &inclusive));
      ASSERT_EQ(static_cast<std::uint32_t>(pointer(t.fd)), saved_record);
      // REGET reads it by its position alone.
      t.clear();
      if (k == kKeys) {
        reget(t.fd, saved_position);
      } else {
        reget(t.k(k), saved_position);
      }
      ASSERT_EQ(ERRORCODE(), 0);
      ASSERT_EQ(t.read(), model.rows().at(saved_record));
    }
  }

  void operate() {
    const std::uint32_t r = pick(100);
    if (r < 40) {
      add_one();
    } else if (r < 55) {
      put_one();
    } else if (r < 65) {
      delete_one();
    } else if (r < 78) {
      get_one();
    } else {
      sequence();
    }
  }

  // Every key read whole, both ways, and the counts.
  void verify_all() {
    ASSERT_EQ(static_cast<std::size_t>(records(t.fd)), model.rows().size());
    for (int k = 0; k <= kKeys; ++k) {
      if (k < kKeys) {
        ASSERT_EQ(static_cast<std::size_t>(records(t.k(k))), model.entries(k)) << "key " << k;
      }
      for (bool forward : {true, false}) {
        if (k == kKeys) {
          set(t.fd);
        } else {
          set(t.k(k));
        }
        std::vector<std::uint32_t> got;
        for (forward ? next(t.fd) : previous(t.fd); ERRORCODE() == 0; forward ? next(t.fd) : previous(t.fd)) {
          got.push_back(static_cast<std::uint32_t>(pointer(t.fd)));
          ASSERT_EQ(t.read(), model.rows().at(got.back()));
        }
        ASSERT_EQ(ERRORCODE(), 33);
        std::vector<std::uint32_t> want;
        for (const auto& [mk, record] : model.order(k)) want.push_back(record);
        if (!forward) std::reverse(want.begin(), want.end());
        ASSERT_EQ(got, want) << "key " << k << (forward ? " forward" : " backward");
      }
    }
  }

  ModelTable t;
  Model model;
  std::mt19937 rng;
};

class ModelTest : public KestrelTest, public ::testing::WithParamInterface<const char*> {};

// Two tables of one file, operations interleaved, checked against their
// models, then the file reopened and checked whole.
TEST_P(ModelTest, TwoTablesOfOneFileFollowTheirModels) {
  const std::string owner = GetParam();
  ModelRun one("/data/model\\!one", 8, owner, 11);
  ModelRun two("/data/model\\!two", 30, owner, 23);
  for (ModelRun* run : {&one, &two}) {
    create_open(run->t);
  }
  for (int i = 0; i < 3000; ++i) {
    ModelRun& run = i % 3 == 0 ? two : one;
    ASSERT_NO_FATAL_FAILURE(run.operate()) << "operation " << i;
  }
  for (ModelRun* run : {&one, &two}) {
    ASSERT_NO_FATAL_FAILURE(run->verify_all());
    close(run->t.fd);
  }
  const std::optional<std::string> password = owner.empty() ? std::nullopt : std::optional<std::string>(owner);
  const kestrel::CheckReport report = kestrel::check_file(env_.get(), "/data/model.KSF", password);
  EXPECT_TRUE(report.clean()) << (report.faults.empty() ? report.error : report.faults.front());
  EXPECT_EQ(report.tables, (std::vector<std::string>{"ONE", "TWO"}));
  for (ModelRun* run : {&one, &two}) {
    open(run->t.fd, 0x42);
    ASSERT_EQ(ERRORCODE(), 0);
    ASSERT_NO_FATAL_FAILURE(run->verify_all());
  }
}

INSTANTIATE_TEST_SUITE_P(Owner, ModelTest, ::testing::Values("", "s3cret"));

// Enough records, made wide, for a tree of three levels.
TEST_F(KestrelTest, ALargeTableGrowsAThreeLevelTreeAndFollowsTheModel) {
  ModelRun run("/data/large", 1000, "", 7);
  run.id_range = 1'000'000;
  run.code_length = 7;
  create_open(run.t);
  for (int i = 0; i < 2400; ++i) {
    ASSERT_NO_FATAL_FAILURE(i % 4 == 3 ? run.operate() : run.add_one()) << "operation " << i;
  }
  ASSERT_NO_FATAL_FAILURE(run.verify_all());
  close(run.t.fd);

  std::shared_ptr<kestrel::Pager> pager;
  kestrel::OpenOptions options;
  options.writable = false;
  ASSERT_TRUE(kestrel::Pager::open(env_.get(), "/data/large.KSF", options, &pager).ok());
  ASSERT_TRUE(pager->begin_access(kestrel::AccessKind::read, true).ok());
  kestrel::Tree::Shape shape;
  ASSERT_TRUE(kestrel::Tree(*pager).check(&shape).ok());
  pager->abandon_access();
  EXPECT_GE(shape.height, 3) << shape.pages << " pages, " << shape.records << " records";
  pager.reset();

  const kestrel::CheckReport report = kestrel::check_file(env_.get(), "/data/large.KSF", std::nullopt);
  EXPECT_TRUE(report.clean()) << (report.faults.empty() ? report.error : report.faults.front());
}

}  // namespace
}  // namespace files::kestrel_test
