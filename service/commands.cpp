#include "commands.h"

#include "key_import.h"
#include "key_store.h"
#include "pipe_server.h"
#include "service_status.h"
#include "stop_signal.h"
#include "utf8_text.h"

#include <cstdio>

namespace {

int ExitFor(StoreResult r)
{
    switch (r) {
    case StoreResult::Ok: return kExitOk;
    case StoreResult::NotFound: return kExitKeyNotFound;
    case StoreResult::Exists: return kExitKeyExists;
    case StoreResult::Damaged: return kExitKeyDamaged;
    case StoreResult::BadName: return kExitUsage;
    case StoreResult::Failed: return kExitFailure;
    }
    return kExitFailure;
}

int ReportStoreFailure(const char* command, const std::wstring& name, StoreResult r, DWORD lastError)
{
    if (r == StoreResult::Failed && lastError != 0) {
        std::printf("%s \"%s\": failed (0x%08lx)\n", command, Utf8(name).c_str(), lastError);
    } else {
        std::printf("%s \"%s\": %s\n", command, Utf8(name).c_str(), StoreResultText(r));
    }
    return ExitFor(r);
}

int Create(const CommandLine& c)
{
    DWORD lastError = 0;
    StoreResult r = CreateKey(c.keyName, c.bits, &lastError);
    if (r == StoreResult::Exists) {
        // Say so when the file in the way is damaged: it is never replaced.
        HeapBlock blob;
        KeyFileStamp stamp;
        if (LoadKeyBlob(c.keyName, &blob, &stamp) == StoreResult::Damaged) {
            std::printf("create \"%s\": a damaged key file of that name exists; delete it first\n",
                        Utf8(c.keyName).c_str());
            return kExitKeyDamaged;
        }
    }
    if (r != StoreResult::Ok) {
        return ReportStoreFailure("create", c.keyName, r, lastError);
    }
    std::printf("created \"%s\" (%lu bits)\n", Utf8(c.keyName).c_str(), c.bits);
    return kExitOk;
}

int List()
{
    std::vector<KeyListEntry> keys;
    if (ListKeys(&keys) != StoreResult::Ok) {
        std::printf("list: cannot read the key folder\n");
        return kExitFailure;
    }
    int exitCode = kExitOk;
    for (const KeyListEntry& k : keys) {
        if (k.damaged) {
            std::printf("%s\tdamaged\t%s\n", k.name.empty() ? "?" : Utf8(k.name).c_str(),
                        Utf8(k.fileName).c_str());
            exitCode = kExitKeyDamaged;
        } else {
            if (k.bits == 0) {
                std::printf("%s\t?\n", Utf8(k.name).c_str());  // format 1: size not in clear
            } else {
                std::printf("%s\t%lu\n", Utf8(k.name).c_str(), k.bits);
            }
        }
    }
    return exitCode;
}

int Delete(const CommandLine& c)
{
    DWORD lastError = 0;
    StoreResult r = DeleteKey(c.keyName, &lastError);
    if (r != StoreResult::Ok) {
        return ReportStoreFailure("delete", c.keyName, r, lastError);
    }
    std::printf("deleted \"%s\"\n", Utf8(c.keyName).c_str());
    return kExitOk;
}

int ExitFor(ImportResult r)
{
    switch (r) {
    case ImportResult::Ok: return kExitOk;
    case ImportResult::InputUnreadable:
    case ImportResult::InputRefused: return kExitInputRefused;
    case ImportResult::KeyTooSmall: return kExitKeyTooSmall;
    case ImportResult::PasswordNeeded:
    case ImportResult::PasswordWrong: return kExitPasswordProblem;
    case ImportResult::CertOutNeedsPfx: return kExitUsage;
    case ImportResult::Exists: return kExitKeyExists;
    case ImportResult::Failed: return kExitFailure;
    }
    return kExitFailure;
}

int Import(const CommandLine& c)
{
    ImportRequest request{c.keyName, c.keyFile, c.passwordFile, c.certOut};
    ImportReport report;
    const ImportOutcome outcome = ImportKey(request, &report);
    if (outcome.result == ImportResult::Exists) {
        std::printf("import \"%s\": %s\n", Utf8(c.keyName).c_str(), outcome.detail.c_str());
        return kExitKeyExists;
    }
    if (outcome.result != ImportResult::Ok) {
        std::printf("import \"%s\": %s %s; nothing was imported\n", Utf8(c.keyName).c_str(), Utf8(c.keyFile).c_str(),
                    outcome.detail.c_str());
        return ExitFor(outcome.result);
    }
    std::printf("imported \"%s\" (%lu bits) from %s (%s)\n", Utf8(c.keyName).c_str(), report.bits,
                Utf8(c.keyFile).c_str(), KeyFormatName(report.format));
    if (report.certificateWritten) {
        std::printf("certificate written to %s\n", Utf8(c.certOut).c_str());
    }
    return kExitOk;
}

int Stop()
{
    DWORD lastError = 0;
    if (!SignalRunningService(&lastError)) {
        if (lastError == ERROR_FILE_NOT_FOUND) {
            std::printf("stop: no service is running\n");
            return kExitNotRunning;
        }
        std::printf("stop: cannot signal the service (%lu)\n", lastError);
        return kExitFailure;
    }
    std::printf("stop: signalled\n");
    return kExitOk;
}

}  // namespace

int RunCommand(const CommandLine& c)
{
    switch (c.command) {
    case Command::Create: return Create(c);
    case Command::List: return List();
    case Command::Delete: return Delete(c);
    case Command::Import: return Import(c);
    case Command::Serve: return Serve(c.serve);
    case Command::Stop: return Stop();
    case Command::Help: std::fputs(ServiceUsageText(), stdout); return kExitOk;
    }
    return kExitUsage;
}
