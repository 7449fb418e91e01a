// Placeholder pipe that never opens. Replaced by the real control pipe.
#include "server/cmn_pipe.h"

CCmnPipe::CCmnPipe() = default;
CCmnPipe::~CCmnPipe() { Close(); }
bool CCmnPipe::Open(const std::string&, bool) { return false; }
bool CCmnPipe::Close() { return true; }
bool CCmnPipe::Read(void*, uint32_t, uint32_t*) { return false; }
bool CCmnPipe::Write(const void*, uint32_t, uint32_t*) { return false; }
