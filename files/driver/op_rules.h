// Operation codes and the per-operation rules that the dispatch checks every
// request against before a driver sees it.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace files {

enum class Op : std::uint8_t {
  ADD = 1, BOF = 2, BUILDfile = 3, APPEND = 4, BUILDdyn = 5, BUILDkey = 6, CLOSE = 7, COMMIT = 8,
  COPY = 9, CREATE = 10, DELETE = 11, DUPLICATE = 12, EMPTY = 13, EOF_ = 14, GETfilekey = 15,
  GETfileptr = 16, GETkeyptr = 17, HOLDfile = 18, HOLDfilesec = 19, LOCKfile = 20, LOCKfilesec = 21,
  LOGOUT = 22, NAME = 23, NEXT = 24, OPEN = 25, PACK = 26, POINTERfile = 27, POINTERkey = 28,
  FLUSH = 29, PUT = 30, PREVIOUS = 31, RECORDSfile = 32, RECORDSkey = 33, BUILDdynfilter = 34,
  RELEASE = 36, REMOVE = 37, RENAME = 38, ROLLBACK = 40, SETfile = 41, SETfilekey = 42,
  SETfileptr = 43, SETkey = 44, SETkeykey = 45, SETkeyptr = 46, SETkeykeyptr = 47, SHARE = 48,
  SKIP = 49, UNLOCK = 50, ADDfilelen = 51, BYTES = 52, GETfileptrlen = 53, PUTfileptr = 54,
  PUTfileptrlen = 55, STREAM = 56, DUPLICATEkey = 57, WATCH = 58, APPENDlen = 59, SEND = 60,
  POSITIONfile = 61, POSITIONkey = 62, RESETfile = 63, RESETkey = 64, NOMEMO = 65, REGETfile = 66,
  REGETkey = 67, NULL_ = 68, SETNULL = 69, SETNONULL = 70, SET_PROPERTY = 71, GET_PROPERTY = 72,
  QUERY_KEY = 73, QUERY_VIEW = 74, BLOB_YIELD = 75, BLOB_TAKE = 76, BLOB_SIZE = 77,
  BLOB_GET_PROP = 78, BLOB_SET_PROP = 79, BUFFER = 80, SETview = 81, CLEAR = 82,
  RESETviewfile = 83, BUILDevent = 84, SETPROPERTYkey = 85, GETPROPERTYkey = 86, Internal87 = 87,
  DO_PROPERTY = 88, DOPROPERTYkey = 89, DOPROPERTYblob = 90, Internal91 = 91, INVIEW = 92,
  ENDVIEW = 93,
};

constexpr int kOpCount = 94;  // codes 0 .. 93

// State word of an open file (bits as stored).
namespace state {
constexpr std::uint32_t O = 0x1;     // open
constexpr std::uint32_t C = 0x2;     // current record
constexpr std::uint32_t T = 0x4;     // transaction active
constexpr std::uint32_t S = 0x8;     // streaming
constexpr std::uint32_t L = 0x10;    // locked
constexpr std::uint32_t Q = 0x20;    // sequence set
constexpr std::uint32_t W = 0x40;    // write access
constexpr std::uint32_t X = 0x80;    // exclusive
constexpr std::uint32_t w = 0x200;   // watch requested
constexpr std::uint32_t v = 0x400;   // watched
constexpr std::uint32_t h = 0x800;   // hold requested
constexpr std::uint32_t H = 0x1000;  // held
constexpr std::uint32_t F = 0x2000;  // sequence started
constexpr std::uint32_t B = 0x4000;  // build in progress
// K is not part of the word: it is the built flag of a dynamic index. The
// rule table carries it in this otherwise unused bit.
constexpr std::uint32_t K = 0x80000000u;
}  // namespace state

// Class digits of a rule, and the release flag of the action word.
namespace op_class {
constexpr std::uint8_t reset_error = 1;     // the operation clears the error state
constexpr std::uint8_t release_block = 2;   // the control block is released afterwards
constexpr std::uint8_t sequential = 4;      // remembered as the last sequential operation
constexpr std::uint8_t keeps_closed_block = 8;  // may leave a block on a closed file
}  // namespace op_class

// Action flags of the running operation: the class digits of a successful
// operation, plus the release flag that the post-update adds on its own.
namespace action {
constexpr std::uint32_t reset_error = 1;
constexpr std::uint32_t release = 2;  // release the control block after this call
constexpr std::uint32_t sequential = 4;
constexpr std::uint32_t keeps_closed_block = 8;
}  // namespace action

struct OpRule {
  std::string_view name;  // as the trace prints it
  std::uint8_t op_class;  // sum of op_class digits
  std::uint32_t requires_;
  std::uint32_t refused_when;
  std::uint32_t sets;
  std::uint32_t clears;
  std::uint32_t clears_on_failure;
};

// The rule of code 0..93. Codes outside that range have no rule: callers
// check `valid_op` first (the dispatch answers 80 for them).
extern const std::array<OpRule, kOpCount> op_rules_table;
inline const OpRule& op_rule(int code) { return op_rules_table.at(static_cast<std::size_t>(code)); }
constexpr bool valid_op(int code) { return code >= 1 && code <= 93; }
inline const OpRule& op_rule(Op op) { return op_rule(static_cast<int>(op)); }
inline std::string_view op_name(Op op) { return op_rule(op).name; }

// Outcome of the rule check that is neither an error code nor "allowed".
constexpr int kSkip = -1;

}  // namespace files
