// The daemon's main loop: sleep until the power manager posts a broadcast,
// then handle every queued broadcast before sleeping again.
#include <windows.h>
#include <msgqueue.h>
#include <pm.h>

#include "vespertin.h"

#ifndef POWER_STATE_UNATTENDED
#define POWER_STATE_UNATTENDED 0x00400000  // the device SDK's pm.h lacks it
#endif

namespace {

const DWORD POWER_QUEUE_MAX_MESSAGES = 4;
const DWORD POWER_MESSAGE_BYTES = 536;  // a POWER_BROADCAST with the longest state name
const DWORD POWER_NOTIFY_MASK = PBT_TRANSITION | PBT_RESUME | PBT_POWERINFOCHANGE;  // 0x0000000B

// The queue's options record has the device's layout: five 4-byte fields.
const size_t DEVICE_QUEUE_OPTIONS_BYTES = 20;
typedef char QueueOptionsAreDeviceSized[sizeof(MSGQUEUEOPTIONS) == DEVICE_QUEUE_OPTIONS_BYTES ? 1 : -1];

// Message and Flags: the only fields read. A shorter record is not classified.
const DWORD BROADCAST_FIELDS_BYTES = 2 * sizeof(DWORD);

HANDLE CreatePowerQueue() {
    MSGQUEUEOPTIONS options;
    options.dwSize = sizeof(options);
    options.dwFlags = MSGQUEUE_NOPRECOMMIT;
    options.dwMaxMessages = POWER_QUEUE_MAX_MESSAGES;
    options.cbMaxMessage = POWER_MESSAGE_BYTES;
    options.bReadAccess = TRUE;
    return CreateMsgQueue(NULL, &options);
}

void HandleBroadcast(const POWER_BROADCAST *broadcast, DWORD bytes) {
    if (bytes < BROADCAST_FIELDS_BYTES) {
        return;
    }
    if (broadcast->Message != PBT_TRANSITION) {
        RefreshLockAppWindow();  // resume or power-information change
    } else if ((broadcast->Flags & POWER_STATE_UNATTENDED) != 0) {
        LaunchLockApp();
    }
}

// Handles every queued broadcast; reads never wait.
void DrainQueue(HANDLE queue, DWORD *buffer) {
    DWORD bytesRead = 0;
    DWORD flags = 0;
    while (ReadMsgQueue(queue, buffer, POWER_MESSAGE_BYTES, &bytesRead, 0, &flags) != FALSE) {
        HandleBroadcast(reinterpret_cast<const POWER_BROADCAST *>(buffer), bytesRead);
    }
}

void HandleWakeUp(HANDLE queue) {
    DWORD *buffer = static_cast<DWORD *>(LocalAlloc(LMEM_FIXED, POWER_MESSAGE_BYTES));
    if (buffer != NULL) {
        DrainQueue(queue, buffer);
        LocalFree(buffer);
        return;
    }
    // Out of heap: still drain, or the signalled queue would spin the wait
    // and the unattended device would never be locked.
    DWORD fallback[POWER_MESSAGE_BYTES / sizeof(DWORD)];
    DrainQueue(queue, fallback);
}

}  // namespace

void WatchPowerNotifications() {
    HANDLE queue = NULL;
    HANDLE notification = NULL;

    queue = CreatePowerQueue();
    if (queue == NULL) {
        NKDbgPrintfW(TEXT("CreateMsgQueue failed: %x\n"), GetLastError());
        goto cleanup;
    }
    notification = RequestPowerNotifications(queue, POWER_NOTIFY_MASK);
    if (notification == NULL) {
        NKDbgPrintfW(TEXT("RequestPowerNotifications failed: %x\n"), GetLastError());
        goto cleanup;
    }
    while (WaitForMultipleObjects(1, &queue, FALSE, INFINITE) == WAIT_OBJECT_0) {
        HandleWakeUp(queue);
    }

cleanup:
    if (notification != NULL) {
        StopPowerNotifications(notification);
    }
    if (queue != NULL) {
        CloseMsgQueue(queue);
    }
}
