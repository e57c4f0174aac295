#include "asset/byte_stream.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "testing/cursor.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::Content;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(ByteStreamClosed, ReportsNothingAndChangesNothing) {
  ByteStream s;
  EXPECT_FALSE(s.isOpen());
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Tell(), 0);
  EXPECT_EQ(s.GetAllData(), nullptr);
  char byte = 'x';
  EXPECT_EQ(s.Read(&byte, 1), 0);
  EXPECT_FALSE(s.Write(&byte, 1));
  s.SeekTo(5);
  s.SeekToEnd();
  EXPECT_EQ(byte, 'x');
  EXPECT_EQ(s.kind(), StreamKind::None);
  EXPECT_EQ(s.Tell(), 0);
}

TEST(ByteStreamOpen, InvalidModesFailWithoutTouchingTheFileSystem) {
  TempDir dir;
  for (int mode : {0, 4, -1}) {
    ByteStream s;
    EXPECT_FALSE(s.OpenFile(dir / "never", static_cast<OpenMode>(mode)));
    EXPECT_EQ(s.errorText(), "Invalid open mode " + std::to_string(mode));
    EXPECT_FALSE(s.isOpen());
  }
  EXPECT_FALSE(testing::FileExists(dir / "never"));
}

TEST(ByteStreamOpen, MissingFileReportsErrnoAndAFailureTextOutlivesALaterSuccess) {
  TempDir dir;
  WriteFile(dir / "there", "abc");
  ByteStream s;
  EXPECT_FALSE(s.OpenFile(dir / "missing", OpenMode::Read));
  EXPECT_FALSE(s.isOpen());
  EXPECT_EQ(s.errorText(), "Failed to open file with errno 2");
  ASSERT_TRUE(s.OpenFile(dir / "there", OpenMode::Read));
  EXPECT_EQ(s.errorText(), "Failed to open file with errno 2");
  EXPECT_EQ(s.kind(), StreamKind::File);
  EXPECT_EQ(s.openMode(), OpenMode::Read);
}

TEST(ByteStreamOpen, DirectoryCannotBeOpenedForReading) {
  TempDir dir;
  ByteStream s;
  EXPECT_FALSE(s.OpenFile(dir.path(), OpenMode::Read));
  EXPECT_EQ(s.errorText(), "Failed to open file with errno 21");
}

TEST(ByteStreamFile, ReopeningClosesTheEarlierFileSoItsBytesAreOnDisk) {
  TempDir dir;
  ByteStream s;
  ASSERT_TRUE(s.OpenFile(dir / "a", OpenMode::Write));
  ASSERT_TRUE(s.Write("hello", 5));
  ASSERT_TRUE(s.OpenFile(dir / "a", OpenMode::Append));
  ASSERT_TRUE(s.Write("!", 1));
  s.Close();
  EXPECT_EQ(ReadFile(dir / "a"), "hello!");
}

TEST(ByteStreamFile, SizeMeasuresTheWholeFileAndKeepsThePosition) {
  TempDir dir;
  WriteFile(dir / "f", "0123456789");
  ByteStream s;
  ASSERT_TRUE(s.OpenFile(dir / "f", OpenMode::Read));
  EXPECT_EQ(s.Tell(), 0);
  char half[5];
  ASSERT_EQ(s.Read(half, 5), 5);
  EXPECT_EQ(s.Size(), 10);
  EXPECT_EQ(s.Tell(), 5);
  char rest[5];
  ASSERT_EQ(s.Read(rest, 5), 5);
  EXPECT_EQ(std::string(rest, 5), "56789");

  std::uint8_t* all = s.GetAllData();
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(all), 10), "0123456789");
  EXPECT_EQ(s.Tell(), 10);
  std::free(all);
}

TEST(ByteStreamFile, EmptyFileHasSizeZeroAndAnEmptyBlock) {
  TempDir dir;
  WriteFile(dir / "empty", "");
  ByteStream s;
  ASSERT_TRUE(s.OpenFile(dir / "empty", OpenMode::Read));
  EXPECT_EQ(s.Size(), 0);
  std::uint8_t* all = s.GetAllData();
  EXPECT_NE(all, nullptr);
  std::free(all);
}

TEST(ByteStreamFile, ShortReadIsReported) {
  TempDir dir;
  WriteFile(dir / "f", "abc");
  ByteStream s;
  ASSERT_TRUE(s.OpenFile(dir / "f", OpenMode::Read));
  char buffer[8];
  EXPECT_EQ(s.Read(buffer, 8), 3);
  EXPECT_EQ(s.errorText(), "File ended early, bytes missing 5");
}

TEST(ByteStreamFile, FilesOf2GiBOrMoreAreRefusedBySize) {
  TempDir dir;
  const std::string path = dir / "big";
  testing::MakeSparseFile(path, 2147483648LL);
  ByteStream s;
  ASSERT_TRUE(s.OpenFile(path, OpenMode::Read));
  EXPECT_EQ(s.Size(), -1);
  EXPECT_EQ(s.errorText(), "File is 2 GiB or larger, bytes 2147483648");
  EXPECT_EQ(s.GetAllData(), nullptr);
}

