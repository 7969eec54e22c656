// boardfill: a new store holding boards of generated posts, written in
// bulk through WholeStore::Write (the path of copy and restore), for
// measuring the owner's tools and the board on large stores:
//
//   boardfill [--board NAME | --boards N] [--shuffle] [--seed N] [--body BYTES]
//             STORE POSTS
//
// Each board database has the board's creation parameters and each post the
// board's record layout (board_record.h): its local time of posting, then
// its HTML as the post renderer writes it, with a name, a subject, a date
// stamp and a body of about BYTES bytes (default 200) over several lines;
// every fifth post carries a mail address. One board (NAME, default
// TULVAN_fill.tvx) has identifier 1 and its post n (from 0) identifier
// n + 2; with --boards N there are N boards of POSTS posts each, named
// TULVAN_b00000.tvx and on, with identifiers 1 to N and their posts after
// them. Post n is made ten seconds after post n - 1, so that identifier
// order is time order, unless --shuffle gives each post a time drawn at
// random from the same span (equal times among them included). STORE must be
// empty or new.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <iostream>
#include <string>
#include <vector>

#include "board_post.h"
#include "board_record.h"
#include "ceplatform_snapshot.h"

namespace {

using ceplatform::SnapshotProperty;

const char kUsage[] =
    "Usage: boardfill [--board NAME | --boards N] [--shuffle] [--seed N] [--body BYTES]\n"
    "                 STORE POSTS\n";

// 2024-03-01 00:00:00 as a FILETIME count.
constexpr int64_t kFirstTime = 133537248000000000LL;
constexpr int64_t kSecond = 10000000;

// A small deterministic generator (splitmix64), so that a seed gives the same
// store on every machine.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

 private:
  uint64_t state_;
};

// "%d年%d月%d日 %d時%d分" in Shift_JIS, as the board stamps a post.
std::string Stamp(int64_t file_time) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  sscanf(FileTimeIso(file_time).c_str(), "%d-%d-%dT%d:%d:%d", &year, &month, &day, &hour,
         &minute, &second);
  char stamp[64];
  snprintf(stamp, sizeof(stamp), "%d\x94\x4E%d\x8C\x8E%d\x93\xFA %d\x8E\x9E%d\x95\xAA", year,
           month, day, hour, minute);
  return stamp;
}

// The post's HTML in the post renderer's form.
std::string PostHtml(long long n, int64_t file_time, size_t body_bytes) {
  const std::string subject = "post " + std::to_string(n);
  const std::string name = "poster " + std::to_string(n % 97);
  std::string html = "<B> \r\n " + subject + " \r\n </B> ";
  // "投稿者：" before the poster's name.
  const std::string label = "\x93\x8A\x8D\x65\x8E\xD2\x81\x46<B> \r\n ";
  if (n % 5 == 0) {
    html += " <A HREF=\"mailto:poster" + std::to_string(n) + "@example.com\"> \r\n " + label +
            name + " \r\n </B></A>";
  } else {
    html += label + name + " \r\n </B> \r\n";
  }
  html += Stamp(file_time) + " <P> \r\n  \r\n <BLOCKQUOTE><TT> \r\n ";
  // Lines of text, "本文" and an escaped ampersand among them.
  std::string body;
  while (body.size() < body_bytes) {
    if (!body.empty()) body += "<BR>\n";
    body += "line of post " + std::to_string(n) + " \x96\x7B\x95\xB6 &amp; more text";
  }
  html += body + " \r\n </TT> </BLOCKQUOTE> \r\n ";
  return html;
}

std::string Utf16(const std::string& ascii) {
  std::string units;
  for (char c : ascii) {
    units += c;
    units += '\0';
  }
  return units;
}

