#include "temp_key_file.h"

#include "long_path.h"
#include "unique_resource.h"

#include <bcrypt.h>

bool RandomTempPath(const std::wstring& keyFile, std::wstring* temp, LONG* status)
{
    BYTE random[16];
    *status = BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (*status < 0) {
        return false;
    }
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring suffix = L".";
    for (BYTE b : random) {
        suffix.push_back(kHex[b >> 4]);
        suffix.push_back(kHex[b & 0xF]);
    }
    *temp = keyFile + suffix + L".tmp";
    return true;
}

void RemoveStaleTempFiles(const std::wstring& keysFolder)
{
    WIN32_FIND_DATAW found;
    const UniqueFind search(FindFirstFileW(ExtendedPath(keysFolder + L"\\*.key.*.tmp").c_str(), &found));
    if (!search) {
        return;
    }
    FILETIME nowTime;
    GetSystemTimeAsFileTime(&nowTime);
    const ULONGLONG now = (static_cast<ULONGLONG>(nowTime.dwHighDateTime) << 32) | nowTime.dwLowDateTime;
    constexpr ULONGLONG kTicksPerSecond = 10000000;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        const ULONGLONG written = (static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                                  found.ftLastWriteTime.dwLowDateTime;
        if (written < now && now - written > kStaleTempAgeSeconds * kTicksPerSecond) {
            DeleteFileW(ExtendedPath(keysFolder + L"\\" + found.cFileName).c_str());
        }
    } while (FindNextFileW(search.get(), &found));
}
