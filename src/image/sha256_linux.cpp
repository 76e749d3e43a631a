// SHA-256 on Linux, by nettle: small to load (the run's whole time counts,
// and a run loads its library every time) and, in Debian's build, with the
// processor's SHA instructions where it has them.
#include "image/sha256.h"

#include <nettle/sha2.h>

std::string sha256_of_pieces(Sha256Pieces next, void *context)
{
    sha256_ctx sum;
    sha256_init(&sum);
    const uint8_t *bytes = nullptr;
    size_t size = 0;
    int more;
    while ((more = next(context, bytes, size)) > 0)
        sha256_update(&sum, size, bytes);
    if (more < 0)
        return "";
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&sum, sizeof digest, digest);
    return sha256_digest_text(digest);
}
