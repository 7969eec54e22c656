#include "guard_answer.h"

namespace {

// The page's Japanese texts are Shift_JIS bytes.
// 投稿が多すぎます
const char kFloodTitle[] = "\x93\x8A\x8D\x65\x82\xAA\x91\xBD\x82\xB7\x82\xAC\x82\xDC\x82\xB7";
// 短い間に続けて投稿されたため、この投稿は受け付けませんでした。
const char kFloodRefused[] =
    "\x92\x5A\x82\xA2\x8A\xD4\x82\xC9\x91\xB1\x82\xAF\x82\xC4\x93\x8A\x8D\x65\x82\xB3\x82\xEA"
    "\x82\xBD\x82\xBD\x82\xDF\x81\x41\x82\xB1\x82\xCC\x93\x8A\x8D\x65\x82\xCD\x8E\xF3\x82\xAF"
    "\x95\x74\x82\xAF\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81\x42";
// 秒ほど待ってから、もう一度投稿してください。 (after the number of seconds)
const char kFloodWait[] =
    "\x95\x62\x82\xD9\x82\xC7\x91\xD2\x82\xC1\x82\xC4\x82\xA9\x82\xE7\x81\x41\x82\xE0\x82\xA4"
    "\x88\xEA\x93\x78\x93\x8A\x8D\x65\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42";
// 削除が多すぎます
const char kDeletionFloodTitle[] =
    "\x8D\xED\x8F\x9C\x82\xAA\x91\xBD\x82\xB7\x82\xAC\x82\xDC\x82\xB7";
// 短い間に続けて削除されたため、この削除は行いませんでした。
const char kDeletionFloodRefused[] =
    "\x92\x5A\x82\xA2\x8A\xD4\x82\xC9\x91\xB1\x82\xAF\x82\xC4\x8D\xED\x8F\x9C\x82\xB3\x82\xEA"
    "\x82\xBD\x82\xBD\x82\xDF\x81\x41\x82\xB1\x82\xCC\x8D\xED\x8F\x9C\x82\xCD\x8D\x73\x82\xA2"
    "\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81\x42";
// 秒ほど待ってから、もう一度お試しください。 (after the number of seconds)
const char kDeletionFloodWait[] =
    "\x95\x62\x82\xD9\x82\xC7\x91\xD2\x82\xC1\x82\xC4\x82\xA9\x82\xE7\x81\x41\x82\xE0\x82\xA4"
    "\x88\xEA\x93\x78\x82\xA8\x8E\x8E\x82\xB5\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42";
// 暗号化されていない接続です
const char kPlainTitle[] =
    "\x88\xC3\x8D\x86\x89\xBB\x82\xB3\x82\xEA\x82\xC4\x82\xA2\x82\xC8\x82\xA2\x90\xDA\x91\xB1"
    "\x82\xC5\x82\xB7";
// この管理ページのパスワードは、暗号化されていない接続では受け付けません。
// https:// で始まるアドレスで開いてください。
const char kPlainText[] =
    "\x82\xB1\x82\xCC\x8A\xC7\x97\x9D\x83\x79\x81\x5B\x83\x57\x82\xCC\x83\x70\x83\x58\x83\x8F"
    "\x81\x5B\x83\x68\x82\xCD\x81\x41\x88\xC3\x8D\x86\x89\xBB\x82\xB3\x82\xEA\x82\xC4\x82\xA2"
    "\x82\xC8\x82\xA2\x90\xDA\x91\xB1\x82\xC5\x82\xCD\x8E\xF3\x82\xAF\x95\x74\x82\xAF\x82\xDC"
    "\x82\xB9\x82\xF1\x81\x42"
    "https:// \x82\xC5\x8E\x6E\x82\xDC\x82\xE9\x83\x41\x83\x68\x83\x8C\x83\x58\x82\xC5\x8A\x4A"
    "\x82\xA2\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81\x42";

GuardAnswer Page(int status, const std::string& title_ja, const std::string& title_en,
                 const std::string& text_ja, const std::string& text_en) {
  GuardAnswer answer;
  answer.status = status;
  answer.headers = {{"Content-Type", "text/html; charset=Shift_JIS"},
                    {"Cache-Control", "no-store"}};
  answer.body = "<!DOCTYPE html>\n<html lang=\"ja\"><head><meta charset=\"Shift_JIS\"><title>" +
                title_ja + " / " + title_en + "</title></head>\n<body>\n<h1>" + title_ja +
                "</h1>\n<p>" + text_ja + "</p>\n<h1 lang=\"en\">" + title_en +
                "</h1>\n<p lang=\"en\">" + text_en + "</p>\n</body></html>\n";
  return answer;
}

}  // namespace

GuardAnswer FloodAnswer(int retry_after_seconds, PostKind kind) {
  std::string seconds = std::to_string(retry_after_seconds > 0 ? retry_after_seconds : 1);
  GuardAnswer answer =
      kind == PostKind::kDeletion
          ? Page(429, kDeletionFloodTitle, "Too many deletions",
                 std::string(kDeletionFloodRefused) + seconds + " " + kDeletionFloodWait,
                 "Your address has deleted many times in a short while, so this deletion "
                 "was not carried out. Please wait " + seconds + " seconds and try again.")
          : Page(429, kFloodTitle, "Too many posts",
                 std::string(kFloodRefused) + seconds + " " + kFloodWait,
                 "Your address has posted many times in a short while, so this post was not "
                 "taken. Please wait " + seconds + " seconds and post again.");
  answer.headers.emplace_back("Retry-After", seconds);
  return answer;
}

GuardAnswer PlainCredentialsAnswer() {
  return Page(403, kPlainTitle, "Not an encrypted connection", kPlainText,
              "This page needs a password, and the password is not accepted over a plain, "
              "unencrypted connection, where anyone on the way could read it. "
              "Please open the page with an address that begins with https://.");
}
