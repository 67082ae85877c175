#include "release_tool/client_reading.h"

#include "manifest/manifest_reader.h"
#include "manifest/manifest_text.h"

ClientReading ReadAsClient(const std::string& text) {
    ClientReading reading;
    reading.manifest = ReadManifest(text);
    reading.version = ReadManifestString(text, "version", "");
    reading.urlIsDefault = ReadManifestString(text, "url", "").empty();
    reading.fileNameIsDefault = ReadManifestString(text, "fileName", "").empty();
    reading.sha256IsDefault = ReadManifestString(text, "sha256", "").empty();
    reading.sizeIsDefault = ReadManifestSize(text, 0) == 0;
    return reading;
}
