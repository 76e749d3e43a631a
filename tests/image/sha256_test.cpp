#include "image/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Bytes (i * 7 + 3) mod 256, i from 0: no two blocks alike.
std::string counting_bytes(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + 3) & 0xFF);
    return bytes;
}

// The examples of FIPS 180-4 and its usual companions (empty, one block,
// two blocks, a million bytes), and the lengths around a block's end where
// the padding takes one more block, whatever computes the checksum.
TEST(Sha256Test, KnownVectors)
{
    const struct {
        std::string text;
        const char *sum;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {counting_bytes(55), "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
        {counting_bytes(56), "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
        {counting_bytes(63), "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
        {counting_bytes(64), "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
        {counting_bytes(65), "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
        {counting_bytes(119), "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
        {counting_bytes(120), "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(sha256_of(c.text), c.sum) << c.text.size();
    }
}

}  // namespace
