// The per-driver trace of file operations, switched from the user's system
// profile (section "OV" + driver name: "Profile", "TraceFile", "Details").
//
// Writing the trace never changes the error state the caller reads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "files/driver/control_block.h"
#include "files/driver/descriptors.h"
#include "files/driver/op_rules.h"

namespace files {

// Step 2 of the dispatch: reads the switches of the file's driver into
// fcb.trace. Details are honoured for an ENCRYPT file only when its option
// text has a token equal to "ALLOWDETAILS" (case ignored).
void read_trace_settings(const FileDescriptor& file, FileControlBlock& fcb);

// Step 6 of the dispatch: one line for the operation (and, with details, the
// declaration the first time and the record after operations that move one).
// `code` is the outcome (0 for success and skip), `hundredths` the duration.
void trace_operation(const FileDescriptor& file, FileControlBlock& fcb, Op op,
                     const KeyDescriptor* key, std::int32_t code, std::uint64_t hundredths);

// The driver properties that change tracing while running. Names (case
// ignored): "TraceFile" (an empty name switches tracing off, a new name
// closes the old trace file), "Details" ("0"/"1"), "Log" (writes a line of
// text into the trace). Return false for a name that is none of these.
bool set_trace_property(const FileDescriptor& file, FileControlBlock& fcb, std::string_view name,
                        std::string_view value);
bool get_trace_property(const FileControlBlock& fcb, std::string_view name, std::string* value);

}  // namespace files
