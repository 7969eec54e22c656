// A shared library named .tvx that does not export fnTvx.
extern "C" __attribute__((visibility("default"))) int fnSomethingElse(void) { return 42; }
