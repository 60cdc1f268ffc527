/* The desktop's own winbase.h, with what the device's has beside it: the
 * message queues' options record (the desktop has no message queues). Its
 * layout is the device's, which record_layout_test and the conformance
 * suite check on both stand-ins. */
#ifndef DEVICE_ON_DESKTOP_WINBASE_H
#define DEVICE_ON_DESKTOP_WINBASE_H

#include_next <winbase.h>

#define MSGQUEUE_NOPRECOMMIT 0x00000001
#define MSGQUEUE_ALLOW_BROKEN 0x00000002
#define MSGQUEUE_MSGALERT 0x00000001

typedef struct MSGQUEUEOPTIONS_OS {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwMaxMessages;
    DWORD cbMaxMessage;
    BOOL bReadAccess;
} MSGQUEUEOPTIONS, *LPMSGQUEUEOPTIONS, *PMSGQUEUEOPTIONS;

#endif
