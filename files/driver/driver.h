// What every file driver offers the dispatch, and the dispatch itself.
//
// Application code never calls a driver directly: it calls `dispatch` (or
// one of the thin routines of file_ops.h), which makes the control block,
// checks the operation's rule, calls the driver's `perform` (step 5), traces,
// applies the rule's post-update and posts the outcome to the error state.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "files/driver/control_block.h"
#include "files/driver/descriptors.h"
#include "files/driver/op_rules.h"

namespace files {

// The operation's further operands, in the order of the rule table's
// Operands column. Unused members are ignored.
struct Operands {
  KeyDescriptor* key = nullptr;   // the first operand of a key operation
  std::uint32_t number = 0;       // mode, pointer, count, seconds
  std::uint32_t length = 0;       // the length of the *len operations
  std::string text;               // position string, new name, SEND text, property name
  std::string value;              // property value
  std::vector<KeyComponent> components;  // BUILDdyn
  // LOGOUT with a list: every file of the transaction, the one the call is
  // dispatched to first (`number` holds the time-out in seconds). Empty for
  // the LOGOUT of one file without a time-out.
  std::vector<FileDescriptor*> files;

  // Out: the text answer of NAME, SEND, POSITION*, GET_PROPERTY, ...
  std::string answer;
};

struct DriverDescriptor {
  std::array<char, 21> name{};          // NUL padded: "ASCII", "KESTREL"
  std::array<char, 13> library{};
  std::array<char, 41> notice{};
  std::array<char, 31> description{};   // "Ascii File Driver 1.0"
  std::uint32_t capabilities = 0;
  std::vector<std::uint8_t> operations; // codes the driver implements
  std::vector<std::uint8_t> types;      // field type codes it accepts

  std::string_view name_view() const { return std::string_view(name.data()); }
  bool implements(int code) const;
  bool accepts(FieldType t) const;
  // The operation list as stored: a count byte, the codes, a count byte, the
  // type codes.
  std::vector<std::uint8_t> operation_list() const;
};

// Builds a descriptor; texts longer than their field are cut.
DriverDescriptor make_driver_descriptor(std::string_view name, std::string_view library,
                                        std::string_view notice, std::string_view description,
                                        std::vector<std::uint8_t> operations,
                                        std::vector<std::uint8_t> types);

class Driver {
 public:
  virtual ~Driver() = default;
  virtual const DriverDescriptor& descriptor() const = 0;

  // Whether the declaration may have keys and memos.
  virtual bool supports_keys() const = 0;

  // Step 5 of the dispatch: the driver's own work. Returns the error code
  // (0 on success) and stores a function-style result in *result. The
  // driver may post details (setDriverError) but the dispatch posts the code.
  virtual std::int32_t perform(Op op, FileDescriptor& file, FileControlBlock& fcb, Operands& operands,
                               std::int32_t* result) = 0;

  // Applies one option token (from the declaration's option text or SEND).
  // Returns 0 when accepted (with the option's previous value in *answer),
  // else the error code that ends the open.
  virtual std::int32_t apply_option(FileControlBlock& fcb, std::string_view token, std::string* answer) = 0;

  // Called when the dispatch releases a control block the driver still
  // holds state in (a failed open, an operation on a closed file).
  virtual void release(FileControlBlock& fcb) { (void)fcb; }
};

// Runs one operation through the common steps. Never throws for bad input;
// every failure ends in the error state.
std::int32_t dispatch(FileDescriptor& file, Op op, Operands& operands);
std::int32_t dispatch(FileDescriptor& file, int code, Operands& operands);

// The rule check alone (exposed for tests): returns 0 (allowed), kSkip, or
// an error code. `closed` tells whether the file is closed.
int check_rule(int code, std::uint32_t state_word, const KeyDescriptor* key,
               const Operands& operands, std::uint32_t* actions);

// Reads the next option token of an option text, starting at *pos. A token
// starts at "/" and runs to the next "/" or the end; a double quote toggles
// quoting, inside which "/" does not end the token. Returns false when no
// token is left. The token is returned without its leading "/".
bool nextOption(std::string_view text, std::size_t* pos, std::string* token);

// Splits a token's values at commas outside quotes.
std::vector<std::string> option_values(std::string_view token);

// Applies every option token of an option text through the driver; the
// first rejected token's error is returned (0 when all were accepted).
std::int32_t apply_options(Driver& driver, FileControlBlock& fcb, std::string_view text);

// The thread number the trace shows: 1 for the program's first thread.
int current_thread_number();

}  // namespace files
