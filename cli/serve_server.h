// `zentrel serve`: the page and its JSON API over HTTP, with the library's
// work done in worker processes.
#pragma once

#include "command_line.h"

namespace zentrel::cli {

// Serves until SIGINT, SIGTERM or SIGHUP; returns the tool's exit status.
// `workers` library processes (0: one per processor, at most 8).
int RunServe(const ServeOptions& options, int workers);

}  // namespace zentrel::cli
