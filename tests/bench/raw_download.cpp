// raw_download: the setup's download loop without the setup around it, to show what
// WinHTTP alone takes for a file.
//
//   raw_download.exe <https url> <file>
//
// Opens the GET with the setup's own OpenHttpsGet, then repeats what DownloadToFile
// does per block (WinHttpQueryDataAvailable, WinHttpReadData into a 256 KiB buffer
// grown to what is available, WriteFile), with no window and no message pump.
// Prints one line:  bytes=<n> blocks=<n> largest=<bytes> seconds=<s>
// where seconds run from before the request is opened until the file is closed.
// Exit status 0, or 1 with the reason on stderr.
#include "net/download_request.h"
#include "tests/bench/stopwatch.h"

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

constexpr size_t DownloadBufferSize = 262144;

struct Transfer {
    std::uint64_t bytes = 0;
    std::uint64_t blocks = 0;
    DWORD largest = 0;
};

Transfer Download(const wchar_t* url, const wchar_t* path) {
    const DownloadRequest download = OpenHttpsGet(url);
    DeleteFileW(path);  // created new, as the setup creates its ".part" file
    FileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error("cannot create the file");

    std::vector<unsigned char> block(DownloadBufferSize);
    Transfer transfer;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(download.request.get(), &available))
            throw std::runtime_error("WinHttpQueryDataAvailable failed");
        if (available == 0) break;
        if (block.size() < available) block.resize(available);

        DWORD read = 0;
        if (!WinHttpReadData(download.request.get(), block.data(), available, &read))
            throw std::runtime_error("WinHttpReadData failed");
        DWORD written = 0;
        if (read > 0 && !WriteFile(file.get(), block.data(), read, &written, nullptr))
            throw std::runtime_error("WriteFile failed");
        transfer.bytes += written;
        transfer.blocks += 1;
        if (available > transfer.largest) transfer.largest = available;
    }
    return transfer;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: raw_download <https url> <file>\n");
        return 1;
    }
    try {
        const Stopwatch stopwatch;
        const Transfer transfer = Download(argv[1], argv[2]);
        std::printf("bytes=%llu blocks=%llu largest=%lu seconds=%.3f\n",
                    static_cast<unsigned long long>(transfer.bytes),
                    static_cast<unsigned long long>(transfer.blocks), transfer.largest,
                    stopwatch.Seconds());
        return 0;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "raw_download: %s (error %lu)\n", failure.what(), GetLastError());
        return 1;
    }
}
