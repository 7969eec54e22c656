// A fresh folder under /tmp for one test, removed with everything in it when
// the test ends. For the host's unit tests.
#ifndef HOST_TEMP_FOLDER_H_
#define HOST_TEMP_FOLDER_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>

class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/host-test.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) ADD_FAILURE() << "cannot make a folder in /tmp";
    path_ = made != nullptr ? made : "/nonexistent";
  }
  ~TempFolder() {
    std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << path_;
  }
  // Writes `text` to the file `name` in the folder; returns its path.
  std::string Write(const std::string& name, const std::string& text) {
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    return file;
  }
  const std::string& path() const { return path_; }

 private:
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string path_;
};

#endif  // HOST_TEMP_FOLDER_H_
