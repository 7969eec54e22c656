// What a board's POST asks for, as far as the guard's answers need to know:
// the board takes a post when the form's `postitem` is not empty, and a
// deletion (its delete button's form) when `deleteitem` is not empty.
#ifndef HOST_GUARD_POST_KIND_H_
#define HOST_GUARD_POST_KIND_H_

#include <string>

enum class PostKind { kPost, kDeletion };

// kDeletion for a URL-encoded `body` with a non-empty `deleteitem` and no
// non-empty `postitem` (the delete button's form); kPost for everything
// else, other kinds of body included. Names are matched whole, as sent.
PostKind KindOfPost(const std::string& body);

#endif  // HOST_GUARD_POST_KIND_H_
