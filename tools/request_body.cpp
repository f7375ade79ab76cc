#include "request_body.h"

namespace zkt {

bool BuildRequestBody(const Bytes& subject, const Bytes& subjectPublicKeyInfo,
                      const std::vector<Extension>& extensions, Bytes& der)
{
    const int version = 0;
    Bytes versionDer, extensionsDer, attributesDer;
    if (!EncodeObject(X509_INTEGER, &version, versionDer)) {
        return false;
    }
    CRYPT_ATTR_BLOB value{};
    CRYPT_ATTRIBUTE request{const_cast<LPSTR>(szOID_RSA_certExtensions), 1, &value};
    CRYPT_ATTRIBUTES attributes{0, nullptr};
    if (!extensions.empty()) {
        if (!EncodeExtensions(extensions, extensionsDer)) {
            return false;
        }
        value = {static_cast<DWORD>(extensionsDer.size()), extensionsDer.data()};
        attributes = {1, &request};
    }
    constexpr uint8_t kContext0Constructed = 0xA0;
    return EncodeObject(PKCS_ATTRIBUTES, &attributes, attributesDer) && Retag(attributesDer, kContext0Constructed) &&
           SequenceOf({versionDer, subject, subjectPublicKeyInfo, attributesDer}, der);
}

}  // namespace zkt
