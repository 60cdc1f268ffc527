// The record layout as device code sees it: compiled under the device rules.
#include "RecordLayout.h"

namespace {

const LayoutEntry DEVICE_CODE_LAYOUT[] = {RECORD_LAYOUT_ENTRIES};

}  // namespace

extern "C" const LayoutEntry *DeviceCodeLayout(size_t *count) {
    *count = sizeof(DEVICE_CODE_LAYOUT) / sizeof(DEVICE_CODE_LAYOUT[0]);
    return DEVICE_CODE_LAYOUT;
}
