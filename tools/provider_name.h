// The name the provider is registered under.
#pragma once

namespace zkt {

inline constexpr wchar_t kProviderName[] = L"Zentrava Key Storage Provider";

}  // namespace zkt
