// What the store writes when a call fails: one line with the time stamp, the
// call, the store without its passwords and the backend's message joined
// onto that line.
#include <fcntl.h>
#include <unistd.h>

#include <regex>

#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

class FailureLineTest : public StoreTest {};

TEST_F(FailureLineTest, AStoreFailureIsOneStampedLineWithoutItsPasswords) {
  // A file that is not a store, in a folder whose name holds an '@'.
  std::string folder = dir_ + "/owner:s3cret@host";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  std::string file = folder + "/objectstore.db";
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  std::string junk(8192, 'j');
  ASSERT_EQ(static_cast<ssize_t>(junk.size()), write(fd, junk.data(), junk.size()));
  close(fd);
  // A socket folder where no server listens: libpq says so on two lines.
  std::string query = "/corkwall?host=" + dir_ + "&password=s3cret&user=owner";
  const struct {
    std::string location;
    std::string shown;
    std::string message;  // a part of what follows, the backend's message joined
  } cases[] = {
      {"postgresql://owner:s3cret@" + query,
       "postgresql://owner:***@/corkwall?host=" + dir_ + "&password=***&user=owner",
       "server unreachable: connection to server on socket \"" + dir_ +
           "/.s.PGSQL.5432\" failed: No such file or directory / Is the server running"},
      // libpq refuses the name in capitals, and the value still stays hidden.
      {"postgresql:///corkwall?PASSWORD=s3cret", "postgresql:///corkwall?PASSWORD=***",
       "invalid URI query parameter"},
      {file, file, "damaged data"},
  };
  const std::regex stamped("\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] ceplatform: "
                           "CeOpenDatabaseEx: store ([^\n]*)\n");
  for (const auto& c : cases) {
    ASSERT_TRUE(PlatformSetStorePath(c.location.c_str()));
    testing::internal::CaptureStderr();
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_board.tvx"));
    std::string written = testing::internal::GetCapturedStderr();
    std::smatch match;
    ASSERT_TRUE(std::regex_match(written, match, stamped)) << written;
    std::string store = match[1];
    ASSERT_EQ(0u, store.rfind(c.shown + ": ", 0)) << written;
    std::string rest = store.substr(c.shown.size());
    EXPECT_NE(std::string::npos, rest.find(c.message)) << written;
    EXPECT_EQ(std::string::npos, rest.find("s3cret")) << written;
    PlatformCloseStore();
  }
  unlink(file.c_str());
  rmdir(folder.c_str());
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
