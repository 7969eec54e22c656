// hot_board_bench: posts per second into one board on a durable PostgreSQL
// server (fsync on), from one thread and then from several at once, each
// thread on a store connection of its own. Posts to one board from many
// writers should add up, not queue behind one another's commits.
// Usage: hot_board_bench [seconds per run (default 5)] [threads (default 8)]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ceplatform.h"
#include "pg_server.h"
#include "store_test_board.h"
#include "wince.h"

namespace {

using ceplatform::store::CreateBoard;
using ceplatform::store::OpenByName;
using ceplatform::store::WritePost;

const char16_t kBoard[] = u"TULVAN_hot.tvx";

double Now() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// Posts from `threads` threads for `seconds`; posts per second, or -1 when a
// post failed.
double Run(int threads, double seconds, std::atomic<uint64_t>* clock) {
  std::atomic<long> posts{0};
  std::atomic<bool> failed{false};
  double end = Now() + seconds;
  std::vector<std::thread> writers;
  double start = Now();
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&]() {
      HANDLE h = OpenByName(kBoard);
      if (h == INVALID_HANDLE_VALUE) {
        failed = true;
        return;
      }
      std::string text(120, 'x');
      while (Now() < end && !failed) {
        uint64_t time = clock->fetch_add(1);
        if (WritePost(h, time, text) == 0) {
          fprintf(stderr, "hot_board_bench: a post failed: error %lu\n",
                  static_cast<unsigned long>(GetLastError()));
          failed = true;
        } else {
          posts++;
        }
      }
      CloseHandle(h);
    });
  }
  for (std::thread& writer : writers) writer.join();
  double elapsed = Now() - start;
  return failed ? -1 : posts.load() / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? atof(argv[1]) : 5;
  int threads = argc > 2 ? atoi(argv[2]) : 8;
  corkwall::testing::PgServer server;
  std::string error;
  if (!server.Start(true, &error) || !server.Sql("CREATE DATABASE bench", &error)) {
    fprintf(stderr, "hot_board_bench: no server: %s\n", error.c_str());
    return 1;
  }
  std::string uri = server.Uri("bench");
  if (!PlatformSetStorePath(uri.c_str()) || CreateBoard(kBoard) == 0) {
    fprintf(stderr, "hot_board_bench: no board\n");
    return 1;
  }
  std::atomic<uint64_t> clock{1000};
  Run(threads, 1, &clock);  // connections opened, statements prepared
  double one = Run(1, seconds, &clock);
  double many = Run(threads, seconds, &clock);
  std::string count;
  server.SqlOn(uri, "SELECT count(*) FROM records", &error, &count);
  printf("posts/s into one board, durable PostgreSQL: 1 thread %.0f, %d threads %.0f"
         " (x%.2f); %s posts stored\n",
         one, threads, many, one > 0 ? many / one : 0.0, count.c_str());
  PlatformCloseStore();
  return one < 0 || many < 0 ? 1 : 0;
}
