#include "Files.h"

#include "Layout.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

namespace simdevice::internal {

int OpenAndHold(const std::string &path, bool create) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    if (fd < 0) return -1;
    struct flock lock{};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLKW, &lock) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool IsHeld(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    close(fd);
    return held;
}

int LockExclusively(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (fd >= 0 && fcntl(fd, F_OFD_SETLKW, &lock) != 0 && errno == EINTR) {
    }
    return fd;
}

DeviceGuard::DeviceGuard(const std::string &name) : fd_(LockExclusively(DevicePath("." + name + ".guard"))) {}

DeviceGuard::~DeviceGuard() {
    if (fd_ >= 0) close(fd_);  // closing the description releases its lock
}

void WriteFileAtomically(const std::string &path, const std::string &contents) {
    std::string temporary = path + ".tmp" + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, contents.data(), contents.size());
    close(fd);
    rename(temporary.c_str(), path.c_str());
}

std::optional<std::string> ReadWholeFile(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, size_t(n));
    close(fd);
    return text;
}

void AppendToFile(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, text.data(), text.size());
    close(fd);
}

std::vector<std::string> Split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

}  // namespace simdevice::internal
