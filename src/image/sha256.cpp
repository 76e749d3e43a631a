// The part of SHA-256 that is the same on every platform: how a digest is
// written, and a whole piece of memory summed.
#include "image/sha256.h"

std::string sha256_digest_text(const uint8_t digest[32])
{
    static const char digits[] = "0123456789abcdef";
    std::string text(64, '0');
    for (int i = 0; i < 32; ++i) {
        text[size_t(2 * i)] = digits[digest[i] >> 4];
        text[size_t(2 * i + 1)] = digits[digest[i] & 0x0F];
    }
    return text;
}

namespace {

struct OnePiece {
    const uint8_t *bytes;
    size_t size;
    bool given;
};

int one_piece(void *context, const uint8_t *&bytes, size_t &size)
{
    OnePiece &piece = *static_cast<OnePiece *>(context);
    if (piece.given)
        return 0;
    piece.given = true;
    bytes = piece.bytes;
    size = piece.size;
    return 1;
}

}  // namespace

std::string sha256_hex(const uint8_t *bytes, size_t size)
{
    OnePiece piece{bytes, size, false};
    return sha256_of_pieces(one_piece, &piece);
}
