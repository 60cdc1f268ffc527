// The power manager: subscriptions, and the broadcasts it writes into the
// subscribed queues. A subscription is a file in the device's power folder,
// held while it lasts, naming its mask and its queue.
#include <simdevice/device.h>

#include <pm.h>

#include "Served.h"

#include "../host/Faults.h"
#include "../host/Files.h"
#include "../host/Handles.h"
#include "../host/Layout.h"
#include "../host/Names.h"

#include "QueueRules.h"

#include <fcntl.h>
#include <mqueue.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

using namespace simdevice;
using namespace simdevice::internal;
namespace fs = std::filesystem;

namespace {

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
    if (result.dropped) Log(timeline::Event::PowerDropped, {{"queues", std::to_string(result.dropped)}});
    return result;
}

}  // namespace

namespace simdevice {

// The broadcast is logged before it is written, so that the timeline shows
// it ahead of what the subscribers do about it.
BroadcastResult PostPowerBroadcast(DWORD message, DWORD flags, const std::u16string &stateName) {
    const std::string bytes = queue_rules::BroadcastRecord(message, flags, stateName.c_str(), stateName.size());
    Log(timeline::Event::PowerBroadcast, {{"message", Hex(message)}, {"flags", Hex(flags)}, {"state", Utf16ToUtf8(stateName)}});
    return Deliver(message, bytes);
}

BroadcastResult PostRawPowerMessage(DWORD kind, const std::string &bytes) {
    Log(timeline::Event::PowerBroadcast, {{"kind", Hex(kind)}, {"bytes", std::to_string(bytes.size())}});
    return Deliver(kind, bytes);
}

int LivePowerSubscriptions() {
    int live = 0;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(DevicePath("power"), ignored)) live += IsHeld(entry.path());
    return live;
}

// A subscription's file is named after its subscriber's pid; the queue is
// only looked at, never read from.
std::optional<size_t> QueuedBroadcasts(pid_t subscriber) {
    std::optional<size_t> queued;
    const std::string prefix = std::to_string(subscriber) + ".";
    DeviceGuard guard("power");
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(DevicePath("power"), ignored)) {
        if (entry.path().filename().string().rfind(prefix, 0) != 0 || !IsHeld(entry.path())) continue;
        auto text = ReadWholeFile(entry.path());
        std::istringstream in(text ? *text : "");
        DWORD mask = 0;
        std::string queueName;
        in >> mask >> queueName;
        mqd_t q = mq_open(queueName.c_str(), O_RDONLY | O_NONBLOCK);
        if (q == mqd_t(-1)) continue;
        mq_attr attributes{};
        if (mq_getattr(q, &attributes) == 0) queued = queued.value_or(0) + size_t(attributes.mq_curmsgs);
        mq_close(q);
    }
    return queued;
}

}  // namespace simdevice

HANDLE WINAPI served::RequestPowerNotifications(HANDLE messageQueue, DWORD mask) {
    std::string queueName;
    // A subscription with no kinds could never receive anything.
    if (mask == 0 || !WithObject<QueueObject>(messageQueue, [&](const QueueObject &q) { queueName = q.name; }))
        return SetError(ERROR_INVALID_PARAMETER), nullptr;
    NotificationObject notification;
    {
        DeviceGuard guard("power");  // the broadcaster must not see it before it is held
        notification.path = DevicePath("power/" + std::to_string(getpid()) + "." +
                                       std::to_string(NextDeviceId("subscriptions")));
        WriteFileAtomically(notification.path, std::to_string(mask) + " " + queueName + "\n");
        notification.fd = OpenAndHold(notification.path, false);
    }
    if (notification.fd < 0) return SetError(ERROR_OUTOFMEMORY), nullptr;
    notification.queue = messageQueue;
    WithObject<QueueObject>(messageQueue, [](QueueObject &q) { q.subscriptions++; });
    Log(timeline::Event::PowerSubscribed, {{"mask", Hex(mask)}});
    return AddHandle(notification);
}

DWORD WINAPI served::StopPowerNotifications(HANDLE notification) {
    auto object = RemoveHandle<NotificationObject>(notification);
    if (!object) return SetError(ERROR_INVALID_HANDLE), ERROR_INVALID_HANDLE;
    {
        DeviceGuard guard("power");
        close(object->fd);
        unlink(object->path.c_str());
    }
    WithObject<QueueObject>(object->queue, [](QueueObject &q) { q.subscriptions--; });
    Log(timeline::Event::PowerUnsubscribed, {});
    return ERROR_SUCCESS;
}
