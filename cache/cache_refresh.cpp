#include "cache/cache_refresh.h"

#include "app/failure_messages.h"
#include "cache/download_progress.h"
#include "cache/installer_verification.h"
#include "ui/status_window.h"

#include <stdlib.h>

#include <stdexcept>
#include <vector>

namespace {

constexpr size_t DownloadBufferSize = 262144;

// The response's Content-Length, or the manifest's size when it is missing, 0 or
// not a number. It only scales the progress; the verification judges the size.
std::uint64_t ExpectedSize(const DownloadRequest& download, std::uint64_t manifestSize) {
    wchar_t text[64] = {};
    DWORD textSize = sizeof(text);
    if (!WinHttpQueryHeaders(download.request.get(), WINHTTP_QUERY_CONTENT_LENGTH,
                             WINHTTP_HEADER_NAME_BY_INDEX, text, &textSize, WINHTTP_NO_HEADER_INDEX)) {
        return manifestSize;
    }
    const std::uint64_t length = _wcstoui64(text, nullptr, 10);
    return length == 0 ? manifestSize : length;
}

[[noreturn]] void FailDownload(FileHandle& file, const std::wstring& partPath, const char* message) {
    file.reset();
    DeleteFileW(partPath.c_str());
    throw std::runtime_error(message);
}

}  // namespace

void DownloadToFile(const DownloadRequest& download, FileHandle& file, std::uint64_t totalBytes,
                    const std::wstring& partPath) {
    const std::uint64_t totalMegabytes = Megabytes(totalBytes);
    std::vector<unsigned char> block(DownloadBufferSize);
    std::uint64_t doneBytes = 0;
    // Messages are pumped before every block is asked for: here before the first, and by
    // the status update that ends each pass before the next. A second pump per pass
    // would find the queue empty, at the cost of a round trip per block (tens of
    // thousands of them for a large installer).
    PumpMessages();
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(download.request.get(), &available)) {
            FailDownload(file, partPath, BodyUnreadableMessage);
        }
        if (available == 0) break;
        if (block.size() < available) block.resize(available);

        DWORD read = 0;
        if (!WinHttpReadData(download.request.get(), block.data(), available, &read)) {
            FailDownload(file, partPath, BlockUnreadableMessage);
        }
        DWORD written = 0;
        if (read > 0 && !WriteFile(file.get(), block.data(), read, &written, nullptr)) {
            FailDownload(file, partPath, PartNotWrittenMessage);
        }
        doneBytes += written;
        ShowStatus(L"Lade Kestrova herunter", DownloadDetail(doneBytes, totalMegabytes),
                   DownloadPercent(doneBytes, totalBytes));
    }
}

FileHandle RefreshCachedInstaller(const InstallerManifest& manifest, const std::wstring& targetPath) {
    // Never resume: whatever an earlier run left is removed first.
    DeleteFileW(targetPath.c_str());
    const std::wstring partPath = targetPath + L".part";
    DeleteFileW(partPath.c_str());
    {
        const DownloadRequest download = OpenHttpsGet(manifest.url.c_str());
        const std::uint64_t totalBytes = ExpectedSize(download, manifest.size);

        // A new file: the old one was deleted above, and one that could not be deleted
        // could not be overwritten either. Creating rather than overwriting also keeps
        // the close cheap where overwriting means truncating (Wine on ext4 then flushes
        // everything written when the file is closed, a cancellation included).
        FileHandle file(CreateFileW(partPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) throw std::runtime_error(TargetNotWrittenMessage);

        DownloadToFile(download, file, totalBytes, partPath);
        file.reset();
        if (!MoveFileExW(partPath.c_str(), targetPath.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
            DeleteFileW(partPath.c_str());
            throw std::runtime_error(MoveFailedMessage);
        }
    }  // the request is released before the file is hashed
    FileHandle verified = VerifyInstaller(targetPath, manifest);
    if (!verified) {
        DeleteFileW(targetPath.c_str());
        throw std::runtime_error(VerificationFailedMessage);
    }
    return verified;
}
