#include "pipe_security.h"

#include "heap_block.h"
#include "unique_resource.h"

#include <sddl.h>

#include <string>

namespace {

// The SID of the user this process runs as, in its string form.
bool CurrentUserSid(std::wstring* sid)
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) {
        token.Forget();
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    HeapBlock user(size);
    if (size == 0 || !user || !GetTokenInformation(token.get(), TokenUser, user.get(), size, &size)) {
        return false;
    }
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid, &text)) {
        return false;
    }
    const UniqueLocalBlock held(SizedBlock{reinterpret_cast<BYTE*>(text), 0});
    sid->assign(text);
    return true;
}

}  // namespace

bool BuildCurrentUserSecurity(CurrentUserSecurity* security)
{
    std::wstring sid;
    if (!CurrentUserSid(&sid)) {
        return false;
    }
    // Protected DACL with one ACE, GENERIC_ALL for the user; SACL: the
    // medium mandatory label with no-write-up and no-read-up.
    const std::wstring sddl = L"O:" + sid + L"D:P(A;;GA;;;" + sid + L")S:(ML;;NWNR;;;ME)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    security->descriptor.Reset(SizedBlock{static_cast<BYTE*>(descriptor), 0});
    security->attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    security->attributes.lpSecurityDescriptor = descriptor;
    security->attributes.bInheritHandle = FALSE;
    return true;
}
