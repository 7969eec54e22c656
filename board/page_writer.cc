#include "page_writer.h"

#include <stdio.h>
#include <string.h>


const char kNotEnoughMemory[] = "Not enough memory";

void PageWriter::Put(const char* text) {
  if (text != NULL) Put(text, static_cast<int>(strlen(text)));
}

void PageWriter::Put(const char* bytes, int count) {
  if (count <= 0) return;
  if (out_->Append(bytes, count) != count) failed_ = 1;
}

void PageWriter::PutInt(int value) {
  char digits[16];
  snprintf(digits, sizeof(digits), "%d", value);
  Put(digits);
}
