// Gathered writes when the file cannot take everything: the piece that hits the limit is cut
// where the file ends, the call never loops, and the handle stays usable.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "platform/file.h"
#include "read_file.h"

namespace kelp {
namespace {

namespace fs = std::filesystem;

// Lowers the file-size limit for the life of the object, with SIGXFSZ ignored so that a write
// past the limit fails with EFBIG instead of ending the test program.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit lowered = previous_;
    lowered.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previous_handler_);
  }

 private:
  rlimit previous_{};
  void (*previous_handler_)(int) = nullptr;
};

TEST(WritePieces, APieceThatHitsTheLimitIsCutThere) {
  const fs::path path = fs::temp_directory_path() / "kelp-write-pieces-limit.bin";
  fs::remove(path);
  FileHandle file;
  int error = 0;
  ASSERT_EQ(create_new_file(path.string(), file, error), CreateResult::Created) << error;
  const std::string first(60, 'a'), second(60, 'b'), third(10, 'c');
  {
    FileSizeLimit limit(100);
    const std::string_view pieces[] = {first, "", second, third, ""};
    write_pieces(file, pieces);
  }
  // 60 bytes of the first piece, 40 of the second; the third found the file full.
  EXPECT_EQ(slurp(path), first + std::string(40, 'b'));

  // Once the limit is gone the same handle writes again.
  const std::string_view more[] = {"x", "y"};
  write_pieces(file, more);
  EXPECT_EQ(slurp(path), first + std::string(40, 'b') + "xy");
  file = FileHandle();
  fs::remove(path);
}

TEST(WritePieces, AFileThatTakesNothingDoesNotStall) {
  FileHandle file(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(file.is_open());
  const std::string_view pieces[] = {"one\n", "two\n", "", "three\n"};
  // Every piece fails with ENOSPC and is given up; the call returns (a stall ends the test run).
  write_pieces(file, pieces);
}

}  // namespace
}  // namespace kelp
