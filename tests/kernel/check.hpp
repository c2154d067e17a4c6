// A minimal test runner for the kernel tests: TEST(name) registers a test,
// EXPECT(cond) records a failure and carries on, and run_all() reports.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace quorl::testing {

struct Registry {
    std::vector<std::pair<const char*, std::function<void()>>> tests;
    int failures = 0;

    static Registry& get() {
        static Registry registry;
        return registry;
    }
};

struct Registration {
    Registration(const char* name, std::function<void()> test) {
        Registry::get().tests.emplace_back(name, std::move(test));
    }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++Registry::get().failures;
    std::fprintf(stderr, "%s:%d: FAILED %s\n", file, line, what.c_str());
}

// Runs every test, or those whose name contains `filter`; 0 when all pass.
inline int run_all(const char* filter) {
    Registry& r = Registry::get();
    int ran = 0;
    for (const auto& [name, test] : r.tests) {
        if (filter != nullptr && std::string(name).find(filter) == std::string::npos)
            continue;
        const int before = r.failures;
        try {
            test();
        } catch (const std::exception& e) {
            fail(name, 0, std::string("threw ") + e.what());
        }
        ++ran;
        std::printf("%s %s\n", r.failures == before ? "ok  " : "FAIL", name);
    }
    std::printf("%d tests, %d failed checks\n", ran, r.failures);
    return r.failures == 0 && ran > 0 ? 0 : 1;
}

}  // namespace quorl::testing

#define TEST(name)                                                                       \
    static void test_##name();                                                           \
    static const ::quorl::testing::Registration registration_##name(#name, test_##name); \
    static void test_##name()

#define EXPECT(cond)                                           \
    do {                                                       \
        if (!(cond))                                           \
            ::quorl::testing::fail(__FILE__, __LINE__, #cond); \
    } while (0)
