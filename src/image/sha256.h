// SHA-256: the checksum that names a firmware file and the image bytes
// sent, so that an operator and a log can tell which firmware went into a
// board. Computed by the platform's own well-kept code: nettle on Linux
// (with the processor's SHA instructions where it has them), the system's
// CNG on Windows, WebCrypto in a browser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Hands out the next piece of the bytes to sum: 1 with `bytes` and `size`
// set (`bytes` valid until the next call), 0 at the end, -1 when the bytes
// cannot be had (a read failed).
using Sha256Pieces = int (*)(void *context, const uint8_t *&bytes, size_t &size);

// The SHA-256 of the bytes that `next` hands out, piece after piece, so that
// a file or an image is summed without a copy of it in memory: 64
// lower-case hex digits, or empty when the platform could not compute it or
// `next` failed.
std::string sha256_of_pieces(Sha256Pieces next, void *context);

// The SHA-256 of `size` bytes.
std::string sha256_hex(const uint8_t *bytes, size_t size);

// The same, of a piece of text.
inline std::string sha256_of(std::string_view text)
{
    return sha256_hex(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

// The 32 bytes of a digest as 64 lower-case hex digits (for the platforms'
// files).
std::string sha256_digest_text(const uint8_t digest[32]);
