#include "pipe_pair.h"

namespace zt {

PipePair::PipePair(const wchar_t* name)
{
    server = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                              4096, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE) {
        return;
    }
    // Opening the client end connects the instance; no listen is needed.
    client = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

PipePair::~PipePair()
{
    if (client != INVALID_HANDLE_VALUE) {
        CloseHandle(client);
    }
    if (server != INVALID_HANDLE_VALUE) {
        CloseHandle(server);
    }
}

}  // namespace zt
