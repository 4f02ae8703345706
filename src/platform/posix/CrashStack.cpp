#include "platform/CrashStack.h"

#include <csignal>
#include <sys/mman.h>
#include <unistd.h>

namespace platform {

namespace {

// The handler traces the stack and writes the log, so it gets more than the minimum.
constexpr std::size_t CrashStackSize = 256 * 1024;

std::size_t GuardSize() {
    return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

} // namespace

TCrashStack::TCrashStack() {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) {
        return;
    }
    // A guard page below the stack stops an overflow of the handler itself from
    // writing into other memory.
    void* mapped = ::mmap(nullptr, GuardSize() + CrashStackSize, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapped == MAP_FAILED) {
        return;
    }
    ::mprotect(mapped, GuardSize(), PROT_NONE);
    stack_t alternate{};
    alternate.ss_sp = static_cast<char*>(mapped) + GuardSize();
    alternate.ss_size = CrashStackSize;
    if (::sigaltstack(&alternate, nullptr) != 0) {
        ::munmap(mapped, GuardSize() + CrashStackSize);
        return;
    }
    memory = mapped;
}

TCrashStack::~TCrashStack() {
    if (memory == nullptr) {
        return;
    }
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
    ::munmap(memory, GuardSize() + CrashStackSize);
}

} // namespace platform
