#include "image/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// The examples of FIPS 180-4 and its usual companions: empty, one block,
// two blocks, and a million bytes fed in uneven pieces.
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
    };
    for (const auto &c : cases) {
        EXPECT_EQ(sha256_of(c.text), c.sum) << c.text.size();
        Sha256 sum;
        sha256_start(sum);
        for (size_t at = 0, piece = 1; at < c.text.size(); at += piece, piece = piece * 3 % 97 + 1)
            sha256_add(sum, reinterpret_cast<const uint8_t *>(c.text.data()) + at,
                       std::min(piece, c.text.size() - at));
        EXPECT_EQ(sha256_hex(sum), c.sum) << c.text.size();
    }
}

}  // namespace
