#pragma once

// Prints the release constants compiled into this build, one "key: value" line each,
// in this order: host, manifest-url, default-url, default-file-name, default-size,
// default-sha256, minimum-size. The release scripts read them here rather than from
// the source text, so they check against exactly what the setup of this build uses.
void RunDefaultsCommand();
