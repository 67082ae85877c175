#pragma once
// Progress arithmetic of the installer download. Megabytes are decimal (1000000 bytes)
// and rounded down.

#include <cstdint>
#include <string>

// 90 × done / total, capped at 90, so the bar keeps room for the verification and
// the launch; 20 when the total is unknown (0).
int DownloadPercent(std::uint64_t doneBytes, std::uint64_t totalBytes);

// Whole decimal megabytes of `bytes`.
std::uint64_t Megabytes(std::uint64_t bytes);

// The detail line "<done MB> / <total MB> MB".
std::wstring DownloadDetail(std::uint64_t doneBytes, std::uint64_t totalMegabytes);
