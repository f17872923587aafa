// SHA-256 through the system's CNG, as the Windows command line records a
// firmware file.

#include <gtest/gtest.h>

#include "Sha256.h"

namespace mx::flash {
namespace {

TEST(Sha256Win, KnownDigests) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace mx::flash
