// The variables every application procedure shares, and the module set-up
// that zeroes them at start. The record buffers, the files' usage counts and
// the saved error live with the data dictionary (app/dictionary).
#pragma once

#include <cstdint>

namespace app {

// What a caller asks of the procedure it calls; set just before the call,
// taken into a local and cleared by the callee at entry.
inline constexpr std::int32_t kInsertRecord = 1;
inline constexpr std::int32_t kChangeRecord = 2;
inline constexpr std::int32_t kDeleteRecord = 3;
inline constexpr std::int32_t kSelectRecord = 4;

// What the called procedure answers; set at exit, read by the caller just
// after the return.
inline constexpr std::int32_t kRequestCompleted = 1;
inline constexpr std::int32_t kRequestCancelled = 2;

extern std::int32_t global_request;
extern std::int32_t global_response;
// Set by an update form when the user asked to move to another record
// without going back to the list; 0 none.
extern std::int32_t navigation_request;

// The module set-up of program start: the data files' record buffers
// cleared, every global above 0.
void module_setup();

// What every procedure does first: returns the request it was called with
// and clears the request and response globals.
std::int32_t take_request();

}  // namespace app
