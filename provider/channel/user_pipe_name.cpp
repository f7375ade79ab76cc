#include "user_pipe_name.h"

#include "protocol.h"

namespace {

struct Text {
    char* at;
    size_t room;  // bytes left, the terminator's included
    bool ok = true;

    void Put(char c)
    {
        if (room <= 1) {
            ok = false;
            return;
        }
        *at++ = c;
        --room;
        *at = '\0';
    }
    void Put(const char* s)
    {
        while (*s != '\0') {
            Put(*s++);
        }
    }
    void Decimal(unsigned long long v)
    {
        char digits[20];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0) {
            Put(digits[--n]);
        }
    }
};

}  // namespace

bool FormatSidString(PSID sid, char* out, size_t capacity)
{
    if (sid == nullptr || out == nullptr || capacity == 0 || !IsValidSid(sid)) {
        return false;
    }
    // Read from the platform's SID record, as the string form is built.
    const SID* record = static_cast<const SID*>(sid);
    Text text{out, capacity};
    *out = '\0';
    text.Put("S-");
    text.Decimal(record->Revision);
    text.Put('-');
    const BYTE* a = record->IdentifierAuthority.Value;
    if (a[0] == 0 && a[1] == 0) {
        text.Decimal((static_cast<unsigned long>(a[2]) << 24) | (static_cast<unsigned long>(a[3]) << 16) |
                     (static_cast<unsigned long>(a[4]) << 8) | a[5]);
    } else {
        static const char kHex[] = "0123456789ABCDEF";
        text.Put("0x");
        for (int i = 0; i < 6; ++i) {
            text.Put(kHex[a[i] >> 4]);
            text.Put(kHex[a[i] & 0xF]);
        }
    }
    for (BYTE i = 0; i < record->SubAuthorityCount; ++i) {
        text.Put('-');
        text.Decimal(record->SubAuthority[i]);
    }
    return text.ok;
}

bool FormatUserPipeName(PSID sid, UserPipeName* name)
{
    static_assert(sizeof kPipeName < kUserPipeNameCapacity, "the name's prefix fits");
    char* at = name->text;
    for (const char* p = kPipeName; *p != '\0'; ++p) {
        *at++ = *p;
    }
    *at++ = '.';
    return FormatSidString(sid, at, static_cast<size_t>(name->text + sizeof name->text - at));
}
