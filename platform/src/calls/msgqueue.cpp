// Point-to-point message queues: POSIX message queues underneath (a fixed
// count and size, non-blocking receive, and a descriptor the kernel wakes a
// poll() on). The power manager (power.cpp) is the only writer.
#include <simdevice/device.h>

#include <msgqueue.h>

#include "Served.h"

#include "../host/Faults.h"
#include "../host/Files.h"
#include "../host/Handles.h"
#include "../host/Names.h"

#include "QueueRules.h"

#include <fcntl.h>
#include <mqueue.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace simdevice;
using namespace simdevice::internal;

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
    bool hasWriter = false;
};

std::optional<QueueView> ViewQueue(HANDLE handle) {
    QueueView view;
    bool found = WithObject<QueueObject>(handle, [&](const QueueObject &q) {
        view = {q.fd, q.maxMessage, q.flags, q.readAccess, q.subscriptions > 0};
    });
    return found ? std::optional<QueueView>(view) : std::nullopt;
}

// Takes the oldest message, waiting up to MILLISECONDS; its size, or -1.
ssize_t Receive(const QueueView &view, std::string &message, DWORD milliseconds) {
    ssize_t n;
    while ((n = mq_receive(view.fd, &message[0], message.size(), nullptr)) < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN || milliseconds == 0) break;
        pollfd p{view.fd, POLLIN, 0};
        if (poll(&p, 1, milliseconds == INFINITE ? -1 : int(milliseconds)) == 0) break;
    }
    return n;
}

}  // namespace

std::optional<size_t> simdevice::QueuedMessages(HANDLE queue) {
    auto view = ViewQueue(queue);
    mq_attr attributes{};
    if (!view || mq_getattr(view->fd, &attributes) != 0) return std::nullopt;
    return size_t(attributes.mq_curmsgs);
}

// Named queues are not simulated: nothing in the system shares a queue by name.
HANDLE WINAPI served::CreateMsgQueue(LPCWSTR name, LPMSGQUEUEOPTIONS options) {
    if (!queue_rules::ValidOptions(options) || name != nullptr) return SetError(ERROR_INVALID_PARAMETER), nullptr;
    QueueObject object;
    object.name = NewQueueName("queue");
    object.maxMessage = options->cbMaxMessage;
    object.flags = options->dwFlags;
    object.readAccess = options->bReadAccess != FALSE;
    mq_attr attributes{};
    attributes.mq_maxmsg = options->dwMaxMessages ? long(options->dwMaxMessages) : UnboundedQueueDepth();
    attributes.mq_msgsize = long(options->cbMaxMessage);
    mqd_t q = mq_open(object.name.c_str(), O_CREAT | O_RDWR | O_NONBLOCK, 0600, &attributes);
    if (q == mqd_t(-1)) return SetError(errno == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_OUTOFMEMORY), nullptr;
    RecordQueueName(object.name);
    object.fd = q;
    return AddHandle(object);
}

// A message longer than the buffer comes cut, and the read still succeeds.
BOOL WINAPI served::ReadMsgQueue(HANDLE queue, LPVOID buffer, DWORD bufferSize, LPDWORD bytesRead, DWORD milliseconds,
                         DWORD *flags) {
    auto view = ViewQueue(queue);
    if (!view) return SetError(ERROR_INVALID_HANDLE), FALSE;
    if (!view->readAccess) return SetError(ERROR_ACCESS_DENIED), FALSE;
    if (!flags || !bytesRead || !buffer) return SetError(ERROR_INVALID_PARAMETER), FALSE;
    std::string message(view->maxMessage, '\0');
    const ssize_t n = Receive(*view, message, milliseconds);
    if (n < 0) {
        const bool broken = queue_rules::ReportsBroken(view->flags, view->hasWriter);
        return SetError(broken ? ERROR_PIPE_NOT_CONNECTED : ERROR_TIMEOUT), FALSE;
    }
    const DWORD copied = std::min<DWORD>(DWORD(n), bufferSize);
    if (copied) std::memcpy(buffer, message.data(), copied);
    *bytesRead = copied;
    *flags = 0;
    SetError(DWORD(n) > bufferSize ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI served::CloseMsgQueue(HANDLE queue) {
    auto object = RemoveHandle<QueueObject>(queue);
    if (!object) return SetError(ERROR_INVALID_HANDLE), FALSE;
    object->Release();
    return TRUE;
}
