#include "payload/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace tevra {
namespace {

struct Vector {
  std::string message;
  const char* digest;
};

// FIPS 180-4 examples, each also fed in uneven pieces across block edges.
TEST(Sha256Test, NistVectors) {
  const Vector vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1'000'000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Vector& v : vectors) {
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(v.message.data()),
                          v.message.size());
    for (const std::size_t piece : {bytes.size() + 1, std::size_t{1}, std::size_t{63}}) {
      Sha256 hash;
      for (std::size_t at = 0; at < bytes.size(); at += piece) {
        hash.Update(bytes.subspan(at, std::min(piece, bytes.size() - at)));
      }
      EXPECT_EQ(Sha256::Hex(hash.Finish()), v.digest) << v.message.size() << " in " << piece;
    }
  }
}

}  // namespace
}  // namespace tevra
