// The device log's record format.
#pragma once

#include "RecordFields.h"

namespace simdevice::internal {

using record_fields::Escape;
using record_fields::Unescape;

}  // namespace simdevice::internal
