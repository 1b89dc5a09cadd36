#include "files/kestrel/tree.h"

#include <algorithm>
#include <cassert>
#include <optional>
#include <stdexcept>

namespace files::kestrel {

using namespace layout;

namespace {

// A tree deeper than this cannot come from pages of at least two separators
// each; meeting it means the pages point in a circle.
constexpr std::size_t kMaxDepth = 64;

Status broken() { return Status::corruption(kErrPageLength); }

// Index of the first record whose key part is >= key (> key when strict).
std::size_t position(const Page& p, ByteView key, bool strict) {
  auto it = std::partition_point(p.records.begin(), p.records.end(), [&](const Record& r) {
    const int c = compare_keys(r.key(), key);
    return strict ? c <= 0 : c < 0;
  });
  return static_cast<std::size_t>(it - p.records.begin());
}

bool needs_split(std::size_t bound, std::size_t count) {
  return bound > kSplitHard || (bound > kSplitSoft && count > kSplitSoftRecords);
}

std::size_t per_record(const Page& p) { return kBoundPerRecord + (p.is_leaf() ? 0 : kBoundPerChild); }

// The page's size bound, worked out once and then kept up to date by the
// changes below, so that the split test after an insert does not walk the
// whole page.
std::size_t bound_of(Page& p) {
  if (p.known_bound == 0) p.known_bound = size_bound(p);
  assert(p.known_bound == size_bound(p));
  return p.known_bound;
}

void bound_grows(Page& p, std::size_t record_size) {
  if (p.known_bound != 0) p.known_bound += record_size + per_record(p);
}

void bound_shrinks(Page& p, std::size_t record_size) {
  if (p.known_bound != 0) p.known_bound -= record_size + per_record(p);
}

// The shortest prefix of `high` that sorts above `low` (low < high).
Bytes separator(ByteView low, ByteView high) {
  std::size_t n = 0;
  while (n < low.size() && n < high.size() && low[n] == high[n]) ++n;
  return Bytes(high.begin(), high.begin() + static_cast<std::ptrdiff_t>(std::min(n + 1, high.size())));
}

}  // namespace

namespace {

// Path buffers of finished Trees, so that the Trees of the next operations
// (one or more per operation) find their buffer allocated.
std::vector<std::vector<Tree::Step>>& spare_paths() {
  thread_local std::vector<std::vector<Tree::Step>> spares;
  return spares;
}

}  // namespace

Tree::Tree(Pager& pager) : pager_(pager) {
  auto& spares = spare_paths();
  if (!spares.empty()) {
    path_ = std::move(spares.back());
    spares.pop_back();
  }
}

Tree::~Tree() {
  auto& spares = spare_paths();
  if (spares.size() < 8 && path_.capacity() != 0) spares.push_back(std::move(path_));
}

Status Tree::fail(Status s) { return s.is_internal() ? pager_.note_failure(s) : s; }

Status Tree::check_record(const Record& r) {
  if (r.key_length == 0) throw std::logic_error("kestrel tree: a record needs a key part");
  if (r.size() >= kRecordLimit || r.size() > kMaxRecordInPage || r.key_length > kMaxKeyPart) {
    return fail(Status::corruption(kErrRecordTooLarge));
  }
  return Status::success();
}

// --- Descent ---------------------------------------------------------------------------

// Appends the pages from page n (at level `expected`, -1 for any) down to a
// leaf, taking at each inner page the child `choose` names. Without
// `read_leaf` the leaf is not read: its step has no page.
template <class Choose>
Status Tree::walk_down(std::vector<Step>* path, std::uint32_t n, int expected, bool read_leaf, Choose choose) {
  if (n == kNoRoot) return Status::not_found();
  for (;;) {
    if (path->size() >= kMaxDepth) return fail(broken());
    if (expected == 0 && !read_leaf) {
      path->push_back({n, nullptr, 0});
      return Status::success();
    }
    Page* p = nullptr;
    if (Status s = pager_.page(n, &p); !s.ok()) return s;
    if (expected >= 0 && p->level != expected) return fail(broken());
    if (p->is_leaf()) {
      path->push_back({n, p, 0});
      return Status::success();
    }
    if (p->records.empty() || p->children.size() != p->records.size()) return fail(broken());
    const std::size_t idx = choose(*p);
    path->push_back({n, p, idx});
    expected = p->level - 1;
    n = p->children[idx];
  }
}

Status Tree::descend(ByteView key, std::vector<Step>* path, bool read_leaf) {
  path->clear();
  return walk_down(path, pager_.root(), -1, read_leaf, [&](const Page& p) {
    const std::size_t after = position(p, key, /*strict=*/true);
    return after == 0 ? 0 : after - 1;
  });
}

// Extends path[0 .. from) down the leftmost or rightmost edge below the
// child chosen at path[from - 1].
Status Tree::descend_edge(bool leftmost, std::vector<Step>* path, std::size_t from) {
  path->resize(from);
  const std::uint32_t n = from == 0 ? pager_.root() : path->back().page->children[path->back().index];
  const int expected = from == 0 ? -1 : path->back().page->level - 1;
  return walk_down(path, n, expected, true,
                   [&](const Page& p) { return leftmost ? std::size_t{0} : p.records.size() - 1; });
}

// Moves path to the next (or previous) leaf; not_found at the end.
Status Tree::step_leaf(bool forward, std::vector<Step>* path) {
  for (std::size_t level = path->size() - 1; level-- > 0;) {
    Step& s = (*path)[level];
    if (forward ? s.index + 1 < s.page->records.size() : s.index > 0) {
      s.index = forward ? s.index + 1 : s.index - 1;
      return descend_edge(forward, path, level + 1);
    }
  }
  return Status::not_found();
}

// --- Reading -----------------------------------------------------------------------------

// The leaf is left to the pager, which can search it without decoding it
// when it is not in the cache.
Status Tree::find(ByteView key, Record* out) {
  pager_.trim_cache();
  std::vector<Step>& path = path_;
  path.clear();
  if (Status s = descend(key, &path, /*read_leaf=*/false); !s.ok()) return s;
  const Step& last = path.back();
  last_leaf_ = last.number;
  if (last.page == nullptr) return pager_.find_in_leaf(last.number, key, out);
  const std::size_t pos = find_record(*last.page, key);  // the root is the leaf
  if (pos == last.page->records.size()) return Status::not_found();
  *out = last.page->records[pos];
  return Status::success();
}

Status Tree::seek(ByteView key, bool strict, Record* out, Hint* hint) {
  pager_.trim_cache();
  std::vector<Step>& path = path_;
  path.clear();
  if (Status s = descend(key, &path); !s.ok()) return s;
  std::size_t pos = position(*path.back().page, key, strict);
  // Every record of a later leaf sorts above key; an empty leaf (there
  // should be none) is stepped over.
  while (pos == path.back().page->records.size()) {
    if (Status s = step_leaf(true, &path); !s.ok()) return s;
    pos = 0;
  }
  // In a damaged file a later leaf may hold a record that does not sort
  // after key; handing it out would let a caller that steps from record to
  // record go round forever.
  const int order = compare_keys(path.back().page->records[pos].key(), key);
  if (strict ? order <= 0 : order < 0) return fail(broken());
  *out = path.back().page->records[pos];
  if (hint) *hint = Hint{path.back().number, pos};
  return Status::success();
}

Status Tree::lower_bound(ByteView key, Record* out) { return seek(key, false, out); }
Status Tree::next(ByteView key, Record* out) { return seek(key, true, out); }

Status Tree::next(ByteView key, Record* out, Hint* hint) {
  if (hint->page != kNoRoot) {
    // Decoded pages are current and in order: the record after `key` in
    // the leaf that holds it is the next one of the tree.
    Page* p = pager_.cached_page(hint->page);
    if (p != nullptr && p->is_leaf() && hint->index + 1 < p->records.size() &&
        compare_keys(p->records[hint->index].key(), key) == 0) {
      ++hint->index;
      *out = p->records[hint->index];
      return Status::success();
    }
  }
  return seek(key, true, out, hint);
}

Status Tree::prev(ByteView key, Record* out) {
  pager_.trim_cache();
  std::vector<Step>& path = path_;
  path.clear();
  if (Status s = descend(key, &path); !s.ok()) return s;
  std::size_t pos = position(*path.back().page, key, false);
  while (pos == 0) {
    if (Status s = step_leaf(false, &path); !s.ok()) return s;
    pos = path.back().page->records.size();
  }
  // As in seek: a damaged file must not hand out a record that does not
  // sort before key.
  if (compare_keys(path.back().page->records[pos - 1].key(), key) >= 0) return fail(broken());
  *out = path.back().page->records[pos - 1];
  return Status::success();
}

Status Tree::first(Record* out) { return next(ByteView(), out); }

Status Tree::last(Record* out) {
  pager_.trim_cache();
  std::vector<Step>& path = path_;
  path.clear();
  if (Status s = descend_edge(false, &path, 0); !s.ok()) return s;
  while (path.back().page->records.empty()) {
    if (Status s = step_leaf(false, &path); !s.ok()) return s;
  }
  *out = path.back().page->records.back();
  return Status::success();
}

// --- Writing -------------------------------------------------------------------------------

Status Tree::insert(const Record& record) {
  if (Status s = check_record(record); !s.ok()) return s;
  pager_.trim_cache();
  if (Page* leaf = remembered_leaf(record.key())) {
    // Where the record goes without a split, the leaf is all it takes.
    const std::size_t pos = position(*leaf, record.key(), false);
    if (pos < leaf->records.size() && compare_keys(leaf->records[pos].key(), record.key()) == 0) {
      return Status::exists();
    }
    if (!needs_split(bound_of(*leaf) + record.size() + per_record(*leaf), leaf->records.size() + 1)) {
      leaf->records.insert(leaf->records.begin() + static_cast<std::ptrdiff_t>(pos), record);
      bound_grows(*leaf, record.size());
      pager_.mark_dirty(last_leaf_);
      return Status::success();
    }
  }
  std::vector<Step>& path = path_;
  path.clear();
  Status s = descend(record.key(), &path);
  if (s.is(Code::not_found)) {
    std::uint32_t n = 0;
    Page* p = nullptr;
    if (s = pager_.new_page(0, &n, &p); !s.ok()) return s;
    p->records.push_back(record);
    pager_.set_root(n);
    return Status::success();
  }
  if (!s.ok()) return s;
  Step& leaf = path.back();
  const std::size_t pos = position(*leaf.page, record.key(), false);
  if (pos < leaf.page->records.size() && compare_keys(leaf.page->records[pos].key(), record.key()) == 0) {
    return Status::exists();
  }
  leaf.page->records.insert(leaf.page->records.begin() + static_cast<std::ptrdiff_t>(pos), record);
  bound_grows(*leaf.page, record.size());
  pager_.mark_dirty(leaf.number);
  return grow(&path);
}

Status Tree::replace(const Record& record) {
  if (Status s = check_record(record); !s.ok()) return s;
  pager_.trim_cache();
  std::vector<Step>& path = path_;
  path.clear();
  if (Status s = descend(record.key(), &path); !s.ok()) return s;
  const std::size_t pos = find_record(*path.back().page, record.key());
  if (pos == path.back().page->records.size()) return Status::not_found();
  return rewrite(&path, pos, record);
}

Page* Tree::remembered_leaf(ByteView key) {
  if (last_leaf_ == kNoRoot) return nullptr;
  Page* p = pager_.cached_page(last_leaf_);
  if (p == nullptr || !p->is_leaf() || p->records.empty()) return nullptr;
  if (compare_keys(key, p->records.front().key()) < 0 || compare_keys(key, p->records.back().key()) > 0) return nullptr;
  return p;
}

Status Tree::update(ByteView key, const std::function<Status(Record*)>& change) {
  pager_.trim_cache();
  Page* leaf = remembered_leaf(key);
  std::vector<Step>& path = path_;
  path.clear();
  if (leaf == nullptr) {
    if (Status s = descend(key, &path); !s.ok()) return s;
    last_leaf_ = path.back().number;
    leaf = path.back().page;
  }
  const std::size_t pos = find_record(*leaf, key);
  if (pos == leaf->records.size()) return Status::not_found();
  Record changed = leaf->records[pos];
  if (Status s = change(&changed); !s.ok()) return s;
  if (changed.key_length != key.size() || compare_keys(changed.key(), key) != 0) {
    throw std::logic_error("kestrel tree: update may not change a key part");
  }
  if (changed == leaf->records[pos]) return Status::success();
  if (Status s = check_record(changed); !s.ok()) return s;
  if (path.empty() && changed.size() == leaf->records[pos].size()) {
    // The same length leaves the page's size bound as it was: no split.
    leaf->records[pos] = std::move(changed);
    pager_.mark_dirty(last_leaf_);
    return Status::success();
  }
  if (path.empty()) {
    // A change of length may split the page, which needs the whole path.
    if (Status s = descend(key, &path); !s.ok()) return s;
  }
  return rewrite(&path, pos, std::move(changed));
}

// Puts `record` in place of record pos of the leaf at the end of path.
Status Tree::rewrite(std::vector<Step>* path, std::size_t pos, Record record) {
  Step& leaf = path->back();
  Record& old = leaf.page->records[pos];
  const bool same_size = old.size() == record.size();
  bound_shrinks(*leaf.page, old.size());
  bound_grows(*leaf.page, record.size());
  old = std::move(record);
  pager_.mark_dirty(leaf.number);
  // A record of the same length leaves the page's size bound as it was.
  return same_size ? Status::success() : grow(path);
}

// Splits the pages of path bottom-up while they call for it.
Status Tree::grow(std::vector<Step>* path) {
  std::size_t level = path->size() - 1;
  for (;;) {
    Step current = (*path)[level];
    Page& page = *current.page;
    const std::size_t per = kBoundPerRecord + (page.is_leaf() ? 0 : kBoundPerChild);
    if (!needs_split(bound_of(page), page.records.size())) return Status::success();

    // Cut the records into pieces that need no split, halving by size bound.
    std::vector<std::size_t> prefix(page.records.size() + 1, 0);  // bound contribution of records [0, k)
    for (std::size_t k = 0; k < page.records.size(); ++k) prefix[k + 1] = prefix[k] + page.records[k].size() + per;
    std::vector<std::size_t> cuts;  // starts of the pieces after the first
    std::vector<std::pair<std::size_t, std::size_t>> todo{{0, page.records.size()}};
    while (!todo.empty()) {
      const auto [a, b] = todo.back();
      todo.pop_back();
      if (!needs_split(kPageHeaderSize + prefix[b] - prefix[a], b - a)) continue;
      if (b - a < 2) return fail(Status::corruption(kErrSplitTooFew));
      std::size_t best = a + 1;
      std::size_t best_gap = SIZE_MAX;
      for (std::size_t m = a + 1; m < b; ++m) {
        const std::size_t left = prefix[m] - prefix[a];
        const std::size_t right = prefix[b] - prefix[m];
        const std::size_t gap = left > right ? left - right : right - left;
        if (gap < best_gap) {
          best_gap = gap;
          best = m;
        }
      }
      cuts.push_back(best);
      todo.emplace_back(a, best);
      todo.emplace_back(best, b);
    }
    std::sort(cuts.begin(), cuts.end());

    // The first piece stays; every other piece becomes a new page whose
    // separator goes up.
    std::vector<std::pair<Record, std::uint32_t>> ups;
    for (std::size_t c = 0; c < cuts.size(); ++c) {
      const std::size_t a = cuts[c];
      const std::size_t b = c + 1 < cuts.size() ? cuts[c + 1] : page.records.size();
      std::uint32_t n = 0;
      Page* fresh = nullptr;
      if (Status s = pager_.new_page(page.level, &n, &fresh); !s.ok()) return s;
      fresh->records.assign(page.records.begin() + static_cast<std::ptrdiff_t>(a),
                            page.records.begin() + static_cast<std::ptrdiff_t>(b));
      Bytes sep;
      if (page.is_leaf()) {
        sep = separator(page.records[a - 1].key(), page.records[a].key());
      } else {
        fresh->children.assign(page.children.begin() + static_cast<std::ptrdiff_t>(a),
                               page.children.begin() + static_cast<std::ptrdiff_t>(b));
        const ByteView k = fresh->records.front().key();
        sep.assign(k.begin(), k.end());
        fresh->records.front() = Record();
      }
      const std::size_t sep_length = sep.size();
      ups.emplace_back(Record(std::move(sep), sep_length), n);
    }
    page.records.resize(cuts.front());
    page.known_bound = kPageHeaderSize + prefix[cuts.front()];
    if (!page.is_leaf()) page.children.resize(cuts.front());
    pager_.mark_dirty(current.number);

    if (level == 0) {
      std::uint32_t n = 0;
      Page* root = nullptr;
      if (Status s = pager_.new_page(static_cast<std::uint8_t>(page.level + 1), &n, &root); !s.ok()) return s;
      root->records.push_back(Record());
      root->children.push_back(current.number);
      for (auto& [sep, child] : ups) {
        root->records.push_back(std::move(sep));
        root->children.push_back(child);
      }
      pager_.set_root(n);
      path->insert(path->begin(), Step{n, root, 0});
      continue;  // the new root may itself be too big
    }
    Step& parent = (*path)[level - 1];
    auto at = static_cast<std::ptrdiff_t>(parent.index + 1);
    for (auto& [sep, child] : ups) {
      bound_grows(*parent.page, sep.size());
      parent.page->records.insert(parent.page->records.begin() + at, std::move(sep));
      parent.page->children.insert(parent.page->children.begin() + at, child);
      ++at;
    }
    pager_.mark_dirty(parent.number);
    --level;
  }
}

Status Tree::erase(ByteView key) {
  pager_.trim_cache();
  if (Page* leaf = remembered_leaf(key); leaf != nullptr && leaf->records.size() > 1) {
    // A leaf that keeps records after it needs no change above it.
    const std::size_t pos = find_record(*leaf, key);
    if (pos == leaf->records.size()) return Status::not_found();
    bound_shrinks(*leaf, leaf->records[pos].size());
    leaf->records.erase(leaf->records.begin() + static_cast<std::ptrdiff_t>(pos));
    pager_.mark_dirty(last_leaf_);
    return Status::success();
  }
  std::vector<Step>& path = path_;
  path.clear();
  if (Status s = descend(key, &path); !s.ok()) return s;
  Step& leaf = path.back();
  const std::size_t pos = find_record(*leaf.page, key);
  if (pos == leaf.page->records.size()) return Status::not_found();
  bound_shrinks(*leaf.page, leaf.page->records[pos].size());
  leaf.page->records.erase(leaf.page->records.begin() + static_cast<std::ptrdiff_t>(pos));
  pager_.mark_dirty(leaf.number);

  // Give back emptied pages, bottom-up.
  std::size_t level = path.size() - 1;
  while (level > 0 && path[level].page->records.empty()) {
    pager_.free_page(path[level].number);
    Step& parent = path[level - 1];
    Page& pp = *parent.page;
    pp.known_bound = 0;
    pp.records.erase(pp.records.begin() + static_cast<std::ptrdiff_t>(parent.index));
    pp.children.erase(pp.children.begin() + static_cast<std::ptrdiff_t>(parent.index));
    // The first separator of an inner page is always empty: the child that
    // now comes first takes over everything below its old separator.
    if (parent.index == 0 && !pp.records.empty()) pp.records.front() = Record();
    pager_.mark_dirty(parent.number);
    --level;
  }
  if (path[0].page->records.empty()) {
    pager_.free_page(path[0].number);
    pager_.set_root(kNoRoot);
    return Status::success();
  }
  // A root with one child makes the tree a level too deep.
  std::uint32_t root = path[0].number;
  Page* rp = path[0].page;
  while (!rp->is_leaf() && rp->records.size() == 1) {
    const std::uint32_t child = rp->children.front();
    pager_.free_page(root);
    pager_.set_root(child);
    root = child;
    if (Status s = pager_.page(root, &rp); !s.ok()) return s;
  }
  return Status::success();
}

Status Tree::next_number(std::uint32_t* out) {
  std::array<std::uint8_t, 4> c = pager_.number_counter();
  for (std::size_t i = 4; i-- > 0;) {
    if (++c[i] != 0) break;
  }
  if (c[0] >= kCounterLimit) return fail(Status::corruption(kErrCounterExhausted));
  pager_.set_number_counter(c);
  *out = get_be32(c, 0);
  return Status::success();
}

// --- Checking ---------------------------------------------------------------------------------

Status Tree::check(Shape* shape) {
  *shape = Shape();
  const std::uint32_t root = pager_.root();
  if (root == kNoRoot) return Status::success();
  Page* p = nullptr;
  if (Status s = pager_.page(root, &p); !s.ok()) return s;
  shape->height = p->level + 1;
  return visit(root, p->level, nullptr, nullptr, shape);
}

// Checks the subtree at `number`: its keys lie in [low, high) (no bound
// when null). Copies what it needs before descending, so the cache may be
// trimmed on the way.
Status Tree::visit(std::uint32_t number, int level, const Bytes* low, const Bytes* high, Shape* shape) {
  pager_.trim_cache();
  Page* p = nullptr;
  if (Status s = pager_.page(number, &p); !s.ok()) return s;
  if (p->level != level || p->records.empty()) return fail(broken());
  ++shape->pages;
  for (std::size_t k = 0; k < p->records.size(); ++k) {
    const ByteView key = p->records[k].key();
    if (k > 0 && compare_keys(p->records[k - 1].key(), key) >= 0) return fail(broken());
    if (p->is_leaf() || k > 0) {
      if (low && compare_keys(key, *low) < 0) return fail(broken());
      if (high && compare_keys(key, *high) >= 0) return fail(broken());
    }
  }
  if (p->is_leaf()) {
    shape->records += p->records.size();
    return Status::success();
  }
  if (p->children.size() != p->records.size()) return fail(broken());
  const std::vector<std::uint32_t> children = p->children;
  std::vector<Bytes> seps;
  for (const Record& r : p->records) seps.emplace_back(r.key().begin(), r.key().end());
  for (std::size_t k = 0; k < children.size(); ++k) {
    const Bytes* lo = k == 0 ? low : &seps[k];
    const Bytes* hi = k + 1 < children.size() ? &seps[k + 1] : high;
    if (Status s = visit(children[k], level - 1, lo, hi, shape); !s.ok()) return s;
  }
  return Status::success();
}

}  // namespace files::kestrel
