// What the simulated devices cannot well make happen: images whose
// length falls on SHA-256's padding boundaries, and lines that are no
// valid UTF-8, for the views of a run over several devices.

#include "json_view.h"
#include "sha256.h"
#include "time_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {

struct Digest {
    std::string contents;
    const char *sha256;
};

TEST(ImageDigest, MatchesSha256sumAcrossThePaddingBoundaries)
{
    const Digest cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    char path[] = "/tmp/fwlaunch-image-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    for (const Digest &digest : cases) {
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(pwrite(fd, digest.contents.data(), digest.contents.size(), 0),
                  static_cast<ssize_t>(digest.contents.size()));
        std::string hex;
        uint64_t size = 0;
        ASSERT_TRUE(sha256OfFile(path, &hex, &size));
        EXPECT_EQ(hex, digest.sha256) << digest.contents.size() << " bytes";
        EXPECT_EQ(size, digest.contents.size());
    }
    close(fd);
    unlink(path);
}

struct Text {
    std::string raw;
    const char *json;
};

TEST(JsonString, EscapesControlsAndReplacesWhatIsNoUtf8)
{
    const Text cases[] = {
        {"plain", "\"plain\""},
        {"\"\\/", "\"\\\"\\\\/\""},
        {std::string("\b\f\n\r\t\x01\x1f\x7f", 8) + std::string(1, '\0'), "\"\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\\u0000\""},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},             // overlong
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""}, // a surrogate
        {"\xf4\x90\x80\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""}, // above U+10FFFF
        {"\xe2\x82x", "\"\xef\xbf\xbdx\""},                        // cut short
        {"x\xf0\x9f\x98", "\"x\xef\xbf\xbd\""},                    // cut short at the end
        {"\x80\xff", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
    };
    for (const Text &text : cases)
        EXPECT_EQ(jsonString(text.raw), text.json);
}

TEST(UtcTime, RoundsToTheMillisecondAcrossASecond)
{
    EXPECT_EQ(utcTime(0, false), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(utcTime(1796785445.678, false), "2026-12-09T03:04:05.678Z");
    EXPECT_EQ(utcTime(1796785445.9996, false), "2026-12-09T03:04:06.000Z");
    EXPECT_EQ(utcTime(1796785445.0004, true), "20261209T030405.000Z");
}

} // namespace
