#include "page_writer.h"

#include <stdio.h>
#include <string.h>

const char kNotEnoughMemory[] = "Not enough memory";

void PageWriter::Put(const char* text) {
  if (text != NULL) Put(text, static_cast<int>(strlen(text)));
}

void PageWriter::Put(const char* bytes, int count) {
  if (count <= 0) return;
  if (count > kStagingArea - staged_) {
    Flush();
    if (count >= kStagingArea) {
      // A piece as large as the area goes straight to the buffer.
      if (out_->Append(bytes, count) != count) failed_ = 1;
      return;
    }
  }
  memcpy(staging_ + staged_, bytes, count);
  staged_ += count;
}

void PageWriter::Flush() {
  if (staged_ == 0) return;
  if (out_->Append(staging_, staged_) != staged_) failed_ = 1;
  staged_ = 0;
}

void PageWriter::PutInt(int value) {
  char digits[16];
  snprintf(digits, sizeof(digits), "%d", value);
  Put(digits);
}
