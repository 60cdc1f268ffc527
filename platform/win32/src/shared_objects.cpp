// Named shared objects behind message queues and power subscriptions.
#include "shared_objects.h"

#include <msgqueue.h>

#include "QueueRules.h"

#include <cwchar>

namespace coredll {

struct QueueHeader {
    DWORD maxMessages;
    DWORD maxBytes;
    DWORD flags;
    DWORD count;
    DWORD head;
    LONG writers;
    // Then maxMessages slots of {DWORD bytes; BYTE data[maxBytes]}.
};

namespace {

DWORD SlotBytes(const QueueHeader *header) {
    return sizeof(DWORD) + header->maxBytes;
}

BYTE *Slot(QueueHeader *header, DWORD index) {
    return reinterpret_cast<BYTE *>(header + 1) + SlotBytes(header) * (index % header->maxMessages);
}

void ObjectName(WCHAR (&out)[kQueueNameChars + 8], const WCHAR *name, const WCHAR *suffix) {
    swprintf(out, kQueueNameChars + 8, L"%ls%ls", name, suffix);
}

bool OpenQueueObjects(const WCHAR *name, QueueEnd *end, bool create, DWORD mappingBytes) {
    WCHAR objectName[kQueueNameChars + 8];
    ObjectName(objectName, name, L".mem");
    end->mapping = create ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, mappingBytes, objectName)
                          : OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, objectName);
    ObjectName(objectName, name, L".lock");
    end->lock = create ? CreateMutexW(nullptr, FALSE, objectName) : OpenMutexW(SYNCHRONIZE, FALSE, objectName);
    ObjectName(objectName, name, L".ready");
    end->ready = create ? CreateEventW(nullptr, TRUE, FALSE, objectName)
                        : OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, objectName);
    if (end->mapping != nullptr) {
        end->header = static_cast<QueueHeader *>(MapViewOfFile(end->mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    }
    if (end->mapping == nullptr || end->lock == nullptr || end->ready == nullptr || end->header == nullptr) {
        CloseQueue(end);
        return false;
    }
    return true;
}

class Locked {
public:
    explicit Locked(HANDLE mutex) : mutex_(mutex) { WaitForSingleObject(mutex_, INFINITE); }
    ~Locked() { ReleaseMutex(mutex_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    HANDLE mutex_;
};

}  // namespace

std::string Utf8(const WCHAR *text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size_t(bytes > 0 ? bytes : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

void AppendUtf8(const WCHAR *path, const WCHAR *text) {
    char utf8[4096];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    if (bytes <= 1) return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, utf8, DWORD(bytes - 1), &written, nullptr);
    CloseHandle(file);
}

bool CreateQueue(DWORD maxMessages, DWORD maxBytes, DWORD flags, WCHAR (&name)[kQueueNameChars], QueueEnd *end) {
    static LONG sequence = 0;
    if (maxMessages == 0) maxMessages = kUnlimitedQueueDepth;
    const ULONGLONG bytes = sizeof(QueueHeader) + ULONGLONG(maxMessages) * (sizeof(DWORD) + maxBytes);
    if (bytes > 64u * 1024 * 1024) {
        SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    swprintf(name, kQueueNameChars, L"coredll.msgqueue.%lu.%ld", GetCurrentProcessId(), InterlockedIncrement(&sequence));
    if (!OpenQueueObjects(name, end, true, DWORD(bytes))) return false;
    end->header->maxMessages = maxMessages;
    end->header->maxBytes = maxBytes;
    end->header->flags = flags;
    return true;
}

bool OpenQueue(const WCHAR *name, QueueEnd *end) {
    return OpenQueueObjects(name, end, false, 0);
}

void CloseQueue(QueueEnd *end) {
    if (end->header != nullptr) UnmapViewOfFile(end->header);
    if (end->ready != nullptr) CloseHandle(end->ready);
    if (end->lock != nullptr) CloseHandle(end->lock);
    if (end->mapping != nullptr) CloseHandle(end->mapping);
    *end = QueueEnd();
}

bool WriteQueue(QueueEnd *end, const void *data, DWORD bytes) {
    QueueHeader *header = end->header;
    if (bytes > header->maxBytes) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    Locked locked(end->lock);
    if (header->count == header->maxMessages) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    BYTE *slot = Slot(header, header->head + header->count);
    memcpy(slot, &bytes, sizeof bytes);
    memcpy(slot + sizeof bytes, data, bytes);
    ++header->count;
    SetEvent(end->ready);
    return true;
}

ReadResult ReadQueue(QueueEnd *end, void *buffer, DWORD capacity, DWORD *bytesRead) {
    QueueHeader *header = end->header;
    Locked locked(end->lock);
    if (header->count == 0) {
        return queue_rules::ReportsBroken(header->flags, header->writers != 0) ? ReadResult::Broken : ReadResult::Empty;
    }
    const BYTE *slot = Slot(header, header->head);
    DWORD bytes;
    memcpy(&bytes, slot, sizeof bytes);
    const DWORD copied = bytes < capacity ? bytes : capacity;
    memcpy(buffer, slot + sizeof bytes, copied);
    *bytesRead = copied;
    header->head = (header->head + 1) % header->maxMessages;
    if (--header->count == 0) ResetEvent(end->ready);
    return copied < bytes ? ReadResult::Truncated : ReadResult::Message;
}

void AddWriter(QueueEnd *end, LONG change) {
    Locked locked(end->lock);
    end->header->writers += change;
}

// ---- Subscriber list ----

namespace {

const WCHAR kSubscribersName[] = L"coredll.power.subscribers";
const WCHAR kSubscribersLockName[] = L"coredll.power.subscribers.lock";

// The list lives while any process holds it; subscribers keep it open.
struct SubscriberList {
    HANDLE mapping = nullptr;
    HANDLE lock = nullptr;
    Subscriber *slots = nullptr;
};

bool OpenSubscriberList(SubscriberList *list, bool create) {
    const DWORD bytes = sizeof(Subscriber) * kMaxSubscribers;
    list->mapping = create ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, bytes, kSubscribersName)
                           : OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, kSubscribersName);
    list->lock = CreateMutexW(nullptr, FALSE, kSubscribersLockName);
    if (list->mapping != nullptr)
        list->slots = static_cast<Subscriber *>(MapViewOfFile(list->mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    return list->mapping != nullptr && list->lock != nullptr && list->slots != nullptr;
}

void CloseSubscriberList(SubscriberList *list) {
    if (list->slots != nullptr) UnmapViewOfFile(list->slots);
    if (list->lock != nullptr) CloseHandle(list->lock);
    if (list->mapping != nullptr) CloseHandle(list->mapping);
    *list = SubscriberList();
}

bool ProcessIsAlive(DWORD processId) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) return false;
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

// This process's own hold on the list, taken with its first subscription.
SubscriberList g_heldList;
LONG g_subscriptions = 0;

}  // namespace

DWORD AddSubscriber(const WCHAR *queueName, DWORD mask) {
    if (g_heldList.slots == nullptr && !OpenSubscriberList(&g_heldList, true)) {
        CloseSubscriberList(&g_heldList);
        SetLastError(ERROR_OUTOFMEMORY);
        return 0;
    }
    Locked locked(g_heldList.lock);
    for (DWORD i = 0; i < kMaxSubscribers; ++i) {
        Subscriber &slot = g_heldList.slots[i];
        if (slot.processId != 0 && ProcessIsAlive(slot.processId)) continue;
        slot.processId = GetCurrentProcessId();
        slot.mask = mask;
        wcsncpy(slot.queueName, queueName, kQueueNameChars - 1);
        slot.queueName[kQueueNameChars - 1] = 0;
        ++g_subscriptions;
        return i + 1;
    }
    SetLastError(ERROR_OUTOFMEMORY);
    return 0;
}

bool RemoveSubscriber(DWORD slotNumber) {
    if (g_heldList.slots == nullptr || slotNumber == 0 || slotNumber > kMaxSubscribers) return false;
    {
        Locked locked(g_heldList.lock);
        Subscriber &slot = g_heldList.slots[slotNumber - 1];
        if (slot.processId != GetCurrentProcessId()) return false;
        slot = Subscriber();
    }
    if (--g_subscriptions == 0) CloseSubscriberList(&g_heldList);
    return true;
}

DWORD ListSubscribers(Subscriber (&out)[kMaxSubscribers]) {
    SubscriberList list;
    DWORD found = 0;
    if (OpenSubscriberList(&list, false)) {
        Locked locked(list.lock);
        for (DWORD i = 0; i < kMaxSubscribers; ++i) {
            if (list.slots[i].processId != 0 && ProcessIsAlive(list.slots[i].processId)) out[found++] = list.slots[i];
        }
    }
    CloseSubscriberList(&list);
    return found;
}

bool QueuedForSubscriber(DWORD processId, DWORD *queued) {
    Subscriber subscribers[kMaxSubscribers];
    const DWORD total = ListSubscribers(subscribers);
    bool found = false;
    *queued = 0;
    for (DWORD i = 0; i < total; ++i) {
        if (subscribers[i].processId != processId) continue;
        QueueEnd queue;
        if (!OpenQueue(subscribers[i].queueName, &queue)) return false;
        const DWORD taken = WaitForSingleObject(queue.lock, 0);
        const bool counted = taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED;
        if (counted) {
            *queued += queue.header->count;
            ReleaseMutex(queue.lock);
        }
        CloseQueue(&queue);
        if (!counted) return false;
        found = true;
    }
    return found;
}

DWORD Broadcast(DWORD message, const std::string &record, DWORD *offered) {
    Subscriber subscribers[kMaxSubscribers];
    const DWORD total = ListSubscribers(subscribers);
    DWORD reached = 0;
    *offered = 0;
    for (DWORD i = 0; i < total; ++i) {
        if ((subscribers[i].mask & message) == 0) continue;
        ++*offered;
        QueueEnd queue;
        if (!OpenQueue(subscribers[i].queueName, &queue)) continue;
        reached += WriteQueue(&queue, record.data(), DWORD(record.size())) ? 1 : 0;
        CloseQueue(&queue);
    }
    return reached;
}

}  // namespace coredll
