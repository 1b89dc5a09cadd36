// The conversion window `WriteTargetCode`, over the conversion core one
// folder up (app/conversion/), which the command line shares.
#pragma once

#include "app/conversion/window/write_target_code.h"
