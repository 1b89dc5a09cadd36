// The first lines of what a conversion would write, for a window that shows
// them while its setup changes. Only the start of the input is read (at
// most kPreviewBytes), so a large file costs no more than a small one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/conversion/options.h"
#include "app/conversion/replacement_table.h"

namespace conversion {

inline constexpr std::size_t kPreviewBytes = 64 * 1024;
inline constexpr std::size_t kPreviewLines = 20;

struct Preview {
  // The output lines in UTF-8, as a reader of the output sees them (an ANSI
  // output's bytes read as Windows-1252).
  std::vector<std::string> lines;
  bool more = false;   // the output goes on past these lines
  std::string error;   // why nothing can be shown; empty otherwise
};

// The first `lines` output lines of converting `path` with `options` and
// `table` (the table serves modes International and All), as a run would
// write them, the input's encoding judged from what was read.
Preview preview(const std::string& path, const Options& options, const ReplacementTable& table,
                std::size_t lines = kPreviewLines);

}  // namespace conversion