bool Number(const std::string& text, long long* value) {
  char* end = nullptr;
  *value = strtoll(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && *value >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string board = "TULVAN_fill.tvx";
  bool shuffle = false;
  long long seed = 1, body_bytes = 200, boards = 1;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool valued = arg == "--board" || arg == "--seed" || arg == "--body" || arg == "--boards";
    if (valued && i + 1 >= argc) {
      std::cerr << "boardfill: " << arg << " needs a value\n" << kUsage;
      return 2;
    }
    if (arg == "--board") {
      board = argv[++i];
    } else if (arg == "--shuffle") {
      shuffle = true;
    } else if ((arg == "--seed" && !Number(argv[++i], &seed)) ||
               (arg == "--body" && !Number(argv[++i], &body_bytes)) ||
               (arg == "--boards" && (!Number(argv[++i], &boards) || boards < 1 ||
                                      boards > 99999))) {
      std::cerr << "boardfill: " << arg << " needs a number\n" << kUsage;
      return 2;
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (!valued) {
      words.push_back(arg);
    }
  }
  long long posts = 0;
  if (words.size() != 2 || !Number(words[1], &posts) || boards * (posts + 1) > 0xFFFFFFF0LL ||
      !HasBoardPrefix(board.c_str()) || board.size() >= CEDB_MAXDBASENAMELEN) {
    std::cerr << kUsage << "NAME starts with " << BOARD_DATABASE_PREFIX << " and has at most "
              << CEDB_MAXDBASENAMELEN - 1 << " characters.\n";
    return 2;
  }
  std::string error;
  std::unique_ptr<ceplatform::WholeStore> store =
      ceplatform::WholeStore::Open(words[0], true, &error);
  if (store == nullptr) {
    std::cerr << "boardfill: cannot open the store " << error << "\n";
    return 1;
  }
  std::vector<ceplatform::SnapshotDatabase> databases(static_cast<size_t>(boards));
  for (long long b = 0; b < boards; ++b) {
    ceplatform::SnapshotDatabase& database = databases[static_cast<size_t>(b)];
    database.oid = static_cast<uint32_t>(b + 1);
    char numbered[32];
    snprintf(numbered, sizeof(numbered), "TULVAN_b%05lld.tvx", b);
    database.name = Utf16(boards == 1 ? board : numbered);
    database.type = BOARD_DATABASE_TYPE;
    database.flags = BOARD_DATABASE_FLAGS;
    ceplatform::EncodeSortOrders({{BOARD_PROP_TIME, BOARD_SORT_FLAGS}}, &database.sorts);
  }
  Random random(static_cast<uint64_t>(seed));
  auto feed = [&](ceplatform::SnapshotSink* sink) {
    for (const ceplatform::SnapshotDatabase& database : databases) {
      if (!sink->Database(database)) return false;
    }
    std::vector<SnapshotProperty> properties(2);
    properties[0].propid = BOARD_PROP_TIME;
    properties[1].propid = BOARD_PROP_HTML;
    ceplatform::SnapshotRecord record;
    uint32_t next = static_cast<uint32_t>(boards + 1);
    for (const ceplatform::SnapshotDatabase& database : databases) {
      record.database = database.oid;
      for (long long n = 0; n < posts; ++n) {
        long long step = shuffle ? static_cast<long long>(random.Next() % posts) : n;
        int64_t file_time = kFirstTime + step * 10 * kSecond;
        properties[0].value.assign(reinterpret_cast<const char*>(&file_time), 8);  // little-endian
        properties[1].value = PostHtml(n, file_time, static_cast<size_t>(body_bytes));
        properties[1].value += '\0';
        record.oid = next++;
        if (!ceplatform::MakeSnapshotRecord(properties, database.sorts, &record) ||
            !sink->Record(record)) {
          return false;
        }
      }
    }
    return sink->Counter(next);
  };
  ceplatform::WholeStore::WriteResult result = store->Write(feed, false, &error);
  if (result == ceplatform::WholeStore::WriteResult::kNotEmpty) {
    std::cerr << "boardfill: the store " << store->shown() << " is not empty\n";
    return 1;
  }
  if (result != ceplatform::WholeStore::WriteResult::kOk) {
    std::cerr << "boardfill: nothing written: " << error << "\n";
    return 1;
  }
  std::cout << "wrote " << posts << " posts to each of " << boards
            << (boards == 1 ? " board (" + board + ")" : std::string(" boards")) << " in "
            << store->shown() << "\n";
  return 0;
}
