#include "files/driver/op_rules.h"

#include <array>

namespace files {
namespace {

using namespace state;
// Flag letters of the rule table.
constexpr std::uint32_t S_O = O, S_C = C, S_T = T, S_S = S, S_L = L, S_Q = Q, S_W = W, S_X = X,
                        S_w = w, S_v = v, S_h = h, S_H = H, S_F = F, S_K = K;

// A class is written as its digits side by side: "12" is classes 1 and 2,
// "18" is 1 and 8. decode_class turns the written number into class bits.
constexpr std::uint8_t decode_class(int written) {
  std::uint8_t bits = 0;
  for (; written > 0; written /= 10) bits |= static_cast<std::uint8_t>(written % 10);
  return bits;
}

struct Row {
  std::string_view name;
  int written_class;
  std::uint32_t requires_, refused_when, sets, clears, clears_on_failure;
};

constexpr std::array<Row, kOpCount> rows = {{
    {"(0)", 0, 0, 0, 0, 0, 0},  // 0
    {"ADD", 1, S_O|S_W, 0, S_C, S_v|S_H, 0},  // 1
    {"BOF", 0, S_O|S_Q, 0, 0, 0, 0},  // 2
    {"BUILDfile", 1, S_W|S_X, S_T, 0, 0, S_C|S_Q|S_F},  // 3
    {"APPEND", 1, S_O|S_W, 0, 0, 0, 0},  // 4
    {"BUILDdyn", 1, S_O, S_T, S_K, 0, 0},  // 5
    {"BUILDkey", 1, S_W|S_X, S_T, 0, 0, 0},  // 6
    {"CLOSE", 12, S_O, S_T, 0, S_O|S_K, 0},  // 7
    {"COMMIT", 1, S_O|S_T, 0, 0, S_T, 0},  // 8
    {"COPY", 12, 0, S_O, 0, 0, 0},  // 9
    {"CREATE", 12, 0, S_O, 0, 0, 0},  // 10
    {"DELETE", 1, S_O|S_C|S_W, 0, 0, S_C, 0},  // 11
    {"DUPLICATE", 1, S_O|S_W, 0, 0, 0, 0},  // 12
    {"EMPTY", 1, S_O|S_W|S_X, S_T, 0, 0, 0},  // 13
    {"EOF", 0, S_O|S_Q, 0, 0, 0, 0},  // 14
    {"GETfilekey", 1, S_O|S_K, 0, S_C, S_w|S_h, S_C},  // 15
    {"GETfileptr", 1, S_O, 0, S_C, S_w|S_h, S_C},  // 16
    {"GETkeyptr", 1, S_O|S_K, 0, S_C, S_w|S_h, S_C},  // 17
    {"HOLDfile", 1, S_O, 0, S_h, 0, 0},  // 18
    {"HOLDfilesec", 1, S_O, 0, S_h, 0, 0},  // 19
    {"LOCKfile", 1, S_O, S_L, S_L|S_X, 0, 0},  // 20
    {"LOCKfilesec", 1, S_O, S_L, S_L|S_X, 0, 0},  // 21
    {"LOGOUT", 1, S_O, S_T, S_T, 0, 0},  // 22
    {"NAME", 8, 0, 0, 0, 0, 0},  // 23
    {"NEXT", 14, S_O|S_Q, 0, S_C, S_w|S_h, S_C|S_Q|S_F},  // 24
    {"OPEN", 18, 0, S_O, S_O, 0, 0},  // 25
    {"PACK", 1, S_W|S_X, S_T, 0, S_C|S_Q, S_C|S_Q|S_F},  // 26
    {"POINTERfile", 0, S_O|S_C, 0, 0, 0, 0},  // 27
    {"POINTERkey", 0, S_O|S_C|S_K, 0, 0, 0, 0},  // 28
    {"FLUSH", 1, S_O, 0, 0, S_S, 0},  // 29
    {"PUT", 1, S_O|S_C|S_W, 0, 0, S_v|S_H, 0},  // 30
    {"PREVIOUS", 14, S_O|S_Q, 0, S_C, S_w|S_h, S_C|S_Q|S_F},  // 31
    {"RECORDSfile", 0, S_O, 0, 0, 0, 0},  // 32
    {"RECORDSkey", 0, S_O|S_K, 0, 0, 0, 0},  // 33
    {"BUILDdynfilter", 1, S_O, S_T, S_K, 0, 0},  // 34
    {"(35)", 0, 0, 0, 0, 0, 0},  // 35
    {"RELEASE", 1, S_O, 0, 0, S_H, 0},  // 36
    {"REMOVE", 12, 0, S_O, 0, 0, 0},  // 37
    {"RENAME", 12, 0, S_O, 0, 0, 0},  // 38
    {"(39)", 0, 0, 0, 0, 0, 0},  // 39
    {"ROLLBACK", 1, S_O|S_T, 0, 0, S_T, 0},  // 40
    {"SETfile", 14, S_O, 0, S_Q|S_F, 0, S_Q|S_F},  // 41
    {"SETfilekey", 14, S_O|S_K, 0, S_Q|S_F, 0, S_Q|S_F},  // 42
    {"SETfileptr", 14, S_O, 0, S_Q|S_F, 0, S_Q|S_F},  // 43
    {"SETkey", 14, S_O|S_K, 0, S_Q|S_F, 0, S_Q|S_F},  // 44
    {"SETkeykey", 14, S_O|S_K, 0, S_Q|S_F, 0, S_Q|S_F},  // 45
    {"SETkeyptr", 14, S_O|S_K, 0, S_Q|S_F, 0, S_Q|S_F},  // 46
    {"SETkeykeyptr", 14, S_O|S_K, 0, S_Q|S_F, 0, S_Q|S_F},  // 47
    {"SHARE", 18, 0, S_O, S_O, 0, 0},  // 48
    {"SKIP", 14, S_O|S_Q, 0, 0, S_C, S_C|S_Q|S_F},  // 49
    {"UNLOCK", 1, S_O|S_L, S_T, 0, S_L, 0},  // 50
    {"ADDfilelen", 1, S_O, 0, 0, S_v|S_H, 0},  // 51
    {"BYTES", 1, S_O, 0, 0, 0, 0},  // 52
    {"GETfileptrlen", 1, S_O, 0, S_C, S_w|S_h, S_C},  // 53
    {"PUTfileptr", 1, S_O|S_W, 0, 0, S_v|S_H, S_C},  // 54
    {"PUTfileptrlen", 1, S_O|S_W, 0, 0, S_v|S_H, S_C},  // 55
    {"STREAM", 1, S_O, S_S, S_S, 0, 0},  // 56
    {"DUPLICATEkey", 1, S_O|S_K, 0, 0, 0, 0},  // 57
    {"WATCH", 1, S_O, 0, S_w, 0, 0},  // 58
    {"APPENDlen", 1, S_O|S_W, 0, 0, S_v|S_H, 0},  // 59
    {"SEND", 18, 0, 0, 0, 0, 0},  // 60
    {"POSITIONfile", 1, S_O|S_C, 0, 0, 0, 0},  // 61
    {"POSITIONkey", 1, S_O|S_C|S_K, 0, 0, 0, 0},  // 62
    {"RESETfile", 14, S_O, 0, S_Q|S_F, 0, S_Q|S_F},  // 63
    {"RESETkey", 14, S_O|S_K, 0, S_Q|S_F, 0, S_Q|S_F},  // 64
    {"NOMEMO", 0, S_O, 0, 0, 0, 0},  // 65
    {"REGETfile", 1, S_O, 0, S_C, S_w|S_h, 0},  // 66
    {"REGETkey", 1, S_O|S_K, 0, S_C, S_w|S_h, 0},  // 67
    {"NULL", 1, S_O, 0, 0, 0, 0},  // 68
    {"SETNULL", 1, S_O, 0, 0, 0, 0},  // 69
    {"SETNONULL", 1, S_O, 0, 0, 0, 0},  // 70
    {"SET_PROPERTY", 18, 0, 0, 0, 0, 0},  // 71
    {"GET_PROPERTY", 1, 0, 0, 0, 0, 0},  // 72
    {"QUERY_KEY", 0, S_O|S_K, 0, 0, 0, 0},  // 73
    {"QUERY_VIEW", 0, 0, 0, 0, 0, 0},  // 74
    {"BLOB_YIELD", 1, S_O, 0, 0, 0, 0},  // 75
    {"BLOB_TAKE", 1, S_O, 0, 0, 0, 0},  // 76
    {"BLOB_SIZE", 0, S_O|S_C, 0, 0, 0, 0},  // 77
    {"BLOB_GET_PROP", 18, S_O, 0, 0, 0, 0},  // 78
    {"BLOB_SET_PROP", 1, S_O, 0, 0, 0, 0},  // 79
    {"BUFFER", 1, S_O, 0, 0, 0, 0},  // 80
    {"SETview", 14, S_O, 0, S_Q, 0, S_Q},  // 81
    {"CLEAR", 1, S_O, 0, 0, 0, 0},  // 82
    {"RESETviewfile", 14, S_O, 0, S_Q|S_F, 0, S_Q|S_F},  // 83
    {"BUILDevent", 1, S_W|S_X, S_T, 0, 0, S_C|S_Q|S_F},  // 84
    {"SETPROPERTYkey", 18, 0, 0, 0, 0, 0},  // 85
    {"GETPROPERTYkey", 1, 0, 0, 0, 0, 0},  // 86
    {"Internal", 0, 0, 0, 0, 0, 0},  // 87
    {"DO_PROPERTY", 18, 0, 0, 0, 0, 0},  // 88
    {"DOPROPERTYkey", 18, 0, 0, 0, 0, 0},  // 89
    {"DOPROPERTYblob", 18, 0, 0, 0, 0, 0},  // 90
    {"Internal", 0, 0, 0, 0, 0, 0},  // 91
    {"INVIEW", 1, S_O, S_K, S_K, 0, 0},  // 92
    {"ENDVIEW", 1, S_O, 0, 0, S_K, 0},  // 93
}};

constexpr std::array<OpRule, kOpCount> make_rules() {
  std::array<OpRule, kOpCount> rules{};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    rules[i] = OpRule{r.name, decode_class(r.written_class), r.requires_, r.refused_when, r.sets,
                      r.clears, r.clears_on_failure};
  }
  return rules;
}

}  // namespace

const std::array<OpRule, kOpCount> op_rules_table = make_rules();

}  // namespace files
