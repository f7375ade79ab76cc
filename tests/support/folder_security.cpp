#include "folder_security.h"

#include <aclapi.h>
#include <sddl.h>

namespace zt {
namespace {

FolderSecurityRecorder* g_recorder = nullptr;
decltype(&CreateDirectoryW) g_createDirectory = nullptr;
decltype(&SetNamedSecurityInfoW) g_setNamed = nullptr;
decltype(&GetNamedSecurityInfoW) g_getNamed = nullptr;

constexpr SECURITY_INFORMATION kShown = DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;

// Mandatory label entries in SDDL. Written here because Wine's converter
// prints none (and garbles them as a SACL); this is the platform's notation.
std::wstring LabelSddl(PACL sacl)
{
    std::wstring s;
    for (DWORD i = 0; sacl != nullptr && i < sacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(sacl, i, &ace) || static_cast<ACE_HEADER*>(ace)->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
            continue;
        }
        const auto* label = static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace);
        std::wstring entry = L"(ML;";
        const struct {
            DWORD bit;
            const wchar_t* text;
        } flags[] = {{OBJECT_INHERIT_ACE, L"OI"}, {CONTAINER_INHERIT_ACE, L"CI"}, {NO_PROPAGATE_INHERIT_ACE, L"NP"},
                     {INHERIT_ONLY_ACE, L"IO"}, {INHERITED_ACE, L"ID"}},
          masks[] = {{SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, L"NW"}, {SYSTEM_MANDATORY_LABEL_NO_READ_UP, L"NR"},
                     {SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP, L"NX"}};
        for (const auto& f : flags) {
            entry += (label->Header.AceFlags & f.bit) ? f.text : L"";
        }
        entry += L";";
        for (const auto& m : masks) {
            entry += (label->Mask & m.bit) ? m.text : L"";
        }
        wchar_t* sid = nullptr;
        if (ConvertSidToStringSidW(const_cast<DWORD*>(&label->SidStart), &sid)) {
            const std::wstring text(sid);
            LocalFree(sid);
            entry += L";;;" + (text == L"S-1-16-4096"   ? std::wstring(L"LW")
                               : text == L"S-1-16-8192"  ? std::wstring(L"ME")
                               : text == L"S-1-16-12288" ? std::wstring(L"HI")
                                                         : text) + L")";
        }
        s += entry;
    }
    return s.empty() ? s : L"S:" + s;
}

// The DACL (with its flags) and the label of a descriptor in SDDL.
std::wstring Sddl(PSECURITY_DESCRIPTOR sd)
{
    wchar_t* text = nullptr;
    if (sd == nullptr ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                              nullptr)) {
        return L"";
    }
    std::wstring s(text);
    LocalFree(text);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    if (GetSecurityDescriptorSacl(sd, &present, &sacl, &defaulted) && present) {
        s += LabelSddl(sacl);
    }
    return s;
}

BOOL WINAPI RecordingCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa)
{
    g_recorder->made.push_back({path, Sddl(sa != nullptr ? sa->lpSecurityDescriptor : nullptr)});
    return g_createDirectory(path, sa);
}

DWORD WINAPI RecordingSetNamedSecurityInfoW(LPWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                                            PSID group, PACL dacl, PACL sacl)
{
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, dacl != nullptr, dacl, FALSE);
    SetSecurityDescriptorSacl(&sd, sacl != nullptr, sacl, FALSE);
    if (info & PROTECTED_DACL_SECURITY_INFORMATION) {
        SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }
    std::wstring sddl = (info & DACL_SECURITY_INFORMATION) != 0 ? Sddl(&sd) : L"";
    if ((info & LABEL_SECURITY_INFORMATION) != 0) {
        sddl += LabelSddl(sacl);
    }
    const DWORD result = g_setNamed(path, type, info, owner, group, dacl, sacl);
    g_recorder->set.push_back({path, info & ~PROTECTED_DACL_SECURITY_INFORMATION, sddl, result});
    return result;
}

DWORD WINAPI AnsweringGetNamedSecurityInfoW(LPCWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                                            PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                            PSECURITY_DESCRIPTOR* sd)
{
    if (g_recorder->answer().empty()) {
        return g_getNamed(path, type, info, owner, group, dacl, sacl, sd);
    }
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(g_recorder->answer().c_str(), SDDL_REVISION_1, sd,
                                                              nullptr)) {
        return GetLastError();
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (dacl != nullptr) {
        GetSecurityDescriptorDacl(*sd, &present, dacl, &defaulted);
    }
    if (sacl != nullptr) {
        GetSecurityDescriptorSacl(*sd, &present, sacl, &defaulted);
    }
    return ERROR_SUCCESS;
}

}  // namespace

bool ProtectsAnExistingFolder(Fn fn)
{
    return fn == Fn::GetNamedSecurityInfoW || fn == Fn::SetNamedSecurityInfoW ||
           fn == Fn::GetSecurityDescriptorControl || fn == Fn::GetSecurityDescriptorDacl ||
           fn == Fn::GetSecurityDescriptorSacl || fn == Fn::GetAce;
}

std::wstring CurrentUserSidString()
{
    HANDLE token = nullptr;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD n = 0;
    std::wstring s;
    wchar_t* text = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &n) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
            s = text;
            LocalFree(text);
        }
        CloseHandle(token);
    }
    return s;
}

std::wstring ReadBackSddl(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, kShown, nullptr, nullptr, nullptr, nullptr, &sd) !=
        ERROR_SUCCESS) {
        return L"";
    }
    std::wstring s = Sddl(sd);
    LocalFree(sd);
    return s;
}

std::vector<std::wstring> DaclTrustees(const std::wstring& sddl)
{
    std::vector<std::wstring> trustees;
    const size_t start = sddl.find(L"D:");
    const size_t end = sddl.find(L"S:");
    for (size_t open = sddl.find(L'(', start); open != std::wstring::npos && open < end;
         open = sddl.find(L'(', open + 1)) {
        const size_t close = sddl.find(L')', open);
        const size_t sid = sddl.rfind(L';', close);
        trustees.push_back(sddl.substr(sid + 1, close - sid - 1));
    }
    return trustees;
}

FolderSecurityRecorder::FolderSecurityRecorder(HMODULE module)
    : create_(module, "kernel32.dll", "CreateDirectoryW", reinterpret_cast<void*>(&RecordingCreateDirectoryW)),
      set_(module, "advapi32.dll", "SetNamedSecurityInfoW", reinterpret_cast<void*>(&RecordingSetNamedSecurityInfoW)),
      get_(module, "advapi32.dll", "GetNamedSecurityInfoW", reinterpret_cast<void*>(&AnsweringGetNamedSecurityInfoW))
{
    g_createDirectory = create_.original_as<decltype(&CreateDirectoryW)>();
    g_setNamed = set_.original_as<decltype(&SetNamedSecurityInfoW)>();
    g_getNamed = get_.original_as<decltype(&GetNamedSecurityInfoW)>();
    g_recorder = this;
}

FolderSecurityRecorder::~FolderSecurityRecorder()
{
    g_recorder = nullptr;
}

}  // namespace zt
