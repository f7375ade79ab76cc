#include "private_folder.h"

#include "caller_user.h"
#include "unique_resource.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>

namespace {

constexpr wchar_t kUserAce[] = L"D:P(A;OICI;FA;;;";
constexpr wchar_t kRest[] = L")(A;OICI;FA;;;SY)S:(ML;OICI;NWNR;;;ME)";
// A SID string is at most 184 units.
constexpr size_t kSddlUnits = 320;

// A failure's error, never ERROR_SUCCESS.
DWORD FailureError()
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

// The descriptor for the caller's user, self-relative, from the platform's
// SDDL parser (a LocalAlloc block).
DWORD BuildPrivateSecurity(UniqueLocalBlock* descriptor)
{
    TokenUserRecord user;
    wchar_t* sidText = nullptr;
    if (!ReadCallerUser(&user) || !ConvertSidToStringSidW(user.sid(), &sidText)) {
        return FailureError();
    }
    const UniqueLocalBlock heldSid(SizedBlock{reinterpret_cast<BYTE*>(sidText), 0});
    const size_t sidUnits = std::wcslen(sidText);
    const size_t head = std::wcslen(kUserAce);
    const size_t rest = std::wcslen(kRest);
    if (head + sidUnits + rest + 1 > kSddlUnits) {
        return ERROR_INVALID_SID;
    }
    wchar_t sddl[kSddlUnits];
    std::wmemcpy(sddl, kUserAce, head);
    std::wmemcpy(sddl + head, sidText, sidUnits);
    std::wmemcpy(sddl + head + sidUnits, kRest, rest + 1);
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made, nullptr)) {
        return FailureError();
    }
    descriptor->Reset(SizedBlock{static_cast<BYTE*>(made), 0});
    return ERROR_SUCCESS;
}

// The first mandatory label entry of an ACL, or null.
const ACE_HEADER* LabelAce(PACL acl)
{
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(acl, i, &ace)) {
            return nullptr;
        }
        if (static_cast<const ACE_HEADER*>(ace)->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
            return static_cast<const ACE_HEADER*>(ace);
        }
    }
    return nullptr;
}

// A protected DACL (ours, or one the user chose since) and our very label.
bool AlreadyPrivate(const wchar_t* path, PACL wantedLabel)
{
    PSECURITY_DESCRIPTOR found = nullptr;
    PACL dacl = nullptr;
    PACL sacl = nullptr;
    if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, &sacl, &found) != ERROR_SUCCESS) {
        return false;
    }
    const UniqueLocalBlock held(SizedBlock{static_cast<BYTE*>(found), 0});
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(found, &control, &revision) || (control & SE_DACL_PROTECTED) == 0) {
        return false;
    }
    const ACE_HEADER* have = LabelAce(sacl);
    const ACE_HEADER* want = LabelAce(wantedLabel);
    return have != nullptr && want != nullptr && have->AceSize == want->AceSize &&
           std::memcmp(have, want, want->AceSize) == 0;
}

// Best effort, in two steps: the DACL needs WRITE_DAC, which the owner has;
// the label needs WRITE_OWNER, which the new DACL gives the user. On Windows
// the inheritable entries also reach the files already inside.
void MakePrivate(const wchar_t* path, PACL dacl, PACL label)
{
    wchar_t* name = const_cast<wchar_t*>(path);
    SetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                          nullptr, nullptr, dacl, nullptr);
    SetNamedSecurityInfoW(name, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, label);
}

}  // namespace

DWORD EnsurePrivateFolder(const wchar_t* path)
{
    UniqueLocalBlock descriptor;
    const DWORD built = BuildPrivateSecurity(&descriptor);
    if (built != ERROR_SUCCESS) {
        return built;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get().data, FALSE};
    if (CreateDirectoryW(path, &attributes)) {
        return ERROR_SUCCESS;
    }
    const DWORD error = FailureError();
    if (error != ERROR_ALREADY_EXISTS) {
        return error;
    }
    // Made by an older version, or by hand: protect it now if we may. If we
    // may not, someone set it up that way; the folder is used as it is.
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PACL label = nullptr;
    if (GetSecurityDescriptorDacl(descriptor.get().data, &present, &dacl, &defaulted) &&
        GetSecurityDescriptorSacl(descriptor.get().data, &present, &label, &defaulted) &&
        !AlreadyPrivate(path, label)) {
        MakePrivate(path, dacl, label);
    }
    return ERROR_SUCCESS;
}
