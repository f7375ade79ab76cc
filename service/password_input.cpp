#include "password_input.h"

#include "key_input.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMaxPasswordFileBytes = 64 * 1024;
constexpr DWORD kMaxPromptChars = 1024;

// UTF-8 (an optional byte order mark, up to the first line end) to UTF-16.
ImportOutcome FromUtf8Line(const BYTE* text, size_t size, HeapBlock* password)
{
    if (size >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) {
        text += 3;
        size -= 3;
    }
    size_t line = 0;
    while (line < size && text[line] != '\r' && text[line] != '\n') {
        ++line;
    }
    const int chars = line == 0 ? 0
                                : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(text),
                                                      static_cast<int>(line), nullptr, 0);
    if (line != 0 && chars <= 0) {
        return Refuse(ImportResult::InputRefused, "the password file is not UTF-8 text");
    }
    HeapBlock wide((static_cast<size_t>(chars) + 1) * sizeof(wchar_t));
    if (!wide) {
        return Refuse(ImportResult::Failed, "out of memory");
    }
    auto* out = reinterpret_cast<wchar_t*>(wide.get());
    if (chars > 0) {
        MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(text), static_cast<int>(line), out, chars);
    }
    out[chars] = L'\0';
    *password = static_cast<HeapBlock&&>(wide);
    return {};
}

ImportOutcome Prompt(const std::wstring& forFile, HeapBlock* password)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || input == nullptr || !GetConsoleMode(input, &mode)) {
        return Refuse(ImportResult::PasswordNeeded,
                      "is a PFX and needs its password: give --password-file <file> (there is no console to ask on)");
    }
    HeapBlock typed((kMaxPromptChars + 1) * sizeof(wchar_t));
    if (!typed) {
        return Refuse(ImportResult::Failed, "out of memory");
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, forFile.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string name(length > 0 ? static_cast<size_t>(length) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, forFile.c_str(), -1, name.data(), length, nullptr, nullptr);
    std::fprintf(stderr, "Password for %s: ", name.c_str());
    std::fflush(stderr);
    SetConsoleMode(input, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT);
    auto* chars = reinterpret_cast<wchar_t*>(typed.get());
    DWORD read = 0;
    const BOOL ok = ReadConsoleW(input, chars, kMaxPromptChars, &read, nullptr);
    SetConsoleMode(input, mode);
    std::fprintf(stderr, "\n");
    if (!ok) {
        return Refuse(ImportResult::PasswordNeeded, "is a PFX and its password could not be read from the console");
    }
    while (read > 0 && (chars[read - 1] == L'\n' || chars[read - 1] == L'\r')) {
        --read;
    }
    chars[read] = L'\0';
    *password = static_cast<HeapBlock&&>(typed);
    return {};
}

}  // namespace

ImportOutcome ReadPassword(const std::wstring& passwordFile, const std::wstring& forFile, HeapBlock* password)
{
    if (passwordFile.empty()) {
        return Prompt(forFile, password);
    }
    HeapBlock content;
    ImportOutcome read = ReadSecretFile(passwordFile, kMaxPasswordFileBytes, &content);
    if (read.result != ImportResult::Ok) {
        read.detail = "(the password file) " + read.detail;
        return read;
    }
    return FromUtf8Line(content.get(), content.size(), password);
}
