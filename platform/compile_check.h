// A compile-time check that C++03 compilers accept: a false condition makes an
// array of negative size, so the build stops at the line that states the fact.
#pragma once

#define QUIB_CHECK_JOIN2(a, b) a##b
#define QUIB_CHECK_JOIN(a, b) QUIB_CHECK_JOIN2(a, b)
// QUIB_COMPILE_CHECK(condition): at namespace or block scope, once per line.
#define QUIB_COMPILE_CHECK(condition) \
    typedef char QUIB_CHECK_JOIN(quib_compile_check_, __LINE__)[(condition) ? 1 : -1] \
        __attribute__((unused))
