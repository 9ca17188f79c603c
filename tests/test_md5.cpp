#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "model/md5.h"

namespace veltrano {
namespace {

std::string Hex(const std::string& text) { return Md5Hex(text.data(), text.size()); }

TEST(Md5, Rfc1321TestSuite) {
  // RFC 1321, appendix A.5.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [message, digest] : cases) EXPECT_EQ(Hex(message), digest) << '"' << message << '"';
}

TEST(Md5, PaddingAroundBlockBoundaries) {
  // Lengths where the length field just fits, just misses, or fills a block;
  // digests from an independent implementation.
  const std::vector<std::pair<size_t, std::string>> cases = {
      {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
      {63, "b06521f39153d618550606be297466d5"},  {64, "014842d480b571495a4a0363793f7367"},
      {65, "c743a45e0d2e6a95cb859adae0248435"},  {119, "8a7bd0732ed6a28ce75f6dabc90e1613"},
      {120, "5f61c0ccad4cac44c75ff505e1f1e537"}, {127, "020406e1d05cdc2aa287641f7ae2cc39"},
      {128, "e510683b3f5ffe4093d021808bc6ff70"},
  };
  for (const auto& [length, digest] : cases) EXPECT_EQ(Hex(std::string(length, 'a')), digest) << length;
  EXPECT_EQ(Hex(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, PiecesOfAnySizeGiveTheSameDigest) {
  std::string message;
  for (int round = 0; round < 5; ++round)
    for (int byte = 0; byte < 256; ++byte) message.push_back(static_cast<char>(byte));  // NUL and high bytes too
  const std::string expected = "82829f1f3f2bb0f18b25f278e5bba8bd";
  ASSERT_EQ(Hex(message), expected);

  for (size_t piece : {1u, 3u, 63u, 64u, 65u, 1000u, 1024u}) {
    Md5 md5;
    for (size_t done = 0; done < message.size(); done += piece)
      md5.Update(message.data() + done, std::min(piece, message.size() - done));
    md5.Update(message.data(), 0);
    EXPECT_EQ(Md5::ToHex(md5.Finish()), expected) << "pieces of " << piece;
  }
}

TEST(Md5, ResetStartsAFreshMessage) {
  Md5 md5;
  md5.Update("abc", 3);
  md5.Finish();
  md5.Reset();
  md5.Update("a", 1);
  EXPECT_EQ(Md5::ToHex(md5.Finish()), "0cc175b9c0f1b6a831c399e269772661");
}

}  // namespace
}  // namespace veltrano
