#include "service_status.h"

const char* StoreResultText(StoreResult r)
{
    switch (r) {
    case StoreResult::Ok: return "ok";
    case StoreResult::NotFound: return "no such key";
    case StoreResult::Exists: return "a key of that name already exists";
    case StoreResult::Damaged: return "key file damaged";
    case StoreResult::BadName: return "invalid key name";
    case StoreResult::Failed: return "failed";
    }
    return "failed";
}
