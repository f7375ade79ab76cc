// The subject of a request or certificate: an X.500 name string such as
// "CN=build signer,O=Example" turned into DER by CertStrToNameW.
#pragma once

#include "der_encode.h"

#include <string>

namespace zkt {

// False with a message that quotes where the string stops making sense.
bool EncodeSubjectName(const std::wstring& text, Bytes& der, std::string& error);

}  // namespace zkt
