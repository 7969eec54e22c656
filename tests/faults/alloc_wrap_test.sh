#!/bin/sh
# The test builds of the plug-ins must reach the C library's allocator only
# through the wrappers: an allocator the build does not wrap (realloc, strdup,
# a throwing new ...) would bypass the countdown and leave its failures
# untested. The optimiser may bring in calls of its own (calloc for a malloc
# and a memset), so the Release build is checked as well as the sanitizer one.
status=0
for plugin in "$@"; do
  unwrapped=$(nm -D --undefined-only "$plugin" |
    awk '{print $2}' | sed 's/@.*//' |
    grep -E '^(malloc|calloc|realloc|reallocarray|free|strdup|strndup|posix_memalign|aligned_alloc|_Znw.*|_Zna.*|_Zdl.*|_Zda.*)$' |
    grep -vE '^(malloc|calloc|free|_ZnwmRKSt9nothrow_t|_ZdlPvRKSt9nothrow_t|_ZdlPvm)$')
  wrapped=$(nm "$plugin" | grep -c ' __wrap_')
  if [ -n "$unwrapped" ]; then
    echo "$plugin calls allocators that are not wrapped: $unwrapped" >&2
    status=1
  fi
  if [ "$wrapped" -lt 6 ]; then
    echo "$plugin carries $wrapped wrappers, not the 6 expected" >&2
    status=1
  fi
done
exit $status
