// SHA-256 in a browser (and under Node.js), by WebCrypto. Its digest is
// asynchronous: the caller waits through Asyncify, so a program built with
// this file needs -sASYNCIFY.
#include "image/sha256.h"

#include <emscripten.h>

#include <vector>

namespace {

// Fills `digest` (32 bytes) with the SHA-256 of the bytes; 1 when done.
EM_ASYNC_JS(int, web_sha256, (const uint8_t *bytes, size_t size, uint8_t *digest), {
    try {
        const data = HEAPU8.slice(bytes, bytes + size);
        const sum = new Uint8Array(await crypto.subtle.digest('SHA-256', data));
        HEAPU8.set(sum, digest);
        return 1;
    } catch (error) {
        return 0;
    }
});

}  // namespace

std::string sha256_of_pieces(Sha256Pieces next, void *context)
{
    // WebCrypto sums one piece of memory: the pieces are put together.
    std::vector<uint8_t> whole;
    const uint8_t *bytes = nullptr;
    size_t size = 0;
    int more;
    while ((more = next(context, bytes, size)) > 0)
        whole.insert(whole.end(), bytes, bytes + size);
    uint8_t digest[32];
    if (more < 0 || !web_sha256(whole.data(), whole.size(), digest))
        return "";
    return sha256_digest_text(digest);
}
