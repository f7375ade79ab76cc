#include "provider_registration.h"

// The platform's record types use non-const pointers although CNG only reads
// them, hence the casts; everything here is constant data.
namespace {

constinit PWSTR const kFunctions[] = {const_cast<PWSTR>(L"KEY_STORAGE")};

constinit const CRYPT_INTERFACE_REG kKeyStorageRegistration = {
    kKeyStorageInterface,
    CRYPT_LOCAL,
    1,
    const_cast<PWSTR*>(kFunctions),
};

constinit PCRYPT_INTERFACE_REG const kInterfaces[] = {const_cast<PCRYPT_INTERFACE_REG>(&kKeyStorageRegistration)};

constinit const CRYPT_IMAGE_REG kUserModeImage = {
    const_cast<PWSTR>(L"ZentravaKSP.dll"),
    1,
    const_cast<PCRYPT_INTERFACE_REG*>(kInterfaces),
};

}  // namespace

constinit const CRYPT_PROVIDER_REG kProviderRegistration = {
    0,
    nullptr,
    const_cast<PCRYPT_IMAGE_REG>(&kUserModeImage),
    nullptr,
};
