// Security for the pipe and the stop event: a DACL that admits only the
// user the service runs as, and a mandatory label that refuses reads and
// writes from below medium integrity, so that a sandboxed process of the
// same user cannot even hold an instance.
#pragma once

#include "unique_resource.h"

#include <windows.h>

struct CurrentUserSecurity {
    SECURITY_ATTRIBUTES attributes{};
    UniqueLocalBlock descriptor;  // self-relative, from the platform's SDDL parser
};

// The descriptor as SDDL: owner and only ACE the user, label S:(ML;;NWNR;;;ME).
bool BuildCurrentUserSecurity(CurrentUserSecurity* security);
