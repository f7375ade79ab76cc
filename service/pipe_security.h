// Security for the pipe and the stop event: a DACL that admits only the
// user the service runs as.
#pragma once

#include <windows.h>

struct CurrentUserSecurity {
    CurrentUserSecurity() = default;
    CurrentUserSecurity(const CurrentUserSecurity&) = delete;
    CurrentUserSecurity& operator=(const CurrentUserSecurity&) = delete;
    ~CurrentUserSecurity();

    SECURITY_ATTRIBUTES attributes{};
    SECURITY_DESCRIPTOR descriptor{};
    BYTE* tokenUser = nullptr;  // TOKEN_USER; owns the SID the ACL points at
    BYTE* acl = nullptr;
};

bool BuildCurrentUserSecurity(CurrentUserSecurity* security);
