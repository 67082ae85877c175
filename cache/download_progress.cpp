#include "cache/download_progress.h"

#include <cwchar>

int DownloadPercent(std::uint64_t doneBytes, std::uint64_t totalBytes) {
    if (totalBytes == 0) return 20;
    // Capped before narrowing: a body far longer than announced must not wrap the
    // 32-bit value into a smaller or negative percentage.
    const std::uint64_t percent = doneBytes * 90 / totalBytes;
    return percent > 90 ? 90 : static_cast<int>(percent);
}

std::uint64_t Megabytes(std::uint64_t bytes) { return bytes / 1000000; }

std::wstring DownloadDetail(std::uint64_t doneBytes, std::uint64_t totalMegabytes) {
    wchar_t detail[160] = {};
    std::swprintf(detail, 160, L"%llu / %llu MB", static_cast<unsigned long long>(Megabytes(doneBytes)),
                  static_cast<unsigned long long>(totalMegabytes));
    return detail;
}
