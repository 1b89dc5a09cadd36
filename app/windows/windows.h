// What every application window shares.
//   placement.h    each window's position, size and state kept in the settings file
//   browse_list.h  the page of records that a browse shows and scrolls
#pragma once

#include "app/windows/browse_list.h"
#include "app/windows/placement.h"
