#include "files/kestrel/tree.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "platform/memory_env.h"

namespace files::kestrel {
namespace {

using namespace layout;

std::string to_string(ByteView b) { return std::string(b.begin(), b.end()); }
Record rec(const std::string& key, const std::string& data) { return Record::make(view_of(key), view_of(data)); }

class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override { open(OpenOptions{}); }
  void open(const OpenOptions& options) {
    pager_.reset();
    ASSERT_TRUE(Pager::open(&env_, "/t.ksf", options, &pager_).ok());
  }

  // Runs f in one access of its own (flushed at the end for updates).
  template <class F>
  Status run(AccessKind kind, F f) {
    if (Status s = pager_->begin_access(kind, true); !s.ok()) return s;
    Tree tree(*pager_);
    Status s = f(tree);
    Status e = pager_->end_access();
    return s.ok() ? e : s;
  }
  Status put(const std::string& k, const std::string& d) {
    return run(AccessKind::update, [&](Tree& t) { return t.insert(rec(k, d)); });
  }

  // The tree is sound and its pages fill the blocks exactly: nothing is
  // lost, nothing leaks.
  Tree::Shape checked_shape() {
    Tree::Shape shape;
    EXPECT_TRUE(run(AccessKind::read, [&](Tree& t) { return t.check(&shape); }).ok());
    const Header& h = pager_->header();
    EXPECT_TRUE(check_blocks(h).ok());
    std::size_t pages = 0;
    for (std::size_t i = 1; i <= kMaxClass; ++i) pages += (h.block_end[i] - h.block_start[i]) / i;
    EXPECT_EQ(pages, shape.pages);
    return shape;
  }

  std::map<std::string, std::string> scan() {
    std::map<std::string, std::string> out;
    EXPECT_TRUE(run(AccessKind::read, [&](Tree& t) {
                  Record r;
                  Status s = t.first(&r);
                  while (s.ok()) {
                    out[to_string(r.key())] = to_string(r.data());
                    s = t.next(r.key(), &r);
                  }
                  return s.is(Code::not_found) ? Status::success() : s;
                }).ok());
    return out;
  }

