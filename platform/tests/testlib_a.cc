// A tiny library for the loading tests.
extern "C" int QmTestValue() { return 42; }
// Data, not a function: never to be bound as one.
extern "C" int QmTestData = 7;
