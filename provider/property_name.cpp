#include "property_name.h"

#include "handles.h"

bool PropertyNameTooLong(const wchar_t* name)
{
    return BoundedWideLength(name, kMaxPropertyNameChars) > kMaxPropertyNameChars;
}

bool PropertyNameEquals(const wchar_t* name, const wchar_t* candidate)
{
    for (size_t i = 0;; ++i) {
        if (name[i] != candidate[i]) {
            return false;
        }
        if (candidate[i] == L'\0') {
            return true;
        }
    }
}
