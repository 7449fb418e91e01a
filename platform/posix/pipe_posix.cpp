// Control pipe on Linux: a Unix-domain stream socket. The server binds and listens and accepts
// its one client lazily; the client connects and never retries, so a missing parent is
// reported at once instead of hanging the start-up.
#include "platform/pipe.h"

#include "platform/posix/unique_fd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

// Its descriptors are closed once, by the deleter of its owner.
class PipeHandle {
public:
    int listenFd = -1;
    int fd = -1;
    std::string path; // removed at close by the server role
};

std::string PipePath(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return name;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = (tmp && *tmp) ? tmp : "/tmp";
    if (dir.back() != '/')
        dir += '/';
    return dir + "ecgcomm-pipe-" + name;
}

namespace {
bool FillAddress(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address->sun_path))
        return false;
    std::memcpy(address->sun_path, path.c_str(), path.size());
    return true;
}

bool EnsureConnected(PipeHandle* pipe, uint32_t* error) {
    if (pipe->fd >= 0)
        return true;
    if (pipe->listenFd < 0) {
        *error = EBADF;
        return false;
    }
    int fd;
    do {
        fd = accept(pipe->listenFd, nullptr, nullptr);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = static_cast<uint32_t>(errno);
        return false;
    }
    pipe->fd = fd;
    return true;
}

std::string DescribeUser(uid_t uid) {
    passwd entry;
    passwd* found = nullptr;
    char names[1024];
    const std::string number = "uid " + std::to_string(uid);
    if (getpwuid_r(uid, &entry, names, sizeof names, &found) != 0 || found == nullptr)
        return number;
    return "user " + std::string(found->pw_name) + " (" + number + ")";
}

// A socket in a shared directory can be created by anyone before the parent does. Its
// credentials are those of whoever listened on it, fixed at that moment; only this process's
// own user and root may hold the other end.
bool PeerAccepted(int fd, uint32_t* error, std::string* foreignOwner) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        *error = static_cast<uint32_t>(errno);
        return false;
    }
    if (peer.uid == geteuid() || peer.uid == 0)
        return true;
    *error = EACCES;
    *foreignOwner = DescribeUser(peer.uid);
    return false;
}
} // namespace

UniquePipe PipeCreate(const std::string& name, uint32_t* error) {
    sockaddr_un address;
    const std::string path = PipePath(name);
    if (!FillAddress(path, &address)) {
        *error = ENAMETOOLONG;
        return nullptr;
    }
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.IsValid()) {
        *error = static_cast<uint32_t>(errno);
        return nullptr;
    }
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd.Get(), 16) != 0) {
        *error = static_cast<uint32_t>(errno);
        return nullptr;
    }
    UniquePipe pipe(new PipeHandle());
    pipe->listenFd = fd.Release();
    pipe->path = path;
    return pipe;
}

UniquePipe PipeConnect(const std::string& name, uint32_t* error, std::string* foreignOwner) {
    sockaddr_un address;
    if (!FillAddress(PipePath(name), &address)) {
        *error = ENAMETOOLONG;
        return nullptr;
    }
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.IsValid()) {
        *error = static_cast<uint32_t>(errno);
        return nullptr;
    }
    int rc;
    do {
        rc = connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        *error = static_cast<uint32_t>(errno);
        return nullptr;
    }
    if (!PeerAccepted(fd.Get(), error, foreignOwner))
        return nullptr;
    UniquePipe pipe(new PipeHandle());
    pipe->fd = fd.Release();
    return pipe;
}

bool PipeRead(PipeHandle* pipe, void* buffer, uint32_t size, uint32_t* bytesRead, uint32_t* error) {
    if (bytesRead)
        *bytesRead = 0;
    if (!EnsureConnected(pipe, error))
        return false;
    ssize_t n;
    do {
        n = read(pipe->fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        *error = static_cast<uint32_t>(errno);
        return false;
    }
    if (n == 0) {
        // The writer has gone: a Windows pipe reports this as a broken pipe.
        *error = EPIPE;
        return false;
    }
    if (bytesRead)
        *bytesRead = static_cast<uint32_t>(n);
    return true;
}

bool PipeWrite(PipeHandle* pipe, const void* buffer, uint32_t size, uint32_t* bytesWritten,
               uint32_t* error) {
    if (bytesWritten)
        *bytesWritten = 0;
    if (!EnsureConnected(pipe, error))
        return false;
    ssize_t n;
    do {
        n = send(pipe->fd, buffer, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        *error = static_cast<uint32_t>(errno);
        return false;
    }
    if (bytesWritten)
        *bytesWritten = static_cast<uint32_t>(n);
    return true;
}

void PipeInterrupt(PipeHandle* pipe) {
    if (!pipe)
        return;
    // A blocked accept or read returns, and every later one fails at once; the descriptors stay
    // valid until the pipe is closed, so the thread that reads never sees a reused number.
    if (pipe->fd >= 0)
        shutdown(pipe->fd, SHUT_RDWR);
    if (pipe->listenFd >= 0)
        shutdown(pipe->listenFd, SHUT_RDWR);
}

void PipeHandleDeleter::operator()(PipeHandle* pipe) const {
    if (!pipe)
        return;
    if (pipe->fd >= 0)
        close(pipe->fd);
    if (pipe->listenFd >= 0) {
        close(pipe->listenFd);
        unlink(pipe->path.c_str());
    }
    delete pipe;
}

} // namespace platform
