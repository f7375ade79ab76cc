#include "key_input.h"

#include "pem.h"
#include "unique_resource.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

namespace {

constexpr BYTE kTagInteger = 0x02;
constexpr BYTE kTagOctetString = 0x04;
constexpr BYTE kTagSequence = 0x30;

ImportOutcome Unpem(std::string_view text, const pem::Block& block, KeyInput* input)
{
    if (block.label == "ENCRYPTED PRIVATE KEY" || block.hasHeaders) {
        return Refuse(ImportResult::InputRefused,
                      "holds an encrypted key (PEM \"" + block.label +
                          "\"); decrypt it first (for example \"openssl pkey -in <file> -out plain.pem\") or bring "
                          "it as a PFX with its password");
    }
    if (block.label == "PRIVATE KEY") {
        input->format = KeyFormat::Pkcs8;
    } else if (block.label == "RSA PRIVATE KEY") {
        input->format = KeyFormat::Pkcs1;
    } else {
        return Refuse(ImportResult::InputRefused, "holds a PEM \"" + block.label + "\" block, not an RSA private key");
    }
    std::size_t length = 0;
    if (!pem::DecodeBody(text, block, nullptr, &length) || length == 0) {
        return Refuse(ImportResult::InputRefused, "holds a PEM block whose base64 does not decode");
    }
    HeapBlock der(length);
    if (!der) {
        return Refuse(ImportResult::Failed, "out of memory");
    }
    if (!pem::DecodeBody(text, block, der.get(), &length)) {
        return Refuse(ImportResult::InputRefused, "holds a PEM block whose base64 does not decode");
    }
    input->der.Adopt(der.Release(), length);
    return {};
}

// Which DER structure this is, by its outer fields.
ImportOutcome ClassifyDer(HeapBlock&& content, KeyInput* input)
{
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(content.size()), content.get()};
    if (PFXIsPFXBlob(&blob)) {
        input->format = KeyFormat::Pfx;
        input->der = static_cast<HeapBlock&&>(content);
        return {};
    }
    DWORD length = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_SEQUENCE_OF_ANY, content.get(), static_cast<DWORD>(content.size()),
                             CRYPT_DECODE_NOCOPY_FLAG, nullptr, nullptr, &length)) {
        return Refuse(ImportResult::InputRefused, "is neither PEM nor a DER private key, PFX or PKCS#8 structure");
    }
    HeapBlock decoded(length);
    if (!decoded || !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_SEQUENCE_OF_ANY, content.get(),
                                         static_cast<DWORD>(content.size()), CRYPT_DECODE_NOCOPY_FLAG, nullptr,
                                         decoded.get(), &length)) {
        return Refuse(ImportResult::InputRefused, "is not a DER structure");
    }
    const auto* fields = reinterpret_cast<const CRYPT_SEQUENCE_OF_ANY*>(decoded.get());
    auto tag = [&](DWORD i) { return fields->rgValue[i].cbData > 0 ? fields->rgValue[i].pbData[0] : 0; };
    if (fields->cValue >= 3 && tag(0) == kTagInteger && tag(1) == kTagSequence && tag(2) == kTagOctetString) {
        input->format = KeyFormat::Pkcs8;
    } else if (fields->cValue >= 9 && tag(0) == kTagInteger && tag(1) == kTagInteger && tag(8) == kTagInteger) {
        input->format = KeyFormat::Pkcs1;
    } else if (fields->cValue == 2 && tag(0) == kTagSequence && tag(1) == kTagOctetString) {
        return Refuse(ImportResult::InputRefused,
                      "holds an encrypted PKCS#8 key; decrypt it first (for example \"openssl pkey -inform DER -in "
                      "<file> -out plain.pem\") or bring it as a PFX with its password");
    } else {
        return Refuse(ImportResult::InputRefused, "is a DER structure but not a private key, PFX or PKCS#8 key");
    }
    input->der = static_cast<HeapBlock&&>(content);
    return {};
}

}  // namespace

const char* KeyFormatName(KeyFormat format)
{
    switch (format) {
    case KeyFormat::Pkcs8: return "PKCS#8";
    case KeyFormat::Pkcs1: return "PKCS#1";
    case KeyFormat::Pfx: return "PFX";
    }
    return "?";
}

ImportOutcome ReadSecretFile(const std::wstring& path, size_t maxBytes, HeapBlock* content)
{
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        char text[64];
        snprintf(text, sizeof text, "cannot be opened (Win32 error %lu)", GetLastError());
        return Refuse(ImportResult::InputUnreadable, text);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        return Refuse(ImportResult::InputUnreadable, "cannot be read");
    }
    if (static_cast<ULONGLONG>(size.QuadPart) > maxBytes) {
        return Refuse(ImportResult::InputRefused,
                      "is larger than any key file (" + std::to_string(maxBytes / 1024) + " KiB at most)");
    }
    HeapBlock data(static_cast<size_t>(size.QuadPart));
    if (!data) {
        return Refuse(ImportResult::Failed, "out of memory");
    }
    DWORD read = 0;
    if (data.size() > 0 &&
        (!ReadFile(file.get(), data.get(), static_cast<DWORD>(data.size()), &read, nullptr) || read != data.size())) {
        return Refuse(ImportResult::InputUnreadable, "cannot be read");
    }
    *content = static_cast<HeapBlock&&>(data);
    return {};
}

ImportOutcome ReadKeyInput(const std::wstring& path, KeyInput* input)
{
    HeapBlock content;
    ImportOutcome read = ReadSecretFile(path, kMaxKeyInputBytes, &content);
    if (read.result != ImportResult::Ok) {
        return read;
    }
    if (content.size() == 0) {
        return Refuse(ImportResult::InputRefused, "is empty");
    }
    pem::Block block;
    const std::string_view text(reinterpret_cast<const char*>(content.get()), content.size());
    if (pem::FindBlock(text, &block)) {
        return Unpem(text, block, input);
    }
    return ClassifyDer(static_cast<HeapBlock&&>(content), input);
}
