// The common steps every file operation runs, whatever its driver.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>

#include "files/driver/driver.h"
#include "files/driver/error_state.h"
#include "files/driver/trace.h"
#include "platform/env.h"

namespace files {
namespace {

constexpr std::uint32_t kMaxRecordLength = 65535;
constexpr std::size_t kMaxGroupDepth = 100;

bool is_position_operation(int code) {
  return code == static_cast<int>(Op::REGETfile) || code == static_cast<int>(Op::REGETkey) ||
         code == static_cast<int>(Op::RESETfile) || code == static_cast<int>(Op::RESETkey);
}

bool allowed_during_build(int code) {
  switch (static_cast<Op>(code)) {
    case Op::BUILDevent:
    case Op::GET_PROPERTY:
    case Op::GETPROPERTYkey:
    case Op::CLOSE:
    case Op::NAME:
      return true;
    default:
      return false;
  }
}

void resolve_texts(const FileDescriptor& file, FileControlBlock& fcb) {
  fcb.name = file.name.value();
  fcb.owner = file.owner.value();
  fcb.options = file.options.value();
}

// Walks the declaration into the field table: offsets run on within each
// GROUP, an OVER field starts where the field it overlays starts and does
// not move the offset on, and a GROUP's size is its members' when it does
// not declare one.
std::int32_t build_field_table(const FileDescriptor& file, const Driver& driver,
                               std::vector<FieldEntry>* table) {
  table->clear();
  if (file.fields.empty() || file.fields.front().type != FieldType::GROUP) return 75;
  struct Open {
    int index;
    std::uint32_t start;
    std::uint32_t cursor;
  };
  std::vector<Open> stack;
  std::uint32_t top_cursor = 0;
  table->reserve(file.fields.size());
  for (std::size_t i = 0; i < file.fields.size(); ++i) {
    const FieldDescriptor& d = file.fields[i];
    FieldEntry e;
    e.type = d.type;
    e.size = d.size;
    e.elements = d.element_count();
    e.parent = stack.empty() ? -1 : stack.back().index;
    if (d.type == FieldType::END) {
      if (stack.empty()) return 75;
      const Open closed = stack.back();
      stack.pop_back();
      FieldEntry& group = (*table)[static_cast<std::size_t>(closed.index)];
      if (group.size == 0) group.size = closed.cursor - closed.start;
      const std::uint64_t span = static_cast<std::uint64_t>(group.size) * group.elements;
      const bool overlays = file.fields[static_cast<std::size_t>(closed.index)].over >= 0;
      std::uint32_t& cursor = stack.empty() ? top_cursor : stack.back().cursor;
      if (!overlays) cursor = static_cast<std::uint32_t>(std::min<std::uint64_t>(group.offset + span, UINT32_MAX));
      e.offset = cursor;
      e.parent = stack.empty() ? -1 : stack.back().index;
      table->push_back(e);
      continue;
    }
    if (!driver.descriptor().accepts(d.type)) return 79;
    std::uint32_t& cursor = stack.empty() ? top_cursor : stack.back().cursor;
    if (d.over >= 0) {
      if (static_cast<std::size_t>(d.over) >= i) return 75;
      e.offset = (*table)[static_cast<std::size_t>(d.over)].offset;
    } else {
      e.offset = cursor;
    }
    if (d.type == FieldType::GROUP) {
      if (stack.size() >= kMaxGroupDepth) return 75;
      table->push_back(e);
      stack.push_back(Open{static_cast<int>(i), e.offset, e.offset});
      continue;
    }
    if (d.over < 0) {
      const std::uint64_t end = e.offset + static_cast<std::uint64_t>(e.size) * e.elements;
      cursor = static_cast<std::uint32_t>(std::min<std::uint64_t>(end, UINT32_MAX));
    }
    table->push_back(e);
  }
  // A record whose closing END is missing is still usable: the open groups
  // simply end with the declaration.
  return 0;
}

std::int32_t make_control_block(FileDescriptor& file) {
  Driver& driver = *file.driver;
  if (file.record_length > kMaxRecordLength) return 47;
  if (!driver.supports_keys() && (!file.keys.empty() || !file.memos.empty())) return 47;
  auto fcb = std::make_unique<FileControlBlock>();
  resolve_texts(file, *fcb);
  fcb->record = file.record;
  fcb->record_length = file.record_length;
  fcb->attributes = file.attributes;
  const bool layout_from_file = file.fields.empty() && driver.supports_keys();
  if (!layout_from_file) {
    if (const std::int32_t rc = build_field_table(file, driver, &fcb->field_table); rc != 0) return rc;
  }
  file.fcb = std::move(fcb);
  return 0;
}

void release_block(FileDescriptor& file) {
  if (!file.fcb) return;
  if (file.driver) file.driver->release(*file.fcb);
  file.fcb.reset();
}

// The K flag as the rule check sees it: the built flag of the key operand
// when that is a dynamic index.
std::uint32_t k_state(const KeyDescriptor* key) {
  return key && key->is_dynamic() && key->built ? state::K : 0u;
}

void post_update(FileDescriptor& file, FileControlBlock& fcb, const OpRule& rule, int code,
                 const KeyDescriptor* key_operand, std::int32_t rc, bool created) {
  if (rc == 0) {
    fcb.state |= rule.sets & ~state::K;
    fcb.state &= ~(rule.clears & ~state::K);
    if (key_operand && key_operand->is_dynamic()) {
      auto* key = const_cast<KeyDescriptor*>(key_operand);
      if (rule.sets & state::K) key->built = true;
      if (rule.clears & state::K) key->built = false;
    }
    if (code == static_cast<int>(Op::CLOSE)) {
      for (KeyDescriptor& k : file.keys) {
        if (k.is_dynamic()) k.built = false;
      }
    }
    fcb.actions |= rule.op_class;
    if (created && !(rule.op_class & op_class::keeps_closed_block)) fcb.actions |= action::release;
  } else {
    // A refused CLOSE (a transaction still running) must not drop the block
    // of a file that stays open: its driver state and transaction would be
    // lost with it. The block goes only when the file is closed.
    if ((code == static_cast<int>(Op::REMOVE) || (rule.op_class & op_class::release_block)) &&
        !(fcb.state & state::O)) {
      fcb.actions |= action::release;
    }
    // A block made for this one call on a closed file goes with it, whether
    // the call succeeded or not; only class-8 operations may leave one.
    if (created && !(fcb.state & state::O) && !(rule.op_class & op_class::keeps_closed_block)) {
      fcb.actions |= action::release;
    }
    fcb.state &= ~rule.clears_on_failure;
    fcb.state &= ~(state::w | state::v);
  }
}

}  // namespace

int check_rule(int code, std::uint32_t state_word, const KeyDescriptor* key, const Operands& operands,
               std::uint32_t* actions) {
  *actions = 0;
  if (!valid_op(code)) return 80;
  const OpRule& rule = op_rule(code);
  const std::uint32_t with_k = state_word | k_state(key);
  std::uint32_t missing = rule.requires_ & ~state_word & ~state::K;
  if (missing == 0 && key && key->is_dynamic() && (rule.requires_ & state::K) && !key->built) {
    missing = state::K;
  }
  if (missing == 0) {
    if ((state_word & state::B) && !allowed_during_build(code)) return 92;
    const std::uint32_t conflict = rule.refused_when & with_k;
    if (conflict != 0) {
      if (conflict & state::O) return 52;
      if (conflict & state::T) return 56;
      return kSkip;
    }
  } else {
    if (missing & state::O) return 37;
    if (missing & state::K) return 46;
    if (!(state_word & state::O)) {
      // The closed file is the driver's to handle (BUILD and PACK run so).
    } else if (missing & (state::C | state::Q)) {
      return 33;
    } else if (missing & state::X) {
      return 63;
    } else if (missing & state::W) {
      return 5;
    } else {
      return kSkip;
    }
  }
  if (is_position_operation(code) &&
      operands.text.find_first_not_of(' ') == std::string::npos) {
    return 35;
  }
  return 0;
}

namespace {

// Steps 6 to 9, after the driver: the field table an open read, the trace,
// the post-update, the error state and the release of the block.
std::int32_t finish(FileDescriptor& file, FileControlBlock& fcb, Driver& driver, const OpRule* rule, int code,
                    Operands& operands, std::int32_t rc, std::int32_t result, bool created, bool tracing,
                    platform::Env* env, std::uint64_t started) {
  // A layout the driver read from the file at open becomes the field table.
  if (rc == 0 && (code == static_cast<int>(Op::OPEN) || code == static_cast<int>(Op::SHARE)) &&
      fcb.field_table.empty() && !file.fields.empty()) {
    fcb.record = file.record;
    fcb.record_length = file.record_length;
    rc = build_field_table(file, driver, &fcb.field_table);
  }

  const std::int32_t outcome = rc == kSkip ? 0 : rc;
  if (tracing && code != 87 && code != 91 && !fcb.name.empty() && valid_op(code)) {
    trace_operation(file, fcb, static_cast<Op>(code), operands.key, outcome, env->ticks() - started);
  }

  if (rule != nullptr) post_update(file, fcb, *rule, code, operands.key, rc, created);

  if (fcb.actions & action::reset_error) clear_error();
  if (fcb.actions & action::sequential) fcb.last_sequential = code;
  fcb.last_result = outcome;
  const bool release = fcb.actions & action::release;
  if (release) release_block(file);

  if (outcome != 0) post(outcome, &file);
  if (code == static_cast<int>(Op::BOF) || code == static_cast<int>(Op::EOF_)) {
    if (outcome != 0) result = 1;
  }
  return result;
}

// Every call the common case below does not take.
[[gnu::noinline]] std::int32_t dispatch_any(FileDescriptor& file, int code, Operands& operands) {
  if (file.driver == nullptr) {
    post(80, &file);
    return 0;
  }
  Driver& driver = *file.driver;

  bool created = false;
  if (!file.fcb) {
    if (const std::int32_t rc = make_control_block(file); rc != 0) {
      file.fcb.reset();
      post(rc, &file);
      return (code == static_cast<int>(Op::BOF) || code == static_cast<int>(Op::EOF_)) ? 1 : 0;
    }
    created = true;
    read_trace_settings(file, *file.fcb);
  }
  FileControlBlock& fcb = *file.fcb;

  // The rule check. An operation without a key whose required flags are
  // all set and whose refusing flags are all clear passes, as check_rule
  // would find; only the rest takes the full check.
  std::int32_t rc = 0;
  const OpRule* rule = valid_op(code) ? &op_rule(code) : nullptr;
  if (rule != nullptr && operands.key == nullptr && (rule->requires_ & ~fcb.state & ~state::K) == 0 &&
      ((rule->refused_when | state::B) & fcb.state) == 0 && !is_position_operation(code)) {
    fcb.actions = 0;
  } else {
    rc = check_rule(code, fcb.state, operands.key, operands, &fcb.actions);
  }
  const bool closed = !(fcb.state & state::O);
  if (rc == 0 && closed && rule != nullptr && !(rule->requires_ & state::O)) resolve_texts(file, fcb);

  const bool tracing = fcb.trace.on;
  platform::Env* env = tracing ? platform::Env::posix() : nullptr;
  const std::uint64_t started = tracing ? env->ticks() : 0;

  std::int32_t result = 0;
  if (rc == 0) rc = driver.perform(static_cast<Op>(code), file, fcb, operands, &result);
  return finish(file, fcb, driver, rule, code, operands, rc, result, created, tracing, env, started);
}

// What the common case needs of each rule, ready to test: the flags an
// operation needs (O always: a closed file is not the common case) and the
// flags that refuse it (B always). An operation is left out when it opens
// or closes (that makes or drops what the case relies on), releases the
// block, or carries a position string to check.
struct CommonRule {
  bool served = false;
  std::uint8_t op_class = 0;
  std::uint32_t needs = 0;
  std::uint32_t refused = 0;
  std::uint32_t sets = 0;
  std::uint32_t clears = 0;
};

const std::array<CommonRule, kOpCount> kCommon = [] {
  std::array<CommonRule, kOpCount> common{};
  for (int code = 1; code < kOpCount; ++code) {
    const OpRule& rule = op_rules_table[static_cast<std::size_t>(code)];
    CommonRule& c = common[static_cast<std::size_t>(code)];
    c.served = !(rule.op_class & op_class::release_block);
    c.op_class = rule.op_class;
    c.needs = (rule.requires_ & ~state::K) | state::O;
    c.refused = rule.refused_when | state::B;
    c.sets = rule.sets & ~state::K;
    c.clears = rule.clears & ~state::K;
  }
  for (const Op op : {Op::OPEN, Op::SHARE, Op::CLOSE, Op::REMOVE, Op::REGETfile, Op::REGETkey, Op::RESETfile,
                      Op::RESETkey}) {
    common[static_cast<std::size_t>(op)].served = false;
  }
  return common;
}();

}  // namespace

std::int32_t dispatch(FileDescriptor& file, int code, Operands& operands) {
  // The common case: an open file without a trace, an operation without a
  // key whose rule lets it pass as it stands, and a driver that succeeds.
  // Sequential reads and writes of a line file are nothing but such calls,
  // millions of them; what the steps around the driver do for them is done
  // here in a few instructions, with the same outcome.
  FileControlBlock* const fcb = file.fcb.get();
  if (fcb != nullptr && operands.key == nullptr && code >= 1 && code < kOpCount) {
    const CommonRule& rule = kCommon[static_cast<std::size_t>(code)];
    const std::uint32_t state_word = fcb->state;
    if (rule.served && (state_word & rule.needs) == rule.needs && (state_word & rule.refused) == 0 &&
        file.driver != nullptr && !fcb->trace.on) {
      fcb->actions = 0;
      std::int32_t result = 0;
      const std::int32_t rc = file.driver->perform(static_cast<Op>(code), file, *fcb, operands, &result);
      if (rc != 0) {
        return finish(file, *fcb, *file.driver, &op_rule(code), code, operands, rc, result, false, false, nullptr, 0);
      }
      fcb->state = (fcb->state | rule.sets) & ~rule.clears;
      fcb->actions |= rule.op_class;
      if (rule.op_class & op_class::reset_error) clear_error();
      if (rule.op_class & op_class::sequential) fcb->last_sequential = code;
      fcb->last_result = 0;
      return result;
    }
  }
  return dispatch_any(file, code, operands);
}

std::int32_t dispatch(FileDescriptor& file, Op op, Operands& operands) {
  return dispatch(file, static_cast<int>(op), operands);
}

int current_thread_number() {
  static std::atomic<int> next{1};
  thread_local const int number = next.fetch_add(1);
  return number;
}

}  // namespace files
