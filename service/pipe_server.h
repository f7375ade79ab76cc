// "serve": the pipe's security, its first instance, the stop event and the
// pipe secret, then the serving core until stopped.
#pragma once

#include "serve_options.h"

// Runs until the stop event is set; returns the program's exit code.
int Serve(const ServeOptions& options);
