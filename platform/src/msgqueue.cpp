// Point-to-point message queues (POSIX message queues underneath: a fixed
// count and size, non-blocking receive, and a descriptor the kernel wakes a
// poll() on) and the power manager that writes broadcasts into them.
#include "internal.h"

#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

using namespace simdevice;
using namespace simdevice::internal;
namespace fs = std::filesystem;

namespace {

// A queue created with no message limit still needs one underneath, and
// without CAP_SYS_RESOURCE the kernel refuses one deeper than msg_max.
long UnboundedQueueDepth() {
    constexpr long kWanted = 64;
    auto limit = ReadWholeFile("/proc/sys/fs/mqueue/msg_max");
    long most = limit ? std::strtol(limit->c_str(), nullptr, 10) : 0;
    return most > 0 ? std::min(kWanted, most) : 10;  // 10: the kernel's default
}

struct QueueView {
    int fd = -1;
    DWORD maxMessage = 0;
    DWORD flags = 0;
    bool readAccess = false;
    bool connected = false;
};

std::optional<QueueView> ViewQueue(HANDLE handle) {
    QueueView view;
    bool found = WithObject(handle, Kind::Queue, [&](Object &q) {
        view = {q.fd, q.maxMessage, q.flags, q.readAccess, q.subscriptions > 0 || q.queueName.find(".named.") != std::string::npos};
    });
    return found ? std::optional<QueueView>(view) : std::nullopt;
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// Writes one broadcast into every live subscription whose mask has KIND;
// a full queue loses it, as the device's power manager does (timeout 0).
BroadcastResult Deliver(DWORD kind, const std::string &bytes) {
    BroadcastResult result;
    DeviceGuard guard("power");
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(DevicePath("power"), ignored)) {
        auto text = ReadWholeFile(entry.path());
        if (!text) continue;
        std::istringstream in(*text);
        DWORD mask = 0;
        std::string queueName;
        in >> mask >> queueName;
        if (!IsHeld(entry.path())) {
            // Its subscriber died without stopping: forget it and its queue.
            unlink(entry.path().c_str());
            mq_unlink(queueName.c_str());
            continue;
        }
        if (!(mask & kind)) continue;
        mqd_t q = mq_open(queueName.c_str(), O_WRONLY | O_NONBLOCK);
        if (q != mqd_t(-1) && mq_send(q, bytes.data(), bytes.size(), 0) == 0) ++result.delivered;
        else ++result.dropped;
        if (q != mqd_t(-1)) mq_close(q);
    }
    if (result.dropped) Log("power-dropped", {{"queues", std::to_string(result.dropped)}});
    return result;
}

}  // namespace

namespace simdevice {

namespace internal {
void ReleaseQueue(Object &queue) {
    mq_close(queue.fd);
    if (queue.queueName.find(".named.") == std::string::npos) mq_unlink(queue.queueName.c_str());
}
}  // namespace internal

// The broadcast is logged before it is written, so that the timeline shows
// it ahead of what the subscribers do about it.
BroadcastResult PostPowerBroadcast(DWORD message, DWORD flags, const std::u16string &stateName) {
    std::string bytes(12 + (stateName.size() + 1) * 2, '\0');
    DWORD length = DWORD((stateName.size() + 1) * 2);
    std::memcpy(&bytes[0], &message, 4);
    std::memcpy(&bytes[4], &flags, 4);
    std::memcpy(&bytes[8], &length, 4);
    std::memcpy(&bytes[12], stateName.c_str(), length);
    Log("power-broadcast", {{"message", Hex(message)}, {"flags", Hex(flags)}, {"state", Utf16ToUtf8(stateName)}});
    return Deliver(message, bytes);
}

BroadcastResult PostRawPowerMessage(DWORD kind, const std::string &bytes) {
    Log("power-broadcast", {{"kind", Hex(kind)}, {"bytes", std::to_string(bytes.size())}});
    return Deliver(kind, bytes);
}

int LivePowerSubscriptions() {
    int live = 0;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(DevicePath("power"), ignored)) live += IsHeld(entry.path());
    return live;
}

}  // namespace simdevice

