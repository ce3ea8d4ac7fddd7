# Development checks: sanitizers, valgrind, gctorture, fuzzing and lint.
