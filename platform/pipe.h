// The control pipe between the parent application and this process, as a byte stream.
// Windows: the named pipe "\\.\pipe\<name>". Linux: a Unix-domain stream socket that the
// parent binds and listens on; a name containing '/' is the socket path itself, any other name
// lives at "$TMPDIR/ecgcomm-pipe-<name>" ($TMPDIR unset or empty: /tmp). The path must fit the
// 107 bytes of a socket address.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class PipeHandle;

// Closes the pipe and frees it; the server role also removes the name it created.
struct PipeHandleDeleter {
    void operator()(PipeHandle* pipe) const;
};
// The owner of an open pipe; the functions below only use the pipe they are given.
using UniquePipe = std::unique_ptr<PipeHandle, PipeHandleDeleter>;

// The full platform name of the pipe for a bare name.
std::string PipePath(const std::string& name);

// Server role: creates the pipe and waits for no one (the first Read or Write accepts the
// client). Null on failure, with the platform error in *error.
UniquePipe PipeCreate(const std::string& name, uint32_t* error);

// Client role: connects to a pipe somebody else created; fails at once when there is none.
// A pipe created by another user is refused, as whoever holds it could stop this process or
// keep it from ever being stopped: null, with an access-denied error in *error and, in
// *foreignOwner, whose it was (for example "user nobody (uid 65534)"). On Linux a socket of
// root's is accepted too. *foreignOwner stays empty for every other failure.
UniquePipe PipeConnect(const std::string& name, uint32_t* error, std::string* foreignOwner);

// One blocking read or write. False on failure with the platform error in *error; a read at
// the end of the stream (the other side closed) also fails.
bool PipeRead(PipeHandle* pipe, void* buffer, uint32_t size, uint32_t* bytesRead, uint32_t* error);
bool PipeWrite(PipeHandle* pipe, const void* buffer, uint32_t size, uint32_t* bytesWritten,
               uint32_t* error);

// Ends a read or write that waits in another thread, and makes every later one fail at once.
// The pipe stays open until its owner closes it.
void PipeInterrupt(PipeHandle* pipe);

} // namespace platform
