#include "cache/download_progress.h"

namespace {

// Decimal digits of `value`, appended to `text`.
void AppendDecimal(std::wstring& text, std::uint64_t value) {
    wchar_t digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) text += digits[--count];
}

}  // namespace

int DownloadPercent(std::uint64_t doneBytes, std::uint64_t totalBytes) {
    if (totalBytes == 0) return 20;
    // Capped before narrowing: a body far longer than announced must not wrap the
    // 32-bit value into a smaller or negative percentage.
    const std::uint64_t percent = doneBytes * 90 / totalBytes;
    return percent > 90 ? 90 : static_cast<int>(percent);
}

std::uint64_t Megabytes(std::uint64_t bytes) { return bytes / 1000000; }

std::wstring DownloadDetail(std::uint64_t doneBytes, std::uint64_t totalMegabytes) {
    // "%llu / %llu MB", written out by hand: the C runtime's formatted printing would
    // bring its whole floating-point formatter into the program for two integers.
    std::wstring detail;
    AppendDecimal(detail, Megabytes(doneBytes));
    detail += L" / ";
    AppendDecimal(detail, totalMegabytes);
    detail += L" MB";
    return detail;
}
