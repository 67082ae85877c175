#pragma once
// A manifest text as a client reads it: the setup's own reader, and for each member
// whether it fell back to its compiled-in default.

#include "manifest/installer_manifest.h"

#include <string>

struct ClientReading {
    InstallerManifest manifest;  // exactly what ReadManifest gives the setup
    std::string version;         // "version", read the same way; empty when missing
    bool urlIsDefault = false;
    bool fileNameIsDefault = false;
    bool sha256IsDefault = false;
    bool sizeIsDefault = false;
};

// Reads `text` with ReadManifest, and once more with the same searches and an empty
// (or zero) fallback, which they never return for a value they found. Never fails.
ClientReading ReadAsClient(const std::string& text);
