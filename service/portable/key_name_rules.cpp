#include "key_name_rules.h"

bool IsValidKeyName(std::u16string_view name)
{
    return !name.empty() && name.size() <= kMaxKeyNameChars && name.find(u'\0') == std::u16string_view::npos;
}
