// tvxstore: the owner's tool for the object store: list, verify, back up,
// restore, export and copy, on an SQLite file or a PostgreSQL database.
#include <stdlib.h>

#include <iostream>
#include <string>
#include <vector>

#include "ceplatform.h"
#include "post_export.h"
#include "store_commands.h"

namespace {

const char kUsage[] =
    "Usage: tvxstore [--store FILE|URI] COMMAND [ARGUMENTS]\n"
    "The owner's tool for corkwall's object store. It never changes a store it reads.\n"
    "\n"
    "Commands:\n"
    "  list                  each database with its records, size and sort orders\n"
    "  verify                the backend's integrity check, the store's own rules and\n"
    "                        every board record checked against the board's layout;\n"
    "                        exits 1 when it finds a problem\n"
    "  backup DEST           a consistent copy into the new SQLite file DEST, safe while\n"
    "                        tvxhost serves and posts\n"
    "  restore SRC           everything of the store SRC (a backup) into the store, which\n"
    "                        must be empty; --force replaces what it holds\n"
    "  export [--database NAME] [--format json|csv]\n"
    "                        the posts of every board (or of NAME), newest first, one a\n"
    "                        line: database, oid, time, name, email, subject, body, html\n"
    "                        (JSON Lines or CSV, UTF-8)\n"
    "  copy SRC DEST         the store SRC into the empty store DEST, any backend to any,\n"
    "                        identifiers, sort orders, times and the counter kept\n"
    "\n"
    "Options:\n"
    "  --store STORE         the store file, or a PostgreSQL URI (postgresql://...)\n"
    "                        (default: $" CEPLATFORM_STORE_ENV ", else " CEPLATFORM_DEFAULT_STORE
    ")\n"
    "  --force               restore, copy: replace what the destination holds\n"
    "  -h, --help            this text\n"
    "\n"
    "Exit status: 0 done, 1 failed (or verify found problems), 2 bad usage.\n"
    "\n"
    "Examples:\n"
    "  tvxstore --store /var/lib/corkwall/objectstore.db backup /root/board-$(date +%F).db\n"
    "  tvxstore --store board-2024-03-05.db verify\n"
    "  tvxstore copy objectstore.db 'postgresql:///corkwall?host=/run/postgresql'\n";

int Usage(const std::string& message) {
  std::cerr << "tvxstore: " << message << "\nTry 'tvxstore --help'.\n";
  return 2;
}

// The value of an option given as "--name VALUE" or "--name=VALUE".
bool OptionValue(const std::vector<std::string>& args, size_t* i, const std::string& name,
                 std::string* value, bool* bad) {
  const std::string& arg = args[*i];
  if (arg == name) {
    if (*i + 1 >= args.size()) {
      *bad = true;
      return true;
    }
    *value = args[++*i];
    return true;
  }
  if (arg.compare(0, name.size() + 1, name + "=") == 0) {
    *value = arg.substr(name.size() + 1);
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // The streams buffer on their own: an export writes a line per post, and
  // nothing here writes through C's stdio.
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string store;
  bool store_given = false;
  std::string database;
  bool database_given = false;
  std::string format = "json";
  bool format_given = false;
  bool force = false;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool bad = false;
    std::string value;
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--") {
      words.insert(words.end(), args.begin() + i + 1, args.end());
      break;
    }
    if (OptionValue(args, &i, "--store", &value, &bad)) {
      if (bad) return Usage("--store needs a file name or a PostgreSQL URI");
      if (value.empty()) return Usage("--store needs a file name or a PostgreSQL URI");
      store = value;
      store_given = true;
    } else if (OptionValue(args, &i, "--database", &value, &bad)) {
      if (bad || value.empty()) return Usage("--database needs a database name");
      database = value;
      database_given = true;
    } else if (OptionValue(args, &i, "--format", &value, &bad)) {
      if (bad) return Usage("--format needs json or csv");
      if (value != "json" && value != "csv") {
        return Usage("unknown export format '" + value + "' (json or csv)");
      }
      format = value;
      format_given = true;
    } else if (arg == "--force") {
      force = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option '" + arg + "'");
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) return Usage("no command given (list, verify, backup, restore, export, copy)");
  const std::string command = words[0];
  const size_t given = words.size() - 1;

  struct Shape {
    const char* name;
    size_t arguments;
    const char* synopsis;
  };
  static const Shape kShapes[] = {
      {"list", 0, "list"},           {"verify", 0, "verify"},
      {"backup", 1, "backup DEST"},  {"restore", 1, "restore SRC"},
      {"export", 0, "export [--database NAME] [--format json|csv]"},
      {"copy", 2, "copy SRC DEST"},
  };
  const Shape* shape = nullptr;
  for (const Shape& s : kShapes) {
    if (command == s.name) shape = &s;
  }
  if (shape == nullptr) {
    return Usage("unknown command '" + command +
                 "' (list, verify, backup, restore, export, copy)");
  }
  if (given != shape->arguments) {
    return Usage(std::string(given < shape->arguments ? "too few" : "too many") +
                 " arguments for " + command + ": tvxstore " + shape->synopsis);
  }
  if ((database_given || format_given) && command != "export") {
    return Usage("--database and --format belong to export");
  }
  if (force && command != "restore" && command != "copy") {
    return Usage("--force belongs to restore and copy");
  }
  if (store_given && command == "copy") {
    return Usage("copy names both its stores: tvxstore copy SRC DEST (no --store)");
  }
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i].empty()) return Usage("an empty store name for " + command);
  }
  if (!store_given) {
    const char* env = getenv(CEPLATFORM_STORE_ENV);
    store = env != nullptr && env[0] != '\0' ? env : CEPLATFORM_DEFAULT_STORE;
  }

  int status = 1;
  try {
    if (command == "list") {
      status = ListStore(store, std::cout, std::cerr);
    } else if (command == "verify") {
      status = VerifyStore(store, std::cout, std::cerr);
    } else if (command == "backup") {
      status = BackupStore(store, words[1], std::cout, std::cerr);
    } else if (command == "restore") {
      status = CopyStore(words[1], store, force, std::cout, std::cerr);
    } else if (command == "export") {
      status = ExportPosts(store, database,
                           format == "csv" ? PostExport::Format::kCsv : PostExport::Format::kJson,
                           std::cout, std::cerr);
    } else if (command == "copy") {
      status = CopyStore(words[1], words[2], force, std::cout, std::cerr);
    }
  } catch (const std::exception& e) {
    std::cerr << "tvxstore: " << e.what() << "\n";
    status = 1;
  }
  std::cout.flush();
  return status;
}
