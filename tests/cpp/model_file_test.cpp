#include <gtest/gtest.h>
#include <snappy.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>

#include "model/model_file.h"
#include "test_helpers.h"

namespace morla {
namespace {

namespace fs = std::filesystem;

class ModelFile : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("morla-model-file-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void write_raw(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  std::string read_raw(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  fs::path dir_;
};

std::vector<uint8_t> sample(size_t n) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>((i * 7) % 251);
  return data;
}

ByteRange range(const std::vector<uint8_t>& bytes) { return {bytes.data(), bytes.size()}; }

TEST_F(ModelFile, RoundTripIsSnappyRawBlock) {
  const auto data = sample(100000);
  write_model_file(path("m.fbz"), range(data));
  const std::string stored = read_raw("m.fbz");
  std::string expected;
  snappy::Compress(reinterpret_cast<const char*>(data.data()), data.size(), &expected);
  EXPECT_EQ(stored, expected);
  const auto back = read_model_file(path("m.fbz"));
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.end()), data);
}

TEST_F(ModelFile, TrailingBytesAfterTheBlockAreIgnored) {
  const auto data = sample(5000);
  write_raw("m.fbz", compress_model(range(data)) + std::string("trailing garbage"));
  const auto back = read_model_file(path("m.fbz"));
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.end()), data);
}

// A file of several read pieces, whole and cut around the pieces' ends.
TEST_F(ModelFile, LargeFilesReadWholeOrRefusedWhenCut) {
  std::vector<uint8_t> data(700000);
  for (auto& byte : data) byte = static_cast<uint8_t>(rand());
  const std::string block = compress_model(range(data));
  write_raw("m.fbz", block);
  const auto back = read_model_file(path("m.fbz"));
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.end()), data);
  for (const size_t cut : {size_t{6}, size_t{262143}, size_t{262144}, size_t{262149},
                           size_t{524293}, block.size() - 1}) {
    write_raw("cut.fbz", block.substr(0, cut));
    EXPECT_EQ(test::error_text<std::invalid_argument>([&] { read_model_file(path("cut.fbz")); }),
              "Cannot uncompress corrupted serialization buffer")
        << cut;
  }
}

TEST_F(ModelFile, ReadRefusals) {
  fs::create_directories(dir_ / "folder");
  write_raw("empty.fbz", "");
  write_raw("ff.fbz", std::string(5, '\xFF'));
  // Announces 2^31 bytes from a 6-byte file.
  write_raw("huge.fbz", std::string("\x80\x80\x80\x80\x08\x00", 6));
  // A sound length header over a cut block.
  write_raw("cut.fbz", compress_model(range(sample(5000))).substr(0, 200));
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { read_model_file(path("missing.fbz")); }),
            "File not found.");
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { read_model_file(path("folder")); }),
            "File not found.");
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { read_model_file(path("empty.fbz")); }),
            "File is empty.");
  for (const auto* name : {"ff.fbz", "huge.fbz", "cut.fbz"})
    EXPECT_EQ(test::error_text<std::invalid_argument>([&] { read_model_file(path(name)); }),
              "Cannot uncompress corrupted serialization buffer")
        << name;
}

TEST_F(ModelFile, SaveIntoMissingFolderOrOntoFolderIsRefused) {
  const auto target = path("no/such/dir/m.fbz");
  EXPECT_EQ(
      test::error_text<std::invalid_argument>([&] { write_model_file(target, range(sample(10))); }),
      "Unable to open file for saving model: " + target);
  fs::create_directories(dir_ / "folder");
  EXPECT_THROW(write_model_file(path("folder"), range(sample(10))), std::invalid_argument);
}

TEST_F(ModelFile, FailedWriteKeepsTheOldFile) {
  write_model_file(path("m.fbz"), range(sample(100)));
  const std::string before = read_raw("m.fbz");
  const std::string target = path("m.fbz");
  // In a child: a file-size limit makes the write fail part-way.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::vector<uint8_t> big(1 << 20);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(rand());
    try {
      write_model_file(target, range(big));
    } catch (const std::runtime_error&) {
      _exit(0);
    }
    _exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the failed write was reported as success";
  EXPECT_EQ(read_raw("m.fbz"), before);
  size_t leftovers = 0;
  for (const auto& entry : fs::directory_iterator(dir_))
    if (entry.path().filename() != "m.fbz") ++leftovers;
  EXPECT_EQ(leftovers, 0u);
}

TEST_F(ModelFile, ReplacingKeepsPermissions) {
  write_model_file(path("m.fbz"), range(sample(10)));
  ::chmod(path("m.fbz").c_str(), 0640);
  write_model_file(path("m.fbz"), range(sample(20)));
  struct stat info {};
  ASSERT_EQ(::stat(path("m.fbz").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

// Runs `save` in a child without the privileges that bypass file permissions; its exit
// code: 0 saved, 1 refused with the open error, 2 anything else.
int save_unprivileged(const std::string& target, const std::vector<uint8_t>& data) {
  const pid_t child = fork();
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) _exit(3);
    try {
      write_model_file(target, range(data));
      _exit(0);
    } catch (const std::invalid_argument& e) {
      _exit(std::string(e.what()) == "Unable to open file for saving model: " + target ? 1 : 2);
    } catch (...) {
      _exit(2);
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct PermissionCase {
  const char* what;
  mode_t folder_mode, file_mode;
  int outcome;    // of save_unprivileged
  bool replaced;  // the file holds the new model afterwards
};

class SavePermissions : public ModelFile, public testing::WithParamInterface<PermissionCase> {};

TEST_P(SavePermissions, ReadOnlyTargetsAreRefusedAndFullFoldersWrittenInPlace) {
  const PermissionCase& c = GetParam();
  write_raw("m.fbz", "old");
  ::chmod(path("m.fbz").c_str(), c.file_mode);
  ::chmod(dir_.c_str(), c.folder_mode);
  const auto data = sample(5000);
  const int outcome = save_unprivileged(path("m.fbz"), data);
  ::chmod(dir_.c_str(), 0700);
  EXPECT_EQ(outcome, c.outcome);
  std::string expected;
  snappy::Compress(reinterpret_cast<const char*>(data.data()), data.size(), &expected);
  EXPECT_EQ(read_raw("m.fbz"), c.replaced ? expected : "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(
    SaveModes, SavePermissions,
    testing::Values(PermissionCase{"read_only_file", 0777, 0444, 1, false},
                    PermissionCase{"read_only_file_in_read_only_folder", 0555, 0444, 1, false},
                    PermissionCase{"writable_file_in_read_only_folder", 0555, 0666, 0, true},
                    PermissionCase{"writable_file", 0777, 0666, 0, true}),
    [](const testing::TestParamInfo<PermissionCase>& p) { return std::string(p.param.what); });

}  // namespace
}  // namespace morla
