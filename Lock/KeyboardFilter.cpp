// The keyboard filter: every key is swallowed, except the call keys while a
// phone call is in progress in mode 1.
#include <windows.h>

#include "HookLibrary.h"

namespace {

// Returned to stop an event from going further.
const LRESULT SWALLOW_EVENT = -1;

// The event record must have the device's layout on 32-bit targets.
const size_t DEVICE_KEY_EVENT_RECORD_BYTES = 20;
typedef char KeyEventRecordIsDeviceSized[
    (sizeof(void *) != 4 || sizeof(KBDLLHOOKSTRUCT) == DEVICE_KEY_EVENT_RECORD_BYTES) ? 1 : -1];

// VK_F3..VK_F6: the keys a caller needs during a call.
bool IsCallKey(DWORD virtualKey) {
    return virtualKey >= VK_F3 && virtualKey <= VK_F6;
}

}  // namespace

LRESULT CALLBACK KeyboardHookProc(int code, WPARAM wParam, LPARAM lParam) {
    // The probe runs first, for every event, whatever the key and the mode.
    const bool callActive = IsPhoneCallActive() == TRUE;
    const bool allow = callActive && CurrentMode() == MODE_ALLOW_CALL_KEYS;
    const KBDLLHOOKSTRUCT *event = reinterpret_cast<const KBDLLHOOKSTRUCT *>(lParam);
    // The platform may deliver an event before SetWindowsHookExW has returned
    // the hook's handle to ActivateKBHook: until it is recorded, nothing is
    // passed on, with a null handle or otherwise.
    HHOOK self = NULL;
    CallNextHookExProc passOn = NULL;
    // Neither the code nor the message takes part: negative codes, key-up and
    // system keys follow the same rule. Anything missing keeps the key locked.
    if (allow && event != NULL && IsCallKey(event->vkCode) && HookToPassOn(&self, &passOn)) {
        return passOn(self, code, wParam, lParam);
    }
    return SWALLOW_EVENT;
}
