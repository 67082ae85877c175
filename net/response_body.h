#pragma once

#include "net/download_request.h"

#include <string>

// Reads the whole body of `request` into memory, byte for byte (zero bytes kept,
// nothing decoded), pumping messages before each block. Releases the request before
// returning and on every failure. Raises "Download konnte nicht gelesen werden",
// "Download-Block konnte nicht gelesen werden" or "Abgebrochen".
std::string ReadResponseBody(DownloadRequest request);
