#include "key_import.h"

#include "imported_key.h"
#include "key_store.h"
#include "password_input.h"
#include "pem.h"
#include "pfx_containers.h"
#include "pfx_key.h"
#include "private_key_decode.h"
#include "temp_key_file.h"
#include "unique_resource.h"

#include <cstdio>
#include <vector>

namespace {

ImportOutcome DecodeInput(const ImportRequest& request, const KeyInput& input, HeapBlock* blob, ULONG* bits,
                          std::vector<BYTE>* certificate)
{
    switch (input.format) {
    case KeyFormat::Pkcs8: return DecodePkcs8(input.der.get(), input.der.size(), blob, bits);
    case KeyFormat::Pkcs1: return DecodePkcs1(input.der.get(), input.der.size(), blob, bits);
    case KeyFormat::Pfx: break;
    }
    HeapBlock password;
    ImportOutcome asked = ReadPassword(request.passwordFile, request.file, &password);
    if (asked.result != ImportResult::Ok) {
        return asked;
    }
    return DecodePfx(input.der, reinterpret_cast<const wchar_t*>(password.get()), blob, bits, certificate);
}

// The certificate in PEM beside its target, renamed into place once the key
// is stored.
ImportOutcome WriteTempCertificate(const std::wstring& target, const std::vector<BYTE>& der, std::wstring* temp)
{
    LONG status = 0;
    const std::string text = pem::Encode("CERTIFICATE", der.data(), der.size());
    if (text.empty() || !RandomTempPath(target, temp, &status)) {
        return Refuse(ImportResult::Failed, "the certificate could not be encoded");
    }
    bool ok = false;
    {
        const UniqueFile file(
            CreateFileW(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            char detail[96];
            snprintf(detail, sizeof detail, "the certificate file cannot be written there (Win32 error %lu)",
                     GetLastError());
            return Refuse(ImportResult::Failed, detail);
        }
        DWORD written = 0;
        ok = WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
             written == text.size() && FlushFileBuffers(file.get());
    }
    // Closed first: a file still open cannot go.
    if (!ok) {
        DeleteFileW(temp->c_str());
        return Refuse(ImportResult::Failed, "the certificate file could not be written");
    }
    return {};
}

ImportOutcome FromStore(StoreResult r, DWORD lastError)
{
    switch (r) {
    case StoreResult::Ok: return {};
    case StoreResult::Exists:
    case StoreResult::Damaged: return Refuse(ImportResult::Exists, "a key of that name exists; delete it first");
    default: break;
    }
    char detail[64];
    snprintf(detail, sizeof detail, "the key could not be stored (0x%08lx)", lastError);
    return Refuse(ImportResult::Failed, detail);
}

}  // namespace

ImportOutcome ImportKey(const ImportRequest& request, ImportReport* report)
{
    // A PFX import that ended between its import and its clean-up left an
    // exportable copy of a key in the user's containers.
    RemoveContainersOfInterruptedImports();
    KeyFileStamp existing;
    if (StatKeyFile(request.name, &existing) != StoreResult::NotFound) {
        return Refuse(ImportResult::Exists, "a key of that name exists; delete it first");
    }
    KeyInput input;
    ImportOutcome outcome = ReadKeyInput(request.file, &input);
    if (outcome.result != ImportResult::Ok) {
        return outcome;
    }
    report->format = input.format;
    if (!request.certOut.empty() && input.format != KeyFormat::Pfx) {
        return Refuse(ImportResult::CertOutNeedsPfx,
                      std::string("is ") + KeyFormatName(input.format) + " and carries no certificate for --cert-out");
    }
    HeapBlock candidate, stored;
    std::vector<BYTE> certificate;
    outcome = DecodeInput(request, input, &candidate, &report->bits, &certificate);
    if (outcome.result != ImportResult::Ok) {
        return outcome;
    }
    if (report->bits < kMinImportBits) {
        return Refuse(ImportResult::KeyTooSmall, "holds a " + std::to_string(report->bits) +
                                                     "-bit key; the signing service keeps keys of 2048 bits or more");
    }
    if (report->bits > kMaxImportBits) {
        return Refuse(ImportResult::InputRefused, "holds a " + std::to_string(report->bits) +
                                                      "-bit key; the provider handles at most 16384 bits");
    }
    outcome = NormaliseImportedKey(candidate, &stored);
    if (outcome.result != ImportResult::Ok) {
        return outcome;
    }
    std::wstring tempCertificate;
    if (!request.certOut.empty()) {
        outcome = WriteTempCertificate(request.certOut, certificate, &tempCertificate);
        if (outcome.result != ImportResult::Ok) {
            return outcome;
        }
    }
    DWORD lastError = 0;
    const StoreResult storedResult = StoreNewKey(request.name, stored, &lastError);
    outcome = FromStore(storedResult, lastError);
    if (outcome.result != ImportResult::Ok) {
        if (!tempCertificate.empty()) {
            DeleteFileW(tempCertificate.c_str());
        }
        return outcome;
    }
    if (!tempCertificate.empty()) {
        if (!MoveFileExW(tempCertificate.c_str(), request.certOut.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            DeleteFileW(tempCertificate.c_str());
            return Refuse(ImportResult::Failed, "the key was imported, but its certificate could not be written");
        }
        report->certificateWritten = true;
    }
    return {};
}
