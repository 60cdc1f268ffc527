// Internals shared by the stand-in's source files: the platform's calls
// (calls/) on top of the host's helpers (host/). Nothing here is visible to
// device code.
#pragma once

#include <simdevice/device.h>

#include "host/Faults.h"
#include "host/Files.h"
#include "host/Handles.h"
#include "host/Layout.h"
#include "host/Log.h"
#include "host/Names.h"
#include "host/Programs.h"
#include "host/Text.h"

namespace simdevice::internal {

// Closes and unlinks a queue removed from the handle table.
void ReleaseQueue(Object &queue);

}  // namespace simdevice::internal
