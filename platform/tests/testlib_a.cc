// A tiny library for the loading tests.
extern "C" int QmTestValue() { return 42; }
