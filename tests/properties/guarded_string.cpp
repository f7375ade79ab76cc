#include "guarded_string.h"

#include <cstring>

namespace zt {

GuardedString::GuardedString(const std::wstring& units)
{
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    const size_t bytes = units.size() * sizeof(wchar_t);
    const size_t dataPages = (bytes + page - 1) / page + 1;
    base_ = static_cast<BYTE*>(VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (base_ == nullptr) {
        return;
    }
    DWORD old = 0;
    VirtualProtect(base_ + dataPages * page, page, PAGE_NOACCESS, &old);
    BYTE* start = base_ + dataPages * page - bytes;
    std::memcpy(start, units.data(), bytes);
    text_ = reinterpret_cast<const wchar_t*>(start);
}

GuardedString::~GuardedString()
{
    if (base_ != nullptr) {
        VirtualFree(base_, 0, MEM_RELEASE);
    }
}

}  // namespace zt
