#pragma once

#include "release_tool/command_line.h"

// `check`: reads the manifest from a file or from ManifestUrl (with the setup's own
// HTTPS request), prints the caching headers of every HTTPS response it gets (the live
// manifest; the installer's download, or with --live alone a HEAD of it) with a warning
// on stderr when the manifest may be cached for more than five minutes or the
// installer not at all (neither changes the result), prints what a client uses (each member, which fell back to its
// default, the file name after the policy), applies the policy, and verifies the
// installer file or the download from the manifest's url (into a temporary file that is
// removed on every path) with the setup's own verification. Returns when a client
// would accept all of it; raises the reason otherwise, led by the member concerned.
void RunCheckCommand(const CheckOptions& options);
