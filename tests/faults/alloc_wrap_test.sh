#!/bin/sh
# The test builds of the plug-ins must reach the C library's allocator only
# through the wrappers: an allocator the build does not wrap (calloc, strdup,
# a throwing new ...) would bypass the countdown and leave its failures
# untested.
status=0
for plugin in "$@"; do
  unwrapped=$(nm -D --undefined-only "$plugin" |
    awk '{print $2}' | sed 's/@.*//' |
    grep -E '^(malloc|calloc|realloc|reallocarray|free|strdup|strndup|posix_memalign|aligned_alloc|_Znw.*|_Zna.*|_Zdl.*|_Zda.*)$' |
    grep -vE '^(malloc|free|_ZnwmRKSt9nothrow_t|_ZdlPvRKSt9nothrow_t|_ZdlPvm)$')
  wrapped=$(nm "$plugin" | grep -c ' __wrap_')
  if [ -n "$unwrapped" ]; then
    echo "$plugin calls allocators that are not wrapped: $unwrapped" >&2
    status=1
  fi
  if [ "$wrapped" -lt 5 ]; then
    echo "$plugin carries $wrapped wrappers, not the 5 expected" >&2
    status=1
  fi
done
exit $status
