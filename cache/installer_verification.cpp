#include "cache/installer_verification.h"

#include "app/failure_messages.h"
#include "cache/digest_text.h"
#include "ui/status_window.h"

#include <stdexcept>
#include <vector>

namespace {

constexpr DWORD HashChunkSize = 1048576;
constexpr ULONG Sha256Length = 32;

}  // namespace

std::uint64_t InstallerFileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) return 0;
    return (static_cast<std::uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
}

HashedFile HashInstallerFile(const std::wstring& path) {
    BCRYPT_ALG_HANDLE openedAlgorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&openedAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        throw std::runtime_error(HashProviderMessage);
    }
    CngAlgorithm algorithm(openedAlgorithm);

    DWORD objectLength = 0;
    ULONG resultSize = 0;
    if (!BCRYPT_SUCCESS(BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&objectLength),
                                          sizeof(objectLength), &resultSize, 0))) {
        throw std::runtime_error(HashObjectSizeMessage);
    }
    // The hash object's memory must outlive the hash handle, so it is declared first.
    std::vector<UCHAR> hashObject(objectLength);
    std::vector<UCHAR> digest(Sha256Length);

    BCRYPT_HASH_HANDLE createdHash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.get(), &createdHash,
                                         objectLength ? hashObject.data() : nullptr, objectLength,
                                         nullptr, 0, 0))) {
        throw std::runtime_error(HashCreateMessage);
    }
    CngHash hash(createdHash);

    // Read sharing only: from here on nobody can write, rename or delete the file, so the
    // bytes hashed are the bytes a later user of the handle's lifetime finds on disk.
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error(InstallerUnreadableMessage);

    std::vector<UCHAR> block(HashChunkSize);
    for (;;) {
        DWORD read = 0;
        // A read error ends hashing like the end of the file; the partial digest then
        // simply does not match.
        if (!ReadFile(file.get(), block.data(), HashChunkSize, &read, nullptr) || read == 0) break;
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), block.data(), read, 0))) {
            throw std::runtime_error(HashDataMessage);
        }
        PumpMessages();
    }

    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest.data(), Sha256Length, 0))) {
        throw std::runtime_error(HashFinishMessage);
    }
    return HashedFile{std::move(file), DigestText(digest.data(), digest.size())};
}

FileHandle VerifyInstaller(const std::wstring& path, const InstallerManifest& manifest) {
    if (InstallerFileSize(path) != manifest.size) return {};
    ShowStatus(L"Pruefe Download", L"SHA-256 wird berechnet ...", 94);
    HashedFile hashed = HashInstallerFile(path);
    if (hashed.sha256 != manifest.sha256) return {};
    return std::move(hashed.file);
}