extern "C" {

HANDLE WINAPI CreateMsgQueue(LPCWSTR name, LPMSGQUEUEOPTIONS options) {
    if (auto f = TakeFault("CreateMsgQueue")) return FaultResult<HANDLE>(*f, nullptr);
    if (!options || options->dwSize < sizeof(MSGQUEUEOPTIONS) || options->cbMaxMessage == 0 ||
        (options->dwFlags & ~DWORD(MSGQUEUE_NOPRECOMMIT | MSGQUEUE_ALLOW_BROKEN)))
        return SetError(ERROR_INVALID_PARAMETER), nullptr;
    Object object;
    object.kind = Kind::Queue;
    object.queueName = name ? SharedQueueName("named." + std::to_string(std::hash<std::string>{}(Narrow(name))))
                            : NewQueueName("queue");
    object.maxMessage = options->cbMaxMessage;
    object.flags = options->dwFlags;
    object.readAccess = options->bReadAccess != FALSE;
    mq_attr attributes{};
    attributes.mq_maxmsg = options->dwMaxMessages ? long(options->dwMaxMessages) : UnboundedQueueDepth();
    attributes.mq_msgsize = long(options->cbMaxMessage);
    mqd_t q = mq_open(object.queueName.c_str(), O_CREAT | O_RDWR | O_NONBLOCK, 0600, &attributes);
    if (q == mqd_t(-1)) return SetError(errno == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_OUTOFMEMORY), nullptr;
    RecordQueueName(object.queueName);
    object.fd = q;
    return AddHandle(object);
}

BOOL WINAPI ReadMsgQueue(HANDLE queue, LPVOID buffer, DWORD bufferSize, LPDWORD bytesRead, DWORD milliseconds,
                         DWORD *flags) {
    if (auto f = TakeFault("ReadMsgQueue")) return FaultResult<BOOL>(*f, FALSE);
    auto view = ViewQueue(queue);
    if (!view) return SetError(ERROR_INVALID_HANDLE), FALSE;
    if (!view->readAccess) return SetError(ERROR_ACCESS_DENIED), FALSE;
    if (!flags || !bytesRead || (!buffer && bufferSize)) return SetError(ERROR_INVALID_PARAMETER), FALSE;
    std::string message(view->maxMessage, '\0');
    ssize_t n;
    while ((n = mq_receive(view->fd, &message[0], message.size(), nullptr)) < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN || milliseconds == 0) break;
        pollfd p{view->fd, POLLIN, 0};
        int ready = poll(&p, 1, milliseconds == INFINITE ? -1 : int(milliseconds));
        if (ready == 0) break;
    }
    if (n < 0) {
        bool broken = !view->connected && !(view->flags & MSGQUEUE_ALLOW_BROKEN);
        return SetError(broken ? ERROR_PIPE_NOT_CONNECTED : ERROR_TIMEOUT), FALSE;
    }
    DWORD copied = std::min<DWORD>(DWORD(n), bufferSize);
    if (copied) std::memcpy(buffer, message.data(), copied);
    *bytesRead = copied;
    *flags = 0;
    SetError(DWORD(n) > bufferSize ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);  // truncated, still TRUE
    return TRUE;
}

BOOL WINAPI CloseMsgQueue(HANDLE queue) {
    if (auto f = TakeFault("CloseMsgQueue")) return FaultResult<BOOL>(*f, FALSE);
    auto object = RemoveHandle(queue, Kind::Queue);
    if (!object) return SetError(ERROR_INVALID_HANDLE), FALSE;
    ReleaseQueue(*object);
    return TRUE;
}

HANDLE WINAPI RequestPowerNotifications(HANDLE messageQueue, DWORD mask) {
    if (auto f = TakeFault("RequestPowerNotifications")) return FaultResult<HANDLE>(*f, nullptr);
    std::string queueName;
    if (!WithObject(messageQueue, Kind::Queue, [&](Object &q) { queueName = q.queueName; }))
        return SetError(ERROR_INVALID_PARAMETER), nullptr;
    Object notification;
    notification.kind = Kind::Notification;
    {
        DeviceGuard guard("power");  // the broadcaster must not see it before it is held
        notification.path = DevicePath("power/" + std::to_string(getpid()) + "." +
                                       std::to_string(NextDeviceId("subscriptions")));
        WriteFileAtomically(notification.path, std::to_string(mask) + " " + queueName + "\n");
        notification.fd = OpenAndHold(notification.path, false);
    }
    if (notification.fd < 0) return SetError(ERROR_OUTOFMEMORY), nullptr;
    notification.queue = messageQueue;
    WithObject(messageQueue, Kind::Queue, [](Object &q) { q.subscriptions++; });
    Count().subscriptions++;
    Log("power-subscribed", {{"mask", Hex(mask)}});
    return AddHandle(notification);
}

DWORD WINAPI StopPowerNotifications(HANDLE notification) {
    if (auto f = TakeFault("StopPowerNotifications")) return FaultResult<DWORD>(*f, f->error);
    auto object = RemoveHandle(notification, Kind::Notification);
    if (!object) return SetError(ERROR_INVALID_HANDLE), ERROR_INVALID_HANDLE;
    {
        DeviceGuard guard("power");
        close(object->fd);
        unlink(object->path.c_str());
    }
    WithObject(object->queue, Kind::Queue, [](Object &q) { q.subscriptions--; });
    Count().subscriptions--;
    Log("power-unsubscribed", {});
    return ERROR_SUCCESS;
}

}  // extern "C"
