// SHA-256 on Windows, by the system's CNG (bcrypt.dll): nothing to ship
// beside quorvel.exe.
#include "image/sha256.h"

#include <windows.h>
#include <bcrypt.h>

std::string sha256_of_pieces(Sha256Pieces next, void *context)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0)
        return "";
    uint8_t digest[32];
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
    const uint8_t *bytes = nullptr;
    size_t size = 0;
    int more = 1;
    while (done && (more = next(context, bytes, size)) > 0)
        // One call per piece of at most 1 GiB: the length is a ULONG.
        for (size_t at = 0; done && at < size;) {
            const ULONG piece = ULONG(size - at > 0x40000000 ? 0x40000000 : size - at);
            done = BCryptHashData(hash, const_cast<PUCHAR>(bytes + at), piece, 0) >= 0;
            at += piece;
        }
    done = done && more == 0 && BCryptFinishHash(hash, digest, sizeof digest, 0) >= 0;
    if (hash)
        BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return done ? sha256_digest_text(digest) : "";
}