  platform::MemoryEnv env_;
  std::shared_ptr<Pager> pager_;
};

TEST_F(TreeTest, RandomOperationsAgreeWithStdMapThroughThreeLevels) {
  std::mt19937 rng(42);
  std::map<std::string, std::string> model;
  // Keys from a tiny alphabet: many are prefixes of others, and a long
  // common head makes separators long, so inner pages split early.
  auto random_key = [&] {
    std::string k(40, 'h');
    const std::size_t n = 1 + rng() % 6;
    for (std::size_t i = 0; i < n; ++i) k += "abc"[rng() % 3];
    k += std::to_string(rng() % 60);
    return k;
  };
  int height = 0;
  for (int op = 0; op < 6000; ++op) {
    const std::string k = random_key();
    const int what = static_cast<int>(rng() % 10);
    Record r;
    if (what < 5) {
      const std::string d(rng() % 3 == 0 ? 50 + rng() % 900 : rng() % 40, static_cast<char>('a' + op % 26));
      const Status s = put(k, d);
      EXPECT_EQ(s, model.count(k) ? Status::exists() : Status::success()) << op;
      model.emplace(k, d);
    } else if (what < 7) {
      const Status s = run(AccessKind::update, [&](Tree& t) { return t.erase(view_of(k)); });
      EXPECT_EQ(s, model.erase(k) ? Status::success() : Status::not_found()) << op;
    } else if (what < 8) {
      const std::string d(rng() % 200, 'r');
      const Status s = run(AccessKind::update, [&](Tree& t) { return t.replace(rec(k, d)); });
      if (model.count(k)) {
        EXPECT_TRUE(s.ok());
        model[k] = d;
      } else {
        EXPECT_EQ(s, Status::not_found());
      }
    } else {
      // find, next and prev from a key that may or may not be present
      ASSERT_TRUE(run(AccessKind::read, [&](Tree& t) {
                    auto it = model.find(k);
                    Status s = t.find(view_of(k), &r);
                    EXPECT_EQ(s.ok(), it != model.end());
                    if (s.ok()) {
                      EXPECT_EQ(to_string(r.data()), it->second);
                    }
                    auto up = model.upper_bound(k);
                    s = t.next(view_of(k), &r);
                    EXPECT_EQ(s.ok(), up != model.end());
                    if (s.ok()) {
                      EXPECT_EQ(to_string(r.key()), up->first);
                    }
                    auto low = model.lower_bound(k);
                    s = t.prev(view_of(k), &r);
                    EXPECT_EQ(s.ok(), low != model.begin());
                    if (s.ok()) {
                      EXPECT_EQ(to_string(r.key()), std::prev(low)->first);
                    }
                    s = t.lower_bound(view_of(k), &r);
                    EXPECT_EQ(s.ok(), low != model.end());
                    if (s.ok()) {
                      EXPECT_EQ(to_string(r.key()), low->first);
                    }
                    return Status::success();
                  }).ok());
    }
    if (op % 500 == 499) {
      height = std::max(height, checked_shape().height);
      ASSERT_EQ(scan(), model) << op;
    }
  }
  EXPECT_GE(height, 3);

  // Reopening reads everything back from the file.
  open(OpenOptions{});
  EXPECT_EQ(scan(), model);
  EXPECT_LE(pager_->cached_pages(), pager_->cache_bound());

  // Deleting everything gives every page back.
  for (const auto& entry : model) {
    const std::string& k = entry.first;
    ASSERT_TRUE(run(AccessKind::update, [&](Tree& t) { return t.erase(view_of(k)); }).ok());
  }
  const Tree::Shape empty = checked_shape();
  EXPECT_EQ(empty.pages, 0u);
  EXPECT_EQ(pager_->header().root, kNoRoot);
  EXPECT_EQ(end_of_data(pager_->header()), 512u);
}

TEST_F(TreeTest, ManyChangesInOneAccessArePlacedTogether) {
  std::map<std::string, std::string> model;
  ASSERT_TRUE(run(AccessKind::update, [&](Tree& t) {
                for (int i = 0; i < 3000; ++i) {
                  const std::string k = "key" + std::to_string(i * 7919 % 3001);
                  const std::string d(i % 300, 'x');
                  model[k] = d;
                  if (Status s = t.insert(rec(k, d)); !s.ok()) return s;
                }
                return Status::success();
              }).ok());
  EXPECT_GE(checked_shape().height, 2);
  ASSERT_TRUE(run(AccessKind::update, [&](Tree& t) {
                for (auto it = model.begin(); it != model.end();) {
                  if (Status s = t.erase(view_of(it->first)); !s.ok()) return s;
                  it = model.erase(it);
                  if (it != model.end()) ++it;
                }
                return Status::success();
              }).ok());
  checked_shape();
  open(OpenOptions{});
  EXPECT_EQ(scan(), model);
}

TEST_F(TreeTest, SplitRuleFollowsSizeBoundAndRecordCount) {
  // 20 records of 700 bytes: bound 14,113, over 4096 but only 20 records.
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(put("k" + std::to_string(10 + i), std::string(697, 'd')).ok());
  EXPECT_EQ(checked_shape().pages, 1u);
  // One more record makes 21: split.
  ASSERT_TRUE(put("k50", std::string(10, 'd')).ok());
  Tree::Shape shape = checked_shape();
  EXPECT_EQ(shape.height, 2);
  EXPECT_EQ(shape.pages, 3u);

  // Three large records: the hard bound alone splits.
  open(OpenOptions{});
  ASSERT_TRUE(run(AccessKind::update, [&](Tree& t) {
                for (const char* k : {"a", "b", "c"}) {
                  if (Status s = t.insert(rec(k, std::string(6000, *k))); !s.ok()) return s;
                }
                return Status::success();
              }).ok());
  shape = checked_shape();
  EXPECT_EQ(shape.records, 3 + 21u);
}

TEST_F(TreeTest, OversizedRecordIsInternalErrorThatSticks) {
  ASSERT_TRUE(put("k", "v").ok());
  EXPECT_EQ(put("big", std::string(15094, 'x')), Status::corruption(824));
  EXPECT_EQ(pager_->begin_access(AccessKind::read, true), Status::corruption(824));
  // A fresh object sees the file as it was.
  open(OpenOptions{});
  EXPECT_EQ(scan(), (std::map<std::string, std::string>{{"k", "v"}}));
  // The largest record that fits a page of its own is accepted.
  EXPECT_TRUE(put("m", std::string(kMaxRecordInPage - 1, 'x')).ok());
  EXPECT_EQ(put("n", std::string(kMaxRecordInPage, 'x')), Status::corruption(824));
}

TEST_F(TreeTest, NumberCounterCountsBigEndianUntilExhausted) {
  std::uint32_t n = 0;
  ASSERT_TRUE(run(AccessKind::update, [&](Tree& t) { return t.next_number(&n); }).ok());
  EXPECT_EQ(n, 1u);
  ASSERT_TRUE(pager_->begin_access(AccessKind::update, true).ok());
  pager_->set_number_counter({0x00, 0x00, 0x01, 0xFF});
  ASSERT_TRUE(Tree(*pager_).next_number(&n).ok());
  EXPECT_EQ(n, 0x200u);
  EXPECT_EQ(pager_->number_counter(), (std::array<std::uint8_t, 4>{0x00, 0x00, 0x02, 0x00}));
  pager_->set_number_counter({0xFD, 0xFF, 0xFF, 0xFE});
  ASSERT_TRUE(Tree(*pager_).next_number(&n).ok());
  EXPECT_EQ(n, 0xFDFFFFFFu);
  EXPECT_EQ(Tree(*pager_).next_number(&n), Status::corruption(1173));
  EXPECT_EQ(pager_->end_access(), Status::corruption(1173));
}

// A walk forward with a hint gives the same records as without one, while
// records come and go around the walk between its steps (each step an
// access of its own, some of them flushing splits and freed pages).
TEST_F(TreeTest, HintedStepsForwardFollowEveryChangeBetweenThem) {
  std::mt19937 rng(11);
  std::map<std::string, std::string> model;
  auto key_of = [](int i) {
    std::string k = "k" + std::to_string(100000 + i);
    return k;
  };
  for (int i = 0; i < 3000; i += 2) {
    model[key_of(i)] = std::string(rng() % 40, 'd');
    ASSERT_TRUE(put(key_of(i), model[key_of(i)]).ok());
  }
  Tree::Hint hint;
  std::string at;  // the last key read; "" before the first
  int steps = 0;
  for (;;) {
    Record r;
    Status s = run(AccessKind::read, [&](Tree& t) { return t.next(view_of(at), &r, &hint); });
    const auto want = model.upper_bound(at);
    if (want == model.end()) {
      ASSERT_TRUE(s.is(Code::not_found));
      break;
    }
    ASSERT_TRUE(s.ok()) << at;
    ASSERT_EQ(to_string(r.key()), want->first) << "after " << at;
    ASSERT_EQ(to_string(r.data()), want->second);
    at = want->first;
    ++steps;
    // Change the neighbourhood: add or drop records just after, just
    // before, or at the place just read.
    const int base = std::stoi(at.substr(1)) - 100000;
    for (int c = 0; c < 2; ++c) {
      const std::string k = key_of(base + static_cast<int>(rng() % 9) - 3);
      if (rng() % 2 == 0 && !model.count(k)) {
        model[k] = std::string(rng() % 60, 'n');
        ASSERT_TRUE(put(k, model[k]).ok());
      } else if (model.count(k)) {
        model.erase(k);
        ASSERT_TRUE(run(AccessKind::update, [&](Tree& t) { return t.erase(view_of(k)); }).ok());
      }
    }
  }
  EXPECT_GT(steps, 1000);
  EXPECT_EQ(scan(), model);
}

// update rewrites a record in one descent: in place when its length stays,
// through the split rule when it grows; an error from the change, or an
// unchanged record, leaves the page as it was.
TEST_F(TreeTest, UpdateRewritesOneRecordInPlaceOrThroughASplit) {
  std::map<std::string, std::string> model;
  for (int i = 0; i < 200; ++i) {
    const std::string k = "u" + std::to_string(1000 + i);
    model[k] = std::string(30, 'a');
    ASSERT_TRUE(put(k, model[k]).ok());
  }
  auto set_data = [](const std::string& d) {
    return [d](Record* r) {
      const std::string key(r->key().begin(), r->key().end());
      *r = Record::make(view_of(key), view_of(d));
      return Status::success();
    };
  };
  ASSERT_TRUE(run(AccessKind::update, [&](Tree& t) { return t.update(view_of("u1005"), set_data(std::string(30, 'b'))); }).ok());
  model["u1005"] = std::string(30, 'b');
  for (int i = 0; i < 200; i += 3) {  // grow many records: pages must split
    const std::string k = "u" + std::to_string(1000 + i);
    model[k] = std::string(400, 'g');
    ASSERT_TRUE(run(AccessKind::update, [&](Tree& t) { return t.update(view_of(k), set_data(model[k])); }).ok());
  }
  const std::uint64_t writes = pager_->stats().page_writes;
  ASSERT_TRUE(run(AccessKind::update, [&](Tree& t) { return t.update(view_of("u1005"), set_data(std::string(30, 'b'))); }).ok());
  EXPECT_EQ(pager_->stats().page_writes, writes);  // the same bytes: nothing to write
  EXPECT_EQ(run(AccessKind::update, [&](Tree& t) {
              return t.update(view_of("u1007"), [](Record*) { return Status::corruption(1); });
            }),
            Status::corruption(1));
  EXPECT_TRUE(run(AccessKind::update, [&](Tree& t) { return t.update(view_of("u0999"), set_data("x")); }).is(Code::not_found));
  EXPECT_THROW((void)run(AccessKind::update, [&](Tree& t) {
                 return t.update(view_of("u1001"), [](Record* r) {
                   *r = Record::make(view_of("other"), {});
                   return Status::success();
                 });
               }),
               std::logic_error);
  pager_->abandon_access();
  EXPECT_EQ(scan(), model);
  EXPECT_GT(checked_shape().pages, 3u);
}

}  // namespace
}  // namespace files::kestrel
