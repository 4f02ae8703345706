#pragma once
// A call that exhausts the stack, for tests of the crash handler: each level keeps a
// frame the compiler cannot drop, and level 0 is never reached.

namespace testing_support {

[[gnu::noinline]] inline int Deeper(int level) {
    volatile char frame[512];
    frame[0] = static_cast<char>(level);
    if (level == 0) {
        return frame[0];
    }
    return Deeper(level + 1) + frame[0];
}

} // namespace testing_support
