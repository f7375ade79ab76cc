#include "serving_names.h"

#include "caller_user.h"
#include "stop_signal.h"
#include "user_pipe_name.h"

namespace {

std::wstring Widen(const char* ascii)
{
    std::wstring out;
    for (; *ascii != '\0'; ++ascii) {
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*ascii)));
    }
    return out;
}

}  // namespace

bool ReadServingNames(ServingNames* names)
{
    // The provider derives the pipe's name the same way, from its caller.
    TokenUserRecord user;
    UserPipeName pipe;
    char sid[kUserPipeNameCapacity] = {};
    if (!ReadCallerUser(&user) || !FormatUserPipeName(user.sid(), &pipe) ||
        !FormatSidString(user.sid(), sid, sizeof sid)) {
        return false;
    }
    names->userPipe = Widen(pipe.text);
    names->stopEvent = std::wstring(kStopEventName) + L"." + Widen(sid);
    return true;
}
