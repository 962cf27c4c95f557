#include "util/hash.h"

#include "scratch.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string bytes_0_to_255(int times) {
    std::string text;
    for (int i = 0; i < times * 256; ++i)
        text += static_cast<char>(i & 255);
    return text;
}

struct file_case {
    std::string name, content, digest;
};

TEST(Sha256File, DigestsOfKnownContents) {
    scratch dir;
    const file_case cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"million", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        // Longer than one read, ending part-way into the second.
        {"4097 runs", bytes_0_to_255(4097),
         "dd7e5c49d123e860c8bb7016bada722b5d0baa37ef8b19d5e270cf2a3000c31d"},
    };
    for (const auto& c : cases) {
        write_file(dir / c.name, c.content);
        EXPECT_EQ(sha256_file((dir / c.name).string()), c.digest) << c.name;
    }
}

TEST(Sha256File, TakesTheSystemsPathsAndFailsEmpty) {
    scratch dir;
    dir.enter();
    std::filesystem::create_directory(dir / "sub");
    write_file(dir / "sub" / "f", "abc");
    EXPECT_EQ(sha256_file("sub\\f"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_file("missing"), "");
    EXPECT_EQ(sha256_file("sub"), ""); // a folder has no bytes to read
}

TEST(HexDigits, TwoLowerCaseDigitsPerByte) {
    const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    EXPECT_EQ(hex_digits(bytes, 4), "000fa0ff");
    EXPECT_EQ(hex_digits(bytes, 0), "");
}

} // namespace
