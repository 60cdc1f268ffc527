/* Point-to-point message queues. */
#ifndef SIMDEVICE_MSGQUEUE_H
#define SIMDEVICE_MSGQUEUE_H

#include <windef.h>

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

#ifdef __cplusplus
extern "C" {
#endif

HANDLE WINAPI CreateMsgQueue(LPCWSTR name, LPMSGQUEUEOPTIONS options);
BOOL WINAPI ReadMsgQueue(HANDLE queue, LPVOID buffer, DWORD bufferSize, LPDWORD bytesRead,
                         DWORD milliseconds, DWORD *flags);
BOOL WINAPI CloseMsgQueue(HANDLE queue);

#ifdef __cplusplus
}
#endif

#endif