TEST(ByteStreamMemory, AppendsGrowSizeAndPositionInOrder) {
  ByteStream s;
  s.OpenMemoryForWrite();
  EXPECT_TRUE(s.Write("abcd", 4));
  EXPECT_TRUE(s.Write("ef", 2));
  EXPECT_TRUE(s.Write("g", 1));
  EXPECT_EQ(s.Size(), 7);
  EXPECT_EQ(s.Tell(), 7);
  EXPECT_EQ(Content(s), "abcdefg");

  s.SeekTo(2);
  EXPECT_TRUE(s.Write("0123456789", 10));
  EXPECT_EQ(s.Size(), 12);
  EXPECT_EQ(Content(s), "ab0123456789");

  s.SeekTo(0);
  char buffer[20] = {};
  EXPECT_EQ(s.Read(buffer, 20), 12);
  EXPECT_EQ(s.Tell(), 12);
}

TEST(ByteStreamMemory, ManySmallAppendsKeepEveryByte) {
  ByteStream s;
  s.OpenMemoryForWrite();
  std::string expected;
  for (int i = 0; i < 100000; ++i) {
    const char c = static_cast<char>(i * 31);
    s.Write(&c, 1);
    expected += c;
  }
  EXPECT_EQ(Content(s), expected);
}

TEST(ByteStreamMemory, ReopeningEmptiesTheContent) {
  ByteStream s;
  s.OpenMemoryForWrite();
  s.Write("abc", 3);
  s.OpenMemoryForWrite();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Tell(), 0);
  s.Write("z", 1);
  EXPECT_EQ(Content(s), "z");
  s.Close();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.GetAllData(), nullptr);
}

TEST(ByteStreamMemory, ExtendHandsOutRoomAtTheEnd) {
  ByteStream s;
  s.OpenMemoryForWrite();
  s.Write("ab", 2);
  std::uint8_t* room = s.Extend(3);
  ASSERT_NE(room, nullptr);
  std::memcpy(room, "cde", 3);
  EXPECT_EQ(Content(s), "abcde");
  EXPECT_EQ(s.Tell(), 5);
  EXPECT_EQ(s.Extend(-1), nullptr);
  EXPECT_EQ(s.Extend(2147483647), nullptr);  // would pass 2 GiB
  EXPECT_EQ(s.Size(), 5);
}

TEST(ByteStreamMemory, OutOfRangePositionsAndCountsStayInsideTheBuffer) {
  ByteStream s;
  s.OpenMemoryForWrite();
  s.Write("0123456", 7);
  s.SeekTo(-5);
  EXPECT_EQ(s.Tell(), 0);
  s.SeekTo(100);
  EXPECT_EQ(s.Tell(), 7);
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(s.Read(buffer, 4), 0);
  s.SeekTo(0);
  EXPECT_EQ(s.Read(buffer, -3), 0);
  EXPECT_FALSE(s.Write(buffer, -3));
  EXPECT_EQ(s.Size(), 7);
  EXPECT_EQ(s.Tell(), 0);
  EXPECT_EQ(buffer[0], 'x');
  s.SeekTo(7);
  EXPECT_FALSE(s.Write(buffer, 2147483647));  // would pass 2 GiB
  EXPECT_EQ(s.Size(), 7);
}

TEST(ByteStreamFixedMemory, WritesAndReadsStopAtTheCallersBuffer) {
  char buffer[10] = "........X";  // the 'X' at index 8 lies beyond the stream
  ByteStream s;
  s.OpenFixedMemory(buffer, 8);
  EXPECT_EQ(s.Size(), 8);
  s.SeekTo(6);
  EXPECT_FALSE(s.Write("abcde", 5));
  EXPECT_EQ(s.Tell(), 8);
  EXPECT_EQ(s.Size(), 8);
  EXPECT_EQ(std::string(buffer, 9), "......abX");
  EXPECT_EQ(s.GetAllData(), reinterpret_cast<std::uint8_t*>(buffer));

  s.SeekTo(5);
  char out[8] = {};
  EXPECT_EQ(s.Read(out, 8), 3);
  EXPECT_EQ(std::string(out, 3), ".ab");
  s.SeekTo(-1);
  EXPECT_EQ(s.Tell(), 0);
  s.SeekTo(9);
  EXPECT_EQ(s.Tell(), 8);
  EXPECT_EQ(s.Extend(1), nullptr);

  s.Close();
  EXPECT_EQ(s.GetAllData(), nullptr);
  EXPECT_EQ(std::string(buffer, 9), "......abX");
}

TEST(ByteStreamMove, TheMovedFromStreamIsClosedAndReusable) {
  ByteStream a;
  EXPECT_FALSE(a.OpenFile("", OpenMode::Read));
  a.OpenMemoryForWrite();
  a.Write("xyz", 3);
  ByteStream b = std::move(a);
  EXPECT_FALSE(a.isOpen());  // NOLINT(bugprone-use-after-move): the state is specified
  EXPECT_EQ(a.Size(), 0);
  EXPECT_EQ(a.errorText(), "");
  EXPECT_EQ(Content(b), "xyz");
  EXPECT_EQ(b.errorText(), "Failed to open file with errno 2");
  // Reused, it owns no room the buffer it gave away had.
  a.OpenMemoryForWrite();
  ASSERT_TRUE(a.Write("q", 1));
  EXPECT_EQ(Content(a), "q");

  // A file stream assigned over another takes the file with it.
  TempDir dir;
  WriteFile(dir / "f", "file bytes");
  ByteStream file;
  ASSERT_TRUE(file.OpenFile(dir / "f", OpenMode::Read));
  b = std::move(file);
  EXPECT_FALSE(file.isOpen());  // NOLINT(bugprone-use-after-move)
  char bytes[10];
  ASSERT_EQ(b.Read(bytes, 10), 10);
  EXPECT_EQ(std::string(bytes, 10), "file bytes");
}

}  // namespace
}  // namespace qx
